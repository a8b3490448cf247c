// The engine on a virtual clock, without a window: each case is a row of
// settings and the line changes it must produce, with the virtual
// millisecond of each, and what the run shows.
#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "runner/run_control.h"
#include "runner/run_thread.h"
#include "tests/engine_fixture.h"

namespace {

using Engine = EngineTest;

// A field of a log line without quoted fields, from 0.
std::string Column(const std::string& line, int column)
{
    size_t start = 0;
    for (int i = 0; i < column; ++i)
        start = line.find(',', start) + 1;
    return line.substr(start, line.find(',', start) - start);
}
constexpr int DITHER_COLUMN = 11;

TEST_F(Engine, LineTimelines)
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
        {"mirror lock-up, infra-red, AF held: the mirror pulse ends with the focus line off",
         PORT_SERIAL_IR,
         AF_HELD_DURING,
         mirror,
         {{0, "RTS 1"},
          {0, "DTR 1"},
          {200, "RTS 0"},
          {200, "DTR 0"},
          {1000, "RTS 1"},
          {1000, "DTR 1"},
          {1200, "RTS 0"},
          {2000, "RTS 1"},
          {2200, "RTS 0"}}},
        {"AF held, box: the focus line is released with the shutter",
         PORT_DSUSB,
         AF_HELD_DURING,
         quick,
         {{0, "usb 20"},
          {0, "usb 30"},
          {0, "usb 31"},
          {0, "usb 33"},
          {1000, "usb 32"},
          {1000, "usb 30"},
          {1000, "usb 10"}}},
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
        Reset();
        Connect(row.port);
        runner->SetAfMode(row.afMode);
        Apply(row.settings);
        Start();
        EXPECT_EQ(fakes.log.events, row.expected);
        EXPECT_EQ(Status(), "Sequence Done");
    }
}

TEST_F(Engine, InfraredPulsesOpenAndCloseEachFrame)
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

// What a display that shows the run at a glance is given: the frame, the
// phase with its own countdown, the run's seconds left of its total.
TEST_F(Engine, ProgressFollowsEachWaitAndEachCountdownStep)
{
    Connect(PORT_SERIAL_IR);
    Apply({2, 2, 1, 1, 1, true});
    Start();
    EXPECT_EQ(view.progress,
              (std::vector<std::string>{
                  "0/2 Initial delay 1 10/10",   "0/2 Initial delay 0 9/10",    "1/2 Mirror lock-up -1 9/10",
                  "1/2 Pre-frame delay 1 9/10",  "1/2 Pre-frame delay 0 8/10",  "1/2 Exposing -1 8/10",
                  "1/2 Exposing 2 8/10",         "1/2 Exposing 1 7/10",         "1/2 Exposing 0 6/10",
                  "1/2 Closing -1 6/10",         "1/2 Post-frame delay 1 6/10", "1/2 Post-frame delay 0 5/10",
                  "2/2 Mirror lock-up -1 5/10",  "2/2 Pre-frame delay 1 5/10",  "2/2 Pre-frame delay 0 4/10",
                  "2/2 Exposing -1 4/10",        "2/2 Exposing 2 4/10",         "2/2 Exposing 1 3/10",
                  "2/2 Exposing 0 2/10",         "2/2 Closing -1 2/10",         "2/2 Post-frame delay 1 2/10",
                  "2/2 Post-frame delay 0 1/10",
              }));
}

TEST_F(Engine, LargestSettingsStayInRange)
{
    for (PortKind port : {PORT_SERIAL, PORT_SERIAL_IR}) {
        SCOPED_TRACE(port);
        Reset();
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

TEST_F(Engine, AFChangedDuringAnExposureActsAtTheNextLineAction)
{
    Connect(PORT_SERIAL);
    runner->SetAfMode(AF_HELD_DURING);
    Apply({1, 2, 0, 0, 0, false});
    bool changed = false;
    clock->At(500, [this, &changed] { runner->SetAfMode(AF_NONE), changed = true; });
    Start();
    // The focus line set under "held" is released by the exposure's end,
    // whatever the mode is by then.
    EXPECT_EQ(fakes.log.events, (Timeline{{0, "RTS 1"}, {0, "DTR 1"}, {2000, "RTS 0"}, {2000, "DTR 0"}}));
    EXPECT_TRUE(changed);
}

// A start at a clock time is the wall clock's, to the millisecond: a step
// of the wall clock during the wait moves it, never before the start
// delay, and the countdown follows.
TEST_F(Engine, AStartAtAClockTimeFollowsTheWallClock)
{
    struct Row {
        const char* name;
        int64_t stepAtMs, stepMs;
        int64_t pressAtMs;
    };
    for (const Row& row : {Row{"no step: at the time, to the millisecond", 0, 0, 60250},
                           Row{"set 30 s forward", 10000, 30000, 30250}, Row{"set back 20 s", 10000, -20000, 80250},
                           Row{"set far forward: the start delay still runs", 2000, 100000, 5000}}) {
        SCOPED_TRACE(row.name);
        Reset();
        Connect(PORT_SERIAL);
        Apply({1, 1, 5, 0, 0, false});
        settings.startAtUtcMs = clock->WallMs() + 60250;
        clock->At(row.stepAtMs, [this, row] { clock->wallStepMs = row.stepMs; });
        countdown.clear();
        Start();
        ASSERT_FALSE(fakes.log.events.empty());
        EXPECT_EQ(fakes.log.events.front(), (LineEvent{row.pressAtMs, "RTS 1"}));
        // 61 s (60.25 counted whole), the frame and one, less the first step;
        // then, from the wall clock's step, what is left by the clock.
        EXPECT_NE(std::find(countdown.begin(), countdown.end(), RemainingLabel(62)), countdown.end());
        const int64_t stepped = (row.pressAtMs - row.stepAtMs + 999) / 1000;
        if (row.stepMs != 0) {
            EXPECT_NE(std::find(countdown.begin(), countdown.end(), RemainingLabel(stepped + 1)), countdown.end());
        }
    }
}

TEST_F(Engine, AbortStopsAtTheNextCheckpoint)
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
        Reset();
        Connect(row.port);
        Apply(row.settings);
        clock->At(row.abortAt, [this] { Abort(); });
        Start();
        EXPECT_EQ(fakes.log.events, row.expected);
        EXPECT_EQ(Status(), "Aborted");
        EXPECT_EQ(view.remaining, row.remaining);
        EXPECT_FALSE(runner->Busy());

        // A new Start runs at once, from the beginning; its first press
        // waits until the shutter line has been released for 200 ms.
        Apply({1, 1, 0, 0, 0, false});
        const int64_t restart = fakes.log.now;
        const int64_t released = row.expected.empty() ? -1000 : row.expected.back().ms;
        Start();
        EXPECT_EQ(Status(), "Sequence Done");
        const int64_t firstPress = std::max(restart, released + 200);
        EXPECT_EQ(fakes.log.now, firstPress + (row.port == PORT_SERIAL_IR ? 1200 : 1000));
    }
}

