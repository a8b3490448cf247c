// The one clock that the sequence runner reads and waits on: monotonic
// microseconds, one pending call at a deadline (fired by whatever event loop
// is running, a dialog's included), and running the event loop until a
// condition holds. Production uses the steady clock and a toolkit timer;
// tests install a virtual clock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class Clock {
public:
    virtual ~Clock() = default;
    // Microseconds on a monotonic clock: a step of the wall clock changes
    // nothing here.
    virtual int64_t NowUs() = 0;
    // The wall clock, milliseconds since 1970 (UTC): for the log, never for
    // timing.
    virtual int64_t WallMs() = 0;
    // Calls `due` once, at `deadlineUs` or as soon after it as the event
    // loop gets to it; replaces the call pending before.
    virtual void CallAt(int64_t deadlineUs, std::function<void()> due) = 0;
    virtual void CancelCall() = 0;
    // Handles events (and the pending call) until `done` returns true.
    virtual void RunUntil(const std::function<bool()>& done) = 0;
    // Handles the events that are pending now and returns.
    virtual void Yield() = 0;
};

Clock& RunnerClock();
// Installs `clock`; nullptr goes back to the toolkit's clock.
void InstallClock(std::unique_ptr<Clock> clock);
std::unique_ptr<Clock> MakeToolkitClock();
