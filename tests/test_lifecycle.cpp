// -i, -E, -D, -u end to end: passwords typed on a pseudo-terminal, files and
// the pointer file checked afterwards.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "harness/harness.h"

namespace {

using harness::read_file;
using harness::sandbox;

using harness::encrypt;
using harness::is_container;

TEST(Init, CreatesAPrivateDatabaseAndMakesItActive) {
    sandbox box;
    auto r = box.run({"-i", "vault.db", "-p"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, box.path("vault.db") + "\n") << "the path is recorded absolute";
    EXPECT_EQ(harness::file_mode(box.path("vault.db")), 0600);
    EXPECT_EQ(harness::sql(box.path("vault.db"), "select count(*) from entries;"), "0\n");
}

TEST(Init, RefusesWhileADatabaseIsActiveOrExists) {
    sandbox box;
    box.run({"-i", "a.db"});
    auto r = box.run({"-i", "b.db"});
    EXPECT_EQ(r.err, "Existing database is already active. Encrypt it before creating a new one.\n");
    EXPECT_FALSE(harness::exists(box.path("b.db")));

    // Over an existing database: the table exists, nothing is recorded.
    harness::write_file(box.pointer_file(), "elsewhere");
    std::remove(box.pointer_file().c_str());
    r = box.run({"-i", "a.db"});
    EXPECT_EQ(r.err, "Error: table entries already exists\n");
    EXPECT_FALSE(harness::exists(box.pointer_file()));
}

TEST(Init, ForceDiscardsTheFileAndForgetsTheActiveDatabase) {
    sandbox box;
    harness::make_database(box, box.path("old.db"), {{"t", "u", "l", "p", "n"}});
    auto r = box.run({"--force", "-i", "old.db"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(harness::sql(box.path("old.db"), "select count(*) from entries;"), "0\n");

    harness::make_database(box, box.path("kept.db"), {{"t", "u", "l", "p", "n"}});
    r = box.run({"--force", "-i", "new.db", "-p"});
    EXPECT_EQ(r.err, "WARNING: " + box.path("kept.db") +
                         " stays decrypted and is no longer active.\n");
    EXPECT_EQ(r.out, box.path("new.db") + "\n");
    EXPECT_EQ(harness::sql(box.path("kept.db"), "select count(*) from entries;"), "1\n");
}

TEST(Init, AutoEncryptAsksForTheNewMasterPasswordTwice) {
    sandbox box;
    auto r = box.run_pty({"--auto-encrypt", "-i", "v.db"},
                         {{"Password: ", "pw"}, {"Password again: ", "pw"}});
    EXPECT_EQ(r.out, "Auto encrypt enabled, type password to encrypt.\nPassword: \nPassword again: \n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(is_container(box.path("v.db")));
    EXPECT_FALSE(harness::exists(box.pointer_file()));
}

TEST(Encrypt, RoundTripThroughEncryptAndDecrypt) {
    sandbox box;
    harness::make_database(box, box.path("v.db"), {{"mail", "me", "x.org", "s3cret", "n"}});
    std::string plain = read_file(box.path("v.db"));

    auto r = encrypt(box, "master pw");
    EXPECT_EQ(r.out, "Password: \nPassword again: \n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(is_container(box.path("v.db")));
    EXPECT_EQ(read_file(box.path("v.db")).size(), plain.size() + 148);
    EXPECT_FALSE(harness::exists(box.pointer_file()));
    EXPECT_EQ(read_file(box.path("v.db")).find("s3cret"), std::string::npos);

    r = box.run_pty({"-D", "v.db"}, {{"Password: ", "master pw"}});
    EXPECT_EQ(r.out, "Password: \n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(box.path("v.db")), plain);
    EXPECT_EQ(harness::file_mode(box.path("v.db")), 0600);
    EXPECT_EQ(read_file(box.pointer_file()), box.path("v.db"));
}

TEST(Encrypt, ThroughASymbolicLinkTheLinkedFileIsReplaced) {
    sandbox box;
    std::filesystem::create_directory(box.path("real"));
    harness::make_database(box, box.path("real/v.db"), {{"t", "u", "l", "secret-pw", "n"}});
    std::filesystem::create_symlink("real/v.db", box.path("link.db"));
    harness::write_file(box.pointer_file(), "link.db");

    auto r = encrypt(box, "pw");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::filesystem::is_symlink(box.path("link.db")));
    EXPECT_TRUE(is_container(box.path("real/v.db"))) << "the linked file must not stay in clear";

    r = box.run_pty({"-D", "link.db"}, {{"Password: ", "pw"}});
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::filesystem::is_symlink(box.path("link.db")));
    EXPECT_EQ(harness::sql(box.path("link.db"), "select password from entries;"), "secret-pw\n");
}

TEST(Encrypt, NothingActiveOrMismatchLeavesTheDatabasePlain) {
    sandbox box;
    auto r = box.run_pty({"-E"});
    EXPECT_EQ(r.out, "") << "no prompt without an active database";
    EXPECT_EQ(r.err, "No decrypted database found.\n");

    harness::make_database(box, box.path("v.db"), {});
    r = box.run_pty({"-E"}, {{"Password: ", "one"}, {"Password again: ", "two"}});
    EXPECT_EQ(r.err, "Password mismatch.\n");
    EXPECT_FALSE(is_container(box.path("v.db")));
    EXPECT_TRUE(harness::exists(box.pointer_file()));
}

// Enter at both prompts: accepted, with a warning. The end-of-file key is
// no password at all: nothing is encrypted.
TEST(Encrypt, EmptyPasswordTypedTwiceIsAcceptedWithAWarning) {
    for (bool eof : {false, true}) {
        SCOPED_TRACE(eof ? "Ctrl-D" : "Enter");
        sandbox box;
        const std::string db = box.path("v.db");
        harness::make_database(box, db, {});
        harness::result r;
        if (eof) {
            harness::pty_session s(box, {"-E"});
            ASSERT_TRUE(s.expect("Password: "));
            s.type_eof();
            r = s.finish();
            EXPECT_EQ(r.err, "Input ended; nothing was changed.\n");
            EXPECT_FALSE(is_container(db));
            EXPECT_TRUE(harness::exists(box.pointer_file()));
            continue;
        }
        r = encrypt(box, "");
        EXPECT_EQ(r.err, "WARNING: the master password is empty; anyone can decrypt " + db + ".\n");
        EXPECT_TRUE(is_container(db));
        r = box.run_pty({"-D", "v.db"}, {{"Password: ", ""}});
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(is_container(db));
    }
}

TEST(Encrypt, MasterPasswordNeedsATerminal) {
    sandbox box;
    harness::make_database(box, box.path("v.db"), {});
    auto r = box.run({"-E"}, "pw\npw\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "A terminal is needed to type the master password.\n");
    EXPECT_FALSE(is_container(box.path("v.db")));
    EXPECT_TRUE(harness::exists(box.pointer_file()));

    encrypt(box, "pw");
    r = box.run({"-D", "v.db"}, "pw\n");
    EXPECT_EQ(r.err, "A terminal is needed to type the master password.\n");
    EXPECT_TRUE(is_container(box.path("v.db")));
    EXPECT_FALSE(harness::exists(box.pointer_file()));
}

TEST(Encrypt, OverlongMasterPasswordIsRefused) {
    sandbox box;
    harness::make_database(box, box.path("v.db"), {});
    auto r = box.run_pty({"-E"}, {{"Password: ", std::string(1500, 'k')}});
    EXPECT_EQ(r.err, "Input too long: at most 1023 characters are accepted.\n");
    EXPECT_EQ(r.out, "Password: \n");
    EXPECT_FALSE(is_container(box.path("v.db")));
}

TEST(Decrypt, RefusesBeforeThePromptWhileADatabaseIsActive) {
    sandbox box;
    harness::make_database(box, box.path("v.db"), {});
    auto r = box.run_pty({"-D", "other.db"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Existing database is already active. Encrypt it before decrypting another one.\n");
}

TEST(Decrypt, WrongPasswordPlainFileAndMissingFile) {
    sandbox box;
    harness::make_database(box, box.path("v.db"), {});
    encrypt(box, "right");
    std::string container = read_file(box.path("v.db"));

    auto r = box.run_pty({"-D", "v.db"}, {{"Password: ", "wrong"}});
    EXPECT_EQ(r.err, "Invalid password or tampered data. Aborted.\nFailed to decrypt v.db.\n");
    EXPECT_EQ(read_file(box.path("v.db")), container);
    EXPECT_FALSE(harness::exists(box.path("v.db.plain")));
    EXPECT_FALSE(harness::exists(box.pointer_file()));

    harness::write_file(box.path("plain"), "just some bytes");
    r = box.run_pty({"-D", "plain"}, {{"Password: ", "x"}});
    EXPECT_EQ(r.err, "File is already decrypted or malformed?\nFailed to decrypt plain.\n");

    r = box.run_pty({"-D", "missing"}, {{"Password: ", "x"}});
    EXPECT_EQ(r.err,
              "Failed to open file.\nFile is already decrypted or malformed?\nFailed to decrypt missing.\n");
    EXPECT_FALSE(harness::exists(box.pointer_file()));
}

TEST(UseDb, SwitchesFromOneDatabaseToAnother) {
    sandbox box;
    harness::make_database(box, box.path("b.db"), {{"in b", "", "", "", ""}});
    encrypt(box, "pb");
    harness::make_database(box, box.path("a.db"), {{"in a", "", "", "", ""}});

    // a.db is active: it is encrypted first, then b.db is decrypted.
    auto r = box.run_pty({"-u", "b.db", "-p"}, {{"Password: ", "pa"},
                                                {"Password again: ", "pa"},
                                                {"Password: ", "pb"}});
    EXPECT_EQ(r.out,
              "Type password to encrypt existing active database.\nPassword: \nPassword again: \n"
              "Decrypt b.db.\nPassword: \n" + box.path("b.db") + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(is_container(box.path("a.db")));
    EXPECT_FALSE(is_container(box.path("b.db")));
    EXPECT_EQ(harness::sql(box.path("b.db"), "select title from entries;"), "in b\n");
}

TEST(UseDb, ToTheActiveDatabaseEncryptsAndDecryptsIt) {
    sandbox box;
    harness::make_database(box, box.path("a.db"), {{"x", "", "", "", ""}});
    auto r = box.run_pty({"-u", box.path("a.db")},
                         {{"Password: ", "pa"}, {"Password again: ", "pa"}, {"Password: ", "pa"}});
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(is_container(box.path("a.db")));
    EXPECT_EQ(read_file(box.pointer_file()), box.path("a.db"));
}

TEST(UseDb, FailedEncryptionKeepsTheOldDatabaseActive) {
    sandbox box;
    harness::make_database(box, box.path("b.db"), {});
    harness::make_database(box, box.path("a.db"), {});
    auto r = box.run_pty({"-u", "b.db"}, {{"Password: ", "1"}, {"Password again: ", "2"}});
    EXPECT_EQ(r.err, "Password mismatch.\n");
    EXPECT_EQ(read_file(box.pointer_file()), box.path("a.db"));
}

TEST(UseDb, PlainPathBecomesActive) {
    sandbox box;
    harness::make_database(box, box.path("p.db"), {});
    std::remove(box.pointer_file().c_str());
    auto r = box.run({"-u", "p.db", "-p"});
    EXPECT_EQ(r.out, box.path("p.db") + "\n");
    EXPECT_EQ(r.err, "");
}

// A path that cannot be opened stops the switch before anything happens,
// with or without an active database; and a record of a database that no
// longer exists is cleared by -E, so that no state is a dead end.
TEST(UseDb, MissingPathChangesNothingAndAVanishedRecordIsCleared) {
    sandbox box;
    for (bool active : {false, true}) {
        SCOPED_TRACE(active ? "with an active database" : "without one");
        std::remove(box.pointer_file().c_str());
        if (active) harness::make_database(box, box.path("a.db"), {{"kept", "", "", "", ""}});
        auto r = box.run({"-u", "nowhere.db", "-p"});
        EXPECT_EQ(r.out, active ? box.path("a.db") + "\n" : "");
        EXPECT_EQ(r.err, std::string("Unable to open nowhere.db: No such file or directory\n") +
                             (active ? "" : "No decrypted database exist.\n"));
        EXPECT_FALSE(harness::exists(box.path("nowhere.db")));
    }
    EXPECT_FALSE(is_container(box.path("a.db")));

    std::remove(box.path("a.db").c_str());
    auto r = box.run({"-E", "-p"});
    EXPECT_EQ(r.err, "The active database " + box.path("a.db") +
                         " does not exist; it is no longer recorded as active.\n"
                         "No decrypted database exist.\n");
    EXPECT_FALSE(harness::exists(box.pointer_file()));
    // The way out: a new database can be made or another one used.
    r = box.run({"-i", "fresh.db", "-p"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, box.path("fresh.db") + "\n");
}

}  // namespace
