#include "vault/lock.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>

namespace {

constexpr auto patience = std::chrono::seconds(1);
constexpr auto retry_interval = std::chrono::milliseconds(10);

// O_NOFOLLOW: a link planted at the name must not make us create or lock
// some other file. A read-only home still allows locking an existing file.
unique_fd open_lock_file(const std::string &path) {
    unique_fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid() && (errno == EROFS || errno == EACCES))
        fd.reset(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return fd;
}

}  // namespace

std::optional<std::string> lock_file_path() {
    return home_file(".kesp.lock");
}

std::optional<user_lock> take_user_lock(lock_kind kind) {
    auto path = lock_file_path();
    if (!path) return user_lock(unique_fd());
    unique_fd fd = open_lock_file(*path);
    if (!fd.valid()) {
        print_errno("Unable to open the lock file " + *path);
        return std::nullopt;
    }

    const int operation = kind == lock_kind::shared ? LOCK_SH : LOCK_EX;
    // Try without blocking for a while first, so that a short wait stays
    // silent and a long one is explained once.
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        if (::flock(fd.get(), operation | LOCK_NB) == 0) return user_lock(std::move(fd));
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fputs("Waiting for another kesp to finish.\n", stderr);
            int rc;
            while ((rc = ::flock(fd.get(), operation)) != 0 && errno == EINTR) {
            }
            if (rc == 0) return user_lock(std::move(fd));
            break;
        }
        std::this_thread::sleep_for(retry_interval);
    }
    print_errno("Unable to lock " + *path);
    return std::nullopt;
}
