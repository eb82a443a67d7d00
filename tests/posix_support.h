// Helpers for the tests that need POSIX: running a program and seeing what it printed, and a
// pseudo-terminal whose far end a test plays.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support.h"

struct ProcessResult {
    int Status = -1;       // the exit status, or -1 when the program did not exit normally
    std::string Out;       // what it wrote to standard output
    std::string Err;       // what it wrote to standard error
    bool TimedOut = false; // it was still running at the limit and was killed
    long MaxRssKb = 0;     // the most memory it held at once
};

// Runs the program with its arguments, feeding `input` on standard input; kills it at `limit`.
// With `user` >= 0 it runs as that user (and group of the same number), for which the test must be
// root.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "",
                         std::chrono::milliseconds limit = std::chrono::seconds(120),
                         int user = -1);

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
