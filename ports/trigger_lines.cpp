#include "ports/trigger_lines.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <thread>

#include "ports/af_mode.h"
#include "ports/backends.h"
#include "ports/open_port.h"
#include "ports/port_choice.h"

namespace {

constexpr int32_t BOX_MIRROR_PULSE_MS = 300;
constexpr int32_t PARALLEL_MIRROR_PULSE_MS = 300;

PortOpening Failed(const std::string& failure, const std::string& device, const std::string& reason)
{
    PortOpening opening;
    opening.failure = failure;
    opening.device = device;
    opening.reason = reason;
    return opening;
}

PortOpening Opened(PortKind kind)
{
    PortOpening opening;
    opening.kind = kind;
    return opening;
}

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
    PortTrigger(Ports& ports, PortKind kind)
        : ports_(ports)
        , kind_(kind)
    {
    }
    // A port that could not be opened again stays lost until it can: no
    // run starts on a port that is not open.
    bool Lost() const override { return ports_.PortLost() || closed_; }
    std::string LostReason() const override { return ports_.PortErrorText(); }
    void Check() override { ports_.CheckPort(kind_); }
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
    const PortKind kind_;
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
        : ShutterAndFocus(ports, PORT_SERIAL)
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

    // RTS released; DTR set on "-IR" (it powers the remote), else released.
    static PortOpening Open(Ports& ports, const std::string& text)
    {
        const PortChoice choice = DecodePortChoice(text);
        switch (ports.OpenSerialPort(text)) {
        case SERIAL_OPEN_FAILED:
            // The backend's own words (a lock file held) name their file.
            return Failed("Could not attach to " + choice.portName,
                          ports.Serial().ErrorDetail().empty() ? ports.Serial().Device() : "", ports.PortErrorText());
        case SERIAL_CONFIGURE_FAILED:
            return Failed("Cannot configure " + choice.portName, ports.Serial().Device(), ports.PortErrorText());
        case SERIAL_OPENED:
            break;
        }
        return Opened(choice.infrared ? PORT_SERIAL_IR : PORT_SERIAL);
    }

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
    InfraredTrigger(Ports& ports, std::string name, NowUsFunction nowUs)
        : SerialTrigger(ports, std::move(name))
        , nowUs_(std::move(nowUs))
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
        (on ? raisedUs_ : releasedUs_) = nowUs_();
    }
    // One plain sleep: a virtual clock in the tests does not move while the
    // program sleeps.
    void SleepUntil(int64_t us)
    {
        const int64_t left = us - nowUs_();
        if (left > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(left));
    }

    NowUsFunction nowUs_;
    bool openingPulse_ = false;
    bool closingPulse_ = false;
    int64_t raisedUs_ = 0;
    int64_t releasedUs_ = INT64_MIN / 2;
};

// The box: shutter and focus in one command byte, and a light that turns
// red as the shutter opens.
class BoxTrigger : public ShutterAndFocus {
public:
    explicit BoxTrigger(Ports& ports)
        : ShutterAndFocus(ports, PORT_DSUSB)
    {
    }
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

    // Both lines released and the light off.
    static PortOpening Open(Ports& ports, const std::string&)
    {
        if (!ports.DsusbOpen())
            return Failed("Could not attach to DSUSB", "", ports.PortErrorText());
        ports.DsusbPrepare();
        ports.DsusbSignalIdle();
        return Opened(PORT_DSUSB);
    }

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
        : PortTrigger(ports, PORT_PARALLEL)
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

    // The shutter bit cleared, the other seven kept.
    static PortOpening Open(Ports& ports, const std::string& text)
    {
        const PortChoice choice = DecodePortChoice(text);
        if (ports.OpenParallelPort(text))
            return Opened(PORT_PARALLEL);
        const std::string couldNot = "Could not attach to " + choice.portName;
        const std::string device = PortDevicePath(choice.deviceName);
        const ParallelBackend& port = ports.Parallel();
        if (device.empty() && port.Error() == ENODEV && !port.Device().empty()) {
            char address[16];
            std::snprintf(address, sizeof address, "0x%X", choice.address);
            return Failed(couldNot, "",
                          std::string("no parallel port at ") + address + " (" + port.Device() + ": no such device)");
        }
        return Failed(couldNot, device.empty() ? "parallel port at " + choice.portName : device, ports.PortErrorText());
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

namespace {

template <typename Lines> std::unique_ptr<TriggerLines> Make(Ports& ports, const std::string& text, NowUsFunction)
{
    return std::make_unique<Lines>(ports, text);
}

const char* const NO_ADAPTER = "no such device (is the adapter plugged in?)";
const char* const NOT_IN_DIALOUT = "permission denied (add yourself to the group dialout, then log in again)";

const PortKindRow PORT_KINDS[] = {
    {PORT_DSUSB, [](const std::string& text) { return text == "DSUSB"; }, BoxTrigger::Open,
     [](Ports& ports, const std::string&, NowUsFunction) -> std::unique_ptr<TriggerLines> {
         return std::make_unique<BoxTrigger>(ports);
     },
     "DSUSB Connected", "no such device (is the box plugged in?)",
     "permission denied (install Vantrel's udev rule, then plug the box in again)", true},
    {PORT_PARALLEL, [](const std::string& text) { return DecodePortChoice(text).parallel; }, ParallelTrigger::Open,
     Make<ParallelTrigger>, "Parallel port connected", NO_ADAPTER,
     "permission denied (add yourself to the group lp, then log in again)", true},
    {PORT_SERIAL_IR, [](const std::string& text) { return DecodePortChoice(text).infrared; }, SerialTrigger::Open,
     [](Ports& ports, const std::string& text, NowUsFunction nowUs) -> std::unique_ptr<TriggerLines> {
         return std::make_unique<InfraredTrigger>(ports, text, std::move(nowUs));
     },
     "Serial port connected", NO_ADAPTER, NOT_IN_DIALOUT, false},
    {PORT_SERIAL, [](const std::string&) { return true; }, SerialTrigger::Open, Make<SerialTrigger>,
     "Serial port connected", NO_ADAPTER, NOT_IN_DIALOUT, false},
};

}  // namespace

const PortKindRow& PortKindOf(PortKind kind)
{
    for (const PortKindRow& row : PORT_KINDS)
        if (row.kind == kind)
            return row;
    static const PortKindRow none{PORT_NONE,
                                  [](const std::string&) { return false; },
                                  nullptr,
                                  [](Ports&, const std::string&, NowUsFunction) -> std::unique_ptr<TriggerLines> {
                                      return std::make_unique<NoLines>();
                                  },
                                  "NOT CONNECTED",
                                  NO_ADAPTER,
                                  NOT_IN_DIALOUT,
                                  false};
    return none;
}

const PortKindRow* PortKindFor(const std::string& text)
{
    for (const PortKindRow& row : PORT_KINDS)
        if (row.takes(text))
            return &row;
    return nullptr;
}

std::unique_ptr<TriggerLines> MakeTriggerLines(PortKind kind, const std::string& choiceText, Ports& ports,
                                               NowUsFunction nowUs)
{
    return PortKindOf(kind).lines(ports, choiceText, std::move(nowUs));
}
