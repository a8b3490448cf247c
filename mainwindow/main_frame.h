// MyFrame: the program's one window, with the exposure settings, the Start
// and Abort buttons, the countdown, the banner and the status line. It is
// the engine's view (a run shows here) and the script's target (a script
// line sets these controls, as the user sees them change); the run itself
// is the RunControl's (runner/).
#pragma once

#include <wx/frame.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mainwindow/camera_dialog.h"
#include "mainwindow/frame_view.h"
#include "mainwindow/guider_dialog.h"
#include "runner/run_control.h"
#include "runner/settings_model.h"
#include "script/plan.h"
#include "script/script_target.h"

class EditScriptDialog;
class LargeDisplay;
class LastFrameWindow;
class wxBitmap;
class wxBitmapButton;
class wxButton;
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
    ID_CHOOSE_PORT = 110,  // File > Port…: handled where the ports are chosen (app/)
    ID_SHOW_LOG = 111,
    ID_LARGE_DISPLAY = 112,
    ID_NIGHT_MODE = 113,
    ID_SOUNDS = 114,
    ID_CAMERA = 115,
    ID_LAST_FRAME = 116,
    ID_STOP_AFTER_FRAME = 117,
    ID_PAUSE = 118,
    ID_GUIDER = 119,
    ID_SUMMARY = 120,
    ID_PLAN = 121,
    ID_USER_GUIDE = 122,
};

// Where the window keeps what the user chose between runs of the program
// (the AF mode, the View menu's choices, the last script file): the
// settings file (app/), read at start and written as it changes.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // AF_NONE for a missing, unreadable or out-of-range entry.
    virtual int ReadAfMode() = 0;
    virtual void WriteAfMode(int mode) = 0;
    // The same with plain file writes, for a way out of the program where
    // the toolkit may not be used (the display has gone).
    virtual void WriteAfModeWithoutToolkit(int mode) = 0;
    // An on/off choice ("Night Mode"); off when missing or unreadable.
    virtual bool ReadFlag(const char* key) = 0;
    virtual void WriteFlag(const char* key, bool on) = 0;
    // A text ("Last Script"); empty when missing.
    virtual std::string ReadText(const char* key) = 0;
    virtual void WriteText(const char* key, const std::string& text) = 0;
};

// The parts that the program builds (app/) or a test fakes.
struct WindowParts {
    Ports& ports;
    Clock& clock;
    Guider& guider;
    SleepInhibitor& sleep;
    ExposureLog& log;
    SettingsStore& settings;
    DesktopNotifier& notifier;
    // The run's own thread, where the runner lives; without one (tests on
    // a virtual clock) the run goes on the window's thread.
    RunThread* runThread = nullptr;
    // Links the camera whose files are fetched; none where the program is
    // built without libgphoto2 (File > Camera… then says so).
    CameraLinkMaker makeCameraLink = nullptr;
};

// Where a window of `size` opens on `screen` (the display's work area)
// so that it covers none of `taken` (the main window, the Large Display):
// beside the first of them, to its right, below it, to its left or above
// it, the first place where it fits clear (made smaller, down to half its
// size, to fit the room there); else the place where the least of it
// covers them. Always on the screen.
wxRect PlaceClear(const wxRect& screen, const std::vector<wxRect>& taken, wxSize size);

class MyFrame : public wxFrame, public ScriptTarget {
public:
    MyFrame(const wxString& title, const WindowParts& parts);
    ~MyFrame() override;

    // The port that start-up connected.
    void Connect(PortKind kind, const std::string& choiceText) { control_->Connect(kind, choiceText); }
    // For tests that run it on the window's thread.
    SequenceRunner& Runner() { return control_->Runner(); }
    bool Busy() const { return control_->State().busy; }
    // For the ways out of the program: an exposure in progress ended
    // (logged) and the lines released at once.
    // The lines still waiting for the camera's files are logged as not
    // fetched; a download in progress is not waited for.
    void ReleaseAtExit() { control_->ReleaseAtExit(); }
    // The camera whose files are fetched after each exposure, as the
    // settings say (none when they are off), and what came of a file.
    void LinkCamera();
    CameraChoice ReadCameraChoice();
    // File > Guider…'s choice, as the settings file keeps it.
    GuiderChoice ReadGuiderChoice();
    // A whole number kept under `key` in the settings file; false, and
    // `value` unchanged, for none.
    bool ReadWhole(const char* key, int& value);
    // Tonight's frames (since noon), from the exposure log, in words, to
    // `then` on the window's thread; the log is read on a thread of its
    // own (one at a time: a request while one is read is dropped).
    void NightSummary(std::function<void(const std::string&)> then);
    void ShowCameraOutcome(const CameraFileOutcome& outcome);
    void PlaceClearOfThis(wxTopLevelWindow* window);
    void ShowCameraField(const wxString& text, const std::string& folder);
    int CameraFieldWidth(const wxString& text);
    // Opens `path` with the desktop's program for it, else a text editor,
    // else its folder; says so when nothing opens it.
    void OpenOnDesktop(const wxString& path);
    // The port released (before another is chosen).
    void ReleasePort() { control_->ReleasePort(); }
    // The status line's text is the status bar's accessible name too: a
    // screen reader reads what the line says.
    void SetStatusText(const wxString& text, int number = 0) override;
    void SetAfMode(int mode);
    int AfMode() const { return afMode_; }

