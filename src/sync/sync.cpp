#include "sync/sync.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "container/container.h"
#include "state/files.h"
#include "sync/git.h"
#include "vault/active_db.h"
#include "vault/lock.h"

const char *const sync_hook_script =
    "#!/bin/sh\n"
    "# kesp-sync: a kesp database (merge=kesp in .gitattributes) is committed\n"
    "# only as an encrypted container, whose trailer starts with FuI3 148 bytes\n"
    "# before its end. Installed by kesp-sync init; see kesp-sync(1).\n"
    "git -c core.quotePath=false ls-files --cached -- ':(attr:merge=kesp)' | {\n"
    "    status=0\n"
    "    while IFS= read -r db; do\n"
    "        size=$(git cat-file -s \":$db\" 2>/dev/null) || size=0\n"
    "        magic=$(git cat-file blob \":$db\" 2>/dev/null | tail -c 148 | head -c 4)\n"
    "        if [ \"$size\" -lt 148 ] || [ \"$magic\" != FuI3 ]; then\n"
    "            echo \"kesp-sync: $db is not an encrypted kesp database; it is not committed"
    " (encrypt it with kesp -E).\" >&2\n"
    "            status=1\n"
    "        fi\n"
    "    done\n"
    "    exit $status\n"
    "}\n";

namespace {

// What every hook of ours holds, and no hook of anybody else's.
const char *const hook_mark = "# kesp-sync: a kesp database (merge=kesp in .gitattributes)";
const char *const hook_names[] = {"pre-commit", "pre-merge-commit"};

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
    auto magic = container_magic_at(db.absolute.c_str());
    if (!magic) {
        print_errno(db.shown);
        return false;
    }
    if (!*magic) {
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

std::string attribute_line(const std::string &relative) {
    std::string pattern = "/" + relative;
    if (pattern.find_first_of(" \t") != std::string::npos) pattern = "\"" + pattern + "\"";
    return pattern + " binary merge=kesp";
}

bool read_text_file(const std::string &path, std::string &text) {
    file_ptr in(std::fopen(path.c_str(), "rbe"));
    if (!in) return errno == ENOENT;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, in.get())) > 0;)
        text.append(chunk, n);
    return !std::ferror(in.get());
}

// Appends the database's line to the top folder's .gitattributes unless it
// is there already.
bool mark_in_attributes(const tracked_db &db) {
    const std::string path = db.top + "/.gitattributes";
    const std::string line = attribute_line(db.relative);
    std::string text;
    if (!read_text_file(path, text)) {
        print_errno(path);
        return false;
    }
    if (("\n" + text).find("\n" + line + "\n") != std::string::npos) return true;
    std::string addition = (text.empty() || text.back() == '\n' ? "" : "\n") + line + "\n";
    unique_fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid() || !write_all(fd.get(), addition) || ::fsync(fd.get()) != 0) {
        print_errno("Cannot write " + path);
        return false;
    }
    return true;
}

std::string merge_attribute(const tracked_db &db) {
    git_result r = run_git(db.top, {"check-attr", "merge", "--", db.relative}, git_output::silent);
    std::string line = first_line(r.out);
    std::size_t at = line.rfind(": ");
    return r.ok() && at != std::string::npos ? line.substr(at + 2) : "";
}

std::string hook_path(const std::string &top, const char *name) {
    git_result r = run_git(top, {"rev-parse", "--git-path", std::string("hooks/") + name},
                           git_output::silent);
    std::string path = first_line(r.out);
    if (!r.ok() || path.empty()) return "";
    return path[0] == '/' ? path : top + "/" + path;
}

// 1: our hook, 0: none, -1: somebody else's.
int hook_state(const std::string &path) {
    std::string text;
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
    unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755));
    if (!fd.valid() || !write_all(fd.get(), sync_hook_script) || ::fchmod(fd.get(), 0755) != 0 ||
        ::fsync(fd.get()) != 0) {
        print_errno("Cannot write " + path);
        return false;
    }
    return true;
}

std::string host_name() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "an unnamed host";
    return name;
}

std::string shell_quoted(const std::string &word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// git runs the kesp-merge beside this program (`self`, its argv[0]) when
// there is one: the version that belongs to it, also where it is not on
// PATH. Otherwise the repository's own setting finds kesp-merge on PATH.
// argv[0] rather than /proc/self/exe, which names the interpreter when the
// program runs under one (valgrind).
std::vector<std::string> merge_driver_option(const char *self) {
    std::string folder;
    if (self != nullptr && std::strchr(self, '/') != nullptr) {
        folder = directory_of(self);
    } else {
        char exe[PATH_MAX];
        ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n <= 0) return {};
        exe[n] = '\0';
        folder = directory_of(exe);
    }
    char *resolved = ::realpath(folder.c_str(), nullptr);
    if (resolved == nullptr) return {};
    std::string merger = std::string(resolved) + "/kesp-merge";
    std::free(resolved);
    if (::access(merger.c_str(), X_OK) != 0) return {};
    return {"-c", "merge.kesp.driver=" + shell_quoted(merger) + " %O %A %B"};
}

