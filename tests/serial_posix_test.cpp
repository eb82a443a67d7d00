// The POSIX serial link on a real kernel tty: a pseudo-terminal whose master the test plays.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "posix_support.h"
#include "serial/serial.h"

namespace {

using std::chrono::milliseconds;

// Short time-outs for everything but the one test of the real ones.
constexpr SerialTimeouts SHORT = {60, 20, 300};

class PosixLink : public testing::Test {
  protected:
    void SetUp() override { SetSerialReadTimeouts(SHORT); }
    void TearDown() override {
        if (m_Port != nullptr) {
            SerialClose(m_Port);
        }
        SetSerialReadTimeouts(UNIT_READ_TIMEOUTS);
    }
    void Open() { ASSERT_EQ(SerialOpen(m_Pty.SlavePath, &m_Port), 0); }

    Pty m_Pty;
    SerialPort* m_Port = nullptr;
};

TEST(DevicePath, NamesUnderDevOrAbsolute) {
    EXPECT_EQ(MakeDevicePath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(MakeDevicePath("pts/3"), "/dev/pts/3");
    EXPECT_EQ(MakeDevicePath("/dev/cu.usbserial-A1"), "/dev/cu.usbserial-A1");
}

TEST_F(PosixLink, PutsTheLineIntoRawNineteenTwoHundredEightNOne) {
    termios before{};
    ASSERT_EQ(tcgetattr(m_Pty.Slave, &before), 0);
    before.c_iflag |= ICRNL | IXON;
    before.c_oflag |= OPOST | ONLCR;
    before.c_lflag |= ICANON | ECHO | ISIG;
    before.c_cflag |= HUPCL | PARENB;
    ASSERT_EQ(tcsetattr(m_Pty.Slave, TCSANOW, &before), 0);
    Open();

    // The settings belong to the tty, so the test's own descriptor reads what the program set.
    termios line{};
    ASSERT_EQ(tcgetattr(m_Pty.Slave, &line), 0);
    EXPECT_EQ(cfgetispeed(&line), B19200);
    EXPECT_EQ(cfgetospeed(&line), B19200);
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | HUPCL), 0u);
    EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);

    SerialClose(m_Port);
    m_Port = nullptr;
    termios after{};
    ASSERT_EQ(tcgetattr(m_Pty.Slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "the line's settings were not restored";
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
}

TEST_F(PosixLink, EveryByteValuePassesUnchangedBothWays) {
    Open();
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    ASSERT_EQ(SerialWrite(m_Port, all.data(), all.size()), 0);
    EXPECT_EQ(ReadFor(m_Pty.Master, 256, milliseconds(2000)), all);

    WriteAll(m_Pty.Master, all);
    std::vector<uint8_t> got(256);
    size_t brought = 0;
    // Enough time for 256 bytes at the short time-outs' pace.
    EXPECT_EQ(SerialRead(m_Port, got.data(), got.size(), &brought), 0);
    EXPECT_EQ(brought, 256u);
    EXPECT_EQ(got, all);
}

struct TimeoutCase {
    const char* Title;
    size_t Asked;
    std::vector<int> SendAtMs; // when the far end sends one byte each, from the read's start
    size_t Brought;
    double ExpectMs; // when the read must give up
};
PRINTS_AS_TITLE(TimeoutCase)

class ReadTimeout : public PosixLink, public testing::WithParamInterface<TimeoutCase> {};

// One read while the far end sends a byte at each planned time, and when each byte really went.
struct TimedRead {
    int Result = -1;
    int Error = -1;
    size_t Brought = 99;
    double TookMs = 0;
    std::vector<double> SentMs;
    std::vector<uint8_t> Buffer;
};

TimedRead ReadWhileSending(SerialPort* port, int master, size_t asked,
                           const std::vector<int>& sendAtMs) {
    TimedRead run;
    run.Buffer.assign(asked + 2, 0xEE);
    const auto start = std::chrono::steady_clock::now();
    std::thread unit([&] {
        for (int at : sendAtMs) {
            std::this_thread::sleep_until(start + milliseconds(at));
            WriteAll(master, {0x5A});
            run.SentMs.push_back(ElapsedMs(start));
        }
    });
    run.Result = SerialRead(port, run.Buffer.data(), asked, &run.Brought);
    run.Error = SerialLastError();
    run.TookMs = ElapsedMs(start);
    unit.join();
    return run;
}

// A far end that wakes late (a busy machine) sends on another schedule than the one the case
// was worked out for.
bool KeptSchedule(const std::vector<double>& sentMs, const std::vector<int>& plannedMs) {
    for (size_t i = 0; i < sentMs.size(); ++i) {
        if (sentMs[i] > plannedMs[i] + 10.0) {
            return false;
        }
    }
    return true;
}

struct ReadOutcome {
    size_t Brought;
    double EndMs;
    bool Clear; // no byte went so near a deadline that either side of it could be right
};

// The read's rules applied to the times the bytes really went: the whole read may last
// ConstantMs + PerByteMs per byte asked for, and once a byte has come, IntervalMs more.
ReadOutcome WhatTheRulesSay(const SerialTimeouts& t, size_t asked,
                            const std::vector<double>& sent) {
    const double total =
        t.ConstantMs + static_cast<double>(t.PerByteMs) * static_cast<double>(asked);
    ReadOutcome outcome{0, total, true};
    double deadline = total;
    for (const double at : sent) {
        outcome.Clear = outcome.Clear && std::abs(at - deadline) > 8.0;
        if (at >= deadline) {
            break;
        }
        deadline = std::min(total, at + t.IntervalMs);
        if (++outcome.Brought == asked) {
            deadline = at;
            break;
        }
    }
    outcome.EndMs = deadline;
    return outcome;
}

TEST_P(ReadTimeout, GivesUpWhenTheUnitsTimeoutsSay) {
    const TimeoutCase& c = GetParam();
    Open();
    // The rules, applied to the planned times, must give what the case was worked out to give,
    // or they could not stand in for it below.
    const ReadOutcome planned =
        WhatTheRulesSay(SHORT, c.Asked, std::vector<double>(c.SendAtMs.begin(), c.SendAtMs.end()));
    ASSERT_EQ(planned.Brought, c.Brought);
    ASSERT_DOUBLE_EQ(planned.EndMs, c.ExpectMs);
    // The case as planned when the far end keeps to its schedule; on a busy machine that it
    // cannot keep, another try, and at the last try the rules applied to when the bytes went.
    constexpr int TRIES = 5;
    TimedRead run;
    ReadOutcome expected{};
    bool judged = false;
    for (int attempt = 1; attempt <= TRIES && !judged; ++attempt) {
        tcflush(m_Pty.Slave, TCIFLUSH); // what a try before left unread
        run = ReadWhileSending(m_Port, m_Pty.Master, c.Asked, c.SendAtMs);
        if (KeptSchedule(run.SentMs, c.SendAtMs)) {
            expected = {c.Brought, c.ExpectMs, true};
            judged = true;
            break;
        }
        expected = WhatTheRulesSay(SHORT, c.Asked, run.SentMs);
        std::printf("try %d: the far end fell behind its schedule (a busy machine)%s\n", attempt,
                    attempt == TRIES ? "; judged by when its bytes really went" : "");
        judged = attempt == TRIES && expected.Clear;
    }
    ASSERT_TRUE(judged) << "the far end kept no schedule in " << TRIES
                        << " tries, and its last bytes went too near a deadline to judge";

    EXPECT_EQ(run.Result, 0) << "a time-out is a successful read";
    EXPECT_EQ(run.Error, 0);
    // Under emulation the read can be late to its own deadline by more than the gap between two
    // bytes of a trickle, and take one more that came meanwhile; natively it may not.
    if (TESTS_EMULATED) {
        EXPECT_NEAR(static_cast<double>(run.Brought), static_cast<double>(expected.Brought), 1);
    } else {
        EXPECT_EQ(run.Brought, expected.Brought);
    }
    EXPECT_GE(run.TookMs, expected.EndMs - 5);
    EXPECT_LE(run.TookMs, expected.EndMs + 60);
    for (size_t i = 0; i < run.Buffer.size(); ++i) {
        EXPECT_EQ(run.Buffer[i], i < run.Brought ? 0x5A : 0xEE) << "byte " << i;
    }
}

std::vector<int> Every(int ms, int count) {
    std::vector<int> times;
    for (int i = 1; i <= count; ++i) {
        times.push_back(i * ms);
    }
    return times;
}

// SHORT: 60 ms between bytes, 20 ms a byte asked for, 300 ms constant.
INSTANTIATE_TEST_SUITE_P(
    Short, ReadTimeout,
    testing::Values(TimeoutCase{"SilentOneByte", 1, {}, 0, 320},
                    TimeoutCase{"SilentFourBytes", 4, {}, 0, 380},
                    TimeoutCase{"IntervalAfterFirstByte", 4, {100}, 1, 160},
                    TimeoutCase{"IntervalAfterSecondByte", 4, {50, 90}, 2, 150},
                    TimeoutCase{"AllBytesCome", 3, {20, 40, 60}, 3, 60},
                    TimeoutCase{"TotalBoundsATrickle", 20, Every(40, 20), 17, 700}),
    TitleOf<TimeoutCase>);

void IgnoreSignal(int) {}

TEST_F(PosixLink, SignalsDoNotMoveTheDeadline) {
    struct sigaction action {};
    action.sa_handler = IgnoreSignal; // no SA_RESTART: select() returns EINTR
    struct sigaction previous {};
    sigaction(SIGUSR1, &action, &previous);
    Open();
    std::atomic<bool> reading{true};
    const pthread_t reader = pthread_self();
    std::thread interrupter([&] {
        while (reading) {
            std::this_thread::sleep_for(milliseconds(25));
            if (reading) {
                pthread_kill(reader, SIGUSR1);
            }
        }
    });
    uint8_t byte = 0;
    size_t brought = 0;
    const auto start = std::chrono::steady_clock::now();
    const int result = SerialRead(m_Port, &byte, 1, &brought);
    const double took = ElapsedMs(start);
    reading = false;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(brought, 0u);
    EXPECT_GE(took, 315);
    EXPECT_LE(took, 380);
}

TEST_F(PosixLink, HangUpIsAFailedReadNotATimeout) {
    Open();
    std::thread unit([&] {
        std::this_thread::sleep_for(milliseconds(50));
        m_Pty.CloseMaster();
    });
    uint8_t buffer[4] = {};
    size_t brought = 9;
    const auto start = std::chrono::steady_clock::now();
    const int result = SerialRead(m_Port, buffer, sizeof(buffer), &brought);
    const double took = ElapsedMs(start);
    unit.join();
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(SerialLineGone(SerialLastError())) << SerialLastError();
    EXPECT_EQ(brought, 0u);
    EXPECT_LT(took, 200) << "a hung-up line must fail at once, not wait out the time-out";
    // And again: a dead line keeps failing at once, writes too, each as a line that is gone.
    EXPECT_EQ(SerialRead(m_Port, buffer, 1, &brought), 1);
    EXPECT_EQ(SerialWrite(m_Port, buffer, 1), 1);
    EXPECT_TRUE(SerialLineGone(SerialLastError())) << SerialLastError();
    // An interrupted call is no lost line.
    EXPECT_FALSE(SerialLineGone(EINTR));
}

// A device whose read() does not keep to the line's settings (VMIN 1 here, as a pty's master
// side has it) must not hold a read past its deadline.
TEST_F(PosixLink, NoReadOutlastsItsDeadlineWhateverTheLineSays) {
    Open();
    termios held{};
    ASSERT_EQ(tcgetattr(m_Pty.Slave, &held), 0);
    held.c_cc[VMIN] = 1;
    held.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(m_Pty.Slave, TCSANOW, &held), 0);
    // Frees a read() that waits for a byte, so that a failure ends.
    std::thread unit([&] {
        std::this_thread::sleep_for(milliseconds(3000));
        WriteAll(m_Pty.Master, {0x5A});
    });
    uint8_t byte = 0;
    size_t brought = 9;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SerialRead(m_Port, &byte, 1, &brought), 0);
    const double took = ElapsedMs(start);
    unit.join();
    EXPECT_EQ(brought, 0u);
    EXPECT_LE(took, 380) << "the read waited for the device, not for its deadline";
}

