// LargeDisplay: the labels, and the type fitted to the window.

// ----------------------------------------------------------------------------
// includes
// ----------------------------------------------------------------------------
#include "mainwindow/large_display.h"

#include <wx/gauge.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "mainwindow/last_frame.h"
#include "runner/countdown.h"
#include "theme/accessible_name.h"
#include "theme/night_mode.h"

// ----------------------------------------------------------------------------
// constants
// ----------------------------------------------------------------------------
namespace {
// Each text's size, in multiples of the theme's font at the smallest scale.
constexpr double FRAME_SIZE = 2;
constexpr double PHASE_SIZE = 2;
constexpr double PHASE_TIME_SIZE = 5;
constexpr double TOTAL_SIZE = 2;
constexpr double STARS_SIZE = 2;
// The last frame's copy, in the theme font's line heights.
constexpr int THUMBNAIL_LINES = 6;
// The progress bar's height, in the theme font's line heights.
constexpr double BAR_LINES = 1.5;
constexpr int MARGIN = 12;
constexpr int PERMILLE = 1000;
// Type is made larger only in steps of this much, so that it stays put
// while the texts change under it.
constexpr double SCALE_STEP = 0.05;
constexpr double MIN_SCALE = 0.5;

struct Row {
    wxStaticText* text;
    double size;
    const char* widest;
};
const char* const IDLE_TIME = "--:--:--";
// A label's lines in `font`: the widest, and all of them high.
wxSize LinesExtent(const wxStaticText& text, const wxFont& font)
{
    wxSize extent;
    for (const wxString& line : wxSplit(text.GetLabel(), '\n', '\0')) {
        int width = 0;
        int height = 0;
        text.GetTextExtent(line.empty() ? wxString(" ") : line, &width, &height, nullptr, nullptr, &font);
        extent.x = std::max(extent.x, width);
        extent.y += height;
    }
    return extent;
}

// The widest of the phases' words.
const char* const WIDEST_PHASE = "Post-frame delay";
const char* const KEYS = "Alt+A Abort \u00b7 Alt+T Stop after frame \u00b7 Alt+P Pause or resume\n"
                         "F11 Full screen \u00b7 Esc Back";
// How a run ended, at a glance: done, aborted, lost.
const wxColour DONE_COLOUR(0x1a, 0x7f, 0x37);
const wxColour ABORTED_COLOUR(0xb3, 0x59, 0x00);
const wxColour LOST_COLOUR(0xc0, 0x1c, 0x28);
const char* const TITLE = "Vantrel - Large Display";
}  // namespace

// ----------------------------------------------------------------------------
// event table
// ----------------------------------------------------------------------------
// clang-format off
wxBEGIN_EVENT_TABLE(LargeDisplay, wxFrame)
    EVT_CLOSE(LargeDisplay::OnClose)
    EVT_SIZE(LargeDisplay::OnSize)
    EVT_CHAR_HOOK(LargeDisplay::OnCharHook)
wxEND_EVENT_TABLE()
// clang-format on

