#include "state/side_job.h"

side_job::~side_job() {
    if (running_) ::pthread_join(thread_, nullptr);
}

void side_job::start() {
    if (running_ || done_) return;
    running_ = ::pthread_create(&thread_, nullptr, run, this) == 0;
}

void side_job::finish() {
    if (running_) {
        ::pthread_join(thread_, nullptr);
        running_ = false;
    } else if (!done_) {
        run(this);
    }
}

void *side_job::run(void *self) {
    auto *job = static_cast<side_job *>(self);
    job->work_(job->context_);
    job->done_ = true;
    return nullptr;
}
