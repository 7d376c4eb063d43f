#include "store/image.h"

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

#include <pthread.h>
#include <sqlite3.h>

#include "state/test_hooks.h"
#include "store/history.h"
#include "store/schema.h"
#include "store/sqlite_handles.h"
#include "state/files.h"
#include "state/failure.h"

namespace {

const char *const count_rows = "select count(*) from entries;";
const char *const select_rows =
    "select id,title,user,url,password,notes,timestamp from entries order by id;";
// A table this long is read in two parts side by side, split at the id
// halfway between the least and the greatest.
constexpr std::int64_t rows_to_split = 4096;
// Each in a query of its own, where SQLite reads one end of the table.
const char *const select_id_range =
    "select (select min(id) from entries), (select max(id) from entries);";
const char *const select_rows_up_to =
    "select id,title,user,url,password,notes,timestamp from entries where id<=?1 order by id;";
const char *const select_rows_above =
    "select id,title,user,url,password,notes,timestamp from entries where id>?1 order by id;";
const char *const insert_row =
    "insert into entries(id,title,user,url,password,notes,timestamp)values(?,?,?,?,?,?,?);";

// Rows are inserted up to this many to a statement, which is set up and
// ended once for all of them.
constexpr int rows_per_insert = 64;
constexpr int columns_per_row = 7;

// `rows` rows that take the ids SQLite gives next.
std::string insert_following_rows(int rows) {
    std::string sql = "insert into entries(title,user,url,password,notes,timestamp)values";
    for (int i = 0; i < rows; ++i) sql += i == 0 ? "(?,?,?,?,?,?)" : ",(?,?,?,?,?,?)";
    return sql + ";";
}

// A private database in memory; with `vfs` "memdb", one whose file is a
// single block that sqlite3_serialize can hand out as it is.
connection open_memory_db(const char *vfs) {
    connection db;
    int rc = open_connection(vfs != nullptr ? "merged" : ":memory:",
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, vfs,
                             db);
    if (rc != SQLITE_OK) {
        say_failuref("Cannot open a database in memory: %s\n",
                     db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc));
        return nullptr;
    }
    return db;
}

statement prepare(sqlite3 *db, const char *sql) {
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) return nullptr;
    return statement(raw);
}

std::string_view column_text(sqlite3_stmt *s, int column) {
    const unsigned char *text = sqlite3_column_text(s, column);
    if (text == nullptr) return {};
    return {reinterpret_cast<const char *>(text), static_cast<std::size_t>(sqlite3_column_bytes(s, column))};
}

// What refused a file, said only once both the quick check and the read
// are done: a file refused for two reasons gets the one it always got.
struct finding {
    std::string said;

    bool fail(std::string message) {
        said = std::move(message);
        return false;
    }
};

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

// The bound on the work of reading a file: virtual machine steps in
// proportion to its size, far above what reading kesp's table takes. A
// small hostile file thus ends within milliseconds. The quick check and
// the read run side by side on connections of their own, each counting
// its own calls; together they may make no more than `limit`.
constexpr int steps_per_check = 1000;

struct work_budget {
    std::uint64_t limit;
    std::uint64_t calls = 0;
};

int count_work(void *context) {
    auto *budget = static_cast<work_budget *>(context);
    test_count_work("sqlite-steps", 1);
    return ++budget->calls > budget->limit ? 1 : 0;
}

bool refuse(const char *name, const std::string &reason, finding &found) {
    return found.fail(not_kesp_message(name, reason.c_str()));
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

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

// The record's versions, oldest first, handed to the reader after the
// rows; nothing when the file holds no record.
bool visit_versions(sqlite3 *db, const char *name, const image_reader &reader, finding &found) {
    statement has = prepare(db, "select sql from sqlite_schema where type='table' and "
                                "name='history';");
    if (!has) return not_kesp(name, db, found);
    const int rc_has = sqlite3_step(has.get());
    if (rc_has == SQLITE_DONE) return true;
    if (rc_has != SQLITE_ROW) return not_kesp(name, db, found);
    if (column_text(has.get(), 0) != history_table_statement)
        return refuse(name, foreign_history_reason, found);
    if (reader.record != nullptr) *reader.record = true;
    statement rows = prepare(db, "select entry_id,gone,title,user,url,password,notes,timestamp,"
                                 "replaced,why from history order by seq;");
    if (!rows) return not_kesp(name, db, found);
    int rc;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        sqlite3_stmt *s = rows.get();
        const image_version v{sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1),
                              column_text(s, 2), column_text(s, 3), column_text(s, 4),
                              column_text(s, 5), column_text(s, 6), column_text(s, 7),
                              column_text(s, 8), column_text(s, 9)};
        if (!reader.version(reader.context, v)) return false;
    }
    return rc == SQLITE_DONE || not_kesp(name, db, found);
}

