// kesp-merge end to end: plain and encrypted inputs, the result in OURS's
// form or in a new file, passwords typed on the terminal, and the refusals.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container/crypt.h"
#include "harness/harness.h"
#include "sync/file_merge.h"

namespace {

using harness::read_file;
using harness::sql;

const std::string merger = harness::built_program("kesp-merge");

const char *const schema =
    "create table entries(id integer primary key, title text, user text, url text,"
    "password text, notes text,timestamp date default (datetime('now','localtime')));";

const char *const usage =
    "Usage: kesp-merge BASE OURS THEIRS [-o OUT]\n"
    "       kesp-merge --password-fd N [--lock-fd N] [--name NAME] [--moved-fd N]\n"
    "                  BASE OURS THEIRS\n"
    "Merges the kesp databases OURS and THEIRS, two copies of BASE (an empty\n"
    "file when they have none in common), and writes the result over OURS, or\n"
    "to the new file OUT. As git's merge driver: kesp-merge %O %A %B.\n"
    "See kesp-merge(1).\n";

const char *const all_rows = "select id,title,user,url,password,notes,timestamp from entries order by id;";

// Three plain copies: the ancestor with three entries; this side changed
// entry 1's password and added one; the other side changed entry 1's notes,
// removed entry 3 and added one.
class MergeFiles : public ::testing::Test {
protected:
    void SetUp() override {
        sql(base, std::string(schema) +
                      "insert into entries values(1,'mail','alice','https://mail','pw','','2024-01-01 10:00:00'),"
                      "(2,'bank','alice','https://bank','1234','','2024-01-01 10:00:00'),"
                      "(3,'shop','bob','https://shop','s3','','2024-01-01 10:00:00');");
        harness::write_file(ours, read_file(base));
        harness::write_file(theirs, read_file(base));
        sql(ours, "update entries set password='new', timestamp='2024-02-01 10:00:00' where id=1;"
                  "insert into entries values(4,'wiki','alice','https://wiki','w','','2024-02-01 11:00:00');");
        sql(theirs, "update entries set notes='2fa', timestamp='2024-03-01 10:00:00' where id=1;"
                    "delete from entries where id=3;"
                    "insert into entries values(4,'news','carol','https://news','n','','2024-03-01 11:00:00');");
    }

    harness::result merge(const std::vector<std::string> &args) const {
        return box.run_program(merger, args);
    }

    // kesp-merge without a terminal, `passwords` on an inherited pipe (each
    // ended by a NUL byte) and `extra` said to the shell before it runs.
    harness::result merge_given(const std::vector<std::string> &passwords,
                                const std::vector<std::string> &args,
                                const std::string &extra = "") const {
        return box.run_program("/usr/bin/setsid",
                               {"-w", "/bin/sh", "-c", given_command(passwords, args, extra)});
    }

    static std::string given_command(const std::vector<std::string> &passwords,
                                     const std::vector<std::string> &args,
                                     const std::string &extra = "") {
        std::string format, words;
        for (const std::string &password : passwords) {
            format += "%s\\000";
            words += " '" + password + "'";
        }
        std::string command = extra + "printf '" + format + "'" + words + " | exec '" + merger +
                              "' --password-fd 3";
        for (const std::string &arg : args) command += " '" + arg + "'";
        return command + " 3<&0 </dev/null";
    }

    // Seals the container at `path` again under another password.
    static void reseal(const std::string &path, const std::string &from, const std::string &to) {
        ASSERT_TRUE(decrypt_file(from.c_str(), path.c_str())) << path;
        ASSERT_TRUE(encrypt_file(to.c_str(), path.c_str())) << path;
    }

    // The rows of a container, decrypted in memory.
    std::string container_rows(const std::string &path, const std::string &password) const {
        decrypted plain = decrypt_to_memory(password.c_str(), path.c_str());
        EXPECT_EQ(plain.status, decrypt_status::ok) << path;
        if (plain.status != decrypt_status::ok) return "";
        std::string copy = box.root() + "/decrypted.db";
        harness::write_file(copy, std::string(reinterpret_cast<const char *>(plain.plain->data()),
                                              plain.plain->size()));
        std::string rows = sql(copy, all_rows);
        ::unlink(copy.c_str());
        return rows;
    }

