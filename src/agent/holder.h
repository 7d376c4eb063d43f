// What a running agent holds: the container's path, the copy in its RAM
// folder, the key and master password in a locked page of their own, and
// the state last sealed. Its operations (taking in a replaced container,
// sealing, encrypting under another password, handing out keys, wiping)
// work on files and memory only, never on a socket, so that they can be
// driven directly. Each returns false with the reason in `why`, one line
// fit to follow "WARNING: the change is only in memory: " or "... stays
// unlocked: ".
#pragma once

#include <sys/stat.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "memory/secret.h"
#include "state/console.h"
#include "state/files.h"
#include "vault/kept_key.h"

using agent_clock = std::chrono::steady_clock;

// "10 minutes", "1 hour", "90 seconds".
std::string spoken_duration(long seconds);

// The new file `path` (0600, never over an existing one or a link) with
// `size` bytes at `bytes`. False after a message on standard error.
bool write_new_file(const std::string &path, const unsigned char *bytes, std::size_t size);

// What the agent holds: the key, and the master password, to open the
// container again when another program (kesp-sync's merge) replaced it.
struct agent_secrets {
    kept_key key;
    secret_buffer password;
};

// The secrets live in a page of their own: locked in RAM, left out of
// core dumps, wiped and unmapped at the end.
class key_page {
public:
    key_page();
    ~key_page();
    key_page(const key_page &) = delete;
    key_page &operator=(const key_page &) = delete;
    kept_key &key();
    secret_buffer &password();
    void *page() const { return page_; }
    static std::size_t page_size();

private:
    void *page_ = nullptr;
    agent_secrets *secrets_ = nullptr;
};

// The identity of a file's contents as far as stat tells it.
struct file_seen {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    bool operator==(const file_seen &o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

// `path` as stat sees it now; all zero when it cannot be examined.
file_seen seen_now(const std::string &path);

using copy_digest = std::array<unsigned char, 32>;

struct agent {
    std::string container, folder, copy;
    key_page key;
    copy_digest sealed{};
    // What the container held when last sealed or read: the common
    // ancestor when both the copy and the container change.
    std::unique_ptr<wiped_buffer> sealed_state;
    std::string notice;  // said with the next reply: what the agent did on its own
    // The container was replaced by one the password does not open while
    // the copy held nothing of its own: there is nothing to seal.
    bool foreign_container = false;
    file_seen container_seen;  // the container as the agent last read or wrote it
    long idle_seconds = 0;
    agent_clock::time_point last_use, ends;
    // Programs that hold the agent while they run (agent_verb::hold): one
    // may be waiting for a person at its prompts.
    std::vector<unique_fd> holders;

    // Why it locks by itself, as said to the next program.
    std::string why_locked(bool signalled) const;

    // The idle and maximum times are minimums: due only once one of them
    // has wholly passed, never a truncated second early.
    bool expired() const;
    long seconds_left() const;
    // Until the maximum time, however recently it was used.
    long seconds_to_maximum() const;

    // The copy's file replaced by `size` bytes at `bytes`.
    bool replace_copy(const unsigned char *bytes, std::size_t size, std::string &why);
    // `state` is what the container holds from now on.
    void take_sealed(std::unique_ptr<wiped_buffer> state);

    // When another program replaced the container (kesp-sync after a
    // merge, a restore), the copy takes in what the container now holds:
    // as it is when the copy holds nothing unsealed, else merged with the
    // copy against the state last sealed, and sealed at once; that only
    // with `locked`, while the asker holds the user lock alone, since a
    // writer of the container (kesp-sync's merge) may be at work otherwise.
    // `typed` is another password to try (kesp -E's). False with the reason
    // otherwise; both are then kept.
    bool refresh(std::string &why, bool locked = true, const char *typed = nullptr);

    // True when the container holds what the copy holds, or when nothing
    // of the copy's own would be lost without it. The copy is marked as
    // holding unsealed changes, or cleared of that mark, before it returns.
    bool seal(std::string &why);
    bool seal_once(std::string &why);

    // -E: the container sealed under `password` (a fresh salt), the copy
    // wiped. `changed` tells whether the password differs from the one the
    // copy was unlocked with.
    bool encrypt(const char *password, bool &changed, std::string &why);

    // The key of the container at `path` when the master password opens
    // it: its own key first (no derivation), else one derived for that
    // container's salt. The password itself never leaves the agent.
    bool key_for(const std::string &path, kept_key &out);

    // What the agent did on its own since the last reply, once.
    std::string take_notice();

    // The copy wiped and the container remembered as the last database.
    void wipe();
};
