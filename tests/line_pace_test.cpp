// The line sets the pace, not the program: every wait of the serial link and of unit-sim blocks in
// the kernel until a byte comes or its time is up. A wait is judged by what it costs while it
// lasts: CPU time, and voluntary context switches, each of which is one wake-up. A spinning wait
// shows as CPU time, a polling one as wake-ups. The costs are read the Linux way (RUSAGE_THREAD,
// /proc), and the low-latency request is Linux's own, so the file is Linux only.
#ifdef __linux__
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "posix_support.h"
#include "serial/serial.h"
#include "transfer/transfer.h"

namespace {

using std::chrono::milliseconds;

constexpr SerialTimeouts SHORT = {60, 20, 300};

struct Cost {
    double CpuMs = 0;
    long Wakeups = 0;
    Cost operator-(const Cost& before) const {
        return {CpuMs - before.CpuMs, Wakeups - before.Wakeups};
    }
};

Cost ThisThreadCost() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    return {cpu, usage.ru_nvcsw};
}

// ---- The updater's serial link ----

struct LinkWaitCase {
    const char* Title;
    size_t Asked;              // bytes a read asks for; 0: a pause instead
    std::vector<int> SendAtMs; // when the unit sends one byte each
    unsigned PauseMs;
    long MaxWakeups;
};
PRINTS_AS_TITLE(LinkWaitCase)

class LinkWait : public testing::TestWithParam<LinkWaitCase> {
  protected:
    void SetUp() override { SetSerialReadTimeouts(SHORT); }
    void TearDown() override { SetSerialReadTimeouts(UNIT_READ_TIMEOUTS); }
};

TEST_P(LinkWait, BlocksUntilAByteOrItsTime) {
    const LinkWaitCase& c = GetParam();
    Pty pty;
    SerialPort* port = nullptr;
    ASSERT_EQ(SerialOpen(pty.SlavePath, &port), 0);
    const auto start = std::chrono::steady_clock::now();
    std::thread unit([&] {
        for (int at : c.SendAtMs) {
            std::this_thread::sleep_until(start + milliseconds(at));
            WriteAll(pty.Master, {0x5A});
        }
    });
    const Cost before = ThisThreadCost();
    std::vector<uint8_t> buffer(c.Asked + 1);
    size_t brought = 0;
    if (c.Asked > 0) {
        SerialRead(port, buffer.data(), c.Asked, &brought);
    } else {
        SerialPause(c.PauseMs);
    }
    const Cost cost = ThisThreadCost() - before;
    const double took = ElapsedMs(start);
    unit.join();
    SerialClose(port);

    EXPECT_EQ(brought, c.SendAtMs.size());
    EXPECT_GE(took, 150) << "the wait did not last: nothing was measured";
    // Under QEMU's user-mode emulation this thread's context switches are the emulator's own (its
    // locks between the emulated threads, 6 to 83 of them here where 3 are allowed), not the
    // link's waits: the native run of the same test bounds them.
    if (!TESTS_EMULATED) {
        EXPECT_LE(cost.Wakeups, c.MaxWakeups)
            << "woke " << cost.Wakeups << " times in " << took << " ms";
    }
    EXPECT_LT(cost.CpuMs, 25) << "spent " << cost.CpuMs << " ms of CPU in " << took << " ms";
}

// SHORT: a one-byte read gives up after 320 ms, a four-byte one after 380 ms, or 60 ms after a
// byte once one has come.
INSTANTIATE_TEST_SUITE_P(
    Short, LinkWait,
    testing::Values(LinkWaitCase{"SilentOneByteRead", 1, {}, 0, 3},
                    LinkWaitCase{"SilentFourByteRead", 4, {}, 0, 3},
                    // Each byte wakes the read, and on a busy machine the read that takes it may
                    // wait its turn for the tty's lock once more; a polling wait wakes dozens of
                    // times.
                    LinkWaitCase{"BytesThenTheInterval", 4, {40, 80, 120}, 0, 3 + 2 * 3},
                    LinkWaitCase{"Pause", 0, {}, 200, 2}),
    TitleOf<LinkWaitCase>);

