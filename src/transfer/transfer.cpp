#include "transfer/transfer.h"

#include <algorithm>
#include <cstring>

#include "console/console.h"
#include "console/process.h"
#include "console/progress.h"
#include "console/status.h"
#include "hex/hex_loader.h"
#include "serial/serial.h"

uint8_t ReceiveArea[4];

namespace {

// How a step of a block went: every answer came, some answer did not, or the transfer must end.
// Worse is greater, so that a block goes as its worst step.
enum class BlockOutcome { ANSWERED, UNANSWERED, ENDED };

// What ends the transfer wherever it is, whatever step it was at.
enum class Halt { NONE, INTERRUPTED, LINE_LOST, UNIT_STOPPED };

Halt Halted = Halt::NONE;
int LostLineCode = 0; // the platform's code from the call that found the line gone
int EchoesMissed = 0; // data bytes in a row that brought no echo since the unit last answered

// An interrupt is looked at before each write and after each read, and ends the transfer there.
// True while the transfer may go on.
bool GoesOn() {
    if (Halted == Halt::NONE && Interrupted()) {
        Halted = Halt::INTERRUPTED;
    }
    return Halted == Halt::NONE;
}

// Every read and write passes its outcome here: a call that failed because the device is gone
// ends the transfer at once. Without this a pulled adapter fails every write and read that
// follows, and each failure would be reported, image byte by byte.
// A call that an interrupt ended is no lost line, whatever code it left (on Windows the same as
// an adapter's that was pulled out).
void LookForLostLine(int failed) {
    if (failed != 0 && Halted == Halt::NONE && !Interrupted() &&
        SerialLineGone(SerialLastError())) {
        Halted = Halt::LINE_LOST;
        LostLineCode = SerialLastError();
    }
}

// False when the transfer must end, before the bytes went or because the line is gone.
bool Send(const uint8_t* bytes, size_t count) {
    if (!GoesOn()) {
        return false;
    }
    const int failed = SerialWrite(PortHandle, bytes, count);
    LookForLostLine(failed);
    if (failed == 0) {
        ProgressWritten(count);
    }
    return Halted == Halt::NONE;
}

// Reads into ReceiveArea and returns how many bytes came; `*failed`, when asked for, tells whether
// the call failed. The caller asks GoesOn() before it looks at what came.
size_t ReadReply(size_t count, int* failed = nullptr) {
    size_t brought = 0;
    const int result = SerialRead(PortHandle, ReceiveArea, count, &brought);
    LookForLostLine(result);
    if (brought > 0) {
        EchoesMissed = 0;
    }
    if (failed != nullptr) {
        *failed = result;
    }
    return brought;
}

bool SwitchToTransferMode() {
    for (const uint8_t byte : TRANSFER_MODE_COMMAND) {
        if (!Send(&byte, 1)) {
            return false;
        }
        const size_t brought = ReadReply(1);
        if (!GoesOn()) {
            return false;
        }
        if (brought != 1) {
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
        const size_t brought = ReadReply(1);
        if (!GoesOn()) {
            return false;
        }
        if (brought != 1) {
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

// The header goes in one write, and its echo is shown. A whole echo that is not the header means
// the unit's answers and the updater's steps no longer match: every echo after it would be read a
// byte out and end in a made-up data mismatch.
BlockOutcome SendHeader(uint8_t number, uint16_t length) {
    const uint8_t header[4] = {STX, number, static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length & 0xFF)};
    // A reply that came after its read gave up (a flash write slower than the time-out) would be
    // read as the first byte of this echo.
    if (GoesOn()) {
        LookForLostLine(SerialDiscardInput(PortHandle));
    }
    if (!Send(header, sizeof(header))) {
        return BlockOutcome::ENDED;
    }
    const size_t brought = ReadReply(sizeof(header));
    if (!GoesOn()) {
        return BlockOutcome::ENDED;
    }
    if (brought != sizeof(header)) {
        ConsolePrintf("HEADER FAILED %d\n", SerialLastError());
    }
    for (size_t i = 0; i < brought; ++i) {
        ConsolePrintf("%02x ", ReceiveArea[i]);
    }
    ConsolePrintf("\n");
    if (brought != sizeof(header)) {
        return BlockOutcome::UNANSWERED;
    }
    if (std::memcmp(ReceiveArea, header, sizeof(header)) != 0) {
        ConsolePrintf("CRITICAL - THE UNIT DID NOT ECHO THE HEADER OF BLOCK %d: a reply it sent "
                      "late, or it lost its step\n",
                      number);
        return BlockOutcome::ENDED;
    }
    return BlockOutcome::ANSWERED;
}

// Lock-step: each byte waits for its echo before the next goes. An echo that came and differs
// ends the transfer. A missing echo is reported and never compared: whatever ReceiveArea still
// holds is the echo of an earlier byte, not the unit's answer to this one. A single one lets the
// transfer go on, since the unit may have heard the byte and lost only its answer; two in a row
// mean the unit is gone.
BlockOutcome SendData(uint8_t number, const uint8_t* data, uint16_t length) {
    BlockOutcome outcome = BlockOutcome::ANSWERED;
    for (int i = 0; i < length; ++i) {
        if (!Send(&data[i], 1)) {
            return BlockOutcome::ENDED;
        }
        int failed = 0;
        const size_t brought = ReadReply(1, &failed);
        ProgressByteAnswered();
        if (!GoesOn()) {
            return BlockOutcome::ENDED;
        }
        if (failed != 0) {
            ConsolePrintf("Send Result %d Fail Count = %d CODE %d\n", 0, static_cast<int>(brought),
                          SerialLastError());
            outcome = BlockOutcome::UNANSWERED;
        }
        if (brought != 1) {
            ConsolePrintf("BYTE # %d Count = %d  FAILED %d\n", i, static_cast<int>(brought),
                          SerialLastError());
            outcome = BlockOutcome::UNANSWERED;
            if (++EchoesMissed == 2) {
                ConsolePrintf("CRITICAL - THE UNIT STOPPED ANSWERING AT BYTE %d OF BLOCK %d\n", i,
                              number);
                Halted = Halt::UNIT_STOPPED;
                return BlockOutcome::ENDED;
            }
            continue;
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
// report that the flash block was written. A missing answer does not stop the transfer.
BlockOutcome SendTrailer(uint16_t sum) {
    const uint16_t check = static_cast<uint16_t>(0x10000u - sum);
    ConsolePrintf(" Data Complete: CK %04x", sum);
    ConsolePrintf(" SM %04x\n", check);
    std::memset(ReceiveArea, 0, sizeof(ReceiveArea));
    const uint8_t trailer[3] = {static_cast<uint8_t>(check >> 8),
                                static_cast<uint8_t>(check & 0xFF), ETX};
    if (!Send(trailer, sizeof(trailer))) {
        return BlockOutcome::ENDED;
    }
    ConsoleLine(" Pausing for unit to erase FLASH block");
    SerialPause(1);
    BlockOutcome outcome = BlockOutcome::ANSWERED;
    const size_t echoed = ReadReply(sizeof(trailer));
    if (!GoesOn()) {
        return BlockOutcome::ENDED;
    }
    if (echoed != sizeof(trailer)) {
        ConsolePrintf("TRAILER FAILED %d\n", SerialLastError());
        outcome = BlockOutcome::UNANSWERED;
    }
    const size_t acknowledged = ReadReply(1);
    if (!GoesOn()) {
        return BlockOutcome::ENDED;
    }
    if (acknowledged == 1) {
        ConsolePrintf("%02x ", ReceiveArea[0]);
        ConsolePrintf("\n");
        ConsoleLine("CKSUM ACKED");
    } else {
        outcome = BlockOutcome::UNANSWERED;
    }
    ConsoleLine("Pausing for unit to write FLASH block");
    const size_t flashed = ReadReply(1);
    if (!GoesOn()) {
        return BlockOutcome::ENDED;
    }
    ProgressBlockWritten(flashed == 1);
    if (flashed == 1) {
        ConsoleLine("Erased and flashed");
    } else {
        ConsoleLine("TIMEOUT Waiting for reply");
        outcome = BlockOutcome::UNANSWERED;
    }
    return outcome;
}

BlockOutcome SendBlock(uint8_t number, uint16_t length) {
    const uint8_t* data = FirmwareImage + static_cast<size_t>(number) * BLOCK_SIZE;
    const uint16_t sum = BlockSum(number, data, length);
    BlockOutcome outcome = SendHeader(number, length);
    if (outcome != BlockOutcome::ENDED) {
        ProgressBlock(number, length);
        outcome = std::max(outcome, SendData(number, data, length));
    }
    if (outcome != BlockOutcome::ENDED) {
        outcome = std::max(outcome, SendTrailer(sum));
    }
    return outcome;
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

    if (!Send(END_MARKER, sizeof(END_MARKER))) {
        return STATUS_TRANSFER_ENDED;
    }
    ProgressFinished();
    SerialClose(PortHandle);
    PortHandle = INVALID_PORT;
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
    Halted = Halt::NONE;
    LostLineCode = 0;
    EchoesMissed = 0;
    int status = STATUS_TRANSFER_ENDED;
    if (SwitchToTransferMode() && WaitForSoh()) {
        ProgressBegin(ImageLength, BlocksToSend());
        status = SendBlocks();
        ProgressStop();
    }
    // Said once, however many steps the lost line would have failed.
    if (Halted == Halt::LINE_LOST) {
        ConsolePrintf("CRITICAL - THE LINE TO THE UNIT WAS LOST (CODE %d)\n", LostLineCode);
    }
    return status;
}
