#include "console/console.h"

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "console/process.h"
#include "record/record.h"

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

// The last line read was longer than the buffer: the rest of it is still waiting in the input.
bool InputMidLine = false;

// ---- The status line ----

constexpr int NOT_LOOKED_AT = -2;

// The width of the terminal that notes go to: NOT_A_TERMINAL, or 0 when it does not say.
int NoteColumns = NOT_LOOKED_AT;
// Whether that terminal takes the cursor back up, which the status lines of several units need:
// asked only when there are several, since a Windows console is changed by the asking.
int NoteRowsMovable = NOT_LOOKED_AT;
std::vector<std::string> Status; // the status lines' texts; empty: there are none
std::vector<size_t> StatusShown; // characters of each row now on the screen; empty: not drawn
bool OutAtLineStart = true;
bool OutFailed = false;

bool JsonEvents = false;
std::string LineSoFar; // standard output's line being written
std::string LastLine;  // standard output's last whole line

void FollowLines(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\n') {
            LastLine = LineSoFar;
            LineSoFar.clear();
        } else {
            LineSoFar += text[i];
        }
    }
}

int Columns() {
    if (NoteColumns == NOT_LOOKED_AT) {
        NoteColumns = TerminalColumns(Err());
    }
    return NoteColumns;
}

void CursorUp(size_t rows) {
    if (rows > 0) {
        std::fprintf(Err(), "\x1b[%uA", static_cast<unsigned>(rows));
    }
}

void Blank(size_t characters) {
    for (size_t i = 0; i < characters; ++i) {
        std::fputc(' ', Err());
    }
}

// Leaves the cursor where the first row began, every row blank.
void EraseStatus() {
    if (StatusShown.empty()) {
        return;
    }
    for (size_t row = StatusShown.size(); row-- > 0;) {
        std::fputc('\r', Err());
        Blank(StatusShown[row]);
        CursorUp(row > 0 ? 1 : 0);
    }
    std::fputc('\r', Err());
    std::fflush(Err());
    StatusShown.clear();
}

// A terminal that cannot take the cursor back up shows the rows side by side on one line.
std::vector<std::string> RowsToDraw() {
    if (Status.size() > 1 && NoteRowsMovable == NOT_LOOKED_AT) {
        NoteRowsMovable = TerminalMovesCursor(Err()) ? 1 : 0;
    }
    if (Status.size() <= 1 || NoteRowsMovable == 1) {
        return Status;
    }
    std::string joined;
    for (const std::string& row : Status) {
        joined += (joined.empty() ? "" : " | ") + row;
    }
    return {joined};
}

// Drawn only where a line begins: in the middle of one (the unit's echo being shown byte by
// byte), the carriage return would go back over the program's own text on a shared terminal.
void DrawStatus() {
    if (Status.empty() || !OutAtLineStart || Columns() == NOT_A_TERMINAL) {
        return;
    }
    const std::vector<std::string> rows = RowsToDraw();
    if (rows.size() != StatusShown.size()) {
        EraseStatus();
    }
    CursorUp(StatusShown.empty() ? 0 : StatusShown.size() - 1);
    StatusShown.resize(rows.size(), 0);
    for (size_t i = 0; i < rows.size(); ++i) {
        size_t length = rows[i].size();
        // A line longer than the terminal wraps, and the carriage return could no longer erase it.
        if (Columns() > 0 && length >= static_cast<size_t>(Columns())) {
            length = static_cast<size_t>(Columns()) - 1;
        }
        std::fputs(i > 0 ? "\n\r" : "\r", Err());
        std::fwrite(rows[i].data(), 1, length, Err());
        Blank(StatusShown[i] > length ? StatusShown[i] - length : 0);
        StatusShown[i] = length > 0 ? length : 1;
    }
    std::fflush(Err());
}

