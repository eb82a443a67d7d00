// The latency table: once, after the rounds, a small image through unit-sim --baud --latency MS,
// as through USB adapters whose latency timers differ; the time per byte against the model, what
// a whole image would take, and how close the time left that the progress line showed came to the
// time the rest of the transfer took.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "console/progress.h"
#include "hex/hex_loader.h"

#include "bench.h"

namespace bench {
namespace {

constexpr unsigned LATENCIES_MS[] = {0, 1, 4, 16};
constexpr double QUARTERS[] = {0.25, 0.5, 0.75};
constexpr uint32_t FULL_IMAGE = 100000;

// What the program's progress line showed, refresh by refresh, and at the end.
std::vector<ProgressFigures> Shown;

void Watch(const ProgressFigures& figures) {
    Shown.push_back(figures);
}

// An echo comes down the wire two byte times after its byte was written and then waits in the
// adapter for its timer's next tick; the timer started over with the echo before.
double ModelMsPerByte(const Options& options, unsigned latencyMs) {
    const double wireMs = 2.0 * BITS_PER_BYTE * 1000 / options.Baud;
    return latencyMs == 0 ? wireMs : std::ceil(wireMs / latencyMs) * latencyMs;
}

// The time left shown at the first refresh past each quarter, and the time the rest then took.
bool JudgeTimeLeft(LatencyRun* run) {
    if (Shown.empty()) {
        return false;
    }
    const ProgressFigures& end = Shown.back();
    for (size_t q = 0; q < std::size(QUARTERS); ++q) {
        const auto past = std::find_if(Shown.begin(), Shown.end(), [&](const ProgressFigures& f) {
            return f.LeftS >= 0 && f.Sent >= QUARTERS[q] * f.Total;
        });
        if (past == Shown.end()) {
            return false;
        }
        run->LeftShownS[q] = past->LeftS;
        run->LeftTookS[q] = end.ElapsedS - past->ElapsedS;
    }
    run->MsPerByte = end.MsPerByte;
    run->MsPerBlock = end.MsPerBlock;
    return true;
}

std::string LeftText(double shown, double took) {
    char text[64];
    std::snprintf(text, sizeof(text), "%6.2f/%6.2f s %+5.1f%%", shown, took,
                  took > 0 ? (shown / took - 1) * 100 : 0.0);
    return text;
}

} // namespace

bool RunLatencies(const Options& options, const std::string& dir, FILE* devNull,
                  std::vector<LatencyRun>* runs) {
    FillImage(options.LatencyBytes);
    const Traffic traffic = TransferTraffic(FirmwareImage, ImageLength);
    SetProgressWatcher(Watch);
    bool ok = true;
    for (const unsigned latency : LATENCIES_MS) {
        LatencyRun run;
        run.LatencyMs = latency;
        Figures figures;
        Shown.clear();
        const std::vector<std::string> args = {"--baud", std::to_string(options.Baud), "--latency",
                                               std::to_string(latency)};
        ok = AgainstSim(options, dir, "latency", args, traffic, &figures,
                        [&](const SimRun& sim) { return RunProgram(sim, devNull, &figures); });
        if (ok && !JudgeTimeLeft(&run)) {
            std::fprintf(stderr, "brelwick_bench: the progress line showed no time left at each "
                                 "quarter; a larger --latency-bytes gives it room\n");
            ok = false;
        }
        if (!ok) {
            break;
        }
        run.WallS = figures.WallS;
        runs->push_back(run);
    }
    SetProgressWatcher(nullptr);
    return ok;
}

void PrintLatencies(const Options& options, const std::vector<LatencyRun>& runs) {
    const uint32_t blocks = (FULL_IMAGE + BLOCK_SIZE - 1) / BLOCK_SIZE;
    std::printf("through an adapter's latency timer: a %u-byte image at %u baud, unit-sim "
                "--latency MS; the time left shown at a quarter, a half and three quarters, "
                "against the time the rest took:\n",
                options.LatencyBytes, options.Baud);
    std::printf("  %7s %9s %9s %9s %10s %8s  %-22s %-22s %-22s\n", "latency", "ms/byte", "model",
                "/ model", "ms/block", "100 kB", "at 1/4", "at 1/2", "at 3/4");
    for (const LatencyRun& r : runs) {
        const double model = ModelMsPerByte(options, r.LatencyMs);
        const double fullS = (FULL_IMAGE * r.MsPerByte + blocks * r.MsPerBlock) / 1000;
        std::printf("  %4u ms %9.3f %9.3f %9.3f %10.2f %8s  %-22s %-22s %-22s\n", r.LatencyMs,
                    r.MsPerByte, model, r.MsPerByte / model, r.MsPerBlock,
                    DurationText(fullS).c_str(), LeftText(r.LeftShownS[0], r.LeftTookS[0]).c_str(),
                    LeftText(r.LeftShownS[1], r.LeftTookS[1]).c_str(),
                    LeftText(r.LeftShownS[2], r.LeftTookS[2]).c_str());
    }
}

} // namespace bench
