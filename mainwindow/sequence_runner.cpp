// The sequence runner: one whole series of bulb exposures, run step by step
// from the event loop. Each wait is a call at its deadline on the runner's
// monotonic clock, so the lines change on time whatever loop is running
// (the main one, a menu's, a dialog's), and an abort or a close acts at once.
#include <wx/bmpbuttn.h>
#include <wx/checkbox.h>
#include <wx/msgdlg.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>

#include "guider/guider.h"
#include <algorithm>
#include <cstdio>

#include "mainwindow/af_mode.h"
#include "mainwindow/banners.h"
#include "mainwindow/clock.h"
#include "mainwindow/countdown.h"
#include "mainwindow/exposure_log.h"
#include "mainwindow/line_actions.h"
#include "mainwindow/main_frame.h"
#include "mainwindow/sleep_inhibitor.h"
#include "ports/ports.h"

int SequenceBusy = 0;

namespace {
// The countdown's first step comes 100 ms into a wait, then one a second.
constexpr int32_t FIRST_TICK_MS = 100;
constexpr int32_t MS_PER_SECOND = 1000;
constexpr int64_t US_PER_MS = 1000;
// A wait that ended later than this starts the next one from the time it
// ended.
constexpr int64_t LATE_LIMIT_US = 50 * US_PER_MS;
// PHD2 gives up settling after a minute plus the settle time; Vantrel gives
// up on a guider that says nothing ten seconds after that.
constexpr int DITHER_SETTLE_TIMEOUT_S = 60;
constexpr int32_t DITHER_GIVE_UP_EXTRA_MS = 10000;
constexpr double DITHER_SETTLE_PIXELS = 1.5;
const char* const PORT_LOST_ADVICE =
    "Check the cable and plug it in again; Vantrel opens the port again at the next Start.";
}  // namespace

void MyFrame::OnStart(wxCommandEvent&)
{
    if (SequenceBusy || closeRequested_)
        return;
    // A port lost in an earlier run is opened again (the box looked for
    // anew, so that plugging it back in is enough); a run never starts on a
    // port that is not there.
    if (PortLost() && !ReopenLostPort()) {
        ShowPortLost();
        return;
    }
    SequenceBusy = 1;
    InhibitSleep();

    run_ = Run();
    run_.exposures = ExposuresCtrl->GetValue();
    run_.duration = DurationCtrl->GetValue();
    run_.startDelay = StartDelayCtrl->GetValue();
    run_.beforeDelay = PreDelayCtrl->GetValue();
    run_.afterDelay = PostDelayCtrl->GetValue();
    run_.dsusb = ActivePort == PORT_DSUSB;
    run_.startPulse = ActivePort == PORT_SERIAL_IR || AFMode == AF_PULSE_AT_START;
    run_.step = RunStep::INITIAL_DELAY;
    run_.port = ActivePort == PORT_NONE ? std::string("none") : ActivePortName;
    run_.source = nextSource_;
    nextSource_ = "window";
    run_.ditherPixels = DitherPixels;
    run_.ditherSettleSeconds = DitherSettleSeconds;

    SecondsRemaining = EstimateSeconds(run_.exposures, run_.duration, run_.startDelay, run_.beforeDelay,
                                       run_.afterDelay, ActivePort == PORT_SERIAL_IR);
    AbortRequested = false;
    ShowBanner(RunningBanner());
    run_.base = RunnerClock().NowUs();
    Continue();
}

