// What the serial link shares across platforms: the process-wide port state, the open that ends
// the run when the port cannot be had, and the words that tell the operator why.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "console/console.h"
#include "serial/serial.h"

SerialPort* PortHandle = INVALID_PORT;
std::string PortName;
std::string DevicePath;

namespace {

SerialTimeouts ReadTimeouts = UNIT_READ_TIMEOUTS;

bool IsDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// The number written from `at` on, without its leading zeros; `at` is moved past it.
std::string TakeNumber(const std::string& text, size_t* at) {
    const size_t end = std::min(text.find_first_not_of("0123456789", *at), text.size());
    std::string number = text.substr(*at, end - *at);
    *at = end;
    number.erase(0, std::min(number.find_first_not_of('0'), number.size() - 1));
    return number;
}

// Compares runs of digits by their value and everything else character by character, so that
// ttyS10 comes after ttyS2 and COM10 after COM9.
bool CountedBefore(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            const std::string numberA = TakeNumber(a, &i);
            const std::string numberB = TakeNumber(b, &j);
            // Without leading zeros, the longer number is the larger.
            if (numberA.size() != numberB.size()) {
                return numberA.size() < numberB.size();
            }
            if (numberA != numberB) {
                return numberA < numberB;
            }
        } else if (a[i] != b[j]) {
            return a[i] < b[j];
        } else {
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// Between a port's name and what it is, in the port listing.
constexpr size_t NAME_GAP = 3;

std::string Lowered(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// A USB ID as lsusb and Device Manager show it: four lower-case hex digits.
std::string HexId(uint16_t id) {
    char text[5];
    std::snprintf(text, sizeof(text), "%04x", static_cast<unsigned>(id));
    return text;
}

// An adapter names itself: what it says must not move the operator's cursor or change the
// terminal, so every control character shows as '?'.
std::string Printable(const std::string& name) {
    std::string shown;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        shown += byte < 0x20 || byte == 0x7f ? '?' : c;
    }
    const size_t first = shown.find_first_not_of(' ');
    return first == shown.npos ? "" : shown.substr(first, shown.find_last_not_of(' ') - first + 1);
}

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
        ConsoleLine(OpenFailureText(code, PortName).c_str());
        if (code == OPEN_NO_SUCH_DEVICE) {
            for (const std::string& line : UnportedAdapterLines()) {
                ConsoleNote("%s\n", line.c_str());
            }
        }
        std::exit(1);
    }
}

std::string OpenFailureText(int code, const std::string& portName) {
    const std::string hint = SerialOpenHint(code, portName);
    const std::string text = SerialErrorText(code);
    return hint.empty() ? text : text + " - " + hint;
}

std::string PortListText(const std::vector<std::string>& ports) {
    if (ports.empty()) {
        return "no serial ports found on this machine";
    }
    std::string text = "serial ports on this machine: " + ports[0];
    for (size_t i = 1; i < ports.size(); ++i) {
        text += ", " + ports[i];
    }
    return text;
}

void OrderPorts(std::vector<SerialPortInfo>* ports) {
    std::stable_sort(ports->begin(), ports->end(),
                     [](const SerialPortInfo& a, const SerialPortInfo& b) {
                         const bool usbA = a.Kind == PortKind::USB_ADAPTER;
                         const bool usbB = b.Kind == PortKind::USB_ADAPTER;
                         return usbA != usbB ? usbA : CountedBefore(a.Name, b.Name);
                     });
    ports->erase(std::unique(ports->begin(), ports->end(),
                             [](const SerialPortInfo& a, const SerialPortInfo& b) {
                                 return a.Name == b.Name;
                             }),
                 ports->end());
}

std::vector<SerialPortInfo> PresentSerialPorts() {
    std::vector<SerialPortInfo> ports = SerialListPorts();
    OrderPorts(&ports);
    return ports;
}

std::vector<std::string> PresentPortNames() {
    std::vector<std::string> names;
    for (const SerialPortInfo& port : PresentSerialPorts()) {
        names.push_back(port.Name);
    }
    return names;
}

std::string PortDescription(const SerialPortInfo& port) {
    std::string text;
    if (port.Kind == PortKind::USB_ADAPTER) {
        text = "USB serial adapter " + HexId(port.VendorId) + ":" + HexId(port.ProductId);
        for (const std::string* name : {&port.Maker, &port.Product}) {
            const std::string shown = Printable(*name);
            text += shown.empty() ? "" : " " + shown;
        }
        const std::string serial = Printable(port.Serial);
        text += serial.empty() ? "" : ", serial " + serial;
        if (port.LatencyMs != LATENCY_UNKNOWN) {
            text += ", latency timer " + std::to_string(port.LatencyMs) + " ms";
        }
    } else if (port.Kind == PortKind::BUILT_IN) {
        text = "built-in serial port";
    } else {
        text = Printable(port.Driver);
        text = text.empty() ? "serial port" : text;
    }
    return port.StableName.empty() ? text : text + " (" + port.StableName + ")";
}

