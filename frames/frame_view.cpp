// What can be seen of a frame: its preview, histogram and stars.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <thread>

#include "frames/frame.h"

namespace {

// Image planes at half size: red, green and blue, as floats.
struct Planes {
    int width = 0;
    int height = 0;
    std::array<std::vector<float>, 3> colour;
    std::vector<float> lum;  // the cell's mean, or the white level where a pixel of it is clipped
};

int ColourIndex(char c) { return c == 'R' ? 0 : c == 'G' ? 1 : 2; }

Planes HalfSize(const FrameImage& image)
{
    Planes half;
    half.width = image.width / 2;
    half.height = image.height / 2;
    const size_t count = static_cast<size_t>(half.width) * half.height;
    for (auto& plane : half.colour)
        plane.resize(count);
    half.lum.resize(count);
    const size_t plane = static_cast<size_t>(image.width) * image.height;
    const float white = static_cast<float>(image.white);
    // A mosaic's cell: which channel each of its four pixels is, and how
    // many of each it holds.
    std::array<int, 4> channel{};
    std::array<float, 3> share{};
    if (image.planes == 1) {
        for (int cell = 0; cell < 4; ++cell)
            channel[cell] = ColourIndex(image.cfa[cell]);
        for (int cell = 0; cell < 4; ++cell)
            share[channel[cell]] += 1;
    }
    for (int y = 0; y < half.height; ++y) {
        const size_t top = static_cast<size_t>(2 * y) * image.width, bottom = top + image.width;
        for (int x = 0; x < half.width; ++x) {
            const size_t out = static_cast<size_t>(y) * half.width + x;
            const size_t at[4] = {top + 2 * x, top + 2 * x + 1, bottom + 2 * x, bottom + 2 * x + 1};
            std::array<float, 3> sum{};
            float total = 0, brightest = 0;
            if (image.planes == 1) {
                for (int cell = 0; cell < 4; ++cell) {
                    const float v = image.data[at[cell]];
                    sum[channel[cell]] += v;
                    total += v;
                    brightest = std::max(brightest, v);
                }
                for (int c = 0; c < 3; ++c)
                    half.colour[c][out] = share[c] > 0 ? sum[c] / share[c] : 0;
            } else {
                for (int c = 0; c < 3; ++c) {
                    for (const size_t a : at) {
                        const float v = image.data[c * plane + a];
                        sum[c] += v;
                        brightest = std::max(brightest, v);
                    }
                    half.colour[c][out] = sum[c] / 4;
                    total += sum[c] / 3;
                }
            }
            half.lum[out] = brightest >= white ? white : total / 4;
        }
    }
    return half;
}

// The median and the median absolute deviation of up to a million values.
std::pair<float, float> MedianMad(const std::vector<float>& values)
{
    if (values.empty())
        return {0, 0};
    const size_t step = std::max<size_t>(1, values.size() / 1000000);
    std::vector<float> sample;
    sample.reserve(values.size() / step + 1);
    for (size_t i = 0; i < values.size(); i += step)
        sample.push_back(values[i]);
    auto middle = sample.begin() + sample.size() / 2;
    std::nth_element(sample.begin(), middle, sample.end());
    const float median = *middle;
    for (float& v : sample)
        v = std::fabs(v - median);
    std::nth_element(sample.begin(), middle, sample.end());
    return {median, *middle};
}

// The midtones transfer function.
double Mtf(double m, double x)
{
    if (x <= 0)
        return 0;
    if (x >= 1)
        return 1;
    return (m - 1) * x / ((2 * m - 1) * x - m);
}

// The channel's stretch, as a table from value to byte: the sky's median
// brought to a quarter of full scale, what lies 2.8 deviations below it
// black.
std::vector<uint8_t> Stretch(const std::vector<float>& channel, int white)
{
    const auto [median, mad] = MedianMad(channel);
    std::vector<uint8_t> table(static_cast<size_t>(white) + 1);
    // A saturated channel has nothing to stretch: shown as it is, white.
    if (median >= white) {
        for (int v = 0; v <= white; ++v)
            table[v] = static_cast<uint8_t>(v * 255 / white);
        return table;
    }
    // A step of the data at least: a flat or coarse sky (an 8-bit one).
    const double m0 = median / white, d = std::max(1.4826 * mad, 1.0) / white;
    const double shadows = std::max(0.0, m0 - 2.8 * d);
    const double x = shadows < 1 ? (m0 - shadows) / (1 - shadows) : 0;
    constexpr double TARGET = 0.25;
    const double denominator = 2 * TARGET * x - TARGET - x;
    const double midtones = std::fabs(denominator) > 1e-12 ? x * (TARGET - 1) / denominator : 0.5;
    for (int v = 0; v <= white; ++v) {
        const double scaled = (static_cast<double>(v) / white - shadows) / (1 - shadows);
        table[v] = static_cast<uint8_t>(std::lround(255 * Mtf(midtones, std::clamp(scaled, 0.0, 1.0))));
    }
    return table;
}

// A part of the half-size planes, `bin`×`bin` pixels to one, stretched.
RgbImage Render(const Planes& half, const std::array<std::vector<uint8_t>, 3>& tables, int left, int top, int width,
                int height, int bin)
{
    RgbImage out;
    out.width = width / bin;
    out.height = height / bin;
    out.rgb.resize(static_cast<size_t>(out.width) * out.height * 3);
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x)
            for (int c = 0; c < 3; ++c) {
                float sum = 0;
                for (int dy = 0; dy < bin; ++dy)
                    for (int dx = 0; dx < bin; ++dx)
                        sum +=
                            half.colour[c][static_cast<size_t>(top + y * bin + dy) * half.width + left + x * bin + dx];
                const size_t value = std::min(tables[c].size() - 1, static_cast<size_t>(sum / (bin * bin) + 0.5f));
                out.rgb[(static_cast<size_t>(y) * out.width + x) * 3 + c] = tables[c][value];
            }
    return out;
}

