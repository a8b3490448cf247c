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

// Shows the port chooser: the 22 entries, each serial one saying whether its
// device is there, a device path chosen before and "Other device…", which
// asks for a path. Selected: `choice` when it is one of them (the port
// chosen last time); on a first start (`choice` empty) the first entry with
// a plugged USB-serial adapter behind it, else the first. Opens the chosen
// port of `ports` (only after OK): its kind and entry (or path) in `kind`
// and `choice`. False when the user cancelled or the port could not be
// opened or configured; its own message box has been shown then. The
// dialogs are centred on `parent`.
bool ChooseAndOpenPort(wxWindow* parent, Ports& ports, PortKind& kind, std::string& choice);

// The caption of the messages about the port, at start-up and File > Port….
inline constexpr const char* PORT_MESSAGE_CAPTION = "Vantrel";