std::vector<std::string> PortListLines(const std::vector<SerialPortInfo>& ports) {
    size_t width = 0;
    for (const SerialPortInfo& port : ports) {
        width = std::max(width, port.Name.size());
    }
    std::vector<std::string> lines;
    for (const SerialPortInfo& port : ports) {
        std::string line = port.Name;
        line.resize(width + NAME_GAP, ' ');
        lines.push_back(line + PortDescription(port));
    }
    return lines;
}

bool IsUsbSelector(const std::string& portName) {
    return Lowered(portName) == "usb" || Lowered(portName.substr(0, 4)) == "usb:";
}

std::vector<SerialPortInfo> MatchUsbAdapters(const std::vector<SerialPortInfo>& ports,
                                             const std::string& selector) {
    const std::string text = selector.size() > 4 ? Lowered(selector.substr(4)) : "";
    std::vector<SerialPortInfo> matched;
    for (const SerialPortInfo& port : ports) {
        if (port.Kind != PortKind::USB_ADAPTER) {
            continue;
        }
        const std::string serial = Lowered(port.Serial);
        const bool serialEnds = serial.size() >= text.size() &&
                                serial.compare(serial.size() - text.size(), text.size(), text) == 0;
        const bool ids = text == HexId(port.VendorId) + ":" + HexId(port.ProductId);
        if (text.empty() || ids || (!serial.empty() && serialEnds)) {
            matched.push_back(port);
        }
    }
    return matched;
}

bool IsUsbSerialChip(uint16_t vendorId, uint16_t productId) {
    struct ChipIds {
        uint16_t Vendor;
        uint16_t Product;
    };
    static const ChipIds CHIPS[] = {
        {0x0403, 0x6001}, {0x0403, 0x6010}, {0x0403, 0x6011}, {0x0403, 0x6014}, // FTDI
        {0x0403, 0x6015}, {0x1a86, 0x7523}, {0x1a86, 0x5523}, {0x1a86, 0x55d4}, // CH34x, CH9102
        {0x10c4, 0xea60}, {0x10c4, 0xea70}, {0x067b, 0x2303}, {0x067b, 0x23a3}, // CP210x, PL2303
    };
    for (const ChipIds& chip : CHIPS) {
        if (chip.Vendor == vendorId && chip.Product == productId) {
            return true;
        }
    }
    return false;
}

std::string ChipMaker(uint16_t vendorId) {
    switch (vendorId) {
    case 0x0403:
        return "FTDI";
    case 0x1a86:
        return "WCH";
    case 0x10c4:
        return "Silicon Labs";
    case 0x067b:
        return "Prolific";
    default:
        return "";
    }
}

namespace {

std::string ModuleText(const UnportedAdapter& adapter) {
    const std::string& name = adapter.Module;
    switch (adapter.ModuleWhere) {
    case ModuleState::LOADED:
        return "module " + name + " is loaded but does not take this adapter";
    case ModuleState::ON_DISK:
        return "module " + name + " not loaded; it is under " + adapter.ModulesDir +
               ": sudo modprobe " + name + ", then plug the adapter in again";
    case ModuleState::MISSING:
        break;
    }
    return "module " + name + " not present under " + adapter.ModulesDir +
           ": install the kernel's extra modules package, or a driver from the chip's maker";
}

} // namespace

std::string UnportedAdapterLine(const UnportedAdapter& adapter) {
    SerialPortInfo port;
    port.Kind = PortKind::USB_ADAPTER;
    port.VendorId = adapter.VendorId;
    port.ProductId = adapter.ProductId;
    port.Maker = adapter.Maker;
    port.Product = adapter.Product;
    port.Serial = adapter.Serial;
    const std::string name = PortDescription(port);
    switch (adapter.Reason) {
    case PortlessReason::CLAIMED_BY_BRLTTY:
        return name + " is claimed by brltty (a braille display service): sudo apt remove brltty, "
                      "or disable its udev rule, then plug the adapter in again";
    case PortlessReason::HELD_THROUGH_USBFS:
        return name + " is held by a program through usbfs, not as a serial port: close that "
                      "program, then plug the adapter in again";
    case PortlessReason::PROBLEM_CODE: {
        const std::string maker = ChipMaker(adapter.VendorId);
        return name + " has no working driver (Device Manager shows code " +
               std::to_string(adapter.ProblemCode) + "): install the chip maker's driver" +
               (maker.empty() ? "" : " (" + maker + ")");
    }
    case PortlessReason::NO_VCP:
        return name + " has no COM port: in Device Manager, the adapter's Advanced properties, "
                      "tick Load VCP";
    case PortlessReason::NO_DRIVER:
        break;
    }
    return name + " has no driver in this kernel (" + ModuleText(adapter) + ")";
}

std::vector<std::string> UnportedAdapterLines() {
    std::vector<std::string> lines;
    for (const UnportedAdapter& adapter : SerialListUnportedAdapters()) {
        lines.push_back(UnportedAdapterLine(adapter));
    }
    return lines;
}
