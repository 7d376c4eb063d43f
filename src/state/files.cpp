#include "state/files.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

bool file_exists(const char *path) {
    struct stat st;
    return ::stat(path, &st) == 0;
}

void set_private_mode(const char *path) {
    if (::chmod(path, S_IRUSR | S_IWUSR) != 0)
        std::fprintf(stderr, "WARNING: Error changing permissions of file %s\n", path);
}

std::string errno_message(const std::string &what) {
    return what + ": " + std::strerror(errno);
}
