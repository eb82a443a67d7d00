// The serial link on Windows: the communications API on a file handle, with the unit's read
// time-outs kept by the driver (COMMTIMEOUTS).
#include <windows.h>

#include "serial/serial.h"

struct SerialPort {
    HANDLE Handle;
    HANDLE Claim; // held while the port is open; see ClaimPort
};

namespace {

DWORD LastError = 0;

// A time-out is a ReadFile that succeeds with fewer bytes; only a failed call leaves a code.
void Record(BOOL ok) {
    LastError = ok ? 0 : GetLastError();
}

void ApplyLineSettings(HANDLE handle, DCB* dcb) {
    dcb->BaudRate = CBR_19200;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->fDtrControl = DTR_CONTROL_DISABLE;
    dcb->fTXContinueOnXoff = FALSE;
    dcb->fAbortOnError = FALSE;
    SetCommState(handle, dcb);
}

void ApplyReadTimeouts(HANDLE handle) {
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(handle, &timeouts);
    const SerialTimeouts& wanted = SerialReadTimeouts();
    timeouts.ReadIntervalTimeout = wanted.IntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = wanted.PerByteMs;
    timeouts.ReadTotalTimeoutConstant = wanted.ConstantMs;
    SetCommTimeouts(handle, &timeouts);
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
    ApplyReadTimeouts(handle);
    *port = new SerialPort{handle, claim};
    return 0;
}

int SerialWrite(SerialPort* port, const uint8_t* bytes, size_t count) {
    DWORD written = 0;
    const BOOL ok = WriteFile(port->Handle, bytes, static_cast<DWORD>(count), &written, nullptr);
    Record(ok);
    return ok ? 0 : 1;
}

int SerialRead(SerialPort* port, uint8_t* buffer, size_t count, size_t* brought) {
    DWORD got = 0;
    const BOOL ok = ReadFile(port->Handle, buffer, static_cast<DWORD>(count), &got, nullptr);
    *brought = got;
    Record(ok);
    return ok ? 0 : 1;
}

void SerialClose(SerialPort* port) {
    CloseHandle(port->Handle);
    CloseHandle(port->Claim);
    delete port;
}

int SerialLastError() {
    return static_cast<int>(LastError);
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
