// The update end to end over a real tty, with unit-sim as the unit: the bytes on the line, the
// console text, what the unit flashed, and how each failure of the unit is reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "app/status.h"
#include "hex/hex_loader.h"
#include "hex_text.h"
#include "posix_support.h"
#include "serial/serial.h"
#include "sim_harness.h"

namespace {

using Image = std::vector<uint8_t>;

// Short time-outs so that a unit that fails to answer costs a third of a second, not ten.
constexpr SerialTimeouts FAST = {100, 10, 300};

Image RandomImage(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Image image(size);
    for (uint8_t& b : image) {
        b = static_cast<uint8_t>(random() & 0xFF);
    }
    return image;
}

const Image COMMAND = {0x1B, 'P', 'r', 'O', 'g', '\r'};

struct Block {
    uint8_t Number;
    size_t Start;
    uint16_t Length;
    uint16_t Sum;
    uint16_t Check() const { return static_cast<uint16_t>(0x10000 - Sum); }
};

std::vector<Block> BlocksOf(const Image& image) {
    std::vector<Block> blocks;
    size_t at = 0;
    do {
        Block b{static_cast<uint8_t>(blocks.size()), at,
                static_cast<uint16_t>(std::min<size_t>(2048, image.size() - at)), 0};
        unsigned sum = 2u + b.Number + (b.Length >> 8) + (b.Length & 0xFFu);
        for (size_t i = 0; i < b.Length; ++i) {
            sum += image[at + i];
        }
        b.Sum = static_cast<uint16_t>(sum);
        blocks.push_back(b);
        at += b.Length;
    } while (at < image.size());
    return blocks;
}

// What the updater must send for the image: the command, each block framed, the end marker.
Image ExpectedLine(const Image& image) {
    Image line = COMMAND;
    for (const Block& b : BlocksOf(image)) {
        line.insert(line.end(), {0x02, b.Number, static_cast<uint8_t>(b.Length >> 8),
                                 static_cast<uint8_t>(b.Length & 0xFF)});
        line.insert(line.end(), image.begin() + static_cast<long>(b.Start),
                    image.begin() + static_cast<long>(b.Start + b.Length));
        line.insert(line.end(), {static_cast<uint8_t>(b.Check() >> 8),
                                 static_cast<uint8_t>(b.Check() & 0xFF), 0x03});
    }
    line.insert(line.end(), {0xFF, 0xFF});
    return line;
}

std::string Printf(const char* format, unsigned a, unsigned b = 0) {
    char text[128];
    std::snprintf(text, sizeof(text), format, a, b);
    return text;
}

std::string LoadLines(const std::string& path, size_t fileSize, size_t imageSize) {
    const std::string size = std::to_string(fileSize);
    return "Loading " + path + "  Size " + size + " \n" + "Loaded " + path + "  Size " + size +
           " \n" + "HEX file contains " + std::to_string(imageSize / 2048) +
           " blocks to transfer\n";
}

// What a good run prints after the file is loaded, line for line.
std::string ExpectedTransferText(const Image& image) {
    std::string text = "1b 50 72 4f 67 0d Waiting for SOH\n\x01STARTED\n";
    for (const Block& b : BlocksOf(image)) {
        text +=
            Printf("02 %02x ", b.Number) + Printf("%02x %02x \n", b.Length >> 8, b.Length & 0xFF);
        text += Printf(" Data Complete: CK %04x SM %04x\n", b.Sum, b.Check());
        text += " Pausing for unit to erase FLASH block\n06 \nCKSUM ACKED\n"
                "Pausing for unit to write FLASH block\nErased and flashed\n";
        text += Printf("Block # %d loaded...\n", b.Number);
    }
    return text + "Transfer Complete.  Power off the unit and power it back on\n";
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1) {
        lines.push_back(text.substr(from, at - from));
    }
    if (from < text.size()) {
        lines.push_back(text.substr(from));
    }
    return lines;
}

class UnitOnAPty : public testing::Test {
  protected:
    void SetUp() override { SetSerialReadTimeouts(FAST); }
    void TearDown() override { SetSerialReadTimeouts(UNIT_READ_TIMEOUTS); }