// Runs the steps from run_.step until one starts a wait or the run ends.
void MyFrame::Continue()
{
    for (;;) {
        switch (run_.step) {
        case RunStep::INITIAL_DELAY:
            run_.step = RunStep::FRAMES;
            if (run_.startDelay != 0) {
                ShowStatus(wxString::Format("%ds Initial delay", run_.startDelay));
                if (run_.dsusb) {
                    DsusbSignalActive();
                    DsusbSignalWaiting();
                }
                if (WaitWithCountdown(run_.startDelay * MS_PER_SECOND))
                    return;
            }
            break;
        case RunStep::FRAMES:
            if (Checkpoint())
                return;
            if (run_.dsusb)
                DsusbSignalActive();
            run_.frame = 1;
            run_.step = run_.exposures >= 1 ? RunStep::BEFORE_FRAME : RunStep::DONE;
            break;
        case RunStep::BEFORE_FRAME:
            run_.mirror = run_.beforeDelay != 0 && MirrorLockCtrl->GetValue();
            if (run_.mirror && PressGap())  // then this step again
                return;
            run_.step = RunStep::BEFORE_DELAY;
            if (run_.mirror) {
                run_.step = RunStep::MIRROR_PULSE_END;
                if (Pulse(MirrorLockPulseStart()))
                    return;
            }
            break;
        case RunStep::MIRROR_PULSE_END:
            MirrorLockPulseEnd();
            run_.step = RunStep::BEFORE_DELAY;
            break;
        case RunStep::BEFORE_DELAY:
            run_.step = RunStep::EXPOSURE;
            // The 200 ms are taken off whenever mirror lock-up is ticked,
            // whatever the pulse lasted on this port.
            if (FrameDelay("Pre-frame", run_.beforeDelay, run_.mirror ? PULSE_MS : 0))
                return;
            break;
        case RunStep::EXPOSURE:
            if (Checkpoint() || PressGap())
                return;
            // The line first: the hold counts from the line change itself.
            ExposureStart();
            run_.exposureStartUs = RunnerClock().NowUs();
            run_.base = run_.exposureStartUs;
            ShowStatus(wxString::Format("%ds exposure (%d/%d)", run_.duration, run_.frame, run_.exposures));
            run_.exposureStartUtcMs = RunnerClock().WallMs();
            run_.exposureAfMode = AFMode;
            run_.exposureDither = run_.lastDither;
            run_.lastDither.clear();
            run_.step = RunStep::EXPOSURE_WAIT;
            if (run_.startPulse) {
                run_.step = RunStep::START_PULSE_END;
                if (Pulse(PULSE_MS))
                    return;
            }
            break;
        case RunStep::START_PULSE_END:
            StartPulseEnd();
            run_.step = RunStep::EXPOSURE_WAIT;
            break;
        case RunStep::EXPOSURE_WAIT:
            run_.step = RunStep::EXPOSURE_END;
            if (WaitWithCountdown(run_.duration * MS_PER_SECOND - (run_.startPulse ? PULSE_MS : 0)))
                return;
            break;
        case RunStep::EXPOSURE_END: {
            if (PressGap())
                return;
            run_.step = RunStep::CLOSING_PULSE_END;
            const bool logged = !ExposureInProgress();  // by a way out of the program
            const int32_t closingPulse = ExposureEnd();
            if (!logged)
                LogExposureEnd();
            if (Pulse(closingPulse))
                return;
            break;
        }
        case RunStep::CLOSING_PULSE_END:
            ClosingPulseEnd();
            if (Checkpoint())
                return;
            if (run_.ditherPixels > 0 && run_.frame < run_.exposures)
                StartDither();
            run_.step = RunStep::AFTER_FRAME;
            break;
        case RunStep::AFTER_FRAME:
            run_.step = RunStep::AFTER_FRAME_END;
            if (FrameDelay("Post-frame", run_.afterDelay, 0))
                return;
            break;
        case RunStep::AFTER_FRAME_END:
            if (Checkpoint())
                return;
            run_.step = RunStep::DITHER_SETTLED;
            if (run_.ditherPending) {  // only the settling is left to wait for
                ShowStatus(wxString::Format("Dithering (%d/%d)", run_.frame, run_.exposures));
                run_.waiting = true;
                run_.countdown = false;
                run_.awaitingGuider = true;
                return;
            }
            break;
        case RunStep::DITHER_SETTLED:
            if (Checkpoint())
                return;
            run_.step = ++run_.frame <= run_.exposures ? RunStep::BEFORE_FRAME : RunStep::DONE;
            break;
        case RunStep::DONE:
            if (run_.dsusb)
                DsusbSignalIdle();
            if (Checkpoint())  // the port went in the last line change
                return;
            RemainingText->SetLabel(REMAINING_IDLE);
            ShowBanner(IdleBanner());
            ShowStatus("Sequence Done");
            SequenceBusy = 0;
            ReleaseSleep();
            return;
        }
    }
}