// A connection of its own over the file's bytes, which it only reads: the
// file may come from anyone, so its schema is not trusted to run
// functions, views or triggers, and no statement may rewrite it.
connection open_file_bytes(unsigned char *bytes, std::size_t size, const char *name,
                           work_budget &budget, finding &found) {
    connection db = open_memory_db(nullptr);
    if (!db) return nullptr;  // said at once
    sqlite3 *raw = db.get();
    sqlite3_db_config(raw, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    sqlite3_progress_handler(raw, steps_per_check, count_work, &budget);
    if (sqlite3_deserialize(raw, "main", bytes, static_cast<sqlite3_int64>(size),
                            static_cast<sqlite3_int64>(size), SQLITE_DESERIALIZE_READONLY) !=
        SQLITE_OK) {
        not_kesp(name, raw, found);
        return nullptr;
    }
    // Pages are read where they lie instead of being copied into the cache.
    sqlite3_exec(raw, "pragma mmap_size=9223372036854775807;", nullptr, nullptr, nullptr);
    return db;
}

// Work on another core while this one goes on; without a second thread it
// is done in finish(). Whatever the work touches must outlive finish().
class side_job {
public:
    side_job() = default;
    side_job(const side_job &) = delete;
    side_job &operator=(const side_job &) = delete;
    virtual ~side_job() = default;

    void start() { running_ = ::pthread_create(&thread_, nullptr, run, this) == 0; }
    void finish() {
        if (running_) {
            ::pthread_join(thread_, nullptr);
            running_ = false;
        } else if (!done_) {
            run(this);
        }
    }

protected:
    virtual void work() = 0;
    // Derived classes end with `finish();` in their destructor: the
    // thread may not outlive what work() reads.

private:
    static void *run(void *self) {
        auto *job = static_cast<side_job *>(self);
        job->work();
        job->done_ = true;
        return nullptr;
    }

    pthread_t thread_{};
    bool running_ = false;
    bool done_ = false;
};

// Hands the rows that `rows` selects to `row` with `context`.
bool hand_rows(sqlite3 *db, sqlite3_stmt *rows, const char *name,
               bool (*row)(void *context, const image_row &row), void *context,
               finding &found) {
    int rc;
    while ((rc = sqlite3_step(rows)) == SQLITE_ROW) {
        const image_row r{sqlite3_column_int64(rows, 0), column_text(rows, 1),
                          column_text(rows, 2),          column_text(rows, 3),
                          column_text(rows, 4),          column_text(rows, 5),
                          column_text(rows, 6)};
        if (!row(context, r)) return false;
    }
    return rc == SQLITE_DONE || not_kesp(name, db, found);
}

// The quick check of a file, on a connection of its own.
class quick_check_job : public side_job {
public:
    quick_check_job(unsigned char *bytes, std::size_t size, const char *name, std::uint64_t limit)
        : bytes_(bytes), size_(size), name_(name), budget_{limit} {}
    ~quick_check_job() override { finish(); }

    bool passed() {
        finish();
        return passed_;
    }
    const finding &found() const { return found_; }
    std::uint64_t calls() const { return budget_.calls; }

private:
    void work() override {
        connection db = open_file_bytes(bytes_, size_, name_, budget_, found_);
        passed_ = db && passes_quick_check(db.get(), name_, found_);
    }

    unsigned char *bytes_;
    std::size_t size_;
    const char *name_;
    work_budget budget_;
    finding found_;
    bool passed_ = false;
};

// The rows above `after` handed to the reader's second part, on a
// connection of its own. Its rows join the first part's, or are dropped,
// once both are read.
class upper_rows_job : public side_job {
public:
    upper_rows_job(unsigned char *bytes, std::size_t size, const char *name, std::uint64_t limit,
                   const image_reader &reader, void *second, std::int64_t after)
        : bytes_(bytes), size_(size), name_(name), budget_{limit}, reader_(reader),
          second_(second), after_(after) {}
    ~upper_rows_job() override {
        finish();
        if (second_ != nullptr) reader_.rejoin(reader_.context, second_, false);
    }

    bool read() {
        finish();
        return read_;
    }
    // Appends the rows to the first part's.
    void rejoin() {
        reader_.rejoin(reader_.context, second_, true);
        second_ = nullptr;
    }
    const finding &found() const { return found_; }
    std::uint64_t calls() const { return budget_.calls; }

private:
    void work() override {
        connection db = open_file_bytes(bytes_, size_, name_, budget_, found_);
        if (!db) return;
        statement rows = prepare(db.get(), select_rows_above);
        if (!rows || sqlite3_bind_int64(rows.get(), 1, after_) != SQLITE_OK) {
            not_kesp(name_, db.get(), found_);
            return;
        }
        read_ = hand_rows(db.get(), rows.get(), name_, reader_.row, second_, found_);
    }

    unsigned char *bytes_;
    std::size_t size_;
    const char *name_;
    work_budget budget_;
    const image_reader &reader_;
    void *second_;
    std::int64_t after_;
    finding found_;
    bool read_ = false;
};

bool run(sqlite3 *db, const char *sql) {
    char *error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
    say_failuref("Cannot build the database in memory: %s\n",
                 error != nullptr ? error : sqlite3_errmsg(db));
    sqlite3_free(error);
    return false;
}

bool bind(sqlite3_stmt *s, int column, std::string_view text) {
    return sqlite3_bind_text64(s, column, text.data() != nullptr ? text.data() : "", text.size(),
                               SQLITE_STATIC, SQLITE_UTF8) == SQLITE_OK;
}

}  // namespace

