#include "app/window.h"

#include <cstdlib>
#include <sys/stat.h>

#include "console/console.h"
#include "console/process.h"
#include "console/status.h"
#include "serial/serial.h"

namespace {

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == S_IFREG;
}

// Spaces around the answer go, and the quotes a console puts around a dragged path with spaces.
std::string Unquoted(std::string text) {
    const size_t first = text.find_first_not_of(" \t");
    text = first == text.npos ? "" : text.substr(first, text.find_last_not_of(" \t") - first + 1);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
    }
    return text;
}

bool IsStop(const std::string& answer) {
    return answer == "q" || answer == "Q";
}

void NoteTaken(const SerialPortInfo& port) {
    ConsoleNote("Using %s: %s\n", port.Name.c_str(), PortDescription(port).c_str());
}

// The adapters numbered from 1, and the one the operator types the number of; 0 when the operator
// stops (Enter alone, q, the end of input).
size_t PickAdapter(const std::vector<SerialPortInfo>& adapters) {
    ConsoleLine("Several USB serial adapters are plugged in:");
    const std::vector<std::string> lines = PortListLines(adapters);
    for (size_t i = 0; i < lines.size(); ++i) {
        ConsolePrintf("  %u  %s\n", static_cast<unsigned>(i + 1), lines[i].c_str());
    }
    for (;;) {
        ConsolePrintf("Type the number of the one the unit is on and press Enter (Enter alone "
                      "stops): ");
        std::string answer;
        if (!ConsoleReadAnswer(&answer) || Interrupted()) {
            return 0;
        }
        answer = Unquoted(answer);
        if (answer.empty() || IsStop(answer)) {
            return 0;
        }
        const bool digits = answer.find_first_not_of("0123456789") == answer.npos;
        const unsigned long number = digits ? std::strtoul(answer.c_str(), nullptr, 10) : 0;
        if (digits && answer.size() <= 3 && number >= 1 && number <= adapters.size()) {
            return static_cast<size_t>(number);
        }
    }
}

} // namespace

int TakeDroppedFile(const std::vector<std::string>& arguments, std::string* file) {
    if (arguments.size() > 1) {
        ConsolePrintf("One firmware file is wanted, and %u were given: drop one file on the "
                      "program\n",
                      static_cast<unsigned>(arguments.size()));
        return STATUS_USAGE;
    }
    if (arguments.size() == 1 && IsRegularFile(arguments[0])) {
        *file = arguments[0];
    }
    return 0;
}

int FindPortInWindow(std::string* port) {
    for (;;) {
        const std::vector<SerialPortInfo> adapters = MatchUsbAdapters(PresentSerialPorts(), "usb");
        if (adapters.size() == 1) {
            NoteTaken(adapters[0]);
            *port = adapters[0].Name;
            return 0;
        }
        if (adapters.size() > 1) {
            const size_t picked = PickAdapter(adapters);
            if (picked == 0) {
                return STATUS_USAGE;
            }
            NoteTaken(adapters[picked - 1]);
            *port = adapters[picked - 1].Name;
            return 0;
        }
        ConsoleLine("No USB serial adapter is plugged in: plug in the cable to the unit.");
        ConsolePrintf("Then press Enter to look again (q and Enter stops): ");
        std::string answer;
        if (!ConsoleReadAnswer(&answer) || Interrupted() || IsStop(Unquoted(answer))) {
            return STATUS_USAGE;
        }
    }
}

int AskForFirmwareFile(std::string* file) {
    ConsolePrintf("Drag the firmware file into this window and press Enter (Enter alone stops): ");
    std::string answer;
    if (!ConsoleReadAnswer(&answer) || Interrupted()) {
        return STATUS_USAGE;
    }
    *file = Unquoted(answer);
    return file->empty() ? STATUS_USAGE : 0;
}

void WaitBeforeWindowCloses() {
    DiscardTypedAhead();
    ConsolePrintf("Press Enter to close this window");
    ConsoleWaitForEnter();
}