void Write(FILE* stream, const char* text, size_t length) {
    EraseStatus();
    const bool written = std::fwrite(text, 1, length, stream) == length;
    const bool flushed = std::fflush(stream) == 0;
    if (stream == Out()) {
        OutFailed = OutFailed || !written || !flushed;
    }
    if (stream == Out() && length > 0) {
        OutAtLineStart = text[length - 1] == '\n';
        FollowLines(text, length);
    }
    if (length > 0 && text[length - 1] == '\n') {
        DrawStatus();
    }
}

void WriteFormatted(FILE* stream, const char* format, va_list args) {
    char small[512];
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof(small), format, args);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(length) < sizeof(small)) {
        Write(stream, small, static_cast<size_t>(length));
    } else {
        std::vector<char> large(static_cast<size_t>(length) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        Write(stream, large.data(), static_cast<size_t>(length));
    }
    va_end(again);
}
// The note's text without the newline that ends it; a note of several lines keeps the ones
// inside.
void NoteAsEvent(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    if (length >= 0) {
        std::vector<char> text(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        std::string note(text.data(), static_cast<size_t>(length));
        if (!note.empty() && note.back() == '\n') {
            note.pop_back();
        }
        ConsoleEvent(NoteEvent(note));
    }
    va_end(again);
}
} // namespace

void ConsolePrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteFormatted(Out(), format, args);
    va_end(args);
}

void ConsoleLine(const char* line) {
    std::string text = line;
    text += '\n';
    Write(Out(), text.data(), text.size());
}

void ConsoleNote(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (JsonEvents) {
        NoteAsEvent(format, args);
    } else {
        WriteFormatted(Err(), format, args);
    }
    va_end(args);
}

bool ConsoleOutputFailed() {
    return OutFailed || (Out() == stdout && StandardOutputWasClosed());
}

bool ConsoleHasStatusLine() {
    return !JsonEvents && Columns() != NOT_A_TERMINAL;
}

void SetConsoleJson(bool on) {
    ConsoleStatusEnd();
    JsonEvents = on;
}

bool ConsoleJson() {
    return JsonEvents;
}

void ConsoleEvent(const std::string& line) {
    Write(Err(), line.data(), line.size());
}

std::string ConsoleLastLine() {
    return LineSoFar.empty() ? LastLine : LineSoFar;
}

void ConsoleStatus(const std::string& text) {
    ConsoleStatusLines({text});
}

void ConsoleStatusLines(const std::vector<std::string>& lines) {
    if (!ConsoleHasStatusLine() || (lines == Status && !StatusShown.empty())) {
        return;
    }
    Status = lines;
    DrawStatus();
}

void ConsoleStatusEnd() {
    EraseStatus();
    Status.clear();
}

bool ConsoleReadLine(char* buffer, int size) {
    if (std::fgets(buffer, size, In()) == nullptr) {
        return false;
    }
    InputMidLine = std::strchr(buffer, '\n') == nullptr;
    return true;
}

bool ConsoleReadAnswer(std::string* answer) {
    answer->clear();
    // An interrupt or an end of input at an earlier question is no reason not to ask this one.
    std::clearerr(In());
    char chunk[256];
    bool read = false;
    while (std::fgets(chunk, sizeof(chunk), In()) != nullptr) {
        read = true;
        answer->append(chunk);
        if (answer->back() == '\n') {
            break;
        }
    }
    InputMidLine = false;
    while (!answer->empty() && (answer->back() == '\n' || answer->back() == '\r')) {
        answer->pop_back();
    }
    return read;
}

void ConsoleWaitForEnter() {
    std::string ignored;
    if (InputMidLine) {
        ConsoleReadAnswer(&ignored);
    }
    ConsoleReadAnswer(&ignored);
}

void SetConsoleStreams(FILE* out, FILE* in) {
    ConsoleOut = out;
    ConsoleIn = in;
    OutAtLineStart = true;
    OutFailed = false;
    LineSoFar.clear();
    LastLine.clear();
    InputMidLine = false;
}

void SetConsoleNoteStream(FILE* err) {
    ConsoleStatusEnd();
    ConsoleErr = err;
    NoteColumns = NOT_LOOKED_AT;
    NoteRowsMovable = NOT_LOOKED_AT;
}
