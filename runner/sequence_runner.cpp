#include "runner/sequence_runner.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ports/af_mode.h"
#include "runner/countdown.h"
#include "runner/settings_model.h"

namespace {
// The countdown's first step comes 100 ms into a wait, then one a second.
constexpr int32_t FIRST_TICK_MS = 100;
// While the shutter line is set, the port is looked at a quarter of a
// second in and then every half second (a device unplugged or hung up is
// otherwise found only at the release), but not in the last moments
// before a line change, which the look must never delay.
constexpr int32_t FIRST_CHECK_MS = 250;
constexpr int32_t CHECK_EVERY_MS = 500;
constexpr int32_t CHECK_QUIET_MS = 200;
// A wait that ended later than this starts the next one from the time it
// ended.
constexpr int64_t LATE_LIMIT_US = 50 * US_PER_MS;
// Between two presses the shutter line stays released at least this long,
// so that no camera reads two frames as one exposure.
constexpr int32_t MIN_RELEASE_MS = PULSE_MS;
// PHD2 gives up settling after a minute plus the settle time; Vantrel gives
// up on a guider that says nothing ten seconds after that.
constexpr int DITHER_SETTLE_TIMEOUT_S = 60;
constexpr int32_t DITHER_GIVE_UP_EXTRA_MS = 10000;
constexpr double DITHER_SETTLE_PIXELS = 1.5;
constexpr auto EXIT_FLUSH_LIMIT = std::chrono::milliseconds(1000);
// A clock time is at most a day ahead.
constexpr int64_t MAX_START_AT_MS = 86400 * int64_t{MS_PER_SECOND};

// What each phase's wait is: whether it counts the countdown down, whether
// an Abort cuts it short (on "-IR" a pulse runs its length all the same),
// whether a checkpoint comes first (where an abort, a close or a lost
// port ends the run), and what a glance at the run calls it.
struct PhaseRule {
    bool countdown;
    bool abortCutsShort;
    bool checkpointFirst;
    const char* shown;
};
constexpr PhaseRule RULES[] = {
    /* IDLE            */ {false, false, false, ""},
    /* INITIAL_DELAY   */ {true, true, false, "Initial delay"},
    /* FRAME_START     */ {false, false, true, ""},
    /* MIRROR_PULSE    */ {false, true, false, "Mirror lock-up"},
    /* BEFORE_DELAY    */ {true, true, false, "Pre-frame delay"},
    /* GUIDE_WAIT      */ {false, true, false, "Waiting for guiding"},
    /* EXPOSURE_START  */ {false, true, true, "Exposing"},
    /* EXPOSING        */ {true, true, false, "Exposing"},
    /* CLOSING_PULSE   */ {false, false, false, "Closing"},
    /* AFTER_DELAY     */ {true, true, true, "Post-frame delay"},
    /* DITHER_SETTLING */ {false, true, true, "Dithering"},
    /* PAUSED          */ {false, true, true, "Paused"},
    /* DONE            */ {false, false, false, ""},
};
}  // namespace

namespace {

// "(3/20)": the frame and the frame count.
std::string FrameOf(const RunProgress& progress)
{
    return "(" + std::to_string(progress.frame) + "/" + std::to_string(progress.frames) + ")";
}

}  // namespace

std::string StatusText(const RunEvent& event)
{
    const std::string frame = FrameOf(event.progress);
    const std::string seconds = std::to_string(WholeSeconds(event.lengthMs)) + "s ";
    switch (event.kind) {
    case RunEventKind::STAGE:
        switch (event.stage) {
        case RunStage::INITIAL_DELAY:
            return seconds + "Initial delay";
        case RunStage::PRE_FRAME:
            return seconds + "Pre-frame delay " + frame;
        case RunStage::GUIDE_WAIT:
            return "Waiting for guiding " + frame;
        case RunStage::EXPOSURE:
            return SecondsText(event.lengthMs) + "s exposure " + frame;
        case RunStage::RETAKE:
            return "Retake " + std::to_string(event.retake) + " of " + std::to_string(event.retakes) + " " + frame;
        case RunStage::POST_FRAME:
            return seconds + "Post-frame delay " + frame;
        case RunStage::DITHERING:
            return "Dithering " + frame;
        case RunStage::PAUSED:
            return "Paused " + frame;
        case RunStage::NONE:
            break;
        }
        return "";
    case RunEventKind::DITHER_FAILED:
        return "Dither failed " + frame + (event.why.empty() ? "" : ": " + event.why);
    case RunEventKind::ENDED:
        if (!event.began)
            return "";
        if (event.end == RunEnd::DONE && !event.logFailure.empty())
            return EndText(RunEnd::DONE) + "; exposure log not written: " + event.logFailure;
        return EndText(event.end);
    case RunEventKind::STARTED:
    case RunEventKind::PROGRESS:
    case RunEventKind::TIME_LEFT:
        break;
    }
    return "";
}

