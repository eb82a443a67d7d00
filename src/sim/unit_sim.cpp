// unit-sim: plays the unit's loader on a pseudo-terminal, so that a firmware file can be rehearsed
// without a unit, and so that the tests have a real tty with a unit at its far end.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "sim/sim_unit.h"

namespace {

const char* const USAGE_TEXT =
    "usage: unit-sim [options] [-- command [args...]]\n"
    "Plays the unit's loader on a new pseudo-terminal. Without a command it prints\n"
    "'unit-sim: port PATH' and serves one update until the end marker (or until stopped);\n"
    "with one it runs the command, {port} in its arguments replaced by the port, and\n"
    "exits with the command's status.\n"
    "  --out FILE          write the flash contents the unit received to FILE\n"
    "  --rx FILE           write every byte that came down the line to FILE\n"
    "  --baud RATE         pace the line as RATE baud, 10 bits a byte, both ways\n"
    "  --latency MS        answer as through a USB adapter with an MS ms latency timer\n"
    "  --link PATH         make PATH a symbolic link to the port while running\n"
    "  --line PATH         play the unit on the serial line PATH (a tty, opened raw at 19200\n"
    "                      8N1) instead of a pseudo-terminal: two USB adapters joined by a\n"
    "                      null-modem cable, a virtual machine's serial port; runs no command,\n"
    "                      prints 'unit-sim: line PATH' and serves one update\n"
    "  --verbose           report every block, not only the closing line\n"
    "  --units N           play N units, each on a pseudo-terminal of its own: {port} stands\n"
    "                      for their names joined by commas, --out and --rx get the unit's\n"
    "                      number before their extension, and each unit closes with its line\n"
    "  --unit K:OPTION     give OPTION (without its dashes, and its value) to unit K alone,\n"
    "                      as in --unit 2:silent-from 1:500\n"
    "  --tty-defaults      leave the line in the tty's default settings (echo, XON/XOFF, CR\n"
    "                      to LF, ...) as a port just plugged in has them, not raw\n"
    "  --version           print unit-sim's version\n"
    "faults (blocks count from 0, bytes of a block from 0, handshake bytes from 1):\n"
    "  --silent            never answer\n"
    "  --bad-echo K        echo handshake byte K wrongly\n"
    "  --greeting TEXT     send TEXT after the handshake, before SOH\n"
    "  --no-soh            after the handshake send bytes without end, never SOH\n"
    "  --short-header B    leave the last byte out of block B's header echo\n"
    "  --miss-echo B:I     send no echo for byte I of block B\n"
    "  --wrong-echo B:I    send a wrong echo for byte I of block B\n"
    "  --short-trailer B   leave the last byte out of block B's trailer echo\n"
    "  --no-ack B          send no checksum acknowledgement for block B\n"
    "  --no-flash-reply B  send no flash-written reply for block B\n"
    "  --slow-flash B:MS   send block B's flash-written reply MS ms late\n"
    "  --hangup-handshake K  hang up the line when handshake byte K comes\n"
    "  --hangup-block B:I  hang up the line when byte I of block B comes\n"
    "  --silent-from B:I   answer nothing from byte I of block B on, as a unit that died\n"
    "  --hangup-trailer B  hang up the line when block B's trailer comes\n"
    "  --after-end N       send N bytes after the end marker\n"
    "exit status: the command's status if not 0; otherwise 0 when every block arrived with\n"
    "its check value holding and the end marker came, 8 when not, 9 for a usage error.\n";

constexpr int STATUS_NOT_VERIFIED = 8;
constexpr int STATUS_SIM_USAGE = 9;

bool ParseInt(const char* text, int* value);

struct Options {
    SimFaults Faults;
    std::string Out;
    std::string Rx;
    std::string Link;
    std::string SerialLine;
    unsigned Baud = 0;
    bool Verbose = false;
    unsigned LatencyMs = 0;
    bool TtyDefaults = false;
    std::vector<std::string> Command;
    int Units = 0;                   // --units; 0: one unit, played by this process
    std::vector<std::string> Shared; // the options every unit gets, as typed
    std::vector<std::pair<int, std::vector<std::string>>> OwnOptions; // --unit K:OPTION
};

// The options that take no value.
bool IsFlag(const std::string& name) {
    return name == "--silent" || name == "--no-soh" || name == "--verbose" ||
           name == "--tty-defaults";
}

// --unit K:OPTION [VALUE]: the option, and its value when it takes one, kept for unit K.
bool ParseUnitOption(int argc, char** argv, int* i, Options* options) {
    const char* text = argv[*i];
    const char* colon = std::strchr(text, ':');
    int unit = 0;
    if (colon == nullptr || !ParseInt(std::string(text, colon).c_str(), &unit) || unit < 1) {
        return false;
    }
    std::vector<std::string> own = {"--" + std::string(colon + 1)};
    if (!IsFlag(own[0])) {
        if (*i + 1 >= argc) {
            return false;
        }
        own.push_back(argv[++*i]);
    }
    options->OwnOptions.push_back({unit, own});
    return true;
}

// ---- Options ----

bool ParseInt(const char* text, int* value) {
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < 0 || parsed > 1000000000L) {
        return false;
    }
    *value = static_cast<int>(parsed);
    return true;
}

