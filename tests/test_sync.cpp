// kesp-sync end to end: two machines (two HOMEs, two clones) and a bare
// repository as their remote, git running kesp-merge as the merge driver
// with the password typed on a pseudo-terminal; what reaches the remote;
// the refusals; and a third clone that plays an attacker who can push to
// the remote but knows no password.
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
    // kesp-sync on a terminal, the master password typed when asked.
    harness::result sync_typed(const std::vector<std::string> &args = {},
                               const std::string &typed = password) const {
        harness::pty_session s(box, args, syncer);
        if (!s.expect_terminal("Master password: ")) return s.finish();
        s.type_line(typed);
        return s.finish();
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

// Whether the kesp-merge built beside kesp-sync reads passwords from a
// descriptor, as kesp-sync hands them over; a merge needs it.
bool merge_driver_takes_passwords() {
    harness::sandbox box;
    auto r = box.run_program(harness::built_program("kesp-merge"), {"--password-fd", "0"});
    return r.err.find("unrecognized option") == std::string::npos;
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
        // Both inits only set the machines up: kesp-sync init runs under the
        // wrapper in the Sync tests.
        harness::setup_runs native_a(a.box), native_b(b.box);
        auto r = a.sync_typed({"init", "passwords.db", remote});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "Ready: passwords.db is kept in the git repository " + a.box.work() +
                             " and sent to " + remote + ".\n");
        EXPECT_EQ(r.err, "");

        ASSERT_EQ(harness::run_shell("HOME=" + quote(b.box.home()) + " git clone -q " + quote(remote) +
                                     " " + quote(b.box.work()))
                      .status,
                  0);
        r = b.sync_typed({"init", "passwords.db"});
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

    // B's edit meets A's: kesp-sync asks for the master password on B's
    // terminal. A wrong password first: nothing is committed or merged, and
    // B can try again.
    const std::string b_before = read_file(b.db());
    // Without a terminal (a job started by cron, say) nothing can be asked.
    auto detached = b.box.run_program("/usr/bin/setsid", {"-w", syncer});
    EXPECT_EQ(detached.status, 1);
    EXPECT_EQ(detached.err,
              "No terminal to ask for the master password: No such device or address.\n");
    EXPECT_EQ(b.git("status --porcelain").output, " M passwords.db\n");
    {
        harness::pty_session s(b.box, {}, syncer);
        ASSERT_TRUE(s.expect_terminal("Master password: "));
        s.type_line("wrong");
        auto failed = s.finish();
        EXPECT_EQ(failed.status, 1);
        EXPECT_EQ(failed.out, "");
        EXPECT_EQ(failed.err, "Wrong master password for passwords.db; nothing was changed.\n");
        EXPECT_EQ(read_file(b.db()), b_before);
        EXPECT_EQ(b.git("status --porcelain").output, " M passwords.db\n");
    }
    if (!merge_driver_takes_passwords())
        GTEST_SKIP() << "kesp-merge does not take --password-fd yet";
    harness::pty_session s(b.box, {}, syncer);
    ASSERT_TRUE(s.expect_terminal("Master password: "));
    s.type_line(password);
    r = s.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Merged the other copy's changes and sent the result.\n");
    EXPECT_EQ(r.err, "Merged: 1 entry from the other copy, 0 removed, 1 conflict kept as entry 6.\n");
    EXPECT_EQ(r.terminal.find(password), std::string::npos);

    // B's merge gave A's wiki the id after B's news: A is told which.
    harness::pty_session again(a.box, {}, syncer);
    ASSERT_TRUE(again.expect_terminal("Master password: "));
    again.type_line(password);
    r = again.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Received 1 change from the other copy; entry 4 (wiki) is now 5.\n");
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

    // Committed by hand, it is stopped by the clean filter before git
    // stores it, and by the hook when the filter is bypassed (the merge hook
    // is the same).
    auto commit = b.git("commit -q -a -m plain");
    EXPECT_NE(commit.status, 0);
    EXPECT_EQ(commit.output.rfind("kesp-sync: passwords.db is not an encrypted kesp database; git "
                                  "does not store it (encrypt it with kesp -E).\n", 0),
              0u)
        << commit.output;
    EXPECT_NE(commit.output.find("fatal: passwords.db: clean filter 'kesp' failed\n"),
              std::string::npos);
    containers_only(b.box.work() + "/.git");
    commit = b.git("-c filter.kesp.clean=cat commit -q -a -m plain");
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
    EXPECT_NE(r.err.find("The other copy could not be fetched; nothing was changed.\n"),
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
    auto r = m.sync_typed({"init", m.db()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Ready: " + m.db() + " is kept in the git repository " + m.box.work() + ".\n");
    EXPECT_EQ(read_file(m.box.path(".gitattributes")),
              "/passwords.db binary merge=kesp filter=kesp\n");
    EXPECT_EQ(m.git("config merge.kesp.driver").output, "kesp-merge %O %A %B\n");
    EXPECT_EQ(m.git("config core.sharedRepository").output, "0600\n");
    EXPECT_EQ(m.git("config --local kesp.database").output, "passwords.db\n");
    EXPECT_EQ(m.git("config filter.kesp.required").output, "true\n");
    EXPECT_EQ(m.git("config filter.kesp.clean").output,
              quote(syncer) + " --clean-filter %f\n");

    // A program that moved, and a hook of an older kesp-sync, are brought
    // up to date by every run.
    const std::string hook = m.box.path(".git/hooks/pre-commit");
    const std::string current_hook = read_file(hook);
    ASSERT_EQ(m.git("config filter.kesp.clean '/gone/kesp-sync --clean-filter %f'").status, 0);
    harness::write_file(hook, "#!/bin/sh\n# kesp-sync: a kesp database (merge=kesp in "
                              ".gitattributes)\nexit 0\n");
    r = m.sync();
    EXPECT_EQ(r.out, "Up to date; the repository has no remote.\n");
    EXPECT_EQ(m.git("config filter.kesp.clean").output, quote(syncer) + " --clean-filter %f\n");
    EXPECT_EQ(read_file(hook), current_hook);
    m.edit("delete from entries where id=2;");
    r = m.sync();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Committed 1 change; the repository has no remote to send it to.\n");
    EXPECT_EQ(m.git("log --format=%s").output,
              "kesp-sync from " + host_name() + "\nkesp-sync from " + host_name() + "\n");
    // Run again, init changes nothing.
    r = m.sync_typed({"init", m.db()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(m.box.path(".gitattributes")),
              "/passwords.db binary merge=kesp filter=kesp\n");
    EXPECT_EQ(m.git("rev-list --count HEAD").output, "2\n");
}

TEST(Sync, MarksTheDatabaseFromTheTopOfTheRepository) {
    machine m{"m"};
    ASSERT_EQ(m.git("init -q").status, 0);
    ASSERT_EQ(::mkdir(m.box.path("my vault").c_str(), 0700), 0);
    const std::string db = m.box.path("my vault/pass words.db");
    make_container(db);
    harness::write_file(m.box.path("my vault/other.db"), "");
    auto r = m.sync_typed({"init", "my vault/pass words.db"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(m.box.path(".gitattributes")),
              "\"/my vault/pass words.db\" binary merge=kesp filter=kesp\n");
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
    auto r = m.sync_typed({"init", "vault/passwords.db", "remote.git"});
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

TEST(Sync, ACloneOfANewRemoteChecksTheDatabaseOut) {
    machine m{"m"};
    // The remote's default branch is not the one the database is on.
    const std::string remote = m.box.path("remote.git");
    ASSERT_EQ(
        harness::run_shell("git init -q --bare --initial-branch=trunk " + quote(remote)).status, 0);
    ASSERT_EQ(::mkdir(m.box.path("vault").c_str(), 0700), 0);
    make_container(m.box.path("vault/passwords.db"));
    auto r = m.sync_typed({"init", "vault/passwords.db", "remote.git"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(harness::run_shell("HOME=" + quote(m.box.home()) + " git clone -q " + quote(remote) +
                                 " " + quote(m.box.path("clone")))
                  .status,
              0);
    EXPECT_TRUE(read_file(m.box.path("clone/passwords.db")) ==
                read_file(m.box.path("vault/passwords.db")));
}

TEST(Sync, InitMakesNoRepositoryOfTheHomeFolder) {
    machine m{"m"};
    const std::string db = m.box.home() + "/passwords.db";
    make_container(db);
    auto r = m.sync({"init", db});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kesp-sync would make your home folder a git repository: put " + db +
                         " in a folder of its own (mkdir ~/vault, say, and move it there), then "
                         "run kesp-sync init on it there.\n");
    EXPECT_FALSE(harness::exists(m.box.home() + "/.git"));
}

TEST_F(TwoMachines, WhatAKilledMergeLeftIsRemoved) {
    harness::write_file(a.box.path(".merge_file_Xy12Ab"), "a copy git handed to kesp-merge");
    harness::write_file(dir.file("kept"), "not git's");
    ASSERT_EQ(::symlink(dir.file("kept").c_str(), a.box.path(".merge_file_link").c_str()), 0);
    auto r = a.sync();
    EXPECT_EQ(r.out, "Up to date.\n") << r.err;
    EXPECT_FALSE(harness::exists(a.box.path(".merge_file_Xy12Ab")));
    EXPECT_TRUE(harness::exists(a.box.path(".merge_file_link")));
    EXPECT_EQ(read_file(dir.file("kept")), "not git's");
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

// The remote as an attacker who can push but knows no password: a clone of
// the remote of their own, whatever they commit sent there.
struct attacker : machine {
    explicit attacker(const std::string &remote) : machine("eve") {
        EXPECT_EQ(harness::run_shell("HOME=" + quote(box.home()) + " git clone -q " + quote(remote) +
                                     " " + quote(box.work()))
                      .status,
                  0);
    }
    // Commits everything as it stands, bypassing hooks and filters of any
    // kind (the attacker runs no kesp-sync), and pushes it.
    void push(const std::string &message) const {
        ASSERT_EQ(git("-c core.hooksPath=/dev/null add -A").status, 0);
        auto r = git("-c core.hooksPath=/dev/null commit -q -m " + quote(message));
        ASSERT_EQ(r.status, 0) << r.output;
        r = git("push -q -f origin HEAD:main");
        ASSERT_EQ(r.status, 0) << r.output;
    }
    std::string head() const { return git("rev-parse HEAD").output.substr(0, 12); }
};

// What the person has: the database's bytes, the commit, the attributes.
struct snapshot {
    explicit snapshot(const machine &m)
        : db(read_file(m.db())), head(m.git("rev-parse HEAD").output),
          attributes(read_file(m.box.path(".gitattributes"))) {}
    bool operator==(const snapshot &) const = default;
    std::string db, head, attributes;
};

const std::string refused = ": kesp-sync refuses it and changed nothing.\n";

TEST_F(TwoMachines, ATreeFromTheRemoteIsCheckedBeforeTheWorkingFileChanges) {
    attacker eve(remote);
    const std::string base = eve.git("rev-parse HEAD").output;
    harness::write_file(dir.file("outside"), "not the attacker's to change\n");
    ASSERT_EQ(::chmod(dir.file("outside").c_str(), 0644), 0);
    const struct {
        const char *name;
        std::string shell;  // run in the attacker's clone before the push
        std::string says;   // after "The other copy (commit X) "
    } cases[] = {
        {"journal", "printf 'SQLite journal' > passwords.db-journal",
         "tracks passwords.db-journal, a side file of SQLite that no encrypted database has"},
        {"wal", "printf wal > passwords.db-wal",
         "tracks passwords.db-wal, a side file of SQLite that no encrypted database has"},
        {"eol", "echo '/passwords.db eol=crlf' >> .gitattributes",
         "gives passwords.db the attribute eol=crlf, which would change its bytes"},
        {"text", "echo '/passwords.db text' >> .gitattributes",
         "gives passwords.db the attribute text, which would change its bytes"},
        {"ident", "echo '*.db ident' >> .gitattributes",
         "gives passwords.db the attribute ident, which would change its bytes"},
        // The index is first made to hold the database as not racily clean,
        // so that git add does not read it again through the new encoding
        // (which fails for bytes with no byte order mark).
        {"encoding",
         "touch -d @946684800 passwords.db && git update-index -q --refresh && "
         "echo '/passwords.db working-tree-encoding=UTF-16' >> .gitattributes",
         "gives passwords.db the attribute working-tree-encoding=UTF-16, which would change its "
         "bytes"},
        {"filter", "echo '/passwords.db filter=evil' >> .gitattributes",
         "gives passwords.db the attribute filter=evil, not kesp-sync's filter=kesp"},
        {"merge", "echo '/passwords.db merge=binary' >> .gitattributes",
         "does not mark passwords.db \"binary merge=kesp\" (it has binary merge=binary)"},
        {"re-pointed",
         "printf x > decoy.db && echo '/decoy.db binary merge=kesp' >> .gitattributes",
         "marks decoy.db merge=kesp too, where only passwords.db is kesp-sync's database"},
        {"symlink", "rm passwords.db && ln -s " + quote(dir.file("outside")) + " passwords.db",
         "holds passwords.db with mode 120000 (a symbolic link), not 100644"},
        {"executable", "chmod 755 passwords.db",
         "holds passwords.db with mode 100755, not 100644"},
        {"removed", "rm passwords.db", "holds no passwords.db"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(eve.git("reset -q --hard " + base).status, 0);
        ASSERT_EQ(harness::run_shell("cd " + quote(eve.box.work()) + " && " + c.shell).status, 0);
        eve.push(c.name);
        const snapshot before(a);
        auto r = a.sync();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "The other copy (commit " + eve.head() + ") " + c.says + refused);
        EXPECT_TRUE(snapshot(a) == before);
        EXPECT_EQ(a.git("status --porcelain").output, "");
        EXPECT_EQ(harness::file_mode(dir.file("outside")), 0644);
        EXPECT_FALSE(harness::exists(a.box.path("passwords.db-journal")));
        EXPECT_EQ(a.rows(), b.rows());
    }
    // Nothing of the person's reached the remote: every container there
    // is the one init sent or the attacker's own files.
    EXPECT_EQ(containers_only(remote), 1);
}

TEST_F(TwoMachines, APlainCopyFromTheRemoteIsNeitherTakenNorMerged) {
    attacker eve(remote);
    const std::string base = eve.git("rev-parse HEAD").output;
    for (const bool planted : {false, true}) {
        for (const bool changed_here : {false, true}) {
            SCOPED_TRACE(std::string(planted ? "magic planted" : "plain") +
                         (changed_here ? ", changed here too" : ""));
            // The attacker's own entries, with the magic where a trailer
            // would start.
            ASSERT_EQ(eve.git("reset -q --hard " + base).status, 0);
            ::unlink(eve.db().c_str());
            sql(eve.db(), std::string(schema) + "insert into entries values(1,'mail','alice',"
                                                "'https://evil','taken','" +
                              std::string(2000, 'n') + "','2030-01-01');");
            if (planted) {
                std::string bytes = read_file(eve.db());
                bytes.replace(bytes.size() - 148, 4, "FuI3");
                harness::write_file(eve.db(), bytes);
            }
            eve.push("entries");
            if (changed_here) a.edit("update entries set notes='mine' where id=2;");
            const snapshot before(a);
            auto r = a.sync();
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "The other copy's passwords.db is not encrypted: kesp-sync takes only "
                             "an encrypted copy and changed nothing.\n");
            EXPECT_TRUE(snapshot(a) == before);
            EXPECT_EQ(a.rows().find("evil"), std::string::npos);
        }
    }
}

TEST_F(TwoMachines, ThisRepositorysOwnTreeIsCheckedToo) {
    const struct {
        const char *name;
        std::string shell;  // run in A's working folder
        std::string says;
    } cases[] = {
        {"eol", "echo '/passwords.db eol=crlf' >> .git/info/attributes",
         "This repository gives passwords.db the attribute eol=crlf, which would change its bytes" +
             refused},
        {"crlf", "echo 'passwords.db crlf' >> .git/info/attributes",
         "This repository gives passwords.db the attribute crlf, which would change its bytes" +
             refused},
        {"journal",
         "printf j > passwords.db-journal &&"
         " git -c core.hooksPath=/dev/null add passwords.db-journal",
         "This repository tracks passwords.db-journal, a side file of SQLite that no encrypted "
         "database has" + refused},
        {"re-pointed", "echo '/other.db binary merge=kesp' >> .gitattributes && printf x > other.db"
                       " && git add other.db",
         "This repository marks other.db merge=kesp too, where only passwords.db is kesp-sync's "
         "database" + refused},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(harness::run_shell("cd " + quote(a.box.work()) + " && HOME=" +
                                     quote(a.box.home()) + " sh -c " + quote(c.shell))
                      .status,
                  0);
        auto r = a.sync();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.says);
        // Named or not, the database is the one init recorded.
        r = a.sync({"passwords.db"});
        EXPECT_EQ(r.err, c.says);
        ASSERT_EQ(a.git("reset -q --hard").status, 0);
        ASSERT_EQ(harness::run_shell("cd " + quote(a.box.work()) +
                                     " && rm -f other.db passwords.db-journal" +
                                     " && : > .git/info/attributes")
                      .status,
                  0);
    }
    auto r = a.sync();
    EXPECT_EQ(r.out, "Up to date.\n") << r.err;
    // A file that init did not record is not taken for the database.
    make_container(a.box.path("other.db"));
    r = a.sync({"other.db"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "The database of kesp-sync in " + a.box.work() +
                         " is passwords.db, not other.db.\n");
}

TEST_F(TwoMachines, AnOldContainerSentAgainIsARollback) {
    const std::string first = a.git("rev-parse HEAD").output.substr(0, 12);
    a.edit("update entries set password='newer' where id=2;");
    ASSERT_EQ(a.sync().status, 0);
    const std::string second = a.git("rev-parse HEAD").output.substr(0, 12);
    ASSERT_EQ(b.sync_typed().out, "Received 1 change from the other copy.\n");

    // The attacker commits the authentic first container on top.
    attacker eve(remote);
    ASSERT_EQ(eve.git("checkout -q " + first + " -- passwords.db").status, 0);
    eve.push("an update");
    for (machine *m : {&a, &b}) {
        const snapshot before(*m);
        auto r = m->sync();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "The other copy's passwords.db is the version of commit " + first +
                             ", which commit " + second +
                             " replaced: an old copy sent again would roll the database back. "
                             "Nothing was changed; passwords.db keeps its newer version. To send "
                             "it over the old one, run git merge -s ours " + eve.head() +
                             ", then kesp-sync again.\n");
        EXPECT_TRUE(snapshot(*m) == before);
        EXPECT_NE(m->rows().find("|newer|"), std::string::npos);
    }
    // Also with a change of the person's waiting: it stays uncommitted.
    a.edit("update entries set notes='kept' where id=3;");
    auto r = a.sync();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(a.git("status --porcelain").output, " M passwords.db\n");

    // The way on that the message gives: the newer version goes over it.
    ASSERT_EQ(a.git("merge -q -s ours " + eve.head()).status, 0);
    r = a.sync();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Sent 1 change.\n");
    r = b.sync_typed();
    EXPECT_EQ(r.out, "Received 2 changes from the other copy.\n") << r.err;
    EXPECT_EQ(b.rows(), a.rows());
    EXPECT_NE(b.rows().find("|kept|"), std::string::npos);
}

TEST_F(TwoMachines, ACopyThatKeptTheCommonVersionIsNoRollback) {
    // A's change is committed but not sent yet; B changes another file.
    a.edit("update entries set notes='a' where id=1;");
    ASSERT_EQ(a.git("commit -q -a -m unsent").status, 0);
    harness::write_file(b.box.path("notes.txt"), "b's notes\n");
    ASSERT_EQ(b.git("add notes.txt").status, 0);
    ASSERT_EQ(b.git("commit -q -m notes").status, 0);
    ASSERT_EQ(b.git("push -q").status, 0);
    const std::string mine = read_file(a.db());
    auto r = a.sync();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Merged the other copy's changes and sent the result.\n");
    EXPECT_EQ(read_file(a.db()), mine);
}

TEST_F(TwoMachines, NoLockIsHeldWhileAPasswordIsAsked) {
    a.edit("update entries set notes='a' where id=1;");
    ASSERT_EQ(a.sync().status, 0);
    // The other copy's password changed: it is asked for once.
    ASSERT_TRUE(decrypt_file(password.c_str(), a.db().c_str()));
    ASSERT_TRUE(encrypt_file("another one", a.db().c_str()));
    ASSERT_EQ(a.sync().status, 0);
    b.edit("update entries set notes='b' where id=2;");
    const snapshot before(b);

    harness::pty_session s(b.box, {}, syncer);
    ASSERT_TRUE(s.expect_terminal("Master password: "));
    // kesp in another terminal is not kept waiting by a prompt.
    const std::string lock_free = "flock -n " + quote(b.box.home() + "/.kesp.lock") + " true";
    EXPECT_EQ(harness::run_shell(lock_free).status, 0);
    s.type_line(password);
    ASSERT_TRUE(s.expect_terminal("Password of the other copy: "));
    EXPECT_EQ(harness::run_shell(lock_free).status, 0);
    s.type_line("not it either");
    auto r = s.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "The master password does not open the other copy of passwords.db.\n"
                     "kesp-sync refuses the other copy of passwords.db (commit " +
                         b.git("rev-parse FETCH_HEAD").output.substr(0, 12) +
                         "): it opens neither with the master password nor with the password "
                         "typed for it; nothing was changed.\n");
    EXPECT_TRUE(snapshot(b) == before);
    // The copy of the other container was removed from the git folder.
    EXPECT_EQ(
        harness::run_shell("ls " + quote(b.box.work() + "/.git") + " | grep -c kesp-sync").output,
        "0\n");
}

TEST_F(TwoMachines, ThePasswordsReachTheMergeDriverThroughAPipeUnderTheLock) {
    // kesp-sync runs the kesp-merge beside it: here a stand-in that notes
    // what it was given and fails, so that the merge is undone.
    harness::scratch_dir programs;
    const std::string copy = programs.file("kesp-sync"), log = programs.file("log");
    ASSERT_EQ(harness::run_shell("cp " + quote(syncer) + " " + quote(copy)).status, 0);
    harness::write_file(programs.file("kesp-merge"),
                        "#!/bin/sh\n"
                        "log=" + quote(log) + "\n"
                        "printf '%s\\n' \"$*\" > \"$log.args\"\n"
                        "env > \"$log.env\"\n"
                        "eval \"cat <&$2\" | tr '\\000' '\\n' > \"$log.pipe\"\n"
                        "flock -n \"$HOME/.kesp.lock\" true; echo $? > \"$log.lock\"\n"
                        "eval \"flock -n $4\"; echo $? >> \"$log.lock\"\n"
                        "exit 1\n");
    ASSERT_EQ(::chmod(programs.file("kesp-merge").c_str(), 0755), 0);
    a.edit("update entries set notes='a' where id=1;");
    ASSERT_EQ(a.sync().status, 0);
    b.edit("update entries set notes='b' where id=2;");
    const snapshot before(b);

    harness::pty_session s(b.box, {}, copy);
    ASSERT_TRUE(s.expect_terminal("Master password: "));
    s.type_line(password);
    auto r = s.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("The merge could not be completed and was undone: passwords.db is as it "
                         "was. Run kesp-sync again once the cause is fixed.\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(read_file(log + ".pipe"), password + "\n");
    const std::string args = read_file(log + ".args");
    EXPECT_EQ(args.find(password), std::string::npos);
    EXPECT_NE(args.find(" --name passwords.db "), std::string::npos) << args;
    EXPECT_EQ(read_file(log + ".env").find(password), std::string::npos);
    // Another program waits for the lock; the lock's descriptor is ours.
    EXPECT_EQ(read_file(log + ".lock"), "1\n0\n");
    EXPECT_EQ(b.git("log -1 --format=%s").output, "kesp-sync from " + host_name() + "\n");
    EXPECT_EQ(read_file(b.db()), before.db);
}

TEST_F(TwoMachines, NoPlainDatabaseReachesTheObjectStore) {
    ASSERT_TRUE(decrypt_file(password.c_str(), b.db().c_str()));
    // git stash and git add run the clean filter, which stores nothing.
    for (const char *command : {"stash -q", "add passwords.db", "stash push -q -- passwords.db"}) {
        SCOPED_TRACE(command);
        auto r = b.git(command);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(r.output.rfind("kesp-sync: passwords.db is not an encrypted kesp database; git "
                                 "does not store it (encrypt it with kesp -E).\n", 0),
                  0u)
            << r.output;
    }
    EXPECT_NE(b.git("rev-parse -q --verify refs/stash").status, 0);
    EXPECT_EQ(harness::is_container(b.db()), false);
    containers_only(b.box.work() + "/.git");

    // The hook catches what gets past a bypassed filter: a plain database
    // that holds the magic where a trailer starts, and a side file.
    sql(b.db(), "insert into entries values(9,'x','y','z','w','" + std::string(3000, 'n') +
                    "','2024-01-01');");
    std::string plain = read_file(b.db());
    plain.replace(plain.size() - 148, 4, "FuI3");
    harness::write_file(b.db(), plain);
    auto r = b.git("-c filter.kesp.clean=cat commit -q -a -m plain");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.output, "kesp-sync: passwords.db is not an encrypted kesp database; it is not "
                        "committed (encrypt it with kesp -E).\n");
    ASSERT_TRUE(encrypt_file(password.c_str(), b.db().c_str()));
    harness::write_file(b.box.path("passwords.db-shm"), "shm");
    r = b.git("add passwords.db-shm");
    ASSERT_EQ(r.status, 0) << r.output;
    r = b.git("commit -q -m side");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.output, "kesp-sync: passwords.db-shm is a side file of SQLite, which no encrypted "
                        "database has; it is not committed (git rm --cached it).\n");
}

TEST(Sync, InitRefusesAHistoryWithAPlainDatabase) {
    machine m{"m"};
    harness::scratch_dir dir;
    const std::string remote = dir.file("remote.git");
    ASSERT_EQ(
        harness::run_shell("git init -q --bare --initial-branch=main " + quote(remote)).status, 0);
    ASSERT_EQ(m.git("init -q").status, 0);
    sql(m.db(), std::string(schema) + "insert into entries values(1,'t','u','l','secret','','');");
    ASSERT_EQ(m.git("add passwords.db").status, 0);
    ASSERT_EQ(m.git("commit -q -m start").status, 0);
    const std::string plain_commit = m.git("rev-parse HEAD").output.substr(0, 12);
    ASSERT_TRUE(encrypt_file(password.c_str(), m.db().c_str()));
    ASSERT_EQ(m.git("commit -q -a -m encrypted").status, 0);

    auto r = m.sync_typed({"init", "passwords.db", remote});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Commit " + plain_commit + " of the history of " + m.box.work() +
                         " holds passwords.db not encrypted: sending the history would send it. "
                         "Start a clean history: move the folder .git away (keep it until the new "
                         "one is sent), run kesp-sync init passwords.db again, and send it to a "
                         "new, empty remote.\n");
    EXPECT_TRUE(blobs_of(remote).empty());
    EXPECT_NE(m.git("remote get-url origin").status, 0);

    // The way on it gives.
    ASSERT_EQ(::rename(m.box.path(".git").c_str(), m.box.path(".git.old").c_str()), 0);
    r = m.sync_typed({"init", "passwords.db", remote});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(containers_only(remote), 1);
}

TEST(Sync, ARepositoryOfAnOlderInitIsUpgradedByInit) {
    machine m{"m"};
    make_container(m.db());
    ASSERT_EQ(m.sync_typed({"init", "passwords.db"}).status, 0);
    // As the init before the filter left it.
    harness::write_file(m.box.path(".gitattributes"), "/passwords.db binary merge=kesp\n");
    ASSERT_EQ(m.git("commit -q -a -m older").status, 0);
    for (const char *key : {"kesp.database", "filter.kesp.clean", "filter.kesp.smudge",
                            "filter.kesp.required"})
        ASSERT_EQ(m.git(std::string("config --unset ") + key).status, 0);
    auto r = m.sync();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "passwords.db was set up by an older kesp-sync, without the filter that "
                     "keeps a decrypted database out of git: run kesp-sync init passwords.db "
                     "again.\n");
    r = m.sync_typed({"init", "passwords.db"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(m.box.path(".gitattributes")),
              "/passwords.db binary merge=kesp filter=kesp\n");
    r = m.sync();
    EXPECT_EQ(r.out, "Up to date; the repository has no remote.\n") << r.err;
}

TEST(Sync, TheCleanFilterPassesOnlyAContainer) {
    machine m{"m"};
    make_container(m.db());
    const std::string container = read_file(m.db());
    ASSERT_TRUE(decrypt_file(password.c_str(), m.db().c_str()));
    std::string plain = read_file(m.db());
    std::string planted = plain;
    planted.replace(planted.size() - 148, 4, "FuI3");
    const std::string fails = "kesp-sync: x.db is not an encrypted kesp database; git does not "
                              "store it (encrypt it with kesp -E).\n";
    const struct {
        const char *name;
        std::string in;
        int status;
        std::string out, err;
    } cases[] = {
        {"container", container, 0, container, ""},
        {"plain", plain, 1, "", fails},
        {"magic in a plain page", planted, 1, "", fails},
        {"empty", "", 1, "", fails},
        {"short", "FuI3", 1, "", fails},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto r = m.box.run_program(syncer, {"--clean-filter", "x.db"}, c.in);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(r.out == c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

}  // namespace

namespace {

const std::string renumbered_rows =
    "1|mail|alice|https://mail|pw||2024-01-01 10:00:00\n"
    "2|bank|alice|https://bank|1234||2024-01-01 10:00:00\n"
    "3|shop|bob|https://shop|s3||2024-01-01 10:00:00\n"
    "4|laptop-only|alice|https://laptop|l||2024-04-01 10:00:00\n"
    "5|desktop-only|bob|https://desktop|d||2024-03-01 10:00:00\n"
    "6|desktop-too|bob|https://desktop2|d2||2024-03-01 11:00:00\n";

// B adds entries 4 and 5 and sends them; A, which added its own 4 in the
// meantime, merges them: A keeps its ids, B's entries become 5 and 6 there,
// and here once B takes A's result.
class Renumbered : public TwoMachines {
protected:
    void SetUp() override {
        TwoMachines::SetUp();
        if (!merge_driver_takes_passwords()) GTEST_SKIP() << "kesp-merge takes no passwords";
        // The state the tests start from; a merge that renumbers runs under
        // the wrapper in EditsOnBothSidesMeetAndNothingIsLost.
        harness::setup_runs native_a(a.box), native_b(b.box);
        b.edit("insert into entries values"
               "(4,'desktop-only','bob','https://desktop','d','','2024-03-01 10:00:00'),"
               "(5,'desktop-too','bob','https://desktop2','d2','','2024-03-01 11:00:00');");
        ASSERT_EQ(b.sync().out, "Sent 1 change.\n");
        a.edit("insert into entries values"
               "(4,'laptop-only','alice','https://laptop','l','','2024-04-01 10:00:00');");
        harness::pty_session s(a.box, {}, syncer);
        ASSERT_TRUE(s.expect_terminal("Master password: "));
        s.type_line(password);
        auto r = s.finish();
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "Merged the other copy's changes and sent the result.\n");
        // The merge commit names the ids it gave, and nothing else.
        EXPECT_EQ(a.git("log -1 --format=%B").output,
                  "Merge the other copy of passwords.db\n\nKesp-Renumbered: 4>5 5>6\n\n");
        ASSERT_EQ(a.rows(), renumbered_rows);
    }
};

TEST_F(Renumbered, TheMachineThatTakesTheMergeNamesTheEntriesThatMoved) {
    harness::pty_session s(b.box, {}, syncer);
    ASSERT_TRUE(s.expect_terminal("Master password: "));
    s.type_line(password);
    auto r = s.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Received 1 change from the other copy; entry 4 (desktop-only) is now 5, "
                     "entry 5 (desktop-too) is now 6.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(b.rows(), renumbered_rows);
    // Told once: the next sync has nothing to say about ids.
    r = b.sync();
    EXPECT_EQ(r.out, "Up to date.\n");
    EXPECT_EQ(r.err, "");
}

// What comes from the other copy is taken only once the master password
// shows it to be this database: without it, nothing is taken.
TEST_F(Renumbered, WithoutTheMasterPasswordNothingIsTaken) {
    const std::string rows = b.rows();
    const snapshot before(b);
    {
        SCOPED_TRACE("Ctrl-D at the prompt");
        harness::pty_session s(b.box, {}, syncer);
        ASSERT_TRUE(s.expect_terminal("Master password: "));
        s.type_eof();
        auto r = s.finish();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
    }
    {
        SCOPED_TRACE("a wrong password");
        harness::pty_session s(b.box, {}, syncer);
        ASSERT_TRUE(s.expect_terminal("Master password: "));
        s.type_line("wrong");
        auto r = s.finish();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Wrong master password for passwords.db; nothing was changed.\n");
    }
    {
        SCOPED_TRACE("no terminal");
        auto r = b.box.run_program("/usr/bin/setsid", {"-w", syncer});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "No terminal to ask for the master password: No such device or address.\n");
    }
    EXPECT_TRUE(snapshot(b) == before);
    EXPECT_EQ(b.rows(), rows);
}

TEST_F(Renumbered, ARemoteThatHidesTheRenumberingClaimsNothing) {
    // The attacker rewrites A's merge commit without its trailer.
    attacker eve(remote);
    ASSERT_EQ(eve.git("commit -q --amend -m 'Merge the other copy of passwords.db'").status, 0);
    ASSERT_EQ(eve.git("push -q -f origin HEAD:main").status, 0);
    auto r = b.sync_typed();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Received 1 change from the other copy.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(b.rows(), renumbered_rows);
}

TEST_F(TwoMachines, ARemoteThatClaimsARenumberingNamesNoEntry) {
    // A plain edit of A's, its commit rewritten by the attacker to claim
    // that entries 1 and 2 moved.
    a.edit("update entries set notes='from a', timestamp='2024-05-01 10:00:00' where id=3;");
    ASSERT_EQ(a.sync().out, "Sent 1 change.\n");
    attacker eve(remote);
    const std::string claim = "kesp-sync from a\n\nKesp-Renumbered: 1>2 2>1";
    ASSERT_EQ(eve.git("commit -q --amend -m " + quote(claim)).status, 0);
    ASSERT_EQ(eve.git("push -q -f origin HEAD:main").status, 0);
    harness::pty_session s(b.box, {}, syncer);
    ASSERT_TRUE(s.expect_terminal("Master password: "));
    s.type_line(password);
    auto r = s.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Received 1 change from the other copy.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(b.rows(), a.rows());

    // A claim with no new database asks nothing, not even where a merge
    // runs here.
    ASSERT_EQ(eve.git("pull -q").status, 0);
    ASSERT_EQ(eve.git("commit -q --allow-empty -m 'Kesp-Renumbered: 3>4'").status, 0);
    ASSERT_EQ(eve.git("push -q origin HEAD:main").status, 0);
    b.edit("update entries set notes='from b' where id=1;");
    r = b.sync();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Merged the other copy's changes and sent the result.\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(Renumbered, AMergeHereComparesWithThePasswordItWasGiven) {
    b.edit("update entries set notes='from b', timestamp='2024-05-01 10:00:00' where id=1;");
    harness::pty_session s(b.box, {}, syncer);
    ASSERT_TRUE(s.expect_terminal("Master password: "));
    s.type_line(password);
    auto r = s.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.terminal.find("Master password: ", r.terminal.find("Master password: ") + 1),
              std::string::npos);
    // The other copy's renumbered entries differ from what B sent as much
    // as a removal and an addition: the merge here gives them ids of their
    // own, and says so.
    EXPECT_EQ(r.out, "Merged the other copy's changes and sent the result; entry 4 (desktop-only) "
                     "is now 7, entry 5 (desktop-too) is now 8.\n");
    EXPECT_EQ(r.err, "Merged: 3 entries from the other copy, 2 removed.\n");
    const std::string merged =
        "1|mail|alice|https://mail|pw|from b|2024-05-01 10:00:00\n"
        "2|bank|alice|https://bank|1234||2024-01-01 10:00:00\n"
        "3|shop|bob|https://shop|s3||2024-01-01 10:00:00\n"
        "6|laptop-only|alice|https://laptop|l||2024-04-01 10:00:00\n"
        "7|desktop-only|bob|https://desktop|d||2024-03-01 10:00:00\n"
        "8|desktop-too|bob|https://desktop2|d2||2024-03-01 11:00:00\n";
    EXPECT_EQ(b.rows(), merged);

    // A takes that merge as it is, and its ids move in turn.
    harness::pty_session again(a.box, {}, syncer);
    ASSERT_TRUE(again.expect_terminal("Master password: "));
    again.type_line(password);
    r = again.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Received 1 change from the other copy; entry 4 (laptop-only) is now 6, "
                     "entry 5 (desktop-only) is now 7, entry 6 (desktop-too) is now 8.\n");
    EXPECT_EQ(a.rows(), merged);
}

}  // namespace

namespace {

// A container of kesp's schema under `pass`, with a lineage of `identity`
// (16 bytes in hexadecimal) at `version` unless `identity` is empty.
std::string foreign_container(const std::string &path, const std::string &pass,
                              const std::string &identity, int version) {
    sql(path, std::string(schema) +
                  "insert into entries values(1,'mail','mallory','https://evil','x','',"
                  "'2024-01-01 10:00:00');");
    if (!identity.empty())
        sql(path, "create table lineage(identity blob not null, version integer not null);"
                  "insert into lineage values(x'" + identity + "'," + std::to_string(version) +
                      ");");
    EXPECT_TRUE(encrypt_file(pass.c_str(), path.c_str()));
    return read_file(path);
}

// kesp-sync on a terminal with the answers typed to the prompts as they
// come.
harness::result sync_answering(const machine &m,
                               const std::vector<std::pair<std::string, std::string>> &answers) {
    harness::pty_session s(m.box, {}, syncer);
    for (const auto &[prompt, answer] : answers) {
        if (!s.expect_terminal(prompt)) break;
        s.type_line(answer);
    }
    return s.finish();
}

}  // namespace

// Someone who can push to the remote sends a container that is not this
// database, later: each is refused by both machines, whether it would
// come as a fast-forward or be merged, and nothing changes.
TEST_F(TwoMachines, OnlyThisDatabaseLaterIsTaken) {
    if (!merge_driver_takes_passwords()) GTEST_SKIP() << "kesp-merge does not take --password-fd";
    // An old container of this database that no commit ever held: A's
    // file between two of its own changes, as a backup keeps it.
    a.edit("update entries set notes='between' where id=1;");
    const std::string older = read_file(a.db());
    a.edit("update entries set notes='sent' where id=1;");
    ASSERT_EQ(a.sync().out, "Sent 1 change.\n");
    // Both change and merge: both copies come to a later version.
    b.edit("update entries set notes='b' where id=2;");
    auto r = b.sync_typed();
    ASSERT_EQ(r.out, "Merged the other copy's changes and sent the result.\n") << r.err;
    r = a.sync_typed();
    ASSERT_EQ(r.out, "Received 1 change from the other copy.\n") << r.err;

    const std::string other_identity(32, 'e');
    const struct {
        const char *name;
        std::string container;
        std::vector<std::pair<std::string, std::string>> answers;
        std::string says;
    } cases[] = {
        {"the person's other database, never synced",
         foreign_container(dir.file("other.db"), password, "", 0),
         {{"Master password: ", password}},
         "it does not say which database it is: it is another database, or a kesp-sync older "
         "than this one wrote it"},
        {"the person's other database, synced with kesp-sync",
         foreign_container(dir.file("synced.db"), password, other_identity, 9),
         {{"Master password: ", password}},
         "it is another database, not this one"},
        {"a container under the attacker's password",
         foreign_container(dir.file("eve.db"), "eve's own", "", 0),
         {{"Master password: ", password}, {"Password of the other copy: ", "a guess"}},
         "it opens neither with the master password nor with the password typed for it"},
        {"an older container of this database", older,
         {{"Master password: ", password}},
         "it is an older version of this database (version 1, and both copies had come to 2): "
         "taking it would roll it back"},
    };
    // A reduced run takes each case once, on one machine, the four of them
    // going through both machines with and without a change here.
    int row = 0;
    for (const auto &c : cases) {
        const int at = row++;
        for (const bool changed_here : {false, true}) {
            if (harness::reduced_run() && changed_here != (at % 2 == 1)) continue;
            SCOPED_TRACE(std::string(c.name) + (changed_here ? ", changed here too" : ""));
            attacker eve(remote);
            harness::write_file(eve.db(), c.container);
            eve.push("an update");
            for (machine *m : {&a, &b}) {
                if (harness::reduced_run() && m != (at / 2 == 0 ? &a : &b)) continue;
                if (changed_here) m->edit("update entries set user='waiting' where id=3;");
                const snapshot before(*m);
                const std::string status = m->git("status --porcelain").output;
                r = sync_answering(*m, c.answers);
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(r.out, "");
                const std::string refusal = "kesp-sync refuses the other copy of passwords.db "
                                            "(commit " + eve.head() + "): " + c.says +
                                            "; nothing was changed.\n";
                EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), refusal.size())),
                          refusal) << r.err;
                EXPECT_TRUE(snapshot(*m) == before);
                EXPECT_EQ(m->git("status --porcelain").output, status);
                EXPECT_EQ(m->rows().find("mallory"), std::string::npos);
            }
            // The remote as it was: neither machine took anything.
            ASSERT_EQ(a.git("rev-parse HEAD").output, b.git("rev-parse HEAD").output);
            ASSERT_EQ(a.git("reset -q --hard").status, 0);
            ASSERT_EQ(b.git("reset -q --hard").status, 0);
            ASSERT_EQ(a.git("push -q -f origin HEAD:main").status, 0);
        }
    }
    EXPECT_EQ(a.rows(), b.rows());
}

