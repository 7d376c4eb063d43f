// One sync run of sync/sync.h.
#include "sync/sync.h"

#include <cerrno>
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
#include "sync/setup.h"
#include "sync/tree.h"
#include "vault/agent_link.h"
#include "vault/detect.h"
#include "vault/lock.h"

namespace {

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

// Commits that carry a change: a merge commit only joins two of them.
long count_changes(const std::string &top, const std::string &range) {
    git_result r = run_git(top, {"rev-list", "--count", "--no-merges", range}, git_output::silent);
    return r.ok() ? std::strtol(r.out.c_str(), nullptr, 10) : 0;
}

std::string changes(long n) {
    return std::to_string(n) + (n == 1 ? " change" : " changes");
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
    // The database now opens with the password typed for the other copy
    // alone: kesp-agent, which holds it, is given that password, so that
    // the changes made from now on are sealed under it.
    bool handed = false;
    std::string agent_said;
    if (received && key.agent && their_lineage.own_password && !agent_opens(db.absolute) &&
        container_opens(db.absolute.c_str(), key.typed->last().c_str()) == 1)
        handed = give_agent_new_password(key.typed->last().c_str(), agent_said);
    if (received && their_lineage.own_password && !merged) {
        std::fprintf(stderr,
                     "The master password of %s was changed on the other machine: the password "
                     "typed for the other copy opens it now.%s\n",
                     db.shown.c_str(),
                     !key.agent ? ""
                     : handed   ? " kesp-agent holds it under the new one now."
                                : " kesp-agent still holds it under the old one: run kesp -E, "
                                  "type the new password, then unlock it again.");
    } else if (handed) {
        std::fprintf(stderr, "kesp-agent holds %s under the new master password now.\n",
                     db.shown.c_str());
    }
    say_agent_notice(agent_said);
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
