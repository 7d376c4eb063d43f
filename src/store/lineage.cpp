#include "store/lineage.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <sqlite3.h>

#include "store/sqlite_handles.h"

namespace {

// Bytes 18 and 19 of the header say 2 for a database in write-ahead-log
// mode, which a database in memory cannot be; the copy is read as 1 and
// the result given back as the file said.
constexpr std::size_t wal_marks = 18;

// A writable database in memory over a copy of `bytes` that SQLite owns.
connection open_copy(const unsigned char *bytes, std::size_t size, bool &was_wal) {
    connection db;
    if (open_connection(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr, db) !=
        SQLITE_OK)
        return nullptr;
    sqlite3 *raw = db.get();
    sqlite3_db_config(raw, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    auto *copy = static_cast<unsigned char *>(sqlite3_malloc64(size > 0 ? size : 1));
    if (copy == nullptr) return nullptr;
    if (size > 0) std::memcpy(copy, bytes, size);
    was_wal = size > wal_marks + 1 && copy[wal_marks] == 2 && copy[wal_marks + 1] == 2;
    if (was_wal) copy[wal_marks] = copy[wal_marks + 1] = 1;
    if (sqlite3_deserialize(raw, "main", copy, static_cast<sqlite3_int64>(size),
                            static_cast<sqlite3_int64>(size > 0 ? size : 1),
                            SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_RESIZEABLE) !=
        SQLITE_OK)
        return nullptr;
    return db;
}

statement prepare(sqlite3 *db, const char *sql) {
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) return nullptr;
    return statement(raw);
}

// 1 the table is there, 0 it is not, -1 the schema cannot be read.
int has_table(sqlite3 *db) {
    statement s = prepare(db, "select count(*) from sqlite_schema where type='table' and name=?1;");
    if (!s) return -1;
    sqlite3_bind_text(s.get(), 1, lineage_table, -1, SQLITE_STATIC);
    if (sqlite3_step(s.get()) != SQLITE_ROW) return -1;
    return sqlite3_column_int(s.get(), 0) > 0 ? 1 : 0;
}

}  // namespace

lineage_status db_lineage_read(sqlite3 *db, db_lineage &out) {
    switch (has_table(db)) {
    case -1: return lineage_status::failed;
    case 0: return lineage_status::absent;
    default: break;
    }
    statement s = prepare(db, "select identity, version from lineage;");
    if (!s) return lineage_status::malformed;
    int rows = 0;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
        if (++rows > 1 || sqlite3_column_type(s.get(), 0) != SQLITE_BLOB ||
            sqlite3_column_bytes(s.get(), 0) != static_cast<int>(lineage_identity_size) ||
            sqlite3_column_type(s.get(), 1) != SQLITE_INTEGER)
            return lineage_status::malformed;
        std::memcpy(out.identity.data(), sqlite3_column_blob(s.get(), 0), lineage_identity_size);
        out.version = sqlite3_column_int64(s.get(), 1);
    }
    if (rc != SQLITE_DONE || rows != 1 || out.version < 0) return lineage_status::malformed;
    return lineage_status::present;
}

bool db_lineage_write(sqlite3 *db, const db_lineage &lineage) {
    const int present = has_table(db);
    if (present < 0 ||
        (present == 0 && sqlite3_exec(db, lineage_create_statement, nullptr, nullptr, nullptr) !=
                             SQLITE_OK) ||
        sqlite3_exec(db, "delete from lineage;", nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    statement insert = prepare(db, "insert into lineage(identity, version) values(?1, ?2);");
    if (!insert) return false;
    sqlite3_bind_blob(insert.get(), 1, lineage.identity.data(), lineage_identity_size,
                      SQLITE_STATIC);
    sqlite3_bind_int64(insert.get(), 2, lineage.version);
    return sqlite3_step(insert.get()) == SQLITE_DONE;
}

lineage_join join_lineages(const carried_lineage &ours, const carried_lineage &theirs,
                           db_lineage &out) {
    for (const carried_lineage *copy : {&ours, &theirs})
        if (copy->status == lineage_status::malformed || copy->status == lineage_status::failed)
            return lineage_join::damaged;
    const bool in_ours = ours.status == lineage_status::present;
    const bool in_theirs = theirs.status == lineage_status::present;
    if (!in_ours && !in_theirs) return lineage_join::none;
    if (in_ours && in_theirs && ours.lineage.identity != theirs.lineage.identity)
        return lineage_join::different;
    out = in_ours ? ours.lineage : theirs.lineage;
    const std::int64_t later =
        std::max(in_ours ? ours.lineage.version : 0, in_theirs ? theirs.lineage.version : 0);
    // A version so high that it cannot grow is no version kesp-sync wrote.
    if (later == INT64_MAX) return lineage_join::damaged;
    out.version = later + 1;
    return lineage_join::joined;
}

lineage_status db_image_lineage(const unsigned char *bytes, std::size_t size, db_lineage &out) {
    bool was_wal = false;
    connection db = open_copy(bytes, size, was_wal);
    if (!db) return lineage_status::failed;
    return db_lineage_read(db.get(), out);
}

std::unique_ptr<wiped_buffer> db_image_with_lineage(const unsigned char *bytes, std::size_t size,
                                                    const db_lineage &lineage) {
    bool was_wal = false;
    connection db = open_copy(bytes, size, was_wal);
    auto fail = [&](const char *why) {
        std::fprintf(stderr, "Cannot record which database this is: %s.\n",
                     db ? sqlite3_errmsg(db.get()) : why);
        return nullptr;
    };
    if (!db) return fail("it cannot be read");
    if (sqlite3_exec(db.get(), "begin;", nullptr, nullptr, nullptr) != SQLITE_OK ||
        !db_lineage_write(db.get(), lineage) ||
        sqlite3_exec(db.get(), "commit;", nullptr, nullptr, nullptr) != SQLITE_OK)
        return fail("");
    sqlite3_int64 out_size = 0;
    unsigned char *out = sqlite3_serialize(db.get(), "main", &out_size, SQLITE_SERIALIZE_NOCOPY);
    if (out == nullptr) return fail("it cannot be serialized");
    auto result = std::make_unique<wiped_buffer>(static_cast<std::size_t>(out_size));
    std::memcpy(result->data(), out, result->size());
    if (was_wal && result->size() > wal_marks + 1)
        result->data()[wal_marks] = result->data()[wal_marks + 1] = 2;
    return result;
}
