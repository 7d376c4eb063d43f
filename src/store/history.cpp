#include "store/history.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include <sqlite3.h>

#include "store/schema.h"
#include "store/sqlite_handles.h"
#include "state/files.h"
#include "state/test_hooks.h"

bool history_trigger_text(std::string_view sql) {
    return sql == history_edit_trigger || sql == history_remove_trigger ||
           sql == imported_edit_trigger || sql == imported_remove_trigger;
}

namespace {

bool run(sqlite3 *db, const char *sql) {
    char *raw = nullptr;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, &raw);
    sqlite_text error(raw);
    if (rc == SQLITE_OK) return true;
    std::fprintf(stderr, "Error: %s\n", error ? error.get() : sqlite3_errmsg(db));
    return false;
}

statement prepare(sqlite3 *db, const char *sql) {
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "Error: %s\n", sqlite3_errmsg(db));
        return nullptr;
    }
    return statement(raw);
}

bool failed_step(sqlite3 *db) {
    std::fprintf(stderr, "Error: %s\n", sqlite3_errmsg(db));
    return false;
}

std::string_view column(sqlite3_stmt *s, int i) {
    const unsigned char *text = sqlite3_column_text(s, i);
    if (text == nullptr) return {};
    return {reinterpret_cast<const char *>(text),
            static_cast<std::size_t>(sqlite3_column_bytes(s, i))};
}

// 1 when the database at `path` holds the record, 0 when not, -1 after a
// message: a table named history of another shape is some other
// program's, and no reading of it would mean what kesp-history says.
int has_record(sqlite3 *db, const char *path) {
    statement s = prepare(db, "select sql from sqlite_schema where type='table' and "
                              "name='history';");
    if (!s) return -1;
    int rc = sqlite3_step(s.get());
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return (failed_step(db), -1);
    if (column(s.get(), 0) == history_table_statement) return 1;
    std::fprintf(stderr, "%s is not a kesp database: %s.\n", path, foreign_history_reason);
    return -1;
}

connection open_existing(const char *path) {
    connection db;
    if (open_connection(path, SQLITE_OPEN_READWRITE, nullptr, db) != SQLITE_OK) {
        std::fprintf(stderr, "Can't open database: %s\n", sqlite3_errmsg(db.get()));
        return nullptr;
    }
    return db;
}

// The connection of a reading of the record: both tables checked, since
// the check of every entry operation covers `entries` alone.
connection open_record(const char *path, bool &present) {
    connection db = open_existing(path);
    if (!db) return nullptr;
    int record = has_record(db.get(), path);
    if (record < 0) return nullptr;
    present = record == 1;
    const char *check = present ? "pragma integrity_check(history);" : "pragma quick_check;";
    statement s = prepare(db.get(), check);
    if (!s) return nullptr;
    int rc = sqlite3_step(s.get());
    if (rc != SQLITE_ROW || column(s.get(), 0) != "ok") {
        if (rc != SQLITE_ROW) failed_step(db.get());
        std::fputs("Corrupted database. Abort.\n", stderr);
        return nullptr;
    }
    return db;
}

// Whether an entry with `id` stands now.
int entry_stands(sqlite3 *db, std::int64_t id) {
    statement s = prepare(db, "select count(*) from entries where id=?;");
    if (!s) return -1;
    sqlite3_bind_int64(s.get(), 1, id);
    if (sqlite3_step(s.get()) != SQLITE_ROW) return (failed_step(db), -1);
    return sqlite3_column_int(s.get(), 0) > 0 ? 1 : 0;
}

// The latest removal number of entries that had `id`, 0 for none.
std::int64_t latest_removal(sqlite3 *db, std::int64_t id) {
    statement s = prepare(db, "select coalesce(max(gone),0) from history where entry_id=?;");
    if (!s) return -1;
    sqlite3_bind_int64(s.get(), 1, id);
    if (sqlite3_step(s.get()) != SQLITE_ROW) return (failed_step(db), -1);
    return sqlite3_column_int64(s.get(), 0);
}

// How versions of `owner` are called: by the id while it names them
// without doubt (the entry stands, or it is the latest removed one of an
// id that no entry holds now), else rK.
std::optional<std::string> owner_prefix(sqlite3 *db, const history_owner &owner) {
    if (owner.gone == 0) return std::to_string(owner.id);
    int stands = entry_stands(db, owner.id);
    std::int64_t latest = latest_removal(db, owner.id);
    if (stands < 0 || latest < 0) return std::nullopt;
    if (stands == 0 && latest == owner.gone) return std::to_string(owner.id);
    return "r" + std::to_string(owner.gone);
}

