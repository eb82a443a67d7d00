#include "hex/hex_loader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/types.h>

#include "console/console.h"
#include "record/sha256.h"

std::string FirmwarePath;
uint8_t* HexText = nullptr;
size_t HexTextLength = 0;
std::string HexFileSha256;
uint8_t FirmwareImage[IMAGE_CAPACITY];
uint32_t ImageLength = 0;
uint32_t SegmentBase = 0;

namespace {

enum RecordType : uint8_t {
    DATA = 0x00,
    END_OF_FILE = 0x01,
    EXTENDED_SEGMENT_ADDRESS = 0x02,
    START_SEGMENT_ADDRESS = 0x03,
    EXTENDED_LINEAR_ADDRESS = 0x04,
    START_LINEAR_ADDRESS = 0x05,
};

// Positions within a record, counted from its ":".
constexpr size_t COUNT_AT = 1;
constexpr size_t OFFSET_AT = 3;
constexpr size_t TYPE_AT = 7;
constexpr size_t DATA_AT = 9;

// What a converted character holds when it was not a hexadecimal digit. Digits hold 0 to 15, so a
// damaged field can never pass for a value.
constexpr uint8_t NOT_A_DIGIT = 0xFF;
// What blanks become: only these may stand between records.
constexpr uint8_t BLANK = 0xFE;
constexpr uint8_t LINE_END = 0xFD;
constexpr uint8_t CARRIAGE_RETURN = 0xFC;

const char* const BAD_RECORD = "CRITICAL - BAD RECORD on LINE %d\n";

std::vector<ImageRange> Filled;

// ---- Reading the file ----

struct FileStatus {
    uint64_t Size;
    bool Regular;
};

bool GetFileStatus(const char* path, FileStatus* status) {
#ifdef _WIN32
    struct _stat64 info {};
    if (_stat64(path, &info) != 0) {
        return false;
    }
    status->Regular = (info.st_mode & _S_IFMT) == _S_IFREG;
#else
    struct stat info {};
    if (stat(path, &info) != 0) {
        return false;
    }
    status->Regular = S_ISREG(info.st_mode);
#endif
    status->Size = static_cast<uint64_t>(info.st_size);
    return true;
}

// Reads the whole file into HexText, every byte as it is on every system. Windows' text mode would
// drop the CR of each CR LF, which the parse takes as a blank anyway, but it would also end the
// text at the first Ctrl-Z: whatever followed one (the records of a second file joined to a first
// that DOS tools ended so) would go missing from the image without a word.
int ReadHexText() {
    const char* path = FirmwarePath.c_str();
    FileStatus status{};
    if (!GetFileStatus(path, &status)) {
        ConsolePrintf("Uable to access file %s \n", path);
        return 1;
    }
    // A directory, a device or a pipe is never a firmware file, and reading one could wait
    // forever or never end.
    if (!status.Regular) {
        ConsolePrintf("Refusing %s: not a regular file\n", path);
        return 1;
    }
    if (status.Size > HEX_FILE_SIZE_LIMIT) {
        ConsolePrintf("Refusing %s: %llu bytes is too large for a firmware file (at most %llu)\n",
                      path, static_cast<unsigned long long>(status.Size),
                      static_cast<unsigned long long>(HEX_FILE_SIZE_LIMIT));
        return 1;
    }
    const size_t size = static_cast<size_t>(status.Size);
    ConsolePrintf("Loading %s  Size %d \n", path, static_cast<int>(size));
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        ConsolePrintf("Uable to open file %s \n", path);
        return 1;
    }
    HexText = static_cast<uint8_t*>(std::calloc(size + 4, 1));
    if (HexText == nullptr) {
        std::fclose(file);
        ConsolePrintf("Refusing %s: no memory for its %d bytes\n", path, static_cast<int>(size));
        return 1;
    }
    // Asking for more than the size lets a file that grew meanwhile show it.
    HexTextLength = std::fread(HexText, 1, size + 4, file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        ConsolePrintf("Refusing %s: it could not be read to its end\n", path);
        return 1;
    }
    // The text checked must be the file that was sized: a download still being written, or a
    // file replaced under us, would be checked and sent half old, half new.
    if (HexTextLength != size) {
        ConsolePrintf("Refusing %s: it changed while it was read\n", path);
        return 1;
    }
    ConsolePrintf("Loaded %s  Size %d \n", path, static_cast<int>(HexTextLength));
    return 0;
}

// ---- Converting the text ----

