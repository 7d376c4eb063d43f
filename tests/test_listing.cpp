// -l, -A, -t, -f, -q, -F end to end, output compared byte for byte.
#include <string>

#include <gtest/gtest.h>

#include "harness/harness.h"

namespace {

using harness::entry_block;
using harness::result;
using harness::row;
using harness::sandbox;

const std::vector<row> rows = {
    {"Mail", "alice", "mail.example", "pw-mail", "personal", "2024-01-01 10:00:00"},
    {"Bank 100%", "bob_b", "bank.example", "needle", "savings", "2024-03-01 10:00:00"},
    {"shop", "carol", "shop.example", "pw-shop", "MAIL order", "2024-02-01 10:00:00"},
};

class Listing : public testing::Test {
protected:
    void SetUp() override { harness::make_database(box, box.path("v.db"), rows); }

    // The block for row `id` (1-based).
    std::string block(int id, bool show = false) {
        const row &r = rows[static_cast<std::size_t>(id - 1)];
        return entry_block(id, r, r.timestamp, show);
    }

    sandbox box;
};

TEST_F(Listing, ListEntryMasksUnlessAskedAndTheFlagActsToTheRight) {
    auto r = box.run({"-l", "2", "--show-passwords", "-l", "2"});
    EXPECT_EQ(r.out, block(2) + block(2, true));
    EXPECT_EQ(r.err, "");

    r = box.run({"--auto-encrypt", "-l", "99"});
    EXPECT_EQ(r.out, "Nothing found with id 99.\n");
    EXPECT_TRUE(harness::exists(box.pointer_file())) << "nothing is encrypted after a miss";
}

TEST_F(Listing, ListAllInIdOrderAndLatestNewestFirst) {
    EXPECT_EQ(box.run({"-A"}).out, block(1) + block(2) + block(3));
    EXPECT_EQ(box.run({"-A", "--show-passwords", "-A"}).out,
              block(1) + block(2) + block(3) + block(1, true) + block(2, true) + block(3, true));
    EXPECT_EQ(box.run({"-t"}).out, block(2) + block(3) + block(1));
    EXPECT_EQ(box.run({"-t", "2"}).out, block(2) + block(3));
    EXPECT_EQ(box.run({"--show-latest", "1"}).out, block(2));
    EXPECT_EQ(box.run({"-t", "0"}).out, "");
    // "-A" is taken as the count (0), then runs as an option of its own.
    EXPECT_EQ(box.run({"-t", "-A"}).out, block(1) + block(2) + block(3));
}

TEST_F(Listing, NegativeCountIsRefusedWithoutAutoEncrypt) {
    auto r = box.run_pty({"--auto-encrypt", "-t", "-3"});
    // The count stays on the command line, where "-3" is then an unknown option.
    EXPECT_EQ(r.out, harness::usage);
    EXPECT_TRUE(r.err.starts_with("Invalid parameter -3\n")) << r.err;
    EXPECT_TRUE(harness::exists(box.pointer_file()));
}

TEST_F(Listing, EmptyResultsStillRunTheAutoEncryptStep) {
    auto r = box.run_pty({"--auto-encrypt", "-t", "0"},
                         {{"Password: ", "m"}, {"Password again: ", "m"}});
    EXPECT_EQ(r.out, "Auto encrypt enabled, type password to encrypt.\nPassword: \nPassword again: \n");
    EXPECT_FALSE(harness::exists(box.pointer_file()));
}

TEST_F(Listing, FindIsALikeSearchOverEverythingButThePassword) {
    EXPECT_EQ(box.run({"-f", "mail"}).out, block(1) + block(3)) << "case is ignored";
    EXPECT_EQ(box.run({"-f", "100%"}).out, block(2));
    EXPECT_EQ(box.run({"-f", "b_b"}).out, block(2)) << "_ matches any one character";
    EXPECT_EQ(box.run({"-f", "k%0"}).out, block(2)) << "% matches any run";
    EXPECT_EQ(box.run({"-f", "needle"}).out, "") << "passwords are not searched";
    EXPECT_EQ(box.run({"-f", "nothing like it"}).out, "");
    EXPECT_EQ(box.run({"-f", ""}).out, block(1) + block(2) + block(3));
    EXPECT_EQ(box.run({"-f", "it's"}).out, "");
}

TEST_F(Listing, QuickShowsPasswordsAndLeavesThemShown) {
    auto r = box.run({"-q", "shop", "-l", "1"});
    EXPECT_EQ(r.out, block(3, true) + block(1, true));
}

TEST_F(Listing, RegexIsBasicCaseSensitiveAndPrintsEachEntryOnce) {
    EXPECT_EQ(box.run({"-F", "^Ma"}).out, block(1));
    EXPECT_EQ(box.run({"-F", "MAIL"}).out, block(3));
    EXPECT_EQ(box.run({"-F", "mail"}).out, block(1)) << "title and url both match: once";
    EXPECT_EQ(box.run({"-F", "a\\{2\\}"}).out, "") << "basic syntax intervals";
    EXPECT_EQ(box.run({"-F", "0+"}).out, "") << "+ is literal in basic syntax";
    EXPECT_EQ(box.run({"-F", "needle"}).out, "");
    EXPECT_EQ(box.run({"-F", "2024-0[23]"}).out, block(2) + block(3)) << "modification time";

    auto r = box.run({"-F", "[unclosed"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Invalid regular expression.\n");
}

TEST_F(Listing, RegexNeverAutoEncrypts) {
    auto r = box.run_pty({"--auto-encrypt", "-F", "no such text"});
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(harness::exists(box.pointer_file()));
}

TEST(ListingWithoutDatabase, RegexReportsTheMissingPath) {
    sandbox box;
    auto r = box.run({"-F", "x", "-A"});
    EXPECT_EQ(r.err, "Error getting database path\nNo decrypted database found.\n");
}

TEST(ListingEmpty, NothingAtAllForAnEmptyDatabase) {
    sandbox box;
    harness::make_database(box, box.path("v.db"), {});
    auto r = box.run({"-A", "-t", "-f", "", "-F", "."});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(Listing, ColourAndQrCode) {
    box.env["KESP_COLOR"] = "GREEN";
    const row &r1 = rows[0];
    EXPECT_EQ(box.run({"-l", "1"}).out, entry_block(1, r1, r1.timestamp, false, "\033[32m"));

    auto r = box.run({"--show-qrcode", "-l", "1", "-A"});
    const std::string separator(69, '=');
    ASSERT_TRUE(r.out.starts_with(separator + "\n\033[30m\033[107m\n")) << r.out;
    EXPECT_NE(r.out.find("\xE2\x96\x88\xE2\x96\x88"), std::string::npos);
    // -A ignores --show-qrcode: the text layout follows the QR block.
    EXPECT_TRUE(r.out.ends_with(entry_block(1, r1, r1.timestamp, false, "\033[32m") +
                                entry_block(2, rows[1], rows[1].timestamp, false, "\033[32m") +
                                entry_block(3, rows[2], rows[2].timestamp, false, "\033[32m")));
}

// A listing into a file (which no reader can hold up) is written as the rows
// are read; into a pipe it is kept until the lock is let go. Both give the
// same bytes, and so does every mix of commands.
TEST_F(Listing, AFileGetsWhatAPipeGets) {
    const std::vector<std::vector<std::string>> cases = {
        {"-A"}, {"--show-passwords", "-A"}, {"-t", "2"}, {"-f", "mail", "-F", "^Ma"},
        {"-F", "[unclosed", "-A"}, {"-l", "2", "-A", "-t", "9"},
    };
    for (const auto &args : cases) {
        result piped = box.run(args);
        std::string command = "cd '" + box.work() + "' && env -i PATH=/usr/bin:/bin HOME='" +
                              box.home() + "' " + KESP_BINARY;
        for (const std::string &a : args) command += " '" + a + "'";
        auto shell = harness::run_shell(command + " >listed.out 2>listed.err");
        SCOPED_TRACE(command);
        EXPECT_EQ(shell.status, 0);
        EXPECT_EQ(harness::read_file(box.path("listed.out")), piped.out);
        EXPECT_EQ(harness::read_file(box.path("listed.err")), piped.err);
    }
}

// A reader that reads nothing yet (a pager, a terminal after Ctrl-S) must
// not keep other terminals waiting: the lock comes free once the rows are
// read, while most of the listing still waits to be written; then the
// reader gets all of it.
TEST(ListingIntoAPipe, AReaderThatDoesNotReadHoldsUpNobody) {
    sandbox box;
    harness::make_database(box, box.path("v.db"), {});
    harness::sql(box.path("v.db"),
                 "with recursive n(i) as (select 1 union all select i + 1 from n where i < 3000)"
                 " insert into entries(title, user, url, password, notes)"
                 " select 'title ' || i, 'user', 'url', 'pw', 'notes' from n;");
    const std::string kesp = "cd '" + box.work() + "' && env -i PATH=/usr/bin:/bin HOME='" +
                             box.home() + "' " + KESP_BINARY + " --show-passwords -A";
    // The reader takes the first byte (kesp holds the lock by then), then
    // reads nothing more until the lock could be taken, or 20 s went by: a
    // listing that held the lock while it waited for the reader would never
    // let it be.
    auto shell = harness::run_shell(kesp + " | { head -c 1 >/dev/null; flock -w 20 -x '" +
                                    box.home() + "/.kesp.lock' true && echo free || echo held;"
                                    " cat >piped.out; }");
    EXPECT_EQ(shell.output, "free\n");
    harness::run_shell(kesp + " >listed.out");
    const std::string listed = harness::read_file(box.path("listed.out"));
    EXPECT_GT(listed.size(), 300000u) << "more than a pipe holds";
    EXPECT_EQ(harness::read_file(box.path("piped.out")), listed.substr(1));
}

}  // namespace

// Every listing that masks passwords masks one-time-code seeds in the notes
// too; --show-passwords and -q show them; so does kesp-import's dry run.
TEST(ListingMasks, OtpSeedsAreMaskedWhereverPasswordsAre) {
    sandbox box;
    const std::string seed = "JBSWY3DPEHPK3PXP";
    const std::string notes = "otpauth://totp/GitHub?secret=" + seed + "&issuer=GitHub";
    harness::make_database(box, box.path("v.db"), {{"GitHub", "alice", "l", "pw", notes}});
    struct {
        std::vector<std::string> args;
        bool shown;
    } cases[] = {
        {{"-A"}, false}, {{"-l", "1"}, false}, {{"-t"}, false},       {{"-f", "Git"}, false},
        {{"-F", "Git"}, false}, {{"--show-passwords", "-A"}, true}, {{"-q", "Git"}, true},
        {{"--show-passwords", "-F", "Git"}, true},
    };
    for (const auto &c : cases) {
        auto r = box.run(c.args);
        EXPECT_EQ(r.err, "") << testing::PrintToString(c.args);
        EXPECT_EQ(r.out.find(seed) != std::string::npos, c.shown) << testing::PrintToString(c.args);
        EXPECT_NE(r.out.find("otpauth://totp/GitHub?secret="), std::string::npos);
    }
    const std::string csv = box.path("in.csv");
    harness::write_file(csv, "name,url,username,password,note\nNew,https://n.example,bob,pw2," +
                                 notes + "x\n");
    auto r = box.run_program(harness::built_program("kesp-import"), {"--dry-run", csv});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find(seed), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("secret=**********&issuer=GitHub"), std::string::npos) << r.out;
}
