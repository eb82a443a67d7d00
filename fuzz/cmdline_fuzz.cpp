// libFuzzer target for the switch table. The input is split at NUL bytes into arguments, the
// first one standing for the program path, and the table is built under both sets of switch
// characters. Whatever the arguments, every lookup must answer what the argument next to the
// switch's last appearance says, and nothing the table hands out may move or vanish while it lives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmdline/cmdline.h"

namespace {

constexpr const char* RULE_SETS[] = {"-", "-/"};
// More arguments than any shell passes to this program; keeps each input quick.
constexpr size_t MAX_ARGS = 512;

void Require(bool holds, const char* what, const std::string& name) {
    if (!holds) {
        std::fprintf(stderr, "switch table: %s (switch \"%s\")\n", what, name.c_str());
        std::abort();
    }
}

std::vector<std::string> SplitArguments(const uint8_t* data, size_t size) {
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size && args.size() <= MAX_ARGS; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back() += static_cast<char>(data[i]);
        }
    }
    return args;
}

bool IsSwitch(const std::string& arg, const char* rules) {
    return !arg.empty() && std::strchr(rules, arg[0]) != nullptr;
}

// The name a switch argument gives, worked out here the way an operator reads the rules: the
// first character dropped, A-Z read as a-z.
std::string NameOf(const std::string& arg) {
    std::string name;
    for (size_t i = 1; i < arg.size(); ++i) {
        const char c = arg[i];
        name += c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
    }
    return name;
}

// What a lookup of `name` must answer: the argument after the switch's last appearance when that
// is a value, "T" when no value follows, null when the value is empty or the switch never came.
const char* Expected(const std::vector<std::string>& args, const char* rules,
                     const std::string& name) {
    // A lone switch character names nothing, and a value after it is passed over.
    if (name.empty()) {
        return nullptr;
    }
    for (size_t i = args.size(); i-- > 0;) {
        if (!IsSwitch(args[i], rules) || NameOf(args[i]) != name) {
            continue;
        }
        if (i + 1 == args.size() || IsSwitch(args[i + 1], rules)) {
            return "T";
        }
        return args[i + 1].empty() ? nullptr : args[i + 1].c_str();
    }
    return nullptr;
}

bool SameAnswer(const char* a, const char* b) {
    return (a == nullptr) == (b == nullptr) && (a == nullptr || std::strcmp(a, b) == 0);
}

bool AnyUpperCase(const std::string& name) {
    for (const char c : name) {
        if (c >= 'A' && c <= 'Z') {
            return true;
        }
    }
    return false;
}

// Builds the table under one set of rules and checks every name the arguments could stand for.
// Returns the answers, in the order of `names`, as strings that outlive the table.
std::vector<std::string> CheckTable(std::vector<std::string> args, const char* rules,
                                    const std::vector<std::string>& names) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    CCmdLine table(static_cast<int>(argv.size()), argv.data(), rules);

    std::vector<const char*> first;
    for (const std::string& name : names) {
        const char* value = table.GetSwitchValue(name.c_str());
        Require(SameAnswer(value, Expected(args, rules, name)),
                "answer differs from the argument after its last appearance", name);
        if (value != nullptr) {
            Require(*value != '\0', "an empty value was handed out", name);
            Require(std::strchr(rules, *value) == nullptr, "a value begins like a switch", name);
        }
        Require(value == nullptr || !AnyUpperCase(name), "found under a name with A-Z", name);
        first.push_back(value);
    }
    // Every lookup above left an entry behind; the answers and the characters handed out before
    // must stand as they were.
    std::vector<std::string> answers;
    for (size_t i = 0; i < names.size(); ++i) {
        const char* again = table.GetSwitchValue(names[i].c_str());
        Require(SameAnswer(again, first[i]), "a later lookup changed an earlier answer", names[i]);
        answers.push_back(again == nullptr ? std::string(1, '\0') : std::string(again));
    }
    return answers;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> args = SplitArguments(data, size);
    // The names of every switch under either rule set, each argument taken whole as a name too,
    // and upper-case names that callers never pass, so that misses are asked for as well as hits.
    std::vector<std::string> names = {"f", "c", "q", "n", "", "T"};
    bool anySlash = false;
    for (const std::string& arg : args) {
        anySlash = anySlash || (!arg.empty() && arg[0] == '/');
        if (!arg.empty()) {
            names.push_back(NameOf(arg));
        }
        names.push_back(arg);
    }
    const std::vector<std::string> dash = CheckTable(args, RULE_SETS[0], names);
    const std::vector<std::string> both = CheckTable(args, RULE_SETS[1], names);
    // "/" makes a difference only to an argument that begins with it.
    Require(anySlash || dash == both, "the rule sets differ without any argument beginning /", "");
    return 0;
}
