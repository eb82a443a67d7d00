#include "console/spawn.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "console/process.h"

namespace {

struct Unit {
    PROCESS_INFORMATION Process{};
    HANDLE Err = INVALID_HANDLE_VALUE;
    bool Running = true;
    std::thread Reader;
};

std::vector<std::unique_ptr<Unit>> Units;
std::deque<UnitOutput> Ready;
std::mutex ReadyLock;
std::condition_variable ReadyChanged;
bool InterruptPassedOn = false;
// Set with the break: it reaches the units where the break does not. Made inheritable before the
// first unit starts, and named to each unit in its environment.
HANDLE StopEvent = nullptr;

// An interrupt has no handle to wait on: the wait for the units looks at it this often.
constexpr auto INTERRUPT_LOOK = std::chrono::milliseconds(250);

void Push(const UnitOutput& said) {
    {
        const std::lock_guard<std::mutex> hold(ReadyLock);
        Ready.push_back(said);
    }
    ReadyChanged.notify_one();
}

// One thread a unit: reads its standard error line by line, then waits for its end.
void ReadUnit(int index, Unit* unit) {
    std::string pending;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(unit->Err, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        pending.append(buffer, got);
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            UnitOutput said;
            said.Unit = index;
            said.Line = pending.substr(0, end);
            if (!said.Line.empty() && said.Line.back() == '\r') {
                said.Line.pop_back();
            }
            pending.erase(0, end + 1);
            Push(said);
        }
    }
    WaitForSingleObject(unit->Process.hProcess, INFINITE);
    DWORD code = 0;
    UnitOutput ended;
    ended.Unit = index;
    ended.Ended = true;
    ended.Status = GetExitCodeProcess(unit->Process.hProcess, &code) ? static_cast<int>(code) : -1;
    Push(ended);
}

// Windows' rules for one argument on a command line.
std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
        return arg;
    }
    std::string quoted = "\"";
    size_t slashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        quoted.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
        slashes = 0;
        quoted.push_back(c);
    }
    quoted.append(slashes * 2, '\\');
    return quoted + "\"";
}

std::string SystemWords(DWORD code) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof(text), nullptr);
    std::string words = text;
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r')) {
        words.pop_back();
    }
    return words;
}

void CloseAll(std::initializer_list<HANDLE> handles) {
    for (const HANDLE handle : handles) {
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr) {
            CloseHandle(handle);
        }
    }
}

// Units are started one after the other from this thread, and each one's inheritable handles
// are closed here as soon as it has them: a later unit inherits none of an earlier one's, so
// each unit's standard error ends when that unit does.
bool CreateWithHandles(std::string commandLine, HANDLE in, HANDLE out, HANDLE err,
                       PROCESS_INFORMATION* process) {
    STARTUPINFOA start{};
    start.cb = sizeof(start);
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = in;
    start.hStdOutput = out;
    start.hStdError = err;
    // A group of its own: the console's Ctrl-C reaches this process alone, which passes it on.
    return CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                          CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &start, process) != 0;
}

void MakeStopEvent() {
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    StopEvent = CreateEventA(&inherited, TRUE, FALSE, nullptr);
    if (StopEvent != nullptr) {
        SetEnvironmentVariableA(
            UNIT_STOP_EVENT,
            std::to_string(static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(StopEvent)))
                .c_str());
    }
}

void PassOnInterrupt() {
    InterruptPassedOn = true;
    if (StopEvent != nullptr) {
        SetEvent(StopEvent);
    }
    for (const std::unique_ptr<Unit>& unit : Units) {
        if (unit->Running) {
            GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, unit->Process.dwProcessId);
        }
    }
}

} // namespace

// GetFullPathName() would itself turn ...\\COM3.txt into the port: the path given is taken as
// whole, with its separators made Windows' own.
std::string FilePathForUnit(const std::string& path) {
    const std::string prefix = "\\\\?\\";
    if (path.rfind(prefix, 0) == 0) {
        return path;
    }
    std::string whole = path;
    for (char& c : whole) {
        c = c == '/' ? '\\' : c;
    }
    return prefix + whole;
}

std::string OwnProgramPath(const char* argv0) {
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    return length > 0 && length < sizeof(path) ? std::string(path, length) : std::string(argv0);
}

int StartUnitProcess(const std::vector<std::string>& args, const std::string& outputPath,
                     std::string* error) {
    if (StopEvent == nullptr) {
        MakeStopEvent();
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    std::string commandLine;
    for (const std::string& arg : args) {
        commandLine += (commandLine.empty() ? "" : " ") + Quoted(arg);
    }
    auto unit = std::make_unique<Unit>();
    HANDLE out = INVALID_HANDLE_VALUE;
    HANDLE in = INVALID_HANDLE_VALUE;
    HANDLE readEnd = INVALID_HANDLE_VALUE;
    HANDLE writeEnd = INVALID_HANDLE_VALUE;
    // Each step that fails leaves its code; the ones after it are not tried.
    bool started =
        (out = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) != INVALID_HANDLE_VALUE;
    started =
        started && (in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr)) != INVALID_HANDLE_VALUE;
    started = started && CreatePipe(&readEnd, &writeEnd, &inherit, 0) &&
              SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0) &&
              CreateWithHandles(commandLine, in, out, writeEnd, &unit->Process);
    const DWORD code = started ? 0 : GetLastError();
    CloseAll({out, in, writeEnd});
    if (!started) {
        CloseAll({readEnd});
        *error = SystemWords(code);
        return -1;
    }
    CloseHandle(unit->Process.hThread);
    unit->Err = readEnd;
    const int index = static_cast<int>(Units.size());
    unit->Reader = std::thread(ReadUnit, index, unit.get());
    Units.push_back(std::move(unit));
    return index;
}

UnitOutput NextUnitOutput() {
    std::unique_lock<std::mutex> hold(ReadyLock);
    for (;;) {
        if (!Ready.empty()) {
            const UnitOutput next = Ready.front();
            Ready.pop_front();
            if (next.Ended) {
                Unit& unit = *Units[static_cast<size_t>(next.Unit)];
                unit.Running = false;
                unit.Reader.join();
                CloseAll({unit.Err, unit.Process.hProcess});
            }
            return next;
        }
        bool running = false;
        for (const std::unique_ptr<Unit>& unit : Units) {
            running = running || unit->Running;
        }
        if (!running) {
            return UnitOutput();
        }
        if (Interrupted() && !InterruptPassedOn) {
            PassOnInterrupt();
        }
        ReadyChanged.wait_for(hold, INTERRUPT_LOOK);
    }
}
