#include "container/keys.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "container/crypt_internal.h"
#include "state/files.h"
#include "state/failure.h"
#include "state/status.h"
#include "state/side_job.h"

namespace fmt = container_format;

namespace {

// The salt in the trailer of the regular file at `path`, when the trailer
// carries the container's magic. Silent.
bool salt_of_file(const char *path, unsigned char *salt) {
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size < static_cast<off_t>(fmt::trailer_size))
        return false;
    unsigned char trailer[fmt::trailer_size];
    if (::pread(fd.get(), trailer, sizeof trailer, st.st_size - off_t(fmt::trailer_size)) !=
            static_cast<ssize_t>(sizeof trailer) ||
        std::memcmp(trailer + fmt::magic_offset, fmt::magic, fmt::magic_size) != 0)
        return false;
    std::memcpy(salt, trailer + fmt::salt_offset, fmt::salt_size);
    return true;
}

// The slots still to derive, shared by the threads that take them in turn.
struct derivation_queue {
    void **slots = nullptr;
    std::size_t count = 0;
    std::atomic<std::size_t> next{0};
    bool (*derive_one)(void *) = nullptr;

    static void work(void *self) {
        auto *q = static_cast<derivation_queue *>(self);
        for (std::size_t i; (i = q->next.fetch_add(1)) < q->count;) q->derive_one(q->slots[i]);
    }
};

}  // namespace

derived_keys::slot *derived_keys::add(const char *password) {
    slots_.push_back(std::make_unique<slot>());
    slots_.back()->password.assign(password);
    return slots_.back().get();
}

void derived_keys::want_for_file(const char *password, const char *path) {
    wiped_array<fmt::salt_size> salt;
    if (!salt_of_file(path, salt.data)) return;
    for (const auto &s : slots_)
        if (!s->fresh && s->password.view() == std::string_view(password) &&
            std::memcmp(s->key.salt.data, salt.data, fmt::salt_size) == 0)
            return;
    slot *s = add(password);
    std::memcpy(s->key.salt.data, salt.data, fmt::salt_size);
}

void derived_keys::want_fresh(const char *password) { add(password)->fresh = true; }

bool derived_keys::run(slot &s) {
    s.derived = pbkdf2_sha256(s.password.c_str(), s.key.salt.data, fmt::salt_size,
                              fmt::pbkdf2_iterations, s.key.key.data, fmt::key_size);
    s.failed = !s.derived;
    return s.derived;
}

bool derived_keys::derive(unsigned threads) {
    std::vector<void *> pending;
    for (const auto &s : slots_) {
        if (s->derived || s->failed) continue;
        // A fresh salt comes from the random device, as any new container's.
        if (s->fresh) {
            if (status r = read_random_bytes(s->key.salt.data, fmt::salt_size); !r) {
                print_status(r);
                s->failed = true;
                continue;
            }
        }
        pending.push_back(s.get());
    }
    derivation_queue queue;
    queue.slots = pending.data();
    queue.count = pending.size();
    queue.derive_one = [](void *s) { return run(*static_cast<slot *>(s)); };
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    // The calling thread takes its share; a helper that cannot be started
    // leaves its share to the others.
    std::vector<std::unique_ptr<side_job>> helpers;
    for (unsigned t = 1; t < threads && t < pending.size(); ++t) {
        helpers.push_back(std::make_unique<side_job>(derivation_queue::work, &queue));
        helpers.back()->start();
    }
    derivation_queue::work(&queue);
    for (auto &helper : helpers) helper->finish();
    derivations_ += pending.size();

    bool ok = true;
    for (const auto &s : slots_) ok = ok && !s->failed;
    if (!ok) say_failure("Key derivation failed.\n");
    return ok;
}

const container_key *derived_keys::find(const char *password, const unsigned char *salt) const {
    for (const auto &s : slots_)
        if (s->derived && !s->fresh && s->password.view() == std::string_view(password) &&
            std::memcmp(s->key.salt.data, salt, fmt::salt_size) == 0)
            return &s->key;
    return nullptr;
}

void derived_keys::keep(const char *password, const container_key &key) {
    if (find(password, key.salt.data) != nullptr) return;
    slot *s = add(password);
    std::memcpy(s->key.key.data, key.key.data, fmt::key_size);
    std::memcpy(s->key.salt.data, key.salt.data, fmt::salt_size);
    s->derived = true;
    ++derivations_;
}

bool derived_keys::take_fresh(const char *password, container_key &out) {
    for (const auto &s : slots_) {
        if (!s->fresh || !s->derived || s->taken ||
            s->password.view() != std::string_view(password))
            continue;
        s->taken = true;
        std::memcpy(out.key.data, s->key.key.data, fmt::key_size);
        std::memcpy(out.salt.data, s->key.salt.data, fmt::salt_size);
        wipe(s->key.key.data, fmt::key_size);
        return true;
    }
    return false;
}
