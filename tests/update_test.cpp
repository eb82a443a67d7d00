// The update sequence around the loader: a refused file ends the run before the unit hears
// anything, and -n checks a file without touching a port.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/status.h"
#include "hex_text.h"
#include "posix_support.h"
#include "serial/serial.h"
#include "sim_harness.h"

namespace {

std::string LoadLines(const std::string& path, size_t size) {
    return "Loading " + path + "  Size " + std::to_string(size) + " \nLoaded " + path + "  Size " +
           std::to_string(size) + " \n";
}

std::string Blocks(int count) {
    return "HEX file contains " + std::to_string(count) + " blocks to transfer\n";
}

const std::string CHECK_FAILED = "Check Failed: this file must not be sent to the unit\n";
const std::string NO_DATA =
    "CRITICAL - NO DATA FOR THE UNIT IN THIS FILE\n" + Blocks(0) + CHECK_FAILED;

struct CheckCase {
    const char* Title;
    std::string Text;
    std::vector<std::string> Args; // besides -f
    int Status;
    std::string Said; // after the "Loaded" line
};
PRINTS_AS_TITLE(CheckCase)

std::string Zeros(size_t count) {
    return HexFileOf(std::vector<uint8_t>(count, 0));
}

// A download of varied bytes cut where the browser had written so far: at the end of line `lines`,
// before the end-of-file record.
std::string CutShort(size_t lines) {
    std::vector<uint8_t> image(40000);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>((i * 7919u) >> 3 ^ i);
    }
    const std::string text = HexFileOf(image);
    size_t at = 0;
    for (size_t i = 0; i < lines; ++i) {
        at = text.find('\n', at) + 1;
    }
    return text.substr(0, at);
}

const std::string NO_END =
    "CRITICAL - NO END OF FILE RECORD: the file may be cut short (a download not finished?)\n"
    "If the file is known to be whole, add the end-of-file record :00000001FF as its last line.\n";

class CheckOnly : public testing::TestWithParam<CheckCase> {};

TEST_P(CheckOnly, ChecksTheFileAndOpensNoPort) {
    const CheckCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.Write("fw.hex", c.Text);
    std::vector<std::string> args = c.Args;
    args.insert(args.end(), {"-f", path});
    const UpdateRun run = RunUpdateWith(args);
    EXPECT_EQ(run.Status, c.Status);
    EXPECT_EQ(run.Console, LoadLines(path, c.Text.size()) + c.Said);
    EXPECT_EQ(PortHandle, INVALID_PORT);
}

INSTANTIATE_TEST_SUITE_P(
    Files, CheckOnly,
    testing::Values(
        CheckCase{"TypicalImage",
                  Zeros(40000),
                  {"-n"},
                  STATUS_FLASHED,
                  Blocks(19) +
                      "Image length 40000 bytes\n  filled 0x000000-0x009C3F (40000 bytes)\n"
                      "Blocks to send 20: 19 of 2048 bytes and one of 1088\n"},
        CheckCase{"Gaps",
                  Rec(0, 0x10, {1, 2}) + Rec(0, 0x2000, {3}) + Rec(0, 0x12, {4}) + END_RECORD,
                  {"-n"},
                  STATUS_FLASHED,
                  Blocks(4) + "Image length 8193 bytes\n  filled 0x000010-0x000012 (3 bytes)\n"
                              "  filled 0x002000-0x002000 (1 bytes)\nBlocks to send 5: 4 of 2048 "
                              "bytes and one of 1\n"},
        CheckCase{"WholeBlocksOnly",
                  Zeros(4096),
                  {"-n"},
                  STATUS_FLASHED,
                  Blocks(2) + "Image length 4096 bytes\n  filled 0x000000-0x000FFF (4096 bytes)\n"
                              "Blocks to send 2, of 2048 bytes each\n"},
        CheckCase{"OneShortBlock",
                  Rec(0, 0, {1, 2, 3}) + END_RECORD,
                  {"-n"},
                  STATUS_FLASHED,
                  Blocks(0) + "Image length 3 bytes\n  filled 0x000000-0x000002 (3 bytes)\n"
                              "Blocks to send 1, of 3 bytes\n"},
        // Nothing for the unit: a 0-byte download, or an end record alone.
        CheckCase{"EmptyFile", "", {"-n"}, STATUS_FILE_REFUSED, NO_DATA},
        CheckCase{"EndRecordAlone", END_RECORD, {"-n"}, STATUS_FILE_REFUSED, NO_DATA},
        CheckCase{"JoinedFiles",
                  Rec(0, 0, {1}) + END_RECORD + Rec(0, 0x10, {2}) + END_RECORD,
                  {"-n"},
                  STATUS_FILE_REFUSED,
                  "CRITICAL - TEXT AFTER END OF FILE on LINE 3\n" + Blocks(0) + CHECK_FAILED},
        CheckCase{"CutShortDownload",
                  CutShort(300),
                  {"-n"},
                  STATUS_FILE_REFUSED,
                  NO_END + Blocks(2) + CHECK_FAILED},
        CheckCase{"RefusedFile",
                  Rec(0, 0, {1}, 1) + END_RECORD,
                  {"-n"},
                  STATUS_FILE_REFUSED,
                  "CRITICAL - CHECKSUM FAILURE on LINE 1\n" + Blocks(0) + CHECK_FAILED},
        // Whatever follows -n, and whatever port is named, nothing is opened.
        CheckCase{"AnyValueMeansCheckOnly",
                  Rec(0, 0, {1, 2, 3}) + END_RECORD,
                  {"-n", "yes", "-c", "ttyNOSUCH0"},
                  STATUS_FLASHED,
                  Blocks(0) + "Image length 3 bytes\n  filled 0x000000-0x000002 (3 bytes)\n"
                              "Blocks to send 1, of 3 bytes\n"}),
    TitleOf<CheckCase>);