    void encrypt_all(const std::string &password) {
        for (const std::string *path : {&base, &ours, &theirs})
            ASSERT_TRUE(encrypt_file(password.c_str(), path->c_str())) << *path;
    }

    harness::sandbox box;
    const std::string base = box.path("base.db"), ours = box.path("ours.db"),
                      theirs = box.path("theirs.db");
    const std::string merged_rows =
        "1|mail|alice|https://mail|new|2fa|2024-03-01 10:00:00\n"
        "2|bank|alice|https://bank|1234||2024-01-01 10:00:00\n"
        "4|wiki|alice|https://wiki|w||2024-02-01 11:00:00\n"
        "5|news|carol|https://news|n||2024-03-01 11:00:00\n";
    const std::string report = "Merged: 2 entries from the other copy, 1 removed.\n";
};

TEST_F(MergeFiles, PlainCopiesMergeIntoOurs) {
    const std::string theirs_before = read_file(theirs);
    auto r = merge({base, ours, theirs});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, report);
    EXPECT_EQ(sql(ours, all_rows), merged_rows);
    EXPECT_EQ(harness::file_mode(ours), 0600);
    EXPECT_EQ(read_file(theirs), theirs_before);

    // kesp itself reads the result.
    harness::write_file(box.pointer_file(), ours);
    auto listed = box.run({"-l", "5"});
    EXPECT_NE(listed.out.find("Title: news"), std::string::npos) << listed.out << listed.err;

    // Merged again, nothing changes, and the file is not even rewritten.
    const std::string result = read_file(ours);
    harness::write_file(base, read_file(ours));
    harness::write_file(theirs, read_file(ours));
    ::chmod(ours.c_str(), 0640);
    r = merge({base, ours, theirs});
    EXPECT_EQ(r.err, "Merged: 0 entries from the other copy, 0 removed.\n");
    EXPECT_EQ(read_file(ours), result);
    EXPECT_EQ(harness::file_mode(ours), 0640);
}

TEST_F(MergeFiles, OutputGoesToANewFileOnly) {
    const std::string ours_before = read_file(ours);
    const std::string out = box.path("out.db");
    auto r = merge({base, ours, theirs, "-o", out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, report);
    EXPECT_EQ(sql(out, all_rows), merged_rows);
    EXPECT_EQ(harness::file_mode(out), 0600);
    EXPECT_EQ(read_file(ours), ours_before);

    const std::string first = read_file(out);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-o", out, base, ours, theirs},
          std::vector<std::string>{base, ours, theirs, "--output", out}}) {
        r = merge(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, out + " already exists; kesp-merge never overwrites a file.\n");
        EXPECT_EQ(read_file(out), first);
    }
    // Not through a symbolic link either.
    const std::string link = box.path("link.db");
    ASSERT_EQ(::symlink(box.path("nowhere.db").c_str(), link.c_str()), 0);
    r = merge({base, ours, theirs, "-o", link});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(harness::exists(box.path("nowhere.db")));
}

TEST_F(MergeFiles, AnEmptyAncestorMeansEveryEntryWasAdded) {
    harness::write_file(base, "");
    auto r = merge({base, ours, theirs});
    EXPECT_EQ(r.status, 0) << r.err;
    // Entries 1 and 2 differ or match as wholes; matching ones are kept once.
    EXPECT_EQ(sql(ours, "select id, title, notes from entries order by id;"),
              "1|mail|\n2|bank|\n3|shop|\n4|wiki|\n5|mail|2fa\n6|news|\n");
    EXPECT_EQ(r.err, "Merged: 2 entries from the other copy, 0 removed.\n");
}

