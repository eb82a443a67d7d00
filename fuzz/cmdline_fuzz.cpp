// libFuzzer target for the switch table: the input is split at NUL bytes into arguments, and the
// table built from them under both sets of switch characters must keep its promises.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmdline/cmdline.h"

namespace {

std::vector<std::string> Arguments(const uint8_t* data, size_t size) {
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size && args.size() < 256; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back() += static_cast<char>(data[i]);
        }
    }
    return args;
}

std::string Lowered(const std::string& text) {
    std::string lowered = text;
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lowered;
}

void Check(std::vector<std::string> args, const char* switchChars) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    CCmdLine table(static_cast<int>(argv.size()), argv.data(), switchChars);
    for (const std::string& arg : args) {
        if (arg.empty() || std::strchr(switchChars, arg[0]) == nullptr) {
            continue;
        }
        const std::string name = Lowered(arg.substr(1));
        const char* value = table.GetSwitchValue(name.c_str());
        const char* again = table.GetSwitchValue(name.c_str());
        if ((value == nullptr) != (again == nullptr) ||
            (value != nullptr && std::strcmp(value, again) != 0)) {
            std::abort(); // asking twice must answer the same
        }
        if (value == nullptr) {
            continue;
        }
        // A value is never empty and never a switch: it is "T" or an argument given as a value.
        if (*value == '\0' ||
            (std::strcmp(value, "T") != 0 && std::strchr(switchChars, value[0]) != nullptr)) {
            std::abort();
        }
        bool given = std::strcmp(value, "T") == 0;
        for (const std::string& other : args) {
            given = given || other == value;
        }
        if (!given) {
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> args = Arguments(data, size);
    Check(args, "-");
    Check(args, "-/");
    return 0;
}