    std::string WriteHex(const Image& image) {
        m_HexText = HexFileOf(image);
        return m_Dir.Write("fw.hex", m_HexText);
    }

    TempDir m_Dir;
    std::string m_HexText;
};

// ---- Whole updates ----

struct SizeCase {
    const char* Title;
    size_t Size;
};
PRINTS_AS_TITLE(SizeCase)

class WholeUpdate : public UnitOnAPty, public testing::WithParamInterface<SizeCase> {};

TEST_P(WholeUpdate, SendsEveryByteAndTheUnitFlashesTheImage) {
    const Image image =
        GetParam().Size == 3 ? Image{0x12, 0x34, 0x56} : RandomImage(GetParam().Size, 17);
    const std::string path = WriteHex(image);
    SimulatedUnit unit;
    const UpdateRun run = RunUpdateWith({"-q", "-c", unit.Port(), "-f", path});
    const SimRun sim = unit.Finish();

    EXPECT_EQ(run.Status, STATUS_FLASHED);
    EXPECT_EQ(Lines(run.Console),
              Lines(LoadLines(path, m_HexText.size(), image.size()) + ExpectedTransferText(image)));
    EXPECT_TRUE(sim.Rx == ExpectedLine(image)) << "the bytes on the line differ";
    EXPECT_TRUE(sim.Flash == image) << "the unit flashed something else than the image";
    EXPECT_EQ(sim.Status, 0) << sim.Report;
    EXPECT_EQ(PortHandle, INVALID_PORT);
}

INSTANTIATE_TEST_SUITE_P(Images, WholeUpdate,
                         testing::Values(SizeCase{"Empty", 0}, SizeCase{"ThreeBytes", 3},
                                         SizeCase{"OneBlock", 2048}, SizeCase{"OneByteMore", 2049},
                                         SizeCase{"Typical", 40000}, SizeCase{"Largest", 100000}),
                         TitleOf<SizeCase>);

// Frames worked out by hand, so that a mistake shared by the updater and this test's own
// framing still shows.
struct FrameCase {
    const char* Title;
    Image Bytes;
    Image Expected; // must appear on the line
    const char* Said;
};
PRINTS_AS_TITLE(FrameCase)

class KnownFrames : public UnitOnAPty, public testing::WithParamInterface<FrameCase> {};

TEST_P(KnownFrames, AppearOnTheLineAndTheConsole) {
    const FrameCase& c = GetParam();
    SimulatedUnit unit;
    const UpdateRun run = RunUpdateWith({"-q", "-c", unit.Port(), "-f", WriteHex(c.Bytes)});
    const SimRun sim = unit.Finish();
    EXPECT_EQ(run.Status, STATUS_FLASHED);
    EXPECT_NE(std::search(sim.Rx.begin(), sim.Rx.end(), c.Expected.begin(), c.Expected.end()),
              sim.Rx.end());
    EXPECT_NE(run.Console.find(c.Said), std::string::npos) << run.Console;
}

INSTANTIATE_TEST_SUITE_P(Frames, KnownFrames,
                         testing::Values(FrameCase{"ThreeBytes",
                                                   {0x12, 0x34, 0x56},
                                                   {0x02, 0x00, 0x00, 0x03, 0x12, 0x34, 0x56, 0xFF,
                                                    0x5F, 0x03, 0xFF, 0xFF},
                                                   " Data Complete: CK 00a1 SM ff5f\n"},
                                         FrameCase{"Empty",
                                                   {},
                                                   {0x1B, 'P', 'r', 'O', 'g', 0x0D, 0x02, 0x00,
                                                    0x00, 0x00, 0xFF, 0xFE, 0x03, 0xFF, 0xFF},
                                                   " Data Complete: CK 0002 SM fffe\n"},
                                         FrameCase{"ZeroBlock",
                                                   Image(2048, 0),
                                                   {0x00, 0xFF, 0xF6, 0x03, 0xFF, 0xFF},
                                                   " Data Complete: CK 000a SM fff6\n"},
                                         FrameCase{"ShortLastBlock",
                                                   Image(40000, 0),
                                                   {0x02, 0x13, 0x04, 0x40},
                                                   "Block # 19 loaded...\n"}),
                         TitleOf<FrameCase>);