std::string RemainingText(const RunEvent& event)
{
    if (event.kind == RunEventKind::TIME_LEFT)
        return RemainingLabel(event.progress.secondsLeft);
    const bool over = event.end == RunEnd::DONE || event.end == RunEnd::PORT_LOST || event.end == RunEnd::FAILED ||
        event.end == RunEnd::STOPPED;
    return event.kind == RunEventKind::ENDED && event.began && over ? REMAINING_IDLE : "";
}

std::string EndText(RunEnd end, const std::string& port)
{
    if (end == RunEnd::DONE)
        return "Sequence Done";
    if (end == RunEnd::STOPPED)
        return "Stopped";
    if (end == RunEnd::PORT_LOST && !port.empty())
        return "Lost the connection to " + port;
    return "Aborted";
}

SequenceRunner::SequenceRunner(Ports& ports, Clock& clock, Guider& guider, SleepInhibitor& sleep, ExposureLog& log,
                               RunView& view)
    : ports_(ports)
    , clock_(clock)
    , guider_(guider)
    , sleep_(sleep)
    , log_(log)
    , view_(view)
    , lines_(MakeTriggerLines(PORT_NONE, "", ports, nullptr))
{
    static_assert(sizeof RULES / sizeof RULES[0] == static_cast<size_t>(Phase::COUNT), "a rule for each phase");
}

SequenceRunner::~SequenceRunner()
{
    if (waiting_)
        clock_.CancelCall();
    StopDither();
}

void SequenceRunner::Connect(PortKind kind, const std::string& choiceText)
{
    lines_ = MakeTriggerLines(kind, choiceText, ports_, [this] { return clock_.NowUs(); });
}

bool SequenceRunner::Start(const RunSettings& settings)
{
    if (Busy() || close_)
        return false;
    if (lines_->Lost() && !lines_->Reopen()) {
        RunEvent refused = Event(RunEventKind::ENDED);
        refused.end = RunEnd::PORT_LOST;
        refused.began = false;
        refused.port = lines_->Description();
        refused.why = lines_->LostReason();
        view_.OnRunEvent(refused);
        return false;
    }
    settings_ = settings;
    settings_.ditherPixels = HeldToRange(RunSetting::DITHER_PIXELS, settings.ditherPixels);
    settings_.ditherSettleSeconds = HeldToRange(RunSetting::DITHER_SETTLE, settings.ditherSettleSeconds);
    settings_.ditherEvery = HeldToRange(RunSetting::DITHER_EVERY, settings.ditherEvery);
    settings_.guideWaitSeconds = HeldToRange(RunSetting::GUIDE_WAIT, settings.guideWaitSeconds);
    settings_.retakeSuspect = HeldToRange(RunSetting::RETAKE_SUSPECT, settings.retakeSuspect);
    // Only lights dither and wait for the guider: darks and flats are taken
    // with no star to guide on.
    if (settings_.frameType != "Light") {
        settings_.ditherPixels = 0;
        settings_.guideWaitSeconds = 0;
        settings_.retakeSuspect = 0;
    }
    retake_ = false;
    retakes_ = 0;
    sleep_.Inhibit();
    initialDelayMs_ = settings_.startDelayMs;
    if (settings_.startAtUtcMs > 0)
        initialDelayMs_ = static_cast<int32_t>(
            std::clamp<int64_t>(settings_.startAtUtcMs - clock_.WallMs(), initialDelayMs_, MAX_START_AT_MS));
    secondsRemaining_ = EstimateSeconds(settings_.exposures, WholeSeconds(settings_.durationMs),
                                        WholeSeconds(initialDelayMs_), WholeSeconds(settings_.beforeDelayMs),
                                        WholeSeconds(settings_.afterDelayMs), lines_->PulsesRunWhole());
    secondsTotal_ = secondsRemaining_;
    shownRemaining_ = INT32_MIN;
    abort_ = false;
    stop_ = false;
    pause_ = false;
    frame_ = 0;
    framesDone_ = 0;
    lastDither_.clear();
    view_.OnRunEvent(Event(RunEventKind::STARTED));
    base_ = clock_.NowUs();
    Advance();
    return true;
}

