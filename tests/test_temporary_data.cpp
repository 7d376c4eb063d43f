// The plaintext of a database never reaches a temporary file: on a database
// larger than SQLite's page cache, a sort (kesp -t), a VACUUM
// (kesp-history --forget-all) and a merge keep what they spill in memory,
// whether TMPDIR names a folder or SQLite falls back to /var/tmp.
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/harness.h"

namespace {

using harness::sandbox;

const std::string history_program = harness::built_program("kesp-history");
const std::string merge_program = harness::built_program("kesp-merge");

// The names of the files made in one folder while it is watched.
class creation_watch {
public:
    explicit creation_watch(const std::string &folder) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0 && ::inotify_add_watch(fd_, folder.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~creation_watch() {
        if (fd_ >= 0) ::close(fd_);
    }
    creation_watch(const creation_watch &) = delete;
    creation_watch &operator=(const creation_watch &) = delete;

    bool watching() const { return fd_ >= 0; }

    // What was made since the last call. SQLite removes a temporary file
    // as soon as it has opened it, so only its creation can be seen.
    std::vector<std::string> created() {
        std::vector<std::string> names;
        alignas(inotify_event) char events[16384];
        for (ssize_t n; (n = ::read(fd_, events, sizeof events)) > 0;) {
            for (char *at = events; at < events + n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(at);
                if (event->len > 0) names.emplace_back(event->name);
                at += sizeof(inotify_event) + event->len;
            }
        }
        return names;
    }

private:
    int fd_ = -1;
};

std::string joined(const std::vector<std::string> &names) {
    std::string all;
    for (const std::string &name : names) all += name + " ";
    return all;
}

// 3 000 entries of about 1.5 KB each: a sort of them all, or a copy of the
// whole file, exceeds the 2 MB that SQLite keeps in its page cache.
std::vector<harness::row> many_rows() {
    std::vector<harness::row> rows;
    const std::string notes(1400, 'n');
    for (int i = 0; i < 3000; ++i) {
        char number[8];
        std::snprintf(number, sizeof number, "%04d", i);
        // Ten timestamps in turn, so that the newest-first order really sorts.
        rows.emplace_back(std::string("site ") + number, "user", "https://example.org",
                          std::string("Secret-") + number + "-Qx7", notes,
                          "2024-01-0" + std::to_string(i % 9 + 1) + " 10:00:00");
    }
    return rows;
}

class TemporaryData : public testing::Test {
protected:
    void SetUp() override {
        harness::make_database(box, db, many_rows());
        struct stat st {};
        ASSERT_EQ(::stat(db.c_str(), &st), 0);
        ASSERT_GT(st.st_size, 4 * 1024 * 1024);
        original = harness::read_file(db);
        ASSERT_EQ(::mkdir(temporary.c_str(), 0700), 0);
    }

    // A fresh ancestor and two changed copies of the database for a merge.
    void prepare_merge() {
        harness::write_file(base, original);
        harness::write_file(ours, original);
        harness::write_file(theirs, original);
        harness::sql(ours, "update entries set password='ours' where id=1;");
        harness::sql(theirs, "update entries set notes='theirs' where id=2;");
    }

    struct command {
        const char *name;
        std::string program;
        std::vector<std::string> args;
        std::string input;
    };

    // Runs each command while `folder` is watched and fails for every one
    // that made a file there whose name `counts`.
    template <typename Filter>
    void expect_nothing_made_in(const std::string &folder, Filter counts) {
        prepare_merge();
        const std::vector<command> commands = {
            {"kesp -t", KESP_BINARY, {"-t"}, ""},
            {"kesp -F", KESP_BINARY, {"-F", "site.*"}, ""},
            // The first change adds the record of earlier versions.
            {"kesp -e", KESP_BINARY, {"-e", "1"}, "renamed\n\n\n\n"},
            {"kesp-history --forget-all", history_program, {"--forget-all"}, ""},
            {"kesp-merge", merge_program, {base, ours, theirs}, ""},
        };
        creation_watch watch(folder);
        ASSERT_TRUE(watch.watching()) << folder;
        for (const command &c : commands) {
            harness::result r = box.run_program(c.program, c.args, c.input);
            EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
            std::vector<std::string> made;
            for (const std::string &name : watch.created())
                if (counts(name)) made.push_back(name);
            EXPECT_TRUE(made.empty()) << c.name << " made in " << folder << ": " << joined(made);
        }
        // The commands did their work.
        EXPECT_EQ(harness::sql(db, "select title from entries where id=1;"), "renamed\n");
        EXPECT_EQ(harness::sql(db, "select count(*) from history;"), "0\n");
        EXPECT_EQ(harness::sql(ours, "select password, (select notes from entries where id=2) "
                                     "from entries where id=1;"),
                  "ours|theirs\n");
    }

    sandbox box;
    const std::string db = box.path("big.db");
    const std::string base = box.path("base.db"), ours = box.path("ours.db"),
                      theirs = box.path("theirs.db");
    const std::string temporary = box.root() + "/tmp";
    std::string original;
};

TEST_F(TemporaryData, NothingIsWrittenInTmpdir) {
    box.env["TMPDIR"] = temporary;
    // Every file counts but valgrind's own, when the suite runs the
    // programs under it: they hold nothing of the database.
    expect_nothing_made_in(temporary, [](const std::string &name) {
        return name.rfind("valgrind_proc_", 0) != 0 && name.rfind("vgdb-pipe-", 0) != 0;
    });
}

// Without TMPDIR SQLite turns to /var/tmp, which others write in as well:
// only the names SQLite gives its temporary files count there.
TEST_F(TemporaryData, NothingIsWrittenInVarTmpWithoutTmpdir) {
    if (::access("/var/tmp", W_OK | X_OK) != 0) GTEST_SKIP() << "/var/tmp is not writable";
    expect_nothing_made_in("/var/tmp", [](const std::string &name) {
        return name.rfind("etilqs_", 0) == 0;
    });
}

}  // namespace
