// A main window on a virtual clock with fake ports, for the sequence runner
// and the script editor.
#pragma once

#include <wx/checkbox.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>

#include <memory>

#include "ports/trigger_lines.h"
#include "tests/gui_support.h"

struct Settings {
    int exposures = 1, duration = 1, startDelay = 0, beforeDelay = 1, afterDelay = 5;
    bool mirrorLock = false;
};

class RunnerTest : public WindowTest {
public:
    void SetUp() override
    {
        WindowTest::SetUp();
        statuses.clear();
        countdown.clear();
        frame = new MyFrame("Vantrel", Parts());
        MainFrame = frame;
        frame->Show();
        frame->SetAfMode(AF_NONE);  // whatever an earlier test left in the store
        // What the window shows while time passes, each time it changes.
        clock->onYield = [this] {
            if (!MainFrame)
                return;
            const std::string status = frame->GetStatusBar()->GetStatusText(0).utf8_string();
            if (statuses.empty() || statuses.back() != status)
                statuses.push_back(status);
            const std::string remaining = frame->RemainingShown().utf8_string();
            if (countdown.empty() || countdown.back() != remaining)
                countdown.push_back(remaining);
        };
    }

    void Connect(PortKind kind) { frame->Connect(kind, OpenFakePort(fakes, kind)); }

    // As the user sets the controls.
    void Apply(const Settings& settings)
    {
        Spin(frame, "# Exposures")->SetValue(settings.exposures);
        Spin(frame, "Duration")->SetValue(settings.duration);
        Spin(frame, "Sequence start")->SetValue(settings.startDelay);
        Spin(frame, "Before frame")->SetValue(settings.beforeDelay);
        Spin(frame, "After frame")->SetValue(settings.afterDelay);
        MirrorLockBox(frame)->SetValue(settings.mirrorLock);
    }

    // The window again, on the given clock and sleep inhibitor (the
    // program's own, logind).
    void Rebuild(Clock& otherClock, SleepInhibitor& otherSleep)
    {
        frame->Destroy();
        RunIdle();
        frame = new MyFrame("Vantrel", {*fakes.ports, otherClock, *guider, otherSleep, log, *settings, notifier});
        MainFrame = frame;
        frame->Show();
        frame->SetAfMode(AF_NONE);
    }

    void TearDown() override
    {
        WindowTest::TearDown();
        realClock.reset();
    }

    // Presses Start and lets the run go to its end.
    void Start()
    {
        Command(frame, wxEVT_BUTTON, ID_START_SEQUENCE);
        Clock& runClock = frame->Runner().RunClock();
        runClock.RunUntil([this] { return !MainFrame || !frame->Busy(); });
    }
    void Abort() { Command(frame, wxEVT_BUTTON, ID_ABORT_SEQUENCE); }
    std::string Status() const { return frame->GetStatusBar()->GetStatusText(0).utf8_string(); }

    MyFrame* frame = nullptr;
    std::unique_ptr<Clock> realClock;
    std::vector<std::string> statuses;
    std::vector<std::string> countdown;
};