// A pty has no serial driver behind it and refuses the low-latency request; the port must open and
// work just the same.
TEST(LowLatency, RefusedByAPtyChangesNothing) {
    Pty pty;
    serial_struct serial{};
    ASSERT_NE(ioctl(pty.Slave, TIOCGSERIAL, &serial), 0)
        << "this pty takes TIOCGSERIAL, so the refusal is not what is tested here";
    SetSerialReadTimeouts(SHORT);
    SerialPort* port = nullptr;
    ASSERT_EQ(SerialOpen(pty.SlavePath, &port), 0);
    const uint8_t out = 0x0D;
    EXPECT_EQ(SerialWrite(port, &out, 1), 0);
    EXPECT_EQ(ReadFor(pty.Master, 1, milliseconds(1000)), std::vector<uint8_t>{0x0D});
    WriteAll(pty.Master, {0x11});
    uint8_t in = 0;
    size_t brought = 0;
    EXPECT_EQ(SerialRead(port, &in, 1, &brought), 0);
    EXPECT_EQ(brought, 1u);
    EXPECT_EQ(in, 0x11);
    EXPECT_EQ(SerialLastError(), 0);
    SerialClose(port);
    SetSerialReadTimeouts(UNIT_READ_TIMEOUTS);
}

// ---- unit-sim ----

// unit-sim serving one update, with the test playing the updater on its port.
class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& options) {
        std::vector<std::string> args = {UNIT_SIM_EXE};
        args.insert(args.end(), options.begin(), options.end());
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        m_Pid = fork();
        if (m_Pid == 0) {
            dup2(out[1], 1);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            Exec(args);
        }
        close(out[1]);
        std::string line;
        for (std::vector<uint8_t> c; line.find('\n') == std::string::npos && line.size() < 200;) {
            c = ReadFor(out[0], 1, milliseconds(5000));
            if (c.empty()) {
                break;
            }
            line += static_cast<char>(c[0]);
        }
        close(out[0]);
        const std::string prefix = "unit-sim: port ";
        if (line.compare(0, prefix.size(), prefix) == 0) {
            const std::string path = line.substr(prefix.size(), line.find('\n') - prefix.size());
            Fd = open(path.c_str(), O_RDWR | O_NOCTTY);
            termios raw{};
            tcgetattr(Fd, &raw);
            cfmakeraw(&raw);
            tcsetattr(Fd, TCSANOW, &raw);
        }
    }
    ~SimProcess() {
        if (Fd >= 0) {
            close(Fd);
        }
        if (m_Pid > 0) {
            kill(m_Pid, SIGTERM);
            waitpid(m_Pid, nullptr, 0);
        }
    }
    // CPU time from the scheduler's own count, and voluntary switches, so far.
    Cost SoFar() const {
        const std::string proc = "/proc/" + std::to_string(m_Pid);
        Cost cost;
        long long runNs = 0;
        std::ifstream(proc + "/schedstat") >> runNs;
        cost.CpuMs = static_cast<double>(runNs) / 1e6;
        std::ifstream status(proc + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0) {
                cost.Wakeups = std::stol(line.substr(24));
            }
        }
        return cost;
    }

    int Fd = -1; // the updater's end of the line

  private:
    pid_t m_Pid = -1;
};

// Sends the transfer-mode command byte by byte, each after the echo of the one before.
void Handshake(int fd) {
    for (const uint8_t byte : TRANSFER_MODE_COMMAND) {
        WriteAll(fd, {byte});
        ASSERT_EQ(ReadFor(fd, 1, milliseconds(2000)), std::vector<uint8_t>{byte});
    }
}

struct SimWaitCase {
    const char* Title;
    std::vector<std::string> Options;
    std::function<void(int fd)> Before;  // not measured
    std::function<size_t(int fd)> While; // measured; returns the bytes it exchanged
    std::function<void(int fd)> After;   // not measured
    long FixedWakeups;
    long WakeupsPerByte;
    double AtLeastMs; // what the line itself needs for the bytes: the unit must not beat it
};
PRINTS_AS_TITLE(SimWaitCase)

class SimWait : public testing::TestWithParam<SimWaitCase> {};

