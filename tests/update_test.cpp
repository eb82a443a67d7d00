// The update sequence around the loader: a refused file ends the run before the unit hears
// anything, and -n checks a file without touching a port.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <utility>
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
    std::vector<std::string> Args; // besides -f; {file-sha} and {IMAGE-SHA} stand for fingerprints
    int Status;
    std::string Said; // after the "Loaded" line; a good file's fingerprints follow it
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
    // Taken by tools of their own from the file and the bytes it holds.
    const std::string fileSha = Sha256Sum(path);
    const std::string imageSha = c.Said.find("Image length") != std::string::npos ||
                                         c.Said.find("NOT THE EXPECTED") != std::string::npos
                                     ? ImageSha256Sum(path)
                                     : "";
    const auto fill = [&](std::string text) {
        std::string upper = imageSha;
        for (char& ch : upper) {
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        }
        for (const auto& [mark, value] :
             {std::pair<std::string, std::string>{"{file-sha}", fileSha},
              {"{image-sha}", imageSha},
              {"{IMAGE-SHA}", upper}}) {
            for (size_t at; (at = text.find(mark)) != std::string::npos;) {
                text.replace(at, mark.size(), value);
            }
        }
        return text;
    };
    std::vector<std::string> args;
    for (const std::string& arg : c.Args) {
        args.push_back(fill(arg));
    }
    args.insert(args.end(), {"-f", path});
    const UpdateRun run = RunUpdateWith(args);
    EXPECT_EQ(run.Status, c.Status);
    std::string said = LoadLines(path, c.Text.size()) + fill(c.Said);
    if (c.Status == STATUS_FLASHED) {
        said += "File SHA-256 " + fileSha + "\nImage SHA-256 " + imageSha + "\n";
    }
    EXPECT_EQ(run.Console, said);
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
        // The demonstration firmware, whose fingerprints the manual shows.
        CheckCase{"DemoFile",
                  ReadFile(BRELWICK_SOURCE_DIR "/examples/demo.hex"),
                  {"-n"},
                  STATUS_FLASHED,
                  Blocks(19) +
                      "Image length 40000 bytes\n  filled 0x000000-0x005FFF (24576 bytes)\n"
                      "  filled 0x007000-0x009C3F (11328 bytes)\n"
                      "Blocks to send 20: 19 of 2048 bytes and one of 1088\n"},
        // --expect takes either fingerprint, in either case; any other refuses the file.
        CheckCase{"ExpectTheFile",
                  Rec(0, 0x10, {1, 2}) + Rec(0, 0x2000, {3}) + END_RECORD,
                  {"-n", "--expect", "{file-sha}"},
                  STATUS_FLASHED,
                  Blocks(4) + "Image length 8193 bytes\n  filled 0x000010-0x000011 (2 bytes)\n"
                              "  filled 0x002000-0x002000 (1 bytes)\nBlocks to send 5: 4 of 2048 "
                              "bytes and one of 1\n"},
        CheckCase{"ExpectTheImageInUpperCase",
                  Rec(0, 0, {9, 8, 7}) + END_RECORD,
                  {"-n", "--expect", "{IMAGE-SHA}"},
                  STATUS_FLASHED,
                  Blocks(0) + "Image length 3 bytes\n  filled 0x000000-0x000002 (3 bytes)\n"
                              "Blocks to send 1, of 3 bytes\n"},
        CheckCase{"ExpectAnotherFile",
                  Rec(0, 0, {9, 8, 7}) + END_RECORD,
                  {"-n", "--expect", std::string(63, '0') + "1"},
                  STATUS_FILE_REFUSED,
                  Blocks(0) + "CRITICAL - NOT THE EXPECTED FILE: --expect " + std::string(63, '0') +
                      "1 is neither its File SHA-256 {file-sha} nor its Image SHA-256 "
                      "{image-sha}\n" +
                      CHECK_FAILED},
        // Whatever follows -n, and whatever port is named, nothing is opened.
        CheckCase{"AnyValueMeansCheckOnly",
                  Rec(0, 0, {1, 2, 3}) + END_RECORD,
                  {"-n", "yes", "-c", "ttyNOSUCH0"},
                  STATUS_FLASHED,
                  Blocks(0) + "Image length 3 bytes\n  filled 0x000000-0x000002 (3 bytes)\n"
                              "Blocks to send 1, of 3 bytes\n"}),
    TitleOf<CheckCase>);

