#include "audit/pwned.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "memory/secret.h"

namespace {

// 40 digits, a colon, a count of up to 20 digits, CRLF: no line of the
// list is longer.
constexpr std::size_t max_line = 80;
// The first and the last lines are checked in blocks of this size.
constexpr std::int64_t window = 4096;

constexpr std::size_t full_hash_digits = 40;
constexpr std::size_t suffix_digits = 35;
constexpr std::size_t prefix_digits = full_hash_digits - suffix_digits;

// One file of sorted KEY:COUNT lines, keys of `key_length` digits.
struct sorted_file {
    int fd;
    std::int64_t size;
    std::size_t key_length;
    const std::string &name;
    std::uint64_t &reads;
    std::uint64_t &bytes;
};

enum class parsed { ok, incomplete, bad };


struct line {
    std::string_view key;
    std::uint64_t count = 0;
    std::size_t length = 0;  // with its line end
};

bool upper_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// The line at `p`, of which `available` bytes are at hand; `at_end` when
// they reach the end of the file (the last line may lack its line end).
parsed parse_line(const char *p, std::size_t available, bool at_end, std::size_t key_length,
                  line &out) {
    std::size_t i = 0;
    for (; i < available && i < key_length; ++i)
        if (!upper_hex(p[i])) return parsed::bad;
    if (i == available) return at_end ? parsed::bad : parsed::incomplete;
    if (p[i++] != ':') return parsed::bad;
    std::uint64_t count = 0;
    std::size_t digits = 0;
    for (; i < available && p[i] >= '0' && p[i] <= '9'; ++i, ++digits) {
        if (digits == 19) return parsed::bad;
        count = count * 10 + static_cast<std::uint64_t>(p[i] - '0');
    }
    if (i == available && !at_end) return parsed::incomplete;
    if (digits == 0) return parsed::bad;
    if (i < available && p[i] == '\r') {
        if (++i == available) return at_end ? parsed::bad : parsed::incomplete;
        if (p[i] != '\n') return parsed::bad;
    }
    if (i < available) {
        if (p[i] != '\n') return parsed::bad;
        ++i;
    }
    out.key = std::string_view(p, key_length);
    out.count = count;
    out.length = i;
    return parsed::ok;
}

// Up to `length` bytes at `offset` into `into`; the number read (short
// only at the end of the file), or -1 after a message.
std::int64_t read_at(const sorted_file &f, std::int64_t offset, std::size_t length, char *into) {
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(f.fd, into + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            print_errno("Cannot read " + f.name);
            return -1;
        }
        ++f.reads;
        f.bytes += static_cast<std::uint64_t>(n);
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

void say_malformed(const sorted_file &f, std::int64_t offset) {
    std::fprintf(stderr,
                 "%s: the line at byte %lld is not %zu upper-case hex digits, a colon and a count; "
                 "this is no Pwned Passwords list (SHA-1, ordered by hash).\n",
                 f.name.c_str(), static_cast<long long>(offset), f.key_length);
}

void say_disorder(const sorted_file &f, std::int64_t offset) {
    std::fprintf(stderr,
                 "%s: the lines near byte %lld are not ordered by hash; kesp-audit needs the list "
                 "ordered by hash, not by count.\n",
                 f.name.c_str(), static_cast<long long>(offset));
}

// The keys met so far that bound the rest of a search: every key seen
// later must lie strictly between them.
struct bounds {
    wiped_array<full_hash_digits, char> low, high;
    bool have_low = false, have_high = false;
    std::size_t length;

    bool admits(std::string_view key) const {
        return (!have_low || key.compare(std::string_view(low.data, length)) > 0) &&
               (!have_high || key.compare(std::string_view(high.data, length)) < 0);
    }
    void set_low(std::string_view key) {
        std::memcpy(low.data, key.data(), length);
        have_low = true;
    }
    void set_high(std::string_view key) {
        std::memcpy(high.data, key.data(), length);
        have_high = true;
    }
};

// The first digits of a key as a number, to place it between two others.
constexpr std::size_t placed_digits = 15;

std::uint64_t key_value(std::string_view key) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < placed_digits && i < key.size(); ++i)
        value = value * 16 + static_cast<std::uint64_t>(key[i] <= '9' ? key[i] - '0' : key[i] - 'A' + 10);
    return value;
}

