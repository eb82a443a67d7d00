#include "app/update.h"

#include "app/console.h"
#include "app/status.h"
#include "serial/serial.h"

CCmdLine* CmdLine = nullptr;

namespace {

const char* const USAGE[] = {
    "Brelwick.exe",
    "  -f file",
    "  -q ('quiet' - do not prompt to begin)",
    "  -c com (port as COM1, COM2, COM6 ... )",
};

int Usage() {
    for (const char* line : USAGE) {
        ConsoleLine(line);
    }
    return STATUS_USAGE;
}

} // namespace

int RunUpdate(int argc, char** argv) {
    // Only a test runs the program twice in one process; the table of the run before goes.
    delete CmdLine;
    CmdLine = new CCmdLine(argc, argv);
    const char* file = CmdLine->GetSwitchValue("f");
    const char* port = file != nullptr ? CmdLine->GetSwitchValue("c") : nullptr;
    if (file == nullptr || port == nullptr) {
        return Usage();
    }
    PortName = port;
    OpenSerialPort();
    ReleaseResources();
    return STATUS_FLASHED;
}

void ReleaseResources() {
    if (PortHandle != INVALID_PORT) {
        SerialClose(PortHandle);
        PortHandle = INVALID_PORT;
    }
}
