#include "mainwindow/clock.h"

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/timer.h>

#include <algorithm>
#include <chrono>

namespace {

// A one-shot toolkit timer at each deadline. The toolkit's timers run on the
// monotonic clock and fire in any event loop, so a menu or a modal dialog
// does not hold up the call.
class ToolkitClock : public Clock, private wxTimer {
public:
    int64_t NowMs() override
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    void CallAt(int64_t deadlineMs, std::function<void()> due) override
    {
        deadline_ = deadlineMs;
        due_ = std::move(due);
        StartOnce(static_cast<int>(std::max<int64_t>(0, deadline_ - NowMs())));
    }

    void CancelCall() override
    {
        Stop();
        due_ = nullptr;
    }

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

private:
    void Notify() override
    {
        const int64_t left = deadline_ - NowMs();
        if (left > 0) {  // never early, whatever the timer rounded to
            StartOnce(static_cast<int>(left));
            return;
        }
        auto due = std::move(due_);
        due_ = nullptr;
        if (due)
            due();
    }

    int64_t deadline_ = 0;
    std::function<void()> due_;
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
