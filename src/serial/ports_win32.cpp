// The COM ports of a Windows system, from the registry: SERIALCOMM for the ports present, the Enum
// tree for what each one is and its adapter's latency timer; and from SetupAPI, the USB serial
// adapters present that have no COM port. Read only; no administrator needed.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

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

// ---- Adapters plugged in without a COM port ----

// A list of strings (the compatible IDs) as one text, its strings apart by '\n'.
std::string MultiText(const char* data, size_t length) {
    std::string text(data, length);
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    std::replace(text.begin(), text.end(), '\0', '\n');
    return text;
}

// A device node's registry property as text.
std::string NodeProperty(DEVINST node, ULONG property) {
    char data[1024] = {};
    ULONG length = sizeof(data) - 2;
    ULONG type = 0;
    if (CM_Get_DevNode_Registry_PropertyA(node, property, &type, data, &length, 0) != CR_SUCCESS) {
        return "";
    }
    return MultiText(data, std::min<size_t>(length, sizeof(data) - 2));
}

// The same, read through SetupAPI, for a device of the list.
std::string DeviceProperty(HDEVINFO devices, SP_DEVINFO_DATA* device, DWORD property) {
    char data[1024] = {};
    DWORD length = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(devices, device, property, nullptr,
                                           reinterpret_cast<BYTE*>(data), sizeof(data) - 2,
                                           &length)) {
        return "";
    }
    return MultiText(data, std::min<size_t>(length, sizeof(data) - 2));
}

std::string NodeId(DEVINST node) {
    char id[MAX_DEVICE_ID_LEN + 1] = {};
    return CM_Get_Device_IDA(node, id, sizeof(id) - 1, 0) == CR_SUCCESS ? id : "";
}

bool NodeHasPortName(DEVINST node) {
    HKEY key = nullptr;
    if (CM_Open_DevNode_Key(node, KEY_READ, 0, RegDisposition_OpenExisting, &key,
                            CM_REGISTRY_HARDWARE) != CR_SUCCESS) {
        return false;
    }
    const bool named = !RegString(key, "PortName").empty();
    RegCloseKey(key);
    return named;
}

// The yellow mark of Device Manager: the code it shows, 0 when there is none.
int NodeProblem(DEVINST node) {
    ULONG status = 0;
    ULONG problem = 0;
    if (CM_Get_DevNode_Status(&status, &problem, node, 0) != CR_SUCCESS ||
        (status & DN_HAS_PROBLEM) == 0) {
        return 0;
    }
    return static_cast<int>(problem);
}

bool HasText(std::string text, std::string part) {
    CharUpperBuffA(&text[0], static_cast<DWORD>(text.size()));
    CharUpperBuffA(&part[0], static_cast<DWORD>(part.size()));
    return text.find(part) != text.npos;
}

// What a USB device and the nodes under it (its interfaces, FTDIBUS's port) show.
struct NodeFacts {
    bool Port = false;
    bool CdcAcm = false;
    int Problem = 0;
};

const char* const CDC_ACM_ID = "USB\\Class_02&SubClass_02";

void AddFacts(DEVINST node, NodeFacts* facts) {
    facts->Port = facts->Port || NodeHasPortName(node);
    facts->CdcAcm = facts->CdcAcm || HasText(NodeProperty(node, CM_DRP_COMPATIBLEIDS), CDC_ACM_ID);
    facts->Problem = facts->Problem != 0 ? facts->Problem : NodeProblem(node);
}

// The nodes under a USB device that belong to it carry its IDs: USB\VID_1A86&PID_7523&MI_00\...,
// FTDIBUS\VID_0403+PID_6001+A50285BIA\0000. The check also keeps out a node that a configuration
// manager without a device tree (Wine's) gives as every device's child.
void GatherBelow(DEVINST node, const UnportedAdapter& ids, int depth, NodeFacts* facts) {
    DEVINST child = 0;
    if (depth == 0 || CM_Get_Child(&child, node, 0) != CR_SUCCESS) {
        return;
    }
    // However many siblings a broken tree reports, a USB device has at most 255 interfaces.
    for (int sibling = 0; sibling < 256; ++sibling) {
        const std::string id = NodeId(child);
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        if (child == node || !HexAfter(id, "VID_", &vendorId) || vendorId != ids.VendorId ||
            !HexAfter(id, "PID_", &productId) || productId != ids.ProductId) {
            return;
        }
        AddFacts(child, facts);
        GatherBelow(child, ids, depth - 1, facts);
        if (CM_Get_Sibling(&child, child, 0) != CR_SUCCESS) {
            return;
        }
    }
}

// Why a USB device with a serial chip or a CDC-ACM interface has no COM port; false when it has
// one, or when nothing shows why.
bool WhyNoPort(const NodeFacts& facts, UnportedAdapter* adapter) {
    if (facts.Port) {
        return false;
    }
    if (facts.Problem != 0) {
        adapter->Reason = PortlessReason::PROBLEM_CODE;
        adapter->ProblemCode = facts.Problem;
        return true;
    }
    // FTDI's driver makes a COM port only with its Load VCP option ticked.
    adapter->Reason = PortlessReason::NO_VCP;
    return adapter->VendorId == 0x0403;
}

std::vector<UnportedAdapter> ListUnportedAdapters() {
    std::vector<UnportedAdapter> adapters;
    HDEVINFO devices =
        SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return adapters;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        // USB\VID_1A86&PID_7523\5&2A1B3C4D&0&2; a composite device's interfaces (&MI_00) are
        // looked at under the device itself.
        const std::string id = NodeId(device.DevInst);
        UnportedAdapter adapter;
        if (HasText(id, "&MI_") || !HexAfter(id, "VID_", &adapter.VendorId) ||
            !HexAfter(id, "PID_", &adapter.ProductId)) {
            continue;
        }
        NodeFacts facts;
        AddFacts(device.DevInst, &facts);
        facts.CdcAcm = facts.CdcAcm ||
                       HasText(DeviceProperty(devices, &device, SPDRP_COMPATIBLEIDS), CDC_ACM_ID);
        // Interfaces, then what a driver made of them: a port is at most three levels down.
        GatherBelow(device.DevInst, adapter, 3, &facts);
        const bool serialChip = IsUsbSerialChip(adapter.VendorId, adapter.ProductId);
        if ((!serialChip && !facts.CdcAcm) || !WhyNoPort(facts, &adapter)) {
            continue;
        }
        const std::string instance = id.substr(id.rfind('\\') + 1);
        adapter.Serial = instance.find('&') == instance.npos ? instance : "";
        adapter.Maker = Readable(DeviceProperty(devices, &device, SPDRP_MFG));
        adapter.Product = Readable(DeviceProperty(devices, &device, SPDRP_DEVICEDESC));
        adapters.push_back(adapter);
    }
    SetupDiDestroyDeviceInfoList(devices);
    return adapters;
}

} // namespace

std::vector<UnportedAdapter> SerialListUnportedAdapters() {
    return ListUnportedAdapters();
}

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
