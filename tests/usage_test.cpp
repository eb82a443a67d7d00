// The program as an operator runs it: what it says and the status it leaves when the switches or
// the port are wrong.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "hex_text.h"
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
    std::string Port; // as given to -c; {dir} stands for a directory of the test's own
    std::string Said; // how the output begins, {dir} likewise
};
PRINTS_AS_TITLE(OpenFailure)

std::string Replaced(std::string text, const std::string& dir) {
    for (size_t at; (at = text.find("{dir}")) != std::string::npos;) {
        text.replace(at, 5, dir);
    }
    return text;
}

// Every file under the directory, the directory itself included, with what it holds and when it
// was last changed.
using Snapshot = std::map<std::string, std::pair<std::string, int64_t>>;

int64_t ChangedNs(const std::string& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

Snapshot Take(const std::string& dir) {
    Snapshot snapshot = {{dir, {"", ChangedNs(dir)}}};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        const std::string path = entry.path().string();
        snapshot[path] = {entry.is_regular_file() ? ReadFile(path) : "", ChangedNs(path)};
    }
    return snapshot;
}

// Back to a day long gone, so that a write in the same clock tick as the files were made shows.
void Age(const std::string& path) {
    const timespec old[2] = {{978307200, 0}, {978307200, 0}};
    utimensat(AT_FDCWD, path.c_str(), old, 0);
}

class PortOpenFailure : public testing::TestWithParam<OpenFailure> {};

TEST_P(PortOpenFailure, SaysWhyExitsOneAndWritesNothing) {
    const OpenFailure& c = GetParam();
    TempDir temp;
    const std::string dir = temp.Path("");
    // A good firmware file, so that a port taken by mistake would be sent the whole update.
    const std::string firmware = temp.Write("fw.hex", HexFileOf({0x12, 0x34, 0x56}));
    const std::string notes = temp.Write("notes.txt", "the unit's serial number is 4711\n");
    std::filesystem::create_directory(temp.Path("a-dir"));
    for (const std::string& path : {firmware, notes, temp.Path("a-dir"), dir}) {
        Age(path);
    }
    const Snapshot before = Take(dir);
    const std::string port = Replaced(c.Port, dir);
    const bool existed = port.empty() || std::filesystem::exists(MakeDevicePath(port));

    RunLimits limits;
    limits.Dir = dir; // a file made in its working directory would show too
    const BoundedResult run = RunBounded({BRELWICK_EXE, "-c", port, "-f", firmware, "-q"}, limits);

    EXPECT_FALSE(run.Killed);
    EXPECT_EQ(run.Status, 1);
    const std::string said = Replaced(c.Said, dir);
    EXPECT_EQ(run.Out.substr(0, said.size()), said) << run.Out;
    EXPECT_TRUE(Take(dir) == before) << "a file was written, made or touched";
    if (!existed) {
        EXPECT_FALSE(std::filesystem::exists(MakeDevicePath(port))) << "the port was made";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ports, PortOpenFailure,
    testing::Values(
        OpenFailure{"Missing", "ttyNOSUCH7", "Error Opening ttyNOSUCH7... 2\n"},
        OpenFailure{"MissingPath", "{dir}/no-such-port", "Error Opening {dir}/no-such-port... 2\n"},
        OpenFailure{"PortNamedT", "T", "Error Opening T... 2\n"},
        OpenFailure{"RegularFile", "{dir}/notes.txt", "Error Opening {dir}/notes.txt... 25\n"},
        OpenFailure{"Directory", "{dir}/a-dir", "Error Opening {dir}/a-dir... 25\n"},
        OpenFailure{"DirectoryUnderDev", "pts", "Error Opening pts... 25\n"},
        OpenFailure{"NotATerminal", "null", "Error Opening null... 25\n"},
        // An empty name is no name: the switch counts as not given.
        OpenFailure{"EmptyName", "", USAGE}),
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
