#include "agent/holder.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "agent/settle.h"
#include "state/failure.h"
#include "state/status.h"
#include "vault/agent_link.h"

namespace {

std::optional<copy_digest> digest_of(const unsigned char *bytes, std::size_t size) {
    copy_digest d{};
    unsigned int len = 0;
    if (EVP_Digest(bytes, size, d.data(), &len, EVP_sha256(), nullptr) != 1) return std::nullopt;
    return d;
}

// The copy's bytes, in wiped memory.
std::unique_ptr<wiped_buffer> read_copy(const std::string &copy, std::string &why) {
    unique_fd fd(::open(copy.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        why = errno_message("cannot read " + copy);
        return nullptr;
    }
    auto bytes = std::make_unique<wiped_buffer>(static_cast<std::size_t>(st.st_size));
    for (std::size_t done = 0; done < bytes->size();) {
        ssize_t got = ::read(fd.get(), bytes->data() + done, bytes->size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            why = errno_message("cannot read " + copy);
            return nullptr;
        }
        done += static_cast<std::size_t>(got);
    }
    return bytes;
}

// A failure's words as the reason of a refusal: one line.
std::string reason_of(const failure &why) {
    return failure_line(why, "the container could not be written");
}

std::string reason_of(const status &why) {
    return status_line(why, "the container could not be written");
}

}  // namespace

std::string spoken_duration(long seconds) {
    auto say = [](long n, const char *unit) {
        return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
    };
    if (seconds % 3600 == 0) return say(seconds / 3600, "hour");
    if (seconds % 60 == 0) return say(seconds / 60, "minute");
    return say(seconds, "second");
}

bool write_new_file(const std::string &path, const unsigned char *bytes, std::size_t size) {
    unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid() ||
        !write_all(fd.get(), std::string_view(reinterpret_cast<const char *>(bytes), size))) {
        print_errno("Unable to write " + path);
        return false;
    }
    return true;
}

key_page::key_page() {
    void *page = ::mmap(nullptr, page_size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                        -1, 0);
    if (page == MAP_FAILED) out_of_memory();
    ::madvise(page, page_size(), MADV_DONTDUMP);
    ::mlock(page, page_size());
    page_ = page;
    secrets_ = new (page) agent_secrets;
}

key_page::~key_page() {
    secrets_->~agent_secrets();
    OPENSSL_cleanse(page_, page_size());
    ::munlock(page_, page_size());
    ::munmap(page_, page_size());
}

kept_key &key_page::key() {
    return secrets_->key;
}

secret_buffer &key_page::password() {
    return secrets_->password;
}

