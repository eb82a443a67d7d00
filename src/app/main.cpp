#include <csignal>

#include "app/update.h"
#include "console/process.h"

int main(int argc, char** argv) {
    GuardStandardDescriptors();
    InstallInterruptHandlers();
#ifdef SIGPIPE
    // A console that goes away, such as a pipe whose reader ended, must not end the program in
    // the middle of a transfer; what cannot be printed is lost, the update goes on.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    return RunUpdate(argc, argv);
}