constexpr std::int64_t page = 4096;

// Where between `low` and `high` the target's line should lie. SHA-1
// values are uniform, so its place is interpolated between the keys that
// bound the range (the first and the last possible key where none was met
// yet); halving instead after a step that did not halve the range keeps a
// list of another spread from taking more than twice the probes of a
// binary search.
std::int64_t estimate(const bounds &seen, std::string_view target, std::int64_t low,
                      std::int64_t high, bool halve) {
    if (halve) return low + (high - low) / 2;
    long double from = seen.have_low ? key_value({seen.low.data, seen.length}) : 0;
    long double to = seen.have_high ? key_value({seen.high.data, seen.length})
                                    : static_cast<long double>(std::uint64_t(1) << (4 * placed_digits));
    long double at = key_value(target);
    long double part = to > from ? (at - from) / (to - from) : 0.5L;
    part = std::clamp(part, 0.0L, 1.0L);
    return low + static_cast<std::int64_t>(part * static_cast<long double>(high - low));
}

// Interpolation search by byte offset, a page at a time: each probe reads
// the page where the target should be and looks for it there by a binary
// search, so that the next probe starts from the two lines around the
// target's place.
// Invariants: `low` is a line start and every line before it has a key
// below `target`; no line at or after `high` has a key below it.
std::optional<pwned_lookup> search(const sorted_file &f, std::string_view target) {
    bounds seen;
    seen.length = f.key_length;
    std::int64_t low = 0, high = f.size;
    // A page, the byte before it and the rest of its last line; it tells
    // where the hash lies, so it is wiped.
    wiped_array<page + 1 + max_line, char> block;
    bool halve = false;
    while (low < high) {
        std::int64_t before = high - low;
        std::int64_t guess = std::clamp(estimate(seen, target, low, high, halve), low, high - 1);
        std::int64_t page_start = guess / page * page;
        std::int64_t first = std::max(low, page_start);
        // First the page alone: the lines wholly in it. Only when those
        // leave the range as it was (the target's line crosses an edge of
        // the page) the byte before it and the rest of its last line too.
        for (bool whole_page : {true, false}) {
            std::int64_t from = first > low && !whole_page ? first - 1 : first;
            std::int64_t stop = std::min(page_start + page, high);  // lines start before this
            std::int64_t length = (whole_page ? page_start + page : stop + max_line) - from;
            std::int64_t n = read_at(f, from, static_cast<std::size_t>(length), block.data);
            if (n < 0) return std::nullopt;
            std::size_t at = 0;
            if (first > low) {  // the first line start: after a line end
                auto *end = static_cast<const char *>(
                    std::memchr(block.data, '\n', std::min<std::size_t>(n, max_line + 1)));
                if (end == nullptr) {
                    if (from + n < f.size || n > static_cast<std::int64_t>(max_line)) {
                        say_malformed(f, first);
                        return std::nullopt;
                    }
                    at = static_cast<std::size_t>(n);  // the last line started before the page
                } else {
                    at = static_cast<std::size_t>(end - block.data) + 1;
                }
            }
            bool at_end = from + n == f.size;
            // Where the lines start (cheap, memchr), then a binary search
            // among them: only the lines it compares are parsed and checked.
            std::array<std::size_t, page / 16> starts;
            std::size_t lines = 0;
            for (std::size_t next = at; from + static_cast<std::int64_t>(next) < stop &&
                                        next < static_cast<std::size_t>(n) && lines < starts.size();) {
                starts[lines++] = next;
                auto *end = static_cast<const char *>(
                    std::memchr(block.data + next, '\n', static_cast<std::size_t>(n) - next));
                if (end == nullptr) break;
                next = static_cast<std::size_t>(end - block.data) + 1;
            }
            bool met = false;
            std::int64_t was_low = low, was_high = high;
            std::size_t below = 0, above = lines;
            while (below < above) {
                std::size_t middle = below + (above - below) / 2;
                std::int64_t start = from + static_cast<std::int64_t>(starts[middle]);
                line l;
                parsed p = parse_line(block.data + starts[middle],
                                      static_cast<std::size_t>(n) - starts[middle], at_end,
                                      f.key_length, l);
                if (p == parsed::incomplete && whole_page) {  // it goes on past the page
                    above = middle;
                    continue;
                }
                if (p != parsed::ok) {
                    say_malformed(f, start);
                    return std::nullopt;
                }
                if (!seen.admits(l.key)) {
                    say_disorder(f, start);
                    return std::nullopt;
                }
                met = true;
                int order = l.key.compare(target);
                if (order == 0) return pwned_lookup{true, l.count};
                if (order > 0) {
                    high = start;
                    seen.set_high(l.key);
                    above = middle;
                } else {
                    low = start + static_cast<std::int64_t>(l.length);
                    seen.set_low(l.key);
                    below = middle + 1;
                }
            }
            if (low != was_low || high != was_high) break;
            // No line starts between the guess's page and `high`.
            if (!whole_page && !met) high = first;
        }
        halve = !halve && 2 * (high - low) > before;
    }
    return pwned_lookup{};  // between two neighbouring lines
}

