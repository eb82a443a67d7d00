// The process on Windows: Ctrl-C, Ctrl-Break and a console window that closes interrupt a run.
// Windows calls the console control handler on a thread of its own; the handler only records the
// interrupt. The main thread sees it within a fraction of a second even while it waits for a
// silent unit, because no read of the serial link waits longer than that at a time
// (serial_win32.cpp).
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <io.h>
#include <thread>

#include "console/process.h"

namespace {

std::atomic<bool> InterruptSeen{false};
bool HandlerInstalled = false;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (InterruptSeen.exchange(true)) {
        // The second one: Windows' own handler ends the process at once.
        return FALSE;
    }
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        return TRUE;
    }
    // The window is closing or the session ending: Windows ends the process as soon as this
    // returns, so it does not return. The main thread gives the line back and ends the process;
    // Windows ends it anyway after a few seconds.
    Sleep(INFINITE);
    return TRUE;
}

// A unit of a bench run: the run's stop event, when it is set, is an interrupt like Ctrl-C.
void WatchStopEvent() {
    const char* value = std::getenv(UNIT_STOP_EVENT);
    if (value == nullptr || *value == '\0') {
        return;
    }
    const HANDLE stop =
        reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(value, nullptr, 10)));
    std::thread([stop] {
        if (WaitForSingleObject(stop, INFINITE) == WAIT_OBJECT_0) {
            InterruptSeen = true;
        }
    }).detach();
}

} // namespace

void GuardStandardDescriptors() {
    // Nothing to do: a port opened with CreateFile never takes the place of a standard handle.
}

// A missing standard handle is left missing, and writes to it fail: the console sees that.
bool StandardOutputWasClosed() {
    return false;
}

void InstallInterruptHandlers() {
    ClearInterrupt();
    if (!HandlerInstalled) {
        HandlerInstalled = SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
        WatchStopEvent();
    }
}

bool Interrupted() {
    return InterruptSeen.load();
}

void ClearInterrupt() {
    InterruptSeen = false;
}

// Windows' own _isatty() says yes to NUL and to serial ports, so the console is asked for its mode
// instead.
int TerminalColumns(FILE* stream) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
        return NOT_A_TERMINAL;
    }
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(handle, &info)) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool TerminalMovesCursor(FILE* stream) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
        return false;
    }
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

namespace {

// Wine gives a program started from a Unix terminal a console of its own as well, with a window
// that is never shown; the terminal stays open after the program. Only under Wine is that window
// looked at: the one that Windows Terminal gives a program it hosts is hidden too.
bool IsWineTerminalConsole(HWND window) {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr &&
           !IsWindowVisible(window);
}

} // namespace

// Explorer, a shortcut or a file association starts a console program in a console of its own;
// cmd, PowerShell, a batch file or a terminal share theirs, and the program is one of several
// processes attached to it.
bool HasOwnConsoleWindow() {
    DWORD processes[2] = {};
    if (GetConsoleProcessList(processes, 2) != 1) {
        return false;
    }
    const HWND window = GetConsoleWindow();
    DWORD mode = 0;
    return window != nullptr && !IsWineTerminalConsole(window) &&
           GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

void DiscardTypedAhead() {
    FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
}
