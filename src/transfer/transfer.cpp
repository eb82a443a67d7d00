#include "transfer/transfer.h"

#include <algorithm>
#include <cstring>

#include "console/console.h"
#include "console/progress.h"
#include "console/status.h"
#include "hex/hex_loader.h"
#include "serial/serial.h"

uint8_t ReceiveArea[4];

namespace {

// How a block went: every step answered, some step unanswered, or the transfer must end.
enum class BlockOutcome { ANSWERED, UNANSWERED, ENDED };

size_t ReadReply(size_t count) {
    size_t brought = 0;
    SerialRead(PortHandle, ReceiveArea, count, &brought);
    return brought;
}

void Send(const uint8_t* bytes, size_t count) {
    SerialWrite(PortHandle, bytes, count);
}

bool SwitchToTransferMode() {
    for (const uint8_t byte : TRANSFER_MODE_COMMAND) {
        Send(&byte, 1);
        if (ReadReply(1) != 1) {
            ConsoleLine("DEVICE FAILED TO RESPOND");
            return false;
        }
        ConsolePrintf("%02x ", ReceiveArea[0]);
        if (ReceiveArea[0] != byte) {
            ConsoleLine("FAILED TO START DEVICE INTO TRANSFER MODE");
            return false;
        }
    }
    return true;
}

// Whatever the unit says before SOH is shown as it comes, up to a limit: a noisy line must not
// hold the run forever.
bool WaitForSoh() {
    ConsoleLine("Waiting for SOH");
    for (uint32_t others = 0;; ++others) {
        if (others == SOH_WAIT_LIMIT) {
            ConsoleLine("  DEVICE FAILED TO SEND SOH");
            return false;
        }
        if (ReadReply(1) != 1) {
            ConsoleLine("  DEVICE FAILED TO REPLY");
            return false;
        }
        ConsolePrintf("%c", ReceiveArea[0]);
        if (ReceiveArea[0] == SOH) {
            break;
        }
    }
    ConsoleLine("STARTED");
    return true;
}

// The header goes in one write; its echo is shown, not compared.
bool SendHeader(uint8_t number, uint16_t length) {
    const uint8_t header[4] = {STX, number, static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length & 0xFF)};
    Send(header, sizeof(header));
    const size_t brought = ReadReply(sizeof(header));
    if (brought != sizeof(header)) {
        ConsolePrintf("HEADER FAILED %d\n", SerialLastError());
    }
    for (size_t i = 0; i < brought; ++i) {
        ConsolePrintf("%02x ", ReceiveArea[i]);
    }
    ConsolePrintf("\n");
    return brought == sizeof(header);
}

// Lock-step: each byte waits for its echo before the next goes. A missing echo is reported and
// the byte still held from before is compared; only an echo that differs ends the transfer.
BlockOutcome SendData(const uint8_t* data, uint16_t length) {
    BlockOutcome outcome = BlockOutcome::ANSWERED;
    for (int i = 0; i < length; ++i) {
        Send(&data[i], 1);
        size_t brought = 0;
        const int failed = SerialRead(PortHandle, ReceiveArea, 1, &brought);
        ProgressByteAnswered();
        if (failed != 0) {
            ConsolePrintf("Send Result %d Fail Count = %d CODE %d\n", 0, static_cast<int>(brought),
                          SerialLastError());
            outcome = BlockOutcome::UNANSWERED;
        }
        if (brought != 1) {
            ConsolePrintf("BYTE # %d Count = %d  FAILED %d\n", i, static_cast<int>(brought),
                          SerialLastError());
            outcome = BlockOutcome::UNANSWERED;
        }
        if (ReceiveArea[0] != data[i]) {
            ConsolePrintf("CRITICAL  Byte %d (%02x != %02x) mismatch\n", i, data[i],
                          ReceiveArea[0]);
            return BlockOutcome::ENDED;
        }
    }
    return outcome;
}

