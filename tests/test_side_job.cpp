// Work handed to another core: done exactly once, on the caller's thread
// when no other thread took it, and never when it was not asked for.
#include <gtest/gtest.h>

#include <atomic>
#include <pthread.h>

#include "state/side_job.h"

namespace {

struct tally {
    std::atomic<int> runs{0};
    pthread_t ran_on{};

    static void work(void *self) {
        auto *t = static_cast<tally *>(self);
        t->ran_on = ::pthread_self();
        ++t->runs;
    }
};

}  // namespace

TEST(SideJob, IsDoneOnceWhateverTheCalls) {
    struct {
        const char *calls;  // s: start, f: finish
        int runs;
    } cases[] = {
        {"sf", 1}, {"sff", 1}, {"ssf", 1}, {"f", 1}, {"ff", 1}, {"fs", 1}, {"fsf", 1},
        {"s", 1},  // the destructor waits for the thread
        {"", 0},   // never asked for: never done, not even on the way out
    };
    for (const auto &c : cases) {
        tally t;
        {
            side_job job(tally::work, &t);
            for (const char *call = c.calls; *call != '\0'; ++call)
                *call == 's' ? job.start() : job.finish();
        }
        EXPECT_EQ(t.runs, c.runs) << '"' << c.calls << '"';
    }
}

TEST(SideJob, NotStartedIsDoneOnTheCallersThreadByFinish) {
    tally t;
    side_job job(tally::work, &t);
    job.finish();
    ASSERT_EQ(t.runs, 1);
    EXPECT_TRUE(::pthread_equal(t.ran_on, ::pthread_self()));
}

TEST(SideJob, StartedIsDoneOnAnotherThreadAndFinishedWhenFinishReturns) {
    tally t;
    side_job job(tally::work, &t);
    job.start();
    job.finish();
    ASSERT_EQ(t.runs, 1);
    EXPECT_FALSE(::pthread_equal(t.ran_on, ::pthread_self()));
}
