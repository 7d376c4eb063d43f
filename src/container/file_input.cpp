#include "container/file_input.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "state/failure.h"

bool read_exactly(int fd, unsigned char *buf, std::size_t n, const char *name,
                  const char *read_failure, const char *short_read) {
    std::size_t done = 0;
    while (done < n) {
        ssize_t got = ::read(fd, buf + done, n - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            print_errno(read_failure + std::string(name));
            return false;
        }
        if (got == 0) {
            say_failuref(short_read, name);
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

unique_fd open_input(const char *path, const char *open_failure) {
    // O_NONBLOCK: a FIFO at the path must not hang before fstat refuses it.
    unique_fd in(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!in.valid()) say_failuref(open_failure, path);
    return in;
}

bool checked_size(int fd, const char *path, std::int64_t limit, const char *too_large,
                  struct stat &st) {
    if (::fstat(fd, &st) != 0) {
        print_errno(std::string("Unable to examine ") + path);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        say_failuref("%s is not a regular file.\n", path);
        return false;
    }
    if (st.st_size > limit) {
        say_failuref(too_large, path);
        return false;
    }
    return true;
}

bool unchanged_since(int fd, const char *path, const struct stat &before) {
    struct stat now;
    if (::fstat(fd, &now) == 0 && now.st_size == before.st_size &&
        now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
        now.st_mtim.tv_nsec == before.st_mtim.tv_nsec)
        return true;
    say_failuref(changed_while_read, path);
    return false;
}
