#include "store/image_trust.h"

#include <iterator>
#include <string_view>

#include "store/history.h"
#include "store/image_sql.h"

std::string not_kesp_message(const char *name, const char *reason) {
    return std::string(name) + " is not a kesp database: " + reason + ".\n";
}

// A statement that the progress handler stopped fails as interrupted.
bool not_kesp(const char *name, sqlite3 *db, finding &found) {
    return found.fail(not_kesp_message(name, sqlite3_errcode(db) == SQLITE_INTERRUPT
                                                 ? "reading it takes far longer than its size allows"
                                                 : sqlite3_errmsg(db)));
}

// "ok" from the quick check, which reads every page once. Otherwise its
// first finding, without the line that names the schema.
bool passes_quick_check(sqlite3 *db, const char *name, finding &found) {
    statement check = prepare(db, "pragma quick_check;");
    if (!check) return not_kesp(name, db, found);
    int rc = sqlite3_step(check.get());
    if (rc != SQLITE_ROW) return not_kesp(name, db, found);
    std::string_view verdict = column_text(check.get(), 0);
    if (verdict == "ok") return true;
    if (verdict.rfind("*** ", 0) == 0) verdict.remove_prefix(verdict.find('\n') + 1);
    verdict = verdict.substr(0, verdict.find('\n'));
    return found.fail(std::string(name) + " is damaged: " + std::string(verdict) + "\n");
}

bool refuse(const char *name, const std::string &reason, finding &found) {
    return found.fail(not_kesp_message(name, reason.c_str()));
}

namespace {

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

// Nothing in the schema may run code while the file is read: tables and
// indexes only. SQLite writes the words that start each statement in
// capitals; anything written otherwise is refused with the rest.
bool schema_is_plain(sqlite3 *db, const char *name, finding &found) {
    statement rows = prepare(db, "select type, sql from sqlite_schema;");
    if (!rows) return not_kesp(name, db, found);
    int rc;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        std::string_view type = column_text(rows.get(), 0);
        std::string_view text = column_text(rows.get(), 1);
        if (sqlite3_column_type(rows.get(), 1) == SQLITE_NULL && type == "index") continue;
        if (starts_with(text, "CREATE TABLE ") || starts_with(text, "CREATE INDEX ") ||
            starts_with(text, "CREATE UNIQUE INDEX "))
            continue;
        // The record of earlier versions runs its own triggers, known by
        // their exact text; no other trigger is let through.
        if (type == "trigger" && history_trigger_text(text)) continue;
        if (starts_with(text, "CREATE VIEW ")) return refuse(name, "it holds a view", found);
        if (starts_with(text, "CREATE TRIGGER ")) return refuse(name, "it holds a trigger", found);
        if (starts_with(text, "CREATE VIRTUAL TABLE "))
            return refuse(name, "it holds a virtual table", found);
        return refuse(name, "its schema holds more than tables and indexes", found);
    }
    if (rc != SQLITE_DONE) return not_kesp(name, db, found);
    return true;
}

// kesp's seven columns, stored as they are written, ids unique: the id is
// the table's integer key.
bool has_kesp_columns(sqlite3 *db, const char *name, finding &found) {
    statement columns =
        prepare(db, "select name, type, pk, hidden from pragma_table_xinfo('entries');");
    if (!columns) return not_kesp(name, db, found);
    const char *const wanted[] = {"id", "title", "user", "url", "password", "notes", "timestamp"};
    bool present[std::size(wanted)] = {};
    bool any = false;
    int rc;
    while ((rc = sqlite3_step(columns.get())) == SQLITE_ROW) {
        any = true;
        std::string_view column = column_text(columns.get(), 0);
        for (std::size_t i = 0; i < std::size(wanted); ++i) {
            if (sqlite3_stricmp(std::string(column).c_str(), wanted[i]) != 0) continue;
            present[i] = true;
            if (sqlite3_column_int(columns.get(), 3) != 0)
                return refuse(name, std::string("entries.") + wanted[i] + " is computed", found);
            if (i == 0 && (sqlite3_column_int(columns.get(), 2) != 1 ||
                           sqlite3_stricmp(std::string(column_text(columns.get(), 1)).c_str(),
                                           "integer") != 0))
                return refuse(name, "entries.id is not its integer primary key", found);
        }
    }
    if (rc != SQLITE_DONE) return not_kesp(name, db, found);
    if (!any) return refuse(name, "no such table: entries", found);
    for (std::size_t i = 0; i < std::size(wanted); ++i)
        if (!present[i])
            return refuse(name, std::string("entries has no column ") + wanted[i], found);
    return true;
}
