#include "state/files.h"

#include "state/failure.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool starts_with_sqlite_header(const void *bytes, std::size_t size) {
    return size >= sqlite_header_size && std::memcmp(bytes, sqlite_header, sqlite_header_size) == 0;
}

bool file_exists(const char *path) {
    struct stat st;
    return ::stat(path, &st) == 0;
}

void set_private_mode(const char *path) {
    // O_NONBLOCK: a FIFO planted at the path must not hang the open.
    unique_fd fd(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::fchmod(fd.get(), S_IRUSR | S_IWUSR) != 0)
        std::fprintf(stderr, "WARNING: Error changing permissions of file %s\n", path);
}

void remove_empty_journal(const std::string &database_file) {
    const std::string journal = database_file + "-journal";
    const std::string::size_type slash = journal.rfind('/');
    const std::string name = slash == std::string::npos ? journal : journal.substr(slash + 1);
    unique_fd folder(::open(directory_of(journal).c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (folder.valid() && ::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_size == 0)
        ::unlinkat(folder.get(), name.c_str(), 0);
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

std::string errno_message(std::string_view what) {
    return std::string(what) + ": " + std::strerror(errno);
}

void print_errno(std::string_view what) {
    const int error = errno;
    say_failure(errno_message(what) + "\n", error);
}

std::string directory_of(std::string_view path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    return slash == 0 ? "/" : std::string(path.substr(0, slash));
}

std::optional<std::string> home_file(std::string_view name) {
    const char *home = std::getenv("HOME");
    if (home == nullptr) return std::nullopt;
    return std::string(home) + "/" + std::string(name);
}

void sync_directory_of(const char *path) {
    unique_fd fd(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid() && ::fsync(fd.get()) != 0 && errno != EINVAL)
        print_errno("WARNING: Unable to sync the directory of " + std::string(path));
}
