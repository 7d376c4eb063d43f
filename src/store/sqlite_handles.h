// Handles of SQLite that close themselves; for the store's own files.
#pragma once

#include <memory>

#include <sqlite3.h>

struct connection_closer {
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
using connection = std::unique_ptr<sqlite3, connection_closer>;

// Every connection of the store is opened here: sqlite3_open_v2 of `name`
// with `flags` and `vfs` (nullptr: the default), into `db`. The connection
// then keeps its temporary data in memory, since SQLite would otherwise
// spill sorts, transient indices and VACUUM's copy of a large database
// into files under TMPDIR or /var/tmp, in clear. Returns SQLite's result
// code; on failure `db` still holds the connection when SQLite made one,
// for sqlite3_errmsg.
int open_connection(const char *name, int flags, const char *vfs, connection &db);

// A text that SQLite handed out: a built statement or an error text.
struct sqlite_text_releaser {
    void operator()(char *text) const { sqlite3_free(text); }
};
using sqlite_text = std::unique_ptr<char, sqlite_text_releaser>;

struct statement_finalizer {
    void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
};
using statement = std::unique_ptr<sqlite3_stmt, statement_finalizer>;
