// Files that are no container's own: a -journal, -wal or -shm planted beside
// an encrypted database, which SQLite would roll into it once decrypted, and
// a plain database whose own bytes look like a container's trailer. Played
// as the person who can write to the database's folder but does not know
// the master password.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "harness/harness.h"

namespace {

using harness::decrypt;
using harness::encrypt;
using harness::is_container;
using harness::read_file;
using harness::sandbox;

std::set<std::string> names_in(const std::string &folder) {
    std::set<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(folder))
        names.insert(e.path().filename().string());
    return names;
}

std::string refusal(const std::string &side, const std::string &typed) {
    return side + " lies beside the encrypted database " + typed +
           " and belongs to no database of kesp's; nothing was decrypted. Remove it, then try "
           "again.\n";
}

// kesp ARGS on a terminal where nobody types: a prompt would leave it
// waiting until the time runs out.
harness::result run_untyped(const sandbox &box, const std::vector<std::string> &args) {
    harness::pty_session s(box, args);
    return s.finish(std::chrono::seconds(30));
}

struct planted {
    const char *name;
    const char *suffix;
    const char *content;  // nullptr: a symbolic link that leads nowhere
};

TEST(SideFiles, DecryptAndSwitchRefuseBeforeAnyPrompt) {
    const planted files[] = {
        {"journal", "-journal", "journal bytes"},
        {"empty journal", "-journal", ""},
        {"log", "-wal", "log bytes"},
        {"index", "-shm", "index bytes"},
        {"link as log", "-wal", nullptr},
    };
    for (const planted &p : files) {
        for (bool switching : {false, true}) {
            SCOPED_TRACE(std::string(p.name) + (switching ? " -u" : " -D"));
            sandbox box;
            const std::string db = box.path("v.db"), side = db + p.suffix;
            harness::make_database(box, db, {{"mine", "me", "l", "my-secret", "n"}});
            {
                // Only the state to start from: kesp -E runs under the
                // wrapper in the Encrypt tests.
                harness::setup_runs native(box);
                ASSERT_EQ(encrypt(box, "pw").err, "");
            }
            // -u with another database active: it must stay active and plain.
            if (switching)
                harness::make_database(box, box.path("a.db"), {{"a", "u", "l", "p", "n"}});
            const std::string container = read_file(db);
            const bool active = harness::exists(box.pointer_file());
            const std::string pointer = active ? read_file(box.pointer_file()) : "";
            if (p.content != nullptr)
                harness::write_file(side, p.content);
            else
                ASSERT_EQ(::symlink("nowhere", side.c_str()), 0);
            const auto before = names_in(box.work());

            harness::result r = run_untyped(box, {switching ? "-u" : "-D", "v.db"});
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, refusal(side, "v.db"));
            EXPECT_TRUE(read_file(db) == container) << "the container changed";
            EXPECT_EQ(names_in(box.work()), before) << "a file was made or removed";
            EXPECT_EQ(harness::exists(box.pointer_file()), active);
            if (active) {
                EXPECT_EQ(read_file(box.pointer_file()), pointer);
                EXPECT_EQ(harness::sql(box.path("a.db"), "select title from entries;"), "a\n");
            }
        }
    }
}

// A side file that appears while the password is typed is found all the
// same, before anything is decrypted or recorded.
TEST(SideFiles, OnePlantedWhileThePasswordIsTypedIsRefused) {
    sandbox box;
    const std::string db = box.path("v.db");
    harness::make_database(box, db, {{"mine", "me", "l", "my-secret", "n"}});
    ASSERT_EQ(encrypt(box, "pw").err, "");
    const std::string container = read_file(db);

    box.env["KESP_TEST_STOP_AT"] = "locked";
    harness::pty_session s(box, {"-D", "v.db"});
    box.env.erase("KESP_TEST_STOP_AT");
    ASSERT_TRUE(s.expect("Password: "));
    s.type_line("pw");
    ASSERT_TRUE(s.wait_stopped());
    harness::write_file(db + "-wal", "log bytes");
    s.resume();
    harness::result r = s.finish();
    EXPECT_EQ(r.err, refusal(db + "-wal", "v.db"));
    EXPECT_TRUE(read_file(db) == container) << "the container changed";
    EXPECT_FALSE(harness::exists(box.pointer_file()));
}

