// The run on record: what one run of the program did, as one line appended to the operator's log
// (--log), and as the events a program that drives this one reads (--json). Both are JSON, one
// object a line. Nothing here knows a platform or the console: the callers say where lines go.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Raised when a field changes its meaning or goes; a new field leaves it as it is.
constexpr int RECORD_SCHEMA = 1;

// A USB serial adapter as the port listing shows it.
struct RecordAdapter {
    uint16_t VendorId = 0;
    uint16_t ProductId = 0;
    std::string Serial;
};

// What the run knows. A field it has not learnt (yet) is empty and is written as null.
struct RunRecord {
    std::string Time;    // when the run began: UTC, ISO 8601, to the second
    std::string Program; // "brelwick 1.1.0"
    std::optional<std::string> Port;
    std::optional<RecordAdapter> Adapter;
    std::optional<std::string> File; // absolute path
    std::optional<std::string> FileSha256;
    std::optional<std::string> ImageSha256;
    std::optional<uint32_t> ImageBytes;
    std::optional<uint32_t> BlocksToSend;
    uint32_t BlocksSent = 0;
    uint32_t BytesSent = 0;
    int Status = 0;
    std::optional<std::string> Result;
    std::optional<std::string> LastLine;
    double Seconds = 0; // wall time of the run
};

// The record of a finished run, as appended to the log: one line, newline included.
std::string RecordLine(const RunRecord& run);

// The events, each one line, newline included.
std::string StartEvent(const RunRecord& run);
std::string NoteEvent(const std::string& text);
std::string BlockEvent(uint32_t block, uint32_t bytes, bool answered);
// `secondsLeft` below 0: not known yet.
std::string ProgressEvent(uint32_t bytesSent, uint32_t imageBytes, double seconds,
                          double secondsLeft);
std::string EndEvent(const RunRecord& run);

// "2026-12-10T15:04:05Z".
std::string UtcTimeText(int64_t secondsSinceEpoch);
