// What the guider did, as its events tell it: whether it is guiding
// steadily now (for the wait before an exposure), and what it did while the
// shutter was open (for the exposure's line in the log). Times are the
// run's clock. No toolkit, no connection: the run hands the events in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "guider/guider.h"

// What the guider did during one exposure.
struct GuideRecord {
    // √(mean(RA² + Dec²)) of the guide steps while the shutter was open, in
    // pixels; "" without a guider or without a step.
    std::string rmsPx;
    // "StarLost@12.3s;GuidingStopped@40.1s": seconds into the exposure; an
    // event that came again is counted at its first time
    // ("StarLost@12.3s×1840"), so that a guider that floods keeps the
    // record short.
    std::string events;
    // "yes", "no" (not guiding, or no guider), "suspect" (an event above, or
    // a wait for guiding that ran out); "" when no guider was watched.
    std::string guided;
};

class GuideWatch {
public:
    // A run that watches the guider begins, or ends.
    void Start();
    void Stop() { watching_ = false; }
    bool Watching() const { return watching_; }

    void Take(const GuideEvent& event, int64_t atUs);
    // Guiding, not paused, not settling, its star not lost.
    bool Steady() const;
    // The guider has said something since its connection was last lost.
    bool Connected() const { return connected_; }
    // The guider has said that it is not guiding (stopped, looping,
    // calibrating, paused).
    bool NotGuiding() const { return connected_ && (!guiding_ || paused_); }

    // The shutter opens; `waitRanOut` when the wait for steady guiding
    // before it ran out.
    void BeginExposure(int64_t atUs, bool waitRanOut);
    // The shutter has closed: what the guider did while it was open.
    GuideRecord EndExposure();

private:
    void Note(const char* what, int64_t atUs);

    bool watching_ = false;
    bool connected_ = false;
    bool guiding_ = false;
    bool paused_ = false;
    bool settling_ = false;
    bool starLost_ = false;

    bool exposing_ = false;
    int64_t exposureStartUs_ = 0;
    int steps_ = 0;
    double sumSquares_ = 0;
    struct Noted {
        const char* what;
        int64_t atUs;
        int count;
    };
    std::vector<Noted> noted_;
    bool suspect_ = false;
    bool guidedAtStart_ = false;
};
