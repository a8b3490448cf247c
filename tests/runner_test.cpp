// The sequence runner on the real MyFrame, timed by a virtual clock: each
// case is a row of settings and the line changes it must produce, with the
// virtual millisecond of each.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include <gio/gio.h>
#include <unistd.h>
#include <wx/dataview.h>
#include <wx/dialog.h>
#include <wx/menu.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

#include "app/toolkit_clock.h"
#include "mainwindow/large_display.h"
#include "mainwindow/last_frame.h"
#include "mainwindow/plan_dialog.h"
#include "runner/countdown.h"
#include "runner/exposure_log.h"
#include "runner/sleep_inhibitor.h"
#include "script/edit_script_dialog.h"
#include "tests/frame_maker.h"
#include "tests/runner_fixture.h"

namespace {

using Runner = RunnerTest;
using Timeline = std::vector<LineEvent>;

TEST_F(Runner, DefaultsOnSerial)
{
    Connect(PORT_SERIAL);
    Start();
    EXPECT_EQ(fakes.log.events, (Timeline{{1000, "RTS 1"}, {2000, "RTS 0"}}));
    EXPECT_EQ(statuses,
              (std::vector<std::string>{"1s Pre-frame delay (1/1)", "1s exposure (1/1)", "5s Post-frame delay (1/1)"}));
    EXPECT_EQ(
        countdown,
        (std::vector<std::string>{"Total Remaining 00:00:07", "Total Remaining 00:00:06", "Total Remaining 00:00:05",
                                  "Total Remaining 00:00:04", "Total Remaining 00:00:03", "Total Remaining 00:00:02",
                                  "Total Remaining 00:00:01"}));
    EXPECT_EQ(fakes.log.now, 7000);
    EXPECT_EQ(frame->RemainingShown(), REMAINING_IDLE);
    EXPECT_EQ(Status(), "Sequence Done");
    EXPECT_FALSE(frame->Busy());
}

// A lost port is reported with its device and the port's own reason; a
// port that is still gone at the next Start says so again, and nothing runs.
TEST_F(Runner, LostPortIsReportedWithItsReason)
{
    const std::string advice =
        "\nCheck the cable and plug it in again; Vantrel opens the port again at the next Start.";
    Connect(PORT_SERIAL);
    Apply({2, 1, 0, 0, 0, false});
    clock->At(500, [this] {
        fakes.log.failures = 5;
        fakes.log.error = EIO;
    });
    wxTEST_DIALOG(
        Start(),
        ExpectMessage("Lost the connection to COM2 (/dev/ttyS1)\nRTS release: Input/output error" + advice, "Vantrel"));
    EXPECT_EQ(Status(), "Aborted");
    EXPECT_EQ(frame->RemainingShown(), REMAINING_IDLE);
    fakes.serial->openSucceeds = false;
    fakes.log.error = ENODEV;
    wxTEST_DIALOG(Start(),
                  ExpectMessage("Lost the connection to COM2 (/dev/ttyS1)\nno such device (is the adapter "
                                "plugged in?)" +
                                    advice,
                                "Vantrel"));
    EXPECT_FALSE(frame->Busy());
}

// With File > Camera… on, each exposure's end reaches the camera, the
// status line follows its files, the Last Frame window and the Large
// Display show the frame read from its file, and the log line names them
// with the frame's stars; off (the default), no camera is looked for.
TEST_F(Runner, TheCamerasFilesAreFetchedWhenAskedFor)
{
    class Link : public CameraLink {
    public:
        std::string Description() const override { return "Canon EOS 600D on usb:001,005"; }
        bool Connected() const override { return true; }
        void ExposureStarting() override { ended.push_back(0); }  // left alone from here
        uint32_t ExposureEnded(int32_t frame) override
        {
            ended.push_back(frame);
            return static_cast<uint32_t>(ended.size() / 2);
        }
        std::vector<int32_t> ended;
    };
    Link* link = nullptr;
    std::function<void(const CameraFileOutcome&)> outcome;
    CameraLinkSettings asked;
    WindowParts parts = Parts();
    parts.makeCameraLink = [&](const CameraLinkSettings& settings, std::function<void(const CameraFileOutcome&)> told) {
        asked = settings;
        outcome = told;
        auto made = std::make_unique<Link>();
        link = made.get();
        return made;
    };
    const auto rebuild = [&] {
        frame->Destroy();
        RunIdle();
        frame = new MyFrame("Vantrel", parts);
        MainFrame = frame;
        frame->SetAfMode(AF_NONE);
        Connect(PORT_SERIAL);
    };
    rebuild();
    EXPECT_EQ(link, nullptr);  // off by default

    char folder[] = "/tmp/vantrel-frames-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/M42_0001.dng";
    const StarField field;
    ASSERT_TRUE(WriteDng(file, field, MakeStarField(field)));
    settings->WriteFlag("Camera Files", true);
    settings->WriteText("Camera Folder", folder);
    settings->WriteText("Camera Prefix", "M42");
    settings->WriteFlag("Last Frame", true);
    rebuild();
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(asked.folder + " " + asked.prefix, std::string(folder) + " M42");
    EXPECT_EQ(frame->GetStatusBar()->GetStatusText(1), "Camera");  // the files are fetched
    ASSERT_NE(frame->LastFrameShown(), nullptr);
    EXPECT_EQ(frame->LastFrameShown()->TitleText->GetLabel(), "No frame yet");
    Start();
    EXPECT_EQ(link->ended, (std::vector<int32_t>{0, 1}));
    EXPECT_TRUE(log.lines.empty());  // the line waits for its files
    wxCommandEvent large(wxEVT_MENU, ID_LARGE_DISPLAY);
    large.SetInt(1);
    frame->GetEventHandler()->ProcessEvent(large);
    // File > Camera… while the frame's files are on their way, OK with
    // nothing changed: the same link goes on (a new one would lose them);
    // its folder shown whole, the keyboard in its first field.
    Link* before = link;
    wxTEST_DIALOG(Command(frame, wxEVT_MENU, ID_CAMERA), Answer<wxDialog>([&](wxDialog* dialog) {
                      const auto* field = dynamic_cast<wxTextCtrl*>(dialog->FindWindow("Folder"));
                      EXPECT_TRUE(field && field->GetValue() == folder);
                      EXPECT_EQ(dialog->FindFocus() ? dialog->FindFocus()->GetLabel() : "",
                                "&Fetch each frame's files from the camera");
                      return wxID_OK;
                  }));
    EXPECT_EQ(link, before);
    // The camera's notes in its field: the status line keeps the run's end.
    const auto cameraField = [this] { return frame->GetStatusBar()->GetStatusText(1); };
    outcome({FileOutcome::FETCHING, 1, 1, "IMG_0001.CR2", ""});
    RunIdle();
    EXPECT_EQ(cameraField(), wxString::FromUTF8("Downloading frame 1\u2026"));
    // The shot's JPEG (here no picture at all) came first: its RAW is the
    // one measured.
    std::ofstream(std::string(folder) + "/M42_0001.jpg") << "no picture";
    outcome({FileOutcome::WRITTEN, 1, 1, "M42_0001.jpg", ""});
    outcome({FileOutcome::WRITTEN, 1, 1, "M42_0001.dng", ""});
    outcome({FileOutcome::LAST, 1, 1, "M42_0001.jpg M42_0001.dng", ""});
    RunIdle();
    EXPECT_EQ(Status(), "Sequence Done");
    EXPECT_EQ(cameraField(), "Frame 1: M42_0001.dng");
    ASSERT_NE(frame->LargeDisplayShown(), nullptr);
    EXPECT_EQ(frame->LargeDisplayShown()->CameraText->GetLabel(), "Frame 1: M42_0001.dng");
    // The frame is read on a thread of its own, then shown.
    for (int i = 0; i < 1000 && log.lines.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        RunIdle();
    }
    RunIdle();
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find(",M42_0001.jpg M42_0001.dng,40,"), std::string::npos) << log.lines[0];
    EXPECT_EQ(frame->LastFrameShown()->TitleText->GetLabel(), wxString::FromUTF8("Frame 1 \u00b7 M42_0001.dng"));
    EXPECT_TRUE(
        frame->LastFrameShown()->StarsFigures->GetLabel().StartsWith(wxString::FromUTF8("40 stars \u00b7 HFR ")))
        << frame->LastFrameShown()->StarsFigures->GetLabel();
    EXPECT_TRUE(frame->LargeDisplayShown()->StarsFigures->GetLabel().StartsWith("40 stars"));
    // A shot's RAW, then its JPEG (of other stars here): the RAW's figures
    // stay, the JPEG is not read.
    const std::string raw = std::string(folder) + "/M42_0004.dng", jpeg = std::string(folder) + "/M42_0004.jpg";
    StarField few = field;
    few.stars = 12;
    ASSERT_TRUE(WriteDng(raw, field, MakeStarField(field)) && WriteJpeg(jpeg, few, MakeStarField(few)));
    outcome({FileOutcome::WRITTEN, 4, 4, "M42_0004.dng", ""});
    outcome({FileOutcome::WRITTEN, 4, 4, "M42_0004.jpg", ""});
    const auto starsShown = [&] { return frame->LastFrameShown()->StarsFigures->GetLabel(); };
    EXPECT_TRUE(RunUntil([&] { return starsShown().StartsWith("40 stars"); }));
    EXPECT_FALSE(RunUntil([&] { return starsShown().StartsWith("12 stars"); }, 50));
    unlink(raw.c_str());
    unlink(jpeg.c_str());
    // A frame that cannot be read: nothing of the one before under its
    // heading, and why, within the window.
    std::ofstream(std::string(folder) + "/M42_0003.dng") << "no picture";
    outcome({FileOutcome::WRITTEN, 3, 3, "M42_0003.dng", ""});
    const LastFrameWindow* shown = frame->LastFrameShown();
    EXPECT_TRUE(RunUntil([&] { return shown->TitleText->GetLabel().StartsWith("Frame 3"); }));
    EXPECT_TRUE(shown->StarsFigures->GetLabel().StartsWith("Could not be read: not a RAW"));
    EXPECT_EQ(shown->ClipText->GetLabel(), "");
    EXPECT_LE(shown->StarsFigures->GetSize().x, shown->GetClientSize().x);
    EXPECT_FALSE(frame->LargeDisplayShown()->StarsFigures->GetLabel().StartsWith("40 stars"));
    unlink((std::string(folder) + "/M42_0003.dng").c_str());
    // The status bar says where the files go; a frame whose file did not
    // come says so.
    EXPECT_TRUE(frame->GetStatusBar()->GetToolTipText().EndsWith(folder));
    outcome({FileOutcome::LAST, 2, 2, "", "timed out"});
    RunIdle();
    EXPECT_EQ(cameraField(), "Frame 2: no file from the camera");
    EXPECT_EQ(frame->LargeDisplayShown()->CameraText->GetLabel(), "Frame 2: no file from the camera");
    unlink(file.c_str());
    unlink((std::string(folder) + "/M42_0001.jpg").c_str());
    rmdir(folder);
}

