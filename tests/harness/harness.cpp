#include "harness/harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <pty.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace harness {

namespace {

using clock = std::chrono::steady_clock;

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Reads what is available on fd into `into`; false at end of file or error.
bool drain(int fd, std::string &into) {
    char buffer[65536];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
}

void set_nonblocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// The words of KESP_TEST_WRAPPER, which go in front of the kesp command.
std::vector<std::string> wrapper_words() {
    std::vector<std::string> words;
    const char *wrapper = std::getenv("KESP_TEST_WRAPPER");
    std::istringstream in(wrapper ? wrapper : "");
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

// Runs in the child after fork: user, working directory, environment, exec.
[[noreturn]] void start_child(const sandbox &box, const std::string &program,
                              const std::vector<std::string> &args) {
    reset_signal_state();
    if (box.run_uid() >= 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(box.run_gid())) != 0 ||
         ::setuid(static_cast<uid_t>(box.run_uid())) != 0))
        _exit(125);
    if (::chdir(box.work().c_str()) != 0) _exit(126);
    std::vector<std::string> env = box.environment();
    std::vector<char *> envp;
    for (auto &v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_storage;
    if (box.wrapped) argv_storage = wrapper_words();
    argv_storage.push_back(program);
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The wrapper is looked up in the PATH of the test process.
    ::execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
}

}  // namespace

