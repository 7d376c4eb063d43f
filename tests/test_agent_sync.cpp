// kesp-sync and kesp-merge while kesp-agent holds the database: two clones
// of a bare remote, both changed, the local one unlocked; the merge takes
// its keys from the agent and nothing is typed on the terminal, unless the
// agent's password does not open a copy.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container/crypt.h"
#include "harness/harness.h"

namespace {

namespace fs = std::filesystem;
using harness::pty_session;
using harness::result;
using harness::sandbox;

const std::string master = "correct horse";
const std::string syncer = harness::built_program("kesp-sync");
const std::string merger = harness::built_program("kesp-merge");

std::string quote(const std::string &word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The titles of a container, opened with `password`.
std::string titles(const std::string &path, const std::string &password = master) {
    decrypted d = decrypt_to_memory(password.c_str(), path.c_str());
    if (d.status != decrypt_status::ok) return "<does not open>";
    const std::string plain = path + ".check";
    harness::write_file(plain, std::string(reinterpret_cast<char *>(d.plain->data()),
                                           d.plain->size()));
    std::string found = harness::sql(plain, "select title from entries order by title;");
    std::remove(plain.c_str());
    return found;
}

// A container at `path` holding `statements` run on kesp's schema.
void make_container(const std::string &path, const std::string &statements,
                    const std::string &password = master) {
    harness::sql(path, "create table entries(id integer primary key, title text, user text, "
                       "url text, password text, notes text, timestamp date default "
                       "(datetime('now','localtime')));" +
                           statements);
    ASSERT_TRUE(encrypt_file(password.c_str(), path.c_str()));
}

// Decrypted, changed, encrypted again (under `password`).
void edit(const std::string &path, const std::string &statements,
          const std::string &password = master, const std::string &then = master) {
    ASSERT_TRUE(decrypt_file(password.c_str(), path.c_str()));
    harness::sql(path, statements);
    ASSERT_TRUE(encrypt_file(then.c_str(), path.c_str()));
}

using harness::ram_folder;

// This machine: unlocked with kesp-agent. The other: plain containers
// edited directly and sent with kesp-sync.
class UnlockedSync : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(ram.path().empty());
        for (sandbox *box : {&here, &there})
            harness::write_file(box->home() + "/.gitconfig",
                                "[user]\n\tname = t\n\temail = t@example.org\n[init]\n"
                                "\tdefaultBranch = main\n");
        here.env["XDG_RUNTIME_DIR"] = ram.path();
        ASSERT_EQ(harness::run_shell("git init -q --bare --initial-branch=main " + quote(remote))
                      .status,
                  0);
        make_container(there_db, "insert into entries(title) values('mail'),('bank');");
        // The inits only set the machines up (kesp-sync init runs under the
        // wrapper in test_sync); the unlock does too, and the agent it starts
        // runs under the wrapper as every program these tests check.
        harness::setup_runs native_there(there);
        std::optional<harness::setup_runs> native_here(here);
        ASSERT_EQ(typed(there, {"init", "vault.db", remote}).status, 0);
        ASSERT_EQ(harness::run_shell("HOME=" + quote(here.home()) + " git clone -q " +
                                     quote(remote) + " " + quote(here.work()))
                      .status,
                  0);
        ASSERT_EQ(typed(here, {"init", "vault.db"}).status, 0);
        native_here.reset();
        pty_session s(here, {"unlock", here_db}, harness::built_program("kesp-agent"));
        ASSERT_TRUE(s.expect_terminal("Master password: "));
        s.type_line(master);
        ASSERT_EQ(s.finish().status, 0);
    }
    void TearDown() override {
        here.run_program(harness::built_program("kesp-agent"), {"lock"});
    }

    result add_here(const std::string &title) const {
        return here.run_pty({"-a"}, {{"Title: ", title},
                                     {"Username: ", "me"},
                                     {"Url: ", ""},
                                     {"Notes: ", ""},
                                     {"Password (empty to generate new): ", "pw"}});
    }

    // kesp-sync on a terminal, the master password typed when asked.
    static result typed(const sandbox &box, const std::vector<std::string> &args) {
        pty_session s(box, args, syncer);
        if (s.expect_terminal("Master password: ")) s.type_line(master);
        return s.finish();
    }

    // kesp-sync on a terminal where nothing is typed: a prompt would wait
    // until the time runs out.
    result sync_untyped() const {
        pty_session s(here, {}, syncer);
        return s.finish();
    }