bool ParsePlace(const char* text, SimPlace* place) {
    const char* colon = std::strchr(text, ':');
    if (colon == nullptr) {
        return false;
    }
    const std::string block(text, colon);
    return ParseInt(block.c_str(), &place->Block) && ParseInt(colon + 1, &place->Byte);
}

// Stands for the value of an option that came last: the option is looked up first, so that an
// unknown one is named as unknown rather than as one without its value.
const char NO_VALUE[] = "";

int Usage(const char* problem) {
    std::fprintf(stderr, "unit-sim: %s\n%s", problem, USAGE_TEXT);
    return STATUS_SIM_USAGE;
}

// Returns 0, or the status to exit with.
int ParseOptions(int argc, char** argv, Options* options) {
    SimFaults& f = options->Faults;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--") {
            options->Command.assign(argv + i + 1, argv + argc);
            if (options->Command.empty()) {
                return Usage("-- needs a command");
            }
            return 0;
        }
        if (name == "--help" || name == "-h") {
            std::fputs(USAGE_TEXT, stdout);
            return -1;
        }
        if (name == "--version") {
            std::puts("unit-sim " BRELWICK_VERSION);
            return -1;
        }
        bool ok = true;
        if (name == "--units" || name == "--unit") {
            ++i;
            if (i >= argc) {
                return Usage(("missing value for " + name).c_str());
            }
            ok = name == "--units" ? ParseInt(argv[i], &options->Units) && options->Units > 0
                                   : ParseUnitOption(argc, argv, &i, options);
            if (!ok) {
                return Usage(("bad value for " + name).c_str());
            }
            continue;
        }
        const int first = i;
        if (name == "--silent") {
            f.Silent = true;
        } else if (name == "--no-soh") {
            f.NoSoh = true;
        } else if (name == "--verbose") {
            options->Verbose = true;
        } else if (name == "--tty-defaults") {
            options->TtyDefaults = true;
        } else {
            const char* value = ++i < argc ? argv[i] : NO_VALUE;
            int number = 0;
            SimPlace place;
            if (name == "--out") {
                options->Out = value;
            } else if (name == "--rx") {
                options->Rx = value;
            } else if (name == "--link") {
                options->Link = value;
            } else if (name == "--line") {
                options->SerialLine = value;
            } else if (name == "--greeting") {
                f.Greeting = value;
            } else if (name == "--baud" && (ok = ParseInt(value, &number) && number > 0)) {
                options->Baud = static_cast<unsigned>(number);
            } else if (name == "--latency" && (ok = ParseInt(value, &number))) {
                options->LatencyMs = static_cast<unsigned>(number);
            } else if (name == "--bad-echo" && (ok = ParseInt(value, &f.BadEcho))) {
            } else if (name == "--short-header" && (ok = ParseInt(value, &f.ShortHeader))) {
            } else if (name == "--miss-echo" && (ok = ParsePlace(value, &f.MissEcho))) {
            } else if (name == "--wrong-echo" && (ok = ParsePlace(value, &f.WrongEcho))) {
            } else if (name == "--short-trailer" && (ok = ParseInt(value, &f.ShortTrailer))) {
            } else if (name == "--no-ack" && (ok = ParseInt(value, &f.NoAck))) {
            } else if (name == "--no-flash-reply" && (ok = ParseInt(value, &f.NoFlashReply))) {
            } else if (name == "--slow-flash" && (ok = ParsePlace(value, &place))) {
                f.SlowFlashBlock = place.Block;
                f.SlowFlashMs = static_cast<unsigned>(place.Byte);
            } else if (name == "--hangup-handshake" && (ok = ParseInt(value, &f.HangupHandshake))) {
            } else if (name == "--hangup-block" && (ok = ParsePlace(value, &f.HangupData))) {
            } else if (name == "--silent-from" && (ok = ParsePlace(value, &f.SilentFrom))) {
            } else if (name == "--hangup-trailer" && (ok = ParseInt(value, &f.HangupTrailer))) {
            } else if (name == "--after-end" && (ok = ParseInt(value, &number))) {
                f.AfterEnd = static_cast<unsigned>(number);
            } else if (ok) {
                return Usage(("unknown option " + name).c_str());
            }
            if (value == NO_VALUE) {
                return Usage(("missing value for " + name).c_str());
            }
        }
        if (!ok) {
            return Usage(("bad value for " + name).c_str());
        }
        options->Shared.insert(options->Shared.end(), argv + first, argv + i + 1);
    }
    return 0;
}

