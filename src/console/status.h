// The program's exit statuses. A script tells a flashed unit from one that was not by these.
#pragma once

constexpr int STATUS_FLASHED = 0;         // every step of the update was answered by the unit
constexpr int STATUS_HELP = 0;            // help was asked for and printed
constexpr int STATUS_USAGE = 1;           // -f or -c missing; the port not found or not opened
constexpr int STATUS_OUTPUT_FAILED = 1;   // -n, -l, -h, --version: standard output not written
constexpr int STATUS_FILE_REFUSED = 2;    // the firmware file was refused; the unit was not touched
constexpr int STATUS_TRANSFER_ENDED = 3;  // the transfer ended early; the unit was not flashed
constexpr int STATUS_UNIT_UNANSWERED = 4; // all was sent, but the unit failed to answer some step
