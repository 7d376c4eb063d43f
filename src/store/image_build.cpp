#include "store/image.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include <sqlite3.h>

#include "state/failure.h"
#include "state/files.h"
#include "store/history.h"
#include "store/image_sql.h"
#include "store/schema.h"
#include "store/sqlite_handles.h"

namespace {

const char *const insert_row =
    "insert into entries(id,title,user,url,password,notes,timestamp)values(?,?,?,?,?,?,?);";

// Rows are inserted up to this many to a statement, which is set up and
// ended once for all of them.
constexpr int rows_per_insert = 64;
constexpr int columns_per_row = 7;

// `rows` rows that take the ids SQLite gives next.
std::string insert_following_rows(int rows) {
    std::string sql = "insert into entries(title,user,url,password,notes,timestamp)values";
    for (int i = 0; i < rows; ++i) sql += i == 0 ? "(?,?,?,?,?,?)" : ",(?,?,?,?,?,?)";
    return sql + ";";
}

bool run(sqlite3 *db, const char *sql) {
    char *error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
    say_failuref("Cannot build the database in memory: %s\n",
                 error != nullptr ? error : sqlite3_errmsg(db));
    sqlite3_free(error);
    return false;
}

bool bind(sqlite3_stmt *s, int column, std::string_view text) {
    return sqlite3_bind_text64(s, column, text.data() != nullptr ? text.data() : "", text.size(),
                               SQLITE_STATIC, SQLITE_UTF8) == SQLITE_OK;
}

// The record and its versions, in the transaction of a build.
bool build_versions(sqlite3 *db, image_version_source next, void *context) {
    if (!run(db, history_table_statement) || !run(db, history_index_statement) ||
        !run(db, history_edit_trigger) || !run(db, history_remove_trigger))
        return false;
    statement insert = prepare(db, "insert into history(entry_id,gone,title,user,url,password,"
                                   "notes,timestamp,replaced,why)values(?,?,?,?,?,?,?,?,?,?);");
    if (!insert) {
        say_failuref("Cannot build the database in memory: %s\n", sqlite3_errmsg(db));
        return false;
    }
    for (image_version v; next(context, v);) {
        sqlite3_stmt *s = insert.get();
        bool bound = sqlite3_bind_int64(s, 1, v.entry_id) == SQLITE_OK &&
                     sqlite3_bind_int64(s, 2, v.gone) == SQLITE_OK && bind(s, 3, v.title) &&
                     bind(s, 4, v.user) && bind(s, 5, v.url) && bind(s, 6, v.password) &&
                     bind(s, 7, v.notes) && bind(s, 8, v.timestamp) && bind(s, 9, v.replaced) &&
                     bind(s, 10, v.why);
        if (!bound || sqlite3_step(s) != SQLITE_DONE) {
            say_failuref("Cannot build the database in memory: %s\n", sqlite3_errmsg(db));
            return false;
        }
        sqlite3_reset(s);
    }
    return true;
}

}  // namespace

built_image::~built_image() { sqlite3_close(db_); }

