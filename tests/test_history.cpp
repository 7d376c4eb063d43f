// The record of earlier versions and kesp-history end to end: each slip
// undone byte for byte, a restore undone, the bound, an id handed out
// again, forgetting that leaves no byte behind, and the listings and the
// schema of a database that was never changed left exactly as they were.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/harness.h"

namespace {

using harness::sandbox;
using harness::sql;

const std::string history_program = harness::built_program("kesp-history");
const std::string import_program = harness::built_program("kesp-import");

const char *const entries_schema =
    "CREATE TABLE entries(id integer primary key, title text, user text, url text,"
    "password text, notes text,timestamp date default (datetime('now','localtime')))\n";

class History : public testing::Test {
protected:
    void SetUp() override {
        harness::make_database(box, db, {{"mail", "me", "mail.org", "mail-pw", "first",
                                          "2001-02-03 04:05:06"},
                                         {"bank", "acct", "bank.com", "bank-pw", "second",
                                          "2002-03-04 05:06:07"}});
    }
    harness::result history(const std::vector<std::string> &args) {
        return box.run_program(history_program, args);
    }
    std::string texts(int id) {
        return sql(db, "select title,user,url,password,notes from entries where id=" +
                           std::to_string(id) + ";");
    }
    std::string schema() { return sql(db, "select sql from sqlite_schema order by name;"); }

