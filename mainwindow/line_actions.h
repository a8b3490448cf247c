// What each phase of a frame does to the lines, by the active port kind and
// the AF mode in force at that moment. A pulse comes in two halves: its
// start sets the lines and says how long they stay set, its end releases
// them; the runner times what lies between.
#pragma once

#include <cstdint>
#include <functional>

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
// On "-IR": the time on the runner's clock (microseconds) from which RTS
// may rise again. The remote reads each press as one toggle, so a press
// comes at least PULSE_MS after the one before it ended, or the two run
// together and the camera is left exposing. 0 on the other port kinds.
int64_t NextPressAtUs();
void ForgetPresses();
// For the ways out of the program: ends a pulse or an exposure in progress
// at once. On "-IR" a pulse runs its length and the release before the
// closing pulse its PULSE_MS, timed by plain sleeps. `exposureEnded` is
// called when an exposure in progress ends here (its lines released, or on
// "-IR" its closing pulse begun), for its line in the log.
void ReleaseLinesNow(const std::function<void()>& exposureEnded = nullptr);