TEST(CheckOnlyUsage, NeedsAFile) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-n"}, std::vector<std::string>{"-n", "-f"}}) {
        const UpdateRun run = RunUpdateWith(args);
        EXPECT_EQ(run.Status, STATUS_USAGE);
        EXPECT_EQ(run.Console.rfind("Brelwick.exe\n", 0), 0u) << run.Console;
    }
}

struct RefusalCase {
    const char* Title;
    std::vector<std::string> Args; // {file} and {cut} stand for refused files
    std::string Said;
};
PRINTS_AS_TITLE(RefusalCase)

class RefusedBeforeTheUnitHearsAnything : public testing::TestWithParam<RefusalCase> {};

TEST_P(RefusedBeforeTheUnitHearsAnything, AbortsWithStatusTwoAndReleasesThePort) {
    TempDir dir;
    const std::string bad = dir.Write("bad.hex", Rec(0, 0, {1, 2, 3}, 2) + END_RECORD);
    const std::string cut = dir.Write("cut.hex", CutShort(1000));
    Pty pty;
    std::vector<std::string> args = {"-q", "-c", pty.SlavePath};
    for (std::string arg : GetParam().Args) {
        args.push_back(arg == "{file}" ? bad : arg == "{cut}" ? cut : arg);
    }
    std::string said = GetParam().Said;
    if (said.find("{file}") != std::string::npos) {
        said.replace(said.find("{file}"), 6, bad);
    }
    const UpdateRun run = RunUpdateWith(args);
    EXPECT_EQ(run.Status, STATUS_FILE_REFUSED);
    EXPECT_NE(run.Console.find(said + "Update Aborted\n"), std::string::npos) << run.Console;
    EXPECT_TRUE(ReadFor(pty.Master, 1, std::chrono::milliseconds(50)).empty())
        << "the unit heard something";
    EXPECT_EQ(PortHandle, INVALID_PORT);
    SerialPort* again = nullptr;
    EXPECT_EQ(SerialOpen(pty.SlavePath, &again), 0) << "the port was not released";
    if (again != nullptr) {
        SerialClose(again);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedBeforeTheUnitHearsAnything,
    testing::Values(RefusalCase{"FileNamedT", {"-f", "T"}, "Uable to access file T \n"},
                    RefusalCase{"Checksum",
                                {"-f", "{file}"},
                                "CRITICAL - CHECKSUM FAILURE on LINE 1\nHEX file contains 0 "
                                "blocks to transfer\n"},
                    RefusalCase{"CutShort",
                                {"-f", "{cut}"},
                                NO_END + "HEX file contains 7 blocks to transfer\n"}),
    TitleOf<RefusalCase>);

} // namespace
