// What the POSIX serial link lets a test change, and nothing else includes.
#pragma once

#include <string>

// The directory that stands for "/" when the port-open hint lists the serial ports present (its
// dev and sys trees are searched). "" means this machine's own; tests give a tree they made.
void SetPortSearchRoot(const std::string& root);
