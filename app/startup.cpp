#include "app/startup.h"

#include <wx/msgdlg.h>

#include <memory>
#include <string>

#include "app/port_chooser.h"
#include "app/settings.h"
#include "ports/open_port.h"
#include "ports/ports.h"
#include "ports/trigger_lines.h"

namespace {

// The settings file's key for the port chosen last, selected in the
// chooser the next time (never opened without the user's OK).
const char* const PORT_KEY = "Port";

struct Connection {
    PortKind kind = PORT_NONE;
    std::string choice;
};

void Connected(MyFrame* frame, const Connection& connection)
{
    frame->SetStatusText(PortKindOf(connection.kind).connected, 0);
    frame->Connect(connection.kind, connection.choice);
}

// The box if one answers, else the port the user picks; the outcome on the
// status line, and a message without a port. When nothing is chosen (the
// chooser cancelled, or the port chosen would not open), the port in use
// `before` is opened again: File > Port… never costs a working port.
Connection ConnectPort(MyFrame* frame, Ports& ports, SettingsStore& settings, const Connection& before = {})
{
    const PortOpening box = OpenPort(ports, "DSUSB");
    if (box.kind == PORT_DSUSB) {
        Connected(frame, {PORT_DSUSB, "DSUSB"});
        return {PORT_DSUSB, "DSUSB"};
    }
    frame->SetStatusText(PortKindOf(PORT_NONE).connected, 0);
    // A box that is there but may not be used is not "not found".
    if (ports.DsusbPresent())
        wxMessageBox(wxString::FromUTF8("ShoeString DSUSB found but not usable: " + box.reason), PORT_MESSAGE_CAPTION,
                     wxOK | wxICON_WARNING | wxCENTRE, frame);
    Connection chosen;
    chosen.choice = settings.ReadText(PORT_KEY);
    const bool opened = ChooseAndOpenPort(frame, ports, chosen.kind, chosen.choice);
    if (!chosen.choice.empty())
        settings.WriteText(PORT_KEY, chosen.choice);
    if (opened) {
        Connected(frame, chosen);
        return chosen;
    }
    if (before.kind != PORT_NONE && OpenPort(ports, before.choice).kind == before.kind) {
        Connected(frame, before);
        return before;
    }
    frame->Connect(PORT_NONE, "");
    wxMessageBox("No long-exposure port connected.  No trigger pulses can be sent", PORT_MESSAGE_CAPTION,
                 wxOK | wxICON_WARNING | wxCENTRE, frame);
    return {};
}

}  // namespace

MyFrame* OpenMainWindowAndPort(const WindowParts& parts)
{
    ReadPortDevices();
    MainFrame = new MyFrame("Vantrel", parts);
    MyFrame* frame = MainFrame;
    frame->Show(true);
    Ports& ports = parts.ports;
    SettingsStore& settings = parts.settings;
    // File > Port…: the port in use released, then connected again as at
    // start-up, so that a wrong choice or an adapter plugged in late needs
    // no restart.
    auto connection = std::make_shared<Connection>();
    frame->Bind(
        wxEVT_MENU,
        [frame, &ports, &settings, connection](wxCommandEvent&) {
            if (frame->Busy())
                return;
            frame->ReleasePort();
            frame->SetStatusText("", 0);
            ReadPortDevices();
            *connection = ConnectPort(frame, ports, settings, *connection);
        },
        ID_CHOOSE_PORT);
    *connection = ConnectPort(frame, ports, settings);
    return frame;
}
