// The sequence runner on the real MyFrame, timed by a virtual clock: each
// case is a row of settings and the line changes it must produce, with the
// virtual millisecond of each.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>

#include <gio/gio.h>
#include <wx/dialog.h>
#include <wx/menu.h>
#include <wx/textctrl.h>
#include <wx/timer.h>

#include "mainwindow/countdown.h"
#include "mainwindow/exposure_log.h"
#include "mainwindow/sleep_inhibitor.h"
#include "script/edit_script_dialog.h"
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
    EXPECT_EQ(frame->RemainingText->GetLabel(), REMAINING_IDLE);
    EXPECT_EQ(Status(), "Sequence Done");
    EXPECT_EQ(SequenceBusy, 0);
}

TEST_F(Runner, LineTimelines)
{
    struct Row {
        const char* name;
        PortKind port;
        int afMode;
        Settings settings;
        Timeline expected;
    };
    const Settings quick{1, 1, 0, 0, 0, false};
    const Settings mirror{1, 1, 0, 1, 0, true};
    const Row rows[] = {
        {"no before-frame delay: no mirror pulse",
         PORT_SERIAL,
         AF_NONE,
         {1, 1, 0, 0, 0, true},
         {{0, "RTS 1"}, {1000, "RTS 0"}}},
        {"mirror lock-up, serial",
         PORT_SERIAL,
         AF_NONE,
         mirror,
         {{0, "RTS 1"}, {200, "RTS 0"}, {1000, "RTS 1"}, {2000, "RTS 0"}}},
        {"mirror lock-up, serial, AF held",
         PORT_SERIAL,
         AF_HELD_DURING,
         mirror,
         {{0, "RTS 1"},
          {0, "DTR 1"},
          {200, "RTS 0"},
          {200, "DTR 0"},
          {1000, "RTS 1"},
          {1000, "DTR 1"},
          {2000, "RTS 0"},
          {2000, "DTR 0"}}},
        {"mirror lock-up, parallel",
         PORT_PARALLEL,
         AF_NONE,
         mirror,
         {{0, "data 01"}, {300, "data 00"}, {1100, "data 01"}, {2100, "data 00"}}},
        {"mirror lock-up, box",
         PORT_DSUSB,
         AF_NONE,
         mirror,
         {{0, "usb 20"},
          {0, "usb 30"},
          {0, "usb 31"},
          {300, "usb 30"},
          {300, "usb 20"},
          {1100, "usb 30"},
          {1100, "usb 31"},
          {2100, "usb 30"},
          {2100, "usb 10"}}},
        {"mirror lock-up, infra-red",
         PORT_SERIAL_IR,
         AF_NONE,
         mirror,
         {{0, "RTS 1"}, {200, "RTS 0"}, {1000, "RTS 1"}, {1200, "RTS 0"}, {2000, "RTS 1"}, {2200, "RTS 0"}}},
        {"mirror lock-up, infra-red, two frames and no after-frame delay: a release between presses",
         PORT_SERIAL_IR,
         AF_NONE,
         {2, 1, 0, 1, 0, true},
         {{0, "RTS 1"},
          {200, "RTS 0"},
          {1000, "RTS 1"},
          {1200, "RTS 0"},
          {2000, "RTS 1"},
          {2200, "RTS 0"},
          {2400, "RTS 1"},
          {2600, "RTS 0"},
          {3400, "RTS 1"},
          {3600, "RTS 0"},
          {4400, "RTS 1"},
          {4600, "RTS 0"}}},
        {"AF pulse at start, serial",
         PORT_SERIAL,
         AF_PULSE_AT_START,
         quick,
         {{0, "RTS 1"}, {0, "DTR 1"}, {200, "DTR 0"}, {1000, "RTS 0"}}},
        {"AF pulse at start, box",
         PORT_DSUSB,
         AF_PULSE_AT_START,
         quick,
         {{0, "usb 20"},
          {0, "usb 30"},
          {0, "usb 31"},
          {0, "usb 33"},
          {200, "usb 31"},
          {1000, "usb 30"},
          {1000, "usb 10"}}},
        {"AF pulse at start, parallel: timing only",
         PORT_PARALLEL,
         AF_PULSE_AT_START,
         quick,
         {{0, "data 01"}, {1000, "data 00"}}},
        {"AF held, infra-red: focus stays on",
         PORT_SERIAL_IR,
         AF_HELD_DURING,
         quick,
         {{0, "RTS 1"}, {0, "DTR 1"}, {200, "RTS 0"}, {1000, "RTS 1"}, {1200, "RTS 0"}}},
        {"box signals around every delay",
         PORT_DSUSB,
         AF_NONE,
         {1, 1, 2, 1, 1, false},
         {{0, "usb 20"},
          {0, "usb 20"},
          {2000, "usb 20"},
          {2000, "usb 20"},
          {3000, "usb 30"},
          {3000, "usb 31"},
          {4000, "usb 30"},
          {4000, "usb 20"},
          {5000, "usb 00"}}},
        {"no port: waits only", PORT_NONE, AF_HELD_DURING, mirror, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        Connect(row.port);
        AFMode = row.afMode;
        Apply(row.settings);
        Start();
        EXPECT_EQ(fakes.log.events, row.expected);
        EXPECT_EQ(Status(), "Sequence Done");
    }
}

TEST_F(Runner, InfraredPulsesOpenAndCloseEachFrame)
{
    Connect(PORT_SERIAL_IR);
    Apply({10, 30, 0, 0, 0, false});
    Start();
    // Between one frame's closing pulse and the next one's opening pulse,
    // RTS stays released for a pulse's length: two presses never merge.
    Timeline expected;
    for (int64_t frameStart = 0; frameStart < 10 * 30400; frameStart += 30400) {
        expected.push_back({frameStart, "RTS 1"});
        expected.push_back({frameStart + 200, "RTS 0"});
        expected.push_back({frameStart + 30000, "RTS 1"});
        expected.push_back({frameStart + 30200, "RTS 0"});
    }
    EXPECT_EQ(fakes.log.events, expected);
    // The idle text through the opening pulse, until the countdown's first
    // step 100 ms into the exposure's wait.
    ASSERT_GE(countdown.size(), 2u);
    EXPECT_EQ(countdown[0], REMAINING_IDLE);
    EXPECT_EQ(countdown[1], RemainingLabel(303 - 1));
}

TEST_F(Runner, LargestSettingsStayInRange)
{
    for (PortKind port : {PORT_SERIAL, PORT_SERIAL_IR}) {
        SCOPED_TRACE(port);
        TearDown();
        SetUp();
        Connect(port);
        Apply({9999, 9999, 9999, 9999, 9999, true});
        clock->At(150, [this] { Abort(); });
        Start();
        ASSERT_FALSE(countdown.empty());
        EXPECT_EQ(countdown.front(), RemainingLabel(port == PORT_SERIAL_IR ? 299952001 : 299950002));
        EXPECT_EQ(statuses.front(), "9999s Initial delay");
        EXPECT_EQ(Status(), "Aborted");
    }
}

TEST_F(Runner, AFChangedDuringAnExposureActsAtTheNextLineAction)
{
    Connect(PORT_SERIAL);
    AFMode = AF_HELD_DURING;
    Apply({1, 2, 0, 0, 0, false});
    clock->At(500, [this] { Command(frame, wxEVT_MENU, ID_AF_NONE); });
    Start();
    // The focus line set under "held" is released by the exposure's end,
    // whatever the mode is by then.
    EXPECT_EQ(fakes.log.events, (Timeline{{0, "RTS 1"}, {0, "DTR 1"}, {2000, "RTS 0"}, {2000, "DTR 0"}}));
    EXPECT_EQ(AFMode, AF_NONE);
}

TEST_F(Runner, AbortStopsAtTheNextCheckpoint)
{
    struct Row {
        const char* name;
        PortKind port;
        Settings settings;
        int64_t abortAt;
        Timeline expected;
        const char* remaining;  // what the countdown keeps
    };
    const Row rows[] = {
        {"initial delay: no line touched", PORT_SERIAL, {1, 1, 5, 1, 5, true}, 1000, {}, "Total Remaining 00:00:12"},
        {"before-frame delay: the mirror pulse was sent",
         PORT_SERIAL,
         {1, 1, 0, 3, 5, true},
         1000,
         {{0, "RTS 1"}, {200, "RTS 0"}},
         "Total Remaining 00:00:09"},
        {"exposure: the shutter is released",
         PORT_SERIAL,
         {2, 5, 0, 0, 5, false},
         1500,
         {{0, "RTS 1"}, {1500, "RTS 0"}},
         "Total Remaining 00:00:19"},
        {"exposure, infra-red: the closing pulse",
         PORT_SERIAL_IR,
         {2, 5, 0, 0, 5, false},
         1500,
         {{0, "RTS 1"}, {200, "RTS 0"}, {1500, "RTS 1"}, {1700, "RTS 0"}},
         "Total Remaining 00:00:19"},
        {"exposure, box",
         PORT_DSUSB,
         {2, 5, 0, 0, 5, false},
         1500,
         {{0, "usb 20"}, {0, "usb 30"}, {0, "usb 31"}, {1500, "usb 30"}, {1500, "usb 10"}},
         "Total Remaining 00:00:19"},
        {"exposure, between two countdown steps: released at once",
         PORT_SERIAL,
         {2, 5, 0, 0, 5, false},
         1550,
         {{0, "RTS 1"}, {1550, "RTS 0"}},
         "Total Remaining 00:00:19"},
        {"mirror lock-up pulse: ended at once",
         PORT_DSUSB,
         {1, 1, 0, 3, 5, true},
         100,
         {{0, "usb 20"}, {0, "usb 30"}, {0, "usb 31"}, {100, "usb 30"}, {100, "usb 20"}, {100, "usb 00"}},
         REMAINING_IDLE},
        {"infra-red opening pulse: the camera gets it whole, a release, then the closing pulse",
         PORT_SERIAL_IR,
         {2, 5, 0, 0, 5, false},
         100,
         {{0, "RTS 1"}, {200, "RTS 0"}, {400, "RTS 1"}, {600, "RTS 0"}},
         REMAINING_IDLE},
        {"infra-red mirror pulse: run whole, the exposure never starts",
         PORT_SERIAL_IR,
         {2, 5, 0, 3, 5, true},
         100,
         {{0, "RTS 1"}, {200, "RTS 0"}},
         REMAINING_IDLE},
        {"after-frame delay: no next frame",
         PORT_PARALLEL,
         {2, 1, 0, 0, 5, false},
         2000,
         {{0, "data 01"}, {1000, "data 00"}},
         "Total Remaining 00:00:11"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        Connect(row.port);
        Apply(row.settings);
        clock->At(row.abortAt, [this] { Abort(); });
        Start();
        EXPECT_EQ(fakes.log.events, row.expected);
        EXPECT_EQ(Status(), "Aborted");
        EXPECT_EQ(frame->RemainingText->GetLabel(), row.remaining);
        EXPECT_EQ(SequenceBusy, 0);
        EXPECT_FALSE(frame->AbortRequested);

        // A new Start runs at once, from the beginning; on "-IR" its first
        // press waits until RTS has been released for a pulse's length.
        Apply({1, 1, 0, 0, 0, false});
        const int64_t restart = fakes.log.now;
        const int64_t released = row.expected.empty() ? -1000 : row.expected.back().ms;
        Start();
        EXPECT_EQ(Status(), "Sequence Done");
        const int64_t firstPress = row.port == PORT_SERIAL_IR ? std::max(restart, released + 200) : restart;
        EXPECT_EQ(fakes.log.now, firstPress + (row.port == PORT_SERIAL_IR ? 1200 : 1000));
    }
}

// An unplugged port ends the run as an abort does, after three tries at
// the release, and says so; the next Start opens the port again.
TEST_F(Runner, LostPortStopsTheRunAndIsOpenedAgainAtTheNextStart)
{
    const char* const advice =
        "\nCheck the cable and plug it in again; Vantrel opens the port again at the next Start.";
    struct Row {
        PortKind port;
        const char* name;
        Timeline lost;
        std::vector<std::string> reopened;  // at the next Start, before the run's own changes
    };
    const Row rows[] = {
        {PORT_SERIAL,
         "COM2 (/dev/ttyS1)",
         {{0, "RTS 1"}, {1000, "RTS 0 failed"}, {1000, "RTS 0 failed"}, {1000, "RTS 0 failed"}},
         {"serial close", "serial open COM2", "serial 2400 8N1", "RTS 0", "DTR 0"}},
        {PORT_DSUSB,
         "DSUSB",
         {{0, "usb 20"},
          {0, "usb 30"},
          {0, "usb 31"},
          {1000, "usb 30 failed"},
          {1000, "usb 30 failed"},
          {1000, "usb 30 failed"},
          {1000, "usb 10 failed"}},
         {"usb close", "usb open", "usb 00"}},
        {PORT_PARALLEL,
         "0x378-LPT1",
         {{0, "data 01"}, {1000, "data 00 failed"}, {1000, "data 00 failed"}, {1000, "data 00 failed"}},
         {"parallel close", "parallel open 378", "data 00"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        Connect(row.port);
        Apply({2, 1, 0, 0, 0, false});
        clock->At(500, [this] {
            fakes.log.failures = 5;
            fakes.log.error = EIO;
        });
        wxTEST_DIALOG(Start(), ExpectMessage(std::string("Lost the connection to ") + row.name + advice, "Message"));
        EXPECT_EQ(fakes.log.events, row.lost);
        EXPECT_EQ(Status(), "Aborted");
        EXPECT_EQ(SequenceBusy, 0);

        fakes.log.events.clear();
        fakes.log.failures = 0;
        Apply({1, 1, 0, 0, 0, false});
        WITHOUT_DIALOG(Start());
        std::vector<std::string> whats = fakes.log.Whats();
        whats.resize(row.reopened.size());
        EXPECT_EQ(whats, row.reopened);
        EXPECT_EQ(Status(), "Sequence Done");
    }
    // A box that is still gone at the next Start: no run.
    TearDown();
    SetUp();
    Connect(PORT_DSUSB);
    fakes.usb->present = false;
    fakes.log.failures = 5;
    DsusbShutterOff();
    fakes.log.events.clear();
    wxTEST_DIALOG(Start(), ExpectMessage(std::string("Lost the connection to DSUSB") + advice, "Message"));
    EXPECT_EQ(fakes.log.Whats(), (std::vector<std::string>{"usb close", "usb open"}));
    EXPECT_EQ(SequenceBusy, 0);
}

// A close that comes while the script editor is open, or during a script's
// capture, closes the window once the editor has gone; it is never lost.
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
        wxTEST_DIALOG(Command(frame, wxEVT_MENU, ID_EDIT_SCRIPT), CloseUnderEditor(this, script));
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

TEST_F(Runner, AbortWhileIdleDoesNotStopTheNextRun)
{
    Connect(PORT_SERIAL);
    Abort();
    Start();
    EXPECT_EQ(fakes.log.events, (Timeline{{1000, "RTS 1"}, {2000, "RTS 0"}}));
    EXPECT_EQ(Status(), "Sequence Done");
}

TEST_F(Runner, SecondStartDuringARunDoesNothing)
{
    Connect(PORT_SERIAL);
    clock->At(500, [this] { Command(frame, wxEVT_BUTTON, ID_START_SEQUENCE); });
    clock->At(1500, [this] { Command(frame, wxEVT_BUTTON, ID_START_SEQUENCE); });
    Start();
    EXPECT_EQ(fakes.log.events, (Timeline{{1000, "RTS 1"}, {2000, "RTS 0"}}));
    EXPECT_EQ(fakes.log.now, 7000);
    EXPECT_EQ(Status(), "Sequence Done");
}

// A close during a run ends it as an abort does, then releases the port,
// saves the AF mode and destroys the window; nothing is driven afterwards.
TEST_F(Runner, CloseDuringAnExposure)
{
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
        AFMode = AF_HELD_DURING;
        Apply({3, 5, 0, 0, 5, false});
        if (row.port != PORT_PARALLEL)
            AFMode = AF_NONE;  // keep the focus line out of the timeline
        clock->At(1000, [this, &row] {
            if (row.exitMenu)
                Command(frame, wxEVT_MENU, wxID_EXIT);
            else
                frame->Close();
        });
        Start();
        EXPECT_EQ(fakes.log.events, row.expected);
        RunIdle();
        EXPECT_EQ(MainFrame, nullptr);
        EXPECT_EQ(SequenceBusy, 0);
        // Once released, nothing reaches a line.
        SetSerialShutter(true);
        DsusbShutterOn();
        EXPECT_EQ(fakes.log.events, row.expected);
    }
}

// What the exposure log holds, once every queued line is on the disk.
std::vector<std::string> LogLines()
{
    FlushExposureLog();
    std::vector<std::string> lines;
    std::ifstream file(ExposureLogPath());
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

// A line per exposure with its outcome, its times from the virtual clock
// (0 is 21:00:00.000Z), and on the disk by the time the next one starts.
TEST_F(Runner, ExposureLog)
{
    const std::string T = "2026-12-07T21:00:0";
    struct Row {
        const char* name;
        PortKind port;
        Settings settings;
        std::function<void(RunnerTest*)> at1500;
        std::vector<std::string> lines;  // after the header
    };
    const Row rows[] = {
        {"done, and on the disk before the next exposure",
         PORT_SERIAL_IR,
         {2, 1, 0, 0, 1, false},
         [](RunnerTest*) {
             EXPECT_EQ(LogLines(),
                       (std::vector<std::string>{EXPOSURE_LOG_HEADER,
                                                 "2026-12-07T21:00:00.000Z,"
                                                 "2026-12-07T21:00:01.000Z,1000,1,2,"
                                                 "1,COM2,0,0,done,window,"}));
         },
         {T + "0.000Z," + T + "1.000Z,1000,1,2,1,COM2,0,0,done,window,",
          T + "2.200Z," + T + "3.200Z,1000,2,2,1,COM2,0,0,done,window,"}},
        {"aborted",
         PORT_DSUSB,
         {2, 5, 0, 0, 0, false},
         [](RunnerTest* test) { test->Abort(); },
         {T + "0.000Z," + T + "1.500Z,1500,1,2,5,DSUSB,0,0,aborted,window,"}},
        {"closed",
         PORT_PARALLEL,
         {2, 5, 0, 0, 0, false},
         [](RunnerTest* test) { test->frame->Close(); },
         {T + "0.000Z," + T + "1.500Z,1500,1,2,5,0x378-LPT1,0,0,closed,window,"}},
        {"no port, mirror lock-up",
         PORT_NONE,
         {1, 1, 0, 1, 0, true},
         nullptr,
         {T + "0.800Z," + T + "1.800Z,1000,1,1,1,none,0,1,done,window,"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        setenv("XDG_DATA_HOME", (std::string(getenv("HOME")) + "/data").c_str(), 1);
        std::remove(ExposureLogPath().c_str());
        Connect(row.port);
        Apply(row.settings);
        if (row.at1500)
            clock->At(1500, [this, &row] { row.at1500(this); });
        Start();
        RunIdle();
        std::vector<std::string> expected = {EXPOSURE_LOG_HEADER};
        expected.insert(expected.end(), row.lines.begin(), row.lines.end());
        EXPECT_EQ(LogLines(), expected);
    }
    // A lost port, and a log that cannot be written: the run goes on.
    TearDown();
    SetUp();
    std::remove(ExposureLogPath().c_str());
    Connect(PORT_SERIAL);
    clock->At(1500, [this] { fakes.log.failures = 5; });
    wxTEST_DIALOG(Start(),
                  ExpectMessage("Lost the connection to COM2 (/dev/ttyS1)\nCheck the cable and plug it in "
                                "again; Vantrel opens the port again at the next Start.",
                                "Message"));
    EXPECT_EQ(LogLines().back(), T + "1.000Z," + T + "2.000Z,1000,1,1,1,COM2,0,0,port-lost,window,");
    fakes.log.failures = 0;
    setenv("XDG_DATA_HOME", "/proc/version", 1);
    Start();
    EXPECT_EQ(Status(), "Sequence Done");
    EXPECT_EQ(LogLines(), std::vector<std::string>{});
}

// Dithering between frames: the guider is asked after each exposure but
// the last, its settling overlaps the after-frame delay, and the next frame
// waits for both. A guider that fails costs the frame its dither only.
TEST_F(Runner, DitheringBetweenFrames)
{
    struct Row {
        const char* name;
        int64_t answerMs;  // after the first exposure's end; -1 never
        bool settles;
        int64_t abortAt;  // 0: no abort
        Timeline lines;
        std::vector<std::string> statuses;
        std::string secondDither;  // the log's dither column for frame 2
    };
    const std::string dither = "dither 3 px, settle 10 s";
    const Row rows[] = {
        {"settled within the after-frame delay",
         3000,
         true,
         0,
         {{0, "RTS 1"}, {1000, "RTS 0"}, {1000, dither}, {6000, "RTS 1"}, {7000, "RTS 0"}},
         {"1s exposure (1/2)", "5s Post-frame delay (1/2)", "1s exposure (2/2)", "5s Post-frame delay (2/2)"},
         "ok"},
        {"settled after it",
         8000,
         true,
         0,
         {{0, "RTS 1"}, {1000, "RTS 0"}, {1000, dither}, {9000, "RTS 1"}, {10000, "RTS 0"}},
         {"1s exposure (1/2)", "5s Post-frame delay (1/2)", "Dithering (1/2)", "1s exposure (2/2)",
          "5s Post-frame delay (2/2)"},
         "ok"},
        {"failed",
         500,
         false,
         0,
         {{0, "RTS 1"}, {1000, "RTS 0"}, {1000, dither}, {6000, "RTS 1"}, {7000, "RTS 0"}},
         {"1s exposure (1/2)", "5s Post-frame delay (1/2)", "Dither failed (1/2): not guiding", "1s exposure (2/2)",
          "5s Post-frame delay (2/2)"},
         "failed: not guiding"},
        {"no answer, aborted while settling",
         -1,
         true,
         7000,
         {{0, "RTS 1"}, {1000, "RTS 0"}, {1000, dither}, {7000, "dither cancelled"}},
         {"1s exposure (1/2)", "5s Post-frame delay (1/2)", "Dithering (1/2)", "Aborted"},
         ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        setenv("XDG_DATA_HOME", (std::string(getenv("HOME")) + "/data").c_str(), 1);
        std::remove(ExposureLogPath().c_str());
        Connect(PORT_SERIAL);
        Apply({2, 1, 0, 0, 5, false});
        frame->DitherPixels = 3;
        guider->answerMs = row.answerMs;
        guider->settles = row.settles;
        if (row.abortAt)
            clock->At(row.abortAt, [this] { Abort(); });
        Start();
        EXPECT_EQ(fakes.log.events, row.lines);
        EXPECT_EQ(statuses, row.statuses);
        EXPECT_EQ(Status(), row.abortAt ? "Aborted" : "Sequence Done");
        const std::vector<std::string> log = LogLines();
        ASSERT_EQ(log.size(), row.abortAt ? 2u : 3u);
        EXPECT_EQ(log[1].substr(log[1].rfind(',')), ",");  // the first frame: no dither before it
        if (!row.abortAt) {
            EXPECT_EQ(log[2].substr(log[2].rfind(',') + 1), row.secondDither);
        }
    }
    // A close while settling: the dither is cancelled, the window closes.
    TearDown();
    SetUp();
    Connect(PORT_SERIAL);
    Apply({2, 1, 0, 0, 5, false});
    frame->DitherPixels = 3;
    guider->answerMs = -1;
    clock->At(7000, [this] { frame->Close(); });
    Start();
    RunIdle();
    EXPECT_EQ(MainFrame, nullptr);
    EXPECT_EQ(
        fakes.log.events,
        (Timeline{{0, "RTS 1"}, {1000, "RTS 0"}, {1000, dither}, {7000, "dither cancelled"}, {7000, "serial close"}}));
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
            wxTEST_DIALOG(Command(test->frame, wxEVT_MENU, wxID_ABOUT), OpenUntil<wxMessageDialog>(test->clock, 3500));
        },
        [](RunnerTest* test) {
            wxTEST_DIALOG(Command(test->frame, wxEVT_MENU, ID_EDIT_SCRIPT),
                          OpenUntil<EditScriptDialog>(test->clock, 3500));
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
        InstallClock(nullptr);  // back to the toolkit's clock
        const auto start = std::chrono::steady_clock::now();
        fakes.log.realTime = [start] {
            return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        };
        std::remove(ExposureLogPath().c_str());
        Connect(row.port);
        Apply({1, 1, 0, 0, 0, false});
        std::chrono::seconds stepped{0};
        wxTimer abort;
        abort.Bind(wxEVT_TIMER, [this, &row](wxTimerEvent&) {
            if (row.exitPath)
                ReleaseLinesAtExit();
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
        RunnerClock().RunUntil([] { return !SequenceBusy; });
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
            const std::vector<std::string> logged = LogLines();
            ASSERT_EQ(logged.size(), 2u);
            EXPECT_NE(logged[1].find(row.exitPath ? ",closed," : ",aborted,"), std::string::npos) << logged[1];
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
        EXPECT_FALSE(SleepInhibited());
        std::vector<std::string> after = Inhibitors();
        for (int i = 0; i < 100 && !after.empty(); ++i) {
            wxMilliSleep(20);
            after = Inhibitors();
        }
        EXPECT_EQ(after, std::vector<std::string>{});
    }
}

}  // namespace