TEST(CheckOnlyUsage, NeedsAFile) {
    const std::string demo = BRELWICK_SOURCE_DIR "/examples/demo.hex";
    // A fingerprint that is not 64 hexadecimal digits is no fingerprint: the file is not read.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-n"}, std::vector<std::string>{"-n", "-f"},
          std::vector<std::string>{"-n", "-f", demo, "--expect", std::string(63, 'a')},
          std::vector<std::string>{"-n", "-f", demo, "--expect", std::string(63, 'a') + "g"},
          std::vector<std::string>{"-n", "-f", demo, "--expect"}}) {
        const UpdateRun run = RunUpdateWith(args);
        EXPECT_EQ(run.Status, STATUS_USAGE);
        EXPECT_EQ(run.Console.rfind("Brelwick.exe\n", 0), 0u) << run.Console;
        EXPECT_EQ(run.Console.find("Loading"), std::string::npos) << run.Console;
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
    const std::string good = dir.Write("good.hex", Rec(0, 0x20, {5, 6, 7, 8}) + END_RECORD);
    Pty pty;
    std::vector<std::string> args = {"-q", "-c", pty.SlavePath};
    for (std::string arg : GetParam().Args) {
        args.push_back(arg == "{file}" ? bad : arg == "{cut}" ? cut : arg == "{good}" ? good : arg);
    }
    std::string said = GetParam().Said;
    for (const auto& [mark, value] :
         {std::pair<std::string, std::string>{"{file}", bad},
          {"{good-sha}", Sha256Sum(good)},
          {"{good-image-sha}",
           said.find("{good-image-sha}") != std::string::npos ? ImageSha256Sum(good) : ""}}) {
        if (said.find(mark) != std::string::npos) {
            said.replace(said.find(mark), mark.size(), value);
        }
    }
    const std::string log = dir.Path("runs.log");
    args.insert(args.end(), {"--json", "--log", log});
    const UpdateRun run = RunUpdateWith(args);
    EXPECT_EQ(run.Status, STATUS_FILE_REFUSED);
    EXPECT_NE(run.Console.find(said + "Update Aborted\n"), std::string::npos) << run.Console;
    const auto file = std::find(args.begin(), args.end(), "-f");
    ExpectOnRecord(run, *(file + 1), log, 0);
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
                                NO_END + "HEX file contains 7 blocks to transfer\n"},
                    // Matched before the port is opened: the unit's line never sees it.
                    RefusalCase{"NotTheExpectedFile",
                                {"-f", "{good}", "--expect", std::string(64, 'F')},
                                "HEX file contains 0 blocks to transfer\nCRITICAL - NOT THE "
                                "EXPECTED FILE: --expect " +
                                    std::string(64, 'f') +
                                    " is neither its File SHA-256 {good-sha} nor its Image "
                                    "SHA-256 {good-image-sha}\n"}),
    TitleOf<RefusalCase>);

// A log that cannot be opened refuses the run before anything is read or opened; one that cannot
// take the record lets the run end as it would, says so, and end stays the last event.
struct LogCase {
    const char* Title;
    std::string Log;
    std::vector<std::string> Args; // besides -n -f and --log
    int Status;
    std::string Note;
};
PRINTS_AS_TITLE(LogCase)

class LogTrouble : public testing::TestWithParam<LogCase> {};

