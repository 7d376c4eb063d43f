#include "store/image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include <sqlite3.h>

#include "store/schema.h"
#include "store/sqlite_handles.h"

namespace {

const char *const count_rows = "select count(*) from entries;";
const char *const select_rows =
    "select id,title,user,url,password,notes,timestamp from entries order by id;";
const char *const insert_row =
    "insert into entries(id,title,user,url,password,notes,timestamp)values(?,?,?,?,?,?,?);";

// A private database in memory; with `vfs` "memdb", one whose file is a
// single block that sqlite3_serialize can hand out as it is.
connection open_memory_db(const char *vfs) {
    sqlite3 *raw = nullptr;
    int rc = sqlite3_open_v2(vfs != nullptr ? "merged" : ":memory:", &raw,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, vfs);
    connection db(raw);
    if (rc != SQLITE_OK) {
        std::fprintf(stderr, "Cannot open a database in memory: %s\n",
                     raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
        return nullptr;
    }
    return db;
}

statement prepare(sqlite3 *db, const char *sql) {
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) return nullptr;
    return statement(raw);
}

std::string_view column_text(sqlite3_stmt *s, int column) {
    const unsigned char *text = sqlite3_column_text(s, column);
    if (text == nullptr) return {};
    return {reinterpret_cast<const char *>(text), static_cast<std::size_t>(sqlite3_column_bytes(s, column))};
}

bool not_kesp(const char *name, sqlite3 *db) {
    std::fprintf(stderr, "%s is not a kesp database: %s.\n", name, sqlite3_errmsg(db));
    return false;
}

// "ok" from the quick check, which reads every page once. Otherwise its
// first finding, without the line that names the schema.
bool passes_quick_check(sqlite3 *db, const char *name) {
    statement check = prepare(db, "pragma quick_check;");
    if (!check) return not_kesp(name, db);
    int rc = sqlite3_step(check.get());
    if (rc != SQLITE_ROW) return not_kesp(name, db);
    std::string_view verdict = column_text(check.get(), 0);
    if (verdict == "ok") return true;
    if (verdict.rfind("*** ", 0) == 0) verdict.remove_prefix(verdict.find('\n') + 1);
    verdict = verdict.substr(0, verdict.find('\n'));
    std::fprintf(stderr, "%s is damaged: %.*s\n", name, static_cast<int>(verdict.size()),
                 verdict.data());
    return false;
}

bool run(sqlite3 *db, const char *sql) {
    char *error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
    std::fprintf(stderr, "Cannot build the database in memory: %s\n",
                 error != nullptr ? error : sqlite3_errmsg(db));
    sqlite3_free(error);
    return false;
}

bool bind(sqlite3_stmt *s, int column, std::string_view text) {
    return sqlite3_bind_text64(s, column, text.data() != nullptr ? text.data() : "", text.size(),
                               SQLITE_STATIC, SQLITE_UTF8) == SQLITE_OK;
}

}  // namespace

bool db_image_visit(unsigned char *bytes, std::size_t size, const char *name,
                    const image_reader &reader) {
    // The in-memory file has no log beside it; in WAL mode SQLite would look
    // for one (header bytes 18 and 19 are the read and write versions).
    static const char header[] = "SQLite format 3";
    if (size >= 100 && std::memcmp(bytes, header, sizeof header) == 0 && bytes[18] == 2 &&
        bytes[19] == 2)
        bytes[18] = bytes[19] = 1;
    connection db = open_memory_db(nullptr);
    if (!db) return false;
    if (sqlite3_deserialize(db.get(), "main", bytes, static_cast<sqlite3_int64>(size),
                            static_cast<sqlite3_int64>(size), SQLITE_DESERIALIZE_READONLY) !=
        SQLITE_OK)
        return not_kesp(name, db.get());
    // Pages are read where they lie instead of being copied into the cache.
    sqlite3_exec(db.get(), "pragma mmap_size=9223372036854775807;", nullptr, nullptr, nullptr);
    if (!passes_quick_check(db.get(), name)) return false;
    statement count = prepare(db.get(), count_rows);
    if (!count || sqlite3_step(count.get()) != SQLITE_ROW) return not_kesp(name, db.get());
    reader.expect(reader.context, static_cast<std::size_t>(sqlite3_column_int64(count.get(), 0)));
    statement rows = prepare(db.get(), select_rows);
    if (!rows) return not_kesp(name, db.get());
    int rc;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        sqlite3_stmt *s = rows.get();
        const image_row row{sqlite3_column_int64(s, 0), column_text(s, 1), column_text(s, 2),
                            column_text(s, 3), column_text(s, 4), column_text(s, 5),
                            column_text(s, 6)};
        if (!reader.row(reader.context, row)) return false;
    }
    if (rc != SQLITE_DONE) return not_kesp(name, db.get());
    return true;
}

built_image::~built_image() { sqlite3_close(db_); }

std::unique_ptr<built_image> db_image_build(image_row_source next, void *context,
                                            std::size_t expected_size) {
    // An in-memory file of SQLite's memdb, which serializes without a copy,
    // in one block of the expected size that grows only if it must.
    connection db = open_memory_db("memdb");
    if (!db) return nullptr;
    const sqlite3_int64 room = static_cast<sqlite3_int64>(std::max<std::size_t>(expected_size, 4096));
    auto *block = static_cast<unsigned char *>(sqlite3_malloc64(static_cast<sqlite3_uint64>(room)));
    if (block == nullptr) {
        std::fputs("Cannot build the database in memory: out of memory.\n", stderr);
        return nullptr;
    }
    hint_huge_pages(block, static_cast<std::size_t>(room));
    // SQLite owns the block from here on, even when this fails.
    if (sqlite3_deserialize(db.get(), "main", block, 0, room,
                            SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_RESIZEABLE) !=
        SQLITE_OK) {
        std::fprintf(stderr, "Cannot build the database in memory: %s\n", sqlite3_errmsg(db.get()));
        return nullptr;
    }
    sqlite3_exec(db.get(), "pragma mmap_size=9223372036854775807;", nullptr, nullptr, nullptr);
    if (!run(db.get(), "pragma journal_mode=off;") || !run(db.get(), entries_create_statement) ||
        !run(db.get(), "begin;"))
        return nullptr;
    statement insert = prepare(db.get(), insert_row);
    if (!insert) {
        std::fprintf(stderr, "Cannot build the database in memory: %s\n", sqlite3_errmsg(db.get()));
        return nullptr;
    }
    for (image_row row; next(context, row);) {
        sqlite3_stmt *s = insert.get();
        bool bound = sqlite3_bind_int64(s, 1, row.id) == SQLITE_OK && bind(s, 2, row.title) &&
                     bind(s, 3, row.user) && bind(s, 4, row.url) && bind(s, 5, row.password) &&
                     bind(s, 6, row.notes) && bind(s, 7, row.timestamp);
        if (!bound || sqlite3_step(s) != SQLITE_DONE) {
            std::fprintf(stderr, "Cannot build the database in memory: %s\n",
                         sqlite3_errmsg(db.get()));
            return nullptr;
        }
        sqlite3_reset(s);
    }
    insert.reset();
    if (!run(db.get(), "commit;")) return nullptr;

    sqlite3_int64 size = 0;
    unsigned char *bytes = sqlite3_serialize(db.get(), "main", &size, SQLITE_SERIALIZE_NOCOPY);
    if (bytes == nullptr && size > 0) {
        std::fputs("Cannot build the database in memory: it cannot be serialized.\n", stderr);
        return nullptr;
    }
    return std::make_unique<built_image>(db.release(), bytes, static_cast<std::size_t>(size));
}
