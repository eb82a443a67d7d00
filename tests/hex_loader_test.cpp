// The Intel HEX loader: what it stores, what it refuses, and what it says.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "app/update.h"
#include "console_capture.h"
#include "hex/hex_loader.h"
#include "hex_text.h"
#include "record/sha256.h"
#include "support.h"

namespace {

const std::string END = END_RECORD;

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'F') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::string CrLf(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return out;
}

std::string Replace(std::string text, char from, char to) {
    text[text.rfind(from)] = to;
    return text;
}

std::string Blocks(int count) {
    return "HEX file contains " + std::to_string(count) + " blocks to transfer\n";
}

const std::string NO_END = "WARNING - NO END OF FILE RECORD\n";
const std::string NO_DATA = "CRITICAL - NO DATA FOR THE UNIT IN THIS FILE\n" + Blocks(0);
// {path} stands for the file's path.
const std::string NOT_HEX = "CRITICAL - BAD RECORD on LINE 1\n"
                            "{path} is not an Intel HEX file: its records start with ':'\n" +
                            Blocks(0);

std::string Refused(const char* what, int line, int blocks = 0) {
    return "CRITICAL - " + std::string(what) + " on LINE " + std::to_string(line) + "\n" +
           Blocks(blocks);
}

std::string Named(std::string text, const std::string& name, const std::string& value) {
    for (size_t at; (at = text.find(name)) != std::string::npos;) {
        text.replace(at, name.size(), value);
    }
    return text;
}

using Bytes = std::vector<std::pair<uint32_t, std::vector<uint8_t>>>;

struct LoadCase {
    const char* Title;
    std::string Text;
    int Result;
    std::string Said; // what follows the "Loaded" line; {path} stands for the file's path
    uint32_t Length;  // ImageLength after a good load
    Bytes Image;      // bytes expected at these addresses
};
PRINTS_AS_TITLE(LoadCase)

struct Loaded {
    int Result;
    std::string Console;
};

Loaded LoadFile(const std::string& path) {
    ConsoleCapture console;
    FirmwarePath = path;
    const int result = LoadHexFile();
    ReleaseResources();
    return {result, console.Text()};
}

class HexLoad : public testing::TestWithParam<LoadCase> {};

TEST_P(HexLoad, StoresWhatTheRecordsSayOrRefusesTheFile) {
    const LoadCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.Write("fw.hex", c.Text);
    const Loaded loaded = LoadFile(path);
    EXPECT_EQ(loaded.Console, "Loading " + path + "  Size " + std::to_string(c.Text.size()) +
                                  " \n" + "Loaded " + path + "  Size " +
                                  std::to_string(c.Text.size()) + " \n" +
                                  Named(c.Said, "{path}", path));
    EXPECT_EQ(loaded.Result, c.Result);
    if (c.Result != 0) {
        return;
    }
    EXPECT_EQ(ImageLength, c.Length);
    for (const auto& [address, bytes] : c.Image) {
        const std::vector<uint8_t> stored(FirmwareImage + address,
                                          FirmwareImage + address + bytes.size());
        EXPECT_EQ(stored, bytes) << "at address " << address;
    }
}

