// The operator's log (--log): a file that only ever grows. Every line goes in one write to a file
// opened for appending, so that programs logging to one file at once never mix their lines, and
// reaches the disk before the program goes on. Each platform implements this in a file of its own
// (log_file_posix.cpp, log_file_win32.cpp), chosen by the build.
#pragma once

#include <string>

struct LogFile;

// Opens `path` as typed for appending, making it when it is not there. Returns 0 and the file,
// or the platform's error code.
int OpenLogFile(const std::string& path, LogFile** log);

// Appends `line` in one write and flushes it to the disk. 0 on success, else the platform's code.
int AppendToLog(LogFile* log, const std::string& line);

void CloseLogFile(LogFile* log);

// The platform's own description of an error code, for the operator.
std::string LogErrorText(int code);
