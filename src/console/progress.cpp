#include "console/progress.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "console/console.h"
#include "record/record.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto REDRAW_EVERY = std::chrono::milliseconds(250);
// A time left from fewer bytes than this would jump about.
constexpr uint32_t BYTES_BEFORE_TIME_LEFT = 16;
// A slow line is judged on the median of the first data bytes, so that one late echo does not
// make it look slow.
constexpr int SLOW_LINE_SAMPLES = 64;
// A line this slow costs the operator minutes; an adapter that answers within 2 to 3 ms does not.
constexpr double SLOW_LINE_MS = 5.0;

struct Transfer {
    bool Active = false;
    uint32_t Total = 0;
    uint32_t Blocks = 0;
    uint32_t Block = 0;
    uint32_t Sent = 0;
    uint32_t BlockEnd = 0; // Sent when the block's last data byte has been answered
    uint32_t BlockLength = 0;
    uint32_t BlocksSent = 0;
    Clock::time_point Start;
    Clock::time_point Last; // the last data byte's echo, or the start of the block's data
    Clock::time_point NextRefresh;
    Clock::time_point NextEvent; // a program reading events needs no more than a few a second
    Clock::duration DataTime{};
    Clock::duration BetweenBlocks{};
    uint32_t Gaps = 0; // the steps between blocks measured so far
    Clock::duration Samples[SLOW_LINE_SAMPLES] = {};
    int SampleCount = 0;
};

Transfer Run;
// Bytes written to the port since the counts were cleared: the handshake too, which comes before
// the transfer proper begins.
uint32_t Written = 0;
std::string SlowLineRemedy;
ProgressWatcher Watcher = nullptr;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

ProgressFigures Figures(Clock::time_point now) {
    ProgressFigures f{};
    f.Block = Run.Block;
    f.Blocks = Run.Blocks;
    f.Sent = Run.Sent;
    f.Total = Run.Total;
    f.ElapsedS = Ms(now - Run.Start) / 1000;
    f.MsPerByte = Run.Sent > 0 ? Ms(Run.DataTime) / Run.Sent : 0;
    f.MsPerBlock = Run.Gaps > 0 ? Ms(Run.BetweenBlocks) / Run.Gaps : 0;
    f.LeftS = -1;
    if (Run.Sent >= BYTES_BEFORE_TIME_LEFT || Run.Sent == Run.Total) {
        // This block's trailer is still to come, and every later block's header and trailer.
        const uint32_t gapsLeft = Run.Blocks - std::min(Run.Block, Run.Blocks);
        f.LeftS = ((Run.Total - Run.Sent) * f.MsPerByte + gapsLeft * f.MsPerBlock) / 1000;
    }
    return f;
}

std::string LineText(const ProgressFigures& f) {
    char text[160];
    const unsigned percent =
        f.Total > 0 ? static_cast<unsigned>(uint64_t{f.Sent} * 100 / f.Total) : 100;
    int length =
        std::snprintf(text, sizeof(text), "Block # %u of %u  %u of %u bytes  %u%%",
                      static_cast<unsigned>(f.Block), static_cast<unsigned>(f.Blocks),
                      static_cast<unsigned>(f.Sent), static_cast<unsigned>(f.Total), percent);
    if (f.LeftS >= 0 && length > 0) {
        std::snprintf(text + length, sizeof(text) - static_cast<size_t>(length), "  %s left",
                      DurationText(f.LeftS).c_str());
    }
    return text;
}

void Refresh(Clock::time_point now) {
    Run.NextRefresh = now + REDRAW_EVERY;
    if (Watcher == nullptr && !ConsoleHasStatusLine() && !ConsoleJson()) {
        return;
    }
    const ProgressFigures figures = Figures(now);
    if (Watcher != nullptr) {
        Watcher(figures);
    }
    if (ConsoleJson() && now >= Run.NextEvent) {
        Run.NextEvent = now + REDRAW_EVERY;
        ConsoleEvent(ProgressEvent(figures.Sent, figures.Total, figures.ElapsedS, figures.LeftS));
    }
    ConsoleStatus(LineText(figures));
}

