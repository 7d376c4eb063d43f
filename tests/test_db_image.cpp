// Database files as bytes in memory: reading the entries of an image, and
// building a new database with kesp's own table.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "harness/harness.h"
#include "state/test_hooks.h"
#include "store/db.h"
#include "store/image.h"

namespace {

struct owned_row {
    std::int64_t id;
    std::string title, user, url, password, notes, timestamp;
    bool operator==(const owned_row &) const = default;
};

std::unique_ptr<built_image> build(const std::vector<owned_row> &rows) {
    struct source {
        const std::vector<owned_row> &rows;
        std::size_t next = 0;
    } from{rows};
    return db_image_build(
        [](void *context, image_row &row) {
            auto *s = static_cast<source *>(context);
            if (s->next == s->rows.size()) return false;
            const owned_row &r = s->rows[s->next++];
            row = {r.id, r.title, r.user, r.url, r.password, r.notes, r.timestamp};
            return true;
        },
        &from);
}

struct collected {
    std::size_t expected = 0;
    std::vector<owned_row> rows;
};

const image_reader collector{
    nullptr, [](void *context, std::size_t n) { static_cast<collected *>(context)->expected = n; },
    [](void *context, const image_row &r) {
        static_cast<collected *>(context)->rows.push_back(
            {r.id, std::string(r.title), std::string(r.user), std::string(r.url),
             std::string(r.password), std::string(r.notes), std::string(r.timestamp)});
        return true;
    }};

struct read_result {
    bool ok;
    std::vector<owned_row> rows;
    std::string err;
};

read_result read_bytes(std::string bytes) {
    wiped_buffer buffer(bytes.size());
    if (!bytes.empty()) std::memcpy(buffer.data(), bytes.data(), bytes.size());
    read_result r;
    collected got;
    image_reader reader = collector;
    reader.context = &got;
    testing::internal::CaptureStderr();
    r.ok = db_image_visit(buffer.data(), buffer.size(), "copy.db", reader);
    r.err = testing::internal::GetCapturedStderr();
    r.rows = got.rows;
    if (r.ok) {
        EXPECT_EQ(got.expected, got.rows.size());
    }
    return r;
}

std::string bytes_of(const built_image &b) {
    return std::string(reinterpret_cast<const char *>(b.data()), b.size());
}

TEST(DbImage, BuildsKespsTableAndReadsItBack) {
    const std::vector<owned_row> rows = {
        {1, "mail", "alice", "https://mail", "pw", "", "2024-01-01 10:00:00"},
        {7, "it's \"quoted\"", "b\xc3\xb6" "b", "%_\\", std::string("nul\0inside", 10), "two\nlines",
         "20240301"},
        {4294967296, "", "", "", "", "", ""},
    };
    auto image = build(rows);
    ASSERT_TRUE(image);
    read_result back = read_bytes(bytes_of(*image));
    EXPECT_TRUE(back.ok) << back.err;
    EXPECT_EQ(back.rows, rows);

    harness::scratch_dir dir;
    harness::write_file(dir.file("built.db"), bytes_of(*image));
    ASSERT_TRUE(db_init(dir.file("kesp.db").c_str()));
    const std::string schema = "select type, name, sql from sqlite_master;";
    EXPECT_EQ(harness::sql(dir.file("built.db"), schema), harness::sql(dir.file("kesp.db"), schema));
    EXPECT_EQ(harness::sql(dir.file("built.db"), "pragma integrity_check;"), "ok\n");
    auto empty = build({});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(read_bytes(bytes_of(*empty)).ok);
}

// Rows whose ids follow the greatest so far go in without their ids, in
// runs: every row keeps exactly its id, however the runs fall (across the
// batches of a statement, broken by gaps, out of order, at the ends of
// SQLite's range).
TEST(DbImage, EveryRowKeepsItsIdWhateverRunsTheyMake) {
    std::vector<owned_row> rows;
    auto add = [&](std::int64_t id) {
        rows.push_back({id, "t" + std::to_string(id), "u", "l", "p", "", "2024-01-01 10:00:00"});
    };
    std::int64_t id = 1;
    for (int length : {1, 2, 63, 64, 65, 128, 129, 3}) {
        for (int i = 0; i < length; ++i) add(id++);
        id += 2;  // a gap
    }
    for (std::int64_t back : {40, 41, 39}) add(back + 1000000);  // behind the greatest
    for (std::int64_t i = -3; i <= 1; ++i) add(i - 1000);       // negative ids, in a run
    add(id);  // follows the greatest again
    add(id + 1);
    add(9223372036854775806);
    add(9223372036854775807);
    add(5000000);  // below the greatest: never given by SQLite
    auto image = build(rows);
    ASSERT_TRUE(image);
    std::vector<owned_row> sorted = rows;
    std::sort(sorted.begin(), sorted.end(),
              [](const owned_row &a, const owned_row &b) { return a.id < b.id; });
    read_result back = read_bytes(bytes_of(*image));
    EXPECT_TRUE(back.ok) << back.err;
    EXPECT_EQ(back.rows, sorted);

    // An id given twice fails the build, as ever.
    rows = {{1, "a", "", "", "", "", ""}, {2, "b", "", "", "", "", ""}, {2, "c", "", "", "", "", ""}};
    testing::internal::CaptureStderr();
    EXPECT_FALSE(build(rows));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot build the database in memory: UNIQUE constraint failed: entries.id\n");
}

TEST(DbImage, ReadsByColumnNameAndFromLogModeFiles) {
    harness::scratch_dir dir;
    const std::string other = dir.file("other.db");
    harness::sql(other,
                 "create table entries(notes text, extra text, timestamp date, password text, url "
                 "text, user text, title text, id integer primary key);"
                 "insert into entries values('n', 'x', 't', 'p', 'u', 'us', 'ti', 3);"
                 "insert into entries(id, title) values(2, 'nulls');");
    read_result r = read_bytes(harness::read_file(other));
    EXPECT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.rows, (std::vector<owned_row>{{2, "nulls", "", "", "", "", ""},
                                              {3, "ti", "us", "u", "p", "n", "t"}}));

