#include "store/sqlite_handles.h"

int open_connection(const char *name, int flags, const char *vfs, connection &db) {
    sqlite3 *raw = nullptr;
    int rc = sqlite3_open_v2(name, &raw, flags, vfs);
    db.reset(raw);
    if (rc != SQLITE_OK) return rc;
    // Reads nothing of the file: a file that is no database still fails
    // where it always did, at its first statement.
    return sqlite3_exec(raw, "pragma temp_store=memory;", nullptr, nullptr, nullptr);
}
