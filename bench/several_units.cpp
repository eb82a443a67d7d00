// bench_units: do N units on N lines take as long as one? The program runs as a bench of N units
// against unit-sim --units N pacing every line at 19200 baud, and alone against one unit; the
// wall time of both, and the CPU time of everything each run started (the units' processes and
// unit-sim's together) per unit. Every unit must be flashed, or the figures mean nothing and the
// benchmark fails (status 1).
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The bench's parent process (the program that unit-sim started, which starts the units), as
// /proc last showed it before it ended: its own CPU time and how often it went to sleep and was
// woken. A parent that sleeps until a unit says something wakes about as often as the units send
// events; a polling loop would add its own wake-ups, events or none.
struct ParentFigures {
    bool Seen = false;
    double CpuSeconds = 0;
    long Wakeups = 0; // voluntary context switches: each a sleep that ended
    double Seconds = 0;
};

std::string ProcFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The child of `pid` that runs `program` (unit-sim's other children pace its lines); 0 when
// there is none yet.
pid_t ProgramChildOf(pid_t pid, const std::string& program) {
    char wanted[PATH_MAX];
    if (realpath(program.c_str(), wanted) == nullptr) {
        return 0;
    }
    const std::string id = std::to_string(pid);
    std::istringstream children(ProcFile("/proc/" + id + "/task/" + id + "/children"));
    for (long child = 0; children >> child;) {
        char exe[PATH_MAX] = {};
        const std::string link = "/proc/" + std::to_string(child) + "/exe";
        if (readlink(link.c_str(), exe, sizeof(exe) - 1) > 0 && std::strcmp(exe, wanted) == 0) {
            return static_cast<pid_t>(child);
        }
    }
    return 0;
}

// False once the process is gone (or a zombie): the figures stay as the last sample left them.
bool SampleParent(pid_t pid, ParentFigures* figures) {
    const std::string id = std::to_string(pid);
    const std::string stat = ProcFile("/proc/" + id + "/stat");
    const size_t name = stat.rfind(')');
    if (name == std::string::npos) {
        return false;
    }
    char state = 0;
    unsigned long utime = 0, stime = 0;
    unsigned long long started = 0;
    // After the name: state, then utime and stime are the 12th and 13th fields, starttime the 20th.
    if (std::sscanf(
            stat.c_str() + name + 1,
            " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu %*d %*d %*d %*d %*d %*d %llu",
            &state, &utime, &stime, &started) != 4 ||
        state == 'Z') {
        return false;
    }
    const std::string status = ProcFile("/proc/" + id + "/status");
    const size_t at = status.find("\nvoluntary_ctxt_switches:");
    if (at == std::string::npos) {
        return false;
    }
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    figures->Seen = true;
    figures->CpuSeconds = static_cast<double>(utime + stime) / ticks;
    figures->Wakeups = std::atol(status.c_str() + at + std::strlen("\nvoluntary_ctxt_switches:"));
    figures->Seconds =
        std::atof(ProcFile("/proc/uptime").c_str()) - static_cast<double>(started) / ticks;
    return true;
}

struct Measured {
    int Status = -1;
    double WallSeconds = 0;
    double CpuSeconds = 0; // of every process the run started
};

double CpuOfChildren() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// With `parent`, the program that the run's first process (unit-sim) starts is sampled every
// 20 ms.
Measured Run(const std::vector<std::string>& args, ParentFigures* parent = nullptr) {
    const double cpuBefore = CpuOfChildren();
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        if (std::freopen("/dev/null", "w", stdout) == nullptr) {
            _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    int raw = 0;
    pid_t program = 0;
    while (waitpid(pid, &raw, parent != nullptr ? WNOHANG : 0) == 0) {
        program = program != 0 ? program : ProgramChildOf(pid, BRELWICK_EXE);
        if (program != 0) {
            SampleParent(program, parent);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Measured measured;
    measured.WallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    measured.CpuSeconds = CpuOfChildren() - cpuBefore;
    measured.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return measured;
}

// An image of `bytes` random bytes as Intel HEX, 32 data bytes a record.
std::string WriteImage(const std::string& path, unsigned bytes) {
    std::ofstream out(path);
    std::srand(26);
    char line[128];
    for (unsigned at = 0; at < bytes; at += 32) {
        const unsigned count = bytes - at < 32 ? bytes - at : 32;
        unsigned sum = count + (at >> 8) + (at & 0xFF);
        int used = std::snprintf(line, sizeof(line), ":%02X%04X00", count, at);
        for (unsigned i = 0; i < count; ++i) {
            const unsigned byte = static_cast<unsigned>(std::rand()) & 0xFF;
            sum += byte;
            used +=
                std::snprintf(line + used, sizeof(line) - static_cast<size_t>(used), "%02X", byte);
        }
        std::snprintf(line + used, sizeof(line) - static_cast<size_t>(used), "%02X\n",
                      (0x100 - (sum & 0xFF)) & 0xFF);
        out << line;
    }
    out << ":00000001FF\n";
    return path;
}

Measured Bench(const std::string& sim, const std::string& program, const std::string& hex,
               const std::string& dir, int units, ParentFigures* parent) {
    return Run({sim, "--units", std::to_string(units), "--baud", "19200", "--", program, "-q", "-c",
                "{port}", "-f", hex, "--logs", dir + "/logs-" + std::to_string(units)},
               parent);
}

} // namespace

int main(int argc, char** argv) {
    int units = 16;
    unsigned bytes = 8192;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--units") == 0) {
            units = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--bytes") == 0) {
            bytes = static_cast<unsigned>(std::atoi(argv[i + 1]));
        }
    }
    if (units < 2 || bytes == 0) {
        std::fprintf(stderr, "usage: bench_units [--units N (2 or more; default 16)] "
                             "[--bytes N (default 8192)]\n");
        return 2;
    }
    char dir[] = "/tmp/bench_units.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
    const std::string hex = WriteImage(std::string(dir) + "/fw.hex", bytes);
    // One unit alone: the ordinary run, no bench.
    const Measured alone =
        Run({UNIT_SIM_EXE, "--baud", "19200", "--", BRELWICK_EXE, "-q", "-c", "{port}", "-f", hex});
    ParentFigures parent;
    const Measured bench = Bench(UNIT_SIM_EXE, BRELWICK_EXE, hex, dir, units, &parent);
    std::printf("image %u bytes, every line paced at 19200 baud\n", bytes);
    std::printf(
        "one unit alone:   %6.2f s wall, %6.3f s CPU (the program and unit-sim), status %d\n",
        alone.WallSeconds, alone.CpuSeconds, alone.Status);
    std::printf("%2d units at once: %6.2f s wall, %6.3f s CPU, %6.3f s CPU a unit, status %d\n",
                units, bench.WallSeconds, bench.CpuSeconds, bench.CpuSeconds / units, bench.Status);
    std::printf("wall time against one unit alone: %.3f (target at most 1.1)\n",
                bench.WallSeconds / alone.WallSeconds);
    std::printf("CPU a unit against one unit alone: %.3f\n",
                bench.CpuSeconds / units / alone.CpuSeconds);
    if (parent.Seen) {
        const double perSecond = static_cast<double>(parent.Wakeups) / parent.Seconds;
        std::printf("the bench's parent: %.3f s CPU, %ld wake-ups in %.2f s (%.1f a second, %.2f a "
                    "unit a second)\n",
                    parent.CpuSeconds, parent.Wakeups, parent.Seconds, perSecond,
                    perSecond / units);
    } else {
        std::printf("the bench's parent: not seen in /proc\n");
    }
    return alone.Status == 0 && bench.Status == 0 ? 0 : 1;
}
