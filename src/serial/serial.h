// The serial link to the unit: naming, opening and configuring the port, and plain blocking byte
// reads and writes with the unit's read time-outs. The protocol code uses only what is declared
// here; each platform implements the operations in files of its own, chosen by the build: the line
// in serial_posix.cpp or serial_win32.cpp, the port listing in ports_linux.cpp, ports_macos.cpp or
// ports_win32.cpp (with ports_posix.cpp, what Linux and macOS share).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An open port. Its contents belong to the platform file.
struct SerialPort;

// The open port, or INVALID_PORT when none is open.
constexpr SerialPort* INVALID_PORT = nullptr;
extern SerialPort* PortHandle;

// The operator's port name as given (-c), and the device it names on this system.
extern std::string PortName;
extern std::string DevicePath;

// Read time-outs. A read of n bytes gives up ConstantMs + PerByteMs * n after it began, or
// IntervalMs after the last byte once a byte has come. A time-out is a successful read that
// brought fewer bytes than asked for.
struct SerialTimeouts {
    uint32_t IntervalMs;
    uint32_t PerByteMs;
    uint32_t ConstantMs;
};
constexpr SerialTimeouts UNIT_READ_TIMEOUTS = {150, 150, 10000};

// The time-outs the unit's loader expects are fixed; tests may shorten them with this call. It
// takes effect at the next open.
void SetSerialReadTimeouts(const SerialTimeouts& timeouts);
const SerialTimeouts& SerialReadTimeouts();

// Builds DevicePath from PortName, opens and configures the port into PortHandle. When the port
// cannot be opened it prints why (the code, then the system's words and a hint) and ends the
// process with status 1.
void OpenSerialPort();

// The line printed under "Error Opening": the system's description of the code, and what the
// operator can do about it when the platform knows.
std::string OpenFailureText(int code, const std::string& portName);

// The latency timer's value when the system does not show one.
constexpr int LATENCY_UNKNOWN = -1;

// A serial port present on this machine, and what the system says it is. Nothing is opened to
// learn it.
enum class PortKind { USB_ADAPTER, BUILT_IN, OTHER };
struct SerialPortInfo {
    std::string Name; // as -c takes it: ttyUSB0, COM3
    PortKind Kind = PortKind::OTHER;
    uint16_t VendorId = 0; // a USB adapter's IDs, maker, product and serial number
    uint16_t ProductId = 0;
    std::string Maker; // as the adapter reports them; empty when it does not
    std::string Product;
    std::string Serial;
    int LatencyMs = LATENCY_UNKNOWN;
    std::string Driver;     // what an OTHER port is
    std::string StableName; // a name that survives re-plugging, which -c takes too
};

// The ports present, as the operator counts them: USB adapters first, then the rest, each group in
// counted order (ttyS2 before ttyS10, COM3 before COM10).
std::vector<SerialPortInfo> PresentSerialPorts();
void OrderPorts(std::vector<SerialPortInfo>* ports);

// What a port is, in the words of the port listing (-l): "USB serial adapter 0403:6001 FTDI ...".
std::string PortDescription(const SerialPortInfo& port);
// One line a port: the name padded so that the descriptions line up, then the description.
std::vector<std::string> PortListLines(const std::vector<SerialPortInfo>& ports);

// -c usb is the one USB serial adapter present; usb:TEXT the one whose serial number ends with
// TEXT, or whose vendor and product IDs are TEXT (0403:6001); letters in either case.
bool IsUsbSelector(const std::string& portName);
std::vector<SerialPortInfo> MatchUsbAdapters(const std::vector<SerialPortInfo>& ports,
                                             const std::string& selector);

// The ports as one phrase for the operator, in the order given. The platform files build their
// hints with it, from the ports present.
std::string PortListText(const std::vector<std::string>& ports);
std::vector<std::string> PresentPortNames();

