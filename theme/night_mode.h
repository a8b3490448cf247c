// Night mode: every window of the program red on black, to keep the eyes
// dark-adapted at the telescope. One style sheet for the whole screen, so
// that every window (the main window, the editor, the message boxes, the
// Large Display) follows it, those opened later too; the images that a
// style sheet cannot colour are given red versions.
#pragma once

#include <wx/bitmap.h>

// Turns night mode on or off for every window of the program.
void SetNightMode(bool on);
bool NightMode();

// For a window that paints its own ground (the Large Display): the desktop
// theme's colours by day, red on black by night. Such a window is given
// them again at each change.
wxColour GroundColour();
wxColour TextColour();

// The image in shades of red: the brightness of each pixel in the red
// channel, nothing in the others.
wxBitmap RedVersion(const wxBitmap& bitmap);
