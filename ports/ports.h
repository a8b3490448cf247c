// The trigger port: which kind is in use, and the operations that set the
// camera's shutter and focus lines on it.
//
// Everything here runs on the GUI thread. No line operation reports a result:
// a line change that fails is ignored, and a line operation on a port that is
// not open (never opened, or closed again) does nothing at all.
#pragma once

#include <cstdint>

enum PortKind : int32_t {
    PORT_NONE = 0,
    PORT_DSUSB = 1,
    PORT_SERIAL = 2,
    PORT_SERIAL_IR = 3,  // RTS is pulsed, DTR stays set
    PORT_PARALLEL = 4,
};

// Set once at start-up; nothing changes it afterwards.
extern PortKind ActivePort;
// The parallel port's data register (base address) and the data bit that
// drives the shutter: 1 = data bit 0 (pin 2), 2 = data bit 1 (pin 3).
extern uint16_t ParallelAddress;
extern uint16_t ParallelPinMask;

// Shows the port chooser (22 entries), opens the chosen port and sets
// ActivePort. False when the user cancelled or the serial port could not be
// opened or configured; its own message box has been shown then.
// Defined with the window code, since it shows dialogs.
bool ChooseAndOpenPort();

// Releases the serial port. After it, the serial line operations do nothing.
void CloseSerialPort();

// Serial lines: RTS = shutter, DTR = focus. true = line active (asserted).
void SetSerialShutter(bool on);
void SetSerialFocus(bool on);
// Parallel: the ParallelPinMask bit of the data register, the other seven
// bits written back as read.
void SetParallelLine(bool on);

// The DSUSB box. DsusbOpen is true when a box was found and claimed; the
// other operations do nothing unless a box is open.
bool DsusbOpen();
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
