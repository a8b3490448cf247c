#include "mainwindow/line_actions.h"

#include "mainwindow/af_mode.h"
#include "mainwindow/clock.h"
#include "ports/ports.h"

namespace {

// What the exposure's start set: its end releases exactly that, whatever
// the AF mode is by then, so that no line stays active after a frame.
bool exposing = false;
bool focusSet = false;

void SerialLinesOn()
{
    SetSerialShutter(true);
    focusSet = AFMode != AF_NONE;
    if (focusSet)
        SetSerialFocus(true);
}

void DsusbLinesOn()
{
    DsusbSignalExposing();
    DsusbShutterOn();
    focusSet = AFMode != AF_NONE;
    if (focusSet)
        DsusbFocusOn();
}

// On "-IR" the focus line powers the remote and stays set.
void ReleaseFocus()
{
    if (!focusSet)
        return;
    focusSet = false;
    if (ActivePort == PORT_DSUSB)
        DsusbFocusOff();
    else if (ActivePort == PORT_SERIAL)
        SetSerialFocus(false);
}

}  // namespace

void MirrorLockPulse(Clock& clock)
{
    switch (ActivePort) {
    case PORT_DSUSB:
        DsusbLinesOn();
        clock.SleepMs(DSUSB_MIRROR_PULSE_MS);
        DsusbShutterOff();
        ReleaseFocus();
        break;
    case PORT_SERIAL:
    case PORT_SERIAL_IR:
        SerialLinesOn();
        clock.SleepMs(PULSE_MS);
        SetSerialShutter(false);
        ReleaseFocus();
        break;
    case PORT_PARALLEL:
        SetParallelLine(true);
        clock.SleepMs(PARALLEL_MIRROR_PULSE_MS);
        SetParallelLine(false);
        break;
    case PORT_NONE:
        break;
    }
}

void ExposureStart()
{
    exposing = true;
    switch (ActivePort) {
    case PORT_DSUSB:
        DsusbLinesOn();
        break;
    case PORT_SERIAL:
    case PORT_SERIAL_IR:
        SerialLinesOn();
        break;
    case PORT_PARALLEL:
        SetParallelLine(true);
        break;
    case PORT_NONE:
        break;
    }
}

void StartPulse(Clock& clock)
{
    clock.SleepMs(PULSE_MS);
    switch (ActivePort) {
    case PORT_DSUSB:
    case PORT_SERIAL:
        if (AFMode == AF_PULSE_AT_START)
            ReleaseFocus();
        break;
    case PORT_SERIAL_IR:
        SetSerialShutter(false);  // the opening pulse ends; the focus line stays
        break;
    case PORT_PARALLEL:
    case PORT_NONE:
        break;
    }
}

void ExposureEnd(Clock& clock)
{
    exposing = false;
    switch (ActivePort) {
    case PORT_DSUSB:
        DsusbShutterOff();
        ReleaseFocus();
        break;
    case PORT_SERIAL:
        SetSerialShutter(false);
        ReleaseFocus();
        break;
    case PORT_SERIAL_IR:
        SetSerialShutter(true);  // the closing pulse
        clock.SleepMs(PULSE_MS);
        SetSerialShutter(false);
        break;
    case PORT_PARALLEL:
        SetParallelLine(false);
        break;
    case PORT_NONE:
        break;
    }
}

bool ExposureInProgress() { return exposing; }
