// What another process, or another user, does to the files kesp relies on
// while it works: each case changes the world at the moment that matters
// and checks the message and that nothing of the person's was touched.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "harness/harness.h"

namespace {

using harness::sandbox;

const char *const schema =
    "create table entries(id integer primary key, title text, user text, url text,"
    "password text, notes text,timestamp date default (datetime('now','localtime')));";

// The id of a process that has ended.
pid_t ended_process() {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

// -u to a plain database waits for nothing but the lock; if another kesp
// decrypted a database in that moment, that one stays active, since
// switching away would leave it in clear with nothing remembering it.
TEST(UseDb, ADatabaseDecryptedMeanwhileStaysActive) {
    sandbox box;
    const std::string first = box.path("first.db"), second = box.path("second.db");
    harness::make_database(box, first, {{"mail", "me", "", "pw", ""}});
    ASSERT_EQ(harness::encrypt(box, "pw").err, "");
    harness::sql(second, std::string(schema) + "insert into entries(title) values('x');");
    const std::string second_bytes = harness::read_file(second);

    box.env["KESP_TEST_STOP_AT"] = "before-lock";
    harness::pty_session use(box, {"-u", second});
    ASSERT_TRUE(use.wait_stopped());
    box.env.erase("KESP_TEST_STOP_AT");
    ASSERT_EQ(harness::decrypt(box, first, "pw").err, "");
    use.resume();
    auto r = use.finish();

    EXPECT_EQ(r.err, first + " became active meanwhile; nothing was changed.\n");
    EXPECT_EQ(harness::read_file(box.pointer_file()), first);
    EXPECT_FALSE(harness::is_container(first));
    EXPECT_EQ(harness::read_file(second), second_bytes);
}

// A symbolic link planted at ~/.kesp.lock is not followed: no file it
// names is created, locked or written (the lock file holds the holder's
// process id), and the command does nothing.
TEST(LockFile, ALinkInItsPlaceIsNotFollowed) {
    sandbox box;
    const std::string db = box.path("v.db");
    harness::make_database(box, db, {{"mail", "me", "", "pw", ""}});
    const std::string lock = box.home() + "/.kesp.lock";
    const std::string victim = box.root() + "/victim", nowhere = box.root() + "/nowhere";
    for (const std::string &target : {victim, nowhere}) {
        SCOPED_TRACE(target);
        harness::write_file(victim, "victim's own bytes\n");
        ::unlink(lock.c_str());
        ASSERT_EQ(::symlink(target.c_str(), lock.c_str()), 0);
        auto r = box.run({"-A"});
        EXPECT_EQ(r.err, "Unable to open the lock file " + lock +
                             ": Too many levels of symbolic links\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(harness::read_file(victim), "victim's own bytes\n");
        EXPECT_FALSE(harness::exists(nowhere));
        struct stat st;
        EXPECT_TRUE(::lstat(lock.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    }
}

// A new file left beside the database by a killed process is removed by
// the next encryption only when it is the user's own: a file of that name
// that belongs to someone else (here kesp runs as root, the file is
// nobody's) is not kesp's to delete.
TEST(StaleNewFile, OnlyTheUsersOwnIsRemoved) {
    if (::geteuid() != 0) GTEST_SKIP() << "making a file of another user needs root";
    const struct {
        uid_t owner;
        bool removed;
    } cases[] = {{0, true}, {65534, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.owner);
        sandbox box;
        const std::string db = box.path("v.db");
        harness::make_database(box, db, {{"mail", "me", "", "pw", ""}});
        const std::string left = db + ".new." + std::to_string(ended_process());
        harness::write_file(left, "someone's bytes");
        ASSERT_EQ(::chown(left.c_str(), c.owner, c.owner), 0);

        auto r = harness::encrypt(box, "pw");
        EXPECT_TRUE(harness::is_container(db));
        if (c.removed) {
            EXPECT_EQ(r.err, "Removed " + left + ", left behind by a process that was killed "
                             "while writing it.\n");
            EXPECT_FALSE(harness::exists(left));
        } else {
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(harness::read_file(left), "someone's bytes");
            struct stat st;
            EXPECT_TRUE(::stat(left.c_str(), &st) == 0 && st.st_uid == c.owner);
        }
    }
}

}  // namespace