// An unplugged port ends the run as an abort does, after three tries at
// the release, and says so, and is closed at once (a USB adapter plugged in
// again gets its old name back); the next Start opens the port again.
TEST_F(Engine, LostPortStopsTheRunAndIsOpenedAgainAtTheNextStart)
{
    struct Row {
        PortKind port;
        const char* name;
        Timeline lost;
        std::vector<std::string> reopened;  // at the next Start, before the run's own changes
        std::string reason;  // the port's own, with the operation that failed
    };
    const Row rows[] = {
        {PORT_SERIAL,
         "COM2 (/dev/ttyS1)",
         {{0, "RTS 1"}, {1000, "RTS 0 failed"}, {1000, "RTS 0 failed"}, {1000, "RTS 0 failed"}, {1000, "serial close"}},
         {"serial close", "serial open COM2", "serial 2400 8N1", "RTS 0", "DTR 0"},
         "RTS release: Input/output error"},
        {PORT_DSUSB,
         "DSUSB",
         {{0, "usb 20"},
          {0, "usb 30"},
          {0, "usb 31"},
          {1000, "usb 30 failed"},
          {1000, "usb 30 failed"},
          {1000, "usb 30 failed"},
          {1000, "usb 10 failed"},
          {1000, "usb 00 failed"},
          {1000, "usb close"}},
         {"usb close", "usb open", "usb 00"},
         "box shutter release: Input/output error"},
        {PORT_PARALLEL,
         "0x378-LPT1",
         {{0, "data 01"},
          {1000, "data 00 failed"},
          {1000, "data 00 failed"},
          {1000, "data 00 failed"},
          {1000, "data 00 failed"},
          {1000, "data 00 failed"},
          {1000, "data 00"},
          {1000, "parallel close"}},
         {"parallel open 378", "data 00"},
         "data bit release: Input/output error"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Reset();
        Connect(row.port);
        Apply({2, 1, 0, 0, 0, false});
        clock->At(500, [this] {
            fakes.log.failures = 5;
            fakes.log.error = EIO;
        });
        Start();
        EXPECT_EQ(fakes.log.events, row.lost);
        EXPECT_EQ(Status(), "Aborted");
        EXPECT_FALSE(runner->Busy());
        EXPECT_EQ(view.ends, std::vector<RunEnd>{RunEnd::PORT_LOST});
        EXPECT_EQ(view.reasons, std::vector<std::string>{row.reason});
        EXPECT_EQ(runner->Lines().Description(), row.name);

        fakes.log.events.clear();
        fakes.log.failures = 0;
        Apply({1, 1, 0, 0, 0, false});
        Start();
        EXPECT_EQ(view.ends.back(), RunEnd::DONE);
        std::vector<std::string> whats = fakes.log.Whats();
        whats.resize(row.reopened.size());
        EXPECT_EQ(whats, row.reopened);
        EXPECT_EQ(Status(), "Sequence Done");
    }
    // A box that is still gone at the next Start: no run.
    Reset();
    Connect(PORT_DSUSB);
    fakes.usb->present = false;
    fakes.log.failures = 5;
    fakes.ports->DsusbShutterOff();
    fakes.log.events.clear();
    fakes.log.error = ENODEV;
    // Gone at every Start, not only the first: each looks for it again.
    for (int start = 1; start <= 2; ++start) {
        SCOPED_TRACE(start);
        fakes.log.events.clear();
        EXPECT_FALSE(runner->Start(settings));
        EXPECT_EQ(fakes.log.Whats(), (std::vector<std::string>{"usb close", "usb open"}));
        EXPECT_FALSE(runner->Busy());
        EXPECT_EQ(view.ends, std::vector<RunEnd>(start, RunEnd::PORT_LOST));
        EXPECT_EQ(view.reasons.back(), "no such device (is the box plugged in?)");
    }
}

// Through the controller, each request that ends a run, in each phase: the
// run ends as asked, the shutter is released at once and stays so, and only
// an exposure cut short is logged, with what it held. A setting changed
// during a run reaches it where the run reads it.
TEST_F(Engine, EachEndingRequestInEachPhase)
{
    const std::pair<const char*, int64_t> phases[] = {
        {"initial delay", 500}, {"mirror pulse", 1100}, {"settle", 1500}, {"exposure", 3000}, {"after delay", 4500}};
    struct Request {
        const char* name;
        void (RunControl::*make)();
        RunEnd end;
        const char* logged;
    };
    // Stop after frame lets the exposure in progress run to its end (4 s).
    const Request requests[] = {{"Abort", &RunControl::Abort, RunEnd::ABORTED, "aborted"},
                                {"Close", &RunControl::Close, RunEnd::CLOSED, "closed"},
                                {"EndNow", &RunControl::EndNow, RunEnd::ABORTED, "aborted"},
                                {"StopAfterFrame", &RunControl::StopAfterFrame, RunEnd::STOPPED, "stopped"}};
    const auto run = [this](const std::function<void(RunControl&)>& at, int64_t atMs, FakeView& shown) {
        RunControl control(RunParts{*fakes.ports, *clock, *guider, sleep, log}, shown, nullptr,
                           [](std::function<void()> call) { call(); });
        control.Connect(PORT_SERIAL, OpenFakePort(fakes, PORT_SERIAL));
        control.Settings().Set(RunSetting::MIRROR_LOCK, 1);
        fakes.log.events.clear();
        RunSettings twoFrames;  // 1 s delay, mirror pulse, settle to 2 s, exposure to 4 s, 1 s after
        twoFrames.exposures = 2;
        twoFrames.durationMs = 2000;
        twoFrames.startDelayMs = 1000;
        twoFrames.afterDelayMs = 1000;
        clock->At(atMs, [&] { at(control); });
        control.Start(twoFrames);
        clock->RunUntil([&] { return !control.State().busy; });
    };
    for (const Request& request : requests)
        for (const auto& [phase, atMs] : phases) {
            SCOPED_TRACE(std::string(request.name) + " in the " + phase);
            Reset();
            FakeView shown;
            run([&request](RunControl& control) { (control.*request.make)(); }, atMs, shown);
            EXPECT_EQ(shown.ends, std::vector<RunEnd>{request.end});
            Timeline after;
            for (const LineEvent& event : fakes.log.events)
                if (event.ms >= atMs && event.what.rfind("RTS", 0) == 0)
                    after.push_back(event);
            const bool lineSet = atMs == 1100 || atMs == 3000;
            const bool whole = request.end == RunEnd::STOPPED;
            EXPECT_EQ(after, (lineSet ? Timeline{{whole && atMs == 3000 ? 4000 : atMs, "RTS 0"}} : Timeline{}));
            std::vector<std::string> held;  // held_ms and outcome of each line
            for (const std::string& line : log.lines)
                held.push_back(Column(line, 2) + " " + Column(line, 9));
            EXPECT_EQ(held,
                      atMs == 3000 ? std::vector<std::string>{(whole ? "2000 " : "1000 ") + std::string(request.logged)}
                          : atMs == 4500 ? std::vector<std::string>{"2000 done"}
                                         : std::vector<std::string>{});
        }
    // Paused in the first exposure, the run waits after its after-frame
    // delay until it is resumed; aborted while paused, it ends there.
    for (const int64_t resumeMs : {20000, 0}) {
        SCOPED_TRACE(resumeMs ? "paused, then resumed" : "paused, then aborted");
        Reset();
        FakeView shown;
        clock->At(10000, [&] { EXPECT_EQ(shown.status, "Paused (1/2)"); });
        run(
            [&](RunControl& control) {
                control.Pause();
                EXPECT_TRUE(control.State().paused);
                clock->At(resumeMs ? resumeMs : 12000, [&control, resumeMs] {
                    if (resumeMs)
                        control.Resume();
                    else
                        control.Abort();
                });
            },
            3000, shown);
        EXPECT_EQ(shown.ends, std::vector<RunEnd>{resumeMs ? RunEnd::DONE : RunEnd::ABORTED});
        Timeline sets;
        for (const LineEvent& event : fakes.log.events)
            if (event.what == "RTS 1")
                sets.push_back(event);
        EXPECT_EQ(sets,
                  resumeMs ? (Timeline{{1000, "RTS 1"}, {2000, "RTS 1"}, {20000, "RTS 1"}, {21000, "RTS 1"}})
                           : (Timeline{{1000, "RTS 1"}, {2000, "RTS 1"}}));
    }
    // Paused in the last frame: there is no next one to wait before.
    Reset();
    FakeView last;
    run([](RunControl& control) { control.Pause(); }, 7000, last);
    EXPECT_EQ(last.ends, std::vector<RunEnd>{RunEnd::DONE});
    Reset();
    FakeView shown;
    run([](RunControl& control) { control.Settings().Set(RunSetting::MIRROR_LOCK, 0); }, 3000, shown);
    const std::vector<std::string> whats = fakes.log.Whats();
    EXPECT_EQ(std::count(whats.begin(), whats.end(), "RTS 1"), 3);  // no pulse before the second frame
}

// A way out of the program during the mirror lock-up pulse ends the pulse.
TEST_F(Engine, AWayOutDuringTheMirrorPulseReleasesIt)
{
    Connect(PORT_SERIAL);
    Apply({1, 1, 0, 1, 0, true});
    clock->At(100, [this] { runner->ReleaseAtExit(); });
    Start();
    ASSERT_GE(fakes.log.events.size(), 2u);
    EXPECT_EQ(Timeline(fakes.log.events.begin(), fakes.log.events.begin() + 2),
              (Timeline{{0, "RTS 1"}, {100, "RTS 0"}}));
}

// A port that went while no run was in progress is found gone at the first
// line change: the run ends there (the mirror's pulse is released at its
// end), not after the length of a settle time or an exposure that never
// began, and a frame begun is logged as port-lost.
TEST_F(Engine, PortGoneAtTheShutterLineEndsTheRunThere)
{
    struct Row {
        PortKind port;
        Settings settings;
        Timeline lost;
    };
    const Row rows[] = {
        {PORT_SERIAL,
         {2, 10, 0, 0, 0, false},
         {{0, "RTS 1 failed"}, {0, "RTS 0 failed"}, {0, "RTS 0 failed"}, {0, "RTS 0 failed"}}},
        {PORT_SERIAL,
         {2, 10, 0, 3, 0, true},
         {{0, "RTS 1 failed"}, {200, "RTS 0 failed"}, {200, "RTS 0 failed"}, {200, "RTS 0 failed"}}},
        {PORT_PARALLEL,
         {2, 10, 0, 0, 0, false},
         {{0, "data 01 failed"},
          {0, "data 00 failed"},
          {0, "data 00 failed"},
          {0, "data 00 failed"},
          {0, "data 00 failed"},
          {0, "data 00 failed"},
          {0, "data 00 failed"}}},  // the release, and once more before it is closed
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.lost.front().what + (row.settings.mirrorLock ? ", mirror" : ""));
        Reset();
        Connect(row.port);
        Apply(row.settings);
        fakes.log.failures = 100;
        fakes.log.error = EIO;
        Start();
        Timeline lines;
        for (const LineEvent& event : fakes.log.events)
            if (event.what.find("failed") != std::string::npos)
                lines.push_back(event);
        EXPECT_EQ(lines, row.lost);
        EXPECT_EQ(view.ends, std::vector<RunEnd>{RunEnd::PORT_LOST});
        EXPECT_EQ(Status(), "Aborted");
        ASSERT_EQ(log.lines.size(), row.settings.mirrorLock ? 0U : 1U);
        for (const std::string& line : log.lines)
            EXPECT_NE(line.find(",port-lost,"), std::string::npos) << line;
    }
}

