#include "runner/trigger_lines.h"

#include <chrono>
#include <climits>
#include <thread>

#include "ports/backends.h"
#include "ports/port_choice.h"
#include "runner/af_mode.h"
#include "runner/clock.h"

namespace {

constexpr int32_t BOX_MIRROR_PULSE_MS = 300;
constexpr int32_t PARALLEL_MIRROR_PULSE_MS = 300;
constexpr int64_t US_PER_MS = 1000;

class NoLines : public TriggerLines {
public:
    int32_t MirrorPulseMs() const override { return 0; }
    void MirrorPulseStart(int) override { }
    void MirrorPulseEnd() override { }
    void ExposureStart(int) override { exposing_ = true; }
    void StartPulseEnd(int) override { }
    int32_t ExposureEnd() override
    {
        exposing_ = false;
        return 0;
    }
    std::string Name() const override { return "none"; }
    bool Lost() const override { return false; }
    bool Reopen() override { return true; }
    void Release() override { }
};

// The lines of an open port.
class PortTrigger : public TriggerLines {
public:
    explicit PortTrigger(Ports& ports)
        : ports_(ports)
    {
    }
    // A port that could not be opened again stays lost until it can: no
    // run starts on a port that is not open.
    bool Lost() const override { return ports_.PortLost() || closed_; }
    std::string LostReason() const override { return ports_.PortErrorText(); }
    bool Reopen() final
    {
        closed_ = !OpenAgain();
        return !closed_;
    }

protected:
    // The port closed and opened again; false when it could not be.
    virtual bool OpenAgain() = 0;

    Ports& ports_;

private:
    bool closed_ = false;
};

// A shutter line and a focus line (the serial port's, the box's): the
// focus line goes with the shutter under an AF mode, and is released with
// it or, under "AF pulse at start", at the start pulse's end.
class ShutterAndFocus : public PortTrigger {
public:
    using PortTrigger::PortTrigger;
    void MirrorPulseStart(int afMode) override
    {
        mirrorPulse_ = true;
        LinesOn(afMode);
    }
    void MirrorPulseEnd() override
    {
        if (!mirrorPulse_)
            return;
        mirrorPulse_ = false;
        Shutter(false);
        FocusOff();
    }
    void ExposureStart(int afMode) override
    {
        exposing_ = true;
        LinesOn(afMode);
    }
    void StartPulseEnd(int afMode) override
    {
        if (afMode == AF_PULSE_AT_START)
            FocusOff();
    }
    int32_t ExposureEnd() override
    {
        if (!exposing_)
            return 0;
        exposing_ = false;
        Shutter(false);
        FocusOff();
        return 0;
    }

protected:
    virtual void Shutter(bool on) = 0;
    virtual void Focus(bool on) = 0;
    void LinesOn(int afMode)
    {
        Shutter(true);
        focusSet_ = afMode != AF_NONE;
        if (focusSet_)
            Focus(true);
    }
    void FocusOff()
    {
        if (!focusSet_)
            return;
        focusSet_ = false;
        Focus(false);
    }

    bool mirrorPulse_ = false;
    bool focusSet_ = false;
};

// RTS = shutter, DTR = focus.
class SerialTrigger : public ShutterAndFocus {
public:
    SerialTrigger(Ports& ports, std::string name)
        : ShutterAndFocus(ports)
        , name_(std::move(name))
    {
    }
    int32_t MirrorPulseMs() const override { return PULSE_MS; }
    std::string Name() const override { return name_; }
    std::string Description() const override
    {
        const std::string port = DecodePortChoice(name_).portName;
        const std::string device = ports_.Serial().Device();
        return port == device ? device : port + " (" + device + ")";
    }
    bool OpenAgain() override
    {
        ports_.CloseSerialPort();
        return ports_.OpenSerialPort(name_) == SERIAL_OPENED && !ports_.PortLost();
    }
    void Release() override { ports_.CloseSerialPort(); }

protected:
    void Shutter(bool on) override { ports_.SetSerialShutter(on); }
    void Focus(bool on) override { ports_.SetSerialFocus(on); }

    std::string name_;
};

// "-IR": the remote is powered from DTR, which stays set, and reads each
// RTS pulse as one toggle of the shutter: a pulse opens the exposure, a
// second closes it. Each press runs its whole length, and RTS stays
// released for a pulse's length between two presses, or the remote reads
// them as one and the camera is left exposing.
class InfraredTrigger : public SerialTrigger {
public:
    InfraredTrigger(Ports& ports, std::string name, Clock& clock)
        : SerialTrigger(ports, std::move(name))
        , clock_(clock)
    {
    }
    bool StartPulse(int) const override { return true; }
    void ExposureStart(int afMode) override
    {
        exposing_ = true;
        openingPulse_ = true;
        LinesOn(afMode);  // the focus line stays set until a mirror lock-up pulse ends
    }
    void StartPulseEnd(int) override
    {
        openingPulse_ = false;
        Shutter(false);
    }
    int32_t ExposureEnd() override
    {
        if (!exposing_ || closingPulse_)
            return 0;
        closingPulse_ = true;
        Shutter(true);
        return PULSE_MS;
    }
    void ClosingPulseEnd() override
    {
        if (!closingPulse_)
            return;
        closingPulse_ = false;
        exposing_ = false;
        Shutter(false);
    }
    bool PulsesRunWhole() const override { return true; }
    // A press to open, a release, a press to close.
    int32_t ShortestExposureMs() const override { return 2 * PULSE_MS; }
    int64_t NextPressAtUs() const override { return releasedUs_ + PULSE_MS * US_PER_MS; }

