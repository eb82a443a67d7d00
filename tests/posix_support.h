// Helpers for the tests that need POSIX: running a program and seeing what it printed, and a
// pseudo-terminal whose far end a test plays.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support.h"

struct ProcessResult {
    int Status = -1; // the exit status, or -1 when the program did not exit normally
    std::string Out; // what it wrote to standard output
    std::string Err; // what it wrote to standard error
};

// Runs the program with its arguments, feeding `input` on standard input.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "");

// How a bounded run is started.
struct RunLimits {
    std::chrono::milliseconds Time{20000}; // killed after this long
    std::string Dir;                       // its working directory; "": the test's own
    bool AsNobody = false;                 // started as the user nobody, group nogroup
};

struct BoundedResult : ProcessResult {
    bool Killed = false; // it outlived its time and was killed
    // The most memory it held at once. Linux counts the test's own, copied at the fork, too, so
    // this is an upper bound on the program's.
    long MaxRssKiB = 0;
};

// Like RunProcess, with nothing on standard input, killed when its time is up. A run as nobody
// that cannot be had (no such user, or its set-uid refused) ends with status NOT_STARTED and the
// reason on standard error.
constexpr int NOT_STARTED = 126;
BoundedResult RunBounded(const std::vector<std::string>& argv, const RunLimits& limits);

// A pseudo-terminal: the slave is the port the program opens, the master is the unit's end.
struct Pty {
    int Master = -1;
    int Slave = -1; // held open so that the line stays up between opens
    std::string SlavePath;
    Pty();
    ~Pty();
    void CloseMaster();
};

// Reads exactly `count` bytes from fd, or fewer if `limit` passes first.
std::vector<uint8_t> ReadFor(int fd, size_t count, std::chrono::milliseconds limit);

// Writes all of `bytes` to fd.
void WriteAll(int fd, const std::vector<uint8_t>& bytes);
