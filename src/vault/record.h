// The changes that kesp-history makes to the record of earlier versions
// of the active database (store/history.h), each taken like every change
// of the suite: under the per-user lock held alone, on the database that
// the pointer file names, with nothing asked in between.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "store/history.h"

// Entry `handle` ("ID" or "rK") gets the texts of its version `n` back,
// those in `fields` (history_field bits) and no others. The id it stands
// under now when done; 0 when that version is not there (after "No version
// HANDLE.N is kept.\n", nothing changed); nothing after a message (a
// removed entry comes back whole: "Entry HANDLE was removed; it comes back
// whole, without --only.\n").
std::optional<std::int64_t> restore_version(std::string_view handle, int n,
                                            unsigned fields = history_all_fields);

// Forgets the versions of entry `handle`, or of every entry when `handle`
// is empty. How many were forgotten; nothing after a message.
std::optional<std::size_t> forget_versions(std::string_view handle);

// Undoes the latest import of the active database (history_undo_import).
// Nothing after a message.
std::optional<undone_import> undo_import();
