// The ports present, for the operator who does not know which one the unit is on: the listing
// (-l), the ports named where -c is missing, and -c usb, which finds the one USB serial adapter.
#pragma once

#include <string>

// -l: one line a port on standard output; status 0, or 1 with "No serial ports found" when there
// is none.
int ListPorts();

// The same lines for the person watching, on standard error, when a port must be named.
void NamePortsPresent();

// -c usb or usb:TEXT: the one USB serial adapter that matches, whose name goes to *portName, with
// a line on standard error saying which port was taken. False, with what matched or did not said,
// when there is not exactly one.
bool FindUsbAdapter(const std::string& selector, std::string* portName);

// --wait: until the port is present (for usb or usb:TEXT, until an adapter matches), says once on
// standard error that it waits and looks again twice a second. False when an interrupt came first.
bool WaitForPort(const std::string& port);
