#include "store/image.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include <sqlite3.h>

#include "store/schema.h"

namespace {

struct connection_closer {
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
using connection = std::unique_ptr<sqlite3, connection_closer>;

struct statement_finalizer {
    void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
};
using statement = std::unique_ptr<sqlite3_stmt, statement_finalizer>;

const char *const select_rows =
    "select id,title,user,url,password,notes,timestamp from entries order by id;";
const char *const insert_row =
    "insert into entries(id,title,user,url,password,notes,timestamp)values(?,?,?,?,?,?,?);";

connection open_memory_db() {
    sqlite3 *raw = nullptr;
    int rc = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
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

// Bytes that sqlite3_serialize handed out, wiped before SQLite takes them back.
struct serialized_releaser {
    sqlite3_int64 size;
    void operator()(unsigned char *bytes) const {
        wipe(bytes, static_cast<std::size_t>(size));
        sqlite3_free(bytes);
    }
};

}  // namespace

bool db_image_visit(unsigned char *bytes, std::size_t size, const char *name,
                    image_row_visitor visit, void *context) {
    // The in-memory file has no log beside it; in WAL mode SQLite would look
    // for one (header bytes 18 and 19 are the read and write versions).
    static const char header[] = "SQLite format 3";
    if (size >= 100 && std::memcmp(bytes, header, sizeof header) == 0 && bytes[18] == 2 &&
        bytes[19] == 2)
        bytes[18] = bytes[19] = 1;
    connection db = open_memory_db();
    if (!db) return false;
    if (sqlite3_deserialize(db.get(), "main", bytes, static_cast<sqlite3_int64>(size),
                            static_cast<sqlite3_int64>(size), SQLITE_DESERIALIZE_READONLY) !=
        SQLITE_OK)
        return not_kesp(name, db.get());
    if (!passes_quick_check(db.get(), name)) return false;
    statement rows = prepare(db.get(), select_rows);
    if (!rows) return not_kesp(name, db.get());
    int rc;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        sqlite3_stmt *s = rows.get();
        const image_row row{sqlite3_column_int64(s, 0), column_text(s, 1), column_text(s, 2),
                            column_text(s, 3), column_text(s, 4), column_text(s, 5),
                            column_text(s, 6)};
        if (!visit(context, row)) return false;
    }
    if (rc != SQLITE_DONE) return not_kesp(name, db.get());
    return true;
}

std::unique_ptr<wiped_buffer> db_image_build(const std::vector<image_row> &rows) {
    connection db = open_memory_db();
    if (!db) return nullptr;
    if (!run(db.get(), entries_create_statement) || !run(db.get(), "begin;")) return nullptr;
    statement insert = prepare(db.get(), insert_row);
    if (!insert) {
        std::fprintf(stderr, "Cannot build the database in memory: %s\n", sqlite3_errmsg(db.get()));
        return nullptr;
    }
    for (const image_row &row : rows) {
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
    unsigned char *raw = sqlite3_serialize(db.get(), "main", &size, 0);
    std::unique_ptr<unsigned char, serialized_releaser> serialized(raw, serialized_releaser{size});
    if (!serialized) {
        std::fputs("Cannot build the database in memory: out of memory.\n", stderr);
        return nullptr;
    }
    auto bytes = std::make_unique<wiped_buffer>(static_cast<std::size_t>(size));
    if (size > 0) std::memcpy(bytes->data(), raw, static_cast<std::size_t>(size));
    return bytes;
}

std::string db_side_file(const char *path) {
    for (const char *suffix : {"-wal", "-journal"}) {
        std::string side = std::string(path) + suffix;
        struct stat st;
        if (::lstat(side.c_str(), &st) == 0 && !(S_ISREG(st.st_mode) && st.st_size == 0))
            return side;
    }
    return {};
}
