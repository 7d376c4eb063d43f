// kesp-merge's work: the three-way merge of two copies of a kesp database
// file against their common ancestor, by hand or as git's merge driver. The
// result replaces OURS in the form OURS has, or goes to a new file.
//
// Passwords are asked first (sync/merge_passwords.h), or taken from a
// descriptor the caller hands down. Then OURS is read, merged and
// replaced under the per-user lock, which is never held while a person is
// asked: when OURS changed between its first reading and the lock, it is
// read again under the lock, and should its password no longer open it,
// everything starts again (three times at most). An encrypted OURS is
// merged only with encrypted copies, since nothing else can be
// authenticated. The merged copy carries the lineage of both copies
// (join_lineages, store/lineage.h); two different databases are not
// merged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sync/merge_passwords.h"

struct file_merge_request {
    std::string base, ours, theirs;  // the files, as given
    std::string ours_name;           // OURS in messages
    std::optional<std::string> output;  // a new file for the result
    std::optional<int> password_fd;  // the passwords, never the terminal
    std::optional<int> lock_fd;      // the caller's lock, held already
};

struct file_merge_result {
    std::string report;  // the merge's summary (describe_merge), ids only
    std::string notice;  // what the person must know of a master password
    // Entries of the other copy that got new ids: (there, here).
    std::vector<std::pair<std::int64_t, std::int64_t>> moved_theirs;
};

// Merges the files of `request`. False after a message that ends with
// "Nothing was merged; OURS is unchanged.\n" (or after "OUT already exists;
// kesp-merge never overwrites a file.\n"); nothing was written then.
bool merge_database_files(const file_merge_request &request, file_merge_result &out);

// The password the merged copy of a container OURS is sealed under. A
// container copy whose password differs from the ancestor's had it
// changed on purpose: the merged copy is sealed under the new one. When
// both copies changed it differently, this copy's stays. A plain or empty
// copy has no password to change to. What the person must know is said in
// `notice`. Never nullptr when OURS was opened with a password.
const secret_string *sealing_password(const merge_input &base, const merge_input &ours,
                                      const merge_input &theirs, std::string &notice);
