// The firmware image: an Intel HEX file read, checked record by record and laid out flat at the
// records' absolute addresses, ready to be sent from address 0 up to ImageLength.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/unit_line.h"

constexpr uint32_t IMAGE_CAPACITY = 100000;        // the largest image the unit takes
constexpr uint32_t DATA_ADDRESS_LIMIT = 0x1F00000; // data records at or above are not the unit's
// No firmware file for this unit comes near this size; anything larger is the wrong file.
constexpr uint64_t HEX_FILE_SIZE_LIMIT = 16u * 1024 * 1024;

// The file the operator named (-f), as given.
extern std::string FirmwarePath;

// The file's text as read, byte for byte, converted in place while parsing; freed by
// ReleaseResources. HexTextLength counts the bytes read.
extern uint8_t* HexText;
extern size_t HexTextLength;

// The SHA-256 of the file's bytes as read by LoadHexFile(), in lower-case hexadecimal; empty when
// the file could not be read whole.
extern std::string HexFileSha256;

// The image, zero where no record wrote, and its high-water mark: the highest end address of any
// stored data record. Never more than IMAGE_CAPACITY.
extern uint8_t FirmwareImage[IMAGE_CAPACITY];
extern uint32_t ImageLength;

// The upper address bits given by the last extended address record.
extern uint32_t SegmentBase;

// A run of image addresses that data records wrote: [Start, End).
struct ImageRange {
    uint32_t Start;
    uint32_t End;
};
// What data records filled, merged and in address order.
std::vector<ImageRange> FilledRanges();

// Reads FirmwarePath into the image. 0 when the file was read whole, every record held, no two
// records gave one address different values, at least one data byte went into the image and the
// end-of-file record closed it; 1 when the file is refused, after saying why.
int LoadHexFile();

// Takes text already in memory through the same checks, as if read from a file. For the fuzzer.
int LoadHexText(const uint8_t* text, size_t length);

// Blocks a transfer sends for the image: the last, short one too, and one even when it is empty.
uint32_t BlocksToSend();