// An update on a serial line is started from the other end of the cable, not by unit-sim.
int CheckLineOptions(const Options& options) {
    if (!options.SerialLine.empty() && !options.Command.empty()) {
        return Usage("--line runs no command: start the updater at the line's other end");
    }
    return 0;
}

// ---- Time ----

int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// ---- The line ----

// The pty master, paced like a real line when --baud is given: a byte takes 10 bit times to come
// down and its answer 10 more to go back, and each direction carries one byte at a time.
struct Line {
    int Master = -1;
    int Slave = -1;
    std::string Path;
    int64_t ByteNs = 0;
    int64_t InFree = 0;                              // when the line from the updater is free again
    int64_t OutFree = 0;                             // when the line to the updater is free again
    int64_t LatencyNs = 0;                           // the adapter's latency timer; 0: none
    int64_t LastTick = 0;                            // when the adapter last sent
    std::deque<std::pair<int64_t, uint8_t>> Pending; // answers and when they are due
    bool Serial = false;                             // an existing serial line, not a pty
    termios Saved{};                                 // the serial line's settings before
};

bool OpenLine(Line* line, bool ttyDefaults) {
    line->Master = posix_openpt(O_RDWR | O_NOCTTY);
    if (line->Master < 0 || grantpt(line->Master) != 0 || unlockpt(line->Master) != 0) {
        return false;
    }
    const char* path = ptsname(line->Master);
    if (path == nullptr) {
        return false;
    }
    line->Path = path;
    fcntl(line->Master, F_SETFD, FD_CLOEXEC);
    fcntl(line->Master, F_SETFL, fcntl(line->Master, F_GETFL) | O_NONBLOCK);
    // Held open so that the line stays up between the updater's opens, and raw so that nothing
    // the unit says is echoed back to it while the updater is not there, unless the line is to
    // be left as a new tty has it.
    line->Slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line->Slave < 0) {
        return false;
    }
    if (ttyDefaults) {
        return true;
    }
    termios raw{};
    tcgetattr(line->Slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(line->Slave, TCSANOW, &raw);
    return true;
}

// A serial line that exists already: raw, 19200 baud, 8 data bits, no parity, one stop bit, no
// flow control, modem lines ignored (a null-modem cable seldom carries them), and taken
// exclusively so that no other program reads the updater's bytes. Old bytes on it are dropped.
bool OpenSerialLine(Line* line, const std::string& path) {
    line->Master = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line->Master < 0 || tcgetattr(line->Master, &line->Saved) != 0) {
        return false;
    }
    line->Path = path;
    line->Serial = true;
    termios raw = line->Saved;
    cfmakeraw(&raw);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | HUPCL);
    raw.c_cflag |= CLOCAL | CREAD | CS8;
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (cfsetispeed(&raw, B19200) != 0 || cfsetospeed(&raw, B19200) != 0 ||
        tcsetattr(line->Master, TCSANOW, &raw) != 0) {
        return false;
    }
    ioctl(line->Master, TIOCEXCL);
    tcflush(line->Master, TCIOFLUSH);
    return true;
}

// The serial line goes back as it was, once what was sent has left.
void GiveBackSerialLine(Line* line) {
    if (line->Serial && line->Master >= 0) {
        tcsetattr(line->Master, TCSADRAIN, &line->Saved);
        close(line->Master);
        line->Master = -1;
    }
}

