#include "sync/sync.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "memory/secret.h"
#include "state/files.h"
#include "state/test_hooks.h"
#include "sync/git.h"
#include "sync/identity.h"
#include "sync/passwords.h"
#include "sync/renumber.h"
#include "sync/tree.h"
#include "vault/active_db.h"
#include "vault/agent_link.h"
#include "vault/detect.h"
#include "vault/lock.h"

namespace {

std::string shell_quoted(const std::string &word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// A text that holds NUL bytes, as the hook compares it after tr.
std::string without_nul(std::string text) {
    for (char &c : text)
        if (c == '\0') c = '@';
    return text;
}

}  // namespace

std::string sync_hook_script() {
    const std::string magic = container_magic_text();
    const std::string trailer = std::to_string(container_trailer_bytes());
    const std::string header = plain_db_header();
    return "#!/bin/sh\n"
           "# kesp-sync: a kesp database (merge=kesp in .gitattributes) is committed\n"
           "# only as an encrypted container: it does not start with SQLite's header,\n"
           "# and its trailer starts with " + magic + " " + trailer + " bytes before its end; no\n"
           "# SQLite side file of it is committed. Installed by kesp-sync init; see\n"
           "# kesp-sync(1).\n"
           "git -c core.quotePath=false ls-files --cached -- ':(attr:merge=kesp)' | {\n"
           "    status=0\n"
           "    while IFS= read -r db; do\n"
           "        size=$(git cat-file -s \":$db\" 2>/dev/null) || size=0\n"
           "        magic=$(git cat-file blob \":$db\" 2>/dev/null | tail -c " + trailer +
           " | head -c " + std::to_string(magic.size()) + ")\n"
           "        header=$(git cat-file blob \":$db\" 2>/dev/null | head -c " +
           std::to_string(header.size()) + " | tr '\\000' @)\n"
           "        if [ \"$size\" -lt " + trailer + " ] || [ \"$magic\" != " +
           shell_quoted(magic) + " ] ||\n"
           "           [ \"$header\" = " + shell_quoted(without_nul(header)) + " ]; then\n"
           "            echo \"kesp-sync: $db is not an encrypted kesp database;"
           " it is not committed (encrypt it with kesp -E).\" >&2\n"
           "            status=1\n"
           "        fi\n"
           "        for side in journal wal shm; do\n"
           "            if git cat-file -e \":$db-$side\" 2>/dev/null; then\n"
           "                echo \"kesp-sync: $db-$side is a side file of SQLite,"
           " which no encrypted database has; it is not committed (git rm --cached it).\" >&2\n"
           "                status=1\n"
           "            fi\n"
           "        done\n"
           "    done\n"
           "    exit $status\n"
           "}\n";
}

bool sync_clean_filter(const char *name) {
    // What git hands over may be a database in clear: kept in wiped memory.
    secret_string bytes;
    char chunk[65536];
    for (;;) {
        ssize_t got = ::read(0, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            print_errno("kesp-sync: standard input");
            wipe(chunk, sizeof chunk);
            return false;
        }
        if (got == 0) break;
        bytes.append({chunk, static_cast<std::size_t>(got)});
    }
    wipe(chunk, sizeof chunk);
    if (!is_encrypted_bytes(reinterpret_cast<const unsigned char *>(bytes.c_str()), bytes.size())) {
        std::fprintf(stderr,
                     "kesp-sync: %s is not an encrypted kesp database; git does not store it "
                     "(encrypt it with kesp -E).\n",
                     name);
        return false;
    }
    if (!write_all(1, bytes.view())) {
        print_errno("kesp-sync: standard output");
        return false;
    }
    return true;
}

namespace {

// What every hook of ours holds, and no hook of anybody else's.
const char *const hook_mark = "# kesp-sync: a kesp database (merge=kesp in .gitattributes)";
const char *const hook_names[] = {"pre-commit", "pre-merge-commit"};
// Where init records the database in the repository's own configuration.
const char *const database_key = "kesp.database";

// A database as kesp-sync sees it: the name it was given, the file, and
// where it stands in its repository.
struct tracked_db {
    std::string shown;     // as the person named it
    std::string absolute;  // its folder resolved, then its own name
    std::string folder;
    std::string top;       // the repository's top folder
    std::string relative;  // from `top`, as git names it
};

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

// A name that .gitattributes can hold as it is (within double quotes when
// it has blanks) and that git prints unquoted.
bool plain_name(const tracked_db &db) {
    for (unsigned char c : db.relative) {
        if (c < 0x20 || c == 0x7f || std::strchr("\"\\*?[", c) != nullptr) {
            std::fprintf(stderr,
                         "%s: kesp-sync cannot mark a name with a control character, a quote, "
                         "a backslash or one of * ? [ in .gitattributes; rename the file.\n",
                         db.shown.c_str());
            return false;
        }
    }
    return true;
}

std::string attribute_pattern(const std::string &relative) {
    std::string pattern = "/" + relative;
    if (pattern.find_first_of(" \t") != std::string::npos) pattern = "\"" + pattern + "\"";
    return pattern;
}

// Reads a file that is not a link; true with nothing read when it is missing.
bool read_text_file(const std::string &path, std::string &text) {
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return errno == ENOENT;
    char chunk[4096];
    for (;;) {
        ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        text.append(chunk, static_cast<std::size_t>(got));
    }
}

// Writes `text` as the whole of `path` (never through a link), durably.
bool write_text_file(const std::string &path, const std::string &text, mode_t mode) {
    unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.valid() || !write_all(fd.get(), text) || ::fchmod(fd.get(), mode) != 0 ||
        ::fsync(fd.get()) != 0) {
        print_errno("Cannot write " + path);
        return false;
    }
    return true;
}

// Gives the database its line in the top folder's .gitattributes: the
// line of an older init is completed in place, another is appended.
bool mark_in_attributes(const tracked_db &db) {
    const std::string path = db.top + "/.gitattributes";
    const std::string pattern = attribute_pattern(db.relative);
    const std::string line = pattern + " binary merge=kesp filter=kesp";
    const std::string older = pattern + " binary merge=kesp";
    std::string text;
    if (!read_text_file(path, text)) {
        print_errno(path);
        return false;
    }
    const std::string framed = "\n" + text;
    if (framed.find("\n" + line + "\n") != std::string::npos) return true;
    std::size_t at = framed.find("\n" + older + "\n");
    if (at != std::string::npos)
        text.replace(at, older.size(), line);
    else
        text += (text.empty() || text.back() == '\n' ? "" : "\n") + line + "\n";
    return write_text_file(path, text, 0644);
}

std::string hook_path(const std::string &top, const char *name) {
    git_result r = run_git(top, {"rev-parse", "--git-path", std::string("hooks/") + name},
                           git_output::silent);
    std::string path = first_line(r.out);
    if (!r.ok() || path.empty()) return "";
    return path[0] == '/' ? path : top + "/" + path;
}

// 1: our hook, 0: none, -1: somebody else's.
int hook_state(const std::string &path, std::string &text) {
    if (!read_text_file(path, text)) return -1;
    if (text.empty() && !file_exists(path.c_str())) return 0;
    return text.find(hook_mark) != std::string::npos ? 1 : -1;
}

bool install_hook(const std::string &path) {
    std::string folder = directory_of(path);
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        print_errno("Cannot make " + folder);
        return false;
    }
    return write_text_file(path, sync_hook_script(), 0755);
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

// git runs the kesp-merge beside this program when there is one: the
// version that belongs to it, also where it is not on PATH; otherwise the
// one on PATH. The passwords come through the inherited descriptor
// `password_fd`, kesp-merge works under our lock (`lock_fd`) and writes the
// ids it gave the other copy's entries to `moved_fd`.
std::vector<std::string> merge_driver_option(const char *self, int password_fd, int lock_fd,
                                             int moved_fd) {
    std::string merger = program_folder(self) + "/kesp-merge";
    if (merger[0] != '/' || ::access(merger.c_str(), X_OK) != 0) merger = "kesp-merge";
    return {"-c", "merge.kesp.driver=" + shell_quoted(merger) + " --password-fd " +
                      std::to_string(password_fd) + " --lock-fd " + std::to_string(lock_fd) +
                      " --moved-fd " + std::to_string(moved_fd) + " --name %P %O %A %B"};
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

// Sets `key` in the repository's own configuration unless it holds `value`.
bool set_config(const std::string &top, const std::string &key, const std::string &value) {
    if (local_config_value(top, key) == value) return true;
    return run_git(top, {"config", "--local", key, value}, git_output::shown).ok();
}

// The clean filter that keeps a decrypted database out of the object
// store, this very program by its absolute path; git passes content back
// unchanged when it checks a file out.
bool configure_filter(const std::string &top, const char *self) {
    const std::string folder = program_folder(self);
    if (folder.empty()) {
        std::fputs("Cannot find the folder of kesp-sync itself, for git's clean filter.\n", stderr);
        return false;
    }
    return set_config(top, "filter.kesp.clean",
                      shell_quoted(folder + "/kesp-sync") + " --clean-filter %f") &&
           set_config(top, "filter.kesp.smudge", "cat") &&
           set_config(top, "filter.kesp.required", "true");
}

std::string commit_of(const std::string &top, const std::string &name) {
    git_result r = run_git(top, {"rev-parse", "-q", "--verify", name + "^{commit}"},
                           git_output::silent);
    return r.ok() ? first_line(r.out) : "";
}

// Commits that carry a change: a merge commit only joins two of them.
long count_changes(const std::string &top, const std::string &range) {
    git_result r = run_git(top, {"rev-list", "--count", "--no-merges", range}, git_output::silent);
    return r.ok() ? std::strtol(r.out.c_str(), nullptr, 10) : 0;
}

std::string changes(long n) {
    return std::to_string(n) + (n == 1 ? " change" : " changes");
}

// git reads a remote that is a path from the repository's folder, where
// the person meant the folder they typed it in: such a path is made
// absolute. URLs ("ssh://...") and scp-like names ("host:path") stay.
std::string remote_url(const std::string &remote) {
    if (remote.empty() || remote[0] == '/' || remote.find("://") != std::string::npos) return remote;
    std::size_t colon = remote.find(':');
    if (colon != std::string::npos && colon < remote.find('/')) return remote;
    char *resolved = ::realpath(remote.c_str(), nullptr);
    if (resolved != nullptr) {
        std::string absolute(resolved);
        std::free(resolved);
        return absolute;
    }
    char *here = ::getcwd(nullptr, 0);
    if (here == nullptr) return remote;
    std::string absolute = std::string(here) + "/" + remote;
    std::free(here);
    return absolute;
}

// Every hook of ours in place, or free for ours; false after naming one
// that is somebody else's.
bool hooks_free(const std::string &top, std::vector<std::string> &paths) {
    for (const char *name : hook_names) {
        std::string path = hook_path(top, name);
        if (path.empty()) {
            std::fprintf(stderr, "Cannot find the hooks folder of %s.\n", top.c_str());
            return false;
        }
        std::string text;
        if (hook_state(path, text) < 0) {
            std::fprintf(stderr,
                         "%s exists and is not kesp-sync's: add kesp-sync's check to it by hand "
                         "(see kesp-sync(1)) or move it away, then run kesp-sync init again.\n",
                         path.c_str());
            return false;
        }
        paths.push_back(path);
    }
    return true;
}

// Set up by init: the driver, the hooks (brought up to date when they are
// ours) and the database recorded. The filter is set anew, with this
// program's path. False after saying what is missing.
bool set_up(const tracked_db &db, const char *self) {
    const std::string recorded = local_config_value(db.top, database_key);
    bool ours = !config_value(db.top, "merge.kesp.driver").empty();
    for (const char *name : hook_names) {
        std::string path = hook_path(db.top, name), text;
        if (path.empty() || hook_state(path, text) != 1) ours = false;
        else if (text != sync_hook_script() && !install_hook(path)) return false;
    }
    if (!ours) {
        std::fprintf(stderr, "%s is not set up for kesp-sync in %s: run kesp-sync init %s first.\n",
                     db.shown.c_str(), db.top.c_str(), db.shown.c_str());
        return false;
    }
    if (recorded.empty()) {
        std::fprintf(stderr,
                     "%s was set up by an older kesp-sync, without the filter that keeps a "
                     "decrypted database out of git: run kesp-sync init %s again.\n",
                     db.shown.c_str(), db.shown.c_str());
        return false;
    }
    if (recorded != db.relative) {
        std::fprintf(stderr, "The database of kesp-sync in %s is %s, not %s.\n", db.top.c_str(),
                     recorded.c_str(), db.relative.c_str());
        return false;
    }
    return configure_filter(db.top, self);
}

// The home folder or the root made a repository would put every file in
// it under git, and a later git add -A would send them.
bool folder_of_its_own(const tracked_db &db) {
    const char *home = std::getenv("HOME");
    char *resolved = home != nullptr && home[0] != '\0' ? ::realpath(home, nullptr) : nullptr;
    const bool is_home = resolved != nullptr && db.folder == resolved;
    std::free(resolved);
    if (!is_home && db.folder != "/") return true;
    std::fprintf(stderr,
                 "kesp-sync would make %s a git repository: put %s in a folder of its own "
                 "(mkdir ~/vault, say, and move it there), then run kesp-sync init on it "
                 "there.\n",
                 is_home ? "your home folder" : "the root folder", db.shown.c_str());
    return false;
}

// git writes the copies it hands to a merge driver as .merge_file_XXXXXX in
// the top folder and removes them after; a merge that was killed leaves
// them behind. Called under the lock, when no merge of ours runs.
struct dir_closer {
    void operator()(DIR *dir) const { ::closedir(dir); }
};

void remove_merge_leftovers(const std::string &top) {
    std::unique_ptr<DIR, dir_closer> folder(::opendir(top.c_str()));
    if (!folder) return;
    const int fd = ::dirfd(folder.get());
    const std::string prefix = ".merge_file_";
    while (const dirent *entry = ::readdir(folder.get())) {
        const std::string name = entry->d_name;
        struct stat st;
        if (name.compare(0, prefix.size(), prefix) != 0 ||
            ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (::unlinkat(fd, name.c_str(), 0) != 0) print_errno("Cannot remove " + top + "/" + name);
    }
}

// A new bare repository whose HEAD names a branch it does not have (its
// default branch, not ours) gives a clone no database: its HEAD is made to
// name the branch just sent. Only a remote that is a folder here can be
// changed so; git offers no way over the wire.
void point_head_at_ours(const std::string &top, const std::string &url) {
    struct stat st;
    if (url.empty() || url[0] != '/' || ::stat(url.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    git_result theirs = run_git(url, {"symbolic-ref", "-q", "HEAD"}, git_output::silent);
    git_result ours = run_git(top, {"symbolic-ref", "-q", "HEAD"}, git_output::silent);
    if (!theirs.ok() || !ours.ok() || first_line(theirs.out) == first_line(ours.out) ||
        !commit_of(url, first_line(theirs.out)).empty())
        return;
    run_git(url, {"symbolic-ref", "HEAD", first_line(ours.out)}, git_output::shown);
}

// The identity the database carries, recorded in the repository; a
// database without one is given one (or the one the repository recorded)
// at the next version. False after a message.
bool give_identity(const tracked_db &db, const sync_key &key) {
    lineage_status status = lineage_status::absent;
    db_lineage lineage;
    if (container_lineage(db.absolute, key.master(), status, lineage) != 1) return false;
    if (status == lineage_status::malformed) {
        std::fprintf(stderr, "The record of which database %s is, inside it, is damaged.\n",
                     db.shown.c_str());
        return false;
    }
    const auto recorded = recorded_lineage(db.top);
    if (status == lineage_status::present && recorded && recorded->identity != lineage.identity) {
        std::fprintf(stderr,
                     "%s is not the database that the repository %s keeps (its identity "
                     "differs from kesp.identity).\n",
                     db.shown.c_str(), db.top.c_str());
        return false;
    }
    if (status != lineage_status::present) {
        lineage = recorded ? *recorded : new_lineage();
        ++lineage.version;
        if (!stamp_container(db.absolute, key.master(), lineage)) return false;
    } else if (recorded) {
        lineage.version = std::max(lineage.version, recorded->version);
    }
    return record_lineage(db.top, lineage);
}

}  // namespace

bool sync_init(const std::string &db_name, const std::optional<std::string> &remote,
               const char *self) {
    tracked_db db;
    if (!locate(db_name, db_name, db) || !encrypted_and_idle(db)) return false;
    auto top = top_folder(db.folder);
    db.top = top ? *top : db.folder;
    if (!find_relative(db) || !plain_name(db)) return false;
    if (!top && !folder_of_its_own(db)) return false;
    // The database is given its identity, or the one it has is recorded:
    // the key is asked for before the lock is taken.
    typed_passwords passwords;
    sync_key key;
    if (!get_sync_key(db.absolute, db.shown, passwords, key)) return false;
    auto lock = take_user_lock(lock_kind::exclusive);
    if (!lock || !encrypted_and_idle(db)) return false;
    if (!top) {
        // A repository of its own: only its owner may read the history.
        if (!run_git(db.folder, {"init", "-q", "--shared=0600"}, git_output::shown).ok())
            return false;
        top = top_folder(db.folder);
        if (!top || *top != db.top) return false;
    }
    const std::string recorded = local_config_value(db.top, database_key);
    if (!recorded.empty() && recorded != db.relative) {
        std::fprintf(stderr, "The repository %s keeps the database %s already; one repository "
                             "keeps one database.\n",
                     db.top.c_str(), recorded.c_str());
        return false;
    }
    std::vector<std::string> hooks;
    if (!hooks_free(db.top, hooks)) return false;
    if (!history_is_encrypted(db.top, db.relative, db.shown)) return false;
    bool add_origin = false;
    std::string url;
    if (remote) {
        url = remote_url(*remote);
        git_result origin = run_git(db.top, {"remote", "get-url", "origin"}, git_output::silent);
        if (origin.ok() && first_line(origin.out) != url) {
            std::fprintf(stderr, "The repository %s sends to origin %s already, not to %s.\n",
                         db.top.c_str(), first_line(origin.out).c_str(), remote->c_str());
            return false;
        }
        add_origin = !origin.ok();
    }

    if (!mark_in_attributes(db)) return false;
    if (!set_config(db.top, "merge.kesp.name", "kesp database merge (kesp-merge)") ||
        !set_config(db.top, "merge.kesp.driver", "kesp-merge %O %A %B") ||
        !set_config(db.top, database_key, db.relative) || !configure_filter(db.top, self))
        return false;
    for (const std::string &hook : hooks)
        if (!install_hook(hook)) return false;
    if (!set_private(db) || !give_identity(db, key)) return false;

    bool committed = false;
    const std::string message = "kesp-sync from " + host_name();
    if (!commit_if_changed(db, {db.relative, ".gitattributes"}, message.c_str(), committed))
        return false;
    const tree_source here{"This repository", {}, false, false};
    if (!tree_is_sound(db.top, db.relative, db.shown, here)) return false;
    if (remote) {
        if (add_origin &&
            !run_git(db.top, {"remote", "add", "origin", url}, git_output::shown).ok())
            return false;
        if (!run_git(db.top, {"push", "-q", "-u", "origin", "HEAD"}, git_output::shown).ok()) {
            std::fputs("Nothing is lost: run kesp-sync init again to send it.\n", stderr);
            return false;
        }
        point_head_at_ours(db.top, url);
    }
    std::printf("Ready: %s is kept in the git repository %s%s.\n", db.shown.c_str(),
                db.top.c_str(), remote ? (" and sent to " + *remote).c_str() : "");
    return true;
}

namespace {

// The database of the repository of the working folder: the one init
// recorded, or for a repository of an older init the one file marked
// merge=kesp. Its path, and its name in the repository.
std::optional<std::pair<std::string, std::string>> only_database() {
    auto top = top_folder(".");
    if (!top) {
        std::fputs("Not in a git repository: name the database, or set one up with kesp-sync "
                   "init DB.\n",
                   stderr);
        return std::nullopt;
    }
    const std::string recorded = local_config_value(*top, database_key);
    if (!recorded.empty()) return std::pair{*top + "/" + recorded, recorded};
    git_result r = run_git(*top, {"ls-files", "-z", "--", ":(attr:merge=kesp)"}, git_output::captured);
    if (!r.ok()) return std::nullopt;
    std::vector<std::string> found;
    for (std::size_t at = 0; at < r.out.size();) {
        std::size_t end = r.out.find('\0', at);
        if (end == std::string::npos) end = r.out.size();
        found.push_back(r.out.substr(at, end - at));
        at = end + 1;
    }
    if (found.size() == 1) return std::pair{*top + "/" + found[0], found[0]};
    if (found.empty())
        std::fprintf(stderr,
                     "The repository %s holds no database of kesp-sync; set one up with kesp-sync "
                     "init DB.\n",
                     top->c_str());
    else
        std::fprintf(stderr, "The repository %s holds %zu databases of kesp-sync: name one.\n",
                     top->c_str(), found.size());
    return std::nullopt;
}

// The repository of `db`, set up by init, with a sound tree, no merge left
// unfinished and a branch checked out (its name into `branch_name`). False
// after saying why.
bool ready_to_sync(tracked_db &db, const char *self, std::string &branch_name) {
    auto top = top_folder(db.folder);
    if (!top) {
        std::fprintf(stderr, "%s is not in a git repository: set it up with kesp-sync init %s.\n",
                     db.shown.c_str(), db.shown.c_str());
        return false;
    }
    db.top = *top;
    if (!find_relative(db) || !set_up(db, self)) return false;
    if (!commit_of(db.top, "MERGE_HEAD").empty()) {
        std::fprintf(stderr,
                     "A merge is unfinished in %s: finish it with git commit, or give it up with "
                     "git merge --abort; then run kesp-sync again.\n",
                     db.top.c_str());
        return false;
    }
    const tree_source here{"This repository", {}, false, false};
    if (!tree_is_sound(db.top, db.relative, db.shown, here)) return false;
    git_result branch = run_git(db.top, {"symbolic-ref", "-q", "--short", "HEAD"}, git_output::silent);
    if (!branch.ok()) {
        std::fprintf(stderr, "No branch is checked out in %s: check one out first.\n",
                     db.top.c_str());
        return false;
    }
    branch_name = first_line(branch.out);
    return true;
}

// A file of the git folder that holds the other copy's container while its
// password is tried; removed when it goes out of scope.
class other_copy_file {
public:
    other_copy_file(const std::string &git_dir, const std::string &bytes) {
        path_ = git_dir + "/kesp-sync-other." + std::to_string(::getpid());
        ::unlink(path_.c_str());
        unique_fd fd(::open(path_.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        ok_ = fd.valid() && write_all(fd.get(), bytes) && ::close(fd.release()) == 0;
        if (!ok_) print_errno("Cannot write " + path_);
    }
    ~other_copy_file() { ::unlink(path_.c_str()); }
    other_copy_file(const other_copy_file &) = delete;
    other_copy_file &operator=(const other_copy_file &) = delete;
    bool ok() const { return ok_; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
    bool ok_ = false;
};

// A file with no name, inherited by the merge driver, for the ids it gave
// the other copy's entries; invalid after a message.
unique_fd moved_report(const tracked_db &db) {
    const std::string git_dir = git_folder(db.top);
    if (git_dir.empty()) return unique_fd();
    const std::string path = git_dir + "/kesp-sync-moved." + std::to_string(::getpid());
    ::unlink(path.c_str());
    unique_fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
    if (!fd.valid()) {
        print_errno("Cannot write " + path);
        return unique_fd();
    }
    ::unlink(path.c_str());
    return fd;
}

// What the merge driver wrote to `fd`: pairs of ids.
std::vector<std::pair<std::int64_t, std::int64_t>> moved_pairs(int fd) {
    std::string text;
    char chunk[4096];
    if (::lseek(fd, 0, SEEK_SET) != 0) return {};
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return parse_moved_pairs(text);
}

// Merges `incoming` (git runs kesp-merge under our lock, the passwords on
// a pipe); false after saying why not. A merge commit that gave entries
// of the other copy new ids says so in its message, ids only, so that the
// other machine knows to look when it takes the result. A merge that
// failed (kesp-merge could not open a copy, or another file conflicted) is
// undone, so that the repository is as it was and the next run starts
// afresh; what git said about it on standard output is then beside the
// point.
bool merge(const tracked_db &db, const char *self, const std::string &incoming,
           const typed_passwords &passwords, const user_lock &lock) {
    unique_fd password_pipe = passwords.pipe_for_child();
    unique_fd moved = moved_report(db);
    if (!password_pipe.valid() || !moved.valid()) return false;
    // kesp-merge works under our lock rather than waiting for it.
    if (lock.descriptor() >= 0 && ::fcntl(lock.descriptor(), F_SETFD, 0) != 0) {
        print_errno("Cannot hand the lock on");
        return false;
    }
    std::vector<std::string> args =
        merge_driver_option(self, password_pipe.get(), lock.descriptor(), moved.get());
    for (const char *word : {"merge", "-q", "--ff", "--no-edit", "-m"}) args.push_back(word);
    const std::string message = "Merge the other copy of " + db.relative;
    args.push_back(message);
    args.push_back(incoming);
    git_result merged = run_git(db.top, args, git_output::captured);
    if (lock.descriptor() >= 0) ::fcntl(lock.descriptor(), F_SETFD, FD_CLOEXEC);
    if (merged.ok()) {
        // Pairs come only from a driver that ran in this merge, which made
        // a merge commit then. Without the trailer the other machine only
        // does not look.
        const std::string trailer = renumbered_trailer(moved_pairs(moved.get()));
        if (!trailer.empty())
            run_git(db.top, {"commit", "-q", "--amend", "-m", message + "\n\n" + trailer},
                    git_output::shown);
        return true;
    }
    if (!commit_of(db.top, "MERGE_HEAD").empty() &&
        run_git(db.top, {"merge", "--abort"}, git_output::shown).ok()) {
        std::fprintf(stderr,
                     "The merge could not be completed and was undone: %s is as it was. Run "
                     "kesp-sync again once the cause is fixed.\n",
                     db.shown.c_str());
        return false;
    }
    std::fputs(merged.out.c_str(), stderr);
    std::fputs("The other copy's changes were not merged; see git status.\n", stderr);
    return false;
}

// Whether the other copy's database is a container: a plain one would
// take this one's place, or be merged into it, with nothing to
// authenticate it. Wiped when it is not.
bool encrypted_blob(const tracked_db &db, std::string &bytes) {
    if (is_encrypted_bytes(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()))
        return true;
    wipe(bytes.data(), bytes.size());
    std::fprintf(stderr,
                 "The other copy's %s is not encrypted: kesp-sync takes only an encrypted copy "
                 "and changed nothing.\n",
                 db.shown.c_str());
    return false;
}

// Fetches the upstream branch, the one thing done before anything else:
// git's own prompts for credentials come with no lock held. The fetched
// commit, or empty after git's message.
std::string fetch(const tracked_db &db, const std::string &remote,
                  const std::string &upstream_ref) {
    if (!run_git(db.top, {"fetch", "-q", remote, upstream_ref}, git_output::shown).ok()) {
        std::fputs("The other copy could not be fetched; nothing was changed.\n", stderr);
        return "";
    }
    return commit_of(db.top, "FETCH_HEAD");
}

// Whether the commits of `incoming` that HEAD lacks claim that a merge
// gave entries new ids: a claim of the remote, which vouches for nothing.
bool incoming_claims_renumbering(const tracked_db &db, const std::string &incoming) {
    git_result log = run_git(db.top, {"log", "--format=%B", "HEAD.." + incoming},
                             git_output::silent);
    return log.ok() && claims_renumbering(log.out);
}

// The master password to compare this copy's entries with the other
// copy's, asked once; false (the sync goes on) with no terminal, at
// Ctrl-D, or when it does not open this copy.
bool password_to_compare(const tracked_db &db, typed_passwords &passwords) {
    if (!passwords.ask("Master password: ")) return false;
    int opens = container_opens(db.absolute.c_str(), passwords.last().c_str());
    if (opens == 0) std::fprintf(stderr, "Wrong master password for %s.\n", db.shown.c_str());
    return opens == 1;
}

// The entries of the database, read with kesp-agent's key or else with the
// master password typed first. False after a message, or silently when
// neither opens it (a merge sealed it under the other copy's new password).
bool read_prints(const tracked_db &db, const typed_passwords &passwords, entry_prints &out) {
    int read = read_entry_prints(db.absolute, db.shown, nullptr, out);
    if (read == 0 && !passwords.empty())
        read = read_entry_prints(db.absolute, db.shown, passwords.first().c_str(), out);
    return read == 1;
}

bool is_ancestor(const std::string &top, const std::string &older, const std::string &newer) {
    return run_git(top, {"merge-base", "--is-ancestor", older, newer}, git_output::silent).ok();
}

// The blob the working file would be committed as.
std::string working_blob(const tracked_db &db) {
    git_result r = run_git(db.top, {"hash-object", "--no-filters", "--", db.absolute},
                           git_output::captured);
    return r.ok() ? first_line(r.out) : "";
}

// The key of this sync (kesp-agent's, or the master password asked once)
// and what the database here says it is. Where the repository records no
// identity, the database's own stands for it. False after a message.
bool open_here(const tracked_db &db, typed_passwords &passwords, sync_key &key,
               std::optional<db_lineage> &anchor, lineage_status &here, db_lineage &lineage) {
    if (key.typed != nullptr) return true;
    if (!get_sync_key(db.absolute, db.shown, passwords, key)) return false;
    if (container_lineage(db.absolute, key.master(), here, lineage) != 1) {
        key.typed = nullptr;
        return false;
    }
    if (here == lineage_status::malformed) {
        std::fprintf(stderr, "The record of which database %s is, inside it, is damaged; "
                             "nothing was changed.\n",
                     db.shown.c_str());
        return false;
    }
    if (here != lineage_status::present) return true;
    if (!anchor) {
        anchor = lineage;
    } else if (anchor->identity != lineage.identity) {
        std::fprintf(stderr,
                     "%s is not the database that the repository %s keeps (its identity "
                     "differs from kesp.identity); nothing was changed.\n",
                     db.shown.c_str(), db.top.c_str());
        return false;
    }
    return true;
}

// The merged database given its lineage, in the merge commit just made,
// unless kesp-merge gave it that one already.
bool stamp_merged(const tracked_db &db, const sync_key &key, const db_lineage &lineage) {
    lineage_status status;
    db_lineage was;
    const char *opened_with = nullptr;
    const int opened = lineage_with_any_key(db.absolute, key, status, was, &opened_with);
    if (opened == 1 && status == lineage_status::present && was == lineage) return true;
    if (opened != 1 || !stamp_container(db.absolute, opened_with, lineage) ||
        !run_git(db.top, literal({"add", "--", db.relative}), git_output::shown).ok() ||
        !run_git(db.top, {"commit", "-q", "--amend", "--no-edit"}, git_output::shown).ok()) {
        std::fputs("The merged database could not be marked as this database; nothing was "
                   "sent.\n",
                   stderr);
        return false;
    }
    return true;
}

}  // namespace

bool sync_database(const std::optional<std::string> &db_name, const char *self) {
    std::optional<std::pair<std::string, std::string>> named;
    if (db_name) named = std::pair{*db_name, *db_name};
    else named = only_database();
    if (!named) return false;
    tracked_db db;
    if (!locate(named->first, named->second, db) || !encrypted_and_idle(db)) return false;
    std::string branch_name;
    if (!ready_to_sync(db, self, branch_name)) return false;
    const std::string remote = config_value(db.top, "branch." + branch_name + ".remote");
    const std::string upstream_ref = config_value(db.top, "branch." + branch_name + ".merge");
    const bool upstream = !remote.empty() && !upstream_ref.empty();
    if (!upstream && !first_line(run_git(db.top, {"remote"}, git_output::silent).out).empty()) {
        std::fprintf(stderr,
                     "The branch %s has no upstream to send to: set one with git push -u "
                     "origin %s, then run kesp-sync again.\n",
                     branch_name.c_str(), branch_name.c_str());
        return false;
    }

    // What the other copy holds, checked before anything here changes.
    std::string incoming;
    bool to_merge = false;
    typed_passwords passwords;
    // Ids change here when this copy takes the other's database as it is,
    // made by a merge that gave entries of this copy new ids. Which ones
    // is seen by comparing the entries before and after, never taken from
    // the history's claim.
    bool claimed = false, compare = false;
    // The key of this sync, when it needs one, and what the two copies say
    // they are.
    sync_key key;
    std::optional<db_lineage> anchor = recorded_lineage(db.top);
    const bool recorded = anchor.has_value();
    lineage_status here = lineage_status::absent;
    db_lineage here_lineage;
    other_copy_lineage their_lineage;
    bool checked = false;
    if (upstream) {
        incoming = fetch(db, remote, upstream_ref);
        if (incoming.empty()) return false;
        const std::string head = commit_of(db.top, "HEAD");
        to_merge = incoming != head && !is_ancestor(db.top, incoming, head);
    }
    if (to_merge) {
        commit_tree theirs(db.top, incoming);
        const std::string current = working_blob(db);
        git_result base = run_git(db.top, {"merge-base", "HEAD", incoming}, git_output::silent);
        const std::string base_blob = base.ok() ? blob_at(db.top, first_line(base.out),
                                                          db.relative) : "";
        if (!theirs.ok() || current.empty() ||
            !tree_is_sound(db.top, db.relative, db.shown, theirs.source()) ||
            !not_a_replay(db.top, db.relative, db.shown, incoming, current, base_blob))
            return false;
        const std::string their_blob = blob_at(db.top, incoming, db.relative);
        git_result theirs_bytes = run_git(db.top, {"cat-file", "blob", their_blob},
                                          git_output::captured);
        if (!theirs_bytes.ok() || !encrypted_blob(db, theirs_bytes.out)) return false;
        // A database the other copy changed is taken, fast-forward or merged,
        // only once it is shown to be this one, later.
        if (their_blob != base_blob && their_blob != current) {
            if (!open_here(db, passwords, key, anchor, here, here_lineage)) return false;
            const std::string git_dir = git_folder(db.top);
            if (git_dir.empty()) return false;
            other_copy_file other(git_dir, theirs_bytes.out);
            if (!other.ok() ||
                !check_other_copy(db.shown, incoming, other.path(), key, anchor, their_lineage))
                return false;
            checked = true;
        }
        // A merge here keeps this copy's ids as a rule, but an entry the
        // other copy renumbered counts there as removed and added again.
        claimed = their_blob != base_blob && incoming_claims_renumbering(db, incoming);
        if (claimed)
            compare = !passwords.empty() || agent_opens(db.absolute) ||
                      password_to_compare(db, passwords);
    }

    // A repository set up by an older kesp-sync records no identity: the
    // next sync that commits gives the database one.
    if (!recorded && key.typed == nullptr && working_blob(db) != blob_at(db.top, "HEAD", db.relative) &&
        !open_here(db, passwords, key, anchor, here, here_lineage))
        return false;

    auto lock = take_user_lock(lock_kind::exclusive);
    if (!lock || !encrypted_and_idle(db)) return false;
    remove_merge_leftovers(db.top);
    // What the database is from now on: the identity recorded, or the one
    // the other copy brought to a database that had none, or a new one.
    db_lineage now;
    if (key.typed != nullptr) {
        now = anchor ? *anchor : their_lineage.carries ? their_lineage.lineage : new_lineage();
        if (here == lineage_status::present)
            now.version = std::max(now.version, here_lineage.version);
        if (their_lineage.carries) now.version = std::max(now.version, their_lineage.lineage.version);
        if (here != lineage_status::present) {
            ++now.version;
            if (!stamp_container(db.absolute, key.master(), now)) return false;
        }
    }
    bool committed = false;
    const std::string message = "kesp-sync from " + host_name();
    if (!commit_if_changed(db, {db.relative}, message.c_str(), committed)) return false;
    if (!upstream) {
        if (key.typed != nullptr && !record_lineage(db.top, now)) return false;
        std::puts(committed ? "Committed 1 change; the repository has no remote to send it to."
                            : "Up to date; the repository has no remote.");
        return true;
    }

    const std::string before = commit_of(db.top, "HEAD");
    entry_prints was, is;
    if (compare) compare = read_prints(db, passwords, was);
    if (to_merge && !merge(db, self, incoming, passwords, *lock)) return false;
    const std::string after = commit_of(db.top, "HEAD");
    const bool received = after != before;
    const bool merged = received && !commit_of(db.top, "HEAD^2").empty() &&
                        commit_of(db.top, "HEAD^1") == before;
    // The merged database carries the lineage of both copies, the version
    // after both: kesp-merge gave it that when it ran, else it is given it
    // in the merge commit itself.
    if (merged && key.typed != nullptr) {
        const carried_lineage ours{lineage_status::present, now};
        const carried_lineage theirs{their_lineage.carries ? lineage_status::present
                                                           : lineage_status::absent,
                                     their_lineage.lineage};
        if (join_lineages(ours, theirs, now) != lineage_join::joined) {
            std::fputs("The merged database could not be marked as this database; nothing was "
                       "sent.\n",
                       stderr);
            return false;
        }
        if (!stamp_merged(db, key, now)) return false;
    } else if (received && checked && their_lineage.carries) {
        now = their_lineage.lineage;
    }
    // The merge joined two sound trees; what it made is checked all the same
    // before it is sent.
    const tree_source merged_tree{"The merged tree", {}, false, false,
                                  "kesp-sync sent nothing; see git log"};
    if (received && !tree_is_sound(db.top, db.relative, db.shown, merged_tree)) return false;
    if (received) test_stop_point("received");
    if (received && !set_private(db)) {
        std::fputs("Nothing was sent.\n", stderr);
        return false;
    }

    // A merge of our own (git merge -s ours over a replayed copy) is sent
    // too, though it carries no change.
    git_result unsent = run_git(db.top, {"rev-list", "--count", incoming + "..HEAD"},
                                git_output::silent);
    const long ahead = unsent.ok() ? std::strtol(unsent.out.c_str(), nullptr, 10) : 0;
    if (ahead > 0 &&
        !run_git(db.top, {"push", "-q", remote, "HEAD:" + upstream_ref}, git_output::shown).ok()) {
        std::fputs("The other copy was not updated; nothing is lost: run kesp-sync again.\n",
                   stderr);
        return false;
    }
    if (key.typed != nullptr && !record_lineage(db.top, now)) return false;
    if (received && their_lineage.own_password && !merged) {
        std::fprintf(stderr,
                     "The master password of %s was changed on the other machine: the password "
                     "typed for the other copy opens it now.%s\n",
                     db.shown.c_str(),
                     key.agent ? " kesp-agent still holds it under the old one: run kesp -E, "
                                 "type the new password, then unlock it again."
                               : "");
    }
    std::string moves;
    if (received && claimed) {
        if (compare) compare = read_prints(db, passwords, is);
        moves = compare ? describe_moves(find_moves(was, is))
                        : "; entry ids may have changed: kesp -l shows them";
    }
    if (merged)
        std::printf("Merged the other copy's changes and sent the result%s.\n", moves.c_str());
    else if (received)
        std::printf("Received %s from the other copy%s.\n",
                    changes(count_changes(db.top, before + ".." + after)).c_str(), moves.c_str());
    else if (ahead > 0)
        std::printf("Sent %s.\n",
                    changes(std::max(1L, count_changes(db.top, incoming + "..HEAD"))).c_str());
    else
        std::puts("Up to date.");
    return true;
}
