// What the Linux and macOS port listings share: the directory that stands for "/" and plain reads
// of its files. Only the ports_* files include it.
#pragma once

#include <string>
#include <vector>

// "" for this machine's own tree; tests give one they made (SetPortSearchRoot).
extern std::string PortSearchRoot;

// A name in a directory that is an entry of its own: neither "." nor "..", nor hidden.
std::vector<std::string> Entries(const std::string& dir);
// The path a link or a path with links in it leads to, or "" when it leads nowhere.
std::string Resolved(const std::string& path);
std::string LastPart(const std::string& path);
// The number a sysfs attribute holds, or LATENCY_UNKNOWN.
int ReadAttribute(const std::string& path);

// How the operator makes an adapter answer sooner on this system, given the file that holds its
// latency timer and what it read (each platform's listing says it).
std::string LatencyRemedy(const std::string& attribute, int timerMs);
