// The serial link on Linux and macOS: termios in raw mode, the line taken exclusively, reads that
// keep the unit's time-outs against a deadline on the monotonic clock, and the hints for a port
// that would not open.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include "console/process.h"
#include "console/process_posix.h"
#include "protocol/unit_line.h"
#include "serial/serial.h"
#include "serial/serial_posix.h"

struct SerialPort {
    int Fd;
    termios Original;
    SerialTimeouts Timeouts;
    bool LowLatencySet; // this run turned low-latency mode on, so closing turns it off again
};

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

int LastError = 0;

int Fail(int code) {
    LastError = code;
    return 1;
}

// termios names each speed by a constant of its own.
constexpr speed_t TermiosSpeed(uint32_t baud) {
    switch (baud) {
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}
constexpr speed_t LINE_SPEED = TermiosSpeed(LINE_BAUD);
static_assert(LINE_SPEED != B0, "TermiosSpeed names no constant for the line's speed");

// Raw mode, all of it: a CR from the unit must not arrive as LF, a 0x0A of the firmware must not
// leave as CR LF, and 0x11 / 0x13 are data, not flow control. Hardware flow control stays as the
// port had it.
termios RawSettings(const termios& original) {
    termios raw = original;
    raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | HUPCL);
    raw.c_cflag |= CS8 | CLOCAL | CREAD;
    // read() never waits: every wait is a poll() (select() on macOS) on the deadline, which no
    // device can stretch.
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    cfsetispeed(&raw, LINE_SPEED);
    cfsetospeed(&raw, LINE_SPEED);
    return raw;
}

// Another program on the same port would steal the unit's echoes. TIOCEXCL refuses other opens
// (except root's); the flock refuses every program that locks, root included.
int TakeLineExclusively(int fd) {
    ioctl(fd, TIOCEXCL);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? EBUSY : errno;
    }
    return 0;
}

// The unit must not see DTR raised by the open. A line without modem lines refuses: fine.
void DropDtr(int fd) {
    int dtr = TIOCM_DTR;
    ioctl(fd, TIOCMBIC, &dtr);
}

// USB adapters hold each echo until their latency timer runs out (16 ms by default on FTDI);
// low-latency mode makes the driver use 1 ms. No root is needed for this one flag. A driver that
// refuses (a pty does) changes nothing. True when this call turned the mode on.
bool AskForLowLatency(int fd) {
#ifdef __linux__
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return false;
    }
    const unsigned flags = static_cast<unsigned>(serial.flags);
    if ((flags & ASYNC_LOW_LATENCY) != 0) {
        return false;
    }
    serial.flags = static_cast<int>(flags | ASYNC_LOW_LATENCY);
    return ioctl(fd, TIOCSSERIAL, &serial) == 0;
#else
    (void)fd;
    return false;
#endif
}

// The driver keeps the mode after the port is closed; it goes back as it was, like the termios.
void GiveBackLatency(int fd) {
#ifdef __linux__
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags = static_cast<int>(static_cast<unsigned>(serial.flags) &
                                        ~static_cast<unsigned>(ASYNC_LOW_LATENCY));
        ioctl(fd, TIOCSSERIAL, &serial);
    }
#else
    (void)fd;
#endif
}

int ConfigureLine(int fd, termios* original) {
    // The line stays non-blocking (it was opened so): a read() or write() that would wait returns
    // at once, and the wait is a poll() that keeps the deadline and sees an interrupt.
    if (tcgetattr(fd, original) != 0) {
        return errno;
    }
    const termios raw = RawSettings(*original);
    if (tcsetattr(fd, TCSANOW, &raw) != 0) {
        return errno;
    }
    // Whatever the line held before this run is not an echo of ours.
    tcflush(fd, TCIFLUSH);
    return 0;
}

// The program's own terminal: /dev/tty, or the device behind one of its standard descriptors. The
// protocol must never be written into the operator's terminal.
bool IsOwnTerminal(const struct stat& device) {
    struct stat own {};
    if (stat("/dev/tty", &own) == 0 && S_ISCHR(own.st_mode) && own.st_rdev == device.st_rdev) {
        return true;
    }
    for (int fd = 0; fd <= 2; ++fd) {
        if (fstat(fd, &own) == 0 && S_ISCHR(own.st_mode) && own.st_rdev == device.st_rdev) {
            return true;
        }
    }
    return false;
}

