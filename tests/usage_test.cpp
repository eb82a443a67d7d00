// The program as an operator runs it: what it says and the status it leaves when the switches or
// the port are wrong.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "posix_support.h"
#include "serial/serial.h"

namespace {

const std::string USAGE = "Brelwick.exe\n"
                          "  -f file\n"
                          "  -q ('quiet' - do not prompt to begin)\n"
                          "  -c com (port as COM1, COM2, COM6 ... )\n";

std::vector<std::string> Brelwick(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {BRELWICK_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// The program with its standard error joined to its standard output, to see which came first.
ProcessResult RunJoined(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"sh", "-c", "exec \"$0\" \"$@\" 2>&1"};
    const std::vector<std::string> program = Brelwick(args);
    argv.insert(argv.end(), program.begin(), program.end());
    return RunProcess(argv);
}

std::string Ignoring(const std::string& argument) {
    return "Ignoring argument '" + argument +
           "': no switch takes it (a name with spaces needs quotes)\n";
}

struct UsageCase {
    const char* Title;
    std::vector<std::string> Args;
    std::string Err;        // the warnings about switches and arguments passed over
    bool PortsNamed = true; // -c is missing: the ports of this machine follow the usage lines
};
PRINTS_AS_TITLE(UsageCase)

class UsageText : public testing::TestWithParam<UsageCase> {};

// The ports this machine has, as the program names them on standard error.
std::string PortsOfThisMachine() {
    std::string lines;
    for (const std::string& line : PortListLines(PresentSerialPorts())) {
        lines += line + "\n";
    }
    return lines.empty() ? "No serial ports found\n" : lines;
}

// The warnings come first: they often tell why the usage text came. Standard output is the usage
// lines alone, whatever standard error adds.
TEST_P(UsageText, PrintsTheFourLinesAndExitsOne) {
    const std::string ports = GetParam().PortsNamed ? PortsOfThisMachine() : "";
    const ProcessResult run = RunProcess(Brelwick(GetParam().Args));
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Out, USAGE);
    EXPECT_EQ(run.Err, GetParam().Err + ports);
    EXPECT_EQ(RunJoined(GetParam().Args).Out, GetParam().Err + USAGE + ports);
}

INSTANTIATE_TEST_SUITE_P(
    MissingSwitch, UsageText,
    testing::Values(UsageCase{"NoSwitches", {}, ""}, UsageCase{"NoPort", {"-f", "fw.hex"}, ""},
                    UsageCase{"NoFile", {"-c", "ttyS0"}, "", false},
                    UsageCase{"EmptyPort", {"-c", "", "-f", "fw.hex"}, ""},
                    UsageCase{"EmptyFile", {"-c", "ttyS0", "-f", ""}, "", false},
                    UsageCase{"PortWithLongName",
                              {"-port", "ttyS0", "-f", "fw.hex"},
                              "Ignoring unknown switch -port\n"},
                    UsageCase{"PortWithGnuName",
                              {"--port", "ttyUSB0", "-f", "fw.hex"},
                              "Ignoring unknown switch --port\n"},
                    UsageCase{"SlashIsNoSwitchHere",
                              {"/c", "ttyS0", "-f", "fw.hex"},
                              Ignoring("/c") + Ignoring("ttyS0")},
                    // A name with a space, unquoted: its second half is no switch's value.
                    UsageCase{"UnquotedSpace", {"-f", "my", "fw.hex"}, Ignoring("fw.hex")},
                    UsageCase{"EverySwitchAsTyped",
                              {"-X", "-f", "fw.hex", "-", "-y", "--", "x"},
                              "Ignoring unknown switch -X\nIgnoring unknown switch -\n"
                              "Ignoring unknown switch -y\nIgnoring unknown switch --\n"},
                    // A bare -f or -c would read "T": a file or a port the operator never named.
                    UsageCase{"BareFileLast", {"-c", "ttyS0", "-f"}, "", false},
                    UsageCase{"BareFileBeforeASwitch",
                              {"-f", "-x.hex", "-c", "ttyS0"},
                              "Ignoring unknown switch -x.hex\n",
                              false},
                    UsageCase{
                        "FileGivenThenBare", {"-f", "fw.hex", "-c", "ttyS0", "-f"}, "", false},
                    UsageCase{"BarePortBeforeASwitch", {"-c", "-f", "fw.hex"}, ""},
                    UsageCase{"BarePortLast", {"-f", "fw.hex", "-q", "-c"}, ""}),
    TitleOf<UsageCase>);

struct HelpCase {
    const char* Title;
    std::vector<std::string> Args;
    std::string Err;
};
PRINTS_AS_TITLE(HelpCase)

class HelpText : public testing::TestWithParam<HelpCase> {};

size_t Find(const std::string& text, const std::string& what, size_t from = 0) {
    const size_t at = text.find(what, from);
    EXPECT_NE(at, std::string::npos) << "no \"" << what << "\" in\n" << text;
    return at == std::string::npos ? from : at;
}

// The usage lines first, then -n, the port names of this system and the exit statuses, in order;
// whatever else was asked for, nothing is opened.
TEST_P(HelpText, FollowsTheUsageLinesAndExitsZero) {
    const ProcessResult run = RunProcess(Brelwick(GetParam().Args));
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Out.substr(0, USAGE.size()), USAGE);
    EXPECT_EQ(run.Out.find("  -n ", USAGE.size()), USAGE.size()) << run.Out;
    size_t at = USAGE.size();
    for (const char* part :
         {"\n  -l or --list ", "\n  -c usb[:serial|:vid:pid] ", "\n  -c port,port,... ",
          "\n  --wait ", "\n  --version ", "ttyUSB0", "ttyACM0", "/dev/serial/by-id/",
          "\nExit status:\n", "\n  0  ", "\n  1  ", "\n  2  ", "\n  3  ", "\n  4  ",
          "\n  With several ports: 0 "}) {
        at = Find(run.Out, part, at);
    }
    EXPECT_EQ(run.Out.find("Error Opening"), std::string::npos) << run.Out;
    EXPECT_EQ(run.Err, GetParam().Err);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, HelpText,
    testing::Values(HelpCase{"H", {"-h"}, ""}, HelpCase{"Help", {"-help"}, ""},
                    HelpCase{"DashDashHelp", {"--help"}, ""}, HelpCase{"QuestionMark", {"-?"}, ""},
                    HelpCase{"AnyCase", {"-HELP"}, ""},
                    HelpCase{"BeforeAnUpdate", {"-h", "-c", "ttyNOSUCH0", "-f", "fw.hex"}, ""},
                    HelpCase{"AfterAnUpdate", {"-c", "ttyNOSUCH0", "-f", "fw.hex", "-?"}, ""},
                    HelpCase{
                        "WithAMistake", {"-x", "--help", "yes"}, "Ignoring unknown switch -x\n"},
                    // Help holds the version switch; asked for both, help is the answer.
                    HelpCase{"WithVersion", {"--version", "-h"}, ""}),
    TitleOf<HelpCase>);

