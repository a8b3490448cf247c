#include "mainwindow/frame_view.h"

#include <wx/bmpbuttn.h>
#include <wx/checkbox.h>
#include <wx/dcmemory.h>
#include <wx/frame.h>
#include <wx/msgdlg.h>
#include <wx/settings.h>
#include <wx/stattext.h>

#include <cstdio>

#include "mainwindow/banners.h"
#include "mainwindow/large_display.h"
#include "mainwindow/last_frame.h"
#include "mainwindow/xpm_bitmap.h"
#include "ports/ports.h"
#include "runner/countdown.h"
#include "theme/night_mode.h"

// ----------------------------------------------------------------------------
// resources
// ----------------------------------------------------------------------------
#include "resources/idle_banner.xpm"
#include "resources/running_banner.xpm"

namespace {
// A banner, made when first shown, with a caption over its own small
// line where one is given; its red version only in night mode.
class Banner {
public:
    explicit Banner(const char* const* xpm, const char* caption = nullptr)
        : day_(XpmBitmap(xpm))
    {
        if (caption)
            day_ = Captioned(day_, caption);
    }
    const wxBitmap& Shown()
    {
        if (!NightMode())
            return day_;
        if (!night_.IsOk())
            night_ = RedVersion(day_);
        return night_;
    }

private:
    // The small line sits under the name, from 30 % across and 70 % down.
    static wxBitmap Captioned(const wxBitmap& banner, const char* caption)
    {
        wxImage image = banner.ConvertToImage();
        const int x = banner.GetWidth() * 3 / 10;
        const int y = banner.GetHeight() * 7 / 10;
        // The old line painted over in its ground's colour, row by row (it
        // shades from top to bottom).
        for (int row = y - 1; row < banner.GetHeight() - 1; ++row)
            for (int column = x - 2; column < banner.GetWidth() - 1; ++column)
                image.SetRGB(column, row, image.GetRed(x - 4, row), image.GetGreen(x - 4, row),
                             image.GetBlue(x - 4, row));
        wxBitmap captioned(image);
        wxMemoryDC dc(captioned);
        wxFont font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
        font.SetPixelSize(wxSize(0, (banner.GetHeight() - y) * 2 / 3));
        dc.SetFont(font.Bold());
        dc.SetTextForeground(*wxWHITE);
        dc.DrawText(wxString::FromUTF8(caption), x, y);
        dc.SelectObject(wxNullBitmap);
        return captioned;
    }

    wxBitmap day_;
    wxBitmap night_;
};
}  // namespace

const wxBitmap& IdleBanner()
{
    static Banner banner(idle_banner_xpm);
    return banner.Shown();
}

const wxBitmap& RunningBanner()
{
    static Banner banner(running_banner_xpm);
    return banner.Shown();
}

const wxBitmap& NoPortBanner()
{
    static Banner banner(running_banner_xpm, "no port: nothing sent");
    return banner.Shown();
}

std::string FramesText(int32_t count) { return std::to_string(count) + (count == 1 ? " frame" : " frames"); }

namespace {
const char* const PORT_LOST_ADVICE =
    "Check the cable and plug it in again; Vantrel opens the port again at the next Start.";
}  // namespace

// ----------------------------------------------------------------------------
// implementation
// ----------------------------------------------------------------------------
FrameView::FrameView(wxFrame& frame, DesktopNotifier& notifier, std::function<void(RunEnd, int)> ended)
    : frame_(frame)
    , notifier_(notifier)
    , ended_(std::move(ended))
{
}

void FrameView::Attach(wxStaticText* remaining, wxBitmapButton* banner)
{
    remaining_ = remaining;
    banner_ = banner;
}

void FrameView::OnRunEvent(const RunEvent& event)
{
    const std::string status = StatusText(event);
    const std::string remaining = RemainingText(event);
    if (!remaining.empty() && remaining_)
        remaining_->SetLabel(wxString::FromUTF8(remaining));
    if (!status.empty())
        ShowStatus(status);
    switch (event.kind) {
    case RunEventKind::STARTED:
        noPort_ = event.progress.noPort;
        ShowRunning(true);
        break;
    case RunEventKind::PROGRESS:
        ShowProgress(event.progress);
        break;
    case RunEventKind::ENDED:
        if (event.began) {
            ShowRunning(false);
            framesDone_ = event.framesDone;
            frames_ = event.progress.frames;
        } else {
            ++runsShown_;  // a run refused is counted as one that ended at once
        }
        RunEnded(event.end, event.port, event.why);
        break;
    case RunEventKind::STAGE:
    case RunEventKind::TIME_LEFT:
    case RunEventKind::DITHER_FAILED:
        break;
    }
}

