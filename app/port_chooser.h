// The port chooser dialog and the opening of the chosen serial or parallel
// port, with a message that says why when it does not open.
#pragma once

#include <string>

#include "ports/ports.h"

class wxString;
class wxWindow;

// The line under the chooser's list for an entry: its device and whether it
// is there ("/dev/ttyUSB0 — present", "— not found").
wxString DeviceLine(const std::string& entry);

// Shows the port chooser (22 entries), `choice` selected when it is one of
// them (the port chosen last time), and opens the chosen port of `ports`:
// its kind and chooser entry in `kind` and `choice`. False when the user
// cancelled or the port could not be opened or configured; its own message
// box has been shown then. The dialogs are centred on `parent`.
bool ChooseAndOpenPort(wxWindow* parent, Ports& ports, PortKind& kind, std::string& choice);

// The caption of the messages about the port, at start-up and File > Port….
inline constexpr const char* PORT_MESSAGE_CAPTION = "Vantrel";