Histogram HistogramOf(const FrameImage& image)
{
    Histogram histogram;
    const size_t plane = static_cast<size_t>(image.width) * image.height;
    const double toBin = 256.0 / (static_cast<double>(image.white) + 1);
    for (size_t i = 0; i < image.data.size(); ++i) {
        int c = static_cast<int>(i / plane);
        if (image.planes == 1)
            c = ColourIndex(image.cfa[(i / image.width % 2) * 2 + i % image.width % 2]);
        const uint16_t v = std::min<uint16_t>(image.data[i], static_cast<uint16_t>(image.white));
        ++histogram.bins[c][static_cast<size_t>(v * toBin)];
        histogram.black[c] += v == 0;
        histogram.clipped[c] += v >= image.white;
    }
    return histogram;
}

// The sky as it is under each star: a mesh of tiles, each with the median
// and deviation of what is left when its stars are clipped away, smoothed
// over its neighbours and read between the tiles' centres; so that a
// gradient or vignetting changes no star's figures.
class Sky {
public:
    static constexpr int TILE = 32;  // pixels a side

    Sky(const std::vector<float>& lum, int width, int height)
        : cols_(std::max(1, width / TILE))
        , rows_(std::max(1, height / TILE))
        , tileWidth_(static_cast<float>(width) / cols_)
        , tileHeight_(static_cast<float>(height) / rows_)
    {
        std::vector<float> level(static_cast<size_t>(cols_) * rows_), noise(level.size()), values;
        for (int ty = 0; ty < rows_; ++ty)
            for (int tx = 0; tx < cols_; ++tx) {
                values.clear();
                const int x0 = static_cast<int>(tx * tileWidth_), x1 = static_cast<int>((tx + 1) * tileWidth_);
                const int y0 = static_cast<int>(ty * tileHeight_), y1 = static_cast<int>((ty + 1) * tileHeight_);
                // Every other pixel of every other row: plenty for a median.
                for (int y = y0; y < y1; y += 2)
                    for (int x = x0; x < x1; x += 2)
                        values.push_back(lum[static_cast<size_t>(y) * width + x]);
                auto [median, deviation] = Clipped(values);
                level[static_cast<size_t>(ty) * cols_ + tx] = median;
                noise[static_cast<size_t>(ty) * cols_ + tx] = deviation;
            }
        level_ = Smoothed(level);
        noise_ = Smoothed(noise);
    }
    float Level(float x, float y) const { return Between(level_, x, y); }
    float Noise(float x, float y) const { return Between(noise_, x, y); }

private:
    // The median and deviation of the values, the stars (above three
    // deviations) clipped away twice; half a step at least (an 8-bit sky).
    static std::pair<float, float> Clipped(std::vector<float>& values)
    {
        float median = 0, deviation = 0;
        for (int pass = 0; pass < 3 && !values.empty(); ++pass) {
            const auto [m, mad] = MedianMad(values);
            median = m;
            deviation = std::max(1.4826f * mad, 0.5f);
            const float top = median + 3 * deviation, bottom = median - 3 * deviation;
            values.erase(std::remove_if(values.begin(), values.end(), [&](float v) { return v > top || v < bottom; }),
                         values.end());
        }
        return {median, deviation};
    }
    // Each tile the median of itself and its neighbours: a tile a bright
    // star or a nebula fills takes its neighbours' sky.
    std::vector<float> Smoothed(const std::vector<float>& grid) const
    {
        std::vector<float> smoothed(grid.size()), near;
        for (int ty = 0; ty < rows_; ++ty)
            for (int tx = 0; tx < cols_; ++tx) {
                near.clear();
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        if (tx + dx >= 0 && ty + dy >= 0 && tx + dx < cols_ && ty + dy < rows_)
                            near.push_back(grid[static_cast<size_t>(ty + dy) * cols_ + tx + dx]);
                std::nth_element(near.begin(), near.begin() + near.size() / 2, near.end());
                smoothed[static_cast<size_t>(ty) * cols_ + tx] = near[near.size() / 2];
            }
        return smoothed;
    }
    float Between(const std::vector<float>& grid, float x, float y) const
    {
        const float fx = std::clamp((x + 0.5f) / tileWidth_ - 0.5f, 0.0f, static_cast<float>(cols_ - 1));
        const float fy = std::clamp((y + 0.5f) / tileHeight_ - 0.5f, 0.0f, static_cast<float>(rows_ - 1));
        const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
        const int x1 = std::min(x0 + 1, cols_ - 1), y1 = std::min(y0 + 1, rows_ - 1);
        const float ax = fx - x0, ay = fy - y0;
        const auto at = [&](int tx, int ty) { return grid[static_cast<size_t>(ty) * cols_ + tx]; };
        return (1 - ay) * ((1 - ax) * at(x0, y0) + ax * at(x1, y0)) + ay * ((1 - ax) * at(x0, y1) + ax * at(x1, y1));
    }

