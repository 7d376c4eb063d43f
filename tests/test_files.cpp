// The file operations the store asks of the floor below it: none follows a
// symbolic link planted at the name it works on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "harness/harness.h"
#include "state/files.h"

namespace {

void make_file(const std::string &path, const char *bytes, mode_t mode) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(write_all(fd, bytes));
    ::close(fd);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

}  // namespace

TEST(PrivateMode, MakesARegularFilePrivate) {
    harness::scratch_dir dir;
    const std::string db = dir.file("kesp.db");
    make_file(db, "", 0644);
    testing::internal::CaptureStderr();
    set_private_mode(db.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(harness::file_mode(db), 0600);
}

TEST(PrivateMode, ALinkAtTheNameLeavesItsTargetAloneAndWarns) {
    harness::scratch_dir dir;
    const std::string other = dir.file("other"), db = dir.file("kesp.db");
    make_file(other, "someone's", 0644);
    ASSERT_EQ(::symlink(other.c_str(), db.c_str()), 0);
    testing::internal::CaptureStderr();
    set_private_mode(db.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "WARNING: Error changing permissions of file " + db + "\n");
    EXPECT_EQ(harness::file_mode(other), 0644);
}

TEST(EmptyJournal, OnlyAnEmptyRegularJournalGoes) {
    struct {
        const char *what;
        const char *bytes;  // nullptr: a link to an empty file; "/": a folder
        bool removed;
    } cases[] = {
        {"empty file", "", true},
        {"journal with data", "hot", false},
        {"link to an empty file", nullptr, false},
        {"folder", "/", false},
    };
    for (const auto &c : cases) {
        harness::scratch_dir dir;
        const std::string db = dir.file("kesp.db"), journal = db + "-journal";
        const std::string target = dir.file("target");
        make_file(target, "", 0600);
        if (c.bytes == nullptr)
            ASSERT_EQ(::symlink(target.c_str(), journal.c_str()), 0);
        else if (std::string(c.bytes) == "/")
            ASSERT_EQ(::mkdir(journal.c_str(), 0700), 0);
        else
            make_file(journal, c.bytes, 0600);
        remove_empty_journal(db);
        struct stat st;
        EXPECT_EQ(::lstat(journal.c_str(), &st) != 0, c.removed) << c.what;
        EXPECT_EQ(::lstat(target.c_str(), &st), 0) << c.what;
    }
    // Nothing of that name: nothing happens.
    harness::scratch_dir dir;
    remove_empty_journal(dir.file("kesp.db"));
}
