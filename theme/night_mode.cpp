#include "theme/night_mode.h"

#include <wx/image.h>
#include <wx/settings.h>

#include <gtk/gtk.h>

namespace {

// Dim red text on black. Shadows, gradients and focus rings would be grey
// or blue: they go, or turn red. The selection is darker red behind the
// same text.
const char* const NIGHT_CSS = R"css(
* {
    color: #d00000;
    background-color: #000000;
    background-image: none;
    border-color: #500000;
    outline-color: #900000;
    box-shadow: none;
    text-shadow: none;
    -gtk-icon-shadow: none;
    caret-color: #ff0000;
}
*:disabled, *:disabled label { color: #700000; }
*:hover { background-color: #200000; }
*:checked, *:active { background-color: #300000; }
selection, *:selected, *:selected:focus, textview text selection {
    color: #ff0000;
    background-color: #500000;
}
tooltip, tooltip * { background-color: #100000; border-color: #500000; }
progressbar progress { background-color: #900000; border-color: #900000; }
scrollbar slider { background-color: #500000; }
/* Drawn over a scrolled list's edges: black there would hide its rows. */
undershoot, overshoot { background-color: transparent; }
)css";

GtkCssProvider* provider = nullptr;
bool nightMode = false;

// The night's own, as the style sheet has them.
const wxColour NIGHT_GROUND(0x00, 0x00, 0x00);
const wxColour NIGHT_TEXT(0xd0, 0x00, 0x00);

// The theme's colours, read while the night's style sheet is not applied
// (the toolkit keeps what it read first).
struct DayColours {
    wxColour ground;
    wxColour text;
};
const DayColours& Day()
{
    static const DayColours day{wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW),
                                wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT)};
    return day;
}

}  // namespace

void SetNightMode(bool on)
{
    GdkScreen* screen = gdk_screen_get_default();
    if (on == nightMode || !screen)
        return;
    Day();
    if (!provider) {
        provider = gtk_css_provider_new();
        gtk_css_provider_load_from_data(provider, NIGHT_CSS, -1, nullptr);
    }
    // Above the theme and the user's own style sheet.
    if (on)
        gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(provider),
                                                  GTK_STYLE_PROVIDER_PRIORITY_USER + 1);
    else
        gtk_style_context_remove_provider_for_screen(screen, GTK_STYLE_PROVIDER(provider));
    nightMode = on;
    // Title bars drawn by the toolkit, or by a window manager that follows
    // it, go dark too.
    // Day mode gives back what the desktop had asked for.
    static int desktopDark = -1;
    if (GtkSettings* settings = gtk_settings_get_default()) {
        if (desktopDark < 0) {
            gboolean dark = FALSE;
            g_object_get(settings, "gtk-application-prefer-dark-theme", &dark, nullptr);
            desktopDark = dark ? 1 : 0;
        }
        g_object_set(settings, "gtk-application-prefer-dark-theme", on || desktopDark == 1, nullptr);
    }
}

bool NightMode() { return nightMode; }

wxColour GroundColour() { return nightMode ? NIGHT_GROUND : Day().ground; }
wxColour TextColour() { return nightMode ? NIGHT_TEXT : Day().text; }

wxBitmap RedVersion(const wxBitmap& bitmap)
{
    wxImage image = bitmap.ConvertToImage();
    unsigned char* pixel = image.GetData();
    const long count = static_cast<long>(image.GetWidth()) * image.GetHeight();
    for (long i = 0; i < count; ++i, pixel += 3) {
        // The eye's weights for the three channels, in 1/256ths.
        pixel[0] = static_cast<unsigned char>((77 * pixel[0] + 150 * pixel[1] + 29 * pixel[2]) >> 8);
        pixel[1] = 0;
        pixel[2] = 0;
    }
    return wxBitmap(image);
}
