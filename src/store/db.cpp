#include "store/db.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <sys/stat.h>
#include <memory>
#include <optional>
#include <utility>

#include <sqlite3.h>

#include "memory/c_heap.h"
#include "memory/secret.h"
#include "store/sqlite_handles.h"
#include "state/files.h"
#include "store/history.h"
#include "store/schema.h"

namespace {

const char *const create_statement = entries_create_statement;
// The check covers the entries alone: the record of earlier versions
// grows to several times their size, and is checked where it is read.
const char *const integrity_statement = "pragma integrity_check(entries);";
// A file without the table (named by a pointer file before anything was
// created there) is checked whole; its statement then reports the table.
const char *const whole_integrity_statement = "pragma integrity_check;";
const char *const insert_template =
    "insert into entries(title, user, url, password, notes)values('%q','%q','%q','%q','%q')";
const char *const insert_dated_template =
    "insert into entries(title, user, url, password, notes, timestamp)"
    "values('%q','%q','%q','%q','%q','%q')";
const char *const update_template =
    "update entries set title='%q',user='%q',url='%q',password='%q',notes='%q',"
    "timestamp=datetime('now','localtime') where id=%d;";
// An import's replacement carries the file's time: it is the file's version.
const char *const replace_template =
    "update entries set title='%q',user='%q',url='%q',password='%q',notes='%q',"
    "timestamp='%q' where id=%d;";
const char *const get_template =
    "select id,title,user,url,password,notes,timestamp from entries where id=%d;";
const char *const delete_template = "delete from entries where id=%d;";
// The columns are named, never "*": a table written by other software may
// hold them in another order, and a password must never land in the title.
#define ENTRY_COLUMNS "select id,title,user,url,password,notes,timestamp from entries"
const char *const list_all_statement = ENTRY_COLUMNS ";";
const char *const list_newest_template = ENTRY_COLUMNS " order by datetime(timestamp) desc";
const char *const list_limited_template =
    ENTRY_COLUMNS " order by datetime(timestamp) desc limit %d";
const char *const find_template =
    ENTRY_COLUMNS " where title like '%%%q%%' or user like '%%%q%%' or "
    "url like '%%%q%%' or notes like '%%%q%%';";
#undef ENTRY_COLUMNS

// id, title, user, url, password, notes, timestamp
constexpr int entry_columns = 7;

// A built statement that carries an entry password.
using secret_sqlite_text = std::unique_ptr<char, secret_text_releaser<sqlite3_free>>;

// sqlite3_exec runs nothing and reports success when given no statement, so
// a statement that could not be built must not get that far.
char *built(char *statement) {
    if (statement == nullptr) out_of_memory();
    return statement;
}

// Opens the database at `path`; only `create` makes a file where none is.
// On failure prints `failure` followed by SQLite's text.
connection open_db(const char *path, const char *failure, bool create = false) {
    int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    connection db;
    if (open_connection(path, flags, nullptr, db) != SQLITE_OK) {
        std::fprintf(stderr, "%s%s\n", failure, sqlite3_errmsg(db.get()));
        return nullptr;
    }
    return db;
}

// Runs one statement; on failure prints `failure` followed by SQLite's text.
bool run(sqlite3 *db, const char *statement, sqlite3_callback handler, void *context,
         const char *failure) {
    char *raw_error = nullptr;
    int rc = sqlite3_exec(db, statement, handler, context, &raw_error);
    sqlite_text error(raw_error);
    if (rc != SQLITE_OK) {
        std::fprintf(stderr, "%s%s\n", failure, error ? error.get() : sqlite3_errmsg(db));
        return false;
    }
    return true;
}

// Ids are read with strtoll: SQLite keys are 64-bit, and other software may
// have stored ones that no 32-bit id (the only kind a command can name) reaches.
std::optional<int> parse_id(const char *text) {
    if (text == nullptr) return std::nullopt;
    errno = 0;
    long long value = std::strtoll(text, nullptr, 10);
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return std::nullopt;
    return static_cast<int>(value);
}

// The row handlers given to sqlite3_exec return 0 to go on; non-zero stops
// the statement, which then fails.

// Non-zero at the first column named "integrity_check" whose value is not
// exactly "ok".
int integrity_row_handler(void *, int columns, char **values, char **names) {
    for (int i = 0; i < columns; ++i) {
        if (names[i] == nullptr || std::strcmp(names[i], "integrity_check") != 0) continue;
        if (values[i] == nullptr || std::strcmp(values[i], "ok") != 0) return 1;
    }
    return 0;
}

// Fills the entry prepared by db_get_entry from the seven columns; refuses
// a row with a NULL column or an id outside the 32-bit range.
int entry_row_handler(void *context, int columns, char **values, char **) {
    auto *e = static_cast<entry *>(context);
    if (columns < entry_columns) return 1;
    for (int i = 0; i < entry_columns; ++i)
        if (values[i] == nullptr) return 1;
    auto id = parse_id(values[0]);
    // The id is the key, so one row at most arrives; a second would leak the first.
    if (!id || e->title != nullptr) return 1;
    e->id = *id;
    e->title = xstrdup(values[1]);
    e->user = xstrdup(values[2]);
    e->url = xstrdup(values[3]);
    e->password = xstrdup(values[4]);
    e->notes = xstrdup(values[5]);
    e->timestamp = xstrdup(values[6]);
    e->next = nullptr;
    return 0;
}

// The integrity check, then the same connection for the operation's one
// statement: a second connection would read the schema again.
bool check_integrity(sqlite3 *db) {
    char *raw_error = nullptr;
    int rc = sqlite3_exec(db, integrity_statement, integrity_row_handler, nullptr, &raw_error);
    sqlite_text error(raw_error);
    if (rc == SQLITE_OK) return true;
    if (error && std::strncmp(error.get(), "no such table", 13) == 0)
        return run(db, whole_integrity_statement, integrity_row_handler, nullptr, "SQL error: ");
    std::fprintf(stderr, "SQL error: %s\n", error ? error.get() : sqlite3_errmsg(db));
    return false;
}

connection open_checked_db(const char *path) {
    connection db = open_db(path, "Can't initialize: ");
    if (!db || !check_integrity(db.get())) {
        std::fputs("Corrupted database. Abort.\n", stderr);
        return nullptr;
    }
    return db;
}

// After some errors (a full disk, an I/O error) SQLite has rolled the
// transaction back itself, and a rollback would only fail.
void roll_back(sqlite3 *db) {
    if (!sqlite3_get_autocommit(db)) run(db, "rollback;", nullptr, nullptr, "Error: ");
}

// One change to the entries of the database at `path`, in a transaction
// that first checks that the schema is kesp's alone (another program's
// trigger would run with the change) and adds the record of earlier
// versions where the database lacks it. A statement that changes no row
// is rolled back, record and all: a command that did nothing leaves the
// file as it was. `changed` tells whether a row changed.
bool run_change(sqlite3 *db, const char *path, const char *statement, bool *changed = nullptr) {
    if (!run(db, "begin immediate;", nullptr, nullptr, "Error: ")) return false;
    if (schema_is_kesps(db, path) && history_prepare(db) &&
        run(db, statement, nullptr, nullptr, "Error: ")) {
        const bool rows = sqlite3_changes(db) > 0;
        if (changed != nullptr) *changed = rows;
        if (!rows) {
            roll_back(db);
            return true;
        }
        if (run(db, "commit;", nullptr, nullptr, "Error: ")) return true;
    }
    roll_back(db);
    return false;
}

// Rows whose ids fit no int are left out of every listing; the count of
// them is reported once, after the statement.
template <typename Rows>
bool read_rows(sqlite3 *db, const char *statement, sqlite3_callback handler, Rows &rows) {
    if (!run(db, statement, handler, &rows, "Error: ")) return false;
    if (rows.skipped > 0)
        std::fprintf(stderr, "WARNING: Skipped %zu entries with ids out of range\n",
                     rows.skipped);
    return true;
}

bool valid_count(int count) {
    if (count >= -2) return true;
    std::fprintf(stderr, "Invalid parameter %d\n", count);
    return false;
}

// The select for a listing of `count` rows: a fixed text for list_all, else
// one built into `text`.
const char *list_statement(int count, sqlite_text &text) {
    if (count == list_newest_first)
        text.reset(built(sqlite3_mprintf(list_newest_template)));
    else if (count >= 0)
        text.reset(built(sqlite3_mprintf(list_limited_template, count)));
    return text ? text.get() : list_all_statement;
}

sqlite_text find_statement(const char *search) {
    return sqlite_text(built(sqlite3_mprintf(find_template, search, search, search, search)));
}

// Context of visit_row_handler.
struct row_visit {
    entry_visitor visit;
    void *context;
    std::size_t skipped;
};

// Lends each row to the visitor as an entry whose texts are SQLite's; NULL
// columns read as empty texts, as in a list.
int visit_row_handler(void *context, int columns, char **values, char **) {
    auto *rows = static_cast<row_visit *>(context);
    if (columns < entry_columns) return 1;
    auto id = parse_id(values[0]);
    if (!id) {
        ++rows->skipped;
        return 0;
    }
    char empty[1] = "";
    auto text = [&](int i) { return values[i] != nullptr ? values[i] : empty; };
    const entry row{*id, text(1), text(2), text(3), text(4), text(5), text(6), nullptr};
    return rows->visit(rows->context, row) ? 0 : 1;
}

// SQLite's allocator interface over the wiping heap.
void *store_malloc(int size) { return wiping_malloc(static_cast<std::size_t>(size)); }
void store_free(void *block) { wiping_free(block); }
void *store_realloc(void *block, int size) {
    return wiping_realloc(block, static_cast<std::size_t>(size));
}
int store_size(void *block) { return static_cast<int>(wiping_block_size(block)); }
int store_roundup(int size) { return (size + 7) & ~7; }
int store_init(void *) { return SQLITE_OK; }
void store_shutdown(void *) {}

}  // namespace

