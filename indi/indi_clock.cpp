#include "indi/indi_clock.h"

#include <indidevapi.h>

#include <algorithm>
#include <chrono>

IndiClock::IndiClock()
{
    if (timer_.Fd() >= 0)
        callback_ = IEAddCallback(timer_.Fd(), &IndiClock::OnExpired, this);
}

IndiClock::~IndiClock()
{
    if (callback_ >= 0)
        IERmCallback(callback_);
}

int64_t IndiClock::WallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool IndiClock::CallAt(int64_t deadlineUs, std::function<void()> due)
{
    due_ = std::move(due);
    if (timer_.Arm(std::max<int64_t>(deadlineUs, 1)))
        return true;
    due_ = nullptr;
    return false;
}

void IndiClock::CancelCall()
{
    due_ = nullptr;
    timer_.Arm(0);
}

void IndiClock::OnExpired(int, void* self)
{
    auto* clock = static_cast<IndiClock*>(self);
    if (!clock->timer_.Expired())
        return;  // disarmed in between
    auto due = std::move(clock->due_);
    clock->due_ = nullptr;
    if (due)
        due();
}
