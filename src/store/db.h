// Database schema and every SQL statement of the program.
//
// db_init creates a new database file; every other db_* operation works on
// one database file, named by a db_handle that the vault made once it had
// resolved and checked the file (the store knows nothing of the pointer
// file), or, on the floors that open database files themselves (the store
// and the vault, built with KESP_OPENS_DATABASE_FILES), by its path: it
// runs the integrity check on a
// connection of its own, opens a second connection for exactly one statement
// and closes it before returning. Failures are printed on standard error
// where they are found and returned as false / nullptr. Entries and lists
// handed out belong to the caller, who releases them with entry_free.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "store/db_handle.h"
#include "store/entry.h"

// Makes SQLite take its memory from the wiping heap (memory/c_heap.h): a
// freed page or row that held a password or notes would otherwise live on
// in the process, and in every child it forks. Call before SQLite's first
// use in the process, or it has no effect.
void db_use_wiping_heap();

struct history_version;
struct removed_versions;
struct entry_replacement {
    int id;
    const entry *e;
};

// The special counts of db_list_entries; 0 or more is a limit.
inline constexpr int list_all = -1;            // every row in table order (ascending id)
inline constexpr int list_newest_first = -2;   // every row, newest first (-t alone)

// A row lent to a visitor for the length of one call: its texts are
// SQLite's (a NULL column reads as the empty text) and `next` is nullptr.
// Returning false stops the statement, which then fails.
using entry_visitor = bool (*)(void *context, const entry &row);

// The operations of the companions and kesp's commands, on the file of
// `db`; each as its path form below.
entry *db_list_entries(const db_handle &db, int count);
bool db_visit_entries(const db_handle &db, int count, entry_visitor visit, void *context);
bool db_visit_found(const db_handle &db, const char *search, entry_visitor visit, void *context);
entry *db_get_entry(const db_handle &db, int id);
bool db_delete_entry(const db_handle &db, int id, bool *changed);
bool db_import(const db_handle &db, const entry *first,
               const std::vector<std::vector<history_version>> *histories,
               const std::vector<removed_versions> *removed,
               const std::vector<entry_replacement> &replacements, std::size_t &removals_added);

#ifdef KESP_OPENS_DATABASE_FILES
// Creates `path` with the entries table, then sets mode 0600.
bool db_init(const char *path);

// Inserts the five texts of `e` as a new row (new id, current local time).
bool db_insert_entry(const char *path, const entry *e);

// Inserts every entry of the list that starts at `first` (pass head->next
// of a list) as new rows, each with its own timestamp, in one transaction:
// all of them or, after a printed failure, none. With `histories`, the
// i-th entry gets the i-th list as its earlier versions (store/history.h);
// with `removed`, the versions of removed entries come back as such.
bool db_insert_entries(const char *path, const entry *first,
                       const std::vector<std::vector<history_version>> *histories = nullptr,
                       const std::vector<removed_versions> *removed = nullptr);

// An import in one transaction: the entries of the list that starts at
// `first` added as db_insert_entries adds them, and each of `replacements`
// given the texts and timestamp of its entry `e`, the version it held going
// into the record with the reason "import"; every entry added or replaced
// is marked as this import's (store/history.h), so that kesp-history can
// undo it. `removals_added` counts the removed entries whose versions came
// in (those the record held already are left out).
bool db_import(const char *path, const entry *first,
               const std::vector<std::vector<history_version>> *histories,
               const std::vector<removed_versions> *removed,
               const std::vector<entry_replacement> &replacements, std::size_t &removals_added);

// Replaces the five texts of row `id` and renews its timestamp. True when the
// statement ran, also when no row has that id.
bool db_update_entry(const char *path, int id, const entry *e);

// The row `id` with all seven columns; an entry with id -1 and no texts when
// no row has that id; nullptr on failure.
entry *db_get_entry(const char *path, int id);

// Deletes row `id`. True when the statement ran; then `*changed` is set to
// true when a row went, and is never set back to false.
bool db_delete_entry(const char *path, int id, bool *changed);

// list_all, list_newest_first, or at most `count` rows, newest first.
// Below -2: refused with "Invalid parameter <count>\n" before the file is
// touched.
entry *db_list_entries(const char *path, int count);

// The rows db_list_entries would list, in the same order, with the same
// refusals, messages and warning, handed to `visit` one at a time as SQLite
// reads them instead of copied into a list. False after a printed failure
// (then some rows may have been visited already).
bool db_visit_entries(const char *path, int count, entry_visitor visit, void *context);

// The same for every row whose title, user, url or notes contains `search`
// (SQL LIKE, so % and _ are wildcards and ASCII case is ignored); the
// password is never searched.
bool db_visit_found(const char *path, const char *search, entry_visitor visit, void *context);

// Readies the file at `path` to be encrypted: a transaction that another
// program committed to a write-ahead log is moved into the file and a hot
// journal is rolled back, since the container holds the file alone. Refuses
// (false, after a message) while a -wal, -shm or -journal file remains
// beside it: another program has it open, or the side file holds data that
// would stay in clear. Any file that is no SQLite database passes.
bool db_settle(const char *path);

// The side files SQLite keeps beside a database file, looked for where
// SQLite looks (beside the file a symbolic link leads to): the name of the
// first of PATH-wal, PATH-shm and PATH-journal that exists, of whatever
// kind, or empty when there is none. An empty regular journal holds
// nothing and is passed over, unless `count_empty_journal`.
std::string db_side_file(const char *path, bool count_empty_journal = false);

// True when db_side_file (with the same `count_empty_journal`) finds
// nothing beside `path`; otherwise false after
// "<side file> exists: another program has the database open, or that file
// holds data of its own. Close it and try again.\n".
bool db_without_side_file(const char *path, bool count_empty_journal = false);
#endif  // KESP_OPENS_DATABASE_FILES
