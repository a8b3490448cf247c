#include "app/startup.h"

#include <wx/msgdlg.h>

#include "mainwindow/main_frame.h"
#include "mainwindow/settings.h"
#include "ports/ports.h"

MyFrame* OpenMainWindowAndPort()
{
    ReadPortDevices();
    MainFrame = new MyFrame("Vantrel");
    MyFrame* frame = MainFrame;
    frame->Show(true);

    if (DsusbOpen()) {
        frame->SetStatusText("DSUSB Connected", 0);
        ActivePort = PORT_DSUSB;
        ActivePortName = "DSUSB";
        DsusbPrepare();
        DsusbSignalIdle();
        return frame;
    }
    frame->SetStatusText("NOT CONNECTED", 0);
    // A box that is there but may not be used is not "not found".
    if (DsusbPresent())
        wxMessageBox(wxString::FromUTF8("ShoeString DSUSB found but not usable: " + PortErrorText()), "Message");
    if (ChooseAndOpenPort()) {
        frame->SetStatusText(ActivePort == PORT_PARALLEL ? "Parallel port connected" : "Serial port connected", 0);
        return frame;
    }
    ActivePort = PORT_NONE;
    ActivePortName.clear();
    wxMessageBox("No long-exposure port connected.  No trigger pulses can be sent", "Message", wxOK | wxCENTRE);
    return frame;
}
