#include "mainwindow/line_actions.h"

#include <chrono>
#include <climits>
#include <thread>

#include "mainwindow/af_mode.h"
#include "mainwindow/clock.h"
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
// "-IR": when RTS last rose and fell, on the runner's clock.
constexpr int64_t US_PER_MS = 1000;
int64_t rtsRaisedUs = 0;
int64_t rtsReleasedUs = INT64_MIN / 2;

void SetShutter(bool on)
{
    SetSerialShutter(on);
    if (ActivePort == PORT_SERIAL_IR)
        (on ? rtsRaisedUs : rtsReleasedUs) = RunnerClock().NowUs();
}

void SerialLinesOn()
{
    SetShutter(true);
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

// One plain sleep: a virtual clock in the tests does not move while the
// program sleeps.
void SleepUntil(int64_t us)
{
    const int64_t left = us - RunnerClock().NowUs();
    if (left > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(left));
}

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
        SetShutter(false);
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
        SetShutter(false);  // the opening pulse ends; the focus line stays
        break;
    case PORT_PARALLEL:
    case PORT_NONE:
        break;
    }
}

int32_t ExposureEnd()
{
    if (!exposing)  // a way out of the program has ended it already
        return 0;
    switch (ActivePort) {
    case PORT_DSUSB:
        DsusbShutterOff();
        ReleaseFocus();
        break;
    case PORT_SERIAL:
        SetShutter(false);
        ReleaseFocus();
        break;
    case PORT_SERIAL_IR:
        closingPulse = true;
        SetShutter(true);
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
    SetShutter(false);
}

bool ExposureInProgress() { return exposing; }

int64_t NextPressAtUs() { return ActivePort == PORT_SERIAL_IR ? rtsReleasedUs + PULSE_MS * US_PER_MS : 0; }

void ForgetPresses() { rtsReleasedUs = INT64_MIN / 2; }

void ReleaseLinesNow(const std::function<void()>& exposureEnded)
{
    // On "-IR" the camera reads a whole pulse, or none.
    const bool infrared = ActivePort == PORT_SERIAL_IR;
    const int64_t pulseEndUs = rtsRaisedUs + PULSE_MS * US_PER_MS;
    if (mirrorPulse && infrared)
        SleepUntil(pulseEndUs);
    MirrorLockPulseEnd();
    if (!exposing)
        return;
    if (openingPulse) {
        SleepUntil(pulseEndUs);
        StartPulseEnd();
    }
    if (!closingPulse) {
        SleepUntil(NextPressAtUs());
        const int32_t closingMs = ExposureEnd();
        if (exposureEnded)
            exposureEnded();
        if (closingMs == 0)
            return;
    }
    SleepUntil(rtsRaisedUs + PULSE_MS * US_PER_MS);
    ClosingPulseEnd();
}
