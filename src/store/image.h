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
#include "store/lineage.h"

// One row of the entries table. Ids are SQLite's 64-bit keys; a NULL column
// reads as the empty text.
struct image_row {
    std::int64_t id = 0;
    std::string_view title, user, url, password, notes, timestamp;
};

// One earlier version from the record of a database (store/history.h), in
// the order the record keeps them (oldest first).
struct image_version {
    std::int64_t entry_id = 0;
    std::int64_t gone = 0;  // 0: of an entry that stands; else its removal number
    std::string_view title, user, url, password, notes, timestamp, replaced, why;
};

// How a reader is handed the rows: first how many there are, then each
// one, lent for the length of the call (the texts are SQLite's). Returning
// false stops the reading, which then fails. With `version`, the earlier
// versions of the record follow the rows, lent in the same way; `record`
// is then set when the database holds the record at all.
//
// With `split`, a long table is read in two parts side by side: `split`
// gives the context of a second part (nullptr: none), which is handed the
// upper rows by `row` on another thread while `context` is handed the
// lower ones; `rejoin` then appends the second part's rows after the
// first's (`keep`), or drops them, and ends the second part. A reader
// keeps what it was handed only when the visit succeeds: the rows may come
// before the file is found damaged. With `lineage`, what the database says
// of its lineage (store/lineage.h) is put there once the rows are read.
struct image_reader {
    void *context;
    void (*expect)(void *context, std::size_t rows);
    bool (*row)(void *context, const image_row &row);
    bool (*version)(void *context, const image_version &version) = nullptr;
    bool *record = nullptr;
    void *(*split)(void *context) = nullptr;
    void (*rejoin)(void *context, void *second, bool keep) = nullptr;
    carried_lineage *lineage = nullptr;
};

// Checks the database whose file bytes are `bytes` (SQLite's quick check,
// on another core while the rows are read; its finding has the say) and
// hands the rows of its entries table to `reader`, by ascending id. The
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
// when there are no more. The texts it lends stay valid until the build
// returns (rows are stored some at a time).
using image_row_source = bool (*)(void *context, image_row &row);

// The same for the earlier versions of the record, oldest first.
using image_version_source = bool (*)(void *context, image_version &version);

// A new database file that holds the entries table and exactly the rows of
// `next` (ids unique, best in ascending order); nullptr after a message.
// `expected_size` is a guess at the file's size, so that its memory is
// taken once rather than grown. With `versions`, the file holds the record
// of earlier versions too, with its triggers, and exactly those versions;
// with `lineage`, kesp-sync's lineage table holding it.
std::unique_ptr<built_image> db_image_build(image_row_source next, void *context,
                                            std::size_t expected_size = 0,
                                            image_version_source versions = nullptr,
                                            void *versions_context = nullptr,
                                            const db_lineage *lineage = nullptr);