// File > Guider…'s choice dithers the window's lights and watches the
// guider for them; a script's frame type that is not a light does neither.
TEST_F(Runner, TheGuiderChoiceDithersTheWindowsLights)
{
    settings->WriteText("Dither Pixels", "3");
    settings->WriteText("Guide Wait", "5");
    Connect(PORT_SERIAL);
    Apply({2, 1, 0, 0, 1, false});
    for (const char* type : {"Light", "Dark"}) {
        SCOPED_TRACE(type);
        frame->SetFrameNaming(true, type);
        fakes.log.events.clear();
        Start();
        std::vector<std::string> guider;
        for (const std::string& what : fakes.log.Whats())
            if (what.rfind("dither", 0) == 0 || what.rfind("watch", 0) == 0 || what == "unwatch")
                guider.push_back(what);
        EXPECT_EQ(guider,
                  std::string(type) == "Light"
                      ? (std::vector<std::string>{"watch", "dither 3 px, settle 10 s", "unwatch"})
                      : std::vector<std::string>{});
    }
}

// File > Plan…'s list: runs added, duplicated, removed and moved, the
// plan's length and end as a clock time, from a start time too.
TEST_F(Runner, ThePlanListsItsRunsAndItsEnd)
{
    setenv("TZ", "UTC", 1);
    tzset();
    PlanDialog plan(frame, Plan(), [] { return int64_t{1796677200000}; });  // 21:00
    EXPECT_EQ(plan.EndText->GetLabel(), "No runs yet: Add one");
    PlannedRun lights;
    lights.target = "M42";
    lights.exposures = 20;
    lights.durationS = 300;
    lights.beforeS = 0;
    lights.afterS = 0;
    PlannedRun darks = lights;
    darks.type = "Dark";
    darks.exposures = 10;
    plan.Add(lights);
    plan.Add(darks);
    plan.Select(0);
    plan.Duplicate();
    plan.Remove();  // the copy, selected
    plan.Select(1);
    plan.Move(-1);
    ASSERT_EQ(plan.RunList->GetItemCount(), 2);
    EXPECT_EQ(plan.RunList->GetTextValue(0, 0) + " " + plan.RunList->GetTextValue(1, 0), "Dark Light");
    EXPECT_EQ(plan.RunList->GetTextValue(1, 10), "1 h 40 min");
    EXPECT_EQ(plan.EndText->GetLabel(),
              wxString::FromUTF8("2 runs \u00b7 2 h 30 min \u00b7 ends at 23:30 if started now"));
    plan.StartAtText->SetValue("22:00");
    EXPECT_EQ(plan.EndText->GetLabel(), wxString::FromUTF8("2 runs \u00b7 2 h 30 min \u00b7 ends at 00:30"));
    const std::vector<std::string> script = PlanScript(plan.GetPlan());
    EXPECT_EQ(script[1] + ", " + script[2], "StartAt 22:00, FrameType Dark");
}

