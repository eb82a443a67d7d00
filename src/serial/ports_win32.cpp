// The COM ports of a Windows system, from the registry: SERIALCOMM for the ports present, the Enum
// tree for what each one is and its adapter's latency timer. Read only; no administrator needed.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/serial.h"

namespace {

// A string value of a key, "" when it has none.
std::string RegString(HKEY key, const char* name) {
    char data[512] = {};
    DWORD length = sizeof(data) - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &length) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return "";
    }
    std::string text(data, std::min<DWORD>(length, sizeof(data) - 1));
    text.erase(std::min(text.find('\0'), text.size()));
    return text;
}

// The FTDI driver keeps an adapter's latency timer beside its PortName.
int RegLatencyTimer(HKEY parameters) {
    DWORD value = 0;
    DWORD length = sizeof(value);
    DWORD type = 0;
    if (RegQueryValueExA(parameters, "LatencyTimer", nullptr, &type,
                         reinterpret_cast<BYTE*>(&value), &length) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return LATENCY_UNKNOWN;
    }
    return static_cast<int>(std::min<DWORD>(value, 255));
}

std::vector<std::string> SubKeys(HKEY key, const std::string& path = "") {
    HKEY opened = nullptr;
    if (!path.empty()) {
        if (RegOpenKeyExA(key, path.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
            return {};
        }
        key = opened;
    }
    std::vector<std::string> names;
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof(name);
        const LONG result =
            RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_MORE_DATA) {
            continue; // longer than any device's name
        }
        if (result != ERROR_SUCCESS) {
            break;
        }
        names.push_back(name);
    }
    if (opened != nullptr) {
        RegCloseKey(opened);
    }
    return names;
}

bool SameName(const std::string& a, const std::string& b) {
    return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

// The COM ports present: each serial driver enters the ports it has now under SERIALCOMM, the
// value's name being its device (\Device\VCP0) and its data the name (COM3) that opens it.
struct ComPort {
    std::string Device; // \Device\VCP0
    std::string Name;   // COM3
};

std::vector<ComPort> PresentComPorts() {
    std::vector<ComPort> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameLength = sizeof(name);
        char data[256];
        DWORD dataLength = sizeof(data);
        DWORD type = 0;
        const LONG result = RegEnumValueA(key, index, name, &nameLength, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data), &dataLength);
        if (result == ERROR_MORE_DATA) {
            continue; // too long to be a port name
        }
        if (result != ERROR_SUCCESS) {
            break;
        }
        if (type == REG_SZ) {
            std::string port(data, dataLength);
            port.erase(std::min(port.find('\0'), port.size()));
            if (!port.empty()) {
                ports.push_back(ComPort{std::string(name, nameLength), port});
            }
        }
    }
    RegCloseKey(key);
    return ports;
}

// Mfg, DeviceDesc and FriendlyName may be indirect strings such as "@oem12.inf,%ftdi%;FTDI":
// what a person reads is after the last ';'.
std::string Readable(const std::string& text) {
    return text.substr(text.rfind(';') == text.npos ? 0 : text.rfind(';') + 1);
}

// The four hex digits after "VID_" or "PID_" in a device's name.
bool HexAfter(const std::string& id, const char* tag, uint16_t* value) {
    std::string upper = id;
    CharUpperBuffA(&upper[0], static_cast<DWORD>(upper.size()));
    const size_t at = upper.find(tag);
    if (at == upper.npos || upper.size() < at + 8) {
        return false;
    }
    const std::string digits = upper.substr(at + 4, 4);
    if (digits.find_first_not_of("0123456789ABCDEF") != digits.npos) {
        return false;
    }
    *value = static_cast<uint16_t>(std::strtoul(digits.c_str(), nullptr, 16));
    return true;
}

// What a device key of Enum (enumerator, id, instance) says of its port. For
// USB\VID_0403&PID_6001\A50285BI the instance is the serial number, unless Windows made one up
// (it has '&' in it); for FTDIBUS\VID_0403+PID_6001+A50285BIA\0000 the id ends with the serial
// number and a channel letter.
void Identify(const std::vector<std::string>& names, HKEY device, SerialPortInfo* port) {
    const std::string& enumerator = names[0];
    const std::string& id = names[1];
    const std::string& instance = names[2];
    const std::string service = RegString(device, "Service");
    if (HexAfter(id, "VID_", &port->VendorId) && HexAfter(id, "PID_", &port->ProductId)) {
        port->Kind = PortKind::USB_ADAPTER;
        if (SameName(enumerator, "FTDIBUS")) {
            const size_t plus = id.rfind('+');
            port->Serial = plus != id.npos && id.size() > plus + 2
                               ? id.substr(plus + 1, id.size() - plus - 2)
                               : "";
        } else if (instance.find('&') == instance.npos) {
            port->Serial = instance;
        }
        port->Maker = Readable(RegString(device, "Mfg"));
        port->Product = Readable(RegString(device, "DeviceDesc"));
    } else if (SameName(enumerator, "ACPI") || SameName(service, "Serial")) {
        port->Kind = PortKind::BUILT_IN;
    } else {
        port->Driver = !service.empty() ? service : Readable(RegString(device, "FriendlyName"));
    }
}