    sandbox box;
    std::string db = box.path("v.db");
};

// Each slip, then a restore: the entry holds again, byte for byte, what
// was typed before the slip.
TEST_F(History, EverySlipIsUndoneByARestore) {
    struct slip_case {
        const char *name;
        std::vector<std::string> args;
        std::string input;
        std::string version;  // what to restore
        int id;               // where the entry stands afterwards
        std::string restored; // what kesp-history prints
    };
    const std::vector<slip_case> cases = {
        {"Enter at -e's password", {"-e", "1"}, "\n\n\n\n", "1.1", 1, "Entry 1 restored.\n"},
        {"-e of the wrong field", {"-e", "1"}, "wrong title\n\n\n\n", "1.1", 1,
         "Entry 1 restored.\n"},
        {"-r of the wrong id", {"-r", "1"}, "", "1.1", 1, "Entry 1 restored.\n"},
    };
    for (const slip_case &c : cases) {
        sandbox fresh;
        const std::string path = fresh.path("v.db");
        harness::make_database(fresh, path, {{"mail", "me", "mail.org", "mail-pw", "first"},
                                             {"bank", "acct", "bank.com", "bank-pw", "second"}});
        const std::string before = sql(path, "select title,user,url,password,notes from "
                                             "entries where id=1;");
        fresh.run(c.args, c.input);
        ASSERT_NE(sql(path, "select title,user,url,password,notes from entries where id=1;"),
                  before)
            << c.name;
        auto r = fresh.run_program(history_program, {"--restore", c.version});
        EXPECT_EQ(r.status, 0) << c.name << r.err;
        EXPECT_EQ(r.out, c.restored) << c.name;
        EXPECT_EQ(sql(path, "select title,user,url,password,notes from entries where id=" +
                                std::to_string(c.id) + ";"),
                  before)
            << c.name;
        EXPECT_EQ(sql(path, "select count(*) from entries;"), "2\n") << c.name;
    }
}

// The entries an import brought, removed by mistake, come back under their
// own ids.
TEST_F(History, EntriesOfAnImportRemovedByMistakeComeBack) {
    sandbox other;
    harness::make_database(other, other.path("o.db"),
                           {{"shop", "sam", "shop.example", "s-pw", "n1"},
                            {"forum", "fay", "forum.example", "f-pw", "n2"}});
    auto exported = other.run_program(harness::built_program("kesp-export"), {});
    ASSERT_EQ(exported.status, 0) << exported.err;
    harness::write_file(box.path("in.csv"), exported.out);
    auto imported = box.run_program(import_program, {"in.csv"});
    ASSERT_EQ(imported.status, 0) << imported.err;
    const std::string before = sql(db, "select id,title,user,url,password,notes from entries "
                                       "where id>2 order by id;");
    ASSERT_EQ(before, "3|shop|sam|shop.example|s-pw|n1\n4|forum|fay|forum.example|f-pw|n2\n");
    box.run({"-r", "3", "-r", "4"});
    EXPECT_EQ(history({"--restore", "4.1"}).out, "Entry 4 restored.\n");
    EXPECT_EQ(history({"--restore", "3.1"}).out, "Entry 3 restored.\n");
    EXPECT_EQ(sql(db, "select id,title,user,url,password,notes from entries where id>2 "
                      "order by id;"),
              before);
}

// A merge that kept the other copy's version of an entry: this copy's
// version is in the merged record (the other copy's edit replaced it).
TEST_F(History, AMergeThatKeptTheOtherVersionIsUndone) {
    box.run({"-e", "2"}, "bank typed here\n\n\n\n");  // the record, and this copy's edit
    const std::string typed = texts(2);
    harness::write_file(box.path("base.db"), harness::read_file(db));
    harness::write_file(box.path("theirs.db"), harness::read_file(db));
    sql(box.path("theirs.db"), "update entries set title='bank',password='from-there',"
                               "timestamp='2030-01-01 00:00:00' where id=2;");
    sql(db, "update entries set notes='ours too' where id=1;");
    auto merged = box.run_program(harness::built_program("kesp-merge"),
                                  {"base.db", "v.db", "theirs.db", "-o", "m.db"});
    ASSERT_EQ(merged.status, 0) << merged.err;
    harness::write_file(box.pointer_file(), box.path("m.db"));
    db = box.path("m.db");
    ASSERT_NE(texts(2), typed);
    EXPECT_EQ(history({"--restore", "2.1"}).status, 0);
    EXPECT_EQ(texts(2), typed);
    EXPECT_EQ(sql(db, "select title,why from history where entry_id=2 order by seq;"),
              "bank|edit\nbank typed here|edit\nbank|restore\n");
}

TEST_F(History, ARestoreCanItselfBeUndone) {
    box.run({"-e", "1"}, "second title\n\n\n\n");
    const std::string edited = texts(1);
    ASSERT_EQ(history({"--restore", "1.1"}).status, 0);
    EXPECT_EQ(texts(1), "mail|me|mail.org|mail-pw|first\n");
    auto listed = history({});
    EXPECT_EQ(listed.out.substr(0, 4), "1.1 ");
    EXPECT_NE(listed.out.find("  restore  second title\n"), std::string::npos) << listed.out;
    ASSERT_EQ(history({"--restore", "1.1"}).status, 0);
    EXPECT_EQ(texts(1), edited);
}

// The listing and one entry's versions, line by line; passwords masked
// unless asked for.
TEST_F(History, ShowsTheLatestChangesAndAnEntrysVersions) {
    box.run({"-e", "2"}, "bank2\n\n\n\n");
    box.run({"-r", "1"});
    auto r = history({});
    ASSERT_EQ(r.status, 0) << r.err;
    // Each change's own time, as recorded: the two may fall in different
    // seconds on a slow machine.
    auto replaced = [&](int entry) {
        const std::string when = sql(db, "select replaced from history where entry_id = " +
                                             std::to_string(entry) + ";");
        return when.substr(0, when.size() - 1);
    };
    const std::string w = replaced(1);
    EXPECT_EQ(r.out, "1.1  " + w + "  remove  mail\n2.1  " + replaced(2) + "  edit  bank\n");
    auto shown = history({"1"});
    EXPECT_EQ(shown.out, "1.1  " + w + "  remove\n" +
                             harness::entry_block(1,
                                                  {"mail", "me", "mail.org", "mail-pw", "first"},
                                                  "2001-02-03 04:05:06", false));
    auto clear = history({"--show-passwords", "1"});
    EXPECT_NE(clear.out.find("mail-pw"), std::string::npos);
    auto none = history({"9"});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, "Nothing kept for entry 9.\n");
}