// The journal a transaction leaves behind when its process dies before it
// ends: the original pages of `db`, which SQLite writes back into whatever
// file it finds the journal beside.
std::string hot_journal_of(const std::string &db) {
    harness::sqlite_ptr c = harness::open_sqlite(db);
    // Without syncs the journal's header is whole from the start; the page
    // of the schema and the page of the entries both go into it.
    EXPECT_EQ(sqlite3_exec(c.get(),
                           "pragma journal_mode=delete; pragma synchronous=off; begin;"
                           "create table t(x); update entries set notes = notes || 'x';",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    std::string journal = read_file(db + "-journal");
    sqlite3_exec(c.get(), "rollback;", nullptr, nullptr, nullptr);
    return journal;
}

TEST(SideFiles, APlantedHotJournalIsRefusedRatherThanRolledIn) {
    sandbox box;
    const std::string db = box.path("v.db");
    harness::make_database(box, db, {{"mine", "me", "l", "my-secret", "n"}});
    const std::string plain = read_file(db);
    ASSERT_EQ(encrypt(box, "pw").err, "");
    const std::string container = read_file(db);

    sandbox attacker;
    const std::string theirs = attacker.path("a.db");
    harness::make_database(attacker, theirs,
                           {{"bank", "me", "evil.example", "theirs-1", "n"},
                            {"mail", "me", "evil.example", "theirs-2", "n"}});
    const std::string journal = hot_journal_of(theirs);
    ASSERT_FALSE(journal.empty());

    // The journal is real: beside a copy of the person's plain database it
    // replaces every entry at the first read.
    {
        const std::string copy = attacker.path("copy.db");
        harness::write_file(copy, plain);
        harness::write_file(copy + "-journal", journal);
        EXPECT_EQ(harness::sql(copy, "select title from entries order by id;"), "bank\nmail\n");
    }

    harness::write_file(db + "-journal", journal);
    harness::result r = run_untyped(box, {"-D", "v.db"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, refusal(db + "-journal", "v.db"));
    EXPECT_TRUE(read_file(db) == container) << "the container changed";
    EXPECT_FALSE(harness::exists(box.pointer_file()));
    EXPECT_EQ(read_file(db + "-journal"), journal);

    // Once it is gone, the person's own entries come back.
    ASSERT_EQ(std::remove((db + "-journal").c_str()), 0);
    EXPECT_EQ(decrypt(box, "v.db", "pw").err, "");
    EXPECT_EQ(harness::sql(db, "select title, password from entries;"), "mine|my-secret\n");
}

// A note (a CSV someone was sent, say) whose text puts the container's
// magic exactly where a trailer would start: the file is still a plain
// database, listed as one and encrypted when asked.
TEST(Detection, TheMagicInANoteDoesNotMakeADatabaseAContainer) {
    sandbox box;
    const std::string db = box.path("v.db");
    std::string note;
    for (int i = 0; i < 100; ++i) note += "FuI3";
    for (std::size_t pad = 0;; ++pad) {
        ASSERT_LT(pad, 8u) << "no note put the magic in place";
        std::remove(db.c_str());
        harness::make_database(box, db, {{"sent", "me", "l", "pw", note + std::string(pad, '.')}});
        if (is_container(db)) break;
    }
    const std::string plain = read_file(db);

    harness::result r = box.run({"-A"});
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("sent"), std::string::npos);

    r = encrypt(box, "master");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(harness::exists(box.pointer_file()));
    EXPECT_EQ(read_file(db).size(), plain.size() + 148);
    EXPECT_EQ(read_file(db).find(note), std::string::npos) << "the note stayed in clear";

    EXPECT_EQ(decrypt(box, "v.db", "master").err, "");
    EXPECT_TRUE(read_file(db) == plain);
}

}  // namespace
