// kesp-ssh with the real ssh-agent, ssh-add and ssh-keygen: keys kept in
// entries' notes are loaded into an ssh-agent the test starts, sign
// (ssh-keygen -Y sign, checked with -Y verify), ask through the agent's
// SSH_ASKPASS when confirmed, run out, and leave when kesp-agent locks.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "harness/harness.h"

namespace {

bool wrapped() {
    return harness::wrapped_run();
}

// The tools the tests need: missing ones fail the test, never skip it.
void require_tools() {
    for (const char *tool : {"ssh-agent", "ssh-add", "ssh-keygen"})
        ASSERT_EQ(harness::run_shell(std::string("command -v ") + tool + " >/dev/null").status, 0)
            << tool << " is needed (scripts/install-deps.sh installs openssh-client)";
}

std::string shq(const std::string &text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// An ssh-agent of the test's own, in the foreground on a socket in the
// sandbox; its confirmations go to the askpass script `askpass`, which
// answers yes while the file "confirm" holds "yes".
struct ssh_agent {
    harness::sandbox &box;
    pid_t pid = -1;
    std::string socket;

    explicit ssh_agent(harness::sandbox &b, const std::string &name = "ssh-agent.sock")
        : box(b), socket(b.root() + "/" + name) {
        const std::string askpass = box.root() + "/confirm-askpass";
        harness::write_file(askpass, "#!/bin/sh\necho \"$1\" >>" + box.root() +
                                         "/confirm-prompts\ngrep -qx yes " + box.root() +
                                         "/confirm\n");
        ::chmod(askpass.c_str(), 0700);
        harness::write_file(box.root() + "/confirm", "no\n");
        pid = ::fork();
        if (pid == 0) {
            harness::reset_signal_state();
            ::setenv("SSH_ASKPASS", askpass.c_str(), 1);
            ::setenv("SSH_ASKPASS_REQUIRE", "force", 1);
            ::unsetenv("SSH_AUTH_SOCK");
            // -D says where it listens on standard output: not for the log.
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDOUT_FILENO);
            ::execlp("ssh-agent", "ssh-agent", "-D", "-a", socket.c_str(), nullptr);
            _exit(127);
        }
        // Counted tries, not a clock: the socket is there once it listens.
        for (int tries = 0; tries < 2000 && !harness::exists(socket); ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        box.env["SSH_AUTH_SOCK"] = socket;
    }
    ~ssh_agent() {
        if (pid > 0) {
            ::kill(pid, SIGCONT);
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
    // Ended beyond catching: its socket stays, with nothing listening.
    void kill_hard() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
    void confirm(bool yes) { harness::write_file(box.root() + "/confirm", yes ? "yes\n" : "no\n"); }
    std::string run(const std::string &command) const {
        return harness::run_shell("SSH_AUTH_SOCK=" + shq(socket) + " " + command + " 2>&1")
            .output;
    }
    // The public keys it holds, as ssh-add -L prints them.
    std::string keys() const { return run("ssh-add -L"); }
    bool holds(const std::string &pub) const {
        return keys().find(pub.substr(0, pub.find(' ', pub.find(' ') + 1))) != std::string::npos;
    }
    // Adds the private key `block` by hand, as the person would.
    void add_by_hand(const std::string &block) const {
        const std::string file = box.root() + "/by-hand";
        harness::write_file(file, block);
        ::chmod(file.c_str(), 0600);
        run("ssh-add " + shq(file));
        ::unlink(file.c_str());
    }
};

// A key pair made by ssh-keygen in the sandbox: its private block and the
// public line.
struct key_pair {
    std::string block, pub, pub_file, fingerprint;
};

key_pair make_key(const harness::sandbox &box, const std::string &name, const std::string &type,
                  const std::string &passphrase = "") {
    key_pair k;
    const std::string file = box.root() + "/" + name;
    EXPECT_EQ(harness::run_shell("ssh-keygen -q -t " + type + " -N " + shq(passphrase) +
                                 " -C " + name + " -f " + shq(file) + " </dev/null")
                  .status,
              0);
    k.block = harness::read_file(file);
    k.pub_file = file + ".pub";
    k.pub = harness::read_file(k.pub_file);
    std::string listed = harness::run_shell("ssh-keygen -l -E sha256 -f " + shq(k.pub_file)).output;
    std::size_t at = listed.find("SHA256:");
    k.fingerprint = listed.substr(at, listed.find(' ', at) - at);
    ::unlink(file.c_str());
    return k;
}

// "ALGORITHM BLOB" of a public line.
std::string key_of(const std::string &pub) {
    return pub.substr(0, pub.find(' ', pub.find(' ') + 1));
}

// Signs a file through the agent with the public key only, and checks the
// signature as the person who trusts that key would.
bool signs(const harness::sandbox &box, const ssh_agent &agent, const key_pair &k) {
    const std::string data = box.root() + "/signed-data";
    harness::write_file(data, "the data\n");
    ::unlink((data + ".sig").c_str());
    harness::write_file(box.root() + "/allowed", "tester " + k.pub);
    agent.run("ssh-keygen -Y sign -n file -f " + shq(k.pub_file) + " " + shq(data) +
              " </dev/null");
    if (!harness::exists(data + ".sig")) return false;
    return harness::run_shell("ssh-keygen -Y verify -f " + shq(box.root() + "/allowed") +
                              " -I tester -n file -s " + shq(data + ".sig") + " < " +
                              shq(data) + " >/dev/null 2>&1")
               .status == 0;
}

const std::string ssh = harness::built_program("kesp-ssh");

TEST(KespSsh, ALoadedKeySignsUntilItIsRemoved) {
    require_tools();
    harness::sandbox box;
    ssh_agent agent(box);
    ASSERT_TRUE(harness::exists(agent.socket));
    key_pair k = make_key(box, "laptop", "ed25519");
    std::string db = box.path("vault.sqlite");
    harness::make_database(box, db, {{"mail", "me", "", "pw", "no key here"},
                                     {"laptop", "", "", "", "my key:\n" + k.block}});

    EXPECT_EQ(box.run_program(ssh, {"list"}).out,
              "2\tlaptop\tED25519\t" + k.fingerprint + "\tnot loaded\n");
    EXPECT_FALSE(signs(box, agent, k));
    auto added = box.run_program(ssh, {"add", "2"});
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.out, "Entry 2 (laptop): ED25519 " + k.fingerprint + " added.\n");
    EXPECT_EQ(key_of(agent.keys()), key_of(k.pub));
    EXPECT_TRUE(signs(box, agent, k));
    EXPECT_EQ(box.run_program(ssh, {"list"}).out,
              "2\tlaptop\tED25519\t" + k.fingerprint + "\tloaded\n");

    auto removed = box.run_program(ssh, {"remove", "2"});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_FALSE(signs(box, agent, k));
    // Gone already: said, and a failure.
    removed = box.run_program(ssh, {"remove", "2"});
    EXPECT_EQ(removed.status, 1);
    EXPECT_NE(removed.err.find("The key of entry 2 (laptop) is not in the ssh-agent"),
              std::string::npos)
        << removed.err;
    // An entry without a key adds nothing.
    auto none = box.run_program(ssh, {"add", "1"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "Entry 1 (mail) holds no OpenSSH private key.\n");
    EXPECT_EQ(box.run_program(ssh, {"add", "9"}).err, "Entry 9 not found.\n");
}

TEST(KespSsh, AnEncryptedKeyLoadsWithThePassphraseInItsPassword) {
    require_tools();
    harness::sandbox box;
    ssh_agent agent(box);
    key_pair rsa = make_key(box, "server", "rsa", "open sesame");
    key_pair ecdsa = make_key(box, "backup", "ecdsa", "other");
    std::string db = box.path("vault.sqlite");
    harness::make_database(box, db, {{"server", "", "", "open sesame", rsa.block},
                                     {"backup", "", "", "wrong", ecdsa.block}});
    auto added = box.run_program(ssh, {"add", "1"});
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_TRUE(signs(box, agent, rsa));
    // A wrong passphrase is asked for once, never again: no hang, no key.
    auto refused = box.run_program(ssh, {"add", "2"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("ssh-add refused the key of entry 2 (backup)"), std::string::npos)
        << refused.err;
    EXPECT_EQ(harness::run_shell("SSH_AUTH_SOCK=" + shq(agent.socket) + " ssh-add -L | wc -l")
                  .output,
              "1\n");
    EXPECT_EQ(box.run_program(ssh, {"list"}).out,
              "1\tserver\tRSA\t" + rsa.fingerprint + "\tloaded\n2\tbackup\tECDSA\t" +
                  ecdsa.fingerprint + "\tnot loaded\n");
}

TEST(KespSsh, AConfirmedKeySignsOnlyWhenThePersonSaysYes) {
    require_tools();
    if (wrapped()) GTEST_SKIP() << "the ssh-agent's confirmation is not kesp-ssh's code";
    harness::sandbox box;
    ssh_agent agent(box);
    key_pair k = make_key(box, "laptop", "ed25519");
    harness::make_database(box, box.path("vault.sqlite"), {{"laptop", "", "", "", k.block}});
    auto added = box.run_program(ssh, {"add", "--confirm", "1"});
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.out, "Entry 1 (laptop): ED25519 " + k.fingerprint + " added, each use confirmed.\n");
    agent.confirm(false);
    EXPECT_FALSE(signs(box, agent, k));
    EXPECT_TRUE(harness::exists(box.root() + "/confirm-prompts"));
    agent.confirm(true);
    EXPECT_TRUE(signs(box, agent, k));
}

TEST(KespSsh, TheLifetimeRunsOut) {
    require_tools();
    if (wrapped()) GTEST_SKIP() << "the lifetime is the ssh-agent's to keep";
    harness::sandbox box;
    ssh_agent agent(box);
    key_pair k = make_key(box, "laptop", "ed25519");
    harness::make_database(box, box.path("vault.sqlite"), {{"laptop", "", "", "", k.block}});
    auto added = box.run_program(ssh, {"add", "--lifetime", "1s", "1"});
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.out, "Entry 1 (laptop): ED25519 " + k.fingerprint + " added for 1 s.\n");
    // Waited for, however long the ssh-agent takes (counted tries).
    bool gone = false;
    for (int tries = 0; tries < 300 && !gone; ++tries) {
        gone = agent.keys().find(key_of(k.pub)) == std::string::npos;
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(gone);
    EXPECT_FALSE(signs(box, agent, k));
}

// The database kesp-agent holds: a lifetime never past its maximum time,
// and every key kesp-ssh added leaves the ssh-agent when it locks; a key
// the person added by hand stays.
struct held : ::testing::Test {
    harness::ram_folder ram;
    harness::sandbox box;
    std::string db = box.path("vault.sqlite");
    key_pair a, b, own;

    void SetUp() override {
        require_tools();
        ASSERT_FALSE(ram.path().empty());
        box.env["XDG_RUNTIME_DIR"] = ram.path();
        a = make_key(box, "one", "ed25519");
        b = make_key(box, "two", "ed25519", "pass two");
        own = make_key(box, "own", "ed25519");
        harness::make_database(box, db, {{"one", "", "", "", a.block},
                                         {"two", "", "", "pass two", b.block}});
        ASSERT_EQ(harness::encrypt(box, "master").status, 0);
    }
    void unlock(const std::vector<std::string> &args) {
        std::vector<std::string> all{"unlock"};
        all.insert(all.end(), args.begin(), args.end());
        all.push_back(db);
        harness::pty_session s(box, all, harness::built_program("kesp-agent"));
        if (s.expect_terminal("Master password: ")) s.type_line("master");
        ASSERT_EQ(s.finish().status, 0);
    }
};

TEST_F(held, LockingTheAgentRemovesTheKeysItAdded) {
    ssh_agent agent(box);
    unlock({"--max", "1h"});
    auto added = box.run_program(ssh, {"add", "1", "2"});
    ASSERT_EQ(added.status, 0) << added.err;
    // At most the hour left, however long the test took to get here.
    std::size_t at = added.out.find(" added for ");
    ASSERT_NE(at, std::string::npos) << added.out;
    long seconds = std::atol(added.out.c_str() + at + 11);
    EXPECT_GT(seconds, 0);
    EXPECT_LE(seconds, 3600);
    auto shorter = box.run_program(ssh, {"add", "--lifetime", "2h", "1"});
    ASSERT_EQ(shorter.status, 0) << shorter.err;
    EXPECT_EQ(shorter.out.find("for 7200 s"), std::string::npos) << shorter.out;
    harness::write_file(box.root() + "/own-key", own.block);
    ::chmod((box.root() + "/own-key").c_str(), 0600);
    agent.run("ssh-add " + shq(box.root() + "/own-key"));
    EXPECT_TRUE(signs(box, agent, a));
    EXPECT_TRUE(signs(box, agent, b));

    EXPECT_TRUE(harness::exists(box.home() + "/.kesp.ssh_keys"));
    ASSERT_EQ(box.run_program(harness::built_program("kesp-agent"), {"lock"}).status, 0);
    EXPECT_FALSE(harness::exists(box.home() + "/.kesp.ssh_keys"));
    EXPECT_FALSE(signs(box, agent, a));
    EXPECT_FALSE(signs(box, agent, b));
    EXPECT_EQ(key_of(agent.keys()), key_of(own.pub));
}

TEST_F(held, AnAgentThatLocksBySignalRemovesThemToo) {
    if (wrapped()) GTEST_SKIP() << "the same removal as kesp-agent lock";
    ssh_agent agent(box);
    unlock({});
    ASSERT_EQ(box.run_program(ssh, {"add", "2"}).status, 0);
    auto status = box.run_program(harness::built_program("kesp-agent"), {"status"});
    std::size_t at = status.out.find("Agent: process ");
    ASSERT_NE(at, std::string::npos) << status.out;
    pid_t pid = std::atoi(status.out.c_str() + at + 15);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    bool gone = false;
    for (int tries = 0; tries < 400 && !gone; ++tries) {
        gone = agent.keys().find(key_of(b.pub)) == std::string::npos;
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_TRUE(gone);
}

// The agent's process, and the folder of its copy, from kesp-agent status.
struct agent_status {
    pid_t pid = -1;
    std::string folder;
};

agent_status status_of(const harness::sandbox &box) {
    auto status = box.run_program(harness::built_program("kesp-agent"), {"status"});
    agent_status s;
    std::size_t at = status.out.find("Agent: process ");
    if (at != std::string::npos) s.pid = std::atoi(status.out.c_str() + at + 15);
    at = status.out.find("Copy: ");
    if (at != std::string::npos) {
        std::string copy = status.out.substr(at + 6, status.out.find('\n', at) - at - 6);
        s.folder = copy.substr(0, copy.rfind('/'));
    }
    return s;
}

// Until the process is no more than a zombie of whoever adopted it.
void wait_for_death(pid_t pid) {
    for (int tries = 0; tries < 2000; ++tries) {
        std::string stat = harness::read_file("/proc/" + std::to_string(pid) + "/stat");
        std::size_t paren = stat.rfind(')');
        if (paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// The agent gone without locking (its RAM folder removed, or killed beyond
// catching): the keys it had kesp-ssh add leave the ssh-agent at the next
// program that looks at the database, and the record under HOME goes. A
// key the person added by hand stays; one kesp-ssh remove took out is no
// longer recorded.
TEST_F(held, TheKeysGoOnceTheAgentIsGoneHoweverItWent) {
    ssh_agent agent(box);
    agent.add_by_hand(own.block);
    const std::string record = box.home() + "/.kesp.ssh_keys";
    struct {
        const char *how;
        std::string program;
        std::vector<std::string> args;
    } rows[] = {
        {"folder removed", ssh, {"list"}},
        {"SIGKILL", harness::built_program("kesp-agent"), {"status"}},
        {"SIGKILL", KESP_BINARY, {"-A"}},
    };
    bool first = true;
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.how) + ", then " + row.program);
        unlock({});
        // In place of the record, a link (or anything but a file) is neither
        // followed nor replaced, and no key is added without its record.
        if (first) {
            const std::string elsewhere = box.root() + "/elsewhere";
            harness::write_file(elsewhere, "not kesp's\n");
            ASSERT_EQ(::symlink(elsewhere.c_str(), record.c_str()), 0);
            auto refused = box.run_program(ssh, {"add", "1"});
            EXPECT_EQ(refused.status, 1);
            EXPECT_EQ(refused.err, record + " is not a regular file; kesp-ssh leaves it alone.\n"
                                            "Cannot record the key of entry 1 in " + record +
                                            "; it was not added.\n");
            EXPECT_FALSE(agent.holds(a.pub));
            EXPECT_EQ(harness::read_file(elsewhere), "not kesp's\n");
            struct stat st {};
            ASSERT_EQ(::lstat(record.c_str(), &st), 0);
            EXPECT_TRUE(S_ISLNK(st.st_mode));
            ::unlink(record.c_str());
            if (!wrapped()) {
                ASSERT_EQ(::mkdir(record.c_str(), 0700), 0);
                EXPECT_EQ(box.run_program(ssh, {"add", "1"}).status, 1);
                EXPECT_FALSE(agent.holds(a.pub));
                ::rmdir(record.c_str());
            }
            first = false;
        }
        auto added = box.run_program(ssh, {"add", "1", "2"});
        ASSERT_EQ(added.status, 0) << added.err;
        struct stat st {};
        EXPECT_EQ(::lstat(record.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        std::string text = harness::read_file(record);
        EXPECT_NE(text.find(a.fingerprint), std::string::npos) << text;
        EXPECT_EQ(text.find("PRIVATE"), std::string::npos) << text;
        ASSERT_EQ(box.run_program(ssh, {"remove", "1"}).status, 0);
        text = harness::read_file(record);
        EXPECT_EQ(text.find(a.fingerprint), std::string::npos) << text;
        EXPECT_NE(text.find(b.fingerprint), std::string::npos) << text;

        agent_status s = status_of(box);
        ASSERT_GT(s.pid, 0);
        ASSERT_FALSE(s.folder.empty());
        if (std::string(row.how) == "SIGKILL") {
            ASSERT_EQ(::kill(s.pid, SIGKILL), 0);
            wait_for_death(s.pid);
        } else {
            ASSERT_EQ(harness::run_shell("rm -rf " + shq(s.folder)).status, 0);
        }
        EXPECT_TRUE(agent.holds(b.pub) || std::string(row.how) != "SIGKILL");
        box.run_program(row.program, row.args);
        EXPECT_FALSE(agent.holds(b.pub));
        EXPECT_TRUE(agent.holds(own.pub));
        EXPECT_FALSE(harness::exists(record));
        // The next unlock: once is enough under valgrind.
        if (wrapped()) break;
    }
}

// A record under HOME that names an agent that is gone: the next program
// takes each key out of the ssh-agent it went to, whatever became of that
// ssh-agent, and keeps only what it could not take out, saying so.
TEST(KespSsh, TheNextProgramActsOnTheRecordOfAnAgentThatIsGone) {
    require_tools();
    harness::sandbox box;
    harness::make_database(box, box.path("vault.sqlite"), {});
    key_pair k = make_key(box, "one", "ed25519");
    ssh_agent live(box, "live.sock"), killed(box, "killed.sock"), stopped(box, "stopped.sock");
    box.env["SSH_AUTH_SOCK"] = live.socket;
    const std::string record = box.home() + "/.kesp.ssh_keys";
    // What kesp-ssh add wrote for a copy whose folder has gone.
    const std::string copy = box.root() + "/kesp-agent.gone/unlocked.db";
    auto plant = [&](const std::string &socket) {
        harness::write_file(record, copy + "\t" + socket + "\t" + k.fingerprint + "\t" +
                                        key_of(k.pub) + "\n");
        ::chmod(record.c_str(), 0600);
    };
    const std::string kept = "The key " + k.fingerprint +
                             " that kesp-ssh added could not be removed from the ssh-agent at ";
    struct {
        const char *name;
        ssh_agent *agent;    // loaded with the key first; none: a socket that is not there
        bool loaded;
        std::string path;    // PATH of the program's run; empty: the usual one
        bool keeps;          // the key stays recorded (and said)
        bool under_valgrind;
    } rows[] = {
        {"a live ssh-agent holding the key", &live, true, "", false, false},
        {"a live ssh-agent whose key ran out", &live, false, "", false, false},
        {"no socket at all", nullptr, false, "", false, true},
        {"the socket of a killed ssh-agent", &killed, true, "", false, false},
        {"no ssh-add to run", &live, true, "/nonexistent", true, true},
        {"a stopped ssh-agent", &stopped, true, "", true, false},
    };
    for (const auto &row : rows) {
        if (wrapped() && !row.under_valgrind) continue;
        SCOPED_TRACE(row.name);
        const std::string socket = row.agent ? row.agent->socket : box.root() + "/none.sock";
        if (row.loaded) row.agent->add_by_hand(k.block);
        if (row.agent == &killed) killed.kill_hard();
        if (row.agent == &stopped) ::kill(stopped.pid, SIGSTOP);
        plant(socket);
        if (!row.path.empty()) box.env["PATH"] = row.path;
        auto r = box.run_program(ssh, {"list"});
        box.env.erase("PATH");
        EXPECT_EQ(r.status, 0) << r.err;
        if (row.keeps) {
            EXPECT_EQ(r.err.rfind(kept + socket + ": ", 0), 0u) << r.err;
            EXPECT_NE(r.err.find("; " + record + " keeps it for the next try.\n"),
                      std::string::npos) << r.err;
            EXPECT_EQ(harness::read_file(record).find(key_of(k.pub)) != std::string::npos, true);
        } else {
            EXPECT_EQ(r.err, "");
            EXPECT_FALSE(harness::exists(record));
        }
        if (row.agent == &stopped) ::kill(stopped.pid, SIGCONT);
        if (row.keeps) {
            // The next program, with ssh-add and an ssh-agent that answers.
            auto again = box.run_program(ssh, {"list"});
            EXPECT_EQ(again.err, "");
            EXPECT_FALSE(harness::exists(record));
            EXPECT_FALSE(row.agent->holds(k.pub));
        }
        if (row.agent == &live) {
            EXPECT_FALSE(live.holds(k.pub));
        }
    }

    // A link in place of the record leads nowhere: said, and nothing taken.
    const std::string elsewhere = box.root() + "/elsewhere";
    live.add_by_hand(k.block);
    plant(live.socket);
    ASSERT_EQ(::rename(record.c_str(), elsewhere.c_str()), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), record.c_str()), 0);
    const std::string before = harness::read_file(elsewhere);
    auto r = box.run_program(ssh, {"list"});
    EXPECT_EQ(r.err, record + " is not a regular file; kesp-ssh leaves it alone.\n");
    EXPECT_TRUE(live.holds(k.pub));
    EXPECT_EQ(harness::read_file(elsewhere), before);
}

TEST_F(held, LockedItGivesNothingAndSaysHowToUnlock) {
    ssh_agent agent(box);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"add", "1"}, {"remove", "1"}, {"list"}}) {
        auto r = box.run_program(ssh, args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_EQ(r.err, "The database " + db +
                             " is encrypted; kesp-agent unlock lets kesp-ssh use it.\n")
            << args[0];
    }
    EXPECT_EQ(agent.keys(), "The agent has no identities.\n");
}

TEST(KespSsh, NoListingShowsTheKeyBlock) {
    require_tools();
    harness::sandbox box;
    key_pair k = make_key(box, "laptop", "ed25519", "pp");
    std::string db = box.path("vault.sqlite");
    harness::make_database(box, db, {{"laptop", "me", "", "pp", "mine\n" + k.block}});
    // An earlier version for kesp-history.
    ASSERT_EQ(box.run_program(harness::built_program("kesp-edit"), {"1", "--title", "work"}).status,
              0);
    const std::string masked = "Notes: mine\n[OpenSSH private key, ED25519, " + k.fingerprint + "]\n";
    const std::string kesp = KESP_BINARY;
    struct {
        std::string program;
        std::vector<std::string> args;
    } listings[] = {
        {kesp, {"-A"}}, {kesp, {"-l", "1"}}, {kesp, {"-f", "work"}}, {kesp, {"-F", "w.rk"}},
        {kesp, {"-q", "work"}}, {kesp, {"--show-passwords", "-A"}},
        {harness::built_program("kesp-history"), {"1"}},
        {harness::built_program("kesp-history"), {"--show-passwords", "1"}},
        {harness::built_program("kesp-ls"), {"--json"}},
    };
    // Under valgrind, one listing of kesp's and kesp-history's each.
    for (const auto &l : listings) {
        if (wrapped() && (l.args.empty() || (l.args[0] != "-A" && l.args[0] != "1"))) continue;
        auto r = box.run_program(l.program, l.args);
        EXPECT_EQ(r.status, 0) << l.program << " " << l.args[0] << r.err;
        EXPECT_EQ(r.out.find("OPENSSH"), std::string::npos) << l.program << " " << l.args[0];
        EXPECT_EQ(r.out.find(k.block.substr(40, 40)), std::string::npos) << l.program;
        if (l.program != harness::built_program("kesp-ls")) {
            EXPECT_NE(r.out.find(masked), std::string::npos) << l.program << " " << l.args[0] << r.out;
        }
    }
}

TEST(KespSsh, ImportKeepsAKeyFileAndChecksItsPassphrase) {
    require_tools();
    harness::sandbox box;
    std::string db = box.path("vault.sqlite");
    harness::make_database(box, db, {});
    const std::string file = box.root() + "/id_work";
    ASSERT_EQ(harness::run_shell("ssh-keygen -q -t ed25519 -N 'the phrase' -C w -f " + shq(file) +
                                 " </dev/null")
                  .status,
              0);
    const std::string block = harness::read_file(file);
    auto import = [&](const std::string &typed) {
        harness::pty_session s(box, {"import", file, "--title", "work"}, ssh);
        if (s.expect("Passphrase of the key: ")) s.type_line(typed);
        return s.finish();
    };
    auto wrong = import("not it");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err, "That is not the passphrase of " + file + "; nothing was imported.\n");
    EXPECT_EQ(harness::sql(db, "select count(*) from entries"), "0\n");
    auto right = import("the phrase");
    EXPECT_EQ(right.status, 0) << right.err;
    EXPECT_EQ(harness::sql(db, "select title, password, notes = " +
                                   std::string("'") + block + "' from entries"),
              "work|the phrase|1\n");
    // Without a passphrase nothing is asked; a file without a key is refused.
    const std::string plain = box.root() + "/id_plain";
    ASSERT_EQ(harness::run_shell("ssh-keygen -q -t ed25519 -N '' -C p -f " + shq(plain)).status, 0);
    auto quiet = box.run_program(ssh, {"import", plain});
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(harness::sql(db, "select title, password from entries where id = 2"), "id_plain|\n");
    auto none = box.run_program(ssh, {"import", plain + ".pub"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, plain + ".pub holds no OpenSSH private key.\n");
}

TEST(KespSsh, BadUsage) {
    harness::sandbox box;
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {}, {"add"}, {"add", "x"}, {"add", "0"}, {"remove", "--confirm", "1"}, {"list", "1"},
             {"import"}, {"import", "a", "b"}, {"import", "--lifetime", "1s", "f"},
             {"add", "--title", "t", "1"}, {"sign", "1"}}) {
        // Under valgrind the first few: one usage check is one run.
        if (wrapped() && args.size() > 1 && args[0] != "add") continue;
        auto r = box.run_program(ssh, args);
        std::string shown;
        for (const std::string &a : args) shown += a + " ";
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_NE(r.err.find("Usage: kesp-ssh add"), std::string::npos) << shown;
    }
    EXPECT_EQ(box.run_program(ssh, {"--help"}).status, 0);
    // A duration needs its unit, as kesp-agent's.
    auto r = box.run_program(ssh, {"add", "--lifetime", "5", "1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "kesp-ssh: invalid duration: 5\n");
}

}  // namespace
