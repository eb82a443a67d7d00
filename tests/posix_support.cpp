#include "posix_support.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Reads both pipes to their ends, whichever has something, so neither can fill and stall the child.
void DrainBoth(int outFd, std::string* out, int errFd, std::string* err) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {out, err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t got = read(fds[i].fd, chunk, sizeof(chunk));
            if (got > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

} // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (!input.empty()) {
        const ssize_t ignored = write(in[1], input.data(), input.size());
        (void)ignored;
    }
    close(in[1]);
    ProcessResult result;
    DrainBoth(out[0], &result.Out, err[0], &result.Err);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

namespace {

// In the child: becomes nobody for good, or says why not.
bool BecomeNobody() {
    const passwd* nobody = getpwnam("nobody");
    const char* why = nullptr;
    if (nobody == nullptr) {
        why = "there is no user nobody";
    } else if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
               setuid(nobody->pw_uid) != 0) {
        why = std::strerror(errno);
    } else if (setuid(0) == 0) {
        why = "it could become root again";
    }
    if (why != nullptr) {
        std::fprintf(stderr, "cannot run as nobody: %s\n", why);
        return false;
    }
    return true;
}

// Reads both pipes to their ends, or until the deadline; false when the deadline came first.
bool DrainUntil(int outFd, std::string* out, int errFd, std::string* err,
                std::chrono::steady_clock::time_point deadline) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {out, err};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        const int ready = poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            return true;
        }
        for (int i = 0; ready > 0 && i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t got = read(fds[i].fd, chunk, sizeof(chunk));
            if (got > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    return true;
}

} // namespace

BoundedResult RunBounded(const std::vector<std::string>& argv, const RunLimits& limits) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const auto deadline = std::chrono::steady_clock::now() + limits.Time;
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in, out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        if (!limits.Dir.empty() && chdir(limits.Dir.c_str()) != 0) {
            _exit(NOT_STARTED);
        }
        if (limits.AsNobody && !BecomeNobody()) {
            _exit(NOT_STARTED);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
        _exit(NOT_STARTED);
    }
    close(out[1]);
    close(err[1]);
    BoundedResult result;
    result.Killed = !DrainUntil(out[0], &result.Out, err[0], &result.Err, deadline);
    if (result.Killed) {
        kill(pid, SIGKILL);
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.MaxRssKiB = usage.ru_maxrss;
    return result;
}

Pty::Pty() {
    char name[256] = {};
    if (openpty(&Master, &Slave, name, nullptr, nullptr) != 0) {
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    }
    SlavePath = name;
    termios raw{};
    tcgetattr(Slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(Slave, TCSANOW, &raw);
}

Pty::~Pty() {
    CloseMaster();
    close(Slave);
}

void Pty::CloseMaster() {
    if (Master >= 0) {
        close(Master);
        Master = -1;
    }
}

std::vector<uint8_t> ReadFor(int fd, size_t count, std::chrono::milliseconds limit) {
    std::vector<uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        uint8_t chunk[4096];
        const ssize_t got = read(fd, chunk, std::min(sizeof(chunk), count - bytes.size()));
        if (got <= 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

void WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = write(fd, bytes.data() + done, bytes.size() - done);
        if (sent <= 0) {
            throw std::runtime_error("write to the pty failed");
        }
        done += static_cast<size_t>(sent);
    }
}
