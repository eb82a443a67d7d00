// What the operator is told when the port will not open: the system's words, and a hint that
// knows the platform (the dialout group, a port held by another program, the ports present).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "posix_support.h"
#include "serial/serial.h"
#include "serial/serial_posix.h"

namespace {

const std::string NONE_FOUND = "no serial ports found on this machine";
const std::string FOUND = "serial ports on this machine: ";

struct ListCase {
    const char* Title;
    std::vector<std::string> Ports;
    std::string Text;
};
PRINTS_AS_TITLE(ListCase)

class PortList : public testing::TestWithParam<ListCase> {};

TEST_P(PortList, CountsAsPeopleDo) {
    EXPECT_EQ(PortListText(GetParam().Ports), GetParam().Text);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, PortList,
    testing::Values(
        ListCase{"None", {}, NONE_FOUND}, ListCase{"One", {"ttyUSB0"}, FOUND + "ttyUSB0"},
        ListCase{"TenAfterTwo", {"ttyS10", "ttyS2", "ttyS1"}, FOUND + "ttyS1, ttyS2, ttyS10"},
        ListCase{"ComPorts", {"COM10", "COM3", "COM9", "COM1"}, FOUND + "COM1, COM3, COM9, COM10"},
        ListCase{"KindsApart", {"ttyUSB1", "ttyACM0", "ttyS0"}, FOUND + "ttyACM0, ttyS0, ttyUSB1"},
        ListCase{"PrefixFirst", {"ttyS1", "ttyS"}, FOUND + "ttyS, ttyS1"},
        ListCase{"LeadingZeros", {"ttyS010", "ttyS9"}, FOUND + "ttyS9, ttyS010"},
        ListCase{"TwiceShownOnce", {"COM3", "COM3"}, FOUND + "COM3"},
        ListCase{"NumbersInside", {"cu.usb-12b", "cu.usb-3a"}, FOUND + "cu.usb-3a, cu.usb-12b"}),
    TitleOf<ListCase>);

// A tree that stands for "/": device nodes (plain files do for listing), sysfs driver links
// (directories do) and by-id links.
struct TreeCase {
    const char* Title;
    std::vector<std::string> Devices;            // names under dev/
    std::vector<std::string> Drivers;            // tty names with a driver bound
    std::vector<std::vector<std::string>> Links; // {by-id name, target}
    std::string Hint;                            // for a port that was not found
};
PRINTS_AS_TITLE(TreeCase)

class PortsPresent : public testing::TestWithParam<TreeCase> {
  protected:
    void TearDown() override { SetPortSearchRoot(""); }
    void Make(const std::string& path) {
        ASSERT_EQ(system(("mkdir -p '" + m_Root.Path(path) + "'").c_str()), 0);
    }
    TempDir m_Root;
};

TEST_P(PortsPresent, AreListedForAPortNotFound) {
    const TreeCase& c = GetParam();
    Make("dev/serial/by-id");
    for (const std::string& device : c.Devices) {
        m_Root.Write("dev/" + device, "");
    }
    for (const std::string& tty : c.Drivers) {
        Make("sys/class/tty/" + tty + "/device/driver");
    }
    for (const std::vector<std::string>& link : c.Links) {
        ASSERT_EQ(symlink(link[1].c_str(), m_Root.Path("dev/serial/by-id/" + link[0]).c_str()), 0);
    }
    SetPortSearchRoot(m_Root.Path(""));
    EXPECT_EQ(SerialOpenHint(ENOENT, "ttyUSB9"), c.Hint);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, PortsPresent,
    testing::Values(
        TreeCase{"Empty", {}, {}, {}, NONE_FOUND},
        TreeCase{"UsbAndAcm",
                 {"ttyUSB0", "ttyACM1"},
                 {"ttyUSB0", "ttyACM1"},
                 {},
                 FOUND + "ttyACM1, ttyUSB0"},
        TreeCase{"OnlyTtySWithADriver",
                 {"ttyS0", "ttyS1", "ttyS2", "ttyS3"},
                 {"ttyS1"},
                 {},
                 FOUND + "ttyS1"},
        TreeCase{"NoDeviceNodeNoPort", {}, {"ttyUSB0"}, {}, NONE_FOUND},
        TreeCase{"OtherTerminalsLeftOut",
                 {"tty", "tty0", "ttyS", "ttyUSBx", "ttyprintk", "console", "ttyS1a"},
                 {"tty", "tty0", "ttyS", "ttyUSBx", "ttyprintk", "console", "ttyS1a"},
                 {},
                 NONE_FOUND},
        TreeCase{"CountedInOrder",
                 {"ttyUSB10", "ttyUSB2"},
                 {"ttyUSB10", "ttyUSB2"},
                 {},
                 FOUND + "ttyUSB2, ttyUSB10"},
        TreeCase{"StableNameWithItsDevice",
                 {"ttyUSB0"},
                 {"ttyUSB0"},
                 {{"usb-FTDI_FT232R_USB_UART_A1-if00-port0", "../../ttyUSB0"}},
                 FOUND + "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0 (ttyUSB0), "
                         "ttyUSB0"}),
    TitleOf<TreeCase>);

// The adapter's latency timer as sysfs shows it, in a made-up tree: found through the port's own
// name or a by-id link, and unknown where the driver has none.
struct LatencyCase {
    const char* Title;
    std::string Port;
    std::string Tty;               // whose device/latency_timer the tree holds
    const char* Timer;             // what the file holds; nullptr: there is no file
    std::vector<std::string> Link; // {by-id name, target}, or empty
    int TimerMs;
    std::string Remedy; // part of what the operator is told to do
};
PRINTS_AS_TITLE(LatencyCase)

class AdapterLatencyShown : public testing::TestWithParam<LatencyCase> {
  protected:
    void TearDown() override { SetPortSearchRoot(""); }
    TempDir m_Root;
};

TEST_P(AdapterLatencyShown, IsReadFromTheTtysDevice) {
    const LatencyCase& c = GetParam();
    const std::string device = m_Root.Path("sys/class/tty/" + c.Tty + "/device");
    ASSERT_EQ(
        system(("mkdir -p '" + device + "' '" + m_Root.Path("dev/serial/by-id") + "'").c_str()), 0);
    m_Root.Write("dev/" + c.Tty, "");
    if (c.Timer != nullptr) {
        m_Root.Write("sys/class/tty/" + c.Tty + "/device/latency_timer", c.Timer);
    }
    if (!c.Link.empty()) {
        ASSERT_EQ(symlink(c.Link[1].c_str(), m_Root.Path("dev/serial/by-id/" + c.Link[0]).c_str()),
                  0);
    }
    SetPortSearchRoot(m_Root.Path(""));
    const AdapterLatency latency = SerialAdapterLatency(c.Port);
    EXPECT_EQ(latency.TimerMs, c.TimerMs);
    EXPECT_NE(latency.Remedy.find(c.Remedy), std::string::npos) << latency.Remedy;
}

const std::string UDEV_RULE =
    "ACTION==\"add\", SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", ATTR{latency_timer}=\"1\"";
const std::string NO_TIMER = "The adapter shows no latency timer to set";

INSTANTIATE_TEST_SUITE_P(
    Trees, AdapterLatencyShown,
    testing::Values(
        LatencyCase{"ByName",
                    "ttyUSB0",
                    "ttyUSB0",
                    "16\n",
                    {},
                    16,
                    "echo 1 | sudo tee /sys/class/tty/ttyUSB0/device/latency_timer. To set it each "
                    "time the adapter is plugged in, put this udev rule in "
                    "/etc/udev/rules.d/99-usb-serial-latency.rules: " +
                        UDEV_RULE},
        LatencyCase{"ThroughAStableName",
                    "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0",
                    "ttyUSB3",
                    "1\n",
                    {"usb-FTDI_FT232R_USB_UART_A1-if00-port0", "../../ttyUSB3"},
                    1,
                    "/sys/class/tty/ttyUSB3/device/latency_timer"},
        LatencyCase{
            "DriverWithoutTimer", "ttyACM0", "ttyACM0", nullptr, {}, LATENCY_UNKNOWN, NO_TIMER},
        LatencyCase{"NotANumber", "ttyUSB0", "ttyUSB0", "fast\n", {}, LATENCY_UNKNOWN, NO_TIMER}),
    TitleOf<LatencyCase>);

struct HintCase {
    const char* Title;
    int Code;
    std::string Port;
    std::string Hint;
};
PRINTS_AS_TITLE(HintCase)

class OpenHint : public testing::TestWithParam<HintCase> {
  protected:
    // No ports at all, so that the hints do not depend on this machine.
    void SetUp() override { SetPortSearchRoot(m_Empty.Path("")); }
    void TearDown() override { SetPortSearchRoot(""); }
    TempDir m_Empty;
};

TEST_P(OpenHint, FitsTheError) {
    EXPECT_EQ(SerialOpenHint(GetParam().Code, GetParam().Port), GetParam().Hint);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, OpenHint,
    testing::Values(
        HintCase{"PermissionDenied", EACCES, "ttyUSB0",
                 "to open serial ports your user must be in the group dialout: "
                 "sudo usermod -aG dialout $USER, then log in again"},
        HintCase{"Busy", EBUSY, "ttyUSB0",
                 "another program holds the port; close it and try again"},
        HintCase{"BusyModem", EBUSY, "/dev/ttyACM0",
                 "another program holds the port; close it and try again (ModemManager takes "
                 "ttyACM ports on some systems)"},
        HintCase{"NotFound", ENOENT, "ttyUSB0", NONE_FOUND},
        HintCase{"NotATerminal", ENOTTY, "null", "/dev/null is not a serial port; " + NONE_FOUND},
        HintCase{"NotATerminalAbsolute", ENOTTY, "/tmp",
                 "/tmp is not a serial port; " + NONE_FOUND},
        HintCase{"NoUartBehind", EIO, "ttyS1",
                 "no serial hardware answers at /dev/ttyS1; " + NONE_FOUND},
        HintCase{"AdapterPulled", ENXIO, "ttyUSB0",
                 "no serial hardware answers at /dev/ttyUSB0; " + NONE_FOUND},
        HintCase{"NothingToAdd", EINVAL, "ttyUSB0", ""},
        HintCase{"TooManyFiles", EMFILE, "ttyUSB0", ""}),
    TitleOf<HintCase>);

// A device whose group is not root's names that group: uucp on Arch, dialout on Debian.
TEST(OpenHintGroup, NamesTheDevicesOwnGroup) {
    const group* uucp = getgrnam("uucp");
    if (geteuid() != 0 || uucp == nullptr) {
        GTEST_SKIP() << "needs root and a uucp group to give a file that group";
    }
    TempDir dir;
    const std::string device = dir.Write("ttyUSB0", "");
    ASSERT_EQ(chown(device.c_str(), static_cast<uid_t>(-1), uucp->gr_gid), 0);
    EXPECT_EQ(SerialOpenHint(EACCES, device),
              "to open serial ports your user must be in the group uucp: "
              "sudo usermod -aG uucp $USER, then log in again");
}

// The program itself: the "Error Opening" line, then exactly one line with the system's words and
// the hint, and status 1.
struct ProgramCase {
    const char* Title;
    std::string Port; // "{file}" a regular file, "{held}" a pty another program holds
    int Code;
    std::string Words; // the system's own description, which the second line begins with
};
PRINTS_AS_TITLE(ProgramCase)

class OpenFailureLines : public testing::TestWithParam<ProgramCase> {};

TEST_P(OpenFailureLines, CodeThenWordsAndHint) {
    const ProgramCase& c = GetParam();
    TempDir dir;
    Pty held;
    // flock is what the program takes too, so this stands for another program holding the port.
    ASSERT_EQ(flock(held.Slave, LOCK_EX | LOCK_NB), 0);
    std::string port = c.Port;
    if (port == "{file}") {
        port = dir.Write("fw.hex", "");
    } else if (port == "{held}") {
        port = held.SlavePath;
    }
    const ProcessResult run = RunProcess({BRELWICK_EXE, "-q", "-c", port, "-f", "fw.hex"});
    EXPECT_EQ(run.Status, 1);
    const std::string second = OpenFailureText(c.Code, port);
    EXPECT_EQ(run.Out,
              "Error Opening " + port + "... " + std::to_string(c.Code) + "\n" + second + "\n");
    EXPECT_EQ(second.rfind(c.Words + " - ", 0), 0u) << second;
}

INSTANTIATE_TEST_SUITE_P(
    Ports, OpenFailureLines,
    testing::Values(ProgramCase{"Missing", "ttyNOSUCH7", ENOENT, "No such file or directory"},
                    ProgramCase{"NotATerminal", "null", ENOTTY, "Inappropriate ioctl for device"},
                    ProgramCase{"RegularFile", "{file}", ENOTTY, "Inappropriate ioctl for device"},
                    ProgramCase{"HeldByAnother", "{held}", EBUSY, "Device or resource busy"}),
    TitleOf<ProgramCase>);

TEST(OpenFailureText, IsTheWordsAloneWithoutAHint) {
    EXPECT_EQ(OpenFailureText(EINVAL, "ttyUSB0"), std::strerror(EINVAL));
    EXPECT_EQ(OpenFailureText(EBUSY, "ttyUSB0"),
              std::string(std::strerror(EBUSY)) +
                  " - another program holds the port; close it and try again");
}

} // namespace
