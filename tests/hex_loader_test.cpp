// The Intel HEX loader: what it stores, what it refuses, and what it says.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "app/update.h"
#include "console_capture.h"
#include "hex/hex_loader.h"
#include "hex_text.h"
#include "record/sha256.h"
#include "support.h"
#ifndef _WIN32
#include "posix_support.h"
#endif

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

std::string NoEnd(int blocks) {
    return "CRITICAL - NO END OF FILE RECORD: the file may be cut short (a download not "
           "finished?)\n"
           "If the file is known to be whole, add the end-of-file record :00000001FF as its last "
           "line.\n" +
           Blocks(blocks);
}
const std::string NO_DATA = "CRITICAL - NO DATA FOR THE UNIT IN THIS FILE\n" + Blocks(0);
// {path} stands for the file's path.
std::string NotHex(int line = 1) {
    return "CRITICAL - BAD RECORD on LINE " + std::to_string(line) +
           "\n{path} is not an Intel HEX file: its records start with ':'\n" + Blocks(0);
}
const std::string NOT_HEX = NotHex();

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

std::string Overlap(int earlier, int later, const char* address) {
    return "CRITICAL - OVERLAPPING RECORDS on LINE " + std::to_string(earlier) + " AND LINE " +
           std::to_string(later) + ": two values for address " + address + "\n" + Blocks(0);
}

// Seeded, so that a row's data varies from byte to byte and stays the same from run to run.
std::vector<int> Random(unsigned seed, size_t count) {
    std::mt19937 random(seed);
    std::vector<int> bytes(count);
    for (int& byte : bytes) {
        byte = static_cast<int>(random() & 0xFF);
    }
    return bytes;
}

std::vector<uint8_t> U8(const std::vector<int>& bytes, size_t from = 0, size_t to = SIZE_MAX) {
    return std::vector<uint8_t>(bytes.begin() + static_cast<long>(from),
                                bytes.begin() + static_cast<long>(std::min(to, bytes.size())));
}

// The file's first `lines` lines: a download cut where the browser had written so far.
std::string FirstLines(const std::string& text, int lines) {
    size_t at = 0;
    for (int i = 0; i < lines; ++i) {
        at = text.find('\n', at) + 1;
    }
    return text.substr(0, at);
}

const std::vector<int> R1 = Random(1, 16);
const std::vector<int> R2 = Random(2, 16);
const std::vector<int> R3 = Random(3, 1024);

