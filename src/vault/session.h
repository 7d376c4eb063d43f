// One command's work on the active database, in the order every program
// of the suite takes its steps:
//
//   1. Resolve the active database once, under the shared lock
//      (begin_session): without one the command ends with a message.
//   2. Read what the command starts from (fetch_entry, read_entry), still
//      under the lock, then let the lock go: nothing waits for a person
//      while holding it.
//   3. Ask the questions, if any.
//   4. Take the lock alone (lock_unchanged) and check that the database is
//      still the one resolved in step 1; then make the one change.
//   5. Let the lock go. kesp then runs its auto-encrypt step, which asks
//      and locks for itself (encrypt_active_db).
#pragma once

#include <optional>
#include <string>

#include "store/entry.h"
#include "vault/active_db.h"
#include "vault/lock.h"

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
// database; nothing (after saying what changed `during` the wait, see
// still_active) otherwise.
std::optional<user_lock> lock_unchanged(const active_db &before,
                                        const char *during = while_typing);

// The entry with `id` from the database at `path`, or nothing when the store
// failed (it has reported) or no entry has that id (then `missing` is
// printed on standard output, with the id for a %d in it).
entry_ptr fetch_entry(const char *path, int id, const char *missing);

// For the companions: the entry with `id` of the active database, read
// under the shared lock, which is let go before this returns (a process
// forked later must not inherit it). Nothing, after a message on standard
// error, without an active database, when the store fails, or with
// "Entry %d not found.\n".
entry_ptr read_entry(int id);

// Under the lock: true when entry `seen.id` of the database at `path` still
// holds what `seen` (read from it earlier) holds, timestamp included;
// otherwise false after "Entry %d was removed (changed) while you typed;
// nothing was changed.\n" (or the store's message).
bool entry_unchanged(const char *path, const entry &seen);

// Replaces the password of entry `id` of the database resolved as `before`
// (renewing its modification time), provided that entry still holds what
// `seen` holds: taken under the lock alone, as in step 4. False after a
// message otherwise.
bool replace_entry_password(const active_db &before, const entry &seen, const char *password);

// The auto-encrypt hand-off and -E after the master password was typed
// twice: under the lock alone, once `db` is still the active database,
// settles it (see db_settle), encrypts it in place and forgets it as
// active. Prints "Encryption of %s failed.\n" after the reason, and a
// warning when other hard links keep the plain file.
bool encrypt_active_db(const active_db &db, const char *password);
