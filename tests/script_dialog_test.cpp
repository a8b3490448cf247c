// The script editor on the real window: the prepared text, the check before
// any line runs, the run loop, Abort Script and closing.
#include <wx/button.h>
#include <wx/filedlg.h>
#include <wx/textctrl.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <set>

#include "script/edit_script_dialog.h"
#include "tests/runner_fixture.h"

namespace {

class ScriptEditor : public RunnerTest {
protected:
    void SetUp() override
    {
        RunnerTest::SetUp();
        dialog = new EditScriptDialog(frame, *frame, *clock);
        dialog->Show();
        scriptStatuses.clear();
        clock->onYield = [this] {
            const std::string status = dialog->ScriptStatusText->GetLabel().utf8_string();
            if (scriptStatuses.empty() || scriptStatuses.back() != status)
                scriptStatuses.push_back(status);
            if (onYield)
                onYield();
        };
    }

    void TearDown() override
    {
        dialog->Destroy();
        onYield = nullptr;
        RunnerTest::TearDown();
    }

    void Run(const char* script)
    {
        dialog->ScriptTextCtrl->SetValue(wxString::FromUTF8(script));
        Command(dialog, wxEVT_BUTTON, ID_RUN_SCRIPT);
        clock->RunUntil([this] { return !dialog->ScriptRunning(); });
    }

    void ExpectEditing()
    {
        EXPECT_TRUE(dialog->ScriptTextCtrl->IsEditable());
        EXPECT_EQ(dialog->ScriptStatusText->GetLabel(), "");
        EXPECT_TRUE(dialog->RunScriptButton->IsEnabled());
        EXPECT_TRUE(dialog->DoneButton->IsEnabled());
    }

