// Small file utilities shared by the modules, and RAII guards for the C
// handles they use. A guard only ever closes; code that must know whether
// a write reached the disk closes explicitly and checks the result.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

// What every SQLite database file starts with: its header string, the NUL
// included. A container never does: it starts with ciphertext.
inline constexpr char sqlite_header[] = "SQLite format 3";
inline constexpr std::size_t sqlite_header_size = sizeof sqlite_header;
static_assert(sqlite_header_size == 16);

// True when the `size` bytes at `bytes` start with sqlite_header.
bool starts_with_sqlite_header(const void *bytes, std::size_t size);

// True when stat() succeeds on `path`.
bool file_exists(const char *path);

// Mode 0600 for the regular file at `path`, through a descriptor opened
// without following a final symbolic link (a link planted there must not
// turn another file private, or this one public). On failure, and for a
// link or anything but a regular file, prints
// "WARNING: Error changing permissions of file %s\n" and carries on.
void set_private_mode(const char *path);

// Removes `database_file` + "-journal" when it is an empty regular file
// (left by another program's journal mode, it holds nothing), looked at and
// removed in its folder without following a link. Anything else of that
// name stays. Silent.
void remove_empty_journal(const std::string &database_file);

// Flushes a rename or removal in the folder of `path` to disk. The change
// has happened already, so a failure is only reported as a warning.
void sync_directory_of(const char *path);

// Writes all of `bytes` to `fd`, straight to the descriptor (no stdio
// buffer keeps a copy), again after an interrupted or short write. False
// when a write fails; errno tells why.
bool write_all(int fd, std::string_view bytes);

// "<what>: <strerror(errno)>" for the errno of the call that just failed.
std::string errno_message(std::string_view what);

// Prints errno_message(what) and a newline on standard error: the one way
// every program reports a failed system call.
void print_errno(std::string_view what);

// The folder part of `path`: "." when it has no slash, "/" for "/name".
std::string directory_of(std::string_view path);

// $HOME + "/" + name, or nothing when HOME is unset.
std::optional<std::string> home_file(std::string_view name);

struct file_closer {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Owns a file descriptor; closes it when it goes out of scope.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { int fd = fd_; fd_ = -1; return fd; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};
