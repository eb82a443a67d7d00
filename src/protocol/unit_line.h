// What the unit's loader fixes and every part of the program shares: the line's speed and the size
// of a flash block. Nothing here depends on a platform, so that the loader, the transfer, the
// progress figures, the serial link and the simulated unit all take them from here.
#pragma once

#include <cstdint>

// The line runs at this speed, 8 data bits, no parity, one stop bit: ten bits a byte.
constexpr uint32_t LINE_BAUD = 19200;
// The unit writes its flash a block at a time; one transfer block carries one flash block.
constexpr uint32_t BLOCK_SIZE = 2048;
