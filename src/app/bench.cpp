#include "app/bench.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "app/ports.h"
#include "cmdline/cmdline.h"
#include "console/console.h"
#include "console/process.h"
#include "console/progress.h"
#include "console/spawn.h"
#include "console/status.h"
#include "serial/serial.h"

namespace {

const char* const USB_ALL = "usb:all";

std::string Lowered(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::vector<std::string> SplitAtCommas(const std::string& typed) {
    std::vector<std::string> names;
    size_t start = 0;
    for (size_t comma; (comma = typed.find(',', start)) != std::string::npos; start = comma + 1) {
        names.push_back(typed.substr(start, comma - start));
    }
    names.push_back(typed.substr(start));
    return names;
}

// Every USB serial adapter present, said on purpose; none is a usage error with the ports shown.
bool AllUsbAdapters(std::vector<std::string>* ports) {
    const std::vector<SerialPortInfo> matched = MatchUsbAdapters(PresentSerialPorts(), "usb");
    if (matched.empty()) {
        ConsolePrintf("No USB serial adapter matches %s\n", USB_ALL);
        NamePortsPresent();
        return false;
    }
    for (const SerialPortInfo& port : matched) {
        ports->push_back(port.Name);
    }
    return true;
}

bool AddPort(const std::string& name, std::vector<std::string>* ports) {
    if (Lowered(name) == USB_ALL) {
        return AllUsbAdapters(ports);
    }
    std::string port = name;
    if (IsUsbSelector(name) && !FindUsbAdapter(name, &port)) {
        return false;
    }
    ports->push_back(port);
    return true;
}

// The name a unit's console text is kept under: a path by its last part, and a number alone
// (/dev/pts/3) with the folder's name before it.
std::string FileNameOf(const std::string& port) {
    const std::filesystem::path path(port);
    const std::string name = path.filename().string();
    if (name.empty()) {
        return port;
    }
    const bool number = name.find_first_not_of("0123456789") == std::string::npos;
    const std::string folder = path.parent_path().filename().string();
    return number && !folder.empty() ? folder + "-" + name : name;
}

std::string UnitTextPath(const std::string& folder, const std::string& port) {
    std::error_code failed;
    std::filesystem::path whole = std::filesystem::absolute(folder, failed);
    if (failed) {
        whole = folder;
    }
    return FilePathForUnit((whole / (FileNameOf(port) + ".txt")).string());
}

bool IsSwitchArgument(const std::string& arg) {
    return !arg.empty() && std::string(SWITCH_CHARS).find(arg[0]) != std::string::npos;
}

bool IsLeftOut(const std::string& arg) {
    const std::string name = Lowered(arg.substr(1));
    return name == "c" || name == "q" || name == "logs" || name == "-logs";
}

std::string NewLogsFolder() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char name[40];
    std::strftime(name, sizeof(name), "brelwick-%Y%m%d-%H%M%S", &local);
    return name;
}

// What the run knows of a unit as it goes.
struct BenchUnit {
    std::string Port;
    std::string Progress = "starting"; // before the transfer and after it
    bool Ended = false;
    int Status = STATUS_TRANSFER_ENDED;
    unsigned Block = 0; // the block being sent, numbered from 0
    unsigned Blocks = 0;
    unsigned Sent = 0;
    unsigned Total = 0;
    double LeftS = -1; // negative: not known yet
};

std::string LastLineOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::string last;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            last = line;
        }
    }
    return last;
}

// The unit's progress line, as the single-unit run draws it, with the port before it.
std::string ProgressText(const BenchUnit& unit) {
    if (unit.Total == 0 || !unit.Progress.empty()) {
        return unit.Port + "  " + unit.Progress;
    }
    const unsigned percent = static_cast<unsigned>(uint64_t{unit.Sent} * 100 / unit.Total);
    std::string text = unit.Port + "  Block # " + std::to_string(unit.Block) + " of " +
                       std::to_string(unit.Blocks) + "  " + std::to_string(unit.Sent) + " of " +
                       std::to_string(unit.Total) + " bytes  " + std::to_string(percent) + "%";
    if (unit.LeftS >= 0) {
        text += "  " + DurationText(unit.LeftS) + " left";
    }
    return text;
}

void FollowEvent(BenchUnit* unit, const nlohmann::json& event) {
    const std::string kind = event.value("event", "");
    if (kind == "start" && event.contains("blocks") && event["blocks"].is_number()) {
        unit->Blocks = event["blocks"].get<unsigned>();
    } else if (kind == "progress") {
        unit->Progress.clear();
        unit->Sent = event.value("bytes_sent", 0u);
        unit->Total = event.value("image_bytes", 0u);
        const bool known = event.contains("seconds_left") && event["seconds_left"].is_number();
        unit->LeftS = known ? event["seconds_left"].get<double>() : -1;
    } else if (kind == "block") {
        unit->Block = std::min(event.value("block", 0u) + 1, unit->Blocks);
    } else if (kind == "end") {
        unit->Progress = event.value("result", std::string("ended"));
    }
}

