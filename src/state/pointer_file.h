// The pointer file ~/.kesp.open_db: the one piece of state kept between runs.
// It holds the path of the active (decrypted) database exactly as typed, with
// no newline; its existence alone means that a database is active.
#pragma once

#include <optional>
#include <string>

// $HOME + "/.kesp.open_db", or nothing when HOME is unset.
std::optional<std::string> get_open_db_path();

// First line of the pointer file as stored (a trailing newline stays), or
// nothing when HOME is unset, the file cannot be read or it is empty.
// Prints nothing.
std::optional<std::string> read_active_db_path();

// Creates or truncates the pointer file and writes `path`. Prints
// "Error creating ~/.kesp.open_db file\n" when it cannot be opened; does
// nothing when HOME is unset.
void write_active_db_path(const char *path);

// True when HOME is set and the pointer file exists (its content is not read).
bool has_active_db();

// -p: prints the active path, or "No decrypted database exist.\n" on stderr.
void cmd_show_db_path();
