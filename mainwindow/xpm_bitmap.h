#pragma once

#include <wx/bitmap.h>

// A bitmap from compiled-in XPM data. Images of one character a pixel with
// "#RRGGBB" and "None" colours are decoded here directly, many times faster
// than the toolkit's general decoder (which costs the banner several
// milliseconds at start-up); any other XPM goes to the toolkit.
wxBitmap XpmBitmap(const char* const* xpm);
