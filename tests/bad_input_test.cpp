// Firmware files (-f) that are no firmware, given to the program as an operator starts it: each is
// refused with a clear message and status 2, whether for an update or for a check (-n), with no
// crash, no hang, no more memory than the file itself takes, and not a byte to the unit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "app/status.h"
#include "hex/hex_loader.h"
#include "hex_text.h"
#include "posix_support.h"

namespace {

constexpr size_t MIB = 1024 * 1024;

struct BadFileCase {
    const char* Title;
    std::string (*Make)(const TempDir& dir); // makes the input; returns the path given to -f
    std::string Said;        // the refusal, {file} standing for the path; "Update Aborted" follows
    bool Unreadable = false; // the case needs a user whom the file's permission bits stop
};
PRINTS_AS_TITLE(BadFileCase)

std::string Blocks0() {
    return "HEX file contains 0 blocks to transfer\n";
}

std::string MakeDirectory(const TempDir& dir) {
    const std::string path = dir.Path("firmware.hex");
    std::filesystem::create_directory(path);
    return path;
}

// Nobody writes to it: a program that opened it to read would wait for ever.
std::string MakeFifo(const TempDir& dir) {
    const std::string path = dir.Path("firmware.hex");
    if (mkfifo(path.c_str(), 0644) != 0) {
        ADD_FAILURE() << "mkfifo " << path;
    }
    return path;
}

// Endless: a program that read it to its end would never finish, nor stop taking memory.
std::string DevZero(const TempDir&) {
    return "/dev/zero";
}

// A good file, so that only the permission bits can stop it.
std::string MakeUnreadable(const TempDir& dir) {
    const std::string path = dir.Write("firmware.hex", HexFileOf({0x12, 0x34, 0x56}));
    chmod(path.c_str(), 0);
    return path;
}

std::string MakeGarbage(const TempDir& dir) {
    std::mt19937 random(11);
    std::string bytes(64 * 1024, '\0');
    for (char& b : bytes) {
        b = static_cast<char>(random() & 0xFF);
    }
    bytes[0] = '\x8F'; // neither a record's ":" nor a blank
    return dir.Write("firmware.hex", bytes);
}

// Written a piece at a time, so that the test itself stays small: the memory a run is said to
// have held counts the test's own, copied at the fork.
std::string WriteLong(const TempDir& dir, const std::string& head, char fill, size_t count) {
    const std::string path = dir.Path("firmware.hex");
    std::ofstream out(path, std::ios::binary);
    out << head;
    const std::string piece(64 * 1024, fill);
    for (size_t left = count; left > 0; left -= std::min(left, piece.size())) {
        out.write(piece.data(), static_cast<std::streamsize>(std::min(left, piece.size())));
    }
    return path;
}

std::string MakeColons(const TempDir& dir) {
    return WriteLong(dir, "", ':', 10 * MIB);
}

// Twelve MiB without a line end: a record of 16 bytes whose checksum is wrong, and digits after
// it up to the end.
std::string MakeLongLine(const TempDir& dir) {
    return WriteLong(dir, ":10000000", 'A', 12 * MIB);
}

std::string MakeNuls(const TempDir& dir) {
    return dir.Write("firmware.hex", std::string(4096, '\0'));
}

std::string MakeNulBetweenRecords(const TempDir& dir) {
    return dir.Write("firmware.hex",
                     Rec(0, 0, {1, 2, 3}) + std::string(3, '\0') + Rec(0, 3, {4}) + END_RECORD);
}

// The second record claims 255 bytes and brings 3, then the file ends.
std::string MakeCountPastTheText(const TempDir& dir) {
    return dir.Write("firmware.hex", Rec(0, 0, {1, 2, 3}) + ":FF001000010203\n");
}

// Larger than any firmware file: refused before a byte of it is read. Sparse, so it costs no disk.
std::string MakeHuge(const TempDir& dir) {
    const std::string path = dir.Write("firmware.hex", "");
    std::filesystem::resize_file(path, HEX_FILE_SIZE_LIMIT + 1);
    return path;
}

const BadFileCase BAD_FILES[] = {
    {"Directory", MakeDirectory, "Refusing {file}: not a regular file\n"},
    {"Fifo", MakeFifo, "Refusing {file}: not a regular file\n"},
    {"DevZero", DevZero, "Refusing {file}: not a regular file\n"},
    {"NoReadPermission", MakeUnreadable, "Uable to open file {file} \n", true},
    {"BinaryGarbage", MakeGarbage, "CRITICAL - BAD RECORD on LINE 1\n" + Blocks0()},
    {"TenMiBOfColons", MakeColons, "CRITICAL - BAD RECORD on LINE 1\n" + Blocks0()},
    {"OneVeryLongLine", MakeLongLine, "CRITICAL - CHECKSUM FAILURE on LINE 1\n" + Blocks0()},
    {"NulBytes", MakeNuls, "CRITICAL - BAD RECORD on LINE 1\n" + Blocks0()},
    {"NulBytesBetweenRecords", MakeNulBetweenRecords,
     "CRITICAL - BAD RECORD on LINE 2\n" + Blocks0()},
    {"CountRunsPastTheText", MakeCountPastTheText, "CRITICAL - BAD RECORD on LINE 2\n" + Blocks0()},
    {"LargerThanAnyFirmware", MakeHuge,
     "Refusing {file}: 16777217 bytes is too large for a firmware file (at most 16777216)\n"},
};

std::string Replaced(std::string text, const std::string& path) {
    for (size_t at; (at = text.find("{file}")) != std::string::npos;) {
        text.replace(at, 6, path);
    }
    return text;
}

// The file is read whole into memory, at most once; anything more than that and the program's
// own needs (the sanitizers' included) is memory that grows with something it should not.
long MemoryBoundKiB(const std::string& path) {
    struct stat info {};
    const bool regular = stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    const long size = regular && static_cast<uint64_t>(info.st_size) <= HEX_FILE_SIZE_LIMIT
                          ? static_cast<long>(info.st_size)
                          : 0;
    return (2 * size + static_cast<long>(64 * MIB)) / 1024;
}

// The program copied where the user nobody may run it, whatever the build tree's permissions.
std::string ProgramForNobody(const TempDir& dir) {
    const std::string copy = dir.Path("brelwick");
    std::filesystem::copy_file(BRELWICK_EXE, copy);
    chmod(copy.c_str(), 0755);
    return copy;
}

struct Mode {
    const char* Name;
    bool Update; // with a port to update; otherwise -n, a check only
    const char* Closing;
};

const Mode MODES[] = {
    {"update", true, "Update Aborted\n"},
    {"check", false, "Check Failed: this file must not be sent to the unit\n"},
};

class BadFirmwareFile : public testing::TestWithParam<BadFileCase> {};

TEST_P(BadFirmwareFile, IsRefusedWithStatusTwo) {
    const BadFileCase& c = GetParam();
    TempDir dir;
    const std::string path = c.Make(dir);
    RunLimits limits;
    limits.Dir = dir.Path("");
    std::string program = BRELWICK_EXE;
    Pty pty;
    if (c.Unreadable && geteuid() == 0) {
        // Root reads the file whatever its permission bits say: the program runs as nobody.
        std::printf("running as root: the program is run as the user nobody for this case\n");
        limits.AsNobody = true;
        program = ProgramForNobody(dir);
        fchmod(pty.Slave, 0666);
    }
    const std::string said = Replaced(c.Said, path);
    for (const Mode& mode : MODES) {
        std::vector<std::string> args = {program, "-f", path};
        if (mode.Update) {
            args.insert(args.end(), {"-q", "-c", pty.SlavePath});
        } else {
            args.push_back("-n");
        }
        const BoundedResult run = RunBounded(args, limits);
        if (limits.AsNobody && run.Status == NOT_STARTED) {
            GTEST_SKIP() << "NOT TESTED: a file without read permission needs a user whom the "
                            "bits stop; the tests run as root and "
                         << run.Err;
        }
        SCOPED_TRACE(mode.Name);
        EXPECT_FALSE(run.Killed) << "still running after " << limits.Time.count() << " ms";
        EXPECT_EQ(run.Status, STATUS_FILE_REFUSED);
        EXPECT_NE(run.Out.find(said + mode.Closing), std::string::npos)
            << "expected:\n"
            << said + mode.Closing << "in:\n"
            << run.Out.substr(0, 2000);
        EXPECT_EQ(run.Err, "");
        EXPECT_LT(run.MaxRssKiB, MemoryBoundKiB(path));
    }
    EXPECT_TRUE(ReadFor(pty.Master, 1, std::chrono::milliseconds(50)).empty())
        << "the unit heard something";
}

INSTANTIATE_TEST_SUITE_P(Files, BadFirmwareFile, testing::ValuesIn(BAD_FILES),
                         TitleOf<BadFileCase>);

} // namespace
