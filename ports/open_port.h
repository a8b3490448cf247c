// Opening a port by what the user gives: a chooser entry ("COM5",
// "COM5-IR", "0x378-LPT1 Pin3"), "DSUSB" for the box, or a serial device's
// path. The one way the port chooser, File > Port… and the INDI driver
// open a port. No toolkit.
#pragma once

#include <string>

#include "ports/ports.h"

// What came of it: the port's kind, or why it did not open.
struct PortOpening {
    PortKind kind = PORT_NONE;  // PORT_NONE: not opened
    // "Could not attach to COM5", "Cannot configure COM5", or why the text
    // names no port at all.
    std::string failure;
    std::string device;  // the device the reason is about; "" when the reason names it
    std::string reason;  // "permission denied (…)", or the backend's own words
};

// Opens the port and sets its lines idle: a serial port's RTS released
// and DTR set only on "-IR" (it powers the remote), the parallel port's
// shutter bit cleared, the box's lines released and its light off.
PortOpening OpenPort(Ports& ports, const std::string& text);

// Whether `path` is the device of a serial port (a UART, a USB-serial
// adapter, a USB modem) or of a parallel port, and not a console, a
// terminal or any other file: by the device it resolves to, as `sysfs` (the
// kernel's /sys) tells of it. Nothing is opened. False with `why`.
bool IsPortDevice(const std::string& path, const std::string& sysfs, std::string& why);
