// Recording fakes behind the port layer, and a virtual clock for the runner.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "guider/guider.h"
#include "ports/backends.h"
#include "ports/ports.h"
#include "runner/clock.h"
#include "runner/exposure_log.h"
#include "runner/sleep_inhibitor.h"

struct LineEvent {
    int64_t ms;
    std::string what;
    bool operator==(const LineEvent& other) const { return ms == other.ms && what == other.what; }
};
std::ostream& operator<<(std::ostream& out, const LineEvent& event);

// Every backend call, in order, with the virtual time it happened at.
struct EventLog {
    std::vector<LineEvent> events;
    int64_t now = 0;
    // When set, events carry this time instead of `now` (real-time tests).
    std::function<int64_t()> realTime;
    void Add(const std::string& what) { events.push_back({realTime ? realTime() : now, what}); }
    std::vector<std::string> Whats() const;
    // The next `failures` device calls fail, logged with " failed" and
    // reported with errno `error`: an unplugged device.
    int failures = 0;
    int error = 0;
    // The device hung up: a look at it fails (error), a line change does
    // only through `failures`.
    bool hungUp = false;
    bool Reach(const std::string& what);
};

class FakeSerial : public SerialBackend {
public:
    explicit FakeSerial(EventLog& log)
        : log_(log)
    {
    }
    bool Open(const std::string& portName) override;
    bool Configure() override;
    bool SetRts(bool active) override;
    bool SetDtr(bool active) override;
    void CloseDevice() override;
    bool IsOpen() const override { return open_; }
    bool Present() override { return !log_.hungUp; }
    std::string Device() const override { return device_; }
    int Error() const override { return log_.error; }
    std::string ErrorDetail() const override { return detail; }

    bool openSucceeds = true;
    std::string detail;
    bool configureSucceeds = true;

private:
    EventLog& log_;
    bool open_ = false;
    std::string device_;
};

class FakeParallel : public ParallelBackend {
public:
    explicit FakeParallel(EventLog& log)
        : log_(log)
    {
    }
    bool Open(uint16_t baseAddress, const std::string& device) override;
    bool ReadData(uint8_t& value) override;
    bool WriteData(uint8_t value) override;
    void CloseDevice() override;
    bool IsOpen() const override { return open_; }
    int Error() const override { return present ? log_.error : ENODEV; }
    std::string Device() const override { return present ? "" : "/dev/parport0"; }

    bool present = true;
    bool unreadable = false;
    uint8_t data = 0;

private:
    EventLog& log_;
    bool open_ = false;
};

class FakeUsb : public UsbBoxBackend {
public:
    explicit FakeUsb(EventLog& log)
        : log_(log)
    {
    }
    bool Open() override;
    bool Send(uint8_t command) override;
    bool Present() override { return !log_.hungUp; }
    void CloseDevice() override;
    int Error() const override { return present ? log_.error : ENODEV; }

    bool present = false;
    bool usable = true;  // false: there, but no permission or in use (log.error)

private:
    EventLog& log_;
};

struct Fakes {
    EventLog log;
    FakeSerial* serial = nullptr;
    FakeParallel* parallel = nullptr;
    FakeUsb* usb = nullptr;
    std::unique_ptr<Ports> ports;  // on the three fakes
};

// Fresh fakes writing to `fakes.log`, and ports on them.
void InstallFakes(Fakes& fakes);
// Opens a port of this kind on the fakes (COM2, the box, 0x378-LPT1) as
// start-up would, clears the log, and returns its chooser entry.
std::string OpenFakePort(Fakes& fakes, PortKind kind);

// Time passes only while the clock runs the event loop (RunUntil): it
// jumps to the next deadline, the runner's pending call or a scripted
// event, whichever comes first, makes the call if it is due and yields.
// At each yield, the scripted events that are due run first, in time
// order, then the test's probe and the toolkit's own pending events.
class VirtualClock : public Clock {
public:
    explicit VirtualClock(EventLog& log)
        : log_(log)
    {
    }
    // Virtual time goes in whole milliseconds.
    int64_t NowUs() override { return log_.now * 1000; }
    // Virtual time 0 is 2026-12-07T21:00:00.000Z.
    int64_t WallMs() override { return 1796677200000 + log_.now + wallStepMs; }
    bool CallAt(int64_t deadlineUs, std::function<void()> due) override
    {
        if (failCalls)
            return false;
        deadline_ = (deadlineUs + 999) / 1000;
        if (deadline_ == lateAt)
            deadline_ += lateMs;
        due_ = std::move(due);
        return true;
    }
    int Error() const override { return failCalls ? EMFILE : 0; }
    void CancelCall() override { due_ = nullptr; }
    void RunUntil(const std::function<bool()>& done) override;
    void Yield() override;
    void At(int64_t ms, std::function<void()> action) { scripted_.emplace(ms, std::move(action)); }
    // Called at every yield, after the scripted events: a test's probe of
    // what the window shows while time passes; then the toolkit's own
    // events, where there is a toolkit.
    std::function<void()> onYield;
    std::function<void()> toolkitYield;
    // The call due at `lateAt` comes `lateMs` milliseconds after it (a busy
    // machine); with failCalls no call can be set up (no timer).
    int64_t lateAt = -1;
    int64_t lateMs = 0;
    bool failCalls = false;
    int64_t wallStepMs = 0;  // the wall clock set forward (or back) by this much

private:
    EventLog& log_;
    int64_t deadline_ = 0;
    std::function<void()> due_;
    std::multimap<int64_t, std::function<void()>> scripted_;
};

// A guider on the virtual clock: each dither is logged ("dither 3 px, settle
// 10 s") and settles, or fails ("not guiding"), `answerMs` later; never,
// when negative.
class FakeGuider : public Guider {
public:
    FakeGuider(EventLog& log, VirtualClock& clock)
        : log_(log)
        , clock_(clock)
    {
    }
    void Dither(const DitherRequest& request, std::function<void(const DitherOutcome&)> done) override;
    void Cancel() override
    {
        ++generation_;
        log_.Add("dither cancelled");
    }
    // Each Watch while not connected is a connection: logged, and answered
    // at once with `appState` (none when empty); a "ConnectionLost" event
    // ends it. While `refuses`, each is answered with "ConnectionLost".
    void Watch(std::function<void(const GuideEvent&)> onEvent) override;
    void Unwatch() override
    {
        onEvent_ = nullptr;
        connected_ = false;
        log_.Add("unwatch");
    }
    // An event from the guider at `atMs` on the virtual clock, to whoever
    // watches then: "GuideStep 0.3 -0.4", "AppState Guiding", "StarLost".
    void EventAt(int64_t atMs, const std::string& event);

    int64_t answerMs = 3000;
    bool settles = true;
    std::string appState = "Guiding";
    bool refuses = false;

private:
    EventLog& log_;
    VirtualClock& clock_;
    int generation_ = 0;
    std::function<void(const GuideEvent&)> onEvent_;
    bool connected_ = false;
};

// Holds the machine awake while a run is in progress, as far as a test can
// tell.
class FakeSleep : public SleepInhibitor {
public:
    void Inhibit() override { held = true; }
    void Release() override { held = false; }
    bool Held() const override { return held; }
    bool held = false;
};

// The exposure log's lines, as the file would hold them after its header.
class FakeExposureLog : public ExposureLog {
public:
    void Log(const ExposureRecord& record) override { lines.push_back(ExposureLine(record)); }
    bool Flush(std::chrono::milliseconds) override { return true; }
    std::string Failure() override { return failure; }
    std::vector<std::string> lines;
    std::string failure;
};