// The phases in their order; a frame's last phase leads to the next frame,
// so a phase added in its place needs nothing here.
SequenceRunner::Phase SequenceRunner::Next(Phase phase, int32_t frame, int32_t exposures)
{
    if (phase == Phase::DONE)
        return Phase::IDLE;
    if (phase == Phase::FRAME_START && frame > exposures)
        return Phase::DONE;
    const auto next = static_cast<Phase>(static_cast<int>(phase) + 1);
    return next == Phase::DONE ? Phase::FRAME_START : next;
}

// Goes from phase to phase until one begins a wait or the run ends.
void SequenceRunner::Advance()
{
    for (;;) {
        phase_ = Next(phase_, frame_, settings_.exposures);
        if (RULES[static_cast<int>(phase_)].checkpointFirst && Checkpoint())
            return;
        if (phase_ == Phase::IDLE || Enter(phase_))
            return;
    }
}

bool SequenceRunner::Enter(Phase phase)
{
    switch (phase) {
    case Phase::IDLE:
    case Phase::COUNT:
        break;
    case Phase::INITIAL_DELAY:
        if (initialDelayMs_ <= 0)
            return false;
        ShowStage(RunStage::INITIAL_DELAY, initialDelayMs_);
        lines_->SignalActive();
        lines_->SignalWaiting();
        return WaitWithCountdown(initialDelayMs_);
    case Phase::FRAME_START:
        if (frame_ == 0) {
            lines_->SignalActive();
            startPulse_ = lines_->StartPulse(afMode_);
        }
        if (!retake_)
            ++frame_;
        return false;
    case Phase::MIRROR_PULSE:
        mirror_ = settings_.beforeDelayMs != 0 && mirrorLock_;
        if (!mirror_)
            return false;
        return Wait({0,
                     [this] {
                         log_.ExposureStarting();
                         lines_->MirrorPulseStart(afMode_);
                         base_ = clock_.NowUs();
                         return lines_->MirrorPulseMs();
                     },
                     [this] {
                         lines_->MirrorPulseEnd();
                         releasedUs_ = clock_.NowUs();
                     },
                     true});
    case Phase::BEFORE_DELAY:
        if (settings_.beforeDelayMs == 0)
            return false;
        lines_->SignalWaiting();
        ShowStage(RunStage::PRE_FRAME, settings_.beforeDelayMs);
        // The pulse's 200 ms are taken off whatever it lasted on this port.
        return WaitWithCountdown(settings_.beforeDelayMs - (mirror_ ? PULSE_MS : 0));
    case Phase::GUIDE_WAIT:
        guideWaitRanOut_ = false;
        if (settings_.guideWaitSeconds == 0 || !guide_.Watching() || guide_.Steady())
            return false;
        ShowStage(RunStage::GUIDE_WAIT);
        guideWaitRanOut_ = true;  // unless steady guiding ends the wait first
        return Wait({settings_.guideWaitSeconds * MS_PER_SECOND, nullptr, nullptr, false});
    case Phase::EXPOSURE_START:
        return Wait({0,
                     [this] {
                         // The line first: the hold counts from the line change itself.
                         exposureAfMode_ = afMode_;
                         log_.ExposureStarting();
                         lines_->ExposureStart(exposureAfMode_);
                         exposureStartUs_ = base_ = clock_.NowUs();
                         exposureStartUtcMs_ = clock_.WallMs();
                         exposureDither_ = lastDither_;
                         lastDither_.clear();
                         guide_.BeginExposure(exposureStartUs_, guideWaitRanOut_);
                         ShowStage(retake_ ? RunStage::RETAKE : RunStage::EXPOSURE, settings_.durationMs);
                         return StartPulseMs();
                     },
                     [this] { lines_->StartPulseEnd(afMode_); }, true});
    case Phase::EXPOSING:
        return WaitWithCountdown(settings_.durationMs - StartPulseMs());
    case Phase::CLOSING_PULSE:
        return Wait({0,
                     [this] {
                         if (!lines_->Exposing())  // a way out of the program has ended it
                             return 0;
                         const int32_t closingMs = lines_->ExposureEnd();
                         releasedUs_ = base_ = clock_.NowUs();
                         LogExposureEnd();
                         return closingMs;
                     },
                     [this] { lines_->ClosingPulseEnd(); }, true});
    case Phase::AFTER_DELAY:
        if (settings_.ditherPixels > 0 && frame_ < settings_.exposures && frame_ % settings_.ditherEvery == 0 &&
            !retake_)
            StartDither();
        if (settings_.afterDelayMs == 0)
            return false;
        lines_->SignalWaiting();
        ShowStage(RunStage::POST_FRAME, settings_.afterDelayMs);
        return WaitWithCountdown(settings_.afterDelayMs);
    case Phase::DITHER_SETTLING:
        if (!ditherPending_)
            return false;
        // Only the settling is left to wait for; it ends the wait itself.
        ShowStage(RunStage::DITHERING);
        return WaitUntimed();
    case Phase::PAUSED:
        // Not after the last frame; it waits for Resume, with no timer.
        if (!pause_ || (frame_ >= settings_.exposures && !retake_))
            return false;
        lines_->SignalWaiting();
        ShowStage(RunStage::PAUSED);
        return WaitUntimed();
    case Phase::DONE:
        lines_->SignalIdle();
        if (Checkpoint())  // the port went in the last line change
            return true;
        EndRun(RunEnd::DONE, "", log_.Failure());
        return true;
    }
    return false;
}