void HangUp(Line* line) {
    close(line->Master);
    close(line->Slave);
    line->Master = line->Slave = -1;
    line->Pending.clear();
}

// A byte that was read at `readNs` has fully arrived one byte time after the line was free.
int64_t Arrival(Line* line, int64_t readNs) {
    line->InFree = std::max(readNs, line->InFree) + line->ByteNs;
    return line->InFree;
}

// A USB adapter holds what comes from the unit until its latency timer runs out, and then sends
// all it holds; the timer starts over whenever it sends. An answer that has come down the line
// at `arrivedNs` leaves at the timer's next tick.
int64_t LeavesAdapter(Line* line, int64_t arrivedNs) {
    if (line->LatencyNs == 0) {
        return arrivedNs;
    }
    if (arrivedNs > line->LastTick) {
        const int64_t ticks = (arrivedNs - line->LastTick + line->LatencyNs - 1) / line->LatencyNs;
        line->LastTick += ticks * line->LatencyNs;
    }
    return line->LastTick;
}

void Queue(Line* line, int64_t readyNs, uint8_t byte) {
    line->OutFree = std::max(readyNs, line->OutFree) + line->ByteNs;
    line->Pending.emplace_back(LeavesAdapter(line, line->OutFree), byte);
}

// Writes the answers that are due; a full line keeps them for later.
void SendDue(Line* line) {
    const int64_t now = NowNs();
    while (!line->Pending.empty() && line->Pending.front().first <= now) {
        uint8_t batch[256];
        size_t count = 0;
        for (const auto& pending : line->Pending) {
            if (pending.first > now || count == sizeof(batch)) {
                break;
            }
            batch[count++] = pending.second;
        }
        const ssize_t sent = write(line->Master, batch, count);
        if (sent <= 0) {
            return;
        }
        line->Pending.erase(line->Pending.begin(), line->Pending.begin() + sent);
    }
}

