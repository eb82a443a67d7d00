// What the whole process shares besides the console's text: its standard descriptors at start,
// whether a stream goes to a terminal, and the operator's interrupt (Ctrl-C, a request to stop, a
// terminal or console window that closes). An interrupted run stops at the next point where it
// can, gives the line back and says so. Each platform implements this in a file of its own
// (process_posix.cpp, process_win32.cpp), chosen by the build.
#pragma once

#include <cstdio>

// POSIX: any of descriptors 0, 1 and 2 that is closed is opened on /dev/null, so that the port can
// never take its place (console text would go down the line, or the prompt would read the unit).
// Called first thing; ends the process with status 1 when it cannot be done. Nothing on Windows.
void GuardStandardDescriptors();

// True when standard output was found closed at start: what is written there since goes nowhere,
// though every write succeeds.
bool StandardOutputWasClosed();

// Installs the handlers: SIGINT, SIGTERM and SIGHUP on POSIX (one the process was started with
// ignored stays ignored, as under nohup), a console control handler on Windows. A second interrupt
// ends the program at once, as if no handler were there.
void InstallInterruptHandlers();

// True once an interrupt came. Every long wait of the program ends promptly when one comes.
bool Interrupted();

// Windows: a bench run's unit is also interrupted when the event whose inherited handle this
// environment variable holds is set. The console's break does not reach a unit where the units
// share no console with the run (Wine started from a pipe, a service).
constexpr const char* UNIT_STOP_EVENT = "BRELWICK_UNIT_STOP_EVENT";

// Forgets an interrupt, so that the next run starts clear. Only a test runs the update twice in
// one process.
void ClearInterrupt();

// The width of the terminal or console that `stream` writes to, 0 when it does not say, or
// NOT_A_TERMINAL for a file, a pipe or a device: only a terminal can take a line that is
// rewritten in place.
constexpr int NOT_A_TERMINAL = -1;
int TerminalColumns(FILE* stream);
// True when the terminal of `stream` takes ANSI cursor movement (on a Windows console, once
// virtual terminal processing is turned on, which this does).
bool TerminalMovesCursor(FILE* stream);

// True when the console was made for this program alone and standard input is that console: on
// Windows, a program started from Explorer (a double-click, a file dropped on it, a shortcut) gets
// a console window of its own, which Windows closes the moment the program ends. False where the
// program was started from a shell, a script, a pipe or a redirect, and always on POSIX, where a
// terminal outlives the programs it runs.
bool HasOwnConsoleWindow();

// Forgets what the operator typed ahead, so that a last question is answered by what is typed
// after it was asked.
void DiscardTypedAhead();