// A before- or after-frame delay of `seconds` (none at 0), less `shortenMs`:
// the box shows that it waits, the status line which delay it is.
bool MyFrame::FrameDelay(const char* which, int32_t seconds, int32_t shortenMs)
{
    if (seconds == 0)
        return false;
    if (run_.dsusb)
        DsusbSignalWaiting();
    ShowStatus(wxString::Format("%ds %s delay (%d/%d)", seconds, which, run_.frame, run_.exposures));
    return WaitWithCountdown(seconds * MS_PER_SECOND - shortenMs);
}

bool MyFrame::WaitWithCountdown(int32_t ms)
{
    if (ms <= 0 || Interrupted())
        return false;
    const int64_t now = run_.base;
    run_.waiting = true;
    run_.countdown = true;
    run_.waitEnd = now + ms * US_PER_MS;
    run_.nextTick = now + FIRST_TICK_MS * US_PER_MS;
    run_.ticksLeft = (ms + MS_PER_SECOND - 1) / MS_PER_SECOND;
    ScheduleNext();
    return true;
}

bool MyFrame::Pulse(int32_t ms)
{
    if (ms <= 0)
        return false;
    run_.waiting = true;
    run_.countdown = false;
    run_.waitEnd = run_.base + ms * US_PER_MS;
    run_.ticksLeft = 0;
    ScheduleNext();
    return true;
}

// On "-IR", the release between two presses: the remote must see RTS fall
// and stay down before the next press counts. Nothing interrupts it.
bool MyFrame::PressGap()
{
    const int64_t pressAt = NextPressAtUs();
    if (pressAt <= RunnerClock().NowUs())
        return false;
    run_.waiting = true;
    run_.countdown = false;
    run_.waitEnd = pressAt;
    run_.ticksLeft = 0;
    ScheduleNext();
    return true;
}

void MyFrame::ScheduleNext()
{
    const bool tick = run_.ticksLeft > 0 && run_.nextTick <= run_.waitEnd;
    RunnerClock().CallAt(tick ? run_.nextTick : run_.waitEnd, [this] { OnRunTimer(); });
}

// Each wait's deadlines are counted from its start, and the next wait
// starts where this one ended, not when the toolkit got round to it: status
// texts and the like cost nothing, and nothing drifts. After a stall (a
// machine too busy to wake the program) the next wait starts afresh.
void MyFrame::OnRunTimer()
{
    const int64_t now = RunnerClock().NowUs();
    while (run_.ticksLeft > 0 && run_.nextTick <= now && run_.nextTick <= run_.waitEnd) {
        --run_.ticksLeft;
        run_.nextTick += MS_PER_SECOND * US_PER_MS;
        --SecondsRemaining;
        const wxString label = RemainingLabel(SecondsRemaining);
        if (RemainingText->GetLabel() != label)
            RemainingText->SetLabel(label);
    }
    if (now < run_.waitEnd) {
        ScheduleNext();
        return;
    }
    run_.waiting = false;
    run_.base = std::max(run_.waitEnd, now - LATE_LIMIT_US);
    Continue();
}

// The line of the exposure that has just ended (its lines released, or on
// "-IR" its closing pulse begun).
void MyFrame::LogExposureEnd()
{
    Clock& clock = RunnerClock();
    ExposureRecord record;
    record.startUtcMs = run_.exposureStartUtcMs;
    record.endUtcMs = clock.WallMs();
    record.heldMs = (clock.NowUs() - run_.exposureStartUs + 500) / 1000;
    record.frame = run_.frame;
    record.frames = run_.exposures;
    record.setSeconds = run_.duration;
    record.port = run_.port;
    record.afMode = run_.exposureAfMode;
    record.mirrorLock = run_.mirror;
    record.outcome = PortLost() ? "port-lost" : closeRequested_ ? "closed" : AbortRequested ? "aborted" : "done";
    record.source = run_.source;
    record.dither = run_.exposureDither;
    LogExposure(record);
}

