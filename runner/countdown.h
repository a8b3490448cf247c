// The remaining-time estimate of a run and its display. No toolkit.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* REMAINING_IDLE = "Total Remaining --:--:--";

inline constexpr int32_t MS_PER_SECOND = 1000;

// Milliseconds as seconds, a started second counted whole.
constexpr int32_t WholeSeconds(int32_t ms) { return (ms + MS_PER_SECOND - 1) / MS_PER_SECOND; }

// One frame: A + B + D seconds.
int32_t FrameSeconds(int32_t duration, int32_t beforeDelay, int32_t afterDelay);

// N x (A + B + D) + S + 1 seconds, plus N / 5 for the pulsed infra-red
// serial port (each frame there takes two extra 200 ms pulses), or on the
// other ports (N - 1) / 5 when neither delay parts two frames (the shutter
// line is released 200 ms between them).
int32_t EstimateSeconds(int32_t exposures, int32_t duration, int32_t startDelay, int32_t beforeDelay,
                        int32_t afterDelay, bool infrared);

// A length in words: "1 h 40 min", "10 min 0 s", "45 s".
std::string DurationText(int64_t seconds);

// "HH:MM:SS", as below.
std::string ClockText(int32_t seconds);

// "Total Remaining HH:MM:SS"; hours are not wrapped at 24 and take as many
// digits as they need. A negative count (an overrun estimate) carries its
// sign in front of the whole time: -5 gives "-00:00:05".
std::string RemainingLabel(int32_t seconds);
