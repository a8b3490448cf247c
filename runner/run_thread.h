// A thread of its own for the run: its own GLib main context (the thread's
// default, so that the guider's connections and timers are watched there
// too) and a kernel-timer clock on it, raised to real-time priority where
// the system allows. A run's deadlines and line changes then never wait on
// the window's thread: not on a redraw, a restyle or a loaded X server.
// No toolkit.
#pragma once

#include <glib.h>
#include <pthread.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "runner/clock.h"

class MonotonicClock;

// A mutex that lends its waiter's priority to its holder: the run's thread
// never waits long on an ordinary thread that holds it.
class PiMutex {
public:
    PiMutex();
    ~PiMutex();
    PiMutex(const PiMutex&) = delete;
    PiMutex& operator=(const PiMutex&) = delete;
    void lock() { pthread_mutex_lock(&mutex_); }
    void unlock() { pthread_mutex_unlock(&mutex_); }

private:
    pthread_mutex_t mutex_;
};

class RunThread {
public:
    // The calling thread (the window's, through which Abort comes) is
    // given a raised nice level where the system allows, so that it wakes
    // first under load. Throws std::system_error when the thread cannot
    // be woken (no eventfd).
    RunThread();
    ~RunThread();
    RunThread(const RunThread&) = delete;
    RunThread& operator=(const RunThread&) = delete;

    // Runs `work` on the thread and returns when it is done; at once when
    // called on the thread itself. The thread never waits on another, so
    // this takes as long as `work` does, plus a wake-up.
    void Call(const std::function<void()>& work);
    // Runs `work` on the thread after the calls queued before it, and
    // returns at once: for a request that needs no answer (an abort).
    void Post(std::function<void()> work);
    // The clock that the run waits on, on the thread.
    Clock& RunClock();

private:
    struct Job;
    void Queue(Job* job);
    void Main();
    void RaisePriority();
    static gboolean OnJobs(gint fd, GIOCondition condition, gpointer self);

    GMainContext* context_;
    GMainLoop* loop_;
    std::unique_ptr<MonotonicClock> clock_;
    int wakeFd_;
    PiMutex queueMutex_;
    std::deque<Job*> queue_;
    std::thread thread_;
};
