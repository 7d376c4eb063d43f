// What kesp-sync checks in a tree before git may touch the database: the
// working tree's, and the other copy's read into a temporary index (a
// commit fetched from the remote, which nobody vouches for). A tree is
// sound when the database is a regular file (mode 100644), marked exactly
// "binary merge=kesp filter=kesp" with nothing that would convert its
// bytes, no other file is merged by kesp-merge, and no SQLite side file
// (-journal, -wal, -shm) of it is tracked.
//
// Each check says on standard error what it refused, naming the attribute,
// the mode or the file, and returns false; it changes nothing.
#pragma once

#include <string>
#include <vector>

// A tree to check: its name in messages and how git reads it.
struct tree_source {
    std::string what;             // "this repository", "the other copy (commit 1234abcd)"
    std::vector<std::string> env;  // GIT_INDEX_FILE=... for a commit's tree, else empty
    bool cached = false;           // attributes from the index only
    bool incoming = false;
    // What the refusal means, at the end of its message.
    std::string outcome = "kesp-sync refuses it and changed nothing";
};

// A commit's tree in a private temporary index inside the git folder,
// removed when it goes out of scope. `ok()` false after a message.
class commit_tree {
public:
    commit_tree(const std::string &top, const std::string &commit);
    ~commit_tree();
    commit_tree(const commit_tree &) = delete;
    commit_tree &operator=(const commit_tree &) = delete;

    bool ok() const { return ok_; }
    const tree_source &source() const { return source_; }

private:
    std::string path_;
    tree_source source_;
    bool ok_ = false;
};

// The git folder of the repository at `top`, absolute; empty after a message.
std::string git_folder(const std::string &top);

// Checks the tree `source` for the database `relative` (shown as `shown`)
// of the repository at `top`.
bool tree_is_sound(const std::string &top, const std::string &relative, const std::string &shown,
                   const tree_source &source);

// The blob id of `relative` in `commit`; empty when the commit has none.
std::string blob_at(const std::string &top, const std::string &commit,
                    const std::string &relative);

// False (after saying so) when the database in `incoming_commit` is a
// version that the history of HEAD or of `incoming_commit` replaced once:
// an old container sent again, which would roll the database back.
// `current` is the blob the working file holds now, `base` the one of the
// common ancestor (a copy that still holds that one changes nothing here).
bool not_a_replay(const std::string &top, const std::string &relative, const std::string &shown,
                  const std::string &incoming_commit, const std::string &current,
                  const std::string &base);

// False (after naming a commit) when any commit reachable from HEAD holds
// at `relative` something other than a container, or tracks a side file.
bool history_is_encrypted(const std::string &top, const std::string &relative,
                          const std::string &shown);
