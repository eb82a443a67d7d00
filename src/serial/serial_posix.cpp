// The serial link on Linux and macOS: termios in raw mode, the line taken exclusively, reads that
// keep the unit's time-outs against a deadline on the monotonic clock, and the hints for a port
// that would not open.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
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

#include "serial/serial.h"
#include "serial/serial_posix.h"

struct SerialPort {
    int Fd;
    termios Original;
    SerialTimeouts Timeouts;
    bool LowLatencyTurnedOn;
    uint8_t LongWaitTenths; // VTIME: the longest wait read() itself may take; 0 for none
};

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

int LastError = 0;

int Fail(int code) {
    LastError = code;
    return 1;
}

// Each echo is read as a lock-step loop would read it, with one read() that waits in the line
// discipline for the byte, rather than a select() and then a read(): on the per-byte path the
// second system call cost about a tenth of the transfer's time. read() can keep no deadline of
// ours, only the line's own timer (VTIME, in tenths of a second, set once at the open), and that
// timer may run up to an eighth late on a long wait. So read() waits by itself only while at least
// VTIME is left before the deadline, VTIME being four fifths of a one-byte read's time-out; the
// rest of that wait, and every shorter one (the wait between bytes), is kept by select().
uint8_t LongWaitTenths(const SerialTimeouts& timeouts) {
    const uint64_t ms = (static_cast<uint64_t>(timeouts.ConstantMs) + timeouts.PerByteMs) * 4 / 5;
    return static_cast<uint8_t>(std::min<uint64_t>(ms / 100, 255));
}

// Raw mode, all of it: a CR from the unit must not arrive as LF, a 0x0A of the firmware must not
// leave as CR LF, and 0x11 / 0x13 are data, not flow control. Hardware flow control stays as the
// port had it.
termios RawSettings(const termios& original, uint8_t longWaitTenths) {
    termios raw = original;
    raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | HUPCL);
    raw.c_cflag |= CS8 | CLOCAL | CREAD;
    // A read() returns with the first byte, or empty when the line's timer runs out or the line
    // hung up (see LongWaitTenths). After select() found the line readable, empty means hung up.
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = longWaitTenths;
    cfsetispeed(&raw, B19200);
    cfsetospeed(&raw, B19200);
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
// low-latency mode makes the driver use 1 ms. A driver that refuses (a pty, a driver without
// TIOCGSERIAL) changes nothing. Returns true when this open turned it on, so that the close
// turns it off again: the operator's own setting of the adapter outlives the run.
bool AskForLowLatency(int fd) {
#ifdef __linux__
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 ||
        (static_cast<unsigned>(serial.flags) & ASYNC_LOW_LATENCY) != 0) {
        return false;
    }
    serial.flags = static_cast<int>(static_cast<unsigned>(serial.flags) | ASYNC_LOW_LATENCY);
    return ioctl(fd, TIOCSSERIAL, &serial) == 0;
#else
    (void)fd;
    return false;
#endif
}

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

int ConfigureLine(int fd, uint8_t longWaitTenths, termios* original) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return errno;
    }
    if (tcgetattr(fd, original) != 0) {
        return errno;
    }
    const termios raw = RawSettings(*original, longWaitTenths);
    if (tcsetattr(fd, TCSANOW, &raw) != 0) {
        return errno;
    }
    // Whatever the line held before this run is not an echo of ours.
    tcflush(fd, TCIFLUSH);
    return 0;
}

int OpenLine(const std::string& devicePath, uint8_t longWaitTenths, termios* original, int* fdOut) {
    // Only a character device can be a serial line; nothing else is even opened, so the protocol
    // is never written into a file.
    struct stat info {};
    if (stat(devicePath.c_str(), &info) != 0) {
        return errno;
    }
    if (!S_ISCHR(info.st_mode)) {
        return ENOTTY;
    }
    const int fd = open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int code = 0;
    if (!isatty(fd)) {
        code = ENOTTY;
    } else if (fd >= FD_SETSIZE) {
        code = EMFILE;
    }
    if (code == 0) {
        code = TakeLineExclusively(fd);
    }
    if (code == 0) {
        code = ConfigureLine(fd, longWaitTenths, original);
    }
    if (code != 0) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        return code;
    }
    *fdOut = fd;
    return 0;
}

// Waits until the line is readable or the deadline passes. Returns >0 readable, 0 not yet, <0 an
// error in errno (EINTR included: the caller's deadline stays where it was).
int WaitReadable(int fd, Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        return 0;
    }
    timeval wait{};
    wait.tv_sec = static_cast<time_t>(left.count() / 1000000);
    wait.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    return select(fd + 1, &readable, nullptr, nullptr, &wait);
}

// ---- Help for a port that would not open ----

std::string PortSearchRoot;

// Where serial ports live on this system and how their names start.
struct PortPattern {
    const char* Dir;
    const char* Prefix;
    bool NumberAfter; // only digits follow the prefix
    bool NeedsDriver; // a driver is bound to it: most ttyS* are there whether a UART is or not
};

#ifdef __APPLE__
// Each port is there twice; /dev/tty.* waits in open() for the carrier, cu.* is the one to use.
constexpr PortPattern PORT_PATTERNS[] = {{"/dev", "cu.", false, false}};
#else
constexpr PortPattern PORT_PATTERNS[] = {
    {"/dev", "ttyUSB", true, true},
    {"/dev", "ttyACM", true, true},
    {"/dev", "ttyS", true, true},
    // udev's stable names, which stay the same whichever ttyUSB number the adapter gets.
    {"/dev/serial/by-id", "", false, false},
};
#endif

