// The report: the machine the figures were taken on, how late its timer wakes, each round's
// figures, and the summary of the rounds against the targets.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

#include "bench.h"

namespace bench {
namespace {

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 10, "model name") == 0) {
            const size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

void PrintFigures(const char* what, const Figures& f) {
    std::printf("  %-26s %10zu %10zu %10.4f %10.4f %10.4f\n", what, f.BytesDown, f.BytesUp, f.WallS,
                f.CpuS, f.SimCpuS);
}

struct Spread {
    double Min;
    double Median;
    double Max;
};

template <class Of> Spread SpreadOf(const std::vector<Round>& rounds, Of of) {
    std::vector<double> values;
    for (const Round& r : rounds) {
        values.push_back(of(r));
    }
    std::sort(values.begin(), values.end());
    const size_t half = values.size() / 2;
    const double median =
        values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
    return {values.front(), median, values.back()};
}

// What the program costs a byte beyond the bare loop: the same bytes go down and come up in both.
double ExtraUsPerByte(double program, double bare, const Figures& f) {
    return (program - bare) * 1e6 / static_cast<double>(f.BytesDown);
}

void PrintTarget(const char* what, const Spread& s, double target) {
    std::printf("  %-28s median %.4f (min %.4f, max %.4f)  target <= %.2f: %s\n", what, s.Median,
                s.Min, s.Max, target, s.Median <= target ? "met" : "MISSED");
}

// Other work on the machine only ever adds time, so each sender's best round is the one least
// disturbed; on a busy machine the best times compare more fairly than the rounds' ratios.
void PrintBest(const std::vector<Round>& rounds) {
    auto best = [&](auto of) {
        return SpreadOf(rounds, [&](const Round& r) { return of(r); }).Min;
    };
    const double program = best([](const Round& r) { return r.Program.WallS; });
    const double bare = best([](const Round& r) { return r.Bare.WallS; });
    const double programCpu = best([](const Round& r) { return r.Program.CpuS; });
    const double bareCpu = best([](const Round& r) { return r.Bare.CpuS; });
    const double paced = best([](const Round& r) { return r.Paced.WallS; });
    const double pacedBare = best([](const Round& r) { return r.PacedBare.WallS; });
    const double wire = rounds.front().WireS;
    std::printf("best of the rounds:\n");
    std::printf("  %-28s %.4f s / %.4f s = %.4f  target <= %.2f: %s\n", "wall, program / bare",
                program, bare, program / bare, WALL_TARGET,
                program / bare <= WALL_TARGET ? "met" : "MISSED");
    std::printf("  %-28s %.4f s / %.4f s = %.4f  target <= %.2f: %s\n", "cpu, program / bare",
                programCpu, bareCpu, programCpu / bareCpu, CPU_TARGET,
                programCpu / bareCpu <= CPU_TARGET ? "met" : "MISSED");
    const Figures& full = rounds.front().Bare;
    const double extra = ExtraUsPerByte(program, bare, full);
    std::printf("  %-28s %.2f us wall, %.2f us cpu  target <= %.1f us wall: %s\n",
                "a byte, program - bare", extra, ExtraUsPerByte(programCpu, bareCpu, full),
                BYTE_TARGET_US, extra <= BYTE_TARGET_US ? "met" : "MISSED");
    std::printf("  %-28s %.4f s / %.4f s = %.4f  target <= %.2f: %s\n", "paced block / wire limit",
                paced, wire, paced / wire, PACED_TARGET,
                paced / wire <= PACED_TARGET ? "met" : "MISSED");
    std::printf("  %-28s %.4f s / %.4f s = %.4f  for comparison\n", "paced bare loop / wire limit",
                pacedBare, wire, pacedBare / wire);
}

} // namespace

void PrintMachine(const Options& options, const std::string& placement) {
    utsname system{};
    uname(&system);
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf("machine: %ld cores, %s, %s %s; load average %.2f %.2f %.2f\n",
                sysconf(_SC_NPROCESSORS_ONLN), CpuModel().c_str(), system.sysname, system.release,
                load[0], load[1], load[2]);
    std::printf("unit-sim: %s; the program's console output goes to /dev/null; %s\n",
                options.Sim.c_str(), placement.c_str());
}

