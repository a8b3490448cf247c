// The production clock: a kernel timer (timerfd on CLOCK_MONOTONIC), armed
// at each deadline as an absolute time and watched by GLib's main context.
// It wakes whatever loop is running (the main one, a menu's, a modal
// dialog's) to within a fraction of a millisecond, where toolkit timers
// round to whole milliseconds twice. No toolkit: a front end with one
// (the window) derives from it to run its own event loop.
#pragma once

#include <glib.h>

#include "runner/clock.h"

// A kernel timer on the monotonic clock (timerfd), armed at absolute times,
// with the one call it makes at its deadline. The event loop that watches
// its descriptor belongs to its user, which calls OnReadable.
class KernelTimer {
public:
    KernelTimer();
    ~KernelTimer();
    KernelTimer(const KernelTimer&) = delete;
    KernelTimer& operator=(const KernelTimer&) = delete;
    // -1 when the timer could not be made (Error() says why).
    int Fd() const { return fd_; }
    // Clock::CallAt and CancelCall.
    bool CallAt(int64_t deadlineUs, std::function<void()> due);
    void Cancel();
    // The descriptor became readable: the call is made if the timer has
    // expired (not disarmed in between). True when it was.
    bool OnReadable();
    int Error() const { return error_; }
    static int64_t NowUs();
    // Milliseconds since 1970 (UTC) on the wall clock: for the log only.
    static int64_t WallMs();

private:
    // At `atUs` microseconds on CLOCK_MONOTONIC; 0 turns it off. False with
    // Error() set when the kernel refuses.
    bool Arm(int64_t atUs);

    int fd_;
    int error_ = 0;
    std::function<void()> due_;
};

class MonotonicClock : public Clock {
public:
    // Watched by `context` (GLib's global default when null), whose loop
    // RunUntil and Yield run.
    explicit MonotonicClock(GMainContext* context = nullptr);
    ~MonotonicClock() override;
    int64_t NowUs() override;
    int64_t WallMs() override;
    bool CallAt(int64_t deadlineUs, std::function<void()> due) override;
    void CancelCall() override;
    // GLib's main context, iterated.
    void RunUntil(const std::function<bool()>& done) override;
    void Yield() override;
    int Error() const override { return timer_.Error(); }

protected:
    // After each call made at its deadline: a toolkit's own pending work.
    virtual void AfterCall() { }

private:
    static gboolean OnExpired(gint fd, GIOCondition, gpointer self);

    KernelTimer timer_;
    GMainContext* context_;
    GSource* source_ = nullptr;
};
