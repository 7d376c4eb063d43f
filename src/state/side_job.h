// Work done on another thread when one can be started, and on the caller's
// own thread otherwise, when its result is first needed: a missing second
// core costs time, never a different result.
#pragma once

#include <pthread.h>

class side_job {
public:
    side_job(void (*work)(void *context), void *context) : work_(work), context_(context) {}
    side_job(const side_job &) = delete;
    side_job &operator=(const side_job &) = delete;
    // Waits for a thread still running; work never started is not done.
    // Whatever the work touches must outlive the job: declare it first.
    ~side_job();

    // Starts the work on a thread of its own; without one, finish() does it.
    void start();
    // The work is done when this returns: waited for, or done here when no
    // thread took it. It is done once, whatever the calls.
    void finish();

private:
    static void *run(void *self);

    void (*work_)(void *);
    void *context_;
    pthread_t thread_{};
    bool running_ = false;
    bool done_ = false;
};
