#include "indi/indi_clock.h"

#include <indidevapi.h>

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

void IndiClock::OnExpired(int, void* self) { static_cast<IndiClock*>(self)->timer_.OnReadable(); }