    const std::string logged = dir.file("wal.db");
    harness::sql(logged, "pragma journal_mode=wal; create table entries(id integer primary key, title "
                         "text, user text, url text, password text, notes text, timestamp date);"
                         "insert into entries values(1, 'a', 'b', 'c', 'd', 'e', 'f');");
    std::string bytes = harness::read_file(logged);
    ASSERT_EQ(bytes[18], 2);
    r = read_bytes(bytes);
    EXPECT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.rows, (std::vector<owned_row>{{1, "a", "b", "c", "d", "e", "f"}}));
}

TEST(DbImage, RefusesWhatIsNoKespDatabase) {
    harness::scratch_dir dir;
    harness::sql(dir.file("other.db"), "create table things(x);");
    auto image = build({{1, "mail", "alice", "u", "p", "n", "t"}});
    ASSERT_TRUE(image);
    std::string whole = bytes_of(*image);
    // One page more, which nothing uses: every table reads as it did.
    auto with_unused_page = [](std::string bytes) {
        bytes += std::string(4096, '\0');
        const auto pages = static_cast<std::uint32_t>(bytes.size() / 4096);
        for (int i = 0; i < 4; ++i) bytes[28 + i] = static_cast<char>(pages >> (24 - 8 * i));
        return bytes;
    };
    struct bad_case {
        const char *name;
        std::string bytes;
        const char *says;  // the whole message, or how its one line starts
    };
    const std::vector<bad_case> cases = {
        {"text", std::string(4096, 'x'), "copy.db is not a kesp database: file is not a database.\n"},
        {"another table", harness::read_file(dir.file("other.db")),
         "copy.db is not a kesp database: no such table: entries.\n"},
        {"cut short", whole.substr(0, whole.size() - 1024),
         "copy.db is damaged: "},
        // The quick check has the say, though the rows read well or the
        // read has a finding of its own.
        {"a page nothing uses", with_unused_page(whole), "copy.db is damaged: Page 3 is never used"},
        {"another table and a page nothing uses",
         with_unused_page(harness::read_file(dir.file("other.db"))),
         "copy.db is damaged: Page 3 is never used"},
    };
    for (const bad_case &c : cases) {
        read_result r = read_bytes(c.bytes);
        EXPECT_FALSE(r.ok) << c.name;
        EXPECT_EQ(r.err.rfind(c.says, 0), 0u) << c.name << ": " << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << c.name << ": " << r.err;
    }
}