RunEvent SequenceRunner::Event(RunEventKind kind) const
{
    RunEvent event;
    event.kind = kind;
    event.progress.frame = frame_;
    event.progress.frames = settings_.exposures;
    event.progress.phase = RULES[static_cast<int>(phase_)].shown;
    event.progress.phaseSecondsLeft = countdown_ ? ticksLeft_ : -1;
    event.progress.secondsLeft = secondsRemaining_;
    event.progress.secondsTotal = secondsTotal_;
    event.progress.noPort = lines_->Name() == "none";
    return event;
}

void SequenceRunner::ShowStage(RunStage stage, int32_t lengthMs)
{
    RunEvent event = Event(RunEventKind::STAGE);
    event.stage = stage;
    event.lengthMs = lengthMs;
    event.retake = retakes_;
    event.retakes = settings_.retakeSuspect;
    view_.OnRunEvent(event);
}

// The start pulse never holds the shutter longer than the exposure asked
// (a driver's 0.05 s), except on "-IR", where it is the press that opens it.
int32_t SequenceRunner::StartPulseMs() const
{
    if (!startPulse_)
        return 0;
    return lines_->PulsesRunWhole() ? PULSE_MS : std::min(PULSE_MS, settings_.durationMs);
}

bool SequenceRunner::WaitWithCountdown(int32_t ms) { return Wait({ms, nullptr, nullptr, false}); }

bool SequenceRunner::WaitUntimed()
{
    waiting_ = true;
    countdown_ = false;
    pulse_ = false;
    ticksLeft_ = 0;
    ShowProgress();
    return true;
}

// Starts the phase's wait: first, for a press on "-IR", the release after
// the press before it; then its line action, timed from its own line change.
bool SequenceRunner::Wait(Step step)
{
    const PhaseRule& rule = RULES[static_cast<int>(phase_)];
    const int64_t nextPressUs = std::max(lines_->NextPressAtUs(), releasedUs_ + MIN_RELEASE_MS * US_PER_MS);
    if (step.press && nextPressUs > clock_.NowUs()) {
        pending_ = std::move(step);
        gap_ = true;
        pulse_ = false;
        countdown_ = false;
        ticksLeft_ = 0;
        waitEnd_ = nextPressUs;
        waitEndAction_ = nullptr;
        return Schedule();
    }
    if (rule.abortCutsShort && Interrupted())
        return false;
    // The line action sets the base: a pulse, or the exposure's hold,
    // counts from its own line change.
    const int32_t ms = step.begin ? step.begin() : step.ms;
    if (ms <= 0)
        return false;
    pulse_ = static_cast<bool>(step.begin);
    countdown_ = rule.countdown;
    waitEndAction_ = std::move(step.end);
    waitEnd_ = base_ + ms * US_PER_MS;
    nextTick_ = base_ + FIRST_TICK_MS * US_PER_MS;
    nextCheck_ = base_ + FIRST_CHECK_MS * US_PER_MS;
    ticksLeft_ = countdown_ ? (ms + MS_PER_SECOND - 1) / MS_PER_SECOND : 0;
    ShowProgress();
    return Schedule();
}

