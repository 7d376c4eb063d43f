// The master passwords one sync needs, typed on the terminal (/dev/tty)
// before the lock is taken, and handed to git's merge driver through a
// pipe it inherits: never in its arguments or its environment. Every
// password is wiped when the object goes away.
#pragma once

#include <memory>
#include <vector>

#include "memory/secret.h"
#include "state/files.h"

class typed_passwords {
public:
    typed_passwords() = default;
    typed_passwords(const typed_passwords &) = delete;
    typed_passwords &operator=(const typed_passwords &) = delete;

    // Asks `prompt` on the terminal, echo off. False after a message (no
    // terminal, a line too long).
    bool ask(const char *prompt);
    const secret_string &first() const { return *typed_.front(); }
    const secret_string &last() const { return *typed_.back(); }
    bool empty() const { return typed_.empty(); }

    // The read end of a pipe that holds every password typed, each ended
    // by a NUL byte, its write end already closed; inherited by children
    // (not close-on-exec). Invalid after a message.
    unique_fd pipe_for_child() const;

private:
    std::vector<std::unique_ptr<secret_string>> typed_;
};