void db_use_wiping_heap() {
    static const sqlite3_mem_methods methods{store_malloc,  store_free, store_realloc, store_size,
                                             store_roundup, store_init, store_shutdown, nullptr};
    sqlite3_config(SQLITE_CONFIG_MALLOC, &methods);
}

bool db_init(const char *path) {
    {
        connection db = open_db(path, "Failed to initialize database: ", true);
        if (!db) return false;
        if (!run(db.get(), create_statement, nullptr, nullptr, "Error: ")) return false;
    }
    set_private_mode(path);
    return true;
}

bool db_insert_entry(const char *path, const entry *e) {
    connection db = open_checked_db(path);
    if (!db) return false;
    secret_sqlite_text statement(built(sqlite3_mprintf(
        insert_template, e->title, e->user, e->url, e->password, e->notes)));
    return run_change(db.get(), path, statement.get());
}

namespace {

// db_insert_entries and db_import; `import` null for a plain insert.
struct import_changes {
    const std::vector<entry_replacement> *replacements;
    std::size_t *removals_added;
};

bool insert_entries(const char *path, const entry *first,
                    const std::vector<std::vector<history_version>> *histories,
                    const std::vector<removed_versions> *removed, const import_changes *import) {
    connection db = open_checked_db(path);
    if (!db) return false;
    if (!run(db.get(), "begin immediate;", nullptr, nullptr, "Error: ")) return false;
    bool inserted = schema_is_kesps(db.get(), path) && history_prepare(db.get());
    std::optional<std::int64_t> batch;
    if (inserted && import != nullptr &&
        (first != nullptr || !import->replacements->empty())) {
        batch = history_begin_import(db.get());
        inserted = batch.has_value();
    }
    std::vector<history_to_add> versions;
    std::size_t at = 0;
    for (const entry *e = first; e != nullptr && inserted; e = e->next, ++at) {
        secret_sqlite_text statement(built(sqlite3_mprintf(
            insert_dated_template, e->title, e->user, e->url, e->password, e->notes,
            text_or_empty(e->timestamp))));
        inserted = run(db.get(), statement.get(), nullptr, nullptr, "Error: ");
        const std::int64_t id = sqlite3_last_insert_rowid(db.get());
        if (inserted && batch) inserted = history_mark_import(db.get(), *batch, id, 0);
        if (inserted && histories != nullptr && at < histories->size())
            versions.push_back({id, false, &(*histories)[at]});
    }
    if (import != nullptr)
        for (const entry_replacement &r : *import->replacements) {
            if (!inserted) break;
            secret_sqlite_text statement(built(sqlite3_mprintf(
                replace_template, r.e->title, r.e->user, r.e->url, r.e->password, r.e->notes,
                text_or_empty(r.e->timestamp), r.id)));
            inserted = run(db.get(), statement.get(), nullptr, nullptr, "Error: ");
            if (!inserted || sqlite3_changes(db.get()) == 0) continue;
            // The version it held, which the edit trigger has just recorded.
            inserted = run(db.get(), "update history set why='import' where seq=(select "
                                     "max(seq) from history where gone=0);",
                           nullptr, nullptr, "Error: ");
            std::int64_t seq = 0;
            auto latest = [](void *context, int, char **values, char **) {
                if (values[0] != nullptr) *static_cast<std::int64_t *>(context) = std::atoll(values[0]);
                return 0;
            };
            if (inserted)
                inserted = run(db.get(), "select max(seq) from history where gone=0;", latest,
                               &seq, "Error: ");
            if (inserted && seq != 0) inserted = history_mark_import(db.get(), *batch, r.id, seq);
        }
    if (removed != nullptr)
        for (const removed_versions &r : *removed) versions.push_back({r.id, true, &r.versions});
    if (inserted)
        inserted = history_insert(db.get(), versions,
                                  import != nullptr ? import->removals_added : nullptr);
    if (inserted && sqlite3_total_changes(db.get()) == 0) {
        roll_back(db.get());  // nothing to add: the file stays as it was
        return true;
    }
    if (inserted && run(db.get(), "commit;", nullptr, nullptr, "Error: ")) return true;
    roll_back(db.get());
    if (import != nullptr) *import->removals_added = 0;
    return false;
}

}  // namespace

