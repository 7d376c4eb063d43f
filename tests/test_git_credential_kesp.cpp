// git-credential-kesp with the real git: clone, fetch and push over HTTP
// from a server on 127.0.0.1 (git http-backend behind basic
// authentication), git's prompts answered by an askpass program that the
// test controls and that records every prompt.
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

const std::string server_script = R"PY(
import base64, http.server, os, subprocess, sys
root, secret_file, port_file = sys.argv[1:4]

class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self): self.serve()
    def do_POST(self): self.serve()
    def log_message(self, *args): pass
    def serve(self):
        with open(secret_file) as f: secret = f.read().strip()
        wanted = 'Basic ' + base64.b64encode(secret.encode()).decode()
        if self.headers.get('Authorization', '') != wanted:
            self.send_response(401)
            self.send_header('WWW-Authenticate', 'Basic realm="kesp"')
            self.send_header('Content-Length', '0')
            self.end_headers()
            return
        path, _, query = self.path.partition('?')
        body = self.rfile.read(int(self.headers.get('Content-Length') or 0))
        env = {'GIT_PROJECT_ROOT': root, 'GIT_HTTP_EXPORT_ALL': '1', 'PATH_INFO': path,
               'QUERY_STRING': query, 'REQUEST_METHOD': self.command,
               'CONTENT_TYPE': self.headers.get('Content-Type', ''),
               'CONTENT_LENGTH': str(len(body)), 'REMOTE_USER': secret.split(':')[0],
               'REMOTE_ADDR': '127.0.0.1', 'PATH': os.environ.get('PATH', '/usr/bin:/bin')}
        for name, value in self.headers.items():
            env['HTTP_' + name.upper().replace('-', '_')] = value
        out = subprocess.run(['git', 'http-backend'], input=body, env=env,
                             capture_output=True).stdout
        sep = b'\r\n\r\n' if b'\r\n\r\n' in out else b'\n\n'
        head, _, rest = out.partition(sep)
        status, headers = 200, []
        for line in head.replace(b'\r\n', b'\n').split(b'\n'):
            name, _, value = line.decode().partition(':')
            if name.lower() == 'status': status = int(value.split()[0])
            elif name: headers.append((name, value.strip()))
        self.send_response(status)
        for name, value in headers: self.send_header(name, value)
        self.send_header('Content-Length', str(len(rest)))
        self.end_headers()
        self.wfile.write(rest)

server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
with open(port_file + '.tmp', 'w') as f: f.write(str(server.server_address[1]))
os.rename(port_file + '.tmp', port_file)
server.serve_forever()
)PY";

// The tools the tests need: missing ones fail the test, never skip it.
void require_tools() {
    for (const char *tool : {"git", "python3"})
        ASSERT_EQ(harness::run_shell(std::string("command -v ") + tool + " >/dev/null").status, 0)
            << tool << " is needed (scripts/install-deps.sh installs it)";
    ASSERT_TRUE(harness::exists("/usr/lib/git-core/git-http-backend"));
}

