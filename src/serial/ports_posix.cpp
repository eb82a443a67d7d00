// The port listing's file reads, shared by Linux and macOS: nothing here opens a port.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <vector>

#include "serial/ports_posix.h"
#include "serial/serial.h"
#include "serial/serial_posix.h"

std::string PortSearchRoot;

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* listing = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(listing)) {
            if (entry->d_name[0] != '.') {
                names.push_back(entry->d_name);
            }
        }
        closedir(listing);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Resolved(const std::string& path) {
    std::string resolved;
    if (char* real = realpath(path.c_str(), nullptr)) {
        resolved = real;
        std::free(real);
    }
    return resolved;
}

std::string LastPart(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

int ReadAttribute(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return LATENCY_UNKNOWN;
    }
    int value = LATENCY_UNKNOWN;
    if (std::fscanf(file, "%d", &value) != 1 || value < 0 || value > 255) {
        value = LATENCY_UNKNOWN;
    }
    std::fclose(file);
    return value;
}

namespace {

// The tty that a device stands for: /dev/serial/by-id/usb-FTDI_...-port0 leads to ttyUSB0.
std::string TtyName(const std::string& devicePath) {
    const std::string resolved = Resolved(PortSearchRoot + devicePath);
    return LastPart(resolved.empty() ? devicePath : resolved);
}

} // namespace

AdapterLatency SerialAdapterLatency(const std::string& portName) {
    // Linux shows it for FTDI adapters; it is read after the open has asked for low latency.
    const std::string attribute =
        "/sys/class/tty/" + TtyName(MakeDevicePath(portName)) + "/device/latency_timer";
    AdapterLatency latency;
    latency.TimerMs = ReadAttribute(PortSearchRoot + attribute);
    latency.Remedy = LatencyRemedy(attribute, latency.TimerMs);
    return latency;
}

void SetPortSearchRoot(const std::string& root) {
    PortSearchRoot = root;
}
