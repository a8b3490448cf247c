// The engine's clock inside an INDI driver: the kernel timer on the
// monotonic clock, watched by libindi's own event loop (INDI's timers read
// the wall clock, so exposures never use them). A driver never waits inside
// a call, so RunUntil and Yield have nothing to run.
#pragma once

#include "runner/monotonic_clock.h"

class IndiClock : public Clock {
public:
    IndiClock();
    ~IndiClock() override;
    int64_t NowUs() override { return KernelTimer::NowUs(); }
    int64_t WallMs() override { return KernelTimer::WallMs(); }
    bool CallAt(int64_t deadlineUs, std::function<void()> due) override
    {
        return timer_.CallAt(deadlineUs, std::move(due));
    }
    void CancelCall() override { timer_.Cancel(); }
    void RunUntil(const std::function<bool()>&) override { }
    void Yield() override { }
    int Error() const override { return timer_.Error(); }

private:
    static void OnExpired(int fd, void* self);

    KernelTimer timer_;
    int callback_ = -1;
};
