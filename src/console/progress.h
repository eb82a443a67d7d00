// The transfer as the person watching it sees it: where it stands, how long is left, and what
// makes it slow. Every figure is measured in this run: how long each data byte takes from its
// write to its echo, and how long the steps between blocks take (a block's trailer, the unit's
// replies, the next header). It all goes to standard error; the live line only to a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/unit_line.h"

// A byte down and its echo back at the line's speed, ten bits each way: the line's own pace.
constexpr double LINE_MS_PER_BYTE = 2 * 10 * 1000.0 / LINE_BAUD;

// The time a byte takes in lock-step through a USB adapter whose latency timer is `timerMs`
// (0: none). The echo comes down the line, then waits in the adapter for the timer's next tick;
// the timer starts over whenever the adapter sends, which in lock-step is the echo before.
double ByteMsAtLatency(unsigned timerMs);

// "0:36", "12:05", "1:02:03".
std::string DurationText(double seconds);

// Where the transfer stands, as the progress line shows it.
struct ProgressFigures {
    uint32_t Block;    // the block being sent, numbered from 0 as the other lines number it
    uint32_t Blocks;   // blocks in all
    uint32_t Sent;     // data bytes echoed so far
    uint32_t Total;    // data bytes in all
    double ElapsedS;   // since the unit said SOH
    double LeftS;      // the time left; negative while there is too little to go by
    double MsPerByte;  // data bytes so far, write to echo
    double MsPerBlock; // between the last byte of a block and the first of the next; 0: none yet
};

// The transfer's hooks, in the order it calls them.
// The unit said SOH and the blocks are about to go.
void ProgressBegin(uint32_t totalBytes, uint32_t blocks);
// Block `number`'s header has been answered and its `length` data bytes are about to go.
void ProgressBlock(uint32_t number, uint32_t length);
// The unit's reply that block `number` was written to flash came (`answered`) or did not; the
// transfer goes on to the next block either way.
void ProgressBlockWritten(bool answered);
// A data byte's echo was read, or its read gave up. One clock read; the line is redrawn a few
// times a second, as the clock says.
void ProgressByteAnswered();
// The end marker went out: the line goes, and the summary is noted.
void ProgressFinished();
// The line goes, whether or not the transfer ended; safe at any time.
void ProgressStop();

// Every write to the port that went through, command, frames and end marker included.
void ProgressWritten(size_t count);

// What the transfer did, for the record: blocks that went to the end of their trailer, and the
// bytes written to the port. Kept after the transfer ends, until the counts are cleared.
uint32_t ProgressBlocksSent();
uint32_t ProgressBytesWritten();
void ProgressClearCounts();

// What the operator can do about a slow adapter on this system; the note about a slow line ends
// with it.
void SetSlowLineRemedy(const std::string& remedy);

// Called with the figures each time the line is refreshed and once at the end, whether or not
// there is a terminal to show them: the benchmark compares the time left with the time taken.
using ProgressWatcher = void (*)(const ProgressFigures& figures);
void SetProgressWatcher(ProgressWatcher watcher);