// Once, when the first data bytes have been answered.
void JudgeTheLine() {
    Clock::duration sorted[SLOW_LINE_SAMPLES];
    std::copy(Run.Samples, Run.Samples + SLOW_LINE_SAMPLES, sorted);
    std::sort(sorted, sorted + SLOW_LINE_SAMPLES);
    const double median =
        (Ms(sorted[SLOW_LINE_SAMPLES / 2 - 1]) + Ms(sorted[SLOW_LINE_SAMPLES / 2])) / 2;
    if (median < SLOW_LINE_MS) {
        return;
    }
    ConsoleNote("Slow line: a byte takes %.1f ms from its write to its echo, where the line itself "
                "needs %.2f ms: latency, most likely a USB serial adapter's latency timer. At this "
                "pace the whole transfer takes about %s, at the line's pace about %s.\n",
                median, LINE_MS_PER_BYTE, DurationText(Run.Total * median / 1000).c_str(),
                DurationText(Run.Total * LINE_MS_PER_BYTE / 1000).c_str());
    if (!SlowLineRemedy.empty()) {
        ConsoleNote("  %s\n", SlowLineRemedy.c_str());
    }
}

} // namespace

double ByteMsAtLatency(unsigned timerMs) {
    if (timerMs == 0) {
        return LINE_MS_PER_BYTE;
    }
    return std::ceil(LINE_MS_PER_BYTE / timerMs) * timerMs;
}

std::string DurationText(double seconds) {
    const long total = std::lround(std::max(seconds, 0.0));
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof(text), "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                      total % 60);
    } else {
        std::snprintf(text, sizeof(text), "%ld:%02ld", total / 60, total % 60);
    }
    return text;
}

void ProgressBegin(uint32_t totalBytes, uint32_t blocks) {
    Run = Transfer();
    Run.Active = true;
    Run.Total = totalBytes;
    Run.Blocks = blocks;
    Run.Start = Run.Last = Clock::now();
    Refresh(Run.Start);
}

void ProgressBlock(uint32_t number, uint32_t length) {
    if (!Run.Active) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (number > 0) {
        Run.BetweenBlocks += now - Run.Last;
        ++Run.Gaps;
    }
    Run.Block = number;
    Run.BlockEnd = Run.Sent + length;
    Run.BlockLength = length;
    Run.Last = now;
    Refresh(now);
}

void ProgressBlockWritten(bool answered) {
    if (!Run.Active) {
        return;
    }
    ++Run.BlocksSent;
    if (ConsoleJson()) {
        ConsoleEvent(BlockEvent(Run.Block, Run.BlockLength, answered));
    }
}

void ProgressByteAnswered() {
    if (!Run.Active) {
        return;
    }
    const Clock::time_point now = Clock::now();
    const Clock::duration took = now - Run.Last;
    Run.Last = now;
    Run.DataTime += took;
    ++Run.Sent;
    if (Run.SampleCount < SLOW_LINE_SAMPLES) {
        Run.Samples[Run.SampleCount++] = took;
        if (Run.SampleCount == SLOW_LINE_SAMPLES) {
            JudgeTheLine();
        }
    }
    // The block's figures stay up while its trailer is answered.
    if (now >= Run.NextRefresh || Run.Sent == Run.BlockEnd) {
        Refresh(now);
    }
}

void ProgressFinished() {
    if (!Run.Active) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (Watcher != nullptr) {
        Watcher(Figures(now));
    }
    ProgressStop();
    // A program reading events has the figures in them; the summary is for a person.
    if (ConsoleJson()) {
        return;
    }
    const double seconds = Ms(now - Run.Start) / 1000;
    const unsigned rate = seconds > 0 ? static_cast<unsigned>(Run.Total / seconds) : 0;
    ConsoleNote("Sent %u bytes in %u block%s in %s, %u bytes/s\n", static_cast<unsigned>(Run.Total),
                static_cast<unsigned>(Run.Blocks), Run.Blocks == 1 ? "" : "s",
                DurationText(seconds).c_str(), rate);
}

void ProgressStop() {
    Run.Active = false;
    ConsoleStatusEnd();
}

uint32_t ProgressBlocksSent() {
    return Run.BlocksSent;
}

void ProgressWritten(size_t count) {
    Written += static_cast<uint32_t>(count);
}

uint32_t ProgressBytesWritten() {
    return Written;
}

void ProgressClearCounts() {
    Run = Transfer();
    Written = 0;
}

void SetSlowLineRemedy(const std::string& remedy) {
    SlowLineRemedy = remedy;
}

void SetProgressWatcher(ProgressWatcher watcher) {
    Watcher = watcher;
}
