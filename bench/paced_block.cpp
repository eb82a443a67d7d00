// The paced block: one block over a line that unit-sim paces at the real baud rate, through the
// program and through the bare loop, against the time the wire itself needs for that traffic.
#include <cstdio>
#include <string>
#include <vector>

#include "hex/hex_loader.h"

#include "bench.h"

namespace bench {
namespace {

// Byte times the wire needs for the traffic, both directions running at once: a step's replies
// start when its first byte has arrived and follow one another, so a step that waits for r
// replies takes r + 1 byte times; the end marker is written and not waited for.
uint64_t WireByteTimes(const Traffic& t) {
    uint64_t total = 0;
    for (const Step& step : t.Steps) {
        total += step.Replies > 0 ? step.Replies + 1 : 0;
    }
    return total;
}

} // namespace

bool RunPacedBlock(const Options& options, const std::string& dir, int index, FILE* devNull,
                   Round* round) {
    FillImage(options.BlockBytes);
    const Traffic block = TransferTraffic(FirmwareImage, ImageLength);
    const double byteS = static_cast<double>(BITS_PER_BYTE) / options.Baud;
    round->WireS = static_cast<double>(WireByteTimes(block)) * byteS;
    const std::vector<std::string> paced = {"--baud", std::to_string(options.Baud)};
    auto pacedProgram = [&] {
        return AgainstSim(
            options, dir, "paced", paced, block, &round->Paced,
            [&](const SimRun& sim) { return RunProgram(sim, devNull, &round->Paced); });
    };
    auto pacedBare = [&] {
        return AgainstSim(
            options, dir, "paced-bare", paced, block, &round->PacedBare, [&](const SimRun& sim) {
                return RunBareLoop(sim, block, &round->PacedBare, byteS, &round->PacedHonesty);
            });
    };
    const bool pacedSent =
        index % 2 == 0 ? pacedProgram() && pacedBare() : pacedBare() && pacedProgram();
    if (pacedSent && round->PacedHonesty.Early > 0) {
        std::fprintf(stderr,
                     "brelwick_bench: %zu steps of the paced line were answered sooner than the "
                     "wire allows\n",
                     round->PacedHonesty.Early);
        return false;
    }
    return pacedSent;
}

} // namespace bench