void PauseNs(int64_t ns) {
    timespec left{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// What the unit said before it hangs up must reach the updater first: when the line goes down,
// the kernel drops what the other side has not read yet. The answers go at once, and the hang-up
// waits until the updater's side holds nothing unread and the pty has had a moment to deliver
// (it passes bytes on from a work queue), two seconds at the most.
void LetAnswersArrive(Line* line) {
    const int64_t limit = NowNs() + 2000000000;
    while (!line->Pending.empty() && NowNs() < limit) {
        for (auto& pending : line->Pending) {
            pending.first = 0;
        }
        SendDue(line);
        PauseNs(1000000);
    }
    // A serial line has no far side to look at: what has left the wire has arrived.
    if (line->Serial) {
        tcdrain(line->Master);
        return;
    }
    const int64_t settle = NowNs() + 50000000;
    for (int unread = 1; NowNs() < limit; PauseNs(1000000)) {
        if (ioctl(line->Slave, FIONREAD, &unread) != 0 || (unread == 0 && NowNs() >= settle)) {
            break;
        }
    }
}

// ---- Running ----

volatile sig_atomic_t Stop = 0;
volatile sig_atomic_t ChildChanged = 1;
int SignalPipe[2] = {-1, -1};

void OnSignal(int signal) {
    if (signal == SIGCHLD) {
        ChildChanged = 1;
    } else {
        Stop = 1;
    }
    const int saved = errno;
    const char note = 1;
    const ssize_t ignored = write(SignalPipe[1], &note, 1);
    (void)ignored;
    errno = saved;
}

void InstallSignals() {
    if (pipe(SignalPipe) != 0) {
        std::perror("unit-sim: pipe");
        std::exit(1);
    }
    for (int fd : SignalPipe) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

pid_t StartCommand(const std::vector<std::string>& command, const std::string& port) {
    std::vector<std::string> args = command;
    for (std::string& arg : args) {
        for (size_t at; (at = arg.find("{port}")) != std::string::npos;) {
            arg.replace(at, 6, port);
        }
    }
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "unit-sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    return pid;
}

// Feeds what came down the line to the unit and queues its answers.
bool ReadLine(Line* line, CSimUnit* unit, std::vector<uint8_t>* rx) {
    uint8_t chunk[4096];
    const ssize_t got = read(line->Master, chunk, sizeof(chunk));
    if (got <= 0) {
        return got < 0 && (errno == EAGAIN || errno == EINTR);
    }
    const int64_t readNs = NowNs();
    for (ssize_t i = 0; i < got && !unit->HungUp(); ++i) {
        rx->push_back(chunk[i]);
        const int64_t arrived = Arrival(line, readNs);
        unit->Receive(chunk[i]);
        for (const SimOutput& out : unit->TakeOutput()) {
            Queue(line, arrived + static_cast<int64_t>(out.DelayMs) * 1000000, out.Byte);
        }
    }
    return true;
}

// Waits for the line, a signal, or the next answer's time, blocking in the kernel all the while:
// an answer that is due but finds the line full waits for the line to take it. Answers are never
// sent before their time, however late the wake-up: a real line cannot bring them sooner, so the
// pty's delivery and the timer's lateness are added to what the wire takes, not made up for.
// Returns true when the line has something to read.
bool WaitForWork(const Line& line) {
    fd_set readable;
    fd_set writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_SET(SignalPipe[0], &readable);
    int top = SignalPipe[0];
    timespec wait{};
    const timespec* timeout = nullptr;
    if (line.Master >= 0) {
        FD_SET(line.Master, &readable);
        top = std::max(top, line.Master);
        if (!line.Pending.empty()) {
            const int64_t left = line.Pending.front().first - NowNs();
            if (left <= 0) {
                FD_SET(line.Master, &writable);
            } else {
                // To the nanosecond: select()'s microseconds, rounded up, would add to every
                // paced answer.
                wait.tv_sec = static_cast<time_t>(left / 1000000000);
                wait.tv_nsec = static_cast<long>(left % 1000000000);
                timeout = &wait;
            }
        }
    }
    const int ready = pselect(top + 1, &readable, &writable, nullptr, timeout, nullptr);
    if (ready > 0 && FD_ISSET(SignalPipe[0], &readable)) {
        char drained[64];
        while (read(SignalPipe[0], drained, sizeof(drained)) > 0) {
        }
    }
    return ready > 0 && line.Master >= 0 && FD_ISSET(line.Master, &readable);
}

void Babble(Line* line) {
    while (line->Pending.size() < 64) {
        Queue(line, NowNs(), SIM_NOISE);
    }
}

// ---- The operator's files ----

// A link unit-sim made points at a pseudo-terminal; one left by a run that was killed may be
// replaced. Anything else at the path is the operator's, and stays.
bool IsOwnLink(const std::string& path) {
    char target[4096];
    const ssize_t length = readlink(path.c_str(), target, sizeof(target));
    if (length <= 0 || static_cast<size_t>(length) >= sizeof(target)) {
        return false;
    }
    const std::string pointsAt(target, static_cast<size_t>(length));
    return pointsAt.rfind("/dev/pts/", 0) == 0 || pointsAt.rfind("/dev/ttys", 0) == 0;
}

bool LinkPathFree(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 && errno == ENOENT) {
        return true;
    }
    if (S_ISLNK(info.st_mode) && IsOwnLink(path)) {
        return true;
    }
    std::fprintf(stderr,
                 "unit-sim: cannot link %s: something is there, and not a link unit-sim made\n",
                 path.c_str());
    return false;
}

// Opened for writing as the end of the run will, but not emptied: a file that cannot be written is
// found before the run, and one that can keeps what it holds until the run has something for it.
bool Writable(const std::string& path, bool* created) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        *created = fd >= 0;
    }
    if (fd < 0) {
        std::fprintf(stderr, "unit-sim: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    close(fd);
    return true;
}

// Every file the run is to touch, looked at before it starts. 0, or the status to exit with.
int CheckFiles(const Options& options) {
    if (!options.Link.empty() && !LinkPathFree(options.Link)) {
        return STATUS_SIM_USAGE;
    }
    bool outCreated = false;
    bool rxCreated = false;
    if (!options.Out.empty() && !Writable(options.Out, &outCreated)) {
        return STATUS_SIM_USAGE;
    }
    if (!options.Rx.empty() && !Writable(options.Rx, &rxCreated)) {
        if (outCreated) {
            unlink(options.Out.c_str());
        }
        return STATUS_SIM_USAGE;
    }
    return 0;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// Serves the line until the transfer is over, the command ends, or a signal says stop.
// Returns the command's exit status, or -1 when there is no command.
int Serve(Line* line, CSimUnit* unit, pid_t child, std::vector<uint8_t>* rx) {
    int status = -1;
    bool readable = true;
    while (!Stop) {
        if (child > 0 && ChildChanged) {
            ChildChanged = 0;
            int raw = 0;
            if (waitpid(child, &raw, WNOHANG) == child) {
                // What the command wrote before it ended still counts.
                if (line->Master >= 0) {
                    ReadLine(line, unit, rx);
                }
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                break;
            }
        }
        if (line->Master >= 0) {
            if (readable && !ReadLine(line, unit, rx)) {
                HangUp(line);
            } else if (unit->HungUp()) {
                LetAnswersArrive(line);
                HangUp(line);
            } else {
                SendDue(line);
                // A babbling unit never runs out of things to say: what it queues now is sent
                // as the line takes it.
                if (unit->Babbling()) {
                    Babble(line);
                }
            }
        }
        if (child <= 0 && (line->Master < 0 || (unit->Finished() && line->Pending.empty()))) {
            break;
        }
        readable = WaitForWork(*line);
    }
    return status;
}

// One closing line, so that the updater's own last lines stay on the operator's screen; every
// block's line too with --verbose.
void PrintReport(const CSimUnit& unit, const Options& options, bool flashWritten) {
    if (options.Verbose) {
        for (const std::string& line : unit.Report()) {
            std::fprintf(stderr, "unit-sim: %s\n", line.c_str());
        }
    }
    const int blocks = unit.Blocks();
    const std::string flash = options.Out.empty() ? "flash not written (no --out)"
                              : flashWritten      ? "flash written to " + options.Out
                                                  : "FLASH NOT WRITTEN to " + options.Out;
    std::fprintf(stderr, "unit-sim: received %d block%s, %s; %s\n", blocks, blocks == 1 ? "" : "s",
                 unit.Verified()   ? "every block's check value held"
                 : unit.Finished() ? "SOME BLOCKS FAILED"
                                   : "the transfer did not reach its end marker",
                 flash.c_str());
}

// ---- Several units ----

// "flash.bin" for unit 2: "flash.2.bin"; "flash": "flash.2".
std::string Numbered(const std::string& path, int unit) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    const bool extension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    const std::string number = "." + std::to_string(unit);
    return extension ? path.substr(0, dot) + number + path.substr(dot) : path + number;
}

std::string OwnProgram(const char* argv0) {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string(argv0);
}

// Reads the line in which a unit names its port; "" when it ends without one.
std::string PortNamedOn(int fd) {
    std::string line;
    char c = 0;
    while (read(fd, &c, 1) == 1 && c != '\n') {
        line.push_back(c);
    }
    const std::string prefix = "unit-sim: port ";
    return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : "";
}

// Unit `number` (from 1): a unit-sim of its own without a command, with the options every unit
// gets, then its own, then its own files. Its port, or "" when it did not start.
std::string StartUnit(const std::string& self, const Options& options, int number, pid_t* pid) {
    std::vector<std::string> args = {self};
    args.insert(args.end(), options.Shared.begin(), options.Shared.end());
    for (const auto& own : options.OwnOptions) {
        if (own.first == number) {
            args.insert(args.end(), own.second.begin(), own.second.end());
        }
    }
    for (const auto& file : {std::make_pair("--out", options.Out), {"--rx", options.Rx}}) {
        if (!file.second.empty()) {
            args.insert(args.end(), {file.first, Numbered(file.second, number)});
        }
    }
    int ends[2];
    if (pipe(ends) != 0) {
        return "";
    }
    *pid = fork();
    if (*pid == 0) {
        dup2(ends[1], STDOUT_FILENO);
        close(ends[0]);
        close(ends[1]);
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(ends[1]);
    const std::string port = *pid > 0 ? PortNamedOn(ends[0]) : "";
    close(ends[0]);
    return port;
}

int WaitFor(pid_t pid) {
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

// A unit whose update ended early waits for another; once the command is over, it is stopped
// and closes with its line. One that reached the end marker ends by itself.
int StopUnit(pid_t pid) {
    for (int waited = 0; waited < 50; ++waited) {
        int raw = 0;
        if (waitpid(pid, &raw, WNOHANG) == pid) {
            return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
        PauseNs(20000000);
    }
    kill(pid, SIGTERM);
    return WaitFor(pid);
}

int PlayUnits(const char* argv0, const Options& options) {
    if (!options.Link.empty() || !options.SerialLine.empty()) {
        return Usage("--units plays pseudo-terminals of its own: no --link or --line with it");
    }
    const std::string self = OwnProgram(argv0);
    std::vector<pid_t> units;
    std::string ports;
    for (int number = 1; number <= options.Units; ++number) {
        pid_t pid = -1;
        const std::string port = StartUnit(self, options, number, &pid);
        if (pid > 0) {
            units.push_back(pid);
        }
        if (port.empty()) {
            std::fprintf(stderr, "unit-sim: unit %d did not start\n", number);
            for (const pid_t unit : units) {
                kill(unit, SIGTERM);
                WaitFor(unit);
            }
            return 1;
        }
        ports += (ports.empty() ? "" : ",") + port;
    }
    int commandStatus = 0;
    if (options.Command.empty()) {
        std::printf("unit-sim: port %s\n", ports.c_str());
        std::fflush(stdout);
    } else {
        commandStatus = WaitFor(StartCommand(options.Command, ports));
    }
    bool verified = true;
    for (const pid_t unit : units) {
        verified = (options.Command.empty() ? WaitFor(unit) : StopUnit(unit)) == 0 && verified;
    }
    if (commandStatus != 0) {
        return commandStatus;
    }
    return verified ? 0 : STATUS_NOT_VERIFIED;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed != 0) {
        return parsed < 0 ? 0 : parsed;
    }
    if (const int refused = CheckLineOptions(options)) {
        return refused;
    }
    if (options.Units > 0) {
        return PlayUnits(argv[0], options);
    }
#ifdef __linux__
    // Paced answers are due to the microsecond; the default 50 us of timer slack would show.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    InstallSignals();
    Line line;
    if (!options.SerialLine.empty()) {
        if (!OpenSerialLine(&line, options.SerialLine)) {
            std::fprintf(stderr, "unit-sim: cannot open the line %s: %s\n",
                         options.SerialLine.c_str(), std::strerror(errno));
            return 1;
        }
    } else if (!OpenLine(&line, options.TtyDefaults)) {
        std::fprintf(stderr, "unit-sim: cannot make a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    if (options.Baud > 0) {
        line.ByteNs = 10LL * 1000000000 / options.Baud;
    }
    line.LatencyNs = static_cast<int64_t>(options.LatencyMs) * 1000000;
    line.LastTick = NowNs();
    const int files = CheckFiles(options);
    if (files != 0) {
        return files;
    }
    if (!options.Link.empty()) {
        unlink(options.Link.c_str()); // a link of its own, from a run that was killed
        if (symlink(line.Path.c_str(), options.Link.c_str()) != 0) {
            std::fprintf(stderr, "unit-sim: cannot link %s: %s\n", options.Link.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    pid_t child = -1;
    if (line.Serial) {
        std::printf("unit-sim: line %s\n", line.Path.c_str());
        std::fflush(stdout);
    } else if (options.Command.empty()) {
        std::printf("unit-sim: port %s\n", line.Path.c_str());
        std::fflush(stdout);
    } else {
        child = StartCommand(options.Command, line.Path);
    }

    CSimUnit unit(options.Faults);
    std::vector<uint8_t> rx;
    const int commandStatus = Serve(&line, &unit, child, &rx);
    GiveBackSerialLine(&line);

    // Only while it is still the link this run made: the operator may have put something there.
    if (!options.Link.empty() && IsOwnLink(options.Link)) {
        char target[4096];
        const ssize_t length = readlink(options.Link.c_str(), target, sizeof(target));
        if (length > 0 && std::string(target, static_cast<size_t>(length)) == line.Path) {
            unlink(options.Link.c_str());
        }
    }
    if (!options.Rx.empty() && !WriteFile(options.Rx, rx)) {
        std::fprintf(stderr, "unit-sim: cannot write %s\n", options.Rx.c_str());
    }
    const bool flashWritten = !options.Out.empty() && WriteFile(options.Out, unit.Flash());
    if (!options.Out.empty() && !flashWritten) {
        std::fprintf(stderr, "unit-sim: cannot write %s\n", options.Out.c_str());
    }
    PrintReport(unit, options, flashWritten);
    if (commandStatus > 0) {
        return commandStatus;
    }
    return unit.Verified() ? 0 : STATUS_NOT_VERIFIED;
}
