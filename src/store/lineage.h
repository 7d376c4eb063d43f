// Which database a file is, and how far it has come: a table of one row
// that kesp-sync keeps inside the database itself, so that it travels
// encrypted and authenticated with every copy. `identity` is drawn once per
// database; `version` grows each time kesp-sync writes the database after
// taking in another copy. kesp itself never reads or writes the table.
//
// Both operations work on a database file's bytes in memory (a decrypted
// container) and touch no file. The bytes are not trusted: they are read
// with SQLite's defensive settings, nothing in their schema runs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "memory/secret.h"

inline constexpr const char *lineage_table = "lineage";
inline constexpr const char *lineage_create_statement =
    "create table lineage(identity blob not null, version integer not null);";

inline constexpr std::size_t lineage_identity_size = 16;

struct db_lineage {
    std::array<unsigned char, lineage_identity_size> identity{};
    std::int64_t version = 0;
    bool operator==(const db_lineage &) const = default;
};

enum class lineage_status {
    present,   // `out` holds it
    absent,    // the database has no such table: kesp-sync never stamped it
    malformed, // the table is there but not one row of 16 bytes and a count
    failed,    // not a database SQLite can read (after no message)
};

// The lineage in the database whose file bytes are `bytes`. The bytes
// are copied before SQLite sees them; they are not changed.
lineage_status db_image_lineage(const unsigned char *bytes, std::size_t size, db_lineage &out);

// The bytes of the same database with `lineage` as its only row (the table
// made when missing); nothing after a message.
std::unique_ptr<wiped_buffer> db_image_with_lineage(const unsigned char *bytes, std::size_t size,
                                                    const db_lineage &lineage);