void DrawProgress(const std::vector<BenchUnit>& units) {
    if (!ConsoleHasStatusLine()) {
        return;
    }
    std::vector<std::string> lines;
    for (const BenchUnit& unit : units) {
        lines.push_back(ProgressText(unit));
    }
    ConsoleStatusLines(lines);
}

// A line of a unit's standard error: its events, passed on with the port under --json.
void TakeUnitLine(BenchUnit* unit, const std::string& line) {
    const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
    if (event.is_discarded() || !event.is_object()) {
        if (!ConsoleJson()) {
            ConsoleNote("%s: %s\n", unit->Port.c_str(), line.c_str());
        }
        return;
    }
    if (ConsoleJson()) {
        nlohmann::json tagged = event;
        tagged["port"] = unit->Port;
        ConsoleEvent(tagged.dump() + "\n");
        return;
    }
    FollowEvent(unit, event);
}

int RunStatus(const std::vector<BenchUnit>& units) {
    int flashed = 0;
    int unanswered = 0;
    int notFlashed = 0;
    for (const BenchUnit& unit : units) {
        if (unit.Status == STATUS_FLASHED) {
            ++flashed;
        } else if (unit.Status == STATUS_UNIT_UNANSWERED) {
            ++unanswered;
        } else {
            ++notFlashed;
        }
    }
    ConsolePrintf("%d units: %d flashed, %d may not be flashed, %d not flashed\n",
                  static_cast<int>(units.size()), flashed, unanswered, notFlashed);
    if (notFlashed > 0) {
        return STATUS_TRANSFER_ENDED;
    }
    return unanswered > 0 ? STATUS_UNIT_UNANSWERED : STATUS_FLASHED;
}

} // namespace

bool NamesSeveralPorts(const std::string& typed) {
    return typed.find(',') != std::string::npos || Lowered(typed) == USB_ALL;
}

int BenchPorts(const std::string& typed, std::vector<std::string>* ports) {
    ports->clear();
    for (const std::string& name : SplitAtCommas(typed)) {
        if (name.empty()) {
            ConsolePrintf("-c %s names an empty port\n", typed.c_str());
            return STATUS_USAGE;
        }
        if (!AddPort(name, ports)) {
            return STATUS_USAGE;
        }
    }
    for (size_t i = 0; i < ports->size(); ++i) {
        const std::string path = Lowered(MakeDevicePath((*ports)[i]));
        for (size_t j = 0; j < i; ++j) {
            if (Lowered(MakeDevicePath((*ports)[j])) == path) {
                ConsolePrintf("-c names %s twice\n", (*ports)[i].c_str());
                return STATUS_USAGE;
            }
        }
    }
    return 0;
}

std::vector<std::string> UnitArguments(int argc, char** argv, const std::string& port) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (IsSwitchArgument(arg) && IsLeftOut(arg)) {
            if (i + 1 < argc && !IsSwitchArgument(argv[i + 1])) {
                ++i;
            }
            continue;
        }
        args.push_back(arg);
    }
    args.insert(args.end(), {"-c", port, "-q", "--json"});
    return args;
}

int RunBench(const std::vector<std::string>& ports, int argc, char** argv,
             const std::string& logsDir) {
    const std::string folder = logsDir.empty() ? NewLogsFolder() : logsDir;
    std::error_code failed;
    std::filesystem::create_directories(folder, failed);
    ConsoleNote("The console text of each unit goes to %s\n", folder.c_str());
    const std::string program = OwnProgramPath(argv[0]);
    std::vector<BenchUnit> units;
    std::map<int, size_t> byProcess;
    for (const std::string& port : ports) {
        BenchUnit unit;
        unit.Port = port;
        std::vector<std::string> args = UnitArguments(argc, argv, port);
        args.insert(args.begin(), program);
        std::string error;
        const std::string output = UnitTextPath(folder, port);
        const int started = StartUnitProcess(args, output, &error);
        if (started < 0) {
            unit.Ended = true;
            ConsolePrintf("%s: the unit's process could not be started: %s\n", port.c_str(),
                          error.c_str());
        } else {
            byProcess[started] = units.size();
        }
        units.push_back(unit);
    }
    DrawProgress(units);
    for (UnitOutput said = NextUnitOutput(); said.Unit >= 0; said = NextUnitOutput()) {
        BenchUnit& unit = units[byProcess[said.Unit]];
        if (!said.Ended) {
            TakeUnitLine(&unit, said.Line);
            DrawProgress(units);
            continue;
        }
        unit.Ended = true;
        unit.Status = said.Status;
        const std::string output = UnitTextPath(folder, unit.Port);
        ConsolePrintf("%s: %s\n", unit.Port.c_str(), LastLineOf(output).c_str());
        DrawProgress(units);
    }
    ConsoleStatusEnd();
    return RunStatus(units);
}
