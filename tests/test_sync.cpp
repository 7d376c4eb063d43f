// kesp-sync end to end: two machines (two HOMEs, two clones) and a bare
// repository as their remote, git running kesp-merge as the merge driver
// with the password typed on a pseudo-terminal; what reaches the remote;
// and the refusals.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container/crypt.h"
#include "harness/harness.h"

namespace {

using harness::read_file;
using harness::sql;

const std::string syncer = harness::built_program("kesp-sync");
const std::string password = "correct horse";

const char *const schema =
    "create table entries(id integer primary key, title text, user text, url text,"
    "password text, notes text,timestamp date default (datetime('now','localtime')));";
const char *const all_rows =
    "select id,title,user,url,password,notes,timestamp from entries order by id;";

std::string quote(const std::string &word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string host_name() {
    char name[HOST_NAME_MAX + 1] = {};
    ::gethostname(name, sizeof name - 1);
    return name;
}

// One machine: a HOME with its own git identity, a working folder that
// holds the repository and the database passwords.db.
struct machine {
    explicit machine(const std::string &name) {
        harness::write_file(box.home() + "/.gitconfig",
                            "[user]\n\tname = " + name + "\n\temail = " + name +
                                "@example.org\n[init]\n\tdefaultBranch = main\n");
    }
    std::string db() const { return box.path("passwords.db"); }
    harness::result sync(const std::vector<std::string> &args = {}) const {
        return box.run_program(syncer, args);
    }
    harness::command_result git(const std::string &args) const {
        return harness::run_shell("HOME=" + quote(box.home()) + " git -C " + quote(box.work()) + " " +
                                  args + " 2>&1");
    }
    // Decrypted, changed with SQL, encrypted again, as kesp -D, a command
    // and kesp -E would.
    void edit(const std::string &statements) const {
        ASSERT_TRUE(decrypt_file(password.c_str(), db().c_str()));
        sql(db(), statements);
        ASSERT_TRUE(encrypt_file(password.c_str(), db().c_str()));
    }
    std::string rows() const {
        decrypted plain = decrypt_to_memory(password.c_str(), db().c_str());
        EXPECT_EQ(plain.status, decrypt_status::ok);
        if (plain.status != decrypt_status::ok) return "";
        const std::string copy = box.root() + "/plain-copy.db";
        harness::write_file(copy, std::string(reinterpret_cast<const char *>(plain.plain->data()),
                                              plain.plain->size()));
        std::string rows = sql(copy, all_rows);
        ::unlink(copy.c_str());
        return rows;
    }

    harness::sandbox box;
};

void make_container(const std::string &path) {
    sql(path, std::string(schema) +
                  "insert into entries values(1,'mail','alice','https://mail','pw','','2024-01-01 10:00:00'),"
                  "(2,'bank','alice','https://bank','1234','','2024-01-01 10:00:00'),"
                  "(3,'shop','bob','https://shop','s3','','2024-01-01 10:00:00');");
    ASSERT_TRUE(encrypt_file(password.c_str(), path.c_str()));
}

// The blobs of every object of the repository at `git_dir`.
std::vector<std::string> blobs_of(const std::string &git_dir) {
    auto list = harness::run_shell("git --git-dir=" + quote(git_dir) +
                                   " cat-file --batch-all-objects --batch-check='%(objectname) %(objecttype)'");
    std::vector<std::string> blobs;
    std::istringstream lines(list.output);
    for (std::string name, type; lines >> name >> type;)
        if (type == "blob")
            blobs.push_back(
                harness::run_shell("git --git-dir=" + quote(git_dir) + " cat-file blob " + name).output);
    return blobs;
}

// Every blob is a container or no database at all; returns how many were
// containers.
int containers_only(const std::string &git_dir) {
    int containers = 0;
    for (const std::string &blob : blobs_of(git_dir)) {
        const bool container = blob.size() >= 148 && blob.compare(blob.size() - 148, 4, "FuI3") == 0;
        containers += container;
        EXPECT_TRUE(container || blob.rfind("SQLite format 3", 0) != 0)
            << "a plain database in " << git_dir;
    }
    return containers;
}

class TwoMachines : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(harness::run_shell("git init -q --bare --initial-branch=main " + quote(remote)).status, 0);
        make_container(a.db());
        auto r = a.sync({"init", "passwords.db", remote});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "Ready: passwords.db is kept in the git repository " + a.box.work() +
                             " and sent to " + remote + ".\n");
        EXPECT_EQ(r.err, "");

        ASSERT_EQ(harness::run_shell("HOME=" + quote(b.box.home()) + " git clone -q " + quote(remote) +
                                     " " + quote(b.box.work()))
                      .status,
                  0);
        r = b.sync({"init", "passwords.db"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "Ready: passwords.db is kept in the git repository " + b.box.work() + ".\n");
        EXPECT_EQ(harness::file_mode(b.db()), 0600);
    }

    harness::scratch_dir dir;
    const std::string remote = dir.file("remote.git");
    machine a{"a"}, b{"b"};
};