// The first and the last lines of a whole-list file are in form and in
// order: a file of another kind, or the list ordered by count, fails here
// before any search.
bool check_ends(const sorted_file &f) {
    std::vector<char, wiping_allocator<char>> block(static_cast<std::size_t>(window));
    for (std::int64_t start : {std::int64_t{0}, std::max<std::int64_t>(0, f.size - window)}) {
        std::int64_t n = read_at(f, start, block.size(), block.data());
        if (n < 0) return false;
        std::size_t at = 0;
        if (start > 0) {  // from the first whole line of the block
            auto *end = static_cast<const char *>(std::memchr(block.data(), '\n', n));
            if (end == nullptr) {
                say_malformed(f, start);
                return false;
            }
            at = static_cast<std::size_t>(end - block.data()) + 1;
        }
        bool at_end = start + n == f.size;
        bounds seen;
        seen.length = f.key_length;
        while (at < static_cast<std::size_t>(n)) {
            line l;
            parsed p = parse_line(block.data() + at, static_cast<std::size_t>(n) - at, at_end,
                                  f.key_length, l);
            if (p == parsed::incomplete) break;  // the block ends inside it
            if (p == parsed::bad) {
                say_malformed(f, start + static_cast<std::int64_t>(at));
                return false;
            }
            if (!seen.admits(l.key)) {
                say_disorder(f, start + static_cast<std::int64_t>(at));
                return false;
            }
            seen.set_low(l.key);
            at += l.length;
        }
    }
    return true;
}

enum class file_state { ok, unreadable, not_regular, empty };

// A file of the list, open as `fd`: its size, and whether it can be searched
// (a FIFO or a device would block or never end; an empty file holds no list).
file_state searchable(int fd, std::int64_t &size) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return file_state::unreadable;
    if (!S_ISREG(st.st_mode)) return file_state::not_regular;
    if (st.st_size == 0) return file_state::empty;
    size = static_cast<std::int64_t>(st.st_size);
    // Read-ahead would pull in far more than a search ever looks at.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    return file_state::ok;
}

// searchable, with a message naming the file `shown` when it cannot be
// searched.
std::optional<std::pair<unique_fd, std::int64_t>> ready_to_search(unique_fd fd,
                                                                  const std::string &shown) {
    std::int64_t size = 0;
    switch (searchable(fd.get(), size)) {
    case file_state::ok:
        return std::pair{std::move(fd), size};
    case file_state::unreadable:
        print_errno("Cannot open " + shown);
        break;
    case file_state::not_regular:
        std::fprintf(stderr, "%s is no regular file.\n", shown.c_str());
        break;
    case file_state::empty:
        std::fprintf(stderr, "%s is empty; this is no Pwned Passwords list.\n", shown.c_str());
        break;
    }
    return std::nullopt;
}

