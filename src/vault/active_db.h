// The active database: the decrypted database file that the pointer file
// names, resolved once per command and checked again before a command that
// asked questions changes anything.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

#include "store/db_handle.h"

// The database a command works on: its recorded (absolute) path and the
// file that path led to when it was resolved.
struct active_db {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    // For an agent's copy whose agent answered: the container it came
    // from, where a change typed meanwhile goes should the agent lock.
    std::string container;
};

// The handle the store's operations take for `db`, once resolved.
db_handle handle_of(const active_db &db);

// Where the pointer file leads now. Silent; `out` is filled as far as known
// (the path unless `none`, the file's identity when it exists).
// An agent's copy counts as a use of it (see note_agent_use); when its agent
// has ended, the copy is wiped, that is said, and the state is `ended`.
enum class active_state { none, ok, missing, encrypted, ended };
active_state probe_active_db(active_db &out);

// The active database, checked: the file exists and is not an encrypted
// container. Prints why not on standard error:
//   "No decrypted database found.\n"  (no pointer file, or an empty one)
//   "The active database %s does not exist.\n"
//   "The active database %s is encrypted, not decrypted.\n"
// A file that exists but cannot be opened or is no database passes here;
// the store reports it when it tries to open it.
std::optional<active_db> resolve_active_db();

// What a program waited for between resolving the database and acting on
// it, as the messages of still_active put it: kesp asks questions, a
// companion may read a file instead.
inline constexpr const char *while_typing = "while you typed";
inline constexpr const char *while_reading = "while the file was read";

// True when `before` is still the active database: the pointer file names
// the same path, which still leads to the same file, still decrypted.
// Otherwise prints what changed `during` the wait, ending in "nothing was
// changed.\n" ("%s was encrypted or closed while you typed; nothing was
// changed.\n" and the like).
bool still_active(const active_db &before, const char *during = while_typing);
