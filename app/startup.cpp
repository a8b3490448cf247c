#include "app/startup.h"

#include <wx/msgdlg.h>

#include "app/port_chooser.h"
#include "app/settings.h"
#include "ports/open_port.h"
#include "ports/ports.h"
#include "ports/trigger_lines.h"

namespace {

// The settings file's key for the port chosen last, selected in the
// chooser the next time (never opened without the user's OK).
const char* const PORT_KEY = "Port";

// The box if one answers, else the port the user picks; the outcome on the
// status line, and a message without a port.
void ConnectPort(MyFrame* frame, Ports& ports, SettingsStore& settings)
{
    const PortOpening box = OpenPort(ports, "DSUSB");
    if (box.kind == PORT_DSUSB) {
        frame->SetStatusText(PortKindOf(PORT_DSUSB).connected, 0);
        frame->Connect(PORT_DSUSB, "DSUSB");
        return;
    }
    frame->SetStatusText(PortKindOf(PORT_NONE).connected, 0);
    // A box that is there but may not be used is not "not found".
    if (ports.DsusbPresent())
        wxMessageBox(wxString::FromUTF8("ShoeString DSUSB found but not usable: " + box.reason), PORT_MESSAGE_CAPTION,
                     wxOK | wxICON_WARNING | wxCENTRE, frame);
    PortKind kind = PORT_NONE;
    std::string choice = settings.ReadText(PORT_KEY);
    const bool chosen = ChooseAndOpenPort(frame, ports, kind, choice);
    if (!choice.empty())
        settings.WriteText(PORT_KEY, choice);
    if (chosen) {
        frame->SetStatusText(PortKindOf(kind).connected, 0);
        frame->Connect(kind, choice);
        return;
    }
    frame->Connect(PORT_NONE, "");
    wxMessageBox("No long-exposure port connected.  No trigger pulses can be sent", PORT_MESSAGE_CAPTION,
                 wxOK | wxICON_WARNING | wxCENTRE, frame);
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
    frame->Bind(
        wxEVT_MENU,
        [frame, &ports, &settings](wxCommandEvent&) {
            if (frame->Busy())
                return;
            frame->ReleasePort();
            frame->SetStatusText("", 0);
            ReadPortDevices();
            ConnectPort(frame, ports, settings);
        },
        ID_CHOOSE_PORT);
    ConnectPort(frame, ports, settings);
    return frame;
}
