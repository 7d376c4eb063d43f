#include "agent/server.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "agent/new_password.h"
#include "state/test_hooks.h"
#include "vault/agent_link.h"
#include "vault/lock.h"

namespace {

using clock_type = agent_clock;

volatile std::sig_atomic_t lock_signalled = 0;

void on_lock_signal(int) {
    lock_signalled = 1;
}

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
        // A signal to lock is not kept waiting for the rest of a request.
        if (ready < 0 && errno == EINTR && lock_signalled == 0) continue;
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

// When the idle or the maximum time runs out, whichever comes first.
clock_type::time_point lock_due(const agent &a) {
    return std::min(a.last_use + std::chrono::seconds(a.idle_seconds), a.ends);
}

// How long a request may take to come whole: a second (or the test build's
// patience), cut short where a lock falls due, so that a client trickling
// its request postpones neither the idle nor the maximum time. Once a lock
// is due, a request still has a moment: the program that sent it may hold
// the user lock the agent needs, and waits for the answer.
clock_type::time_point request_deadline(const agent &a) {
    const auto now = clock_type::now();
    const auto patience = std::chrono::seconds(test_request_seconds().value_or(1));
    return std::min(now + patience, std::max(lock_due(a), now + std::chrono::milliseconds(100)));
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
    if (!read_request(conn.get(), head, sizeof head, payload, request_deadline(a)) ||
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
                           std::to_string(::getpid()) + "\n" +
                           std::to_string(a.seconds_to_maximum()) + "\n";
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
        kept_key found;
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
    case agent_verb::password: {
        // Asked by kesp-sync while it holds the user lock alone.
        a.last_use = clock_type::now();
        bool ok = take_new_password(a, payload.c_str(), why);
        write_agent_reply(conn.get(), ok, ok ? a.take_notice() : why);
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
}  // namespace

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

void detach(agent &a) {
    ::setsid();
    (void)!::chdir("/");
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO) ::close(null);
    ::mlock(a.key.page(), key_page::page_size());
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
        // Awake when a lock falls due, not up to a second after.
        long wait = 100;
        if (!due) {
            auto until = std::chrono::duration_cast<std::chrono::milliseconds>(lock_due(a) - now);
            wait = std::clamp<long>(until.count() + 1, 1, 1000);
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(wait)) <= 0) continue;
        // A holder says nothing more: anything from it is its end.
        for (std::size_t i = fds.size(); i-- > 1;)
            if (fds[i].revents != 0) a.holders.erase(a.holders.begin() + static_cast<long>(i - 1));
        if ((fds[0].revents & POLLIN) != 0 && !serve(a, listener)) return;
    }
}