struct VersionCase {
    const char* Title;
    std::vector<std::string> Argv; // {hex} stands for a good firmware file
    std::string Out;
    std::string Err;
    int Status = 0;
};
PRINTS_AS_TITLE(VersionCase)

class VersionText : public testing::TestWithParam<VersionCase> {};

// One line on standard output, for the operator to read out to whoever helps; nothing is opened.
// Where that line, or the answer of another switch that only answers, cannot be written, the run
// fails and says so on standard error.
TEST_P(VersionText, IsOneLineOnStandardOutput) {
    TempDir dir;
    const std::string hex = dir.Write("fw.hex", ":0300000012345661\n:00000001FF\n");
    std::vector<std::string> argv = GetParam().Argv;
    for (std::string& arg : argv) {
        arg = arg == "{hex}" ? hex : arg;
    }
    const ProcessResult run = RunProcess(argv);
    EXPECT_EQ(run.Status, GetParam().Status);
    EXPECT_EQ(run.Out, GetParam().Out);
    EXPECT_EQ(run.Err, GetParam().Err);
}

const std::string BRELWICK_VERSION_LINE = "brelwick " BRELWICK_VERSION "\n";
const std::string OUTPUT_LOST =
    "brelwick: standard output could not be written; the answer is lost\n";

// The program with its standard output sent where `redirect` says.
std::vector<std::string> Redirected(const std::string& redirect,
                                    const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"sh", "-c", "exec \"$0\" \"$@\" " + redirect, BRELWICK_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

INSTANTIATE_TEST_SUITE_P(
    Switches, VersionText,
    testing::Values(
        VersionCase{"DashDash", {BRELWICK_EXE, "--version"}, BRELWICK_VERSION_LINE, ""},
        VersionCase{"OneDash", {BRELWICK_EXE, "-version"}, BRELWICK_VERSION_LINE, ""},
        VersionCase{"AnyCase", {BRELWICK_EXE, "--Version"}, BRELWICK_VERSION_LINE, ""},
        VersionCase{"BeforeAnUpdate",
                    {BRELWICK_EXE, "--version", "-c", "ttyNOSUCH0", "-f", "fw.hex"},
                    BRELWICK_VERSION_LINE,
                    ""},
        VersionCase{"WithAMistake",
                    {BRELWICK_EXE, "--port", "ttyS0", "--version"},
                    BRELWICK_VERSION_LINE,
                    "Ignoring unknown switch --port\n"},
        VersionCase{"UnitSim", {UNIT_SIM_EXE, "--version"}, "unit-sim " BRELWICK_VERSION "\n", ""},
        VersionCase{"ToAFullDevice", Redirected(">/dev/full", {"--version"}), "", OUTPUT_LOST, 1},
        // The program opens /dev/null in its place, where every write succeeds.
        VersionCase{"ToAClosedOutput", Redirected(">&-", {"--version"}), "", OUTPUT_LOST, 1},
        VersionCase{"HelpToAFullDevice", Redirected(">/dev/full", {"-h"}), "", OUTPUT_LOST, 1},
        VersionCase{"HelpToAClosedOutput", Redirected(">&-", {"--help"}), "", OUTPUT_LOST, 1},
        VersionCase{"CheckToAFullDevice", Redirected(">/dev/full", {"-n", "-f", "{hex}"}), "",
                    OUTPUT_LOST, 1},
        VersionCase{"CheckToAClosedOutput", Redirected(">&-", {"-n", "-f", "{hex}"}), "",
                    OUTPUT_LOST, 1}),
    TitleOf<VersionCase>);

struct IgnoredCase {
    const char* Title;
    std::vector<std::string> Args; // after -n -f fw.hex
    std::string Err;
};
PRINTS_AS_TITLE(IgnoredCase)

class PassedOver : public testing::TestWithParam<IgnoredCase> {};

// What the program does not know is named on standard error, and the run goes on as without it.
TEST_P(PassedOver, IsNamedAndTheRunGoesOn) {
    TempDir dir;
    const std::string path = dir.Write("fw.hex", ":0300000012345661\n:00000001FF\n");
    const ProcessResult plain = RunProcess(Brelwick({"-n", "-f", path}));
    std::vector<std::string> args = {"-n", "-f", path};
    args.insert(args.end(), GetParam().Args.begin(), GetParam().Args.end());
    const ProcessResult run = RunProcess(Brelwick(args));
    EXPECT_EQ(plain.Status, 0);
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Out, plain.Out);
    EXPECT_EQ(run.Err, GetParam().Err);
    // Before the check begins.
    EXPECT_EQ(RunJoined(args).Out, GetParam().Err + plain.Out);
}

