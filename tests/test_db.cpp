// Store operations against real database files in a temporary home folder.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <sqlite3.h>

#include "harness/harness.h"
#include "store/db.h"

namespace {

namespace fs = std::filesystem;

using connection = harness::sqlite_ptr;
using harness::open_sqlite;

void exec_direct(sqlite3 *db, const std::string &statement) {
    char *error = nullptr;
    int rc = sqlite3_exec(db, statement.c_str(), nullptr, nullptr, &error);
    EXPECT_EQ(rc, SQLITE_OK) << statement << ": " << (error ? error : "");
    sqlite3_free(error);
}

std::string query_text(sqlite3 *db, const std::string &statement) {
    std::string result;
    auto take_first = [](void *context, int, char **values, char **) {
        *static_cast<std::string *>(context) = values[0] ? values[0] : "<NULL>";
        return 0;
    };
    EXPECT_EQ(sqlite3_exec(db, statement.c_str(), take_first, &result, nullptr), SQLITE_OK);
    return result;
}

std::vector<int> ids_of(const entry *head) {
    std::vector<int> ids;
    for (const entry *e = head->next; e != nullptr; e = e->next) ids.push_back(e->id);
    return ids;
}

std::vector<std::string> titles_of(const entry *head) {
    std::vector<std::string> titles;
    for (const entry *e = head->next; e != nullptr; e = e->next) titles.push_back(e->title);
    return titles;
}

// What a search finds, as ids and titles; nothing when it failed.
struct found_rows {
    std::vector<int> ids;
    std::vector<std::string> titles;
};

std::optional<found_rows> find_rows(const std::string &path, const char *search) {
    found_rows found;
    auto keep = [](void *context, const entry &row) {
        auto *f = static_cast<found_rows *>(context);
        f->ids.push_back(row.id);
        f->titles.push_back(row.title);
        return true;
    };
    if (!db_visit_found(path.c_str(), search, keep, &found)) return std::nullopt;
    return found;
}

bool starts_with(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string &text, const std::string &suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}


// Counts the sleeps of SQLite's busy handler while it lives: the default
// file system layer, wrapped so that every xSleep is counted.
class sleeps_counted {
public:
    sleeps_counted() {
        real_ = sqlite3_vfs_find(nullptr);
        counting_ = *real_;
        counting_.zName = "counting-sleeps";
        counting_.xSleep = [](sqlite3_vfs *vfs, int microseconds) {
            ++slept;
            return real_->xSleep(vfs, microseconds);
        };
        slept = 0;
        sqlite3_vfs_register(&counting_, 1);
    }
    ~sleeps_counted() {
        sqlite3_vfs_unregister(&counting_);
        sqlite3_vfs_register(real_, 1);
    }
    int count() const { return slept; }

private:
    static inline sqlite3_vfs *real_ = nullptr;
    static inline int slept = 0;
    sqlite3_vfs counting_{};
};

class Db : public ::testing::Test {
protected:
    void SetUp() override { path_ = home_ + "/store.db"; }

    // A fresh database.
    void make_active() { ASSERT_TRUE(db_init(path_.c_str())); }

    void add(const char *title, const char *user = "user", const char *url = "url",
             const char *password = "pw", const char *notes = "notes") {
        entry *e = entry_new(title, user, url, password, notes);
        EXPECT_TRUE(db_insert_entry(path_.c_str(), e));
        entry_free(e);
    }

    void exec(const std::string &statement) { exec_direct(open_sqlite(path_).get(), statement); }