TEST_F(MergeFiles, BadUsageAndUnreadableInputs) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, {base, ours}, {base, ours, theirs, theirs}, {"-x", base, ours, theirs},
          {base, ours, theirs, "-o"}}) {
        auto r = merge(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.substr(r.err.find("Usage:")), usage);
    }
    auto help = merge({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, usage);

    const std::string ours_before = read_file(ours);
    harness::write_file(box.path("text.db"), "not a database at all, but long enough to be read\n");
    harness::write_file(box.path("empty.db"), "");
    sql(box.path("wal.db"), "pragma journal_mode=wal; create table t(x);");
    harness::write_file(box.path("wal.db-wal"), "frames");
    sql(box.path("view.db"), "create view entries as with recursive n(i) as (select 1 union all "
                             "select i + 1 from n) select i as id, '' as title, '' as user, '' as "
                             "url, '' as password, '' as notes, '' as timestamp from n;");
    struct bad_case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::string unchanged = "Nothing was merged; " + ours + " is unchanged.\n";
    const std::vector<bad_case> cases = {
        {{base, ours, box.path("missing.db")},
         box.path("missing.db") + ": No such file or directory\n" + unchanged},
        {{base, ours, box.path("text.db")}, box.path("text.db") + " is not a kesp database: file is not a database.\n" + unchanged},
        {{base, ours, box.work()}, box.work() + " is not a regular file.\n" + unchanged},
        {{base, ours, box.path("empty.db")},
         box.path("empty.db") + " is not a kesp database: no such table: entries.\n" + unchanged},
        {{base, ours, box.path("wal.db")},
         box.path("wal.db-wal") + " exists: another program has the database open, or that "
                                  "file holds data of its own. Close it and try again.\n" +
             unchanged},
        {{base, ours, box.path("view.db")},
         box.path("view.db") + " is not a kesp database: it holds a view.\n" + unchanged},
    };
    for (const bad_case &c : cases) {
        auto r = merge(c.args);
        EXPECT_EQ(r.status, 1) << c.args[2];
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(read_file(ours), ours_before);
    }
}

TEST_F(MergeFiles, PlainCopiesNeedNoTerminal) {
    auto r = box.run_program("/usr/bin/setsid", {"-w", merger, base, ours, theirs});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sql(ours, all_rows), merged_rows);
}

TEST_F(MergeFiles, ActiveDatabaseIsChangedUnderTheLock) {
    harness::write_file(box.pointer_file(), ours);
    const std::string lock = box.home() + "/.kesp.lock";
    // Another program holds the lock until the test closes `release`; no
    // other child may inherit its ends.
    int ready[2], release[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
    pid_t holder = ::fork();
    if (holder == 0) {
        ::dup2(release[0], 0);
        ::dup2(ready[1], 1);
        for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
        ::execlp("flock", "flock", "-x", lock.c_str(), "-c", "echo held; read line", nullptr);
        _exit(127);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char word[8] = {};
    ASSERT_GT(::read(ready[0], word, sizeof word), 0);
    ::close(ready[0]);

    const std::string before = read_file(ours);
    harness::pty_session s(box, {base, ours, theirs}, merger);
    EXPECT_TRUE(s.expect_error("Waiting for another kesp to finish.\n"));
    EXPECT_EQ(read_file(ours), before);
    ::close(release[1]);
    ::waitpid(holder, nullptr, 0);
    auto r = s.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Waiting for another kesp to finish.\n" + report);
    EXPECT_NE(read_file(ours), before);
    EXPECT_EQ(sql(ours, all_rows), merged_rows);
}

TEST_F(MergeFiles, EncryptedCopiesAskOnceOnTheTerminal) {
    encrypt_all("correct horse");
    harness::pty_session s(box, {base, ours, theirs}, merger);
    ASSERT_TRUE(s.expect_terminal("Master password: "));
    s.type_line("correct horse");
    auto r = s.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, report);
    EXPECT_EQ(r.terminal.find("correct horse"), std::string::npos) << "the password was echoed";
    EXPECT_EQ(r.terminal.find("Master password: ", r.terminal.find("Master password: ") + 1),
              std::string::npos);
    EXPECT_TRUE(harness::is_container(ours));
    EXPECT_EQ(harness::file_mode(ours), 0600);
    EXPECT_EQ(container_rows(ours, "correct horse"), merged_rows);
}

TEST_F(MergeFiles, AnyMixOfFormsAndAnInputWithItsOwnPassword) {
    ASSERT_TRUE(encrypt_file("other", theirs.c_str()));
    const std::string out = box.path("out.db");
    harness::pty_session s(box, {base, ours, theirs, "-o", out}, merger);
    ASSERT_TRUE(s.expect_terminal("Master password: "));
    s.type_line("mine");
    ASSERT_TRUE(s.expect_terminal("Password of the other copy: "));
    s.type_line("other");
    auto r = s.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "The master password does not open the other copy, " + theirs + ".\n" + report);
    // OURS is plain, and so is the result.
    EXPECT_FALSE(harness::is_container(out));
    EXPECT_EQ(sql(out, all_rows), merged_rows);
}

