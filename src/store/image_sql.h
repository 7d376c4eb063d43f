// SQLite's side of the database images (store/image.h): connections in
// memory, statements, texts lent by SQLite.
#pragma once

#include <string_view>

#include "store/sqlite_handles.h"

// A private database in memory; with `vfs` "memdb", one whose file is a
// single block that sqlite3_serialize can hand out as it is. nullptr after
// "Cannot open a database in memory: ...".
connection open_memory_db(const char *vfs);

// The statement `sql` prepared on `db`; nullptr when it cannot be (silent:
// sqlite3_errmsg says why).
statement prepare(sqlite3 *db, const char *sql);

// A column's text as SQLite lends it; a NULL reads as the empty text.
std::string_view column_text(sqlite3_stmt *s, int column);
