#include "sync/repository.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "state/files.h"
#include "sync/git.h"
#include "vault/active_db.h"
#include "vault/detect.h"

std::string shell_quoted(const std::string &word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Paths handed to git are file names, never patterns.
std::vector<std::string> literal(std::vector<std::string> args) {
    args.insert(args.begin(), "--literal-pathspecs");
    return args;
}

bool locate(const std::string &db, const std::string &shown, tracked_db &out) {
    out.shown = shown;
    struct stat st;
    if (::lstat(db.c_str(), &st) != 0) {
        print_errno(shown);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        std::fprintf(stderr,
                     "%s is a symbolic link; git would keep the link, not the database: name "
                     "the file itself.\n",
                     shown.c_str());
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "%s is not a regular file.\n", shown.c_str());
        return false;
    }
    char *folder = ::realpath(directory_of(db).c_str(), nullptr);
    if (folder == nullptr) {
        print_errno(directory_of(db));
        return false;
    }
    out.folder = folder;
    std::free(folder);
    std::size_t slash = db.rfind('/');
    out.absolute = (out.folder == "/" ? "" : out.folder) + "/" +
                   (slash == std::string::npos ? db : db.substr(slash + 1));
    return true;
}

// No plain database may be staged: not one that is decrypted, and not the
// active one, which kesp may change at any moment.
bool encrypted_and_idle(const tracked_db &db) {
    active_db active;
    struct stat st;
    if (probe_active_db(active) == active_state::ok && ::stat(db.absolute.c_str(), &st) == 0 &&
        st.st_dev == active.device && st.st_ino == active.inode) {
        std::fprintf(stderr, "%s is the active database: encrypt it first with kesp -E.\n",
                     db.shown.c_str());
        return false;
    }
    auto encrypted = encrypted_db_at(db.absolute.c_str());
    if (!encrypted) {
        print_errno(db.shown);
        return false;
    }
    if (!*encrypted) {
        std::fprintf(stderr, "%s is decrypted: encrypt it first with kesp -E.\n", db.shown.c_str());
        return false;
    }
    return true;
}

std::optional<std::string> top_folder(const std::string &folder) {
    git_result r = run_git(folder, {"rev-parse", "--show-toplevel"}, git_output::silent);
    if (!r.ok() || r.out.empty()) return std::nullopt;
    return first_line(r.out);
}

bool find_relative(tracked_db &db) {
    std::string prefix = db.top == "/" ? "/" : db.top + "/";
    if (db.absolute.compare(0, prefix.size(), prefix) != 0) {
        std::fprintf(stderr, "%s is not inside the repository %s.\n", db.shown.c_str(),
                     db.top.c_str());
        return false;
    }
    db.relative = db.absolute.substr(prefix.size());
    return true;
}

std::string host_name() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "an unnamed host";
    return name;
}

// The folder this program was started from (`self`, its argv[0]), resolved;
// argv[0] rather than /proc/self/exe, which names the interpreter when the
// program runs under one (valgrind). Empty when it cannot be found.
std::string program_folder(const char *self) {
    std::string folder;
    if (self != nullptr && std::strchr(self, '/') != nullptr) {
        folder = directory_of(self);
    } else {
        char exe[PATH_MAX];
        ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n <= 0) return "";
        exe[n] = '\0';
        folder = directory_of(exe);
    }
    char *resolved = ::realpath(folder.c_str(), nullptr);
    if (resolved == nullptr) return "";
    std::string absolute(resolved);
    std::free(resolved);
    return absolute;
}

// Changes the mode of the database file itself, never of what a link
// planted in its place points to.
bool set_private(const tracked_db &db) {
    unique_fd fd(::open(db.absolute.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() && errno == ENOENT) return true;
    struct stat st;
    if (!fd.valid() && errno == ELOOP) {
        std::fprintf(stderr, "%s is a symbolic link now: kesp-sync changes no file through it.\n",
                     db.shown.c_str());
        return false;
    }
    if (fd.valid() && ::fstat(fd.get(), &st) == 0 && !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "%s is not a regular file.\n", db.shown.c_str());
        return false;
    }
    if (fd.valid() && ::fchmod(fd.get(), S_IRUSR | S_IWUSR) == 0) return true;
    print_errno("Cannot make " + db.shown + " private");
    return false;
}

// Stages the database and commits it when it differs from the last commit.
// `changed` tells whether a commit was made. False after git's message.
bool commit_if_changed(const tracked_db &db, const std::vector<std::string> &paths,
                       const char *message, bool &changed) {
    std::vector<std::string> add{"add", "--"};
    add.insert(add.end(), paths.begin(), paths.end());
    if (!run_git(db.top, literal(add), git_output::shown).ok()) return false;
    std::vector<std::string> diff{"diff", "--cached", "--quiet", "--"};
    diff.insert(diff.end(), paths.begin(), paths.end());
    git_result differs = run_git(db.top, literal(diff), git_output::shown);
    if (differs.status != 0 && differs.status != 1) return false;
    changed = differs.status == 1;
    if (!changed) return true;
    std::vector<std::string> commit{"commit", "-q", "-m", message, "--"};
    commit.insert(commit.end(), paths.begin(), paths.end());
    return run_git(db.top, literal(commit), git_output::shown).ok();
}

std::string config_value(const std::string &top, const std::string &key) {
    return first_line(run_git(top, {"config", "--get", key}, git_output::silent).out);
}

std::string local_config_value(const std::string &top, const std::string &key) {
    return first_line(run_git(top, {"config", "--local", "--get", key}, git_output::silent).out);
}

std::string commit_of(const std::string &top, const std::string &name) {
    git_result r = run_git(top, {"rev-parse", "-q", "--verify", name + "^{commit}"},
                           git_output::silent);
    return r.ok() ? first_line(r.out) : "";
}