bool IsHexDigit(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Lower case to upper case, letters down to follow the digits, then to the digit's value.
uint8_t DigitValue(uint8_t c) {
    unsigned v = c;
    if (v > 0x60) {
        v -= 0x20;
    }
    if ((v & 0x40) != 0) {
        v -= 7;
    }
    return static_cast<uint8_t>(v - 0x30);
}

// Line ends, spaces, tabs, and the Ctrl-Z that old DOS tools leave at the end of a file.
uint8_t Blank(uint8_t c) {
    if (c == '\n') {
        return LINE_END;
    }
    if (c == '\r') {
        return CARRIAGE_RETURN;
    }
    const bool blank = c == ' ' || c == '\t' || c == '\f' || c == '\v' || c == 0x1A;
    return blank ? BLANK : NOT_A_DIGIT;
}

// Every byte but ":" becomes its digit's value, or says what else it was, so that only a real
// ":" starts a record.
void ConvertHexText() {
    for (size_t i = 0; i < HexTextLength; ++i) {
        uint8_t& c = HexText[i];
        if (c != ':') {
            c = IsHexDigit(c) ? DigitValue(c) : Blank(c);
        }
    }
}

// ---- Parsing ----

// The line of the file each image byte came from, 0 where no record wrote one: a record that gives
// a written address another value is told apart from one that only repeats it.
int WrittenOnLine[IMAGE_CAPACITY];
// The base came from an extended segment address record: offsets then wrap within its 64 KiB.
bool SegmentWraps = false;

// The byte whose two digits stand at `at`; false when they run past the text or are no digits.
bool ByteAt(size_t at, uint8_t* value) {
    if (at + 2 > HexTextLength || HexText[at] > 0x0F || HexText[at + 1] > 0x0F) {
        return false;
    }
    *value = static_cast<uint8_t>((HexText[at] << 4) | HexText[at + 1]);
    return true;
}

bool WordAt(size_t at, uint16_t* value) {
    uint8_t high = 0;
    uint8_t low = 0;
    if (!ByteAt(at, &high) || !ByteAt(at + 2, &low)) {
        return false;
    }
    *value = static_cast<uint16_t>((high << 8) | low);
    return true;
}

// A line ends where a text editor would start a new one: at LF, at CR LF, and at a CR alone, the
// line end of old Mac files, which editors on every system show as a line break.
bool EndsALine(size_t at) {
    if (HexText[at] == LINE_END) {
        return true;
    }
    return HexText[at] == CARRIAGE_RETURN &&
           (at + 1 >= HexTextLength || HexText[at + 1] != LINE_END);
}

// Moves past blanks, counting the lines that end among them.
size_t SkipBlanks(size_t from, int* line) {
    size_t at = std::min(from, HexTextLength);
    for (; at < HexTextLength; ++at) {
        if (EndsALine(at)) {
            ++*line;
        } else if (HexText[at] != BLANK && HexText[at] != CARRIAGE_RETURN) {
            break;
        }
    }
    return at;
}

struct Record {
    uint8_t Count;
    uint16_t Offset;
    uint8_t Type;
    size_t At; // its ":"
    int Line;  // the file's line that holds it
    size_t End() const { return At + DATA_AT + 2u * Count + 2u; }
    size_t DataAt(unsigned i) const { return At + DATA_AT + 2u * i; }
};

enum class Outcome { NEXT, END, REFUSED };

Outcome Refuse(const char* format, int line) {
    ConsolePrintf(format, line);
    return Outcome::REFUSED;
}

// Every character of the record, checksum included, is there and a digit.
bool RecordComplete(const Record& record) {
    uint8_t ignored = 0;
    for (unsigned i = 0; i <= record.Count; ++i) {
        if (!ByteAt(record.DataAt(i), &ignored)) {
            return false;
        }
    }
    return true;
}

// The record's bytes, checksum included, add up to 0 modulo 256.
bool ChecksumHolds(const Record& record) {
    unsigned sum = record.Count + (record.Offset >> 8) + (record.Offset & 0xFFu) + record.Type;
    uint8_t byte = 0;
    for (unsigned i = 0; i <= record.Count; ++i) {
        ByteAt(record.DataAt(i), &byte);
        sum += byte;
    }
    return (sum & 0xFFu) == 0;
}

void NoteFilled(uint32_t start, uint32_t end) {
    if (!Filled.empty() && Filled.back().End == start) {
        Filled.back().End = end;
    } else {
        Filled.push_back({start, end});
    }
}

// Where the record's byte `i` goes. Under an extended segment address the offset wraps within the
// 64 KiB segment, as the format lays it; under an extended linear address, or none, it carries on
// past 0xFFFF into the next 64 KiB.
uint64_t ByteAddress(const Record& record, unsigned i) {
    const uint32_t offset = record.Offset + i;
    return static_cast<uint64_t>(SegmentBase) + (SegmentWraps ? offset & 0xFFFFu : offset);
}

// Which of two values the unit should get cannot be known; taking the later one, as a file joined
// from two builds would have it, flashes an image that neither build made.
Outcome RefuseOverlap(int earlier, int later, uint64_t address) {
    ConsolePrintf("CRITICAL - OVERLAPPING RECORDS on LINE %d AND LINE %d: two values for "
                  "address 0x%X\n",
                  earlier, later, static_cast<unsigned>(address));
    return Outcome::REFUSED;
}

// Every byte is checked before any is stored, so that a refused record leaves nothing of itself.
Outcome CheckData(const Record& record) {
    // A record past the image would be sent from memory that is not the image.
    if (record.Count == 0 && ByteAddress(record, 0) > IMAGE_CAPACITY) {
        return Refuse("CRITICAL - DATA BEYOND IMAGE on LINE %d\n", record.Line);
    }
    for (unsigned i = 0; i < record.Count; ++i) {
        const uint64_t address = ByteAddress(record, i);
        if (address >= IMAGE_CAPACITY) {
            return Refuse("CRITICAL - DATA BEYOND IMAGE on LINE %d\n", record.Line);
        }
        uint8_t value = 0;
        ByteAt(record.DataAt(i), &value);
        const int earlier = WrittenOnLine[address];
        if (earlier != 0 && FirmwareImage[address] != value) {
            return RefuseOverlap(earlier, record.Line, address);
        }
    }
    return Outcome::NEXT;
}

Outcome StoreData(const Record& record) {
    const Outcome checked = CheckData(record);
    if (checked != Outcome::NEXT) {
        return checked;
    }
    // A record of no bytes still raises the high-water mark to its address.
    ImageLength = std::max(ImageLength, static_cast<uint32_t>(ByteAddress(record, 0)));
    for (unsigned i = 0; i < record.Count; ++i) {
        const uint32_t address = static_cast<uint32_t>(ByteAddress(record, i));
        ByteAt(record.DataAt(i), &FirmwareImage[address]);
        WrittenOnLine[address] = record.Line;
        NoteFilled(address, address + 1);
        ImageLength = std::max(ImageLength, address + 1);
    }
    return Outcome::NEXT;
}

// Sets SegmentBase from an extended segment (02) or extended linear (04) address record.
Outcome SetSegmentBase(const Record& record) {
    uint16_t base = 0;
    if (record.Count != 2 || !WordAt(record.DataAt(0), &base)) {
        return Refuse(BAD_RECORD, record.Line);
    }
    SegmentWraps = record.Type == EXTENDED_SEGMENT_ADDRESS;
    SegmentBase =
        SegmentWraps ? static_cast<uint32_t>(base) << 4 : static_cast<uint32_t>(base) << 16;
    return Outcome::NEXT;
}

// Every record is checked in full, whatever its type and wherever its data would go: one passed
// over unread could have a count that swallows the records after it.
Outcome ParseRecord(const Record& record) {
    if (!RecordComplete(record)) {
        return Refuse(BAD_RECORD, record.Line);
    }
    if (!ChecksumHolds(record)) {
        return Refuse("CRITICAL - CHECKSUM FAILURE on LINE %d\n", record.Line);
    }
    switch (record.Type) {
    case DATA:
        // Data above the limit is not the unit's; it is passed over once it was checked.
        if (SegmentBase + record.Offset >= DATA_ADDRESS_LIMIT) {
            return Outcome::NEXT;
        }
        return StoreData(record);
    case END_OF_FILE:
        // The end record holds no data; a count would have it pass over whatever text follows.
        return record.Count == 0 ? Outcome::END : Refuse(BAD_RECORD, record.Line);
    case EXTENDED_SEGMENT_ADDRESS:
    case EXTENDED_LINEAR_ADDRESS:
        return SetSegmentBase(record);
    case START_SEGMENT_ADDRESS:
    case START_LINEAR_ADDRESS: // nothing of them goes into the image
        return Outcome::NEXT;
    default:
        return Refuse(BAD_RECORD, record.Line);
    }
}

// The file does not even begin with a record: say that it is no Intel HEX at all, not only a
// damaged one.
Outcome RefuseFirstRecord(int line) {
    ConsolePrintf(BAD_RECORD, line);
    ConsolePrintf("%s is not an Intel HEX file: its records start with ':'\n",
                  FirmwarePath.c_str());
    return Outcome::REFUSED;
}

// After the end record only blanks may follow. Anything else, above all the records of a second
// file joined to this one, would be left out of the image without a word.
Outcome CheckAfterEnd(size_t from, int line) {
    if (SkipBlanks(from, &line) >= HexTextLength) {
        return Outcome::END;
    }
    return Refuse("CRITICAL - TEXT AFTER END OF FILE on LINE %d\n", line);
}

// Without its end record a file cannot be told from one cut short, a download still being
// written above all; sent, the unit would get the first part of its firmware and nothing else.
Outcome RefuseWithoutEnd() {
    ConsoleLine("CRITICAL - NO END OF FILE RECORD: the file may be cut short (a download not "
                "finished?)");
    ConsoleLine("If the file is known to be whole, add the end-of-file record :00000001FF as its "
                "last line.");
    return Outcome::REFUSED;
}

void ClearImage() {
    ImageLength = 0;
    SegmentBase = 0;
    SegmentWraps = false;
    std::memset(FirmwareImage, 0, sizeof(FirmwareImage));
    std::memset(WrittenOnLine, 0, sizeof(WrittenOnLine));
    Filled.clear();
}

int ParseHexText() {
    ClearImage();
    int line = 1;
    bool first = true;
    Outcome outcome = Outcome::NEXT;
    size_t at = 0;
    while (outcome == Outcome::NEXT) {
        at = SkipBlanks(at, &line);
        if (at >= HexTextLength) {
            break;
        }
        // Anything else between records is a damaged record, not a gap to pass over: its data
        // would go missing from the image without a word.
        if (HexText[at] != ':') {
            outcome = first ? RefuseFirstRecord(line) : Refuse(BAD_RECORD, line);
            break;
        }
        first = false;
        Record record{0, 0, 0, at, line};
        if (!ByteAt(at + COUNT_AT, &record.Count) || !WordAt(at + OFFSET_AT, &record.Offset) ||
            !ByteAt(at + TYPE_AT, &record.Type)) {
            outcome = Refuse(BAD_RECORD, line);
            break;
        }
        outcome = ParseRecord(record);
        at = record.End();
        if (outcome == Outcome::END) {
            outcome = CheckAfterEnd(at, line);
        }
    }
    // A file that gives the unit nothing (an empty download, records of no bytes, data only
    // above the limit) would have its first flash block erased and left blank.
    if (outcome != Outcome::REFUSED && Filled.empty()) {
        ConsoleLine("CRITICAL - NO DATA FOR THE UNIT IN THIS FILE");
        ImageLength = 0; // records of no bytes raised it; there is nothing to send
        outcome = Outcome::REFUSED;
    }
    if (outcome == Outcome::NEXT) {
        outcome = RefuseWithoutEnd();
    }
    ConsolePrintf("HEX file contains %d blocks to transfer\n",
                  static_cast<int>(ImageLength / BLOCK_SIZE));
    return outcome == Outcome::REFUSED ? 1 : 0;
}

} // namespace