// ---- The unit failing ----

struct FaultCase {
    const char* Title;
    int WaitMs; // what the unit's failure must cost in read time-outs, at FAST
    std::vector<std::string> Faults;
    Image Bytes;
    int Status;
    std::vector<std::string> Said; // appear in this order
    std::vector<std::string> NotSaid;
    size_t LineBytes; // bytes the updater sent; 0: the whole transfer
};
PRINTS_AS_TITLE(FaultCase)

const Image TWO_BLOCKS = RandomImage(2049, 5);

Image With(Image image, size_t at, uint8_t value) {
    image[at] = value;
    return image;
}

std::string Hex2(uint8_t value) {
    return Printf("%02x", value);
}

// The bytes sent up to and including data byte `i` of block `b`.
size_t SentThrough(size_t b, size_t i) {
    return 6 + b * (4 + 2048 + 3) + 4 + i + 1;
}

std::vector<FaultCase> FaultCases() {
    std::vector<FaultCase> cases = {
        {"Silent",
         310,
         {"--silent"},
         TWO_BLOCKS,
         STATUS_TRANSFER_ENDED,
         {"DEVICE FAILED TO RESPOND"},
         {"Waiting for SOH"},
         1},
        {"GreetingBeforeSoh",
         0,
         {"--greeting", "HELLO unit v1.2\r\n"},
         TWO_BLOCKS,
         STATUS_FLASHED,
         {"Waiting for SOH\nHELLO unit v1.2\r\n\x01STARTED\n", "Transfer Complete."},
         {},
         0},
        {"NeverSoh",
         0,
         {"--no-soh"},
         TWO_BLOCKS,
         STATUS_TRANSFER_ENDED,
         {"Waiting for SOH\n" + std::string(65536, '.') + "  DEVICE FAILED TO SEND SOH\n"},
         {"STARTED"},
         6},
        {"HangUpInHandshake",
         0,
         {"--hangup-handshake", "3"},
         TWO_BLOCKS,
         STATUS_TRANSFER_ENDED,
         {"1b 50 DEVICE FAILED TO RESPOND\n"},
         {},
         3},
        {"ShortHeaderEcho",
         100,
         {"--short-header", "1"},
         TWO_BLOCKS,
         STATUS_UNIT_UNANSWERED,
         {"Block # 0 loaded...\nHEADER FAILED 0\n02 01 00 \n", "Transfer Complete."},
         {},
         0},
        {"MissingEchoStillHeldMatches",
         310,
         {"--miss-echo", "0:100"},
         Image(2049, 0x55),
         STATUS_UNIT_UNANSWERED,
         {"BYTE # 100 Count = 0  FAILED 0\n", "Transfer Complete."},
         {"CRITICAL"},
         0},
        {"MissingFirstEchoHeaderStillHeld",
         310,
         {"--miss-echo", "0:0"},
         With(TWO_BLOCKS, 0, 0x02),
         STATUS_UNIT_UNANSWERED,
         {"BYTE # 0 Count = 0  FAILED 0\n", "Transfer Complete."},
         {"CRITICAL"},
         0},
        {"MissingEchoStillHeldDiffers",
         310,
         {"--miss-echo", "0:100"},
         With(TWO_BLOCKS, 100, 0xA5),
         STATUS_TRANSFER_ENDED,
         {"BYTE # 100 Count = 0  FAILED 0\nCRITICAL  Byte 100 (a5 != " + Hex2(TWO_BLOCKS[99]) +
          ") mismatch\n"},
         {"Transfer Complete.", "Data Complete"},
         SentThrough(0, 100)},
        {"WrongEcho",
         0,
         {"--wrong-echo", "2:5"},
         RandomImage(5000, 9),
         STATUS_TRANSFER_ENDED,
         {"Block # 1 loaded...\n02 02 03 88 \nCRITICAL  Byte 5 (" +
          Hex2(RandomImage(5000, 9)[4101]) +
          " != " + Hex2(static_cast<uint8_t>(RandomImage(5000, 9)[4101] ^ 0x5A)) + ") mismatch\n"},
         {"Transfer Complete."},
         SentThrough(2, 5)},
        // The acknowledgement fills the short echo, and the flash reply is taken for it.
        {"ShortTrailerEcho",
         310,
         {"--short-trailer", "0"},
         TWO_BLOCKS,
         STATUS_UNIT_UNANSWERED,
         {" Pausing for unit to erase FLASH block\n17 \nCKSUM ACKED\n"
          "Pausing for unit to write FLASH block\nTIMEOUT Waiting for reply\nBlock # 0 loaded",
          "Transfer Complete."},
         {"TRAILER FAILED"},
         0},
        {"ShortTrailerEchoAndNothingMore",
         720,
         {"--short-trailer", "1", "--no-ack", "1", "--no-flash-reply", "1"},
         TWO_BLOCKS,
         STATUS_UNIT_UNANSWERED,
         {"Block # 0 loaded...",
          " Pausing for unit to erase FLASH block\nTRAILER FAILED 0\n"
          "Pausing for unit to write FLASH block\nTIMEOUT Waiting for reply\nBlock # 1 loaded"},
         {},
         0},
        {"NoAcknowledgement",
         450,
         {"--no-ack", "0", "--slow-flash", "0:450"},
         TWO_BLOCKS,
         STATUS_UNIT_UNANSWERED,
         {" Pausing for unit to erase FLASH block\nPausing for unit to write FLASH block\n"
          "Erased and flashed\nBlock # 0 loaded...\n",
          "Transfer Complete."},
         {},
         0},
        {"NoAcknowledgementReplyTakenForIt",
         310,
         {"--no-ack", "1"},
         TWO_BLOCKS,
         STATUS_UNIT_UNANSWERED,
         {"Block # 0 loaded...", "17 \nCKSUM ACKED\nPausing for unit to write FLASH block\n"
                                 "TIMEOUT Waiting for reply\nBlock # 1 loaded...\n"},
         {},
         0},
        {"NoFlashReply",
         310,
         {"--no-flash-reply", "0"},
         TWO_BLOCKS,
         STATUS_UNIT_UNANSWERED,
         {"TIMEOUT Waiting for reply\nBlock # 0 loaded...\n02 01 00 01 \n",
          "Erased and flashed\nBlock # 1 loaded...\n",
          "WARNING - THE UNIT DID NOT ANSWER EVERY STEP; IT MAY NOT BE FLASHED\n"
          "Transfer Complete.  Power off the unit and power it back on\n"},
         {},
         0},
        {"SlowFlashReplyInTime",
         150,
         {"--slow-flash", "0:150"},
         TWO_BLOCKS,
         STATUS_FLASHED,
         {"Erased and flashed\nBlock # 0 loaded...\n", "Transfer Complete."},
         {"TIMEOUT", "WARNING"},
         0},
        {"SlowFlashReplyTooLate",
         310,
         {"--slow-flash", "1:700"},
         TWO_BLOCKS,
         STATUS_UNIT_UNANSWERED,
         {"Block # 0 loaded...", "TIMEOUT Waiting for reply\nBlock # 1 loaded...\n"},
         {},
         0},
        {"HangUpInsideABlock",
         0,
         {"--hangup-block", "1:0"},
         With(TWO_BLOCKS, 2048, 0x99),
         STATUS_TRANSFER_ENDED,
         {"Block # 0 loaded...\n02 01 00 01 \nSend Result 0 Fail Count = 0 CODE 5\n"
          "BYTE # 0 Count = 0  FAILED 5\nCRITICAL  Byte 0 (99 != 02) mismatch\n"},
         {"Transfer Complete."},
         SentThrough(1, 0)},
        {"HangUpAtTheTrailer",
         0,
         {"--hangup-trailer", "1"},
         With(TWO_BLOCKS, 2048, 0x00),
         STATUS_UNIT_UNANSWERED,
         {"Block # 0 loaded...",
          "TRAILER FAILED 5\nPausing for unit to write FLASH block\n"
          "TIMEOUT Waiting for reply\nBlock # 1 loaded...\n",
          "Transfer Complete."},
         {},
         // up to the first trailer byte of block 1
         6 + (4 + 2048 + 3) + 4 + 1 + 1},
        {"BytesAfterTheEndMarker",
         0,
         {"--after-end", "16"},
         TWO_BLOCKS,
         STATUS_FLASHED,
         {"Transfer Complete."},
         {"WARNING"},
         0},
    };
    // A wrong echo of each command byte: what came before is shown, then the wrong echo, and the
    // next byte is never sent.
    for (int k = 1; k <= 6; ++k) {
        static std::vector<std::string> titles;
        titles.reserve(6);
        titles.push_back("WrongEchoOfCommandByte" + std::to_string(k));
        std::string said;
        for (int i = 0; i < k - 1; ++i) {
            said += Hex2(COMMAND[static_cast<size_t>(i)]) + " ";
        }
        said += Hex2(static_cast<uint8_t>(COMMAND[static_cast<size_t>(k - 1)] ^ 0x20)) +
                " FAILED TO START DEVICE INTO TRANSFER MODE\n";
        cases.push_back({titles.back().c_str(),
                         0,
                         {"--bad-echo", std::to_string(k)},
                         TWO_BLOCKS,
                         STATUS_TRANSFER_ENDED,
                         {"transfer\n" + said},
                         {"Waiting for SOH"},
                         static_cast<size_t>(k)});
    }
    return cases;
}