const LoadCase LOAD_CASES[] = {
    {"ThreeBytes", ":0300000012345661\n" + END, 0, Blocks(0), 3, {{0, {0x12, 0x34, 0x56}}}},
    {"ChecksumFailure", ":0300000012345662\n" + END, 1, Refused("CHECKSUM FAILURE", 1), 0, {}},
    // Nothing for the unit: sent, it would erase the first flash block and write nothing there.
    {"OnlyEndRecord", END, 1, NO_DATA, 0, {}},
    {"BlankLinesOnly", "\n\r\n \t\n\x1a", 1, NO_DATA, 0, {}},
    {"EmptyRecordsOnly", Rec(0, 0x1000, {}) + Rec(0, 0, {}) + END, 1, NO_DATA, 0, {}},
    {"DataOnlyAboveTheLimit", Rec(4, 0, {0x01, 0xF0}) + Rec(0, 0, {1, 2}) + END, 1, NO_DATA, 0, {}},
    {"LowerCaseDigits",
     Lower(Rec(0, 0xab0, {0xAB, 0xCD, 0xEF}) + END),
     0,
     Blocks(1),
     0xab3,
     {{0xab0, {0xAB, 0xCD, 0xEF}}}},
    {"CrLfLineEnds",
     CrLf(Rec(0, 0, {0x0D, 0x0A}) + Rec(0, 2, {0x1A}) + END),
     0,
     Blocks(0),
     3,
     {{0, {0x0D, 0x0A, 0x1A}}}},
    {"BlanksBetweenRecords",
     "\n \t" + Rec(0, 0, {1}) + "\n\n" + Replace(Rec(0, 1, {2}), '\n', ' ') + Rec(0, 2, {3}) +
         "\x1a",
     0,
     NO_END + Blocks(0),
     3,
     {{0, {1, 2, 3}}}},
    // A damaged ":" must not make a record's data vanish from the image.
    {"DamagedStartMark",
     Rec(0, 0, {1}) + Replace(Rec(0, 1, {2}), ':', 'X') + END,
     1,
     Refused("BAD RECORD", 2),
     0,
     {}},
    {"DamagedFirstStartMark", Replace(Rec(0, 0, {1}), ':', ';') + END, 1, NOT_HEX, 0, {}},
    // Another format altogether is told apart from a damaged record.
    {"MotorolaSRecords", "S1060000123456FF\nS9030000FC\n", 1, NOT_HEX, 0, {}},
    {"TextAfterBlankLines", "\n\n  <html>\n" + END, 1, NOT_HEX, 0, {}},
    {"DigitsBetweenRecords",
     Rec(0, 0, {1}) + "0" + Rec(0, 1, {2}) + END,
     1,
     Refused("BAD RECORD", 2),
     0,
     {}},
    {"TextAfterTheChecksum",
     Replace(Rec(0, 0, {1}), '\n', 'Z') + "\n" + END,
     1,
     Refused("BAD RECORD", 1),
     0,
     {}},
    {"ExtendedLinearAddress",
     Rec(4, 0, {0x00, 0x01}) + Rec(0, 0x10, {1, 2, 3, 4}) + END,
     0,
     Blocks(32),
     0x10014,
     {{0x10010, {1, 2, 3, 4}}, {0x10, {0, 0, 0, 0}}}},
    {"DataAboveTheLimitSkipped",
     Rec(0, 0, {9}) + Rec(4, 0, {0x01, 0xF0}) + Rec(0, 0, {1, 2, 3, 4}, 1) +
         Rec(4, 0, {0x02, 0x00}) + Rec(0, 0xFF00, {5}) + END,
     0,
     Blocks(0),
     1,
     {{0, {9}}}},
    {"ChecksumFailureOnLineFive",
     Rec(0, 0, {1}) + Rec(0, 1, {2}) + Rec(0, 2, {3}) + Rec(0, 3, {4}) + Rec(0, 4, {5}, 7) + END,
     1,
     Refused("CHECKSUM FAILURE", 5),
     0,
     {}},
    {"LinearAddressChecksumExamined",
     Rec(4, 0, {0x00, 0x01}, 1) + Rec(0, 0, {1}) + END,
     1,
     Refused("CHECKSUM FAILURE", 1),
     0,
     {}},
    {"LinearAddressWrongCount",
     Rec(4, 0, {0x00, 0x01, 0x00}) + Rec(0, 0, {1}) + END,
     1,
     Refused("BAD RECORD", 1),
     0,
     {}},
    {"ExtendedSegmentAddress",
     Rec(0, 0, {6}) + Rec(2, 0, {0x10, 0x00}) + Rec(0, 0x20, {7, 8}) + END,
     0,
     Blocks(32),
     0x10022,
     {{0, {6, 0}}, {0x10020, {7, 8}}}},
    {"SegmentAddressChecksumExamined",
     Rec(2, 0, {0x10, 0x00}, 1) + END,
     1,
     Refused("CHECKSUM FAILURE", 1),
     0,
     {}},
    {"SegmentAddressWrongCount", Rec(2, 0, {0x10}) + END, 1, Refused("BAD RECORD", 1), 0, {}},
    {"StartAddressesStoreNothing",
     Rec(3, 0, {0x12, 0x34, 0x56, 0x78}) + Rec(5, 0, {0xDE, 0xAD, 0xBE, 0xEF}) + Rec(0, 4, {1}) +
         END,
     0,
     Blocks(0),
     5,
     {{0, {0, 0, 0, 0, 1}}}},
    {"StartAddressChecksumExamined",
     Rec(0, 0, {1}) + Rec(5, 0, {1, 2, 3, 4}, 1) + END,
     1,
     Refused("CHECKSUM FAILURE", 2),
     0,
     {}},
    {"UnknownTypeRefused",
     Rec(0, 0, {1}) + Rec(6, 0, {1}) + END,
     1,
     Refused("BAD RECORD", 2),
     0,
     {}},
    {"DataBeyondTheImage",
     Rec(4, 0, {0x00, 0x01}) + Rec(0, 0x869E, {1, 2, 3, 4}) + END,
     1,
     Refused("DATA BEYOND IMAGE", 2),
     0,
     {}},
    {"DataEndingAtCapacity",
     Rec(4, 0, {0x00, 0x01}) + Rec(0, 0x869E, {1, 2}) + END,
     0,
     Blocks(48),
     100000,
     {{99998, {1, 2}}}},
    {"EmptyRecordBeyondTheImage",
     Rec(4, 0, {0x00, 0x02}) + Rec(0, 0, {}) + END,
     1,
     Refused("DATA BEYOND IMAGE", 2),
     0,
     {}},
    {"RecordCutShort", Rec(0, 0, {1}) + ":0400000001", 1, Refused("BAD RECORD", 2), 0, {}},
    {"HeaderCutShort", Rec(0, 0, {1}) + ":0300", 1, Refused("BAD RECORD", 2), 0, {}},
    {"CountRunsPastTheText",
     ":FF000000" + std::string(20, '0') + "\n",
     1,
     Refused("BAD RECORD", 1),
     0,
     {}},
    {"NotAHexDigit", ":03000000123G5661\n" + END, 1, Refused("BAD RECORD", 1), 0, {}},
    // ';' would convert to the value of 'B'; it must not pass for one.
    {"PunctuationIsNoDigit",
     Replace(Rec(0, 0, {0x12, 0x3B, 0x56}), 'B', ';') + END,
     1,
     Refused("BAD RECORD", 1),
     0,
     {}},
    {"CarriageReturnInsideARecord",
     ":03000000\r12345661\n" + END,
     1,
     Refused("BAD RECORD", 1),
     0,
     {}},
    {"NoEndRecordWarns", Rec(0, 0, {1, 2}), 0, NO_END + Blocks(0), 2, {{0, {1, 2}}}},
    // A download that brought nothing; the refusal says it all, without the warning.
    {"EmptyFile", "", 1, NO_DATA, 0, {}},
    {"EmptyRecordRaisesTheLength",
     Rec(0, 0, {7}) + Rec(0, 0x1000, {}) + END,
     0,
     Blocks(2),
     0x1000,
     {{0, {7, 0}}}},
    {"OffsetRunsPastSixteenBits",
     Rec(0, 0xFFFE, {1, 2, 3, 4}) + END,
     0,
     Blocks(32),
     0x10002,
     {{0xFFFE, {1, 2, 3, 4}}}},
    {"LaterRecordsOverwrite",
     Rec(0, 0, {1, 2, 3}) + Rec(0, 1, {9}) + END,
     0,
     Blocks(0),
     3,
     {{0, {1, 9, 3}}}},
    {"BlanksAfterTheEnd", Rec(0, 0, {5}) + END + "\n \r\n\t\x1a", 0, Blocks(0), 1, {{0, {5}}}},
    // Two files joined: the second one's records must not be dropped without a word.
    {"JoinedFiles",
     Rec(0, 0, {1}) + END + Rec(0, 0x10, {2}) + END,
     1,
     Refused("TEXT AFTER END OF FILE", 3),
     0,
     {}},
    // A Ctrl-Z is a blank, not the end of the text, on every system: a first file that DOS tools
    // ended with one must not hide the second.
    {"JoinedAfterACtrlZ",
     Rec(0, 0, {1}) + END + "\x1a" + Rec(0, 0x10, {2}) + END,
     1,
     Refused("TEXT AFTER END OF FILE", 3),
     0,
     {}},
    {"RecordsAfterACtrlZ",
     CrLf(Rec(0, 0, {1}) + "\x1a" + Rec(0, 1, {2}) + END),
     0,
     Blocks(0),
     2,
     {{0, {1, 2}}}},
    {"TextOnTheEndRecordsLine",
     Rec(0, 0, {5}) + Replace(END, '\n', ' ') + "zz\n",
     1,
     Refused("TEXT AFTER END OF FILE", 2),
     0,
     {}},
    // Its count would have the end record pass over the record that follows.
    {"EndRecordWithACount",
     Rec(0, 0, {1}) + Rec(1, 0, {0x12}) + Rec(0, 1, {2}) + END,
     1,
     Refused("BAD RECORD", 2),
     0,
     {}},
    {"GapsAreZero",
     Rec(0, 0, {1}) + Rec(0, 10, {2}) + END,
     0,
     Blocks(0),
     11,
     {{0, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}}}},
};