TEST_P(LogTrouble, IsSaidAndTheStatusTellsTheRun) {
    const LogCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.Write("fw.hex", Rec(0, 0, {4, 5, 6}) + END_RECORD);
    std::vector<std::string> args = {"-n", "-f", path, "--log", c.Log};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    const UpdateRun run = RunUpdateWith(args);
    EXPECT_EQ(run.Status, c.Status);
    EXPECT_EQ(run.Console.find("Loading") != std::string::npos, c.Status == STATUS_FLASHED)
        << run.Console;
    EXPECT_NE(run.Notes.find(c.Note), std::string::npos) << run.Notes;
    if (!c.Args.empty()) {
        const std::string last = run.Notes.substr(run.Notes.rfind('\n', run.Notes.size() - 2) + 1);
        ASSERT_TRUE(nlohmann::json::accept(last)) << run.Notes;
        EXPECT_EQ(nlohmann::json::parse(last)["event"], "end");
        EXPECT_EQ(nlohmann::json::parse(last)["status"], c.Status);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Logs, LogTrouble,
    testing::Values(
        LogCase{"FolderMissing",
                "/nonexistent-brelwick/bench.log",
                {},
                STATUS_USAGE,
                "Cannot open the log /nonexistent-brelwick/bench.log: No such file or directory"},
        LogCase{"AFolder", "/", {}, STATUS_USAGE, "Cannot open the log /: Is a directory"},
        LogCase{"DiskFull",
                "/dev/full",
                {},
                STATUS_FLASHED,
                "The record of this run could not be written to /dev/full: No space left"},
        LogCase{"DiskFullWithEvents",
                "/dev/full",
                {"--json"},
                STATUS_FLASHED,
                "The record of this run could not be written to /dev/full: No space left"}),
    TitleOf<LogCase>);

// Programs that log to one file at once: each record is one whole line, after what was there.
// Among them, runs whose port cannot be opened, which end from deep inside, record that too.
TEST(RunLog, ProgramsAtOnceAppendWholeLines) {
    TempDir dir;
    const std::string log = dir.Path("bench.log");
    const std::string earlier = "{\"schema\":1,\"result\":\"flashed\"}\n";
    dir.Write("bench.log", earlier);
    std::mt19937 random(25);
    std::vector<std::string> files;
    std::vector<std::unique_ptr<Child>> children;
    constexpr int RUNS = 12;
    for (int i = 0; i < RUNS; ++i) {
        std::vector<uint8_t> image(1000 + random() % 9000);
        for (uint8_t& b : image) {
            b = static_cast<uint8_t>(random());
        }
        files.push_back(dir.Write("fw" + std::to_string(i) + ".hex", HexFileOf(image)));
        std::vector<std::string> argv = {BRELWICK_EXE, "-f", files.back(), "--log", log};
        if (i % 4 == 3) {
            argv.insert(argv.end(), {"-q", "-c", "ttyNOSUCH9", "--json"});
        } else {
            argv.push_back("-n");
        }
        children.push_back(std::make_unique<Child>(argv));
    }
    for (int i = 0; i < RUNS; ++i) {
        const ProcessResult run =
            children[static_cast<size_t>(i)]->Finish(std::chrono::seconds(60));
        EXPECT_EQ(run.Status, i % 4 == 3 ? STATUS_USAGE : STATUS_FLASHED) << run.Err;
        if (i % 4 == 3) {
            const std::string last = run.Err.substr(run.Err.rfind('\n', run.Err.size() - 2) + 1);
            ASSERT_TRUE(nlohmann::json::accept(last)) << run.Err;
            const nlohmann::json end = nlohmann::json::parse(last);
            EXPECT_EQ(end["event"], "end");
            EXPECT_EQ(end["status"], STATUS_USAGE);
            EXPECT_EQ(end["result"], "port not opened");
        }
    }
    const std::string logged = ReadFile(log);
    ASSERT_EQ(logged.rfind(earlier, 0), 0u) << "what was in the log changed";
    std::istringstream lines(logged.substr(earlier.size()));
    std::set<std::string> named;
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_TRUE(nlohmann::json::accept(line)) << "mixed or broken: " << line;
        const nlohmann::json record = nlohmann::json::parse(line);
        const std::string file = record["file"];
        named.insert(file);
        // A port that will not open ends the run before the file is read.
        const bool checked = record["status"] == STATUS_FLASHED;
        EXPECT_EQ(record["result"], std::string(checked ? "checked" : "port not opened"));
        EXPECT_EQ(record["file_sha256"],
                  checked ? nlohmann::json(Sha256Sum(file)) : nlohmann::json(nullptr));
    }
    EXPECT_EQ(count, RUNS);
    EXPECT_EQ(named, std::set<std::string>(files.begin(), files.end()));
    EXPECT_EQ(logged.back(), '\n');
}

} // namespace
