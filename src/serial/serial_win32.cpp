// The serial link on Windows: the communications API on a file handle, with the unit's read
// time-outs kept over short reads (COMMTIMEOUTS), and the hints for a port that would not open.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "console/process.h"
#include "protocol/unit_line.h"
#include "serial/serial.h"

struct SerialPort {
    HANDLE Handle;
    HANDLE Claim;          // held while the port is open; see ClaimPort
    SerialTimeouts Unit;   // the unit's read time-outs, kept by SerialRead over its slices
    COMMTIMEOUTS Driver{}; // what the driver has now; see ReadSlice
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
// How early or late the driver's timer may fire: a ReadFile that ends this much before its slice
// was ended by the interval, not by the slice.
constexpr DWORD DRIVER_TIMER_SLACK_MS = 30;

DWORD LastError = 0;

int Fail(DWORD code) {
    LastError = code;
    return 1;
}

// A time-out is a ReadFile that succeeds with fewer bytes; only a failed call leaves a code.
void Record(BOOL ok) {
    LastError = ok ? 0 : GetLastError();
}

void ApplyLineSettings(HANDLE handle, DCB* dcb) {
    dcb->BaudRate = LINE_BAUD; // CBR_ names are the speeds themselves
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
// is cut into slices (ReadSlice). Write time-outs stay as the port had them.
COMMTIMEOUTS ApplyReadTimeouts(HANDLE handle) {
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(handle, &timeouts);
    timeouts.ReadIntervalTimeout = SerialReadTimeouts().IntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = READ_SLICE_MS;
    SetCommTimeouts(handle, &timeouts);
    return timeouts;
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
    ApplyLineSettings(handle, &dcb);
    *port = new SerialPort{handle, claim, SerialReadTimeouts(), ApplyReadTimeouts(handle)};
    return 0;
}

int SerialWrite(SerialPort* port, const uint8_t* bytes, size_t count) {
    DWORD written = 0;
    const BOOL ok = WriteFile(port->Handle, bytes, static_cast<DWORD>(count), &written, nullptr);
    Record(ok);
    return ok ? 0 : 1;
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

void SerialClose(SerialPort* port) {
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
