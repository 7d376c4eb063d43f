// What a database file from anyone must show before its rows are read:
// SQLite's quick check passed, a schema of tables and indexes only, kesp's
// columns. Each check is silent; what refused the file is kept in a
// `finding`, said by the reader once all checks are done.
#pragma once

#include <string>

#include <sqlite3.h>

// What refused a file, said only once both the quick check and the read
// are done: a file refused for two reasons gets the one it always got.
struct finding {
    std::string said;

    bool fail(std::string message) {
        said = std::move(message);
        return false;
    }
};

// "<name> is not a kesp database: <reason>.\n"
std::string not_kesp_message(const char *name, const char *reason);

// False, with what SQLite said of `db`'s last statement in `found`. A
// statement that the progress handler stopped fails as interrupted.
bool not_kesp(const char *name, sqlite3 *db, finding &found);

// False, with `reason` in `found`.
bool refuse(const char *name, const std::string &reason, finding &found);

// "ok" from the quick check, which reads every page once. Otherwise its
// first finding, without the line that names the schema.
bool passes_quick_check(sqlite3 *db, const char *name, finding &found);

// Nothing in the schema may run code while the file is read: tables and
// indexes only, and the record's own triggers known by their exact text.
bool schema_is_plain(sqlite3 *db, const char *name, finding &found);

// kesp's seven columns, stored as they are written, ids unique: the id is
// the table's integer key.
bool has_kesp_columns(sqlite3 *db, const char *name, finding &found);