TEST_P(SimWait, BlocksUntilAByteOrItsTime) {
    const SimWaitCase& c = GetParam();
    SimProcess sim(c.Options);
    ASSERT_GE(sim.Fd, 0) << "unit-sim did not start";
    c.Before(sim.Fd);
    const Cost before = sim.SoFar();
    const auto start = std::chrono::steady_clock::now();
    const size_t bytes = c.While(sim.Fd);
    const double took = ElapsedMs(start);
    const Cost cost = sim.SoFar() - before;
    c.After(sim.Fd);

    const long allowed = c.FixedWakeups + c.WakeupsPerByte * static_cast<long>(bytes);
    std::printf("%ld wake-ups (%ld allowed), %.2f ms CPU, %zu bytes in %.0f ms\n", cost.Wakeups,
                allowed, cost.CpuMs, bytes, took);
    EXPECT_LE(cost.Wakeups, allowed) << bytes << " bytes in " << took << " ms";
    EXPECT_GE(took, c.AtLeastMs) << "the paced line was faster than its baud rate allows";
    // Spinning for even a tenth of the time would show; the rest is a generous budget for the
    // work of the bytes.
    EXPECT_LT(cost.CpuMs, took / 10 + 0.2 * static_cast<double>(bytes))
        << bytes << " bytes in " << took << " ms";
}

void Nothing(int) {}

size_t Idle(int) {
    std::this_thread::sleep_for(milliseconds(300));
    return 0;
}

// A unit that stays silent still hears each byte. Between one and two wake-ups a byte are seen
// (the count takes in any sleep inside a system call); a poller would show hundreds.
size_t BytesTenMsApart(int fd) {
    for (int i = 0; i < 20; ++i) {
        WriteAll(fd, {0x55});
        std::this_thread::sleep_for(milliseconds(10));
    }
    return 20;
}

// A babbling unit whose updater stopped reading: once the line is full it must wait for room.
void HandshakeThenStopReading(int fd) {
    Handshake(fd);
    std::this_thread::sleep_for(milliseconds(300));
}

// More than a pty holds: the unit went on once the line had room again.
void LineFilledAndBabbleGoesOn(int fd) {
    EXPECT_EQ(ReadFor(fd, 100000, milliseconds(3000)).size(), 100000u)
        << "the unit stopped talking";
}

// Lock-step bytes on a paced line: the unit wakes when a byte comes and when its echo is due,
// never in between.
void StartBlockOf200(int fd) {
    Handshake(fd);
    ASSERT_EQ(ReadFor(fd, 1, milliseconds(2000)), std::vector<uint8_t>{SOH});
    WriteAll(fd, {STX, 0, 0, 200});
    ASSERT_EQ(ReadFor(fd, 4, milliseconds(2000)).size(), 4u);
}

size_t LockStep200(int fd) {
    for (int i = 0; i < 200; ++i) {
        const uint8_t byte = static_cast<uint8_t>(i * 37);
        WriteAll(fd, {byte});
        EXPECT_EQ(ReadFor(fd, 1, milliseconds(1000)), std::vector<uint8_t>{byte});
    }
    return 200;
}

// A fast paced babble fills the line within the first half second; then the unit must wait.
void HandshakeThenLetTheLineFill(int fd) {
    Handshake(fd);
    std::this_thread::sleep_for(milliseconds(600));
}

// Echoes of more than the line holds, none of them read yet: the rest wait for room.
void WriteMoreThanALineHolds(int fd) {
    WriteAll(fd, std::vector<uint8_t>(60000, 'x'));
    std::this_thread::sleep_for(milliseconds(300));
}

void EveryEchoCame(int fd) {
    EXPECT_EQ(ReadFor(fd, 60000, milliseconds(3000)).size(), 60000u) << "echoes went missing";
}

// A block of no bytes, up to the flash-written reply, which --slow-flash holds back for 5 s.
void EmptyBlockUpToTheFlashReply(int fd) {
    Handshake(fd);
    ASSERT_EQ(ReadFor(fd, 1, milliseconds(2000)), std::vector<uint8_t>{SOH});
    WriteAll(fd, {STX, 0, 0, 0, 0xFF, 0xFE, ETX});
    ASSERT_EQ(ReadFor(fd, 8, milliseconds(2000)).size(), 8u) << "header, trailer and ACK";
}

// Each paced byte goes down and comes back: 2 x 10 bits at 19200 baud.
constexpr double PACED_200_MS = 200 * 2 * 10 * 1000.0 / 19200;
// Through an adapter with a 4 ms latency timer, each echo leaves at a tick of its own, at least
// 4 ms after the one before.
constexpr double LATENCY_4_200_MS = 199 * 4;

