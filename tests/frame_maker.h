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
};

// The field's pixels, one plane (a mosaic of grey stars).
std::vector<uint16_t> MakeStarField(const StarField& field);
// False when the file could not be written.
bool WriteDng(const std::string& path, const StarField& field, const std::vector<uint16_t>& pixels);
bool WriteJpeg(const std::string& path, const StarField& field, const std::vector<uint16_t>& pixels);