    harness::scratch_dir dir;
    const std::string remote = dir.file("remote.git");
    ram_folder ram;
    sandbox here, there;
    const std::string here_db = here.path("vault.db"), there_db = there.path("vault.db");
};

TEST_F(UnlockedSync, BothChangedMergesWithNothingTyped) {
    edit(there_db, "insert into entries(title) values('from there');");
    ASSERT_EQ(there.run_program(syncer, {}).status, 0);
    ASSERT_EQ(add_here("from here").err, "");

    result r = sync_untyped();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Merged the other copy's changes and sent the result.\n");
    EXPECT_EQ(r.terminal.find("assword"), std::string::npos) << r.terminal;
    EXPECT_EQ(titles(here_db), "bank\nfrom here\nfrom there\nmail\n");

    // The unlocked copy holds the merged entries, and goes on from there.
    r = here.run({"-f", "from there"});
    EXPECT_NE(r.out.find("from there"), std::string::npos) << r.err;
    ASSERT_EQ(add_here("after").err, "");
    EXPECT_EQ(titles(here_db), "after\nbank\nfrom here\nfrom there\nmail\n");
    ASSERT_EQ(typed(there, {}).status, 0);
    ASSERT_EQ(here.run_program(syncer, {}).status, 0);
    ASSERT_EQ(typed(there, {}).status, 0);
    EXPECT_EQ(titles(there_db), titles(here_db));
}