// Calls visit({enumerator, id, instance}, key) for every device key under Enum, which holds every
// device Windows has ever seen, unplugged ones too.
template <class Visit> void ForEachEnumDevice(Visit visit) {
    HKEY root = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum", 0, KEY_READ, &root) !=
        ERROR_SUCCESS) {
        return;
    }
    for (const std::string& enumerator : SubKeys(root)) {
        for (const std::string& id : SubKeys(root, enumerator)) {
            const std::string kind = enumerator + "\\" + id;
            for (const std::string& instance : SubKeys(root, kind)) {
                HKEY device = nullptr;
                if (RegOpenKeyExA(root, (kind + "\\" + instance).c_str(), 0, KEY_READ, &device) ==
                    ERROR_SUCCESS) {
                    visit(std::vector<std::string>{enumerator, id, instance}, device);
                    RegCloseKey(device);
                }
            }
        }
    }
    RegCloseKey(root);
}

bool HasSubKey(HKEY key, const char* name) {
    HKEY sub = nullptr;
    if (RegOpenKeyExA(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(sub);
    return true;
}

// A device of Enum whose Device Parameters name a COM port, and what it says of itself. One that
// is running now has a Control key.
struct EnumPort {
    SerialPortInfo Info;
    bool Running;
};

// Every device of Enum that has a port name, in one pass over the tree.
std::vector<EnumPort> PortsInEnum() {
    std::vector<EnumPort> found;
    ForEachEnumDevice([&](const std::vector<std::string>& names, HKEY device) {
        HKEY parameters = nullptr;
        if (RegOpenKeyExA(device, "Device Parameters", 0, KEY_READ, &parameters) != ERROR_SUCCESS) {
            return;
        }
        EnumPort port{};
        port.Info.Name = RegString(parameters, "PortName");
        if (!port.Info.Name.empty()) {
            Identify(names, device, &port.Info);
            port.Info.LatencyMs = RegLatencyTimer(parameters);
            port.Running = HasSubKey(device, "Control");
            found.push_back(port);
        }
        RegCloseKey(parameters);
    });
    return found;
}

// What the device that has the port's name says it is. Several may have it (an adapter unplugged
// long ago may have had the same COM number): one that is running is taken first. False when none
// has it.
bool IdentifyFromEnum(const std::vector<EnumPort>& known, SerialPortInfo* port) {
    const EnumPort* best = nullptr;
    for (const EnumPort& candidate : known) {
        if (SameName(candidate.Info.Name, port->Name) &&
            (best == nullptr || (candidate.Running && !best->Running))) {
            best = &candidate;
        }
    }
    if (best == nullptr) {
        return false;
    }
    const std::string name = port->Name;
    *port = best->Info;
    port->Name = name;
    return true;
}

} // namespace

std::vector<SerialPortInfo> SerialListPorts() {
    std::vector<SerialPortInfo> ports;
    const std::vector<EnumPort> known = PortsInEnum();
    for (const ComPort& entry : PresentComPorts()) {
        SerialPortInfo port;
        port.Name = entry.Name;
        // Windows' own serial driver names its devices \Device\Serial0 and up.
        if (!IdentifyFromEnum(known, &port)) {
            const bool ownDriver = entry.Device.rfind("\\Device\\Serial", 0) == 0;
            port.Kind = ownDriver ? PortKind::BUILT_IN : PortKind::OTHER;
            port.Driver = ownDriver ? "" : entry.Device;
        }
        ports.push_back(port);
    }
    return ports;
}

std::vector<std::string> PortNameHelp() {
    return {
        "  COM3          Device Manager, under \"Ports (COM & LPT)\", shows the number",
    };
}

AdapterLatency SerialAdapterLatency(const std::string& portName) {
    AdapterLatency latency;
    // The FTDI driver keeps the timer beside the port's name, as the port listing reads it. Reading
    // it needs no administrator; nothing here writes.
    SerialPortInfo port;
    port.Name = portName;
    latency.TimerMs = IdentifyFromEnum(PortsInEnum(), &port) ? port.LatencyMs : LATENCY_UNKNOWN;
    // The communications API cannot change it; the driver's own settings page can.
    if (latency.TimerMs != LATENCY_UNKNOWN) {
        latency.Remedy = "To set it to 1 ms: Device Manager, " + portName +
                         " under Ports (COM & LPT), Properties, Port Settings, Advanced, Latency "
                         "Timer (msec).";
    } else {
        latency.Remedy = "Device Manager shows an adapter's latency timer where its driver has "
                         "one: the port under Ports (COM & LPT), Properties, Port Settings, "
                         "Advanced.";
    }
    return latency;
}
