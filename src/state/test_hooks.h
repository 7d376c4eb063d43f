// Hooks through which the end-to-end tests reach into a running program.
// They are compiled in only where KESP_TEST_HOOKS is defined, which the
// test build does for the copies of the programs it runs; the programs
// that are installed ignore the environment variables below entirely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// When KESP_TEST_STOP_AT names `point`, the process stops itself (SIGSTOP)
// there, so that a test can run another command at exactly that moment and
// continue this one after. Points:
//   "before-lock"          after the prompts, before taking the lock to act
//   "locked"               holding the lock, before the first change
//   "replacement-written"  a new file is complete, before it takes its name
//   "replacement-named"    the new file has its temporary name, before the rename
//   "replaced"             the new file has the name it replaces, before the
//                          folder is synced
//   "encrypt-first-chunk-read"  encryption has read its first chunk
//   "container-detected"   decryption found a container, before opening it
//   "trailer-read"         decryption read the trailer, before the rest
//   "received"             kesp-sync took in the other copy's database,
//                          before it makes the file private
void test_stop_point(const char *point);

// True when KESP_TEST_FAIL_AT names `point`: the caller then fails there
// as it would on a real failure, so that a test can reach the code that
// handles it. Points:
//   "vacuum"  kesp-history's rebuild of the file after a forget
//   "typed-store"  the store, writing what was typed during a lock into a
//                  copy of the container
bool test_fail_point(const char *point);

// When KESP_TEST_SEED holds a number, fills `out` with the next `size`
// bytes of a fixed pseudo-random stream started from that number (a new
// number starts the stream again) and returns true, so that a test can draw
// the same passwords again; false otherwise, and the caller draws real
// random bytes.
bool test_random_bytes(unsigned char *out, std::size_t size);

// True when KESP_TEST_NAMED_TEMP is set: new files are written under a
// name from the start, as on file systems without O_TMPFILE.
bool test_named_temp_only();

// When KESP_TEST_REQUEST_SECONDS holds a number, kesp-agent waits that
// many seconds for the whole of a request instead of one, so that a test
// can show what else cuts a slow request short; nothing otherwise.
std::optional<long> test_request_seconds();

// Adds `units` to the tally of `what`, which test_work_count reads, so that
// a test can bound an operation by the work it did instead of by the clock;
// nothing outside test builds. Safe from any thread. Tallies:
//   "sqlite-steps"  thousands of SQLite virtual machine steps spent reading
//                   the bytes of a database file (store/image.h)
void test_count_work(const char *what, std::uint64_t units);
// The tally of `what` so far; 0 outside test builds.
std::uint64_t test_work_count(const char *what);