const char *const version_columns =
    "select seq,entry_id,gone,replaced,why,title,user,url,password,notes,timestamp,"
    "(select count(*) from history h where h.gone=history.gone and "
    "h.entry_id=history.entry_id and h.seq>=history.seq) from history ";

bool read_versions(sqlite3 *db, sqlite3_stmt *s, std::vector<history_version> &out) {
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        history_version v;
        v.owner = {sqlite3_column_int64(s, 1), sqlite3_column_int64(s, 2)};
        v.replaced = column(s, 3);
        v.why = column(s, 4);
        v.title = column(s, 5);
        v.user = column(s, 6);
        v.url = column(s, 7);
        v.password = column(s, 8);
        v.notes = column(s, 9);
        v.timestamp = column(s, 10);
        v.n = sqlite3_column_int(s, 11);
        auto prefix = owner_prefix(db, v.owner);
        if (!prefix) return false;
        const bool handle = (*prefix)[0] == 'r';
        v.label = handle && v.n == 1 ? *prefix : *prefix + "." + std::to_string(v.n);
        out.push_back(std::move(v));
    }
    return rc == SQLITE_DONE || failed_step(db);
}

// Changes under one transaction: all of it or, after a message, nothing.
struct transaction {
    sqlite3 *db;
    bool done = false;
    ~transaction() {
        if (!done && !sqlite3_get_autocommit(db)) sqlite3_exec(db, "rollback;", 0, 0, 0);
    }
    bool commit() { return (done = run(db, "commit;")); }
};

}  // namespace

bool history_prepare(sqlite3 *db) {
    // Whichever of them is missing: all in a database never changed, a
    // trigger that another program dropped.
    static const std::pair<const char *, const char *> objects[] = {
        {"history", history_table_statement},
        {"history_owner", history_index_statement},
        {"history_edit", history_edit_trigger},
        {"history_remove", history_remove_trigger},
    };
    for (const auto &[name, sql] : objects) {
        statement s = prepare(db, "select count(*) from sqlite_schema where name=?;");
        if (!s) return false;
        sqlite3_bind_text(s.get(), 1, name, -1, SQLITE_STATIC);
        if (sqlite3_step(s.get()) != SQLITE_ROW) return failed_step(db);
        if (sqlite3_column_int(s.get(), 0) == 0 && !run(db, sql)) return false;
    }
    return true;
}

std::optional<std::vector<history_version>> history_latest(const char *path, int count) {
    bool present = false;
    connection db = open_record(path, present);
    if (!db) return std::nullopt;
    std::vector<history_version> out;
    if (!present) return out;
    std::string sql = std::string(version_columns) + "order by seq desc limit ?;";
    statement s = prepare(db.get(), sql.c_str());
    if (!s) return std::nullopt;
    sqlite3_bind_int(s.get(), 1, count);
    if (!read_versions(db.get(), s.get(), out)) return std::nullopt;
    return out;
}

std::optional<history_owner> history_find_owner(const char *path, std::string_view handle,
                                                bool &failed) {
    failed = true;
    bool present = false;
    connection db = open_record(path, present);
    if (!db) return std::nullopt;
    failed = false;
    const bool removed = !handle.empty() && handle[0] == 'r';
    if (removed) handle.remove_prefix(1);
    std::int64_t number = 0;
    for (char c : handle) number = number * 10 + (c - '0');
    if (removed) {
        if (!present) return std::nullopt;
        statement s = prepare(db.get(), "select entry_id from history where gone=? limit 1;");
        if (!s) return failed = true, std::nullopt;
        sqlite3_bind_int64(s.get(), 1, number);
        if (sqlite3_step(s.get()) != SQLITE_ROW) return std::nullopt;
        return history_owner{sqlite3_column_int64(s.get(), 0), number};
    }
    int stands = entry_stands(db.get(), number);
    if (stands < 0) return failed = true, std::nullopt;
    if (stands == 1) return history_owner{number, 0};
    if (!present) return std::nullopt;
    std::int64_t latest = latest_removal(db.get(), number);
    if (latest < 0) return failed = true, std::nullopt;
    if (latest == 0) return std::nullopt;
    return history_owner{number, latest};
}

