#include <csignal>
#include <cstdlib>

#include "app/update.h"
#include "app/window.h"
#include "console/process.h"

int main(int argc, char** argv) {
    GuardStandardDescriptors();
    InstallInterruptHandlers();
#ifdef SIGPIPE
    // A console that goes away, such as a pipe whose reader ended, must not end the program in
    // the middle of a transfer; what cannot be printed is lost, the update goes on.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // A window of its own would close with the verdict in it, however the run ends: a port that
    // would not open ends the process from deep inside.
    if (HasOwnConsoleWindow()) {
        std::atexit(WaitBeforeWindowCloses);
    }
    return RunUpdate(argc, argv);
}
