#include "mainwindow/xpm_bitmap.h"

#include <wx/image.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Colour {
    bool known = false;
    bool transparent = false;
    unsigned char rgb[3] = {0, 0, 0};
};

// "<char> c #RRGGBB" or "<char> c None".
bool ReadColour(const char* entry, Colour& colour)
{
    const char* text = std::strstr(entry + 1, " c ");
    if (!text)
        return false;
    text += 3;
    while (*text == ' ')
        ++text;
    if (std::strcmp(text, "None") == 0) {
        colour.transparent = true;
        colour.known = true;
        return true;
    }
    if (text[0] != '#' || std::strlen(text) != 7)
        return false;
    const unsigned long value = std::strtoul(text + 1, nullptr, 16);
    colour.rgb[0] = static_cast<unsigned char>(value >> 16);
    colour.rgb[1] = static_cast<unsigned char>(value >> 8);
    colour.rgb[2] = static_cast<unsigned char>(value);
    colour.known = true;
    return true;
}

}  // namespace

wxBitmap XpmBitmap(const char* const* xpm)
{
    int width = 0;
    int height = 0;
    int colours = 0;
    int charsPerPixel = 0;
    if (std::sscanf(xpm[0], "%d %d %d %d", &width, &height, &colours, &charsPerPixel) != 4 || charsPerPixel != 1 ||
        width <= 0 || height <= 0)
        return wxBitmap(xpm);

    std::array<Colour, 256> palette{};
    bool anyTransparent = false;
    for (int i = 1; i <= colours; ++i) {
        Colour& colour = palette[static_cast<unsigned char>(xpm[i][0])];
        if (!ReadColour(xpm[i], colour))
            return wxBitmap(xpm);
        anyTransparent = anyTransparent || colour.transparent;
    }

    wxImage image(width, height, false);
    unsigned char* rgb = image.GetData();
    unsigned char* alpha = nullptr;
    if (anyTransparent) {
        image.SetAlpha();
        alpha = image.GetAlpha();
    }
    for (int y = 0; y < height; ++y) {
        const char* row = xpm[1 + colours + y];
        if (std::strlen(row) < static_cast<size_t>(width))
            return wxBitmap(xpm);
        for (int x = 0; x < width; ++x, rgb += 3) {
            const Colour& colour = palette[static_cast<unsigned char>(row[x])];
            if (!colour.known)
                return wxBitmap(xpm);
            std::memcpy(rgb, colour.rgb, 3);
            if (alpha)
                *alpha++ = colour.transparent ? 0 : 255;
        }
    }
    return wxBitmap(image);
}
