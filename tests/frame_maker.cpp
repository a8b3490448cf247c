#include "tests/frame_maker.h"

#include <jpeglib.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

std::vector<uint16_t> MakeStarField(const StarField& field)
{
    std::mt19937 random(field.seed);
    std::normal_distribution<double> noise(0, field.noise);
    std::vector<double> image(static_cast<size_t>(field.width) * field.height);
    for (int y = 0; y < field.height; ++y)
        for (int x = 0; x < field.width; ++x)
            image[static_cast<size_t>(y) * field.width + x] = field.sky + field.gradient * x / field.width;
    // A Gaussian's half-flux radius is 1.1774 deviations.
    const double sigma = field.hfrPx / std::sqrt(2 * std::log(2.0));
    const int columns = std::max(1, static_cast<int>(std::ceil(std::sqrt(field.stars * 1.5))));
    const int rows = (field.stars + columns - 1) / columns;
    const double peak = (field.white - field.sky) * field.brightest;
    for (int s = 0; s < field.stars; ++s) {
        const double cx = (s % columns + 0.5 + 0.2 * std::sin(s)) * field.width / columns;
        const double cy = (s / columns + 0.5 + 0.2 * std::cos(s)) * field.height / rows;
        const double brightness = peak * (field.dimmest + (1 - field.dimmest) * (s % 5) / 4.0);
        // Each pixel takes the light that falls on its whole area, as a
        // sensor's does (4 x 4 points of it).
        constexpr int POINTS = 4;
        for (int y = std::max(0, int(cy - 6 * sigma)); y < std::min(field.height, int(cy + 6 * sigma) + 1); ++y)
            for (int x = std::max(0, int(cx - 6 * sigma)); x < std::min(field.width, int(cx + 6 * sigma) + 1); ++x) {
                double light = 0;
                for (int py = 0; py < POINTS; ++py)
                    for (int px = 0; px < POINTS; ++px) {
                        const double dx = x + (px + 0.5) / POINTS - 0.5 - cx, dy = y + (py + 0.5) / POINTS - 0.5 - cy;
                        light += std::exp(-(dx * dx + dy * dy) / (2 * sigma * sigma));
                    }
                image[static_cast<size_t>(y) * field.width + x] += brightness * light / (POINTS * POINTS);
            }
    }
    const double corner = std::hypot(field.width / 2.0, field.height / 2.0);
    for (int y = 0; y < field.height; ++y)
        for (int x = 0; x < field.width; ++x) {
            const double r = std::hypot(x - field.width / 2.0, y - field.height / 2.0) / corner;
            double& v = image[static_cast<size_t>(y) * field.width + x];
            v = v * (1 - field.vignetting * r * r) + noise(random);
        }
    for (int h = 0; h < field.hotPixels; ++h)
        image[(static_cast<size_t>(random()) % image.size())] = field.white * 0.9;
    std::vector<uint16_t> pixels(image.size());
    for (size_t i = 0; i < image.size(); ++i)
        pixels[i] = static_cast<uint16_t>(std::clamp(std::lround(image[i]), 0L, long(field.white)));
    return pixels;
}

bool WriteDng(const std::string& path, const StarField& field, const std::vector<uint16_t>& pixels)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    if (!tiff)
        return false;
    const uint8_t version[] = {1, 4, 0, 0};
    const uint16_t repeat[] = {2, 2};
    const uint8_t pattern[] = {0, 1, 1, 2};  // RGGB
    const uint32_t white = field.white;
    const float matrix[] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, field.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, field.height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, 32803);  // a colour filter array
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, field.height);
    TIFFSetField(tiff, TIFFTAG_MAKE, "Vantrel");
    TIFFSetField(tiff, TIFFTAG_MODEL, "Test Field");
    TIFFSetField(tiff, TIFFTAG_DNGVERSION, version);
    TIFFSetField(tiff, TIFFTAG_UNIQUECAMERAMODEL, "Vantrel Test Field");
    TIFFSetField(tiff, TIFFTAG_CFAREPEATPATTERNDIM, repeat);
    TIFFSetField(tiff, TIFFTAG_CFAPATTERN, 4, pattern);
    TIFFSetField(tiff, TIFFTAG_WHITELEVEL, 1, &white);
    TIFFSetField(tiff, TIFFTAG_COLORMATRIX1, 9, matrix);
    bool ok = true;
    for (int y = 0; y < field.height && ok; ++y)
        ok = TIFFWriteScanline(tiff, const_cast<uint16_t*>(&pixels[static_cast<size_t>(y) * field.width]), y, 0) == 1;
    TIFFClose(tiff);
    return ok;
}

bool WriteJpeg(const std::string& path, const StarField& field, const std::vector<uint16_t>& pixels)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = field.width;
    info.image_height = field.height;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 95, TRUE);
    std::vector<jpeg_scan_info> scans(1, jpeg_scan_info{3, {0, 1, 2}, 0, 0, 0, 0});
    for (int c = 0; field.scanEachCoefficient && c < 3; ++c)
        for (int k = 1; k < 64; ++k)
            scans.push_back({1, {c}, k, k, 0, 0});
    if (field.scanEachCoefficient) {
        info.scan_info = scans.data();
        info.num_scans = static_cast<int>(scans.size());
    }
    jpeg_start_compress(&info, TRUE);
    std::vector<uint8_t> row(static_cast<size_t>(field.width) * 3);
    for (int y = 0; y < field.height; ++y) {
        for (int x = 0; x < field.width; ++x)
            row[x * 3] = row[x * 3 + 1] = row[x * 3 + 2] =
                static_cast<uint8_t>(pixels[static_cast<size_t>(y) * field.width + x] * 255 / field.white);
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(file);
    return true;
}