    EditScriptDialog* dialog = nullptr;
    std::vector<std::string> scriptStatuses;
    std::function<void()> onYield;
};

const char* const PREPARED = "% Vantrel Script\n%\n% Commands:\n"
                             "% BeforeDelay N -- Sets the delay before each frame\n"
                             "% AfterDelay N -- Sets the delay after each frame\n"
                             "% Duration N -- Sets the exposure duration\n"
                             "% Exposures N -- Sets the number of exposures\n"
                             "% MirrorLock N -- 0=Disable, 1=Enable mirror lockup mode\n"
                             "% StartCapture N -- Starts a capture after N seconds initial delay\n"
                             "% PromptOK Message to user -- Shows \"Message to user\"and prompts for an OK\n"
                             "%\n%  Note: Any line beginning with % will be ignored \n";

TEST_F(ScriptEditor, PreparedTextRunsWithoutEffect)
{
    EXPECT_EQ(dialog->ScriptTextCtrl->GetValue(), PREPARED);
    EXPECT_EQ(dialog->ScriptTextCtrl->GetNumberOfLines(), 13);
    EXPECT_EQ(dialog->CommandWords,
              wxArrayString(16,
                            std::array<const char*, 16>{"BeforeDelay", "AfterDelay", "Duration", "Exposures",
                                                        "MirrorLock", "StartCapture", "PromptOK", "DitherPixels",
                                                        "DitherSettle", "GuideWait", "DitherEvery", "RetakeSuspect",
                                                        "FrameType", "Target", "StartAt", "AfMode"}
                                .data()));
    WITHOUT_DIALOG(Run(PREPARED));
    ASSERT_EQ(scriptStatuses.size(), 14u);  // empty, then each line
    EXPECT_EQ(scriptStatuses[1], "1: % Vantrel Script");
    EXPECT_EQ(scriptStatuses[12], "12: %  Note: Any line beginning with % will be ignored ");
    EXPECT_EQ(scriptStatuses[13], "13: ");
    EXPECT_EQ(Spin(frame, "# Exposures")->GetValue(), 1);
    EXPECT_EQ(Spin(frame, "After frame")->GetValue(), 5);
    EXPECT_TRUE(fakes.log.events.empty());
    ExpectEditing();
}

TEST_F(ScriptEditor, FirstBadLineIsReportedAndNothingRuns)
{
    wxTEST_DIALOG(Run("Exposures 3\n  Duration\nFoo 1\n"),
                  ExpectMessage("Error on line 2\n  Duration\nEach line must have a command and a parameter", "Error"));
    wxTEST_DIALOG(Run("Exposures 3\nDurationx 30"),
                  ExpectMessage("Error on line 2\nDurationx 30\nInvalid command", "Error"));
    EXPECT_EQ(Spin(frame, "# Exposures")->GetValue(), 1);
    EXPECT_EQ(dialog->ScriptTextCtrl->GetValue(), "Exposures 3\nDurationx 30");
    EXPECT_TRUE(scriptStatuses.empty());
    ExpectEditing();
    // The bad line is selected, the cursor on it.
    long from = 0;
    long to = 0;
    dialog->ScriptTextCtrl->GetSelection(&from, &to);
    EXPECT_EQ(from, 12);
    EXPECT_EQ(to, 24);
}

// Only the running line has a colour of its own (the theme's selection
// colours); every other line, and every line after the run, has the
// theme's (light on a dark theme).
TEST_F(ScriptEditor, OnlyTheRunningLineIsMarked)
{
    const wxColour theme = dialog->ScriptTextCtrl->GetDefaultAttributes().colFg;
    const auto colourAt = [this, &theme](long position) {
        wxTextAttr style;
        EXPECT_TRUE(dialog->ScriptTextCtrl->GetStyle(position, style));
        return style.GetTextColour().IsOk() ? style.GetTextColour() : theme;
    };
    std::set<std::string> marked;
    onYield = [&] {
        if (colourAt(14) != theme)  // inside line 2
            marked.insert(scriptStatuses.back() + (colourAt(2) == theme ? "" : ", line 1 too"));
    };
    WITHOUT_DIALOG(Run("Exposures 2\nDuration 3\n\nDuration 4"));
    EXPECT_EQ(marked, std::set<std::string>{"2: Duration 3"});
    for (long position : {2, 14, 25})
        EXPECT_EQ(colourAt(position), theme) << position;
}

TEST_F(ScriptEditor, EmptyEditorRunsOneEmptyLine)
{
    WITHOUT_DIALOG(Run(""));
    EXPECT_EQ(scriptStatuses, (std::vector<std::string>{"", "1: "}));
    ExpectEditing();
}

TEST_F(ScriptEditor, SettingsAreHeldToTheControlsRanges)
{
    WITHOUT_DIALOG(Run("Exposures 0\nDuration 30x\nBeforeDelay -5\nAfterDelay 2147483647999\nMirrorLock 2"));
    EXPECT_EQ(Spin(frame, "# Exposures")->GetValue(), 1);
    EXPECT_EQ(Spin(frame, "Duration")->GetValue(), 30);
    EXPECT_EQ(Spin(frame, "Before frame")->GetValue(), 0);
    EXPECT_EQ(Spin(frame, "After frame")->GetValue(), 9999);
    EXPECT_TRUE(MirrorLockBox(frame)->GetValue());

    WITHOUT_DIALOG(Run("exposures 99999\nDURATION abc\n  MirrorLock   0  "));
    EXPECT_EQ(Spin(frame, "# Exposures")->GetValue(), 9999);
    EXPECT_EQ(Spin(frame, "Duration")->GetValue(), 1);
    EXPECT_FALSE(MirrorLockBox(frame)->GetValue());
    for (const char* off : {"MirrorLock -1", "MirrorLock word"}) {
        MirrorLockBox(frame)->SetValue(true);
        WITHOUT_DIALOG(Run(off));
        EXPECT_FALSE(MirrorLockBox(frame)->GetValue()) << off;
    }
}

TEST_F(ScriptEditor, PromptShowsTheTextAsTyped)
{
    wxTEST_DIALOG(Run("PromptOK    Flat panel at 100% \xC3\xA4  "),
                  ExpectMessage("Flat panel at 100% \xC3\xA4", "Script Alert"));
    ExpectEditing();

    // The status line shows an "&" as it is; Cancel ends the script run.
    std::string shown;
    onYield = [&] { shown = dialog->ScriptStatusText->GetLabelText().utf8_string(); };
    wxTEST_DIALOG(Run("PromptOK Tom & Jerry\nExposures 7"), ExpectMessage("Tom & Jerry", "Script Alert", wxID_CANCEL));
    EXPECT_EQ(shown, "1: PromptOK Tom & Jerry");
    EXPECT_EQ(Spin(frame, "# Exposures")->GetValue(), 1);
    ExpectEditing();
}

TEST_F(ScriptEditor, StartCaptureRunsAWholeCapture)
{
    Connect(PORT_SERIAL);
    // A duration the user set (an arrow, or Enter in the field) holds for it.
    wxSpinCtrl* duration = Spin(frame, "Duration");
    duration->SetValue(2);
    wxSpinEvent changed(wxEVT_SPINCTRL, duration->GetId());
    changed.SetPosition(2);
    duration->GetEventHandler()->ProcessEvent(changed);
    WITHOUT_DIALOG(Run("BeforeDelay 0\nAfterDelay 0\nStartCapture 1\nExposures 4\n"));
    EXPECT_EQ(fakes.log.events, (std::vector<LineEvent>{{1000, "RTS 1"}, {3000, "RTS 0"}}));
    EXPECT_EQ(Status(), "Sequence Done");
    EXPECT_EQ(Spin(frame, "Sequence start")->GetValue(), 1);
    EXPECT_EQ(Spin(frame, "# Exposures")->GetValue(), 4);  // the lines after it ran
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0],
              "2026-12-07T21:00:01.000Z,2026-12-07T21:00:03.000Z,2000,1,1,2,COM2,0,0,done,script:3,,,,,,,,Light,");
}

