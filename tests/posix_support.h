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
