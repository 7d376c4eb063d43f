// The parts of reading a database image that go on another core (each on
// a connection of its own): the quick check, and the upper half of a long
// table.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sqlite3.h>

#include "state/side_job.h"
#include "store/image.h"
#include "store/image_bytes.h"

// Hands the rows that `rows` selects to `row` with `context`.
bool hand_rows(sqlite3 *db, sqlite3_stmt *rows, const char *name,
               bool (*row)(void *context, const image_row &row), void *context,
               finding &found);

// The quick check of a file.
class quick_check_job {
public:
    quick_check_job(unsigned char *bytes, std::size_t size, const char *name, std::uint64_t limit)
        : bytes_(bytes), size_(size), name_(name), budget_{limit} {}
    quick_check_job(const quick_check_job &) = delete;
    quick_check_job &operator=(const quick_check_job &) = delete;
    ~quick_check_job() { job_.finish(); }

    void start() { job_.start(); }
    bool passed() {
        job_.finish();
        return passed_;
    }
    const finding &found() const { return found_; }
    std::uint64_t calls() const { return budget_.calls; }

private:
    static void work(void *self);

    unsigned char *bytes_;
    std::size_t size_;
    const char *name_;
    work_budget budget_;
    finding found_;
    bool passed_ = false;
    side_job job_{work, this};  // last: it ends before what it touches
};

// The rows above `after` handed to the reader's second part. Its rows join
// the first part's, or are dropped, once both are read.
class upper_rows_job {
public:
    upper_rows_job(unsigned char *bytes, std::size_t size, const char *name, std::uint64_t limit,
                   const image_reader &reader, void *second, std::int64_t after)
        : bytes_(bytes), size_(size), name_(name), budget_{limit}, reader_(reader),
          second_(second), after_(after) {}
    upper_rows_job(const upper_rows_job &) = delete;
    upper_rows_job &operator=(const upper_rows_job &) = delete;
    ~upper_rows_job();

    void start() { job_.start(); }
    void finish() { job_.finish(); }
    bool read() {
        job_.finish();
        return read_;
    }
    // Appends the rows to the first part's.
    void rejoin();
    const finding &found() const { return found_; }
    std::uint64_t calls() const { return budget_.calls; }

private:
    static void work(void *self);

    unsigned char *bytes_;
    std::size_t size_;
    const char *name_;
    work_budget budget_;
    const image_reader &reader_;
    void *second_;
    std::int64_t after_;
    finding found_;
    bool read_ = false;
    side_job job_{work, this};  // last: it ends before what it touches
};