// Files made to run code or to mislead the reader, each refused with its
// reason before a row is read.
TEST(DbImage, RefusesSchemasThatRunCodeOrLie) {
    const std::string columns =
        "title text, user text, url text, password text, notes text, timestamp date";
    const std::string table = "create table entries(id integer primary key, " + columns + ");";
    const std::string endless = "with recursive n(i) as (select 1 union all select i + 1 from n) ";
    struct hostile_case {
        const char *name;
        std::string schema;
        const char *reason;
    };
    const std::vector<hostile_case> cases = {
        {"a view over an endless query",
         "create view entries as " + endless +
             "select i as id, 't' as title, 'u' as user, 'l' as url, 'p' as password, "
             "'n' as notes, 'd' as timestamp from n;",
         "it holds a view"},
        {"a view beside the table", table + "create view v as " + endless + "select i from n;",
         "it holds a view"},
        {"a trigger", table + "create trigger t after insert on entries begin select 1; end;",
         "it holds a trigger"},
        {"a trigger named as the record's, doing something else",
         table + "create table history(a);"
                 "CREATE TRIGGER history_edit AFTER UPDATE ON entries BEGIN "
                 "DELETE FROM entries; END;",
         "it holds a trigger"},
        {"a virtual table", "create virtual table entries using fts5(id, " +
                                std::string("title, user, url, password, notes, timestamp);"),
         "it holds a virtual table"},
        {"a view written into the schema by hand",
         table + "pragma writable_schema=on; insert into sqlite_schema values('view', 'v', 'v', "
                 "0, 'create view v as select 1');",
         "its schema holds more than tables and indexes"},
        {"a column missing", "create table entries(id integer primary key, title text, user text,"
                             " url text, password text, timestamp date);",
         "entries has no column notes"},
        {"ids that may repeat",
         "create table entries(id int, " + columns + ");"
         "insert into entries(id, title) values(1, 'a'), (1, 'b');",
         "entries.id is not its integer primary key"},
        {"a computed column",
         "create table entries(id integer primary key, title text as (upper(notes)), user text,"
         " url text, password text, notes text, timestamp date);",
         "entries.title is computed"},
    };
    harness::scratch_dir dir;
    for (const hostile_case &c : cases) {
        const std::string file = dir.file("hostile.db");
        ::unlink(file.c_str());
        harness::sql(file, c.schema);
        const std::uint64_t steps_before = test_work_count("sqlite-steps");
        read_result r = read_bytes(harness::read_file(file));
        // Refused on its schema alone: what such a file would run (an
        // endless view runs until the bound of the work stops it, some
        // thousands of these) never starts.
        EXPECT_LT(test_work_count("sqlite-steps") - steps_before, 10u) << c.name;
        EXPECT_FALSE(r.ok) << c.name;
        EXPECT_TRUE(r.rows.empty()) << c.name;
        EXPECT_EQ(r.err, "copy.db is not a kesp database: " + std::string(c.reason) + ".\n")
            << c.name;
    }
}

// A reader that takes a long table in two parts: the upper part into a
// list of its own, appended when kept. Both parts are a `sink`.
struct sink {
    collected got;
};

struct split_collector : sink {
    int parts = 0, kept = 0, dropped = 0;
};

sink &sink_of(void *context) { return *static_cast<sink *>(context); }

