// The log on Windows: a handle opened with FILE_APPEND_DATA alone writes every WriteFile at the
// end of the file, whoever else writes there, and can never rewrite what is in it.
#include <windows.h>

#include "record/log_file.h"

struct LogFile {
    HANDLE Handle;
};

int OpenLogFile(const std::string& path, LogFile** log) {
    const HANDLE handle =
        CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return static_cast<int>(GetLastError());
    }
    *log = new LogFile{handle};
    return 0;
}

int AppendToLog(LogFile* log, const std::string& line) {
    DWORD written = 0;
    if (!WriteFile(log->Handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
        return static_cast<int>(GetLastError());
    }
    if (written != line.size()) {
        return ERROR_WRITE_FAULT;
    }
    return FlushFileBuffers(log->Handle) ? 0 : static_cast<int>(GetLastError());
}

void CloseLogFile(LogFile* log) {
    if (log != nullptr) {
        CloseHandle(log->Handle);
        delete log;
    }
}

std::string LogErrorText(int code) {
    char text[512] = {};
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), 0, text, sizeof(text), nullptr);
    std::string words(text, length);
    while (!words.empty() &&
           (words.back() == '\n' || words.back() == '\r' || words.back() == ' ')) {
        words.pop_back();
    }
    return words;
}