TEST_F(MergeFiles, WrongPasswordOrNoTerminalWritesNothing) {
    encrypt_all("correct horse");
    const std::string ours_before = read_file(ours);
    const std::string unchanged = "Nothing was merged; " + ours + " is unchanged.\n";
    {
        harness::pty_session s(box, {base, ours, theirs}, merger);
        ASSERT_TRUE(s.expect_terminal("Master password: "));
        s.type_line("wrong");
        ASSERT_TRUE(s.expect_terminal("Password of the common ancestor: "));
        s.type_line("still wrong");
        auto r = s.finish();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "The master password does not open the common ancestor, " + base +
                             ".\nInvalid password or tampered data: " + base + " cannot be read.\n" +
                             unchanged);
    }
    // Standard input holds the password, but there is no terminal.
    auto r = box.run_program("/usr/bin/setsid", {"-w", merger, base, ours, theirs}, "correct horse\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No terminal to ask for the master password: No such device or address.\n" +
                         unchanged);
    EXPECT_EQ(read_file(ours), ours_before);
    EXPECT_EQ(harness::run_shell("ls " + box.work()).output, "base.db\nours.db\ntheirs.db\n");
}

// kesp-sync's record of which database a copy is travels through the
// merge: the identity both copies share (or the one copy's that has one)
// at the version after both. Two databases, or a damaged record, are not
// merged at all.
TEST_F(MergeFiles, TheMergedCopyCarriesTheLineageOfBoth) {
    const std::string table =
        "create table lineage(identity blob not null, version integer not null);";
    const std::string ident(32, 'A'), other(32, 'B');
    auto stamp = [&](const std::string &id, int version) {
        return table + "insert into lineage values(x'" + id + "'," + std::to_string(version) +
               ");";
    };
    const struct {
        const char *name;
        std::string ours_sql, theirs_sql;
        std::string lineage;  // of the result, or empty when refused
        std::string refusal;
    } cases[] = {
        {"both carry it", stamp(ident, 3), stamp(ident, 5), ident + "|6\n", ""},
        {"the later one is ours", stamp(ident, 9), stamp(ident, 2), ident + "|10\n", ""},
        {"only ours", stamp(ident, 2), "", ident + "|3\n", ""},
        {"only theirs", "", stamp(ident, 4), ident + "|5\n", ""},
        {"neither", "", "", "", ""},
        {"two databases", stamp(ident, 3), stamp(other, 3), "",
         " are two different databases: each carries an identity of its own.\n"},
        {"a damaged record", stamp(ident, 3), table, "", ""},
    };
    const std::string ours_start = read_file(ours), theirs_start = read_file(theirs);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        harness::write_file(ours, ours_start);
        harness::write_file(theirs, theirs_start);
        if (!c.ours_sql.empty()) sql(ours, c.ours_sql);
        if (!c.theirs_sql.empty()) sql(theirs, c.theirs_sql);
        const std::string before = read_file(ours);
        auto r = merge({base, ours, theirs});
        const bool refused = std::string(c.name) == "two databases" ||
                             std::string(c.name) == "a damaged record";
        if (refused) {
            EXPECT_EQ(r.status, 1);
            const std::string said =
                c.refusal.empty() ? "The record of which database " + ours + " or " + theirs +
                                        " is, inside it, is damaged.\n"
                                  : ours + " and " + theirs + c.refusal;
            EXPECT_EQ(r.err, said + "Nothing was merged; " + ours + " is unchanged.\n");
            EXPECT_EQ(read_file(ours), before);
            continue;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, report);
        EXPECT_EQ(sql(ours, all_rows), merged_rows);
        const bool has_table =
            sql(ours, "select count(*) from sqlite_schema where name='lineage';") == "1\n";
        EXPECT_EQ(has_table, !c.lineage.empty());
        if (has_table) EXPECT_EQ(sql(ours, "select hex(identity), version from lineage;"), c.lineage);
    }
}

