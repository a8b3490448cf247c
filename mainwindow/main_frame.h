// MyFrame: the program's one window, with the exposure settings, the Start
// and Abort buttons, the countdown, the banner and the status line. The
// sequence runner (OnStart, OnAbort, WaitWithCountdown) lives in
// sequence_runner.cpp.
#pragma once

#include <wx/frame.h>

#include <cstdint>

class EditScriptDialog;
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
    // down and yielding after each step; returns early on an abort, a close
    // or a lost port.
    void WaitWithCountdown(int32_t ms);

    // A close is pending: the window closes once the run and the script
    // editor have ended.
    bool CloseRequested() const { return closeRequested_; }
    bool IsScriptEditorOpen() const { return scriptEditorOpen_; }
    // For a signal that arrives under a modal message box, where the window
    // cannot close: ends an exposure in progress (its exposure-end
    // actions), releases the port and saves the AF mode, as a close does.
    void ReleaseEverything();

protected:
    // Closing a menu shows the runner's latest status text, not the one
    // saved when the menu opened.
    void DoGiveHelp(const wxString& text, bool show) override;

private:
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