    int cols_, rows_;
    float tileWidth_, tileHeight_;
    std::vector<float> level_, noise_;
};

double Median(std::vector<double> values)
{
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

}  // namespace

StarFigures MeasureStars(const std::vector<float>& lum, int width, int height, float saturated, double scale)
{
    StarFigures figures;
    if (width < 8 || height < 8)
        return figures;
    const Sky sky(lum, width, height);
    const auto index = [width](int x, int y) { return static_cast<size_t>(y) * width + x; };
    // What the stars add to the sky, and the same smoothed by a small
    // binomial kernel: a star is found against the sky's noise where it is,
    // a faint one by the kernel's gain (noise times 3/8 after it).
    std::vector<float> above(lum.size());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            above[index(x, y)] = lum[index(x, y)] - sky.Level(x, y);
    const auto smooth = [&](int x, int y) {
        const auto a = [&](int dx, int dy) { return above[index(x + dx, y + dy)]; };
        return (4 * a(0, 0) + 2 * (a(-1, 0) + a(1, 0) + a(0, -1) + a(0, 1)) + a(-1, -1) + a(1, -1) + a(-1, 1) +
                a(1, 1)) /
            16;
    };
    constexpr float FOUND_SIGMAS = 5, KERNEL_NOISE = 0.375f;
    constexpr int EDGE = 3, MAX_RADIUS = 24;
    constexpr size_t MAX_CANDIDATES = 5000;
    struct Peak {
        float value;
        int x, y;
    };
    std::vector<Peak> peaks;
    for (int ty = 0; ty * Sky::TILE < height; ++ty)
        for (int tx = 0; tx * Sky::TILE < width; ++tx) {
            const float threshold = FOUND_SIGMAS * KERNEL_NOISE *
                sky.Noise(tx * Sky::TILE + Sky::TILE / 2.0f, ty * Sky::TILE + Sky::TILE / 2.0f);
            for (int y = std::max(EDGE, ty * Sky::TILE); y < std::min(height - EDGE, (ty + 1) * Sky::TILE); ++y)
                for (int x = std::max(EDGE, tx * Sky::TILE); x < std::min(width - EDGE, (tx + 1) * Sky::TILE); ++x) {
                    if (above[index(x, y)] <= threshold)  // a smoothed peak is below its pixel
                        continue;
                    const float v = smooth(x, y);
                    if (v <= threshold)
                        continue;
                    bool top = true;
                    for (int dy = -1; dy <= 1 && top; ++dy)
                        for (int dx = -1; dx <= 1 && top; ++dx) {
                            const float n = smooth(x + dx, y + dy);
                            top = (dy == 0 && dx == 0) || (dy < 0 || (dy == 0 && dx < 0) ? v > n : v >= n);
                        }
                    if (top)
                        peaks.push_back({v, x, y});
                }
        }
    std::sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) { return a.value > b.value; });
    if (peaks.size() > MAX_CANDIDATES)
        peaks.resize(MAX_CANDIDATES);

    std::vector<uint8_t> taken(lum.size(), 0);
    struct Star {
        double hfr, fwhm, snr;
    };
    std::vector<Star> stars;
    double nearest = 1e300;
    std::vector<std::pair<double, double>> ring;  // distance, flux
    std::vector<float> annulus;
    for (const Peak& peak : peaks) {
        if (taken[index(peak.x, peak.y)])
            continue;
        const float noise = sky.Noise(peak.x, peak.y);
        // The aperture: out to where the profile has sunk into the sky.
        int radius = 2;
        for (; radius < MAX_RADIUS; ++radius) {
            double sum = 0;
            int n = 0;
            for (int dy = -radius; dy <= radius; ++dy)
                for (int dx = -radius; dx <= radius; ++dx) {
                    const int x = peak.x + dx, y = peak.y + dy;
                    const double d = std::hypot(dx, dy);
                    if (d >= radius - 0.5 && d < radius + 0.5 && x >= 0 && y >= 0 && x < width && y < height) {
                        sum += above[index(x, y)];
                        ++n;
                    }
                }
            if (n == 0 || sum / n < 2 * noise / std::sqrt(static_cast<double>(n)))
                break;
        }
        radius += 2;
        if (peak.x - radius < 0 || peak.y - radius < 0 || peak.x + radius >= width || peak.y + radius >= height)
            continue;
        // Its ring of sky, as far as the frame goes.
        constexpr int ANNULUS = 4;
        const int outer = radius + ANNULUS;
        const int x0 = std::max(0, peak.x - outer), y0 = std::max(0, peak.y - outer);
        const int x1 = std::min(width - 1, peak.x + outer), y1 = std::min(height - 1, peak.y + outer);
        bool clipped = false;
        for (int y = peak.y - radius; y <= peak.y + radius; ++y)
            for (int x = peak.x - radius; x <= peak.x + radius; ++x) {
                clipped = clipped || (lum[index(x, y)] >= saturated && std::hypot(x - peak.x, y - peak.y) <= 2.5);
                taken[index(x, y)] = 1;
            }
        if (clipped) {  // counted, never measured
            ++figures.saturated;
            continue;
        }
        // A hot pixel: one pixel, its neighbours at the sky.
        float brightest = above[index(peak.x, peak.y)];
        int bx = peak.x, by = peak.y;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (above[index(peak.x + dx, peak.y + dy)] > brightest) {
                    brightest = above[index(peak.x + dx, peak.y + dy)];
                    bx = peak.x + dx;
                    by = peak.y + dy;
                }
        const float sides = (above[index(bx - 1, by)] + above[index(bx + 1, by)] + above[index(bx, by - 1)] +
                             above[index(bx, by + 1)]) /
            4;
        // Against the sky's noise (the four sides' mean has half of it) and
        // a twentieth of the peak: a star of 1.5 px FWHM, binned, still
        // lights its sides more than that.
        if (sides < std::max(1.5f * noise, 0.05f * brightest))
            continue;
        // The sky right around the star, left over by the mesh: the median
        // of a ring beyond its aperture.
        annulus.clear();
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) {
                const double d = std::hypot(x - peak.x, y - peak.y);
                if (d > radius + 1 && d <= outer)
                    annulus.push_back(above[index(x, y)]);
            }
        std::nth_element(annulus.begin(), annulus.begin() + annulus.size() / 2, annulus.end());
        const float local = annulus.empty() ? 0.0f : annulus[annulus.size() / 2];
        const auto value = [&](int x, int y) { return static_cast<double>(above[index(x, y)] - local); };
        double flux = 0, cx = 0, cy = 0, positive = 0;
        int pixels = 0;
        for (int y = peak.y - radius; y <= peak.y + radius; ++y)
            for (int x = peak.x - radius; x <= peak.x + radius; ++x) {
                if (std::hypot(x - peak.x, y - peak.y) > radius)
                    continue;
                const double f = value(x, y);
                flux += f;
                ++pixels;
                positive += std::max(0.0, f);
                cx += std::max(0.0, f) * x;
                cy += std::max(0.0, f) * y;
            }
        if (flux <= 0 || positive <= 0)
            continue;
        cx /= positive;
        cy /= positive;
        // The half-flux radius, each pixel's flux spread over its area (a
        // grid of points in it, finer for a small star), and the widths of
        // the pixel and of that spreading taken out: each adds 1/12 px² to a
        // Gaussian's variance, 1.386 / 12 px² to its half-flux radius squared.
        ring.clear();
        const int grid = radius <= 8 ? 4 : 2;
        for (int y = peak.y - radius; y <= peak.y + radius; ++y)
            for (int x = peak.x - radius; x <= peak.x + radius; ++x) {
                if (std::hypot(x - peak.x, y - peak.y) > radius)
                    continue;
                const double f = value(x, y) / (grid * grid);
                for (int sy = 0; sy < grid; ++sy)
                    for (int sx = 0; sx < grid; ++sx)
                        ring.emplace_back(
                            std::hypot(x + (sx + 0.5) / grid - 0.5 - cx, y + (sy + 0.5) / grid - 0.5 - cy), f);
            }
        std::sort(ring.begin(), ring.end());
        double sum = 0, hfr = 0, previousD = 0, previousSum = 0;
        for (const auto& [d, f] : ring) {
            sum += f;
            if (sum >= flux / 2) {
                hfr = f > 0 ? previousD + (d - previousD) * (flux / 2 - previousSum) / f : d;
                break;
            }
            previousD = d;
            previousSum = sum;
        }
        constexpr double PIXEL_HFR2 = 1.3863 * 2 / 12;
        hfr = std::sqrt(std::max(hfr * hfr - PIXEL_HFR2, 0.01));
        // The width from the star's second moments, weighted by a Gaussian
        // that is brought to the star's own (a fit's answer for a Gaussian
        // star, without the noise of the aperture's edge), its pixel taken out.
        double sigma2 = std::max(hfr / 1.1774, 0.5);
        sigma2 *= sigma2;
        for (int pass = 0; pass < 8; ++pass) {
            double weights = 0, moment = 0;
            for (int y = peak.y - radius; y <= peak.y + radius; ++y)
                for (int x = peak.x - radius; x <= peak.x + radius; ++x) {
                    const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                    const double w = value(x, y) * std::exp(-d2 / (2 * sigma2));
                    weights += w;
                    moment += w * d2;
                }
            if (weights <= 0)
                break;
            sigma2 = std::clamp(moment / weights, 0.05, double(MAX_RADIUS * MAX_RADIUS));  // 2 sigma_p², = sigma²
        }
        const double fwhm = 2.3548 * std::sqrt(std::max(sigma2 - 1.0 / 12, 0.01));
        stars.push_back({hfr * scale, fwhm * scale, flux / (noise * std::sqrt(static_cast<double>(pixels)))});
        const double fx = (cx + 0.5) * scale - 0.5, fy = (cy + 0.5) * scale - 0.5;
        const double fromCentre = std::hypot(fx - width * scale / 2, fy - height * scale / 2);
        if (fromCentre < nearest) {
            nearest = fromCentre;
            figures.centreX = fx;
            figures.centreY = fy;
        }
    }
    figures.count = static_cast<int>(stars.size());
    // The frame's figures from the stars bright enough to be measured well;
    // from all of them when none is.
    constexpr double WELL_MEASURED_SNR = 20;
    std::vector<double> hfrs, fwhms;
    for (const Star& star : stars)
        if (star.snr >= WELL_MEASURED_SNR) {
            hfrs.push_back(star.hfr);
            fwhms.push_back(star.fwhm);
        }
    if (hfrs.empty())
        for (const Star& star : stars) {
            hfrs.push_back(star.hfr);
            fwhms.push_back(star.fwhm);
        }
    figures.measured = static_cast<int>(hfrs.size());
    if (!hfrs.empty()) {
        figures.hfrPx = Median(hfrs);
        figures.fwhmPx = Median(fwhms);
    }
    return figures;
}

