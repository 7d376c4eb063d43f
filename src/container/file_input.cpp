#include "container/file_input.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

status read_exactly(int fd, unsigned char *buf, std::size_t n, const char *name,
                    fault read_failure, fault short_read) {
    std::size_t done = 0;
    while (done < n) {
        ssize_t got = ::read(fd, buf + done, n - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return failed(read_failure, name, errno);
        if (got == 0) return failed(short_read, name);
        done += static_cast<std::size_t>(got);
    }
    return status_ok();
}

status open_input(const char *path, fault open_failure, unique_fd &in) {
    // O_NONBLOCK: a FIFO at the path must not hang before fstat refuses it.
    in.reset(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    return in.valid() ? status_ok() : failed(open_failure, path, errno);
}

status checked_size(int fd, const char *path, std::int64_t limit, fault too_large,
                    struct stat &st) {
    if (::fstat(fd, &st) != 0) return failed(fault::cannot_examine, path, errno);
    if (!S_ISREG(st.st_mode)) return failed(fault::not_regular, path);
    if (st.st_size > limit) return failed(too_large, path);
    return status_ok();
}

status unchanged_since(int fd, const char *path, const struct stat &before) {
    struct stat now;
    if (::fstat(fd, &now) == 0 && now.st_size == before.st_size &&
        now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
        now.st_mtim.tv_nsec == before.st_mtim.tv_nsec)
        return status_ok();
    return failed(fault::changed_while_read, path);
}
