// The port chooser and the opening of the chosen serial or parallel port.
#include <wx/arrstr.h>
#include <wx/choicdlg.h>
#include <wx/msgdlg.h>

#include "ports/backends.h"
#include "ports/port_choice.h"
#include "ports/ports.h"

namespace {

bool OpenParallel(const PortChoice& choice)
{
    ParallelAddress = choice.address;
    ParallelPinMask = choice.pinMask;
    // Where no port answers at the address, the line operations do nothing
    // and the port still counts as connected.
    ParallelLines().Open(ParallelAddress);
    SetParallelLine(false);
    ActivePort = PORT_PARALLEL;
    return true;
}

bool OpenSerial(const PortChoice& choice)
{
    SerialBackend& serial = SerialLines();
    if (!serial.Open(choice.portName)) {
        wxMessageBox("Could not attach to " + choice.portName, "Message");
        return false;
    }
    if (!serial.Configure()) {
        serial.Close();
        wxMessageBox("Cannot configure " + choice.portName, "Message");
        return false;
    }
    serial.SetRts(false);
    ActivePort = choice.infrared ? PORT_SERIAL_IR : PORT_SERIAL;
    serial.SetDtr(choice.infrared);
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
    const PortChoice choice = DecodePortChoice(PortChoiceTexts()[index]);
    return choice.parallel ? OpenParallel(choice) : OpenSerial(choice);
}
