// Helpers for the tests that need POSIX: running a program and seeing what it printed, and a
// pseudo-terminal whose far end a test plays.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support.h"

// True when these tests run under QEMU's user-mode emulation (a cross build's,
// tests/CMakeLists.txt).
#ifdef BRELWICK_TESTS_EMULATED
constexpr bool TESTS_EMULATED = true;
#else
constexpr bool TESTS_EMULATED = false;
#endif

struct ProcessResult {
    int Status = -1;       // the exit status, or -1 when the program did not exit normally
    std::string Out;       // what it wrote to standard output
    std::string Err;       // what it wrote to standard error
    bool TimedOut = false; // it was still running at the limit and was killed
    long MaxRssKb = 0;     // the most memory it held at once
};

// In a child after fork(): becomes argv[0] (looked up in PATH) with its arguments; exits 127 when
// it cannot.
[[noreturn]] void Exec(const std::vector<std::string>& argv);

// Where a program's standard error goes, and its standard output with it where a terminal shows
// both: a pipe, or a raw pseudo-terminal (whose output lands in ProcessResult::Err).
enum class Terminal { NONE, ERR, OUT_AND_ERR };

// Runs the program with its arguments, feeding `input` on standard input; kills it at `limit`.
// With `user` >= 0 it runs as that user (and group of the same number), for which the test must be
// root.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "",
                         std::chrono::milliseconds limit = std::chrono::seconds(120), int user = -1,
                         Terminal terminal = Terminal::NONE);

// The SHA-256 of a file as sha256sum prints it, and of the image srec_cat lays out from an Intel
// HEX file (from address 0, gaps as 0x00): tools of their own to check the program's fingerprints.
std::string Sha256Sum(const std::string& path);
std::string ImageSha256Sum(const std::string& hexPath);

// A program that runs while the test plays its far end; its output is read as it comes, so that a
// test can see when a line appeared.
class Child {
  public:
    // Starts argv[0] (looked up in PATH) in `cwd`, or in the test's directory when cwd is empty.
    explicit Child(const std::vector<std::string>& argv, const std::string& cwd = "");
    ~Child(); // a child still running is killed
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void Write(const std::string& text);
    void CloseInput();
    // Reads output until standard output holds `text` or `limit` passes; true when it came, with
    // the moment it was read in `seen`.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit,
                       std::chrono::steady_clock::time_point* seen = nullptr);
    // Closes input and waits for the exit; a child still running after `limit` is killed.
    ProcessResult Finish(std::chrono::milliseconds limit);
    const std::string& Out() const { return m_Result.Out; }
    pid_t Pid() const { return m_Pid; }

  private:
    void Pump(int waitMs);
    bool Reap(int options);

    pid_t m_Pid = -1;
    int m_In = -1;
    int m_Out = -1;
    int m_Err = -1;
    bool m_Exited = false;
    ProcessResult m_Result;
};

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
