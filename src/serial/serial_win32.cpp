// The serial link on Windows: the communications API on a file handle, with the unit's read
// time-outs kept over short reads (COMMTIMEOUTS), and the hints for a port that would not open.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "console/process.h"
#include "serial/serial.h"

struct SerialPort {
    HANDLE Handle;
    HANDLE Claim;          // held while the port is open; see ClaimPort
    SerialTimeouts Unit;   // the unit's read time-outs, kept by SerialRead over its slices
    COMMTIMEOUTS Driver{}; // what the driver has now; see ReadSlice
    DCB OwnState{};        // the line as the port had it before the open, given back at close
    COMMTIMEOUTS OwnTimeouts{};
    bool WriteFailed = false; // the line took no more bytes: nothing is waited for at close
};

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// No ReadFile waits longer than this: a console control handler cannot end a ReadFile that is
// waiting (Wine's CancelSynchronousIo finds none to cancel), so the main thread must come back
// often enough to see an interrupt at once, even while the unit is silent for its ten seconds.
// Longer than the interval between bytes, so that the driver still ends a read 150 ms after its
// last byte; an echo that comes at once is still one ReadFile.
constexpr DWORD READ_SLICE_MS = 200;
// The end marker is two bytes, a few milliseconds at 19200 baud: a line that has not taken them
// in this long has stopped taking anything.
constexpr DWORD DRAIN_LIMIT_MS = 1000;
constexpr DWORD DRAIN_POLL_MS = 5;
// How early or late the driver's timer may fire: a ReadFile that ends this much before its slice
// was ended by the interval, not by the slice.
constexpr DWORD DRIVER_TIMER_SLACK_MS = 30;

DWORD LastError = 0;

int Fail(DWORD code) {
    LastError = code;
    return 1;
}

void ApplyLineSettings(HANDLE handle, DCB* dcb) {
    dcb->BaudRate = CBR_19200;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->fDtrControl = DTR_CONTROL_DISABLE;
    dcb->fTXContinueOnXoff = FALSE;
    dcb->fAbortOnError = FALSE;
    // Every byte is data, whatever a program before left in the port: a 0x11 or 0x13 of the
    // firmware or of its echo is no XON/XOFF, a 0x00 is not dropped, nothing is replaced or
    // checked for parity, and DSR does not decide what is received. Hardware flow control stays
    // as the port had it.
    dcb->fBinary = TRUE;
    dcb->fParity = FALSE;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fNull = FALSE;
    dcb->fErrorChar = FALSE;
    dcb->fDsrSensitivity = FALSE;
    SetCommState(handle, dcb);
}

// The driver keeps the interval between bytes; a read's whole time, which may be ten seconds,
// is cut into slices (ReadSlice). A write is cut the same way, so that a line that takes no byte
// (hardware flow control held off, a driver that stalls) cannot hold a WriteFile for ever and an
// interrupt is still seen; SerialWrite gives up when no byte went for a read's time-out. False,
// with the driver's code, when the port refuses them: every wait of the update depends on them.
bool ApplyTimeouts(HANDLE handle, const COMMTIMEOUTS& own, COMMTIMEOUTS* applied) {
    COMMTIMEOUTS timeouts = own;
    timeouts.ReadIntervalTimeout = SerialReadTimeouts().IntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = READ_SLICE_MS;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = READ_SLICE_MS;
    if (!SetCommTimeouts(handle, &timeouts)) {
        return false;
    }
    *applied = timeouts;
    return true;
}

// Some drivers end a WriteFile whose time-out ran out as a failure, with one of these codes, where
// others report it as a success that wrote fewer bytes.
bool SliceRanOut(DWORD code) {
    return code == ERROR_TIMEOUT || code == ERROR_SEM_TIMEOUT;
}

// The line's settings and time-outs as they were before the open. On a line that is gone the
// calls fail, and there is nothing left to give back.
void GiveBack(HANDLE handle, DCB state, COMMTIMEOUTS timeouts) {
    SetCommTimeouts(handle, &timeouts);
    SetCommState(handle, &state);
}