INSTANTIATE_TEST_SUITE_P(Records, HexLoad, testing::ValuesIn(LOAD_CASES), TitleOf<LoadCase>);

// A second load in the same process starts from an empty image: no byte of the first survives.
TEST(HexLoadAgain, StartsFromAnEmptyImage) {
    TempDir dir;
    ASSERT_EQ(LoadFile(dir.Write("a.hex", Rec(0, 0, {1, 2, 3, 4}) + END)).Result, 0);
    ASSERT_EQ(LoadFile(dir.Write("b.hex", Rec(0, 8, {5}) + END)).Result, 0);
    EXPECT_EQ(ImageLength, 9u);
    EXPECT_EQ(std::vector<uint8_t>(FirmwareImage, FirmwareImage + 9),
              std::vector<uint8_t>({0, 0, 0, 0, 0, 0, 0, 0, 5}));
}

TEST(HexFilledRanges, MergedInAddressOrder) {
    TempDir dir;
    const std::string text = Rec(0, 0x100, {1, 2}) + Rec(0, 0x102, {3}) + Rec(0, 0, {4}) +
                             Rec(0, 0x101, {5, 6, 7}) + Rec(0, 0x200, {}) + END;
    ASSERT_EQ(LoadFile(dir.Write("fw.hex", text)).Result, 0);
    const std::vector<ImageRange> ranges = FilledRanges();
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].Start, 0u);
    EXPECT_EQ(ranges[0].End, 1u);
    EXPECT_EQ(ranges[1].Start, 0x100u);
    EXPECT_EQ(ranges[1].End, 0x104u);
    EXPECT_EQ(BlocksToSend(), 1u);
}

