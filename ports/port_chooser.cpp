// The port chooser and the opening of the chosen serial or parallel port.
#include <wx/arrstr.h>
#include <wx/choicdlg.h>
#include <wx/msgdlg.h>

#include "ports/backends.h"
#include "ports/port_choice.h"
#include "ports/ports.h"

namespace {

// The first line as it always was; the second names the device and why.
void ShowOpenFailure(const wxString& firstLine, const std::string& device)
{
    wxMessageBox(firstLine + "\n" + wxString::FromUTF8(device + ": " + PortErrorText()), "Message");
}

bool OpenChosen(const std::string& text)
{
    const PortChoice choice = DecodePortChoice(text);
    if (choice.parallel) {
        if (!OpenParallelPort(text)) {
            const std::string device = PortDevicePath(choice.deviceName);
            ShowOpenFailure("Could not attach to " + choice.portName,
                            device.empty() ? "parallel port at " + choice.portName : device);
            return false;
        }
        ActivePort = PORT_PARALLEL;
    } else {
        switch (OpenSerialPort(text)) {
        case SERIAL_OPEN_FAILED:
            ShowOpenFailure("Could not attach to " + choice.portName, SerialLines().Device());
            return false;
        case SERIAL_CONFIGURE_FAILED:
            ShowOpenFailure("Cannot configure " + choice.portName, SerialLines().Device());
            return false;
        case SERIAL_OPENED:
            break;
        }
        ActivePort = choice.infrared ? PORT_SERIAL_IR : PORT_SERIAL;
    }
    ActivePortName = text;
    return true;
}

}  // namespace

bool ChooseAndOpenPort()
{
    wxArrayString texts;
    for (const std::string& text : PortChoiceTexts())
        texts.Add(text);
    const int index = wxGetSingleChoiceIndex("ShoeString DSUSB not found\nSelect your Serial/Parallel port",
                                             "COM/LPT port", texts, nullptr);
    if (index < 0)
        return false;
    return OpenChosen(PortChoiceTexts()[index]);
}