std::optional<std::vector<history_version>> history_versions(const char *path,
                                                             const history_owner &owner) {
    bool present = false;
    connection db = open_record(path, present);
    if (!db) return std::nullopt;
    std::vector<history_version> out;
    if (!present) return out;
    std::string sql = std::string(version_columns) +
                      "where gone=? and entry_id=? order by seq desc;";
    statement s = prepare(db.get(), sql.c_str());
    if (!s) return std::nullopt;
    sqlite3_bind_int64(s.get(), 1, owner.gone);
    sqlite3_bind_int64(s.get(), 2, owner.id);
    if (!read_versions(db.get(), s.get(), out)) return std::nullopt;
    return out;
}

bool history_visit_passwords(const char *path, earlier_password_visitor visit, void *context) {
    bool present = false;
    connection db = open_record(path, present);
    if (!db) return false;
    if (!present) return true;
    statement s = prepare(db.get(), "select entry_id,password from history where gone=0 "
                                    "order by entry_id, seq desc;");
    if (!s) return false;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
        visit(context, sqlite3_column_int64(s.get(), 0), column(s.get(), 1));
    if (rc != SQLITE_DONE) return (failed_step(db.get()), false);
    return true;
}

std::optional<earlier_passwords> history_passwords(const char *path) {
    earlier_passwords out;
    auto keep = [](void *context, std::int64_t id, std::string_view password) {
        (*static_cast<earlier_passwords *>(context))[id].emplace_back(password);
    };
    if (!history_visit_passwords(path, keep, &out)) return std::nullopt;
    return out;
}

std::optional<versions_by_entry> history_by_entry(const char *path) {
    bool present = false;
    connection db = open_record(path, present);
    if (!db) return std::nullopt;
    versions_by_entry out;
    if (!present) return out;
    std::string sql = std::string(version_columns) +
                      "where gone=0 and entry_id in (select id from entries) order by seq;";
    statement s = prepare(db.get(), sql.c_str());
    if (!s) return std::nullopt;
    std::vector<history_version> all;
    if (!read_versions(db.get(), s.get(), all)) return std::nullopt;
    for (history_version &v : all) out[v.owner.id].push_back(std::move(v));
    return out;
}

std::optional<versions_by_removal> history_removed(const char *path) {
    bool present = false;
    connection db = open_record(path, present);
    if (!db) return std::nullopt;
    versions_by_removal out;
    if (!present) return out;
    std::string sql = std::string(version_columns) + "where gone<>0 order by gone, seq;";
    statement s = prepare(db.get(), sql.c_str());
    if (!s) return std::nullopt;
    std::vector<history_version> all;
    if (!read_versions(db.get(), s.get(), all)) return std::nullopt;
    for (history_version &v : all) out[v.owner.gone].push_back(std::move(v));
    return out;
}

namespace {

// Whether the database holds the removal `last` already: a removed
// entry's last version, the same in every text and time.
int holds_removal(sqlite3 *db, std::int64_t id, const history_version &last) {
    statement s = prepare(db, "select count(*) from history where gone<>0 and entry_id=? and "
                              "why=? and title=? and user=? and url=? and password=? and "
                              "notes=? and timestamp=? and replaced=?;");
    if (!s) return -1;
    sqlite3_bind_int64(s.get(), 1, id);
    int column = 2;
    for (std::string_view text : {std::string_view(last.why), last.title.view(), last.user.view(),
                                  last.url.view(), last.password.view(), last.notes.view(),
                                  last.timestamp.view(), std::string_view(last.replaced)})
        sqlite3_bind_text64(s.get(), column++, text.data(), text.size(), SQLITE_STATIC,
                            SQLITE_UTF8);
    if (sqlite3_step(s.get()) != SQLITE_ROW) return (failed_step(db), -1);
    return sqlite3_column_int(s.get(), 0) > 0 ? 1 : 0;
}

}  // namespace

