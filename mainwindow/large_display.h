// LargeDisplay: a run at a glance, for a user a few steps from the screen:
// the frame, the time left in the current exposure or delay, the total
// remaining, a progress bar and the phase, in large type that grows with
// the window; at the end, how the run ended, in its colour. F11 or a double
// click puts it full screen, Escape takes it back, Alt+A aborts; a line at
// its foot names the keys. It keeps its own colours, so that it reads the
// same whether or not it is the active window (GTK greys an inactive
// window's labels). Its texts are labels, which a screen
// reader reads. It is shown what the main window's view is shown (no timer
// of its own).
#pragma once

#include <wx/frame.h>

#include <functional>
#include <string>

#include "frames/frame_decoder.h"
#include "runner/sequence_runner.h"

class FramePicture;
class wxGauge;
class wxStaticText;

// What the Large Display's keys ask of the run.
struct RunKeys {
    std::function<void()> abort;  // Alt+A
    std::function<void()> stopAfterFrame;  // Alt+T
    std::function<void()> pauseOrResume;  // Alt+P
};

class LargeDisplay : public wxFrame {
public:
    // `closed` is called when the user closes it.
    LargeDisplay(wxWindow* owner, std::function<void()> closed, RunKeys keys);

    void ShowProgress(const RunProgress& progress);
    // "Sequence Done" (DONE: the bar full), "Aborted", "Lost the connection
    // to COM5 (...)", each in its colour.
    void ShowEnd(const std::string& text, RunEnd end);
    // The camera's files: "Downloading frame 3…", "Frame 3: M42_0003.cr2".
    void ShowCameraNote(const std::string& text);
    // The last frame, small, and its stars: "41 stars · HFR 2.84 px".
    void ShowFrame(const DecodedFrame& frame);
    // In the colours of night mode or of the day, as it now is.
    void Restyle();

    wxStaticText* FrameText;
    wxStaticText* PhaseText;
    wxStaticText* PhaseTimeText;
    wxStaticText* TotalText;
    wxStaticText* CameraText;
    wxStaticText* StarsFigures;
    wxStaticText* KeysText;
    wxGauge* ProgressBar;

    // event handlers (these functions should _not_ be virtual)
    void OnClose(wxCloseEvent& event);
    void OnSize(wxSizeEvent& event);
    void OnCharHook(wxKeyEvent& event);
    void OnDoubleClick(wxMouseEvent& event);

private:
    // The texts, then the type at the largest size that fits the window.
    void ShowTexts(const wxString& frame, const wxString& phase, const wxString& phaseTime, const wxString& total,
                   int permille);
    void FitType();

    std::function<void()> closed_;
    RunKeys keys_;
    wxWindow* panel_;
    FramePicture* thumbnail_;
    double scale_ = 0;

    wxDECLARE_EVENT_TABLE();
};