TEST_F(TwoMachines, EditsOnBothSidesMeetAndNothingIsLost) {
    a.edit("update entries set password='from-a', timestamp='2024-02-01 10:00:00' where id=1;"
           "insert into entries values(4,'wiki','alice','https://wiki','w','','2024-02-01 11:00:00');");
    b.edit("update entries set password='from-b', notes='2fa', timestamp='2024-03-01 10:00:00' where id=1;"
           "delete from entries where id=3;"
           "insert into entries values(4,'news','carol','https://news','n','','2024-03-01 11:00:00');");

    auto r = a.sync();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Sent 1 change.\n");
    EXPECT_EQ(r.err, "");

    // B commits its edit, and git calls kesp-merge, which asks on B's
    // terminal. A wrong password first: nothing is merged, and B can try
    // again.
    const std::string b_before = read_file(b.db());
    // Without a terminal (a job started by cron, say) nothing can be asked.
    auto detached = b.box.run_program("/usr/bin/setsid", {"-w", syncer});
    EXPECT_EQ(detached.status, 1);
    EXPECT_NE(detached.err.find("No terminal to ask for the master password: No such device or address.\n"),
              std::string::npos)
        << detached.err;
    EXPECT_EQ(b.git("status --porcelain").output, "");
    {
        harness::pty_session s(b.box, {}, syncer);
        ASSERT_TRUE(s.expect_terminal("Master password: "));
        s.type_line("wrong");
        ASSERT_TRUE(s.expect_terminal("Password of the common ancestor: "));
        s.type_line("wrong again");
        auto failed = s.finish();
        EXPECT_EQ(failed.status, 1);
        EXPECT_EQ(failed.out, "");
        EXPECT_NE(failed.err.find("The merge could not be completed and was undone: passwords.db is as "
                                  "it was. Run kesp-sync again once the cause is fixed.\n"),
                  std::string::npos)
            << failed.err;
        EXPECT_EQ(read_file(b.db()), b_before);
        EXPECT_EQ(b.git("status --porcelain").output, "");
    }
    harness::pty_session s(b.box, {}, syncer);
    ASSERT_TRUE(s.expect_terminal("Master password: "));
    s.type_line(password);
    r = s.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Merged the other copy's changes and sent the result.\n");
    EXPECT_EQ(r.err, "Merged: 1 entry from the other copy, 0 removed, 1 conflict kept as entry 6.\n");
    EXPECT_EQ(r.terminal.find(password), std::string::npos);

    r = a.sync();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Received 1 change from the other copy.\n");
    r = a.sync();
    EXPECT_EQ(r.out, "Up to date.\n");

    const std::string expected =
        "1|mail|alice|https://mail|from-b|2fa|2024-03-01 10:00:00\n"
        "2|bank|alice|https://bank|1234||2024-01-01 10:00:00\n"
        "4|news|carol|https://news|n||2024-03-01 11:00:00\n"
        "5|wiki|alice|https://wiki|w||2024-02-01 11:00:00\n"
        "6|mail|alice|https://mail|from-a|kesp-merge: conflicting edit of entry 1 (mail) from the "
        "other copy|2024-02-01 10:00:00\n";
    EXPECT_EQ(a.rows(), expected);
    EXPECT_EQ(b.rows(), expected);
    EXPECT_EQ(harness::file_mode(a.db()), 0600);
    EXPECT_EQ(a.git("log -1 --format=%s HEAD^2").output, "kesp-sync from " + host_name() + "\n");

    // What went over the wire: containers only, every version of them.
    EXPECT_GE(containers_only(remote), 4);
    EXPECT_GE(containers_only(a.box.work() + "/.git"), 4);
}

TEST_F(TwoMachines, RefusesAPlainDatabaseBeforeAnythingIsStaged) {
    harness::write_file(b.box.pointer_file(), b.db());
    ASSERT_TRUE(decrypt_file(password.c_str(), b.db().c_str()));
    for (const auto &[pointer, says] :
         {std::pair{true, "passwords.db is the active database: encrypt it first with kesp -E.\n"},
          std::pair{false, "passwords.db is decrypted: encrypt it first with kesp -E.\n"}}) {
        if (!pointer) ::unlink(b.box.pointer_file().c_str());
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{}, {"passwords.db"}, {"init", "passwords.db"}}) {
            auto r = b.sync(args);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, says);
        }
    }
    EXPECT_EQ(b.git("status --porcelain").output, " M passwords.db\n");
    containers_only(b.box.work() + "/.git");

    // Committed by hand, it is refused by the hook (the merge hook is the same).
    auto commit = b.git("commit -q -a -m plain");
    EXPECT_NE(commit.status, 0);
    EXPECT_EQ(commit.output, "kesp-sync: passwords.db is not an encrypted kesp database; it is not "
                             "committed (encrypt it with kesp -E).\n");
    EXPECT_EQ(read_file(b.box.work() + "/.git/hooks/pre-merge-commit"),
              read_file(b.box.work() + "/.git/hooks/pre-commit"));
    ASSERT_TRUE(encrypt_file(password.c_str(), b.db().c_str()));
    EXPECT_EQ(b.git("commit -q -a -m encrypted").status, 0);
}

