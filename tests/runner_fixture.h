// A main window on a virtual clock with fake ports, for the sequence runner
// and the script editor.
#pragma once

#include <wx/checkbox.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>

#include <memory>

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
        auto clock = std::make_unique<VirtualClock>(fakes.log);
        this->clock = clock.get();
        InstallClock(std::move(clock));
        auto guider = std::make_unique<FakeGuider>(fakes.log, *this->clock);
        this->guider = guider.get();
        InstallGuider(std::move(guider));
        frame = new MyFrame("Vantrel");
        MainFrame = frame;
        frame->Show();
        AFMode = AF_NONE;  // whatever an earlier test left in the store
        // What the window shows while time passes, each time it changes.
        this->clock->onYield = [this] {
            if (!MainFrame)
                return;
            const std::string status = frame->GetStatusBar()->GetStatusText(0).utf8_string();
            if (statuses.empty() || statuses.back() != status)
                statuses.push_back(status);
            const std::string remaining = frame->RemainingText->GetLabel().utf8_string();
            if (countdown.empty() || countdown.back() != remaining)
                countdown.push_back(remaining);
        };
    }

    void TearDown() override
    {
        WindowTest::TearDown();
        InstallClock(nullptr);
        InstallGuider(nullptr);
    }

    void Connect(PortKind kind)
    {
        switch (kind) {
        case PORT_DSUSB:
            fakes.usb->present = true;
            DsusbOpen();
            break;
        case PORT_SERIAL:
        case PORT_SERIAL_IR:
            SerialLines().Open("COM2");
            break;
        case PORT_PARALLEL:
            ParallelPinMask = 1;
            ParallelLines().Open(0x378, "");
            break;
        case PORT_NONE:
            break;
        }
        ActivePort = kind;
        ActivePortName = kind == PORT_DSUSB ? "DSUSB" : kind == PORT_PARALLEL ? "0x378-LPT1" : "COM2";
        fakes.log.events.clear();
    }

    void Apply(const Settings& settings)
    {
        frame->ExposuresCtrl->SetValue(settings.exposures);
        frame->DurationCtrl->SetValue(settings.duration);
        frame->StartDelayCtrl->SetValue(settings.startDelay);
        frame->PreDelayCtrl->SetValue(settings.beforeDelay);
        frame->PostDelayCtrl->SetValue(settings.afterDelay);
        frame->MirrorLockCtrl->SetValue(settings.mirrorLock);
    }

    // Presses Start and lets the run go to its end.
    void Start()
    {
        Command(frame, wxEVT_BUTTON, ID_START_SEQUENCE);
        RunnerClock().RunUntil([] { return !SequenceBusy; });
    }
    void Abort() { Command(frame, wxEVT_BUTTON, ID_ABORT_SEQUENCE); }
    std::string Status() const { return frame->GetStatusBar()->GetStatusText(0).utf8_string(); }

    MyFrame* frame = nullptr;
    VirtualClock* clock = nullptr;
    FakeGuider* guider = nullptr;
    std::vector<std::string> statuses;
    std::vector<std::string> countdown;
};
