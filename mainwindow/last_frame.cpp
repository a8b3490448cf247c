// The last frame: its pictures, its texts and its window.

// ----------------------------------------------------------------------------
// includes
// ----------------------------------------------------------------------------
#include "mainwindow/last_frame.h"

#include <wx/dcbuffer.h>
#include <wx/image.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include <algorithm>
#include <cmath>
#include <ctime>

#include "theme/night_mode.h"

// ----------------------------------------------------------------------------
// constants
// ----------------------------------------------------------------------------
namespace {
constexpr int MARGIN = 8;
const wxSize PICTURE_SIZE(480, 320);
const wxSize ZOOM_SIZE(144, 144);
const wxSize HISTOGRAM_SIZE(256, 144);
const char* const TITLE = "Vantrel - Last Frame";
const char* const DOT = " \u00b7 ";
// The channels' lines, by day and by night (shades of red).
const wxColour DAY_CHANNELS[] = {wxColour(0xd0, 0x30, 0x30), wxColour(0x30, 0xa0, 0x30), wxColour(0x40, 0x60, 0xe0)};
const wxColour NIGHT_CHANNELS[] = {wxColour(0xff, 0, 0), wxColour(0xb0, 0, 0), wxColour(0x70, 0, 0)};

std::string Figure(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}
}  // namespace

std::string StarsText(const StarFigures& stars, bool withFwhm)
{
    if (stars.count == 0)
        return "No stars found";
    std::string text = std::to_string(stars.count) + (stars.count == 1 ? " star" : " stars") + DOT + "HFR " +
        Figure(stars.hfrPx) + " px";
    if (!withFwhm)
        return text;
    text += std::string(DOT) + "FWHM " + Figure(stars.fwhmPx) + " px";
    return stars.saturated > 0 ? text + DOT + std::to_string(stars.saturated) + " saturated" : text;
}

std::string FrameTitle(const DecodedFrame& frame)
{
    const std::string& path = frame.request.path;
    return "Frame " + std::to_string(frame.request.frame) + DOT + path.substr(path.rfind('/') + 1);
}

std::string FrameDetails(const DecodedFrame& frame)
{
    std::string text;
    const auto add = [&text](const std::string& part) { text += (text.empty() ? "" : DOT) + part; };
    const double seconds = frame.request.details.exposureS > 0 ? frame.request.details.exposureS : frame.image.shutterS;
    if (seconds > 0) {
        char shown[32];
        std::snprintf(shown, sizeof shown, seconds >= 10 ? "%.0f s" : "%.3g s", seconds);
        add(shown);
    }
    if (frame.image.iso > 0)
        add("ISO " + std::to_string(std::lround(frame.image.iso)));
    const time_t taken = frame.request.details.startUtcMs > 0
        ? static_cast<time_t>(frame.request.details.startUtcMs / 1000)
        : static_cast<time_t>(frame.image.takenUnix);
    if (taken > 0) {
        std::tm local{};
        localtime_r(&taken, &local);
        char shown[16];
        std::strftime(shown, sizeof shown, "%H:%M:%S", &local);
        add(shown);
    }
    return text;
}

// ----------------------------------------------------------------------------
// the pictures
// ----------------------------------------------------------------------------
FramePicture::FramePicture(wxWindow* parent, const wxSize& minSize)
    : wxWindow(parent, wxID_ANY, wxDefaultPosition, minSize)
{
    SetMinSize(minSize);
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, &FramePicture::OnPaint, this);
    Bind(wxEVT_SIZE, [this](wxSizeEvent& event) {
        scaled_ = wxBitmap();
        Refresh();
        event.Skip();
    });
}

void FramePicture::SetImage(const RgbImage& image)
{
    image_ = image;
    Restyle();
}

void FramePicture::Restyle()
{
    scaled_ = wxBitmap();
    Refresh();
}

void FramePicture::OnPaint(wxPaintEvent&)
{
    wxAutoBufferedPaintDC dc(this);
    dc.SetBackground(wxBrush(GroundColour()));
    dc.Clear();
    const wxSize client = GetClientSize();
    if (image_.width <= 0 || image_.height <= 0 || client.x <= 0 || client.y <= 0)
        return;
    const double scale = std::min(double(client.x) / image_.width, double(client.y) / image_.height);
    const wxSize size(std::max(1, int(image_.width * scale)), std::max(1, int(image_.height * scale)));
    if (!scaled_.IsOk() || scaled_.GetSize() != size) {
        wxImage image(image_.width, image_.height, const_cast<unsigned char*>(image_.rgb.data()), true);
        // A small image (the star's zoom) is enlarged pixel for pixel.
        wxBitmap bitmap(image.Scale(size.x, size.y, scale > 1 ? wxIMAGE_QUALITY_NEAREST : wxIMAGE_QUALITY_HIGH));
        scaled_ = NightMode() ? RedVersion(bitmap) : bitmap;
    }
    dc.DrawBitmap(scaled_, (client.x - size.x) / 2, (client.y - size.y) / 2);
}

HistogramPicture::HistogramPicture(wxWindow* parent)
    : wxWindow(parent, wxID_ANY, wxDefaultPosition, HISTOGRAM_SIZE)
{
    SetMinSize(HISTOGRAM_SIZE);
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, &HistogramPicture::OnPaint, this);
    Bind(wxEVT_SIZE, [this](wxSizeEvent& event) {
        Refresh();
        event.Skip();
    });
}

void HistogramPicture::SetHistogram(const std::optional<Histogram>& histogram)
{
    shown_ = histogram.has_value();
    if (histogram)
        histogram_ = *histogram;
    Refresh();
}

void HistogramPicture::Restyle() { Refresh(); }

