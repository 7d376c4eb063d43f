// Test harness for running the built kesp binary.
//
// A `sandbox` is a temporary folder with its own HOME and working directory;
// it is removed with everything in it when it goes out of scope. `run` starts
// kesp with standard input from a pipe (no terminal); a `pty_session` starts
// it with standard input on a pseudo-terminal, answers prompts as they
// appear, and tells what the terminal echoed. Standard output and standard
// error are always captured separately, byte for byte.
//
// When the environment of the test process holds KESP_TEST_WRAPPER (words
// separated by blanks, e.g. a valgrind command line), every run starts kesp
// through that command.
#pragma once

#include <chrono>
#include <csignal>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;

namespace harness {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
class scratch_dir {
public:
    explicit scratch_dir(const char *prefix = "kesp-test");
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;

    std::string file(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// A fresh folder on the RAM filesystem (/dev/shm), for a program that
// refuses any other; empty path when none could be made.
class ram_folder {
public:
    ram_folder();
    ~ram_folder() { remove(); }
    ram_folder(const ram_folder &) = delete;
    ram_folder &operator=(const ram_folder &) = delete;
    void remove();
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

struct result {
    std::string out;       // standard output
    std::string err;       // standard error
    std::string terminal;  // what the terminal showed (pty runs only): echoed input
    int status = -1;       // exit code, or 128 + signal number
};

class sandbox {
public:
    sandbox();
    ~sandbox();
    sandbox(const sandbox &) = delete;
    sandbox &operator=(const sandbox &) = delete;

    const std::string &root() const { return root_; }
    const std::string &home() const { return home_; }  // HOME of every run
    const std::string &work() const { return work_; }  // working directory of every run
    std::string path(const std::string &name) const { return work_ + "/" + name; }
    std::string pointer_file() const { return home_ + "/.kesp.open_db"; }

    // Extra environment of every run (KESP_COLOR, KESP_DEFAULT_USERNAME, ...).
    std::map<std::string, std::string> env;
    // Runs without HOME in the environment.
    bool unset_home = false;
    // False: runs start the program itself, never through KESP_TEST_WRAPPER
    // (a program of another project, such as git, whose own leaks are not
    // ours to count).
    bool wrapped = true;

    // Makes every later run start kesp as `user` (HOME and the working folder
    // are handed to that user), so that file permissions apply even when the
    // tests run as root. False when that is impossible (not root, no such
    // user, or a kesp binary that user cannot start); a test then skips.
    // Not root: runs are unprivileged already.
    bool run_unprivileged(const char *user = "nobody");
    int run_uid() const { return uid_; }  // -1: the tests' own user
    int run_gid() const { return gid_; }

    // Environment for a child: a fixed PATH (unless `env` names one), HOME
    // and `env`; nothing else.
    std::vector<std::string> environment() const;

    // kesp ARGS with standard input from a pipe fed with `input`.
    result run(const std::vector<std::string> &args, const std::string &input = "") const;
    // The same for another program (a companion: built_program("kesp-...")).
    result run_program(const std::string &program, const std::vector<std::string> &args,
                       const std::string &input = "") const;

    // kesp ARGS on a pseudo-terminal; each (prompt, answer) pair waits for
    // `prompt` on standard output, then types `answer` and Enter. Fails the
    // current test if a prompt does not come.
    result run_pty(const std::vector<std::string> &args,
                   const std::vector<std::pair<std::string, std::string>> &dialogue = {}) const;

private:
    scratch_dir dir_;  // first: the folders below are made in it
    std::string root_, home_, work_;
    int uid_ = -1, gid_ = -1;
};

// kesp with standard input on a pseudo-terminal, driven step by step.
class pty_session {
public:
    pty_session(const sandbox &box, const std::vector<std::string> &args,
                const std::string &program = KESP_BINARY);
    ~pty_session();
    pty_session(const pty_session &) = delete;
    pty_session &operator=(const pty_session &) = delete;

    // Waits until standard output, past what earlier calls consumed, holds
    // `text`; consumes up to its end. False on timeout or exit (and the test
    // gets a failure naming the text and what came instead).
    bool expect(const std::string &text,
                std::chrono::milliseconds timeout = std::chrono::seconds(60));
    void type(const std::string &bytes);  // as typed at the keyboard
    void type_line(const std::string &line) { type(line + "\n"); }
    void type_eof();                      // the end-of-file key (^D)
    void signal(int signo);               // sends signo to kesp
    // Waits until kesp has stopped itself at its KESP_TEST_STOP_AT point;
    // false (with a failure) on timeout or exit. resume() continues it.
    bool wait_stopped(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    void resume() { signal(SIGCONT); }
    // The same for what the terminal shows, past what earlier calls
    // consumed: prompts a program writes to /dev/tty itself, and echo.
    bool expect_terminal(const std::string &text,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Waits until standard error holds `text` (anywhere); false on timeout.
    bool expect_error(const std::string &text,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // True while the terminal echoes typed characters.
    bool terminal_echoes() const;
    // Waits for kesp to end (closing nothing) and returns everything captured.
    result finish(std::chrono::milliseconds timeout = std::chrono::seconds(120));

    int pid() const { return pid_; }

private:
    void pump(int timeout_ms);  // moves available bytes from the child into the buffers
    int master_ = -1, out_ = -1, err_ = -1;
    bool master_eof_ = false;
    int pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::size_t consumed_ = 0;
    std::size_t terminal_consumed_ = 0;
    result captured_;
};

// True when every program a test starts runs through KESP_TEST_WRAPPER.
bool wrapped_run();
// How many times longer a program takes here than on its own: 10 through
// KESP_TEST_WRAPPER (valgrind), else 1. For the times a test gives the
// programs (an agent's idle time), never for what it checks.
int slowdown();
// A reduced run: through KESP_TEST_WRAPPER (a key derivation takes seconds
// under valgrind) or in a build with the sanitizers. A table then runs each
// of its rows once rather than every combination of them; the plain suite
// runs everything.
bool reduced_run();

// For its scope, runs of `box` start the programs themselves, never through
// KESP_TEST_WRAPPER: for steps that only bring a test to its state (kesp -E
// of a fresh database, kesp-sync init), whose paths run under the wrapper
// in tests of their own. Nothing changes elsewhere.
class setup_runs {
public:
    explicit setup_runs(sandbox &box) : box_(box), was_(box.wrapped) { box.wrapped = false; }
    ~setup_runs() { box_.wrapped = was_; }
    setup_runs(const setup_runs &) = delete;
    setup_runs &operator=(const setup_runs &) = delete;

private:
    sandbox &box_;
    bool was_;
};

// kesp -E of the active database of `box`, `password` typed twice.
result encrypt(const sandbox &box, const std::string &password);
// kesp -D `path`, `password` typed once.
result decrypt(const sandbox &box, const std::string &path, const std::string &password);
// True when the file at `path` ends in a container trailer.
bool is_container(const std::string &path);

// For a child just forked, before it runs a program or the code under
// test: every signal back to its default action and none blocked, whatever
// the test process inherited (nohup ignores SIGHUP, a shell's background
// job SIGINT) or set for itself (SIGPIPE), so that a signal a test sends
// acts as it would on a person's terminal.
void reset_signal_state();

// Path of a program built beside kesp (the companions).
std::string built_program(const std::string &name);

// Standard output of `command` run by /bin/sh, and its exit status (-1 when
// it did not exit normally).
struct command_result {
    int status = -1;
    std::string output;
};
command_result run_shell(const std::string &command);

// The characters a generated password is drawn from, as documented.
extern const std::string password_alphabet;

// A direct SQLite connection, closed when it goes out of scope.
struct sqlite_closer {
    void operator()(sqlite3 *db) const;
};
using sqlite_ptr = std::unique_ptr<sqlite3, sqlite_closer>;
sqlite_ptr open_sqlite(const std::string &path);  // fails the test when it cannot

// Small file helpers for tests.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool exists(const std::string &path);
int file_mode(const std::string &path);  // permission bits, -1 when missing

// Creates a database with kesp's own schema at `path` (through sqlite3, not
// through kesp) holding the given rows (title, user, url, password, notes),
// and makes it the active database of `box`.
struct row {
    row(std::string title, std::string user, std::string url, std::string password,
        std::string notes, std::string timestamp = "")
        : title(std::move(title)), user(std::move(user)), url(std::move(url)),
          password(std::move(password)), notes(std::move(notes)),
          timestamp(std::move(timestamp)) {}
    std::string title, user, url, password, notes;
    std::string timestamp;  // empty: the database's default (now)
};
void make_database(const sandbox &box, const std::string &path, const std::vector<row> &rows);

// Runs an SQL statement on a database file and returns its result rows,
// columns separated by '|', one row a line. Fails the test on error.
std::string sql(const std::string &db_path, const std::string &statement);

// The block that kesp prints for one entry in text form with no colour.
std::string entry_block(int id, const row &r, const std::string &timestamp,
                        bool show_password, const std::string &color = "\033[0m");

// The usage text, exactly.
extern const char *const usage;

}  // namespace harness
