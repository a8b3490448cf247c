// MyFrame: the program's one window, with the exposure settings, the Start
// and Abort buttons, the countdown, the banner and the status line. The
// sequence runner (OnStart, OnAbort, WaitWithCountdown) lives in
// sequence_runner.cpp: a run goes step by step on the event loop, each wait
// a call at its deadline on the runner's clock.
#pragma once

#include <wx/frame.h>

#include <cstdint>
#include <string>

class EditScriptDialog;
struct DitherOutcome;

inline constexpr int DEFAULT_DITHER_SETTLE_SECONDS = 10;
// A script's dither settings are held to these, as the controls hold theirs.
inline constexpr int MAX_DITHER_PIXELS = 100;
inline constexpr int MAX_DITHER_SETTLE_SECONDS = 3600;
class wxBitmap;
class wxBitmapButton;
class wxCheckBox;
class wxSpinCtrl;
class wxStaticText;

enum {
    ID_START_SEQUENCE = 101,
    ID_ABORT_SEQUENCE = 102,
    ID_AF_NONE = 103,  // the AF mode is the identifier minus ID_AF_NONE
    ID_AF_PULSE_AT_START = 104,
    ID_AF_HELD_DURING = 105,
    ID_EDIT_SCRIPT = 106,
};

class MyFrame : public wxFrame {
public:
    explicit MyFrame(const wxString& title);
    ~MyFrame() override;

    wxSpinCtrl* ExposuresCtrl;
    wxSpinCtrl* DurationCtrl;
    wxCheckBox* MirrorLockCtrl;
    wxSpinCtrl* StartDelayCtrl;
    wxSpinCtrl* PreDelayCtrl;
    wxSpinCtrl* PostDelayCtrl;
    bool AbortRequested;
    wxStaticText* RemainingText;
    wxBitmapButton* BannerBitmap;
    int32_t SecondsRemaining;
    // Set by a script's DitherPixels and DitherSettle lines: between the
    // frames of its captures the guider dithers by this many pixels (0:
    // not at all) and settles for this many seconds.
    int DitherPixels = 0;
    int DitherSettleSeconds = DEFAULT_DITHER_SETTLE_SECONDS;

    // event handlers (these functions should _not_ be virtual)
    void OnQuit(wxCommandEvent& event);
    void OnAbout(wxCommandEvent& event);
    void OnEditScript(wxCommandEvent& event);
    void OnAFMode(wxCommandEvent& event);
    void OnStart(wxCommandEvent& event);
    void OnAbort(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);

    // An abort or a close was asked for (AbortRequested or the close flag
    // is set): a wait in progress ends now, and the run goes on to its
    // exposure end and its checkpoint. Pulses on "-IR" run their length.
    void InterruptWait();

    // What the exposure log names as the next run's source: "window"
    // unless a script line starts it ("script:7").
    void SetRunSource(const std::string& source) { nextSource_ = source; }

    // A close is pending: the window closes once the run and the script
    // editor have ended.
    bool CloseRequested() const { return closeRequested_; }
    bool IsScriptEditorOpen() const { return scriptEditorOpen_; }
    // For a signal that arrives under a modal message box, where the window
    // cannot close: ends an exposure in progress (its exposure-end
    // actions), releases the port and saves the AF mode, as a close does.
    void ReleaseEverything();
    // The exposure that a way out of the program has just ended: its line
    // in the log, as closed.
    void LogExposureClosedAtExit();

protected:
    // Closing a menu shows the runner's latest status text, not the one
    // saved when the menu opened.
    void DoGiveHelp(const wxString& text, bool show) override;

private:
    // The steps of a run, in order; a frame goes from BEFORE_FRAME to
    // AFTER_FRAME_END once per exposure.
    enum class RunStep {
        INITIAL_DELAY,
        FRAMES,
        BEFORE_FRAME,
        MIRROR_PULSE_END,
        BEFORE_DELAY,
        EXPOSURE,
        START_PULSE_END,
        EXPOSURE_WAIT,
        EXPOSURE_END,
        CLOSING_PULSE_END,
        AFTER_FRAME,
        AFTER_FRAME_END,
        DITHER_SETTLED,
        DONE,
    };
    // The settings read at Start, and where the run is.
    struct Run {
        int32_t exposures = 0, duration = 0, startDelay = 0, beforeDelay = 0, afterDelay = 0;
        bool dsusb = false;
        bool startPulse = false;
        RunStep step = RunStep::DONE;
        int32_t frame = 0;
        bool mirror = false;  // this frame's mirror lock-up pulse
        std::string port;  // for the exposure log
        std::string source;
        // The exposure in progress, for its line in the log.
        int64_t exposureStartUs = 0;
        int64_t exposureStartUtcMs = 0;
        int exposureAfMode = 0;
        std::string exposureDither;
        // Dithering between frames: asked for after an exposure, waited for
        // (once the after-frame delay is over) before the next frame.
        int ditherPixels = 0;
        int ditherSettleSeconds = 0;
        bool ditherPending = false;
        bool awaitingGuider = false;
        std::string lastDither;  // "ok" or "failed", for the next exposure
        // Where the next wait starts: the end of the one before, or the
        // moment the run went on. Microseconds on the runner's clock.
        int64_t base = 0;
        // The wait in progress: its end and its countdown steps.
        bool waiting = false;
        bool countdown = false;
        int64_t waitEnd = 0;
        int64_t nextTick = 0;
        int32_t ticksLeft = 0;
    };

    void Continue();
    // Starts a wait of `ms` from now, counting SecondsRemaining down once a
    // second from 100 ms in; false when there is nothing to wait for (no
    // time, or an abort, a close or a lost port), and the run goes on now.
    bool WaitWithCountdown(int32_t ms);
    bool FrameDelay(const char* which, int32_t seconds, int32_t shortenMs);
    // A wait without countdown: the length of a pulse. Always timed.
    bool Pulse(int32_t ms);
    bool PressGap();
    void ScheduleNext();
    void OnRunTimer();
    bool Interrupted() const;
    void LogExposureEnd();
    void StartDither();
    void OnDitherDone(const DitherOutcome& outcome);
    void StopDither();
    void ShowStatus(const wxString& text);
    void ShowBanner(const wxBitmap& banner);
    void ShowPortLost();
    bool Checkpoint();
    void ReleaseAndDestroy();

    // A close that arrived during a run or while the script editor is open:
    // the run ends at its next checkpoint, the editor ends its script, and
    // the window closes when both have ended. Its own flag, so that nothing
    // that clears AbortRequested can lose it.
    bool closeRequested_ = false;
    EditScriptDialog* scriptEditor_ = nullptr;
    bool scriptEditorOpen_ = false;
    wxString lastStatus_;
    bool menuHelpShown_ = false;
    Run run_;
    std::string nextSource_ = "window";

    wxDECLARE_EVENT_TABLE();
};

// The one main window, set by start-up; the script interpreter reaches the
// controls through it.
extern MyFrame* MainFrame;
// 1 while a sequence runs: a second Start does nothing then.
extern int SequenceBusy;

// For an exit that bypasses the window (the display went away): ends an
// exposure in progress and releases the port. Harmless after a close.
void ReleaseLinesAtExit();
