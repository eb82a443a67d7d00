// The conversation with the unit's loader: the switch into transfer mode, the wait for its SOH,
// and the image sent block by block with every byte echoed.
#pragma once

#include <cstdint>

constexpr uint8_t SOH = 0x01; // the loader is ready for the first block
constexpr uint8_t STX = 0x02; // starts a block header
constexpr uint8_t ETX = 0x03; // ends a block trailer

// ESC, the command word, CR: each byte is echoed by the unit.
constexpr uint8_t TRANSFER_MODE_COMMAND[6] = {0x1B, 'P', 'r', 'O', 'g', '\r'};
// Closes the transfer after the last block.
constexpr uint8_t END_MARKER[2] = {0xFF, 0xFF};

// A line that never brings SOH is given up after this many other bytes.
constexpr uint32_t SOH_WAIT_LIMIT = 65536;

// Every read of the transfer puts its bytes at the start of this area.
extern uint8_t ReceiveArea[4];

// Runs the whole transfer over PortHandle with FirmwareImage and reports on the console. Returns
// STATUS_FLASHED, STATUS_TRANSFER_ENDED or STATUS_UNIT_UNANSWERED (console/status.h). The port is
// closed after a complete transfer and left open otherwise. A line that is gone, or a unit that
// stopped answering, ends it at once with one diagnosis; an interrupt ends it at the next read or
// write without a word, and the caller gives the line back and says so.
int TransferImage();

// The 16-bit sum of a block: its header and data bytes.
uint16_t BlockSum(uint8_t number, const uint8_t* data, uint16_t length);
