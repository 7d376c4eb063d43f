// The command session: the steps that every entry command shares, in the
// order it takes them.
//
//   1. Resolve the active database once (require_active_db): the pointer
//      file names it; without one the command ends with a message.
//   2. Act on that path: prompts, then the store (fetch_entry for the
//      commands that start from one entry).
//   3. The auto-encrypt step (run_auto_encrypt_step), for the commands that
//      honour --auto-encrypt, once they are past their own failure points.
#pragma once

#include <optional>
#include <string>

#include "store/entry.h"

// Path of the active database. Without one, prints
// "No decrypted database found.\n"; with a pointer file that yields no path,
// prints `no_path` (the store's "Error getting database path\n" unless the
// command has its own words).
std::optional<std::string> require_active_db(
    const char *no_path = "Error getting database path\n");

// The entry with `id` from the database at `path`, or nothing when the store
// failed (it has reported) or no entry has that id (then `missing` is
// printed on standard output, with the id for a %d in it).
entry_ptr fetch_entry(const std::string &path, int id, const char *missing);

// Prints "Auto encrypt enabled, type password to encrypt.\n" and runs
// cmd_encrypt; its result is ignored.
void run_auto_encrypt_step();
