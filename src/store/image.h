// Database files as bytes in memory: the entries of a database file read
// from its bytes without touching any file (a container decrypted into
// memory, a plain file read whole), and a new database file with kesp's
// own table built in memory from given rows, ids and times included.
//
// The bytes stay the caller's; SQLite reads them in place. Messages go to
// standard error where a failure is found, naming the file as `name`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "memory/secret.h"

// One row of the entries table. Ids are SQLite's 64-bit keys; a NULL column
// reads as the empty text.
struct image_row {
    std::int64_t id = 0;
    std::string_view title, user, url, password, notes, timestamp;
};

// Lent one row at a time (the texts are SQLite's until the call returns);
// returning false stops the reading, which then fails.
using image_row_visitor = bool (*)(void *context, const image_row &row);

// Checks the database whose file bytes are `bytes` (SQLite's quick check)
// and hands every row of its entries table to `visit`, by ascending id. The
// columns are taken by name. A database in write-ahead-log mode is read as
// the file alone holds it (the two header bytes that say so are changed in
// `bytes`). False after a message: "<name> is not a kesp database: ...".
bool db_image_visit(unsigned char *bytes, std::size_t size, const char *name,
                    image_row_visitor visit, void *context);

// The bytes of a new database file that holds the entries table and
// exactly `rows` (ids unique), in wiped memory; nullptr after a message.
std::unique_ptr<wiped_buffer> db_image_build(const std::vector<image_row> &rows);

// The name of a side file of the database file `path` that holds changes the
// file itself lacks: a write-ahead log or a journal that is not empty.
// Empty when there is none.
std::string db_side_file(const char *path);
