#include "runner/monotonic_clock.h"

#include <glib-unix.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

KernelTimer::KernelTimer()
    : fd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
{
    if (fd_ < 0)
        error_ = errno;
}

KernelTimer::~KernelTimer()
{
    if (fd_ >= 0)
        close(fd_);
}

bool KernelTimer::Arm(int64_t atUs)
{
    if (fd_ < 0)
        return false;  // error_ says why timerfd_create failed
    itimerspec when{};
    when.it_value.tv_sec = atUs / 1000000;
    when.it_value.tv_nsec = atUs % 1000000 * 1000;
    if (timerfd_settime(fd_, TFD_TIMER_ABSTIME, &when, nullptr) == 0)
        return true;
    error_ = errno;
    return false;
}

bool KernelTimer::CallAt(int64_t deadlineUs, std::function<void()> due)
{
    due_ = std::move(due);
    if (Arm(std::max<int64_t>(deadlineUs, 1)))  // at 0 the timer would be off
        return true;
    due_ = nullptr;
    return false;
}

void KernelTimer::Cancel()
{
    due_ = nullptr;
    Arm(0);
}

bool KernelTimer::OnReadable()
{
    uint64_t expirations = 0;
    if (read(fd_, &expirations, sizeof expirations) != sizeof expirations)
        return false;  // disarmed in between
    auto due = std::move(due_);
    due_ = nullptr;
    if (due)
        due();
    return true;
}

int64_t KernelTimer::WallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t KernelTimer::NowUs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

MonotonicClock::MonotonicClock(GMainContext* context)
    : context_(context)
{
    if (timer_.Fd() < 0)
        return;
    source_ = g_unix_fd_source_new(timer_.Fd(), G_IO_IN);
    g_source_set_callback(source_, G_SOURCE_FUNC(&MonotonicClock::OnExpired), this, nullptr);
    g_source_attach(source_, context_);
}

MonotonicClock::~MonotonicClock()
{
    if (source_) {
        g_source_destroy(source_);
        g_source_unref(source_);
    }
}

int64_t MonotonicClock::NowUs() { return KernelTimer::NowUs(); }

int64_t MonotonicClock::WallMs() { return KernelTimer::WallMs(); }

bool MonotonicClock::CallAt(int64_t deadlineUs, std::function<void()> due)
{
    return timer_.CallAt(deadlineUs, std::move(due));
}

void MonotonicClock::CancelCall() { timer_.Cancel(); }

void MonotonicClock::RunUntil(const std::function<bool()>& done)
{
    while (!done())
        g_main_context_iteration(context_, TRUE);
}

void MonotonicClock::Yield()
{
    while (g_main_context_pending(context_))
        g_main_context_iteration(context_, FALSE);
}

gboolean MonotonicClock::OnExpired(gint, GIOCondition, gpointer self)
{
    auto* clock = static_cast<MonotonicClock*>(self);
    if (clock->timer_.OnReadable())
        clock->AfterCall();
    return G_SOURCE_CONTINUE;
}
