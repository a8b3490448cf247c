// The port chooser and the opening of the chosen serial or parallel port.
#include <wx/arrstr.h>
#include <wx/choicdlg.h>
#include <wx/msgdlg.h>

#include <cerrno>
#include <cstdio>

#include "app/port_chooser.h"
#include "ports/backends.h"
#include "ports/port_choice.h"

namespace {

// The first line as it always was; the second names the device and why
// (in the backend's own words where it has them). A long path is shortened
// in the box, and the whole message goes to stderr then.
void ShowOpenFailure(wxWindow* parent, const Ports& ports, const wxString& firstLine, const std::string& device,
                     const std::string& detail = "")
{
    const std::string why = detail.empty() ? device + ": " + ports.PortErrorText() : detail;
    const std::string shortWhy =
        detail.empty() ? ShortenedPath(device) + ": " + ports.PortErrorText() : ShortenedPath(detail);
    if (shortWhy != why)
        std::fprintf(stderr, "vantrel: %s: %s\n", firstLine.utf8_str().data(), why.c_str());
    wxMessageBox(firstLine + "\n" + wxString::FromUTF8(shortWhy), "Message", wxOK | wxCENTRE, parent);
}

bool OpenChosen(wxWindow* parent, Ports& ports, const std::string& text, PortKind& kind)
{
    const PortChoice choice = DecodePortChoice(text);
    if (choice.parallel) {
        if (!ports.OpenParallelPort(text)) {
            const std::string device = PortDevicePath(choice.deviceName);
            const ParallelBackend& port = ports.Parallel();
            if (device.empty() && port.Error() == ENODEV && !port.Device().empty()) {
                char address[16];
                std::snprintf(address, sizeof address, "0x%X", choice.address);
                ShowOpenFailure(parent, ports, "Could not attach to " + choice.portName, "",
                                std::string("no parallel port at ") + address + " (" + port.Device() +
                                    ": no such device)");
                return false;
            }
            ShowOpenFailure(parent, ports, "Could not attach to " + choice.portName,
                            device.empty() ? "parallel port at " + choice.portName : device);
            return false;
        }
        kind = PORT_PARALLEL;
    } else {
        switch (ports.OpenSerialPort(text)) {
        case SERIAL_OPEN_FAILED:
            ShowOpenFailure(parent, ports, "Could not attach to " + choice.portName, ports.Serial().Device(),
                            ports.Serial().ErrorDetail());
            return false;
        case SERIAL_CONFIGURE_FAILED:
            ShowOpenFailure(parent, ports, "Cannot configure " + choice.portName, ports.Serial().Device());
            return false;
        case SERIAL_OPENED:
            break;
        }
        kind = choice.infrared ? PORT_SERIAL_IR : PORT_SERIAL;
    }
    return true;
}

}  // namespace

bool ChooseAndOpenPort(wxWindow* parent, Ports& ports, PortKind& kind, std::string& chosen)
{
    wxArrayString texts;
    for (const std::string& text : PortChoiceTexts())
        texts.Add(text);
    const int index = wxGetSingleChoiceIndex("ShoeString DSUSB not found\nSelect your Serial/Parallel port",
                                             "COM/LPT port", texts, parent);
    if (index < 0)
        return false;
    chosen = PortChoiceTexts()[index];
    return OpenChosen(parent, ports, chosen, kind);
}
