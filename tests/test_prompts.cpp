// What a person types wrong at kesp's prompts and options: an end of input
// (Ctrl-D) at any prompt stores nothing, and an id that is not a whole
// number acts on no entry.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "container/crypt.h"
#include "harness/harness.h"

namespace {

using harness::sandbox;
using harness::sql;

const char *const all_rows = "select * from entries order by id;";
const std::string input_ended = "Input ended; nothing was changed.\n";

class Prompts : public testing::Test {
protected:
    void SetUp() override {
        harness::make_database(box, db, {{"mail", "me", "mail.org", "old-pw", "first",
                                          "2001-02-03 04:05:06"},
                                         {"bank", "acct", "bank.com", "b-pw", "second",
                                          "2001-02-03 04:05:06"}});
        rows = sql(db, all_rows);
        pointer = harness::read_file(box.pointer_file());
    }

    // Nothing in the database or the pointer file changed.
    void expect_untouched() {
        EXPECT_EQ(sql(db, all_rows), rows);
        EXPECT_EQ(harness::read_file(box.pointer_file()), pointer);
    }

    sandbox box;
    std::string db = box.path("v.db");
    std::string rows, pointer;
};

struct eof_case {
    const char *name;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> answers;  // typed before
    std::string at;   // the prompt that gets Ctrl-D
    std::string out;  // all of standard output
    bool default_user = false;
};

const std::string add_prompts[] = {"Title: ", "Username: ", "Url: ", "Notes: "};
const std::string new_password = "Password (empty to generate new): ";
const std::string edit_head = "Current title mail\nNew title: ";

// Ctrl-D at every prompt of -a, -e and of the master password: no entry
// nobody typed (today's fault: an empty one with a generated password), no
// change, no password generated, and the command says so.
TEST_F(Prompts, EndOfInputAtAnyPromptStoresNothing) {
    const eof_case cases[] = {
        {"add title", {"-a"}, {}, "Title: ", "Title: \n"},
        {"add user", {"-a"}, {{"Title: ", "t"}}, "Username: ", "Title: Username: \n"},
        {"add url", {"-a"}, {{"Title: ", "t"}, {"Username: ", "u"}}, "Url: ",
         "Title: Username: Url: \n"},
        {"add notes", {"-a"}, {{"Title: ", "t"}, {"Username: ", "u"}, {"Url: ", "l"}}, "Notes: ",
         "Title: Username: Url: Notes: \n"},
        {"add password",
         {"-a"},
         {{"Title: ", "t"}, {"Username: ", "u"}, {"Url: ", "l"}, {"Notes: ", "n"}},
         new_password,
         "Title: Username: Url: Notes: " + new_password + "\n"},
        {"add with a default user", {"-a"}, {{"Title: ", "t"}}, "Url: ",
         "Title: Username: using default (bob)\nUrl: \n", true},
        {"edit title", {"-e", "1"}, {}, "New title: ", edit_head + "\n"},
        {"edit notes",
         {"-e", "1"},
         {{"New title: ", "T"}, {"New username: ", "U"}, {"New url: ", ""}},
         "New note: ",
         edit_head + "Current username me\nNew username: Current url mail.org\nNew url: "
                     "Current notes first\nNew note: \n"},
        {"edit password",
         {"-e", "1"},
         {{"New title: ", "T"}, {"New username: ", ""}, {"New url: ", ""}, {"New note: ", ""}},
         "New password (empty to generate new): ",
         edit_head + "Current username me\nNew username: Current url mail.org\nNew url: "
                     "Current notes first\nNew note: Current password old-pw\n"
                     "New password (empty to generate new): \n"},
        {"encrypt", {"-E"}, {}, "Password: ", "Password: \n"},
        {"encrypt again", {"-E"}, {{"Password: ", "pw"}}, "Password again: ",
         "Password: \nPassword again: \n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.default_user)
            box.env["KESP_DEFAULT_USERNAME"] = "bob";
        else
            box.env.erase("KESP_DEFAULT_USERNAME");
        harness::pty_session s(box, c.args);
        for (const auto &[prompt, answer] : c.answers) {
            ASSERT_TRUE(s.expect(prompt));
            s.type_line(answer);
        }
        ASSERT_TRUE(s.expect(c.at));
        s.type_eof();
        auto r = s.finish();
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, input_ended);
        EXPECT_EQ(r.status, 0);
        expect_untouched();
        EXPECT_FALSE(harness::is_container(db));
    }
}

// With --auto-encrypt the database stays decrypted (nothing is asked at an
// ended input) and the person is told so; the next command of the line
// still runs and asks afresh.
TEST_F(Prompts, EndOfInputEndsOnlyThatCommand) {
    {
        harness::pty_session s(box, {"--auto-encrypt", "-a"});
        ASSERT_TRUE(s.expect("Title: "));
        s.type_eof();
        auto r = s.finish();
        EXPECT_EQ(r.out, "Title: \n");
        EXPECT_EQ(r.err, input_ended + "WARNING: " + db +
                             " is still decrypted; encrypt it with kesp -E.\n");
        expect_untouched();
    }
    harness::pty_session s(box, {"-a", "-a"});
    ASSERT_TRUE(s.expect("Title: "));
    s.type_eof();
    const std::pair<const char *, const char *> answers[] = {
        {"Title: ", "t"}, {"Username: ", "u"}, {"Url: ", "l"}, {"Notes: ", "n"},
        {"Password (empty to generate new): ", "pw"}};
    for (const auto &[prompt, answer] : answers) {
        ASSERT_TRUE(s.expect(prompt));
        s.type_line(answer);
    }
    auto r = s.finish();
    EXPECT_EQ(r.err, input_ended);
    EXPECT_EQ(sql(db, "select title,user,url,password,notes from entries where id=3;"),
              "t|u|l|pw|n\n");
}

// Piped answers that end early are no entry either; the lines that did come
// are not stored with empty rest.
TEST_F(Prompts, PipedInputThatEndsEarlyStoresNothing) {
    for (const std::string input : {"", "title\n", "title\nuser\nurl\n", "title\nuser\nurl"}) {
        SCOPED_TRACE(input);
        auto r = box.run({"-a"}, input);
        EXPECT_EQ(r.err, input_ended);
        expect_untouched();
    }
    // Four whole answers still make an entry, with a generated password.
    auto r = box.run({"-a"}, "t\nu\nl\nn");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sql(db, "select title,user,url,notes from entries where id=3;"), "t|u|l|n\n");
}