bool db_insert_entries(const char *path, const entry *first,
                       const std::vector<std::vector<history_version>> *histories,
                       const std::vector<removed_versions> *removed) {
    return insert_entries(path, first, histories, removed, nullptr);
}

bool db_import(const char *path, const entry *first,
               const std::vector<std::vector<history_version>> *histories,
               const std::vector<removed_versions> *removed,
               const std::vector<entry_replacement> &replacements, std::size_t &removals_added) {
    removals_added = 0;
    const import_changes import{&replacements, &removals_added};
    return insert_entries(path, first, histories, removed, &import);
}

bool db_update_entry(const char *path, int id, const entry *e) {
    connection db = open_checked_db(path);
    if (!db) return false;
    secret_sqlite_text statement(built(sqlite3_mprintf(
        update_template, e->title, e->user, e->url, e->password, e->notes, id)));
    return run_change(db.get(), path, statement.get());
}

entry *db_get_entry(const char *path, int id) {
    connection db = open_checked_db(path);
    if (!db) return nullptr;
    entry_ptr found(entry_alloc());
    found->id = -1;
    sqlite_text statement(built(sqlite3_mprintf(get_template, id)));
    if (!run(db.get(), statement.get(), entry_row_handler, found.get(), "Error: "))
        return nullptr;
    return found.release();
}

