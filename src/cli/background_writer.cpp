#include "cli/background_writer.h"

#include <unistd.h>

#include "state/files.h"

namespace {

// Holds a mutex for the scope it lives in.
class mutex_hold {
public:
    explicit mutex_hold(pthread_mutex_t &mutex) : mutex_(mutex) { ::pthread_mutex_lock(&mutex_); }
    ~mutex_hold() { ::pthread_mutex_unlock(&mutex_); }
    mutex_hold(const mutex_hold &) = delete;
    mutex_hold &operator=(const mutex_hold &) = delete;
    pthread_mutex_t &mutex() { return mutex_; }

private:
    pthread_mutex_t &mutex_;
};

}  // namespace

void background_writer::hand_over(secret_string piece) {
    if (!started_) {
        started_ = true;
        running_ = ::pthread_create(&thread_, nullptr, run, this) == 0;
    }
    mutex_hold hold(mutex_);
    queue_.push_back(std::move(piece));
    ::pthread_cond_signal(&ready_);
}

void background_writer::finish() {
    {
        mutex_hold hold(mutex_);
        done_ = true;
        ::pthread_cond_signal(&ready_);
    }
    if (running_) ::pthread_join(thread_, nullptr);
    running_ = false;
    write_queued();
}

void *background_writer::run(void *self) {
    static_cast<background_writer *>(self)->write_queued();
    return nullptr;
}

void background_writer::write_queued() {
    for (;;) {
        secret_string piece;
        {
            mutex_hold hold(mutex_);
            while (queue_.empty() && !done_) ::pthread_cond_wait(&ready_, &hold.mutex());
            if (queue_.empty()) return;
            piece = std::move(queue_.front());
            queue_.pop_front();
        }
        // A reader that went away ends the process (SIGPIPE), as any write
        // to it would; other failures lose what was not written.
        write_all(STDOUT_FILENO, piece.view());
    }
}