TEST_F(UnlockedSync, TheOtherCopysOwnPasswordIsAskedAlone) {
    edit(there_db, "insert into entries(title) values('from there');", master, "new one");
    ASSERT_EQ(there.run_program(syncer, {}).status, 0);
    ASSERT_EQ(add_here("from here").err, "");

    pty_session s(here, {}, syncer);
    ASSERT_TRUE(s.expect_terminal("Password of the other copy: "));
    s.type_line("new one");
    result r = s.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.terminal.find("Master password"), std::string::npos) << r.terminal;
    EXPECT_EQ(titles(here_db, "new one"), "bank\nfrom here\nfrom there\nmail\n");

    EXPECT_NE(r.err.find("kesp-agent holds vault.db under the new master password now.\n"),
              std::string::npos)
        << r.err;

    // The agent was given the new password: it holds the merged copy, and
    // seals the next change under the new password.
    ASSERT_EQ(add_here("after").err, "");
    r = here.run_program(harness::built_program("kesp-agent"), {"lock"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(titles(here_db, "new one"), "after\nbank\nfrom here\nfrom there\nmail\n");
    EXPECT_FALSE(harness::exists(here.pointer_file()));
}

// The master password was changed on the other machine while the agent
// holds the database here: the receive asks for the new one once and
// hands it to the agent, which seals every later change under it.
TEST_F(UnlockedSync, ANewMasterPasswordFromTheOtherMachineIsGivenOnce) {
    edit(there_db, "insert into entries(title) values('from there');", master, "new one");
    ASSERT_EQ(there.run_program(syncer, {}).status, 0);

    pty_session s(here, {}, syncer);
    ASSERT_TRUE(s.expect_terminal("Password of the other copy: "));
    s.type_line("new one");
    result r = s.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Received 1 change from the other copy.\n");
    EXPECT_EQ(r.err, "The password kesp-agent holds does not open the other copy of vault.db.\n"
                     "The master password of vault.db was changed on the other machine: the "
                     "password typed for the other copy opens it now. kesp-agent holds it under "
                     "the new one now.\n");
    EXPECT_EQ(r.terminal.find("Master password"), std::string::npos) << r.terminal;

    // Nothing more is asked, and no change stays in memory only.
    r = here.run({"-f", "from there"});
    EXPECT_NE(r.out.find("from there"), std::string::npos) << r.err;
    EXPECT_EQ(add_here("later").err, "");
    EXPECT_EQ(titles(here_db, "new one"), "bank\nfrom there\nlater\nmail\n");
    r = here.run_program(harness::built_program("kesp-agent"), {"lock"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(titles(here_db, "new one"), "bank\nfrom there\nlater\nmail\n");
}

// kesp-merge by hand: every container the agent's password opens is read
// with the agent's key; the one it does not open is asked for as before.
TEST_F(UnlockedSync, KespMergeTakesTheKeysFromTheAgent) {
    const std::string base = here.path("base.db"), ours = here.path("ours.db"),
                      theirs = here.path("theirs.db"), other = here.path("other.db");
    make_container(base, "insert into entries(title) values('a');");
    fs::copy_file(base, ours);
    fs::copy_file(base, theirs);
    edit(ours, "insert into entries(title) values('ours');");
    edit(theirs, "insert into entries(title) values('theirs');");
    struct stat before;
    ASSERT_EQ(::stat(ours.c_str(), &before), 0);

    pty_session s(here, {base, ours, theirs}, merger);
    result r = s.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.terminal, "");
    EXPECT_EQ(titles(ours), "a\nours\ntheirs\n");

    // A copy under another password: asked, as without an agent.
    fs::copy_file(base, other);
    edit(other, "insert into entries(title) values('other');", master, "elsewhere");
    pty_session t(here, {base, ours, other}, merger);
    ASSERT_TRUE(t.expect_terminal("Master password: "));
    t.type_line("wrong");
    ASSERT_TRUE(t.expect_terminal("Password of the other copy: "));
    t.type_line("elsewhere");
    r = t.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("was changed on the other copy; use the new one."), std::string::npos)
        << r.err;
    EXPECT_EQ(titles(ours, "elsewhere"), "a\nother\nours\ntheirs\n");
}

// The other machine merges this one's entry and gives it a new id; taking
// that merge here, the moved entry is named from the agent's copy, with
// nothing typed.
TEST_F(UnlockedSync, EntriesMovedByTheOtherMachinesMergeAreNamedWithNothingTyped) {
    ASSERT_EQ(add_here("from here").err, "");
    ASSERT_EQ(sync_untyped().out, "Sent 1 change.\n");
    edit(there_db, "insert into entries(title) values('from there');");
    pty_session s(there, {}, syncer);
    ASSERT_TRUE(s.expect_terminal("Master password: "));
    s.type_line(master);
    ASSERT_EQ(s.finish().status, 0);

    result r = sync_untyped();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Received 1 change from the other copy; entry 3 (from here) is now 4.\n");
    EXPECT_EQ(r.terminal.find("assword"), std::string::npos) << r.terminal;
    EXPECT_EQ(titles(here_db), "bank\nfrom here\nfrom there\nmail\n");
}

// Someone who can push to the remote sends a container under a password
// of their own while the agent holds the database: refused, and the agent
// goes on as it was, sealing every later change into the container.
TEST_F(UnlockedSync, AForeignContainerLeavesTheAgentAsItWas) {
    sandbox eve;
    ASSERT_EQ(harness::run_shell("HOME=" + quote(eve.home()) + " git clone -q " + quote(remote) +
                                 " " + quote(eve.work()))
                  .status,
              0);
    const std::string eve_db = eve.path("vault.db");
    std::remove(eve_db.c_str());
    make_container(eve_db, "insert into entries(title) values('planted');", "eve's own");
    const std::string in_eve = "HOME=" + quote(eve.home()) + " git -C " + quote(eve.work()) + " ";
    ASSERT_EQ(harness::run_shell(in_eve + "-c core.hooksPath=/dev/null -c user.name=e -c "
                                          "user.email=e@x commit -q -a -m update && " +
                                 in_eve + "push -q origin HEAD:main")
                  .status,
              0);
    ASSERT_EQ(add_here("before").err, "");
    const std::string container = harness::read_file(here_db);
    const std::string agent = harness::built_program("kesp-agent");
    const std::string status = here.run_program(agent, {"status"}).out;

    pty_session s(here, {}, syncer);
    ASSERT_TRUE(s.expect_terminal("Password of the other copy: "));
    s.type_line("a guess");
    result r = s.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("kesp-sync refuses the other copy of vault.db (commit "),
              std::string::npos) << r.err;
    EXPECT_EQ(r.terminal.find("Master password"), std::string::npos) << r.terminal;
    EXPECT_EQ(harness::read_file(here_db), container);

    // Seen from outside: the agent still holds the copy, seals the next
    // change into the container under the master password, and locks.
    EXPECT_EQ(here.run_program(agent, {"status"}).out.substr(0, 40), status.substr(0, 40));
    ASSERT_EQ(add_here("after").err, "");
    r = here.run_program(agent, {"lock"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(harness::exists(here.pointer_file()));
    EXPECT_EQ(titles(here_db), "after\nbank\nbefore\nmail\n");
}

}  // namespace
