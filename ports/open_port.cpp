#include "ports/open_port.h"

#include <algorithm>

#include "ports/port_choice.h"
#include "ports/trigger_lines.h"

PortOpening OpenPort(Ports& ports, const std::string& text)
{
    const auto& entries = PortChoiceTexts();
    const bool named = text == "DSUSB" || (!text.empty() && text[0] == '/') ||
        std::find(entries.begin(), entries.end(), text) != entries.end();
    if (!named) {
        PortOpening opening;
        opening.failure =
            "\"" + text + "\" is not a port: give a chooser name (COM5, COM5-IR, 0x378-LPT1, DSUSB) or a device path";
        return opening;
    }
    return PortKindFor(text)->open(ports, text);
}
