// A start from Windows Explorer: a double-click, or a firmware file dropped on the program. Its
// console window is the program's own, and Windows closes it the moment the program ends, so
// what a command line would have given is found or asked for, and the window waits to be read.
#pragma once

#include <string>
#include <vector>

// A file dropped on the program arrives as its only argument, its full path. When `arguments`
// (those that were no switch's value) is one regular file, it goes to *file. Several: the
// operator is told that one firmware file is wanted, and the result is the status to end with;
// otherwise 0.
int TakeDroppedFile(const std::vector<std::string>& arguments, std::string* file);

// The port, when no -c gave one: the one USB serial adapter present, or the one the operator
// picks by its number when there are several, or, when there is none, the operator is asked to
// plug the cable in and press Enter to look again. 0 with the port's name in *port, or the status
// to end with when the operator stops.
int FindPortInWindow(std::string* port);

// The firmware file, when neither -f nor a dropped file gave one: dragged into the window, which
// types its path. 0 with the path in *file, or the status to end with when the answer is empty.
int AskForFirmwareFile(std::string* file);

// The last line asks for Enter, and the window stays open until it comes.
void WaitBeforeWindowCloses();