INSTANTIATE_TEST_SUITE_P(
    Modes, SimWait,
    testing::Values(
        SimWaitCase{"WaitingForTheUpdater", {}, Nothing, Idle, Nothing, 2, 0, 0},
        SimWaitCase{"SilentHearingBytes", {"--silent"}, Nothing, BytesTenMsApart, Nothing, 2, 3, 0},
        SimWaitCase{"BabblingIntoAFullLine",
                    {"--no-soh"},
                    HandshakeThenStopReading,
                    Idle,
                    LineFilledAndBabbleGoesOn,
                    2,
                    0,
                    0},
        SimWaitCase{"PacedBabblingIntoAFullLine",
                    {"--no-soh", "--baud", "4000000"},
                    HandshakeThenLetTheLineFill,
                    Idle,
                    LineFilledAndBabbleGoesOn,
                    2,
                    0,
                    0},
        SimWaitCase{
            "EchoesWaitingForRoom", {}, WriteMoreThanALineHolds, Idle, EveryEchoCame, 2, 0, 0},
        SimWaitCase{"FlashReplyDueLater",
                    {"--slow-flash", "0:5000"},
                    EmptyBlockUpToTheFlashReply,
                    Idle,
                    Nothing,
                    2,
                    0,
                    0},
        SimWaitCase{"PacedLockStep",
                    {"--baud", "19200"},
                    StartBlockOf200,
                    LockStep200,
                    Nothing,
                    4,
                    3,
                    PACED_200_MS},
        SimWaitCase{"AdapterLatencyLockStep",
                    {"--latency", "4"},
                    StartBlockOf200,
                    LockStep200,
                    Nothing,
                    4,
                    3,
                    LATENCY_4_200_MS}),
    TitleOf<SimWaitCase>);

// ---- The paced line, step by step ----

// One write and the answers it brings.
struct LineStep {
    std::vector<uint8_t> Down;
    std::vector<uint8_t> Up;
};

// The handshake byte by byte, an empty block 0 and its trailer: each kind of step a transfer has.
std::vector<LineStep> ShortConversation() {
    std::vector<LineStep> steps;
    const size_t last = sizeof(TRANSFER_MODE_COMMAND) - 1;
    for (size_t i = 0; i < last; ++i) {
        steps.push_back({{TRANSFER_MODE_COMMAND[i]}, {TRANSFER_MODE_COMMAND[i]}});
    }
    steps.push_back({{TRANSFER_MODE_COMMAND[last]}, {TRANSFER_MODE_COMMAND[last], SOH}});
    steps.push_back({{STX, 0, 0, 0}, {STX, 0, 0, 0}});
    steps.push_back({{0xFF, 0xFE, ETX}, {0xFF, 0xFE, ETX, 0x06, 0x17}});
    return steps;
}

struct PaceCase {
    const char* Title;
    unsigned Baud;
};
PRINTS_AS_TITLE(PaceCase)

class PacedLine : public testing::TestWithParam<PaceCase> {};

// A real line carries one byte each way at a time, ten bit times each: after a write of n bytes
// that brings r answers, the last answer cannot have come before (r + 1) byte times, whatever
// the simulated unit does about the pty's own delays. A lower bound only: a busy machine makes
// answers later, never sooner, so this holds on any machine.
TEST_P(PacedLine, NoAnswerComesSoonerThanTheWireAllows) {
    const double byteMs = 10.0 * 1000 / GetParam().Baud;
    SimProcess sim({"--baud", std::to_string(GetParam().Baud)});
    ASSERT_GE(sim.Fd, 0) << "unit-sim did not start";
    for (const LineStep& step : ShortConversation()) {
        const auto start = std::chrono::steady_clock::now();
        WriteAll(sim.Fd, step.Down);
        const std::vector<uint8_t> up = ReadFor(sim.Fd, step.Up.size(), milliseconds(2000));
        const double took = ElapsedMs(start);
        ASSERT_EQ(up, step.Up);
        EXPECT_GE(took, static_cast<double>(step.Up.size() + 1) * byteMs)
            << step.Down.size() << " bytes written, " << step.Up.size() << " answers";
    }
}

// 1200 baud makes a byte time long against the pty's delays, so an answer sent early shows.
INSTANTIATE_TEST_SUITE_P(Rates, PacedLine,
                         testing::Values(PaceCase{"Baud1200", 1200}, PaceCase{"Baud19200", 19200},
                                         PaceCase{"Baud115200", 115200}),
                         TitleOf<PaceCase>);

} // namespace
#endif
