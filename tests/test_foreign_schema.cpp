// A database someone hands over may hold objects of its own: a trigger
// that runs with every change, a view, a table named like kesp's record.
// kesp changes nothing in such a database and names the object; and a
// command that changes nothing leaves any database exactly as it was.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/harness.h"

namespace {

using harness::read_file;
using harness::sandbox;
using harness::sql;

const std::string history_program = harness::built_program("kesp-history");
const std::string import_program = harness::built_program("kesp-import");

class ForeignSchema : public testing::Test {
protected:
    void SetUp() override {
        harness::make_database(box, db, {{"mail", "me", "mail.org", "mail-pw", "first"},
                                         {"bank", "acct", "bank.com", "bank-pw", "second"},
                                         {"shop", "sam", "shop.example", "shop-pw", "third"}});
        harness::write_file(box.path("in.json"), "{\"format\": \"kesp\", \"version\": 1, "
                                                 "\"entries\": [{\"title\": \"new\"}]}");
    }
    std::string refusal(const std::string &reason) const {
        return db + " is not a kesp database: " + reason + ".\n";
    }

    sandbox box;
    std::string db = box.path("shared.db");
};

// Each object that is not kesp's, planted, then every kind of change: each
// is refused with the object named, and the file keeps every byte.
TEST_F(ForeignSchema, EveryChangeIsRefusedAndTheObjectNamed) {
    struct plant {
        const char *name;
        std::string statement;
        std::string reason;
    };
    const std::vector<plant> plants = {
        {"a trigger that removes the other entries",
         "create trigger wipe_others after update on entries begin "
         "delete from entries where id<>new.id; end;",
         "its trigger wipe_others is not kesp's"},
        {"a trigger on insert", "create trigger tell after insert on entries begin "
                                "update entries set notes='seen' where id=new.id; end;",
         "its trigger tell is not kesp's"},
        {"a trigger under the name of kesp's",
         "create trigger history_edit after update on entries begin delete from entries; end;",
         "its trigger history_edit is not kesp's"},
        {"a view", "create view everything as select * from entries;",
         "its view everything is not kesp's"},
        {"a table", "create table extra(x);", "its table extra is not kesp's"},
        {"an index", "create index by_title on entries(title);",
         "its index by_title is not kesp's"},
        {"an entries table of another shape", "alter table entries add column more text;",
         "its table entries is not kesp's"},
        {"a history table of another shape", "create table history(x);",
         "its table history is not kesp's record of earlier versions"},
        {"a name that holds an escape sequence",
         "create trigger \"t\x1b]52;c;aGk=\x07\" after delete on entries begin select 1; end;",
         "its trigger t\\x1b]52;c;aGk=\\x07 is not kesp's"},
    };
    struct change {
        std::vector<std::string> args;
        std::string input;
        std::string after;  // what kesp says after the refusal
    };
    const std::vector<change> changes = {
        {{"-e", "1"}, "new title\n\n\n\n", ""},
        {{"-a"}, "t\nu\nl\nn\n", "Failed to add a new entry.\n"},
        {{"-r", "2"}, "", ""},
        {{"-c", "1"}, "", "Failed to add a new entry.\n"},
    };
    // A reduced run tries one change a plant, each change in turn.
    std::size_t planted = 0;
    for (const plant &p : plants) {
        SCOPED_TRACE(p.name);
        sql(db, p.statement);
        const std::string bytes = read_file(db);
        const std::size_t turn = planted++ % changes.size();
        for (std::size_t i = 0; i < changes.size(); ++i) {
            if (harness::reduced_run() && i != turn) continue;
            const change &c = changes[i];
            auto r = box.run(c.args, c.input);
            EXPECT_EQ(r.err, refusal(p.reason) + c.after) << c.args[0];
            EXPECT_EQ(r.status, 0);
            EXPECT_TRUE(read_file(db) == bytes) << c.args[0];
        }
        auto imported = box.run_program(import_program, {"in.json"});
        EXPECT_EQ(imported.status, 1);
        EXPECT_EQ(imported.err, refusal(p.reason) + "in.json: nothing was imported.\n");
        auto forgotten = box.run_program(history_program, {"--forget-all"});
        EXPECT_TRUE(read_file(db) == bytes) << "kesp-history --forget-all";
        EXPECT_EQ(sql(db, "select count(*) from entries;"), "3\n");
        // Listing still works: nothing runs while a database is read.
        EXPECT_EQ(box.run({"-l", "3"}).err, "");
        std::remove(db.c_str());
        SetUp();
        if (testing::Test::HasFailure()) break;
    }
}

// The entries table written with other spacing or capitals is kesp's
// table all the same; any other word in it is not.
TEST_F(ForeignSchema, TheEntriesTableIsComparedButForSpacing) {
    struct table_case {
        std::string create;
        bool kesps;
    };
    const std::vector<table_case> cases = {
        {"create table entries(id integer primary key, title text, user text, url text,"
         "password text, notes text,timestamp date default (datetime('now','localtime')));",
         true},
        {"CREATE TABLE entries (\n  id INTEGER PRIMARY KEY,\n  title TEXT, user TEXT, url TEXT, "
         "password TEXT, notes TEXT, timestamp DATE DEFAULT (datetime('now', 'localtime'))\n);",
         true},
        {"create table entries(id integer primary key, title text, user text, url text,"
         "password text, notes text check (length(notes) < 5),"
         "timestamp date default (datetime('now','localtime')));",
         false},
        {"create table entries(password text, notes text, id integer primary key, url text,"
         "user text, title text, timestamp date default (datetime('now','localtime')));",
         false},
    };
    for (const table_case &c : cases) {
        sandbox fresh;
        const std::string path = fresh.path("t.db");
        sql(path, c.create + "insert into entries(title,user,url,password,notes) "
                             "values('a','b','c','d','e');");
        harness::write_file(fresh.pointer_file(), path);
        auto r = fresh.run({"-r", "1"});
        EXPECT_EQ(r.out, c.kesps ? "Entry was deleted from the database.\n" : "") << c.create;
        EXPECT_EQ(r.err, c.kesps ? "" : path + " is not a kesp database: its table entries is "
                                               "not kesp's.\n")
            << c.create;
    }
}

// A restore and a forget are changes too; kesp's own record passes.
TEST_F(ForeignSchema, TheRecordsChangesAreRefusedToo) {
    box.run({"-e", "1"}, "mail2\n\n\n\n");
    ASSERT_EQ(sql(db, "select count(*) from history;"), "1\n");
    sql(db, "create trigger keep after delete on history begin select 1; end;");
    const std::string bytes = read_file(db);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--restore", "1.1"}, {"--forget", "1"}, {"--forget-all"}}) {
        auto r = box.run_program(history_program, args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.err, refusal("its trigger keep is not kesp's")) << args[0];
        EXPECT_TRUE(read_file(db) == bytes) << args[0];
    }
    sql(db, "drop trigger keep;");
    // kesp-sync's table is kesp's own.
    sql(db, "create table lineage(identity blob not null, version integer not null);");
    EXPECT_EQ(box.run_program(history_program, {"--restore", "1.1"}).out, "Entry 1 restored.\n");
}

