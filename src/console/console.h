// Console output and the operator's input, used by every part of the program. Everything the
// program says goes through here and is flushed at once, so an operator watching the terminal, or
// a log being written, sees each echo of the unit as it arrives even though the echoes carry no
// newline.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#if defined(__GNUC__)
#define BRELWICK_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define BRELWICK_PRINTF(f, a)
#endif

// Writes a printf-style format exactly as given.
void ConsolePrintf(const char* format, ...) BRELWICK_PRINTF(1, 2);

// Writes the line followed by a newline.
void ConsoleLine(const char* line);

// True when something written to standard output did not get there: a full disk, a pipe whose
// reader ended, an output that was closed. Where the output is the point of a run, that is a
// failure of the run.
bool ConsoleOutputFailed();

// Writes a printf-style note for the person watching, on standard error: a warning about the
// command line, a note about the line or the adapter, a closing summary. Scripts read standard
// output, which carries only the program's own messages; notes never go there.
void ConsoleNote(const char* format, ...) BRELWICK_PRINTF(1, 2);

// The status line: one line on standard error, rewritten in place, for the person watching the
// update. It exists only when standard error is a terminal (a Windows console included); nothing
// of it is written otherwise. It is erased before anything else is written, to either stream, and
// drawn again once that ends a line, so standard output reads as it would without it.
bool ConsoleHasStatusLine();
// Sets the status line's text and draws it.
void ConsoleStatus(const std::string& text);
// Several status lines, one under the other, redrawn in place as one (a bench run's units). A
// terminal that cannot take the cursor back up gets them side by side on one line.
void ConsoleStatusLines(const std::vector<std::string>& lines);
// Erases the status line and forgets it.
void ConsoleStatusEnd();

// Events for a program that drives this one (--json): standard error then carries only JSON
// lines. Every note becomes a "note" event, and the status line is never drawn.
void SetConsoleJson(bool on);
bool ConsoleJson();
// Writes one event line, as made by record/record.h, to where notes go.
void ConsoleEvent(const std::string& line);

// The last line written to standard output, without its newline (the line still being written
// when it has any text): the verdict, once the run is over.
std::string ConsoleLastLine();

// Reads one line of at most size - 1 characters from the operator; what stays unread stays in the
// input. Returns false at end of input.
bool ConsoleReadLine(char* buffer, int size);

// Reads the operator's answer to a question: one whole line, without its line end. Returns false
// at end of input.
bool ConsoleReadAnswer(std::string* answer);

// Waits for the operator's Enter, on a line of its own: what was left of a line read before is
// not it. End of input ends the wait too.
void ConsoleWaitForEnter();

// Where output goes and input comes from: standard output and standard input unless a test says
// otherwise.
void SetConsoleStreams(FILE* out, FILE* in);
// Where notes go: standard error unless a test says otherwise.
void SetConsoleNoteStream(FILE* err);