// Which password seals the merged copy of an encrypted OURS, whatever the
// forms of the other two: never none, even for copies that the refusal of
// plain copies above would have stopped.
TEST(SealingPassword, AChangedPasswordTravelsAndAPlainCopyHasNone) {
    const secret_string a("old one"), b("new one"), c("another");
    enum form { container, plain, empty };
    struct copy {
        form f;
        const secret_string *password;
    };
    const std::string other_copy =
        "The master password of ours.db was changed on the other copy; use the new one.\n";
    const std::string both =
        "The master password of ours.db was changed on both copies; this copy's stays, and "
        "the other copy's new one does not open the merged copy.\n";
    const struct {
        const char *name;
        copy base, ours, theirs;
        const secret_string *sealed;
        std::string notice;
    } cases[] = {
        {"no change", {container, &a}, {container, &a}, {container, &a}, &a, ""},
        {"changed there", {container, &a}, {container, &a}, {container, &b}, &b, other_copy},
        {"changed here", {container, &a}, {container, &b}, {container, &a}, &b, ""},
        {"changed alike", {container, &a}, {container, &b}, {container, &b}, &b, ""},
        {"changed on both", {container, &a}, {container, &b}, {container, &c}, &b, both},
        {"no ancestor", {empty, nullptr}, {container, &a}, {container, &b}, &a, ""},
        {"a plain ancestor", {plain, nullptr}, {container, &a}, {container, &b}, &a, ""},
        {"a plain other copy", {container, &a}, {container, &a}, {plain, nullptr}, &a, ""},
        {"both others plain", {plain, nullptr}, {container, &a}, {plain, nullptr}, &a, ""},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.name);
        merge_input inputs[3];
        const copy *copies[3] = {&t.base, &t.ours, &t.theirs};
        for (int i = 0; i < 3; ++i) {
            inputs[i].file.name = i == 1 ? "ours.db" : "copy.db";
            inputs[i].file.form = copies[i]->f == container ? db_form::container : db_form::plain;
            inputs[i].file.empty = copies[i]->f == empty;
            inputs[i].password = copies[i]->password;
        }
        std::string notice;
        const secret_string *sealed = sealing_password(inputs[0], inputs[1], inputs[2], notice);
        ASSERT_NE(sealed, nullptr);
        EXPECT_EQ(sealed->view(), t.sealed->view());
        EXPECT_EQ(notice, t.notice);
    }
}

// Below every caller's choice of a password: a container is never sealed
// under none.
TEST(WriteDbFile, AContainerWithoutAPasswordIsNotWritten) {
    harness::scratch_dir dir;
    const std::string path = dir.file("merged.db");
    auto no_rows = [](void *, image_row &) { return false; };
    for (const bool create_new : {true, false}) {
        SCOPED_TRACE(create_new ? "a new file" : "in place");
        if (!create_new) harness::write_file(path, "as it was");
        testing::internal::CaptureStderr();
        EXPECT_FALSE(write_db_file(no_rows, nullptr, 0, db_form::container, nullptr, path,
                                   create_new));
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "No password to encrypt " + path + " with; nothing was written.\n");
        EXPECT_EQ(harness::exists(path), !create_new);
        if (!create_new) EXPECT_EQ(read_file(path), "as it was");
    }
}

