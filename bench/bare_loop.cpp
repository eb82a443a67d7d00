// The rounds against the bare loop: the full image through the program's own code and through the
// least a lock-step sender can do, the same bytes in the same writes, so that what the program's
// own work costs shows in their ratio.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "hex/hex_loader.h"

#include "bench.h"

namespace bench {
namespace {

bool WriteAll(int fd, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t sent = write(fd, bytes, count);
        if (sent <= 0) {
            return false;
        }
        bytes += sent;
        count -= static_cast<size_t>(sent);
    }
    return true;
}

// A lock-step sender must be able to give up on a unit that does not answer, so even the least
// one waits for each reply in poll() with a time-out, and reads only what came.
constexpr int REPLY_WAIT_MS = 10000;

bool ReadAll(int fd, uint8_t* bytes, size_t count) {
    while (count > 0) {
        pollfd wait = {fd, POLLIN, 0};
        if (poll(&wait, 1, REPLY_WAIT_MS) <= 0) {
            return false;
        }
        const ssize_t got = read(fd, bytes, count);
        if (got <= 0) {
            return false;
        }
        bytes += got;
        count -= static_cast<size_t>(got);
    }
    return true;
}

} // namespace

// The least a lock-step sender can do: write, wait for the replies in poll() and read them,
// repeat.
// Given `honesty`, each step is also timed (two clock reads) against `byteS` a byte each way.
bool RunBareLoop(const SimRun& sim, const Traffic& traffic, Figures* figures, double byteS,
                 Honesty* honesty) {
    const int fd = open(sim.Port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::perror("brelwick_bench: bare loop open");
        return false;
    }
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &raw);
    std::vector<uint8_t> up(traffic.Up.size());

    const Stopwatch start = Start();
    bool ok = true;
    uint8_t* into = up.data();
    for (const Step& step : traffic.Steps) {
        const auto before = honesty != nullptr ? std::chrono::steady_clock::now() : start.Wall;
        ok = WriteAll(fd, traffic.Down.data() + step.Start, step.Count) &&
             ReadAll(fd, into, step.Replies);
        if (!ok) {
            break;
        }
        into += step.Replies;
        if (honesty != nullptr && step.Replies > 0) {
            const double took =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
            const double margin = took - static_cast<double>(step.Replies + 1) * byteS;
            honesty->Early += margin < 0 ? 1 : 0;
            honesty->LeastMarginS = std::min(honesty->LeastMarginS, margin);
        }
    }
    close(fd);
    Stop(start, figures);

    if (!ok || up != traffic.Up) {
        std::fprintf(stderr, "brelwick_bench: the bare loop did not get the replies expected\n");
        return false;
    }
    return true;
}

bool RunFullImage(const Options& options, const std::string& dir, int index, FILE* devNull,
                  Round* round) {
    FillImage(options.Bytes);
    const Traffic full = TransferTraffic(FirmwareImage, ImageLength);
    auto program = [&] {
        return AgainstSim(
            options, dir, "program", {}, full, &round->Program,
            [&](const SimRun& sim) { return RunProgram(sim, devNull, &round->Program); });
    };
    auto bare = [&] {
        return AgainstSim(options, dir, "bare", {}, full, &round->Bare,
                          [&](const SimRun& sim) { return RunBareLoop(sim, full, &round->Bare); });
    };
    // Taking turns to go first keeps a change of load from always falling on the same side.
    return index % 2 == 0 ? program() && bare() : bare() && program();
}

} // namespace bench