bool Matches(const PortPattern& pattern, const std::string& name) {
    const size_t length = std::strlen(pattern.Prefix);
    if (name.empty() || name[0] == '.' || name.compare(0, length, pattern.Prefix) != 0) {
        return false;
    }
    return !pattern.NumberAfter ||
           (name.size() > length && name.find_first_not_of("0123456789", length) == name.npos);
}

bool HasDriver(const std::string& name) {
    struct stat info {};
    const std::string driver = PortSearchRoot + "/sys/class/tty/" + name + "/device/driver";
    return stat(driver.c_str(), &info) == 0;
}

// A port directly under /dev is shown as -c takes it; others by their whole path, with the device
// a link leads to.
std::string Shown(const PortPattern& pattern, const std::string& name) {
    const std::string dir = pattern.Dir;
    if (dir == "/dev") {
        return name;
    }
    std::string shown = dir + "/" + name;
    char target[256] = {};
    const std::string link = PortSearchRoot + shown;
    const ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
    if (length > 0) {
        const std::string path(target, static_cast<size_t>(length));
        shown += " (" + path.substr(path.rfind('/') + 1) + ")";
    }
    return shown;
}

std::vector<std::string> PresentPorts() {
    std::vector<std::string> found;
    for (const PortPattern& pattern : PORT_PATTERNS) {
        DIR* listing = opendir((PortSearchRoot + pattern.Dir).c_str());
        if (listing == nullptr) {
            continue;
        }
        while (const dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (Matches(pattern, name) && (!pattern.NeedsDriver || HasDriver(name))) {
                found.push_back(Shown(pattern, name));
            }
        }
        closedir(listing);
    }
    return found;
}

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

void SetPortSearchRoot(const std::string& root) {
    PortSearchRoot = root;
}

std::string SerialOpenHint(int code, const std::string& portName) {
    const std::string device = MakeDevicePath(portName);
    switch (code) {
    case ENOENT:
        return PortListText(PresentPorts());
    case ENOTTY:
        return device + " is not a serial port; " + PortListText(PresentPorts());
    case EIO:
    case ENXIO:
    case ENODEV:
        // A ttyS* without a UART behind it, or an adapter that was just pulled out.
        return "no serial hardware answers at " + device + "; " + PortListText(PresentPorts());
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
    const uint8_t longWait = LongWaitTenths(SerialReadTimeouts());
    const int code = OpenLine(devicePath, longWait, &original, &fd);
    if (code != 0) {
        return code;
    }
    DropDtr(fd);
    const bool lowLatency = AskForLowLatency(fd);
    *port = new SerialPort{fd, original, SerialReadTimeouts(), lowLatency, longWait};
    return 0;
}

int SerialWrite(SerialPort* port, const uint8_t* bytes, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t sent = write(port->Fd, bytes + done, count - done);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else {
            return Fail(sent < 0 ? errno : EIO);
        }
    }
    LastError = 0;
    return 0;
}

int SerialRead(SerialPort* port, uint8_t* buffer, size_t count, size_t* brought) {
    *brought = 0;
    const SerialTimeouts& timeouts = port->Timeouts;
    const Clock::time_point total =
        Clock::now() +
        Milliseconds(timeouts.ConstantMs + static_cast<uint64_t>(timeouts.PerByteMs) * count);
    const Milliseconds longWait(100 * static_cast<int>(port->LongWaitTenths));
    Clock::time_point deadline = total;
    bool readWaits = port->LongWaitTenths > 0;
    while (*brought < count) {
        ssize_t got = 0;
        if (readWaits && deadline - Clock::now() >= longWait) {
            got = read(port->Fd, buffer + *brought, count - *brought);
            if (got == 0) {
                // The line's timer ran out, or the line hung up: select() tells which.
                readWaits = false;
                continue;
            }
        } else {
            const int ready = WaitReadable(port->Fd, deadline);
            if (ready < 0 && errno != EINTR) {
                return Fail(errno);
            }
            if (ready <= 0) {
                if (Clock::now() >= deadline) {
                    break;
                }
                continue;
            }
            got = read(port->Fd, buffer + *brought, count - *brought);
            if (got == 0) {
                // Readable with nothing to read: the line hung up.
                return Fail(EIO);
            }
        }
        if (got > 0) {
            *brought += static_cast<size_t>(got);
            deadline = std::min(total, Clock::now() + Milliseconds(timeouts.IntervalMs));
        } else if (errno != EINTR && errno != EAGAIN) {
            return Fail(errno);
        }
    }
    LastError = 0;
    return 0;
}

void SerialClose(SerialPort* port) {
    // TCSADRAIN: the last bytes written leave with the settings they were written under.
    tcsetattr(port->Fd, TCSADRAIN, &port->Original);
    if (port->LowLatencyTurnedOn) {
        GiveBackLatency(port->Fd);
    }
    ioctl(port->Fd, TIOCNXCL);
    close(port->Fd);
    delete port;
}

int SerialLastError() {
    return LastError;
}

std::string SerialErrorText(int code) {
    return std::strerror(code);
}

void SerialPause(unsigned ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