TEST_F(MergeFiles, AnEncryptedCopyIsMergedOnlyWithEncryptedCopies) {
    for (const std::string *path : {&base, &ours})
        ASSERT_TRUE(encrypt_file("pw", path->c_str())) << *path;
    const std::string ours_before = read_file(ours);
    const std::string plain_ancestor = box.path("plain-base.db");
    harness::write_file(plain_ancestor, read_file(theirs));
    const std::string sealed = box.path("sealed.db");
    harness::write_file(sealed, read_file(theirs));
    ASSERT_TRUE(encrypt_file("pw", sealed.c_str()));
    const std::string unchanged = "Nothing was merged; passwords.db is unchanged.\n";
    struct refusal {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<refusal> cases = {
        {{base, ours, theirs},
         "THEIRS is not encrypted; an encrypted database is merged only with encrypted copies.\n"},
        {{plain_ancestor, ours, sealed},
         "BASE is not encrypted; an encrypted database is merged only with encrypted copies.\n"},
    };
    for (const refusal &c : cases) {
        std::vector<std::string> args = {"--name", "passwords.db"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto r = merge_given({"pw"}, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err + unchanged);
        EXPECT_EQ(read_file(ours), ours_before);
    }
    // No ancestor at all is no plain copy.
    harness::write_file(base, "");
    auto r = merge_given({"pw"}, {base, ours, sealed});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(harness::is_container(ours));
}

TEST_F(MergeFiles, PasswordsFromACallerAndNeverTheTerminal) {
    encrypt_all("correct horse");
    // Every password is tried on every copy, in order.
    auto r = merge_given({"wrong", "other", "correct horse"}, {base, ours, theirs});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, report);
    EXPECT_EQ(container_rows(ours, "correct horse"), merged_rows);

    // None opens a copy: said, and nothing is asked, even on a terminal.
    const std::string ours_before = read_file(ours);
    harness::pty_session s(box, {"-c", given_command({"wrong", "other"}, {base, ours, theirs})},
                           "/bin/sh");
    auto failed = s.finish();
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, "None of the passwords given opens the common ancestor, " + base +
                              ".\nNothing was merged; " + ours + " is unchanged.\n");
    EXPECT_EQ(failed.terminal.find("assword"), std::string::npos) << failed.terminal;
    EXPECT_EQ(read_file(ours), ours_before);
}

