// MyApp: names the vendor, builds the engine's production parts (the clock,
// the guider, the sleep inhibitor, the exposure log, the settings file),
// opens the main window on them and connects a port; ends the program
// through the close path on SIGTERM, SIGINT and SIGHUP.
#include <X11/Xlib.h>
#include <glib.h>
#include <wx/app.h>
#include <wx/modalhook.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <unistd.h>

#include "app/command_line.h"
#include "app/desktop_notifier.h"
#include "app/settings.h"
#include "app/startup.h"
#include "app/toolkit_clock.h"
#include "mainwindow/main_frame.h"

class MyApp : public wxApp {
public:
    bool OnInit() override;
    // The runner's timer goes while the toolkit is still there.
    int OnExit() override
    {
        runThread_.reset();
        clock_.reset();
        return wxApp::OnExit();
    }

private:
    std::unique_ptr<Ports> ports_;
    std::unique_ptr<Clock> clock_;
    std::unique_ptr<Guider> guider_;
    std::unique_ptr<SleepInhibitor> sleep_;
    std::unique_ptr<ExposureLog> log_;
    std::unique_ptr<SettingsStore> settings_;
    std::unique_ptr<DesktopNotifier> notifier_;
    std::unique_ptr<RunThread> runThread_;
};

wxIMPLEMENT_APP_NO_MAIN(MyApp);

// The command line is answered before the toolkit looks for a display.
int main(int argc, char** argv)
{
    const int answered = AnswerCommandLine(argc, argv);
    if (answered >= 0)
        return answered;
    return wxEntry(argc, argv);
}

namespace {

// Counts the modal dialogs that are open, message boxes included.
class ModalCount : public wxModalDialogHook {
public:
    int open = 0;

protected:
    int Enter(wxDialog*) override
    {
        ++open;
        return wxID_NONE;
    }
    void Exit(wxDialog*) override { --open; }
};

ModalCount modals;

// Handled in the event loop (the toolkit's signal pipe), not in the signal
// handler. The close path ends a run with its exposure-end actions,
// releases the port, saves the AF mode and destroys the window, and the
// program ends with status 0. Under a modal message box the window cannot
// close, so the same is done at once and the process ends there.
void OnTerminationSignal(int)
{
    MyFrame* frame = MainFrame;
    if (!frame)
        std::exit(0);
    const bool onlyTheEditor = modals.open == 1 && frame->IsScriptEditorOpen();
    if (modals.open > 0 && !onlyTheEditor) {
        frame->ReleaseEverything(true);
        std::fflush(nullptr);
        _exit(0);
    }
    frame->Close(true);
    // The window is destroyed at the next idle time; a signal is not an
    // event that brings one about.
    wxWakeUpIdle();
}

// When the X server goes away (at logout), the toolkit's handler ends the
// process with _exit (on Wayland, GDK does so itself), past every exit-time
// handler: the lines are released, the exposure logged and the AF mode
// saved first, here, without the toolkit (its display is gone).
XIOErrorHandler toolkitDisplayLost = nullptr;

void ReleaseLinesAtExit()
{
    if (MainFrame)
        MainFrame->ReleaseAtExit();
}

int OnDisplayLost(Display* display)
{
    if (MainFrame)
        MainFrame->ReleaseEverything(false);
    return toolkitDisplayLost ? toolkitDisplayLost(display) : 0;
}

// GDK's Wayland backend has no handler to chain: when the compositor goes
// (a logout, a crash) it logs a message and calls _exit(1) straight after.
// That message is the last moment the program has. (The toolkit installs
// a log writer of its own only after GTKAllowDiagnosticsControl, which this
// program never calls: there is one writer per process.)
bool WaylandConnectionLost(const char* domain, const char* message)
{
    if (!domain || !message || std::strcmp(domain, "Gdk") != 0)
        return false;
    for (const char* start :
         {"Error reading events from display", "Error flushing display", "Lost connection to Wayland compositor"})
        if (g_str_has_prefix(message, start))
            return true;
    return std::strstr(message, "dispatching to Wayland display") != nullptr;
}

GLogWriterOutput OnLogMessage(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer data)
{
    const char* domain = nullptr;
    const char* message = nullptr;
    for (gsize i = 0; i < count; ++i) {
        if (fields[i].length >= 0)
            continue;  // not a string
        if (!std::strcmp(fields[i].key, "GLIB_DOMAIN"))
            domain = static_cast<const char*>(fields[i].value);
        else if (!std::strcmp(fields[i].key, "MESSAGE"))
            message = static_cast<const char*>(fields[i].value);
    }
    if (WaylandConnectionLost(domain, message) && MainFrame)
        MainFrame->ReleaseEverything(false);
    return g_log_writer_default(level, fields, count, data);
}

}  // namespace

bool MyApp::OnInit()
{
    // Before the window exists: it opens the configuration store, which
    // lives under the vendor's name.
    SetVendorName("Tessmar");
    modals.Register();
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        SetSignalHandler(signal, OnTerminationSignal);
    // A file-size limit (ulimit -f) fails the exposure log's write instead
    // of ending the program in the middle of an exposure.
    std::signal(SIGXFSZ, SIG_IGN);
    // Any other way out releases the lines too.
    std::atexit(ReleaseLinesAtExit);
    toolkitDisplayLost = XSetIOErrorHandler(OnDisplayLost);
    g_log_set_writer_func(OnLogMessage, nullptr, nullptr);
    ports_ = MakeSystemPorts();
    clock_ = MakeToolkitClock();
    const GuiderAddress guider = ReadGuiderAddress();
    guider_ = MakePhd2Guider(guider.host, guider.port);
    sleep_ = MakeLogindInhibitor();
    log_ = MakeFileExposureLog();
    settings_ = MakeSettingsFileStore();
    notifier_ = MakeDesktopNotifier();
    try {
        runThread_ = std::make_unique<RunThread>();
    } catch (const std::system_error& error) {  // the runs go on the window's loop
        std::fprintf(stderr, "vantrel: runs on the window's thread (%s)\n", error.what());
    }
#ifdef VANTREL_GPHOTO
    const CameraLinkMaker makeCameraLink = MakeGphotoLink;
#else
    const CameraLinkMaker makeCameraLink = nullptr;
#endif
    OpenMainWindowAndPort(
        {*ports_, *clock_, *guider_, *sleep_, *log_, *settings_, *notifier_, runThread_.get(), makeCameraLink});
    return true;
}