std::size_t key_page::page_size() {
    static_assert(sizeof(agent_secrets) <= 4096);
    return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

file_seen seen_now(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return {};
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

std::string agent::why_locked(bool signalled) const {
    if (signalled) return "on request (a signal)";
    if (agent_clock::now() >= ends) return "after its maximum time";
    return "after " + spoken_duration(idle_seconds) + " without use";
}

bool agent::expired() const {
    return agent_clock::now() >= std::min(last_use + std::chrono::seconds(idle_seconds), ends);
}

long agent::seconds_left() const {
    auto left = std::min(last_use + std::chrono::seconds(idle_seconds), ends) -
                agent_clock::now();
    return std::max<long>(0, std::chrono::duration_cast<std::chrono::seconds>(left).count());
}

long agent::seconds_to_maximum() const {
    auto left = ends - agent_clock::now();
    return std::max<long>(0, std::chrono::duration_cast<std::chrono::seconds>(left).count());
}

bool agent::replace_copy(const unsigned char *bytes, std::size_t size, std::string &why) {
    std::string next = copy + ".new";
    ::unlink(next.c_str());
    failure_capture said;
    if (!write_new_file(next, bytes, size) || ::rename(next.c_str(), copy.c_str()) != 0) {
        wipe_file(next);
        why = reason_of(said.take(next));
        return false;
    }
    return true;
}

void agent::take_sealed(std::unique_ptr<wiped_buffer> state) {
    if (auto d = digest_of(state->data(), state->size())) sealed = *d;
    sealed_state = std::move(state);
}

bool agent::refresh(std::string &why, bool locked, const char *typed) {
    foreign_container = false;
    file_seen before = seen_now(container);
    if (before == container_seen) return true;
    auto bytes = read_copy(copy, why);
    if (!bytes) return false;
    const bool unsealed = digest_of(bytes->data(), bytes->size()) != sealed;
    if (unsealed && !locked) {
        why = "both changed";
        return false;
    }
    kept_key fresh;
    opened_container d = open_keeping_key(key.password().data, container, fresh);
    if (d.status == open_status::wrong_password && typed != nullptr)
        d = open_keeping_key(typed, container, fresh);
    if (d.status != open_status::ok) {
        foreign_container = d.status == open_status::wrong_password && !unsealed;
        why = d.status != open_status::wrong_password ? reason_of(d.why)
              : container + " was replaced and no longer opens with the password it was "
                            "unlocked with; " +
                    (unsealed ? "the unlocked copy holds changes of its own; both are kept"
                              : "nothing was changed") +
                    ": run kesp -E and type the password that opens it now";
        return false;
    }
    if (!unsealed) {
        if (!replace_copy(d.plain->data(), d.plain->size(), why)) return false;
        std::memcpy(key.key().key.data, fresh.key.data, sizeof fresh.key.data);
        std::memcpy(key.key().salt.data, fresh.salt.data, sizeof fresh.salt.data);
        take_sealed(std::move(d.plain));
        container_seen = before;
        return true;
    }
    std::string report;
    std::unique_ptr<built_image> merged;
    {
        failure_capture said;
        merged = merge_images(*sealed_state, *bytes, *d.plain, report);
        if (!merged) {
            why = reason_of(said.take());
            return false;
        }
    }
    if (!replace_copy(merged->data(), merged->size(), why)) return false;
    // The container's state is the ancestor from now on; the merged copy
    // differs from it until it is sealed, here or at the next try.
    std::memcpy(key.key().key.data, fresh.key.data, sizeof fresh.key.data);
    std::memcpy(key.key().salt.data, fresh.salt.data, sizeof fresh.salt.data);
    take_sealed(std::move(d.plain));
    container_seen = before;
    if (report.rfind("Merged: ", 0) == 0) report.erase(0, 8);
    report.erase(std::min(report.find(".\n"), report.size()));
    notice = container + " was replaced by another program while the unlocked copy held "
                         "changes of its own; both were merged into the copy (" +
             report + ")";
    auto plain = std::make_unique<wiped_buffer>(merged->size());
    std::memcpy(plain->data(), merged->data(), merged->size());
    if (status s = seal_with_kept_key(key.key(), plain->data(), plain->size(), container); !s) {
        why = reason_of(s);
        return false;
    }
    take_sealed(std::move(plain));
    container_seen = seen_now(container);
    notice += " and sealed.";
    return true;
}

bool agent::seal(std::string &why) {
    bool done = seal_once(why);
    // Marked before the answer goes: should the agent end now, the
    // next program keeps the copy instead of wiping it.
    if (done) clear_unsealed(copy);
    else mark_unsealed(copy);
    return done;
}

bool agent::seal_once(std::string &why) {
    if (!refresh(why)) return foreign_container;
    auto bytes = read_copy(copy, why);
    if (!bytes) return false;
    auto now = digest_of(bytes->data(), bytes->size());
    if (now && *now == sealed) return true;
    if (status s = seal_with_kept_key(key.key(), bytes->data(), bytes->size(), container); !s) {
        why = reason_of(s);
        return false;
    }
    take_sealed(std::move(bytes));
    container_seen = seen_now(container);
    return true;
}

bool agent::encrypt(const char *password, bool &changed, std::string &why) {
    if (!refresh(why, true, password)) return false;
    auto bytes = read_copy(copy, why);
    if (!bytes) return false;
    kept_key fresh;
    status s = derive_kept_key(password, fresh);
    if (s) s = seal_with_kept_key(fresh, bytes->data(), bytes->size(), container);
    if (!s) {
        why = reason_of(s);
        return false;
    }
    changed = std::strcmp(password, key.password().data) != 0;
    return true;
}

bool agent::key_for(const std::string &path, kept_key &out) {
    opened_container d = open_with_kept_key(key.key(), path);
    if (d.status == open_status::ok) {
        std::memcpy(out.key.data, key.key().key.data, sizeof out.key.data);
        std::memcpy(out.salt.data, key.key().salt.data, sizeof out.salt.data);
        return true;
    }
    if (d.status == open_status::failed) return false;
    d = open_keeping_key(key.password().data, path, out);
    return d.status == open_status::ok;
}

std::string agent::take_notice() {
    std::string said;
    said.swap(notice);
    return said;
}

void agent::wipe() {
    wipe_agent_copy(copy);
    remember_last_db(container);
}