bool db_delete_entry(const char *path, int id, bool *changed) {
    connection db = open_checked_db(path);
    if (!db) return false;
    sqlite_text statement(built(sqlite3_mprintf(delete_template, id)));
    bool removed = false;
    if (!run_change(db.get(), path, statement.get(), &removed)) return false;
    if (removed) *changed = true;
    return true;
}

entry *db_list_entries(const char *path, int count) {
    // A list is the rows of a visit, copied after a sentinel head; the tail
    // is kept, so that building a list of n rows costs O(n).
    struct list_builder {
        entry_ptr head{entry_new("dummy", "dummy", "dummy", "dummy", "dummy")};
        entry *tail = head.get();
        static bool append(void *context, const entry &row) {
            auto *list = static_cast<list_builder *>(context);
            entry *e = entry_append(list->tail, row.title, row.user, row.url, row.password,
                                    row.notes);
            e->id = row.id;
            e->timestamp = xstrdup(row.timestamp);
            list->tail = e;
            return true;
        }
    } list;
    if (!db_visit_entries(path, count, list_builder::append, &list)) return nullptr;
    return list.head.release();
}

bool db_visit_entries(const char *path, int count, entry_visitor visit, void *context) {
    if (!valid_count(count)) return false;
    connection db = open_checked_db(path);
    if (!db) return false;
    row_visit rows{visit, context, 0};
    sqlite_text text;
    return read_rows(db.get(), list_statement(count, text), visit_row_handler, rows);
}