bool set_private(const tracked_db &db) {
    if (::chmod(db.absolute.c_str(), S_IRUSR | S_IWUSR) == 0 || errno == ENOENT) return true;
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

std::string commit_of(const std::string &top, const std::string &name) {
    git_result r = run_git(top, {"rev-parse", "-q", "--verify", name}, git_output::silent);
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

std::optional<user_lock> lock_and_locate(const std::string &db, const std::string &shown,
                                         tracked_db &out) {
    auto lock = take_user_lock(lock_kind::exclusive);
    if (!lock || !locate(db, shown, out) || !encrypted_and_idle(out)) return std::nullopt;
    return lock;
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
        if (hook_state(path) < 0) {
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

// True when git would merge the database with kesp-merge; otherwise says
// which attribute wins instead.
bool merged_by_kesp(const tracked_db &db) {
    std::string value = merge_attribute(db);
    if (value == "kesp") return true;
    std::fprintf(stderr,
                 "The merge attribute of %s is \"%s\", not kesp: a later line of a "
                 ".gitattributes overrides kesp-sync's.\n",
                 db.shown.c_str(), value.c_str());
    return false;
}

bool set_up(const tracked_db &db) {
    if (!merged_by_kesp(db)) return false;
    std::vector<std::string> hooks;
    for (const char *name : hook_names) hooks.push_back(hook_path(db.top, name));
    for (const std::string &hook : hooks)
        if (hook.empty() || hook_state(hook) != 1) return false;
    return !config_value(db.top, "merge.kesp.driver").empty();
}

}  // namespace

bool sync_init(const std::string &db_name, const std::optional<std::string> &remote) {
    tracked_db db;
    auto lock = lock_and_locate(db_name, db_name, db);
    if (!lock) return false;

    auto top = top_folder(db.folder);
    db.top = top ? *top : db.folder;
    if (!find_relative(db) || !plain_name(db)) return false;
    if (!top) {
        // A repository of its own: only its owner may read the history.
        if (!run_git(db.folder, {"init", "-q", "--shared=0600"}, git_output::shown).ok())
            return false;
        top = top_folder(db.folder);
        if (!top || *top != db.top) return false;
    }
    std::vector<std::string> hooks;
    if (!hooks_free(db.top, hooks)) return false;
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
    if (!merged_by_kesp(db)) return false;
    if (!run_git(db.top, {"config", "merge.kesp.name", "kesp database merge (kesp-merge)"},
                 git_output::shown).ok() ||
        !run_git(db.top, {"config", "merge.kesp.driver", "kesp-merge %O %A %B"},
                 git_output::shown).ok())
        return false;
    for (const std::string &hook : hooks)
        if (!install_hook(hook)) return false;
    if (!set_private(db)) return false;

    bool committed = false;
    const std::string message = "kesp-sync from " + host_name();
    if (!commit_if_changed(db, {db.relative, ".gitattributes"}, message.c_str(), committed))
        return false;
    if (remote) {
        if (add_origin &&
            !run_git(db.top, {"remote", "add", "origin", url}, git_output::shown).ok())
            return false;
        if (!run_git(db.top, {"push", "-q", "-u", "origin", "HEAD"}, git_output::shown).ok()) {
            std::fputs("Nothing is lost: run kesp-sync init again to send it.\n", stderr);
            return false;
        }
    }
    std::printf("Ready: %s is kept in the git repository %s%s.\n", db.shown.c_str(),
                db.top.c_str(), remote ? (" and sent to " + *remote).c_str() : "");
    return true;
}

namespace {

// The database of the repository of the working folder, when it holds
// one: its path, and its name in the repository.
std::optional<std::pair<std::string, std::string>> only_database() {
    auto top = top_folder(".");
    if (!top) {
        std::fputs("Not in a git repository: name the database, or set one up with kesp-sync "
                   "init DB.\n",
                   stderr);
        return std::nullopt;
    }
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

// Pulls with a merge; false after saying why not. A merge that failed
// (kesp-merge could not open a copy, or another file conflicted) is undone,
// so that the repository is as it was and the next run starts afresh; what
// git said about it on standard output is then beside the point.
bool pull(const tracked_db &db, const char *self) {
    std::vector<std::string> args = merge_driver_option(self);
    for (const char *word : {"pull", "-q", "--no-rebase", "--ff", "--no-edit"}) args.push_back(word);
    git_result pulled = run_git(db.top, args, git_output::captured);
    if (pulled.ok()) return true;
    if (!commit_of(db.top, "MERGE_HEAD").empty() &&
        run_git(db.top, {"merge", "--abort"}, git_output::shown).ok()) {
        std::fprintf(stderr,
                     "The merge could not be completed and was undone: %s is as it was. Run "
                     "kesp-sync again once the cause is fixed.\n",
                     db.shown.c_str());
        return false;
    }
    std::fputs(pulled.out.c_str(), stderr);
    std::fputs("The other copy's changes were not merged; see git status.\n", stderr);
    return false;
}

}  // namespace

namespace {

// The repository of `db`, set up by init, with no merge left unfinished and
// a branch checked out (its name into `branch_name`). False after saying why.
bool ready_to_sync(tracked_db &db, std::string &branch_name) {
    auto top = top_folder(db.folder);
    if (!top) {
        std::fprintf(stderr, "%s is not in a git repository: set it up with kesp-sync init %s.\n",
                     db.shown.c_str(), db.shown.c_str());
        return false;
    }
    db.top = *top;
    if (!find_relative(db)) return false;
    if (!set_up(db)) {
        std::fprintf(stderr, "%s is not set up for kesp-sync in %s: run kesp-sync init %s first.\n",
                     db.shown.c_str(), db.top.c_str(), db.shown.c_str());
        return false;
    }
    if (!commit_of(db.top, "MERGE_HEAD").empty()) {
        std::fprintf(stderr,
                     "A merge is unfinished in %s: finish it with git commit, or give it up with "
                     "git merge --abort; then run kesp-sync again.\n",
                     db.top.c_str());
        return false;
    }
    git_result branch = run_git(db.top, {"symbolic-ref", "-q", "--short", "HEAD"}, git_output::silent);
    if (!branch.ok()) {
        std::fprintf(stderr, "No branch is checked out in %s: check one out first.\n",
                     db.top.c_str());
        return false;
    }
    branch_name = first_line(branch.out);
    return true;
}

// Pulls (git runs kesp-merge), pushes what is ahead and says in one line
// what happened. False after git's message or ours.
bool exchange(const tracked_db &db, const char *self, const std::string &remote,
              const std::string &upstream_ref) {
    const std::string before = commit_of(db.top, "HEAD");
    if (!pull(db, self)) return false;
    const std::string after = commit_of(db.top, "HEAD");
    const bool received = after != before;
    const bool merged = received && !commit_of(db.top, "HEAD^2").empty() &&
                        commit_of(db.top, "HEAD^1") == before;
    if (received && !set_private(db)) return false;

    const long ahead = count_changes(db.top, "@{upstream}..HEAD");
    if (ahead > 0 &&
        !run_git(db.top, {"push", "-q", remote, "HEAD:" + upstream_ref}, git_output::shown).ok()) {
        std::fputs("The other copy was not updated; nothing is lost: run kesp-sync again.\n",
                   stderr);
        return false;
    }
    if (merged)
        std::puts("Merged the other copy's changes and sent the result.");
    else if (received)
        std::printf("Received %s from the other copy.\n",
                    changes(count_changes(db.top, before + ".." + after)).c_str());
    else if (ahead > 0)
        std::printf("Sent %s.\n", changes(ahead).c_str());
    else
        std::puts("Up to date.");
    return true;
}

}  // namespace

bool sync_database(const std::optional<std::string> &db_name, const char *self) {
    std::optional<std::pair<std::string, std::string>> named;
    if (db_name) named = std::pair{*db_name, *db_name};
    else named = only_database();
    if (!named) return false;
    tracked_db db;
    auto lock = lock_and_locate(named->first, named->second, db);
    if (!lock) return false;
    std::string branch_name;
    if (!ready_to_sync(db, branch_name)) return false;

    bool committed = false;
    const std::string message = "kesp-sync from " + host_name();
    if (!commit_if_changed(db, {db.relative}, message.c_str(), committed)) return false;

    const std::string remote = config_value(db.top, "branch." + branch_name + ".remote");
    const std::string upstream_ref = config_value(db.top, "branch." + branch_name + ".merge");
    if (!remote.empty() && !upstream_ref.empty()) return exchange(db, self, remote, upstream_ref);
    if (!first_line(run_git(db.top, {"remote"}, git_output::silent).out).empty()) {
        std::fprintf(stderr,
                     "The branch %s has no upstream to send to: set one with git push -u "
                     "origin %s, then run kesp-sync again.\n",
                     branch_name.c_str(), branch_name.c_str());
        return false;
    }
    std::puts(committed ? "Committed 1 change; the repository has no remote to send it to."
                        : "Up to date; the repository has no remote.");
    return true;
}
