// kesp-ls end to end: the lines and the JSON byte for byte, what a stored
// text may hold, the word it looks for, and its refusals.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/harness.h"

namespace {

const char *const usage =
    "Usage: kesp-ls [--json] [WORD]\n"
    "Lists the id, title, user and URL of every entry of the active database,\n"
    "tab-separated, one entry a line, sorted by id; with WORD only the entries\n"
    "whose title, user, URL or notes contain it (as kesp -f). --json prints an\n"
    "array instead. Never prints a password or a note. See kesp-ls(1).\n";

class KespLs : public ::testing::Test {
protected:
    harness::result ls(const std::vector<std::string> &args) const {
        return box.run_program(harness::built_program("kesp-ls"), args);
    }
    void make_entries() const {
        harness::make_database(
            box, box.path("db.sqlite"),
            {{"mail", "alice", "https://mail.example", "Pw-mail-71", "recovery code 1234"},
             {"Bank", "bob", "https://bank.example", "Pw-bank-72", ""},
             {"wifi", "", "", "Pw-wifi-73", "router in the hall"}});
    }
    harness::sandbox box;
};

TEST_F(KespLs, ListsEveryEntryOrThoseWithTheWord) {
    make_entries();
    struct listing {
        std::vector<std::string> args;
        std::string out;
    };
    const listing cases[] = {
        {{},
         "1\tmail\talice\thttps://mail.example\n"
         "2\tBank\tbob\thttps://bank.example\n"
         "3\twifi\t\t\n"},
        // Title, user, URL and notes are searched, ASCII case ignored.
        {{"bank"}, "2\tBank\tbob\thttps://bank.example\n"},
        {{"ROUTER"}, "3\twifi\t\t\n"},
        {{"example"},
         "1\tmail\talice\thttps://mail.example\n"
         "2\tBank\tbob\thttps://bank.example\n"},
        // The password is never searched; a word found nowhere lists nothing.
        {{"Pw-bank"}, ""},
        {{"--json", "alice"},
         "[\n  {\"id\": 1, \"title\": \"mail\", \"user\": \"alice\", \"url\": \"https://mail.example\"}\n]\n"},
        {{"--json", "nowhere"}, "[]\n"},
        {{"--json"},
         "[\n"
         "  {\"id\": 1, \"title\": \"mail\", \"user\": \"alice\", \"url\": \"https://mail.example\"},\n"
         "  {\"id\": 2, \"title\": \"Bank\", \"user\": \"bob\", \"url\": \"https://bank.example\"},\n"
         "  {\"id\": 3, \"title\": \"wifi\", \"user\": \"\", \"url\": \"\"}\n"
         "]\n"},
    };
    for (const auto &c : cases) {
        auto r = ls(c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.out) << (c.args.empty() ? "" : c.args.back());
        EXPECT_EQ(r.err, "");
        for (const char *secret : {"Pw-", "recovery", "router"})
            EXPECT_EQ(r.out.find(secret), std::string::npos) << secret;
    }
}

// A stored text cannot add a field, a line or an escape sequence: tabs and
// newlines become spaces in the lines (escapes in JSON), other controls are
// shown as text, as kesp shows them on a terminal.
TEST_F(KespLs, StoredTextsStayOneFieldWithoutEscapeCodes) {
    harness::make_database(box, box.path("db.sqlite"),
                           {{"tab\there", "new\nline\r", "x\x1b]52;c;aGk=\x07y", "pw", ""},
                            {"c1 \xc2\x9b" "31m", "quote \" back \\", "caf\xc3\xa9", "pw", ""}});
    auto lines = ls({});
    EXPECT_EQ(lines.status, 0);
    EXPECT_EQ(lines.out,
              "1\ttab here\tnew line\\x0d\tx\\x1b]52;c;aGk=\\x07y\n"
              "2\tc1 \\u009b31m\tquote \" back \\\tcaf\xc3\xa9\n");
    auto json = ls({"--json"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out,
              "[\n"
              "  {\"id\": 1, \"title\": \"tab\\there\", \"user\": \"new\\nline\\\\x0d\", "
              "\"url\": \"x\\\\x1b]52;c;aGk=\\\\x07y\"},\n"
              "  {\"id\": 2, \"title\": \"c1 \\\\u009b31m\", \"user\": \"quote \\\" back \\\\\", "
              "\"url\": \"caf\xc3\xa9\"}\n"
              "]\n");
    for (const std::string &out : {lines.out, json.out})
        for (char c : out) EXPECT_TRUE(c == '\n' || c == '\t' || static_cast<unsigned char>(c) >= 0x20) << int(c);
}

// The ids a picker hands on are the ids of the entries chosen.
TEST_F(KespLs, APickedLineGivesItsIdToTheNextProgram) {
    make_entries();
    harness::sql(box.path("db.sqlite"), "delete from entries where id = 1");
    auto r = harness::run_shell("HOME=" + box.home() + " " + harness::built_program("kesp-ls") +
                                " | grep wifi | cut -f1");
    EXPECT_EQ(r.output, "3\n");
}

TEST_F(KespLs, RefusalsAndUsage) {
    struct refused {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const refused without_db[] = {
        {{}, 1, "No decrypted database found.\n"},
        {{"--json"}, 1, "No decrypted database found.\n"},
        {{"one", "two"}, 2, usage},
        {{"--no-such"}, 2, std::string("unrecognized option '--no-such'\n") + usage},
    };
    for (const auto &c : without_db) {
        auto r = ls(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.front();
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    auto help = ls({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, usage);

    make_entries();
    ASSERT_EQ(harness::encrypt(box, "master").status, 0);
    harness::write_file(box.pointer_file(), box.path("db.sqlite"));
    auto encrypted = ls({});
    EXPECT_EQ(encrypted.status, 1);
    EXPECT_EQ(encrypted.out, "");
    EXPECT_EQ(encrypted.err, "The active database " + box.path("db.sqlite") + " is encrypted, not decrypted.\n");
}

}  // namespace
