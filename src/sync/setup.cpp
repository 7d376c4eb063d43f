// Set-up and init of sync/sync.h.
#include "sync/setup.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "state/files.h"
#include "sync/git.h"
#include "sync/identity.h"
#include "sync/passwords.h"
#include "sync/sync.h"
#include "sync/tree.h"
#include "vault/lock.h"

namespace {

// What every hook of ours holds, and no hook of anybody else's.
const char *const hook_mark = "# kesp-sync: a kesp database (merge=kesp in .gitattributes)";
const char *const hook_names[] = {"pre-commit", "pre-merge-commit"};

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