bool history_insert(sqlite3 *db, const std::vector<history_to_add> &owners,
                    std::size_t *removals_added) {
    // Each owner's place in the record: gone 0, or a removal number of its own.
    struct placed {
        const history_version *version;
        std::int64_t id, gone;
    };
    std::vector<placed> all;
    std::vector<std::pair<std::int64_t, std::int64_t>> bounded;
    std::int64_t gone = 0;
    {
        statement s = prepare(db, "select coalesce(max(gone),0) from history;");
        if (!s) return false;
        if (sqlite3_step(s.get()) != SQLITE_ROW) return failed_step(db);
        gone = sqlite3_column_int64(s.get(), 0);
    }
    for (const history_to_add &owner : owners) {
        if (owner.versions == nullptr || owner.versions->empty()) continue;
        std::int64_t number = 0;
        if (owner.removed) {
            int held = holds_removal(db, owner.id, owner.versions->back());
            if (held < 0) return false;
            if (held == 1) continue;
            number = ++gone;
            if (removals_added != nullptr) ++*removals_added;
        }
        bounded.emplace_back(owner.id, number);
        for (const history_version &v : *owner.versions) all.push_back({&v, owner.id, number});
    }
    std::stable_sort(all.begin(), all.end(), [](const placed &a, const placed &b) {
        return a.version->replaced < b.version->replaced;
    });
    statement s = prepare(db, "insert into history(entry_id,gone,title,user,url,password,notes,"
                              "timestamp,replaced,why)values(?,?,?,?,?,?,?,?,?,?);");
    if (!s) return false;
    auto bind = [&](int column, std::string_view text) {
        sqlite3_bind_text64(s.get(), column, text.data(), text.size(), SQLITE_STATIC,
                            SQLITE_UTF8);
    };
    for (const placed &p : all) {
        const history_version &v = *p.version;
        sqlite3_bind_int64(s.get(), 1, p.id);
        sqlite3_bind_int64(s.get(), 2, p.gone);
        bind(3, v.title);
        bind(4, v.user);
        bind(5, v.url);
        bind(6, v.password);
        bind(7, v.notes);
        bind(8, v.timestamp);
        bind(9, v.replaced);
        bind(10, v.why);
        if (sqlite3_step(s.get()) != SQLITE_DONE) return failed_step(db);
        sqlite3_reset(s.get());
    }
    statement bound = prepare(db, "delete from history where gone=?2 and entry_id=?1 and "
                                  "seq<=(select seq from history where gone=?2 and entry_id=?1 "
                                  "order by seq desc limit 1 offset ?3);");
    if (!bound) return false;
    for (const auto &[id, number] : bounded) {
        sqlite3_bind_int64(bound.get(), 1, id);
        sqlite3_bind_int64(bound.get(), 2, number);
        sqlite3_bind_int(bound.get(), 3, history_bound);
        if (sqlite3_step(bound.get()) != SQLITE_DONE) return failed_step(db);
        sqlite3_reset(bound.get());
    }
    return true;
}

std::optional<std::int64_t> history_begin_import(sqlite3 *db) {
    static const std::pair<const char *, const char *> objects[] = {
        {"imported", imported_table_statement},
        {"imported_edit", imported_edit_trigger},
        {"imported_remove", imported_remove_trigger},
    };
    for (const auto &[name, sql] : objects) {
        statement s = prepare(db, "select count(*) from sqlite_schema where name=?;");
        if (!s) return std::nullopt;
        sqlite3_bind_text(s.get(), 1, name, -1, SQLITE_STATIC);
        if (sqlite3_step(s.get()) != SQLITE_ROW) return (failed_step(db), std::nullopt);
        if (sqlite3_column_int(s.get(), 0) == 0 && !run(db, sql)) return std::nullopt;
    }
    statement s = prepare(db, "select coalesce(max(batch),0)+1 from imported;");
    if (!s) return std::nullopt;
    if (sqlite3_step(s.get()) != SQLITE_ROW) return (failed_step(db), std::nullopt);
    return sqlite3_column_int64(s.get(), 0);
}

bool history_mark_import(sqlite3 *db, std::int64_t batch, std::int64_t id,
                         std::int64_t version) {
    statement s = prepare(db, "insert or replace into imported(entry_id,batch,version) "
                              "values(?,?,?);");
    if (!s) return false;
    sqlite3_bind_int64(s.get(), 1, id);
    sqlite3_bind_int64(s.get(), 2, batch);
    if (version == 0)
        sqlite3_bind_null(s.get(), 3);
    else
        sqlite3_bind_int64(s.get(), 3, version);
    return sqlite3_step(s.get()) == SQLITE_DONE || failed_step(db);
}