// The master side of a pseudo-terminal (/dev/ptmx and its kin) is a terminal to isatty(), but it
// is no line: what is set on it applies to its slave.
bool IsPtyMaster(int fd) {
    return ptsname(fd) != nullptr;
}

int OpenLine(const std::string& devicePath, termios* original, int* fdOut) {
    // Only a character device can be a serial line; nothing else is even opened, so the protocol
    // is never written into a file.
    struct stat info {};
    if (stat(devicePath.c_str(), &info) != 0) {
        return errno;
    }
    if (!S_ISCHR(info.st_mode) || IsOwnTerminal(info)) {
        return ENOTTY;
    }
    const int fd = open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int code = 0;
    if (!isatty(fd) || IsPtyMaster(fd)) {
        code = ENOTTY;
    } else if (fd >= FD_SETSIZE) {
        code = EMFILE;
    }
    if (code == 0) {
        code = TakeLineExclusively(fd);
    }
    if (code == 0) {
        code = ConfigureLine(fd, original);
    }
    if (code != 0) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        return code;
    }
    *fdOut = fd;
    return 0;
}

// Waits until the line is ready (readable, or writable when `forWrite`), an interrupt comes, or
// the deadline passes (none when null). Returns >0 ready, 0 not yet (time is up, or an interrupt:
// the caller looks), <0 an error in errno (EINTR included: the caller's deadline stays where it
// was). The interrupt's wake pipe is in every wait: a signal that comes after the caller looked
// and before the wait began still ends it at once.
#ifdef __APPLE__
// poll() on a tty device can answer POLLNVAL there; select() works.
int WaitForLine(int fd, bool forWrite, const Clock::time_point* deadline) {
    timeval wait{};
    if (deadline != nullptr) {
        const auto left = std::chrono::ceil<std::chrono::microseconds>(*deadline - Clock::now());
        if (left.count() <= 0) {
            return 0;
        }
        wait.tv_sec = static_cast<time_t>(left.count() / 1000000);
        wait.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
    }
    fd_set readable;
    fd_set writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_SET(fd, forWrite ? &writable : &readable);
    const int wake = InterruptWakeFd();
    if (wake >= 0) {
        FD_SET(wake, &readable);
    }
    const int ready = select(std::max(fd, wake) + 1, &readable, &writable, nullptr,
                             deadline != nullptr ? &wait : nullptr);
    return ready > 0 && !FD_ISSET(fd, forWrite ? &writable : &readable) ? 0 : ready;
}
#else
// poll() rather than select(): it is the wait of every byte, and poll() neither builds nor copies
// back descriptor sets and a time left. A hang-up or an error on the line counts as ready, so that
// the read or write that follows reports it.
int WaitForLine(int fd, bool forWrite, const Clock::time_point* deadline) {
    int waitMs = -1;
    if (deadline != nullptr) {
        const auto left = std::chrono::ceil<Milliseconds>(*deadline - Clock::now()).count();
        if (left <= 0) {
            return 0;
        }
        waitMs = static_cast<int>(std::min<long long>(left, INT_MAX));
    }
    pollfd waits[2] = {{fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0},
                       {InterruptWakeFd(), POLLIN, 0}};
    const int ready = poll(waits, waits[1].fd >= 0 ? 2 : 1, waitMs);
    return ready > 0 && waits[0].revents == 0 ? 0 : ready;
}
#endif

// ---- Help for a port that would not open ----

#ifdef __linux__
// The group that may open the device: its own, unless that is root's; else the one Debian and
// Ubuntu give serial ports.
std::string DeviceGroup(const std::string& devicePath) {
    struct stat info {};
    if (stat(devicePath.c_str(), &info) == 0 && info.st_gid != 0) {
        if (const group* owner = getgrgid(info.st_gid)) {
            return owner->gr_name;
        }
    }
    return "dialout";
}
#endif

std::string AccessHint(const std::string& devicePath) {
#ifdef __linux__
    const std::string group = DeviceGroup(devicePath);
    return "to open serial ports your user must be in the group " + group + ": sudo usermod -aG " +
           group + " $USER, then log in again";
#else
    (void)devicePath;
    return "";
#endif
}

std::string BusyHint(const std::string& portName) {
    std::string hint = "another program holds the port; close it and try again";
#ifdef __linux__
    if (portName.find("ttyACM") != portName.npos) {
        hint += " (ModemManager takes ttyACM ports on some systems)";
    }
#else
    (void)portName;
#endif
    return hint;
}

} // namespace

