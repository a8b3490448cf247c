// The camera's lines on the port in use: one class per port kind (serial,
// "-IR", the USB box, parallel, none), and one row per kind that says which
// chooser entries it takes, how it opens, and its words. The rows are the
// one place that looks at the kind: a new kind is a class and a row. Each
// object keeps what it has set, so that
// an exposure's end releases exactly what its start set (whatever the AF
// mode is by then) and a way out of the program can end what is in
// progress. A pulse comes in two halves: its start sets the lines, its end
// releases them; the runner times what lies between. AF is the AF mode at
// the moment of the action.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ports/ports.h"

struct PortOpening;

inline constexpr int32_t PULSE_MS = 200;

class TriggerLines {
public:
    virtual ~TriggerLines() = default;

    // The mirror lock-up pulse's length; 0 where nothing is sent (no port).
    virtual int32_t MirrorPulseMs() const = 0;
    virtual void MirrorPulseStart(int afMode) = 0;
    virtual void MirrorPulseEnd() = 0;
    // Whether an exposure opens with a PULSE_MS pulse: always on "-IR",
    // else under "AF pulse at start".
    virtual bool StartPulse(int afMode) const;
    virtual void ExposureStart(int afMode) = 0;
    // PULSE_MS after ExposureStart, when the run's start-pulse flag is set.
    virtual void StartPulseEnd(int afMode) = 0;
    // Releases every line that ExposureStart set. On "-IR" it starts the
    // closing pulse and returns its length (ClosingPulseEnd ends it); 0
    // elsewhere. Nothing, and 0, when no exposure is in progress.
    virtual int32_t ExposureEnd() = 0;
    virtual void ClosingPulseEnd() { }
    // From ExposureStart to the exposure's end, its closing pulse included.
    bool Exposing() const { return exposing_; }

    // "-IR": the remote reads a pulse whole or not at all, so an Abort
    // never cuts one short; and the time on the clock (microseconds) from
    // which the next press may begin, so that two presses never run
    // together. 0 on the other kinds.
    virtual bool PulsesRunWhole() const { return false; }
    // The shortest exposure the camera can be given through these lines.
    virtual int32_t ShortestExposureMs() const { return 1; }
    virtual int64_t NextPressAtUs() const { return 0; }

    // The box's light; nothing on the other kinds.
    virtual void SignalActive() { }
    virtual void SignalWaiting() { }
    virtual void SignalIdle() { }

    // For the ways out of the program: ends a pulse or an exposure in
    // progress at once; on "-IR" a pulse runs its length and the release
    // before the closing pulse its PULSE_MS, timed by plain sleeps.
    // `exposureEnded` is called when an exposure in progress ends here.
    virtual void ReleaseNow(const std::function<void()>& exposureEnded);

    // The port: the chooser entry ("COM5-IR", "DSUSB", "none"), as the
    // user knows it ("COM5 (/dev/ttyUSB0)"), lost (a change did not reach
    // it), opened again after a loss, released and closed (harmless twice).
    virtual std::string Name() const = 0;
    virtual std::string Description() const { return Name(); }
    virtual bool Lost() const = 0;
    // Looks whether the port is still there, no line touched: Lost() once
    // it is not.
    virtual void Check() { }
    // Why the port was lost, or did not open again, in the user's words.
    virtual std::string LostReason() const { return ""; }
    virtual bool Reopen() = 0;
    virtual void Release() = 0;

protected:
    bool exposing_ = false;
};

// Microseconds on the run's monotonic clock: times the "-IR" presses.
using NowUsFunction = std::function<int64_t()>;
inline constexpr int64_t US_PER_MS = 1000;

// A port kind.
struct PortKindRow {
    PortKind kind;
    // Whether a chooser entry (or a device path) is of this kind; the rows
    // are asked in order, and the last takes every serial entry.
    bool (*takes)(const std::string& text);
    // Opens the port of `text` and sets its lines idle.
    PortOpening (*open)(Ports& ports, const std::string& text);
    // The lines of the port, open already.
    std::unique_ptr<TriggerLines> (*lines)(Ports& ports, const std::string& text, NowUsFunction nowUs);
    // The status line once it is open ("Serial port connected").
    const char* connected;
    // The fixes for a device that is not there, and for one that may not
    // be used ("no such device (is the box plugged in?)").
    const char* notThere;
    const char* notAllowed;
    // Its lines stay as they were when the program ends: the kernel drops a
    // serial port's lines as it closes, but nothing does the box's or the
    // parallel port's, so a port left set must be opened and released.
    bool keepsLines;
};

const PortKindRow& PortKindOf(PortKind kind);
// The row whose kind takes `text`, or nullptr (PORT_NONE takes none).
const PortKindRow* PortKindFor(const std::string& text);

// The lines of a port of `ports` that is open already (or of none,
// PORT_NONE). `choiceText` is the chooser entry it was opened from.
std::unique_ptr<TriggerLines> MakeTriggerLines(PortKind kind, const std::string& choiceText, Ports& ports,
                                               NowUsFunction nowUs);
