// The record of earlier versions kept in the database file itself: for
// every entry that a statement changed or removed, the version it replaced,
// with when and why. Triggers on `entries` fill it, so that every program
// that writes the table records what it replaces; adding an entry records
// nothing. At most history_bound versions are kept per entry, the oldest
// going first.
//
// A removed entry's versions stay its own: the delete trigger gives them a
// removal number (`gone`, 1, 2, ...), while the versions of an entry that
// still stands have gone 0. SQLite hands a removed highest id out again,
// and the entry that gets it starts with nothing kept.
//
// The record is added by the first change made to a database
// (history_prepare, inside that change's transaction); a database that was
// never changed holds the entries table alone. Failures are printed on
// standard error where they are found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "memory/secret.h"
#include "store/db_handle.h"
#include "store/schema.h"  // history_bound and the record's statements

struct sqlite3;

// True when `sql` is exactly the text of one of the record's triggers, or
// of those of the record of imports.
bool history_trigger_text(std::string_view sql);

// Within an open transaction on `db`: adds the record unless the database
// holds it already. False after "Error: <SQLite's text>\n".
bool history_prepare(sqlite3 *db);

// Whose versions: an entry that stands (gone 0), or a removed one.
struct history_owner {
    std::int64_t id = 0;
    std::int64_t gone = 0;
};

// One earlier version; n counts from 1, the newest of its owner.
struct history_version {
    history_owner owner;
    int n = 0;
    std::string label;  // "ID.N", "rK.N", or "rK" for the latest of rK
    std::string replaced, why;
    secret_string title, user, url, password, notes, timestamp;
};

// The `count` latest versions of the database at `path`, newest first.
// Nothing after a message. An unchanged database holds none.
#ifdef KESP_OPENS_DATABASE_FILES
std::optional<std::vector<history_version>> history_latest(const char *path, int count);
#endif
std::optional<std::vector<history_version>> history_latest(const db_handle &db, int count);

// Who `handle` ("ID" or "rK") names: the entry ID that stands, else the
// latest removed entry that had the id ID, or the removed entry rK.
// Nothing (silently) when no such entry has versions or stands.
// `failed` is set after a store failure (and a message).
#ifdef KESP_OPENS_DATABASE_FILES
std::optional<history_owner> history_find_owner(const char *path, std::string_view handle,
                                                bool &failed);
#endif
std::optional<history_owner> history_find_owner(const db_handle &db, std::string_view handle,
                                                bool &failed);

// Every version of `owner`, newest first. Nothing after a message.
#ifdef KESP_OPENS_DATABASE_FILES
std::optional<std::vector<history_version>> history_versions(const char *path,
                                                             const history_owner &owner);
#endif
std::optional<std::vector<history_version>> history_versions(const db_handle &db,
                                                             const history_owner &owner);

// The passwords of the earlier versions of every entry that stands, by
// entry id, newest first. Nothing after a message; none for a database
// without the record.
using earlier_passwords = std::map<std::int64_t, std::vector<secret_string>>;
#ifdef KESP_OPENS_DATABASE_FILES
std::optional<earlier_passwords> history_passwords(const char *path);
#endif

// The same passwords handed to `visit` one at a time, as SQLite reads them
// (ordered by entry id, newest first; the text is SQLite's and lives for
// the call), so that nothing needs to hold them all. False after a message.
using earlier_password_visitor = void (*)(void *context, std::int64_t id,
                                          std::string_view password);
#ifdef KESP_OPENS_DATABASE_FILES
bool history_visit_passwords(const char *path, earlier_password_visitor visit, void *context);
#endif
bool history_visit_passwords(const db_handle &db, earlier_password_visitor visit, void *context);

// The versions of every entry that stands, by entry id, oldest first.
// Nothing after a message; none for a database without the record.
using versions_by_entry = std::map<std::int64_t, std::vector<history_version>>;
#ifdef KESP_OPENS_DATABASE_FILES
std::optional<versions_by_entry> history_by_entry(const char *path);
#endif
std::optional<versions_by_entry> history_by_entry(const db_handle &db);

