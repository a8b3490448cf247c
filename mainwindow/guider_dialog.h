// File > Guider…: dithering and guide-aware frames for the runs of lights
// started from the window, as a script's guider lines set them for its
// captures. PHD2's host and port are the [Guider] group's of ~/.Vantrel.
#pragma once

#include "runner/sequence_runner.h"

class wxWindow;

struct GuiderChoice {
    int ditherPixels = 0;  // 0: no dithering
    int ditherEvery = 1;
    int ditherSettleSeconds = DEFAULT_DITHER_SETTLE_SECONDS;
    int guideWaitSeconds = 0;  // 0: no wait
    int retakeSuspect = 0;
    // Whether a run needs the guider's events (a wait or a retake).
    bool Watches() const { return guideWaitSeconds > 0 || retakeSuspect > 0; }
    // Into a run's settings.
    void ApplyTo(RunSettings& run) const;
};

// The dialog showing `choice`; true, with the new choice in it, on OK.
bool AskGuiderChoice(wxWindow* parent, GuiderChoice& choice);