bool SequenceRunner::Schedule()
{
    waiting_ = true;
    const bool tick = ticksLeft_ > 0 && nextTick_ <= waitEnd_;
    const int64_t at = std::min(tick ? nextTick_ : waitEnd_, CheckDue() ? nextCheck_ : INT64_MAX);
    if (clock_.CallAt(at, [this] { OnTimer(); }))
        return true;
    Fail(std::string("the run's timer could not be set (") + std::strerror(clock_.Error()) + ")");
    return true;
}

// Each wait's deadlines are counted from its start, and the next wait
// starts where this one ended, not when the event loop got round to it:
// status texts and the like cost nothing, and nothing drifts. After a stall
// (a machine too busy to wake the program) the next wait starts afresh.
void SequenceRunner::OnTimer()
{
    const int64_t now = clock_.NowUs();
    if (CheckDue() && nextCheck_ <= now) {
        while (nextCheck_ <= now)
            nextCheck_ += CHECK_EVERY_MS * US_PER_MS;
        lines_->Check();
        // Gone: the exposure ends now, and the log says when.
        if (lines_->Lost() && RULES[static_cast<int>(phase_)].abortCutsShort && !(pulse_ && lines_->PulsesRunWhole())) {
            EndWait(now);
            return;
        }
    }
    FollowWallClock(now);
    while (ticksLeft_ > 0 && nextTick_ <= now && nextTick_ <= waitEnd_) {
        --ticksLeft_;
        nextTick_ += MS_PER_SECOND * US_PER_MS;
        --secondsRemaining_;
        ShowRemaining();
        ShowProgress();
    }
    if (now < waitEnd_) {
        Schedule();
        return;
    }
    const int64_t base = std::max(waitEnd_, now - LATE_LIMIT_US);
    if (gap_) {
        waiting_ = false;
        base_ = base;
        gap_ = false;
        if (!Wait(std::move(pending_)))
            Advance();
        return;
    }
    EndWait(base);
}

// A start at a clock time is the wall clock's: a step of it (a Pi that
// booted with a stale clock and set it later) moves the start, never
// before the start delay; the countdown follows.
void SequenceRunner::FollowWallClock(int64_t now)
{
    if (phase_ != Phase::INITIAL_DELAY || settings_.startAtUtcMs <= 0 || !waiting_)
        return;
    const int64_t untilUs =
        std::clamp<int64_t>(settings_.startAtUtcMs - clock_.WallMs(), 0, MAX_START_AT_MS) * US_PER_MS;
    waitEnd_ = std::max(base_ + settings_.startDelayMs * US_PER_MS, now + untilUs);
    constexpr int64_t US_PER_S = MS_PER_SECOND * US_PER_MS;
    const int32_t ticks = waitEnd_ >= nextTick_ ? static_cast<int32_t>((waitEnd_ - nextTick_) / US_PER_S + 1) : 0;
    secondsRemaining_ += ticks - ticksLeft_;
    ticksLeft_ = ticks;
    ShowRemaining();
}

// The wait in progress is over: its line action at the end, then the next
// phase, from `baseUs`.
void SequenceRunner::EndWait(int64_t baseUs)
{
    waiting_ = false;
    base_ = baseUs;
    auto end = std::move(waitEndAction_);
    waitEndAction_ = nullptr;
    if (end)
        end();
    Advance();
}

bool SequenceRunner::CheckDue() const
{
    return lines_->Exposing() && !gap_ && nextCheck_ + CHECK_QUIET_MS * US_PER_MS <= waitEnd_;
}

void SequenceRunner::ShowRemaining()
{
    if (secondsRemaining_ != shownRemaining_)
        view_.OnRunEvent(Event(RunEventKind::TIME_LEFT));
    shownRemaining_ = secondsRemaining_;
}

void SequenceRunner::ShowProgress() { view_.OnRunEvent(Event(RunEventKind::PROGRESS)); }