// The versions of every removed entry, by removal number, oldest first
// within each (the removal last). Nothing after a message; none for a
// database without the record.
using versions_by_removal = std::map<std::int64_t, std::vector<history_version>>;
#ifdef KESP_OPENS_DATABASE_FILES
std::optional<versions_by_removal> history_removed(const char *path);
#endif
std::optional<versions_by_removal> history_removed(const db_handle &db);

// The versions of one removed entry, as they travel between databases.
struct removed_versions {
    std::int64_t id = 0;                    // the id the entry had
    std::vector<history_version> versions;  // oldest first, the removal last
};

// Earlier versions to add to a database (oldest first; texts, timestamp,
// replaced and why are taken): of the entry with id `id` that stands, or,
// with `removed`, of a removed entry that had the id `id`.
struct history_to_add {
    std::int64_t id = 0;
    bool removed = false;
    const std::vector<history_version> *versions = nullptr;
};

// Within an open transaction on `db`, after the record is ready: adds the
// versions of every owner, all of them in the order of the times they were
// replaced (so that the latest changes list as they did where they were
// recorded), each removed entry under a removal number of its own, then
// applies the bound. A removed entry whose removal the database holds
// already (the same texts, times and id) is left out. False after
// "Error: <SQLite's text>\n".
// With `removals_added`, counts the removed entries added.
bool history_insert(sqlite3 *db, const std::vector<history_to_add> &owners,
                    std::size_t *removals_added = nullptr);

// Within an open transaction on `db`: adds the record of imports
// (store/schema.h) unless the database holds it, and returns the number
// of a new import, above every one whose changes still stand. Nothing
// after "Error: <SQLite's text>\n".
std::optional<std::int64_t> history_begin_import(sqlite3 *db);

// Within the same transaction: entry `id` stands as import `batch` left
// it; `version` is the seq of the version it replaced, 0 for an entry it
// added. False after a message.
bool history_mark_import(sqlite3 *db, std::int64_t batch, std::int64_t id,
                         std::int64_t version);

// What undoing the latest import did.
struct undone_import {
    bool found = false;       // false: no import has changes that still stand
    std::size_t removed = 0;  // entries it added, removed (into the record)
    std::size_t restored = 0; // entries it replaced, given their earlier version back
    std::size_t kept = 0;     // entries it replaced whose earlier version is forgotten
};

// Undoes the latest import of the database at `path` that still has
// changes standing: removes the entries it added and gives those it
// replaced their earlier version back, where they stand as it left them;
// an entry changed or removed since is not touched. Removals and restores
// go into the record as any other. Nothing after a message.
#ifdef KESP_OPENS_DATABASE_FILES
std::optional<undone_import> history_undo_import(const char *path);
#endif

// The texts of an entry that a restore can take back, as bits of a set.
enum history_field : unsigned {
    history_title = 1,
    history_user = 2,
    history_url = 4,
    history_password = 8,
    history_notes = 16,
};
inline constexpr unsigned history_all_fields = 31;

// The set named by "FIELD[,FIELD...]", each of title, user, url, password
// and notes; nothing (silently) for an empty list, an empty or unknown name.
std::optional<unsigned> history_fields_named(std::string_view names);

// Gives `owner` the texts of its version n back: the ones in `fields`, the
// others keeping what they hold now (a removed entry comes back whole, so
// it takes history_all_fields only). 1 and `restored_id` set (the id the
// entry stands under now) when done; 0 when that version is not there
// (nothing changed, no message); -1 after a message.
#ifdef KESP_OPENS_DATABASE_FILES
int history_restore(const char *path, const history_owner &owner, int n,
                    std::int64_t &restored_id, unsigned fields = history_all_fields);
#endif

// Deletes the versions of `owner` (or of every entry) for good, with the
// file rebuilt so that no free page keeps their bytes. The count deleted,
// or nothing after a message.
#ifdef KESP_OPENS_DATABASE_FILES
std::optional<std::size_t> history_forget(const char *path, const history_owner *owner);
#endif
