#include "app/ports.h"

#include <filesystem>
#include <vector>

#include "console/console.h"
#include "console/process.h"
#include "console/status.h"
#include "serial/serial.h"

namespace {

void NoteLines(const std::vector<SerialPortInfo>& ports) {
    for (const std::string& line : PortListLines(ports)) {
        ConsoleNote("%s\n", line.c_str());
    }
}

// Twice a second: a plugged-in adapter is taken at once, and the system is barely asked.
constexpr unsigned LOOK_AGAIN_MS = 500;

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

bool IsPresent(const std::string& port) {
    const std::vector<SerialPortInfo> ports = PresentSerialPorts();
    if (IsUsbSelector(port)) {
        return !MatchUsbAdapters(ports, port).empty();
    }
    const std::string path = LowerAscii(MakeDevicePath(port));
    for (const SerialPortInfo& present : ports) {
        if (LowerAscii(MakeDevicePath(present.Name)) == path || present.StableName == port) {
            return true;
        }
    }
    // A port the listing does not know, such as a pseudo-terminal, is there when its node is.
    std::error_code failed;
    return std::filesystem::exists(MakeDevicePath(port), failed);
}

// Adapters plugged in without a port are not in the listing: why each has none goes to the person
// watching, whatever standard output carries.
void NoteUnportedAdapters() {
    for (const std::string& line : UnportedAdapterLines()) {
        ConsoleNote("%s\n", line.c_str());
    }
}

} // namespace

int ListPorts() {
    const std::vector<SerialPortInfo> ports = PresentSerialPorts();
    if (ports.empty()) {
        ConsoleNote("No serial ports found\n");
        NoteUnportedAdapters();
        return STATUS_USAGE;
    }
    for (const std::string& line : PortListLines(ports)) {
        ConsoleLine(line.c_str());
    }
    NoteUnportedAdapters();
    return STATUS_FLASHED;
}

void NamePortsPresent() {
    const std::vector<SerialPortInfo> ports = PresentSerialPorts();
    if (ports.empty()) {
        ConsoleNote("No serial ports found\n");
    }
    NoteLines(ports);
    NoteUnportedAdapters();
}

// Never a guess between several adapters, and never a port tried by writing to it: a GPS receiver
// or a printer on the other one must not get the transfer command.
bool FindUsbAdapter(const std::string& selector, std::string* portName) {
    const std::vector<SerialPortInfo> matched = MatchUsbAdapters(PresentSerialPorts(), selector);
    if (matched.size() == 1) {
        ConsoleNote("Using %s for -c %s: %s\n", matched[0].Name.c_str(), selector.c_str(),
                    PortDescription(matched[0]).c_str());
        *portName = matched[0].Name;
        return true;
    }
    if (matched.empty()) {
        ConsolePrintf("No USB serial adapter matches %s\n", selector.c_str());
        NamePortsPresent();
    } else {
        ConsolePrintf("Several USB serial adapters match %s; -c must name one, by its name or by "
                      "usb: and its serial number\n",
                      selector.c_str());
        NoteLines(matched);
    }
    return false;
}

bool WaitForPort(const std::string& port) {
    if (IsPresent(port)) {
        return true;
    }
    ConsoleNote("Waiting for %s to be plugged in (Ctrl-C stops)\n", port.c_str());
    while (!Interrupted()) {
        SerialPause(LOOK_AGAIN_MS);
        if (!Interrupted() && IsPresent(port)) {
            return true;
        }
    }
    return false;
}
