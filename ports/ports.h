// The trigger port: which kind is in use, and the operations that set the
// camera's shutter and focus lines on it.
//
// Everything here runs on the GUI thread. No line operation returns a
// result: a line change that fails marks the port lost (PortLost), and the
// runner stops at its next checkpoint. A release (a line made inactive) is
// tried up to three times, 10 ms apart, before it counts as failed. A line
// operation on a port that is not open (never opened, or closed again) does
// nothing at all.
#pragma once

#include <cstdint>
#include <string>

enum PortKind : int32_t {
    PORT_NONE = 0,
    PORT_DSUSB = 1,
    PORT_SERIAL = 2,
    PORT_SERIAL_IR = 3,  // RTS is pulsed, DTR stays set
    PORT_PARALLEL = 4,
};

// The parallel port's data register (base address) and the data bit that
// drives the shutter: 1 = data bit 0 (pin 2), 2 = data bit 1 (pin 3).
extern uint16_t ParallelAddress;
extern uint16_t ParallelPinMask;

// Opens the serial port of a chooser entry ("COM5", "COM5-IR"), configures
// it and sets its first line states: RTS released, DTR set on "-IR" (it
// powers the remote) and released otherwise.
enum SerialOpen { SERIAL_OPENED, SERIAL_OPEN_FAILED, SERIAL_CONFIGURE_FAILED };
SerialOpen OpenSerialPort(const std::string& choiceText);
// Releases the serial port. After it, the serial line operations do nothing.
void CloseSerialPort();
// Opens the parallel port of a chooser entry and clears its shutter bit,
// the other seven bits kept. False when it cannot be opened or claimed.
bool OpenParallelPort(const std::string& choiceText);
void CloseParallelPort();

// True once a line change failed on the open port: the device is gone or
// no longer answers. Cleared when a port is opened.
bool PortLost();
// Why the last open or line change failed, in the user's words, with the
// fix where there is one ("permission denied (add yourself to the group
// dialout, then log in again)").
std::string PortErrorText();

// A device path for a message box: one longer than `limit` characters is
// shortened in the middle with "…", so that the reason after it stays on the
// screen (the full path goes to stderr).
std::string ShortenedPath(const std::string& path, size_t limit = 80);

// Serial lines: RTS = shutter, DTR = focus. true = line active (asserted).
void SetSerialShutter(bool on);
void SetSerialFocus(bool on);
// Parallel: the ParallelPinMask bit of the data register, the other seven
// bits written back as read.
void SetParallelLine(bool on);

// The DSUSB box. DsusbOpen is true when a box was found and claimed; the
// other operations do nothing unless a box is open. DsusbPresent is true
// when DsusbOpen failed although a box is there (no permission, in use).
bool DsusbOpen();
bool DsusbPresent();
void DsusbClose();
void DsusbPrepare();
void DsusbShutterOn();
void DsusbShutterOff();
void DsusbFocusOn();
void DsusbFocusOff();
void DsusbSignalActive();
void DsusbSignalIdle();
void DsusbSignalWaiting();
void DsusbSignalExposing();