void reset_signal_state() {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    for (int signo = 1; signo < NSIG; ++signo)
        if (signo != SIGKILL && signo != SIGSTOP) ::sigaction(signo, &fallback, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

const char *const usage =
    "SYNOPSIS\n"
    "\n"
    "    kesp [flags] [options]\n"
    "\n"
    "OPTIONS\n"
    "\n"
    "    -i --init                <path>   Initialize new database\n"
    "    -E --encrypt                      Encrypt the current password database\n"
    "    -D --decrypt             <path>   Decrypt password database\n"
    "    -a --add                          Add new entry\n"
    "    -c --copy                <id>     Copy an entry\n"
    "    -r --remove              <id>     Remove entry pointed by id\n"
    "    -p --show-db-path                 Show current database path\n"
    "    -u --use-db              <path>   Switch using another database\n"
    "    -f --find                <search> Search entries\n"
    "    -F --regex               <search> Search entries with regular expressions\n"
    "    -e --edit                <id>     Edit entry pointed by id\n"
    "    -l --list-entry          <id>     List entry pointed by id\n"
    "    -t --show-latest         [count]  Show latest entries, count is optional\n"
    "    -A --list-all                     List all entries\n"
    "    -h --help                         Show short help and exit. This page\n"
    "    -g --gen-password        <length> Generate password\n"
    "    -q --quick               <search> This is the same as running\n"
    "                                      --show-passwords -f\n"
    "\n"
    "    -v --version                      Show version number of program\n"
    "\n"
    "FLAGS\n"
    "\n"
    "    --auto-encrypt                    Automatically encrypt after exit\n"
    "    --show-passwords                  Show passwords in listings\n"
    "    --show-qrcode                     Show data as QR code in --list-entry\n"
    "    --force                           Ignore everything and force operation\n"
    "                                      --force only works with --init option\n"
    "\n"
    "For more information and examples see man kesp(1).\n"
    "\n"
    "AUTHORS\n"
    "    The kesp developers.\n";

scratch_dir::scratch_dir(const char *prefix) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ram_folder::ram_folder() {
    char name[] = "/dev/shm/kesp-test-XXXXXX";
    if (::mkdtemp(name) != nullptr) path_ = name;
}

void ram_folder::remove() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

sandbox::sandbox() : root_(dir_.path()), home_(root_ + "/home"), work_(root_ + "/work") {
    std::filesystem::create_directory(home_);
    std::filesystem::create_directory(work_);
    // A private HOME whatever the umask: kesp-clip trusts nothing in a
    // folder that others may write to.
    std::filesystem::permissions(home_, std::filesystem::perms::owner_all);
}

sandbox::~sandbox() = default;

command_result run_shell(const std::string &command) {
    command_result r;
    std::FILE *pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return r;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) r.output.append(chunk, n);
    int status = ::pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

const std::string password_alphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789?)(/%#!?)=";

void sqlite_closer::operator()(sqlite3 *db) const { sqlite3_close(db); }

sqlite_ptr open_sqlite(const std::string &path) {
    sqlite3 *raw = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK) << path;
    return sqlite_ptr(raw);
}

bool sandbox::run_unprivileged(const char *user) {
    if (::geteuid() != 0) return true;
    const passwd *pw = ::getpwnam(user);
    if (pw == nullptr || pw->pw_uid == 0) return false;
    // The build may sit below a folder that only root can pass (a private
    // temporary folder, say): then the user cannot even start kesp.
    pid_t probe = ::fork();
    if (probe == 0) {
        bool switched = ::setgid(pw->pw_gid) == 0 && ::setuid(pw->pw_uid) == 0;
        _exit(switched && ::access(KESP_BINARY, X_OK) == 0 ? 0 : 1);
    }
    int status = 0;
    if (probe < 0 || ::waitpid(probe, &status, 0) != probe || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return false;
    // The folder above HOME must be passable; HOME and the working folder
    // become the user's own.
    if (::chmod(root_.c_str(), 0711) != 0 || ::chown(home_.c_str(), pw->pw_uid, pw->pw_gid) != 0 ||
        ::chown(work_.c_str(), pw->pw_uid, pw->pw_gid) != 0)
        return false;
    uid_ = static_cast<int>(pw->pw_uid);
    gid_ = static_cast<int>(pw->pw_gid);
    return true;
}

std::vector<std::string> sandbox::environment() const {
    // `env` may give a PATH of its own (fake helper programs first).
    std::vector<std::string> vars{"LC_ALL=C"};
    if (env.count("PATH") == 0) vars.push_back("PATH=/usr/local/bin:/usr/bin:/bin");
    if (!unset_home) vars.push_back("HOME=" + home_);
    // Sanitizer builds: keep their options, and leak checking off in children
    // that are killed on purpose is not needed; everything else is dropped.
    for (const char *keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *v = std::getenv(keep)) vars.push_back(std::string(keep) + "=" + v);
    for (const auto &[name, value] : env) vars.push_back(name + "=" + value);
    return vars;
}

std::string built_program(const std::string &name) {
    return std::string(KESP_BUILD_DIR) + "/" + name;
}

result sandbox::run(const std::vector<std::string> &args, const std::string &input) const {
    return run_program(KESP_BINARY, args, input);
}

result sandbox::run_program(const std::string &program, const std::vector<std::string> &args,
                            const std::string &input) const {
    int in[2], out[2], err[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) std::abort();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
        start_child(*this, program, args);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    ::signal(SIGPIPE, SIG_IGN);
    set_nonblocking(in[1]);

    result r;
    std::size_t written = 0;
    if (input.empty()) ::close(in[1]), in[1] = -1;
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        ::poll(fds, in[1] >= 0 ? 3 : 2, 1000);
        if (out_open && (fds[0].revents & (POLLIN | POLLHUP))) out_open = drain(out[0], r.out);
        if (err_open && (fds[1].revents & (POLLIN | POLLHUP))) err_open = drain(err[0], r.err);
        if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR))) {
            ssize_t n = ::write(in[1], input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if (n < 0 || written == input.size()) ::close(in[1]), in[1] = -1;
        }
    }
    if (in[1] >= 0) ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = decode_status(status);
    return r;
}

result sandbox::run_pty(const std::vector<std::string> &args,
                        const std::vector<std::pair<std::string, std::string>> &dialogue) const {
    pty_session session(*this, args);
    for (const auto &[prompt, answer] : dialogue) {
        if (!session.expect(prompt)) break;
        session.type_line(answer);
    }
    return session.finish();
}

pty_session::pty_session(const sandbox &box, const std::vector<std::string> &args,
                         const std::string &program) {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) std::abort();
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ < 0) std::abort();
    if (pid_ == 0) {
        // Standard input stays on the terminal; the two output streams go to
        // pipes so that they can be told apart.
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
        start_child(box, program, args);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    for (int fd : {master_, out_, err_}) set_nonblocking(fd);
}

pty_session::~pty_session() {
    if (!exited_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {master_, out_, err_})
        if (fd >= 0) ::close(fd);
}

