// The program as an operator runs it: what it says and the status it leaves when the switches or
// the port are wrong.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
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

long long ModifiedNs(const std::string& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
}

TEST_P(PortOpenFailure, NamesThePortWithTheSystemsCode) {
    const OpenFailure& c = GetParam();
    TempDir dir;
    const std::string notAPort = dir.Write("not-a-port", "firmware bytes");
    const auto Named = [&](const std::string& name) {
        return name == "{file}" ? notAPort : name == "{dir}" ? dir.Path("") : name;
    };
    const long long fileTime = ModifiedNs(notAPort);
    const long long dirTime = ModifiedNs(dir.Path(""));
    const ProcessResult run = RunProcess({BRELWICK_EXE, "-c", Named(c.Port), "-f", "fw.hex", "-q"});
    EXPECT_EQ(run.Status, 1);
    const std::string expected =
        "Error Opening " + Named(c.Shown) + "... " + std::to_string(c.Code) + "\n";
    EXPECT_EQ(run.Out.substr(0, expected.size()), expected) << run.Out;
    // Nothing written anywhere: not into the file, not into the directory.
    EXPECT_EQ(ReadFile(notAPort), "firmware bytes");
    EXPECT_EQ(ModifiedNs(notAPort), fileTime);
    EXPECT_EQ(ModifiedNs(dir.Path("")), dirTime);
}

INSTANTIATE_TEST_SUITE_P(Ports, PortOpenFailure,
                         testing::Values(OpenFailure{"Missing", "ttyNOSUCH7", "ttyNOSUCH7", 2},
                                         OpenFailure{"PortNamedT", "T", "T", 2},
                                         OpenFailure{"RegularFile", "{file}", "{file}", 25},
                                         OpenFailure{"Directory", "{dir}", "{dir}", 25},
                                         OpenFailure{"NotATerminal", "null", "null", 25},
                                         // The operator's own terminal, and a pty's master side.
                                         OpenFailure{"OwnTerminal", "tty", "tty", 25},
                                         OpenFailure{"PtyMaster", "ptmx", "ptmx", 25}),
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