void SequenceRunner::Abort()
{
    if (!Busy())
        return;
    abort_ = true;
    secondsRemaining_ = 0;
    Interrupt();
}

void SequenceRunner::Close()
{
    close_ = true;
    Interrupt();
}

void SequenceRunner::StopAfterFrame()
{
    if (!Busy())
        return;
    stop_ = true;
    Interrupt();
}

void SequenceRunner::Pause()
{
    if (Busy())
        pause_ = true;
}

void SequenceRunner::Resume()
{
    pause_ = false;
    if (phase_ == Phase::PAUSED && waiting_)
        EndWait(clock_.NowUs());
}

// A stop lets the exposure in progress run to its end.
bool SequenceRunner::Interrupted() const
{
    const bool exposing =
        phase_ == Phase::EXPOSURE_START || phase_ == Phase::EXPOSING || phase_ == Phase::CLOSING_PULSE;
    return abort_ || close_ || lines_->Lost() || (stop_ && !exposing);
}

// A countdown wait ends at once, and so does a pulse (not on "-IR", where
// the camera reads a whole pulse or none) and the dither's settling; the
// release before a press, and the closing pulse, run their length.
void SequenceRunner::Interrupt()
{
    if (!Busy() || !waiting_ || !Interrupted())
        return;
    if (phase_ == Phase::DITHER_SETTLING) {
        StopDither();
    } else if (phase_ != Phase::PAUSED) {  // a pause has no timer
        if (gap_ || !RULES[static_cast<int>(phase_)].abortCutsShort || (pulse_ && lines_->PulsesRunWhole()))
            return;
        clock_.CancelCall();
    }
    EndWait(clock_.NowUs());
}

// An abort, a close or a lost port ends the run here, with the lines
// already released by the exposure end.
bool SequenceRunner::Checkpoint()
{
    const bool lost = lines_->Lost();
    if (!abort_ && !close_ && !lost && !stop_)
        return false;
    lines_->SignalIdle();
    const RunEnd end = close_ ? RunEnd::CLOSED : lost ? RunEnd::PORT_LOST : abort_ ? RunEnd::ABORTED : RunEnd::STOPPED;
    EndRun(end, lost ? lines_->LostReason() : "");
    return true;
}

void SequenceRunner::EndRun(RunEnd end, const std::string& why, const std::string& logFailure)
{
    StopDither();
    phase_ = Phase::IDLE;
    waiting_ = false;
    gap_ = false;
    abort_ = false;
    stop_ = false;
    pause_ = false;
    sleep_.Release();
    // A lost port is closed at once: a USB adapter plugged in again then
    // gets its old device name back (held open, the name would stay taken
    // and the adapter come back under another).
    const std::string port = lines_->Description();
    if (end == RunEnd::CLOSED || end == RunEnd::PORT_LOST)
        lines_->Release();
    RunEvent ended = Event(RunEventKind::ENDED);
    ended.end = end;
    ended.framesDone = framesDone_;
    ended.port = port;
    ended.why = why;
    ended.logFailure = logFailure;
    view_.OnRunEvent(ended);
}

// A run that cannot go on (its timer cannot be set) must never look as if
// it did: the exposure in progress ends now and the run ends.
void SequenceRunner::Fail(const std::string& why) { EndAtOnce(RunEnd::FAILED, why); }

void SequenceRunner::EndNow()
{
    if (Busy())
        EndAtOnce(RunEnd::ABORTED, "");
}

void SequenceRunner::EndAtOnce(RunEnd end, const std::string& why)
{
    if (waiting_)
        clock_.CancelCall();
    waiting_ = false;
    abort_ = true;
    lines_->ReleaseNow([this] { LogExposureEnd(); });
    releasedUs_ = clock_.NowUs();
    lines_->SignalIdle();
    EndRun(end, why);
}

void SequenceRunner::ReleaseAtExit()
{
    lines_->ReleaseNow([this] {
        close_ = true;
        LogExposureEnd();
    });
    lines_->Release();
    log_.Flush(EXIT_FLUSH_LIMIT);
}

