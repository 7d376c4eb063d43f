// kesp-edit end to end: each option changes its field and no other, the
// entry is printed as kesp -l prints it, the replaced version is kept, a
// password is typed twice on a terminal and never taken from anywhere
// else; and kesp-history --restore --only takes some fields back and keeps
// the rest.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "harness/harness.h"

namespace {

using harness::pty_session;
using harness::result;
using harness::row;
using harness::sandbox;
using harness::sql;

const std::string edit_program = harness::built_program("kesp-edit");
const std::string history_program = harness::built_program("kesp-history");

const row mail{"mail", "me", "https://mail.example", "mail-pw", "first line", "2001-02-03 04:05:06"};
const row bank{"bank", "acct", "https://bank.example", "bank-pw", "", "2002-03-04 05:06:07"};

class Edit : public ::testing::Test {
protected:
    void SetUp() override { harness::make_database(box, db, {mail, bank}); }

    result edit(const std::vector<std::string> &args) const {
        return box.run_program(edit_program, args);
    }
    // kesp-edit on a terminal, each (prompt, answer) typed in turn.
    result edit_on_terminal(const std::vector<std::string> &args,
                            const std::vector<std::pair<std::string, std::string>> &dialogue) {
        pty_session s(box, args, edit_program);
        for (const auto &[prompt, answer] : dialogue)
            if (s.expect(prompt)) s.type_line(answer);
        return s.finish();
    }
    std::string texts(int id) const {
        return sql(db, "select title,user,url,password,notes from entries where id=" +
                           std::to_string(id) + ";");
    }
    std::string stamp(int id) const {
        std::string t = sql(db, "select timestamp from entries where id=" + std::to_string(id) + ";");
        if (!t.empty()) t.pop_back();
        return t;
    }
    // Every version kept; none while the database was never changed (it
    // then holds no record at all).
    std::string versions() const {
        if (sql(db, "select count(*) from sqlite_schema where name='history';") == "0\n")
            return "";
        return sql(db, "select entry_id,title,user,url,password,notes,timestamp,why from history "
                       "order by seq;");
    }
    // The block kesp -l prints for entry `id` as it stands now.
    std::string listed(int id) const { return box.run({"-l", std::to_string(id)}).out; }