    void ReleaseNow(const std::function<void()>& exposureEnded) override
    {
        const int64_t pulseEndUs = raisedUs_ + PULSE_MS * US_PER_MS;
        if (mirrorPulse_)
            SleepUntil(pulseEndUs);
        MirrorPulseEnd();
        if (!exposing_)
            return;
        if (openingPulse_) {
            SleepUntil(pulseEndUs);
            StartPulseEnd(AF_NONE);
        }
        if (!closingPulse_) {
            SleepUntil(NextPressAtUs());
            ExposureEnd();
            if (exposureEnded)
                exposureEnded();
        }
        SleepUntil(raisedUs_ + PULSE_MS * US_PER_MS);
        ClosingPulseEnd();
    }

private:
    void Shutter(bool on) override
    {
        ports_.SetSerialShutter(on);
        (on ? raisedUs_ : releasedUs_) = clock_.NowUs();
    }
    // One plain sleep: a virtual clock in the tests does not move while the
    // program sleeps.
    void SleepUntil(int64_t us)
    {
        const int64_t left = us - clock_.NowUs();
        if (left > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(left));
    }

    Clock& clock_;
    bool openingPulse_ = false;
    bool closingPulse_ = false;
    int64_t raisedUs_ = 0;
    int64_t releasedUs_ = INT64_MIN / 2;
};

// The box: shutter and focus in one command byte, and a light that turns
// red as the shutter opens.
class BoxTrigger : public ShutterAndFocus {
public:
    using ShutterAndFocus::ShutterAndFocus;
    int32_t MirrorPulseMs() const override { return BOX_MIRROR_PULSE_MS; }
    void SignalActive() override { ports_.DsusbSignalActive(); }
    void SignalWaiting() override { ports_.DsusbSignalWaiting(); }
    void SignalIdle() override { ports_.DsusbSignalIdle(); }
    std::string Name() const override { return "DSUSB"; }
    // The box is looked for anew, so that plugging it back in is enough.
    bool OpenAgain() override
    {
        ports_.Usb().CloseDevice();
        if (!ports_.DsusbOpen())
            return false;
        ports_.DsusbPrepare();
        return !ports_.PortLost();
    }
    void Release() override { ports_.DsusbClose(); }

protected:
    void Shutter(bool on) override
    {
        if (on) {
            ports_.DsusbSignalExposing();
            ports_.DsusbShutterOn();
        } else {
            ports_.DsusbShutterOff();
        }
    }
    void Focus(bool on) override { on ? ports_.DsusbFocusOn() : ports_.DsusbFocusOff(); }
};

// One data bit; no focus line (the AF mode changes only the timing).
class ParallelTrigger : public PortTrigger {
public:
    ParallelTrigger(Ports& ports, std::string name)
        : PortTrigger(ports)
        , name_(std::move(name))
    {
    }
    int32_t MirrorPulseMs() const override { return PARALLEL_MIRROR_PULSE_MS; }
    void MirrorPulseStart(int) override
    {
        mirrorPulse_ = true;
        ports_.SetParallelLine(true);
    }
    void MirrorPulseEnd() override
    {
        if (mirrorPulse_)
            ports_.SetParallelLine(false);
        mirrorPulse_ = false;
    }
    void ExposureStart(int) override
    {
        exposing_ = true;
        ports_.SetParallelLine(true);
    }
    void StartPulseEnd(int) override { }
    int32_t ExposureEnd() override
    {
        if (exposing_)
            ports_.SetParallelLine(false);
        exposing_ = false;
        return 0;
    }
    std::string Name() const override { return name_; }
    bool OpenAgain() override
    {
        ports_.CloseParallelPort();
        return ports_.OpenParallelPort(name_) && !ports_.PortLost();
    }
    void Release() override
    {
        ports_.SetParallelLine(false);
        ports_.CloseParallelPort();
    }

private:
    std::string name_;
    bool mirrorPulse_ = false;
};

}  // namespace

bool TriggerLines::StartPulse(int afMode) const { return afMode == AF_PULSE_AT_START; }

void TriggerLines::ReleaseNow(const std::function<void()>& exposureEnded)
{
    MirrorPulseEnd();
    if (!exposing_)
        return;
    ExposureEnd();
    if (exposureEnded)
        exposureEnded();
}

std::unique_ptr<TriggerLines> MakeTriggerLines(PortKind kind, const std::string& choiceText, Ports& ports, Clock& clock)
{
    switch (kind) {
    case PORT_DSUSB:
        return std::make_unique<BoxTrigger>(ports);
    case PORT_SERIAL:
        return std::make_unique<SerialTrigger>(ports, choiceText);
    case PORT_SERIAL_IR:
        return std::make_unique<InfraredTrigger>(ports, choiceText, clock);
    case PORT_PARALLEL:
        return std::make_unique<ParallelTrigger>(ports, choiceText);
    case PORT_NONE:
        break;
    }
    return std::make_unique<NoLines>();
}
