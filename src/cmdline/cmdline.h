// The switch table: the program's arguments turned into a map from switch name to value.
#pragma once

#include <map>
#include <string>

// The characters that start a switch. On POSIX every absolute path begins with "/", so only "-"
// starts a switch there; Windows keeps both. This is the only place the two systems differ.
#ifdef _WIN32
constexpr const char* SWITCH_CHARS = "-/";
#else
constexpr const char* SWITCH_CHARS = "-";
#endif

class CCmdLine {
  public:
    // Builds the table from all argc arguments, the program path included. switchChars lists the
    // characters that make an argument a switch; tests pass both sets of rules.
    CCmdLine(int argc, char** argv, const char* switchChars = SWITCH_CHARS);
    virtual ~CCmdLine() = default;

    // The value given for `name` (compared exactly), or null when the switch was not given or its
    // value is empty. The characters stay valid while the table lives.
    const char* GetSwitchValue(const char* name);

  private:
    std::map<std::string, std::string> m_Table;
};