bool db_image_visit(unsigned char *bytes, std::size_t size, const char *name,
                    const image_reader &reader) {
    // The in-memory file has no log beside it; in WAL mode SQLite would look
    // for one (header bytes 18 and 19 are the read and write versions).
    if (size >= 100 && starts_with_sqlite_header(bytes, size) && bytes[18] == 2 && bytes[19] == 2)
        bytes[18] = bytes[19] = 1;
    const std::uint64_t limit = 1000 + size / 4;
    work_budget budget{limit};
    finding found;
    auto refused = [&]() {
        say_failure(found.said.c_str());
        return false;
    };
    connection db = open_file_bytes(bytes, size, name, budget, found);
    if (!db) return refused();
    sqlite3 *raw = db.get();
    if (!schema_is_plain(raw, name, found)) return refused();

    // The quick check and the read go side by side; the check has the say.
    // The read was bounded by what the check left of the budget: a read
    // that went beyond it is refused as the work's bound refuses it.
    quick_check_job check(bytes, size, name, limit - std::min(limit, budget.calls));
    check.start();
    std::unique_ptr<upper_rows_job> upper;
    auto read = [&]() {
        if (!has_kesp_columns(raw, name, found)) return false;
        statement count = prepare(raw, count_rows);
        if (!count || sqlite3_step(count.get()) != SQLITE_ROW) return not_kesp(name, raw, found);
        const std::int64_t rows = sqlite3_column_int64(count.get(), 0);
        reader.expect(reader.context, static_cast<std::size_t>(rows));
        // A long table: the rows above the middle id go to the reader's
        // second part on another core, and join the first part's after it.
        std::int64_t up_to = 0;
        if (reader.split != nullptr && rows >= rows_to_split) {
            statement range = prepare(raw, select_id_range);
            if (!range || sqlite3_step(range.get()) != SQLITE_ROW)
                return not_kesp(name, raw, found);
            const std::int64_t least = sqlite3_column_int64(range.get(), 0);
            const std::int64_t most = sqlite3_column_int64(range.get(), 1);
            // Halfway, in arithmetic that cannot overflow whatever the ids.
            const auto low = static_cast<std::uint64_t>(least);
            up_to = static_cast<std::int64_t>(low + (static_cast<std::uint64_t>(most) - low) / 2);
            void *second = up_to < most ? reader.split(reader.context) : nullptr;
            if (second != nullptr) {
                upper = std::make_unique<upper_rows_job>(bytes, size, name,
                                                         limit - std::min(limit, budget.calls),
                                                         reader, second, up_to);
                upper->start();
            }
        }
        statement lower = prepare(raw, upper ? select_rows_up_to : select_rows);
        if (!lower || (upper && sqlite3_bind_int64(lower.get(), 1, up_to) != SQLITE_OK))
            return not_kesp(name, raw, found);
        if (!hand_rows(raw, lower.get(), name, reader.row, reader.context, found)) return false;
        if (upper) {
            if (!upper->read()) {
                found = upper->found();
                return false;
            }
            upper->rejoin();
        }
        if (reader.version != nullptr && !visit_versions(raw, name, reader, found)) return false;
        if (reader.lineage == nullptr) return true;
        reader.lineage->status = db_lineage_read(raw, reader.lineage->lineage);
        return reader.lineage->status != lineage_status::failed || not_kesp(name, raw, found);
    };
    const bool was_read = read();
    if (upper) upper->finish();
    if (!check.passed()) {
        found = check.found();
        return refused();
    }
    const std::uint64_t spent = budget.calls + check.calls() + (upper ? upper->calls() : 0);
    if (spent > limit) {
        found.fail(not_kesp_message(name, "reading it takes far longer than its size allows"));
        return refused();
    }
    return was_read || refused();
}

