// The exposure engine: one whole series of bulb exposures, run phase by
// phase on a monotonic clock, in the loop where the run lives (the run's own
// thread, or the driver's loop; runner/run_control.h puts it there). Each
// wait is a call at its deadline, so the lines change on time and an abort
// or a close acts at once. What a run shows goes to a RunView. No toolkit.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "guider/guider.h"
#include "ports/trigger_lines.h"
#include "runner/clock.h"
#include "runner/exposure_log.h"
#include "runner/guide_watch.h"
#include "runner/sleep_inhibitor.h"

inline constexpr int DEFAULT_DITHER_SETTLE_SECONDS = 10;

// What the guider made of the exposures since the guider was first
// watched: "20 frames, 2 suspect, 2 retaken".
struct GuideTally {
    int32_t frames = 0;  // ran to their end
    int32_t suspect = 0;
    int32_t retaken = 0;
};

// What a run is asked to do, read once at its start.
struct RunSettings {
    int32_t exposures = 1;
    // Each wait's length in milliseconds: whole seconds from the window's
    // controls and a script, fractions from a driver (a camera on a cable
    // can take 0.5 s). Texts and estimates count a started second as one.
    int32_t durationMs = 1000, startDelayMs = 0, beforeDelayMs = 1000, afterDelayMs = 5000;
    // A start at a clock time (a script's StartAt): the initial delay lasts
    // until then by the wall clock, at most a day, and follows a step of
    // it; 0 for none.
    int64_t startAtUtcMs = 0;
    // Between frames the guider dithers by this many pixels (0: not at all)
    // and settles for this many seconds. Only lights dither, wait and retake.
    int ditherPixels = 0;
    int ditherSettleSeconds = DEFAULT_DITHER_SETTLE_SECONDS;
    // Dither after every this-many-th frame.
    int ditherEvery = 1;
    // Before each exposure, wait up to this many seconds for steady guiding
    // (0: no wait); only while the guider is watched.
    int guideWaitSeconds = 0;
    // Take a frame that the guider spoiled again, up to this many times in
    // the run.
    int retakeSuspect = 0;
    std::string source = "window";  // for the exposure log: "window", "script:7"
    // What the frames are, for the log and the camera's file names: one of
    // FRAME_TYPES, and the target ("M42"; "" for none).
    std::string frameType = "Light";
    std::string target;
};

enum class RunEnd {
    DONE,  // "Sequence Done"
    ABORTED,  // "Aborted"
    CLOSED,  // "Aborted", and a close was asked for: the port is released, the front end goes
    PORT_LOST,  // "Aborted", or not started: the port went (the reason given)
    FAILED,  // "Aborted": the run could not go on (the reason given)
    STOPPED,  // "Stopped": asked to stop after the frame in progress
};

// The words every view uses for a run's end: "Sequence Done" or "Aborted"
// (the status line's), and with `port`, a lost port named ("Lost the
// connection to COM5 (/dev/ttyUSB0)").
std::string EndText(RunEnd end, const std::string& port = "");

// Where a run is, for a display that shows it at a glance: given as each
// wait begins and at each step of its countdown.
struct RunProgress {
    int32_t frame = 0;  // 0 in the initial delay
    int32_t frames = 0;
    std::string phase;  // "Exposing", "Pre-frame delay", ...
    // The wait's own countdown in seconds; -1 for a wait without one (a
    // pulse, the dither's settling).
    int32_t phaseSecondsLeft = -1;
    // The run's, as the countdown shows them, and what they were at its start.
    int32_t secondsLeft = 0;
    int32_t secondsTotal = 0;
    // A run without a port: its waits and texts, and nothing sent.
    bool noPort = false;
};

// What a run tells its views, in order: facts, which each view puts in its
// own words (through StatusText and RemainingText where the words are the
// same).
enum class RunEventKind {
    STARTED,  // the run is under way
    STAGE,  // a stage with a status line began
    PROGRESS,  // a wait began, or its countdown stepped
    TIME_LEFT,  // the run's countdown stepped (progress.secondsLeft)
    DITHER_FAILED,  // why
    ENDED,  // the run is over (or was refused), its lines released
};

// The stages a status line names.
enum class RunStage { NONE, INITIAL_DELAY, PRE_FRAME, GUIDE_WAIT, EXPOSURE, RETAKE, POST_FRAME, DITHERING, PAUSED };

