#include "state/pointer_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "state/files.h"
#include "state/replacement.h"

std::optional<std::string> get_open_db_path() {
    return home_file(".kesp.open_db");
}

std::optional<std::string> read_active_db_path() {
    auto pointer = get_open_db_path();
    if (!pointer) return std::nullopt;
    file_ptr file(std::fopen(pointer->c_str(), "re"));
    if (!file) return std::nullopt;

    // The first line as stored, its newline (if any) included.
    std::string path;
    for (int c; (c = std::getc(file.get())) != EOF;) {
        path.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    if (path.empty()) return std::nullopt;
    return path;
}

std::string absolute_path(const char *path) {
    if (path[0] == '/') return path;
    char *cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) return path;
    std::string absolute(cwd);
    std::free(cwd);
    if (absolute.back() != '/') absolute += '/';
    // "./db" and "db" name the same file; keep the stored path plain.
    while (path[0] == '.' && path[1] == '/') {
        path += 2;
        while (*path == '/') ++path;
    }
    return absolute + path;
}

bool write_active_db_path(const char *path) {
    auto pointer = get_open_db_path();
    if (!pointer) return false;
    const std::string absolute = absolute_path(path);

    // A pointer file that silently lost its path would leave a decrypted
    // database that nothing remembers: the old file is only ever replaced
    // by a complete, synced new one.
    file_replacement record(*pointer, *pointer, replacement_failures::silent);
    status s = record.open();
    if (s) s = record.write(reinterpret_cast<const unsigned char *>(absolute.data()), absolute.size());
    if (s) s = record.commit();
    if (!s) {
        std::fputs("Error creating ~/.kesp.open_db file\n", stderr);
        return false;
    }
    return true;
}

bool remove_active_db_path() {
    auto pointer = get_open_db_path();
    if (!pointer) return true;
    if (::unlink(pointer->c_str()) != 0 && errno != ENOENT) {
        print_errno("Unable to remove " + *pointer);
        return false;
    }
    sync_directory_of(pointer->c_str());
    return true;
}

bool has_active_db() {
    return read_active_db_path().has_value();
}