class UnitFails : public UnitOnAPty, public testing::WithParamInterface<FaultCase> {};

TEST_P(UnitFails, ReportsItAndExitsWithItsStatus) {
    const FaultCase& c = GetParam();
    SimulatedUnit unit(c.Faults);
    const auto start = std::chrono::steady_clock::now();
    const UpdateRun run = RunUpdateWith({"-q", "-c", unit.Port(), "-f", WriteHex(c.Bytes)});
    const double took = ElapsedMs(start);
    const SimRun sim = unit.Finish();

    EXPECT_EQ(run.Status, c.Status);
    size_t from = 0;
    for (const std::string& said : c.Said) {
        const size_t at = run.Console.find(said, from);
        ASSERT_NE(at, std::string::npos) << "missing, or out of order: " << said << "\nin:\n"
                                         << run.Console.substr(0, 4000);
        from = at + said.size();
    }
    for (const std::string& unsaid : c.NotSaid) {
        EXPECT_EQ(run.Console.find(unsaid), std::string::npos) << unsaid;
    }
    const Image whole = ExpectedLine(c.Bytes);
    const size_t sent = c.LineBytes == 0 ? whole.size() : c.LineBytes;
    EXPECT_TRUE(sim.Rx == Image(whole.begin(), whole.begin() + static_cast<long>(sent)))
        << "the updater sent " << sim.Rx.size() << " bytes, not the " << sent << " expected";
    // The time-outs are waited out, and nothing is waited beyond them; reading 65,536 bytes of
    // noise one at a time takes a while of its own.
    const double busy = std::string(c.Title) == "NeverSoh" ? 4000 : 800;
    EXPECT_GE(took, c.WaitMs - 10);
    EXPECT_LE(took, c.WaitMs + busy);
}