// A close that comes while the script editor is open, or during a script's
// capture, closes the window once the editor has gone; it is never lost.
const char* const EXIT_QUESTION = "A sequence is running. Abort it and exit?";

TEST_F(Runner, CloseWhileTheScriptEditorIsOpenIsNeverLost)
{
    class CloseUnderEditor : public wxExpectModalBase<EditScriptDialog, CloseUnderEditor> {
    public:
        CloseUnderEditor(RunnerTest* test, const char* script)
            : test_(test)
            , script_(script)
        {
        }

    protected:
        int OnInvoked(EditScriptDialog* dialog) const override
        {
            MyFrame* frame = MainFrame;
            if (*script_) {
                dialog->ScriptTextCtrl->SetValue(script_);
                test_->clock->At(test_->fakes.log.now + 1500, [frame] { frame->Close(); });
                Command(dialog, wxEVT_BUTTON, ID_RUN_SCRIPT);
                test_->clock->RunUntil([dialog] { return !dialog->ScriptRunning(); });  // the editor's loop
            } else {
                frame->Close();
            }
            EXPECT_EQ(MainFrame, frame);  // still there while the editor is
            EXPECT_FALSE(frame->IsBeingDeleted());
            return wxID_CANCEL;
        }

    private:
        RunnerTest* test_;
        const char* script_;
    };
    for (const char* script : {"", "Duration 5\nBeforeDelay 0\nAfterDelay 0\nStartCapture 0\nExposures 7"}) {
        SCOPED_TRACE(script);
        TearDown();
        SetUp();
        Connect(PORT_SERIAL);
        if (*script) {  // during a run, the close asks first
            wxTEST_DIALOG(Command(frame, wxEVT_MENU, ID_EDIT_SCRIPT), CloseUnderEditor(this, script),
                          ExpectMessage(EXIT_QUESTION, "Vantrel", wxID_YES));
        } else {
            wxTEST_DIALOG(Command(frame, wxEVT_MENU, ID_EDIT_SCRIPT), CloseUnderEditor(this, script));
        }
        RunIdle();
        EXPECT_EQ(MainFrame, nullptr);
        EXPECT_EQ(fakes.log.Whats().back(), "serial close");
        if (*script) {
            EXPECT_EQ(fakes.log.events[1], (LineEvent{1500, "RTS 0"}));
        }
    }
}