// DitherPixels and DitherSettle hold for the captures that follow in this
// script run, and are checked like the other commands.
TEST_F(ScriptEditor, DitherLinesSetTheCapturesThatFollow)
{
    Connect(PORT_SERIAL);
    guider->answerMs = 0;
    WITHOUT_DIALOG(Run("DitherPixels 4\nDitherSettle 7\nDuration 1\nBeforeDelay 0\nAfterDelay 0\nExposures 2\n"
                       "StartCapture 0\nDitherPixels 0\nStartCapture 0"));
    EXPECT_EQ(fakes.log.Whats(),
              (std::vector<std::string>{"watch", "RTS 1", "RTS 0", "dither 4 px, settle 7 s", "RTS 1", "RTS 0", "RTS 1",
                                        "RTS 0", "RTS 1", "RTS 0", "unwatch"}));
    fakes.log.events.clear();  // a main-window run never dithers
    Apply({2, 1, 0, 0, 0, false});
    Start();
    EXPECT_EQ(fakes.log.Whats(), (std::vector<std::string>{"RTS 1", "RTS 0", "RTS 1", "RTS 0"}));
    // Held to 0-100 px and 0-3600 s, as the controls hold theirs.
    for (const char* settle : {"4294908", "2147483647", "-5"}) {
        fakes.log.events.clear();
        const std::string script = std::string("DitherPixels 4294908\nDitherSettle ") + settle +
            "\nDuration 1\nBeforeDelay 0\nAfterDelay 0\nExposures 2\nStartCapture 0";
        WITHOUT_DIALOG(Run(script.c_str()));
        EXPECT_EQ(fakes.log.Whats()[3],
                  std::string("dither 100 px, settle ") + (settle[0] == '-' ? "0" : "3600") + " s");
    }
    wxTEST_DIALOG(
        Run("DitherSettle"),
        ExpectMessage("Error on line 1\nDitherSettle\nEach line must have a command and a parameter", "Error"));
}

// A script with a guider command watches the guider over one connection
// for the whole script run, waits for steady guiding, takes a spoiled frame
// again, and ends with the guider's summary on the status line.
TEST_F(ScriptEditor, GuiderCommandsWatchTheGuiderForTheWholeRun)
{
    Connect(PORT_SERIAL);
    guider->appState = "Stopped";
    guider->EventAt(2000, "StartGuiding");
    guider->EventAt(3000, "StarLost");  // in the first exposure
    guider->EventAt(3500, "GuideStep 0.2 0");
    WITHOUT_DIALOG(Run("GuideWait 30\nRetakeSuspect 2\nDitherEvery 2\nDuration 2\nBeforeDelay 0\nAfterDelay "
                       "0\nExposures 1\nStartCapture 0\nStartCapture 0"));
    EXPECT_EQ(fakes.log.events,
              (std::vector<LineEvent>{{0, "watch"},
                                      {2000, "RTS 1"},
                                      {4000, "RTS 0"},
                                      {4200, "RTS 1"},  // released 200 ms between any two frames
                                      {6200, "RTS 0"},
                                      {6400, "RTS 1"},
                                      {8400, "RTS 0"},
                                      {8400, "unwatch"}}));
    EXPECT_EQ(dialog->ScriptStatusText->GetLabel(), "3 frames, 1 suspect, 1 retaken");
    ASSERT_EQ(log.lines.size(), 3u);
    EXPECT_NE(log.lines[0].find(",0.20,StarLost@1.0s,suspect"), std::string::npos) << log.lines[0];
    EXPECT_NE(log.lines[1].find(",,yes"), std::string::npos) << log.lines[1];
    // The next script run starts without them.
    WITHOUT_DIALOG(Run("Duration 1\nStartCapture 0"));
    // No guide columns (nor a file, stars or a target).
    EXPECT_EQ(log.lines.back().substr(log.lines.back().find(",script:2,")), ",script:2,,,,,,,,Light,");
    EXPECT_EQ(dialog->ScriptStatusText->GetLabel(), "");
}