TEST_F(MergeFiles, TheCallersLockIsNotTakenAgain) {
    const std::string lock = box.home() + "/.kesp.lock";
    // The shell locks the file through descriptor 4 and hands it down.
    const std::string held = "exec 4<>'" + lock + "'; flock -x 4; ";
    auto r = box.run_program("/usr/bin/timeout",
                             {"20", "/bin/sh", "-c",
                              given_command({}, {"--lock-fd", "4", base, ours, theirs}, held)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, report);
    EXPECT_EQ(sql(ours, all_rows), merged_rows);

    // Another file, or the lock file held by someone else, is no lock.
    const std::string ours_before = read_file(ours);
    const std::string refused = "--lock-fd is not the lock file " + lock + ", held.\n" +
                                "Nothing was merged; " + ours + " is unchanged.\n";
    for (const std::string &setup :
         {"exec 4<'" + base + "'; ", "exec 4<>'" + lock + "'; flock -x '" + lock +
                                     "' sleep 2 >/dev/null 2>&1 & sleep 0.5; "}) {
        r = box.run_program("/bin/sh", {"-c", given_command({}, {"--lock-fd", "4", base, ours,
                                                                 theirs}, setup)});
        EXPECT_EQ(r.status, 1) << setup;
        EXPECT_EQ(r.err, refused) << setup;
        EXPECT_EQ(read_file(ours), ours_before);
    }

    // Under the caller's lock nobody is asked: the caller gives passwords.
    encrypt_all("pw");
    const std::string sealed_before = read_file(ours);
    harness::pty_session s(box, {"-c", held + "exec '" + merger + "' --lock-fd 4 '" + base +
                                           "' '" + ours + "' '" + theirs + "'"},
                           "/bin/sh");
    r = s.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kesp-merge asks for no password while its caller holds the lock; give the "
                     "passwords with --password-fd.\nNothing was merged; " +
                         ours + " is unchanged.\n");
    EXPECT_EQ(r.terminal.find("assword"), std::string::npos) << r.terminal;
    EXPECT_EQ(read_file(ours), sealed_before);

    // A descriptor that is not open is bad usage. The shell closes it first:
    // whoever started the suite may have left it open.
    for (const char *option : {"--lock-fd", "--password-fd"}) {
        r = box.run_program("/bin/sh", {"-c", "exec 9>&-; exec '" + merger + "' " + option +
                                                  " 9 '" + base + "' '" + ours + "' '" + theirs +
                                                  "'"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, std::string("kesp-merge: ") + option + " 9: not an open descriptor.\n");
    }
}

// A copy whose password changed since the ancestor changed it on purpose.
TEST_F(MergeFiles, ANewMasterPasswordTravels) {
    const std::string base_plain = read_file(base), ours_plain = read_file(ours),
                      theirs_plain = read_file(theirs);
    struct travel_case {
        const char *name;
        std::string ours_password, theirs_password;
        std::string sealed_under, notice;
    };
    const std::string both =
        "The master password of passwords.db was changed on both copies; this copy's stays, and "
        "the other copy's new one does not open the merged copy.\n";
    const std::vector<travel_case> cases = {
        {"changed on the other copy", "old", "new", "new",
         "The master password of passwords.db was changed on the other copy; use the new one.\n"},
        {"changed on this copy", "new", "old", "new", ""},
        {"changed on both copies", "mine", "theirs", "mine", both},
        {"changed alike on both", "new", "new", "new", ""},
    };
    for (const travel_case &c : cases) {
        harness::write_file(base, base_plain);
        harness::write_file(ours, ours_plain);
        harness::write_file(theirs, theirs_plain);
        encrypt_all("old");
        if (c.ours_password != "old") reseal(ours, "old", c.ours_password);
        if (c.theirs_password != "old") reseal(theirs, "old", c.theirs_password);
        auto r = merge_given({"old", c.ours_password, c.theirs_password},
                             {"--name", "passwords.db", base, ours, theirs});
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
        EXPECT_EQ(r.err, report + c.notice) << c.name;
        EXPECT_EQ(container_rows(ours, c.sealed_under), merged_rows) << c.name;
    }
    // Nothing else changed: the file is sealed again all the same.
    harness::write_file(base, ours_plain);
    harness::write_file(ours, ours_plain);
    harness::write_file(theirs, ours_plain);
    encrypt_all("old");
    reseal(theirs, "old", "new");
    auto r = merge_given({"old", "new"}, {base, ours, theirs});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(container_rows(ours, "new"), container_rows(theirs, "new"));
}

// Whatever another program writes while kesp-merge waits for a person
// stays: OURS is read under the lock, or read again when it changed.
TEST_F(MergeFiles, AnUpdateWhileThePasswordIsAskedIsNotLost) {
    // An active plain OURS gains an entry by kesp -a at the prompt.
    harness::write_file(box.pointer_file(), ours);
    ASSERT_TRUE(encrypt_file("pw", theirs.c_str()));
    {
        harness::pty_session s(box, {base, ours, theirs}, merger);
        ASSERT_TRUE(s.expect_terminal("Master password: "));
        auto added = box.run({"-a"}, "late\nuser\nurl\nnotes\n");
        ASSERT_EQ(added.status, 0) << added.err;
        s.type_line("pw");
        auto r = s.finish();
        EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(sql(ours, "select title from entries where title = 'late';"), "late\n");
    EXPECT_EQ(sql(ours, "select count(*) from entries;"), "5\n");

    // An encrypted OURS replaced between its reading and the lock.
    for (const std::string &path : {box.pointer_file(), base, ours, theirs})
        ::unlink(path.c_str());
    SetUp();
    encrypt_all("pw");
    const std::string newer = box.path("newer.db");
    harness::write_file(newer, read_file(ours));
    ASSERT_TRUE(decrypt_file("pw", newer.c_str()));
    sql(newer, "insert into entries values(9,'late','u','l','p','','2024-04-01 10:00:00');");
    ASSERT_TRUE(encrypt_file("pw", newer.c_str()));
    box.env["KESP_TEST_STOP_AT"] = "before-lock";
    harness::pty_session s(box, {base, ours, theirs}, merger);
    box.env.erase("KESP_TEST_STOP_AT");
    ASSERT_TRUE(s.expect_terminal("Master password: "));
    s.type_line("pw");
    ASSERT_TRUE(s.wait_stopped());
    ASSERT_EQ(::rename(newer.c_str(), ours.c_str()), 0);
    s.resume();
    auto r = s.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(container_rows(ours, "pw"),
              merged_rows.substr(0, merged_rows.find("5|news")) +
                  "9|late|u|l|p||2024-04-01 10:00:00\n"
                  "10|news|carol|https://news|n||2024-03-01 11:00:00\n");
}

// OURS that changed its form or its password while kesp-merge waited to
// lock: never read as what it no longer is, and its password asked again.
TEST_F(MergeFiles, OursThatChangedBeforeTheLockIsReadAgain) {
    ASSERT_TRUE(encrypt_file("pw", theirs.c_str()));
    {
        box.env["KESP_TEST_STOP_AT"] = "before-lock";
        harness::pty_session s(box, {base, ours, theirs}, merger);
        box.env.erase("KESP_TEST_STOP_AT");
        ASSERT_TRUE(s.expect_terminal("Master password: "));
        s.type_line("pw");
        ASSERT_TRUE(s.wait_stopped());
        ASSERT_TRUE(encrypt_file("pw", ours.c_str()));
        s.resume();
        auto r = s.finish();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, ours + " was encrypted while kesp-merge waited.\nNothing was merged; " +
                             ours + " is unchanged.\n");
    }

    // Sealed again under another password: asked for, then merged.
    ASSERT_TRUE(encrypt_file("pw", base.c_str()));
    const std::string other = box.path("other.db");
    harness::write_file(other, read_file(ours));
    reseal(other, "pw", "pw2");
    box.env["KESP_TEST_STOP_AT"] = "before-lock";
    harness::pty_session s(box, {base, ours, theirs}, merger);
    box.env.erase("KESP_TEST_STOP_AT");
    ASSERT_TRUE(s.expect_terminal("Master password: "));
    s.type_line("pw");
    ASSERT_TRUE(s.wait_stopped());
    ASSERT_EQ(::rename(other.c_str(), ours.c_str()), 0);
    s.resume();
    ASSERT_TRUE(s.expect_terminal("Password of this copy: "));
    s.type_line("pw2");
    ASSERT_TRUE(s.wait_stopped());
    s.resume();
    auto r = s.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, ours + " changed while kesp-merge waited; reading it again.\n"
                     "The master password does not open this copy, " + ours + ".\n" + report);
    EXPECT_EQ(container_rows(ours, "pw2"), merged_rows);
}

}  // namespace

