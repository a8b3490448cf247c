#include "app/startup.h"

#include <wx/msgdlg.h>

#include "app/port_chooser.h"
#include "app/settings.h"
#include "ports/ports.h"

MyFrame* OpenMainWindowAndPort(const WindowParts& parts)
{
    ReadPortDevices();
    MainFrame = new MyFrame("Vantrel", parts);
    MyFrame* frame = MainFrame;
    frame->Show(true);

    Ports& ports = parts.ports;
    if (ports.DsusbOpen()) {
        frame->SetStatusText("DSUSB Connected", 0);
        ports.DsusbPrepare();
        ports.DsusbSignalIdle();
        frame->Connect(PORT_DSUSB, "DSUSB");
        return frame;
    }
    frame->SetStatusText("NOT CONNECTED", 0);
    // A box that is there but may not be used is not "not found".
    if (ports.DsusbPresent())
        wxMessageBox(wxString::FromUTF8("ShoeString DSUSB found but not usable: " + ports.PortErrorText()), "Message");
    PortKind kind = PORT_NONE;
    std::string choice;
    if (ChooseAndOpenPort(ports, kind, choice)) {
        frame->SetStatusText(kind == PORT_PARALLEL ? "Parallel port connected" : "Serial port connected", 0);
        frame->Connect(kind, choice);
        return frame;
    }
    wxMessageBox("No long-exposure port connected.  No trigger pulses can be sent", "Message", wxOK | wxCENTRE);
    return frame;
}
