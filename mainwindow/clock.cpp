#include "mainwindow/clock.h"
#include "mainwindow/line_actions.h"

#include <glib-unix.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>
#include <wx/app.h>
#include <wx/evtloop.h>

#include <algorithm>
#include <chrono>

namespace {

int64_t MonotonicUs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

// A kernel timer on the monotonic clock, armed at each deadline as an
// absolute time and watched by the toolkit's (GLib's) main context: it
// wakes whatever event loop is running (the main one, a menu's, a modal
// dialog's) to within a fraction of a millisecond, where the toolkit's own
// timers round to whole milliseconds twice.
class ToolkitClock : public Clock {
public:
    ToolkitClock()
        : fd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
    {
        if (fd_ >= 0)
            source_ = g_unix_fd_add(fd_, G_IO_IN, &ToolkitClock::OnExpired, this);
    }

    ~ToolkitClock() override
    {
        if (source_)
            g_source_remove(source_);
        if (fd_ >= 0)
            close(fd_);
    }

    int64_t NowUs() override { return MonotonicUs(); }

    int64_t WallMs() override
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }

    void CallAt(int64_t deadlineUs, std::function<void()> due) override
    {
        due_ = std::move(due);
        Arm(std::max<int64_t>(deadlineUs, 1));  // at 0 the timer would be off
    }

    void CancelCall() override
    {
        due_ = nullptr;
        Arm(0);
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
    // At an absolute time (microseconds) on the monotonic clock; 0 turns
    // the timer off.
    void Arm(int64_t at)
    {
        itimerspec when{};
        when.it_value.tv_sec = at / 1000000;
        when.it_value.tv_nsec = at % 1000000 * 1000;
        timerfd_settime(fd_, TFD_TIMER_ABSTIME, &when, nullptr);
    }

    static gboolean OnExpired(gint fd, GIOCondition, gpointer self)
    {
        uint64_t expirations = 0;
        if (read(fd, &expirations, sizeof expirations) < 0)
            return G_SOURCE_CONTINUE;  // disarmed in between
        auto* clock = static_cast<ToolkitClock*>(self);
        auto due = std::move(clock->due_);
        clock->due_ = nullptr;
        if (due)
            due();
        if (wxTheApp)
            wxTheApp->WakeUpIdle();  // the toolkit's own pending work
        return G_SOURCE_CONTINUE;
    }

    int fd_;
    guint source_ = 0;
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

// The times of the presses on the old clock mean nothing on the new one.
void InstallClock(std::unique_ptr<Clock> clock)
{
    installed = std::move(clock);
    ForgetPresses();
}