// Closing a menu shows what the runner showed last, not what the status
// line read when the menu opened.
TEST_F(Runner, ClosingAMenuShowsTheLatestStatus)
{
    Connect(PORT_SERIAL);
    Apply({1, 2, 0, 0, 0, false});
    clock->At(500, [this] {
        wxMenuEvent highlight(wxEVT_MENU_HIGHLIGHT, ID_AF_NONE);
        frame->ProcessWindowEvent(highlight);
        EXPECT_EQ(Status(), "No AF signal");
    });
    Start();
    EXPECT_EQ(Status(), "Sequence Done");
    wxMenuEvent close(wxEVT_MENU_CLOSE, 0, frame->GetMenuBar()->GetMenu(0));
    frame->ProcessWindowEvent(close);
    EXPECT_EQ(Status(), "Sequence Done");
}

// A close during a run ends it as an abort does, then releases the port,
// saves the AF mode and destroys the window; nothing is driven afterwards.
// Exit and the close box ask first during a run; "Keep Running" keeps the
// exposure whole.
TEST_F(Runner, CloseDuringAnExposure)
{
    Connect(PORT_SERIAL);
    Apply({1, 2, 0, 0, 0, false});
    clock->At(1000, [this] { Command(frame, wxEVT_MENU, wxID_EXIT); });
    wxTEST_DIALOG(Start(), ExpectMessage(EXIT_QUESTION, "Vantrel", wxID_NO));  // "Keep Running"
    EXPECT_EQ(fakes.log.Whats(), (std::vector<std::string>{"RTS 1", "RTS 0"}));
    EXPECT_EQ(fakes.log.events.back().ms, 2000);
    RunIdle();
    ASSERT_EQ(MainFrame, frame);

    struct Row {
        PortKind port;
        bool exitMenu;  // Alt+X rather than the close box
        Timeline expected;
    };
    const Row rows[] = {
        {PORT_SERIAL, false, {{0, "RTS 1"}, {1000, "RTS 0"}, {1000, "serial close"}}},
        {PORT_SERIAL, true, {{0, "RTS 1"}, {1000, "RTS 0"}, {1000, "serial close"}}},
        {PORT_SERIAL_IR,
         false,
         {{0, "RTS 1"}, {200, "RTS 0"}, {1000, "RTS 1"}, {1200, "RTS 0"}, {1200, "serial close"}}},
        {PORT_PARALLEL, false, {{0, "data 01"}, {1000, "data 00"}, {1000, "data 00"}, {1000, "parallel close"}}},
        {PORT_DSUSB,
         true,
         {{0, "usb 20"},
          {0, "usb 30"},
          {0, "usb 31"},
          {1000, "usb 30"},
          {1000, "usb 10"},
          {1000, "usb 00"},
          {1000, "usb close"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.port);
        TearDown();
        SetUp();
        Connect(row.port);
        frame->SetAfMode(AF_HELD_DURING);
        Apply({3, 5, 0, 0, 5, false});
        if (row.port != PORT_PARALLEL)
            frame->SetAfMode(AF_NONE);  // keep the focus line out of the timeline
        clock->At(1000, [this, &row] {
            if (row.exitMenu)
                Command(frame, wxEVT_MENU, wxID_EXIT);
            else
                frame->Close();
        });
        wxTEST_DIALOG(Start(), ExpectMessage(EXIT_QUESTION, "Vantrel", wxID_YES));  // "Abort and Exit"
        EXPECT_EQ(fakes.log.events, row.expected);
        RunIdle();
        EXPECT_EQ(MainFrame, nullptr);
        // Once released, nothing reaches a line.
        fakes.ports->SetSerialShutter(true);
        fakes.ports->DsusbShutterOn();
        EXPECT_EQ(fakes.log.events, row.expected);
    }
}

// A modal dialog that stays open while virtual time runs on to `until`.
template <class Dialog> class OpenUntil : public wxExpectModalBase<Dialog, OpenUntil<Dialog>> {
public:
    OpenUntil(VirtualClock* clock, int64_t until)
        : clock_(clock)
        , until_(until)
    {
    }

protected:
    int OnInvoked(Dialog*) const override
    {
        clock_->At(until_, [] {});
        clock_->RunUntil([this] { return clock_->NowUs() >= until_ * 1000; });
        return wxID_OK;
    }

private:
    VirtualClock* clock_;
    int64_t until_;
};

// The run goes on under a dialog opened during it: every line change on
// time, the countdown counting, the next frame started.
TEST_F(Runner, ADialogDoesNotStretchAnExposure)
{
    const std::function<void(RunnerTest*)> opens[] = {
        [](RunnerTest* test) {
            wxTEST_DIALOG(Command(test->frame, wxEVT_MENU, wxID_ABOUT),
                          OpenUntil<wxMessageDialog>(test->clock.get(), 3500));
        },
        [](RunnerTest* test) {
            wxTEST_DIALOG(Command(test->frame, wxEVT_MENU, ID_EDIT_SCRIPT),
                          OpenUntil<EditScriptDialog>(test->clock.get(), 3500));
        },
    };
    for (const auto& open : opens) {
        TearDown();
        SetUp();
        Connect(PORT_SERIAL);
        Apply({2, 1, 0, 0, 1, false});
        clock->At(500, [this, &open] { open(this); });
        Start();
        EXPECT_EQ(fakes.log.events, (Timeline{{0, "RTS 1"}, {1000, "RTS 0"}, {2000, "RTS 1"}, {3000, "RTS 0"}}));
        EXPECT_EQ(statuses,
                  (std::vector<std::string>{"1s exposure (1/2)", "1s Post-frame delay (1/2)", "1s exposure (2/2)",
                                            "1s Post-frame delay (2/2)"}));
        EXPECT_EQ(countdown.back(), "Total Remaining 00:00:01");
        EXPECT_EQ(fakes.log.now, 4000);
        EXPECT_EQ(Status(), "Sequence Done");
    }
}

// The production clock: the line changes in order and a hold of the
// exposure's length, whatever the wall clock does meanwhile (the device
// shim steps it) and with a real modal dialog open across the exposure's
// end. Nothing here asserts that anything was fast.
TEST_F(Runner, RealTime)
{
    struct Row {
        const char* name;
        const char* wallStep;  // seconds, or nullptr
        bool dialog;
        PortKind port = PORT_SERIAL;
        int abortMs = -1;  // from Start; -1 never
        bool exitPath = false;  // the lines released as a signal under a modal box does, then Abort
    };
    const Row rows[] = {
        {"plain", nullptr, false},
        {"wall clock stepped an hour on", "3600", false},
        {"wall clock stepped an hour back", "-3600", false},
        {"a modal dialog open across the exposure's end", nullptr, true},
        {"infra-red, Abort 60 ms into the opening pulse", nullptr, false, PORT_SERIAL_IR, 60},
        {"infra-red, a way out of the program 60 ms into the opening pulse", nullptr, false, PORT_SERIAL_IR, 60, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        realClock = MakeToolkitClock();  // the program's own clock
        Rebuild(*realClock, sleep);
        const auto start = std::chrono::steady_clock::now();
        fakes.log.realTime = [start] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        };
        Connect(row.port);
        Apply({1, 1, 0, 0, 0, false});
        std::chrono::seconds stepped{0};
        wxTimer abort;
        abort.Bind(wxEVT_TIMER, [this, &row](wxTimerEvent&) {
            if (row.exitPath)
                frame->Runner().ReleaseAtExit();
            Abort();
        });
        std::vector<std::string> seenWhileOpen;
        wxTimer during;  // 300 ms into the exposure
        during.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
            if (row.wallStep) {
                const auto before = std::chrono::system_clock::now();
                setenv("VANTREL_SHIM_WALL_STEP", row.wallStep, 1);
                stepped = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() - before);
            }
            if (row.dialog) {
                wxDialog dialog(frame, wxID_ANY, "Open across the exposure's end");
                wxTimer closer;
                closer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
                    seenWhileOpen = fakes.log.Whats();
                    dialog.EndModal(wxID_OK);
                });
                closer.StartOnce(1200);
                dialog.ShowModal();
            }
        });
        Command(frame, wxEVT_BUTTON, ID_START_SEQUENCE);
        during.StartOnce(300);
        if (row.abortMs >= 0)
            abort.StartOnce(row.abortMs);
        frame->Runner().RunClock().RunUntil([this] { return !frame->Busy(); });
        unsetenv("VANTREL_SHIM_WALL_STEP");

        if (row.port == PORT_SERIAL_IR) {
            // Two whole presses with a whole release between them, and the
            // exposure logged once.
            const std::vector<std::string> presses = {"RTS 1", "RTS 0", "RTS 1", "RTS 0"};
            std::vector<std::string> lines = fakes.log.Whats();
            ASSERT_GE(lines.size(), 4u);
            EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4), presses);
            EXPECT_EQ(lines.size() > 4 && lines[4] == "serial close", row.exitPath);
            for (size_t i = 1; i < 4; ++i)
                EXPECT_GE(fakes.log.events[i].ms - fakes.log.events[i - 1].ms, 200) << i;
            EXPECT_EQ(Status(), "Aborted");
            ASSERT_EQ(log.lines.size(), 1u);
            EXPECT_NE(log.lines[0].find(row.exitPath ? ",closed," : ",aborted,"), std::string::npos) << log.lines[0];
            continue;
        }

        ASSERT_EQ(fakes.log.Whats(), (std::vector<std::string>{"RTS 1", "RTS 0"}));
        const int64_t hold = fakes.log.events[1].ms - fakes.log.events[0].ms;
        EXPECT_GE(hold, 1000);
        EXPECT_LT(hold, 60000);  // an hour back must not hold it for an hour
        EXPECT_EQ(Status(), "Sequence Done");
        if (row.wallStep) {
            EXPECT_GE(std::abs(stepped.count()), 3599) << "the device shim is not preloaded";
        }
        if (row.dialog) {
            EXPECT_EQ(seenWhileOpen, fakes.log.Whats());
        }
    }
}

}  // namespace

