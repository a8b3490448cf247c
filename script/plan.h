// A night's plan: runs of frames, each a capture with its own settings (a
// frame type and a target, the exposures and their delays, mirror lock-up,
// dithering and the wait for guiding), and the clock time it starts at.
// A plan is saved as a script, and a script whose lines a plan can show is
// read back as one. No toolkit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PlannedRun {
    std::string type = "Light";
    std::string target;
    int exposures = 10;
    int durationS = 60;
    int beforeS = 1;
    int afterS = 5;
    bool mirrorLock = false;
    int ditherPixels = 0;  // 0: no dithering
    int ditherEvery = 1;
    int guideWaitS = 0;
    int afMode = -1;  // AF_NONE, AF_PULSE_AT_START, AF_HELD_DURING; -1: the window's
};

struct Plan {
    std::string startAt;  // "21:30", or "" for at once
    std::vector<PlannedRun> runs;
};

// The script that runs the plan: each run's every setting, then its
// capture.
std::vector<std::string> PlanScript(const Plan& plan);
// The plan a script's lines make, each value held to its field's range;
// false for a script with lines a plan cannot show (PromptOK, a capture's own delay, a StartAt after the first
// capture, a bad line).
bool ReadPlan(const std::vector<std::string>& lines, Plan& plan);
// A run's length in seconds, as the countdown estimates it.
int32_t RunSeconds(const PlannedRun& run);
// "02:42", local time.
std::string ClockTimeText(int64_t utcMs);
