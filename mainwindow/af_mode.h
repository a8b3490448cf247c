// The auto-focus line mode and its one setting in the configuration store.
#pragma once

enum AFModes : int { AF_NONE = 0, AF_PULSE_AT_START = 1, AF_HELD_DURING = 2 };

// Never anything but AF_NONE, AF_PULSE_AT_START or AF_HELD_DURING.
extern int AFMode;

// The stored mode; a missing, unreadable or out-of-range entry gives AF_NONE.
// Writes nothing.
int ReadAFMode();
// The result is not looked at: a failed write keeps the old value.
void WriteAFMode(int mode);
// The same without the toolkit, for a way out of the program where it may
// not be used (the display has gone): plain file writes, the key's line
// replaced in the file read at start-up. False when it could not be written.
bool WriteAFModeWithoutToolkit(int mode);