FrameSummary SummariseFrame(const FrameImage& image, int longSide)
{
    FrameSummary view;
    if (image.width < 2 || image.height < 2) {
        view.histogram = HistogramOf(image);
        return view;
    }
    // On both cores: the histogram beside the half-size planes, then the
    // stars beside the stretch and the preview.
    std::thread histogram([&] { view.histogram = HistogramOf(image); });
    const Planes half = HalfSize(image);
    histogram.join();
    std::thread stars(
        [&] { view.stars = MeasureStars(half.lum, half.width, half.height, static_cast<float>(image.white), 2.0); });
    std::array<std::vector<uint8_t>, 3> tables;
    for (int c = 0; c < 3; ++c)
        tables[c] = Stretch(half.colour[c], image.white);
    const int bin = std::max(1, (std::max(half.width, half.height) + longSide - 1) / longSide);
    view.preview = Render(half, tables, 0, 0, half.width, half.height, bin);
    stars.join();
    if (view.stars.count > 0) {
        constexpr int ZOOM = 32;
        const int size = std::min({ZOOM, half.width, half.height});
        const int left = std::clamp(static_cast<int>(view.stars.centreX / 2) - size / 2, 0, half.width - size);
        const int top = std::clamp(static_cast<int>(view.stars.centreY / 2) - size / 2, 0, half.height - size);
        view.zoom = Render(half, tables, left, top, size, size, 1);
    }
    return view;
}
