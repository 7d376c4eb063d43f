#include "store/image_sql.h"

#include "state/failure.h"

connection open_memory_db(const char *vfs) {
    connection db;
    int rc = open_connection(vfs != nullptr ? "merged" : ":memory:",
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, vfs,
                             db);
    if (rc != SQLITE_OK) {
        say_failuref("Cannot open a database in memory: %s\n",
                     db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc));
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