// O_NONBLOCK: a FIFO at the name must not hang the open before fstat
// refuses it.
constexpr int list_open_flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;

std::size_t distinct(std::vector<std::uint32_t, wiping_allocator<std::uint32_t>> &prefixes) {
    std::sort(prefixes.begin(), prefixes.end());
    return static_cast<std::size_t>(std::unique(prefixes.begin(), prefixes.end()) -
                                    prefixes.begin());
}

}  // namespace

// Prefixes (the first five hex digits of a hash) held in wiped memory: they
// are part of the hashes of the passwords.
struct pwned_list::range_tally {
    std::vector<std::uint32_t, wiping_allocator<std::uint32_t>> needed, missing, unusable;
};

std::optional<pwned_list> pwned_list::open(const std::string &path) {
    unique_fd fd(::open(path.c_str(), list_open_flags));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        print_errno("Cannot open " + path);
        return std::nullopt;
    }
    pwned_list list;
    list.path_ = path;
    if (S_ISDIR(st.st_mode)) {
        list.folder_ = true;
        list.ranges_ = std::make_shared<range_tally>();
        list.file_ = std::move(fd);
        return list;
    }
    auto opened = ready_to_search(std::move(fd), path);
    if (!opened) return std::nullopt;
    list.file_ = std::move(opened->first);
    list.size_ = opened->second;
    sorted_file f{list.file_.get(), list.size_, full_hash_digits, list.path_, *list.reads_,
                  *list.bytes_};
    if (!check_ends(f)) return std::nullopt;
    return list;
}

std::optional<pwned_lookup> pwned_list::find(const unsigned char *sha1) const {
    static const char hex[] = "0123456789ABCDEF";
    wiped_array<full_hash_digits, char> digits;
    for (std::size_t i = 0; i < 20; ++i) {
        digits.data[2 * i] = hex[sha1[i] >> 4];
        digits.data[2 * i + 1] = hex[sha1[i] & 15];
    }
    std::string_view hash(digits.data, full_hash_digits);
    if (!folder_) {
        sorted_file f{file_.get(), size_, full_hash_digits, path_, *reads_, *bytes_};
        return search(f, hash);
    }
    // Messages never name the range file: its name is the start of the
    // hash of the password looked up.
    const std::string shown = path_ + " (a range file)";
    wiped_array<prefix_digits + 5, char> name;
    std::memcpy(name.data, digits.data, prefix_digits);
    std::memcpy(name.data + prefix_digits, ".txt", 5);
    std::uint32_t prefix = static_cast<std::uint32_t>(sha1[0]) << 12 |
                           static_cast<std::uint32_t>(sha1[1]) << 4 | sha1[2] >> 4;
    ranges_->needed.push_back(prefix);
    unique_fd fd(::openat(file_.get(), name.data, list_open_flags));
    std::int64_t size = 0;
    file_state state = !fd.valid() ? file_state::unreadable : searchable(fd.get(), size);
    if (state != file_state::ok) {
        (!fd.valid() && errno == ENOENT ? ranges_->missing : ranges_->unusable).push_back(prefix);
        pwned_lookup none;
        none.looked_up = false;
        return none;
    }
    sorted_file f{fd.get(), size, suffix_digits, shown, *reads_, *bytes_};
    return search(f, hash.substr(prefix_digits));
}

bool pwned_list::range_files_complete() const {
    if (!folder_ || (ranges_->missing.empty() && ranges_->unusable.empty())) return true;
    std::size_t needed = distinct(ranges_->needed), missing = distinct(ranges_->missing),
                unusable = distinct(ranges_->unusable);
    std::fprintf(stderr,
                 "%s: %zu of the %zu range files the look-ups needed %s missing and %zu %s empty "
                 "or not a readable regular file; this folder holds no complete set of Pwned "
                 "Passwords range files.\n",
                 path_.c_str(), missing, needed, missing == 1 ? "is" : "are", unusable,
                 unusable == 1 ? "is" : "are");
    return false;
}
