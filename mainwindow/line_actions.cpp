#include "mainwindow/line_actions.h"

#include <chrono>
#include <thread>

#include "mainwindow/af_mode.h"
#include "ports/ports.h"

namespace {

// What is set on the lines right now, so that the exposure's end releases
// exactly what its start set (whatever the AF mode is by then) and a way
// out of the program can end what is in progress.
bool mirrorPulse = false;
bool openingPulse = false;  // "-IR": RTS raised at the exposure's start
bool exposing = false;
bool closingPulse = false;
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

void SleepMs(int32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

int32_t MirrorLockPulseStart()
{
    mirrorPulse = true;
    switch (ActivePort) {
    case PORT_DSUSB:
        DsusbLinesOn();
        return DSUSB_MIRROR_PULSE_MS;
    case PORT_SERIAL:
    case PORT_SERIAL_IR:
        SerialLinesOn();
        return PULSE_MS;
    case PORT_PARALLEL:
        SetParallelLine(true);
        return PARALLEL_MIRROR_PULSE_MS;
    case PORT_NONE:
        break;
    }
    mirrorPulse = false;
    return 0;
}

void MirrorLockPulseEnd()
{
    if (!mirrorPulse)
        return;
    mirrorPulse = false;
    switch (ActivePort) {
    case PORT_DSUSB:
        DsusbShutterOff();
        ReleaseFocus();
        break;
    case PORT_SERIAL:
    case PORT_SERIAL_IR:
        SetSerialShutter(false);
        ReleaseFocus();
        break;
    case PORT_PARALLEL:
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
        openingPulse = ActivePort == PORT_SERIAL_IR;
        break;
    case PORT_PARALLEL:
        SetParallelLine(true);
        break;
    case PORT_NONE:
        break;
    }
}

void StartPulseEnd()
{
    switch (ActivePort) {
    case PORT_DSUSB:
    case PORT_SERIAL:
        if (AFMode == AF_PULSE_AT_START)
            ReleaseFocus();
        break;
    case PORT_SERIAL_IR:
        openingPulse = false;
        SetSerialShutter(false);  // the opening pulse ends; the focus line stays
        break;
    case PORT_PARALLEL:
    case PORT_NONE:
        break;
    }
}

int32_t ExposureEnd()
{
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
        closingPulse = true;
        SetSerialShutter(true);
        return PULSE_MS;
    case PORT_PARALLEL:
        SetParallelLine(false);
        break;
    case PORT_NONE:
        break;
    }
    exposing = false;
    return 0;
}

void ClosingPulseEnd()
{
    if (!closingPulse)
        return;
    closingPulse = false;
    exposing = false;
    SetSerialShutter(false);
}

bool ExposureInProgress() { return exposing; }

void ReleaseLinesNow()
{
    MirrorLockPulseEnd();
    if (!exposing)
        return;
    if (openingPulse) {  // the camera reads a whole pulse, or none
        SleepMs(PULSE_MS);
        StartPulseEnd();
    }
    if (!closingPulse && ExposureEnd() == 0)
        return;
    SleepMs(PULSE_MS);
    ClosingPulseEnd();
}