// The merged table is written some rows at a time, and a long table read
// in two parts: around and across those batches and parts, a merge that
// takes one side whole gives exactly that side's rows.
TEST_F(MergeFiles, EveryRowArrivesWhateverTheirNumber) {
    const std::string generate =
        "with recursive n(i) as (select 1 union all select i + 1 from n where i < %d) "
        "insert into entries select i, 'title ' || i, 'user' || (i % 7), 'https://s' || i, "
        "hex(randomblob(6)), case when i % 5 = 0 then '' else 'notes ' || i end, "
        "datetime('2024-01-01', '+' || i || ' minutes') from n;";
    // Long tables are read in two parts, split at the middle id.
    for (int rows : {1, 63, 64, 65, 128, 129, 1000, 4095, 4096, 9001}) {
        SCOPED_TRACE("rows " + std::to_string(rows));
        char statement[512];
        std::snprintf(statement, sizeof statement, generate.c_str(), rows);
        for (const std::string *path : {&base, &ours, &theirs}) ::unlink(path->c_str());
        sql(base, std::string(schema) + statement);
        harness::write_file(ours, read_file(base));
        harness::write_file(theirs, read_file(base));
        // This side edits, removes and adds at both ends of the id range.
        sql(ours, "update entries set password = 'changed ' || id, timestamp = '2025-01-01 "
                  "00:00:00' where id % 3 = 1; delete from entries where id % 10 = 2;"
                  "insert into entries(title, user, url, password, notes, timestamp) "
                  "select title || ' copy', user, url, password, notes, timestamp "
                  "from entries where id % 4 = 0 order by id;");
        const std::string expected = sql(ours, all_rows);
        const std::string out = box.path("out" + std::to_string(rows) + ".db");
        auto r = merge({base, ours, theirs, "-o", out});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(sql(out, all_rows), expected);

        // The same with the sides swapped: the other side's work arrives whole
        // (its additions, next above the ancestor's ids, keep them).
        const std::string swapped = box.path("swapped" + std::to_string(rows) + ".db");
        r = merge({base, theirs, ours, "-o", swapped});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(sql(swapped, all_rows), expected);
    }
}