TEST_F(ScriptEditor, AbortScriptDuringACaptureEndsTheScript)
{
    Connect(PORT_SERIAL);
    clock->At(1500, [this] { Command(dialog, wxEVT_BUTTON, ID_ABORT_SCRIPT); });
    WITHOUT_DIALOG(Run("Duration 5\nBeforeDelay 0\nAfterDelay 0\nStartCapture 0\nExposures 7\nStartCapture 0\n"));
    EXPECT_EQ(fakes.log.events, (std::vector<LineEvent>{{0, "RTS 1"}, {1500, "RTS 0"}}));
    EXPECT_EQ(Status(), "Aborted");
    EXPECT_EQ(Spin(frame, "# Exposures")->GetValue(), 1);
    ExpectEditing();
}

// A script's AfMode holds for its captures; the window's comes back after;
// the script's end tells the night's summary.
TEST_F(ScriptEditor, AfModeHoldsForTheScriptsCapturesOnly)
{
    Connect(PORT_SERIAL);
    frame->SetAfMode(AF_NONE);
    WITHOUT_DIALOG(
        Run("Duration 1\nBeforeDelay 0\nAfterDelay 0\nAfMode 2\nFrameType Dark\nTarget M42\nStartCapture 0\n"));
    const std::vector<std::string> whats = fakes.log.Whats();
    EXPECT_EQ(std::count(whats.begin(), whats.end(), "DTR 1"), 1);  // the focus line held with the shutter
    EXPECT_EQ(frame->AfMode(), AF_NONE);
    EXPECT_EQ(log.lines.back().substr(log.lines.back().rfind(",Dark,")), ",Dark,M42");
    // At the script's end, the night so far as a notification (the log
    // read off the window's thread).
    const auto ended = [&] {
        return !notifier.shown.empty() && notifier.shown.back().rfind("Vantrel: script ended", 0) == 0;
    };
    EXPECT_TRUE(RunUntil(ended));
    // Nor its frame type and target: the window's next run is a plain light.
    Command(frame, wxEVT_BUTTON, ID_START_SEQUENCE);
    clock->RunUntil([this] { return !frame->Busy(); });
    EXPECT_EQ(log.lines.back().substr(log.lines.back().rfind(",Light,")), ",Light,");
}

// Stop After Frame (the main window's) during a capture: the frame runs
// to its end, and the script's next lines do not run.
TEST_F(ScriptEditor, StopAfterFrameDuringACaptureEndsTheScript)
{
    Connect(PORT_SERIAL);
    clock->At(1500, [this] { Command(frame, wxEVT_BUTTON, ID_STOP_AFTER_FRAME); });
    WITHOUT_DIALOG(Run("Duration 5\nBeforeDelay 0\nAfterDelay 0\nStartCapture 0\nExposures 7\nStartCapture 0\n"));
    EXPECT_EQ(fakes.log.events, (std::vector<LineEvent>{{0, "RTS 1"}, {5000, "RTS 0"}}));
    EXPECT_EQ(Status(), "Stopped");
    EXPECT_EQ(Spin(frame, "# Exposures")->GetValue(), 1);
}