// The next ReadFile waits at most `ms` in all. Only a slice shorter than the usual one, at the end
// of a read's time, costs a call to the driver.
bool ReadSlice(SerialPort* port, DWORD ms) {
    if (port->Driver.ReadTotalTimeoutConstant == ms) {
        return true;
    }
    COMMTIMEOUTS timeouts = port->Driver;
    timeouts.ReadTotalTimeoutConstant = ms;
    if (!SetCommTimeouts(port->Handle, &timeouts)) {
        return false;
    }
    port->Driver = timeouts;
    return true;
}

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

// Windows' own serial drivers refuse a second open of a port, but Wine and some virtual COM port
// drivers let it through, and the unit's echoes then go to whichever program reads first. A named
// mutex per device stops a second brelwick everywhere, across sessions too. Returns the claim, or
// null with the code to report: ERROR_ACCESS_DENIED when another brelwick holds the port, which is
// what Windows answers for a port that is already open.
HANDLE ClaimPort(const std::string& devicePath, DWORD* code) {
    // Device names are not case sensitive, and a backslash would end the mutex's name.
    std::string name = "Global\\brelwick-port-";
    for (const char c : devicePath) {
        if (c == '\\') {
            name += '/';
        } else if (c >= 'a' && c <= 'z') {
            name += static_cast<char>(c - 'a' + 'A');
        } else {
            name += c;
        }
    }
    HANDLE claim = CreateMutexA(nullptr, FALSE, name.c_str());
    if (claim == nullptr) {
        *code = GetLastError();
        return nullptr;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim);
        *code = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return claim;
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

std::string SerialOpenHint(int code, const std::string& portName) {
    switch (static_cast<DWORD>(code)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return PortListText(PresentPortNames());
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_HANDLE:
        // What GetCommState gives a device without line settings (NUL, a disk).
        return portName + " is not a serial port; " + PortListText(PresentPortNames());
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        // Ports are opened unshared, so a port that another program has open is refused so.
        return "another program holds the port; close it and try again";
    case ERROR_GEN_FAILURE:
        // USB serial adapters answer so when their driver has lost them.
        return "the adapter does not answer; unplug it, plug it back in and try again";
    default:
        return "";
    }
}

std::string MakeDevicePath(const std::string& portName) {
    // Names from COM10 up open only through the device namespace.
    return "\\\\.\\" + portName;
}

int SerialOpen(const std::string& devicePath, SerialPort** port) {
    // Claimed before the open, so that a port another brelwick holds is not even touched.
    DWORD claimCode = 0;
    HANDLE claim = ClaimPort(devicePath, &claimCode);
    if (claim == nullptr) {
        return static_cast<int>(claimCode);
    }
    HANDLE handle = CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        CloseHandle(claim);
        return static_cast<int>(code);
    }
    // "\\.\" also reaches volumes and disks. Whatever has no line settings is not a serial port,
    // and the protocol must never be written to it.
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(handle, &dcb)) {
        const DWORD code = GetLastError();
        CloseHandle(handle);
        CloseHandle(claim);
        return static_cast<int>(code != 0 ? code : ERROR_INVALID_FUNCTION);
    }
    COMMTIMEOUTS ownTimeouts{};
    GetCommTimeouts(handle, &ownTimeouts);
    const DCB ownState = dcb;
    ApplyLineSettings(handle, &dcb);
    COMMTIMEOUTS applied{};
    if (!ApplyTimeouts(handle, ownTimeouts, &applied)) {
        const DWORD code = GetLastError();
        GiveBack(handle, ownState, ownTimeouts);
        CloseHandle(handle);
        CloseHandle(claim);
        return static_cast<int>(code != 0 ? code : ERROR_INVALID_FUNCTION);
    }
    *port = new SerialPort{handle, claim, SerialReadTimeouts(), applied, ownState, ownTimeouts};
    return 0;
}

// A WriteFile may take fewer bytes than asked, when its time-out (one slice) runs out first: the
// rest goes in the next. No byte taken for as long as a read of them may wait is a line that is
// gone, and it ends the update as one.
int SerialWrite(SerialPort* port, const uint8_t* bytes, size_t count) {
    const SerialTimeouts& unit = port->Unit;
    const Milliseconds patience(unit.ConstantMs + static_cast<uint64_t>(unit.PerByteMs) * count);
    Clock::time_point stalled = Clock::now() + patience;
    size_t sent = 0;
    while (sent < count) {
        if (Interrupted()) {
            return Fail(ERROR_OPERATION_ABORTED);
        }
        DWORD written = 0;
        if (!WriteFile(port->Handle, bytes + sent, static_cast<DWORD>(count - sent), &written,
                       nullptr) &&
            !SliceRanOut(GetLastError())) {
            port->WriteFailed = true;
            return Fail(GetLastError());
        }
        sent += written;
        const Clock::time_point now = Clock::now();
        if (written > 0) {
            stalled = now + patience;
        } else if (now >= stalled) {
            port->WriteFailed = true;
            return Fail(ERROR_TIMEOUT);
        }
    }
    LastError = 0;
    return 0;
}

