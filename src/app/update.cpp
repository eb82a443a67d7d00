#include "app/update.h"

#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "console/process.h"
#include "console/status.h"
#include "hex/hex_loader.h"
#include "serial/serial.h"
#include "transfer/transfer.h"

CCmdLine* CmdLine = nullptr;

namespace {

const char* const USAGE[] = {
    "Brelwick.exe",
    "  -f file",
    "  -q ('quiet' - do not prompt to begin)",
    "  -c com (port as COM1, COM2, COM6 ... )",
};

const char* const BANNER[] = {
    "*******************",
    "  Serial port opened",
    "  Firmware file read in and validated",
    "*******************",
    "WARNING: ",
    "  Each block to flash takes about 30 seconds",
    "  Do NOT power off the unit while loading",
    "  Do NOT use the keyer or dial while loading",
    "  Do NOT move the unit while loading",
    "  Do NOT even look at it cross-eyed while loading",
    "  Just sit patiently and watch.  Or get coffee",
    "  INSURE THE UNIT IS ON, AND HAS FRESH BATTERIES OR ALTERNATE POWER",
    "  Press <enter> to begin  AND DO NOT DISTURB UNTIL DONE",
};

int Usage() {
    for (const char* line : USAGE) {
        ConsoleLine(line);
    }
    return STATUS_USAGE;
}

// Quiet only for a bare -q: "-q no" asks for the prompt.
bool IsQuiet() {
    const char* quiet = CmdLine->GetSwitchValue("q");
    return quiet != nullptr && std::strcmp(quiet, "T") == 0;
}

// Any -n at all means check only: when in doubt, the unit is not touched.
bool IsCheckOnly() {
    return CmdLine->GetSwitchValue("n") != nullptr;
}

void WaitForOperator() {
    for (const char* line : BANNER) {
        ConsoleLine(line);
    }
    // What is typed is not looked at; end of input lets the run go on too.
    char reply[5];
    ConsoleReadLine(reply, sizeof(reply));
}

void PrintImageSummary() {
    ConsolePrintf("Image length %u bytes\n", static_cast<unsigned>(ImageLength));
    const std::vector<ImageRange> ranges = FilledRanges();
    if (ranges.empty()) {
        ConsoleLine("  no data records");
    }
    for (const ImageRange& range : ranges) {
        ConsolePrintf("  filled 0x%06X-0x%06X (%u bytes)\n", static_cast<unsigned>(range.Start),
                      static_cast<unsigned>(range.End - 1),
                      static_cast<unsigned>(range.End - range.Start));
    }
    // Unlike the block count line, this counts the last, short block too.
    const unsigned whole = ImageLength / BLOCK_SIZE;
    const unsigned rest = ImageLength % BLOCK_SIZE;
    if (ImageLength == 0) {
        ConsoleLine("Blocks to send 1, of no bytes");
    } else if (whole == 0) {
        ConsolePrintf("Blocks to send 1, of %u bytes\n", rest);
    } else if (rest == 0) {
        ConsolePrintf("Blocks to send %u, of 2048 bytes each\n", whole);
    } else {
        ConsolePrintf("Blocks to send %u: %u of 2048 bytes and one of %u\n",
                      static_cast<unsigned>(BlocksToSend()), whole, rest);
    }
}

// The last line tells the operator where the unit stands and what to do next.
int CloseRun(int status) {
    if (status == STATUS_TRANSFER_ENDED) {
        ConsoleLine("UPDATE FAILED - THE UNIT IS NOT FLASHED: power it off and on, then run the "
                    "update again");
    } else if (status == STATUS_UNIT_UNANSWERED) {
        ConsoleLine("WARNING - THE UNIT DID NOT ANSWER EVERY STEP; IT MAY NOT BE FLASHED: run the "
                    "update again");
    }
    return status;
}

// The line goes back as after any other run before a word is said.
int EndInterrupted() {
    ReleaseResources();
    ConsoleLine("UPDATE INTERRUPTED");
    return CloseRun(STATUS_TRANSFER_ENDED);
}

// -n: the file is loaded and checked as for an update, and no port is opened.
int CheckFirmwareFile() {
    const int loaded = LoadHexFile();
    ReleaseResources();
    if (loaded != 0) {
        ConsoleLine("Check Failed: this file must not be sent to the unit");
        return STATUS_FILE_REFUSED;
    }
    PrintImageSummary();
    return STATUS_FLASHED;
}

} // namespace

int RunUpdate(int argc, char** argv) {
    // Only a test runs the program twice in one process; the table of the run before goes.
    delete CmdLine;
    CmdLine = new CCmdLine(argc, argv);
    const char* file = CmdLine->GetSwitchValue("f");
    if (file != nullptr && IsCheckOnly()) {
        FirmwarePath = file;
        return CheckFirmwareFile();
    }
    const char* port = file != nullptr ? CmdLine->GetSwitchValue("c") : nullptr;
    if (file == nullptr || port == nullptr) {
        return Usage();
    }
    PortName = port;
    FirmwarePath = file;

    OpenSerialPort();
    const int loaded = LoadHexFile();
    if (Interrupted()) {
        return EndInterrupted();
    }
    if (loaded != 0) {
        ConsoleLine("Update Aborted");
        ReleaseResources();
        return STATUS_FILE_REFUSED;
    }
    if (!IsQuiet()) {
        WaitForOperator();
    }
    if (Interrupted()) {
        return EndInterrupted();
    }
    const int status = TransferImage();
    if (status == STATUS_TRANSFER_ENDED && Interrupted()) {
        return EndInterrupted();
    }
    ReleaseResources();
    return CloseRun(status);
}

void ReleaseResources() {
    if (PortHandle != INVALID_PORT) {
        SerialClose(PortHandle);
        PortHandle = INVALID_PORT;
    }
    if (HexText != nullptr) {
        std::free(HexText);
        HexText = nullptr;
        HexTextLength = 0;
    }
}
