// Helpers the tests share: running a program and seeing what it printed, and a pseudo-terminal
// whose far end a test plays.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct ProcessResult {
    int Status = -1; // the exit status, or -1 when the program did not exit normally
    std::string Out; // what it wrote to standard output
    std::string Err; // what it wrote to standard error
};

// Runs the program with its arguments, feeding `input` on standard input.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "");

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

// A file in a fresh temporary directory that goes with the object.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    std::string Path(const std::string& name) const { return m_Dir + "/" + name; }
    std::string Write(const std::string& name, const std::string& content) const;

  private:
    std::string m_Dir;
};

std::string ReadFile(const std::string& path);

using Millis = std::chrono::duration<double, std::milli>;
inline double ElapsedMs(std::chrono::steady_clock::time_point since) {
    return Millis(std::chrono::steady_clock::now() - since).count();
}

// Names a parameterised case after its Title field.
template <class Case> std::string TitleOf(const testing::TestParamInfo<Case>& param) {
    return param.param.Title;
}

// Lets gtest show a parameterised case by its Title rather than as raw bytes.
#define PRINTS_AS_TITLE(Case)                                                                      \
    inline void PrintTo(const Case& c, std::ostream* out) {                                        \
        *out << c.Title;                                                                           \
    }