// The line of the exposure that has just ended (its lines released, or on
// "-IR" its closing pulse begun).
void SequenceRunner::LogExposureEnd()
{
    ExposureRecord record;
    record.startUtcMs = exposureStartUtcMs_;
    record.endUtcMs = clock_.WallMs();
    record.heldMs = (clock_.NowUs() - exposureStartUs_ + 500) / 1000;
    record.frame = frame_;
    record.frames = settings_.exposures;
    record.setMs = settings_.durationMs;
    record.port = lines_->Name();
    record.afMode = exposureAfMode_;
    record.mirrorLock = mirror_;
    // Without a port the run shows its times, but nothing reached a camera.
    const bool ranToEnd = !lines_->Lost() && !close_ && !abort_;
    record.outcome = lines_->Lost() ? "port-lost"
        : close_                    ? "closed"
        : abort_                    ? "aborted"
        : lines_->Name() == "none"  ? "no-port"
        : stop_                     ? "stopped"
                                    : "done";
    if (ranToEnd)
        ++framesDone_;
    record.source = settings_.source;
    record.type = settings_.frameType;
    record.target = settings_.target;
    record.dither = exposureDither_;
    const GuideRecord guided = guide_.EndExposure();
    record.guideRmsPx = guided.rmsPx;
    record.guideEvents = guided.events;
    record.guided = guided.guided;
    log_.Log(record);
    // A frame that the guider spoiled is taken again while retakes are left.
    retake_ = false;
    if ((record.outcome != "done" && record.outcome != "stopped") || guided.guided.empty())
        return;
    ++tally_.frames;
    if (guided.guided != "suspect")
        return;
    ++tally_.suspect;
    if (retakes_ < settings_.retakeSuspect) {
        retake_ = true;
        ++retakes_;
        ++tally_.retaken;
        // The retake's time is added to what is left, as a frame of the run.
        const int32_t frameSeconds =
            FrameSeconds(WholeSeconds(settings_.durationMs), WholeSeconds(settings_.beforeDelayMs),
                         WholeSeconds(settings_.afterDelayMs));
        secondsRemaining_ += frameSeconds;
        secondsTotal_ += frameSeconds;
    }
}

void SequenceRunner::WatchGuider(bool on)
{
    if (on) {
        guide_.Start();
        tally_ = GuideTally();
        guider_.Watch([this](const GuideEvent& event) { OnGuideEvent(event); });
        return;
    }
    guider_.Unwatch();
    guide_.Stop();
}

// Steady guiding ends the wait for it at once.
void SequenceRunner::OnGuideEvent(const GuideEvent& event)
{
    guide_.Take(event, clock_.NowUs());
    if (phase_ == Phase::GUIDE_WAIT && waiting_ && guide_.Steady()) {
        guideWaitRanOut_ = false;
        clock_.CancelCall();
        EndWait(clock_.NowUs());
    }
}

void SequenceRunner::StartDither()
{
    // PHD2 refuses a dither while it is not guiding, in words that say
    // less ("Dither error").
    if (guide_.Watching() && guide_.NotGuiding())
        return OnDitherDone(DitherOutcome{false, "not guiding"});
    DitherRequest request;
    request.pixels = settings_.ditherPixels;
    request.settleSeconds = settings_.ditherSettleSeconds;
    request.settlePixels = DITHER_SETTLE_PIXELS;
    request.settleTimeoutSeconds = DITHER_SETTLE_TIMEOUT_S + settings_.ditherSettleSeconds;
    request.giveUpMs = request.settleTimeoutSeconds * MS_PER_SECOND + DITHER_GIVE_UP_EXTRA_MS;
    ditherPending_ = true;
    guider_.Dither(request, [this](const DitherOutcome& outcome) { OnDitherDone(outcome); });
}

// A guider that is not there, not guiding or not settling costs the frame
// its dither, never the night: the run goes on.
void SequenceRunner::OnDitherDone(const DitherOutcome& outcome)
{
    ditherPending_ = false;
    const std::string why = outcome.reason.empty() ? "" : ": " + outcome.reason;
    lastDither_ = outcome.settled ? "ok" : "failed" + why;
    if (!outcome.settled) {
        RunEvent failed = Event(RunEventKind::DITHER_FAILED);
        failed.why = outcome.reason;
        view_.OnRunEvent(failed);
    }
    if (phase_ == Phase::DITHER_SETTLING && waiting_)
        EndWait(clock_.NowUs());
}

void SequenceRunner::StopDither()
{
    if (ditherPending_)
        guider_.Cancel();
    ditherPending_ = false;
}
