// What a run shows in the main window (the status line, the countdown, the
// banner, a message when it ends badly) and the two controls it reads as it
// goes: the engine's view, kept apart from the frame that holds it, so that
// nothing here calls the frame or the engine back.
#pragma once

#include <wx/string.h>

#include <functional>
#include <memory>
#include <string>

#include "runner/sequence_runner.h"

class wxBitmap;
class wxBitmapButton;
class wxCheckBox;
class wxFrame;
class wxStaticText;
class LargeDisplay;
class LastFrameWindow;

// The desktop's notifications (org.freedesktop.Notifications): how a run
// ended, for a user who is not looking at the window; and its sounds, by
// the sound theme's names ("complete", "dialog-error"), for one a few
// steps away.
class DesktopNotifier {
public:
    virtual ~DesktopNotifier() = default;
    virtual void Notify(const std::string& summary, const std::string& body) = 0;
    virtual void Sound(const char* /*eventId*/, wxFrame& /*frame*/) { }
};

// "1 frame", "20 frames".
std::string FramesText(int32_t count);

class FrameView : public RunView {
public:
    // `ended` is called once a run's end has been shown (on CLOSED, the
    // window is closing and its port already released), with the number of
    // runs shown started so far: the run it ended, or one before when a
    // run was refused.
    FrameView(wxFrame& frame, DesktopNotifier& notifier, std::function<void(RunEnd end, int run)> ended);
    // The controls, once the frame has made them.
    void Attach(wxStaticText* remaining, wxBitmapButton* banner);

    void OnRunEvent(const RunEvent& event) override;
    // The last frame read is shown in the Last Frame window and on the
    // Large Display, and kept for one opened later.
    void OnFrameDecoded(const std::shared_ptr<const DecodedFrame>& frame) override;
    // The banner drawn again (in the night's colours, or the day's).
    void RestyleBanner();

    // A second display that follows the run (none: nullptr); one opened
    // during a run is shown where the run is at once.
    void Follow(LargeDisplay* display);
    // The Last Frame window (none: nullptr), shown the last frame at once.
    void FollowFrames(LastFrameWindow* window);

    // The status text to show again when a menu's help text has hidden it
    // for a while: what the line read as the menu opened, or what the
    // runner has shown since.
    void RememberStatus(const wxString& text) { lastStatus_ = text; }
    // A run's end sounds (View > Sounds) unless turned off.
    void SetSounds(bool on) { sounds_ = on; }
    const wxString& LastStatus() const { return lastStatus_; }
    int RunsShown() const { return runsShown_; }

private:
    void ShowStatus(const std::string& text);
    void ShowRunning(bool running);
    void ShowProgress(const RunProgress& progress);
    void RunEnded(RunEnd end, const std::string& port, const std::string& why);
    void ShowBanner(const wxBitmap& banner);
    void ShowPortLost(const std::string& port, const std::string& why);

    void NotifyEnd(RunEnd end, const std::string& port, const std::string& why);

    wxFrame& frame_;
    DesktopNotifier& notifier_;
    bool sounds_ = true;
    int32_t framesDone_ = 0;
    int32_t frames_ = 0;
    std::function<void(RunEnd, int)> ended_;
    int runsShown_ = 0;
    wxStaticText* remaining_ = nullptr;
    wxBitmapButton* banner_ = nullptr;
    wxString lastStatus_;
    LargeDisplay* large_ = nullptr;
    LastFrameWindow* lastFrameWindow_ = nullptr;
    std::shared_ptr<const DecodedFrame> lastFrame_;
    bool running_ = false;
    bool noPort_ = false;
    RunProgress lastProgress_;
};
