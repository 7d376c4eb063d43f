#include "agent/agent.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <new>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "agent/settle.h"
#include "container/crypt.h"
#include "state/console.h"
#include "state/files.h"
#include "state/pointer_file.h"
#include "vault/agent_link.h"
#include "vault/detect.h"
#include "vault/lock.h"

namespace {

using clock_type = std::chrono::steady_clock;

const char *const nothing_unlocked = "Nothing is unlocked.\n";

// "10 minutes", "1 hour", "90 seconds".
std::string spoken_duration(long seconds) {
    auto say = [](long n, const char *unit) {
        return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
    };
    if (seconds % 3600 == 0) return say(seconds / 3600, "hour");
    if (seconds % 60 == 0) return say(seconds / 60, "minute");
    return say(seconds, "second");
}

// A RAM filesystem holds the copy, or nothing is unlocked.
bool in_ram(const std::string &folder) {
    struct statfs fs {};
    if (::statfs(folder.c_str(), &fs) != 0) {
        print_errno("Unable to examine " + folder);
        return false;
    }
    const auto type = static_cast<unsigned long>(fs.f_type);
    if (type == TMPFS_MAGIC || type == RAMFS_MAGIC) return true;
    std::fprintf(stderr,
                 "%s is not a RAM filesystem (tmpfs or ramfs): the unlocked database would reach "
                 "the disk; nothing was unlocked.\n",
                 folder.c_str());
    return false;
}

void warn_about_swap() {
    file_ptr swaps{std::fopen("/proc/swaps", "re")};
    if (!swaps) return;
    char line[512];
    int lines = 0;
    while (std::fgets(line, sizeof line, swaps.get()) != nullptr) ++lines;
    if (lines > 1)
        std::fputs("WARNING: swap is enabled; unless it is encrypted, parts of the unlocked "
                   "database can reach the disk.\n",
                   stderr);
}

// The private folder, made or checked: ours, a folder, 0700.
bool private_folder(const std::string &folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        print_errno("Unable to create " + folder);
        return false;
    }
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0) {
        std::fprintf(stderr, "%s is not a private folder of yours; nothing was unlocked.\n",
                     folder.c_str());
        return false;
    }
    return true;
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

unique_fd listen_on(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "%s is too long a name for a socket.\n", path.c_str());
        return unique_fd();
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) ||
        ::listen(fd.get(), 16) != 0) {
        print_errno("Unable to listen on " + path);
        return unique_fd();
    }
    return fd;
}

// Reads the master password from the terminal itself, never from standard
// input.
bool ask_master_password(secret_buffer &password) {
    int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::fputs("No terminal to ask the master password on; nothing was unlocked.\n", stderr);
        return false;
    }
    file_ptr tty{::fdopen(fd, "r+")};
    if (!tty) {
        ::close(fd);
        print_errno("/dev/tty");
        return false;
    }
    std::setvbuf(tty.get(), nullptr, _IONBF, 0);
    return read_secret_shown_on("Master password: ", password.data, sizeof password.data,
                                tty.get(), tty.get()) == secret_status::ok;
}

using digest = std::array<unsigned char, 32>;

