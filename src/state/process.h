// Process-wide protections that every program of the suite sets up first,
// and the pause points the tests use to order two processes.
#pragma once

// Sets the core-file size limit to zero and marks the process non-dumpable:
// no core file can carry a typed master password away, and other processes
// of the same user cannot attach to read it.
void harden_process();

// Test hook: when the environment variable KESP_TEST_STOP_AT names `point`,
// the process stops itself (SIGSTOP) there, so that a test can run another
// command at exactly that moment and continue this one after. Points:
//   "before-lock"  after the prompts, before taking the lock to act
//   "locked"       holding the lock, before the first change
void test_stop_point(const char *point);
