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

// ---- Adapters plugged in without a tty ----

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// The USB device directories that some tty sits under.
std::vector<std::string> TtyDevices() {
    std::vector<std::string> devices;
    for (const std::string& name : Entries(PortSearchRoot + "/sys/class/tty")) {
        const std::string device = Resolved(PortSearchRoot + "/sys/class/tty/" + name + "/device");
        if (!device.empty()) {
            devices.push_back(device + "/");
        }
    }
    return devices;
}

bool HasTty(const std::string& usbDevice, const std::vector<std::string>& ttyDevices) {
    const std::string prefix = usbDevice + "/";
    for (const std::string& device : ttyDevices) {
        if (device.compare(0, prefix.size(), prefix) == 0) {
            return true;
        }
    }
    return false;
}

// brltty takes CH340 and CP210x adapters for braille displays through usbfs, installed by its udev
// rule or running.
bool BrlttyPresent() {
    const std::string& root = PortSearchRoot;
    if (Exists(root + "/usr/bin/brltty") || Exists(root + "/bin/brltty")) {
        return true;
    }
    for (const char* dir : {"/usr/lib/udev/rules.d", "/etc/udev/rules.d"}) {
        for (const std::string& name : Entries(root + dir)) {
            if (name.find("brltty") != name.npos) {
                return true;
            }
        }
    }
    for (const std::string& process : Entries(root + "/proc")) {
        if (process.find_first_not_of("0123456789") == process.npos &&
            ReadText(root + "/proc/" + process + "/comm") == "brltty") {
            return true;
        }
    }
    return false;
}

// The module that serves the chip, under the name modprobe takes.
std::string ModuleFor(uint16_t vendorId, uint16_t productId, bool cdcAcm) {
    if (cdcAcm || (vendorId == 0x1a86 && productId == 0x55d4)) {
        return "cdc_acm";
    }
    switch (vendorId) {
    case 0x0403:
        return "ftdi_sio";
    case 0x1a86:
        return "ch341";
    case 0x10c4:
        return "cp210x";
    default:
        return "pl2303";
    }
}

// Module files name it with '-' or '_' (cdc-acm.ko for cdc_acm), compressed or not.
bool IsModuleFile(std::string file, const std::string& module) {
    const size_t dot = file.find(".ko");
    if (dot == file.npos) {
        return false;
    }
    file.erase(dot);
    std::replace(file.begin(), file.end(), '-', '_');
    return file == module;
}

// Loaded, on disk under the running kernel's modules, or neither; built into the kernel counts as
// loaded.
ModuleState FindModule(const std::string& module, const std::string& modulesDir) {
    if (Exists(PortSearchRoot + "/sys/module/" + module)) {
        return ModuleState::LOADED;
    }
    const std::string dir = PortSearchRoot + modulesDir;
    if (FILE* builtin = std::fopen((dir + "/modules.builtin").c_str(), "r")) {
        char line[512];
        bool found = false;
        while (!found && std::fgets(line, sizeof(line), builtin) != nullptr) {
            found = IsModuleFile(LastPart(line), module);
        }
        std::fclose(builtin);
        if (found) {
            return ModuleState::LOADED;
        }
    }
    for (const char* sub : {"/kernel/drivers/usb/serial", "/kernel/drivers/usb/class"}) {
        for (const std::string& file : Entries(dir + sub)) {
            if (IsModuleFile(file, module)) {
                return ModuleState::ON_DISK;
            }
        }
    }
    return ModuleState::MISSING;
}

// What holds the serial interfaces of a USB device, and whether one is CDC-ACM (class 02,
// subclass 02).
struct Interfaces {
    bool CdcAcm = false;
    bool Usbfs = false;
    bool Driverless = true; // no serial interface has a driver
};

// A chip's interfaces are all serial ones; of any other device, only its CDC ones (communications,
// class 02, and data, class 0a) are: a board's mass storage may have its driver while its CDC-ACM
// interface has none.
Interfaces ReadInterfaces(const std::string& device, const std::string& name, bool serialChip) {
    Interfaces found;
    for (const std::string& entry : Entries(device)) {
        if (entry.compare(0, name.size() + 1, name + ":") != 0) {
            continue;
        }
        const std::string interface = device + "/" + entry;
        const std::string interfaceClass = ReadText(interface + "/bInterfaceClass");
        const bool cdcAcm =
            interfaceClass == "02" && ReadText(interface + "/bInterfaceSubClass") == "02";
        found.CdcAcm = found.CdcAcm || cdcAcm;
        const std::string driver = Resolved(interface + "/driver");
        if (!driver.empty() && (serialChip || interfaceClass == "02" || interfaceClass == "0a")) {
            found.Driverless = false;
            found.Usbfs = found.Usbfs || LastPart(driver) == "usbfs";
        }
    }
    return found;
}

std::vector<UnportedAdapter> ListUnportedAdapters() {
    const std::vector<std::string> ttyDevices = TtyDevices();
    const std::string modulesDir =
        "/lib/modules/" + ReadText(PortSearchRoot + "/proc/sys/kernel/osrelease");
    std::vector<UnportedAdapter> adapters;
    const std::string bus = PortSearchRoot + "/sys/bus/usb/devices";
    for (const std::string& name : Entries(bus)) {
        const std::string device = Resolved(bus + "/" + name);
        if (name.find(':') != name.npos || device.empty() || HasTty(device, ttyDevices)) {
            continue;
        }
        UnportedAdapter adapter;
        adapter.VendorId = HexAttribute(device + "/idVendor");
        adapter.ProductId = HexAttribute(device + "/idProduct");
        const bool serialChip = IsUsbSerialChip(adapter.VendorId, adapter.ProductId);
        const Interfaces interfaces = ReadInterfaces(device, name, serialChip);
        if (!interfaces.CdcAcm && !serialChip) {
            continue;
        }
        if (interfaces.Usbfs) {
            adapter.Reason = BrlttyPresent() ? PortlessReason::CLAIMED_BY_BRLTTY
                                             : PortlessReason::HELD_THROUGH_USBFS;
        } else if (interfaces.Driverless) {
            adapter.Reason = PortlessReason::NO_DRIVER;
            adapter.Module = ModuleFor(adapter.VendorId, adapter.ProductId, interfaces.CdcAcm);
            adapter.ModulesDir = modulesDir;
            adapter.ModuleWhere = FindModule(adapter.Module, modulesDir);
        } else {
            continue; // a driver has it and may yet make its tty
        }
        adapter.Maker = ReadText(device + "/manufacturer");
        adapter.Product = ReadText(device + "/product");
        adapter.Serial = ReadText(device + "/serial");
        adapters.push_back(adapter);
    }
    return adapters;
}

} // namespace

std::vector<UnportedAdapter> SerialListUnportedAdapters() {
    return ListUnportedAdapters();
}

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