TEST_F(PosixLink, SecondOpenerIsRefused) {
    Open();
    SerialPort* second = nullptr;
    EXPECT_EQ(SerialOpen(m_Pty.SlavePath, &second), EBUSY);
    EXPECT_EQ(second, nullptr);
    // Once the first lets go, the line can be had again.
    SerialClose(m_Port);
    m_Port = nullptr;
    Open();
}

TEST(PosixLinkRefuses, WhatIsNotATerminal) {
    TempDir dir;
    const std::string file = dir.Write("firmware.bin", "");
    struct Case {
        std::string Path;
        int Code;
    };
    for (const Case& c : {Case{file, ENOTTY}, Case{dir.Path(""), ENOTTY}, Case{"/dev/null", ENOTTY},
                          Case{dir.Path("none"), ENOENT}, Case{"/dev/ptmx", ENOTTY}}) {
        SerialPort* port = nullptr;
        EXPECT_EQ(SerialOpen(c.Path, &port), c.Code) << c.Path;
        EXPECT_EQ(port, nullptr);
    }
    EXPECT_EQ(ReadFile(file), "");
}

// A terminal behind one of the program's standard descriptors is the operator's, however it is
// named: here a pty on standard input, which would otherwise pass for a line.
TEST(PosixLinkRefuses, TheProgramsOwnTerminal) {
    Pty pty;
    const int saved = dup(0);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(dup2(pty.Slave, 0), 0);
    SerialPort* port = nullptr;
    const int code = SerialOpen(pty.SlavePath, &port);
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(code, ENOTTY);
    EXPECT_EQ(port, nullptr);
    EXPECT_TRUE(ReadFor(pty.Master, 1, milliseconds(20)).empty()) << "something was written";
    // Once it is no longer the program's, it is a line like any other.
    ASSERT_EQ(SerialOpen(pty.SlavePath, &port), 0);
    SerialClose(port);
}

// The unit's own time-outs, once, for real: a silent unit answers a one-byte read after 10.15 s.
TEST(PosixLinkRealTimeout, SilentUnitAfterTenThousandOneHundredFiftyMs) {
    SetSerialReadTimeouts(UNIT_READ_TIMEOUTS);
    Pty pty;
    SerialPort* port = nullptr;
    ASSERT_EQ(SerialOpen(pty.SlavePath, &port), 0);
    uint8_t byte = 0;
    size_t brought = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SerialRead(port, &byte, 1, &brought), 0);
    const double took = ElapsedMs(start);
    SerialClose(port);
    EXPECT_EQ(brought, 0u);
    EXPECT_GE(took, 10150);
    EXPECT_LE(took, 10300);
}

} // namespace