TEST_F(Engine, AbortWhileIdleDoesNotStopTheNextRun)
{
    Connect(PORT_SERIAL);
    Abort();
    Start();
    EXPECT_EQ(fakes.log.events, (Timeline{{1000, "RTS 1"}, {2000, "RTS 0"}}));
    EXPECT_EQ(Status(), "Sequence Done");
}

TEST_F(Engine, SecondStartDuringARunDoesNothing)
{
    Connect(PORT_SERIAL);
    clock->At(500, [this] { runner->Start(settings); });
    clock->At(1500, [this] { runner->Start(settings); });
    Start();
    EXPECT_EQ(fakes.log.events, (Timeline{{1000, "RTS 1"}, {2000, "RTS 0"}}));
    EXPECT_EQ(fakes.log.now, 7000);
    EXPECT_EQ(Status(), "Sequence Done");
}

// A line per exposure with its outcome, its times from the virtual clock
// (0 is 21:00:00.000Z), logged by the time the next one starts.
TEST_F(Engine, ExposureLog)
{
    const std::string T = "2026-12-07T21:00:0";
    struct Row {
        const char* name;
        PortKind port;
        Settings settings;
        std::function<void(EngineTest*)> at1500;
        std::vector<std::string> lines;
        std::string framesDone;
    };
    const Row rows[] = {
        {"done, and logged before the next exposure",
         PORT_SERIAL_IR,
         {2, 1, 0, 0, 1, false},
         [](EngineTest* test) {
             EXPECT_EQ(test->log.lines,
                       (std::vector<std::string>{"2026-12-07T21:00:00.000Z,"
                                                 "2026-12-07T21:00:01.000Z,1000,1,2,"
                                                 "1,COM2-IR,0,0,done,window,,,,,,,,Light,"}));
         },
         {T + "0.000Z," + T + "1.000Z,1000,1,2,1,COM2-IR,0,0,done,window,,,,,,,,Light,",
          T + "2.200Z," + T + "3.200Z,1000,2,2,1,COM2-IR,0,0,done,window,,,,,,,,Light,"},
         "2 of 2"},
        {"aborted",
         PORT_DSUSB,
         {2, 5, 0, 0, 0, false},
         [](EngineTest* test) { test->Abort(); },
         {T + "0.000Z," + T + "1.500Z,1500,1,2,5,DSUSB,0,0,aborted,window,,,,,,,,Light,"},
         "0 of 2"},
        {"closed",
         PORT_PARALLEL,
         {2, 5, 0, 0, 0, false},
         [](EngineTest* test) { test->runner->Close(); },
         {T + "0.000Z," + T + "1.500Z,1500,1,2,5,0x378-LPT1,0,0,closed,window,,,,,,,,Light,"},
         "0 of 2"},
        {"the device hung up 1.5 s into the exposure: ended at the next look, logged when",
         PORT_SERIAL,
         {2, 5, 0, 0, 0, false},
         [](EngineTest* test) {
             test->fakes.log.hungUp = true;
             test->fakes.log.error = EIO;
         },
         {T + "0.000Z," + T + "1.750Z,1750,1,2,5,COM2,0,0,port-lost,window,,,,,,,,Light,"},
         "0 of 2"},
        {"no port, mirror lock-up",
         PORT_NONE,
         {1, 1, 0, 1, 0, true},
         nullptr,
         {T + "0.800Z," + T + "1.800Z,1000,1,1,1,none,0,1,no-port,window,,,,,,,,Light,"},
         "1 of 1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Reset();
        Connect(row.port);
        Apply(row.settings);
        if (row.at1500)
            clock->At(1500, [this, &row] { row.at1500(this); });
        Start();
        EXPECT_EQ(log.lines, row.lines);
        EXPECT_EQ(view.framesDone, row.framesDone);
    }
    // A lost port; and a log that cannot be written, which the run's end
    // says (the run goes on).
    Reset();
    Connect(PORT_SERIAL);
    clock->At(1500, [this] { fakes.log.failures = 5; });
    Start();
    EXPECT_EQ(log.lines.back(), T + "1.000Z," + T + "2.000Z,1000,1,1,1,COM2,0,0,port-lost,window,,,,,,,,Light,");
    fakes.log.failures = 0;
    log.failure = "No space left on device";
    Start();
    EXPECT_EQ(Status(), "Sequence Done; exposure log not written: No space left on device");
    // Fields that hold a comma or a quote are quoted; a control character
    // becomes a space.
    settings.source = "script:4,\"x\"\r";
    settings.frameType = "Dark";
    settings.target = "M42,\x1b[2J\ncore";
    Start();
    EXPECT_EQ(log.lines.back().substr(log.lines.back().find(",done,")),
              ",done,\"script:4,\"\"x\"\" \",,,,,,,,Dark,\"M42, [2J core\"");
}

// Dithering between frames: the guider is asked after each exposure but
// the last, its settling overlaps the after-frame delay, and the next frame
// waits for both. A guider that fails costs the frame its dither only.
// The guider's settings come from a script unchecked; the run holds them to
// their ranges (a dither every 0 frames would divide by zero).
TEST_F(Engine, GuiderSettingsAreHeldToTheirRanges)
{
    Connect(PORT_SERIAL);
    Apply({3, 1, 0, 0, 0, false});
    settings.ditherPixels = 1000;
    settings.ditherSettleSeconds = -4;
    settings.ditherEvery = 0;
    settings.guideWaitSeconds = -5;
    settings.retakeSuspect = -1;
    Start();
    Timeline dithers;
    for (const LineEvent& event : fakes.log.events)
        if (event.what.rfind("dither", 0) == 0)
            dithers.push_back(event);
    EXPECT_EQ(dithers, (Timeline{{1000, "dither 100 px, settle 0 s"}, {5000, "dither 100 px, settle 0 s"}}));
    EXPECT_EQ(Status(), "Sequence Done");
}

TEST_F(Engine, DitheringBetweenFrames)
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
        {"no answer, aborted during the after-frame delay: at once, not after the guider",
         -1,
         true,
         3000,
         {{0, "RTS 1"}, {1000, "RTS 0"}, {1000, dither}, {3000, "dither cancelled"}},
         {"1s exposure (1/2)", "5s Post-frame delay (1/2)", "Aborted"},
         ""},
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
        Reset();
        Connect(PORT_SERIAL);
        Apply({2, 1, 0, 0, 5, false});
        settings.ditherPixels = 3;
        guider->answerMs = row.answerMs;
        guider->settles = row.settles;
        if (row.abortAt)
            clock->At(row.abortAt, [this] { Abort(); });
        Start();
        EXPECT_EQ(fakes.log.events, row.lines);
        EXPECT_EQ(statuses, row.statuses);
        EXPECT_EQ(Status(), row.abortAt ? "Aborted" : "Sequence Done");
        const std::vector<std::string>& lines = log.lines;
        ASSERT_EQ(lines.size(), row.abortAt ? 1u : 2u);
        EXPECT_EQ(Column(lines[0], DITHER_COLUMN), "");  // the first frame: no dither before it
        if (!row.abortAt) {
            EXPECT_EQ(Column(lines[1], DITHER_COLUMN), row.secondDither);
        }
    }
    // A close while settling: the dither is cancelled, the run ends closed
    // and releases the port.
    Reset();
    Connect(PORT_SERIAL);
    Apply({2, 1, 0, 0, 5, false});
    settings.ditherPixels = 3;
    guider->answerMs = -1;
    clock->At(7000, [this] { runner->Close(); });
    Start();
    EXPECT_EQ(
        fakes.log.events,
        (Timeline{{0, "RTS 1"}, {1000, "RTS 0"}, {1000, dither}, {7000, "dither cancelled"}, {7000, "serial close"}}));
    EXPECT_EQ(view.ends, std::vector<RunEnd>{RunEnd::CLOSED});
    EXPECT_FALSE(runner->Start(settings));  // nothing runs after a close
}

