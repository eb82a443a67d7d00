// Catches what the program writes to its console while a test drives it in-process: its own text,
// and apart from it the notes that go to standard error.
#pragma once

#include <cstdio>
#include <string>

#include "console/console.h"

class ConsoleCapture {
  public:
    explicit ConsoleCapture(FILE* input = nullptr)
        : m_File(std::tmpfile()), m_Notes(std::tmpfile()) {
        SetConsoleStreams(m_File, input);
        SetConsoleNoteStream(m_Notes);
    }
    ~ConsoleCapture() {
        SetConsoleStreams(nullptr, nullptr);
        SetConsoleNoteStream(nullptr);
        for (FILE* file : {m_File, m_Notes}) {
            if (file != nullptr) {
                std::fclose(file);
            }
        }
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Everything written so far.
    std::string Text() const { return Contents(m_File); }
    std::string Notes() const { return Contents(m_Notes); }

  private:
    static std::string Contents(FILE* file) {
        std::string text;
        if (file == nullptr) {
            return text;
        }
        std::fflush(file);
        std::rewind(file);
        char chunk[4096];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
            text.append(chunk, got);
        }
        std::fseek(file, 0, SEEK_END);
        return text;
    }

    FILE* m_File;
    FILE* m_Notes;
};