// The unit's time-outs over slices of at most READ_SLICE_MS: the whole read ends ConstantMs +
// PerByteMs * count after it began, or IntervalMs after its last byte, on the monotonic clock. An
// interrupt is looked at between the slices.
int SerialRead(SerialPort* port, uint8_t* buffer, size_t count, size_t* brought) {
    *brought = 0;
    const SerialTimeouts& unit = port->Unit;
    const Clock::time_point total =
        Clock::now() +
        Milliseconds(unit.ConstantMs + static_cast<uint64_t>(unit.PerByteMs) * count);
    Clock::time_point deadline = total;
    while (*brought < count) {
        if (Interrupted()) {
            return Fail(ERROR_OPERATION_ABORTED);
        }
        const auto left = std::chrono::ceil<Milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        const DWORD slice = static_cast<DWORD>(std::min<long long>(READ_SLICE_MS, left));
        if (!ReadSlice(port, slice)) {
            return Fail(GetLastError());
        }
        const Clock::time_point began = Clock::now();
        DWORD got = 0;
        const BOOL ok = ReadFile(port->Handle, buffer + *brought,
                                 static_cast<DWORD>(count - *brought), &got, nullptr);
        *brought += got;
        if (!ok) {
            return Fail(GetLastError());
        }
        if (got == 0) {
            continue;
        }
        const Clock::time_point ended = Clock::now();
        deadline = std::min(total, ended + Milliseconds(unit.IntervalMs));
        // Bytes came, and the ReadFile ended well before its slice: the driver saw the interval
        // pass after the last of them, and the read is over.
        if (ended - began + Milliseconds(DRIVER_TIMER_SLACK_MS) < Milliseconds(slice)) {
            break;
        }
    }
    LastError = 0;
    return 0;
}

int SerialDiscardInput(SerialPort* port) {
    if (!PurgeComm(port->Handle, PURGE_RXCLEAR)) {
        return Fail(GetLastError());
    }
    LastError = 0;
    return 0;
}

namespace {

// Waits, a bounded time, for the driver to have sent what it holds. FlushFileBuffers would wait
// for as long as the line takes nothing, with no time-out and no interrupt to end it.
void DrainOutput(HANDLE handle) {
    const Clock::time_point deadline = Clock::now() + Milliseconds(DRAIN_LIMIT_MS);
    for (;;) {
        DWORD errors = 0;
        COMSTAT state{};
        if (!ClearCommError(handle, &errors, &state) || state.cbOutQue == 0 ||
            Clock::now() >= deadline) {
            return;
        }
        Sleep(DRAIN_POLL_MS);
    }
}

} // namespace

void SerialClose(SerialPort* port) {
    // The last bytes written leave with the settings they were written under.
    if (!port->WriteFailed) {
        DrainOutput(port->Handle);
    }
    GiveBack(port->Handle, port->OwnState, port->OwnTimeouts);
    CloseHandle(port->Handle);
    CloseHandle(port->Claim);
    delete port;
}

int SerialLastError() {
    return static_cast<int>(LastError);
}

bool SerialLineGone(int code) {
    // What a USB serial adapter's driver answers once the adapter has been pulled out.
    switch (static_cast<DWORD>(code)) {
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
    // What SerialWrite says of a line that took no byte for a read's time-out.
    case ERROR_TIMEOUT:
        return true;
    default:
        return false;
    }
}

std::string SerialErrorText(int code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length != 0 && text != nullptr ? std::string(text, length) : "";
    LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                               result.back() == ' ' || result.back() == '.')) {
        result.pop_back();
    }
    return result.empty() ? "Unknown error " + std::to_string(code) : result;
}

void SerialPause(unsigned ms) {
    Sleep(ms);
}
