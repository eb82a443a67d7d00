// brelwick_bench: does the line, not the program, set the pace of a transfer?
//
// 1. A full image goes to unit-sim over a pty twice: once through the program's own code
//    (OpenSerialPort, TransferImage) and once through a bare lock-step loop that writes the same
//    bytes in the same writes and waits for the same replies in poll() and reads them, nothing
//    else. Wall and CPU time of both, their ratios and their difference a byte, tell what the
//    program's own work costs.
// 2. One block goes to unit-sim pacing the line at 19200 baud, against the time the wire itself
//    needs for that traffic; the bare loop does the same, to show what the pty costs by itself,
//    and times each step, so that an answer sooner than a real line could bring it is caught.
// 3. Once, after the rounds: a small image through unit-sim --baud 19200 --latency MS, as through
//    USB adapters whose latency timers differ: the time per byte against the model, what a whole
//    image would take, and how close the time left that the progress line showed came to the time
//    the rest of the transfer took.
// Every unit-sim run must verify every block, and the bytes that reached the unit must be the
// ones expected, the same for both senders, or the figures mean nothing and the benchmark fails.
// bare_loop.cpp holds 1, paced_block.cpp 2 and latency_table.cpp 3; sim_runs.cpp runs a sender
// against unit-sim for all three, and report.cpp prints what they measured.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "hex/hex_loader.h"

#include "bench.h"

namespace bench {
namespace {

const char* const USAGE_TEXT =
    "usage: brelwick_bench [--bytes N] [--block-bytes N] [--latency-bytes N] [--baud RATE]\n"
    "                      [--rounds N] [--sim PATH] [--cpus one|any]\n"
    "  --bytes N        image for the program-against-bare-loop runs (default 100000)\n"
    "  --block-bytes N  image for the paced run (default 2048, one block)\n"
    "  --latency-bytes N  image for the runs through adapter latency timers of 0, 1, 4 and\n"
    "                   16 ms, once after the rounds (default 4096; 0: none)\n"
    "  --baud RATE      the paced run's line speed (default 19200)\n"
    "  --rounds N       repeat everything N times and summarise (default 1)\n"
    "  --sim PATH       the unit-sim to run (default: the one built with this benchmark)\n"
    "  --cpus one|any   one: the senders and unit-sim share one CPU (the default, Linux only),\n"
    "                   so that moving between CPUs adds nothing to either sender; any: as the\n"
    "                   scheduler places them\n"
    "exit status 0 when every run reached a verified unit with the same traffic and no paced\n"
    "answer came sooner than the wire allows, 1 when not, 2 for a usage error; the timing\n"
    "targets are reported, not enforced.\n";

// Each byte wakes the sender and unit-sim in turn. On different CPUs every such wake-up crosses
// between them, which on a virtual machine costs more than the work itself and varies from round
// to round; on one CPU both senders pay the same small price and their ratio is the program's.
// unit-sim inherits the CPU.
std::string PinToOneCpu(const Options& options) {
#ifdef __linux__
    if (options.OneCpu) {
        const int cpu = sched_getcpu();
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(static_cast<size_t>(std::max(cpu, 0)), &set);
        if (cpu >= 0 && sched_setaffinity(0, sizeof(set), &set) == 0) {
            return "all on CPU " + std::to_string(cpu);
        }
        return std::string("on any CPU (pinning failed: ") + std::strerror(errno) + ")";
    }
#else
    (void)options;
#endif
    return "on any CPU";
}

// ---- Options ----

bool ParseNumber(const char* text, unsigned long low, unsigned long high, unsigned long* value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || parsed < low || parsed > high) {
        return false;
    }
    *value = parsed;
    return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help") {
            std::fputs(USAGE_TEXT, stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) {
            return false;
        }
        const char* value = argv[++i];
        unsigned long number = 0;
        if (name == "--sim") {
            options->Sim = value;
        } else if (name == "--bytes" && ParseNumber(value, 0, IMAGE_CAPACITY, &number)) {
            options->Bytes = static_cast<uint32_t>(number);
        } else if (name == "--block-bytes" && ParseNumber(value, 0, IMAGE_CAPACITY, &number)) {
            options->BlockBytes = static_cast<uint32_t>(number);
        } else if (name == "--latency-bytes" && ParseNumber(value, 0, IMAGE_CAPACITY, &number)) {
            options->LatencyBytes = static_cast<uint32_t>(number);
        } else if (name == "--baud" && ParseNumber(value, 50, 4000000, &number)) {
            options->Baud = static_cast<unsigned>(number);
        } else if (name == "--rounds" && ParseNumber(value, 1, 1000, &number)) {
            options->Rounds = static_cast<int>(number);
        } else if (name == "--cpus" &&
                   (std::strcmp(value, "one") == 0 || std::strcmp(value, "any") == 0)) {
            options->OneCpu = std::strcmp(value, "one") == 0;
        } else {
            return false;
        }
    }
    return true;
}

bool RunRound(const Options& options, const std::string& dir, int index, FILE* devNull,
              Round* round) {
    return RunFullImage(options, dir, index, devNull, round) &&
           RunPacedBlock(options, dir, index, devNull, round);
}

} // namespace
} // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fputs(USAGE_TEXT, stderr);
        return 2;
    }
    char dirTemplate[] = "/tmp/brelwick-bench-XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    FILE* devNull = std::fopen("/dev/null", "w");
    if (dir == nullptr || devNull == nullptr) {
        std::perror("brelwick_bench");
        return 1;
    }
    PrintMachine(options, PinToOneCpu(options));
    PrintTimerLateness(options);
    std::vector<Round> rounds;
    bool ok = true;
    for (int i = 0; i < options.Rounds && ok; ++i) {
        Round round;
        ok = RunRound(options, dir, i, devNull, &round);
        if (ok) {
            PrintRound(options, i, round);
            rounds.push_back(round);
        }
        std::fflush(stdout);
    }
    std::vector<LatencyRun> latencies;
    if (ok && options.LatencyBytes > 0) {
        ok = RunLatencies(options, dir, devNull, &latencies);
    }
    for (const char* name : {"program", "bare", "paced", "paced-bare", "latency"}) {
        for (const char* kind : {".rx", ".err"}) {
            unlink((std::string(dir) + "/" + name + kind).c_str());
        }
    }
    rmdir(dir);
    if (!ok) {
        std::fprintf(stderr, "brelwick_bench: FAILED\n");
        return 1;
    }
    PrintSummary(rounds);
    if (!latencies.empty()) {
        PrintLatencies(options, latencies);
    }
    return 0;
}