struct RunEvent {
    RunEventKind kind = RunEventKind::PROGRESS;
    RunProgress progress;
    // STAGE: which, the length its text names (the setting's), and for a
    // retake, its number and how many are allowed.
    RunStage stage = RunStage::NONE;
    int32_t lengthMs = 0;
    int32_t retake = 0;
    int32_t retakes = 0;
    // ENDED: how; false when a run was refused (its port gone) and never
    // began; the exposures that ran to their end (of progress.frames); the
    // port as the user knows it ("COM5 (/dev/ttyUSB0)"); why for PORT_LOST
    // and FAILED, and PHD2's words for DITHER_FAILED; for DONE, why the log
    // was not written.
    RunEnd end = RunEnd::DONE;
    bool began = true;
    int32_t framesDone = 0;
    std::string port;
    std::string why;
    std::string logFailure;
};

// The status line's words for a STAGE, DITHER_FAILED or ENDED event
// ("5s Pre-frame delay (1/3)", "Sequence Done"); "" for the others and for
// a refused run.
std::string StatusText(const RunEvent& event);
// The countdown's words for a TIME_LEFT event ("Total Remaining 00:12:00"),
// and REMAINING_IDLE once a run is done, or over for a lost port or a
// failure; "" where the countdown stays (an abort).
std::string RemainingText(const RunEvent& event);

// Where a run's events go: the window, a driver, a test.
struct DecodedFrame;

class RunView {
public:
    virtual ~RunView() = default;
    virtual void OnRunEvent(const RunEvent& event) = 0;
    // A frame's file read and measured (or why it could not be), when a
    // camera is linked.
    virtual void OnFrameDecoded(const std::shared_ptr<const DecodedFrame>& /*frame*/) { }
};

class SequenceRunner {
public:
    SequenceRunner(Ports& ports, Clock& clock, Guider& guider, SleepInhibitor& sleep, ExposureLog& log, RunView& view);
    ~SequenceRunner();

    // The lines of the port in use, open already on the ports (the chooser
    // entry it was opened from); no port until this is called.
    void Connect(PortKind kind, const std::string& choiceText);
    TriggerLines& Lines() { return *lines_; }
    Clock& RunClock() { return clock_; }

    // Starts a run and returns at its first wait. Nothing happens while a
    // run is in progress or after Close. A port lost in an earlier run is
    // opened again first; a run never starts on a port that is not there
    // (RunEnded(PORT_LOST) then, and false).
    bool Start(const RunSettings& settings);
    // A wait in progress ends now (a pulse on "-IR" runs its length), and
    // the run goes on to its exposure end and stops at its next checkpoint.
    // Nothing while no run is in progress.
    void Abort();
    // As Abort; the run ends with RunEnd::CLOSED, and no run starts again.
    void Close();
    // The exposure in progress runs to its end (logged as stopped) and the
    // run ends there (RunEnd::STOPPED); a wait before it ends now, and no
    // exposure starts.
    void StopAfterFrame();
    // Between frames (after the after-frame delay and a dither), the run
    // waits until Resume; a pause asked for during a frame acts once it is
    // done. Abort and StopAfterFrame end a paused run at once.
    void Pause();
    void Resume();
    bool Paused() const { return pause_; }
    bool Stopping() const { return stop_; }
    // The run ends now (RunEnd::ABORTED), its lines released at once, a
    // pulse on "-IR" included: for a port about to be closed. The exposure
    // in progress is logged as aborted.
    void EndNow();
    bool Busy() const { return phase_ != Phase::IDLE; }
    // The controls a run reads as it goes, as the front end last set them:
    // the AF mode, read afresh at each line action that depends on it, and
    // mirror lock-up, read at each frame's start.
    void SetAfMode(int mode) { afMode_ = mode; }
    void SetMirrorLock(bool on) { mirrorLock_ = on; }

    // For the ways out of the program: ends a pulse or an exposure in
    // progress at once (logged as closed), releases the port and waits at
    // most a second for the log.
    void ReleaseAtExit();

