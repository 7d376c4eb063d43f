// Helpers shared by the container tests: a scratch folder, whole-file I/O,
// hex, and a small real SQLite database to encrypt.
#pragma once

#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace container_test {

// A fresh folder under /tmp, removed with everything in it.
class scratch_dir {
public:
    scratch_dir() {
        char name[] = "/tmp/kesp-container-XXXXXX";
        if (!::mkdtemp(name)) std::abort();
        path_ = name;
    }
    ~scratch_dir() { std::filesystem::remove_all(path_); }
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;

    std::string file(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::string out(static_cast<std::size_t>(in.tellg()), '\0');
    in.seekg(0);
    in.read(out.data(), static_cast<std::streamsize>(out.size()));
    return out;
}

inline void write_file(const std::string &path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

inline bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

inline unsigned mode_of(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

inline std::string from_hex(std::string_view hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

inline std::string to_hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// Bytes that no compressor or cipher mistake can make look right.
inline std::string pseudo_random_bytes(std::size_t size, std::uint64_t seed) {
    std::string out(size, '\0');
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (std::size_t i = 0; i < size; i += 8) {
        x ^= x << 13; x ^= x >> 7; x ^= x << 17;
        std::memcpy(out.data() + i, &x, std::min<std::size_t>(8, size - i));
    }
    return out;
}

// A real database with a few rows, shaped like the program's own.
inline void make_sqlite_db(const std::string &path) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const char *sql =
        "create table entries(id integer primary key, title text, user text, url text,"
        " password text, notes text, timestamp date default (datetime('now','localtime')));"
        "insert into entries(title, user, url, password, notes) values"
        " ('mail', 'me', 'https://mail.example', 's3cr3t', ''),"
        " ('bank', 'me', 'https://bank.example', 'p\xc3\xa4ss', 'pin 1234');";
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

}  // namespace container_test