INSTANTIATE_TEST_SUITE_P(
    CheckOnly, PassedOver,
    testing::Values(IgnoredCase{"KnownSwitchesSayNothing", {"-Q", "-c", "ttyNOSUCH0"}, ""},
                    IgnoredCase{"UnknownSwitch", {"-x"}, "Ignoring unknown switch -x\n"},
                    IgnoredCase{"UnknownSwitchWithValue",
                                {"--baud", "19200"},
                                "Ignoring unknown switch --baud\n"},
                    IgnoredCase{"StrayArgument", {"fw2.hex"}, Ignoring("fw2.hex")},
                    // The switches are named first, then the arguments.
                    IgnoredCase{"SwitchesThenArguments",
                                {"a", "-x", "b", "c"},
                                "Ignoring unknown switch -x\n" + Ignoring("a") + Ignoring("c")}),
    TitleOf<IgnoredCase>);

// ---- unit-sim's options and report ----

struct SimOptionCase {
    const char* Title;
    std::vector<std::string> Args; // {dir} stands for a folder that holds the operator's files
    std::string Said;              // the first line on standard error, before unit-sim's usage text
};
PRINTS_AS_TITLE(SimOptionCase)

class SimOptions : public testing::TestWithParam<SimOptionCase> {};

// Refused before the run, whatever the operator keeps at the paths named stays as it was.
TEST_P(SimOptions, AreRefusedWithTheProblemNamed) {
    TempDir dir;
    const std::string notes = dir.Write("notes.txt", "the operator's notes");
    std::filesystem::create_directory(dir.Path("folder"));
    std::filesystem::create_symlink(notes, dir.Path("foreign"));
    const auto Named = [&](std::string text) {
        const size_t at = text.find("{dir}");
        return at == std::string::npos ? text : text.replace(at, 5, dir.Path(""));
    };
    std::vector<std::string> argv = {UNIT_SIM_EXE};
    for (const std::string& arg : GetParam().Args) {
        argv.push_back(Named(arg));
    }
    const ProcessResult run = RunProcess(argv);
    EXPECT_EQ(run.Status, 9);
    EXPECT_EQ(run.Err.substr(0, run.Err.find('\n') + 1),
              "unit-sim: " + Named(GetParam().Said) + "\n");
    EXPECT_EQ(run.Out, "");
    EXPECT_EQ(ReadFile(notes), "the operator's notes");
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path("folder")));
    EXPECT_EQ(std::filesystem::read_symlink(dir.Path("foreign")), notes);
}

