#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "cmdline/cmdline.h"
#include "support.h"

namespace {

constexpr const char* WINDOWS_RULES = "-/";
constexpr const char* POSIX_RULES = "-";

struct Lookup {
    const char* Name;
    const char* Value; // null: the lookup must answer null
};

struct SwitchCase {
    const char* Title;
    const char* Rules;
    std::vector<std::string> Args; // the program path first
    std::vector<Lookup> Expected;
    std::vector<std::string> Ignored = {}; // neither a switch nor a switch's value
    std::vector<std::string> TypedT = {};  // switches whose value T was typed, not bare
    std::vector<std::string> Given = {};   // when set: every switch given, as typed
};
PRINTS_AS_TITLE(SwitchCase)

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

class SwitchTable : public testing::TestWithParam<SwitchCase> {};

TEST_P(SwitchTable, AnswersEachLookup) {
    const SwitchCase& c = GetParam();
    std::vector<std::string> args = c.Args;
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    CCmdLine table(static_cast<int>(argv.size()), argv.data(), c.Rules);
    for (const Lookup& lookup : c.Expected) {
        const char* value = table.GetSwitchValue(lookup.Name);
        if (lookup.Value == nullptr) {
            EXPECT_EQ(value, nullptr) << "switch '" << lookup.Name << "' is " << value;
        } else {
            ASSERT_NE(value, nullptr) << "switch '" << lookup.Name << "' missing";
            EXPECT_STREQ(value, lookup.Value) << "switch '" << lookup.Name << "'";
        }
        // Asking leaves an empty entry behind; asking again must answer the same.
        const char* again = table.GetSwitchValue(lookup.Name);
        EXPECT_EQ(again == nullptr, value == nullptr);
        if (lookup.Value != nullptr) {
            const bool typed = std::string(lookup.Value) != "T" || Contains(c.TypedT, lookup.Name);
            EXPECT_EQ(table.HasTypedValue(lookup.Name), typed) << "switch '" << lookup.Name << "'";
        }
    }
    EXPECT_EQ(table.IgnoredArguments(), c.Ignored);
    if (!c.Given.empty()) {
        std::vector<std::string> given;
        for (const CCmdLine::GivenSwitch& s : table.GivenSwitches()) {
            given.push_back(s.Typed);
        }
        EXPECT_EQ(given, c.Given);
    }
}

const std::string LONG_PATH = "C:\\firmware\\" + std::string(300, 'x') + ".hex";

// Cases that hold under both sets of rules.
const SwitchCase COMMON[] = {
    {"OnlyProgramPath", nullptr, {"brelwick"}, {{"f", nullptr}, {"c", nullptr}, {"q", nullptr}}},
    {"PortAndFile",
     nullptr,
     {"brelwick", "-c", "COM3", "-f", "fw.hex"},
     {{"c", "COM3"}, {"f", "fw.hex"}}},
    {"NamesLoweredValuesKept",
     nullptr,
     {"brelwick", "-C", "com3", "-F", "Fw.HEX"},
     {{"c", "com3"}, {"f", "Fw.HEX"}, {"C", nullptr}}},
    {"QuietLast", nullptr, {"brelwick", "-f", "fw.hex", "-q"}, {{"q", "T"}, {"f", "fw.hex"}}},
    {"QuietBeforeSwitch",
     nullptr,
     {"brelwick", "-q", "-f", "fw.hex"},
     {{"q", "T"}, {"f", "fw.hex"}}},
    {"QuietWithValue", nullptr, {"brelwick", "-q", "yes"}, {{"q", "yes"}}},
    {"SecondValueIgnored",
     nullptr,
     {"brelwick", "-f", "a.hex", "b.hex"},
     {{"f", "a.hex"}, {"b.hex", nullptr}},
     {"b.hex"}},
    {"RepeatedSwitchKeepsLast",
     nullptr,
     {"brelwick", "-f", "a.hex", "-f", "b.hex"},
     {{"f", "b.hex"}}},
    {"RepeatedSwitchWithoutValue", nullptr, {"brelwick", "-f", "a.hex", "-f"}, {{"f", "T"}}},
    {"EmptyValueIsNull",
     nullptr,
     {"brelwick", "-f", "", "-c", "COM3"},
     {{"f", nullptr}, {"c", "COM3"}}},
    {"LoneDashTakesNoValue",
     nullptr,
     {"brelwick", "-", "x"},
     {{"", nullptr}, {"x", nullptr}},
     {"x"},
     {},
     {"-"}},
    {"WholeRemainderIsTheName",
     nullptr,
     {"brelwick", "-File", "x"},
     {{"file", "x"}, {"f", nullptr}}},
    {"NoSpaceMeansOneName", nullptr, {"brelwick", "-fa.hex"}, {{"fa.hex", "T"}, {"f", nullptr}}},
    {"OneCharacterDropped", nullptr, {"brelwick", "--f", "x"}, {{"-f", "x"}, {"f", nullptr}}},
    {"FileNamedT", nullptr, {"brelwick", "-c", "COM3", "-f"}, {{"f", "T"}, {"c", "COM3"}}},
    {"FileTypedAsT", nullptr, {"brelwick", "-f", "T", "-q"}, {{"f", "T"}, {"q", "T"}}, {}, {"f"}},
    {"TypedValueThenBare",
     nullptr,
     {"brelwick", "-f", "a.hex", "-X", "-f"},
     {{"f", "T"}, {"x", "T"}},
     {},
     {},
     {"-f", "-X", "-f"}},
    {"PortNamedT", nullptr, {"brelwick", "-c", "-f", "fw.hex"}, {{"c", "T"}, {"f", "fw.hex"}}},
    {"OnlyAsciiLowered", nullptr, {"brelwick", "-\xC3\x84Z", "v"}, {{"\xC3\x84z", "v"}}},
    {"LongArgumentTakenWhole", nullptr, {"brelwick", "-f", LONG_PATH}, {{"f", LONG_PATH.c_str()}}},
    {"ProgramPathIsNoValue",
     nullptr,
     {"brelwick", "x", "-c", "COM3"},
     {{"c", "COM3"}, {"x", nullptr}},
     {"x"}},
};

// Cases where "/" starting an argument matters.
const SwitchCase SLASH[] = {
    {"SlashSwitches",
     WINDOWS_RULES,
     {"brelwick", "/C", "COM3", "-F", "fw.hex"},
     {{"c", "COM3"}, {"f", "fw.hex"}}},
    {"SlashValueIsASwitch", WINDOWS_RULES, {"brelwick", "-f", "/x"}, {{"f", "T"}, {"x", "T"}}},
    {"SlashProgramPathIsASwitch",
     WINDOWS_RULES,
     {"/usr/bin/brelwick", "COM3"},
     {{"usr/bin/brelwick", "COM3"}}},
    {"LoneSlash",
     WINDOWS_RULES,
     {"brelwick", "/", "x", "-c", "COM3"},
     {{"", nullptr}, {"c", "COM3"}},
     {"x"}},
    {"SlashIsAValue",
     POSIX_RULES,
     {"brelwick", "/C", "COM3", "-F", "fw.hex"},
     {{"c", nullptr}, {"f", "fw.hex"}},
     {"/C", "COM3"}},
    {"AbsolutePathsAreValues",
     POSIX_RULES,
     {"brelwick", "-c", "/dev/ttyUSB0", "-f", "/home/me/fw.hex"},
     {{"c", "/dev/ttyUSB0"}, {"f", "/home/me/fw.hex"}}},
    {"AbsoluteProgramPathIgnored",
     POSIX_RULES,
     {"/usr/bin/brelwick", "-q"},
     {{"usr/bin/brelwick", nullptr}, {"q", "T"}}},
};

std::vector<SwitchCase> WithRules(const char* rules) {
    std::vector<SwitchCase> cases(std::begin(COMMON), std::end(COMMON));
    for (SwitchCase& c : cases) {
        c.Rules = rules;
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(WindowsRules, SwitchTable, testing::ValuesIn(WithRules(WINDOWS_RULES)),
                         TitleOf<SwitchCase>);
INSTANTIATE_TEST_SUITE_P(PosixRules, SwitchTable, testing::ValuesIn(WithRules(POSIX_RULES)),
                         TitleOf<SwitchCase>);
INSTANTIATE_TEST_SUITE_P(SlashRules, SwitchTable, testing::ValuesIn(SLASH), TitleOf<SwitchCase>);

// The program's own table follows this system's rules: an absolute path is a value on POSIX.
TEST(SwitchTableDefault, FollowsThisSystemsRules) {
    std::string args[] = {"brelwick", "-c", "/dev/ttyUSB0"};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data()};
    CCmdLine table(3, argv);
#ifdef _WIN32
    EXPECT_STREQ(table.GetSwitchValue("c"), "T");
#else
    EXPECT_STREQ(table.GetSwitchValue("c"), "/dev/ttyUSB0");
#endif
}

} // namespace