void pty_session::pump(int timeout_ms) {
    pollfd fds[3] = {{master_eof_ ? -1 : master_, POLLIN, 0}, {out_, POLLIN, 0}, {err_, POLLIN, 0}};
    ::poll(fds, 3, timeout_ms);
    // A closed terminal or pipe reads as end of file (EIO for the master,
    // which stays open so that its settings can still be read).
    if (!master_eof_ && fds[0].revents && !drain(master_, captured_.terminal)) master_eof_ = true;
    if (out_ >= 0 && fds[1].revents && !drain(out_, captured_.out)) ::close(out_), out_ = -1;
    if (err_ >= 0 && fds[2].revents && !drain(err_, captured_.err)) ::close(err_), err_ = -1;
    if (!exited_) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            status_ = decode_status(status);
        }
    }
}

bool pty_session::expect(const std::string &text, std::chrono::milliseconds timeout) {
    auto deadline = clock::now() + timeout;
    for (;;) {
        std::size_t at = captured_.out.find(text, consumed_);
        if (at != std::string::npos) {
            consumed_ = at + text.size();
            return true;
        }
        if ((exited_ && out_ < 0) || clock::now() > deadline) break;
        pump(50);
    }
    ADD_FAILURE() << "expected on standard output: \"" << text << "\"\n"
                  << "got after the last match: \"" << captured_.out.substr(consumed_) << "\"\n"
                  << "standard error: \"" << captured_.err << "\"";
    return false;
}

bool pty_session::expect_terminal(const std::string &text, std::chrono::milliseconds timeout) {
    auto deadline = clock::now() + timeout;
    for (;;) {
        std::size_t at = captured_.terminal.find(text, terminal_consumed_);
        if (at != std::string::npos) {
            terminal_consumed_ = at + text.size();
            return true;
        }
        if ((exited_ && master_eof_) || clock::now() > deadline) break;
        pump(50);
    }
    ADD_FAILURE() << "expected on the terminal: \"" << text << "\"\n"
                  << "got after the last match: \"" << captured_.terminal.substr(terminal_consumed_)
                  << "\"\nstandard error: \"" << captured_.err << "\"";
    return false;
}

void pty_session::type(const std::string &bytes) {
    std::size_t done = 0;
    while (done < bytes.size() && master_ >= 0) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        else
            pump(10);
    }
}

void pty_session::type_eof() {
    type("\x04");
}

void pty_session::signal(int signo) {
    ::kill(pid_, signo);
}

bool pty_session::wait_stopped(std::chrono::milliseconds timeout) {
    auto deadline = clock::now() + timeout;
    while (!exited_ && clock::now() < deadline) {
        int status = 0;
        pid_t got = ::waitpid(pid_, &status, WNOHANG | WUNTRACED);
        if (got == pid_ && WIFSTOPPED(status)) return true;
        if (got == pid_) {
            exited_ = true;
            status_ = decode_status(status);
        }
        pump(10);
    }
    ADD_FAILURE() << "kesp did not stop at its pause point; standard error: \"" << captured_.err
                  << "\"";
    return false;
}

bool pty_session::expect_error(const std::string &text, std::chrono::milliseconds timeout) {
    auto deadline = clock::now() + timeout;
    while (captured_.err.find(text) == std::string::npos) {
        if ((exited_ && err_ < 0) || clock::now() > deadline) {
            ADD_FAILURE() << "expected on standard error: \"" << text << "\"\ngot: \""
                          << captured_.err << "\"";
            return false;
        }
        pump(50);
    }
    return true;
}

bool pty_session::terminal_echoes() const {
    termios t;
    if (master_ < 0 || ::tcgetattr(master_, &t) != 0) return false;
    return (t.c_lflag & ECHO) != 0;
}

