// The schema of a kesp database: its one table of entries, the record of
// earlier versions (store/history.h) that the first change adds, and the
// check that a database holds nothing else before anything is changed in
// it. db_init and db_image_build both use these very texts, so that a
// database built in memory cannot be told from one that kesp made.
#pragma once

#include <string>
#include <string_view>

struct sqlite3;

// At most this many earlier versions are kept for each entry, the oldest
// going first. The record's triggers spell the number in their SQL, from
// this one definition.
#define KESP_HISTORY_BOUND 20
#define KESP_SQL_NUMBER(n) KESP_SQL_NUMBER_TEXT(n)
#define KESP_SQL_NUMBER_TEXT(n) #n
inline constexpr int history_bound = KESP_HISTORY_BOUND;

#define KESP_ENTRIES_TABLE                                                                    \
    "entries(id integer primary key, title text, user text, url text,"                       \
    "password text, notes text,timestamp date default (datetime('now','localtime')))"

inline constexpr const char *entries_create_statement = "create table " KESP_ENTRIES_TABLE ";";

// The record's statements, in the very text SQLite keeps in sqlite_schema
// (the leading words in capitals, no final semicolon), so that a reader
// can compare them byte for byte.
inline constexpr const char *history_table_statement =
    "CREATE TABLE history(seq integer primary key, entry_id integer not null, "
    "gone integer not null default 0, title text, user text, url text, password text, "
    "notes text, timestamp text, replaced text not null, why text not null)";
inline constexpr const char *history_index_statement =
    "CREATE INDEX history_owner ON history(gone, entry_id, seq)";
// An update that changes nothing replaces nothing. The bound keeps the
// newest versions of the entry; the one past the bound and older go.
inline constexpr const char *history_edit_trigger =
    "CREATE TRIGGER history_edit AFTER UPDATE ON entries WHEN "
    "old.title IS NOT new.title OR old.user IS NOT new.user OR old.url IS NOT new.url OR "
    "old.password IS NOT new.password OR old.notes IS NOT new.notes OR "
    "old.timestamp IS NOT new.timestamp OR old.id IS NOT new.id BEGIN "
    "INSERT INTO history(entry_id,title,user,url,password,notes,timestamp,replaced,why) "
    "VALUES(old.id,old.title,old.user,old.url,old.password,old.notes,old.timestamp,"
    "datetime('now','localtime'),'edit'); "
    "DELETE FROM history WHERE gone=0 AND entry_id=old.id AND seq<=(SELECT seq FROM history "
    "WHERE gone=0 AND entry_id=old.id ORDER BY seq DESC LIMIT 1 OFFSET "
    KESP_SQL_NUMBER(KESP_HISTORY_BOUND) "); END";
// The removed entry's versions move under a removal number of their own,
// the last version with them.
inline constexpr const char *history_remove_trigger =
    "CREATE TRIGGER history_remove AFTER DELETE ON entries BEGIN "
    "INSERT INTO history(entry_id,gone,title,user,url,password,notes,timestamp,replaced,why) "
    "VALUES(old.id,(SELECT coalesce(max(gone),0)+1 FROM history),old.title,old.user,old.url,"
    "old.password,old.notes,old.timestamp,datetime('now','localtime'),'remove'); "
    "UPDATE history SET gone=(SELECT max(gone) FROM history) WHERE gone=0 AND entry_id=old.id; "
    "DELETE FROM history WHERE gone=(SELECT max(gone) FROM history) AND seq<=(SELECT seq "
    "FROM history WHERE gone=(SELECT max(gone) FROM history) ORDER BY seq DESC "
    "LIMIT 1 OFFSET " KESP_SQL_NUMBER(KESP_HISTORY_BOUND) "); END";

// The record of what the latest imports added or replaced, so that one
// can be undone: a row for each entry that stands as the import left it
// (version: null for an entry it added, else the seq of the version it
// replaced). Any change to the entry, and its removal, end its row, so
// that an undo never takes what was typed since.
inline constexpr const char *imported_table_statement =
    "CREATE TABLE imported(entry_id integer primary key, batch integer not null, "
    "version integer)";
inline constexpr const char *imported_edit_trigger =
    "CREATE TRIGGER imported_edit AFTER UPDATE ON entries WHEN "
    "old.title IS NOT new.title OR old.user IS NOT new.user OR old.url IS NOT new.url OR "
    "old.password IS NOT new.password OR old.notes IS NOT new.notes OR "
    "old.timestamp IS NOT new.timestamp OR old.id IS NOT new.id BEGIN "
    "DELETE FROM imported WHERE entry_id=old.id; END";
inline constexpr const char *imported_remove_trigger =
    "CREATE TRIGGER imported_remove AFTER DELETE ON entries BEGIN "
    "DELETE FROM imported WHERE entry_id=old.id; END";

// One object of sqlite_schema: its type, its name and its SQL text as
// SQLite keeps it.
struct schema_object {
    std::string_view type, name, sql;
};

// Every object a kesp database may hold; anything else is another
// program's, and kesp changes nothing in a database that holds it (its
// triggers would run with every change). A new object of kesp's own goes
// here, and nowhere else.
inline constexpr schema_object kesp_schema_objects[] = {
    {"table", "entries", "CREATE TABLE " KESP_ENTRIES_TABLE},
    {"table", "history", history_table_statement},
    {"index", "history_owner", history_index_statement},
    {"trigger", "history_edit", history_edit_trigger},
    {"trigger", "history_remove", history_remove_trigger},
    {"table", "imported", imported_table_statement},
    {"trigger", "imported_edit", imported_edit_trigger},
    {"trigger", "imported_remove", imported_remove_trigger},
    // kesp-sync's record of which database this is (store/lineage.h).
    {"table", "lineage", "CREATE TABLE lineage(identity blob not null, version integer not null)"},
};

// True when every object of the schema of `db` is one of
// kesp_schema_objects, text for text (for the entries table, which people
// and other tools make too, but for blanks and the case of letters).
// Otherwise false after
// "<name> is not a kesp database: its trigger wipe is not kesp's.\n"
// naming the first other object (tables first), or, for a table named
// history of another shape, "... its table history is not kesp's record of
// earlier versions.\n", or "Error: <SQLite's text>\n".
bool schema_is_kesps(sqlite3 *db, const char *name);

// The message for a table named history that is not kesp's record.
inline constexpr const char *foreign_history_reason =
    "its table history is not kesp's record of earlier versions";

// `text` fit for a message: bytes below 0x20, DEL and bytes above 0x7f as
// \xHH, since a name in a database comes from whoever wrote it.
std::string printable_name(std::string_view text);