    // event handlers (these functions should _not_ be virtual)
    void OnQuit(wxCommandEvent& event);
    void OnAbout(wxCommandEvent& event);
    void OnUserGuide(wxCommandEvent& event);
    void OnEditScript(wxCommandEvent& event);
    void OnAFMode(wxCommandEvent& event);
    void OnStart(wxCommandEvent& event);
    void OnAbort(wxCommandEvent& event);
    void OnStopAfterFrame(wxCommandEvent& event);
    void OnPause(wxCommandEvent& event);
    void OnFieldEnter(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);
    void OnUpdateChoosePort(wxUpdateUIEvent& event);
    void OnShowLog(wxCommandEvent& event);
    void OnLargeDisplay(wxCommandEvent& event);
    void OnLastFrame(wxCommandEvent& event);
    void OnNightMode(wxCommandEvent& event);
    void OnSounds(wxCommandEvent& event);
    void OnCamera(wxCommandEvent& event);
    void OnGuider(wxCommandEvent& event);
    void OnSummary(wxCommandEvent& event);
    void OnPlan(wxCommandEvent& event);

    // A close is pending: the window closes once the run and the script
    // editor have ended.
    bool CloseRequested() const { return closeRequested_; }
    bool IsScriptEditorOpen() const { return scriptEditorOpen_; }
    // For a way out of the program that bypasses the close (a signal under
    // a modal message box, the display gone): ends an exposure in progress
    // (logged), releases the port and saves the AF mode, with the toolkit
    // or, when the display has gone, without it.
    void ReleaseEverything(bool withToolkit);

    // What the window shows, for tests and the screen reader.
    wxString RemainingShown() const;
    // The Large Display, while it is open.
    LargeDisplay* LargeDisplayShown() const { return largeDisplay_; }
    // The Last Frame window, while it is open.
    LastFrameWindow* LastFrameShown() const { return lastFrame_; }

    // ScriptTarget
    void SetSetting(RunSetting setting, int value) override;
    void SetFrameNaming(bool type, const std::string& text) override;
    bool Capture(int startDelaySeconds, int64_t startAtUtcMs, const std::string& source,
                 std::function<void()> ended) override;
    bool Prompt(const std::string& text) override;
    void AbortCapture() override;
    bool ScriptMustStop() override;
    bool ProgramClosing() override { return closeRequested_; }
    void ResetDithering() override;
    void ScriptRunEnded() override;
    void SetScriptAfMode(int mode) override;
    void WatchGuider(bool on) override { control_->WatchGuider(on); }
    std::string GuideSummary() override;
    std::string LastScript() override;
    void RememberScript(const std::string& path) override;

protected:
    // Closing a menu shows the runner's latest status text, not the one
    // saved when the menu opened.
    void DoGiveHelp(const wxString& text, bool show) override;

private:
    // The controls a run reads as it goes, handed to the runner.
    void ShareControls();
    // The fields' values as they read now (text typed and not yet taken
    // in), into the settings model.
    void TakeFields();
    // The spin controls, the settings they show, and their keys in the
    // settings file, where the window's last run keeps them.
    struct Field {
        RunSetting setting;
        wxSpinCtrl* control;
        const char* key;
    };
    std::vector<Field> Fields() const;
    // The fields (and mirror lock-up) as the last run from the window had
    // them; the defaults on the first start.
    void RestoreFields();
    void ShowSetting(RunSetting setting, int value);
    void RunEnded(RunEnd end, int run);
    // Releases the port, then as below.
    void ReleaseAndDestroy();
    // Saves the AF mode and destroys the window.
    void SaveAndDestroy();
    void ShowLargeDisplay(bool show);
    void ShowLastFrame(bool show);
    // The script editor, with `script` run at once when there is one.
    void OpenScriptEditor(const std::string* script);

    wxSpinCtrl* ExposuresCtrl;
    wxSpinCtrl* DurationCtrl;
    wxCheckBox* MirrorLockCtrl;
    wxSpinCtrl* StartDelayCtrl;
    wxSpinCtrl* PreDelayCtrl;
    wxSpinCtrl* PostDelayCtrl;
    wxStaticText* RemainingText;
    wxButton* PauseButton;
    wxBitmapButton* BannerBitmap;

    SettingsStore& settings_;
    int afMode_ = 0;
    DesktopNotifier& notifier_;
    FrameView view_;
    Clock& clock_;  // the window's, for the loops that wait on a run
    std::unique_ptr<RunControl> control_;
    std::thread summaryReader_;
    bool cameraGoneShown_ = false;
    bool guiderWatched_ = false;  // for the window's run in progress
    Plan plan_;  // File > Plan…'s, while the program runs
    bool scriptStopped_ = false;  // Stop After Frame during a script's capture
    int afBeforeScript_ = -1;  // the window's AF mode while a script sets its own
    // The user's own AF mode, whatever a script has set: the one kept.
    int UsersAfMode() const { return afBeforeScript_ >= 0 ? afBeforeScript_ : afMode_; }
    // The run a script's capture started (numbered as the view counts
    // them), or 0, and what its end lets go on.
    int captureRun_ = 0;
    std::function<void()> captureEnded_;
    // A close that arrived during a run or while the script editor is open:
    // the run ends at its next checkpoint, the editor ends its script, and
    // the window closes when both have ended.
    bool closeRequested_ = false;
    EditScriptDialog* scriptEditor_ = nullptr;
    LargeDisplay* largeDisplay_ = nullptr;
    LastFrameWindow* lastFrame_ = nullptr;
    bool scriptEditorOpen_ = false;
    bool menuHelpShown_ = false;

    wxDECLARE_EVENT_TABLE();
};

// The one main window, set by start-up (for the signal handlers), cleared
// when it is destroyed.
extern MyFrame* MainFrame;
