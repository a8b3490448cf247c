// The last frame the camera's files brought, to judge focus, framing and
// clouds: the frame stretched to show the sky and its stars, a star near
// the centre at full size, the histogram with what is clipped, the stars'
// count, HFR and FWHM, and what the frame is (its number, file, exposure,
// ISO, time). View > Last Frame shows it in a window beside the main one;
// the Large Display shows a small copy of the frame and its figures. In
// night mode, red on black, the frame and the histogram too.
#pragma once

#include <wx/frame.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "frames/frame_decoder.h"

class wxStaticText;

// "41 stars · HFR 2.84 px", with " · FWHM 5.62 px" and the saturated
// stars (" · 3 saturated") when asked; "No stars found".
std::string StarsText(const StarFigures& stars, bool withFwhm);
// "Frame 3 · M42_0003.cr2" and "120 s · ISO 800 · 21:04:05" (local time).
std::string FrameTitle(const DecodedFrame& frame);
std::string FrameDetails(const DecodedFrame& frame);

// An image drawn as large as its place allows, its shape kept; red in
// night mode. Empty: the ground only.
class FramePicture : public wxWindow {
public:
    FramePicture(wxWindow* parent, const wxSize& minSize);
    void SetImage(const RgbImage& image);
    void Restyle();

private:
    void OnPaint(wxPaintEvent& event);
    RgbImage image_;
    wxBitmap scaled_;  // the image at the size last drawn
};

// The histogram, a line for each channel on a log scale; red in night mode.
class HistogramPicture : public wxWindow {
public:
    explicit HistogramPicture(wxWindow* parent);
    // None: the frame only.
    void SetHistogram(const std::optional<Histogram>& histogram);
    void Restyle();

private:
    void OnPaint(wxPaintEvent& event);
    Histogram histogram_;
    bool shown_ = false;
};

class LastFrameWindow : public wxFrame {
public:
    // `closed` is called when the user closes it.
    LastFrameWindow(wxWindow* owner, std::function<void()> closed);
    // A frame read (nullptr: none yet); a frame left for a newer one is
    // not shown.
    void ShowFrame(const std::shared_ptr<const DecodedFrame>& frame);
    void Restyle();

    wxStaticText* TitleText;
    wxStaticText* DetailsText;
    wxStaticText* StarsFigures;
    wxStaticText* ClipText;

    // event handlers (these functions should _not_ be virtual)
    void OnClose(wxCloseEvent& event);

private:
    std::function<void()> closed_;
    wxWindow* panel_;
    FramePicture* picture_;
    FramePicture* zoom_;
    HistogramPicture* histogram_;

    wxDECLARE_EVENT_TABLE();
};
