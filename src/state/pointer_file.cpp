#include "state/pointer_file.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

#include "state/files.h"

std::optional<std::string> get_open_db_path() {
    const char *home = std::getenv("HOME");
    if (home == nullptr) return std::nullopt;
    return std::string(home) + "/.kesp.open_db";
}

std::optional<std::string> read_active_db_path() {
    auto pointer = get_open_db_path();
    if (!pointer) return std::nullopt;
    file_ptr file(std::fopen(pointer->c_str(), "r"));
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

void write_active_db_path(const char *path) {
    auto pointer = get_open_db_path();
    if (!pointer) return;
    file_ptr file(std::fopen(pointer->c_str(), "w"));
    if (!file) {
        std::fputs("Error creating ~/.kesp.open_db file\n", stderr);
        return;
    }
    // A pointer file that silently lost its path would leave a decrypted
    // database that nothing remembers, so a failed write is reported too.
    bool written = std::fputs(path, file.get()) >= 0 || path[0] == '\0';
    if (std::fclose(file.release()) != 0 || !written)
        std::fputs("Error creating ~/.kesp.open_db file\n", stderr);
}

bool has_active_db() {
    auto pointer = get_open_db_path();
    struct stat st;
    return pointer && ::stat(pointer->c_str(), &st) == 0;
}

void cmd_show_db_path() {
    auto path = read_active_db_path();
    if (!path) {
        std::fputs("No decrypted database exist.\n", stderr);
        return;
    }
    std::printf("%s\n", path->c_str());
}
