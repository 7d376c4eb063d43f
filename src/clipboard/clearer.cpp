#include "clipboard/clearer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "clipboard/helper.h"

namespace {

using clock = std::chrono::steady_clock;

// How long a new run waits for the clearer it ends; that one may still have
// to read the clipboard and put the previous text back.
constexpr auto handover_timeout = std::chrono::seconds(10);

std::optional<std::string> slot_path() {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/kesp-clip.pid";
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return std::string(home) + "/.kesp.clip";
    return std::nullopt;
}

pid_t read_pid(int fd) {
    char text[32] = {};
    ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    return n > 0 ? static_cast<pid_t>(std::atol(text)) : 0;
}

// The signals that end the wait early: a newer kesp-clip (SIGTERM), and the
// end of a session.
sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

void wait_until_due(int seconds) {
    sigset_t stop = stop_signals();
    auto due = clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(due - clock::now());
        if (left.count() <= 0) return;
        timespec wait{static_cast<time_t>(left.count() / 1000000000),
                      static_cast<long>(left.count() % 1000000000)};
        if (::sigtimedwait(&stop, nullptr, &wait) > 0 || errno == EAGAIN) return;
    }
}

void clear_if_unchanged(const clip_backend &backend, const clip_digest &digest,
                        const std::optional<secret_string> &previous) {
    if (backend.kind == clip_kind::osc52) {
        clip_clear(backend, digest);
        return;
    }
    if (clip_compare(backend, digest) != clip_check::holds) return;
    if (previous)
        clip_write(backend, previous->view());
    else
        clip_clear(backend, digest);
}

// The clearer itself, detached and with signals blocked.
[[noreturn]] void run_clearer(int slot, clip_backend backend, clip_digest &digest,
                              std::optional<secret_string> &previous, int seconds) {
    if (backend.kind == clip_kind::osc52) backend.terminal = ::fcntl(backend.terminal, F_DUPFD_CLOEXEC, 3);
    int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
    close_other_descriptors({slot, backend.terminal});
    if (::chdir("/") != 0) _exit(1);
    signal(SIGPIPE, SIG_IGN);

    wait_until_due(seconds);
    clear_if_unchanged(backend, digest, previous);

    ::ftruncate(slot, 0);
    if (previous) previous->clear();
    wipe(digest.data, sizeof digest.data);
    _exit(0);
}

}  // namespace

std::optional<clip_slot> take_clip_slot() {
    auto path = slot_path();
    if (!path) {
        std::fputs("HOME is not set.\n", stderr);
        return std::nullopt;
    }
    clip_slot slot{unique_fd(::open(path->c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600))};
    if (!slot.fd.valid()) {
        print_errno("Cannot open " + *path);
        return std::nullopt;
    }
    auto deadline = clock::now() + handover_timeout;
    pid_t ended = 0;
    while (::flock(slot.fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            print_errno("Cannot lock " + *path);
            return std::nullopt;
        }
        // Empty while another kesp-clip is still copying: wait for its clearer.
        pid_t pid = read_pid(slot.fd.get());
        if (pid > 0 && pid != ended) {
            ::kill(pid, SIGTERM);
            ended = pid;
        }
        if (clock::now() > deadline) {
            std::fprintf(stderr, "The clearer of an earlier copy (process %d) did not end.\n",
                         static_cast<int>(pid));
            return std::nullopt;
        }
        ::poll(nullptr, 0, 10);
    }
    // A clearer that was killed outright leaves its id behind.
    if (::ftruncate(slot.fd.get(), 0) != 0) {
        print_errno("Cannot write " + *path);
        return std::nullopt;
    }
    return slot;
}

bool start_clearer(clip_slot slot, const clip_backend &backend, clip_digest &digest,
                   std::optional<secret_string> previous, int seconds) {
    pid_t first = ::fork();
    if (first < 0) {
        print_errno("Cannot start the clearer");
        return false;
    }
    if (first == 0) {
        // Blocked before the clearer exists, so that an early SIGTERM waits
        // for it instead of killing it.
        sigset_t stop = stop_signals();
        ::sigprocmask(SIG_BLOCK, &stop, nullptr);
        ::setsid();
        pid_t clearer = ::fork();
        if (clearer < 0) _exit(1);
        if (clearer == 0) run_clearer(slot.fd.get(), backend, digest, previous, seconds);
        char text[32];
        int length = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(clearer));
        _exit(::pwrite(slot.fd.get(), text, static_cast<std::size_t>(length), 0) == length ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fputs("Cannot start the clearer.\n", stderr);
        return false;
    }
    return true;
}
