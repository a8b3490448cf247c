#include "app/desktop_notifier.h"

#include <canberra-gtk.h>
#include <gio/gio.h>
#include <wx/frame.h>

#include <cstdio>

namespace {

constexpr int EXPIRE_DEFAULT = -1;

class FreedesktopNotifier : public DesktopNotifier {
public:
    ~FreedesktopNotifier() override
    {
        if (bus_)
            g_object_unref(bus_);
    }

    void Notify(const std::string& summary, const std::string& body) override
    {
        if (!bus_ && !tried_) {
            tried_ = true;
            GError* error = nullptr;
            bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
            if (!bus_)
                std::fprintf(stderr, "vantrel: no desktop notifications (%s)\n", error ? error->message : "no bus");
            g_clear_error(&error);
        }
        if (!bus_)
            return;
        GVariantBuilder actions;
        g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
        GVariantBuilder hints;
        g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
        g_dbus_connection_call(bus_, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                               "org.freedesktop.Notifications", "Notify",
                               g_variant_new("(susssasa{sv}i)", "Vantrel", 0u, "vantrel", summary.c_str(), body.c_str(),
                                             &actions, &hints, EXPIRE_DEFAULT),
                               nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
    }

    // Through the desktop's sound server; without one (or without the
    // sound), the display's bell.
    void Sound(const char* eventId, wxFrame& frame) override
    {
        ca_context* context = ca_gtk_context_get();
        if (!context || ca_gtk_play_for_widget(frame.GetHandle(), 0, CA_PROP_EVENT_ID, eventId, nullptr) != CA_SUCCESS)
            gdk_display_beep(gdk_display_get_default());
    }

private:
    GDBusConnection* bus_ = nullptr;
    bool tried_ = false;
};

}  // namespace

std::unique_ptr<DesktopNotifier> MakeDesktopNotifier() { return std::make_unique<FreedesktopNotifier>(); }
