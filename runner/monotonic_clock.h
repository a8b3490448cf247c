// The production clock: a kernel timer (timerfd on CLOCK_MONOTONIC), armed
// at each deadline as an absolute time and watched by GLib's main context.
// It wakes whatever loop is running (the main one, a menu's, a modal
// dialog's) to within a fraction of a millisecond, where toolkit timers
// round to whole milliseconds twice. No toolkit: a front end with one
// (the window) derives from it to run its own event loop.
#pragma once

#include <glib.h>

#include "runner/clock.h"

class MonotonicClock : public Clock {
public:
    MonotonicClock();
    ~MonotonicClock() override;
    int64_t NowUs() override;
    int64_t WallMs() override;
    bool CallAt(int64_t deadlineUs, std::function<void()> due) override;
    void CancelCall() override;
    // GLib's main context, iterated.
    void RunUntil(const std::function<bool()>& done) override;
    void Yield() override;
    int Error() const override { return error_; }

protected:
    // After each call made at its deadline: a toolkit's own pending work.
    virtual void AfterCall() { }

private:
    // At an absolute time (microseconds) on the monotonic clock; 0 turns
    // the timer off.
    bool Arm(int64_t atUs);
    static gboolean OnExpired(gint fd, GIOCondition, gpointer self);

    int fd_;
    guint source_ = 0;
    int error_ = 0;
    std::function<void()> due_;
};
