// Writes pieces of text to standard output on a thread of its own, so that
// a reader that is slow, or stopped (a pager, a terminal after Ctrl-S),
// holds up that thread only, never the one that holds the per-user lock.
// Pieces wait in a queue for as long as the reader lags, and are wiped once
// written (they may hold passwords and notes).
#pragma once

#include <pthread.h>

#include <deque>

#include "memory/secret.h"

class background_writer {
public:
    background_writer() = default;
    background_writer(const background_writer &) = delete;
    background_writer &operator=(const background_writer &) = delete;
    ~background_writer() { finish(); }

    // Queues `piece` behind the others; the first one starts the thread
    // (without one, finish() writes everything).
    void hand_over(secret_string piece);

    // Returns once everything handed over is written.
    void finish();

private:
    static void *run(void *self);
    // Writes pieces as they come until finish() says no more will.
    void write_queued();

    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t ready_ = PTHREAD_COND_INITIALIZER;
    std::deque<secret_string> queue_;  // guarded by mutex_
    bool done_ = false;                // guarded by mutex_
    bool started_ = false;
    bool running_ = false;
    pthread_t thread_{};
};
