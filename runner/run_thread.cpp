#include "runner/run_thread.h"

#include <gio/gio.h>
#include <glib-unix.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>

#include "runner/monotonic_clock.h"

namespace {

// Above every ordinary thread, and below the kernel's own (50) and audio
// servers' (which ask for 20 and more).
constexpr int RUN_PRIORITY = 10;
// The kernel may wake a timer this late to gather wake-ups; a run's
// deadlines want it at once.
constexpr unsigned long TIMER_SLACK_NS = 1000;

// rtkit hands real-time priority to a desktop user's thread, on the
// system bus, when the process has bounded its real-time CPU time (a
// thread that spins is then stopped, not the machine).
constexpr rlim_t RT_TIME_LIMIT_US = 200000;

// The thread that hands Abort over (the window's) gets a raised nice
// level, so that under load it wakes before ordinary work. Not real time: a
// long layout there must not stop the program.
constexpr int CALLER_NICE = -10;

// Asks rtkit to raise this thread: MakeThreadRealtime (a priority) or
// MakeThreadHighPriority (a nice level). "" when it did.
std::string AskRtkit(const char* method, int level)
{
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    GVariant* reply = bus
        ? g_dbus_connection_call_sync(
              bus, "org.freedesktop.RealtimeKit1", "/org/freedesktop/RealtimeKit1", "org.freedesktop.RealtimeKit1",
              method, g_variant_new(level < 0 ? "(ti)" : "(tu)", static_cast<guint64>(syscall(SYS_gettid)), level),
              nullptr, G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, &error)
        : nullptr;
    std::string why = error ? error->message : "";
    if (error)
        g_error_free(error);
    if (reply)
        g_variant_unref(reply);
    if (bus)
        g_object_unref(bus);
    return why;
}

std::string AskRtkitRealtime(int priority)
{
    const rlimit limit{RT_TIME_LIMIT_US, RT_TIME_LIMIT_US};
    if (setrlimit(RLIMIT_RTTIME, &limit) != 0)
        return std::string("RLIMIT_RTTIME: ") + std::strerror(errno);
    return AskRtkit("MakeThreadRealtime", priority);
}

// The kernel's fair scheduler lets a running thread finish its slice (some
// milliseconds) before a woken one runs, unless the woken one asks for a
// short slice.
constexpr uint64_t CALLER_SLICE_NS = 100000;

// The kernel's sched_attr, first version (glibc 2.36 has no wrapper).
struct SchedAttr {
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;
    uint64_t deadline;
    uint64_t period;
};

void RaiseCallerNice()
{
    const auto tid = static_cast<pid_t>(syscall(SYS_gettid));
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), CALLER_NICE) != 0)
        AskRtkit("MakeThreadHighPriority", CALLER_NICE);
    SchedAttr attr{};
    attr.size = sizeof attr;
    attr.policy = SCHED_OTHER;
    attr.nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    attr.runtime = CALLER_SLICE_NS;
    syscall(SYS_sched_setattr, tid, &attr, 0);  // older kernels keep their slice
}

}  // namespace

PiMutex::PiMutex()
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

PiMutex::~PiMutex() { pthread_mutex_destroy(&mutex_); }

// A call waiting to be made on the thread: the caller's, which it waits
// for, or one of its own (posted), which nobody waits for.
struct RunThread::Job {
    const std::function<void()>* work = nullptr;
    std::function<void()> posted;
    PiMutex mutex;
    std::condition_variable_any done;
    bool finished = false;
};

// The calls are handed over through a queue and an eventfd that the
// thread's loop watches, never through the loop's own lock: the caller may
// be put off while it holds a lock, and the run's thread must not wait for
// it then.
RunThread::RunThread()
    : context_(g_main_context_new())
    , loop_(g_main_loop_new(context_, FALSE))
    , clock_(std::make_unique<MonotonicClock>(context_))
    , wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (wakeFd_ < 0) {
        const int error = errno;
        clock_.reset();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
        throw std::system_error(error, std::generic_category(), "the run's thread: eventfd");
    }
    GSource* jobs = g_unix_fd_source_new(wakeFd_, G_IO_IN);
    g_source_set_priority(jobs, G_PRIORITY_HIGH);
    g_source_set_callback(jobs, G_SOURCE_FUNC(&RunThread::OnJobs), this, nullptr);
    g_source_attach(jobs, context_);
    g_source_unref(jobs);
    thread_ = std::thread([this] { Main(); });
    RaiseCallerNice();
}

RunThread::~RunThread()
{
    Call([this] { clock_.reset(); });
    g_main_loop_quit(loop_);
    g_main_context_wakeup(context_);
    thread_.join();
    close(wakeFd_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

void RunThread::Main()
{
    g_main_context_push_thread_default(context_);
    RaisePriority();
    g_main_loop_run(loop_);
    g_main_context_pop_thread_default(context_);
}

// SCHED_FIFO where the process may have it (a real-time limit, or the
// privilege), else through rtkit; else the ordinary priority. The timer
// slack is cut in any case.
void RunThread::RaisePriority()
{
    prctl(PR_SET_TIMERSLACK, TIMER_SLACK_NS, 0, 0, 0);
    sched_param param{};
    param.sched_priority = RUN_PRIORITY;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0)
        AskRtkitRealtime(RUN_PRIORITY);
}

void RunThread::Call(const std::function<void()>& work)
{
    if (std::this_thread::get_id() == thread_.get_id()) {
        work();
        return;
    }
    Job job;
    job.work = &work;
    Queue(&job);
    std::unique_lock<PiMutex> lock(job.mutex);
    job.done.wait(lock, [&job] { return job.finished; });
}

void RunThread::Post(std::function<void()> work)
{
    if (std::this_thread::get_id() == thread_.get_id()) {
        work();
        return;
    }
    auto* job = new Job;
    job->posted = std::move(work);
    Queue(job);
}

void RunThread::Queue(Job* job)
{
    {
        std::lock_guard<PiMutex> lock(queueMutex_);
        queue_.push_back(job);
    }
    const uint64_t one = 1;
    // A full counter (EAGAIN) has woken the thread already.
    if (write(wakeFd_, &one, sizeof one) < 0 && errno != EAGAIN)
        std::fprintf(stderr, "vantrel: the run's thread not woken: %s\n", std::strerror(errno));
}

// The calls queued so far, in order; each caller goes on once its own is
// made (told under the lock: it may then end the job at once).
gboolean RunThread::OnJobs(gint fd, GIOCondition, gpointer self)
{
    uint64_t count = 0;
    if (read(fd, &count, sizeof count) < 0) { }  // nothing new: the queue tells
    auto* thread = static_cast<RunThread*>(self);
    for (;;) {
        Job* job = nullptr;
        {
            std::lock_guard<PiMutex> lock(thread->queueMutex_);
            if (thread->queue_.empty())
                break;
            job = thread->queue_.front();
            thread->queue_.pop_front();
        }
        if (!job->work) {
            job->posted();
            delete job;
            continue;
        }
        (*job->work)();
        std::lock_guard<PiMutex> lock(job->mutex);
        job->finished = true;
        job->done.notify_one();
    }
    return G_SOURCE_CONTINUE;
}

Clock& RunThread::RunClock() { return *clock_; }
