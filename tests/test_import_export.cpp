// kesp-import and kesp-export end to end: the built programs on a database
// of their own, standard output and standard error compared byte for byte.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "harness/harness.h"

namespace {

using harness::row;
using harness::sandbox;

const std::string import_program = harness::built_program("kesp-import");
const std::string export_program = harness::built_program("kesp-export");
const std::string warning = "WARNING: The export holds every password in clear text.\n";

const std::string chrome_csv =
    "name,url,username,password,note\r\n"
    "Mail,https://mail.example,bob,\"p,w\"\"1\",\"two\nlines\"\r\n"
    "Bank,https://bank.example,bob,b4nk,\r\n";

class ImportExport : public ::testing::Test {
protected:
    void SetUp() override {
        box.env["TZ"] = "UTC";
        db = box.path("db.sqlite");
    }
    // The rows as title|user|url|password|notes|timestamp, in id order.
    std::string rows() const {
        return harness::sql(db, "select title,user,url,password,notes,timestamp from entries order by id;");
    }
    harness::result import(const std::vector<std::string> &args, const std::string &input = "") const {
        return box.run_program(import_program, args, input);
    }
    harness::result export_(const std::vector<std::string> &args) const {
        return box.run_program(export_program, args);
    }
    sandbox box;
    std::string db;
};

TEST_F(ImportExport, ImportingTwiceAddsNothingTheSecondTime) {
    harness::make_database(box, db, {row("Bank", "bob", "https://bank.example", "b4nk", "", "2020-01-01 00:00:00")});
    harness::write_file(box.path("logins.csv"), chrome_csv);

    auto first = import({"logins.csv"});
    EXPECT_EQ(first.out, "Imported 1 entry from logins.csv (chrome-csv); 1 duplicate skipped.\n");
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(first.status, 0);
    std::string after = rows();
    EXPECT_NE(after.find("Mail|bob|https://mail.example|p,w\"1|two\nlines|"), std::string::npos) << after;

    auto second = import({"logins.csv"});
    EXPECT_EQ(second.out, "Imported 0 entries from logins.csv (chrome-csv); 2 duplicates skipped.\n");
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(rows(), after);
}

// After edits in kesp, the same export imported again brings back no old
// version: a record that stands for an entry (the same site and user name,
// a trailing slash or the case of the host aside) and differs from it is
// counted and left out.
TEST_F(ImportExport, ImportingAgainAfterEditsAddsNoStaleCopies) {
    harness::make_database(box, db, {});
    const std::string first =
        "name,url,username,password,note\r\n"
        "Mail,https://mail.example,bob,m1,\r\n"
        "Bank,https://bank.example/,bob,b4nk,\r\n"
        "Forum,https://forum.example,fay,f1,\r\n";
    harness::write_file(box.path("logins.csv"), first);
    ASSERT_EQ(import({"logins.csv"}).status, 0);
    const auto edit = [&](const std::vector<std::string> &args) {
        return box.run_program(harness::built_program("kesp-edit"), args);
    };
    ASSERT_EQ(edit({"1", "--add-note", "PIN 1234"}).status, 0);
    ASSERT_EQ(edit({"2", "--url", "https://bank.example/login"}).status, 0);
    const std::string edited = rows();
    // The browser's later export: the same logins, Bank's URL without its slash.
    harness::write_file(box.path("logins.csv"),
                        "name,url,username,password,note\r\n"
                        "Mail,https://mail.example,bob,m1,\r\n"
                        "Bank,HTTPS://Bank.Example,bob,b4nk,\r\n"
                        "Forum,https://forum.example,fay,f1,\r\n");
    auto again = import({"logins.csv"});
    EXPECT_EQ(again.out, "Imported 0 entries from logins.csv (chrome-csv); 1 duplicate skipped; "
                         "2 entries differ from yours; kept yours.\n");
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(rows(), edited);
    // --update cannot tell a Chrome record newer: it has no time.
    auto update = import({"--update", "logins.csv"});
    EXPECT_EQ(update.out, "Imported 0 entries from logins.csv (chrome-csv); 1 duplicate skipped; "
                          "2 entries differ from yours; kept yours.\n"
                          "Not updated: 2 entries without a time in the file, so none is known "
                          "to be newer.\n");
    EXPECT_EQ(rows(), edited);
}

// --update takes the file's version where the file says it is newer, the
// newest of several records of one entry, and records the version it
// replaced; kesp-history --undo-import gives it back.
TEST_F(ImportExport, UpdateTakesTheNewerVersionAndAnUndoGivesYoursBack) {
    harness::make_database(box, db, {row("Mail", "bob", "https://mail.example", "old", "", "2024-06-01 00:00:00"),
                                     row("Bank", "bob", "https://bank.example", "b1", "", "2024-06-01 00:00:00")});
    harness::write_file(box.path("in.csv"),
                        "\"title\",\"username\",\"url\",\"password\",\"notes\",\"modified\"\r\n"
                        "\"Mail\",\"bob\",\"https://mail.example/\",\"newer\",\"\",\"2024-07-01 00:00:00\"\r\n"
                        "\"Mail\",\"bob\",\"https://mail.example\",\"newest\",\"\",\"2024-08-01 00:00:00\"\r\n"
                        "\"Bank\",\"bob\",\"https://bank.example\",\"b0\",\"\",\"2024-05-01 00:00:00\"\r\n");
    const std::string before = rows();
    auto dry = import({"--update", "--dry-run", "in.csv"});
    EXPECT_EQ(dry.out, "Would import 0 entries from in.csv (kesp-csv); 0 duplicates skipped; "
                       "1 entry would be updated; 2 entries differ from yours; would keep yours.\n");
    EXPECT_EQ(rows(), before);
    auto r = import({"--update", "in.csv"});
    EXPECT_EQ(r.out, "Imported 0 entries from in.csv (kesp-csv); 0 duplicates skipped; "
                     "1 entry updated; 2 entries differ from yours; kept yours.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(rows(), "Mail|bob|https://mail.example|newest||2024-08-01 00:00:00\n"
                      "Bank|bob|https://bank.example|b1||2024-06-01 00:00:00\n");
    EXPECT_EQ(harness::sql(db, "select entry_id,password,timestamp,why from history;"),
              "1|old|2024-06-01 00:00:00|import\n");
    const std::string history = harness::built_program("kesp-history");
    auto undo = box.run_program(history, {"--undo-import"});
    EXPECT_EQ(undo.out, "Import undone: 0 entries removed, 1 given back the version it replaced.\n");
    EXPECT_EQ(undo.status, 0);
    EXPECT_EQ(rows(), before);
}

// An undo takes back exactly what the latest import added: not an entry
// typed since, not one edited since, nothing of an earlier import.
TEST_F(ImportExport, AnUndoRemovesTheImportsAdditionsAndNothingTypedSince) {
    harness::make_database(box, db, {row("Mine", "me", "", "x", "", "2024-01-01 00:00:00")});
    harness::write_file(box.path("a.csv"), "name,url,username,password,note\r\n"
                                           "Early,https://early.example,e,e1,\r\n");
    harness::write_file(box.path("b.csv"), chrome_csv + "Shop,https://shop.example,sam,s1,\r\n");
    ASSERT_EQ(import({"a.csv"}).status, 0);
    ASSERT_EQ(import({"b.csv"}).status, 0);  // entries 3 (Mail), 4 (Bank), 5 (Shop)
    ASSERT_EQ(box.run_program(harness::built_program("kesp-edit"), {"4", "--add-note", "mine now"}).status, 0);
    ASSERT_EQ(box.run({"-r", "5"}).status, 0);
    box.run({"-a"}, "Typed\nty\n\nnotes\nsecret\n");  // takes id 5 again
    const std::string history = harness::built_program("kesp-history");
    auto undo = box.run_program(history, {"--undo-import"});
    EXPECT_EQ(undo.out, "Import undone: 1 entry removed, 0 given back the version it replaced.\n");
    EXPECT_EQ(undo.err, "");
    EXPECT_EQ(harness::sql(db, "select id,title from entries order by id;"),
              "1|Mine\n2|Early\n4|Bank\n5|Typed\n");
    // The removal is recorded, so the undo can itself be undone.
    EXPECT_NE(box.run_program(history, {}).out.find("remove  Mail"), std::string::npos);
    // The earlier import next, then nothing.
    EXPECT_EQ(box.run_program(history, {"--undo-import"}).out,
              "Import undone: 1 entry removed, 0 given back the version it replaced.\n");
    EXPECT_EQ(harness::sql(db, "select id,title from entries order by id;"), "1|Mine\n4|Bank\n5|Typed\n");
    auto none = box.run_program(history, {"--undo-import"});
    EXPECT_EQ(none.out, "No import to undo: nothing an import added or replaced stands as it left it.\n");
    EXPECT_EQ(none.status, 0);
}

// A card's number and security code reach no listing that masks
// passwords: they are the imported entry's password.
TEST_F(ImportExport, ACardsNumberIsMaskedInListings) {
    harness::make_database(box, db, {});
    harness::write_file(box.path("bw.json"),
                        R"({"items": [{"type": 3, "name": "Visa", "card": {"brand": "Visa",)"
                        R"( "number": "4111111111111111", "code": "9876", "expYear": "2030"}}]})");
    ASSERT_EQ(import({"bw.json"}).status, 0);
    const std::vector<std::string> listings[] = {{"-A"}, {"-f", "Visa"}};
    for (const auto &listing : listings) {
        auto r = box.run(listing);
        EXPECT_NE(r.out.find("Password: **********\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("4111"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("9876"), std::string::npos) << r.out;
    }
    auto r = box.run({"--show-passwords", "-l", "1"});
    EXPECT_NE(r.out.find("Password: 4111111111111111 / 9876\n"), std::string::npos) << r.out;
}

// A hidden field of Bitwarden is masked in every listing that masks the
// password, and shown where the password is.
TEST_F(ImportExport, AHiddenFieldIsMaskedInListings) {
    harness::make_database(box, db, {});
    harness::write_file(box.path("bw.json"),
                        R"({"items": [{"type": 1, "name": "Router", "login": {"password": "pw"},)"
                        R"( "fields": [{"name": "PIN", "value": "8642", "type": 1},)"
                        R"( {"name": "Seat", "value": "12A", "type": 0}],)"
                        R"( "revisionDate": "2024-03-01T10:20:30Z"}]})");
    const row imported("Router", "", "", "pw", "PIN (hidden): 8642\nSeat: 12A");
    const std::string masked = harness::entry_block(
        1, row("Router", "", "", "pw", "PIN (hidden): **********\nSeat: 12A"), "2024-03-01 10:20:30",
        false);
    auto dry = import({"--dry-run", "bw.json"});
    EXPECT_EQ(dry.out, masked + "Would import 1 entry from bw.json (bitwarden-json); 0 duplicates skipped.\n");
    ASSERT_EQ(import({"bw.json"}).status, 0);
    EXPECT_EQ(rows(), "Router|||pw|PIN (hidden): 8642\nSeat: 12A|2024-03-01 10:20:30\n");
    const std::vector<std::string> listings[] = {{"-A"}, {"-l", "1"}, {"-f", "Router"}, {"-t"}};
    for (const auto &listing : listings) EXPECT_EQ(box.run(listing).out, masked) << listing[0];
    auto shown = box.run({"--show-passwords", "-l", "1"});
    EXPECT_EQ(shown.out, harness::entry_block(1, imported, "2024-03-01 10:20:30", true));
}

TEST_F(ImportExport, DryRunShowsTheEntriesMaskedAndChangesNothing) {
    harness::make_database(box, db, {row("Old", "", "", "x", "", "2020-01-01 00:00:00")});
    const std::string bitwarden =
        R"({"encrypted":false,"folders":[],"items":[)"
        R"({"type":1,"name":"Site","notes":null,"login":{"username":"u","password":"secret","uris":[]},)"
        R"("revisionDate":"2024-03-01T10:20:30Z"},{"type":5,"name":"Key"}]})";
    auto r = import({"--dry-run", "-"}, bitwarden);
    EXPECT_EQ(r.out, harness::entry_block(2, row("Site", "u", "", "secret", ""), "2024-03-01 10:20:30", false) +
                         "Would import 1 entry from standard input (bitwarden-json); 0 duplicates skipped.\n"
                         "Not imported: 1 Bitwarden SSH keys.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(rows(), "Old|||x||2020-01-01 00:00:00\n");
}

TEST_F(ImportExport, ADamagedFileChangesNothing) {
    harness::make_database(box, db, {});
    harness::write_file(box.path("bad.csv"), chrome_csv + "Extra,https://x.example,u,p,n,surplus\r\n");
    auto r = import({"bad.csv"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "bad.csv: line 5: a row of 6 fields where the header has 5. Nothing was imported.\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(rows(), "");
}

TEST_F(ImportExport, AnUnknownFormatIsRefusedWithTheFormatNames) {
    harness::make_database(box, db, {});
    harness::write_file(box.path("x.csv"), "a,b\n1,2\n");
    auto r = import({"x.csv"});
    EXPECT_EQ(r.err,
              "x.csv: the format is not recognised; the formats are keepassxc-csv, keepass-xml, "
              "bitwarden-json, bitwarden-csv, chrome-csv, firefox-csv, lastpass-csv, 1password-csv, "
              "kesp-csv, kesp-json. Nothing was imported.\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(ImportExport, LongFieldsAreStoredWhole) {
    harness::make_database(box, db, {});
    const std::string long_password(5000, 'p');
    auto r = import({"--format", "chrome-csv", "-"}, "name,url,username,password\nLong,,," + long_password + "\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(harness::sql(db, "select length(password) from entries;"), "5000\n");
}

struct hostile_file {
    const char *name;
    std::string file;     // the argument; written with `content` unless that is empty
    std::string content;
    std::string error;    // after "FILE: ", before ". Nothing was imported.\n"
};

// Each refusal ends in exit 1 with the database as it was; none is a crash,
// a silent cut, or a wait until memory runs out.
TEST_F(ImportExport, HostileFilesAreRefusedAndChangeNothing) {
    harness::make_database(box, db, {row("Old", "", "", "x", "", "2020-01-01 00:00:00")});
    const std::string before = rows();
    std::string groups;
    for (int i = 0; i < 50000; ++i) groups += "<Group><Name>g</Name>";
    for (int i = 0; i < 50000; ++i) groups += "</Group>";
    const hostile_file table[] = {
        {"JSON nested 100 000 levels", "deep.json",
         "{\"items\":" + std::string(100000, '[') + std::string(100000, ']') + "}",
         "line 1, column 265: nested more than 256 levels deep"},
        {"KeePass XML with 50 000 nested groups", "deep.xml",
         "<KeePassFile><Root><Group>\n" + groups + "</Group></Root></KeePassFile>",
         "line 2: nested more than 256 levels deep"},
        {"a password cut by an escaped NUL", "nul.json",
         R"({"encrypted":false,"items":[{"type":1,"login":{"password":"abc\u0000def"}}]})",
         "line 1, column 63: a NUL character (\\u0000) in a string"},
        {"a password cut by a NUL reference", "nul.xml",
         "<KeePassFile><Root><Group><Entry><String><Key>Password</Key>\n<Value>abc&#0;def</Value>"
         "</String></Entry></Group></Root></KeePassFile>",
         "line 2: a NUL character (&#0;)"},
        {"an endless file", "/dev/zero", "", "is larger than 128 MiB; no export is that large"},
    };
    for (const auto &h : table) {
        SCOPED_TRACE(h.name);
        if (!h.content.empty()) harness::write_file(box.path(h.file), h.content);
        auto r = import({h.file});
        const char *separator = h.file == "/dev/zero" ? " " : ": ";
        EXPECT_EQ(r.err, h.file + separator + h.error + ". Nothing was imported.\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(rows(), before);
    }
}

// A full disk at every point of the import: SQLite may have rolled back by
// itself, and then only its first error is reported.
TEST_F(ImportExport, AFullDiskChangesNothingAndSaysSoOnce) {
    harness::make_database(box, db, {row("Old", "", "", "x", "", "2020-01-01 00:00:00")});
    const std::string before = rows();
    std::string csv = "name,url,username,password\n";
    for (int i = 0; i < 100; ++i) csv += "t" + std::to_string(i) + ",u,v," + std::string(300, 'p') + "\n";
    harness::write_file(box.path("many.csv"), csv);
    int failed = 0;
    for (int blocks = 16;; blocks += 4) {  // of 512 bytes
        SCOPED_TRACE(blocks);
        auto r = box.run_program("/bin/sh", {"-c", "trap '' XFSZ; ulimit -f " + std::to_string(blocks) +
                                                   "; exec \"$0\" many.csv", import_program});
        if (r.status == 0) break;
        ++failed;
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find("cannot rollback"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
        EXPECT_TRUE(r.err.ends_with("\nmany.csv: nothing was imported.\n")) << r.err;
        ASSERT_EQ(rows(), before);
        ASSERT_LT(blocks, 1000) << "the import never succeeds";
    }
    EXPECT_GT(failed, 5);
    EXPECT_EQ(harness::sql(db, "select count(*) from entries;"), "101\n");
}

// kesp-import asks nothing: what changed happened while it read the file.
TEST_F(ImportExport, ADatabaseChangedWhileTheFileWasReadIsLeftAlone) {
    const struct {
        const char *name;
        std::string (*change)(const sandbox &box, const std::string &db);
        const char *what;  // after the database's path
    } cases[] = {
        {"closed", [](const sandbox &b, const std::string &) { return std::to_string(std::remove(b.pointer_file().c_str())); },
         " was encrypted or closed while the file was read; nothing was changed.\n"},
        {"replaced",
         [](const sandbox &, const std::string &d) { return std::to_string(std::rename((d + ".copy").c_str(), d.c_str())); },
         " was replaced or removed while the file was read; nothing was changed.\n"},
    };
    harness::write_file(box.path("logins.csv"), chrome_csv);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        harness::make_database(box, db, {});
        harness::run_shell("cp '" + db + "' '" + db + ".copy'");
        box.env["KESP_TEST_STOP_AT"] = "before-lock";
        harness::pty_session s(box, {"logins.csv"}, import_program);
        ASSERT_TRUE(s.wait_stopped());
        EXPECT_EQ(c.change(box, db), "0");
        s.resume();
        auto r = s.finish();
        EXPECT_EQ(r.err, db + c.what);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(rows(), "");
        std::remove(db.c_str());
    }
}

TEST_F(ImportExport, ExportToAClosedPipeFailsWithAMessage) {
    harness::make_database(box, db, {row("A", "u", "", "p", "")});
    // A pipe whose reader is gone before the export starts, and SIGPIPE at
    // its default, as a shell leaves it.
    auto r = box.run_program("/bin/sh", {"-c", "mkfifo f && exec 3<>f 4>f 3<&- && "
                                               "exec env --default-signal=PIPE \"$0\" >&4 4>&-",
                                         export_program});
    EXPECT_EQ(r.err, warning + "Cannot write the export: Broken pipe\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(ImportExport, AnExportRedirectedToAFileMakesItPrivate) {
    harness::make_database(box, db, {row("A", "u", "", "p", "", "2024-03-01 10:20:30")});
    const std::string expected = "\"title\",\"username\",\"url\",\"password\",\"notes\",\"modified\"\r\n"
                                 "\"A\",\"u\",\"\",\"p\",\"\",\"2024-03-01 10:20:30\"\r\n";
    const struct {
        const char *redirect;
        int mode_before;  // -1: the shell makes the file
        int mode_after;
    } cases[] = {{">", -1, 0600}, {">>", 0666, 0600}, {">", 0750, 0700}, {">>", 0400, 0400}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.redirect) + " " + std::to_string(c.mode_before));
        const std::string out = box.path("out.csv");
        std::remove(out.c_str());
        if (c.mode_before >= 0) {
            harness::write_file(out, "");
            ::chmod(out.c_str(), static_cast<mode_t>(c.mode_before));
        }
        // Root may write to a file of mode 0400.
        auto r = box.run_program("/bin/sh", {"-c", std::string("umask 022; exec \"$0\" ") + c.redirect + " out.csv",
                                             export_program});
        EXPECT_EQ(r.err, warning);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(harness::file_mode(out), c.mode_after);
        EXPECT_EQ(harness::read_file(out), expected);
    }
}

TEST_F(ImportExport, AnExportToAFileThatCannotBeMadePrivateWritesNothing) {
    if (!box.run_unprivileged()) GTEST_SKIP() << "cannot run as an unprivileged user";
    harness::make_database(box, db, {row("A", "u", "", "p", "")});
    // Open to all, owned by another user: writable, but not ours to change.
    const std::string out = box.path("theirs.csv");
    harness::write_file(out, "");
    ::chmod(out.c_str(), 0666);
    if (::geteuid() != 0 && ::chown(out.c_str(), 0, 0) != 0) GTEST_SKIP() << "no file of another user";
    auto r = box.run_program("/bin/sh", {"-c", "exec \"$0\" >> theirs.csv", export_program});
    EXPECT_EQ(r.err, "Cannot make the file on standard output private: Operation not permitted. Nothing "
                     "was exported.\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(harness::read_file(out), "");
    EXPECT_EQ(harness::file_mode(out), 0666);
}

// A process that has ended, so that its id names no live process.
pid_t ended_process() {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    int status;
    ::waitpid(pid, &status, 0);
    return pid;
}

// Without O_TMPFILE the export is written under out.json.new.PID, which a
// SIGKILL leaves behind; the next export to out.json removes it, and
// nothing else: not a name of another pattern, not a file of a live
// process, not a link (nor what it leads to).
TEST_F(ImportExport, TheNextExportRemovesWhatAKilledOneLeft) {
    harness::make_database(box, db, {row("A", "u", "", "p", "")});
    box.env["KESP_TEST_NAMED_TEMP"] = "1";
    box.env["KESP_TEST_STOP_AT"] = "replacement-written";
    int killed;
    {
        harness::pty_session s(box, {"-o", "out.json"}, export_program);
        ASSERT_TRUE(s.wait_stopped());
        killed = s.pid();
        s.signal(SIGKILL);
        s.finish();
    }
    const std::string left = "out.json.new." + std::to_string(killed);
    ASSERT_TRUE(harness::exists(box.path(left)));
    box.env.erase("KESP_TEST_STOP_AT");

    const std::string dead = std::to_string(ended_process());
    const std::string live = std::to_string(::getpid());
    harness::write_file(box.path("victim"), "victim");
    const std::vector<std::string> kept = {
        "out.json.new." + live, "out.json.new.0" + dead, "out.json.new." + dead + "x",
        "out.json.new.-" + dead, "other.json.new." + dead, "out.jsonnew." + dead};
    for (const auto &name : kept) harness::write_file(box.path(name), "kept");
    ASSERT_EQ(::symlink("victim", box.path("out.json.new." + dead).c_str()), 0);

    auto r = export_({"-o", "out.json"});
    EXPECT_EQ(r.err, warning + "Removed " + left + ", left behind by a process that was killed while "
                               "writing it.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(harness::exists(box.path(left)));
    for (const auto &name : kept) EXPECT_EQ(harness::read_file(box.path(name)), "kept") << name;
    EXPECT_EQ(harness::read_file(box.path("out.json.new." + dead)), "victim");
    EXPECT_EQ(harness::read_file(box.path("victim")), "victim");
}

struct bad_usage {
    const char *program;
    std::vector<std::string> args;
    std::string err;
};

TEST_F(ImportExport, BadUsageExitsWithTwo) {
    const std::string import_usage = "Usage: kesp-import [--format NAME] [--dry-run] [--update] FILE\n";
    const std::string export_usage = "Usage: kesp-export [--format NAME] [-o FILE] [--with-history]\n";
    const bad_usage table[] = {
        {"kesp-import", {}, import_usage},
        {"kesp-import", {"a", "b"}, import_usage},
        {"kesp-import", {"--bogus", "a"},
         harness::built_program("kesp-import") + ": unrecognized option '--bogus'\n" + import_usage},
        {"kesp-import", {"--format"},
         harness::built_program("kesp-import") + ": option '--format' requires an argument\n" +
             import_usage},
        {"kesp-import", {"--format", "csv", "a"},
         "Unknown format csv; the formats are keepassxc-csv, keepass-xml, bitwarden-json, bitwarden-csv, "
         "chrome-csv, firefox-csv, lastpass-csv, 1password-csv, kesp-csv, kesp-json.\n"},
        {"kesp-export", {"extra"}, export_usage},
        {"kesp-export", {"-o"},
         harness::built_program("kesp-export") + ": option requires an argument -- 'o'\n" +
             export_usage},
        {"kesp-export", {"--format", "chrome-csv"},
         "Unknown export format chrome-csv; the export formats are kesp-csv, kesp-json, bitwarden-json, "
         "keepass-xml.\n"},
    };
    for (const auto &u : table) {
        auto r = box.run_program(harness::built_program(u.program), u.args);
        EXPECT_EQ(r.status, 2) << u.program << " " << testing::PrintToString(u.args);
        EXPECT_EQ(r.err, u.err) << u.program << " " << testing::PrintToString(u.args);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(ImportExport, WithoutAnActiveDatabaseBothSaySoAndFail) {
    harness::write_file(box.path("logins.csv"), chrome_csv);
    for (const auto &[program, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {import_program, {"logins.csv"}}, {export_program, {}}}) {
        auto r = box.run_program(program, args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "No decrypted database found.\n") << program;
        EXPECT_EQ(r.status, 1) << program;
    }
}

TEST_F(ImportExport, ExportWritesKespCsvToAPipe) {
    harness::make_database(box, db, {row("A", "u", "https://a.example", "p\"w", "n1\nn2", "2024-03-01 10:20:30"),
                                     row("B", "", "", "", "", "2024-03-02 00:00:00")});
    auto r = export_({});
    EXPECT_EQ(r.out,
              "\"title\",\"username\",\"url\",\"password\",\"notes\",\"modified\"\r\n"
              "\"A\",\"u\",\"https://a.example\",\"p\"\"w\",\"n1\nn2\",\"2024-03-01 10:20:30\"\r\n"
              "\"B\",\"\",\"\",\"\",\"\",\"2024-03-02 00:00:00\"\r\n");
    EXPECT_EQ(r.err, warning);
    EXPECT_EQ(r.status, 0);
}

TEST_F(ImportExport, ExportToAFileMakesItPrivateAndNeverOverwrites) {
    harness::make_database(box, db, {row("A", "u", "", "p", "", "2024-03-01 10:20:30")});
    auto r = export_({"--format", "kesp-json", "-o", "out.json"});
    EXPECT_EQ(r.out, "Exported 1 entry to out.json (kesp-json).\n");
    EXPECT_EQ(r.err, warning);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(harness::file_mode(box.path("out.json")), 0600);
    const std::string written = harness::read_file(box.path("out.json"));
    EXPECT_NE(written.find("\"password\": \"p\""), std::string::npos);

    auto again = export_({"-o", "out.json"});
    EXPECT_EQ(again.err, warning + "out.json already exists; an export never overwrites a file.\n");
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(harness::read_file(box.path("out.json")), written);

    // A link is not followed, even to a file that is not there yet.
    ASSERT_EQ(::symlink(box.path("target").c_str(), box.path("link").c_str()), 0);
    auto link = export_({"-o", "link"});
    EXPECT_EQ(link.status, 1);
    EXPECT_FALSE(harness::exists(box.path("target")));
}

// The export file gets its name only once it is complete: a kill while it
// is written leaves nothing under that name (nor, where the file has no
// name while written or the signal can be caught, anywhere else).
TEST_F(ImportExport, AKilledExportLeavesNoFile) {
    harness::make_database(box, db, {row("A", "u", "", "p", "")});
    const struct {
        const char *name;
        bool named_temp;
        int signo;
        bool leaves_temp;  // a named file and SIGKILL, which cannot be caught
    } cases[] = {
        {"unnamed, SIGKILL", false, SIGKILL, false},
        {"named, SIGTERM", true, SIGTERM, false},
        {"named, SIGKILL", true, SIGKILL, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        box.env["KESP_TEST_STOP_AT"] = "replacement-written";
        if (c.named_temp) box.env["KESP_TEST_NAMED_TEMP"] = "1";
        else box.env.erase("KESP_TEST_NAMED_TEMP");
        harness::pty_session s(box, {"-o", "out.json"}, export_program);
        ASSERT_TRUE(s.wait_stopped());
        EXPECT_FALSE(harness::exists(box.path("out.json")));
        s.signal(c.signo);
        s.resume();
        s.finish();
        EXPECT_FALSE(harness::exists(box.path("out.json")));
        std::string left = harness::run_shell("ls -A '" + box.work() + "' | grep -v '^db.sqlite$'").output;
        EXPECT_EQ(left.empty(), !c.leaves_temp) << left;
        harness::run_shell("rm -f '" + box.work() + "'/out.json.new.*");
    }
}

TEST_F(ImportExport, ExportRefusesATerminal) {
    harness::make_database(box, db, {row("A", "u", "", "p", "")});
    // A pseudo-terminal's master side is a terminal to isatty().
    auto r = box.run_program("/bin/sh", {"-c", "exec \"$0\" >/dev/ptmx", export_program});
    EXPECT_EQ(r.err, "Refusing to write every password to a terminal; redirect the output or use -o FILE.\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(ImportExport, EveryExportFormatRoundTripsThroughAFreshDatabase) {
    const std::vector<row> source = {
        row("comma, \"quote\"", "user,name", "https://a.example/?q=1&r=<2>", "p\"w,d'", "one\ntwo\r\nthree",
            "2024-03-01 10:20:30"),
        row("", "", "", "", "", "2023-12-31 23:59:59"),
        row("Ünïcödé ✓ 密码", "ユーザー", "https://例え.jp", "пароль🔑", "émoji 🎉", "2000-02-29 00:00:00"),
        row(std::string(1023, 't'), std::string(1023, 'u'), std::string(1023, 'l'), std::string(1023, 'p'),
            std::string(1023, 'n'), "1999-01-01 01:01:01"),
    };
    harness::make_database(box, db, source);
    const std::string expected = rows();
    for (const char *format : {"kesp-csv", "kesp-json", "bitwarden-json", "keepass-xml"}) {
        SCOPED_TRACE(format);
        const std::string file = std::string("export.") + format;
        auto out = export_({"--format", format, "-o", file});
        ASSERT_EQ(out.status, 0) << out.err;

        sandbox fresh;
        fresh.env["TZ"] = "UTC";
        const std::string fresh_db = fresh.path("db.sqlite");
        harness::make_database(fresh, fresh_db, {});
        auto in = fresh.run_program(import_program, {box.path(file)});
        EXPECT_EQ(in.out, "Imported 4 entries from " + box.path(file) + " (" + format + "); 0 duplicates skipped.\n");
        EXPECT_EQ(in.err, "");
        EXPECT_EQ(harness::sql(fresh_db, "select title,user,url,password,notes,timestamp from entries order by id;"),
                  expected);
    }
}

}  // namespace
