// A bench run: several units at once, each on its own port and in a process of its own that runs
// the ordinary update, with one verdict for each unit and one for the whole run.
#pragma once

#include <string>
#include <vector>

// -c names several ports: a comma in it, or usb:all.
bool NamesSeveralPorts(const std::string& typed);

// The ports -c names, each usb:TEXT replaced by the one adapter it matches and usb:all by every
// USB serial adapter present. 0, or STATUS_USAGE with what is wrong said: an empty name, a port
// named twice, a selector that does not match exactly one adapter, usb:all finding none.
int BenchPorts(const std::string& typed, std::vector<std::string>* ports);

// The arguments for one unit's process: the run's own after the program path, without -c, -q and
// --logs (and their values), then -c port, -q and --json.
std::vector<std::string> UnitArguments(int argc, char** argv, const std::string& port);

// Starts a process for each port, each unit's standard output to DIR/PORT.txt (DIR is `logsDir`,
// or a new folder brelwick-YYYYMMDD-HHMMSS here when empty), says one line for each unit as it
// ends and the count at the end. 0 when every unit was flashed, 3 when some unit was not, 4
// otherwise.
int RunBench(const std::vector<std::string>& ports, int argc, char** argv,
             const std::string& logsDir);
