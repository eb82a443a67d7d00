// The process on Linux and macOS: standard descriptors that start closed, and the signals that
// interrupt a run (Ctrl-C, kill, a terminal that closes).
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "console/process.h"
#include "console/process_posix.h"

namespace {

constexpr int INTERRUPT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int SIGNAL_COUNT = sizeof(INTERRUPT_SIGNALS) / sizeof(INTERRUPT_SIGNALS[0]);

volatile sig_atomic_t InterruptSeen = 0;
volatile sig_atomic_t Handled[SIGNAL_COUNT] = {};
int WakePipe[2] = {-1, -1};
bool OwnWindowForTests = false;
bool OutputWasClosed = false;

void OnInterrupt(int) {
    const int saved = errno;
    InterruptSeen = 1;
    const char note = 1;
    const ssize_t ignored = write(WakePipe[1], &note, 1);
    (void)ignored;
    // The next one ends the program at once: an operator who presses Ctrl-C twice means it.
    for (int i = 0; i < SIGNAL_COUNT; ++i) {
        if (Handled[i] != 0) {
            signal(INTERRUPT_SIGNALS[i], SIG_DFL);
        }
    }
    errno = saved;
}

void MakeWakePipe() {
    if (WakePipe[0] >= 0 || pipe(WakePipe) != 0) {
        return;
    }
    for (const int fd : WakePipe) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
}

} // namespace

void GuardStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free descriptor is the one found closed, so this open takes its place.
        if (open("/dev/null", O_RDWR) != fd) {
            std::exit(1);
        }
        OutputWasClosed = OutputWasClosed || fd == STDOUT_FILENO;
    }
}

bool StandardOutputWasClosed() {
    return OutputWasClosed;
}

void InstallInterruptHandlers() {
    MakeWakePipe();
    ClearInterrupt();
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking call ends with EINTR, and the program looks at the interrupt.
    action.sa_flags = 0;
    for (int i = 0; i < SIGNAL_COUNT; ++i) {
        struct sigaction previous {};
        sigaction(INTERRUPT_SIGNALS[i], nullptr, &previous);
        Handled[i] = previous.sa_handler != SIG_IGN &&
                     sigaction(INTERRUPT_SIGNALS[i], &action, nullptr) == 0;
    }
}

bool Interrupted() {
    return InterruptSeen != 0;
}

void ClearInterrupt() {
    InterruptSeen = 0;
    char drained[64];
    while (WakePipe[0] >= 0 && read(WakePipe[0], drained, sizeof(drained)) > 0) {
    }
}

int InterruptWakeFd() {
    return WakePipe[0];
}

int TerminalColumns(FILE* stream) {
    const int fd = fileno(stream);
    if (fd < 0 || !isatty(fd)) {
        return NOT_A_TERMINAL;
    }
    winsize size{};
    return ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

bool TerminalMovesCursor(FILE* stream) {
    const int fd = fileno(stream);
    return fd >= 0 && isatty(fd);
}

bool HasOwnConsoleWindow() {
    return OwnWindowForTests;
}

void SetOwnConsoleWindowForTests(bool own) {
    OwnWindowForTests = own;
}

void DiscardTypedAhead() {
    // Only a console window of its own asks a last question, and POSIX has none.
}