std::optional<undone_import> history_undo_import(const char *path) {
    bool present = false;
    connection db = open_record(path, present);
    if (!db) return std::nullopt;
    sqlite3 *raw = db.get();
    undone_import done;
    if (!run(raw, "begin immediate;")) return std::nullopt;
    transaction t{raw};
    if (!schema_is_kesps(raw, path)) return std::nullopt;
    {
        statement has = prepare(raw, "select count(*) from sqlite_schema where type='table' "
                                     "and name='imported';");
        if (!has) return std::nullopt;
        if (sqlite3_step(has.get()) != SQLITE_ROW) return (failed_step(raw), std::nullopt);
        if (sqlite3_column_int(has.get(), 0) == 0) return done;
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> marks;  // entry id, version seq
    std::int64_t batch = 0;
    {
        statement s = prepare(raw, "select entry_id,coalesce(version,0),batch from imported "
                                   "where batch=(select max(batch) from imported) "
                                   "order by entry_id;");
        if (!s) return std::nullopt;
        int rc;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
            marks.emplace_back(sqlite3_column_int64(s.get(), 0), sqlite3_column_int64(s.get(), 1));
            batch = sqlite3_column_int64(s.get(), 2);
        }
        if (rc != SQLITE_DONE) return (failed_step(raw), std::nullopt);
    }
    if (marks.empty()) return done;
    done.found = true;
    statement remove = prepare(raw, "delete from entries where id=?;");
    // The version an import replaced, only while it is still that entry's
    // (a forget may have taken it, and its seq be handed out again).
    statement restore = prepare(
        raw, "update entries set (title,user,url,password,notes,timestamp)=(select title,user,"
             "url,password,notes,timestamp from history where seq=?1) where id=?2 and "
             "exists (select 1 from history where seq=?1 and entry_id=?2 and gone=0 and "
             "why='import');");
    if (!remove || !restore) return std::nullopt;
    for (const auto &[id, version] : marks) {
        sqlite3_stmt *s = version == 0 ? remove.get() : restore.get();
        if (version == 0) {
            sqlite3_bind_int64(s, 1, id);
        } else {
            sqlite3_bind_int64(s, 1, version);
            sqlite3_bind_int64(s, 2, id);
        }
        if (sqlite3_step(s) != SQLITE_DONE) return (failed_step(raw), std::nullopt);
        const bool changed = sqlite3_changes(raw) > 0;
        sqlite3_reset(s);
        if (version == 0) {
            if (changed) ++done.removed;
            continue;
        }
        if (!changed) {
            ++done.kept;
            continue;
        }
        ++done.restored;
        if (!run(raw, "update history set why='restore' where seq=(select max(seq) from "
                      "history where gone=0);"))
            return std::nullopt;
    }
    statement end = prepare(raw, "delete from imported where batch=?;");
    if (!end) return std::nullopt;
    sqlite3_bind_int64(end.get(), 1, batch);
    if (sqlite3_step(end.get()) != SQLITE_DONE) return (failed_step(raw), std::nullopt);
    if (!t.commit()) return std::nullopt;
    return done;
}

namespace {

// The columns of the fields, in the bits' order.
const char *const field_columns[] = {"title", "user", "url", "password", "notes"};

}  // namespace

std::optional<unsigned> history_fields_named(std::string_view names) {
    unsigned fields = 0;
    for (;;) {
        const std::size_t comma = names.find(',');
        const std::string_view name = names.substr(0, comma);
        unsigned bit = 0;
        for (unsigned i = 0; i < std::size(field_columns); ++i)
            if (name == field_columns[i]) bit = 1u << i;
        if (bit == 0) return std::nullopt;
        fields |= bit;
        if (comma == std::string_view::npos) return fields;
        names.remove_prefix(comma + 1);
    }
}