void MyFrame::LogExposureClosedAtExit()
{
    closeRequested_ = true;
    LogExposureEnd();
}

void MyFrame::StartDither()
{
    DitherRequest request;
    request.pixels = std::clamp(run_.ditherPixels, 0, MAX_DITHER_PIXELS);
    request.settleSeconds = std::clamp(run_.ditherSettleSeconds, 0, MAX_DITHER_SETTLE_SECONDS);
    request.settlePixels = DITHER_SETTLE_PIXELS;
    request.settleTimeoutSeconds = DITHER_SETTLE_TIMEOUT_S + request.settleSeconds;
    request.giveUpMs = request.settleTimeoutSeconds * MS_PER_SECOND + DITHER_GIVE_UP_EXTRA_MS;
    run_.ditherPending = true;
    RunnerGuider().Dither(request, [this](const DitherOutcome& outcome) { OnDitherDone(outcome); });
}

// A guider that is not there, not guiding or not settling costs the frame
// its dither, never the night: the run goes on.
void MyFrame::OnDitherDone(const DitherOutcome& outcome)
{
    run_.ditherPending = false;
    const std::string why = outcome.reason.empty() ? "" : ": " + outcome.reason;
    run_.lastDither = outcome.settled ? "ok" : "failed" + why;
    if (!outcome.settled)
        ShowStatus(wxString::Format("Dither failed (%d/%d)", run_.frame, run_.exposures) + wxString::FromUTF8(why));
    if (!run_.awaitingGuider)
        return;
    run_.awaitingGuider = false;
    run_.waiting = false;
    run_.base = RunnerClock().NowUs();
    Continue();
}

void MyFrame::StopDither()
{
    if (run_.ditherPending)
        RunnerGuider().Cancel();
    run_.ditherPending = false;
    run_.awaitingGuider = false;
}

bool MyFrame::Interrupted() const { return AbortRequested || closeRequested_ || PortLost(); }

// A countdown wait ends at once; so does a mirror lock-up or AF pulse,
// except on "-IR", where the camera reads a whole pulse or none.
void MyFrame::InterruptWait()
{
    if (!SequenceBusy || !run_.waiting || !Interrupted())
        return;
    if (run_.awaitingGuider) {
        StopDither();
        run_.waiting = false;
        run_.base = RunnerClock().NowUs();
        Continue();
        return;
    }
    if (!run_.countdown && (ActivePort == PORT_SERIAL_IR || run_.step == RunStep::CLOSING_PULSE_END))
        return;
    RunnerClock().CancelCall();
    run_.waiting = false;
    run_.base = RunnerClock().NowUs();
    Continue();
}

void MyFrame::OnAbort(wxCommandEvent&)
{
    AbortRequested = true;
    SecondsRemaining = 0;
    InterruptWait();
}

// An abort, a close or a lost port ends the run here, with the lines
// already released by the exposure end. A close that arrived during the run
// closes the window now (unless the script editor is still open: it closes
// the window when it has gone); a lost port is reported.
bool MyFrame::Checkpoint()
{
    const bool lost = PortLost();
    if (!AbortRequested && !closeRequested_ && !lost)
        return false;
    StopDither();
    ShowStatus("Aborted");
    if (ActivePort == PORT_DSUSB)
        DsusbSignalIdle();
    SequenceBusy = 0;
    AbortRequested = false;
    ShowBanner(IdleBanner());
    ReleaseSleep();
    if (closeRequested_) {
        if (!scriptEditorOpen_)
            ReleaseAndDestroy();
    } else if (lost) {
        ShowPortLost();
    }
    return true;
}

void MyFrame::ShowPortLost()
{
    // A long device path is shortened for the box, and goes whole to stderr.
    const std::string port = PortDescription();
    if (ShortenedPath(port) != port)
        std::fprintf(stderr, "vantrel: lost the connection to %s\n", port.c_str());
    wxMessageBox("Lost the connection to " + wxString::FromUTF8(ShortenedPath(port)) + "\n" + PORT_LOST_ADVICE,
                 "Message", wxOK | wxCENTRE, this);
}
