#include "cmdline/cmdline.h"

#include <cstring>

namespace {

// A switch that no value follows gets this value.
const char* const NO_VALUE = "T";

bool IsSwitch(const std::string& arg, const char* switchChars) {
    return !arg.empty() && std::strchr(switchChars, arg[0]) != nullptr;
}

// The name is everything after the switch character, with only A-Z lowered: other bytes, UTF-8
// included, are kept as typed.
std::string SwitchName(const std::string& arg) {
    std::string name = arg.substr(1);
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return name;
}

} // namespace

CCmdLine::CCmdLine(int argc, char** argv, const char* switchChars) {
    std::string pending;
    const auto bare = [&] {
        if (!pending.empty()) {
            m_Table[pending] = NO_VALUE;
            m_Typed.erase(pending);
        }
    };
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i] != nullptr ? argv[i] : "";
        if (IsSwitch(arg, switchChars)) {
            bare();
            pending = SwitchName(arg);
            // The program path is no switch the operator gave, whatever it starts with.
            if (i > 0) {
                m_Given.push_back({arg, pending});
            }
        } else if (!pending.empty()) {
            m_Table[pending] = arg;
            m_Typed.insert(pending);
            pending.clear();
        } else if (i > 0) {
            m_Ignored.push_back(arg);
        }
    }
    bare();
}

bool CCmdLine::HasTypedValue(const char* name) const {
    return m_Typed.count(name) != 0;
}

const char* CCmdLine::GetSwitchValue(const char* name) {
    // Asking for a switch that was not given leaves an empty entry behind; an empty value answers
    // null either way.
    const std::string& value = m_Table[name];
    return value.empty() ? nullptr : value.c_str();
}