TEST_F(ScriptEditor, AbortScriptBetweenLinesEndsTheRunBeforeTheNextLine)
{
    bool pressed = false;
    onYield = [&] {
        if (!pressed && Spin(frame, "# Exposures")->GetValue() == 2) {
            pressed = true;
            Command(dialog, wxEVT_BUTTON, ID_ABORT_SCRIPT);
        }
    };
    WITHOUT_DIALOG(Run("Exposures 2\nExposures 3\nExposures 4"));
    EXPECT_EQ(Spin(frame, "# Exposures")->GetValue(), 2);
    ExpectEditing();
}

TEST_F(ScriptEditor, AStalePressDoesNotEndALaterRun)
{
    Command(dialog, wxEVT_BUTTON, ID_ABORT_SCRIPT);
    WITHOUT_DIALOG(Run("Exposures 5\nDuration 7"));
    EXPECT_EQ(Spin(frame, "# Exposures")->GetValue(), 5);
    EXPECT_EQ(Spin(frame, "Duration")->GetValue(), 7);

    // Also with the editor opened during a main-window run (which the
    // press aborts).
    Command(frame, wxEVT_BUTTON, ID_START_SEQUENCE);
    Command(dialog, wxEVT_BUTTON, ID_ABORT_SCRIPT);
    WITHOUT_DIALOG(Run("Duration 7\nDuration 8"));
    clock->RunUntil([this] { return !frame->Busy(); });
    EXPECT_EQ(Spin(frame, "Duration")->GetValue(), 8);
}

TEST_F(ScriptEditor, StartCaptureIsRefusedWhileASequenceRuns)
{
    Connect(PORT_SERIAL);
    Spin(frame, "# Exposures")->SetValue(2);
    Command(frame, wxEVT_BUTTON, ID_START_SEQUENCE);  // waits 1 s before its exposure
    WITHOUT_DIALOG(Run("StartCapture 3\nMirrorLock 1"));
    EXPECT_TRUE(fakes.log.events.empty());
    // The script's mirror lock-up reaches the run in progress: its second
    // frame has the pulse.
    clock->RunUntil([this] { return !frame->Busy(); });
    const std::vector<std::string> whats = fakes.log.Whats();
    EXPECT_EQ(std::count(whats.begin(), whats.end(), "RTS 1"), 3) << ::testing::PrintToString(whats);
    EXPECT_EQ(Spin(frame, "Sequence start")->GetValue(), 3);
}

void PressEscape(wxWindow* window)
{
    wxKeyEvent key(wxEVT_CHAR_HOOK);
    key.m_keyCode = WXK_ESCAPE;
    key.SetEventObject(window);
    window->GetEventHandler()->ProcessEvent(key);
}

// The close box and Escape: while idle the editor closes; during a run the
// run is aborted and the editor closes once it has ended.
// The run ends first; then a changed script is not closed unasked: No
// closes it, Cancel keeps it open with its run ended.
TEST_F(ScriptEditor, ClosingTheDialogDuringARunAbortsIt)
{
    for (bool escape : {false, true})
        for (int answer : {wxID_NO, wxID_CANCEL}) {
            SCOPED_TRACE(escape ? "Escape" : "close box");
            SCOPED_TRACE(answer == wxID_NO ? "No" : "Cancel");
            TearDown();
            SetUp();
            Connect(PORT_SERIAL);
            clock->At(1500, [this, escape] { escape ? PressEscape(dialog) : (void)dialog->Close(); });
            wxTEST_DIALOG(Run("Duration 5\nBeforeDelay 0\nAfterDelay 0\nStartCapture 0\nExposures 7\n"),
                          ExpectMessage("The script has changed. Save it first?", "Script Editor", answer));
            EXPECT_EQ(fakes.log.events, (std::vector<LineEvent>{{0, "RTS 1"}, {1500, "RTS 0"}}));
            EXPECT_EQ(Spin(frame, "# Exposures")->GetValue(), 1);
            EXPECT_EQ(dialog->IsShown(), answer == wxID_CANCEL);
            if (answer == wxID_CANCEL)
                ExpectEditing();
        }
}

