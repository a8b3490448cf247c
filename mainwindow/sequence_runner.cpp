// The sequence runner: one whole series of bulb exposures inside the Start
// button's handler, waiting in 100 ms steps and yielding to the event loop
// after each step.
#include <wx/bmpbuttn.h>
#include <wx/checkbox.h>
#include <wx/msgdlg.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>

#include "mainwindow/af_mode.h"
#include "mainwindow/banners.h"
#include "mainwindow/clock.h"
#include "mainwindow/countdown.h"
#include "mainwindow/line_actions.h"
#include "mainwindow/main_frame.h"
#include "mainwindow/sleep_inhibitor.h"
#include "ports/ports.h"

int SequenceBusy = 0;

namespace {
constexpr int32_t WAIT_STEP_MS = 100;
constexpr int STEPS_PER_SECOND = 10;
constexpr int32_t MS_PER_SECOND = 1000;
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

    const int32_t exposures = ExposuresCtrl->GetValue();
    const int32_t duration = DurationCtrl->GetValue();
    const int32_t startDelay = StartDelayCtrl->GetValue();
    const int32_t beforeDelay = PreDelayCtrl->GetValue();
    const int32_t afterDelay = PostDelayCtrl->GetValue();

    SecondsRemaining =
        EstimateSeconds(exposures, duration, startDelay, beforeDelay, afterDelay, ActivePort == PORT_SERIAL_IR);
    AbortRequested = false;
    ShowBanner(RunningBanner());
    Clock& clock = RunnerClock();
    const bool dsusb = ActivePort == PORT_DSUSB;

    if (startDelay != 0) {
        ShowStatus(wxString::Format("%ds Initial delay", startDelay));
        if (dsusb) {
            DsusbSignalActive();
            DsusbSignalWaiting();
        }
        WaitWithCountdown(startDelay * MS_PER_SECOND);
    }
    if (Checkpoint())
        return;

    if (dsusb)
        DsusbSignalActive();
    const bool startPulse = ActivePort == PORT_SERIAL_IR || AFMode == AF_PULSE_AT_START;

    for (int32_t frame = 1; frame <= exposures; ++frame) {
        if (beforeDelay != 0) {
            if (MirrorLockCtrl->GetValue())
                MirrorLockPulse(clock);
            if (dsusb)
                DsusbSignalWaiting();
            ShowStatus(wxString::Format("%ds Pre-frame delay (%d/%d)", beforeDelay, frame, exposures));
            // The 200 ms are taken off whenever mirror lock-up is ticked,
            // whatever the pulse lasted on this port.
            WaitWithCountdown(beforeDelay * MS_PER_SECOND - (MirrorLockCtrl->GetValue() ? PULSE_MS : 0));
        }
        if (Checkpoint())
            return;

        ShowStatus(wxString::Format("%ds exposure (%d/%d)", duration, frame, exposures));
        ExposureStart();
        if (startPulse)
            StartPulse(clock);
        WaitWithCountdown(duration * MS_PER_SECOND - (startPulse ? PULSE_MS : 0));
        ExposureEnd(clock);
        if (Checkpoint())
            return;

        if (afterDelay != 0) {
            if (dsusb)
                DsusbSignalWaiting();
            ShowStatus(wxString::Format("%ds Post-frame delay (%d/%d)", afterDelay, frame, exposures));
            WaitWithCountdown(afterDelay * MS_PER_SECOND);
        }
        if (Checkpoint())
            return;
    }

    if (dsusb)
        DsusbSignalIdle();
    if (Checkpoint())  // the port went in the last line change
        return;
    RemainingText->SetLabel(REMAINING_IDLE);
    ShowBanner(IdleBanner());
    ShowStatus("Sequence Done");
    SequenceBusy = 0;
    ReleaseSleep();
}

void MyFrame::OnAbort(wxCommandEvent&)
{
    AbortRequested = true;
    SecondsRemaining = 0;
}

void MyFrame::WaitWithCountdown(int32_t ms)
{
    Clock& clock = RunnerClock();
    const int64_t start = clock.NowMs();
    for (int step = 0; clock.NowMs() - start < ms; ++step) {
        clock.SleepMs(WAIT_STEP_MS);
        if (step % STEPS_PER_SECOND == 0)
            --SecondsRemaining;
        // Nine steps in ten show the same text; setting it again would only
        // cost a relayout.
        const wxString label = RemainingLabel(SecondsRemaining);
        if (RemainingText->GetLabel() != label)
            RemainingText->SetLabel(label);
        clock.Yield();
        if (AbortRequested || closeRequested_ || PortLost())
            return;
    }
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
    wxMessageBox("Lost the connection to " + wxString::FromUTF8(PortDescription()) + "\n" + PORT_LOST_ADVICE, "Message",
                 wxOK | wxCENTRE, this);
}
