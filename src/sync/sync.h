// kesp-sync's work: an encrypted kesp database kept in a git repository and
// carried between machines by git, with kesp-merge as git's merge driver
// for it.
//
// Both operations refuse a database that is decrypted or active before
// anything is staged, so that no plain database reaches even the local
// object store, and hold the per-user lock while they work. The repository
// is changed through git alone; git's own messages are shown as git prints
// them. Each prints one line of result on standard output, or says on
// standard error why it stopped.
#pragma once

#include <optional>
#include <string>

// The text of the pre-commit and pre-merge-commit hooks: a shell script
// that refuses a commit whose index holds a file with the attribute
// merge=kesp that is not an encrypted container.
extern const char *const sync_hook_script;

// kesp-sync init DB [REMOTE]: makes the folder of `db` a repository unless
// it lies in one, marks `db` in the top folder's .gitattributes, registers
// the merge driver and the hooks in the repository, commits `db`, and with
// `remote` adds it as origin and sends the branch there.
bool sync_init(const std::string &db, const std::optional<std::string> &remote);

// kesp-sync [DB]: commits `db` if it changed, merges what the upstream
// branch holds (git runs the kesp-merge that lies beside `self`, the
// program's argv[0], or else the one on PATH), and sends the result back.
// Without `db`, the one database set up in the repository of the working
// folder.
bool sync_database(const std::optional<std::string> &db, const char *self);
