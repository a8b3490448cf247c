// Helpers for tests on the real window: modal dialog expectations, fixtures
// that reset the global state, event delivery.
#pragma once

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/choicdlg.h>
#include <wx/listbox.h>
#include <wx/msgdlg.h>
#include <wx/statbox.h>
#include <wx/testing.h>

#include <algorithm>
#include <chrono>
#include <string>

#include <wx/checkbox.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>

#include <functional>
#include <memory>
#include <thread>
#include <utility>

#include "app/settings.h"
#include "mainwindow/main_frame.h"
#include "ports/af_mode.h"
#include "ports/port_choice.h"
#include "ports/ports.h"
#include "tests/fakes.h"

// Picks one entry of the port chooser.
class ChoosePort : public wxExpectModalBase<wxSingleChoiceDialog, ChoosePort> {
public:
    explicit ChoosePort(const std::string& text)
        : text_(text)
    {
    }

protected:
    int OnInvoked(wxSingleChoiceDialog* dialog) const override
    {
        EXPECT_EQ(dialog->GetTitle(), "COM/LPT port");
        wxListBox* list = nullptr;
        for (wxWindow* child : dialog->GetChildren())
            list = list ? list : dynamic_cast<wxListBox*>(child);
        // The entry's line, with or without its device's presence.
        const wxString entry = wxString::FromUTF8(text_);
        for (unsigned i = 0; list && i < list->GetCount(); ++i)
            if (list->GetString(i) == entry || list->GetString(i).StartsWith(entry + "  ("))
                dialog->SetSelection(static_cast<int>(i));
        return wxID_OK;
    }

private:
    std::string text_;
};

// A dialog answered by `answer`, which may look at it first.
template <class Dialog> class Answer : public wxExpectModalBase<Dialog, Answer<Dialog>> {
public:
    explicit Answer(std::function<int(Dialog*)> answer)
        : answer_(std::move(answer))
    {
    }

protected:
    int OnInvoked(Dialog* dialog) const override { return answer_(dialog); }

private:
    std::function<int(Dialog*)> answer_;
};

// A message box with exactly this text and caption, answered with OK (or
// the answer given).
class ExpectMessage : public wxExpectModalBase<wxMessageDialog, ExpectMessage> {
public:
    ExpectMessage(const std::string& text, const std::string& caption, int answer = wxID_OK)
        : text_(text)
        , caption_(caption)
        , answer_(answer)
    {
    }

protected:
    int OnInvoked(wxMessageDialog* dialog) const override
    {
        EXPECT_EQ(dialog->GetMessage().utf8_string(), text_);
        EXPECT_EQ(dialog->GetCaption().utf8_string(), caption_);
        return answer_;
    }

private:
    std::string text_;
    std::string caption_;
    int answer_;
};

// Runs `code` and fails the test if it opens any modal dialog.
#define WITHOUT_DIALOG(code)                                                                                           \
    {                                                                                                                  \
        wxTEST_DIALOG_HOOK_CLASS wx_hook(__FILE__, __LINE__, __WXFUNCTION__);                                          \
        code;                                                                                                          \
        wx_hook.CheckUnmetExpectations();                                                                              \
    }

using CancelChooser = wxExpectDismissableModal<wxSingleChoiceDialog>;

// Lets the toolkit delete the windows whose destruction is pending.
inline void RunIdle()
{
    wxTheApp->ProcessPendingEvents();
    wxTheApp->ProcessIdle();
}

// Runs the toolkit's events until `done` (what another thread posts, or
// the X server), `steps` times 10 ms at most.
template <typename Done> bool RunUntil(Done done, int steps = 3000)
{
    for (int i = 0; i < steps && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        wxTheApp->Yield(true);
        RunIdle();
    }
    return done();
}

inline void Command(wxWindow* window, wxEventType type, int id)
{
    wxCommandEvent event(type, id);
    event.SetEventObject(window);
    window->GetEventHandler()->ProcessEvent(event);
}

// Every control lies inside its container and clear of its neighbours, and
// the longest countdown fits.
inline void ExpectNoClipping(wxWindow* container)
{
    const wxRect inside(wxPoint(0, 0), container->GetClientSize());
    const wxWindowList& children = container->GetChildren();
    for (auto first = children.begin(); first != children.end(); ++first) {
        const wxRect rect = (*first)->GetRect();
        EXPECT_TRUE(inside.Contains(rect))
            << (*first)->GetClassInfo()->GetClassName() << " '" << (*first)->GetLabel() << "' at " << rect.x << ","
            << rect.y << " " << rect.width << "x" << rect.height << " outside " << inside.width << "x" << inside.height;
        for (auto second = std::next(first); second != children.end(); ++second) {
            if ((*first)->IsKindOf(wxCLASSINFO(wxStaticBox)) || (*second)->IsKindOf(wxCLASSINFO(wxStaticBox)))
                continue;  // the box is drawn around its rows
            EXPECT_FALSE(rect.Intersects((*second)->GetRect()))
                << "'" << (*first)->GetLabel() << "' overlaps '" << (*second)->GetLabel() << "'";
        }
        ExpectNoClipping(*first);
    }
}

// The window's controls, found by their names (their labels).
inline wxSpinCtrl* Spin(wxWindow* frame, const char* name)
{
    return dynamic_cast<wxSpinCtrl*>(wxWindow::FindWindowByName(name, frame));
}
inline wxCheckBox* MirrorLockBox(wxWindow* frame)
{
    return dynamic_cast<wxCheckBox*>(wxWindow::FindWindowByLabel("Enable Mirror-lockup", frame));
}
inline wxStaticText* RemainingText(wxWindow* frame)
{
    return dynamic_cast<wxStaticText*>(wxWindow::FindWindowByName("Total Remaining", frame));
}

// The desktop's notifications, as a test sees them: "summary | body".
class FakeNotifier : public DesktopNotifier {
public:
    void Notify(const std::string& summary, const std::string& body) override
    {
        shown.push_back(summary + " | " + body);
    }
    void Sound(const char* eventId, wxFrame&) override { sounds.push_back(eventId); }
    std::vector<std::string> shown;
    std::vector<std::string> sounds;
};

// Fresh fakes and engine parts for each test (a virtual clock, a fake
// guider, sleep inhibitor and exposure log, the settings file in the test's
// own home); the main window is closed after it.
class WindowTest : public ::testing::Test {
public:
    void SetUp() override
    {
        InstallFakes(fakes);
        clock = std::make_unique<VirtualClock>(fakes.log);
        // The window's queued calls (a script going on after its capture)
        // run as time passes, as the event loop would run them.
        clock->toolkitYield = [] {
            wxTheApp->ProcessPendingEvents();
            wxTheApp->Yield(true);
        };
        guider = std::make_unique<FakeGuider>(fakes.log, *clock);
        sleep = FakeSleep();
        log = FakeExposureLog();
        settings = MakeSettingsFileStore();
        notifier = FakeNotifier();
    }

    void TearDown() override
    {
        if (MainFrame)
            MainFrame->Close(true);
        RunIdle();
        ASSERT_EQ(MainFrame, nullptr);
    }

    WindowParts Parts() { return {*fakes.ports, *clock, *guider, sleep, log, *settings, notifier}; }
    // The chooser entry of the port that the window drives, "none" without.
    static std::string PortName() { return MainFrame->Runner().Lines().Name(); }

    Fakes fakes;
    std::unique_ptr<VirtualClock> clock;
    std::unique_ptr<FakeGuider> guider;
    FakeSleep sleep;
    FakeExposureLog log;
    std::unique_ptr<SettingsStore> settings;
    FakeNotifier notifier;
};