INSTANTIATE_TEST_SUITE_P(
    UnitSim, SimOptions,
    testing::Values(SimOptionCase{"Unknown", {"--bogus"}, "unknown option --bogus"},
                    SimOptionCase{"UnknownWithValue", {"--bogus", "3"}, "unknown option --bogus"},
                    SimOptionCase{"UnknownAfterOthers",
                                  {"--verbose", "--out", "f.bin", "--bogus"},
                                  "unknown option --bogus"},
                    SimOptionCase{"NoValue", {"--out"}, "missing value for --out"},
                    SimOptionCase{"NoNumber", {"--silent", "--baud"}, "missing value for --baud"},
                    SimOptionCase{"BadNumber", {"--baud", "0"}, "bad value for --baud"},
                    SimOptionCase{"NoCommand", {"--"}, "-- needs a command"},
                    SimOptionCase{"LinkOverAFile",
                                  {"--link", "{dir}notes.txt", "--", "true"},
                                  "cannot link {dir}notes.txt: something is there, and not a link "
                                  "unit-sim made"},
                    SimOptionCase{"LinkOverAFolder",
                                  {"--link", "{dir}folder", "--", "true"},
                                  "cannot link {dir}folder: something is there, and not a link "
                                  "unit-sim made"},
                    SimOptionCase{"LinkOverAnotherLink",
                                  {"--link", "{dir}foreign", "--", "true"},
                                  "cannot link {dir}foreign: something is there, and not a link "
                                  "unit-sim made"},
                    SimOptionCase{"OutInAMissingFolder",
                                  {"--out", "{dir}none/flash.bin", "--", "true"},
                                  "cannot write {dir}none/flash.bin: No such file or directory"},
                    SimOptionCase{"OutIsAFolder",
                                  {"--out", "{dir}folder", "--", "true"},
                                  "cannot write {dir}folder: Is a directory"},
                    // The file --out names was opened, not emptied, before --rx was refused.
                    SimOptionCase{
                        "OutKeptWhenRxRefused",
                        {"--out", "{dir}notes.txt", "--rx", "{dir}none/rx.bin", "--", "true"},
                        "cannot write {dir}none/rx.bin: No such file or directory"},
                    SimOptionCase{"LineWithCommand",
                                  {"--line", "/dev/null", "--", "true"},
                                  "--line runs no command: start the updater at the line's other "
                                  "end"}),
    TitleOf<SimOptionCase>);

struct ReportCase {
    const char* Title;
    std::vector<std::string> Options; // {flash} stands for a file in the test's directory
    int Status;
    std::vector<std::string> Lines; // unit-sim's lines on standard error
    long FlashBytes = -1;           // what the flash file holds, when one is written
    bool OnLine = false;            // with --line on one of two joined ttys, brelwick on the other
};
PRINTS_AS_TITLE(ReportCase)

class SimReport : public testing::TestWithParam<ReportCase> {};

// Two pseudo-terminals joined master to master, as two USB adapters and a null-modem cable join
// two ports: what is written to one slave is read from the other.
class JoinedLine {
  public:
    JoinedLine() : m_Relay([this] { Relay(); }) {}
    ~JoinedLine() {
        m_Stop = true;
        m_Relay.join();
    }
    Pty A;
    Pty B;

  private:
    void Relay() {
        pollfd fds[2] = {{A.Master, POLLIN, 0}, {B.Master, POLLIN, 0}};
        char bytes[4096];
        while (!m_Stop) {
            if (poll(fds, 2, 20) <= 0) {
                continue;
            }
            for (int from = 0; from < 2; ++from) {
                if (fds[from].revents & POLLIN) {
                    const ssize_t got = read(fds[from].fd, bytes, sizeof(bytes));
                    for (ssize_t sent = 0, n = 0; got > 0 && sent < got; sent += n) {
                        n = write(fds[1 - from].fd, bytes + sent, static_cast<size_t>(got - sent));
                        if (n < 0) {
                            break;
                        }
                    }
                }
            }
        }
    }
    std::atomic<bool> m_Stop{false};
    std::thread m_Relay;
};

