// What the POSIX serial link needs to wait for an interrupt as well as for the line.
#pragma once

// A descriptor that becomes readable when an interrupt comes, or -1 before the handlers are
// installed. A select() that waits on it as well cannot miss an interrupt that came just before it
// began, as a wait that only looks at Interrupted() first could.
int InterruptWakeFd();