// ----------------------------------------------------------------------------
// implementation
// ----------------------------------------------------------------------------
LargeDisplay::LargeDisplay(wxWindow* owner, std::function<void()> closed, RunKeys keys)
    : wxFrame(owner, wxID_ANY, TITLE)
    , closed_(std::move(closed))
    , keys_(std::move(keys))
{
    panel_ = new wxPanel(this);
    const auto makeText = [this](const char* name) {
        auto* text = new wxStaticText(panel_, wxID_ANY, "", wxDefaultPosition, wxDefaultSize,
                                      wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
        text->SetName(name);
        text->Bind(wxEVT_LEFT_DCLICK, &LargeDisplay::OnDoubleClick, this);
        return text;
    };
    FrameText = makeText("Frame");
    PhaseText = makeText("Phase");
    PhaseTimeText = makeText("Time left");
    ProgressBar = new wxGauge(panel_, wxID_ANY, PERMILLE);
    SetAccessibleName(ProgressBar, "Progress");
    TotalText = makeText("Total Remaining");
    CameraText = makeText("Camera");
    StarsFigures = makeText("Stars");
    thumbnail_ = new FramePicture(panel_, wxSize(THUMBNAIL_LINES * 3 / 2, THUMBNAIL_LINES) * GetCharHeight());
    thumbnail_->SetName("Last frame");
    thumbnail_->Hide();
    StarsFigures->Hide();  // until a frame comes
    KeysText = makeText("Keys");
    KeysText->SetLabel(wxString::FromUTF8(KEYS));
    KeysText->SetMinSize(wxSize(-1, LinesExtent(*KeysText, KeysText->GetFont()).y));  // both lines
    Restyle();
    panel_->Bind(wxEVT_LEFT_DCLICK, &LargeDisplay::OnDoubleClick, this);
    // Nothing here takes the keyboard but the panel, made to: it holds the
    // focus whenever the window is active or clicked, so that the keys
    // below reach the window from its first moment (not only once it has
    // been full screen).
    panel_->SetCanFocus(true);
    const auto focus = [this](wxEvent& event) {
        event.Skip();
        panel_->SetFocus();
    };
    Bind(wxEVT_ACTIVATE, [focus](wxActivateEvent& event) {
        if (event.GetActive())
            focus(event);
        else
            event.Skip();
    });
    panel_->Bind(wxEVT_LEFT_DOWN, focus);
    for (wxWindow* shown : std::initializer_list<wxWindow*>{FrameText, PhaseText, PhaseTimeText, TotalText, CameraText,
                                                            StarsFigures, KeysText, ProgressBar})
        shown->Bind(wxEVT_LEFT_DOWN, focus);

    auto* column = new wxBoxSizer(wxVERTICAL);
    column->AddStretchSpacer();
    for (wxWindow* text : {FrameText, PhaseText, PhaseTimeText})
        column->Add(text, 0, wxEXPAND | wxLEFT | wxRIGHT, MARGIN);
    column->Add(ProgressBar, 0, wxEXPAND | wxALL, MARGIN);
    column->Add(TotalText, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, MARGIN);
    column->Add(thumbnail_, 0, wxALIGN_CENTRE_HORIZONTAL | wxBOTTOM, MARGIN / 2);
    column->Add(StarsFigures, 0, wxEXPAND | wxLEFT | wxRIGHT, MARGIN);
    column->AddStretchSpacer();
    column->Add(CameraText, 0, wxEXPAND | wxLEFT | wxRIGHT, MARGIN / 2);
    column->Add(KeysText, 0, wxEXPAND | wxALL, MARGIN / 2);
    panel_->SetSizer(column);

    // The smallest type is the smallest window; it opens a little larger.
    ShowTexts("", "Ready", IDLE_TIME, REMAINING_IDLE, 0);
}

// The day's or the night's colours, as its own: an inactive window keeps
// them. A run's end keeps its colour.
void LargeDisplay::Restyle()
{
    panel_->SetBackgroundColour(GroundColour());
    panel_->SetForegroundColour(TextColour());
    for (wxStaticText* text : {FrameText, PhaseText, PhaseTimeText, TotalText, StarsFigures, CameraText, KeysText})
        if (text != PhaseText || PhaseText->GetFont().GetWeight() != wxFONTWEIGHT_BOLD)
            text->SetForegroundColour(TextColour());
    thumbnail_->Restyle();
    panel_->Refresh();
}

void LargeDisplay::ShowFrame(const DecodedFrame& frame)
{
    if (!frame.error.empty()) {
        StarsFigures->SetLabelText(wxString::Format("Frame %d could not be read", frame.request.frame));
        thumbnail_->Hide();  // nothing of the frame before
    } else {
        StarsFigures->SetLabelText(wxString::FromUTF8(StarsText(frame.view.stars, false)));
        thumbnail_->SetImage(frame.view.preview);
        thumbnail_->Show();
    }
    StarsFigures->Show();
    if (scale_ > 0)
        scale_ = -1;  // fitted again with the frame's place
    FitType();
    panel_->Layout();
}

void LargeDisplay::ShowProgress(const RunProgress& progress)
{
    PhaseText->SetForegroundColour(panel_->GetForegroundColour());
    PhaseText->SetFont(PhaseText->GetFont().GetBaseFont());
    const int32_t frame = std::max(progress.frame, 1);
    const int permille = progress.secondsTotal > 0
        ? static_cast<int>(PERMILLE * int64_t{progress.secondsTotal - progress.secondsLeft} / progress.secondsTotal)
        : 0;
    ShowTexts(wxString::Format("Frame %d of %d", frame, progress.frames) +
                  (progress.noPort ? wxString::FromUTF8(" \u00b7 no port") : wxString()),
              wxString::FromUTF8(progress.phase),
              progress.phaseSecondsLeft >= 0 ? wxString(ClockText(progress.phaseSecondsLeft))
                                             : PhaseTimeText->GetLabel(),
              RemainingLabel(progress.secondsLeft), std::clamp(permille, 0, PERMILLE));
}

// A message longer than the phases' own words ("Lost the connection to
// COM5 (/dev/ttyUSB0)") goes on two lines, broken at the space nearest its
// middle, so that it is read whole in large type.
void LargeDisplay::ShowEnd(const std::string& text, RunEnd end)
{
    wxString shown = wxString::FromUTF8(text);
    if (shown.length() > std::strlen(WIDEST_PHASE)) {
        const size_t middle = shown.length() / 2;
        const size_t before = shown.rfind(' ', middle);
        const size_t after = shown.find(' ', middle);
        const size_t at = before == wxString::npos ? after
            : after == wxString::npos              ? before
                                                   : (middle - before <= after - middle ? before : after);
        if (at != wxString::npos)
            shown[at] = '\n';
    }
    ShowTexts(FrameText->GetLabel(), shown, IDLE_TIME, REMAINING_IDLE,
              end == RunEnd::DONE ? PERMILLE : ProgressBar->GetValue());
    PhaseText->SetForegroundColour(end == RunEnd::DONE || end == RunEnd::STOPPED ? DONE_COLOUR
                                       : end == RunEnd::ABORTED                  ? ABORTED_COLOUR
                                                                                 : LOST_COLOUR);
    PhaseText->SetFont(PhaseText->GetFont().Bold());
    PhaseText->Refresh();
}

void LargeDisplay::ShowCameraNote(const std::string& text)
{
    CameraText->SetLabelText(wxString::FromUTF8(text));
    panel_->Layout();
}

void LargeDisplay::ShowTexts(const wxString& frame, const wxString& phase, const wxString& phaseTime,
                             const wxString& total, int permille)
{
    bool changed = false;
    const auto set = [&changed](wxStaticText* text, const wxString& label) {
        if (text->GetLabel() == label)
            return;
        text->SetLabelText(label);  // "&" is shown as it is
        text->InvalidateBestSize();
        changed = true;
    };
    set(FrameText, frame);
    set(PhaseText, phase);
    set(PhaseTimeText, phaseTime);
    set(TotalText, total);
    ProgressBar->SetValue(permille);
    if (changed) {
        FitType();
        panel_->Layout();
    }
}

// The largest type at which every text, and the widest it will show in a
// run, fits the window's width and the column its height; down to half the
// smallest scale for a long message in a small window.
void LargeDisplay::FitType()
{
    const wxFont theme = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    const Row rows[] = {{FrameText, FRAME_SIZE, "Frame 9999 of 9999"},
                        {PhaseText, PHASE_SIZE, WIDEST_PHASE},
                        {PhaseTimeText, PHASE_TIME_SIZE, "00:00:00"},
                        {TotalText, TOTAL_SIZE, "Total Remaining 000:00:00"},
                        {StarsFigures, STARS_SIZE, "9999 stars \u00b7 HFR 99.99 px"}};
    int width = 0;
    int height = static_cast<int>(BAR_LINES * GetCharHeight());
    for (const Row& row : rows) {
        if (!row.text->IsShown())
            continue;
        const wxFont font = theme.Scaled(static_cast<float>(row.size));
        int w = 0;
        int h = 0;
        row.text->GetTextExtent(row.widest, &w, &h, nullptr, nullptr, &font);
        const wxSize own = LinesExtent(*row.text, font);
        width = std::max({width, w, own.x});
        height += std::max(h, own.y);
    }
    // The camera's line and the keys' keep the theme's type; the frame's
    // copy its size.
    const wxSize keys = LinesExtent(*KeysText, KeysText->GetFont());
    width = std::max(width, keys.x);
    height += CameraText->GetCharHeight() + keys.y + MARGIN;
    if (thumbnail_->IsShown())
        height += thumbnail_->GetMinSize().y + MARGIN / 2;
    // The smallest window: everything at the smallest scale (again once the
    // frame's copy has come).
    if (scale_ <= 0)
        SetMinClientSize(wxSize(width + 2 * MARGIN, height + 3 * MARGIN));
    if (scale_ == 0)
        SetClientSize(wxSize(width + 2 * MARGIN, height + 3 * MARGIN) * 3 / 2);
    const wxSize client = GetClientSize();
    double scale = std::min(double(client.x - 2 * MARGIN) / width, double(client.y - 3 * MARGIN) / height);
    scale = std::max(MIN_SCALE, std::floor(scale / SCALE_STEP) * SCALE_STEP);
    if (std::abs(scale - scale_) < SCALE_STEP / 2)
        return;
    scale_ = scale;
    for (const Row& row : rows) {
        wxFont font = theme.Scaled(static_cast<float>(row.size * scale));
        if (row.text->GetFont().GetWeight() == wxFONTWEIGHT_BOLD)
            font.MakeBold();
        row.text->SetFont(font);
        // As high as the new type, measured here (its lines, for a message
        // on two): the toolkit's own size follows a new font only once the
        // label is drawn again.
        int lineHeight = 0;
        row.text->GetTextExtent(row.widest, nullptr, &lineHeight, nullptr, nullptr, &font);
        row.text->SetMinSize(wxSize(-1, std::max(lineHeight, LinesExtent(*row.text, font).y)));
        row.text->InvalidateBestSize();
    }
    ProgressBar->SetMinSize(wxSize(-1, static_cast<int>(BAR_LINES * GetCharHeight() * scale)));
    panel_->Layout();
}

// Laid out again at every size, in and out of full screen, once the panel
// has its new size.
void LargeDisplay::OnSize(wxSizeEvent& event)
{
    event.Skip();
    if (scale_ > 0)
        FitType();
    CallAfter([this] { panel_->Layout(); });
}

// F11 and a double click put it full screen and back, Escape takes it back.
void LargeDisplay::OnCharHook(wxKeyEvent& event)
{
    if (event.GetKeyCode() == WXK_F11)
        ShowFullScreen(!IsFullScreen());
    else if (event.GetKeyCode() == WXK_ESCAPE && IsFullScreen())
        ShowFullScreen(false);
    else if (event.AltDown() && (event.GetKeyCode() == 'A' || event.GetKeyCode() == 'a'))
        keys_.abort();
    else if (event.AltDown() && (event.GetKeyCode() == 'T' || event.GetKeyCode() == 't'))
        keys_.stopAfterFrame();
    else if (event.AltDown() && (event.GetKeyCode() == 'P' || event.GetKeyCode() == 'p'))
        keys_.pauseOrResume();
    else
        event.Skip();
}

void LargeDisplay::OnDoubleClick(wxMouseEvent&) { ShowFullScreen(!IsFullScreen()); }

void LargeDisplay::OnClose(wxCloseEvent&)
{
    closed_();
    Destroy();
}
