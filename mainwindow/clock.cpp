#include "mainwindow/clock.h"

#include <wx/app.h>
#include <wx/stopwatch.h>
#include <wx/utils.h>

namespace {

class ToolkitClock : public Clock {
public:
    int64_t NowMs() override { return watch_.TimeInMicro().GetValue() / 1000; }
    void SleepMs(int32_t ms) override { wxMilliSleep(ms); }
    void Yield() override
    {
        if (wxTheApp)
            wxTheApp->Yield(true);
    }

private:
    wxStopWatch watch_;
};

std::unique_ptr<Clock> installed;

}  // namespace

std::unique_ptr<Clock> MakeToolkitClock() { return std::make_unique<ToolkitClock>(); }

Clock& RunnerClock()
{
    if (!installed)
        installed = MakeToolkitClock();
    return *installed;
}

void InstallClock(std::unique_ptr<Clock> clock) { installed = std::move(clock); }