// The trailer and the unit's three answers: its echo, the checksum acknowledgement and the
// report that the flash block was written. None of them stops the transfer.
bool SendTrailer(uint16_t sum) {
    const uint16_t check = static_cast<uint16_t>(0x10000u - sum);
    ConsolePrintf(" Data Complete: CK %04x", sum);
    ConsolePrintf(" SM %04x\n", check);
    std::memset(ReceiveArea, 0, sizeof(ReceiveArea));
    const uint8_t trailer[3] = {static_cast<uint8_t>(check >> 8),
                                static_cast<uint8_t>(check & 0xFF), ETX};
    Send(trailer, sizeof(trailer));
    ConsoleLine(" Pausing for unit to erase FLASH block");
    SerialPause(1);
    bool answered = true;
    if (ReadReply(sizeof(trailer)) != sizeof(trailer)) {
        ConsolePrintf("TRAILER FAILED %d\n", SerialLastError());
        answered = false;
    }
    if (ReadReply(1) == 1) {
        ConsolePrintf("%02x ", ReceiveArea[0]);
        ConsolePrintf("\n");
        ConsoleLine("CKSUM ACKED");
    } else {
        answered = false;
    }
    ConsoleLine("Pausing for unit to write FLASH block");
    if (ReadReply(1) == 1) {
        ConsoleLine("Erased and flashed");
    } else {
        ConsoleLine("TIMEOUT Waiting for reply");
        answered = false;
    }
    return answered;
}

BlockOutcome SendBlock(uint8_t number, uint16_t length) {
    const uint8_t* data = FirmwareImage + static_cast<size_t>(number) * BLOCK_SIZE;
    const uint16_t sum = BlockSum(number, data, length);
    bool answered = SendHeader(number, length);
    ProgressBlock(number, length);
    const BlockOutcome dataOutcome = SendData(data, length);
    if (dataOutcome == BlockOutcome::ENDED) {
        return BlockOutcome::ENDED;
    }
    answered = answered && dataOutcome == BlockOutcome::ANSWERED;
    answered = SendTrailer(sum) && answered;
    return answered ? BlockOutcome::ANSWERED : BlockOutcome::UNANSWERED;
}

int SendBlocks() {
    int32_t remaining = static_cast<int32_t>(ImageLength);
    uint8_t number = 0;
    bool unanswered = false;
    // Even an empty image is sent as one block of no bytes.
    do {
        const uint16_t length = static_cast<uint16_t>(std::min<int32_t>(remaining, BLOCK_SIZE));
        const BlockOutcome outcome = SendBlock(number, length);
        if (outcome == BlockOutcome::ENDED) {
            return STATUS_TRANSFER_ENDED;
        }
        unanswered = unanswered || outcome == BlockOutcome::UNANSWERED;
        remaining -= length;
        ConsolePrintf("Block # %d loaded...\n", number);
        ++number;
    } while (remaining != 0);

    Send(END_MARKER, sizeof(END_MARKER));
    ProgressFinished();
    SerialClose(PortHandle);
    PortHandle = INVALID_PORT;
    if (unanswered) {
        ConsoleLine("WARNING - THE UNIT DID NOT ANSWER EVERY STEP; IT MAY NOT BE FLASHED");
    }
    ConsoleLine("Transfer Complete.  Power off the unit and power it back on");
    return unanswered ? STATUS_UNIT_UNANSWERED : STATUS_FLASHED;
}

} // namespace

uint16_t BlockSum(uint8_t number, const uint8_t* data, uint16_t length) {
    unsigned sum = 0u + STX + number + (length >> 8u) + (length & 0xFFu);
    for (uint16_t i = 0; i < length; ++i) {
        sum += data[i];
    }
    return static_cast<uint16_t>(sum);
}

int TransferImage() {
    if (!SwitchToTransferMode() || !WaitForSoh()) {
        return STATUS_TRANSFER_ENDED;
    }
    ProgressBegin(ImageLength, BlocksToSend());
    const int status = SendBlocks();
    ProgressStop();
    return status;
}
