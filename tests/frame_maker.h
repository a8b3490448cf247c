// Test frames made by the tests themselves: a star field of Gaussian stars
// of a known half-flux radius on a noisy sky, written as a 16-bit RGGB DNG
// (libtiff) or as a JPEG (libjpeg).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct StarField {
    int width = 600;
    int height = 400;
    double hfrPx = 3.0;  // each star's, in the frame's pixels
    int stars = 40;  // on a grid, away from the edges
    uint16_t sky = 1000;
    double noise = 20;  // the sky's, one deviation
    uint16_t white = 16383;
    uint32_t seed = 1;
    bool scanEachCoefficient = false;  // a JPEG: progressive, 190 scans
    // A real night's sky: rising by `gradient` from the left edge to the
    // right; darkened toward the corners by `vignetting` (0.2: a fifth at
    // the corners, stars and sky alike); `hotPixels` single bright pixels.
    double gradient = 0;
    double vignetting = 0;
    int hotPixels = 0;
    // The stars' peaks, from the brightest (`brightest` of the range above
    // the sky; above 1, clipped) down to `dimmest` of that.
    double brightest = 0.5;
    double dimmest = 0.3;
};

// The field's pixels, one plane (a mosaic of grey stars).
std::vector<uint16_t> MakeStarField(const StarField& field);
// False when the file could not be written.
bool WriteDng(const std::string& path, const StarField& field, const std::vector<uint16_t>& pixels);
bool WriteJpeg(const std::string& path, const StarField& field, const std::vector<uint16_t>& pixels);
