// A change a person finished typing for an agent's copy after its agent
// let the copy go meanwhile (locked at its maximum time, on SIGTERM or on
// request, or ended): what was typed is never thrown away.
//
// The change goes, in this order of preference:
//   - to where the container's entries are now: a copy of it unlocked again
//     by an agent that answers, or the container itself decrypted in place
//     and active; no question asked;
//   - into the container itself: its master password is asked once, on the
//     program's terminal (/dev/tty), the container opened into a private
//     folder on the RAM filesystem, the change made there and sealed into
//     the container (same salt, fresh IV), the folder wiped;
//   - when the container opened but could not be written: that folder is
//     kept as the copy of an agent that ended with unsealed changes (active,
//     kesp -E writes it), when no other database is active;
//   - otherwise (no terminal, a wrong password, the end of input, no
//     container): what was typed, in a form kesp-import reads (an entry in
//     kesp-csv, an import's records in kesp-json), in a
//     file of its own (0600) in a private folder on the RAM filesystem; the
//     program says where and how to bring it in, and so does every later
//     program that resolves the active database, while the file is there.
// Nothing of it reaches a disk.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "memory/secret.h"
#include "store/db_handle.h"
#include "store/entry.h"
#include "vault/active_db.h"
#include "vault/lock.h"

// `changed` added as a new entry (seen is nullptr), or entry seen->id
// replaced by the texts of `changed`, provided it still holds what `seen`
// holds.
struct typed_change {
    const entry *seen;
    const entry &changed;
};

enum class late_outcome {
    written,       // in the container, or where its entries are now
    kept,          // kept, and said where
    refused,       // the entry changed meanwhile (said), or nothing could be done (said)
    store_failed,  // the store's message was printed
};

// What a person typed, however much of it: the change it makes on a plain
// database, and the same as a file kesp-import reads, kept when no
// database can take it. Either may be asked for more than once.
struct typed_work {
    // Under the lock alone: written, or store_failed or refused after a
    // message.
    std::function<late_outcome(const db_handle &db)> make;
    // The kept file's bytes; false when they cannot be made (said).
    std::function<bool(secret_string &bytes)> kept_bytes;
    // Its name in its private folder. "typed-update.json" is named as
    // brought in with kesp-import --update.
    const char *file_name;
};

// The work of a typed entry (`change` must outlive it): made with
// apply_typed_change, kept as "typed.csv".
typed_work typed_entry_work(const typed_change &change);

// Under the user lock held alone: true when `before` was an agent's copy
// and is gone since (its agent locked, or ended and the copy was wiped).
bool agent_let_go(const active_db &before);

// The change for `before` (agent_let_go), made as above. `lock` is the
// user lock held alone; it is let go while the password is asked and taken
// again after; it may be empty on return.
late_outcome write_after_lock(std::optional<user_lock> &lock, const active_db &before,
                              const typed_work &work);

// kesp -E for `before` (agent_let_go): its agent sealed the container at
// its lock, under the master password it was unlocked with. True, silently,
// when `password` opens it already; otherwise "kesp-agent no longer holds
// DB: it was locked while you typed. Type its master password to seal it
// under the new one.\n", the master password asked once on /dev/tty, and
// the container sealed again under `password` ("The master password of DB
// is now the one just typed.\n" on standard output). False after "DB stays
// encrypted under its earlier master password.\n" when that cannot be done.
// `lock` as for write_after_lock.
bool encrypt_after_lock(std::optional<user_lock> &lock, const active_db &before,
                        const char *password);

// The change made on the plain database at `path` (under the lock alone):
// written, store_failed, or refused after "Entry %d was removed (changed)
// while you typed; nothing was changed.\n".
late_outcome apply_typed_change(const char *path, const typed_change &change);

// Says, for every file of typing kept as above that is still there, "What
// you typed while DB was locked is kept in FILE: kesp-import FILE adds it
// once DB is unlocked again; remove FILE then.\n" on standard error
// ("kesp-import --update FILE" for an import typed with --update), and
// forgets those that are gone. Silent otherwise.
void say_kept_typing();

// After kesp-import brought in `file`: when it is a file of typing kept as
// above (however its path is spelled), it is wiped, its folder removed and the record of it forgotten,
// and "FILE is brought in and removed.\n" said on standard error. Silent
// otherwise.
void forget_kept_typing(const std::string &file);