std::string RecordsOf(const std::vector<int>& bytes, unsigned at) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 16) {
        text += Rec(
            0, at + static_cast<unsigned>(i),
            std::vector<int>(bytes.begin() + static_cast<long>(i),
                             bytes.begin() + static_cast<long>(std::min(i + 16, bytes.size()))));
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
    // Why srec_cat makes another image of this file, where this loader departs from it on purpose.
    const char* SrecCatDiffers = nullptr;
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
     "\n \t" + Rec(0, 0, {1}) + "\n\n" + Replace(Rec(0, 1, {2}), '\n', ' ') + Rec(0, 2, {3}) + END +
         "\x1a",
     0,
     Blocks(0),
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
    {"TextAfterBlankLines", "\n\n  <html>\n" + END, 1, NotHex(3), 0, {}},
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
     Rec(0, 0, {9}) + Rec(4, 0, {0x01, 0xF0}) + Rec(0, 0, {1, 2, 3, 4}) + Rec(4, 0, {0x02, 0x00}) +
         Rec(0, 0xFF00, {5}) + END,
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
    // Cut short or whole, the file cannot tell: a download still being written is refused.
    {"NoEndRecordRefused", Rec(0, 0, {1, 2}), 1, NoEnd(0), 0, {}},
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
    // Which of two values the unit should get, no one can tell.
    {"ConflictingOverlapRefused",
     Rec(0, 0, {1, 2, 3}) + Rec(0, 1, {9}) + END,
     1,
     Overlap(1, 2, "0x1"),
     0,
     {}},
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
     {{0, {1, 2}}},
     "srec_cat drops a line that a Ctrl-Z starts, and the record on it"},
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
    {"CutShortAtALineBoundary",
     FirstLines(Rec(4, 0, {0, 0}) + RecordsOf(Random(4, 40000), 0) + END, 300),
     1,
     NoEnd(2),
     0,
     {}},
    // Checked before it is skipped, the damaged record above the limit cannot swallow the
    // address record that follows it, and with it every record after.
    {"CutRecordAboveTheLimit",
     RecordsOf(R1, 0) + Rec(4, 0, {0x01, 0xF0}) + ":07000000\n" + Rec(4, 0, {0, 0}) +
         RecordsOf(R3, 16) + END,
     1,
     Refused("BAD RECORD", 3),
     0,
     {}},
    {"ChecksumFailureAboveTheLimit",
     RecordsOf(R1, 0) + Rec(4, 0, {0x01, 0xF0}) + Rec(0, 0, R2, 0x40) + Rec(4, 0, {0, 0}) +
         RecordsOf(R2, 16) + END,
     1,
     Refused("CHECKSUM FAILURE", 3),
     0,
     {}},
    {"SegmentOffsetWrapsPastFFFF",
     Rec(2, 0, {0, 0}) + Rec(0, 0xFFF8, R1) + END,
     0,
     Blocks(32),
     0x10000,
     {{0xFFF8, U8(R1, 0, 8)}, {0, U8(R1, 8)}}},
    // Carried on instead, the record's end would land at 0x18000 and on.
    {"HigherSegmentWrapsWithinItself",
     Rec(2, 0, {0x08, 0x00}) + Rec(0, 0xFFF8, R2) + END,
     0,
     Blocks(48),
     0x18000,
     {{0x17FF8, U8(R2, 0, 8)}, {0x8000, U8(R2, 8)}}},
    {"IdenticalOverlapAccepted",
     RecordsOf(R1, 0x100) + Rec(0, 0x104, std::vector<int>(R1.begin() + 4, R1.begin() + 9)) + END,
     0,
     Blocks(0),
     0x110,
     {{0x100, U8(R1)}}},
    {"ConflictingOverlapOfVariedData",
     RecordsOf(R1, 0x100) + "\n" + Rec(0, 0x10A, {R1[10], R1[11] ^ 0x5A, R1[12]}) + END,
     1,
     Overlap(1, 3, "0x10B"),
     0,
     {}},
    // Wrapped to the start of its segment, the record lands on the first one.
    {"WrappedRecordOverlaps",
     RecordsOf(R1, 0) + Rec(2, 0, {0, 0}) + Rec(0, 0xFFFE, {R2[0], R2[1], R1[0], R1[1] ^ 1}) + END,
     1,
     Overlap(1, 3, "0x1"),
     0,
     {}},
    // Lines as an editor numbers them: blank lines count, CR LF is one line end, and so is a CR
    // alone (old Mac files), which editors show as a line break too.
    {"BlankLinesBeforeABadRecord",
     "\n\n" + RecordsOf(R1, 0) + "\n" + Rec(0, 16, R2, 3) + END,
     1,
     Refused("CHECKSUM FAILURE", 5),
     0,
     {}},
    {"BlankCrLfLinesBeforeABadRecord",
     CrLf("\n\n" + RecordsOf(R1, 0) + "\n" + Rec(0, 16, R2, 3) + END),
     1,
     Refused("CHECKSUM FAILURE", 5),
     0,
     {}},
    {"LoneCarriageReturnsEndLines",
     Named("\n\n" + RecordsOf(R1, 0) + "\n" + Rec(0, 16, R2, 3) + END, "\n", "\r"),
     1,
     Refused("CHECKSUM FAILURE", 5),
     0,
     {}},
    {"BlankLinesBeforeTextBetweenRecords",
     RecordsOf(R1, 0) + "\r\n\n  junk\n" + END,
     1,
     Refused("BAD RECORD", 4),
     0,
     {}},
};

#ifndef _WIN32
std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", static_cast<unsigned>(value));
    return text;
}

// srec_cat, a reader of the format made apart from this one, lays every file that both accept into
// the same image. It writes each byte at its own address in the binary file, holes zero, and
// leaves out records of no bytes, which raise the length here but add only zeros.
TEST_P(HexLoad, LaysTheImageAsSrecCatDoes) {
    const LoadCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.Write("fw.hex", c.Text);
    const std::string binary = dir.Path("fw.bin");
    if (c.SrecCatDiffers != nullptr) {
        GTEST_SKIP() << c.SrecCatDiffers;
    }
    // Data at or above the limit is not the unit's: the loader passes over it.
    const ProcessResult made = RunProcess({"srec_cat", path, "-intel", "-crop", "0",
                                           Hex(DATA_ADDRESS_LIMIT), "-o", binary, "-binary"});
    ASSERT_TRUE(made.Status == 0 || made.Status == 1) << "is srec_cat installed? " << made.Err;
    const Loaded loaded = LoadFile(path);
    if (loaded.Result != 0 || made.Status != 0) {
        GTEST_SKIP() << "refused by " << (loaded.Result != 0 ? "the loader " : "")
                     << (made.Status != 0 ? "srec_cat: " + made.Err : "");
    }
    const std::string image = ReadFile(binary);
    ASSERT_LE(image.size(), ImageLength);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), FirmwareImage,
                           [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
    EXPECT_TRUE(std::all_of(FirmwareImage + image.size(), FirmwareImage + ImageLength,
                            [](uint8_t b) { return b == 0; }));
}
#endif

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
                             Rec(0, 0x101, {2, 3, 7}) + Rec(0, 0x200, {}) + END;
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
