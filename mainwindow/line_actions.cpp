#include "mainwindow/line_actions.h"

#include "mainwindow/af_mode.h"
#include "mainwindow/clock.h"
#include "ports/ports.h"

namespace {

void SerialLinesOn()
{
    SetSerialShutter(true);
    if (AFMode != AF_NONE)
        SetSerialFocus(true);
}

void DsusbLinesOn()
{
    DsusbSignalExposing();
    DsusbShutterOn();
    if (AFMode != AF_NONE)
        DsusbFocusOn();
}

}  // namespace

void MirrorLockPulse(Clock& clock)
{
    switch (ActivePort) {
    case PORT_DSUSB:
        DsusbLinesOn();
        clock.SleepMs(DSUSB_MIRROR_PULSE_MS);
        DsusbShutterOff();
        if (AFMode != AF_NONE)
            DsusbFocusOff();
        break;
    case PORT_SERIAL:
    case PORT_SERIAL_IR:
        SerialLinesOn();
        clock.SleepMs(PULSE_MS);
        SetSerialShutter(false);
        if (AFMode != AF_NONE)
            SetSerialFocus(false);
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
        if (AFMode == AF_PULSE_AT_START)
            DsusbFocusOff();
        break;
    case PORT_SERIAL:
        if (AFMode == AF_PULSE_AT_START)
            SetSerialFocus(false);
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
    switch (ActivePort) {
    case PORT_DSUSB:
        DsusbShutterOff();
        if (AFMode == AF_HELD_DURING)
            DsusbFocusOff();
        break;
    case PORT_SERIAL:
        SetSerialShutter(false);
        if (AFMode == AF_HELD_DURING)
            SetSerialFocus(false);
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