std::unique_ptr<built_image> db_image_build(image_row_source next, void *context,
                                            std::size_t expected_size,
                                            image_version_source versions,
                                            void *versions_context, const db_lineage *lineage) {
    // An in-memory file of SQLite's memdb, which serializes without a copy,
    // in one block of the expected size that grows only if it must.
    connection db = open_memory_db("memdb");
    if (!db) return nullptr;
    const sqlite3_int64 room = static_cast<sqlite3_int64>(std::max<std::size_t>(expected_size, 4096));
    auto *block = static_cast<unsigned char *>(sqlite3_malloc64(static_cast<sqlite3_uint64>(room)));
    if (block == nullptr) {
        say_failure("Cannot build the database in memory: out of memory.\n");
        return nullptr;
    }
    hint_huge_pages(block, static_cast<std::size_t>(room));
    // SQLite owns the block from here on, even when this fails.
    if (sqlite3_deserialize(db.get(), "main", block, 0, room,
                            SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_RESIZEABLE) !=
        SQLITE_OK) {
        say_failuref("Cannot build the database in memory: %s\n", sqlite3_errmsg(db.get()));
        return nullptr;
    }
    sqlite3_exec(db.get(), "pragma mmap_size=9223372036854775807;", nullptr, nullptr, nullptr);
    if (!run(db.get(), "pragma journal_mode=off;") || !run(db.get(), entries_create_statement) ||
        !run(db.get(), "begin;"))
        return nullptr;
    auto failed = [&]() {
        say_failuref("Cannot build the database in memory: %s\n", sqlite3_errmsg(db.get()));
        return nullptr;
    };
    // A row whose id follows the greatest so far goes in without it: SQLite
    // gives it that very id and appends the row, where a row with its id
    // given is first looked for in the table. Such rows go in runs of up to
    // `rows_per_insert` to a statement (`following[n]` takes n, prepared
    // when first needed); any other row goes in alone, with its id.
    statement with_id = prepare(db.get(), insert_row);
    if (!with_id) return failed();
    statement following[rows_per_insert + 1];
    image_row pending[rows_per_insert];
    int held = 0;
    auto put_run = [&]() {
        if (held == 0) return true;
        statement &s = following[held];
        if (!s) s = prepare(db.get(), insert_following_rows(held).c_str());
        bool bound = static_cast<bool>(s);
        for (int i = 0; bound && i < held; ++i) {
            const image_row &r = pending[i];
            const int at = i * (columns_per_row - 1);
            bound = bind(s.get(), at + 1, r.title) && bind(s.get(), at + 2, r.user) &&
                    bind(s.get(), at + 3, r.url) && bind(s.get(), at + 4, r.password) &&
                    bind(s.get(), at + 5, r.notes) && bind(s.get(), at + 6, r.timestamp);
        }
        if (!bound || sqlite3_step(s.get()) != SQLITE_DONE) return false;
        sqlite3_reset(s.get());
        held = 0;
        return true;
    };
    auto put_with_id = [&](const image_row &row) {
        sqlite3_stmt *s = with_id.get();
        bool bound = sqlite3_bind_int64(s, 1, row.id) == SQLITE_OK && bind(s, 2, row.title) &&
                     bind(s, 3, row.user) && bind(s, 4, row.url) && bind(s, 5, row.password) &&
                     bind(s, 6, row.notes) && bind(s, 7, row.timestamp);
        if (!bound || sqlite3_step(s) != SQLITE_DONE) return false;
        sqlite3_reset(s);
        return true;
    };
    std::int64_t greatest = 0;
    bool any = false;
    for (image_row row; next(context, row);) {
        if (any && greatest < INT64_MAX && row.id == greatest + 1) {
            pending[held++] = row;
            greatest = row.id;
            if (held == rows_per_insert && !put_run()) return failed();
            continue;
        }
        if (!put_run() || !put_with_id(row)) return failed();
        if (!any || row.id > greatest) greatest = row.id;
        any = true;
    }
    if (!put_run()) return failed();
    with_id.reset();
    for (statement &s : following) s.reset();
    if (versions != nullptr && !build_versions(db.get(), versions, versions_context))
        return nullptr;
    if (lineage != nullptr && !db_lineage_write(db.get(), *lineage)) return failed();
    if (!run(db.get(), "commit;")) return nullptr;

    sqlite3_int64 size = 0;
    unsigned char *bytes = sqlite3_serialize(db.get(), "main", &size, SQLITE_SERIALIZE_NOCOPY);
    if (bytes == nullptr && size > 0) {
        say_failure("Cannot build the database in memory: it cannot be serialized.\n");
        return nullptr;
    }
    return std::make_unique<built_image>(db.release(), bytes, static_cast<std::size_t>(size));
}

