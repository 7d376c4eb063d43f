// What kesp-clip and kesp-otp share in front of their own work: the entry id
// from the command line and the entry itself, read as kesp reads it.
#pragma once

#include <optional>

#include "store/entry.h"

// A positive entry id written in digits only; nothing otherwise.
std::optional<int> parse_entry_id(const char *text);

// The entry with `id` of the active database, read under the shared
// per-user lock, which is let go before this returns (a clearer forked
// later must not inherit it). Nothing, after a message on standard error,
// without an active database, when the store fails, or with
// "Entry %d not found.\n".
entry_ptr read_entry(int id);
