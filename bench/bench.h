// What the benchmark's files share: its options, the traffic of a transfer, a run of unit-sim and
// the figures taken of it, and what each file offers the others (brelwick_bench.cpp says what the
// benchmark measures).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <sys/types.h>
#include <vector>

#include "protocol/unit_line.h"

namespace bench {

constexpr double WALL_TARGET = 1.05;   // the program within 5% of the bare loop
constexpr double CPU_TARGET = 2.0;     // and within twice its CPU time
constexpr double PACED_TARGET = 1.03;  // the paced block within 3% of the wire
constexpr double BYTE_TARGET_US = 3.0; // the program's cost a byte over the bare loop's, wall
constexpr int BITS_PER_BYTE = 10;      // start bit, 8 data bits, stop bit

struct Options {
    std::string Sim = UNIT_SIM_EXE;
    uint32_t Bytes = 100000;
    uint32_t BlockBytes = BLOCK_SIZE;
    uint32_t LatencyBytes = 4096;
    unsigned Baud = LINE_BAUD;
    int Rounds = 1;
    bool OneCpu = true;
};

// ---- The traffic of a transfer ----

// One write of the program and the replies it then waits for.
struct Step {
    size_t Start; // into Traffic::Down
    size_t Count;
    size_t Replies;
};

struct Traffic {
    std::vector<uint8_t> Down; // every byte to the unit, in order
    std::vector<uint8_t> Up;   // every reply the unit gives, in order
    std::vector<Step> Steps;
};

// What a transfer of the image puts on the line when the unit answers everything.
Traffic TransferTraffic(const uint8_t* image, uint32_t length);

// Fills FirmwareImage with a fixed pseudo-random image of `length` bytes.
void FillImage(uint32_t length);

// ---- The simulated unit ----

struct SimRun {
    pid_t Pid = -1;
    std::string Port;
    std::string RxPath;
    std::string ErrPath;
};

// Starts unit-sim serving one update; it prints its port and ends after the end marker.
bool StartSim(const Options& options, const std::string& dir, const std::string& name,
              const std::vector<std::string>& extra, SimRun* sim);

// Waits for unit-sim to end; true when it verified every block. Its CPU time goes to *cpu.
bool FinishSim(SimRun* sim, double* cpu);

std::vector<uint8_t> ReadBytes(const std::string& path);

// ---- Timing ----

struct Figures {
    size_t BytesDown = 0; // as the unit counted them
    size_t BytesUp = 0;
    double WallS = 0;
    double CpuS = 0;
    double SimCpuS = 0;
};

struct Stopwatch {
    std::chrono::steady_clock::time_point Wall;
    double Cpu = 0;
};

Stopwatch Start();
void Stop(const Stopwatch& start, Figures* figures);

// ---- The two ways of sending ----

// The program's own code, its console output sent to /dev/null so the terminal sets no pace.
bool RunProgram(const SimRun& sim, FILE* devNull, Figures* figures);

// How the paced line kept to the wire: steps whose replies came sooner than a real line could
// bring them, and the least time any step took beyond what the wire needs.
struct Honesty {
    size_t Early = 0;
    double LeastMarginS = 1e9;
};

// The least a lock-step sender can do: write, wait for the replies in poll() and read them,
// repeat.
// Given `honesty`, each step is also timed (two clock reads) against `byteS` a byte each way.
bool RunBareLoop(const SimRun& sim, const Traffic& traffic, Figures* figures, double byteS = 0,
                 Honesty* honesty = nullptr);

// ---- Runs ----

struct Round {
    Figures Program;
    Figures Bare;
    Figures Paced;
    Figures PacedBare;
    Honesty PacedHonesty;
    double WireS = 0;
};

// Runs one sender against a fresh unit-sim and checks what reached the unit.
template <class Send>
bool AgainstSim(const Options& options, const std::string& dir, const std::string& name,
                const std::vector<std::string>& simArgs, const Traffic& traffic, Figures* figures,
                Send send) {
    SimRun sim;
    if (!StartSim(options, dir, name, simArgs, &sim)) {
        return false;
    }
    const bool sent = send(sim);
    const bool verified = FinishSim(&sim, &figures->SimCpuS);
    const std::vector<uint8_t> down = ReadBytes(sim.RxPath);
    figures->BytesDown = down.size();
    figures->BytesUp = traffic.Up.size();
    if (down != traffic.Down) {
        std::fprintf(stderr, "brelwick_bench: %s: the unit got other bytes than expected\n",
                     name.c_str());
        return false;
    }
    return sent && verified;
}

// The full image through the program and through the bare loop, the first in turn.
bool RunFullImage(const Options& options, const std::string& dir, int index, FILE* devNull,
                  Round* round);

// One block over the paced line through both senders, against the wire limit.
bool RunPacedBlock(const Options& options, const std::string& dir, int index, FILE* devNull,
                   Round* round);

// ---- Through an adapter's latency timer ----

struct LatencyRun {
    unsigned LatencyMs = 0;
    double WallS = 0;
    double MsPerByte = 0;  // as the program measured it
    double MsPerBlock = 0; // between one block's last byte and the next's first
    double LeftShownS[3] = {};
    double LeftTookS[3] = {};
};

bool RunLatencies(const Options& options, const std::string& dir, FILE* devNull,
                  std::vector<LatencyRun>* runs);
void PrintLatencies(const Options& options, const std::vector<LatencyRun>& runs);

// ---- Report ----

void PrintMachine(const Options& options, const std::string& placement);
void PrintTimerLateness(const Options& options);
void PrintRound(const Options& options, int index, const Round& r);
void PrintSummary(const std::vector<Round>& rounds);

} // namespace bench