INSTANTIATE_TEST_SUITE_P(Faults, UnitFails, testing::ValuesIn(FaultCases()), TitleOf<FaultCase>);

// ---- The program itself ----

class Program : public testing::Test {
  protected:
    TempDir m_Dir;
};

// The real time-outs, once: a silent unit is given up after 10.15 s.
TEST_F(Program, GivesUpOnASilentUnitAfterTheRealTimeout) {
    const std::string path = m_Dir.Write("fw.hex", HexFileOf(TWO_BLOCKS));
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult run = RunProcess(
        {UNIT_SIM_EXE, "--silent", "--", BRELWICK_EXE, "-q", "-c", "{port}", "-f", path});
    const double took = ElapsedMs(start);
    EXPECT_EQ(run.Status, STATUS_TRANSFER_ENDED);
    EXPECT_NE(run.Out.find("HEX file contains 1 blocks to transfer\nDEVICE FAILED TO RESPOND\n"),
              std::string::npos)
        << run.Out;
    EXPECT_GE(took, 10150);
    EXPECT_LE(took, 11000);
}

TEST_F(Program, RehearsesAWholeUpdateThroughTheSimulatedUnit) {
    const Image image = RandomImage(4097, 3);
    const std::string hex = HexFileOf(image);
    const std::string path = m_Dir.Write("fw.hex", hex);
    const std::string flash = m_Dir.Path("flash.bin");
    const ProcessResult run = RunProcess(
        {UNIT_SIM_EXE, "--out", flash, "--", BRELWICK_EXE, "-q", "-c", "{port}", "-f", path});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out, LoadLines(path, hex.size(), image.size()) + ExpectedTransferText(image));
    EXPECT_EQ(ReadFile(flash), std::string(image.begin(), image.end()));
    EXPECT_NE(run.Err.find("every block's check value held"), std::string::npos) << run.Err;
}