void HistogramPicture::OnPaint(wxPaintEvent&)
{
    wxAutoBufferedPaintDC dc(this);
    dc.SetBackground(wxBrush(GroundColour()));
    dc.Clear();
    const wxSize client = GetClientSize();
    dc.SetPen(wxPen(TextColour()));
    dc.SetBrush(*wxTRANSPARENT_BRUSH);
    dc.DrawRectangle(0, 0, client.x, client.y);
    if (!shown_)
        return;
    double top = 1;
    for (const auto& bins : histogram_.bins)
        for (uint32_t count : bins)
            top = std::max(top, std::log1p(double(count)));
    const int width = client.x - 2, height = client.y - 2;
    for (int c = 0; c < 3; ++c) {
        dc.SetPen(wxPen(NightMode() ? NIGHT_CHANNELS[c] : DAY_CHANNELS[c]));
        wxPoint last;
        for (int bin = 0; bin < 256; ++bin) {
            const wxPoint point(1 + bin * width / 255,
                                1 + height - int(height * std::log1p(double(histogram_.bins[c][bin])) / top));
            if (bin > 0)
                dc.DrawLine(last, point);
            last = point;
        }
    }
}

// ----------------------------------------------------------------------------
// event table
// ----------------------------------------------------------------------------
// clang-format off
wxBEGIN_EVENT_TABLE(LastFrameWindow, wxFrame)
    EVT_CLOSE(LastFrameWindow::OnClose)
wxEND_EVENT_TABLE()
// clang-format on

// ----------------------------------------------------------------------------
// the window
// ----------------------------------------------------------------------------
LastFrameWindow::LastFrameWindow(wxWindow* owner, std::function<void()> closed)
    : wxFrame(owner, wxID_ANY, TITLE)
    , closed_(std::move(closed))
{
    panel_ = new wxPanel(this);
    picture_ = new FramePicture(panel_, PICTURE_SIZE);
    picture_->SetName("Frame");
    zoom_ = new FramePicture(panel_, ZOOM_SIZE);
    zoom_->SetName("A star near the centre");
    histogram_ = new HistogramPicture(panel_);
    histogram_->SetName("Histogram");
    const auto makeText = [this](const char* name) {
        auto* text = new wxStaticText(panel_, wxID_ANY, "");
        text->SetName(name);
        return text;
    };
    TitleText = makeText("Frame");
    DetailsText = makeText("Exposure");
    StarsFigures = makeText("Stars");
    ClipText = makeText("Clipped");
    TitleText->SetFont(TitleText->GetFont().Bold());

    auto* texts = new wxBoxSizer(wxVERTICAL);
    for (wxStaticText* text : {TitleText, DetailsText, StarsFigures, ClipText})
        texts->Add(text, 0, wxBOTTOM, MARGIN / 2);
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    row->Add(zoom_, 0, wxRIGHT, MARGIN);
    row->Add(histogram_, 1, wxEXPAND | wxRIGHT, MARGIN);
    auto* column = new wxBoxSizer(wxVERTICAL);
    column->Add(picture_, 1, wxEXPAND | wxALL, MARGIN);
    column->Add(row, 0, wxEXPAND | wxLEFT | wxRIGHT, MARGIN);
    column->Add(texts, 0, wxEXPAND | wxALL, MARGIN);
    panel_->SetSizer(column);
    ShowFrame(nullptr);
    Restyle();
    column->SetSizeHints(this);
}

void LastFrameWindow::ShowFrame(const std::shared_ptr<const DecodedFrame>& frame)
{
    if (frame && frame->left)
        return;
    if (!frame) {
        TitleText->SetLabelText("No frame yet");
        DetailsText->SetLabelText("Each frame shows here once its file is fetched from the camera.");
        StarsFigures->SetLabelText("");
        ClipText->SetLabelText("");
    } else {
        TitleText->SetLabelText(wxString::FromUTF8(FrameTitle(*frame)));
        DetailsText->SetLabelText(wxString::FromUTF8(FrameDetails(*frame)));
        // A frame that cannot be read leaves nothing of the one before: its
        // pictures and figures go, and why takes their place, within the
        // window's width.
        if (!frame->error.empty()) {
            StarsFigures->SetLabelText(wxString::FromUTF8("Could not be read: " + frame->error));
            StarsFigures->Wrap(std::max(PICTURE_SIZE.x, panel_->GetClientSize().x) - 2 * MARGIN);
            ClipText->SetLabelText("");
            picture_->SetImage({});
            zoom_->SetImage({});
            histogram_->SetHistogram(std::nullopt);
        } else {
            StarsFigures->SetLabelText(wxString::FromUTF8(StarsText(frame->view.stars, true)));
            const Histogram& h = frame->view.histogram;
            ClipText->SetLabelText(wxString::FromUTF8("Clipped: R " + std::to_string(h.clipped[0]) + DOT + "G " +
                                                      std::to_string(h.clipped[1]) + DOT + "B " +
                                                      std::to_string(h.clipped[2])));
            picture_->SetImage(frame->view.preview);
            zoom_->SetImage(frame->view.zoom);
            histogram_->SetHistogram(h);
        }
    }
    panel_->Layout();
}

void LastFrameWindow::Restyle()
{
    panel_->SetBackgroundColour(GroundColour());
    for (wxStaticText* text : {TitleText, DetailsText, StarsFigures, ClipText})
        text->SetForegroundColour(TextColour());
    picture_->Restyle();
    zoom_->Restyle();
    histogram_->Restyle();
    panel_->Refresh();
}

void LastFrameWindow::OnClose(wxCloseEvent&)
{
    closed_();
    Destroy();
}
