// What can be seen of a frame: its preview, histogram and stars.
#include <algorithm>
#include <cmath>

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
        plane.assign(count, 0.0f);
    half.lum.assign(count, 0.0f);
    const size_t plane = static_cast<size_t>(image.width) * image.height;
    for (int y = 0; y < half.height; ++y) {
        for (int x = 0; x < half.width; ++x) {
            const size_t out = static_cast<size_t>(y) * half.width + x;
            std::array<float, 3> sum{}, n{};
            float total = 0;
            bool clipped = false;
            for (int cell = 0; cell < 4; ++cell) {
                const size_t at = static_cast<size_t>(2 * y + cell / 2) * image.width + 2 * x + cell % 2;
                if (image.planes == 1) {
                    const uint16_t v = image.data[at];
                    const int c = ColourIndex(image.cfa[cell]);
                    sum[c] += v;
                    n[c] += 1;
                    total += v;
                    clipped = clipped || v >= image.white;
                } else {
                    for (int c = 0; c < 3; ++c) {
                        const uint16_t v = image.data[c * plane + at];
                        sum[c] += v;
                        n[c] += 1;
                        total += v / 3.0f;
                        clipped = clipped || v >= image.white;
                    }
                }
            }
            for (int c = 0; c < 3; ++c)
                half.colour[c][out] = n[c] > 0 ? sum[c] / n[c] : 0;
            half.lum[out] = clipped ? static_cast<float>(image.white) : total / 4;
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

}  // namespace

StarFigures MeasureStars(const std::vector<float>& lum, int width, int height, float saturated, double scale)
{
    StarFigures figures;
    const auto [sky, mad] = MedianMad(lum);
    const float noise = std::max(1.4826f * mad, 0.5f);  // half a step at least: an 8-bit sky
    const float threshold = sky + 5 * noise;
    auto at = [&](int x, int y) { return lum[static_cast<size_t>(y) * width + x]; };
    constexpr int EDGE = 3, MAX_RADIUS = 24;
    constexpr size_t MAX_CANDIDATES = 5000;
    struct Peak {
        float value;
        int x, y;
    };
    std::vector<Peak> peaks;
    for (int y = EDGE; y < height - EDGE; ++y)
        for (int x = EDGE; x < width - EDGE; ++x) {
            const float v = at(x, y);
            if (v <= threshold)
                continue;
            bool top = true;
            for (int dy = -1; dy <= 1 && top; ++dy)
                for (int dx = -1; dx <= 1 && top; ++dx) {
                    const float n = at(x + dx, y + dy);
                    top = (dy == 0 && dx == 0) || (dy < 0 || (dy == 0 && dx < 0) ? v > n : v >= n);
                }
            if (top)
                peaks.push_back({v, x, y});
        }
    std::sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) { return a.value > b.value; });
    if (peaks.size() > MAX_CANDIDATES)
        peaks.resize(MAX_CANDIDATES);

    std::vector<uint8_t> taken(lum.size(), 0);
    std::vector<double> hfrs, fwhms;
    double nearest = 1e300;
    std::vector<std::pair<double, double>> ring;  // distance, flux
    for (const Peak& peak : peaks) {
        if (taken[static_cast<size_t>(peak.y) * width + peak.x])
            continue;
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
                        sum += at(x, y);
                        ++n;
                    }
                }
            if (n == 0 || sum / n < sky + 0.5 * noise)
                break;
        }
        radius += 2;
        const int x0 = peak.x - radius, y0 = peak.y - radius, x1 = peak.x + radius, y1 = peak.y + radius;
        if (x0 < 0 || y0 < 0 || x1 >= width || y1 >= height)
            continue;
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                taken[static_cast<size_t>(y) * width + x] = 1;
        const float excess = peak.value - sky;
        const float sides =
            (at(peak.x - 1, peak.y) + at(peak.x + 1, peak.y) + at(peak.x, peak.y - 1) + at(peak.x, peak.y + 1)) / 4 -
            sky;
        if (peak.value >= saturated || sides < 0.2f * excess)  // clipped, or a hot pixel
            continue;
        double flux = 0, cx = 0, cy = 0;
        int halfMaximum = 0;
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) {
                const double f = std::max(0.0f, at(x, y) - sky);
                flux += f;
                cx += f * x;
                cy += f * y;
                halfMaximum += f > excess / 2;
            }
        if (flux <= 0)
            continue;
        cx /= flux;
        cy /= flux;
        ring.clear();
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                ring.emplace_back(std::hypot(x - cx, y - cy), std::max(0.0f, at(x, y) - sky));
        std::sort(ring.begin(), ring.end());
        double sum = 0, hfr = 0, previousD = 0, previousSum = 0;
        for (const auto& [d, f] : ring) {
            sum += f;
            if (sum >= flux / 2) {
                hfr = previousD + (d - previousD) * (flux / 2 - previousSum) / std::max(f, 1e-9);
                break;
            }
            previousD = d;
            previousSum = sum;
        }
        hfrs.push_back(hfr * scale);
        fwhms.push_back(2 * std::sqrt(halfMaximum / M_PI) * scale);
        const double fx = (cx + 0.5) * scale - 0.5, fy = (cy + 0.5) * scale - 0.5;
        const double fromCentre = std::hypot(fx - width * scale / 2, fy - height * scale / 2);
        if (fromCentre < nearest) {
            nearest = fromCentre;
            figures.centreX = fx;
            figures.centreY = fy;
        }
    }
    figures.count = static_cast<int>(hfrs.size());
    auto median = [](std::vector<double>& values) {
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        return values[values.size() / 2];
    };
    if (figures.count > 0) {
        figures.hfrPx = median(hfrs);
        figures.fwhmPx = median(fwhms);
    }
    return figures;
}

FrameSummary SummariseFrame(const FrameImage& image, int longSide)
{
    FrameSummary view;
    view.histogram = HistogramOf(image);
    if (image.width < 2 || image.height < 2)
        return view;
    const Planes half = HalfSize(image);
    std::array<std::vector<uint8_t>, 3> tables;
    for (int c = 0; c < 3; ++c)
        tables[c] = Stretch(half.colour[c], image.white);
    const int bin = std::max(1, (std::max(half.width, half.height) + longSide - 1) / longSide);
    view.preview = Render(half, tables, 0, 0, half.width, half.height, bin);
    view.stars = MeasureStars(half.lum, half.width, half.height, static_cast<float>(image.white), 2.0);
    if (view.stars.count > 0) {
        constexpr int ZOOM = 32;
        const int size = std::min({ZOOM, half.width, half.height});
        const int left = std::clamp(static_cast<int>(view.stars.centreX / 2) - size / 2, 0, half.width - size);
        const int top = std::clamp(static_cast<int>(view.stars.centreY / 2) - size / 2, 0, half.height - size);
        view.zoom = Render(half, tables, left, top, size, size, 1);
    }
    return view;
}
