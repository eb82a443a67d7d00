// The switch table: the program's arguments turned into a map from switch name to value.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

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

    // Whether the switch's last appearance had a value typed after it: a bare switch reads "T"
    // just as a switch given the value T does, and only this tells them apart.
    bool HasTypedValue(const char* name) const;

    // A switch as the operator typed it, and the name it gives.
    struct GivenSwitch {
        std::string Typed;
        std::string Name;
    };
    // The switches after the program path, in the order given.
    const std::vector<GivenSwitch>& GivenSwitches() const { return m_Given; }
    // The arguments after the program path that were neither a switch nor a switch's value.
    const std::vector<std::string>& IgnoredArguments() const { return m_Ignored; }

  private:
    std::map<std::string, std::string> m_Table;
    std::set<std::string> m_Typed; // switches whose value was typed
    std::vector<GivenSwitch> m_Given;
    std::vector<std::string> m_Ignored;
};