    harness::scratch_dir folder_{"kesp-db-test"};
    std::string home_ = folder_.path();
    std::string path_;
};

TEST_F(Db, InitStoresTheSchemaAndMakesTheFilePrivate) {
    ASSERT_TRUE(db_init(path_.c_str()));
    EXPECT_EQ(harness::file_mode(path_), 0600);
    EXPECT_EQ(query_text(open_sqlite(path_).get(),
                         "select sql from sqlite_master where name='entries'"),
              "CREATE TABLE entries(id integer primary key, title text, user text, url text,"
              "password text, notes text,timestamp date default (datetime('now','localtime')))");
}

TEST_F(Db, InitOverAnExistingDatabaseFailsAndKeepsItsMode) {
    ASSERT_TRUE(db_init(path_.c_str()));
    ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(db_init(path_.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: table entries already exists\n");
    EXPECT_EQ(harness::file_mode(path_), 0644);
}

TEST_F(Db, InitInAMissingFolderFails) {
    std::string path = home_ + "/missing/store.db";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(db_init(path.c_str()));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(starts_with(err, "Failed to initialize database: ")) << err;
    EXPECT_TRUE(ends_with(err, "\n"));
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(Db, TextsRoundTripUnchanged) {
    make_active();
    const char *odd = "it's '' 100% a_b \"q\" ; drop table entries; --";
    add(odd, "O'Brien", "http://x/?a=%d&b=_", "pa'ss%", "");
    add("second");

    testing::internal::CaptureStderr();
    entry_ptr e(db_get_entry(path_.c_str(), 1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->id, 1);
    EXPECT_STREQ(e->title, odd);
    EXPECT_STREQ(e->user, "O'Brien");
    EXPECT_STREQ(e->url, "http://x/?a=%d&b=_");
    EXPECT_STREQ(e->password, "pa'ss%");
    EXPECT_STREQ(e->notes, "");
    ASSERT_NE(e->timestamp, nullptr);
    EXPECT_EQ(std::string(e->timestamp).size(), 19u);  // YYYY-MM-DD HH:MM:SS
    EXPECT_EQ(e->next, nullptr);

    entry_ptr list(db_list_entries(path_.c_str(), list_all));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(titles_of(list.get()), (std::vector<std::string>{odd, "second"}));
}

TEST_F(Db, UpdateReplacesTextsAndRenewsTimestamp) {
    make_active();
    add("old");
    add("other");
    exec("update entries set timestamp='2000-01-01 00:00:00'");

    entry *replacement = entry_new("new", "u2", "l2", "p'2", "n2");
    EXPECT_TRUE(db_update_entry(path_.c_str(), 1, replacement));
    EXPECT_TRUE(db_update_entry(path_.c_str(), 99, replacement));  // no such row: not a failure
    entry_free(replacement);

    entry_ptr e(db_get_entry(path_.c_str(), 1));
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->title, "new");
    EXPECT_STREQ(e->password, "p'2");
    EXPECT_STRNE(e->timestamp, "2000-01-01 00:00:00");
    entry_ptr untouched(db_get_entry(path_.c_str(), 2));
    EXPECT_STREQ(untouched->title, "other");
    EXPECT_STREQ(untouched->timestamp, "2000-01-01 00:00:00");
    EXPECT_EQ(query_text(open_sqlite(path_).get(), "select count(*) from entries"), "2");
}

TEST_F(Db, GetOfAMissingIdIsAnEmptyEntry) {
    make_active();
    add("only");
    testing::internal::CaptureStderr();
    entry_ptr e(db_get_entry(path_.c_str(), 42));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->id, -1);
    EXPECT_EQ(e->title, nullptr);
    EXPECT_EQ(e->password, nullptr);
    EXPECT_EQ(e->timestamp, nullptr);
}

TEST_F(Db, DeleteReportsChangesAndTheHighestIdIsReused) {
    make_active();
    add("a");
    add("b");
    add("c");

    bool changed = false;
    EXPECT_TRUE(db_delete_entry(path_.c_str(), 99, &changed));
    EXPECT_FALSE(changed);
    EXPECT_TRUE(db_delete_entry(path_.c_str(), 3, &changed));
    EXPECT_TRUE(changed);
    EXPECT_TRUE(db_delete_entry(path_.c_str(), 3, &changed));  // gone already: the flag stays set
    EXPECT_TRUE(changed);

    add("d");
    entry_ptr list(db_list_entries(path_.c_str(), list_all));
    EXPECT_EQ(ids_of(list.get()), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(titles_of(list.get()), (std::vector<std::string>{"a", "b", "d"}));
}

TEST_F(Db, ListOrdersAndLimits) {
    make_active();
    add("oldest");
    add("newest");
    add("middle");
    exec("update entries set timestamp='2020-01-01 00:00:00' where id=1;"
         "update entries set timestamp='2022-01-01 00:00:00' where id=2;"
         "update entries set timestamp='2021-01-01 00:00:00' where id=3;");

    entry_ptr all(db_list_entries(path_.c_str(), list_all));
    ASSERT_NE(all, nullptr);
    EXPECT_STREQ(all->title, "dummy");
    EXPECT_EQ(all->timestamp, nullptr);
    EXPECT_EQ(ids_of(all.get()), (std::vector<int>{1, 2, 3}));
    EXPECT_STREQ(all->next->timestamp, "2020-01-01 00:00:00");

    entry_ptr newest_first(db_list_entries(path_.c_str(), list_newest_first));
    EXPECT_EQ(ids_of(newest_first.get()), (std::vector<int>{2, 3, 1}));

    entry_ptr two(db_list_entries(path_.c_str(), 2));
    EXPECT_EQ(ids_of(two.get()), (std::vector<int>{2, 3}));

    entry_ptr many(db_list_entries(path_.c_str(), 10));
    EXPECT_EQ(ids_of(many.get()), (std::vector<int>{2, 3, 1}));

    entry_ptr none(db_list_entries(path_.c_str(), 0));
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->next, nullptr);
}

TEST_F(Db, CountBelowMinusTwoIsRefusedBeforeTheFileIsTouched) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(db_list_entries(path_.c_str(), -3), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid parameter -3\n");
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(Db, FindMatchesSubstringsWithLikeRules) {
    make_active();
    add("Alice Mail", "alice", "https://mail.example", "hunter2", "personal");
    add("Bank", "bob_99", "https://bank.example", "pw", "100% safe");
    add("Shop", "carol", "https://shop.example", "Alice's secret", "o'clock");

    auto find = [this](const char *search) {
        auto found = find_rows(path_, search);
        EXPECT_TRUE(found);
        return found ? found->titles : std::vector<std::string>{};
    };
    using titles = std::vector<std::string>;
    EXPECT_EQ(find("ALICE"), (titles{"Alice Mail"}));        // case ignored; password not searched
    EXPECT_EQ(find("example"), (titles{"Alice Mail", "Bank", "Shop"}));
    EXPECT_EQ(find(""), (titles{"Alice Mail", "Bank", "Shop"}));
    EXPECT_EQ(find("b_b"), (titles{"Bank"}));                 // _ is any one character
    EXPECT_EQ(find("ma%ex"), (titles{"Alice Mail"}));         // % is any run
    EXPECT_EQ(find("0%"), (titles{"Bank"}));
    EXPECT_EQ(find("o'c"), (titles{"Shop"}));
    EXPECT_EQ(find("hunter2"), (titles{}));
}

TEST_F(Db, MissingFileIsReportedAndNotCreated) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(db_list_entries(path_.c_str(), list_all), nullptr);
    EXPECT_FALSE(db_insert_entry(path_.c_str(), nullptr));
    const std::string refused = "Can't initialize: unable to open database file\n"
                                "Corrupted database. Abort.\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), refused + refused);
    EXPECT_FALSE(fs::exists(path_));
}

// The check covers the entries table; a database without one passes it,
// and the statement reports the missing table.
TEST_F(Db, ADatabaseWithoutTheTableReportsItAfterTheCheck) {
    harness::sql(path_, "create table other(a);");
    testing::internal::CaptureStderr();
    EXPECT_EQ(db_list_entries(path_.c_str(), list_all), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: no such table: entries\n");
}

TEST_F(Db, AFileThatIsNotADatabaseIsReportedCorrupted) {
    std::string junk(4096, '\x5a');
    std::ofstream(path_, std::ios::binary) << junk;

    testing::internal::CaptureStderr();
    EXPECT_FALSE(db_insert_entry(path_.c_str(), nullptr));  // refused before the entry is read
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(starts_with(err, "SQL error: ")) << err;
    EXPECT_TRUE(ends_with(err, "\nCorrupted database. Abort.\n")) << err;

    std::ifstream in(path_, std::ios::binary);
    std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(after, junk);
}

// No busy time-out: a lock held elsewhere fails the operation at once.
TEST_F(Db, ALockHeldByAnotherConnectionFailsAtOnce) {
    make_active();
    add("a");
    connection other = open_sqlite(path_);

    exec_direct(other.get(), "BEGIN EXCLUSIVE");
    sleeps_counted sleeps;
    testing::internal::CaptureStderr();
    EXPECT_EQ(db_list_entries(path_.c_str(), list_all), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "SQL error: database is locked\nCorrupted database. Abort.\n");
    // A busy handler would have slept and tried again.
    EXPECT_EQ(sleeps.count(), 0);
    exec_direct(other.get(), "ROLLBACK");

    // A write lock lets the check read, so the insert itself meets the lock.
    exec_direct(other.get(), "BEGIN IMMEDIATE");
    entry *e = entry_new("b", "u", "l", "p", "n");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(db_insert_entry(path_.c_str(), e));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: database is locked\n");
    entry_free(e);
    exec_direct(other.get(), "ROLLBACK");
    EXPECT_EQ(query_text(other.get(), "select count(*) from entries"), "1");
}

TEST_F(Db, RowsWithNullColumns) {
    make_active();
    add("clean");
    exec("insert into entries(title, user, url, password, notes) values('holes', NULL, 'u', NULL, 'n');"
         "insert into entries(id, title, user, url, password, notes, timestamp)"
         " values(7, NULL, NULL, NULL, NULL, NULL, NULL);");

    testing::internal::CaptureStderr();
    EXPECT_EQ(db_get_entry(path_.c_str(), 2), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(starts_with(err, "Error: ")) << err;
    EXPECT_TRUE(ends_with(err, "\n"));

    entry_ptr list(db_list_entries(path_.c_str(), list_all));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(ids_of(list.get()), (std::vector<int>{1, 2, 7}));
    const entry *holes = list->next->next;
    EXPECT_STREQ(holes->user, "");
    EXPECT_STREQ(holes->password, "");
    EXPECT_STREQ(holes->notes, "n");
    const entry *blank = holes->next;
    EXPECT_STREQ(blank->title, "");
    ASSERT_NE(blank->timestamp, nullptr);
    EXPECT_STREQ(blank->timestamp, "");

    EXPECT_EQ(find_rows(path_, "hole")->ids, (std::vector<int>{2}));
}

TEST_F(Db, IdsOutsideThe32BitRangeAreSkippedWithOneWarning) {
    make_active();
    exec("insert into entries(id, title, user, url, password, notes) values"
         "(-2147483648, 'lowest', 'u', 'l', 'p', 'n'),"
         "(-2147483649, 'too low', 'u', 'l', 'p', 'n'),"
         "(2147483647, 'highest', 'u', 'l', 'p', 'n'),"
         "(4294967297, 'too high', 'u', 'l', 'p', 'n')");

    testing::internal::CaptureStderr();
    entry_ptr list(db_list_entries(path_.c_str(), list_all));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING: Skipped 2 entries with ids out of range\n");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(ids_of(list.get()), (std::vector<int>{-2147483648, 2147483647}));

    testing::internal::CaptureStderr();
    auto found = find_rows(path_, "high");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING: Skipped 1 entries with ids out of range\n");
    EXPECT_EQ(found->titles, (std::vector<std::string>{"highest"}));

    // 4294967297 would read as 1 if the id were cut to 32 bits.
    entry_ptr one(db_get_entry(path_.c_str(), 1));
    EXPECT_EQ(one->id, -1);
}

// What a listing hands out, row by row, and what the store printed on the way.
struct rows_seen {
    bool ok;
    std::vector<std::string> rows;  // id and the six texts, one line each
    std::string err;
    bool operator==(const rows_seen &) const = default;
};

std::string row_line(const entry &e) {
    std::string line = std::to_string(e.id);
    for (const char *text : {e.title, e.user, e.url, e.password, e.notes, e.timestamp})
        line += std::string("|") + (text != nullptr ? text : "<none>");
    return line;
}

template <typename List>
rows_seen listed(List list) {
    testing::internal::CaptureStderr();
    entry_ptr head(list());
    rows_seen seen{head != nullptr, {}, testing::internal::GetCapturedStderr()};
    for (const entry *e = head ? head->next : nullptr; e != nullptr; e = e->next)
        seen.rows.push_back(row_line(*e));
    return seen;
}

template <typename Visit>
rows_seen visited(Visit visit) {
    rows_seen seen{};
    auto keep = [](void *context, const entry &row) {
        EXPECT_EQ(row.next, nullptr);
        static_cast<rows_seen *>(context)->rows.push_back(row_line(row));
        return true;
    };
    testing::internal::CaptureStderr();
    seen.ok = visit(+keep, &seen);
    seen.err = testing::internal::GetCapturedStderr();
    return seen;
}

// Listings print rows as they are read instead of from a list: both ways
// must give the same rows, in the same order, with the same messages.
TEST_F(Db, VisitingRowsGivesWhatAListHolds) {
    make_active();
    add("clean", "alice");
    exec("insert into entries(title, user, url, password, notes) values('holes', NULL, 'u', NULL, 'n');"
         "insert into entries(id, title, user, url, password, notes, timestamp)"
         " values(7, NULL, NULL, NULL, NULL, NULL, NULL), (4294967297, 'too high', 'u', 'l', 'p', 'n', '2020-01-01');"
         "update entries set timestamp='2021-01-01 00:00:00' where id=1;");
    const char *p = path_.c_str();
    for (int count : {list_all, list_newest_first, 0, 2, 10, -3}) {
        SCOPED_TRACE(count);
        rows_seen expected = listed([&] { return db_list_entries(p, count); });
        EXPECT_EQ(visited([&](entry_visitor v, void *c) { return db_visit_entries(p, count, v, c); }),
                  expected);
    }
    rows_seen all = visited([&](entry_visitor v, void *c) { return db_visit_entries(p, list_all, v, c); });
    EXPECT_EQ(all.rows.size(), 3u);
    EXPECT_EQ(all.err, "WARNING: Skipped 1 entries with ids out of range\n");

    // A visitor that stops makes the listing fail after SQLite's message.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(db_visit_entries(p, list_all, [](void *, const entry &) { return false; }, nullptr));
    EXPECT_TRUE(starts_with(testing::internal::GetCapturedStderr(), "Error: "));
}

TEST_F(Db, AHundredThousandRowsListInOrder) {
    make_active();
    exec("with recursive n(i) as (select 1 union all select i + 1 from n where i < 100000)"
         " insert into entries(title, user, url, password, notes) select 't' || i, 'u', 'l', 'p', 'n' from n");
    entry_ptr list(db_list_entries(path_.c_str(), list_all));
    ASSERT_NE(list, nullptr);
    std::vector<int> ids = ids_of(list.get());
    ASSERT_EQ(ids.size(), 100000u);
    EXPECT_EQ(ids.front(), 1);
    EXPECT_EQ(ids.back(), 100000);
}

}  // namespace
