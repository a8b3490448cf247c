// Keeps the machine awake while a run is in progress. Production holds a
// logind inhibitor (sleep and idle, mode "block") on the system bus, taken
// at Start and closed when the run ends or is aborted; without a system bus
// or logind the run goes on as it is and stderr says so, once. Tests pass a
// fake.
#pragma once

#include <memory>

class SleepInhibitor {
public:
    virtual ~SleepInhibitor() = default;
    virtual void Inhibit() = 0;
    virtual void Release() = 0;
    // True while an inhibitor is held.
    virtual bool Held() const = 0;
};

std::unique_ptr<SleepInhibitor> MakeLogindInhibitor();
