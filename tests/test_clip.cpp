// kesp-clip and kesp-otp end to end: against a real X server (Xvfb on a
// display number it picks itself), on a pseudo-terminal for OSC 52, and the
// choice of backend with fake helper programs.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "clipboard/backend.h"
#include "harness/harness.h"
#include "otp/otp.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

const std::string secret = "Zq8-unique-secret-41";
const std::string totp_uri = "otpauth://totp/Bank:me?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
const std::vector<harness::row> rows = {
    {"GitHub", "me", "https://github.com", "Zq8-unique-secret-41", ""},
    {"Mail", "me", "", "second-password", ""},
    {"Bank", "me", "", "bank-password", "Setup:\n" + totp_uri + "\n"},
    {"Broken", "me", "", "x", "otpauth://totp/B?secret=GEZDGNBV&digits=12"},
    {"Empty", "me", "", "", ""},
};

// Child of `program` with the sandbox's environment; standard input fed
// with `input`, standard output returned (or sent to /dev/null: xclip -i
// leaves a process behind that keeps it open), standard error to /dev/null.
// The child is killed after five seconds.
harness::result run_quietly(const harness::sandbox &box, const std::vector<std::string> &argv,
                            const std::string &input = "", bool capture = true) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) std::abort();
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(in[0], 0), ::dup2(capture ? out[1] : null, 1), ::dup2(null, 2);
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        auto env = box.environment();
        std::vector<char *> envp, args;
        for (auto &v : env) envp.push_back(v.data());
        envp.push_back(nullptr);
        for (auto &a : const_cast<std::vector<std::string> &>(argv)) args.push_back(a.data());
        args.push_back(nullptr);
        ::execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    ::close(in[0]), ::close(out[1]);
    if (!capture) ::close(out[0]), out[0] = ::open("/dev/null", O_RDONLY);
    ::signal(SIGPIPE, SIG_IGN);
    if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0) ADD_FAILURE() << "write";
    ::close(in[1]);
    harness::result r;
    auto deadline = clock_type::now() + 5s;
    char chunk[4096];
    for (;;) {
        pollfd fd{out[0], POLLIN, 0};
        if (::poll(&fd, 1, 100) > 0) {
            ssize_t n = ::read(out[0], chunk, sizeof chunk);
            if (n <= 0) break;
            r.out.append(chunk, static_cast<std::size_t>(n));
        }
        if (clock_type::now() > deadline) {
            ADD_FAILURE() << argv[0] << " did not finish";
            ::kill(pid, SIGKILL);
            break;
        }
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

// True once `done` holds, polling every 50 ms for at most `limit`.
template <typename Check>
bool eventually(Check done, std::chrono::milliseconds limit = 10s) {
    for (auto deadline = clock_type::now() + limit; clock_type::now() < deadline;) {
        if (done()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

// Gone, or a zombie that nobody has reaped yet (its parent exited at once).
bool ended(pid_t pid) {
    std::string stat = harness::read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t state = stat.rfind(')');
    return state == std::string::npos || stat.compare(state, 3, ") Z") == 0;
}

std::string current_code(const std::string &uri) {
    std::string why;
    auto params = parse_totp_uri(uri, why);
    auto code = totp_at(*params, std::time(nullptr), why);
    return std::string(code->digits.view());
}

// A sandbox whose active database holds `rows`, and the clearer that runs
// in it ended when the test ends (it lives on detached otherwise).
class Companion : public ::testing::Test {
protected:
    void SetUp() override { harness::make_database(box, box.path("db.sqlite"), rows); }
    void TearDown() override {
        if (pid_t pid = clearer_pid(); pid > 0) ::kill(pid, SIGKILL);
    }
    pid_t clearer_pid() const { return std::atoi(harness::read_file(slot()).c_str()); }
    std::string slot() const { return box.home() + "/.kesp.clip"; }
    // The clearer empties its slot as its last act.
    bool clearer_done() const {
        return eventually([&] { return !harness::exists(slot()) || harness::read_file(slot()).empty(); });
    }
    harness::result clip(const std::vector<std::string> &args) const {
        return box.run_program(harness::built_program("kesp-clip"), args);
    }
    harness::sandbox box;
};

class ClipX11 : public Companion {
protected:
    void SetUp() override {
        Companion::SetUp();
        if (::access("/usr/bin/Xvfb", X_OK) != 0 || ::access("/usr/bin/xclip", X_OK) != 0)
            GTEST_SKIP() << "Xvfb or xclip is not installed (scripts/install-deps.sh)";
        int number[2];
        ASSERT_EQ(::pipe(number), 0);
        server_ = ::fork();
        if (server_ == 0) {
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0), ::dup2(null, 1), ::dup2(null, 2), ::dup2(number[1], 3);
            for (int fd = 4; fd < 1024; ++fd) ::close(fd);
            ::execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0",
                    "64x64x8", nullptr);
            _exit(127);
        }
        ::close(number[1]);
        // Xvfb writes its display number once it accepts connections.
        std::string display;
        pollfd fd{number[0], POLLIN, 0};
        char chunk[16];
        for (ssize_t n; ::poll(&fd, 1, 10000) > 0 && (n = ::read(number[0], chunk, sizeof chunk)) > 0;) {
            display.append(chunk, static_cast<std::size_t>(n));
            if (display.back() == '\n') break;
        }
        ::close(number[0]);
        ASSERT_FALSE(display.empty()) << "Xvfb did not start";
        display.pop_back();
        box.env["DISPLAY"] = ":" + display;
    }
    void TearDown() override {
        Companion::TearDown();
        // The xclip processes that serve the clipboard end with the server.
        if (server_ > 0) {
            ::kill(server_, SIGTERM);
            ::waitpid(server_, nullptr, 0);
        }
    }
    // The clipboard as xclip -o reads it; "" when it is empty.
    std::string clipboard() const {
        return run_quietly(box, {"/usr/bin/xclip", "-selection", "clipboard", "-o"}).out;
    }
    void set_clipboard(const std::string &text) const {
        ASSERT_EQ(run_quietly(box, {"/usr/bin/xclip", "-selection", "clipboard", "-i"}, text, false).status, 0);
    }
    pid_t server_ = -1;
};

TEST_F(ClipX11, CopiesThePasswordAndSaysWhatAndForHowLong) {
    auto r = clip({"-t", "30", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Copied the password of entry 1 (GitHub); clearing in 30 s.\n");
    EXPECT_EQ(clipboard(), "Zq8-unique-secret-41");
}

TEST_F(ClipX11, ClearsAfterTheTimeAndPutsBackWhatWasThere) {
    auto r = clip({"-t", "1", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(clipboard(), "Zq8-unique-secret-41");
    EXPECT_TRUE(clearer_done());
    EXPECT_EQ(clipboard(), "");

    set_clipboard("what I had");
    box.env["KESP_CLIP_TIME"] = "1";
    r = clip({"2"});
    ASSERT_EQ(r.err, "Copied the password of entry 2 (Mail); clearing in 1 s.\n");
    EXPECT_EQ(clipboard(), "second-password");
    EXPECT_TRUE(clearer_done());
    EXPECT_EQ(clipboard(), "what I had");
}

TEST_F(ClipX11, LeavesAloneWhatWasCopiedMeanwhile) {
    ASSERT_EQ(clip({"-t", "1", "1"}).status, 0);
    set_clipboard("copied by hand");
    EXPECT_TRUE(clearer_done());
    EXPECT_EQ(clipboard(), "copied by hand");
}

// The second copy ends the first clearer, whose restore runs before the
// second one reads the clipboard: what is put back in the end is what the
// person had before either.
TEST_F(ClipX11, ASecondCopyReplacesTheFirstTimer) {
    set_clipboard("before both");
    ASSERT_EQ(clip({"-t", "1", "1"}).status, 0);
    pid_t first = clearer_pid();
    ASSERT_EQ(clip({"-t", "3", "2"}).status, 0);
    EXPECT_NE(clearer_pid(), first);
    EXPECT_TRUE(ended(first)) << "the first clearer still runs";
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(clipboard(), "second-password");
    EXPECT_TRUE(clearer_done());
    EXPECT_EQ(clipboard(), "before both");
}

// What the clipboard holds when the password is on it already, when it is
// empty, when the terminal session that kesp-clip led hangs up as soon as
// it ends (xterm -e kesp-clip), and when the helper says it copied and did
// not: never the secret once the clearer is done, never a copy that is
// reported but gone.
TEST_F(ClipX11, KeepsTheCopyOnlyWhileItIsDue) {
    const std::string lying = box.root() + "/lying";
    ASSERT_EQ(::mkdir(lying.c_str(), 0700), 0);
    harness::write_file(lying + "/xclip",
                        "#!/bin/sh\ncase \"$*\" in *-in*) cat >/dev/null; exit 0;; esac\n"
                        "exec /usr/bin/xclip \"$@\"\n");
    ::chmod((lying + "/xclip").c_str(), 0700);
    enum class how { plain, session_hangs_up, lying_helper };
    struct clip_case {
        const char *what;
        how run;
        std::string before;
        std::vector<std::string> args;
        int status;
        std::string err;
        std::string copied, cleared;  // the clipboard right after, and once the clearer is done
    };
    const clip_case cases[] = {
        {"the password was on the clipboard already", how::plain, secret, {"-t", "1", "1"}, 0,
         "Copied the password of entry 1 (GitHub); clearing in 1 s.\n", secret, ""},
        {"an empty password", how::plain, "what I had", {"5"}, 1,
         "The password of entry 5 (Empty) is empty; nothing was copied.\n", "what I had", "what I had"},
        {"the session ends with kesp-clip", how::session_hangs_up, "what I had", {"-t", "2", "1"}, 0,
         "Copied the password of entry 1 (GitHub); clearing in 2 s.\n", secret, "what I had"},
        {"the helper does not keep the copy", how::lying_helper, "what I had", {"1"}, 1,
         "The copy is not on the clipboard (xclip did not keep it).\n", "what I had", "what I had"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        set_clipboard(c.before);
        if (c.run == how::lying_helper) box.env["PATH"] = lying + ":/usr/bin:/bin";
        harness::result r;
        if (c.run == how::session_hangs_up) {
            harness::pty_session leader(box, c.args, harness::built_program("kesp-clip"));
            r = leader.finish();
            // As a closing terminal does, to whatever is left of the session.
            ::kill(-leader.pid(), SIGHUP);
        } else {
            r = clip(c.args);
        }
        box.env.erase("PATH");
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(clipboard(), c.copied);
        EXPECT_TRUE(clearer_done());
        EXPECT_EQ(clipboard(), c.cleared);
    }
}

// The slot file of a running clearer names a process to signal: it is used
// only when it and its folder are the user's own and closed to others, and
// the process it names is signalled only when it is the user's own too.
TEST_F(ClipX11, TrustsOnlyAPrivateSlotFile) {
    const passwd *nobody = ::getpwnam("nobody");
    const bool can_chown = ::geteuid() == 0 && nobody != nullptr;
    const std::string home_slot = slot();
    const std::string runtime = box.root() + "/runtime";
    pid_t stranger = -1;  // a process of another user, named by a locked slot
    int holder = -1;      // keeps that slot locked
    auto start_stranger = [&] {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        stranger = ::fork();
        if (stranger == 0) {
            if (::setuid(nobody->pw_uid) == 0 && ::write(ready[1], "u", 1) == 1) ::pause();
            _exit(1);
        }
        char byte;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]), ::close(ready[1]);
        harness::write_file(home_slot, std::to_string(stranger) + "\n");
        holder = ::open(home_slot.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    };
    struct slot_case {
        const char *what;
        bool chowns;
        std::function<void()> spoil;
        std::string err;  // STRANGER stands for the process id
    };
    const slot_case cases[] = {
        {"a file others may write to", false,
         [&] { harness::write_file(home_slot, ""), ::chmod(home_slot.c_str(), 0620); },
         "Not using " + home_slot + ": it is writable by group or others.\n"},
        {"another user's file", true,
         [&] { harness::write_file(home_slot, ""), ::chown(home_slot.c_str(), nobody->pw_uid, 0); },
         "Not using " + home_slot + ": it belongs to another user.\n"},
        {"a folder others may write to", false, [&] { ::chmod(box.home().c_str(), 0702); },
         "Not using " + home_slot + ": its folder " + box.home() + " is writable by group or others.\n"},
        {"another user's folder", true,
         [&] {
             ::mkdir(runtime.c_str(), 0700), ::chown(runtime.c_str(), nobody->pw_uid, 0);
             box.env["XDG_RUNTIME_DIR"] = runtime;
         },
         "Not using " + runtime + "/kesp-clip.pid: its folder " + runtime + " belongs to another user.\n"},
        {"a symbolic link", false, [&] { ::symlink((box.root() + "/elsewhere").c_str(), home_slot.c_str()); },
         "Cannot open " + home_slot + ": Too many levels of symbolic links\n"},
        {"a process of another user", true, start_stranger,
         "Not using " + home_slot + ": it names process STRANGER, which belongs to another user.\n"},
    };
    for (const auto &c : cases) {
        if (c.chowns && !can_chown) continue;
        SCOPED_TRACE(c.what);
        set_clipboard("what I had");
        c.spoil();
        std::string err = c.err;
        if (auto at = err.find("STRANGER"); at != std::string::npos) err.replace(at, 8, std::to_string(stranger));
        auto r = clip({"1"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(clipboard(), "what I had");
        if (stranger > 0) {
            EXPECT_EQ(::waitpid(stranger, nullptr, WNOHANG), 0) << "the other user's process was signalled";
            ::kill(stranger, SIGKILL), ::waitpid(stranger, nullptr, 0), stranger = -1;
            ::close(holder);
        }
        if (pid_t pid = clearer_pid(); pid > 0) ::kill(pid, SIGKILL);
        ::unlink(home_slot.c_str());
        ::chmod(box.home().c_str(), 0700);
        ::rmdir(runtime.c_str());
        box.env.erase("XDG_RUNTIME_DIR");
    }
}

TEST_F(ClipX11, CopiesTheOneTimeCode) {
    for (auto program : {"kesp-clip", "kesp-otp"}) {
        std::string before = current_code(totp_uri);
        auto r = box.run_program(harness::built_program(program),
                                 program == std::string("kesp-clip") ? std::vector<std::string>{"--otp", "3"}
                                                                     : std::vector<std::string>{"--clip", "3"});
        std::string copied = clipboard();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Copied the one-time code of entry 3 (Bank); clearing in 45 s.\n");
        EXPECT_TRUE(copied == before || copied == current_code(totp_uri)) << copied;
    }
}

// The clearer's memory, read as root through /proc, holds no copy of the
// password (only its hash, and the text it will put back).
TEST_F(ClipX11, TheClearerHoldsNoCopyOfThePassword) {
    if (::geteuid() != 0) GTEST_SKIP() << "reading another process's memory needs root";
    // Under a wrapper such as valgrind the clearer's memory is the wrapper's.
    if (harness::wrapped_run()) GTEST_SKIP() << "kesp-clip runs under a wrapper";
    ASSERT_EQ(clip({"-t", "30", "1"}).status, 0);
    pid_t pid = clearer_pid();
    ASSERT_GT(pid, 0);
    std::string maps = harness::read_file("/proc/" + std::to_string(pid) + "/maps");
    int mem = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY);
    ASSERT_GE(mem, 0);
    std::istringstream lines(maps);
    std::size_t scanned = 0;
    for (std::string line; std::getline(lines, line);) {
        unsigned long start = 0, end = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3 || perms[0] != 'r' ||
            perms[1] != 'w' || end - start > (256ul << 20))
            continue;
        std::string bytes(end - start, '\0');
        ssize_t n = ::pread(mem, bytes.data(), bytes.size(), static_cast<off_t>(start));
        if (n <= 0) continue;
        bytes.resize(static_cast<std::size_t>(n));
        scanned += bytes.size();
        EXPECT_EQ(bytes.find("Zq8-unique-secret"), std::string::npos) << line;
    }
    ::close(mem);
    EXPECT_GT(scanned, 0u);
}

// A tmux server of the test's own (its own socket, no configuration file)
// with set-clipboard on, in which kesp-clip runs in a window: with neither
// display set, it copies with OSC 52 to the window's terminal.
class ClipTmux : public Companion {
protected:
    void SetUp() override {
        Companion::SetUp();
        if (::access("/usr/bin/tmux", X_OK) != 0)
            GTEST_SKIP() << "tmux is not installed (scripts/install-deps.sh)";
        socket_ = box.root() + "/tmux";
        // Started with standard output to /dev/null: the server keeps what it inherits.
        ASSERT_EQ(tmux({"-f", "/dev/null", "new-session", "-d", "sleep 600"}, false).status, 0);
        started_ = true;
        ASSERT_EQ(tmux({"set-option", "-g", "set-clipboard", "on"}).status, 0);
    }
    void TearDown() override {
        Companion::TearDown();
        if (started_) tmux({"kill-server"});
    }
    harness::result tmux(std::vector<std::string> args, bool capture = true) const {
        args.insert(args.begin(), {"/usr/bin/tmux", "-S", socket_});
        return run_quietly(box, args, "", capture);
    }
    // True when a paste buffer holds `text`.
    bool has_buffer_with(const std::string &text) const {
        std::istringstream names(tmux({"list-buffers", "-F", "#{buffer_name}"}).out);
        for (std::string name; std::getline(names, name);)
            if (tmux({"save-buffer", "-b", name, "-"}).out == text) return true;
        return false;
    }
    // kesp-clip ARGS in a window of its own; its exit status.
    int clip_in_window(const std::string &args) const {
        const std::string status = box.root() + "/status";
        ::unlink(status.c_str());
        tmux({"new-window", "-d", harness::built_program("kesp-clip") + " " + args + "; echo $? >" + status});
        if (!eventually([&] { return harness::exists(status) && !harness::read_file(status).empty(); }))
            return -1;
        return std::atoi(harness::read_file(status).c_str());
    }
    std::string socket_;
    bool started_ = false;
};

// tmux keeps each OSC 52 copy as a paste buffer, pushes it down the stack
// at the next copy and ignores the empty OSC 52 that clears a terminal's
// clipboard; once the clearers are done no buffer holds a password, and
// the buffers that held something else are left alone.
TEST_F(ClipTmux, LeavesNoPasteBufferWithThePassword) {
    ASSERT_EQ(tmux({"set-buffer", "-b", "mine", "what I had"}).status, 0);
    EXPECT_EQ(clip_in_window("-t 30 2"), 0);
    EXPECT_TRUE(eventually([&] { return has_buffer_with("second-password"); })) << "no copy reached tmux";
    EXPECT_EQ(clip_in_window("-t 1 1"), 0);
    EXPECT_TRUE(eventually([&] { return has_buffer_with(secret); })) << "no copy reached tmux";
    EXPECT_TRUE(clearer_done());
    EXPECT_FALSE(has_buffer_with("second-password"));
    EXPECT_FALSE(has_buffer_with(secret));
    EXPECT_TRUE(has_buffer_with("what I had"));
}

// With no display the copy goes to the terminal on standard error as
// OSC 52, and the clearer writes an empty one there later.
TEST_F(Companion, WritesOsc52ToTheTerminalWithoutADisplay) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0), ::dup2(null, 1), ::dup2(slave, 2);
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        if (::chdir(box.work().c_str()) != 0) _exit(126);
        auto env = box.environment();
        std::vector<char *> envp;
        for (auto &v : env) envp.push_back(v.data());
        envp.push_back(nullptr);
        std::string program = harness::built_program("kesp-clip");
        char *args[] = {program.data(), const_cast<char *>("-t"), const_cast<char *>("1"),
                        const_cast<char *>("1"), nullptr};
        ::execve(args[0], args, envp.data());
        _exit(127);
    }
    ::close(slave);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string copy = "\033]52;c;WnE4LXVuaXF1ZS1zZWNyZXQtNDE=\a";
    const std::string said = "Copied the password of entry 1 (GitHub); clearing in 1 s.\r\n";
    const std::string cleared = "\033]52;c;\a";
    std::string seen;
    auto deadline = clock_type::now() + 10s;
    while (seen.size() < copy.size() + said.size() + cleared.size() && clock_type::now() < deadline) {
        pollfd fd{master, POLLIN, 0};
        if (::poll(&fd, 1, 100) <= 0) continue;
        char chunk[256];
        ssize_t n = ::read(master, chunk, sizeof chunk);
        if (n <= 0) break;
        seen.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(master);
    EXPECT_EQ(seen, copy + said + cleared);
}

TEST_F(Companion, PrintsTheCurrentCode) {
    std::string before = current_code(totp_uri);
    auto r = box.run_program(harness::built_program("kesp-otp"), {"3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out == before + "\n" || r.out == current_code(totp_uri) + "\n") << r.out;
}

TEST_F(Companion, FailuresAndBadUsageEndWithTheirStatus) {
    const std::string clip_usage =
        "Usage: kesp-clip [-t SECONDS] [--otp] ID\n"
        "Copies the password of entry ID (with --otp, its current one-time code) to\n"
        "the clipboard and clears it after SECONDS (default 45 or KESP_CLIP_TIME;\n"
        "0 for never). See kesp-clip(1).\n";
    const std::string otp_usage =
        "Usage: kesp-otp [--clip] ID\n"
        "Prints the current one-time code of entry ID, from the otpauth://totp/ URI\n"
        "in its notes; with --clip, copies it to the clipboard instead.\n"
        "See kesp-otp(1).\n";
    struct run_case {
        const char *program;
        std::vector<std::string> args;
        std::string clip_time;  // KESP_CLIP_TIME, "" for unset
        int status;
        std::string out, err;
    };
    const run_case cases[] = {
        {"kesp-clip", {}, "", 2, "", clip_usage},
        {"kesp-clip", {"1", "2"}, "", 2, "", clip_usage},
        {"kesp-clip", {"0"}, "", 2, "", clip_usage},
        {"kesp-clip", {"1x"}, "", 2, "", clip_usage},
        {"kesp-clip", {"--bogus", "1"}, "", 2, "", harness::built_program("kesp-clip") + ": unrecognized option '--bogus'\n" + clip_usage},
        {"kesp-clip", {"-t", "soon", "1"}, "", 2, "",
         "-t must be a whole number of seconds (0 for never), not \"soon\".\n"},
        {"kesp-clip", {"1"}, "-5", 2, "", "KESP_CLIP_TIME must be a whole number of seconds (0 for never), not \"-5\".\n"},
        {"kesp-clip", {"--help"}, "", 0, clip_usage, ""},
        {"kesp-clip", {"9"}, "", 1, "", "Entry 9 not found.\n"},
        {"kesp-clip", {"--otp", "1"}, "", 1, "", "Entry 1 (GitHub): no otpauth://totp/ URI in its notes.\n"},
        {"kesp-clip", {"5"}, "", 1, "", "The password of entry 5 (Empty) is empty; nothing was copied.\n"},
        {"kesp-clip", {"1"}, "", 1, "",
         "No clipboard to copy to: neither WAYLAND_DISPLAY nor DISPLAY is set, and standard error is not a "
         "terminal.\nIn a desktop session install wl-clipboard (Wayland) or xclip or xsel (X11); elsewhere run "
         "this on a terminal that accepts OSC 52.\n"},
        {"kesp-otp", {}, "", 2, "", otp_usage},
        {"kesp-otp", {"-t", "5", "3"}, "", 2, "", harness::built_program("kesp-otp") + ": invalid option -- 't'\n" + otp_usage},
        {"kesp-otp", {"--clip", "3"}, "x", 2, "", "KESP_CLIP_TIME must be a whole number of seconds (0 for never), not \"x\".\n"},
        {"kesp-otp", {"-h"}, "", 0, otp_usage, ""},
        {"kesp-otp", {"2"}, "", 1, "", "Entry 2 (Mail): no otpauth://totp/ URI in its notes.\n"},
        {"kesp-otp", {"4"}, "", 1, "", "Entry 4 (Broken): its otpauth URI has digits=12; 6, 7 or 8 are allowed.\n"},
        {"kesp-otp", {"6"}, "", 1, "", "Entry 6 not found.\n"},
    };
    for (const auto &c : cases) {
        box.env.erase("KESP_CLIP_TIME");
        if (!c.clip_time.empty()) box.env["KESP_CLIP_TIME"] = c.clip_time;
        auto r = box.run_program(harness::built_program(c.program), c.args);
        std::string line = std::string(c.program) + " " + ::testing::PrintToString(c.args);
        EXPECT_EQ(r.status, c.status) << line;
        EXPECT_EQ(r.out, c.out) << line;
        EXPECT_EQ(r.err, c.err) << line;
    }

    harness::sandbox empty;
    for (auto program : {"kesp-clip", "kesp-otp"}) {
        auto r = empty.run_program(harness::built_program(program), {"1"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "No decrypted database found.\n");
    }
}

// The backend that each environment gets, with fake helpers in PATH.
TEST(ClipBackend, IsChosenInOrderAndNamesWhatToInstall) {
    harness::sandbox box;
    auto folder = [&](const std::string &name, std::initializer_list<const char *> programs) {
        std::string dir = box.root() + "/" + name;
        ::mkdir(dir.c_str(), 0700);
        for (auto p : programs) {
            harness::write_file(dir + "/" + p, "#!/bin/sh\n");
            ::chmod((dir + "/" + p).c_str(), 0700);
        }
        return dir;
    };
    std::string all = folder("all", {"wl-copy", "wl-paste", "xclip", "xsel", "tmux"});
    std::string xsel = folder("xsel", {"xsel"});
    std::string none = folder("none", {});
    const std::string in_tmux = "/tmp/tmux-0/default,4242,0";
    struct choice {
        clip_environment env;
        std::optional<clip_kind> kind;
        std::string copier, why;
        std::string tmux = "", socket = "";
    };
    const choice cases[] = {
        {{"wayland-0", ":0", all, true, ""}, clip_kind::wayland, all + "/wl-copy", ""},
        {{"wayland-0", ":0", none + ":" + xsel, true, ""}, clip_kind::xsel, xsel + "/xsel", ""},
        {{"", ":0", all, false, in_tmux}, clip_kind::xclip, all + "/xclip", ""},
        {{"", ":0", "relative:" + none, true, ""}, std::nullopt, "",
         "No clipboard helper found: install xclip or xsel (for X11).\n"},
        {{"wayland-0", "", none, false, ""}, std::nullopt, "",
         "No clipboard helper found: install wl-clipboard (for Wayland).\n"},
        {{"wayland-0", ":0", none, true, ""}, std::nullopt, "",
         "No clipboard helper found: install wl-clipboard (for Wayland), or xclip or xsel (for X11).\n"},
        {{"", "", all, true, ""}, clip_kind::osc52, "", ""},
        {{"", "", all, true, in_tmux}, clip_kind::osc52, "", "", all + "/tmux", "/tmp/tmux-0/default"},
        {{"", "", none, true, in_tmux}, clip_kind::osc52, "", ""},
        {{"", "", all, true, "tmux-0/default,4242,0"}, clip_kind::osc52, "", ""},
        {{"", "", all, false, in_tmux}, std::nullopt, "",
         "No clipboard to copy to: neither WAYLAND_DISPLAY nor DISPLAY is set, and standard error is not a "
         "terminal.\nIn a desktop session install wl-clipboard (Wayland) or xclip or xsel (X11); elsewhere run "
         "this on a terminal that accepts OSC 52.\n"},
    };
    for (const auto &c : cases) {
        std::string why;
        auto backend = choose_backend(c.env, why);
        std::string line = c.env.wayland_display + "|" + c.env.display + "|" + c.env.path + "|" + c.env.tmux;
        ASSERT_EQ(backend.has_value(), c.kind.has_value()) << line;
        EXPECT_EQ(why, c.why) << line;
        if (!backend) continue;
        EXPECT_EQ(backend->kind, *c.kind) << line;
        EXPECT_EQ(backend->copier, c.copier) << line;
        EXPECT_EQ(backend->tmux, c.tmux) << line;
        EXPECT_EQ(backend->tmux_socket, c.socket) << line;
    }
    EXPECT_EQ(osc52_sequence("").view(), "\033]52;c;\a");
}

}  // namespace
