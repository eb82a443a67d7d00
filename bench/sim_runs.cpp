// Running a sender against unit-sim: the traffic a transfer puts on the line, the image sent,
// starting unit-sim and reading back what it verified and received, the stopwatch, and the
// program's own code as the sender.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app/update.h"
#include "console/console.h"
#include "console/status.h"
#include "hex/hex_loader.h"
#include "serial/serial.h"
#include "sim/sim_unit.h"
#include "transfer/transfer.h"

#include "bench.h"

namespace bench {
namespace {

void AddStep(Traffic* t, std::initializer_list<uint8_t> out, std::initializer_list<uint8_t> up) {
    t->Steps.push_back({t->Down.size(), out.size(), up.size()});
    t->Down.insert(t->Down.end(), out);
    t->Up.insert(t->Up.end(), up);
}

bool ReadPortLine(int fd, std::string* port) {
    const std::string prefix = "unit-sim: port ";
    std::string line;
    char c = 0;
    while (line.size() < 512) {
        pollfd wait = {fd, POLLIN, 0};
        if (poll(&wait, 1, 5000) <= 0 || read(fd, &c, 1) != 1) {
            return false;
        }
        if (c == '\n') {
            break;
        }
        line += c;
    }
    if (line.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    *port = line.substr(prefix.size());
    return true;
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double CpuSeconds(const rusage& usage) {
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

double SelfCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return CpuSeconds(usage);
}

} // namespace

// What a transfer of the image puts on the line when the unit answers everything: the handshake
// byte by byte and SOH, each block's header in one write, its data byte by byte, its trailer in
// one write followed by the echo, the acknowledgement and the flash-written reply; the end marker.
Traffic TransferTraffic(const uint8_t* image, uint32_t length) {
    Traffic t;
    const size_t last = sizeof(TRANSFER_MODE_COMMAND) - 1;
    for (size_t i = 0; i <= last; ++i) {
        const uint8_t byte = TRANSFER_MODE_COMMAND[i];
        if (i < last) {
            AddStep(&t, {byte}, {byte});
        } else {
            AddStep(&t, {byte}, {byte, SOH});
        }
    }
    uint32_t remaining = length;
    uint8_t number = 0;
    do {
        const uint16_t n = static_cast<uint16_t>(std::min(remaining, BLOCK_SIZE));
        const uint8_t* data = image + static_cast<size_t>(number) * BLOCK_SIZE;
        const uint8_t high = static_cast<uint8_t>(n >> 8);
        const uint8_t low = static_cast<uint8_t>(n & 0xFF);
        AddStep(&t, {STX, number, high, low}, {STX, number, high, low});
        for (uint16_t i = 0; i < n; ++i) {
            AddStep(&t, {data[i]}, {data[i]});
        }
        const uint16_t check = static_cast<uint16_t>(0x10000u - BlockSum(number, data, n));
        const uint8_t c1 = static_cast<uint8_t>(check >> 8);
        const uint8_t c0 = static_cast<uint8_t>(check & 0xFF);
        AddStep(&t, {c1, c0, ETX}, {c1, c0, ETX, SIM_ACK, SIM_FLASHED});
        remaining -= n;
        ++number;
    } while (remaining != 0);
    AddStep(&t, {END_MARKER[0], END_MARKER[1]}, {});
    return t;
}

// A fixed pseudo-random image: every byte value, no runs that a line could make easy.
void FillImage(uint32_t length) {
    uint32_t state = 0x2545F491u;
    for (uint32_t i = 0; i < length; ++i) {
        state = state * 1664525u + 1013904223u;
        FirmwareImage[i] = static_cast<uint8_t>(state >> 24);
    }
    ImageLength = length;
}

// Starts unit-sim serving one update; it prints its port and ends after the end marker.
bool StartSim(const Options& options, const std::string& dir, const std::string& name,
              const std::vector<std::string>& extra, SimRun* sim) {
    sim->RxPath = dir + "/" + name + ".rx";
    sim->ErrPath = dir + "/" + name + ".err";
    std::vector<std::string> args = {options.Sim, "--rx", sim->RxPath};
    args.insert(args.end(), extra.begin(), extra.end());
    int out[2];
    if (pipe(out) != 0) {
        return false;
    }
    sim->Pid = fork();
    if (sim->Pid == 0) {
        const int err = open(sim->ErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out[1], 1);
        dup2(err, 2);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    const bool started = sim->Pid > 0 && ReadPortLine(out[0], &sim->Port);
    close(out[0]);
    if (!started) {
        std::fprintf(stderr, "brelwick_bench: cannot start %s\n", options.Sim.c_str());
        if (sim->Pid > 0) {
            kill(sim->Pid, SIGTERM);
            waitpid(sim->Pid, nullptr, 0);
        }
    }
    return started;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Waits for unit-sim to end; true when it verified every block. Its CPU time goes to *cpu.
bool FinishSim(SimRun* sim, double* cpu) {
    int status = 0;
    rusage usage{};
    if (wait4(sim->Pid, &status, 0, &usage) != sim->Pid) {
        return false;
    }
    *cpu = CpuSeconds(usage);
    const bool verified = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!verified) {
        const std::vector<uint8_t> report = ReadBytes(sim->ErrPath);
        std::fprintf(stderr, "brelwick_bench: unit-sim did not verify the transfer:\n%.*s",
                     static_cast<int>(report.size()), reinterpret_cast<const char*>(report.data()));
    }
    return verified;
}

Stopwatch Start() {
    return {std::chrono::steady_clock::now(), SelfCpuSeconds()};
}

void Stop(const Stopwatch& start, Figures* figures) {
    figures->WallS =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start.Wall).count();
    figures->CpuS = SelfCpuSeconds() - start.Cpu;
}

// The program's own code, its console output sent to /dev/null so the terminal sets no pace.
bool RunProgram(const SimRun& sim, FILE* devNull, Figures* figures) {
    PortName = sim.Port;
    OpenSerialPort();
    SetConsoleStreams(devNull, nullptr);
    SetConsoleNoteStream(devNull);
    const Stopwatch start = Start();
    const int status = TransferImage();
    Stop(start, figures);
    SetConsoleStreams(nullptr, nullptr);
    SetConsoleNoteStream(nullptr);
    ReleaseResources();
    if (status != STATUS_FLASHED) {
        std::fprintf(stderr, "brelwick_bench: TransferImage returned %d\n", status);
        return false;
    }
    return true;
}

} // namespace bench
