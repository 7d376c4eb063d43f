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
//      add_entry, update_entry and replace_entry_password take this step
//      for their change; copy_entry and remove_entry, which ask nothing,
//      take all of them under the lock alone.
//   5. Let the lock go; a lock taken alone first has an agent's copy sealed
//      into its container (vault/agent_link.h). kesp then runs its auto-encrypt step, which asks
//      and locks for itself (encrypt_active_db, vault/activation.h).
#pragma once

#include <optional>
#include <string>

#include "store/entry.h"
#include "vault/active_db.h"
#include "vault/late_change.h"
#include "vault/lock.h"

// The active database and the lock held while working on it.
struct session {
    user_lock lock;
    active_db db;
#ifdef KESP_OPENS_DATABASE_FILES
    const char *path() const { return db.path.c_str(); }
#endif
    // What the store's operations take for the database.
    db_handle handle() const { return handle_of(db); }
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
entry_ptr fetch_entry(const db_handle &db, int id, const char *missing);
#ifdef KESP_OPENS_DATABASE_FILES
entry_ptr fetch_entry(const char *path, int id, const char *missing);
#endif

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
bool entry_unchanged(const db_handle &db, const entry &seen);
#ifdef KESP_OPENS_DATABASE_FILES
bool entry_unchanged(const char *path, const entry &seen);
#endif

// Adds `e` as a new entry (new id, current time) to the database resolved
// as `before`, under the lock alone once it is still the active database.
// False after a message: what changed meanwhile, or the store's reason and
// "Failed to add a new entry.\n".
bool add_entry(const active_db &before, const entry &e);

// Step 4 for what a person typed (or a program read from its standard
// input, which cannot be read again) against `before`: under the lock
// alone, once `before` is still the active database, `work` made on it.
// Should its agent have let it go meanwhile, the work goes where
// write_after_lock puts it (vault/late_change.h): nothing typed is lost.
// `refused` after saying what changed `during` the wait otherwise.
late_outcome make_typed_work(const active_db &before, const typed_work &work,
                             const char *during = while_typing);

// Replaces the texts of entry `seen.id` of the database resolved as
// `before` by those of `changed` (renewing its modification time), provided
// that the entry still holds what `seen` holds: another program's edit or
// removal meanwhile is never undone. Taken under the lock alone, as in
// step 4. `refused` after saying what changed meanwhile; `store_failed`
// after the store's message.
enum class update_outcome { written, store_failed, refused };
update_outcome update_entry(const active_db &before, const entry &seen, const entry &changed);

// -c: under the lock alone, adds a copy of entry `id` of the active
// database as a new entry. False after a message: `missing` on standard
// output (with the id for a %d in it) when no entry has that id, the
// store's reason and "Failed to add a new entry.\n" when the copy fails.
bool copy_entry(int id, const char *missing);

// -r: under the lock alone, removes entry `id` of the active database.
// True when an entry went, false when none had that id; nothing after a
// message (no active database, or the store's reason).
std::optional<bool> remove_entry(int id);

// Replaces the password of entry `id` of the database resolved as `before`
// (renewing its modification time), provided that entry still holds what
// `seen` holds: taken under the lock alone, as in step 4. False after a
// message otherwise.
bool replace_entry_password(const active_db &before, const entry &seen, const char *password);
