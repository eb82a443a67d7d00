#include "sim_harness.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "app/update.h"
#include "console_capture.h"
#include "posix_support.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// The first line of the unit's standard output names its port.
std::string ReadPortLine(int fd) {
    std::string line;
    char c = 0;
    while (read(fd, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    const std::string prefix = "unit-sim: port ";
    if (line.rfind(prefix, 0) != 0) {
        throw std::runtime_error("unit-sim did not name its port: " + line);
    }
    return line.substr(prefix.size());
}

} // namespace

SimulatedUnit::SimulatedUnit(const std::vector<std::string>& faults) {
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        throw std::runtime_error("pipe failed");
    }
    // Every block's line in the report, for the messages of a failing test.
    std::vector<std::string> args = {UNIT_SIM_EXE,         "--verbose", "--rx",
                                     m_Dir.Path("rx.bin"), "--out",     m_Dir.Path("flash.bin")};
    args.insert(args.end(), faults.begin(), faults.end());
    m_Pid = fork();
    if (m_Pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        Exec(args);
    }
    close(out[1]);
    close(err[1]);
    m_Err = err[0];
    m_Port = ReadPortLine(out[0]);
    close(out[0]);
}

SimulatedUnit::~SimulatedUnit() {
    if (m_Pid > 0) {
        Finish();
    }
}

SimRun SimulatedUnit::Finish() {
    SimRun run;
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 40 && (done = waitpid(m_Pid, &status, WNOHANG)) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (done == 0) {
        kill(m_Pid, SIGTERM);
        waitpid(m_Pid, &status, 0);
    }
    m_Pid = -1;
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    char chunk[4096];
    ssize_t got;
    while ((got = read(m_Err, chunk, sizeof(chunk))) > 0) {
        run.Report.append(chunk, static_cast<size_t>(got));
    }
    close(m_Err);
    run.Rx = Bytes(ReadFile(m_Dir.Path("rx.bin")));
    run.Flash = Bytes(ReadFile(m_Dir.Path("flash.bin")));
    return run;
}

UpdateRun RunUpdateWith(const std::vector<std::string>& args, const std::string& input) {
    FILE* in = std::tmpfile();
    std::fputs(input.c_str(), in);
    std::rewind(in);
    std::vector<std::string> all = {"brelwick"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) {
        argv.push_back(arg.data());
    }
    UpdateRun run{};
    {
        ConsoleCapture console(in);
        run.Status = RunUpdate(static_cast<int>(argv.size()), argv.data());
        run.Console = console.Text();
        run.Notes = console.Notes();
    }
    std::fclose(in);
    return run;
}
