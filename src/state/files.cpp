#include "state/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool file_exists(const char *path) {
    struct stat st;
    return ::stat(path, &st) == 0;
}

void set_private_mode(const char *path) {
    if (::chmod(path, S_IRUSR | S_IWUSR) != 0)
        std::fprintf(stderr, "WARNING: Error changing permissions of file %s\n", path);
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string errno_message(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

void sync_directory_of(const char *path) {
    std::string dir(path);
    std::size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    unique_fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid() && ::fsync(fd.get()) != 0 && errno != EINVAL)
        std::fprintf(stderr, "%s\n",
                     errno_message("WARNING: Unable to sync the directory of " + std::string(path))
                         .c_str());
}
