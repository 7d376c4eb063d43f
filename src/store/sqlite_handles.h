// Handles of SQLite that close themselves; for the store's own files.
#pragma once

#include <memory>

#include <sqlite3.h>

struct connection_closer {
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
using connection = std::unique_ptr<sqlite3, connection_closer>;

// A text that SQLite handed out: a built statement or an error text.
struct sqlite_text_releaser {
    void operator()(char *text) const { sqlite3_free(text); }
};
using sqlite_text = std::unique_ptr<char, sqlite_text_releaser>;

struct statement_finalizer {
    void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
};
using statement = std::unique_ptr<sqlite3_stmt, statement_finalizer>;
