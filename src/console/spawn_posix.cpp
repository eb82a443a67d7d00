#include "console/spawn.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "console/process.h"
#include "console/process_posix.h"

namespace {

struct Unit {
    pid_t Pid = -1;
    int Err = -1; // the read end of its standard error; -1 once it closed
    std::string Pending;
};

std::vector<Unit> Units;
std::deque<UnitOutput> Ready;
bool InterruptPassedOn = false;

// In the child, between fork() and exec(): only calls that are safe there.
[[noreturn]] void BecomeUnit(char* const* argv, int out, int err) {
    // A group of its own: Ctrl-C at the terminal reaches the parent alone, which passes it on
    // once; a second one would end the unit without giving its line back.
    setpgid(0, 0);
    const int none = open("/dev/null", O_RDONLY);
    dup2(none, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    execv(argv[0], argv);
    const char said[] = "The unit's process could not be started\n";
    const ssize_t ignored = write(STDOUT_FILENO, said, sizeof(said) - 1);
    (void)ignored;
    _exit(3);
}

void TakeLines(int index) {
    Unit& unit = Units[static_cast<size_t>(index)];
    size_t end;
    while ((end = unit.Pending.find('\n')) != std::string::npos) {
        UnitOutput said;
        said.Unit = index;
        said.Line = unit.Pending.substr(0, end);
        unit.Pending.erase(0, end + 1);
        Ready.push_back(said);
    }
}

// Its standard error closed: the process is ending, and its status is waited for.
void TakeEnd(int index) {
    Unit& unit = Units[static_cast<size_t>(index)];
    close(unit.Err);
    unit.Err = -1;
    if (!unit.Pending.empty()) {
        unit.Pending += '\n';
        TakeLines(index);
    }
    int status = 0;
    while (waitpid(unit.Pid, &status, 0) < 0 && errno == EINTR) {
    }
    UnitOutput ended;
    ended.Unit = index;
    ended.Ended = true;
    ended.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    Ready.push_back(ended);
}

void PassOnInterrupt() {
    InterruptPassedOn = true;
    for (const Unit& unit : Units) {
        if (unit.Err >= 0) {
            kill(unit.Pid, SIGINT);
        }
    }
}

void ReadFrom(int index) {
    Unit& unit = Units[static_cast<size_t>(index)];
    char buffer[4096];
    const ssize_t got = read(unit.Err, buffer, sizeof(buffer));
    if (got > 0) {
        unit.Pending.append(buffer, static_cast<size_t>(got));
        TakeLines(index);
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        TakeEnd(index);
    }
}

} // namespace

std::string FilePathForUnit(const std::string& path) {
    return path;
}

std::string OwnProgramPath(const char* argv0) {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string(argv0);
}

int StartUnitProcess(const std::vector<std::string>& args, const std::string& outputPath,
                     std::string* error) {
    const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int pipeEnds[2];
    if (out < 0 || pipe(pipeEnds) != 0) {
        *error = std::strerror(errno);
        if (out >= 0) {
            close(out);
        }
        return -1;
    }
    fcntl(pipeEnds[0], F_SETFD, FD_CLOEXEC);
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        BecomeUnit(argv.data(), out, pipeEnds[1]);
    }
    const int saved = errno;
    close(out);
    close(pipeEnds[1]);
    if (pid < 0) {
        close(pipeEnds[0]);
        *error = std::strerror(saved);
        return -1;
    }
    Unit unit;
    unit.Pid = pid;
    unit.Err = pipeEnds[0];
    Units.push_back(unit);
    return static_cast<int>(Units.size()) - 1;
}

UnitOutput NextUnitOutput() {
    while (Ready.empty()) {
        if (Interrupted() && !InterruptPassedOn) {
            PassOnInterrupt();
        }
        std::vector<pollfd> waits;
        std::vector<int> indexes;
        for (size_t i = 0; i < Units.size(); ++i) {
            if (Units[i].Err >= 0) {
                waits.push_back({Units[i].Err, POLLIN, 0});
                indexes.push_back(static_cast<int>(i));
            }
        }
        if (waits.empty()) {
            return UnitOutput();
        }
        if (!InterruptPassedOn && InterruptWakeFd() >= 0) {
            waits.push_back({InterruptWakeFd(), POLLIN, 0});
        }
        // No time-out: each unit keeps its own, and ends; this process only listens.
        if (poll(waits.data(), static_cast<nfds_t>(waits.size()), -1) < 0) {
            continue;
        }
        for (size_t i = 0; i < indexes.size(); ++i) {
            if (waits[i].revents != 0) {
                ReadFrom(indexes[i]);
            }
        }
    }
    const UnitOutput next = Ready.front();
    Ready.pop_front();
    return next;
}