    // Watches the guider's events over one connection from now until
    // WatchGuider(false) (a script run that holds a guider command): the
    // runs in between can wait for steady guiding and log what it did.
    void WatchGuider(bool on);
    const GuideTally& Tally() const { return tally_; }

private:
    // Where a run is: each phase is one wait at most, named by what
    // happens in it.
    enum class Phase {
        IDLE,
        INITIAL_DELAY,
        FRAME_START,
        MIRROR_PULSE,
        BEFORE_DELAY,
        GUIDE_WAIT,
        EXPOSURE_START,  // the line change, and the start pulse where there is one
        EXPOSING,
        CLOSING_PULSE,  // the exposure's end, and the "-IR" closing pulse
        AFTER_DELAY,
        DITHER_SETTLING,
        PAUSED,
        DONE,
        COUNT,
    };
    // What a phase's wait is.
    struct Step {
        int32_t ms = 0;
        // A line action at its start; sets the base to the time of its line
        // change and returns the length of the pulse it began, which
        // replaces `ms`.
        std::function<int32_t()> begin;
        // The line action at its end, when there was a wait.
        std::function<void()> end;
        // `begin` starts a press: on "-IR" it waits until the press before
        // it is a pulse's length behind.
        bool press = false;
    };

    static Phase Next(Phase phase, int32_t frame, int32_t exposures);
    void Advance();
    // Each phase's own actions; true when a wait began.
    bool Enter(Phase phase);
    bool Wait(Step step);
    bool Schedule();
    void OnTimer();
    void FollowWallClock(int64_t now);
    void EndWait(int64_t baseUs);
    // Starts a wait of `ms` from the current base, counting the remaining
    // seconds down once a second from 100 ms in; false when there is
    // nothing to wait for.
    bool WaitWithCountdown(int32_t ms);
    // A wait with no timer, that something else ends (the dither's
    // settling, a Resume); always true.
    bool WaitUntimed();
    // Whether the port is to be looked at during this wait.
    bool CheckDue() const;
    bool Interrupted() const;
    void Interrupt();
    bool Checkpoint();
    void EndRun(RunEnd end, const std::string& why, const std::string& logFailure = "");
    RunEvent Event(RunEventKind kind) const;
    void ShowStage(RunStage stage, int32_t lengthMs = 0);
    void Fail(const std::string& why);
    void EndAtOnce(RunEnd end, const std::string& why);
    void LogExposureEnd();
    void StartDither();
    void OnDitherDone(const DitherOutcome& outcome);
    void StopDither();
    void OnGuideEvent(const GuideEvent& event);
    void ShowRemaining();
    void ShowProgress();
    int32_t StartPulseMs() const;

    Ports& ports_;
    Clock& clock_;
    Guider& guider_;
    SleepInhibitor& sleep_;
    ExposureLog& log_;
    RunView& view_;
    std::unique_ptr<TriggerLines> lines_;

    RunSettings settings_;
    Phase phase_ = Phase::IDLE;
    bool abort_ = false;
    bool close_ = false;
    bool stop_ = false;  // after the frame in progress
    bool pause_ = false;  // between frames
    int32_t frame_ = 0;
    int32_t framesDone_ = 0;  // exposures that ran to their end
    int afMode_ = 0;  // AF_NONE
    bool mirrorLock_ = false;
    bool startPulse_ = false;  // fixed after the initial delay
    bool mirror_ = false;  // this frame's mirror lock-up pulse
    int32_t secondsRemaining_ = 0;
    int32_t secondsTotal_ = 0;
    int32_t shownRemaining_ = 0;

    // The exposure in progress, for its line in the log.
    int64_t exposureStartUs_ = 0;
    int64_t exposureStartUtcMs_ = 0;
    int exposureAfMode_ = 0;
    std::string exposureDither_;

    // The guider, while watched; the wait before this exposure ran out;
    // this frame is taken again; retakes so far in this run.
    GuideWatch guide_;
    GuideTally tally_;
    bool guideWaitRanOut_ = false;
    bool retake_ = false;
    int32_t retakes_ = 0;

    // Dithering between frames: asked for after an exposure, waited for
    // (once the after-frame delay is over) before the next frame.
    bool ditherPending_ = false;
    std::string lastDither_;  // for the next exposure's line

    // Where the next wait starts: the end of the one before, or the line
    // change that began it. Microseconds on the clock.
    int64_t base_ = 0;
    int32_t initialDelayMs_ = 0;  // the start delay, or until the clock time
    // When the shutter line was last released, this run or one before it:
    // the next press waits MIN_RELEASE_MS from it.
    int64_t releasedUs_ = INT64_MIN / 2;
    // The wait in progress.
    bool waiting_ = false;
    bool countdown_ = false;
    bool pulse_ = false;  // begun by a line action
    bool gap_ = false;  // the release before a press
    Step pending_;  // the press after the gap
    std::function<void()> waitEndAction_;
    int64_t waitEnd_ = 0;
    int64_t nextTick_ = 0;
    int64_t nextCheck_ = 0;  // the port's next look
    int32_t ticksLeft_ = 0;
};
