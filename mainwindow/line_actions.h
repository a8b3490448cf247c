// What each phase of a frame does to the lines, by the active port kind and
// the AF mode in force at that moment. The pulse sleeps block without
// yielding.
#pragma once

class Clock;

inline constexpr int PULSE_MS = 200;
inline constexpr int DSUSB_MIRROR_PULSE_MS = 300;
inline constexpr int PARALLEL_MIRROR_PULSE_MS = 300;

void MirrorLockPulse(Clock& clock);
void ExposureStart();
// Only when the run's start-pulse flag is set.
void StartPulse(Clock& clock);
// Releases every line that ExposureStart set (the closing pulse on "-IR").
void ExposureEnd(Clock& clock);
// Between ExposureStart and ExposureEnd.
bool ExposureInProgress();