int LoadHexFile() {
    HexFileSha256.clear();
    if (ReadHexText() != 0) {
        return 1;
    }
    // Before the text is converted in place: the fingerprint is the file's, byte for byte.
    HexFileSha256 = Sha256Hex(HexText, HexTextLength);
    ConvertHexText();
    return ParseHexText();
}

int LoadHexText(const uint8_t* text, size_t length) {
    std::free(HexText);
    HexText = static_cast<uint8_t*>(std::calloc(length + 4, 1));
    if (HexText == nullptr) {
        return 1;
    }
    if (length > 0) {
        std::memcpy(HexText, text, length);
    }
    HexTextLength = length;
    ConvertHexText();
    return ParseHexText();
}

std::vector<ImageRange> FilledRanges() {
    std::vector<ImageRange> ranges = Filled;
    std::sort(ranges.begin(), ranges.end(),
              [](const ImageRange& a, const ImageRange& b) { return a.Start < b.Start; });
    std::vector<ImageRange> merged;
    for (const ImageRange& range : ranges) {
        if (!merged.empty() && range.Start <= merged.back().End) {
            merged.back().End = std::max(merged.back().End, range.End);
        } else {
            merged.push_back(range);
        }
    }
    return merged;
}

uint32_t BlocksToSend() {
    return std::max(1u, (ImageLength + BLOCK_SIZE - 1) / BLOCK_SIZE);
}
