// The engine on a virtual clock, with fake ports, a fake guider, log and
// sleep inhibitor, and a fake view that records what a run shows: no
// window, no X server.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ports/af_mode.h"
#include "ports/ports.h"
#include "runner/countdown.h"
#include "runner/sequence_runner.h"
#include "tests/fakes.h"

using Timeline = std::vector<LineEvent>;

struct Settings {
    int exposures = 1, duration = 1, startDelay = 0, beforeDelay = 1, afterDelay = 5;
    bool mirrorLock = false;
};

// What a run shows, as a window would show it, and the two controls it
// reads as it goes.
class FakeView : public RunView {
public:
    // As the window words them: the status line, the countdown, the
    // banner, the end, and "frame/frames phase phase-seconds
    // total-left/total" once per change.
    void OnRunEvent(const RunEvent& event) override
    {
        const std::string text = StatusText(event);
        if (!text.empty()) {
            status = text;
            everyStatus.push_back(text);
        }
        if (!RemainingText(event).empty())
            remaining = RemainingText(event);
        if (event.kind == RunEventKind::STARTED || (event.kind == RunEventKind::ENDED && event.began))
            running = event.kind == RunEventKind::STARTED;
        if (event.kind == RunEventKind::ENDED && event.began)
            framesDone = std::to_string(event.framesDone) + " of " + std::to_string(event.progress.frames);
        if (event.kind == RunEventKind::ENDED) {
            ends.push_back(event.end);
            reasons.push_back(event.why);
        }
        if (event.kind != RunEventKind::PROGRESS)
            return;
        const RunProgress& shown = event.progress;
        const std::string line = std::to_string(shown.frame) + "/" + std::to_string(shown.frames) + " " + shown.phase +
            " " + std::to_string(shown.phaseSecondsLeft) + " " + std::to_string(shown.secondsLeft) + "/" +
            std::to_string(shown.secondsTotal);
        if (progress.empty() || progress.back() != line)
            progress.push_back(line);
    }

    std::string status;
    std::vector<std::string> everyStatus;  // each one shown, time passing or not
    std::string remaining = REMAINING_IDLE;
    bool running = false;
    std::vector<RunEnd> ends;
    std::vector<std::string> reasons;
    std::vector<std::string> progress;
    std::string framesDone;  // "1 of 2": exposures that ran to their end
};

class EngineTest : public ::testing::Test {
public:
    void SetUp() override
    {
        InstallFakes(fakes);
        clock = std::make_unique<VirtualClock>(fakes.log);
        guider = std::make_unique<FakeGuider>(fakes.log, *clock);
        view = FakeView();
        sleep = FakeSleep();
        log = FakeExposureLog();
        runner = std::make_unique<SequenceRunner>(*fakes.ports, *clock, *guider, sleep, log, view);
        statuses.clear();
        countdown.clear();
        // What the view shows while time passes, each time it changes.
        clock->onYield = [this] {
            if (statuses.empty() || statuses.back() != view.status)
                statuses.push_back(view.status);
            if (countdown.empty() || countdown.back() != view.remaining)
                countdown.push_back(view.remaining);
        };
    }

    void TearDown() override { runner.reset(); }

    // A fresh engine for the next row of a table.
    void Reset()
    {
        TearDown();
        SetUp();
    }

    void Connect(PortKind kind) { runner->Connect(kind, OpenFakePort(fakes, kind)); }

    void Apply(const Settings& applied)
    {
        settings.exposures = applied.exposures;
        settings.durationMs = applied.duration * 1000;
        settings.startDelayMs = applied.startDelay * 1000;
        settings.beforeDelayMs = applied.beforeDelay * 1000;
        settings.afterDelayMs = applied.afterDelay * 1000;
        runner->SetMirrorLock(applied.mirrorLock);
    }

    // Starts a run and lets it go to its end.
    void Start()
    {
        runner->Start(settings);
        clock->RunUntil([this] { return !runner->Busy(); });
    }
    void Abort() { runner->Abort(); }
    const std::string& Status() const { return view.status; }

    Fakes fakes;
    std::unique_ptr<VirtualClock> clock;
    std::unique_ptr<FakeGuider> guider;
    FakeView view;
    FakeSleep sleep;
    FakeExposureLog log;
    std::unique_ptr<SequenceRunner> runner;
    RunSettings settings;
    std::vector<std::string> statuses;
    std::vector<std::string> countdown;
};