// unit-sim holds each paced answer until its time, and wakes for it as late as this machine's timer
// lets it: that lateness is part of every paced step, whatever the sender does. Measured here with
// a timed sleep of one byte time and unit-sim's 1 ns of timer slack.
void PrintTimerLateness(const Options& options) {
#ifdef __linux__
    // Only for this measure: the program is timed with the slack every process gets.
    const int slack = prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    const long byteNs = static_cast<long>(1000000000LL * BITS_PER_BYTE / options.Baud);
    const double byteUs = static_cast<double>(byteNs) / 1000.0;
    std::vector<double> lateUs;
    for (int i = 0; i < 1000; ++i) {
        const auto before = std::chrono::steady_clock::now();
        timespec wait{byteNs / 1000000000, byteNs % 1000000000};
        nanosleep(&wait, nullptr);
        const auto took = std::chrono::steady_clock::now() - before;
        lateUs.push_back(std::chrono::duration<double, std::micro>(took).count() - byteUs);
    }
#ifdef __linux__
    prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0UL, 0UL, 0UL);
#endif
    std::sort(lateUs.begin(), lateUs.end());
    std::printf(
        "timer: a sleep of one byte time (%.1f us) wakes %.1f us late at the least, %.1f us "
        "in the median\n",
        byteUs, lateUs.front(), lateUs[lateUs.size() / 2]);
}

void PrintRound(const Options& options, int index, const Round& r) {
    std::printf("round %d\n", index + 1);
    std::printf("  %-26s %10s %10s %10s %10s %10s\n", "", "bytes down", "bytes up", "wall s",
                "cpu s", "sim cpu s");
    PrintFigures("brelwick (TransferImage)", r.Program);
    PrintFigures("bare lock-step loop", r.Bare);
    std::printf("  program / bare: wall %.4f, cpu %.3f; program - bare, a byte: wall %.2f us, "
                "cpu %.2f us\n",
                r.Program.WallS / r.Bare.WallS, r.Program.CpuS / r.Bare.CpuS,
                ExtraUsPerByte(r.Program.WallS, r.Bare.WallS, r.Bare),
                ExtraUsPerByte(r.Program.CpuS, r.Bare.CpuS, r.Bare));
    std::printf("  %u-byte image at %u baud, wire limit %.4f s:\n", options.BlockBytes,
                options.Baud, r.WireS);
    PrintFigures("brelwick (TransferImage)", r.Paced);
    PrintFigures("bare lock-step loop", r.PacedBare);
    std::printf("  against the wire: program %.4f, bare loop %.4f; each step at least %.1f us "
                "beyond it\n",
                r.Paced.WallS / r.WireS, r.PacedBare.WallS / r.WireS,
                r.PacedHonesty.LeastMarginS * 1e6);
}

void PrintSummary(const std::vector<Round>& rounds) {
    std::printf("summary of %zu round(s), %u-byte image:\n", rounds.size(),
                static_cast<unsigned>(rounds.front().Bare.BytesDown));
    PrintTarget("wall, program / bare",
                SpreadOf(rounds, [](const Round& r) { return r.Program.WallS / r.Bare.WallS; }),
                WALL_TARGET);
    PrintTarget("cpu, program / bare",
                SpreadOf(rounds, [](const Round& r) { return r.Program.CpuS / r.Bare.CpuS; }),
                CPU_TARGET);
    PrintTarget("paced block / wire limit",
                SpreadOf(rounds, [](const Round& r) { return r.Paced.WallS / r.WireS; }),
                PACED_TARGET);
    const Spread extra = SpreadOf(rounds, [](const Round& r) {
        return ExtraUsPerByte(r.Program.WallS, r.Bare.WallS, r.Bare);
    });
    std::printf("  %-28s median %.2f us (min %.2f, max %.2f)  target <= %.1f us: %s\n",
                "a byte, program - bare, wall", extra.Median, extra.Min, extra.Max, BYTE_TARGET_US,
                extra.Median <= BYTE_TARGET_US ? "met" : "MISSED");
    const Spread extraCpu = SpreadOf(
        rounds, [](const Round& r) { return ExtraUsPerByte(r.Program.CpuS, r.Bare.CpuS, r.Bare); });
    std::printf("  %-28s median %.2f us (min %.2f, max %.2f)\n", "a byte, program - bare, cpu",
                extraCpu.Median, extraCpu.Min, extraCpu.Max);
    const Spread bare =
        SpreadOf(rounds, [](const Round& r) { return r.PacedBare.WallS / r.WireS; });
    std::printf("  %-28s median %.4f (min %.4f, max %.4f)  for comparison\n",
                "paced bare loop / wire limit", bare.Median, bare.Min, bare.Max);
    PrintBest(rounds);
}

} // namespace bench