image_reader splitting_reader(split_collector &c) {
    image_reader reader{
        static_cast<sink *>(&c),
        [](void *context, std::size_t n) { sink_of(context).got.expected = n; },
        [](void *context, const image_row &r) { return collector.row(&sink_of(context).got, r); }};
    reader.split = [](void *context) -> void * {
        ++static_cast<split_collector &>(sink_of(context)).parts;
        return static_cast<sink *>(new sink);
    };
    reader.rejoin = [](void *context, void *second, bool keep) {
        auto &owner = static_cast<split_collector &>(sink_of(context));
        sink *upper = &sink_of(second);
        if (keep) {
            ++owner.kept;
            owner.got.rows.insert(owner.got.rows.end(), upper->got.rows.begin(),
                                  upper->got.rows.end());
        } else {
            ++owner.dropped;
        }
        delete upper;
    };
    return reader;
}

// A long table is read in two parts side by side; the reader is handed
// every row once, by ascending id, whatever the ids, and the same rows as
// a reader that reads it whole.
TEST(DbImage, ALongTableReadInTwoPartsArrivesWhole) {
    std::vector<owned_row> rows;
    // Ids at both ends of SQLite's range: the middle of them overflows a
    // plain sum.
    rows.push_back({-9223372036854775807 - 1, "least", "", "", "", "", ""});
    for (int i = 1; i <= 5000; ++i)
        rows.push_back({i * 3, "title " + std::to_string(i), "u", "l", "p" + std::to_string(i),
                        i % 7 == 0 ? "" : "n", "2024-01-01 10:00:00"});
    rows.push_back({9223372036854775807, "most", "", "", "", "", ""});
    for (std::size_t count : {std::size_t(4095), std::size_t(4096), rows.size()}) {
        SCOPED_TRACE("rows " + std::to_string(count));
        std::vector<owned_row> some(rows.end() - static_cast<std::ptrdiff_t>(count), rows.end());
        auto image = build(some);
        ASSERT_TRUE(image);
        std::string bytes = bytes_of(*image);
        wiped_buffer buffer(bytes.size());
        std::memcpy(buffer.data(), bytes.data(), bytes.size());
        split_collector c;
        testing::internal::CaptureStderr();
        EXPECT_TRUE(db_image_visit(buffer.data(), buffer.size(), "copy.db", splitting_reader(c)));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(c.got.expected, count);
        EXPECT_EQ(c.got.rows, some);
        EXPECT_EQ(c.parts, count >= 4096 ? 1 : 0);
        EXPECT_EQ(c.kept, c.parts);
        EXPECT_EQ(c.dropped, 0);
        EXPECT_EQ(read_bytes(bytes).rows, some);
    }
}

// A part that fails fails the reading: the upper part's rows are dropped,
// and a damaged file is refused though both parts read well.
TEST(DbImage, APartThatFailsFailsTheReading) {
    std::vector<owned_row> rows;
    for (int i = 1; i <= 6000; ++i) rows.push_back({i, "t", "u", "l", "p", "n", "x"});
    auto image = build(rows);
    ASSERT_TRUE(image);
    const std::string whole = bytes_of(*image);
    for (std::int64_t refuse : {std::int64_t(10), std::int64_t(5990)}) {
        SCOPED_TRACE("refused at " + std::to_string(refuse));
        wiped_buffer buffer(whole.size());
        std::memcpy(buffer.data(), whole.data(), whole.size());
        split_collector c;
        image_reader reader = splitting_reader(c);
        static std::int64_t refused_id;
        refused_id = refuse;
        reader.row = [](void *context, const image_row &r) {
            return r.id != refused_id && collector.row(&sink_of(context).got, r);
        };
        testing::internal::CaptureStderr();
        EXPECT_FALSE(db_image_visit(buffer.data(), buffer.size(), "copy.db", reader));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(c.parts, 1);
        EXPECT_EQ(c.kept, 0);
        EXPECT_EQ(c.dropped, 1);
    }
    std::string damaged = whole + std::string(4096, '\0');
    const auto pages = static_cast<std::uint32_t>(damaged.size() / 4096);
    for (int i = 0; i < 4; ++i) damaged[28 + i] = static_cast<char>(pages >> (24 - 8 * i));
    read_result r = read_bytes(damaged);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.err.rfind("copy.db is damaged: Page " + std::to_string(pages) + " is never used", 0),
              0u) << r.err;
}