built_image::~built_image() { sqlite3_close(db_); }

namespace {

// The record and its versions, in the transaction of a build.
bool build_versions(sqlite3 *db, image_version_source next, void *context) {
    if (!run(db, history_table_statement) || !run(db, history_index_statement) ||
        !run(db, history_edit_trigger) || !run(db, history_remove_trigger))
        return false;
    statement insert = prepare(db, "insert into history(entry_id,gone,title,user,url,password,"
                                   "notes,timestamp,replaced,why)values(?,?,?,?,?,?,?,?,?,?);");
    if (!insert) {
        say_failuref("Cannot build the database in memory: %s\n", sqlite3_errmsg(db));
        return false;
    }
    for (image_version v; next(context, v);) {
        sqlite3_stmt *s = insert.get();
        bool bound = sqlite3_bind_int64(s, 1, v.entry_id) == SQLITE_OK &&
                     sqlite3_bind_int64(s, 2, v.gone) == SQLITE_OK && bind(s, 3, v.title) &&
                     bind(s, 4, v.user) && bind(s, 5, v.url) && bind(s, 6, v.password) &&
                     bind(s, 7, v.notes) && bind(s, 8, v.timestamp) && bind(s, 9, v.replaced) &&
                     bind(s, 10, v.why);
        if (!bound || sqlite3_step(s) != SQLITE_DONE) {
            say_failuref("Cannot build the database in memory: %s\n", sqlite3_errmsg(db));
            return false;
        }
        sqlite3_reset(s);
    }
    return true;
}

}  // namespace