    sandbox box;
    std::string db = box.path("v.db");
};

std::string joined(const row &r) {
    return r.title + "|" + r.user + "|" + r.url + "|" + r.password + "|" + r.notes + "\n";
}

// Each option alone: its field and no other, the entry printed byte for
// byte as kesp -l prints it, the old version kept once.
TEST_F(Edit, EachOptionChangesItsFieldAndNoOther) {
    struct change {
        std::vector<std::string> args;
        row after;
    };
    const std::vector<change> cases = {
        {{"1", "--title", "post"}, {"post", "me", "https://mail.example", "mail-pw", "first line"}},
        {{"--user", "you", "1"}, {"mail", "you", "https://mail.example", "mail-pw", "first line"}},
        {{"1", "--url=https://m.example/"},
         {"mail", "me", "https://m.example/", "mail-pw", "first line"}},
        {{"1", "--notes", "all new\nsecond"},
         {"mail", "me", "https://mail.example", "mail-pw", "all new\nsecond"}},
        {{"1", "--add-note", "PIN 1234"},
         {"mail", "me", "https://mail.example", "mail-pw", "first line\nPIN 1234"}},
        {{"1", "--title", ""}, {"", "me", "https://mail.example", "mail-pw", "first line"}},
        {{"1", "--title", "a", "--user", "b", "--url", "c", "--notes", "d"},
         {"a", "b", "c", "mail-pw", "d"}},
    };
    for (const change &c : cases) {
        sandbox fresh;
        const std::string path = fresh.path("v.db");
        harness::make_database(fresh, path, {mail, bank});
        auto r = fresh.run_program(edit_program, c.args);
        SCOPED_TRACE(c.args[1]);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(sql(path, "select title,user,url,password,notes from entries where id=1;"),
                  joined(c.after));
        std::string now = sql(path, "select timestamp from entries where id=1;");
        now.pop_back();
        EXPECT_NE(now, mail.timestamp);
        EXPECT_EQ(r.out, harness::entry_block(1, c.after, now, false));
        EXPECT_EQ(r.out, fresh.run({"-l", "1"}).out);
        EXPECT_EQ(sql(path, "select entry_id,title,user,url,password,notes,timestamp,why from "
                            "history;"),
                  "1|mail|me|https://mail.example|mail-pw|first line|2001-02-03 04:05:06|edit\n");
        EXPECT_EQ(sql(path, "select * from entries where id=2;"),
                  "2|bank|acct|https://bank.example|bank-pw||2002-03-04 05:06:07\n");
    }
}

TEST_F(Edit, AddNoteToEmptyNotesIsTheLineAlone) {
    auto r = edit({"2", "--add-note", "card ends 4242"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(texts(2), "bank|acct|https://bank.example|bank-pw|card ends 4242\n");
}

// What the person asked for is already there: nothing written, no version
// kept, the time unchanged, and the entry printed all the same.
TEST_F(Edit, TheSameTextsAgainWriteNothing) {
    auto r = edit({"1", "--title", "mail", "--url", "https://mail.example"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(stamp(1), mail.timestamp);
    EXPECT_EQ(versions(), "");
    EXPECT_EQ(r.out, harness::entry_block(1, mail, mail.timestamp, false));
}

// --generate, with its length in the several places it may stand; the
// password printed nowhere.
TEST_F(Edit, GenerateMakesAPasswordOfTheLengthAsked) {
    struct generated {
        std::vector<std::string> args;
        int id;
        std::size_t length;
    };
    const std::vector<generated> cases = {
        {{"1", "--generate"}, 1, 20},
        {{"1", "--generate", "32"}, 1, 32},
        {{"--generate", "7", "2"}, 2, 7},
        {{"--generate=9", "2"}, 2, 9},
        {{"--generate", "2"}, 2, 20},
        {{"2", "--generate", "4096"}, 2, 4096},
    };
    auto others = [this](int id) {
        return sql(db, "select title,user,url,notes from entries where id=" +
                           std::to_string(id) + ";");
    };
    for (const generated &c : cases) {
        const std::string before = others(c.id);
        auto r = edit(c.args);
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        ASSERT_EQ(r.status, 0) << r.err;
        std::string password =
            sql(db, "select password from entries where id=" + std::to_string(c.id) + ";");
        password.pop_back();
        EXPECT_EQ(password.size(), c.length);
        EXPECT_EQ(password.find_first_not_of(harness::password_alphabet), std::string::npos);
        EXPECT_EQ(r.out.find(password), std::string::npos) << "printed";
        EXPECT_EQ(r.out, listed(c.id));
        EXPECT_EQ(others(c.id), before);
    }
    EXPECT_EQ(sql(db, "select count(*) from history;"), std::to_string(cases.size()) + "\n");
}

// The password typed twice on the terminal, with echo off.
TEST_F(Edit, PasswordIsTypedTwiceOnTheTerminal) {
    auto r = edit_on_terminal({"1", "--password", "--add-note", "changed in May"},
                              {{"New password: ", "n3w p4ss"}, {"New password again: ", "n3w p4ss"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(texts(1), "mail|me|https://mail.example|n3w p4ss|first line\nchanged in May\n");
    EXPECT_EQ(r.out, "New password: \nNew password again: \n" +
                         harness::entry_block(1, {"mail", "me", "https://mail.example", "n3w p4ss",
                                                  "first line\nchanged in May"},
                                              stamp(1), false));
    EXPECT_EQ(r.terminal.find("n3w"), std::string::npos) << "echoed: " << r.terminal;
}

// Whatever goes wrong with the password, the entry stays as it was.
TEST_F(Edit, APasswordNotTypedTwiceAlikeChangesNothing) {
    struct refusal {
        const char *name;
        std::vector<std::pair<std::string, std::string>> dialogue;
        std::string err;
    };
    const std::vector<refusal> cases = {
        {"mismatch", {{"New password: ", "one"}, {"New password again: ", "two"}},
         "Password mismatch; nothing was changed.\n"},
        {"empty", {{"New password: ", ""}}, "The password is empty; nothing was changed.\n"},
        {"too long", {{"New password: ", std::string(1024, 'p')}},
         "Input too long: at most 1023 characters are accepted.\n"},
    };
    for (const refusal &c : cases) {
        auto r = edit_on_terminal({"1", "--password", "--title", "never"}, c.dialogue);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_EQ(texts(1), joined(mail)) << c.name;
    }
    // From a pipe nobody typed it: refused before anything is read.
    auto piped = box.run_program(edit_program, {"1", "--password"}, "piped\npiped\n");
    EXPECT_EQ(piped.status, 1);
    EXPECT_EQ(piped.out, "");
    EXPECT_EQ(piped.err, "A terminal is needed to type the password.\n");
    EXPECT_EQ(texts(1), joined(mail));
    EXPECT_EQ(versions(), "");
}

TEST_F(Edit, BadUsageExitsWithTwoAndChangesNothing) {
    const char *usage = "Usage: kesp-edit ID ";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"1"}, "Name a field to change.\n"},
        {{"--title", "x"}, usage},
        {{"1", "2", "--title", "x"}, usage},
        {{"0", "--title", "x"}, usage},
        {{"one", "--title", "x"}, usage},
        {{"1", "--notes", "a", "--add-note", "b"}, "--notes and --add-note exclude each other.\n"},
        {{"1", "--password", "--generate"}, "--password and --generate exclude each other.\n"},
        {{"1", "--title", "two\nlines"}, "--title takes one line, without line breaks.\n"},
        {{"1", "--url", "a\rb"}, "--url takes one line, without line breaks.\n"},
        {{"1", "--add-note", "a\nb"}, "--add-note takes one line, without line breaks.\n"},
        {{"1", "--generate", "0", "--title", "x"}, "--generate takes a length from 1 to 4096, not 0.\n"},
        {{"1", "--generate=0"}, "--generate takes a length from 1 to 4096, not 0.\n"},
        {{"1", "--generate", "4097", "2"}, usage},
        {{"1", "--generate=x"}, "--generate takes a length from 1 to 4096, not x.\n"},
        {{"1", "--frob"}, "unrecognized option"},
        {{"1", "--title"}, "requires an argument"},
    };
    const std::string rows = sql(db, "select * from entries order by id;");
    for (const auto &[args, says] : cases) {
        auto r = edit(args);
        EXPECT_EQ(r.status, 2) << says;
        EXPECT_EQ(r.out, "") << says;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    }
    EXPECT_EQ(sql(db, "select * from entries order by id;"), rows);
    EXPECT_EQ(versions(), "");
    auto help = edit({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(usage, 0), 0u);
}

TEST_F(Edit, FailsWithoutTheEntryOrADatabase) {
    auto missing = edit({"9", "--title", "x"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "Entry 9 not found.\n");

    sandbox empty;
    auto none = empty.run_program(edit_program, {"1", "--title", "x"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "No decrypted database found.\n");

    ASSERT_EQ(harness::encrypt(box, "master").status, 0);
    harness::write_file(box.pointer_file(), db);
    auto encrypted = edit({"1", "--title", "x"});
    EXPECT_EQ(encrypted.status, 1);
    EXPECT_EQ(encrypted.err, "The active database " + db + " is encrypted, not decrypted.\n");
}

// Another program's change made while the password was typed is not
// written over.
TEST_F(Edit, AChangeMadeMeanwhileIsKept) {
    box.env["KESP_TEST_STOP_AT"] = "before-lock";
    pty_session s(box, {"1", "--title", "mine"}, edit_program);
    ASSERT_TRUE(s.wait_stopped());
    sql(db, "update entries set notes='theirs' where id=1;");
    s.resume();
    auto r = s.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Entry 1 was changed while you typed; nothing was changed.\n");
    EXPECT_EQ(texts(1), "mail|me|https://mail.example|mail-pw|theirs\n");
}

// The slip of kesp -e: a note added, Enter at the password prompt (a new
// password generated). A restore of the password alone brings it back and
// keeps the note; each set of fields, the others kept.
TEST_F(Edit, RestoreOnlyTakesTheNamedFieldsBack) {
    struct partial {
        std::string only;
        row after;  // "typed" stands for the password the slip generated
    };
    const std::vector<partial> cases = {
        {"password", {"mail", "me", "https://mail.example", "mail-pw", "new note"}},
        {"notes", {"mail", "me", "https://mail.example", "typed", "first line"}},
        {"notes,password", {"mail", "me", "https://mail.example", "mail-pw", "first line"}},
        {"title,user,url", {"mail", "me", "https://mail.example", "typed", "new note"}},
        {"title", {"mail", "me", "https://mail.example", "typed", "new note"}},
    };
    for (const partial &c : cases) {
        sandbox fresh;
        const std::string path = fresh.path("v.db");
        harness::make_database(fresh, path, {mail, bank});
        fresh.run({"-e", "1"}, "\n\n\nnew note\n");
        std::string typed = sql(path, "select password from entries where id=1;");
        typed.pop_back();
        ASSERT_NE(typed, mail.password);
        auto r = fresh.run_program(history_program, {"--restore", "1.1", "--only", c.only});
        EXPECT_EQ(r.status, 0) << c.only << r.err;
        EXPECT_EQ(r.out, "Entry 1 restored.\n");
        row after = c.after;
        if (after.password == "typed") after.password = typed;
        EXPECT_EQ(sql(path, "select title,user,url,password,notes from entries where id=1;"),
                  joined(after))
            << c.only;
        if (after.password == typed && after.notes == "new note") {
            // Nothing taken back differed: nothing written, no copy of the
            // entry in the record, and the edit's version keeps its reason.
            EXPECT_EQ(sql(path, "select why,password,notes from history order by seq;"),
                      "edit|mail-pw|first line\n");
            continue;
        }
        // What it held goes into the record: the restore is undone whole.
        EXPECT_EQ(sql(path, "select why,password,notes from history order by seq desc limit 1;"),
                  "restore|" + typed + "|new note\n");
        ASSERT_EQ(fresh.run_program(history_program, {"--restore", "1.1"}).status, 0);
        EXPECT_EQ(sql(path, "select password,notes from entries where id=1;"),
                  typed + "|new note\n");
    }
}

TEST_F(Edit, RestoreOnlyRefusesWhatItCannotDo) {
    edit({"1", "--title", "post"});
    box.run({"-r", "2"});
    const std::string rows = sql(db, "select * from entries order by id;");
    struct refusal {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const std::vector<refusal> cases = {
        {{"--restore", "1.1", "--only", "pasword"}, 2,
         "--only takes fields of title, user, url, password and notes, separated by commas, "
         "not pasword.\n"},
        {{"--restore", "1.1", "--only", "title,"}, 2,
         "--only takes fields of title, user, url, password and notes, separated by commas, "
         "not title,.\n"},
        {{"--restore", "1.1", "--only", ""}, 2,
         "--only takes fields of title, user, url, password and notes, separated by commas, "
         "not .\n"},
        {{"--only", "title"}, 2, "Usage: kesp-history "},
        {{"--forget", "1", "--only", "title"}, 2, "Usage: kesp-history "},
        {{"--restore", "2.1", "--only", "title"}, 1,
         "Entry 2 was removed; it comes back whole, without --only.\n"},
        {{"--restore", "1.5", "--only", "title"}, 1, "No version 1.5 is kept.\n"},
    };
    for (const refusal &c : cases) {
        auto r = box.run_program(history_program, c.args);
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
    }
    EXPECT_EQ(sql(db, "select * from entries order by id;"), rows);
}

}  // namespace
