// What each phase of a frame does to the lines, by the active port kind and
// the AF mode in force at that moment. A pulse comes in two halves: its
// start sets the lines and says how long they stay set, its end releases
// them; the runner times what lies between.
#pragma once

#include <cstdint>

inline constexpr int PULSE_MS = 200;
inline constexpr int DSUSB_MIRROR_PULSE_MS = 300;
inline constexpr int PARALLEL_MIRROR_PULSE_MS = 300;

// The pulse's length; 0 without a port (nothing sent, nothing to wait for).
int32_t MirrorLockPulseStart();
void MirrorLockPulseEnd();
void ExposureStart();
// PULSE_MS after ExposureStart, only when the run's start-pulse flag is set.
void StartPulseEnd();
// Releases every line that ExposureStart set. On "-IR" it starts the
// closing pulse and returns its length (ClosingPulseEnd ends it); 0 elsewhere.
int32_t ExposureEnd();
void ClosingPulseEnd();
// From ExposureStart to the exposure's end, its closing pulse included.
bool ExposureInProgress();
// For the ways out of the program: ends a pulse or an exposure in progress
// at once, the pulses that must run their length timed by a plain sleep.
void ReleaseLinesNow();
