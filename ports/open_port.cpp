#include "ports/open_port.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "ports/backends.h"
#include "ports/port_choice.h"

namespace {

PortOpening Failed(const std::string& failure, const std::string& device, const std::string& reason)
{
    PortOpening opening;
    opening.failure = failure;
    opening.device = device;
    opening.reason = reason;
    return opening;
}

PortOpening Opened(PortKind kind)
{
    PortOpening opening;
    opening.kind = kind;
    return opening;
}

}  // namespace

PortOpening OpenPort(Ports& ports, const std::string& text)
{
    if (text == "DSUSB") {
        if (!ports.DsusbOpen())
            return Failed("Could not attach to DSUSB", "", ports.PortErrorText());
        ports.DsusbPrepare();
        ports.DsusbSignalIdle();
        return Opened(PORT_DSUSB);
    }
    const auto& entries = PortChoiceTexts();
    if ((text.empty() || text[0] != '/') && std::find(entries.begin(), entries.end(), text) == entries.end())
        return Failed("\"" + text +
                          "\" is not a port: give a chooser name (COM5, COM5-IR, 0x378-LPT1, DSUSB) or a device path",
                      "", "");
    const PortChoice choice = DecodePortChoice(text);
    const std::string couldNot = "Could not attach to " + choice.portName;
    if (choice.parallel) {
        if (ports.OpenParallelPort(text))
            return Opened(PORT_PARALLEL);
        const std::string device = PortDevicePath(choice.deviceName);
        const ParallelBackend& port = ports.Parallel();
        if (device.empty() && port.Error() == ENODEV && !port.Device().empty()) {
            char address[16];
            std::snprintf(address, sizeof address, "0x%X", choice.address);
            return Failed(couldNot, "",
                          std::string("no parallel port at ") + address + " (" + port.Device() + ": no such device)");
        }
        return Failed(couldNot, device.empty() ? "parallel port at " + choice.portName : device, ports.PortErrorText());
    }
    switch (ports.OpenSerialPort(text)) {
    case SERIAL_OPEN_FAILED:
        // The backend's own words (a lock file held) name their file.
        return Failed(couldNot, ports.Serial().ErrorDetail().empty() ? ports.Serial().Device() : "",
                      ports.PortErrorText());
    case SERIAL_CONFIGURE_FAILED:
        return Failed("Cannot configure " + choice.portName, ports.Serial().Device(), ports.PortErrorText());
    case SERIAL_OPENED:
        break;
    }
    return Opened(choice.infrared ? PORT_SERIAL_IR : PORT_SERIAL);
}
