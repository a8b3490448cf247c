// The program's clock: the monotonic clock of the engine, running the
// toolkit's event loop (a modal dialog's when one is open) instead of bare
// GLib, and waking the toolkit's idle handling after each call.
#include "app/toolkit_clock.h"

#include <wx/app.h>
#include <wx/evtloop.h>

#include "runner/monotonic_clock.h"

namespace {

class ToolkitClock : public MonotonicClock {
public:
    void RunUntil(const std::function<bool()>& done) override
    {
        while (!done()) {
            wxEventLoopBase* active = wxEventLoopBase::GetActive();
            if (active) {
                active->Dispatch();
                continue;
            }
            wxGUIEventLoop loop;  // outside any loop (tests, benchmarks)
            wxEventLoopActivator activate(&loop);
            loop.Dispatch();
        }
    }

    void Yield() override
    {
        if (wxTheApp)
            wxTheApp->Yield(true);
    }

protected:
    void AfterCall() override
    {
        if (wxTheApp)
            wxTheApp->WakeUpIdle();  // the toolkit's own pending work
    }
};

}  // namespace

std::unique_ptr<Clock> MakeToolkitClock() { return std::make_unique<ToolkitClock>(); }