TEST_F(TwoMachines, GitsOwnErrorsAreShownAndNothingIsLost) {
    a.edit("update entries set notes='x' where id=2;");
    ASSERT_EQ(::rename(remote.c_str(), (remote + ".away").c_str()), 0);
    auto r = a.sync();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("fatal: '" + remote + "' does not appear to be a git repository\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("The other copy's changes were not merged; see git status.\n"),
              std::string::npos);
    ASSERT_EQ(::rename((remote + ".away").c_str(), remote.c_str()), 0);
    r = a.sync();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Sent 1 change.\n");

    // A clone that was never set up is told so.
    machine c{"c"};
    ASSERT_EQ(harness::run_shell("HOME=" + quote(c.box.home()) + " git clone -q " + quote(remote) + " " +
                                 quote(c.box.work()))
                  .status,
              0);
    r = c.sync();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "passwords.db is not set up for kesp-sync in " + c.box.work() +
                         ": run kesp-sync init passwords.db first.\n");
}

TEST(Sync, WithoutARemoteItOnlyCommits) {
    machine m{"m"};
    make_container(m.db());
    auto r = m.sync({"init", m.db()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Ready: " + m.db() + " is kept in the git repository " + m.box.work() + ".\n");
    EXPECT_EQ(read_file(m.box.path(".gitattributes")), "/passwords.db binary merge=kesp\n");
    EXPECT_EQ(m.git("config merge.kesp.driver").output, "kesp-merge %O %A %B\n");
    EXPECT_EQ(m.git("config core.sharedRepository").output, "0600\n");

    r = m.sync();
    EXPECT_EQ(r.out, "Up to date; the repository has no remote.\n");
    m.edit("delete from entries where id=2;");
    r = m.sync();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Committed 1 change; the repository has no remote to send it to.\n");
    EXPECT_EQ(m.git("log --format=%s").output,
              "kesp-sync from " + host_name() + "\nkesp-sync from " + host_name() + "\n");
    // Run again, init changes nothing.
    r = m.sync({"init", m.db()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(m.box.path(".gitattributes")), "/passwords.db binary merge=kesp\n");
    EXPECT_EQ(m.git("rev-list --count HEAD").output, "2\n");
}

TEST(Sync, MarksTheDatabaseFromTheTopOfTheRepository) {
    machine m{"m"};
    ASSERT_EQ(m.git("init -q").status, 0);
    ASSERT_EQ(::mkdir(m.box.path("my vault").c_str(), 0700), 0);
    const std::string db = m.box.path("my vault/pass words.db");
    make_container(db);
    harness::write_file(m.box.path("my vault/other.db"), "");
    auto r = m.sync({"init", "my vault/pass words.db"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(m.box.path(".gitattributes")), "\"/my vault/pass words.db\" binary merge=kesp\n");
    EXPECT_EQ(m.git("check-attr merge -- 'my vault/pass words.db' 'my vault/other.db'").output,
              "my vault/pass words.db: merge: kesp\nmy vault/other.db: merge: unspecified\n");
    // Found without being named, from anywhere in the repository.
    r = m.sync();
    EXPECT_EQ(r.out, "Up to date; the repository has no remote.\n") << r.err;
    // Names .gitattributes cannot hold are refused before anything changes.
    make_container(m.box.path("star*.db"));
    r = m.sync({"init", "star*.db"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "star*.db: kesp-sync cannot mark a name with a control character, a quote, a "
                     "backslash or one of * ? [ in .gitattributes; rename the file.\n");
}

TEST(Sync, ARemotePathIsTakenFromTheWorkingFolder) {
    machine m{"m"};
    ASSERT_EQ(harness::run_shell("git init -q --bare --initial-branch=main " + quote(m.box.path("remote.git"))).status, 0);
    ASSERT_EQ(::mkdir(m.box.path("vault").c_str(), 0700), 0);
    make_container(m.box.path("vault/passwords.db"));
    auto r = m.sync({"init", "vault/passwords.db", "remote.git"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(harness::run_shell("git -C " + quote(m.box.path("vault")) + " remote get-url origin").output,
              m.box.path("remote.git") + "\n");
    EXPECT_EQ(containers_only(m.box.path("remote.git")), 1);

    // A name refused in a folder that is no repository leaves none behind.
    ASSERT_EQ(::mkdir(m.box.path("other").c_str(), 0700), 0);
    make_container(m.box.path("other/a?.db"));
    r = m.sync({"init", "other/a?.db"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(harness::exists(m.box.path("other/.git")));
}

TEST(Sync, BadUsage) {
    machine m{"m"};
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"a.db", "b.db"}, {"init"}, {"init", "a", "b", "c"}, {"-x"}}) {
        auto r = m.sync(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("Usage: kesp-sync init DB [REMOTE]\n       kesp-sync [DB]\n"),
                  std::string::npos)
            << r.err;
    }
    auto r = m.sync({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: kesp-sync init DB [REMOTE]\n", 0), 0u);
}

}  // namespace
