// The guider, asked to dither between frames and watched for its events
// (is it guiding, what did it do while the shutter was open): a part of the
// engine.
// Production talks to PHD2 on its event server; tests pass a fake.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <string>

struct DitherRequest {
    int pixels = 0;
    int settleSeconds = 10;
    double settlePixels = 1.5;
    int settleTimeoutSeconds = 70;  // PHD2's own settle timeout
    int32_t giveUpMs = 80000;  // when the guider says nothing more
};

// How a dither ended: settled, or why not, in the guider's words where it
// gave any ("not guiding", "guider sent an over-long line").
struct DitherOutcome {
    bool settled = false;
    std::string reason;
};

// The guider's events, as PHD2 names them (GuideEventName); CONNECTION_LOST
// when the connection to the guider dropped, OTHER for an event not named
// here.
enum class GuideEventKind {
    OTHER,
    CONNECTION_LOST,
    VERSION,
    APP_STATE,
    LOCK_POSITION_SET,
    LOCK_POSITION_LOST,
    STAR_SELECTED,
    STAR_LOST,
    START_CALIBRATION,
    CALIBRATING,
    CALIBRATION_COMPLETE,
    START_GUIDING,
    GUIDE_STEP,
    GUIDING_DITHERED,
    SETTLE_BEGIN,
    SETTLING,
    SETTLE_DONE,
    PAUSED,
    RESUMED,
    GUIDING_STOPPED,
    LOOPING_EXPOSURES,
    LOOPING_EXPOSURES_STOPPED,
    ALERT,
    CONFIGURATION_CHANGE,
};

// The states that PHD2's AppState names.
enum class GuiderState { UNKNOWN, STOPPED, SELECTED, CALIBRATING, GUIDING, LOST_LOCK, PAUSED, LOOPING };

// One of the guider's events, as far as a run needs it: its kind, the state
// an AppState names, and a guide step's distances from the lock position in
// pixels.
struct GuideEvent {
    GuideEventKind kind = GuideEventKind::OTHER;
    GuiderState state = GuiderState::UNKNOWN;
    double raDistanceRaw = 0;
    double decDistanceRaw = 0;
};

// PHD2's names ("GuideStep", "AppState", "ConnectionLost", "Other"), and the
// kind or state a name stands for (OTHER, UNKNOWN for a name not known).
const char* GuideEventName(GuideEventKind kind);
GuideEventKind GuideEventNamed(const std::string& name);
const char* GuiderStateName(GuiderState state);
GuiderState GuiderStateNamed(const std::string& name);

class Guider {
public:
    virtual ~Guider() = default;
    // Hands every event to `onEvent`, from the event loop of the thread
    // that called (the run's own, in the program), over one
    // connection kept open until Unwatch: a dropped one is reported as
    // "ConnectionLost" and looked for again every few seconds. On each
    // connection PHD2 first sends what it has set up (Version,
    // LockPositionSet, StarSelected, CalibrationComplete, StartGuiding or
    // Paused) and AppState last.
    virtual void Watch(std::function<void(const GuideEvent&)> onEvent) = 0;
    virtual void Unwatch() = 0;
    // Asks for a dither; `done` is called once, from that event loop. Never
    // called after Cancel.
    virtual void Dither(const DitherRequest& request, std::function<void(const DitherOutcome&)> done) = 0;
    virtual void Cancel() = 0;
};

// PHD2's event server (port 4400 is its first instance, 4401 the second);
// a watch's dropped connection is looked for again every `retryMs`.
std::unique_ptr<Guider> MakePhd2Guider(const std::string& host = "localhost", uint16_t port = 4400,
                                       unsigned retryMs = 3000);
