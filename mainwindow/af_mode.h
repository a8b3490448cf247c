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
