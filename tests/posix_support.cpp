#include "posix_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Reads both pipes to their ends, whichever has something, so neither can fill and stall the child.
// Returns false when `deadline` passed first.
bool DrainBoth(int outFd, std::string* out, int errFd, std::string* err,
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
        if (poll(fds, 2, static_cast<int>(left.count())) < 0) {
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
    return true;
}

} // namespace

void Exec(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input,
                         std::chrono::milliseconds limit, int user, Terminal terminal) {
    int in[2], out[2], err[2];
    const bool pty = terminal != Terminal::NONE;
    if (pipe(in) != 0 || pipe(out) != 0 ||
        (pty ? openpty(&err[0], &err[1], nullptr, nullptr, nullptr) : pipe(err)) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (pty) {
        // Raw, so that what the program writes arrives as it wrote it.
        termios raw{};
        tcgetattr(err[1], &raw);
        cfmakeraw(&raw);
        tcsetattr(err[1], TCSANOW, &raw);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(terminal == Terminal::OUT_AND_ERR ? err[1] : out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        if (user >= 0 &&
            (setgid(static_cast<gid_t>(user)) != 0 || setuid(static_cast<uid_t>(user)) != 0)) {
            _exit(126);
        }
        Exec(argv);
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
    const auto deadline = std::chrono::steady_clock::now() + limit;
    if (!DrainBoth(out[0], &result.Out, err[0], &result.Err, deadline)) {
        result.TimedOut = true;
        kill(pid, SIGKILL);
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.MaxRssKb = usage.ru_maxrss;
    return result;
}

Child::Child(const std::vector<std::string>& argv, const std::string& cwd) {
    int in[2], out[2], err[2];
    // Close-on-exec, so that no other child holds these pipes open.
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    m_Pid = fork();
    if (m_Pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        Exec(argv);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    m_In = in[1];
    m_Out = out[0];
    m_Err = err[0];
}

Child::~Child() {
    if (!m_Exited && m_Pid > 0) {
        kill(m_Pid, SIGKILL);
        Reap(0);
    }
    for (int fd : {m_In, m_Out, m_Err}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void Child::Write(const std::string& text) {
    if (m_In >= 0) {
        const ssize_t ignored = write(m_In, text.data(), text.size());
        (void)ignored;
    }
}

void Child::CloseInput() {
    if (m_In >= 0) {
        close(m_In);
        m_In = -1;
    }
}

// One round of reading whatever either pipe has, waiting at most waitMs for something.
void Child::Pump(int waitMs) {
    pollfd fds[2] = {{m_Out, POLLIN, 0}, {m_Err, POLLIN, 0}};
    if (poll(fds, 2, waitMs) <= 0) {
        return;
    }
    int* ends[2] = {&m_Out, &m_Err};
    std::string* sinks[2] = {&m_Result.Out, &m_Result.Err};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t got = read(fds[i].fd, chunk, sizeof(chunk));
        if (got > 0) {
            sinks[i]->append(chunk, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            close(*ends[i]);
            *ends[i] = -1;
        }
    }
}

bool Child::Reap(int options) {
    int status = 0;
    if (waitpid(m_Pid, &status, options) != m_Pid) {
        return false;
    }
    m_Exited = true;
    m_Result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

bool Child::WaitForOutput(const std::string& text, std::chrono::milliseconds limit,
                          std::chrono::steady_clock::time_point* seen) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (m_Result.Out.find(text) == std::string::npos) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline || (m_Out < 0 && m_Err < 0)) {
            return false;
        }
        Pump(static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1));
    }
    if (seen != nullptr) {
        *seen = std::chrono::steady_clock::now();
    }
    return true;
}

ProcessResult Child::Finish(std::chrono::milliseconds limit) {
    CloseInput();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::chrono::steady_clock::time_point exitedAt{};
    while (m_Out >= 0 || m_Err >= 0 || !m_Exited) {
        const auto now = std::chrono::steady_clock::now();
        if (!m_Exited && now >= deadline) {
            kill(m_Pid, SIGKILL);
        }
        if (!m_Exited && Reap(WNOHANG)) {
            exitedAt = now;
        }
        // A helper the program started may hold its pipes: once it has exited, what is still
        // to come comes at once.
        if (m_Exited && now - exitedAt > std::chrono::seconds(2)) {
            break;
        }
        Pump(20);
    }
    return m_Result;
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

std::string Sha256Sum(const std::string& path) {
    const ProcessResult run = RunProcess({"sha256sum", path});
    EXPECT_EQ(run.Status, 0) << run.Err;
    return run.Out.substr(0, run.Out.find(' '));
}

std::string ImageSha256Sum(const std::string& hexPath) {
    const std::string image = hexPath + ".image";
    const ProcessResult run =
        RunProcess({"srec_cat", hexPath, "-intel", "-fill", "0x00", "0", "-maximum-address",
                    hexPath, "-intel", "-o", image, "-binary"});
    EXPECT_EQ(run.Status, 0) << "srec_cat failed (is it installed?): " << run.Err;
    return Sha256Sum(image);
}
