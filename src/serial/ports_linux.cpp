// The serial ports of a Linux system, from sysfs and udev's /dev/serial/by-id: what each one is,
// its stable name and its adapter's latency timer, read without opening anything.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "serial/ports_posix.h"
#include "serial/serial.h"

namespace {

// The first line of a sysfs attribute, "" when there is none.
std::string ReadText(const std::string& path) {
    std::string text;
    if (FILE* file = std::fopen(path.c_str(), "r")) {
        char line[256];
        if (std::fgets(line, sizeof(line), file) != nullptr) {
            text = line;
        }
        std::fclose(file);
    }
    text.erase(std::min(text.find('\n'), text.size()));
    return text;
}

// The USB device above a tty's device in sysfs: the first directory up that holds idVendor.
std::string UsbDeviceAbove(const std::string& device) {
    const std::string top = Resolved(PortSearchRoot + "/sys/devices");
    std::string dir = device;
    while (!top.empty() && dir.size() > top.size() && dir.compare(0, top.size(), top) == 0) {
        struct stat info {};
        if (stat((dir + "/idVendor").c_str(), &info) == 0) {
            return dir;
        }
        dir.erase(dir.rfind('/'));
    }
    return "";
}

uint16_t HexAttribute(const std::string& path) {
    return static_cast<uint16_t>(std::strtoul(ReadText(path).c_str(), nullptr, 16));
}

// udev's stable names, by the tty each one leads to; the first in order when there are several, a
// by-id name before a Raspberry Pi's serial0.
std::map<std::string, std::string> StableNames() {
    std::map<std::string, std::string> names;
    const std::string dir = "/dev/serial/by-id";
    for (const std::string& name : Entries(PortSearchRoot + dir)) {
        const std::string target = Resolved(PortSearchRoot + dir + "/" + name);
        if (!target.empty()) {
            names.emplace(LastPart(target), dir + "/" + name);
        }
    }
    // Raspberry Pi OS names the UART on the GPIO header /dev/serial0, and the other one
    // /dev/serial1, whichever tty is behind each on that model.
    for (const std::string& name : Entries(PortSearchRoot + "/dev")) {
        if (name.size() > 6 && name.compare(0, 6, "serial") == 0 &&
            name.find_first_not_of("0123456789", 6) == name.npos) {
            const std::string target = Resolved(PortSearchRoot + "/dev/" + name);
            if (!target.empty()) {
                names.emplace(LastPart(target), "/dev/" + name);
            }
        }
    }
    return names;
}

// Every tty with a device behind it and a node in /dev: consoles, pseudo-terminals and the
// terminal itself have no device. ttyS0 to ttyS31 are there whether a UART is behind them or not;
// without one their UART type reads 0.
std::vector<SerialPortInfo> ListPorts() {
    const std::map<std::string, std::string> stable = StableNames();
    std::vector<SerialPortInfo> ports;
    for (const std::string& name : Entries(PortSearchRoot + "/sys/class/tty")) {
        const std::string tty = PortSearchRoot + "/sys/class/tty/" + name;
        const std::string device = Resolved(tty + "/device");
        struct stat node {};
        if (device.empty() || stat((PortSearchRoot + "/dev/" + name).c_str(), &node) != 0) {
            continue;
        }
        SerialPortInfo port;
        port.Name = name;
        const std::string usb = UsbDeviceAbove(device);
        const std::string uartType = ReadText(tty + "/type");
        if (!usb.empty()) {
            port.Kind = PortKind::USB_ADAPTER;
            port.VendorId = HexAttribute(usb + "/idVendor");
            port.ProductId = HexAttribute(usb + "/idProduct");
            port.Maker = ReadText(usb + "/manufacturer");
            port.Product = ReadText(usb + "/product");
            port.Serial = ReadText(usb + "/serial");
            port.LatencyMs = ReadAttribute(tty + "/device/latency_timer");
        } else if (uartType == "0") {
            continue;
        } else if (!uartType.empty()) {
            port.Kind = PortKind::BUILT_IN;
        } else {
            port.Driver = LastPart(Resolved(tty + "/device/driver"));
        }
        const auto link = stable.find(name);
        port.StableName = link != stable.end() ? link->second : "";
        ports.push_back(port);
    }
    return ports;
}

} // namespace

// Only root may write the timer, and the driver forgets it when the adapter is unplugged: a udev
// rule sets it each time the adapter comes.
std::string LatencyRemedy(const std::string& attribute, int timerMs) {
    if (timerMs == LATENCY_UNKNOWN) {
        return "The adapter shows no latency timer to set (brelwick asked its driver for "
               "low-latency mode). An adapter with a CP210x or CH340 chip, or an FTDI one, whose "
               "timer Linux sets to 1 ms, answers sooner.";
    }
    return "To set it to 1 ms until the adapter is unplugged: echo 1 | sudo tee " + attribute +
           ". To set it each time the adapter is plugged in, put this udev rule in "
           "/etc/udev/rules.d/99-usb-serial-latency.rules: ACTION==\"add\", "
           "SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", ATTR{latency_timer}=\"1\"";
}

std::vector<SerialPortInfo> SerialListPorts() {
    return ListPorts();
}

std::vector<std::string> PortNameHelp() {
    return {
        "  ttyUSB0       a USB serial adapter (opens /dev/ttyUSB0)",
        "  ttyACM0       a USB CDC device",
        "  ttyS0         a built-in port",
        "  /dev/serial/by-id/...  the same adapter whichever number it got",
    };
}
