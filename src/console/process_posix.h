// What the POSIX serial link needs to wait for an interrupt as well as for the line, and what the
// tests set in place of the system.
#pragma once

// A descriptor that becomes readable when an interrupt comes, or -1 before the handlers are
// installed. A poll() or select() that waits on it as well cannot miss an interrupt that came just
// before it began, as a wait that only looks at Interrupted() first could.
int InterruptWakeFd();

// A POSIX program never has a console window of its own; tests say it has, to drive what the
// program does in one on Windows.
void SetOwnConsoleWindowForTests(bool own);