// SQLite hands a removed highest id out again: the new entry starts with
// nothing, and the removed one is shown under a handle of its own.
TEST_F(History, AnIdHandedOutAgainStartsWithNothingKept) {
    box.run({"-e", "2"}, "bank2\n\n\n\n");
    box.run({"-r", "2"});
    box.run({"-a"}, "new\nnu\nnurl\nnn\n");
    ASSERT_EQ(sql(db, "select id,title from entries where id=2;"), "2|new\n");
    EXPECT_EQ(history({"2"}).out, "Nothing kept for entry 2.\n");
    auto listed = history({});
    EXPECT_EQ(listed.out.substr(0, 4), "r1  ");
    EXPECT_NE(listed.out.find("  remove  bank2\n"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("r1.2  "), std::string::npos) << listed.out;
    // The removed entry comes back under a new id, its versions with it.
    EXPECT_EQ(history({"--restore", "r1.2"}).out, "Entry 3 restored.\n");
    EXPECT_EQ(texts(3), "bank|acct|bank.com|bank-pw|second\n");
    EXPECT_EQ(sql(db, "select count(*) from history where entry_id=3 and gone=0;"), "2\n");
    EXPECT_EQ(history({"2"}).out, "Nothing kept for entry 2.\n");
}

// Any program's statement is recorded, and the oldest versions beyond 20
// go first.
TEST_F(History, KeepsTwentyVersionsPerEntry) {
    box.run({"-e", "1"}, "t0\n\n\n\n");  // the record is added by this change
    for (int i = 1; i <= 25; ++i)
        sql(db, "update entries set title='t" + std::to_string(i) + "' where id=1;");
    EXPECT_EQ(sql(db, "select count(*) from history where entry_id=1;"), "20\n");
    EXPECT_EQ(sql(db, "select title from history order by seq limit 1;"), "t5\n");
    EXPECT_EQ(sql(db, "select title from history order by seq desc limit 1;"), "t24\n");
    box.run({"-r", "1"});
    EXPECT_EQ(sql(db, "select count(*) from history where entry_id=1;"), "20\n");
    EXPECT_EQ(sql(db, "select title from history order by seq limit 1;"), "t6\n");
    EXPECT_EQ(history({}).out.substr(0, 4), "1.1 ");
}

TEST_F(History, ForgetLeavesNoByteOfTheForgottenPassword) {
    const std::string secret = "Forgotten-Secret-Zq81";
    box.run({"-e", "1"}, "\n\n\n\n");
    sql(db, "update entries set password='" + secret + "' where id=1;");
    sql(db, "update entries set password='now-current' where id=1;");
    box.run({"-e", "2"}, "bank2\n\n\n\n");
    ASSERT_NE(harness::read_file(db).find(secret), std::string::npos);
    auto r = history({"--forget", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "3 earlier versions forgotten.\n");
    EXPECT_EQ(harness::read_file(db).find(secret), std::string::npos);
    EXPECT_EQ(harness::read_file(db).find("mail-pw"), std::string::npos);
    EXPECT_EQ(history({"1"}).out, "Nothing kept for entry 1.\n");
    EXPECT_EQ(sql(db, "select count(*) from history;"), "1\n");  // entry 2's stays
    EXPECT_EQ(history({"--forget-all"}).out, "1 earlier versions forgotten.\n");
    EXPECT_EQ(harness::read_file(db).find("bank-pw"), std::string::npos);
    EXPECT_EQ(texts(1), "mail|me|mail.org|now-current|first\n");
}

// Where the rebuild after a forget fails, the deleted cells were
// overwritten all the same: no byte of the forgotten versions stays.
TEST_F(History, AForgetWhoseRebuildFailsLeavesNoByteOfWhatItForgot) {
    const std::string secret = "Forgotten-Secret-Vc42";
    box.run({"-e", "1"}, "\n\n\n\n");  // the record, from kesp's first change
    sql(db, "update entries set password='" + secret + "' where id=1;");
    sql(db, "update entries set password='now-current' where id=1;");
    ASSERT_NE(harness::read_file(db).find(secret), std::string::npos);
    box.env["KESP_TEST_FAIL_AT"] = "vacuum";
    auto r = history({"--forget", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: unknown database no_such_schema\n");
    EXPECT_EQ(harness::read_file(db).find(secret), std::string::npos);
    EXPECT_EQ(harness::read_file(db).find("mail-pw"), std::string::npos);
    EXPECT_EQ(history({"1"}).out, "Nothing kept for entry 1.\n");
    EXPECT_EQ(texts(1), "mail|me|mail.org|now-current|first\n");
}

// A database made before the record reads unchanged and gains the record
// with its first change, in that change's transaction.
TEST_F(History, AnOlderDatabaseGainsTheRecordOnItsFirstChange) {
    const std::vector<std::vector<std::string>> listings = {
        {"-A"}, {"-f", "a"}, {"-F", "m.*"}, {"-l", "1"}, {"-t", "1"}, {"--show-passwords", "-A"}};
    std::vector<std::string> before;
    for (const auto &args : listings) before.push_back(box.run(args).out);
    EXPECT_EQ(history({}).out, "");
    EXPECT_EQ(history({"1"}).out, "Nothing kept for entry 1.\n");
    EXPECT_EQ(schema(), entries_schema);

    // A change that fails adds nothing either.
    sql(db, "create trigger refuse before insert on entries begin "
            "select raise(abort, 'refused'); end;");
    box.run({"-a"}, "t\nu\nl\nn\n");
    EXPECT_EQ(sql(db, "select count(*) from sqlite_schema where name like 'history%';"), "0\n");
    sql(db, "drop trigger refuse;");

    box.run({"-c", "1"});
    EXPECT_EQ(sql(db, "select name from sqlite_schema where name like 'history%' order by name;"),
              "history\nhistory_edit\nhistory_owner\nhistory_remove\n");
    box.run({"-r", "3"});
    for (std::size_t i = 0; i < listings.size(); ++i)
        EXPECT_EQ(box.run(listings[i]).out, before[i]) << listings[i][0];
}

// kesp-export leaves the record out unless asked, and only kesp-json
// carries it; kesp-import brings it back under the entries' new ids.
TEST_F(History, ExportWithHistoryAndImportBringItBack) {
    box.run({"-e", "1"}, "mail2\n\n\n\n");
    box.run({"-e", "1"}, "mail3\n\n\n\n");
    const std::string export_program = harness::built_program("kesp-export");
    auto plain = box.run_program(export_program, {"--format", "kesp-json"});
    EXPECT_EQ(plain.out.find("\"history\""), std::string::npos);
    auto refused = box.run_program(export_program, {"--with-history"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "");
    auto full = box.run_program(export_program, {"--format", "kesp-json", "--with-history"});
    ASSERT_EQ(full.status, 0) << full.err;
    EXPECT_NE(full.out.find("\"history\""), std::string::npos);

    sandbox other;
    const std::string path = other.path("o.db");
    harness::make_database(other, path, {{"first", "", "", "p", ""}});
    harness::write_file(other.path("in.json"), full.out);
    auto imported = other.run_program(import_program, {"in.json"});
    ASSERT_EQ(imported.status, 0) << imported.err;
    const char *const versions =
        "select entry_id,title,user,url,password,notes,timestamp,replaced,why from history "
        "order by seq;";
    std::string here = sql(db, versions), there = sql(path, versions);
    ASSERT_EQ(here.substr(0, 2), "1|");
    // Entry 1 here is entry 2 there.
    for (std::size_t at = 0; (at = here.find("1|", at)) != std::string::npos;
         at = here.find('\n', at))
        if (at == 0 || here[at - 1] == '\n') here[at] = '2';
    EXPECT_EQ(there, here);
    auto shown = other.run_program(history_program, {"2"});
    EXPECT_EQ(shown.out.substr(0, 4), "2.1 ");
}

// The removed entries go with --with-history too, and an import brings
// them back as removed entries, listed as they were; again, they are not
// doubled.
TEST_F(History, RemovedEntriesTravelWithTheHistory) {
    box.run({"-a"}, "shop\nsam\nshop.example\nshop notes\n");  // entry 3
    box.run({"-e", "3"}, "shop2\n\n\n\n");
    box.run({"-r", "3"});
    box.run({"-r", "2"});
    box.run({"-a"}, "forum\nfay\nforum.example\nf\n");  // takes id 2 again
    sql(db, "update history set replaced='2024-01-0' || seq || ' 10:00:00';");
    const std::string listed = history({}).out;
    ASSERT_NE(listed.find("r2  "), std::string::npos) << listed;
    auto full = box.run_program(harness::built_program("kesp-export"),
                                {"--format", "kesp-json", "--with-history"});
    ASSERT_EQ(full.status, 0) << full.err;
    EXPECT_NE(full.out.find("\"handle\": \"r1\""), std::string::npos) << full.out;

    sandbox other;
    const std::string path = other.path("o.db");
    harness::make_database(other, path, {});
    harness::write_file(other.path("in.json"), full.out);
    auto imported = other.run_program(import_program, {"in.json"});
    ASSERT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(imported.out, "Imported 2 entries from in.json (kesp-json); 0 duplicates skipped; "
                            "the versions of 2 removed entries brought back.\n");
    EXPECT_EQ(other.run_program(history_program, {}).out, listed);
    // An import of the same file again adds no removal twice, and says none.
    auto again = other.run_program(import_program, {"in.json"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, "Imported 0 entries from in.json (kesp-json); 2 duplicates skipped.\n");
    EXPECT_EQ(sql(path, "select count(*) from history where why='remove';"), "2\n");
    EXPECT_EQ(other.run_program(history_program, {"--restore", "r2.1"}).out,
              "Entry 3 restored.\n");
}

TEST_F(History, AnImportWhoseHistoryIsNoListIsRefused) {
    harness::write_file(box.path("in.json"),
                        "{\"format\": \"kesp\", \"version\": 1, \"entries\": [{\"title\": \"a\", "
                        "\"history\": 5}]}");
    const std::string rows = sql(db, "select * from entries;");
    auto r = box.run_program(import_program, {"in.json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "in.json: entry 1: \"history\" is not an array. Nothing was imported.\n");
    EXPECT_EQ(sql(db, "select * from entries;"), rows);
}

// An import takes a version's times only in kesp's own format: they are
// printed as they are stored.
TEST_F(History, AnImportRefusesAVersionTimeNotWrittenAsKespWritesIt) {
    auto file = [](const std::string &replaced, const std::string &modified) {
        return "{\"format\": \"kesp\", \"version\": 1, \"entries\": [{\"title\": \"a\"}, "
               "{\"title\": \"b\", \"history\": [{\"title\": \"old\", \"modified\": \"" +
               modified + "\", \"replaced\": \"2024-01-01 10:00:00\", \"reason\": \"edit\"}, "
               "{\"title\": \"older\", \"modified\": \"2023-01-01 10:00:00\", "
               "\"replaced\": \"" + replaced + "\", \"reason\": \"edit\"}]}]}";
    };
    const std::string good = "2024-02-01 10:00:00";
    struct time_case {
        std::string replaced, modified;
        std::string err;  // empty: imported
    };
    const std::string bad_replaced =
        "in.json: entry 2: version 2: \"replaced\" is not a time as kesp writes it "
        "(YYYY-MM-DD HH:MM:SS). Nothing was imported.\n";
    const std::vector<time_case> cases = {
        {good, good, ""},
        {good, "", ""},
        {"\\u001b]52;c;aGk=\\u0007", good, bad_replaced},
        {"\\u001b[31m2024-02-01 10:00:00", good, bad_replaced},
        {"", good, bad_replaced},
        {"2024-02-30 10:00:00", good, bad_replaced},
        {"2024-02-01T10:00:00", good, bad_replaced},
        {good, "yesterday\\u001b[2J",
         "in.json: entry 2: version 1: \"modified\" is not a time as kesp writes it "
         "(YYYY-MM-DD HH:MM:SS). Nothing was imported.\n"},
    };
    for (const time_case &c : cases) {
        sandbox fresh;
        const std::string path = fresh.path("v.db");
        harness::make_database(fresh, path, {});
        harness::write_file(fresh.path("in.json"), file(c.replaced, c.modified));
        auto r = fresh.run_program(import_program, {"in.json"});
        EXPECT_EQ(r.err, c.err) << c.replaced << " / " << c.modified;
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
        EXPECT_EQ(sql(path, "select count(*) from entries;"), c.err.empty() ? "2\n" : "0\n");
    }
}

// Whatever another program stored in the record, kesp-history shows it on
// a terminal without a byte of an escape sequence.
TEST_F(History, EveryStoredTextReachesTheTerminalEscaped) {
    box.run({"-e", "1"}, "mail2\n\n\n\n");
    sql(db, "update history set replaced='\x1b]52;c;aGk=\x07', why='\x1b[31medit', "
            "title='t\x1b[2J', timestamp='\x9b" "31m' where entry_id=1;");
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, {"1"}, {"--show-passwords", "1"}}) {
        // Standard output on the terminal, as a person runs it.
        std::vector<std::string> command = {"-c", "exec \"$0\" \"$@\" >/dev/tty",
                                            history_program};
        command.insert(command.end(), args.begin(), args.end());
        harness::pty_session s(box, command, "/bin/sh");
        auto r = s.finish();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.terminal.find("\\x1b]52;c;aGk=\\x07  \\x1b[31medit"), std::string::npos)
            << r.terminal;
        // (kesp's own colour codes aside)
        for (const char *planted : {"\x1b]", "\x07", "\x1b[31m", "\x1b[2J", "\x9b"})
            EXPECT_EQ(r.terminal.find(planted), std::string::npos) << r.terminal;
    }
}

// A forget travels: the next merge with a copy that still holds the
// versions keeps them forgotten, here and in the merged file.
TEST_F(History, AForgottenVersionStaysForgottenThroughAMerge) {
    const std::string pin = "Forgotten-Pin-4471";
    box.run({"-e", "1"}, "\n\n\n\n");
    sql(db, "update entries set password='" + pin + "' where id=1;");
    sql(db, "update entries set password='now' where id=1;");
    box.run({"-e", "2"}, "bank2\n\n\n\n");
    harness::write_file(box.path("base.db"), harness::read_file(db));
    harness::write_file(box.path("theirs.db"), harness::read_file(db));
    sql(box.path("theirs.db"), "update entries set notes='theirs', "
                               "timestamp='2030-01-01 00:00:00' where id=2;");
    ASSERT_EQ(history({"--forget", "1"}).out, "3 earlier versions forgotten.\n");
    auto merged = box.run_program(harness::built_program("kesp-merge"),
                                  {"base.db", "v.db", "theirs.db"});
    ASSERT_EQ(merged.status, 0) << merged.err;
    EXPECT_EQ(sql(db, "select title, notes from entries where id=2;"), "bank2|theirs\n");
    EXPECT_EQ(history({"1"}).out, "Nothing kept for entry 1.\n");
    EXPECT_EQ(harness::read_file(db).find(pin), std::string::npos);
    // The other copy's own versions stay: its edit of entry 2 replaced one.
    EXPECT_EQ(sql(db, "select count(*) from history where entry_id=2;"), "2\n");
}

TEST(HistoryInit, ANewDatabaseHoldsTheEntriesTableAlone) {
    sandbox box;
    box.run({"-i", box.path("new.db")});
    EXPECT_EQ(sql(box.path("new.db"), "select sql from sqlite_schema;"), entries_schema);
}

TEST_F(History, RefusesWhatIsNotThereAndBadUsage) {
    box.run({"-e", "1"}, "x\n\n\n\n");
    const std::string rows = sql(db, "select * from entries order by id;");
    struct refusal {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const std::vector<refusal> cases = {
        {{"--restore", "1.2"}, 1, "No version 1.2 is kept.\n"},
        {{"--restore", "2.1"}, 1, "No version 2.1 is kept.\n"},
        {{"--restore", "r7.1"}, 1, "No version r7.1 is kept.\n"},
        {{"--restore", "1"}, 2, ""},
        {{"--restore", "1.0"}, 2, ""},
        {{"--restore", "x.1"}, 2, ""},
        {{"--forget", "1.1"}, 2, ""},
        {{"--forget-all", "1"}, 2, ""},
        {{"1", "2"}, 2, ""},
        {{"--restore", "1.1", "--forget-all"}, 2, ""},
    };
    for (const refusal &c : cases) {
        auto r = history(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        if (c.status == 1) {
            EXPECT_EQ(r.err, c.err);
        } else {
            EXPECT_EQ(r.err.rfind("Usage: kesp-history ", 0), 0u) << r.err;
        }
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(sql(db, "select * from entries order by id;"), rows);
}

TEST(HistoryNoDatabase, SaysSoAndFails) {
    sandbox box;
    auto r = box.run_program(history_program, {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No decrypted database found.\n");
}

// The check of an entry operation covers the entries: a damaged record
// does not stop kesp, and kesp-history, which reads it, refuses it.
TEST_F(History, TheRecordIsCheckedWhereItIsRead) {
    box.run({"-e", "1"}, "x\n\n\n\n");
    const std::string listing = box.run({"-A"}).out;
    // An index that no longer matches its table is what the check finds.
    sql(db, "pragma writable_schema=on; update sqlite_schema set sql="
            "'CREATE INDEX history_owner ON history(gone, entry_id, seq, why)' "
            "where name='history_owner';");
    EXPECT_EQ(box.run({"-A"}).out, listing);
    auto r = history({});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Corrupted database. Abort.\n"), std::string::npos) << r.err;
}

}  // namespace
