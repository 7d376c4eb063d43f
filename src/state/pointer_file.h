// The pointer file ~/.kesp.open_db: the one piece of state kept between runs.
// It holds the absolute path of the active (decrypted) database, with no
// newline. A pointer file that yields a path means that a database is
// active; an empty one counts as none.
#pragma once

#include <optional>
#include <string>

// $HOME + "/.kesp.open_db", or nothing when HOME is unset.
std::optional<std::string> get_open_db_path();

// First line of the pointer file as stored (a trailing newline stays), or
// nothing when HOME is unset, the file cannot be read or it is empty.
// Prints nothing.
std::optional<std::string> read_active_db_path();

// Records `path` made absolute against the working directory (a final
// symbolic link stays a link). The file is replaced atomically: written to a
// temporary file beside it, synced, renamed over it, so that it never holds
// a partial path. Prints "Error creating ~/.kesp.open_db file\n" and returns
// false when that fails; does nothing and returns false when HOME is unset.
bool write_active_db_path(const char *path);

// Deletes the pointer file; a missing one is fine. False, after a message,
// when it cannot be removed.
bool remove_active_db_path();

// True when the pointer file yields a path (see read_active_db_path).
bool has_active_db();

// `path` made absolute against the working directory, without resolving
// links or dot segments; `path` itself when that fails.
std::string absolute_path(const char *path);
