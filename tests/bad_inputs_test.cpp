// Whatever is given as the firmware file, the program refuses it clearly, in bounded time and
// memory, before the unit hears anything.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "console/status.h"
#include "hex_text.h"
#include "posix_support.h"

namespace {

constexpr int NOBODY = 65534;
constexpr long MEMORY_BOUND_KB = 256 * 1024;

struct BadFile {
    const char* Title;
    std::function<std::string(const TempDir&)> Make; // returns the path to give -f
    std::string Said;                                // {path} stands for the path
    bool AsNobody = false; // run without root, so that permission bits count
};
PRINTS_AS_TITLE(BadFile)

std::string Random(size_t size) {
    std::mt19937 random(11);
    std::string bytes(size, '\0');
    for (char& b : bytes) {
        b = static_cast<char>(random() & 0xFF);
    }
    bytes[0] = 'x';
    return bytes;
}

class BadFirmwareFile : public testing::TestWithParam<BadFile> {};

// For a run as nobody: nobody must reach the program and the file, and the build tree and the
// system's temporary directory may be inside a folder only root may enter (a clone under /root, a
// TMPDIR of mode 0700). Both go into a folder under /tmp that everyone may enter; returns the
// program's copy there, or an empty string when nobody cannot run it even so (/tmp mounted
// noexec), with the reason in `why`.
std::string ProgramForNobody(const TempDir& dir, std::string* why) {
    dir.OpenToEveryone();
    const std::string program = dir.Path("brelwick");
    std::filesystem::copy_file(BRELWICK_EXE, program);
    using std::filesystem::perms;
    std::filesystem::permissions(program, perms::owner_all | perms::group_read | perms::group_exec |
                                              perms::others_read | perms::others_exec);
    // 126: the switch to nobody failed; 127: nobody could not run the program; anything else: a
    // program that runs another (an emulator's wrapper) could not reach it.
    const ProcessResult probe =
        RunProcess({program, "--version"}, "", std::chrono::seconds(20), NOBODY);
    if (probe.Status != 0) {
        *why = "nobody cannot run " + program + " (status " + std::to_string(probe.Status) + ")";
        return "";
    }
    return program;
}

TEST_P(BadFirmwareFile, IsRefusedWithStatusTwo) {
    const BadFile& c = GetParam();
    if (c.AsNobody && geteuid() != 0) {
        GTEST_SKIP() << "not root: cannot run the program as another user here";
    }
    const TempDir dir(c.AsNobody ? std::filesystem::path("/tmp")
                                 : std::filesystem::temp_directory_path());
    std::string program = BRELWICK_EXE;
    if (c.AsNobody) {
        std::string why;
        program = ProgramForNobody(dir, &why);
        if (program.empty()) {
            GTEST_SKIP() << why;
        }
    }
    const std::string path = c.Make(dir);
    std::string said = c.Said;
    for (size_t at; (at = said.find("{path}")) != std::string::npos;) {
        said.replace(at, 6, path);
    }

    Pty pty;
    std::vector<std::string> argv = {program, "-q", "-c", pty.SlavePath, "-f", path};
    if (c.AsNobody) {
        // Nobody may not open root's pty either; check only.
        argv = {program, "-n", "-f", path};
    }
    const ProcessResult run =
        RunProcess(argv, "", std::chrono::seconds(20), c.AsNobody ? NOBODY : -1);
    EXPECT_FALSE(run.TimedOut) << "the program hung";
    EXPECT_EQ(run.Status, STATUS_FILE_REFUSED) << run.Out << run.Err;
    EXPECT_NE(run.Out.find(said), std::string::npos) << run.Out.substr(0, 2000);
    EXPECT_LT(run.MaxRssKb, MEMORY_BOUND_KB);
    EXPECT_TRUE(ReadFor(pty.Master, 1, std::chrono::milliseconds(20)).empty())
        << "the unit heard something";
}

std::string Fifo(const TempDir& dir) {
    const std::string path = dir.Path("pipe.hex");
    mkfifo(path.c_str(), 0644);
    return path;
}

std::string Unreadable(const TempDir& dir) {
    const std::string path = dir.Write("secret.hex", Rec(0, 0, {1}) + END_RECORD);
    chmod(path.c_str(), 0200);
    return path;
}

std::string Huge(const TempDir& dir) {
    const std::string path = dir.Write("huge.hex", "");
    std::filesystem::resize_file(path, 64u * 1024 * 1024);
    return path;
}

const std::string BAD_LINE_1 = "CRITICAL - BAD RECORD on LINE 1\n";
const std::string NOT_HEX =
    BAD_LINE_1 + "{path} is not an Intel HEX file: its records start with ':'\n";
const std::string ABORTED = "HEX file contains 0 blocks to transfer\nUpdate Aborted\n";

INSTANTIATE_TEST_SUITE_P(
    Files, BadFirmwareFile,
    testing::Values(
        BadFile{"Directory", [](const TempDir& d) { return d.Path(""); },
                "Refusing {path}: not a regular file\n"},
        BadFile{"Fifo", Fifo, "Refusing {path}: not a regular file\n"},
        BadFile{"DevZero", [](const TempDir&) { return std::string("/dev/zero"); },
                "Refusing {path}: not a regular file\n"},
        BadFile{"NoReadPermission", Unreadable, "Uable to open file {path} \n", true},
        BadFile{"BinaryGarbage", [](const TempDir& d) { return d.Write("g.hex", Random(65536)); },
                NOT_HEX + ABORTED},
        BadFile{"TenMegabytesOfColons",
                [](const TempDir& d) { return d.Write("c.hex", std::string(10 << 20, ':')); },
                BAD_LINE_1},
        BadFile{"OneVeryLongLine",
                [](const TempDir& d) {
                    return d.Write("l.hex", ":" + std::string(4 << 20, '0') + "\n");
                },
                BAD_LINE_1},
        BadFile{"NulBytes",
                [](const TempDir& d) { return d.Write("n.hex", std::string(1 << 20, '\0')); },
                NOT_HEX + ABORTED},
        BadFile{"NulInsideARecord",
                [](const TempDir& d) {
                    std::string text = Rec(0, 0, {1}) + Rec(0, 1, {2, 3}) + END_RECORD;
                    text[text.find(":02") + 10] = '\0';
                    return d.Write("z.hex", text);
                },
                "CRITICAL - BAD RECORD on LINE 2\n"},
        BadFile{"CountFarPastTheText",
                [](const TempDir& d) { return d.Write("f.hex", ":FF0000000102\n"); }, BAD_LINE_1},
        BadFile{"FarTooLarge", Huge,
                "Refusing {path}: 67108864 bytes is too large for a firmware file"},
        // A download that brought nothing: sent, it would leave the unit without firmware.
        BadFile{"EmptyDownload", [](const TempDir& d) { return d.Write("e.hex", ""); },
                "CRITICAL - NO DATA FOR THE UNIT IN THIS FILE\n" + ABORTED},
        BadFile{"JoinedFiles",
                [](const TempDir& d) {
                    return d.Write("j.hex",
                                   Rec(0, 0, {1}) + END_RECORD + Rec(0, 1, {2}) + END_RECORD);
                },
                "CRITICAL - TEXT AFTER END OF FILE on LINE 3\n" + ABORTED},
        // Sized at 0 bytes, its text made as it is read: what a file that grows while it is read
        // shows.
        BadFile{"GrewWhileRead", [](const TempDir&) { return std::string("/proc/self/status"); },
                "Loading {path}  Size 0 \nRefusing {path}: it changed while it was read\n"
                "Update Aborted\n"}),
    TitleOf<BadFile>);

} // namespace
