#include "clipboard/clearer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "clipboard/helper.h"
#include "state/numbers.h"

namespace {

using clock = std::chrono::steady_clock;

// How long a new run waits for the clearer it ends; that one may still have
// to read the clipboard and put the previous text back.
constexpr auto handover_timeout = std::chrono::seconds(10);

// Nothing without XDG_RUNTIME_DIR or HOME: an empty HOME would put the
// slot at /.kesp.clip.
std::optional<std::string> slot_path() {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/kesp-clip.pid";
    const char *home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') return std::nullopt;
    return home_file(".kesp.clip");
}

// Why a slot file or its folder, of status `st`, cannot be trusted; nullptr
// when it can.
const char *distrust(const struct stat &st) {
    if (st.st_uid != ::geteuid()) return "belongs to another user";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by group or others";
    return nullptr;
}

// The slot file at `path`, created if need be, when it and its folder can
// be trusted. Prints why not.
unique_fd open_slot(const std::string &path) {
    const std::string folder = directory_of(path);
    unique_fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!dir.valid() || ::fstat(dir.get(), &st) != 0) {
        print_errno("Cannot open " + path);
        return {};
    }
    if (const char *why = distrust(st)) {
        std::fprintf(stderr, "Not using %s: its folder %s %s.\n", path.c_str(), folder.c_str(), why);
        return {};
    }
    // Opened in the very folder checked, which cannot be swapped meanwhile.
    const std::string name = path.substr(path.rfind('/') + 1);
    unique_fd fd(::openat(dir.get(), name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        print_errno("Cannot open " + path);
        return {};
    }
    const char *why = S_ISREG(st.st_mode) ? distrust(st) : "is not a regular file";
    if (why != nullptr) {
        std::fprintf(stderr, "Not using %s: it %s.\n", path.c_str(), why);
        return {};
    }
    return fd;
}

pid_t read_pid(int fd) {
    char text[32];
    ssize_t n = ::pread(fd, text, sizeof text, 0);
    if (n <= 0) return 0;
    std::string_view digits(text, static_cast<std::size_t>(n));
    auto pid = parse_whole_number(digits.substr(0, digits.find('\n')), 1, 999999999);
    return pid ? *pid : 0;
}

enum class owner { me, someone_else, nobody };

// Whom process `pid` runs as (its real user), as /proc tells even of a
// process that is not dumpable; `nobody` once it is gone.
owner process_owner(pid_t pid) {
    file_ptr status(std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "re"));
    if (!status) return errno == ENOENT ? owner::nobody : owner::someone_else;
    char line[256];
    while (std::fgets(line, sizeof line, status.get()) != nullptr) {
        unsigned long real = 0;
        if (std::sscanf(line, "Uid: %lu", &real) == 1)
            return real == ::getuid() ? owner::me : owner::someone_else;
    }
    return owner::someone_else;
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
    clip_slot slot{open_slot(*path)};
    if (!slot.fd.valid()) return std::nullopt;
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
            owner who = process_owner(pid);
            if (who == owner::someone_else) {
                std::fprintf(stderr, "Not using %s: it names process %d, which belongs to another user.\n",
                             path->c_str(), static_cast<int>(pid));
                return std::nullopt;
            }
            if (who == owner::me) {
                ::kill(pid, SIGTERM);
                ended = pid;
            }
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
