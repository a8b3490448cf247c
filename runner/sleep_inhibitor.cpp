#include "runner/sleep_inhibitor.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <cstdio>

namespace {

// logind answers at once; a bus that hangs must not hold up the Start.
constexpr int CALL_TIMEOUT_MS = 2000;

class LogindInhibitor : public SleepInhibitor {
public:
    ~LogindInhibitor() override { Release(); }
    void Inhibit() override;
    void Release() override;
    bool Held() const override { return inhibitorFd >= 0; }

private:
    void WarnOnce(const char* why)
    {
        if (warned)
            return;
        warned = true;
        std::fprintf(stderr, "vantrel: cannot keep the machine awake during runs (%s)\n", why);
    }

    int inhibitorFd = -1;
    bool warned = false;
};

void LogindInhibitor::Inhibit()
{
    if (inhibitorFd >= 0)
        return;
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (!bus) {
        WarnOnce(error ? error->message : "no system bus");
        g_clear_error(&error);
        return;
    }
    GUnixFDList* fds = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "Inhibit",
        g_variant_new("(ssss)", "sleep:idle", "Vantrel", "Exposure sequence running", "block"), G_VARIANT_TYPE("(h)"),
        G_DBUS_CALL_FLAGS_NONE, CALL_TIMEOUT_MS, nullptr, &fds, nullptr, &error);
    if (reply) {
        gint32 index = -1;
        g_variant_get(reply, "(h)", &index);
        inhibitorFd = fds ? g_unix_fd_list_get(fds, index, &error) : -1;
        g_variant_unref(reply);
    }
    if (inhibitorFd < 0)
        WarnOnce(error ? error->message : "logind gave no inhibitor");
    g_clear_error(&error);
    if (fds)
        g_object_unref(fds);
    g_object_unref(bus);
}

void LogindInhibitor::Release()
{
    if (inhibitorFd < 0)
        return;
    close(inhibitorFd);
    inhibitorFd = -1;
}

}  // namespace

std::unique_ptr<SleepInhibitor> MakeLogindInhibitor() { return std::make_unique<LogindInhibitor>(); }
