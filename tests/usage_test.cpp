// The program as an operator runs it: what it says and the status it leaves when the switches or
// the port are wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "posix_support.h"
#include "serial/serial.h"

namespace {

const std::string USAGE = "Brelwick.exe\n"
                          "  -f file\n"
                          "  -q ('quiet' - do not prompt to begin)\n"
                          "  -c com (port as COM1, COM2, COM6 ... )\n";

struct UsageCase {
    const char* Title;
    std::vector<std::string> Args;
};
PRINTS_AS_TITLE(UsageCase)

class UsageText : public testing::TestWithParam<UsageCase> {};

TEST_P(UsageText, PrintsTheFourLinesAndExitsOne) {
    std::vector<std::string> argv = {BRELWICK_EXE};
    argv.insert(argv.end(), GetParam().Args.begin(), GetParam().Args.end());
    const ProcessResult run = RunProcess(argv);
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Out, USAGE);
}

INSTANTIATE_TEST_SUITE_P(
    MissingSwitch, UsageText,
    testing::Values(UsageCase{"NoSwitches", {}}, UsageCase{"NoPort", {"-f", "fw.hex"}},
                    UsageCase{"NoFile", {"-c", "ttyS0"}},
                    UsageCase{"EmptyPort", {"-c", "", "-f", "fw.hex"}},
                    UsageCase{"EmptyFile", {"-c", "ttyS0", "-f", ""}},
                    UsageCase{"PortWithLongName", {"-port", "ttyS0", "-f", "fw.hex"}},
                    UsageCase{"SlashIsNoSwitchHere", {"/c", "ttyS0", "-f", "fw.hex"}}),
    TitleOf<UsageCase>);

struct OpenFailure {
    const char* Title;
    std::string Port;  // as given to -c
    std::string Shown; // the name the message carries
    int Code;
};
PRINTS_AS_TITLE(OpenFailure)

class PortOpenFailure : public testing::TestWithParam<OpenFailure> {};

TEST_P(PortOpenFailure, NamesThePortWithTheSystemsCode) {
    const OpenFailure& c = GetParam();
    TempDir dir;
    const std::string notAPort = dir.Write("not-a-port", "");
    const std::string port = c.Port == "{file}" ? notAPort : c.Port;
    const std::string shown = c.Shown == "{file}" ? notAPort : c.Shown;
    const ProcessResult run = RunProcess({BRELWICK_EXE, "-c", port, "-f", "fw.hex", "-q"});
    EXPECT_EQ(run.Status, 1);
    const std::string expected = "Error Opening " + shown + "... " + std::to_string(c.Code) + "\n";
    EXPECT_EQ(run.Out.substr(0, expected.size()), expected) << run.Out;
    EXPECT_EQ(ReadFile(notAPort), "") << "the program wrote into a file it was given as a port";
}

INSTANTIATE_TEST_SUITE_P(Ports, PortOpenFailure,
                         testing::Values(OpenFailure{"Missing", "ttyNOSUCH7", "ttyNOSUCH7", 2},
                                         OpenFailure{"PortNamedT", "T", "T", 2},
                                         OpenFailure{"RegularFile", "{file}", "{file}", 25},
                                         OpenFailure{"Directory", "/tmp", "/tmp", 25},
                                         OpenFailure{"NotATerminal", "null", "null", 25}),
                         TitleOf<OpenFailure>);

// A port that another program holds is refused with EBUSY, for root too.
TEST(PortHeldElsewhere, IsRefusedAsBusy) {
    Pty pty;
    SerialPort* held = nullptr;
    ASSERT_EQ(SerialOpen(pty.SlavePath, &held), 0);
    const ProcessResult run = RunProcess({BRELWICK_EXE, "-c", pty.SlavePath, "-f", "fw.hex"});
    SerialClose(held);
    EXPECT_EQ(run.Status, 1);
    const std::string expected = "Error Opening " + pty.SlavePath + "... 16\n";
    EXPECT_EQ(run.Out.substr(0, expected.size()), expected) << run.Out;
}

} // namespace