// An operator's console that goes away (here a pipe whose reader ends early) must not end the
// update half way.
TEST_F(Program, GoesOnWhenItsConsoleGoesAway) {
    const Image image = RandomImage(6000, 4);
    const std::string path = m_Dir.Write("fw.hex", HexFileOf(image));
    const std::string flash = m_Dir.Path("flash.bin");
    const std::string pipeline = std::string("'") + UNIT_SIM_EXE + "' --out '" + flash + "' -- '" +
                                 BRELWICK_EXE + "' -q -c {port} -f '" + path +
                                 "' | head -c 10 >/dev/null; exit ${PIPESTATUS[0]}";
    const ProcessResult run = RunProcess({"bash", "-c", pipeline});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(ReadFile(flash), std::string(image.begin(), image.end()));
}

const char* const BANNER =
    "*******************\n  Serial port opened\n  Firmware file read in and validated\n"
    "*******************\nWARNING: \n  Each block to flash takes about 30 seconds\n"
    "  Do NOT power off the unit while loading\n  Do NOT use the keyer or dial while loading\n"
    "  Do NOT move the unit while loading\n  Do NOT even look at it cross-eyed while loading\n"
    "  Just sit patiently and watch.  Or get coffee\n"
    "  INSURE THE UNIT IS ON, AND HAS FRESH BATTERIES OR ALTERNATE POWER\n"
    "  Press <enter> to begin  AND DO NOT DISTURB UNTIL DONE\n";

struct PromptCase {
    const char* Title;
    std::vector<std::string> Quiet;
    std::string Input;
    bool Banner;
};
PRINTS_AS_TITLE(PromptCase)

class Prompt : public UnitOnAPty, public testing::WithParamInterface<PromptCase> {};

TEST_P(Prompt, WarnsAndWaitsForEnterUnlessQuiet) {
    const PromptCase& c = GetParam();
    SimulatedUnit unit;
    std::vector<std::string> args = {"-c", unit.Port(), "-f", WriteHex(TWO_BLOCKS)};
    args.insert(args.end(), c.Quiet.begin(), c.Quiet.end());
    const UpdateRun run = RunUpdateWith(args, c.Input);
    unit.Finish();
    EXPECT_EQ(run.Status, STATUS_FLASHED);
    const std::string before = "HEX file contains 1 blocks to transfer\n";
    const std::string after = "1b 50 72 4f 67 0d Waiting for SOH\n";
    EXPECT_NE(run.Console.find(before + (c.Banner ? BANNER : "") + after), std::string::npos)
        << run.Console.substr(0, 1500);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, Prompt,
    testing::Values(PromptCase{"Quiet", {"-q"}, "", false}, PromptCase{"NotQuiet", {}, "\n", true},
                    PromptCase{"QuietNoMeansPrompt", {"-q", "no"}, "yes please\n", true},
                    PromptCase{"EndOfInputGoesOn", {}, "", true}),
    TitleOf<PromptCase>);

} // namespace