struct FileCase {
    const char* Title;
    std::string Said; // {path} and {size} stand for the path and the size the system gives
};
PRINTS_AS_TITLE(FileCase)

// Files whose size does not match what reading them gives: Linux's own, which the Windows build
// reaches under Wine through drive Z:, the root of the Linux file system.
#ifdef _WIN32
const char* const PROC_STATUS = "Z:\\proc\\self\\status";
const char* const SYSFS_FILE = "Z:\\sys\\devices\\system\\cpu\\online";
#else
const char* const PROC_STATUS = "/proc/self/status";
const char* const SYSFS_FILE = "/sys/devices/system/cpu/online";
#endif

class HexFileRefused : public testing::TestWithParam<FileCase> {};

TEST_P(HexFileRefused, SaysWhyAndNamesTheFile) {
    TempDir dir;
    std::string path = dir.Path("missing.hex");
    const std::string title = GetParam().Title;
    if (title == "Directory") {
        path = dir.Path("firmware");
        std::filesystem::create_directory(path);
    } else if (title == "TooLarge") {
        path = dir.Write("huge.hex", "");
        std::filesystem::resize_file(path, HEX_FILE_SIZE_LIMIT + 1);
    } else if (title == "MoreThanItsSize" || title == "FewerThanItsSize") {
        // The kernel sizes its status files at 0 bytes and makes their text as they are read: to
        // the loader, a file that grew after it was sized. sysfs sizes its files at a page and
        // gives a few bytes: a file that shrank.
        path = title == "MoreThanItsSize" ? PROC_STATUS : SYSFS_FILE;
        if (!std::filesystem::exists(path)) {
            GTEST_SKIP() << "no such file on this system";
        }
    }
    std::error_code noSize;
    const std::string size = std::to_string(std::filesystem::file_size(path, noSize));
    const Loaded loaded = LoadFile(path);
    EXPECT_EQ(loaded.Result, 1);
    EXPECT_EQ(loaded.Console, Named(Named(GetParam().Said, "{path}", path), "{size}", size));
}

INSTANTIATE_TEST_SUITE_P(
    Files, HexFileRefused,
    testing::Values(FileCase{"Missing", "Uable to access file {path} \n"},
                    FileCase{"Directory", "Refusing {path}: not a regular file\n"},
                    FileCase{"TooLarge", "Refusing {path}: 16777217 bytes is too large for a "
                                         "firmware file (at most 16777216)\n"},
                    FileCase{"MoreThanItsSize", "Loading {path}  Size {size} \n"
                                                "Refusing {path}: it changed while it was read\n"},
                    FileCase{"FewerThanItsSize",
                             "Loading {path}  Size {size} \n"
                             "Refusing {path}: it changed while it was read\n"}),
    TitleOf<FileCase>);

} // namespace

namespace {

// The file's and the image's fingerprints: NIST's SHA-256 examples, padding at every boundary.
struct Sha256Case {
    const char* Title;
    std::string Message;
    const char* Digest;
};
PRINTS_AS_TITLE(Sha256Case)

class Sha256 : public testing::TestWithParam<Sha256Case> {};

TEST_P(Sha256, MatchesTheStandardsExamples) {
    const Sha256Case& c = GetParam();
    EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(c.Message.data()), c.Message.size()),
              c.Digest);
}

INSTANTIATE_TEST_SUITE_P(
    Nist, Sha256,
    testing::Values(
        Sha256Case{"Empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        Sha256Case{"Abc", "abc",
                   "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits in the first chunk.
        Sha256Case{"TwoChunks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                   "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        Sha256Case{"Long",
                   "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnop"
                   "qklmnopqrlmnopqrsmnopqrstnopqrstu",
                   "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        Sha256Case{"MillionA", std::string(1000000, 'a'),
                   "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    TitleOf<Sha256Case>);

} // namespace
