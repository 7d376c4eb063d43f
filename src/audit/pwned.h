// The Have I Been Pwned "Pwned Passwords" list, searched where it lies.
//
// Two layouts are read, both as the list's downloader writes them:
//   one file   every "HASH:COUNT" line of the list, HASH the 40 upper-case
//              hex digits of a SHA-1, ordered by HASH;
//   a folder   one file per five-digit prefix, 00000.txt to FFFFF.txt, each
//              holding the "SUFFIX:COUNT" lines (35 digits) of its prefix,
//              ordered by SUFFIX.
// Lines end in CRLF (a bare LF is taken too). A look-up is an interpolation
// search over byte offsets with pread, a page at a time: SHA-1 values are
// uniform, so two or three pages find a hash whatever the size of the list
// (the whole list is about a billion lines), and a list of another spread
// costs at most twice a binary search. The kernel is told not to read
// ahead. Nothing is converted or read through first. Every line a search
// touches is checked for its form and its order, so a file of another
// kind, or the list ordered by count, is refused rather than searched
// wrongly.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "state/files.h"

struct pwned_lookup {
    bool found = false;
    std::uint64_t count = 0;  // how often the list has seen it, when found
    // False when the folder lacks the range file this hash needs, or holds
    // one that is empty or no readable regular file: nothing is said then,
    // the file is counted (range_files_short), and the hash is not known
    // to be absent.
    bool looked_up = true;
};

class pwned_list {
public:
    // Opens `path`, a file or a folder as above. A file is checked at its
    // first and last lines; of a folder only the range files that look-ups
    // need are ever opened. Nothing, after a message on standard error, when
    // it cannot be opened or is in neither form.
    static std::optional<pwned_list> open(const std::string &path);

    // Looks up the SHA-1 digest `sha1` (20 bytes). Nothing, after a message,
    // when a file cannot be read, is malformed or out of order where the
    // search looks. A range file that is missing, empty or not a readable
    // regular file gives `looked_up` false, without a message: its name is
    // the start of the hash of a password, and so is the moment it fails.
    std::optional<pwned_lookup> find(const unsigned char *sha1) const;

    // After the look-ups: false, after a message that counts them (never
    // naming one), when any range file they needed was missing or unusable.
    bool range_files_complete() const;

    // What the look-ups so far have read: pread calls and bytes.
    std::uint64_t reads() const { return *reads_; }
    std::uint64_t bytes_read() const { return *bytes_; }

private:
    pwned_list() = default;

    std::string path_;
    bool folder_ = false;
    unique_fd file_;  // the one file, in that layout
    std::int64_t size_ = 0;
    // Kept apart from the object so that a const look-up can count.
    std::shared_ptr<std::uint64_t> reads_ = std::make_shared<std::uint64_t>(0);
    std::shared_ptr<std::uint64_t> bytes_ = std::make_shared<std::uint64_t>(0);
    struct range_tally;  // the prefixes looked up, and those whose file failed
    std::shared_ptr<range_tally> ranges_;
};
