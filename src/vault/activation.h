// Making a database active and forgetting it again: the only code that
// writes or deletes the pointer file. Creating a database, decrypting a
// container, switching to a plain database, encrypting the active one: each
// takes the lock alone for its change and checks first that what the person
// saw before typing is still so. The programs ask their questions before
// calling the second half of each pair (may_decrypt, then
// decrypt_and_activate; db_to_encrypt, then encrypt_active_db), never while
// the lock is held.
#pragma once

#include <optional>

#include "vault/active_db.h"

// -i: under the lock alone, refuses while a database is active unless
// `force` ("Existing database is already active. Encrypt it before
// creating a new one.\n"); with `force` deletes what stands at `path`,
// warning when that leaves another decrypted database unrecorded. Then
// creates the database (mode 0600) and records it as active. False after a
// message.
bool create_and_activate(const char *path, bool force);

// -E before the master password is asked: the active database. Nothing
// after "No decrypted database found.\n"; a record of a database that is
// encrypted already or no longer exists is removed, after saying so.
std::optional<active_db> db_to_encrypt();

// The auto-encrypt hand-off and -E after the master password was typed
// twice: under the lock alone, once `db` is still the active database,
// settles it (see db_settle), encrypts it in place and forgets it as
// active. Prints "Encryption of %s failed.\n" after the reason, and a
// warning when other hard links keep the plain file. An agent's copy is
// sealed by its agent into its container instead (encrypt_agent_copy).
bool encrypt_active_db(const active_db &db, const char *password);

// -D before the master password is asked: true when no database is active
// and nothing lies beside the container at `path` (no_container_side_file).
// False after "Existing database is already active. Encrypt it before
// decrypting another one.\n" or the side file's message.
bool may_decrypt(const char *path);

// -D after: under the lock alone, checks again what may_decrypt checked,
// records `path` as active (first: a decrypted database that nothing
// remembers would stay in clear), decrypts it in place and keeps the
// record only when that succeeded. False after "Failed to decrypt %s.\n"
// (following the reason) or may_decrypt's messages.
bool decrypt_and_activate(const char *path, const char *password);

// -u before anything is encrypted or asked: true when `path` can be
// opened and, when it is a container, has no side file beside it. False
// after "Unable to open <path>: <reason>\n" or the side file's message.
bool may_switch_to(const char *path);

// -u with a plain database, after the active one was encrypted: under the
// lock alone records `path` as active, unless another database became
// active meanwhile ("%s became active meanwhile; nothing was changed.\n").
bool activate_plain_db(const char *path);