result pty_session::finish(std::chrono::milliseconds timeout) {
    auto deadline = clock::now() + timeout;
    bool killed = false;
    while (!(exited_ && out_ < 0 && err_ < 0)) {
        if (!killed && clock::now() > deadline) {
            // Everything it said, so that a hang explains itself.
            ADD_FAILURE() << "kesp did not end; standard output so far: \"" << captured_.out
                          << "\"\nstandard error so far: \"" << captured_.err
                          << "\"\nthe terminal so far: \"" << captured_.terminal << "\"";
            ::kill(pid_, SIGKILL);
            killed = true;
            // A process it started may keep the pipes open: a few seconds more, then
            // they are closed here.
            deadline = clock::now() + std::chrono::seconds(5);
        } else if (killed && clock::now() > deadline) {
            if (exited_) break;
            deadline = clock::now() + std::chrono::seconds(5);
        }
        pump(50);
    }
    if (out_ >= 0) ::close(out_), out_ = -1;
    if (err_ >= 0) ::close(err_), err_ = -1;
    // Whatever the terminal still holds (echo of the last line).
    if (!master_eof_) drain(master_, captured_.terminal);
    captured_.status = status_;
    return captured_;
}

bool wrapped_run() { return std::getenv("KESP_TEST_WRAPPER") != nullptr; }

int slowdown() { return wrapped_run() ? 10 : 1; }

bool reduced_run() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return wrapped_run();
#endif
}

result encrypt(const sandbox &box, const std::string &password) {
    return box.run_pty({"-E"}, {{"Password: ", password}, {"Password again: ", password}});
}

result decrypt(const sandbox &box, const std::string &path, const std::string &password) {
    return box.run_pty({"-D", path}, {{"Password: ", password}});
}

bool is_container(const std::string &path) {
    std::string bytes = read_file(path);
    return bytes.size() >= 148 && bytes.compare(bytes.size() - 148, 4, "FuI3") == 0;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

int file_mode(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

namespace {

int collect_row(void *context, int columns, char **values, char **) {
    auto *out = static_cast<std::string *>(context);
    for (int i = 0; i < columns; ++i) {
        if (i > 0) out->push_back('|');
        out->append(values[i] ? values[i] : "NULL");
    }
    out->push_back('\n');
    return 0;
}

}  // namespace

std::string sql(const std::string &db_path, const std::string &statement) {
    sqlite3 *raw = nullptr;
    int rc = sqlite3_open(db_path.c_str(), &raw);
    sqlite_ptr db(raw);
    if (rc != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << db_path;
        return "";
    }
    std::string out;
    char *error = nullptr;
    if (sqlite3_exec(db.get(), statement.c_str(), collect_row, &out, &error) != SQLITE_OK) {
        ADD_FAILURE() << "SQL failed: " << statement << ": " << (error ? error : "");
        sqlite3_free(error);
    }
    return out;
}

void make_database(const sandbox &box, const std::string &path, const std::vector<row> &rows) {
    std::string script =
        "create table entries(id integer primary key, title text, user text, url text,"
        "password text, notes text,timestamp date default (datetime('now','localtime')));";
    for (const auto &r : rows) {
        char *insert = r.timestamp.empty()
            ? sqlite3_mprintf("insert into entries(title,user,url,password,notes) "
                              "values(%Q,%Q,%Q,%Q,%Q);",
                              r.title.c_str(), r.user.c_str(), r.url.c_str(),
                              r.password.c_str(), r.notes.c_str())
            : sqlite3_mprintf("insert into entries(title,user,url,password,notes,timestamp) "
                              "values(%Q,%Q,%Q,%Q,%Q,%Q);",
                              r.title.c_str(), r.user.c_str(), r.url.c_str(),
                              r.password.c_str(), r.notes.c_str(), r.timestamp.c_str());
        script += insert;
        sqlite3_free(insert);
    }
    sql(path, "begin;" + script + "commit;");
    ::chmod(path.c_str(), 0600);
    write_file(box.pointer_file(), path);
}

std::string entry_block(int id, const row &r, const std::string &timestamp, bool show_password,
                        const std::string &color) {
    const std::string separator(69, '=');
    std::string block = separator + "\n" + color;
    block += "ID: " + std::to_string(id) + "\n";
    block += "Title: " + r.title + "\n";
    block += "User: " + r.user + "\n";
    block += "Url: " + r.url + "\n";
    block += "Password: " + (show_password ? r.password : std::string("**********")) + "\n";
    block += "Notes: " + r.notes + "\n";
    block += "Modified: " + timestamp + "\n";
    block += "\033[0m" + separator + "\n";
    return block;
}

}  // namespace harness
