// Files written by independent Intel HEX producers load into exactly the bytes they were made from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/update.h"
#include "console_capture.h"
#include "hex/hex_loader.h"
#include "posix_support.h"
#include "record/sha256.h"

namespace {

struct Piece {
    uint32_t Address;
    uint32_t Size;
};

enum class Edit { NONE, CRLF, LOWER_CASE };

struct ProducerCase {
    const char* Title;
    const char* Tool; // "srec_cat" or "objcopy" (one piece only)
    std::vector<Piece> Pieces;
    Edit Change;
};
PRINTS_AS_TITLE(ProducerCase)

std::string Hex(uint32_t value) {
    return "0x" + (std::stringstream() << std::hex << value).str();
}

std::string Produce(const TempDir& dir, const ProducerCase& c, std::vector<uint8_t>* image) {
    std::mt19937 random(static_cast<unsigned>(c.Pieces.size() * 7919 + c.Pieces[0].Size));
    std::vector<std::string> command = {c.Tool};
    if (std::string(c.Tool) == "objcopy") {
        command = {"objcopy",
                   "-I",
                   "binary",
                   "-O",
                   "ihex",
                   "--change-addresses",
                   Hex(c.Pieces[0].Address)};
    }
    for (size_t p = 0; p < c.Pieces.size(); ++p) {
        const Piece& piece = c.Pieces[p];
        std::string bytes(piece.Size, '\0');
        for (char& b : bytes) {
            b = static_cast<char>(random() & 0xFF);
        }
        image->resize(std::max<size_t>(image->size(), piece.Address + piece.Size));
        std::copy(bytes.begin(), bytes.end(),
                  image->begin() + static_cast<std::ptrdiff_t>(piece.Address));
        const std::string path = dir.Write("piece" + std::to_string(p) + ".bin", bytes);
        if (std::string(c.Tool) == "srec_cat") {
            command.insert(command.end(), {path, "-binary", "-offset", Hex(piece.Address)});
        } else {
            command.push_back(path);
        }
    }
    const std::string hex = dir.Path("fw.hex");
    if (std::string(c.Tool) == "srec_cat") {
        command.insert(command.end(), {"-o", hex, "-intel"});
    } else {
        command.push_back(hex);
    }
    const ProcessResult run = RunProcess(command);
    EXPECT_EQ(run.Status, 0) << c.Tool << " failed (is it installed?): " << run.Err;
    return hex;
}

std::string Edited(const std::string& text, Edit change) {
    std::string out;
    for (char ch : text) {
        if (change == Edit::CRLF && ch == '\n') {
            out += '\r';
        }
        out +=
            change == Edit::LOWER_CASE && ch >= 'A' && ch <= 'F' ? static_cast<char>(ch + 32) : ch;
    }
    return out;
}

class IndependentProducer : public testing::TestWithParam<ProducerCase> {};

TEST_P(IndependentProducer, LoadsIntoTheBytesItWasMadeFrom) {
    const ProducerCase& c = GetParam();
    TempDir dir;
    std::vector<uint8_t> expected;
    const std::string produced = Produce(dir, c, &expected);
    const std::string path = dir.Write("edited.hex", Edited(ReadFile(produced), c.Change));

    ConsoleCapture console;
    FirmwarePath = path;
    const int result = LoadHexFile();
    ReleaseResources();
    ASSERT_EQ(result, 0) << console.Text();
    EXPECT_EQ(console.Text().find("WARNING"), std::string::npos) << console.Text();
    ASSERT_EQ(ImageLength, expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), FirmwareImage))
        << "the image differs from the bytes the file was made from";
    // The fingerprints, against sha256sum's of the file and of the bytes it was made from.
    EXPECT_EQ(HexFileSha256, Sha256Sum(path));
    const std::string image = dir.Write("image.bin", std::string(expected.begin(), expected.end()));
    EXPECT_EQ(Sha256Hex(FirmwareImage, ImageLength), Sha256Sum(image));
}

INSTANTIATE_TEST_SUITE_P(
    Files, IndependentProducer,
    testing::Values(
        ProducerCase{"SrecCatTypicalImage", "srec_cat", {{0, 40000}}, Edit::NONE},
        ProducerCase{"SrecCatFullImage", "srec_cat", {{0, 100000}}, Edit::NONE},
        ProducerCase{"SrecCatLinearAddressRecords", "srec_cat", {{0x10000, 30000}}, Edit::NONE},
        ProducerCase{
            "SrecCatGaps", "srec_cat", {{0, 1000}, {5000, 3000}, {0x11000, 2001}}, Edit::NONE},
        ProducerCase{"SrecCatCrLf", "srec_cat", {{0, 9000}, {0xFFF0, 40}}, Edit::CRLF},
        ProducerCase{"SrecCatLowerCase", "srec_cat", {{16, 7000}}, Edit::LOWER_CASE},
        ProducerCase{"ObjcopyFullImage", "objcopy", {{0, 100000}}, Edit::NONE},
        ProducerCase{"ObjcopyAtAnOffset", "objcopy", {{0x2000, 20000}}, Edit::NONE},
        ProducerCase{"ObjcopyCrLf", "objcopy", {{0, 70000}}, Edit::CRLF},
        ProducerCase{"ObjcopyLowerCase", "objcopy", {{0x100, 66000}}, Edit::LOWER_CASE}),
    TitleOf<ProducerCase>);

} // namespace
