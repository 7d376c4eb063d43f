// -a, -e, -c, -r end to end, with answers typed on a pseudo-terminal or
// piped in, and the database read back directly.
#include <string>

#include <gtest/gtest.h>

#include "harness/harness.h"

namespace {

using harness::sandbox;
using harness::sql;

const std::string &alphabet = harness::password_alphabet;

bool is_generated(const std::string &password) {
    return password.size() == 20 && password.find_first_not_of(alphabet) == std::string::npos;
}

class Editing : public testing::Test {
protected:
    void SetUp() override {
        harness::make_database(box, db, {{"mail", "me", "mail.org", "old-pw", "first",
                                          "2001-02-03 04:05:06"},
                                         {"bank", "acct", "bank.com", "b-pw", "second"}});
    }
    std::string rows() { return sql(db, "select * from entries order by id;"); }

    sandbox box;
    std::string db = box.path("v.db");
};

TEST_F(Editing, AddStoresEveryAnswer) {
    auto r = box.run_pty({"-a"}, {{"Title: ", "shop 'quoted' %d"},
                                  {"Username: ", "bob"},
                                  {"Url: ", "https://shop.example"},
                                  {"Notes: ", "  spaced  "},
                                  {"Password (empty to generate new): ", "p@ss word"}});
    EXPECT_EQ(r.out, "Title: Username: Url: Notes: Password (empty to generate new): \n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sql(db, "select title,user,url,password,notes from entries where id=3;"),
              "shop 'quoted' %d|bob|https://shop.example|p@ss word|  spaced  \n");
    EXPECT_EQ(r.terminal.find("p@ss"), std::string::npos) << "the password was echoed";
    EXPECT_NE(r.terminal.find("shop 'quoted'"), std::string::npos) << "fields are echoed";
}

TEST_F(Editing, AddWithEveryAnswerEmptyGeneratesThePassword) {
    auto r = box.run_pty({"-a"}, {{"Title: ", ""}, {"Username: ", ""}, {"Url: ", ""},
                                  {"Notes: ", ""}, {"Password (empty to generate new): ", ""}});
    std::string stored = sql(db, "select password from entries where id=3;");
    ASSERT_FALSE(stored.empty());
    stored.pop_back();
    EXPECT_TRUE(is_generated(stored)) << stored;
    EXPECT_EQ(r.out, "Title: Username: Url: Notes: Password (empty to generate new): \n" +
                         stored + "\n");
    EXPECT_EQ(sql(db, "select title,user,url,notes from entries where id=3;"), "|||\n");
}

TEST_F(Editing, AddFromAPipeGeneratesThePasswordWithoutAsking) {
    auto r = box.run({"-a"}, "piped title\npiped user\npiped url\npiped notes\nnot a password\n");
    std::string stored = sql(db, "select password from entries where id=3;");
    ASSERT_FALSE(stored.empty());
    stored.pop_back();
    EXPECT_TRUE(is_generated(stored));
    EXPECT_EQ(r.out, "Title: Username: Url: Notes: " + stored + "\n");
    EXPECT_EQ(sql(db, "select title,user,url,notes from entries where id=3;"),
              "piped title|piped user|piped url|piped notes\n");
}

TEST_F(Editing, AddUsesTheDefaultUserName) {
    box.env["KESP_DEFAULT_USERNAME"] = "bob";
    auto r = box.run({"-a"}, "t\nu\nn\n");
    EXPECT_TRUE(r.out.starts_with("Title: Username: using default (bob)\nUrl: Notes: ")) << r.out;
    EXPECT_EQ(sql(db, "select title,user,url,notes from entries where id=3;"), "t|bob|u|n\n");

    box.env["KESP_DEFAULT_USERNAME"] = "";
    r = box.run({"-a"}, "t\nu\nn\n");
    EXPECT_TRUE(r.out.starts_with("Title: Username: using default ()\nUrl: Notes: ")) << r.out;
    EXPECT_EQ(sql(db, "select user from entries where id=4;"), "\n");

    box.env["KESP_DEFAULT_USERNAME"] = "a\nb\n";
    box.run({"-a"}, "t\nu\nn\n");
    EXPECT_EQ(sql(db, "select user from entries where id=5;"), "ab\n");

    box.env["KESP_DEFAULT_USERNAME"] = std::string(1500, 'z');
    box.run({"-a"}, "t\nu\nn\n");
    EXPECT_EQ(sql(db, "select length(user) from entries where id=6;"), "1023\n");
}

TEST_F(Editing, OverlongVisibleAnswerSpillsIntoTheNextPrompt) {
    std::string line(1500, 'x');
    box.run({"-a"}, line + "\nu\nl\nn\n");
    EXPECT_EQ(sql(db, "select length(title),user,url,notes from entries where id=3;"),
              "1023|" + std::string(477, 'x') + "|u|l\n");
}

TEST_F(Editing, OverlongPasswordIsRefusedAndNothingStored) {
    auto r = box.run_pty({"-a"}, {{"Title: ", "t"}, {"Username: ", "u"}, {"Url: ", "l"},
                                  {"Notes: ", "n"},
                                  {"Password (empty to generate new): ", std::string(1024, 'p')}});
    EXPECT_EQ(r.err, "Input too long: at most 1023 characters are accepted.\n");
    EXPECT_EQ(sql(db, "select count(*) from entries;"), "2\n");

    r = box.run_pty({"-e", "1"}, {{"New title: ", "changed"}, {"New username: ", ""},
                                  {"New url: ", ""}, {"New note: ", ""},
                                  {"New password (empty to generate new): ", std::string(2000, 'p')}});
    EXPECT_EQ(r.err, "Input too long: at most 1023 characters are accepted.\n");
    EXPECT_EQ(sql(db, "select title, password from entries where id=1;"), "mail|old-pw\n");
}

TEST_F(Editing, EditKeepsEmptyAnswersAndShowsThePassword) {
    auto r = box.run_pty({"-e", "1"}, {{"New title: ", ""}, {"New username: ", " "},
                                       {"New url: ", ""}, {"New note: ", "new notes"},
                                       {"New password (empty to generate new): ", "new-pw"}});
    EXPECT_EQ(r.out,
              "Current title mail\nNew title: Current username me\nNew username: "
              "Current url mail.org\nNew url: Current notes first\nNew note: "
              "Current password old-pw\nNew password (empty to generate new): \n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sql(db, "select title,user,url,password,notes from entries where id=1;"),
              "mail| |mail.org|new-pw|new notes\n");
    EXPECT_NE(sql(db, "select timestamp from entries where id=1;"), "2001-02-03 04:05:06\n");
}

TEST_F(Editing, EditWithOnlyEnterGeneratesAPasswordAndRenewsTheTime) {
    auto r = box.run_pty({"-e", "1"}, {{"New title: ", ""}, {"New username: ", ""},
                                       {"New url: ", ""}, {"New note: ", ""},
                                       {"New password (empty to generate new): ", ""}});
    std::string stored = sql(db, "select password from entries where id=1;");
    stored.pop_back();
    EXPECT_TRUE(is_generated(stored));
    EXPECT_TRUE(r.out.ends_with("(empty to generate new): \n" + stored + "\n"));
    EXPECT_EQ(sql(db, "select title,user,url,notes from entries where id=1;"),
              "mail|me|mail.org|first\n");
    EXPECT_EQ(sql(db, "select timestamp > '2020' from entries where id=1;"), "1\n");
}

// A missing id, or a word that is no id at all, asks nothing and does not
// encrypt.
TEST_F(Editing, EditOfAMissingIdAsksNothing) {
    const struct {
        const char *id, *out, *err;
    } cases[] = {{"99", "Nothing found.\n", ""}, {"abc", "", "Not an entry id: abc\n"}};
    for (const auto &c : cases) {
        auto r = box.run_pty({"--auto-encrypt", "-e", c.id});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_TRUE(harness::exists(box.pointer_file()));
}

TEST_F(Editing, CopyGivesEqualTextsUnderANewIdAndNeverEncrypts) {
    auto r = box.run_pty({"--auto-encrypt", "-c", "1"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sql(db, "select id,title,user,url,password,notes from entries where id=3;"),
              "3|mail|me|mail.org|old-pw|first\n");
    EXPECT_EQ(sql(db, "select timestamp > '2020' from entries where id=3;"), "1\n");

    r = box.run({"-c", "99"});
    EXPECT_EQ(r.out, "Nothing found with id 99.\n");
    EXPECT_EQ(sql(db, "select count(*) from entries;"), "3\n");
}

TEST_F(Editing, RemovePresentAndMissingIds) {
    auto r = box.run({"-r", "2", "-r", "2"});
    EXPECT_EQ(r.out, "Entry was deleted from the database.\nNo entry with id 2 was found.\n");
    EXPECT_EQ(sql(db, "select id from entries;"), "1\n");
}

TEST_F(Editing, RemoveWithAutoEncryptRunsTheStepEvenWhenNothingWent) {
    auto r = box.run_pty({"--auto-encrypt", "-r", "99", "-A"},
                         {{"Password: ", "m"}, {"Password again: ", "m"}});
    EXPECT_EQ(r.out,
              "No entry with id 99 was found.\nAuto encrypt enabled, type password to encrypt.\n"
              "Password: \nPassword again: \n");
    EXPECT_EQ(r.err, "No decrypted database found.\n");
    EXPECT_FALSE(harness::exists(box.pointer_file()));
}

TEST_F(Editing, AddThenAutoEncryptOnlyForOptionsToTheRight) {
    // The flag comes after -a, so -a does not encrypt, and kesp says so.
    auto r = box.run({"-a", "--auto-encrypt"}, "t\nu\nl\nn\n");
    EXPECT_EQ(r.err, "WARNING: --auto-encrypt had no effect: a flag acts only on the commands "
                     "after it.\nWARNING: " + box.path("v.db") +
                         " is still decrypted; encrypt it with kesp -E.\n");
    EXPECT_TRUE(harness::exists(box.pointer_file()));
}

TEST(EditingStoreFailure, UnreadableDatabaseAsksForNothing) {
    sandbox box;
    harness::write_file(box.path("v.db"), std::string(4096, 'j'));
    harness::write_file(box.pointer_file(), box.path("v.db"));
    auto r = box.run_pty({"--auto-encrypt", "-r", "5", "-e", "1", "-c", "1"});
    EXPECT_EQ(r.out, "");
    const std::string failed =
        "SQL error: file is not a database\nCorrupted database. Abort.\n";
    EXPECT_EQ(r.err, failed + failed + failed);

    r = box.run({"-a"}, "t\nu\nl\nn\n");
    EXPECT_TRUE(r.err.ends_with("Corrupted database. Abort.\nFailed to add a new entry.\n")) << r.err;
}

}  // namespace