// The master password was changed on the other machine: the receive asks
// for the other copy's own password once and says that it opens the
// database now.
TEST_F(TwoMachines, APasswordChangedOnTheOtherMachineIsTold) {
    ASSERT_TRUE(decrypt_file(password.c_str(), a.db().c_str()));
    ASSERT_TRUE(encrypt_file("a new one", a.db().c_str()));
    ASSERT_EQ(a.sync().out, "Sent 1 change.\n");
    auto r = sync_answering(b, {{"Master password: ", password},
                                {"Password of the other copy: ", "a new one"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Received 1 change from the other copy.\n");
    EXPECT_EQ(r.err, "The master password does not open the other copy of passwords.db.\n"
                     "The master password of passwords.db was changed on the other machine: the "
                     "password typed for the other copy opens it now.\n");
    EXPECT_EQ(read_file(b.db()), read_file(a.db()));
}

// A merge made by hand (git pull with kesp-merge as git's merge driver,
// then git push) carries the lineage of both copies: the other machine's
// kesp-sync takes it as this database, later.
TEST_F(TwoMachines, AMergeMadeByHandIsTakenByTheOtherMachine) {
    a.edit("update entries set notes='from a' where id=1;");
    ASSERT_EQ(a.sync().out, "Sent 1 change.\n");
    b.edit("update entries set notes='from b' where id=2;");
    ASSERT_EQ(b.git("commit -q -am 'by hand'").status, 0);
    const std::string merger = harness::built_program("kesp-merge");
    b.box.env["PATH"] = merger.substr(0, merger.rfind('/')) + ":/usr/bin:/bin";
    // git's own leaks are not ours to count: git runs as it is.
    b.box.wrapped = false;
    {
        harness::pty_session s(b.box, {"pull", "-q", "--no-rebase", "--no-edit"}, "/usr/bin/git");
        ASSERT_TRUE(s.expect_terminal("Master password: "));
        s.type_line(password);
        auto r = s.finish();
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    b.box.wrapped = true;
    ASSERT_EQ(b.git("push -q origin HEAD:main").status, 0);

    auto r = a.sync_typed();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Received 1 change from the other copy.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(a.db()) == read_file(b.db()));
    EXPECT_NE(a.rows().find("from a"), std::string::npos);
    EXPECT_NE(a.rows().find("from b"), std::string::npos);
}

// The received database made private: when the file was swapped for a
// link after git wrote it, the file the link points to keeps its mode.
TEST_F(TwoMachines, AFileSwappedForALinkIsNotMadePrivate) {
    a.edit("update entries set notes='from a' where id=1;");
    ASSERT_EQ(a.sync().out, "Sent 1 change.\n");
    const std::string outside = dir.file("outside");
    harness::write_file(outside, "someone else's");
    ASSERT_EQ(::chmod(outside.c_str(), 0644), 0);

    b.box.env["KESP_TEST_STOP_AT"] = "received";
    harness::pty_session s(b.box, {}, syncer);
    b.box.env.erase("KESP_TEST_STOP_AT");
    ASSERT_TRUE(s.expect_terminal("Master password: "));
    s.type_line(password);
    ASSERT_TRUE(s.wait_stopped());
    ASSERT_EQ(::unlink(b.db().c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), b.db().c_str()), 0);
    s.resume();
    auto r = s.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "passwords.db is a symbolic link now: kesp-sync changes no file through "
                     "it.\nNothing was sent.\n");
    EXPECT_EQ(harness::file_mode(outside), 0644);
    EXPECT_EQ(read_file(outside), "someone else's");
}