void FrameView::RestyleBanner() { ShowBanner(!running_ ? IdleBanner() : noPort_ ? NoPortBanner() : RunningBanner()); }

void FrameView::ShowStatus(const std::string& text)
{
    lastStatus_ = wxString::FromUTF8(text);
    frame_.SetStatusText(lastStatus_, 0);
}

void FrameView::ShowRunning(bool running)
{
    running_ = running;
    runsShown_ += running;
    RestyleBanner();
}

void FrameView::ShowProgress(const RunProgress& progress)
{
    lastProgress_ = progress;
    if (large_)
        large_->ShowProgress(progress);
}

void FrameView::Follow(LargeDisplay* display)
{
    large_ = display;
    if (large_ && running_)
        large_->ShowProgress(lastProgress_);
    if (large_ && lastFrame_)
        large_->ShowFrame(*lastFrame_);
}

void FrameView::FollowFrames(LastFrameWindow* window)
{
    lastFrameWindow_ = window;
    if (lastFrameWindow_)
        lastFrameWindow_->ShowFrame(lastFrame_);
}

void FrameView::OnFrameDecoded(const std::shared_ptr<const DecodedFrame>& frame)
{
    if (frame->left)
        return;
    lastFrame_ = frame;
    if (lastFrameWindow_)
        lastFrameWindow_->ShowFrame(frame);
    if (large_)
        large_->ShowFrame(*frame);
}

// A close that arrived during the run closes the window; a lost port, or a
// run that could not go on, is reported.
void FrameView::RunEnded(RunEnd end, const std::string& port, const std::string& why)
{
    if (!frame_.IsActive())
        NotifyEnd(end, port, why);
    if (sounds_ && end != RunEnd::CLOSED)
        notifier_.Sound(end == RunEnd::DONE || end == RunEnd::STOPPED ? "complete" : "dialog-error", frame_);
    if (large_ && end != RunEnd::CLOSED)
        large_->ShowEnd(EndText(end, ShortenedPath(port)), end);
    if (end == RunEnd::PORT_LOST)
        ShowPortLost(port, why);
    else if (end == RunEnd::FAILED)
        wxMessageBox(wxString::FromUTF8(why), "Vantrel", wxOK | wxICON_ERROR | wxCENTRE, &frame_);
    ended_(end, runsShown_);
}

// For a user who is not looking at the window (a run ended while another
// one had the focus): "Sequence Done: 20 frames", "Aborted after 7 of 20
// frames", "Lost the connection to COM5 (/dev/ttyUSB0)".
void FrameView::NotifyEnd(RunEnd end, const std::string& port, const std::string& why)
{
    switch (end) {
    case RunEnd::DONE:
        notifier_.Notify(EndText(end) + ": " + FramesText(frames_), "");
        return;
    case RunEnd::ABORTED:
    case RunEnd::STOPPED:
        notifier_.Notify(EndText(end) + " after " + std::to_string(framesDone_) + " of " + FramesText(frames_), "");
        return;
    case RunEnd::PORT_LOST:
    case RunEnd::FAILED:
        notifier_.Notify(EndText(end, port), why);
        return;
    case RunEnd::CLOSED:
        return;
    }
}

// The port's own reason comes second; a long device path is shortened for
// the box, and goes whole to stderr.
void FrameView::ShowPortLost(const std::string& port, const std::string& why)
{
    if (ShortenedPath(port) != port)
        std::fprintf(stderr, "vantrel: lost the connection to %s: %s\n", port.c_str(), why.c_str());
    wxMessageBox(wxString::FromUTF8(EndText(RunEnd::PORT_LOST, ShortenedPath(port))) + "\n" +
                     (why.empty() ? wxString() : wxString::FromUTF8(why) + "\n") + PORT_LOST_ADVICE,
                 "Vantrel", wxOK | wxICON_ERROR | wxCENTRE, &frame_);
}

void FrameView::ShowBanner(const wxBitmap& banner)
{
    if (!banner_)  // not attached to a window's controls
        return;
    banner_->SetBitmap(banner);
    banner_->Refresh();
    banner_->Update();
}
