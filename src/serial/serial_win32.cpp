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