std::string shell_quoted(const std::string &text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A bare repository served with basic authentication as user alice.
struct git_server {
    harness::sandbox &box;
    pid_t pid = -1;
    std::string url;

    explicit git_server(harness::sandbox &b) : box(b) {}
    ~git_server() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
    void set_password(const std::string &password) {
        harness::write_file(box.root() + "/server-secret", "alice:" + password + "\n");
    }
    void start(const std::string &password) {
        std::string root = box.root() + "/served";
        ASSERT_EQ(harness::run_shell("mkdir -p " + root + " && git init -q --bare " + root +
                                     "/repo.git && git -C " + root +
                                     "/repo.git config http.receivepack true")
                      .status,
                  0);
        harness::write_file(box.root() + "/server.py", server_script);
        set_password(password);
        std::string port_file = box.root() + "/server-port";
        pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            harness::reset_signal_state();
            ::execlp("python3", "python3", (box.root() + "/server.py").c_str(), root.c_str(),
                     (box.root() + "/server-secret").c_str(), port_file.c_str(), nullptr);
            _exit(127);
        }
        // Counted tries, not a clock: the server writes its port once it listens.
        for (int tries = 0; tries < 2000 && !harness::exists(port_file); ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(harness::exists(port_file)) << "the test's HTTP server did not start";
        url = "http://127.0.0.1:" + harness::read_file(port_file) + "/repo.git";
    }
};

struct git_result {
    int status;
    std::string err;
};

// git in `dir` with the sandbox's HOME, git-credential-kesp as its only
// helper, no terminal prompt: a prompt goes to the askpass program, which
// logs it and answers alice and the text of the file "typed".
git_result run_git(const harness::sandbox &box, const std::string &dir, const std::string &args,
                   const std::string &input = "/dev/null") {
    std::string askpass = box.root() + "/askpass";
    if (!harness::exists(askpass)) {
        harness::write_file(askpass, "#!/bin/sh\necho \"$1\" >>" + box.root() +
                                         "/prompts\ncase \"$1\" in Username*) echo alice;; *) "
                                         "cat " +
                                         box.root() + "/typed;; esac\n");
        ::chmod(askpass.c_str(), 0700);
    }
    std::string helper = harness::built_program("git-credential-kesp");
    if (const char *wrapper = std::getenv("KESP_TEST_WRAPPER")) helper = std::string(wrapper) + " " + helper;
    std::string err = box.root() + "/git-stderr";
    std::string command =
        "cd " + shell_quoted(dir) + " && env -i PATH=/usr/local/bin:/usr/bin:/bin LC_ALL=C HOME=" +
        shell_quoted(box.home()) + " GIT_CONFIG_NOSYSTEM=1 GIT_TERMINAL_PROMPT=0 GIT_ASKPASS=" +
        shell_quoted(askpass) + " git -c credential.helper= -c credential.helper=" +
        shell_quoted("!" + helper) + " -c user.name=t -c user.email=t@t -c init.defaultBranch=main " +
        args + " >/dev/null 2>" + shell_quoted(err) + " <" + shell_quoted(input);
    auto r = harness::run_shell(command);
    return {r.status, harness::read_file(err)};
}

std::string prompts(const harness::sandbox &box) {
    std::string log = box.root() + "/prompts";
    return harness::exists(log) ? harness::read_file(log) : "";
}

std::string entries(const std::string &db) {
    return harness::sql(db, "select id, title, user, url, password, notes from entries order by id");
}

std::string history(const std::string &db) {
    return harness::sql(db, "select entry_id, gone, password from history order by seq");
}

bool has_history_table(const std::string &db) {
    return harness::sql(db, "select count(*) from sqlite_master where name = 'history'") != "0\n";
}

TEST(GitCredentialKesp, PasswordFromKespMeansNoPromptAndChangesNothing) {
    require_tools();
    harness::sandbox box;
    git_server server(box);
    server.start("right");
    std::string db = box.path("vault.sqlite");
    std::string host = server.url.substr(7, server.url.find('/', 7) - 7);
    harness::make_database(box, db, {{"forge", "alice", "http://" + host + "/", "right", "mine"}});
    std::string before = entries(db);

    auto clone = run_git(box, box.work(), "clone -q " + server.url + " clone");
    ASSERT_EQ(clone.status, 0) << clone.err;
    auto commit = run_git(box, box.work() + "/clone", "commit -q --allow-empty -m one");
    ASSERT_EQ(commit.status, 0) << commit.err;
    auto push = run_git(box, box.work() + "/clone", "push -q origin HEAD:main");
    ASSERT_EQ(push.status, 0) << push.err;
    EXPECT_EQ(prompts(box), "");
    // git stored what it used: the same password, so the entry stays as it was.
    EXPECT_EQ(entries(db), before);
    EXPECT_FALSE(has_history_table(db) && history(db) != "");
}

TEST(GitCredentialKesp, TypedOnceIsStoredAndAChangedPasswordIsTypedOnceAgain) {
    require_tools();
    harness::sandbox box;
    git_server server(box);
    server.start("first");
    std::string db = box.path("vault.sqlite");
    harness::make_database(box, db, {});
    std::string host = server.url.substr(7, server.url.find('/', 7) - 7);

    harness::write_file(box.root() + "/typed", "first\n");
    auto clone = run_git(box, box.work(), "clone -q " + server.url + " clone");
    ASSERT_EQ(clone.status, 0) << clone.err;
    EXPECT_EQ(prompts(box), "Username for 'http://" + host + "': \nPassword for 'http://alice@" +
                                host + "': \n");
    EXPECT_EQ(entries(db), "1|" + host + "|alice|http://" + host + "|first|Stored by git-credential-kesp.\n");

    // Now kesp answers: no prompt.
    std::string clone_dir = box.work() + "/clone";
    std::string asked = prompts(box);
    ASSERT_EQ(run_git(box, clone_dir, "fetch -q").status, 0);
    EXPECT_EQ(prompts(box), asked);

    // The password changes on the server: git refuses kesp's, and the entry
    // that git-credential-kesp stored and nothing changed goes, its password
    // kept in the record of versions; the next fetch asks once and stores.
    server.set_password("second");
    auto refused = run_git(box, clone_dir, "fetch -q");
    EXPECT_NE(refused.status, 0);
    EXPECT_EQ(prompts(box), asked);
    EXPECT_EQ(entries(db), "");
    EXPECT_EQ(history(db), "1|1|first\n");
    harness::write_file(box.root() + "/typed", "second\n");
    ASSERT_EQ(run_git(box, clone_dir, "fetch -q").status, 0);
    EXPECT_NE(prompts(box), asked);
    asked = prompts(box);
    EXPECT_EQ(entries(db), "1|" + host + "|alice|http://" + host + "|second|Stored by git-credential-kesp.\n");
    ASSERT_EQ(run_git(box, clone_dir, "fetch -q").status, 0);
    EXPECT_EQ(prompts(box), asked);
}

TEST(GitCredentialKesp, AWrongPasswordOfAPersonsEntryIsKept) {
    require_tools();
    harness::sandbox box;
    git_server server(box);
    server.start("right");
    std::string db = box.path("vault.sqlite");
    std::string host = server.url.substr(7, server.url.find('/', 7) - 7);
    // The person's entry, and one the helper stored that was edited since.
    harness::make_database(box, db, {{"forge", "alice", "http://" + host, "wrong", "mine"}});
    std::string before = entries(db);

    auto clone = run_git(box, box.work(), "clone -q " + server.url + " clone");
    EXPECT_NE(clone.status, 0);
    EXPECT_NE(clone.err.find("git reported the password of entry 1 (forge) refused; the entry is "
                             "kept.\n"),
              std::string::npos)
        << clone.err;
    EXPECT_EQ(entries(db), before);

    // Without a matching entry git asks; a wrong password typed removes nothing.
    harness::sql(db, "update entries set url = 'http://elsewhere.example'");
    before = entries(db);
    harness::write_file(box.root() + "/typed", "guess\n");
    clone = run_git(box, box.work(), "clone -q " + server.url + " clone");
    EXPECT_NE(clone.status, 0);
    EXPECT_NE(prompts(box).find("Password for"), std::string::npos);
    EXPECT_EQ(entries(db), before);
}

// git credential approve and reject run the helper's store and erase as a
// failed or successful request would.
TEST(GitCredentialKesp, StoreAndEraseThroughGitCredential) {
    require_tools();
    harness::sandbox box;
    std::string db = box.path("vault.sqlite");
    harness::make_database(box, db,
                           {{"forge", "alice", "https://h.example/", "old", "mine"},
                            {"h.example", "bob", "https://h.example", "bobs",
                             "Stored by git-credential-kesp."}});
    auto credential = [&](const std::string &action, const std::string &input) {
        harness::write_file(box.root() + "/request", input);
        return run_git(box, box.work(), "credential " + action, box.root() + "/request");
    };
    // A changed password replaces the old one, which goes to the record.
    auto r = credential("approve", "protocol=https\nhost=h.example\nusername=alice\npassword=new\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(harness::sql(db, "select password from entries where id = 1"), "new\n");
    EXPECT_EQ(history(db), "1|0|old\n");
    // Refused: a person's entry stays; the helper's own entry only with
    // the password git reports.
    r = credential("reject", "protocol=https\nhost=h.example\nusername=alice\npassword=new\n");
    EXPECT_NE(r.err.find("entry 1 (forge) refused; the entry is kept"), std::string::npos) << r.err;
    r = credential("reject", "protocol=https\nhost=h.example\nusername=bob\npassword=other\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(harness::sql(db, "select count(*) from entries"), "2\n");
    r = credential("reject", "protocol=https\nhost=h.example\nusername=bob\npassword=bobs\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(harness::sql(db, "select id from entries"), "1\n");
    // An entry the helper stored and the person then edited is the person's.
    credential("approve", "protocol=https\nhost=h.example\nusername=carol\npassword=c1\n");
    harness::sql(db, "update entries set password = 'c2' where user = 'carol'");
    r = credential("reject", "protocol=https\nhost=h.example\nusername=carol\npassword=c2\n");
    EXPECT_NE(r.err.find("refused; the entry is kept"), std::string::npos) << r.err;
    EXPECT_EQ(harness::sql(db, "select count(*) from entries where user = 'carol'"), "1\n");
}

TEST(GitCredentialKesp, LockedDatabaseAnswersNothingAndSaysHowToUnlock) {
    harness::sandbox box;
    std::string db = box.path("vault.sqlite");
    harness::make_database(box, db, {{"forge", "alice", "https://h.example", "pw", ""}});
    ASSERT_EQ(harness::encrypt(box, "master").status, 0);
    for (const char *action : {"get", "store", "erase"}) {
        auto r = box.run_program(harness::built_program("git-credential-kesp"), {action},
                                 "protocol=https\nhost=h.example\nusername=alice\npassword=x\n\n");
        EXPECT_EQ(r.status, 0) << action;
        EXPECT_EQ(r.out, "") << action;
        EXPECT_EQ(r.err, "The database " + db +
                             " is encrypted; kesp-agent unlock would let git use kesp.\n")
            << action;
    }
    EXPECT_TRUE(harness::is_container(db));
}

TEST(GitCredentialKesp, WorksOnTheCopyAnAgentHoldsUntilItLocks) {
    harness::ram_folder ram;
    ASSERT_FALSE(ram.path().empty());
    harness::sandbox box;
    box.env["XDG_RUNTIME_DIR"] = ram.path();
    std::string db = box.path("vault.sqlite");
    harness::make_database(box, db, {{"forge", "alice", "https://h.example", "pw", ""}});
    ASSERT_EQ(harness::encrypt(box, "master").status, 0);
    {
        harness::pty_session s(box, {"unlock", db}, harness::built_program("kesp-agent"));
        if (s.expect_terminal("Master password: ")) s.type_line("master");
        ASSERT_EQ(s.finish().status, 0);
    }
    const std::string helper = harness::built_program("git-credential-kesp");
    const std::string get = "protocol=https\nhost=h.example\n\n";
    EXPECT_EQ(box.run_program(helper, {"get"}, get).out, "username=alice\npassword=pw\n");
    auto stored = box.run_program(helper, {"store"},
                                  "protocol=https\nhost=h.example\nusername=alice\npassword=pw2\n");
    EXPECT_EQ(stored.status, 0) << stored.err;
    EXPECT_EQ(box.run_program(helper, {"get"}, get).out, "username=alice\npassword=pw2\n");
    ASSERT_EQ(box.run_program(harness::built_program("kesp-agent"), {"lock"}).status, 0);
    auto locked = box.run_program(helper, {"get"}, get);
    EXPECT_EQ(locked.status, 0);
    EXPECT_EQ(locked.out, "");
    EXPECT_EQ(locked.err,
              "The database " + db + " is encrypted; kesp-agent unlock would let git use kesp.\n");
}

struct direct_case {
    const char *name;
    std::vector<std::string> args;
    std::string input, out;
    int status;
};

TEST(GitCredentialKesp, AnswersGetDirectly) {
    harness::sandbox box;
    std::string db = box.path("vault.sqlite");
    harness::make_database(box, db,
                           {{"a", "alice", "https://h.example/team", "pw1", ""},
                            {"b", "alice", "https://h.example/", "pw2\nquit=1", ""}});
    const std::vector<direct_case> cases = {
        {"match", {"get"}, "protocol=https\nhost=H.example\n\n", "username=alice\npassword=pw1\n", 0},
        {"no match", {"get"}, "protocol=https\nhost=other\n\n", "", 0},
        {"no host", {"get"}, "protocol=https\n\n", "", 0},
        {"unknown action ignored", {"frobnicate"}, "protocol=https\nhost=h.example\n\n", "", 0},
        {"no action", {}, "", "", 2},
        {"two actions", {"get", "get"}, "", "", 2},
        {"malformed url", {"get"}, "url=nothing\n\n", "", 1},
    };
    for (const auto &c : cases) {
        auto r = box.run_program(harness::built_program("git-credential-kesp"), c.args, c.input);
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name << r.err;
    }
}

}  // namespace