int history_restore(const char *path, const history_owner &owner, int n,
                    std::int64_t &restored_id, unsigned fields) {
    if (owner.gone != 0 && fields != history_all_fields) return 0;
    bool present = false;
    connection db = open_record(path, present);
    if (!db) return -1;
    if (!present || n < 1) return 0;
    sqlite3 *raw = db.get();
    if (!run(raw, "begin immediate;")) return -1;
    transaction t{raw};
    if (!schema_is_kesps(raw, path)) return -1;
    statement pick = prepare(raw, "select seq from history where gone=? and entry_id=? "
                                  "order by seq desc limit 1 offset ?;");
    if (!pick) return -1;
    sqlite3_bind_int64(pick.get(), 1, owner.gone);
    sqlite3_bind_int64(pick.get(), 2, owner.id);
    sqlite3_bind_int(pick.get(), 3, n - 1);
    int rc = sqlite3_step(pick.get());
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return (failed_step(raw), -1);
    const std::int64_t seq = sqlite3_column_int64(pick.get(), 0);
    pick.reset();
    if (owner.gone == 0) {
        // The values it holds now go into the record, as a restore.
        std::string columns;
        for (unsigned i = 0; i < std::size(field_columns); ++i)
            if ((fields & (1u << i)) != 0)
                columns += (columns.empty() ? "" : ",") + std::string(field_columns[i]);
        if (columns.empty()) return 0;
        // Fields that hold those texts already are left alone: a write
        // would put a copy of the entry into the record for nothing.
        const std::string update = "update entries set (" + columns + ")=(select " + columns +
                                   " from history where seq=?1),timestamp=datetime('now',"
                                   "'localtime') where id=?2 and (" + columns +
                                   ") IS NOT (select " + columns + " from history where seq=?1);";
        statement s = prepare(raw, update.c_str());
        if (!s) return -1;
        sqlite3_bind_int64(s.get(), 1, seq);
        sqlite3_bind_int64(s.get(), 2, owner.id);
        if (sqlite3_step(s.get()) != SQLITE_DONE) return (failed_step(raw), -1);
        restored_id = owner.id;
        if (sqlite3_changes(raw) == 0) return t.commit() ? 1 : -1;
        if (!run(raw, "update history set why='restore' where seq=(select max(seq) from "
                      "history where gone=0);"))
            return -1;
    } else {
        // Back under its old id when that is free, else under a new one;
        // its versions go with it.
        int stands = entry_stands(raw, owner.id);
        if (stands < 0) return -1;
        statement s = prepare(raw, "insert into entries(id,title,user,url,password,notes) "
                                   "select ?,title,user,url,password,notes from history "
                                   "where seq=?;");
        if (!s) return -1;
        if (stands == 0)
            sqlite3_bind_int64(s.get(), 1, owner.id);
        else
            sqlite3_bind_null(s.get(), 1);
        sqlite3_bind_int64(s.get(), 2, seq);
        if (sqlite3_step(s.get()) != SQLITE_DONE) return (failed_step(raw), -1);
        restored_id = sqlite3_last_insert_rowid(raw);
        statement move = prepare(raw, "update history set gone=0, entry_id=? where gone=?;");
        if (!move) return -1;
        sqlite3_bind_int64(move.get(), 1, restored_id);
        sqlite3_bind_int64(move.get(), 2, owner.gone);
        if (sqlite3_step(move.get()) != SQLITE_DONE) return (failed_step(raw), -1);
    }
    return t.commit() ? 1 : -1;
}

std::optional<std::size_t> history_forget(const char *path, const history_owner *owner) {
    bool present = false;
    connection db = open_record(path, present);
    if (!db) return std::nullopt;
    if (!present) return std::size_t{0};
    sqlite3 *raw = db.get();
    if (!schema_is_kesps(raw, path)) return std::nullopt;
    // Deleted cells are overwritten; VACUUM then rebuilds the file, so that
    // no free page and no slack of a page keeps the forgotten bytes.
    if (!run(raw, "pragma secure_delete=on;")) return std::nullopt;
    statement s = owner != nullptr
                      ? prepare(raw, "delete from history where gone=? and entry_id=?;")
                      : prepare(raw, "delete from history;");
    if (!s) return std::nullopt;
    if (owner != nullptr) {
        sqlite3_bind_int64(s.get(), 1, owner->gone);
        sqlite3_bind_int64(s.get(), 2, owner->id);
    }
    if (sqlite3_step(s.get()) != SQLITE_DONE) {
        failed_step(raw);
        return std::nullopt;
    }
    const auto forgotten = static_cast<std::size_t>(sqlite3_changes(raw));
    s.reset();
    // Nothing forgotten, nothing to rebuild: the file stays as it was.
    // A test build can make the rebuild fail (an unknown schema is refused
    // as a full disk would be), to show that the overwritten cells alone
    // keep nothing.
    const char *vacuum = test_fail_point("vacuum") ? "vacuum no_such_schema;" : "vacuum;";
    if (forgotten > 0 && !run(raw, vacuum)) return std::nullopt;
    return forgotten;
}
