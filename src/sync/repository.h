// What kesp-sync's set-up and its sync runs share: the database as
// kesp-sync sees it in its repository, and the small steps both take on
// it (finding it, checking that it is encrypted and not active, asking git
// for a value, committing it, making it private).
#pragma once

#include <optional>
#include <string>
#include <vector>

// A database as kesp-sync sees it: the name it was given, the file, and
// where it stands in its repository.
struct tracked_db {
    std::string shown;     // as the person named it
    std::string absolute;  // its folder resolved, then its own name
    std::string folder;
    std::string top;       // the repository's top folder
    std::string relative;  // from `top`, as git names it
};

// `word` quoted for /bin/sh.
std::string shell_quoted(const std::string &word);

// Paths handed to git are file names, never patterns: `args` with
// --literal-pathspecs in front.
std::vector<std::string> literal(std::vector<std::string> args);

// Fills the name and the file of `out` for the database `db` (shown as
// `shown`): a regular file, not a link. False after a message.
bool locate(const std::string &db, const std::string &shown, tracked_db &out);

// No plain database may be staged: not one that is decrypted, and not the
// active one, which kesp may change at any moment. False after a message.
bool encrypted_and_idle(const tracked_db &db);

// The top folder of the repository that holds `folder`, if any.
std::optional<std::string> top_folder(const std::string &folder);

// The database's name from the top folder; false after a message when it
// lies outside.
bool find_relative(tracked_db &db);

// This machine's name, for commit messages.
std::string host_name();

// The folder this program was started from (`self`, its argv[0]), resolved;
// empty when it cannot be found.
std::string program_folder(const char *self);

// Makes the database file itself private (0600), never what a link planted
// in its place points to. False after a message.
bool set_private(const tracked_db &db);

// Stages `paths` and commits them when they differ from the last commit;
// `changed` tells whether a commit was made. False after git's message.
bool commit_if_changed(const tracked_db &db, const std::vector<std::string> &paths,
                       const char *message, bool &changed);

// The value git's configuration holds for `key` (the repository's own
// only, for the second), or empty.
std::string config_value(const std::string &top, const std::string &key);
std::string local_config_value(const std::string &top, const std::string &key);

// The commit `name` names, or empty.
std::string commit_of(const std::string &top, const std::string &name);