// A USB serial adapter that is plugged in but has no port, and why, as far as the system shows.
enum class PortlessReason {
    NO_DRIVER,          // no driver bound to it (Linux)
    CLAIMED_BY_BRLTTY,  // held through usbfs while brltty is installed or running (Linux)
    HELD_THROUGH_USBFS, // held through usbfs by some other program (Linux)
    PROBLEM_CODE,       // Device Manager shows a problem code (Windows)
    NO_VCP,             // an FTDI adapter whose driver makes no COM port (Windows)
};
// Where the kernel module the chip needs is.
enum class ModuleState { LOADED, ON_DISK, MISSING };
struct UnportedAdapter {
    uint16_t VendorId = 0;
    uint16_t ProductId = 0;
    std::string Maker; // as the adapter reports them; empty when it does not
    std::string Product;
    std::string Serial;
    PortlessReason Reason = PortlessReason::NO_DRIVER;
    std::string Module; // the kernel module the chip needs: ch341, cdc_acm ...
    ModuleState ModuleWhere = ModuleState::MISSING;
    std::string ModulesDir; // /lib/modules/<release>, where the module was looked for
    int ProblemCode = 0;    // Device Manager's code
};

// The USB IDs of the serial chips whose adapters are looked for when they have no port.
bool IsUsbSerialChip(uint16_t vendorId, uint16_t productId);
// The chip's maker, from its vendor ID: "WCH" for 1a86; "" when it is not one of the above.
std::string ChipMaker(uint16_t vendorId);
// One line for such an adapter: what it is, why it has no port and what to do.
std::string UnportedAdapterLine(const UnportedAdapter& adapter);
// The lines for the adapters present without a port, for the person watching.
std::vector<std::string> UnportedAdapterLines();

// The code an open fails with when no device has the port's name: ENOENT on POSIX,
// ERROR_FILE_NOT_FOUND on Windows.
constexpr int OPEN_NO_SUCH_DEVICE = 2;

// ---- Platform operations ----

// The device that a port name stands for: "\\.\COM3" on Windows, "/dev/ttyUSB0" on POSIX.
std::string MakeDevicePath(const std::string& portName);

// Opens and configures the device at LINE_BAUD, 8 data bits, no parity, one stop bit, with the
// read time-outs above. Returns 0 and the port, or the platform's error code.
int SerialOpen(const std::string& devicePath, SerialPort** port);

// Sends the bytes in order before returning. 0 on success, 1 on failure.
int SerialWrite(SerialPort* port, const uint8_t* bytes, size_t count);

// Waits for `count` bytes or a time-out and places what came at the start of `buffer`; bytes beyond
// those brought are left as they were. 0 when the call succeeded (a time-out included), 1 when it
// failed (an I/O error, a line that hung up, or an interrupt, which ends the wait at once).
// `*brought` is set in all cases. No read outlasts its time-out, whatever the device does.
int SerialRead(SerialPort* port, uint8_t* buffer, size_t count, size_t* brought);

// Drops whatever the device received and no read has taken yet. 0 on success, 1 on failure.
int SerialDiscardInput(SerialPort* port);

// Releases the port, restoring the line's settings as they were before the open.
void SerialClose(SerialPort* port);

// The platform's code for the failure of the most recent operation; 0 when it succeeded, a read
// that merely timed out included.
int SerialLastError();

// True when a read or write that failed with `code` failed because the device is gone: the
// adapter was pulled out, or the line hung up. Nothing more can pass on such a line.
bool SerialLineGone(int code);

// The platform's own description of an error code, for the operator.
std::string SerialErrorText(int code);

// What the operator can do when opening the port named `portName` failed with `code`, in a few
// words on one line, or "" when the system's description says all there is: the group that may
// open serial ports, another program holding the port, or the serial ports present.
std::string SerialOpenHint(int code, const std::string& portName);

// How the operator names this system's ports to -c, a few lines for the help text.
std::vector<std::string> PortNameHelp();

// The serial ports present, in no particular order, and what the system knows of each: read only,
// nothing is opened, no administrator needed.
std::vector<SerialPortInfo> SerialListPorts();

// The latency timer of the USB adapter behind a port, where this system shows it: every echo
// waits in the adapter until the timer runs out. Read only; nothing is changed.
struct AdapterLatency {
    int TimerMs = LATENCY_UNKNOWN;
    std::string Remedy; // how the operator makes the adapter answer sooner on this system
};
AdapterLatency SerialAdapterLatency(const std::string& portName);

// The USB serial adapters plugged in that have no port (no tty, no COM port) and why, read only.
// Empty where the system does not show it.
std::vector<UnportedAdapter> SerialListUnportedAdapters();

// Suspends the program for about `ms` milliseconds.
void SerialPause(unsigned ms);
