// Catches what the program writes to its console while a test drives it in-process.
#pragma once

#include <cstdio>
#include <string>

#include "console/console.h"

class ConsoleCapture {
  public:
    explicit ConsoleCapture(FILE* input = nullptr) : m_File(std::tmpfile()) {
        SetConsoleStreams(m_File, input);
    }
    ~ConsoleCapture() {
        SetConsoleStreams(nullptr, nullptr);
        if (m_File != nullptr) {
            std::fclose(m_File);
        }
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Everything written so far.
    std::string Text() const {
        std::string text;
        if (m_File == nullptr) {
            return text;
        }
        std::fflush(m_File);
        std::rewind(m_File);
        char chunk[4096];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof(chunk), m_File)) > 0) {
            text.append(chunk, got);
        }
        std::fseek(m_File, 0, SEEK_END);
        return text;
    }

  private:
    FILE* m_File;
};