std::string SerialOpenHint(int code, const std::string& portName) {
    const std::string device = MakeDevicePath(portName);
    switch (code) {
    case ENOENT:
        return PortListText(PresentPortNames());
    case ENOTTY:
        return device + " is not a serial port; " + PortListText(PresentPortNames());
    case EIO:
    case ENXIO:
    case ENODEV:
        // A ttyS* without a UART behind it, or an adapter that was just pulled out.
        return "no serial hardware answers at " + device + "; " + PortListText(PresentPortNames());
    case EBUSY:
        return BusyHint(portName);
    case EACCES:
        return AccessHint(device);
    default:
        return "";
    }
}

std::string MakeDevicePath(const std::string& portName) {
    if (!portName.empty() && portName[0] == '/') {
        return portName;
    }
    return "/dev/" + portName;
}

int SerialOpen(const std::string& devicePath, SerialPort** port) {
    termios original{};
    int fd = -1;
    const int code = OpenLine(devicePath, &original, &fd);
    if (code != 0) {
        return code;
    }
    DropDtr(fd);
    const bool lowLatencySet = AskForLowLatency(fd);
    const SerialTimeouts& timeouts = SerialReadTimeouts();
    *port = new SerialPort{fd, original, timeouts, lowLatencySet};
    return 0;
}

int SerialWrite(SerialPort* port, const uint8_t* bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t sent = write(port->Fd, bytes + done, count - done);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            continue;
        }
        if (sent == 0 || (errno != EINTR && errno != EAGAIN)) {
            return Fail(sent == 0 ? EIO : errno);
        }
        if (Interrupted()) {
            return Fail(EINTR);
        }
        // The line takes nothing more yet (flow control holds it): a write has no time-out.
        if (errno == EAGAIN && WaitForLine(port->Fd, true, nullptr) < 0 && errno != EINTR) {
            return Fail(errno);
        }
    }
    LastError = 0;
    return 0;
}

// Each byte's echo is waited for in WaitForLine() on the read's deadline, and read() only takes
// what it found: no device can make a read outlast its time-out, and an interrupt ends the wait
// at once. A signal ends the wait with EINTR, and the interrupt and the time left are looked at
// again without the deadline moving.
int SerialRead(SerialPort* port, uint8_t* buffer, size_t count, size_t* brought) {
    *brought = 0;
    const SerialTimeouts& timeouts = port->Timeouts;
    const Clock::time_point total =
        Clock::now() +
        Milliseconds(timeouts.ConstantMs + static_cast<uint64_t>(timeouts.PerByteMs) * count);
    Clock::time_point deadline = total;
    while (*brought < count) {
        if (Interrupted()) {
            return Fail(EINTR);
        }
        const int ready = WaitForLine(port->Fd, false, &deadline);
        if (ready < 0 && errno != EINTR) {
            return Fail(errno);
        }
        if (ready <= 0) {
            if (Clock::now() >= deadline) {
                break;
            }
            continue;
        }
        const ssize_t got = read(port->Fd, buffer + *brought, count - *brought);
        if (got > 0) {
            *brought += static_cast<size_t>(got);
            deadline = std::min(total, Clock::now() + Milliseconds(timeouts.IntervalMs));
        } else if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        } else {
            // Readable with nothing to read, or EIO: the line hung up.
            return Fail(got < 0 ? errno : EIO);
        }
    }
    LastError = 0;
    return 0;
}

int SerialDiscardInput(SerialPort* port) {
    if (tcflush(port->Fd, TCIFLUSH) != 0) {
        return Fail(errno);
    }
    LastError = 0;
    return 0;
}

void SerialClose(SerialPort* port) {
    // TCSADRAIN: the last bytes written leave with the settings they were written under. A signal
    // that ends the wait for them must not keep the settings from going back.
    if (tcsetattr(port->Fd, TCSADRAIN, &port->Original) != 0 && errno == EINTR) {
        tcsetattr(port->Fd, TCSANOW, &port->Original);
    }
    if (port->LowLatencySet) {
        GiveBackLatency(port->Fd);
    }
    ioctl(port->Fd, TIOCNXCL);
    close(port->Fd);
    delete port;
}

int SerialLastError() {
    return LastError;
}

bool SerialLineGone(int code) {
    // A pulled USB adapter fails with EIO, ENXIO or ENODEV; a line that hung up reads as EIO.
    return code == EIO || code == ENXIO || code == ENODEV;
}

std::string SerialErrorText(int code) {
    return std::strerror(code);
}

void SerialPause(unsigned ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
