// A frame as the camera wrote it, read back from its file: a RAW's Bayer
// data at full depth (LibRaw), or a JPEG's three planes (libjpeg); what
// can be seen of it (a stretched preview, its histogram, its stars); and
// the FITS an astronomical client reads (cfitsio). No toolkit, no thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct FrameImage {
    int width = 0;
    int height = 0;
    int planes = 1;  // 1: a Bayer mosaic, 3: red, green and blue planes
    std::vector<uint16_t> data;  // row after row, plane after plane
    std::string cfa;  // the mosaic's top-left 2×2 ("RGGB"), "" for planes
    int white = 65535;  // the value a saturated pixel reaches
    int bits = 16;  // 8 for a JPEG
    // What the file says of itself (0 or "": not said).
    float iso = 0;
    float shutterS = 0;
    std::string camera;  // "Canon EOS 600D"
    int64_t takenUnix = 0;
};

// What reading one frame may take, known before anything is allocated: a
// file that claims more pixels, or needs more memory, is refused at its
// header; a read that takes longer, or is cancelled, stops where it is.
struct ReadLimits {
    int64_t maxPixels = 200'000'000;  // far beyond any camera's sensor
    int64_t maxBytes = int64_t{1} << 30;  // the frame's data and the reader's buffers
    std::chrono::milliseconds maxTime{20000};
    int maxScans = 100;  // a progressive JPEG's (a camera's has about ten)
    const std::atomic<bool>* cancel = nullptr;  // set: stop as soon as can be
};

// Reads `path`: a JPEG by its extension (.jpg, .jpeg), anything else as a
// RAW. False with `error` saying why ("not a RAW LibRaw knows: …", "cut
// short: …", "claims 65000×65000 pixels, more than a camera makes").
bool ReadFrame(const std::string& path, FrameImage& image, std::string& error, const ReadLimits& limits = {});
// A JPEG, by its name's extension.
bool IsJpeg(const std::string& path);

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // 3 bytes a pixel
};

// The histogram of the data at full depth, in 256 bins a channel (red,
// green, blue; a mosaic's pixels by their colour), with the pixels at 0
// and at the white level.
struct Histogram {
    std::array<std::array<uint32_t, 256>, 3> bins{};
    std::array<uint64_t, 3> black{};
    std::array<uint64_t, 3> clipped{};
};

struct StarFigures {
    int count = 0;  // found and measured: neither saturated nor a hot pixel
    int saturated = 0;  // found, but clipped: never in the figures
    int measured = 0;  // those the figures below are of (bright enough)
    double hfrPx = 0;  // median half-flux radius, in the frame's pixels
    double fwhmPx = 0;  // median, from each star's Gaussian-weighted second moments
    // The star nearest the centre, in the frame's pixels (-1: none).
    double centreX = -1;
    double centreY = -1;
};

struct FrameSummary {
    RgbImage preview;  // at most `longSide` pixels on its long side
    RgbImage zoom;  // the star nearest the centre at half size, or empty
    Histogram histogram;
    StarFigures stars;
};

// Debayers at half size (a 2×2 cell to a pixel), stretches each channel by
// its median and deviation (median and MAD: the sky dark grey, the stars
// bright), and measures the stars.
FrameSummary SummariseFrame(const FrameImage& image, int longSide = 1200);

// The stars of a one-plane image of `width`×`height` (sky and stars):
// found above the sky where each is, by five times the noise there (the
// sky a mesh of tiles, so that gradients and vignetting change nothing);
// hot pixels left out, saturated stars counted apart; each measured
// against the sky around it; the figures are the median of those with a
// signal-to-noise ratio of 20 or more. `scale` turns the image's pixels
// into the frame's.
StarFigures MeasureStars(const std::vector<float>& lum, int width, int height, float saturated, double scale);

struct FitsDetails {
    double exposureS = 0;  // EXPTIME: the line's measured hold
    int64_t startUtcMs = 0;  // DATE-OBS: the shutter's release
    std::string frameType = "Light";  // FRAME
    double pixelUm = 0;  // PIXSIZE1/2, XPIXSZ/YPIXSZ; 0: not known
};

// Writes what is known of the frame into the current header of an open
// cfitsio file (a fitsfile*): EXPTIME, DATE-OBS, FRAME, INSTRUME,
// ISOSPEED, the pixel size, BAYERPAT with its offsets, ROWORDER; `status`
// as cfitsio keeps it.
void WriteFitsKeys(void* fitsFile, const FrameImage& image, const FitsDetails& details, int& status);

// The frame as a FITS file in memory: a mosaic as one 16-bit plane with
// BAYERPAT and its offsets, planes as a three-plane cube; rows top down
// (ROWORDER). False with `error` when cfitsio fails.
bool WriteFits(const FrameImage& image, const FitsDetails& details, std::vector<char>& fits, std::string& error);
