// The processes of a bench run: one for each unit, each the program itself on one port. Standard
// output goes to a file of the unit's own, standard error comes back through a pipe this process
// reads. Each platform implements this in a file of its own (spawn_posix.cpp, spawn_win32.cpp),
// chosen by the build.
#pragma once

#include <string>
#include <vector>

// The file of the running program, to start again for each unit; `argv0` when the system does
// not say.
std::string OwnProgramPath(const char* argv0);

// The path under which a unit's file is opened, from an absolute path. Windows takes a name such
// as COM3.txt for the port COM3 itself, unless the whole path is given after \\?\; elsewhere the
// path as it is.
std::string FilePathForUnit(const std::string& path);

// Starts `args` (the program first) with nothing on standard input, standard output to the file
// `outputPath` (made, or emptied), standard error to a pipe. Returns the unit's number, from 0 in
// the order started, or -1 with the system's words in *error.
int StartUnitProcess(const std::vector<std::string>& args, const std::string& outputPath,
                     std::string* error);

struct UnitOutput {
    int Unit = -1;      // -1: no unit is left running
    bool Ended = false; // the unit's process ended, with Status (-1 when it was killed)
    int Status = 0;
    std::string Line; // otherwise a line of its standard error, without the line end
};

// Sleeps until a unit says a line on standard error or ends. An interrupt that came is passed
// on to every unit still running, once, and each ends in its own way.
UnitOutput NextUnitOutput();
