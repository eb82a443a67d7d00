// The log on Linux and macOS: O_APPEND puts every write at the end, whoever else writes there.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "record/log_file.h"

struct LogFile {
    int Fd;
};

int OpenLogFile(const std::string& path, LogFile** log) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno;
    }
    *log = new LogFile{fd};
    return 0;
}

int AppendToLog(LogFile* log, const std::string& line) {
    ssize_t written;
    do {
        written = write(log->Fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        return errno;
    }
    // A short write would leave half a line for the next writer to finish: it is said, not hidden.
    if (static_cast<size_t>(written) != line.size()) {
        return EIO;
    }
    return fsync(log->Fd) == 0 ? 0 : errno;
}

void CloseLogFile(LogFile* log) {
    if (log != nullptr) {
        close(log->Fd);
        delete log;
    }
}

std::string LogErrorText(int code) {
    return std::strerror(code);
}
