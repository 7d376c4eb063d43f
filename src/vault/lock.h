// The per-user lock: one advisory lock (flock) on ~/.kesp.lock that every
// program of the suite holds while it reads or changes the pointer file or
// a database, so that two terminals never interleave their changes.
//
// Readers share it; a command that changes something holds it alone. It is
// never held while a person is being asked something: commands ask first,
// then take the lock and check that what they saw is still so. The lock
// file is created with mode 0600 and never removed (removing it would let
// two processes lock two different files).
#pragma once

#include <optional>

#include "state/files.h"

enum class lock_kind { shared, exclusive };

// Holds the lock until it goes out of scope. Without HOME it holds nothing:
// there is then no pointer file to protect either.
class user_lock {
public:
    explicit user_lock(unique_fd fd, bool seals = false) : fd_(std::move(fd)), seals_(seals) {}
    user_lock(user_lock &&) noexcept = default;
    user_lock &operator=(user_lock &&) noexcept = default;
    // A lock taken alone was taken for a change: when the active database
    // is an agent's copy, the agent seals it before the lock goes, so that
    // a program returns only once its change is in the container.
    ~user_lock();

    // Lets the lock go without asking an agent anything (for kesp-agent
    // itself, before its agent serves).
    void release_unsealed() {
        seals_ = false;
        fd_.reset();
    }

    // The open lock file, for a child that works under this lock (git's
    // merge driver run by kesp-sync); -1 when nothing is held.
    int descriptor() const { return fd_.get(); }

private:
    unique_fd fd_;  // closing it releases the lock
    bool seals_ = false;
};

// $HOME + "/.kesp.lock", or nothing when HOME is unset.
std::optional<std::string> lock_file_path();

// Waits until the lock is ours, then writes our process id into the lock
// file. When another process holds it for more than about a second, says
// once on standard error "Waiting for another kesp (process N) to
// finish.\n" (without the process when the file names no live program of
// the suite), and when that process is stopped (Ctrl-Z, SIGSTOP) says so
// and how to resume it. Nothing, after a message naming the file and the
// reason, when the lock file cannot be opened or locked.
std::optional<user_lock> take_user_lock(lock_kind kind);

// The lock that the caller of a child program holds alone and hands down
// as the open descriptor `fd` (user_lock::descriptor): `fd` must be the
// lock file itself (same device and inode), locked by no other process.
// Never waits. Nothing, after "<what> is not the lock file <path>, held.\n"
// or the reason, otherwise.
std::optional<user_lock> inherited_user_lock(int fd, const char *what);
