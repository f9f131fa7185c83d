#pragma once
// What the program settles about its own process before it runs a command.

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed (for reading on 0, for
// writing on 1 and 2), so that no file the command opens can take the place of a
// standard stream. False when /dev/null cannot be opened.
bool openClosedStandardDescriptors();

// Raises the soft limit of open files to the hard limit: a walk holds one folder open per
// level, and a deep tree goes past the usual soft limit long before the hard one. A
// refusal leaves the limit as it was.
void raiseOpenFileLimit();
