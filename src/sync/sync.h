// kesp-sync's work: an encrypted kesp database kept in a git repository and
// carried between machines by git, with kesp-merge as git's merge driver
// for it.
//
// Both operations refuse a database that is decrypted or active before
// anything is staged, so that no plain database reaches even the local
// object store; a required clean filter (this program with --clean-filter)
// and two hooks stop what git itself would store. The remote is trusted
// with nothing: what it sends is fetched and checked (the tree, its
// attributes, a replayed old container) before the working file changes.
// Passwords are asked before the per-user lock is taken; the lock is held
// while the repository and the database change. The repository is changed
// through git alone; git's own messages are shown as git prints them. Each
// prints one line of result on standard output, or says on standard error
// why it stopped.
#pragma once

#include <optional>
#include <string>

// The text of the pre-commit and pre-merge-commit hooks: a shell script
// that refuses a commit whose index holds a file with the attribute
// merge=kesp that is not an encrypted container, or an SQLite side file
// (-journal, -wal, -shm) of one.
std::string sync_hook_script();

// git's clean filter: copies standard input to standard output when it is
// an encrypted container; otherwise says that `name` is not encrypted and
// returns false, so that git stores nothing.
bool sync_clean_filter(const char *name);

// kesp-sync init DB [REMOTE]: makes the folder of `db` a repository unless
// it lies in one, marks `db` in the top folder's .gitattributes, records it
// as the repository's database (kesp.database), registers the merge
// driver, the clean filter (this program, found from `self` as below) and
// the hooks, commits `db`, and with `remote` adds it as origin and sends
// the branch there. Refuses a history that holds the database in clear.
// Run again on a repository set up before the filter, it adds it.
bool sync_init(const std::string &db, const std::optional<std::string> &remote,
               const char *self);

// kesp-sync [DB]: commits `db` if it changed, merges what the upstream
// branch holds (git runs the kesp-merge that lies beside `self`, the
// program's argv[0], or else the one on PATH), and sends the result back.
// Without `db`, the one database set up in the repository of the working
// folder.
bool sync_database(const std::optional<std::string> &db, const char *self);
