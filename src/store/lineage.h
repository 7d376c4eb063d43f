// Which database a file is, and how far it has come: a table of one row
// that kesp-sync keeps inside the database itself, so that it travels
// encrypted and authenticated with every copy. `identity` is drawn once per
// database; `version` grows each time kesp-sync writes the database after
// taking in another copy. kesp itself never reads or writes the table.
//
// The operations work on a database file's bytes in memory (a decrypted
// container) or on a connection already open over them, and touch no
// file. The bytes are not trusted: they are read with SQLite's defensive
// settings, nothing in their schema runs.
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

// The same two on a connection that is open over a database already (one
// that reads or builds an image). Writing adds the table and its row
// inside the caller's transaction; false after SQLite's error, no message.
struct sqlite3;
lineage_status db_lineage_read(sqlite3 *db, db_lineage &out);
bool db_lineage_write(sqlite3 *db, const db_lineage &lineage);

// What one copy of a database says of its lineage.
struct carried_lineage {
    lineage_status status = lineage_status::absent;
    db_lineage lineage;  // with status present
};

// The lineage of a database merged from two copies: the identity they
// share, or the one copy's that carries one, at the version after both
// (one more than the greater). Every program that joins two copies of a
// database gives the result this lineage.
enum class lineage_join {
    joined,     // `out` holds it
    none,       // neither copy carries a lineage: the result carries none
    different,  // the copies carry different identities: two databases
    damaged,    // a copy's table is malformed or unreadable
};
lineage_join join_lineages(const carried_lineage &ours, const carried_lineage &theirs,
                           db_lineage &out);
