// The database files of kesp-merge: each read into memory in the form it has
// on disk, an encrypted container (authenticated and decrypted with a
// password typed on the terminal) or a plain SQLite file, and the merged
// entries written back in the form of this side's copy.
//
// Passwords come only from the terminal (/dev/tty), never from standard
// input, which a merge tool may have connected to anything. Plain bytes are
// held in wiped memory only. Every failure is printed where it is found.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "memory/secret.h"
#include "merge/merge.h"
#include "state/files.h"

enum class db_form { plain, container };

struct merge_input {
    std::string path;
    const char *role;  // "the common ancestor", "this copy", "the other copy"
    bool may_be_empty = false;  // only the ancestor: a 0-byte file is no ancestor
    db_form form = db_form::plain;
    bool empty = false;         // an empty ancestor: no entries
    record_list entries;
    const secret_string *password = nullptr;  // the one that opened a container
};

// Tells what the file is: a container, a plain database, or (when allowed)
// an empty file. False after "<path>: <reason>" when it cannot be read.
bool examine_input(merge_input &input);

// The terminal and the passwords typed on it so far. The master password is
// asked once, when the first container needs it, as "Master password: ".
class terminal_passwords {
public:
    terminal_passwords() = default;
    terminal_passwords(const terminal_passwords &) = delete;
    terminal_passwords &operator=(const terminal_passwords &) = delete;

    // Reads the container of `input` with one of the passwords typed so far,
    // or with the master password once it is asked; when none opens it,
    // names it and asks for its own password once. False after a message:
    // no terminal, a wrong password, a damaged file.
    bool open_container(merge_input &input);

private:
    bool open_terminal();
    bool ask(const char *prompt);
    // 1 opened, 0 not this password, -1 failed (after a message).
    int try_password(merge_input &input, const secret_string &password);

    file_ptr in_, out_;
    bool asked_master_ = false;
    std::vector<std::unique_ptr<secret_string>> typed_;  // stable addresses
};

// Reads the entries of a plain or empty input. False after a message.
bool read_plain_input(merge_input &input);

// Writes `merged` as a database file of `form` (encrypted under `password`
// for a container): replacing the file at `path` durably, or with
// `create_new` as the new file `path` (mode 0600), which is never
// overwritten. False after a message, and nothing changed.
bool write_merged(const record_list &merged, db_form form, const secret_string *password,
                  const std::string &path, bool create_new);