std::unique_ptr<built_image> db_image_build(image_row_source next, void *context,
                                            std::size_t expected_size,
                                            image_version_source versions,
                                            void *versions_context, const db_lineage *lineage) {
    // An in-memory file of SQLite's memdb, which serializes without a copy,
    // in one block of the expected size that grows only if it must.
    connection db = open_memory_db("memdb");
    if (!db) return nullptr;
    const sqlite3_int64 room = static_cast<sqlite3_int64>(std::max<std::size_t>(expected_size, 4096));
    auto *block = static_cast<unsigned char *>(sqlite3_malloc64(static_cast<sqlite3_uint64>(room)));
    if (block == nullptr) {
        say_failure("Cannot build the database in memory: out of memory.\n");
        return nullptr;
    }
    hint_huge_pages(block, static_cast<std::size_t>(room));
    // SQLite owns the block from here on, even when this fails.
    if (sqlite3_deserialize(db.get(), "main", block, 0, room,
                            SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_RESIZEABLE) !=
        SQLITE_OK) {
        say_failuref("Cannot build the database in memory: %s\n", sqlite3_errmsg(db.get()));
        return nullptr;
    }
    sqlite3_exec(db.get(), "pragma mmap_size=9223372036854775807;", nullptr, nullptr, nullptr);
    if (!run(db.get(), "pragma journal_mode=off;") || !run(db.get(), entries_create_statement) ||
        !run(db.get(), "begin;"))
        return nullptr;
    auto failed = [&]() {
        say_failuref("Cannot build the database in memory: %s\n", sqlite3_errmsg(db.get()));
        return nullptr;
    };
    // A row whose id follows the greatest so far goes in without it: SQLite
    // gives it that very id and appends the row, where a row with its id
    // given is first looked for in the table. Such rows go in runs of up to
    // `rows_per_insert` to a statement (`following[n]` takes n, prepared
    // when first needed); any other row goes in alone, with its id.
    statement with_id = prepare(db.get(), insert_row);
    if (!with_id) return failed();
    statement following[rows_per_insert + 1];
    image_row pending[rows_per_insert];
    int held = 0;
    auto put_run = [&]() {
        if (held == 0) return true;
        statement &s = following[held];
        if (!s) s = prepare(db.get(), insert_following_rows(held).c_str());
        bool bound = static_cast<bool>(s);
        for (int i = 0; bound && i < held; ++i) {
            const image_row &r = pending[i];
            const int at = i * (columns_per_row - 1);
            bound = bind(s.get(), at + 1, r.title) && bind(s.get(), at + 2, r.user) &&
                    bind(s.get(), at + 3, r.url) && bind(s.get(), at + 4, r.password) &&
                    bind(s.get(), at + 5, r.notes) && bind(s.get(), at + 6, r.timestamp);
        }
        if (!bound || sqlite3_step(s.get()) != SQLITE_DONE) return false;
        sqlite3_reset(s.get());
        held = 0;
        return true;
    };
    auto put_with_id = [&](const image_row &row) {
        sqlite3_stmt *s = with_id.get();
        bool bound = sqlite3_bind_int64(s, 1, row.id) == SQLITE_OK && bind(s, 2, row.title) &&
                     bind(s, 3, row.user) && bind(s, 4, row.url) && bind(s, 5, row.password) &&
                     bind(s, 6, row.notes) && bind(s, 7, row.timestamp);
        if (!bound || sqlite3_step(s) != SQLITE_DONE) return false;
        sqlite3_reset(s);
        return true;
    };
    std::int64_t greatest = 0;
    bool any = false;
    for (image_row row; next(context, row);) {
        if (any && greatest < INT64_MAX && row.id == greatest + 1) {
            pending[held++] = row;
            greatest = row.id;
            if (held == rows_per_insert && !put_run()) return failed();
            continue;
        }
        if (!put_run() || !put_with_id(row)) return failed();
        if (!any || row.id > greatest) greatest = row.id;
        any = true;
    }
    if (!put_run()) return failed();
    with_id.reset();
    for (statement &s : following) s.reset();
    if (versions != nullptr && !build_versions(db.get(), versions, versions_context))
        return nullptr;
    if (lineage != nullptr && !db_lineage_write(db.get(), *lineage)) return failed();
    if (!run(db.get(), "commit;")) return nullptr;

    sqlite3_int64 size = 0;
    unsigned char *bytes = sqlite3_serialize(db.get(), "main", &size, SQLITE_SERIALIZE_NOCOPY);
    if (bytes == nullptr && size > 0) {
        say_failure("Cannot build the database in memory: it cannot be serialized.\n");
        return nullptr;
    }
    return std::make_unique<built_image>(db.release(), bytes, static_cast<std::size_t>(size));
}
