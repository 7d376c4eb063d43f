// Bad input end to end: paths that are not what they should be, damaged
// containers, hostile entry texts and a database held by another process.
// Each case must end with a clear message and leave every file as it was.
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "harness/harness.h"

namespace {

using harness::exists;
using harness::read_file;
using harness::row;
using harness::sandbox;
using harness::sql;
using harness::encrypt;

const std::vector<row> rows = {
    {"mail", "me", "mail.example", "pw-1", "first", "2024-01-01 10:00:00"},
    {"bank", "acct", "bank.example", "pw-2", "second", "2024-02-01 10:00:00"},
};

const std::string all_rows = "select * from entries order by id;";

bool is_directory(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(DirectoryAsDatabase, InitAndDecryptAreRefused) {
    sandbox box;
    ::mkdir(box.path("dir").c_str(), 0755);
    harness::write_file(box.path("dir/keep"), "inside");

    for (auto args : {std::vector<std::string>{"-i", "dir"}, {"--force", "-i", "dir"}}) {
        auto r = box.run(args);
        EXPECT_EQ(r.err, "Failed to initialize database: unable to open database file\n");
        EXPECT_FALSE(exists(box.pointer_file()));
    }

    auto r = box.run_pty({"-D", "dir"}, {{"Password: ", "pw"}});
    EXPECT_EQ(r.err, "File is already decrypted or malformed?\nFailed to decrypt dir.\n");
    EXPECT_FALSE(exists(box.pointer_file()));
    EXPECT_FALSE(exists(box.path("dir.plain")));
    EXPECT_EQ(read_file(box.path("dir/keep")), "inside");
}

TEST(DirectoryAsDatabase, ActiveDirectoryFailsEveryCommandAndStaysActive) {
    sandbox box;
    ::mkdir(box.path("dir").c_str(), 0755);
    harness::write_file(box.pointer_file(), "dir");
    const std::string cannot_open =
        "Can't initialize: unable to open database file\nCorrupted database. Abort.\n";

    auto r = box.run({"-A"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, cannot_open);

    r = box.run({"-a"}, "t\nu\nl\nn\n");
    EXPECT_EQ(r.err, cannot_open + "Failed to add a new entry.\n");

    r = encrypt(box, "pw");
    EXPECT_EQ(r.err, "dir is not a regular file.\nEncryption of dir failed.\n");
    EXPECT_TRUE(is_directory(box.path("dir")));
    EXPECT_FALSE(exists(box.path("dir.kesp")));
    EXPECT_EQ(read_file(box.pointer_file()), "dir") << "the pointer file must survive";
}

TEST(UnreadableFile, DecryptEncryptAndListFailWithoutTouchingIt) {
    sandbox box;
    if (!box.run_unprivileged()) GTEST_SKIP() << "cannot run kesp as an unprivileged user";
    const std::string db = box.path("v.db");
    harness::make_database(box, db, rows);

    // A plain database the user cannot read.
    ::chmod(db.c_str(), 0);
    std::string plain = read_file(db);
    auto r = box.run({"-A"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Can't initialize: unable to open database file\nCorrupted database. Abort.\n");
    r = encrypt(box, "pw");
    EXPECT_EQ(r.err, "Failed to open file.\nUnable to open " + db + "\nEncryption of " + db +
                         " failed.\n");
    EXPECT_EQ(read_file(db), plain);
    EXPECT_FALSE(exists(db + ".kesp"));
    EXPECT_TRUE(exists(box.pointer_file()));

    // A container the user cannot read.
    ::chmod(db.c_str(), 0600);
    harness::write_file(db, plain + "FuI3" + std::string(144, 'x'));
    ::chmod(db.c_str(), 0);
    std::remove(box.pointer_file().c_str());
    std::string container = read_file(db);
    r = box.run_pty({"-D", "v.db"}, {{"Password: ", "pw"}});
    EXPECT_EQ(r.err,
              "Failed to open file.\nFile is already decrypted or malformed?\nFailed to decrypt v.db.\n");
    EXPECT_EQ(read_file(db), container);
    EXPECT_FALSE(exists(db + ".plain"));
    EXPECT_FALSE(exists(box.pointer_file()));
}

// Entry commands refuse a record of a missing file and keep it (-E, which
// clears it, is tested with -u).
TEST(VanishedFile, PointerToAMissingFileKeepsItsRecord) {
    sandbox box;
    harness::write_file(box.pointer_file(), "gone.db");

    // Refused before any prompt, and nothing creates the file.
    const std::string gone = "The active database gone.db does not exist.\n";
    for (const std::vector<std::string> &args : {std::vector<std::string>{"-a"}, {"-e", "1"},
                                                 {"-r", "1"}, {"-A"}, {"-f", "x"}}) {
        auto r = box.run(args, "t\nu\nl\nn\n");
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_EQ(r.err, gone) << args[0];
    }
    EXPECT_FALSE(exists(box.path("gone.db")));
    EXPECT_FALSE(exists(box.path("gone.db.kesp")));
    EXPECT_EQ(read_file(box.pointer_file()), "gone.db");
    auto r = box.run({"-p"});
    EXPECT_EQ(r.out, "gone.db\n");
}

class DamagedContainer : public testing::Test {
protected:
    void SetUp() override {
        harness::make_database(box, db, rows);
        ASSERT_EQ(encrypt(box, "pw").err, "");
        container = read_file(db);
        ASSERT_EQ(container.compare(container.size() - 148, 4, "FuI3"), 0);
    }

    // -D on `damaged`: refused as no container, the file left byte for byte.
    void expect_refused(const std::string &damaged) {
        harness::write_file(db, damaged);
        auto r = box.run_pty({"-D", "v.db"}, {{"Password: ", "pw"}});
        EXPECT_EQ(r.err, "File is already decrypted or malformed?\nFailed to decrypt v.db.\n");
        EXPECT_EQ(read_file(db), damaged);
        EXPECT_FALSE(exists(db + ".plain"));
        EXPECT_FALSE(exists(box.pointer_file()));
    }

    sandbox box;
    std::string db = box.path("v.db");
    std::string container;
};

TEST_F(DamagedContainer, CutOrLengthenedByOneByteIsNoContainer) {
    expect_refused(container.substr(0, container.size() - 1));
    expect_refused(container + '\0');

    // The intact file still opens with its password afterwards.
    harness::write_file(db, container);
    auto r = box.run_pty({"-D", "v.db"}, {{"Password: ", "pw"}});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sql(db, "select count(*) from entries;"), "2\n");
}

TEST_F(DamagedContainer, DamageBehindAnIntactTrailerIsRejectedByTheMac) {
    std::string flipped = container;
    flipped[flipped.size() - 100] ^= 0x01;  // inside the salt
    for (const std::string &damaged : {flipped, container.substr(1)}) {
        harness::write_file(db, damaged);
        auto r = box.run_pty({"-D", "v.db"}, {{"Password: ", "pw"}});
        EXPECT_EQ(r.err, "Invalid password or tampered data. Aborted.\nFailed to decrypt v.db.\n");
        EXPECT_EQ(read_file(db), damaged);
        EXPECT_FALSE(exists(db + ".plain"));
    }
}

// Texts that break naive quoting, formatting or terminal handling.
const std::string quotes = "it's 'quoted' \"twice\" ''";
const std::string percents = "100% %s %d %n %q %% %";
const std::string backslashes = "C:\\dir\\new \\x41 \\0 \\";
const std::string unicode = "p\xc3\xa4ssw\xc3\xb6rd \xe2\x9c\x93 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x94\x91";
const std::string escapes = "\033[31mred\033[0m \033]0;title\a tab\there \r cr";

TEST(HostileTexts, FieldsAreStoredAndListedByteForByte) {
    sandbox box;
    const std::string db = box.path("v.db");
    harness::make_database(box, db, {});

    auto r = box.run({"-a"}, quotes + "\n" + percents + "\n" + backslashes + "\n" + unicode + escapes +
                                 "\n");
    ASSERT_EQ(r.err, "");
    // The last line of standard output is the generated password.
    std::string password = r.out.substr(r.out.rfind(' ') + 1);
    password.pop_back();
    row expected(quotes, percents, backslashes, password, unicode + escapes);

    std::string timestamp = sql(db, "select timestamp from entries;");
    timestamp.pop_back();
    r = box.run({"--show-passwords", "-A", "-l", "1", "-f", "%", "-f", "'", "-F", "\\\\"});
    EXPECT_EQ(r.err, "");
    std::string block = harness::entry_block(1, expected, timestamp, true);
    EXPECT_EQ(r.out, block + block + block + block + block);

    // An edit with the same kind of texts goes through the same quoting.
    r = box.run({"-e", "1"}, percents + "'\n\n\n\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sql(db, "select title, user from entries;"), percents + "'|" + percents + "\n");
}

TEST(HostileTexts, FullLengthFieldsAndPasswordKeepEveryByte) {
    sandbox box;
    const std::string db = box.path("v.db");
    harness::make_database(box, db, {});

    // 1023 bytes fill a field exactly; the next field starts right behind
    // them, as the rest of a longer line would.
    auto long_text = [](const std::string &unit) {
        std::string text;
        while (text.size() + unit.size() <= 1023) text += unit;
        return text + std::string(1023 - text.size(), '.');
    };
    const std::string title = long_text(quotes);
    const std::string user = long_text(percents);
    const std::string url = long_text(backslashes);
    const std::string notes = long_text(unicode);
    // Typed on a terminal: no line-editing characters, so every byte arrives.
    const std::string password = long_text(quotes + percents + backslashes + unicode + "\033[0m");
    ASSERT_EQ(title.size() + user.size() + url.size() + notes.size() + password.size(), 5 * 1023u);

    // The four fields go as one terminal line ended by the end-of-file key
    // instead of Enter, so that no newline is left for the password prompt.
    harness::pty_session s(box, {"-a"});
    ASSERT_TRUE(s.expect("Title: "));
    s.type(title + user + url + notes);
    s.type_eof();
    ASSERT_TRUE(s.expect("Password (empty to generate new): "));
    s.type_line(password);
    auto r = s.finish();
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Title: Username: Url: Notes: Password (empty to generate new): \n");
    EXPECT_EQ(sql(db, "select title, user, url, password, notes from entries;"),
              title + "|" + user + "|" + url + "|" + password + "|" + notes + "\n");

    std::string timestamp = sql(db, "select timestamp from entries;");
    timestamp.pop_back();
    r = box.run({"--show-passwords", "-l", "1"});
    EXPECT_EQ(r.out, harness::entry_block(1, row(title, user, url, password, notes), timestamp,
                                          true));
}

TEST(HostileTexts, LongEntriesThenShortOnesListExactly) {
    // Each listed entry is composed in a buffer kept from the one before: a
    // short entry after a long one must not carry any of its bytes.
    sandbox box;
    const row long_row(std::string(1023, 'T'), std::string(1023, 'U'), std::string(1023, 'L'),
                       std::string(1023, 'P'), std::string(1023, 'N'), "2024-01-01 10:00:00");
    const row short_row("t", "", "u", "p", "", "2024-01-02 10:00:00");
    harness::make_database(box, box.path("v.db"), {long_row, short_row, long_row, short_row});
    auto r = box.run({"-A", "--show-passwords", "-A"});
    EXPECT_EQ(r.err, "");
    std::string masked, shown;
    for (int id = 1; id <= 4; ++id) {
        const row &e = id % 2 == 1 ? long_row : short_row;
        masked += harness::entry_block(id, e, e.timestamp, false);
        shown += harness::entry_block(id, e, e.timestamp, true);
    }
    EXPECT_EQ(r.out, masked + shown);
}

class LockedDatabase : public testing::Test {
protected:
    void SetUp() override {
        harness::make_database(box, db, rows);
        before = sql(db, all_rows);
        holder = harness::open_sqlite(db);
    }

    void hold(const char *statement) {
        ASSERT_EQ(sqlite3_exec(holder.get(), statement, nullptr, nullptr, nullptr), SQLITE_OK);
    }
    void release() {
        ASSERT_EQ(sqlite3_exec(holder.get(), "rollback;", nullptr, nullptr, nullptr), SQLITE_OK);
    }

    sandbox box;
    std::string db = box.path("v.db");
    std::string before;
    harness::sqlite_ptr holder;  // another process's connection, to kesp
};

TEST_F(LockedDatabase, ExclusiveLockFailsTheAddAndALaterAddSucceeds) {
    hold("begin exclusive;");
    auto r = box.run({"-a"}, "new\nuser\nurl\nnotes\n");
    EXPECT_EQ(r.err,
              "SQL error: database is locked\nCorrupted database. Abort.\nFailed to add a new entry.\n");
    release();
    EXPECT_EQ(sql(db, all_rows), before);

    r = box.run({"-a"}, "new\nuser\nurl\nnotes\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sql(db, "select title, user, url, notes from entries where id = 3;"),
              "new|user|url|notes\n");
    EXPECT_EQ(sql(db, "select * from entries where id < 3 order by id;"), before);
}

TEST_F(LockedDatabase, WriterLockLetsTheCheckPassButFailsTheInsert) {
    hold("begin immediate;");
    auto r = box.run({"-a"}, "new\nuser\nurl\nnotes\n");
    EXPECT_EQ(r.err, "Error: database is locked\nFailed to add a new entry.\n");
    release();
    EXPECT_EQ(sql(db, all_rows), before);
}

// Listed on a terminal, stored controls are shown escaped; through a pipe
// the bytes are unchanged (covered above).
TEST(HostileTexts, ControlsInStoredTextsAreShownNotObeyedOnATerminal) {
    sandbox box;
    harness::make_database(box, box.path("v.db"),
                           {{"t", "u", "evil\r\x1b[2Kbank.example", "pw", "\x1b]52;c;aGk=\x07"}});
    // Standard output on the terminal itself, not on the harness's pipe.
    harness::pty_session s(box, {"-c", "exec \"$0\" -A >/dev/tty", KESP_BINARY}, "/bin/sh");
    harness::result r = s.finish();
    EXPECT_EQ(r.terminal.find("\x1b]52"), std::string::npos) << r.terminal;
    EXPECT_EQ(r.terminal.find("\x1b[2K"), std::string::npos) << r.terminal;
    EXPECT_NE(r.terminal.find("evil\\x0d\\x1b[2Kbank.example"), std::string::npos) << r.terminal;
    EXPECT_NE(r.terminal.find("\\x1b]52;c;aGk=\\x07"), std::string::npos) << r.terminal;
}

// Databases as other software leaves them.
TEST(OtherSoftwaresDatabase, ColumnsInAnotherOrderAreReadByName) {
    sandbox box;
    const std::string db = box.path("v.db");
    sql(db, "create table entries(password text, notes text, id integer primary key, url text,"
            " user text, title text, timestamp date);"
            "insert into entries values('secret-pw','n',1,'l','u','t','2024-01-01 10:00:00');");
    harness::write_file(box.pointer_file(), db);
    row expected("t", "u", "l", "secret-pw", "n");
    harness::result r = box.run({"-A"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, harness::entry_block(1, expected, "2024-01-01 10:00:00", false));
    r = box.run({"-F", "secret"});
    EXPECT_EQ(r.out, "") << "the password is not searched";
}

// Committed entries that still sit in a -wal file are part of the container,
// and nothing is left beside it.
TEST(OtherSoftwaresDatabase, WalContentIsEncryptedAndNoWalFileRemains) {
    sandbox box;
    const std::string origin = box.path("origin.db"), db = box.path("v.db");
    harness::make_database(box, origin, {{"in-main", "u", "l", "p", "n"}});
    harness::sqlite_ptr open = harness::open_sqlite(origin);
    ASSERT_EQ(sqlite3_exec(open.get(),
                           "pragma journal_mode=wal; pragma wal_autocheckpoint=0;"
                           "insert into entries(title,user,url,password,notes)"
                           " values('in-wal','u','l','wal-secret','n');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    // A copy taken while the writer is open: the entry is only in the -wal.
    harness::write_file(db, read_file(origin));
    harness::write_file(db + "-wal", read_file(origin + "-wal"));
    open.reset();
    harness::write_file(box.pointer_file(), db);

    EXPECT_EQ(encrypt(box, "pw").err, "");
    EXPECT_TRUE(harness::is_container(db));
    EXPECT_FALSE(exists(db + "-wal") || exists(db + "-shm") || exists(db + "-journal"));
    EXPECT_EQ(harness::decrypt(box, db, "pw").err, "");
    EXPECT_EQ(sql(db, "select title from entries order by id;"), "in-main\nin-wal\n");
}

TEST(OtherSoftwaresDatabase, OtherHardLinksAreNamedWhenEncrypting) {
    sandbox box;
    const std::string db = box.path("v.db");
    harness::make_database(box, db, {{"t", "u", "l", "p", "n"}});
    ASSERT_EQ(::link(db.c_str(), box.path("copy.db").c_str()), 0);
    harness::result r = encrypt(box, "pw");
    EXPECT_EQ(r.err, "WARNING: " + db + " has 1 other name that keeps the plain database.\n");
    EXPECT_TRUE(harness::is_container(db));
}

// Homes that cannot record an active database: nothing is decrypted.
TEST(OddHome, DecryptRefusesWhenTheRecordCannotBeWritten) {
    sandbox box;
    const std::string db = box.path("v.db");
    harness::make_database(box, db, {{"t", "u", "l", "p", "n"}});
    ASSERT_EQ(encrypt(box, "pw").err, "");
    const std::string container = read_file(db);

    box.unset_home = true;
    harness::result r = harness::decrypt(box, "v.db", "pw");
    EXPECT_EQ(r.err, "HOME is not set: there is nowhere to record it.\nFailed to decrypt v.db.\n");
    EXPECT_EQ(read_file(db), container);

    box.env["HOME"] = box.path("no such home");
    r = box.run({"-D", "v.db"});  // refused before the prompt
    EXPECT_EQ(r.err, "Unable to open the lock file " + box.path("no such home") +
                         "/.kesp.lock: No such file or directory\n");
    EXPECT_EQ(read_file(db), container);
    box.env.erase("HOME");
    box.unset_home = false;

    // An empty record is no record.
    harness::write_file(box.pointer_file(), "");
    r = box.run({"-A"});
    EXPECT_EQ(r.err, "No decrypted database found.\n");
    EXPECT_EQ(harness::decrypt(box, "v.db", "pw").err, "");
    EXPECT_EQ(read_file(box.pointer_file()), db);
}

// The path is recorded absolute: -E from another folder encrypts the file
// that -i created, not a new one where it runs.
TEST(OddHome, EncryptFromAnotherFolderFindsTheRecordedFile) {
    sandbox box;
    ASSERT_EQ(box.run({"-i", "v.db"}).err, "");
    ASSERT_EQ(::mkdir(box.path("elsewhere").c_str(), 0700), 0);
    harness::pty_session s(box, {"-c", "cd elsewhere && exec \"$0\" -E", KESP_BINARY}, "/bin/sh");
    ASSERT_TRUE(s.expect("Password: "));
    s.type_line("pw");
    ASSERT_TRUE(s.expect("Password again: "));
    s.type_line("pw");
    EXPECT_EQ(s.finish().err, "");
    EXPECT_TRUE(harness::is_container(box.path("v.db")));
    EXPECT_FALSE(exists(box.path("elsewhere/v.db")));
}

// No core file can carry a typed master password away.
TEST(OddHome, NoCoreFileAtAPrompt) {
    sandbox box;
    harness::make_database(box, box.path("v.db"), {});
    // kesp inherits a limit that allows core files, and must lower it.
    rlimit saved{}, allowing{1 << 20, 1 << 20};
    ::getrlimit(RLIMIT_CORE, &saved);
    if (saved.rlim_max != RLIM_INFINITY) allowing.rlim_max = saved.rlim_max;
    allowing.rlim_cur = allowing.rlim_max;
    if (allowing.rlim_cur == 0 || ::setrlimit(RLIMIT_CORE, &allowing) != 0)
        GTEST_SKIP() << "core files cannot be allowed here";
    harness::pty_session s(box, {"-E"});
    ::setrlimit(RLIMIT_CORE, &saved);
    ASSERT_TRUE(s.expect("Password: "));
    std::string limits = read_file("/proc/" + std::to_string(s.pid()) + "/limits");
    auto line = limits.substr(limits.find("Max core file size"));
    line = line.substr(0, line.find('\n'));
    EXPECT_EQ(line.find_first_of("123456789"), std::string::npos) << line;
    s.signal(SIGKILL);
}

}  // namespace

// While another program holds the database open in WAL mode, its log and
// index stay beside it: -E refuses, and the database stays plain and
// active, since a container beside a -wal in clear would protect nothing.
TEST(OtherSoftwaresDatabase, EncryptRefusesWhileAnotherProgramHoldsItsLogOpen) {
    sandbox box;
    const std::string db = box.path("v.db");
    harness::make_database(box, db, {{"in-main", "u", "l", "p", "n"}});
    harness::sqlite_ptr open = harness::open_sqlite(db);
    ASSERT_EQ(sqlite3_exec(open.get(),
                           "pragma journal_mode=wal; pragma wal_autocheckpoint=0;"
                           "insert into entries(title,user,url,password,notes)"
                           " values('in-wal','u','l','wal-secret','n');"
                           "begin; select count(*) from entries;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    harness::result r = encrypt(box, "pw");
    EXPECT_EQ(r.err, db + "-wal exists: another program has the database open, or that file holds "
                          "data of its own. Close it and try again.\nEncryption of " + db +
                          " failed.\n");
    EXPECT_FALSE(harness::is_container(db));
    EXPECT_EQ(read_file(box.pointer_file()), db);
    sqlite3_exec(open.get(), "commit;", nullptr, nullptr, nullptr);
}
