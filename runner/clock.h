// The one clock that a run reads and waits on: monotonic microseconds, one
// pending call at a deadline (fired by whatever event loop is running, a
// dialog's included), and running the event loop until a condition holds.
// Production uses a kernel timer on the monotonic clock in GLib's main
// context (runner/monotonic_clock.h); tests pass a virtual clock.
#pragma once

#include <cstdint>
#include <functional>

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
    // loop gets to it; replaces the call pending before. False when the
    // call could not be set up (Error() says why): nothing will come then.
    virtual bool CallAt(int64_t deadlineUs, std::function<void()> due) = 0;
    virtual void CancelCall() = 0;
    // Handles events (and the pending call) until `done` returns true.
    virtual void RunUntil(const std::function<bool()>& done) = 0;
    // Handles the events that are pending now and returns.
    virtual void Yield() = 0;
    // The errno of the last failed CallAt, or 0.
    virtual int Error() const { return 0; }
};
