// The serial ports of macOS: the cu.* names in /dev.
#include <string>
#include <vector>

#include "serial/ports_posix.h"
#include "serial/serial.h"

namespace {

// Each port is there twice; /dev/tty.* waits in open() for the carrier, cu.* is the one to use.
// What is behind a port would take IOKit; the names alone are listed.
std::vector<SerialPortInfo> ListPorts() {
    std::vector<SerialPortInfo> ports;
    for (const std::string& name : Entries(PortSearchRoot + "/dev")) {
        if (name.compare(0, 3, "cu.") == 0) {
            SerialPortInfo port;
            port.Name = "/dev/" + name;
            ports.push_back(port);
        }
    }
    return ports;
}

} // namespace

std::string LatencyRemedy(const std::string&, int) {
    return "On macOS the latency timer is a setting of the adapter's driver: FTDI's own driver "
           "has one; see brelwick(1), LOW LATENCY.";
}

std::vector<SerialPortInfo> SerialListPorts() {
    return ListPorts();
}

// What is plugged in without a port would take IOKit too.
std::vector<UnportedAdapter> SerialListUnportedAdapters() {
    return {};
}

std::vector<std::string> PortNameHelp() {
    return {
        "  /dev/cu.*     a USB serial adapter, such as /dev/cu.usbserial-A1 (cu., not tty.)",
    };
}
