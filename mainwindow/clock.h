// The one clock that the sequence runner waits on: elapsed milliseconds, a
// blocking sleep, and a yield to the event loop. Production uses the
// toolkit's stop watch, millisecond sleep and application-wide yield; tests
// install a virtual clock.
#pragma once

#include <cstdint>
#include <memory>

class Clock {
public:
    virtual ~Clock() = default;
    virtual int64_t NowMs() = 0;
    virtual void SleepMs(int32_t ms) = 0;
    virtual void Yield() = 0;
};

Clock& RunnerClock();
// Installs `clock`; nullptr goes back to the toolkit's clock.
void InstallClock(std::unique_ptr<Clock> clock);
std::unique_ptr<Clock> MakeToolkitClock();