// Save and Open keep a script in a file, starting in the script's folder; closing or opening over a changed
// script asks first, and Cancel keeps it. (The file dialogs themselves are
// the toolkit's: the tests give the paths directly.)
TEST_F(ScriptEditor, ScriptsAreSavedOpenedAndNeverLostUnasked)
{
    const std::string folder = std::string(getenv("HOME")) + "/scripts";
    mkdir(folder.c_str(), 0700);
    const std::string path = folder + "/darks.vantrel";
    dialog->ScriptTextCtrl->SetValue("Exposures 3\nDuration 30");
    ASSERT_TRUE(dialog->SaveTo(path));
    std::ifstream saved(path);
    const std::string text((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "Exposures 3\nDuration 30");
    WITHOUT_DIALOG(Command(dialog, wxEVT_BUTTON, ID_SCRIPT_DONE));  // saved: nothing to ask
    EXPECT_FALSE(dialog->IsShown());

    dialog->Show();
    dialog->ScriptTextCtrl->SetValue("Exposures 9");
    wxTEST_DIALOG(Command(dialog, wxEVT_BUTTON, ID_SCRIPT_DONE),
                  ExpectMessage("The script has changed. Save it first?", "Script Editor", wxID_CANCEL));
    EXPECT_TRUE(dialog->IsShown());
    wxTEST_DIALOG(Command(dialog, wxEVT_BUTTON, ID_OPEN_SCRIPT),
                  ExpectMessage("The script has changed. Save it first?", "Script Editor", wxID_NO),
                  Answer<wxFileDialog>([&](wxFileDialog* open) {
                      EXPECT_EQ(open->GetDirectory().utf8_string(), folder);
                      return wxID_CANCEL;
                  }));
    EXPECT_EQ(dialog->ScriptTextCtrl->GetValue(), "Exposures 9");
    ASSERT_TRUE(dialog->OpenFrom(path));
    EXPECT_EQ(dialog->ScriptTextCtrl->GetValue(), "Exposures 3\nDuration 30");
    WITHOUT_DIALOG(Command(dialog, wxEVT_BUTTON, ID_SCRIPT_DONE));
    EXPECT_FALSE(dialog->IsShown());
}

// A file whose name is not UTF-8 (an older system's Latin-1 name) is saved
// and opened again under its own bytes, and Open Last Script finds it after
// the settings file has kept it.
TEST_F(ScriptEditor, AFileNameInAnyEncodingIsKept)
{
    const std::string path = std::string(getenv("HOME")) + "/caf\xe9.vantrel";
    dialog->ScriptTextCtrl->SetValue("Exposures 3");
    ASSERT_TRUE(dialog->SaveTo(wxString(path.c_str(), *wxConvFileName)));
    std::ofstream(path) << "Exposures 7";
    Command(dialog, wxEVT_BUTTON, ID_OPEN_LAST_SCRIPT);
    EXPECT_EQ(dialog->ScriptTextCtrl->GetValue(), "Exposures 7");
}

// The title names the file and shows a change; Ctrl+S saves to it, F5 runs.
TEST_F(ScriptEditor, KeysAndTitle)
{
    const auto press = [this](int key, int modifiers) {
        wxKeyEvent event(wxEVT_CHAR_HOOK);
        event.m_keyCode = key;
        event.SetControlDown(modifiers & wxMOD_CONTROL);
        event.SetShiftDown(modifiers & wxMOD_SHIFT);
        dialog->GetEventHandler()->ProcessEvent(event);
    };
    const std::string path = std::string(getenv("HOME")) + "/keys.vantrel";
    ASSERT_TRUE(dialog->SaveTo(path));
    EXPECT_EQ(dialog->GetTitle().utf8_string(), "Script Editor \u2014 keys.vantrel");
    dialog->ScriptTextCtrl->SetValue("Exposures 4");
    EXPECT_EQ(dialog->GetTitle().utf8_string(), "Script Editor \u2014 keys.vantrel \u2022");
    press('S', wxMOD_CONTROL);
    EXPECT_EQ(dialog->GetTitle().utf8_string(), "Script Editor \u2014 keys.vantrel");
    std::ifstream saved(path);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>()), "Exposures 4");
    press(WXK_F5, 0);
    EXPECT_EQ(Spin(frame, "# Exposures")->GetValue(), 4);
}

