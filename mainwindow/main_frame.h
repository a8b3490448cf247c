// MyFrame: the program's one window, with the exposure settings, the Start
// and Abort buttons, the countdown, the banner and the status line. The
// sequence runner (OnStart, OnAbort, WaitWithCountdown) lives in
// sequence_runner.cpp.
#pragma once

#include <wx/frame.h>

#include <cstdint>

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

    // event handlers (these functions should _not_ be virtual)
    void OnQuit(wxCommandEvent& event);
    void OnAbout(wxCommandEvent& event);
    void OnEditScript(wxCommandEvent& event);
    void OnAFMode(wxCommandEvent& event);
    void OnStart(wxCommandEvent& event);
    void OnAbort(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);

    // Waits `ms` milliseconds in 100 ms steps, counting SecondsRemaining
    // down and yielding after each step; returns early on an abort.
    void WaitWithCountdown(int32_t ms);

private:
    void ShowStatus(const wxString& text);
    void ShowBanner(const wxBitmap& banner);
    bool Checkpoint();
    void ReleaseAndDestroy();

    // A close that arrived during a run: the run ends at its next
    // checkpoint and closes the window there.
    bool closeRequested_ = false;

    wxDECLARE_EVENT_TABLE();
};

// The one main window, set by start-up; the script interpreter reaches the
// controls through it.
extern MyFrame* MainFrame;
// 1 while a sequence runs: a second Start does nothing then.
extern int SequenceBusy;
