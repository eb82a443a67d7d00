// What the serial link shares across platforms: the process-wide port state and the open that
// ends the run when the port cannot be had.
#include <cstdlib>

#include "app/console.h"
#include "serial/serial.h"

SerialPort* PortHandle = INVALID_PORT;
std::string PortName;
std::string DevicePath;

namespace {
SerialTimeouts ReadTimeouts = UNIT_READ_TIMEOUTS;
} // namespace

void SetSerialReadTimeouts(const SerialTimeouts& timeouts) {
    ReadTimeouts = timeouts;
}

const SerialTimeouts& SerialReadTimeouts() {
    return ReadTimeouts;
}

void OpenSerialPort() {
    DevicePath = MakeDevicePath(PortName);
    const int code = SerialOpen(DevicePath, &PortHandle);
    if (code != 0) {
        PortHandle = INVALID_PORT;
        ConsolePrintf("Error Opening %s... %d\n", PortName.c_str(), code);
        std::exit(1);
    }
}
