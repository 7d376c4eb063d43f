// Helpers shared by the container tests: hex, pseudo-random bytes and a
// small real SQLite database to encrypt; folders and files from the harness.
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

#include "harness/harness.h"

namespace container_test {

using harness::exists;
using harness::file_mode;
using harness::read_file;
using harness::scratch_dir;
using harness::write_file;

// A text's bytes as the crypto functions take them, and back.
inline const unsigned char *bytes(const std::string &s) {
    return reinterpret_cast<const unsigned char *>(s.data());
}

inline std::string as_string(const unsigned char *p, std::size_t n) {
    return std::string(reinterpret_cast<const char *>(p), n);
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
    harness::sql(path,
                 "create table entries(id integer primary key, title text, user text, url text,"
                 " password text, notes text, timestamp date default (datetime('now','localtime')));"
                 "insert into entries(title, user, url, password, notes) values"
                 " ('mail', 'me', 'https://mail.example', 's3cr3t', ''),"
                 " ('bank', 'me', 'https://bank.example', 'p\xc3\xa4ss', 'pin 1234');");
}

}  // namespace container_test
