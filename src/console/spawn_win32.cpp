#include "console/spawn.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
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

// Each unit inherits its own three handles and no other unit's, or a unit's standard error
// would stay open for as long as any later unit runs.
bool CreateWithHandles(std::string commandLine, HANDLE in, HANDLE out, HANDLE err,
                       PROCESS_INFORMATION* process) {
    HANDLE handles[] = {in, out, err};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
        return false;
    }
    bool created = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                             handles, sizeof(handles), nullptr, nullptr) != 0;
    STARTUPINFOEXA start{};
    start.StartupInfo.cb = sizeof(start);
    start.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    start.StartupInfo.hStdInput = in;
    start.StartupInfo.hStdOutput = out;
    start.StartupInfo.hStdError = err;
    start.lpAttributeList = attributes;
    // A group of its own: the console's Ctrl-C reaches this process alone, which passes it on.
    created = created && CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT,
                                        nullptr, nullptr, &start.StartupInfo, process) != 0;
    DeleteProcThreadAttributeList(attributes);
    return created;
}

void PassOnInterrupt() {
    InterruptPassedOn = true;
    for (const std::unique_ptr<Unit>& unit : Units) {
        if (unit->Running) {
            GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, unit->Process.dwProcessId);
        }
    }
}

} // namespace

std::string OwnProgramPath(const char* argv0) {
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    return length > 0 && length < sizeof(path) ? std::string(path, length) : std::string(argv0);
}

int StartUnitProcess(const std::vector<std::string>& args, const std::string& outputPath,
                     std::string* error) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE out = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    const HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                  OPEN_EXISTING, 0, nullptr);
    HANDLE readEnd = INVALID_HANDLE_VALUE;
    HANDLE writeEnd = INVALID_HANDLE_VALUE;
    std::string commandLine;
    for (const std::string& arg : args) {
        commandLine += (commandLine.empty() ? "" : " ") + Quoted(arg);
    }
    auto unit = std::make_unique<Unit>();
    const bool started = out != INVALID_HANDLE_VALUE && in != INVALID_HANDLE_VALUE &&
                         CreatePipe(&readEnd, &writeEnd, &inherit, 0) &&
                         SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0) &&
                         CreateWithHandles(commandLine, in, out, writeEnd, &unit->Process);
    const DWORD code = GetLastError();
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