// A database that kesp changed holds the record of earlier versions and
// its triggers: read as any other.
TEST(DbImage, ReadsADatabaseThatHoldsTheRecord) {
    harness::sandbox box;
    const std::string path = box.path("v.db");
    harness::make_database(box, path, {{"mail", "me", "mail.org", "pw", "n"}});
    entry_ptr e(entry_new("mail2", "me", "mail.org", "pw2", "n"));
    ASSERT_TRUE(db_update_entry(path.c_str(), 1, e.get()));
    bool changed = false;
    ASSERT_TRUE(db_delete_entry(path.c_str(), 1, &changed));
    ASSERT_EQ(harness::sql(path, "select count(*) from sqlite_schema where type='trigger';"), "2\n");
    read_result r = read_bytes(harness::read_file(path));
    EXPECT_TRUE(r.ok) << r.err;
    EXPECT_TRUE(r.rows.empty());
}

// An import marks what it added and replaced, with triggers of its own:
// the file reads as any other (the agent, kesp-merge and kesp-sync read
// it so).
TEST(DbImage, ReadsADatabaseThatAnImportMarked) {
    harness::sandbox box;
    const std::string path = box.path("v.db");
    harness::make_database(box, path, {{"mail", "me", "mail.org", "pw", "n"}});
    entry_ptr added(entry_new("bank", "me", "bank.org", "b", ""));
    entry_ptr newer(entry_new("mail", "me", "mail.org", "pw2", "n"));
    std::size_t removals = 0;
    ASSERT_TRUE(db_import(path.c_str(), added.get(), nullptr, nullptr, {{1, newer.get()}}, removals));
    ASSERT_EQ(harness::sql(path, "select count(*) from sqlite_schema where type='trigger';"), "4\n");
    read_result r = read_bytes(harness::read_file(path));
    EXPECT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.rows.size(), 2u);
}

// Beside a plain database an empty journal holds nothing; a log or its
// index of any size means another program has the database open. Beside a
// container every one of them counts.
TEST(DbImage, NamesSideFiles) {
    struct side_case {
        const char *name;
        std::vector<std::pair<const char *, const char *>> planted;  // suffix, content
        const char *found;                                          // suffix, "" for none
        const char *found_beside_container;
    };
    const side_case cases[] = {
        {"nothing", {}, "", ""},
        {"empty journal", {{"-journal", ""}}, "", "-journal"},
        {"hot journal", {{"-journal", "hot"}}, "-journal", "-journal"},
        {"empty log", {{"-wal", ""}}, "-wal", "-wal"},
        {"log before journal", {{"-journal", "hot"}, {"-wal", "frames"}}, "-wal", "-wal"},
        {"index alone", {{"-shm", ""}}, "-shm", "-shm"},
    };
    for (const side_case &c : cases) {
        SCOPED_TRACE(c.name);
        harness::scratch_dir dir;
        const std::string db = dir.file("p.db");
        harness::write_file(db, "");
        for (const auto &[suffix, content] : c.planted) harness::write_file(db + suffix, content);
        auto named = [&](const char *suffix) { return *suffix ? db + suffix : std::string(); };
        EXPECT_EQ(db_side_file(db.c_str()), named(c.found));
        EXPECT_EQ(db_side_file(db.c_str(), true), named(c.found_beside_container));
    }
}

// SQLite looks beside the file a symbolic link leads to, and a side file
// that is itself a link (leading nowhere, even) is there all the same.
TEST(DbImage, SideFilesAreLookedForWhereSQLiteLooks) {
    harness::scratch_dir dir;
    const std::string db = dir.file("p.db"), link = dir.file("link.db");
    harness::write_file(db, "");
    ASSERT_EQ(::symlink(db.c_str(), link.c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (db + "-wal").c_str()), 0);
    EXPECT_EQ(db_side_file(link.c_str()), db + "-wal");
}

}  // namespace