// unit-sim plays the unit on B with --line; brelwick flashes through A. A run that ends early
// leaves the unit waiting, as a real one would, until it is stopped. Returns brelwick's status;
// unit-sim's run goes to `sim`.
int RunOnJoinedLine(const std::vector<std::string>& options, const std::string& firmware,
                    ProcessResult* sim) {
    JoinedLine line;
    std::vector<std::string> argv = {UNIT_SIM_EXE};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"--line", line.B.SlavePath});
    Child unit(argv);
    EXPECT_TRUE(
        unit.WaitForOutput("unit-sim: line " + line.B.SlavePath + "\n", std::chrono::seconds(10)))
        << unit.Out();
    const ProcessResult run =
        RunProcess({BRELWICK_EXE, "-q", "-c", line.A.SlavePath, "-f", firmware});
    if (run.Status != 0) {
        kill(unit.Pid(), SIGTERM);
    }
    *sim = unit.Finish(std::chrono::seconds(10));
    EXPECT_EQ(sim->Status, run.Status == 0 ? 0 : 8) << sim->Err;
    return run.Status;
}

// After a rehearsal unit-sim says one line, so that the updater's own last lines stay in sight.
TEST_P(SimReport, IsOneLineUnlessVerbose) {
    TempDir dir;
    const std::string path = dir.Write("fw.hex", ":0300000012345661\n:00000001FF\n");
    const auto Named = [&](std::string text) {
        const size_t at = text.find("{flash}");
        return at == std::string::npos ? text : text.replace(at, 7, dir.Path("flash.bin"));
    };
    std::vector<std::string> options;
    for (const std::string& option : GetParam().Options) {
        options.push_back(Named(option));
    }
    ProcessResult run;
    if (GetParam().OnLine) {
        EXPECT_EQ(RunOnJoinedLine(options, path, &run), GetParam().Status);
    } else {
        std::vector<std::string> argv = {UNIT_SIM_EXE};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {"--", BRELWICK_EXE, "-q", "-c", "{port}", "-f", path});
        run = RunProcess(argv);
        EXPECT_EQ(run.Status, GetParam().Status) << run.Err;
    }
    std::vector<std::string> said;
    std::istringstream err(run.Err);
    for (std::string line; std::getline(err, line);) {
        if (line.rfind("unit-sim: ", 0) == 0) {
            said.push_back(line);
        }
    }
    std::vector<std::string> expected;
    for (const std::string& line : GetParam().Lines) {
        expected.push_back("unit-sim: " + Named(line));
    }
    EXPECT_EQ(said, expected);
    if (GetParam().FlashBytes >= 0) {
        EXPECT_EQ(static_cast<long>(ReadFile(dir.Path("flash.bin")).size()), GetParam().FlashBytes);
    }
}

const char* const HELD = "received 1 block, every block's check value held; ";

INSTANTIATE_TEST_SUITE_P(
    UnitSim, SimReport,
    testing::Values(
        ReportCase{"Flashed",
                   {"--out", "{flash}"},
                   0,
                   {std::string(HELD) + "flash written to {flash}"},
                   3},
        ReportCase{"FlashNotKept", {}, 0, {std::string(HELD) + "flash not written (no --out)"}},
        ReportCase{"Verbose",
                   {"--verbose", "--out", "{flash}"},
                   0,
                   {"block 0: 3 bytes, check value held",
                    "end marker after 1 blocks; 0 of them bad",
                    std::string(HELD) + "flash written to {flash}"}},
        ReportCase{"CutShort",
                   {"--wrong-echo", "0:1"},
                   3,
                   {"received 0 blocks, the transfer did not reach its end marker; flash not "
                    "written (no --out)"}},
        // The block that never reached its check value is not in the flash.
        ReportCase{"CutShortFlashKept",
                   {"--wrong-echo", "0:1", "--out", "{flash}"},
                   3,
                   {"received 0 blocks, the transfer did not reach its end marker; flash written "
                    "to {flash}"},
                   0},
        ReportCase{"OnASerialLine",
                   {"--out", "{flash}"},
                   0,
                   {std::string(HELD) + "flash written to {flash}"},
                   -1,
                   true},
        ReportCase{"OnASerialLineCutShort",
                   {"--wrong-echo", "0:1"},
                   3,
                   {"received 0 blocks, the transfer did not reach its end marker; flash not "
                    "written (no --out)"},
                   -1,
                   true}),
    TitleOf<ReportCase>);

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
