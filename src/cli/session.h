// The command session: the steps that every entry command shares, in the
// order it takes them.
//
//   1. Resolve the active database once, under the shared lock
//      (begin_session): without one the command ends with a message.
//   2. Read what the command starts from (fetch_entry), still under the
//      lock, then let the lock go: nothing waits for a person while
//      holding it.
//   3. Ask the questions, if any.
//   4. Take the lock alone (lock_unchanged) and check that the database is
//      still the one resolved in step 1; then make the one change.
//   5. Let the lock go, then the auto-encrypt step (run_auto_encrypt_step)
//      for the commands that honour --auto-encrypt, once they are past
//      their own failure points. It asks and locks for itself.
#pragma once

#include <optional>
#include <string>

#include "state/active_db.h"
#include "state/lock.h"
#include "store/entry.h"

// The active database and the lock held while working on it.
struct session {
    user_lock lock;
    active_db db;
    const char *path() const { return db.path.c_str(); }
};

// Takes the lock of `kind` and resolves the active database (printing
// "No decrypted database found.\n" and the like when there is none).
std::optional<session> begin_session(lock_kind kind);

// After the questions: the lock, alone, once `before` is still the active
// database; nothing (after saying what changed) otherwise.
std::optional<user_lock> lock_unchanged(const active_db &before);

// The entry with `id` from the database at `path`, or nothing when the store
// failed (it has reported) or no entry has that id (then `missing` is
// printed on standard output, with the id for a %d in it).
entry_ptr fetch_entry(const char *path, int id, const char *missing);

// Prints "Auto encrypt enabled, type password to encrypt.\n" and runs
// cmd_encrypt; its result is ignored.
void run_auto_encrypt_step();
