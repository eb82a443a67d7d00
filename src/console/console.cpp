#include "console/console.h"

#include <cstdarg>

namespace {
FILE* ConsoleOut = nullptr;
FILE* ConsoleIn = nullptr;
FILE* ConsoleErr = nullptr;

FILE* Out() {
    return ConsoleOut != nullptr ? ConsoleOut : stdout;
}
FILE* Err() {
    return ConsoleErr != nullptr ? ConsoleErr : stderr;
}
FILE* In() {
    return ConsoleIn != nullptr ? ConsoleIn : stdin;
}
} // namespace

void ConsolePrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(Out(), format, args);
    va_end(args);
    std::fflush(Out());
}

void ConsoleLine(const char* line) {
    std::fputs(line, Out());
    std::fputc('\n', Out());
    std::fflush(Out());
}

void ConsoleNote(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(Err(), format, args);
    va_end(args);
    std::fflush(Err());
}

bool ConsoleReadLine(char* buffer, int size) {
    return std::fgets(buffer, size, In()) != nullptr;
}

void SetConsoleStreams(FILE* out, FILE* in) {
    ConsoleOut = out;
    ConsoleIn = in;
}

void SetConsoleNoteStream(FILE* err) {
    ConsoleErr = err;
}
