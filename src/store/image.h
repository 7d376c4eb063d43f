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

#include "memory/secret.h"
#include "store/db.h"  // db_side_file, for the readers of whole files

// One row of the entries table. Ids are SQLite's 64-bit keys; a NULL column
// reads as the empty text.
struct image_row {
    std::int64_t id = 0;
    std::string_view title, user, url, password, notes, timestamp;
};

// How a reader is handed the rows: first how many there are, then each
// one, lent for the length of the call (the texts are SQLite's). Returning
// false stops the reading, which then fails.
struct image_reader {
    void *context;
    void (*expect)(void *context, std::size_t rows);
    bool (*row)(void *context, const image_row &row);
};

// Checks the database whose file bytes are `bytes` (SQLite's quick check)
// and hands the rows of its entries table to `reader`, by ascending id. The
// columns are taken by name. A database in write-ahead-log mode is read as
// the file alone holds it (the two header bytes that say so are changed in
// `bytes`). False after a message: "<name> is not a kesp database: ...",
// "<name> is damaged: ...".
bool db_image_visit(unsigned char *bytes, std::size_t size, const char *name,
                    const image_reader &reader);

struct sqlite3;

// A database file built in memory, in memory that SQLite takes from its
// heap (the wiping one in every program) and gives back on destruction.
class built_image {
public:
    explicit built_image(sqlite3 *db, const unsigned char *bytes, std::size_t size)
        : db_(db), bytes_(bytes), size_(size) {}
    ~built_image();
    built_image(const built_image &) = delete;
    built_image &operator=(const built_image &) = delete;

    const unsigned char *data() const { return bytes_; }
    std::size_t size() const { return size_; }

private:
    sqlite3 *db_;
    const unsigned char *bytes_;
    std::size_t size_;
};

// Fills `row` with the next row to store and returns true, or returns false
// when there are no more.
using image_row_source = bool (*)(void *context, image_row &row);

// A new database file that holds the entries table and exactly the rows of
// `next` (ids unique, best in ascending order); nullptr after a message.
// `expected_size` is a guess at the file's size, so that its memory is
// taken once rather than grown.
std::unique_ptr<built_image> db_image_build(image_row_source next, void *context,
                                            std::size_t expected_size = 0);