// Where the run goes when its timers come late, when a setting changes
// between its start and its first frame, and when it cannot set a timer.
TEST_F(Engine, TimingAndFidelity)
{
    struct Row {
        const char* name;
        PortKind port;
        Settings settings;
        int64_t lateAt, lateMs;  // the call due then comes late
        Timeline expected;
    };
    const Row rows[] = {
        {"a late timer: the next wait still ends on the old schedule",
         PORT_SERIAL,
         {1, 1, 0, 1, 0, true},
         200,
         30,
         {{0, "RTS 1"}, {230, "RTS 0"}, {1000, "RTS 1"}, {2000, "RTS 0"}}},
        {"a timer over 50 ms late (a stalled machine): the next wait starts afresh, 50 ms before it",
         PORT_SERIAL,
         {1, 1, 0, 1, 0, true},
         200,
         80,
         {{0, "RTS 1"}, {280, "RTS 0"}, {1030, "RTS 1"}, {2030, "RTS 0"}}},
        {"a late timer: the closing pulse still lasts 200 ms from its own line change",
         PORT_SERIAL_IR,
         {1, 1, 0, 0, 0, false},
         1000,
         30,
         {{0, "RTS 1"}, {200, "RTS 0"}, {1030, "RTS 1"}, {1230, "RTS 0"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Reset();
        Connect(row.port);
        Apply(row.settings);
        clock->lateAt = row.lateAt;
        clock->lateMs = row.lateMs;
        Start();
        EXPECT_EQ(fakes.log.events, row.expected);
    }

    // A countdown wait shortened by a pulse still counts each of its
    // seconds: 1.8 s count 2 and 1.
    Reset();
    Connect(PORT_SERIAL_IR);
    Apply({1, 2, 0, 0, 0, false});
    Start();
    EXPECT_EQ(countdown, (std::vector<std::string>{REMAINING_IDLE, RemainingLabel(2), RemainingLabel(1)}));

    // "AF pulse at start" chosen during the start delay: a 200 ms focus
    // pulse, as the start-pulse flag is fixed after that delay.
    Reset();
    Connect(PORT_SERIAL);
    Apply({1, 1, 1, 0, 0, false});
    clock->At(500, [this] { runner->SetAfMode(AF_PULSE_AT_START); });
    Start();
    EXPECT_EQ(fakes.log.events, (Timeline{{1000, "RTS 1"}, {1000, "DTR 1"}, {1200, "DTR 0"}, {2000, "RTS 0"}}));

    // No timer can be set: the exposure ends at once and the run says why.
    Reset();
    Connect(PORT_SERIAL);
    Apply({1, 1, 0, 0, 0, false});
    clock->failCalls = true;
    runner->Start(settings);
    EXPECT_FALSE(runner->Busy());
    EXPECT_EQ(fakes.log.events, (Timeline{{0, "RTS 1"}, {0, "RTS 0"}}));
    EXPECT_EQ(Status(), "Aborted");
    EXPECT_EQ(view.ends, std::vector<RunEnd>{RunEnd::FAILED});
    EXPECT_EQ(view.reasons, std::vector<std::string>{"the run's timer could not be set (Too many open files)"});
    EXPECT_NE(log.lines.back().find(",aborted,"), std::string::npos);
    EXPECT_FALSE(sleep.held);
}

}  // namespace

namespace {

// The guider watched through a run: the wait for steady guiding before each
// exposure, what the log says the guider did, the retakes, the dithers.
// Each row plays guider events on the virtual clock.
TEST_F(EngineTest, GuideAwareFrames)
{
    struct Row {
        const char* name;
        std::string appState;  // on connecting
        std::vector<std::pair<int64_t, std::string>> events;
        int32_t exposures, duration;
        int guideWait, retakes, ditherEvery;
        Timeline shutter;  // the RTS line and the dithers
        std::vector<std::string> guideColumns;  // each log line's guide_rms_px,guide_events,guided
        std::vector<std::string> someStatuses;  // shown on the way, in this order
        std::string tally;  // frames, suspect, retaken
        bool refuses = false;  // no guider listening
    };
    const std::string dither = "dither 3 px, settle 10 s";
    const Row rows[] = {
        {"guiding already steady: no wait; the RMS of the steps while the shutter is open",
         "Guiding",
         {{500, "GuideStep 0.3 0.4"}, {1500, "GuideStep 0 0"}, {2500, "GuideStep 3 4"}, {3500, "GuideStep 0.6 0.8"}},
         2,
         2,
         10,
         0,
         1,
         {{0, "RTS 1"}, {2000, "RTS 0"}, {2200, "RTS 1"}, {4200, "RTS 0"}},
         {"0.35,,yes", "3.61,,yes"},
         {"2s exposure (1/2)", "2s exposure (2/2)"},
         "2 0 0"},
        {"guiding that starts 3 s late: the exposure waits for it",
         "Stopped",
         {{3000, "StartGuiding"}},
         1,
         2,
         10,
         0,
         1,
         {{3000, "RTS 1"}, {5000, "RTS 0"}},
         {",,yes"},
         {"Waiting for guiding (1/1)", "2s exposure (1/1)"},
         "1 0 0"},
        {"never guiding: the wait runs out, the frame is taken and suspect",
         "Stopped",
         {},
         1,
         2,
         5,
         0,
         1,
         {{5000, "RTS 1"}, {7000, "RTS 0"}},
         {",GuideWaitRanOut@0.0s,suspect"},
         {"Waiting for guiding (1/1)", "2s exposure (1/1)"},
         "1 1 0"},
        {"the star lost in the middle of an exposure: suspect, and taken once more",
         "Guiding",
         {{4000, "StarLost"}, {5000, "GuideStep 0.1 0"}},
         1,
         10,
         30,
         1,
         1,
         {{0, "RTS 1"}, {10000, "RTS 0"}, {10200, "RTS 1"}, {20200, "RTS 0"}},
         {"0.10,StarLost@4.0s,suspect", ",,yes"},
         {"10s exposure (1/1)", "Retake 1 of 1 (1/1)"},
         "2 1 1"},
        {"a guider that floods StarLost, and a step that is no number: counted, suspect, no RMS",
         "Guiding",
         [] {
             std::vector<std::pair<int64_t, std::string>> flood = {{500, "GuideStep 1e308 1"}};
             for (int64_t ms = 1000; ms < 1100; ++ms)
                 flood.push_back({ms, "StarLost"});
             return flood;
         }(),
         1,
         2,
         0,
         0,
         1,
         {{0, "RTS 1"}, {2000, "RTS 0"}},
         {",BadGuideStep@0.5s;StarLost@1.0s\u00d7100,suspect"},
         {},
         "1 1 0"},
        {"paused across the exposure",
         "Paused",
         {},
         1,
         2,
         0,
         0,
         1,
         {{0, "RTS 1"}, {2000, "RTS 0"}},
         {",Paused@0.0s,suspect"},
         {},
         "1 1 0"},
        {"another client's dither during the exposure",
         "Guiding",
         {{1000, "SettleBegin"}, {1500, "SettleDone"}},
         1,
         3,
         0,
         0,
         1,
         {{0, "RTS 1"}, {3000, "RTS 0"}},
         {",SettleBegin@1.0s,suspect"},
         {},
         "1 1 0"},
        {"the connection dropped during the exposure",
         "Guiding",
         {{1000, "ConnectionLost"}},
         1,
         3,
         0,
         0,
         1,
         {{0, "RTS 1"}, {3000, "RTS 0"}},
         {",GuiderLost@1.0s,suspect"},
         {},
         "1 1 0"},
        {"the connection dropped, and PHD2 back and guiding 3 s later: the next frame's wait ends then",
         "Guiding",
         {{1000, "ConnectionLost"}, {4000, "AppState Guiding"}},
         2,
         2,
         10,
         0,
         1,
         {{0, "RTS 1"}, {2000, "RTS 0"}, {4000, "RTS 1"}, {6000, "RTS 0"}},
         {",GuiderLost@1.0s,suspect", ",,yes"},
         {"Waiting for guiding (2/2)", "2s exposure (2/2)"},
         "2 1 0"},
        {"no guider listening: the frames unguided, not suspect",
         "",
         {},
         2,
         1,
         0,
         0,
         1,
         {{0, "watch refused"}, {0, "RTS 1"}, {1000, "RTS 0"}, {1200, "RTS 1"}, {2200, "RTS 0"}},
         {",,no", ",,no"},
         {},
         "2 0 0",
         true},
        {"PHD2 in LostLock: guiding, its star lost; no step during the frame",
         "LostLock",
         {},
         1,
         2,
         0,
         0,
         1,
         {{0, "RTS 1"}, {2000, "RTS 0"}},
         {",StarLost@0.0s,suspect"},
         {},
         "1 1 0"},
        {"guiding stopped: no dither asked of PHD2, which would refuse it",
         "Guiding",
         {{500, "GuidingStopped"}},
         3,
         1,
         0,
         0,
         2,
         {{0, "RTS 1"}, {1000, "RTS 0"}, {1200, "RTS 1"}, {2200, "RTS 0"}, {2400, "RTS 1"}, {3400, "RTS 0"}},
         {",GuidingStopped@0.5s,suspect", ",,no", ",,no"},
         {"Dither failed (2/3): not guiding"},
         "3 1 0"},
        {"a frame taken again is not dithered before: the dither comes after the retake",
         "Guiding",
         {{14000, "StarLost"}, {15000, "GuideStep 0.1 0"}},
         3,
         10,
         0,
         1,
         2,
         {{0, "RTS 1"},
          {10000, "RTS 0"},
          {10200, "RTS 1"},
          {20200, "RTS 0"},
          {20400, "RTS 1"},
          {30400, "RTS 0"},
          {30400, dither},
          {33400, "RTS 1"},
          {43400, "RTS 0"}},
         {",,yes", "0.10,StarLost@3.8s,suspect", ",,yes", ",,yes"},
         {"Retake 1 of 1 (2/3)"},
         "4 1 1"},
        {"DitherEvery 3 over 7 frames: after the 3rd and the 6th",
         "Guiding",
         {},
         7,
         1,
         0,
         0,
         3,
         {{0, "RTS 1"},
          {1000, "RTS 0"},
          {1200, "RTS 1"},
          {2200, "RTS 0"},
          {2400, "RTS 1"},
          {3400, "RTS 0"},
          {3400, dither},
          {6400, "RTS 1"},
          {7400, "RTS 0"},
          {7600, "RTS 1"},
          {8600, "RTS 0"},
          {8800, "RTS 1"},
          {9800, "RTS 0"},
          {9800, dither},
          {12800, "RTS 1"},
          {13800, "RTS 0"}},
         {",,yes", ",,yes", ",,yes", ",,yes", ",,yes", ",,yes", ",,yes"},
         {},
         "7 0 0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Reset();
        Connect(PORT_SERIAL);
        guider->appState = row.appState;
        guider->refuses = row.refuses;
        runner->WatchGuider(true);
        for (const auto& [atMs, event] : row.events)
            guider->EventAt(atMs, event);
        Apply({row.exposures, row.duration, 0, 0, 0, false});
        settings.guideWaitSeconds = row.guideWait;
        settings.retakeSuspect = row.retakes;
        settings.ditherEvery = row.ditherEvery;
        settings.ditherPixels = row.ditherEvery > 1 ? 3 : 0;  // the dither rows
        Start();
        Timeline shutter;
        for (const LineEvent& event : fakes.log.events)
            if (event.what.rfind("RTS", 0) == 0 || event.what == dither || event.what == "watch refused")
                shutter.push_back(event);
        EXPECT_EQ(shutter, row.shutter);
        std::vector<std::string> columns;
        for (const std::string& whole : log.lines) {
            std::string line = whole;
            for (int i = 0; i < 5; ++i)  // the file, stars, HFR, type and target columns off
                line.erase(line.rfind(','));
            const size_t rms = line.rfind(',', line.rfind(',', line.rfind(',') - 1) - 1);
            columns.push_back(line.substr(rms + 1));
        }
        EXPECT_EQ(columns, row.guideColumns);
        const std::vector<std::string>& shown = view.everyStatus;
        auto at = shown.begin();
        for (const std::string& status : row.someStatuses) {
            at = std::find(at, shown.end(), status);
            EXPECT_NE(at, shown.end()) << status << " in " << ::testing::PrintToString(shown);
        }
        const GuideTally& tally = runner->Tally();
        EXPECT_EQ(std::to_string(tally.frames) + " " + std::to_string(tally.suspect) + " " +
                      std::to_string(tally.retaken),
                  row.tally);
        EXPECT_EQ(Status(), "Sequence Done");
        // A retake's time is added to what is left, which never goes below 0.
        for (const std::string& line : view.progress)
            EXPECT_NE(line[line.rfind(' ') + 1], '-') << line;
    }
}

}  // namespace

namespace {

// The run on a thread of its own, as the window runs it: the lines change
// there, on its clock; what the run shows reaches the caller's loop in
// order; a request returns at once and a question is answered at once,
// even while the run's thread is held.
TEST(RunControl, ARunGoesOnItsOwnThreadAndIsShownOnTheCallers)
{
    Fakes fakes;
    InstallFakes(fakes);
    RunThread thread;
    VirtualClock unused(fakes.log);
    FakeGuider guider(fakes.log, unused);
    FakeSleep sleep;
    FakeExposureLog log;
    FakeView view;
    std::mutex mutex;
    std::vector<std::function<void()>> posted;
    const std::thread::id caller = std::this_thread::get_id();
    std::thread::id linesOn;
    fakes.log.realTime = [&] { return linesOn = std::this_thread::get_id(), int64_t{0}; };
    const std::string port = OpenFakePort(fakes, PORT_SERIAL);
    RunControl control(RunParts{*fakes.ports, unused, guider, sleep, log, &thread}, view, nullptr,
                       [&](std::function<void()> call) {
                           std::lock_guard<std::mutex> lock(mutex);
                           posted.push_back(std::move(call));
                       });
    control.Connect(PORT_SERIAL, port);
    RunSettings settings;
    settings.exposures = 2;
    settings.durationMs = 50;
    settings.beforeDelayMs = 0;
    settings.afterDelayMs = 20000;  // the run is aborted here
    thread.Call([&] { fakes.log.events.clear(); });
    control.Start(settings);
    EXPECT_TRUE(control.State().busy);  // asked for: in progress at once
    // Read on the run's thread, where the fakes record.
    const auto exposed = [&] {
        bool done = false;
        thread.Call([&] { done = fakes.log.Whats().size() == 2; });
        return done;
    };
    while (!exposed())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::promise<void> held;
    thread.Post([released = held.get_future().share()] { released.wait(); });
    EXPECT_TRUE(control.State().busy);
    control.Abort();
    std::vector<int> order;  // the run's thread takes its calls in order
    for (int call : {1, 2})
        thread.Post([&order, call] { order.push_back(call); });
    held.set_value();
    thread.Call([] {});
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_FALSE(control.State().busy);
    EXPECT_EQ(fakes.log.Whats(), (std::vector<std::string>{"RTS 1", "RTS 0"}));
    EXPECT_NE(linesOn, caller);
    EXPECT_EQ(view.status, "");  // nothing shown until the caller's loop runs it
    for (const auto& call : posted)
        call();
    EXPECT_EQ(view.everyStatus.back(), "Aborted");
    EXPECT_EQ(view.ends, std::vector<RunEnd>{RunEnd::ABORTED});
}

}  // namespace
