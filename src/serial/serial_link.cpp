// What the serial link shares across platforms: the process-wide port state, the open that ends
// the run when the port cannot be had, and the words that tell the operator why.
#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "console/console.h"
#include "serial/serial.h"

SerialPort* PortHandle = INVALID_PORT;
std::string PortName;
std::string DevicePath;

namespace {

SerialTimeouts ReadTimeouts = UNIT_READ_TIMEOUTS;

bool IsDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// The number written from `at` on, without its leading zeros; `at` is moved past it.
std::string TakeNumber(const std::string& text, size_t* at) {
    const size_t end = std::min(text.find_first_not_of("0123456789", *at), text.size());
    std::string number = text.substr(*at, end - *at);
    *at = end;
    number.erase(0, std::min(number.find_first_not_of('0'), number.size() - 1));
    return number;
}

// Compares runs of digits by their value and everything else character by character, so that
// ttyS10 comes after ttyS2 and COM10 after COM9.
bool CountedBefore(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            const std::string numberA = TakeNumber(a, &i);
            const std::string numberB = TakeNumber(b, &j);
            // Without leading zeros, the longer number is the larger.
            if (numberA.size() != numberB.size()) {
                return numberA.size() < numberB.size();
            }
            if (numberA != numberB) {
                return numberA < numberB;
            }
        } else if (a[i] != b[j]) {
            return a[i] < b[j];
        } else {
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

} // namespace

void SetSerialReadTimeouts(const SerialTimeouts& timeouts) {
    ReadTimeouts = timeouts;
}

const SerialTimeouts& SerialReadTimeouts() {
    return ReadTimeouts;
}

void OpenSerialPort() {
    DevicePath = MakeDevicePath(PortName);
    const int code = SerialOpen(DevicePath, &PortHandle);
    if (code != 0) {
        PortHandle = INVALID_PORT;
        ConsolePrintf("Error Opening %s... %d\n", PortName.c_str(), code);
        ConsoleLine(OpenFailureText(code, PortName).c_str());
        std::exit(1);
    }
}

std::string OpenFailureText(int code, const std::string& portName) {
    const std::string hint = SerialOpenHint(code, portName);
    const std::string text = SerialErrorText(code);
    return hint.empty() ? text : text + " - " + hint;
}

std::string PortListText(std::vector<std::string> ports) {
    if (ports.empty()) {
        return "no serial ports found on this machine";
    }
    std::sort(ports.begin(), ports.end(), CountedBefore);
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    std::string text = "serial ports on this machine: " + ports[0];
    for (size_t i = 1; i < ports.size(); ++i) {
        text += ", " + ports[i];
    }
    return text;
}