// kesp-merge asks on the terminal; Ctrl-D there ends it with OURS as it was.
TEST(CompanionPrompts, EndOfInputAtTheMasterPasswordChangesNothing) {
    sandbox box;
    const std::string base = box.path("base.db"), ours = box.path("ours.db"),
                      theirs = box.path("theirs.db");
    sql(base, "create table entries(id integer primary key, title text, user text, url text,"
              "password text, notes text,timestamp date default (datetime('now','localtime')));"
              "insert into entries values(1,'mail','a','u','pw','','2024-01-01 10:00:00');");
    harness::write_file(ours, harness::read_file(base));
    harness::write_file(theirs, harness::read_file(base));
    sql(theirs, "update entries set notes='x' where id=1;");
    for (const std::string *path : {&base, &ours, &theirs})
        ASSERT_TRUE(encrypt_file("pw", path->c_str()));
    const std::string before = harness::read_file(ours);

    harness::pty_session s(box, {base, ours, theirs}, harness::built_program("kesp-merge"));
    ASSERT_TRUE(s.expect_terminal("Master password: "));
    s.type_eof();
    auto r = s.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(harness::read_file(ours), before);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Nothing was merged; " + ours + " is unchanged.\n");
}

struct id_case {
    std::vector<std::string> args;
    std::string typed;  // a word that is no id
};

// An id is decimal digits and nothing else: "2x" does not remove entry 2,
// "bank" does not look for entry 0. Refused before anything is asked or
// done, --auto-encrypt included; the options after it still run.
TEST_F(Prompts, AnIdThatIsNotAWholeNumberIsRefused) {
    const id_case cases[] = {
        {{"-r", "2x"}, "2x"},
        {{"-r", "bank"}, "bank"},
        {{"--auto-encrypt", "-r", "1 "}, "1 "},
        {{"-r", " 1"}, " 1"},
        {{"-r", "+1"}, "+1"},
        {{"-r", "-1"}, "-1"},
        {{"-r", ""}, ""},
        {{"-r", "1.0"}, "1.0"},
        {{"-r", "4294967298"}, "4294967298"},
        {{"-e", "1e0"}, "1e0"},
        {{"--auto-encrypt", "-e", "0x1"}, "0x1"},
        {{"-c", "1st"}, "1st"},
        {{"-l", "2 bank"}, "2 bank"},
        {{"--remove=2x"}, "2x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.back());
        auto r = box.run(c.args, "typed\ntyped\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Not an entry id: " + c.typed + "\n");
        EXPECT_EQ(r.status, 0);
        expect_untouched();
    }
    auto r = box.run({"-r", "x", "-l", "002"});
    EXPECT_EQ(r.err, "Not an entry id: x\n");
    EXPECT_NE(r.out.find("Title: bank\n"), std::string::npos) << "leading zeros are digits";
    r = box.run({"-r", "0000000002", "-c", "2147483647"});
    EXPECT_EQ(r.out, "Entry was deleted from the database.\nNothing found with id 2147483647.\n");
    EXPECT_EQ(sql(db, "select id from entries;"), "1\n");
}

}  // namespace
