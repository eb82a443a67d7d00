// The update sequence: the switches, the port, the firmware file, the operator, the transfer.
#pragma once

#include "cmdline/cmdline.h"

// The switch table, made by RunUpdate and kept until the process ends.
extern CCmdLine* CmdLine;

// The whole program; its result is the exit status (console/status.h).
int RunUpdate(int argc, char** argv);

// Closes the port and frees the file's text if either is still held. Safe in any state.
void ReleaseResources();
