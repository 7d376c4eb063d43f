// Container keys derived ahead of their use, for a program that opens
// several containers and seals a new one: each (password, salt) pair is
// derived once, and the derivations that do not wait on each other run side
// by side, one thread per core. A key stays with the object that derived it
// and is wiped with it; passwords are copied into wiped memory.
//
// Opening and sealing with such keys: decrypt_to_memory and encrypt_to_file
// in container/crypt.h, given a derived_keys.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "container/container_key.h"
#include "memory/secret.h"

class derived_keys {
public:
    derived_keys() = default;
    derived_keys(const derived_keys &) = delete;
    derived_keys &operator=(const derived_keys &) = delete;

    // Asks for the key of `password` over the salt in the trailer of the
    // container at `path`. Silent, and nothing asked, when the file holds no
    // container's trailer: opening it says why.
    void want_for_file(const char *password, const char *path);
    // Asks for one more key of `password` over a fresh random salt, for one
    // new container.
    void want_fresh(const char *password);
    // Derives every key asked for and not derived yet, on up to `threads`
    // threads (0: one per core). False after "Key derivation failed.\n";
    // the keys derived stay usable.
    bool derive(unsigned threads = 0);

    // The key of `password` over `salt`, derived already; nullptr otherwise.
    const container_key *find(const char *password, const unsigned char *salt) const;
    // Keeps a key derived elsewhere, so that it is never derived again.
    void keep(const char *password, const container_key &key);
    // A derived key of `password` over a fresh salt, handed out once (a
    // salt seals one container); false when none is left.
    bool take_fresh(const char *password, container_key &out);

    // How many keys were derived in derive() or kept, for tests and
    // measurements.
    std::size_t derivations() const { return derivations_; }

private:
    struct slot {
        secret_string password;
        container_key key;
        bool fresh = false;    // its salt is one of ours, not a file's
        bool derived = false;
        bool taken = false;    // a fresh key already handed out
        bool failed = false;
    };
    slot *add(const char *password);
    static bool run(slot &s);

    std::vector<std::unique_ptr<slot>> slots_;
    std::size_t derivations_ = 0;
};