std::optional<digest> digest_of(const unsigned char *bytes, std::size_t size) {
    digest d{};
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

// What the agent holds: the key, and the master password, to open the
// container again when another program (kesp-sync's merge) replaced it.
struct agent_secrets {
    container_key key;
    secret_buffer password;
};

// The secrets live in a page of their own: locked in RAM, left out of
// core dumps, wiped and unmapped at the end.
class key_page {
public:
    key_page() {
        void *page = ::mmap(nullptr, page_size(), PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) out_of_memory();
        ::madvise(page, page_size(), MADV_DONTDUMP);
        ::mlock(page, page_size());
        page_ = page;
        secrets_ = new (page) agent_secrets;
    }
    ~key_page() {
        secrets_->~agent_secrets();
        OPENSSL_cleanse(page_, page_size());
        ::munlock(page_, page_size());
        ::munmap(page_, page_size());
    }
    key_page(const key_page &) = delete;
    key_page &operator=(const key_page &) = delete;
    container_key &key() { return secrets_->key; }
    secret_buffer &password() { return secrets_->password; }
    void *page() const { return page_; }
    static std::size_t page_size() {
        static_assert(sizeof(agent_secrets) <= 4096);
        return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    }

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

file_seen seen_now(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return {};
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

volatile std::sig_atomic_t lock_signalled = 0;

void on_lock_signal(int) {
    lock_signalled = 1;
}

struct agent {
    std::string container, folder, copy;
    key_page key;
    digest sealed{};
    // What the container held when last sealed or read: the common
    // ancestor when both the copy and the container change.
    std::unique_ptr<wiped_buffer> sealed_state;
    std::string notice;  // said with the next reply: what the agent did on its own
    // The container was replaced by one the password does not open while
    // the copy held nothing of its own: there is nothing to seal.
    bool foreign_container = false;
    file_seen container_seen;  // the container as the agent last read or wrote it
    long idle_seconds = 0;
    clock_type::time_point last_use, ends;
    unique_fd messages;  // standard error of the agent: the reasons of failed seals
    // Programs that hold the agent while they run (agent_verb::hold): one
    // may be waiting for a person at its prompts.
    std::vector<unique_fd> holders;

    // Why it locks by itself, as said to the next program.
    std::string why_locked(bool signalled) const {
        if (signalled) return "on request (a signal)";
        if (clock_type::now() >= ends) return "after its maximum time";
        return "after " + spoken_duration(idle_seconds) + " without use";
    }

    // The idle and maximum times are minimums: due only once one of them
    // has wholly passed, never a truncated second early.
    bool expired() const {
        return clock_type::now() >= std::min(last_use + std::chrono::seconds(idle_seconds), ends);
    }

    long seconds_left() const {
        auto left = std::min(last_use + std::chrono::seconds(idle_seconds), ends) -
                    clock_type::now();
        return std::max<long>(0, std::chrono::duration_cast<std::chrono::seconds>(left).count());
    }

    // Emptied before each step whose reason may be wanted; the offset goes
    // back too, or the next message would follow a hole of zeros.
    void forget_messages() {
        (void)!::ftruncate(messages.get(), 0);
        ::lseek(messages.get(), 0, SEEK_SET);
    }

    // What the sealing printed, as one line.
    std::string printed_reason() {
        char text[1024] = {};
        ssize_t got = ::pread(messages.get(), text, sizeof text - 1, 0);
        std::string why(text, got > 0 ? static_cast<std::size_t>(got) : 0);
        while (!why.empty() && why.back() == '\n') why.pop_back();
        for (char &c : why)
            if (c == '\n') c = ';';
        return why.empty() ? "the container could not be written" : why;
    }

    // The copy's file replaced by `size` bytes at `bytes`.
    bool replace_copy(const unsigned char *bytes, std::size_t size, std::string &why) {
        std::string next = copy + ".new";
        ::unlink(next.c_str());
        if (!write_new_file(next, bytes, size) || ::rename(next.c_str(), copy.c_str()) != 0) {
            wipe_file(next);
            why = printed_reason();
            return false;
        }
        return true;
    }

    void take_sealed(std::unique_ptr<wiped_buffer> state) {
        if (auto d = digest_of(state->data(), state->size())) sealed = *d;
        sealed_state = std::move(state);
    }

    // When another program replaced the container (kesp-sync after a
    // merge, a restore), the copy takes in what the container now holds:
    // as it is when the copy holds nothing unsealed, else merged with the
    // copy against the state last sealed, and sealed at once; that only
    // with `locked`, while the asker holds the user lock alone, since a
    // writer of the container (kesp-sync's merge) may be at work otherwise.
    // `typed` is another password to try (kesp -E's). False with the reason
    // otherwise; both are then kept.
    bool refresh(std::string &why, bool locked = true, const char *typed = nullptr) {
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
        forget_messages();
        container_key fresh;
        decrypted d = decrypt_to_memory_keeping_key(key.password().data, container.c_str(), fresh);
        if (d.status == decrypt_status::wrong_password && typed != nullptr)
            d = decrypt_to_memory_keeping_key(typed, container.c_str(), fresh);
        if (d.status != decrypt_status::ok) {
            foreign_container = d.status == decrypt_status::wrong_password && !unsealed;
            why = d.status != decrypt_status::wrong_password ? printed_reason()
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
        auto merged = merge_images(*sealed_state, *bytes, *d.plain, report);
        if (!merged) {
            why = printed_reason();
            return false;
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
        forget_messages();
        if (!seal_with_key(key.key(), plain->data(), plain->size(), container.c_str())) {
            why = printed_reason();
            return false;
        }
        take_sealed(std::move(plain));
        container_seen = seen_now(container);
        notice += " and sealed.";
        return true;
    }

    // True when the container holds what the copy holds, or when nothing
    // of the copy's own would be lost without it.
    bool seal(std::string &why) {
        bool done = seal_once(why);
        // Marked before the answer goes: should the agent end now, the
        // next program keeps the copy instead of wiping it.
        if (done) clear_unsealed(copy);
        else mark_unsealed(copy);
        return done;
    }

    bool seal_once(std::string &why) {
        if (!refresh(why)) return foreign_container;
        auto bytes = read_copy(copy, why);
        if (!bytes) return false;
        auto now = digest_of(bytes->data(), bytes->size());
        if (now && *now == sealed) return true;
        forget_messages();
        if (!seal_with_key(key.key(), bytes->data(), bytes->size(), container.c_str())) {
            why = printed_reason();
            return false;
        }
        take_sealed(std::move(bytes));
        container_seen = seen_now(container);
        return true;
    }

    // -E: the container sealed under `password` (a fresh salt), the copy
    // wiped. `changed` tells whether the password differs from the one the
    // copy was unlocked with.
    bool encrypt(const char *password, bool &changed, std::string &why) {
        if (!refresh(why, true, password)) return false;
        auto bytes = read_copy(copy, why);
        if (!bytes) return false;
        forget_messages();
        container_key fresh;
        if (!derive_container_key(password, nullptr, fresh) ||
            !seal_with_key(fresh, bytes->data(), bytes->size(), container.c_str())) {
            why = printed_reason();
            return false;
        }
        changed = std::strcmp(password, key.password().data) != 0;
        return true;
    }

    // The key of the container at `path` when the master password opens
    // it: its own key first (no derivation), else one derived for that
    // container's salt. The password itself never leaves the agent.
    bool key_for(const std::string &path, container_key &out) {
        forget_messages();
        decrypted d = decrypt_to_memory_with_key(key.key(), path.c_str());
        if (d.status == decrypt_status::ok) {
            std::memcpy(out.key.data, key.key().key.data, sizeof out.key.data);
            std::memcpy(out.salt.data, key.key().salt.data, sizeof out.salt.data);
            return true;
        }
        if (d.status == decrypt_status::failed) return false;
        d = decrypt_to_memory_keeping_key(key.password().data, path.c_str(), out);
        return d.status == decrypt_status::ok;
    }

    std::string take_notice() {
        std::string said;
        said.swap(notice);
        return said;
    }

    void wipe() {
        wipe_agent_copy(copy);
        remember_last_db(container);
    }
};

// The per-user lock, when no program holds it: the agent never waits for
// it, since a program holding it may be waiting for the agent.
unique_fd try_user_lock() {
    auto path = lock_file_path();
    if (!path) return unique_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    unique_fd fd(::open(path->c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.valid() && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return fd;
    return unique_fd();
}

// Reads exactly `n` bytes before `deadline`: one deadline for the whole
// request, so that a client trickling a byte at a time cannot hold the
// agent (and every other program) for longer than that.
bool read_before(int fd, unsigned char *buf, std::size_t n, clock_type::time_point deadline) {
    for (std::size_t done = 0; done < n;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          clock_type::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t got = ::recv(fd, buf + done, n - done, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// A whole request (header, length, payload) before `deadline`.
bool read_request(int fd, unsigned char *head, std::size_t head_size, secret_string &payload,
                  clock_type::time_point deadline) {
    unsigned char length[4];
    if (!read_before(fd, head, head_size, deadline) ||
        !read_before(fd, length, sizeof length, deadline))
        return false;
    std::uint32_t n = 0;
    for (unsigned char b : length) n = (n << 8) | b;
    if (n > agent_max_payload) return false;
    payload.reserve(n);
    wiped_buffer bytes(n);
    if (!read_before(fd, bytes.data(), n, deadline)) return false;
    payload.assign(std::string_view(reinterpret_cast<const char *>(bytes.data()), n));
    return true;
}

// One connection: one request, one reply. False when the agent ends.
bool serve(agent &a, int listener) {
    unique_fd conn(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn.valid()) return true;
    // Another user gets nothing, not even an answer.
    if (peer_uid(conn.get()) != static_cast<unsigned>(::getuid())) return true;
    timeval patience{2, 0};
    ::setsockopt(conn.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    ::setsockopt(conn.get(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    unsigned char head[agent_header_size];
    secret_string payload;
    if (!read_request(conn.get(), head, sizeof head, payload,
                      clock_type::now() + std::chrono::seconds(1)) ||
        std::memcmp(head, agent_magic, sizeof agent_magic) != 0 ||
        head[sizeof agent_magic] != agent_version)
        return true;
    std::string why;
    switch (static_cast<agent_verb>(head[sizeof agent_magic + 1])) {
    case agent_verb::use:
        a.last_use = clock_type::now();
        // A failure is told when the copy is next sealed.
        a.refresh(why, false);
        write_agent_reply(conn.get(), true, a.take_notice());
        return true;
    case agent_verb::seal: {
        a.last_use = clock_type::now();
        bool ok = a.seal(why);
        write_agent_reply(conn.get(), ok, ok ? a.take_notice() : why);
        return true;
    }
    case agent_verb::hold:
        a.last_use = clock_type::now();
        // Bounded, so that a runaway script cannot exhaust the descriptors.
        if (a.holders.size() < 64 && write_agent_reply(conn.get(), true, {}))
            a.holders.push_back(std::move(conn));
        return true;
    case agent_verb::status: {
        std::string text = a.container + "\n" + a.copy + "\n" +
                           std::to_string(a.seconds_left()) + "\n" +
                           std::to_string(::getpid()) + "\n";
        write_agent_reply(conn.get(), true, text);
        return true;
    }
    case agent_verb::lock:
        if (!a.seal(why)) {
            write_agent_reply(conn.get(), false, why);
            return true;
        }
        a.wipe();
        write_agent_reply(conn.get(), true, a.take_notice());
        return false;
    case agent_verb::key: {
        container_key found;
        // A relative path would be taken from the agent's folder, not the
        // asker's.
        if (payload.view().empty() || payload.c_str()[0] != '/' ||
            !a.key_for(payload.c_str(), found)) {
            write_agent_reply(conn.get(), false, {});
            return true;
        }
        wiped_array<sizeof found.key.data + sizeof found.salt.data> reply;
        std::memcpy(reply.data, found.key.data, sizeof found.key.data);
        std::memcpy(reply.data + sizeof found.key.data, found.salt.data, sizeof found.salt.data);
        write_agent_reply(conn.get(), true,
                          {reinterpret_cast<const char *>(reply.data), sizeof reply.data});
        return true;
    }
    case agent_verb::encrypt: {
        bool changed = false;
        if (!a.encrypt(payload.c_str(), changed, why)) {
            write_agent_reply(conn.get(), false, why);
            return true;
        }
        a.wipe();
        std::string said = a.take_notice();
        write_agent_reply(conn.get(), true,
                          std::string(changed ? "changed" : "same") + (said.empty() ? "" : "\n") +
                              said);
        return false;
    }
    }
    return true;  // an unknown verb ends this connection only
}

void run_agent(agent &a, int listener, const sigset_t &mask) {
    // A hangup still pending came from the terminal left behind by
    // detach(): it is dropped, not taken for a request to lock.
    std::signal(SIGHUP, SIG_IGN);
    ::sigprocmask(SIG_SETMASK, &mask, nullptr);
    struct sigaction action {};
    action.sa_handler = on_lock_signal;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, SIG_IGN);

    auto next_try = clock_type::now();
    for (;;) {
        const auto now = clock_type::now();
        struct stat st;
        if (::stat(a.folder.c_str(), &st) != 0) {
            // The session that held the RAM folder ended: nothing is left to
            // seal or wipe, only the record.
            wipe_agent_copy(a.copy);
            return;
        }
        // A program that holds the agent is a use that lasts.
        if (!a.holders.empty()) a.last_use = now;
        bool due = lock_signalled != 0 || a.expired();
        if (due && now >= next_try) {
            if (unique_fd held = try_user_lock(); held.valid()) {
                std::string why;
                if (a.seal(why)) {
                    a.wipe();
                    remember_agent_lock(a.container, a.why_locked(lock_signalled != 0));
                    return;
                }
                // Never wipe what the container does not hold: try again.
                next_try = now + std::chrono::seconds(10);
            }
        }
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        for (const unique_fd &h : a.holders) fds.push_back({h.get(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), due ? 100 : 1000) <= 0) continue;
        // A holder says nothing more: anything from it is its end.
        for (std::size_t i = fds.size(); i-- > 1;)
            if (fds[i].revents != 0) a.holders.erase(a.holders.begin() + static_cast<long>(i - 1));
        if ((fds[0].revents & POLLIN) != 0 && !serve(a, listener)) return;
    }
}

// The background half: its own session, no terminal, standard streams
// closed (standard error collects what a failed seal printed).
void detach(agent &a) {
    ::setsid();
    (void)!::chdir("/");
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    if (null > STDERR_FILENO) ::close(null);
    a.messages.reset(::open((a.folder + "/messages").c_str(),
                            O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (a.messages.valid()) ::dup2(a.messages.get(), STDERR_FILENO);
    ::mlock(a.key.page(), key_page::page_size());
}

// True when no database is active. An agent's copy whose agent still
// answers is named with the container it holds; one whose agent ended is
// cleaned up (or kept, when it holds unsealed changes) and said so.
bool nothing_active() {
    if (!has_active_db()) return true;
    auto active = read_active_db_path();
    if (active && is_agent_copy(*active)) {
        bool gone = false;
        auto reply = ask_agent(*active, agent_verb::status, {}, &gone);
        if (reply && reply->ok) {
            std::string container = reply->text.substr(0, reply->text.find('\n'));
            std::fprintf(stderr,
                         "%s is already unlocked by kesp-agent; kesp-agent lock locks it "
                         "first.\n",
                         container.c_str());
            return false;
        }
        if (gone) {
            note_agent_use(*active);
            if (!has_active_db()) return true;
            // A copy kept for its unsealed changes was named just now.
            if (auto still = read_active_db_path(); still && *still == *active) return false;
        } else {
            std::fprintf(stderr, "The agent that holds %s does not answer; nothing was unlocked.\n",
                         container_of_copy(*active).c_str());
            return false;
        }
    }
    std::fputs("Existing database is already active. Encrypt it or lock it first.\n", stderr);
    return false;
}

}  // namespace

std::optional<long> parse_duration(const char *text) {
    char *end = nullptr;
    errno = 0;
    if (text == nullptr || *text < '0' || *text > '9') return std::nullopt;
    long n = std::strtol(text, &end, 10);
    if (errno != 0 || n <= 0 || end[0] == '\0' || end[1] != '\0') return std::nullopt;
    long unit = end[0] == 's' ? 1 : end[0] == 'm' ? 60 : end[0] == 'h' ? 3600 : 0;
    if (unit == 0 || n > 100L * 24 * 3600 / unit) return std::nullopt;
    return n * unit;
}

int agent_unlock(const unlock_options &options) {
    // The agent leaves its working folder for "/": a relative HOME would
    // lead it to no lock file and no pointer file from then on.
    if (const char *home = std::getenv("HOME"); home != nullptr && *home != '\0' &&
                                                 *home != '/') {
        const std::string absolute = absolute_path(home);
        ::setenv("HOME", absolute.c_str(), 1);
    }
    std::string db = options.db;
    if (db.empty()) {
        auto last = last_db();
        if (!last) {
            std::fputs("No database was locked or encrypted here before: name it (kesp-agent "
                       "unlock DB).\n",
                       stderr);
            return 1;
        }
        db = *last;
    }
    const std::string container = absolute_path(db.c_str());
    if (!nothing_active()) return 1;
    if (!is_encrypted_db(container.c_str())) {
        std::fprintf(stderr, "%s is not an encrypted database; nothing was unlocked.\n",
                     db.c_str());
        return 1;
    }
    if (!no_container_side_file(container.c_str())) return 1;
    if (!in_ram(agent_folder_base())) return 1;
    // Made before the question, so that a folder that cannot be made
    // costs no password.
    const std::string folder = make_agent_folder();
    if (folder.empty()) return 1;
    warn_about_swap();

    auto a = std::make_unique<agent>();
    a->container = container;
    a->folder = folder;
    a->copy = folder + "/" + agent_copy_name;
    a->idle_seconds = options.idle_seconds;
    {
        secret_buffer &password = a->key.password();
        if (!ask_master_password(password)) return 1;
        a->container_seen = seen_now(container);
        decrypted plain = decrypt_to_memory_keeping_key(password.data, container.c_str(),
                                                        a->key.key());
        if (plain.status == decrypt_status::wrong_password)
            std::fputs("Invalid password or tampered data. Aborted.\n", stderr);
        if (plain.status != decrypt_status::ok || !private_folder(folder)) {
            ::rmdir(folder.c_str());
            return 1;
        }
        if (!write_new_file(a->copy, plain.plain->data(), plain.plain->size()) ||
            !write_new_file(folder + "/" + agent_container_record,
                            reinterpret_cast<const unsigned char *>(container.data()),
                            container.size())) {
            wipe_agent_copy(a->copy);
            return 1;
        }
        a->take_sealed(std::move(plain.plain));
    }
    unique_fd listener = listen_on(folder + "/" + agent_socket_name);
    if (!listener.valid()) {
        wipe_agent_copy(a->copy);
        return 1;
    }
    {
        auto lock = take_user_lock(lock_kind::exclusive);
        if (!lock || !nothing_active() || !write_active_db_path(a->copy.c_str())) {
            if (lock) lock->release_unsealed();
            listener.reset();
            wipe_agent_copy(a->copy);
            return 1;
        }
        remember_unlocked(a->copy, container);
        // Told of an earlier lock by now, or no longer worth telling.
        if (auto told = home_file(".kesp.agent_locked")) ::unlink(told->c_str());
        lock->release_unsealed();
    }
    a->last_use = clock_type::now();
    a->ends = a->last_use + std::chrono::seconds(options.max_seconds);
    std::fflush(nullptr);
    // The terminal's hangup when this program ends must not reach the
    // agent before it has a session of its own and its handlers.
    sigset_t hangup, before;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    sigaddset(&hangup, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &hangup, &before);
    pid_t child = ::fork();
    if (child < 0) {
        print_errno("Unable to start the agent");
        listener.reset();
        wipe_agent_copy(a->copy);
        return 1;
    }
    if (child == 0) {
        detach(*a);
        run_agent(*a, listener.get(), before);
        listener.reset();
        a.reset();
        std::_Exit(0);
    }
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    std::printf("%s is unlocked; it locks after %s without use (kesp-agent lock locks it now).\n",
                db.c_str(), spoken_duration(options.idle_seconds).c_str());
    return 0;
}

int agent_lock() {
    auto lock = take_user_lock(lock_kind::exclusive);
    if (!lock) return 1;
    auto active = read_active_db_path();
    if (!active || !is_agent_copy(*active)) {
        lock->release_unsealed();
        std::fputs(nothing_unlocked, stdout);
        return 0;
    }
    if (!note_agent_use(*active)) {
        lock->release_unsealed();
        return 0;
    }
    std::string container = container_of_copy(*active);
    auto reply = ask_agent(*active, agent_verb::lock);
    lock->release_unsealed();
    if (!reply || !reply->ok) {
        std::fprintf(stderr, "%s stays unlocked: %s.\n", container.c_str(),
                     reply ? reply->text.c_str() : "the agent does not answer");
        return 1;
    }
    say_agent_notice(reply->text);
    std::printf("%s is locked.\n", container.c_str());
    return 0;
}

int agent_status() {
    auto active = read_active_db_path();
    if (!active || !is_agent_copy(*active)) {
        std::fputs(nothing_unlocked, stdout);
        return 1;
    }
    bool gone = false;
    auto reply = ask_agent(*active, agent_verb::status, {}, &gone);
    if (!reply) {
        if (gone) note_agent_use(*active);
        else std::fputs("The agent does not answer.\n", stderr);
        return 1;
    }
    // Container, copy, seconds left, the agent's process: a line each.
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = reply->text.find('\n', at)) != std::string::npos;
         at = end + 1)
        lines.push_back(reply->text.substr(at, end - at));
    if (lines.size() < 4) return 1;
    std::printf("Database: %s\nCopy: %s\nLocks in: %s s\nAgent: process %s\n",
                lines[0].c_str(), lines[1].c_str(), lines[2].c_str(), lines[3].c_str());
    return 0;
}