// kesp-history reads no table of another shape as the record.
TEST_F(ForeignSchema, AHistoryTableOfAnotherShapeIsNotRead) {
    sql(db, "create table history(when_ text, what text); "
            "insert into history values('yesterday', 'something');");
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, {"1"}, {"r1"}}) {
        auto r = box.run_program(history_program, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, refusal("its table history is not kesp's record of earlier versions"));
    }
}

// A record that lost a trigger to another program records again from the
// next change on.
TEST_F(ForeignSchema, AMissingTriggerOfTheRecordIsMadeAgain) {
    box.run({"-e", "1"}, "mail2\n\n\n\n");
    sql(db, "drop trigger history_remove;");
    box.run({"-r", "2"});
    EXPECT_EQ(sql(db, "select entry_id, why from history order by seq;"),
              "1|edit\n2|remove\n");
    EXPECT_EQ(sql(db, "select name from sqlite_schema where type='trigger' order by name;"),
              "history_edit\nhistory_remove\n");
}

// A command that finds nothing to change leaves the file as it was, byte
// for byte: no record is added, nothing is rebuilt.
TEST_F(ForeignSchema, ACommandThatChangesNothingLeavesTheFileAlone) {
    struct nothing {
        const char *name;
        bool with_record;
        std::string program;
        std::vector<std::string> args;
        std::string out;
    };
    const std::vector<nothing> cases = {
        {"-r of no entry", false, "", {"-r", "99"}, "No entry with id 99 was found.\n"},
        {"-r of no entry, the record there", true, "", {"-r", "99"},
         "No entry with id 99 was found.\n"},
        {"a forget of an entry with nothing kept", true, history_program, {"--forget", "3"},
         "0 earlier versions forgotten.\n"},
        {"a forget of no entry", true, history_program, {"--forget", "42"},
         "0 earlier versions forgotten.\n"},
    };
    for (const nothing &c : cases) {
        sandbox fresh;
        const std::string path = fresh.path("v.db");
        harness::make_database(fresh, path, {{"mail", "me", "mail.org", "mail-pw", "first"},
                                              {"bank", "acct", "bank.com", "bank-pw", "second"},
                                              {"shop", "sam", "shop.example", "shop-pw", "third"}});
        if (c.with_record) fresh.run({"-e", "1"}, "mail2\n\n\n\n");
        const std::string bytes = read_file(path);
        auto r = c.program.empty() ? fresh.run(c.args) : fresh.run_program(c.program, c.args);
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_TRUE(read_file(path) == bytes) << c.name;
    }
}

}  // namespace
