// File helpers for the fuzz targets: one private folder per process, whole
// files written and read back.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"

namespace fuzz {

// A folder of our own, made once and removed at exit.
inline const std::string &work_folder() {
    static std::string folder = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kesp-fuzz-XXXXXX";
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        static std::string removal = pattern;
        std::atexit([] {
            for (const char *suffix : {"/c", "/c.plain", "/c.kesp"})
                ::unlink((removal + suffix).c_str());
            ::rmdir(removal.c_str());
        });
        return pattern;
    }();
    return folder;
}

inline void write_whole(const std::string &path, const std::uint8_t *data, std::size_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
    }
    FUZZ_CHECK(::close(fd) == 0);
}

inline void write_whole(const std::string &path, const std::string &bytes) {
    write_whole(path, reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
}

// The file's bytes, or "<missing>" spelled so that no content equals it.
inline std::string read_whole(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string("\0<missing>", 10);
    std::string bytes;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return bytes;
}

inline bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

inline int mode_of(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

}  // namespace fuzz