bool db_visit_found(const char *path, const char *search, entry_visitor visit, void *context) {
    connection db = open_checked_db(path);
    if (!db) return false;
    row_visit rows{visit, context, 0};
    return read_rows(db.get(), find_statement(search).get(), visit_row_handler, rows);
}

namespace {

// Where SQLite looks for the side files: beside the file a symbolic link
// leads to.
std::string sqlite_file_name(const char *path) {
    std::string file = path;
    if (char *resolved = ::realpath(path, nullptr)) {
        file = resolved;
        std::free(resolved);
    }
    return file;
}

}  // namespace

std::string db_side_file(const char *path, bool count_empty_journal) {
    const std::string file = sqlite_file_name(path);
    for (const char *suffix : {"-wal", "-shm", "-journal"}) {
        std::string side = file + suffix;
        struct stat st;
        if (::lstat(side.c_str(), &st) != 0) continue;
        const bool empty_journal =
            std::strcmp(suffix, "-journal") == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
        if (empty_journal && !count_empty_journal) continue;
        return side;
    }
    return {};
}

bool db_without_side_file(const char *path, bool count_empty_journal) {
    const std::string side = db_side_file(path, count_empty_journal);
    if (side.empty()) return true;
    std::fprintf(stderr,
                 "%s exists: another program has the database open, or that file holds data of "
                 "its own. Close it and try again.\n",
                 side.c_str());
    return false;
}

bool db_settle(const char *path) {
    const std::string file = sqlite_file_name(path);
    char header[sqlite_header_size] = {};
    std::size_t got = 0;
    if (file_ptr in{std::fopen(file.c_str(), "rbe")}) got = std::fread(header, 1, sizeof header, in.get());
    if (starts_with_sqlite_header(header, got)) {
        // Reading rolls a hot journal back; the checkpoint empties the log;
        // closing the last connection removes the log and its index.
        connection db = open_db(file.c_str(), "Error: ");
        if (!db) return false;
        if (!run(db.get(), "select count(*) from sqlite_master; pragma wal_checkpoint(TRUNCATE);",
                 nullptr, nullptr, "Error: "))
            return false;
    }
    // An empty journal (left by another program's journal mode) holds
    // nothing; the container must not find it beside itself.
    remove_empty_journal(file);
    return db_without_side_file(file.c_str(), true);
}
