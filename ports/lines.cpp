// The line operations, each a thin call on the backend of its port kind,
// and the DSUSB box's command byte.
#include "ports/backends.h"
#include "ports/port_choice.h"
#include "ports/ports.h"

PortKind ActivePort = PORT_NONE;
uint16_t ParallelAddress = 0;
uint16_t ParallelPinMask = 0;

void CloseSerialPort() { SerialLines().Close(); }

void SetSerialShutter(bool on)
{
    if (SerialLines().IsOpen())
        SerialLines().SetRts(on);
}

void SetSerialFocus(bool on)
{
    if (SerialLines().IsOpen())
        SerialLines().SetDtr(on);
}

void SetParallelLine(bool on)
{
    ParallelBackend& port = ParallelLines();
    if (port.IsOpen())
        port.WriteData(WithParallelLine(port.ReadData(), ParallelPinMask, on));
}

// The box takes one byte and acts on all of it, so the whole byte is sent at
// every change.
namespace {
constexpr uint8_t DSUSB_SHUTTER = 0x01;
constexpr uint8_t DSUSB_FOCUS = 0x02;
constexpr uint8_t DSUSB_LED_RED = 0x10;  // green when clear
constexpr uint8_t DSUSB_LED_ON = 0x20;

bool boxOpen = false;
uint8_t boxCommand = 0;

void SendBox(uint8_t command)
{
    if (!boxOpen)
        return;
    boxCommand = command;
    UsbBox().Send(boxCommand);
}
}  // namespace

bool DsusbOpen()
{
    boxCommand = 0;
    boxOpen = UsbBox().Open();
    return boxOpen;
}

void DsusbClose()
{
    if (!boxOpen)
        return;
    SendBox(0);
    UsbBox().Close();
    boxOpen = false;
}

void DsusbPrepare() { SendBox(0); }
void DsusbShutterOn() { SendBox(boxCommand | DSUSB_SHUTTER); }
void DsusbShutterOff() { SendBox(boxCommand & ~DSUSB_SHUTTER); }
void DsusbFocusOn() { SendBox(boxCommand | DSUSB_FOCUS); }
void DsusbFocusOff() { SendBox(boxCommand & ~DSUSB_FOCUS); }
void DsusbSignalActive() { SendBox(boxCommand | DSUSB_LED_ON); }
void DsusbSignalIdle() { SendBox(boxCommand & ~DSUSB_LED_ON); }
void DsusbSignalWaiting() { SendBox(boxCommand & ~DSUSB_LED_RED); }
void DsusbSignalExposing() { SendBox(boxCommand | DSUSB_LED_RED); }