namespace {

// The inhibitors that logind holds: (what, who, why, mode) each.
std::vector<std::string> Inhibitors()
{
    std::vector<std::string> found;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    if (!bus)
        return found;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "ListInhibitors",
        nullptr, G_VARIANT_TYPE("(a(ssssuu))"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    if (reply) {
        GVariantIter* items = nullptr;
        g_variant_get(reply, "(a(ssssuu))", &items);
        const char *what, *who, *why, *mode;
        guint32 uid, pid;
        while (g_variant_iter_next(items, "(&s&s&s&suu)", &what, &who, &why, &mode, &uid, &pid))
            found.push_back(std::string(what) + "|" + who + "|" + why + "|" + mode);
        g_variant_iter_free(items);
        g_variant_unref(reply);
    }
    g_object_unref(bus);
    return found;
}

// Against logind on a private system bus (tests/with_logind.py): the
// machine stays awake from Start to the run's end, and to its abort.
TEST_F(Runner, RunKeepsTheMachineAwake)
{
    if (!getenv("VANTREL_LOGIND_MOCK"))
        GTEST_SKIP() << "needs logind on a private system bus (with_logind.py)";
    const std::vector<std::string> held = {"sleep:idle|Vantrel|Exposure sequence running|block"};
    auto logind = MakeLogindInhibitor();
    Rebuild(*clock, *logind);
    for (bool abort : {false, true}) {
        SCOPED_TRACE(abort ? "aborted" : "done");
        Connect(PORT_SERIAL);
        std::vector<std::string> during;
        clock->At(fakes.log.now + 1500, [&] {
            during = Inhibitors();
            if (abort)
                Abort();
        });
        Start();
        EXPECT_EQ(during, held);
        EXPECT_FALSE(logind->Held());
        std::vector<std::string> after = Inhibitors();
        for (int i = 0; i < 100 && !after.empty(); ++i) {
            wxMilliSleep(20);
            after = Inhibitors();
        }
        EXPECT_EQ(after, std::vector<std::string>{});
    }
}

}  // namespace