// Only a small text file is opened as a script; anything else is refused
// with the reason, and the editor keeps its text and its file.
TEST_F(ScriptEditor, WhatIsNotAScriptIsNotOpened)
{
    const std::string home = getenv("HOME");
    const std::string image = home + "/m31.fits";
    std::ofstream(image, std::ios::binary) << std::string("SIMPLE  =\xff\xfe\x00\x01", 14);
    const std::string big = home + "/big.vantrel";
    std::ofstream(big) << std::string(2 << 20, '%');
    const std::string fifo = home + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string kept = home + "/kept.vantrel";
    dialog->ScriptTextCtrl->SetValue("Exposures 3");
    ASSERT_TRUE(dialog->SaveTo(kept));
    const std::pair<std::string, std::string> rows[] = {
        {"/nonexistent/x.vantrel", "No such file or directory"},
        {image, "not a text file"},
        {big, "too large for a script"},
        {home, "not a file"},
        {fifo, "not a file"},
    };
    for (const auto& [path, why] : rows) {
        SCOPED_TRACE(path);
        wxTEST_DIALOG(EXPECT_FALSE(dialog->OpenFrom(path)),
                      ExpectMessage("Cannot read " + path + ": " + why, "Script Editor"));
        EXPECT_EQ(dialog->ScriptTextCtrl->GetValue(), "Exposures 3");
    }
    // The file in use is still the one saved: nothing to ask on closing.
    WITHOUT_DIALOG(Command(dialog, wxEVT_BUTTON, ID_SCRIPT_DONE));
    EXPECT_FALSE(dialog->IsShown());
}

// A save that cannot be completed (here a file-size limit, as a full disk
// would) says why and leaves the file as it was, with nothing beside it.
TEST_F(ScriptEditor, AFailedSaveLeavesTheFileAsItWas)
{
    const std::string folder = std::string(getenv("HOME")) + "/full";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    const std::string path = folder + "/lights.vantrel";
    dialog->ScriptTextCtrl->SetValue("Exposures 3");
    ASSERT_TRUE(dialog->SaveTo(path));
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);

    dialog->ScriptTextCtrl->SetValue("Exposures 20\nDuration 300\nStartCapture 0");
    const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = 8;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    wxTEST_DIALOG(EXPECT_FALSE(dialog->SaveTo(path)),
                  ExpectMessage("Cannot write " + path + ": File too large", "Script Editor"));
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldSignal);

    std::ifstream saved(path);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>()), "Exposures 3");
    std::vector<std::string> names;
    if (DIR* listing = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(listing))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        closedir(listing);
    }
    EXPECT_EQ(names, std::vector<std::string>{"lights.vantrel"});
    ASSERT_TRUE(dialog->SaveTo(path));  // with room again
    struct stat info { };
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640U);  // the file keeps its permissions

    // Saved through a link, the file it points to is written.
    const std::string link = folder + "/tonight.vantrel";
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    dialog->ScriptTextCtrl->SetValue("Exposures 5");
    ASSERT_TRUE(dialog->SaveTo(link));
    struct stat linked { };
    ASSERT_EQ(lstat(link.c_str(), &linked), 0);
    EXPECT_TRUE(S_ISLNK(linked.st_mode));
    std::ifstream through(path);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(through)), std::istreambuf_iterator<char>()), "Exposures 5");
}

TEST_F(ScriptEditor, EverythingIsVisible)
{
    for (int i = 0; i < 5 && dialog->GetClientSize().y < 300; ++i) {
        wxMilliSleep(20);
        wxTheApp->Yield();
    }
    ExpectNoClipping(dialog);
    const wxRect status = dialog->ScriptStatusText->GetRect();
    EXPECT_GE(status.height, dialog->ScriptStatusText->GetCharHeight());
}

// Opened from the menu, the editor starts from the prepared text each time.
class EditorFromTheMenu : public wxExpectModalBase<EditScriptDialog, EditorFromTheMenu> {
protected:
    int OnInvoked(EditScriptDialog* dialog) const override
    {
        EXPECT_EQ(dialog->ScriptTextCtrl->GetValue(), PREPARED);
        dialog->ScriptTextCtrl->SetValue("Exposures 3");
        return wxID_OK;
    }
};

TEST_F(ScriptEditor, EachOpeningShowsThePreparedText)
{
    wxTEST_DIALOG(Command(frame, wxEVT_MENU, ID_EDIT_SCRIPT), EditorFromTheMenu());
    wxTEST_DIALOG(Command(frame, wxEVT_MENU, ID_EDIT_SCRIPT), EditorFromTheMenu());
}

}  // namespace
