// The copies kesp-merge merges, and the passwords that open them: first
// the agent's key, when an agent holds the active database, then the
// others in the order they came: typed on the terminal (/dev/tty, never
// standard input, which a merge tool may have connected to anything; the
// master password asked once, when the first container the agent does not
// open needs it, as "Master password: "), or all given at once by the
// caller on a descriptor.
//
// Every password is held in wiped memory and wiped when the cache goes.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "memory/secret.h"
#include "merge/image_sources.h"
#include "state/files.h"
#include "vault/agent_link.h"
#include "vault/db_file.h"

// A copy to merge: what it holds (its entries sharing the texts the
// ancestor's hold alike) and how it was opened.
struct merge_input : image_records {
    db_file file;
    const char *role = "";  // "the common ancestor", "this copy", "the other copy"
    const secret_string *password = nullptr;  // the one that opened a container
    held_key key;                             // the agent's key, when it opened it
};

// Stands for the master password of the agent that holds the active
// database: the agent opens a container and hands out its key, never the
// password.
bool is_agent_password(const secret_string *password);

// Reads `input` with `password` (nullptr: a plain or empty file; the
// agent's stand-in: the agent's key), its key through `keys` when given.
// 1 read, 0 not this password, -1 failed (after a message).
int read_merge_input(merge_input &input, const secret_string *password,
                     db_file_keys *keys = nullptr);

// Whether two copies were opened with the same password.
bool same_password(const secret_string *a, const secret_string *b);

class password_cache {
public:
    password_cache() = default;
    password_cache(const password_cache &) = delete;
    password_cache &operator=(const password_cache &) = delete;

    // Takes every password from `fd` (each ended by a NUL byte, until end
    // of file) and never asks. False after a message.
    bool take_from(int fd);
    // Asks nothing: a caller that holds the lock must give the passwords.
    void never_ask() { may_ask_ = false; }
    // The copies to open, and whether the result is sealed: once the first
    // password is known, its keys for all of them are derived side by side.
    void derive_ahead_for(const merge_input *inputs, std::size_t count, bool sealed) {
        ahead_ = inputs;
        ahead_count_ = count;
        sealed_ = sealed;
    }
    db_file_keys &keys() { return keys_; }

    // Reads the container of `input` with the first password that opens
    // it; on the terminal, when none does, names it and asks for its own
    // password once. False after a message: no terminal, a wrong password,
    // a damaged file.
    bool open_container(merge_input &input);

private:
    bool open_terminal();
    bool ask(const char *prompt);
    bool derive_ahead();

    file_ptr in_, out_;
    bool given_ = false, may_ask_ = true, asked_master_ = false;
    std::vector<std::unique_ptr<secret_string>> known_;  // stable addresses
    db_file_keys keys_;
    const merge_input *ahead_ = nullptr;
    std::size_t ahead_count_ = 0;
    bool sealed_ = false;
};
