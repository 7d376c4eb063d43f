#include "memory/secret.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include <openssl/crypto.h>

namespace {

release_observer observer = nullptr;

}  // namespace

void out_of_memory() {
    std::fputs("Malloc failed. Abort.\n", stderr);
    std::abort();
}

void install_alloc_failure_handler() {
    std::set_new_handler(out_of_memory);
}

void *xmalloc(std::size_t size) {
    // A big block starts on a huge page's boundary, so that a hint for huge
    // pages (hint_huge_pages) covers it whole.
    constexpr std::size_t huge = std::size_t(2) << 20;
    void *block = nullptr;
    if (size >= huge) {
        if (::posix_memalign(&block, huge, size) != 0) block = nullptr;
    } else {
        // malloc(0) may legitimately return nullptr; ask for one byte instead.
        block = std::malloc(size == 0 ? 1 : size);
    }
    if (block == nullptr) out_of_memory();
    return block;
}

char *xstrdup(const char *text) {
    std::size_t length = std::strlen(text);
    auto *copy = static_cast<char *>(xmalloc(length + 1));
    std::memcpy(copy, text, length + 1);
    return copy;
}

void wipe(void *data, std::size_t size) {
    if (data != nullptr && size > 0) OPENSSL_cleanse(data, size);
}

namespace {

// Whether each page from `first` on is in memory or on swap: a page that is
// neither was never written (or was handed back to the system) and holds
// nothing. Empty when the kernel cannot tell.
std::vector<bool> pages_in_use(std::uintptr_t first, std::size_t pages, std::uintptr_t page) {
    const int fd = ::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::vector<std::uint64_t> entries(pages);
    const std::size_t want = pages * sizeof(std::uint64_t);
    std::size_t got = 0;
    while (got < want) {
        ssize_t n = ::pread(fd, reinterpret_cast<char *>(entries.data()) + got, want - got,
                            static_cast<off_t>((first / page) * sizeof(std::uint64_t) + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (got != want) return {};
    constexpr std::uint64_t present = std::uint64_t(1) << 63, swapped = std::uint64_t(1) << 62;
    std::vector<bool> used(pages);
    for (std::size_t i = 0; i < pages; ++i) used[i] = (entries[i] & (present | swapped)) != 0;
    return used;
}

}  // namespace

void wipe_resident(void *data, std::size_t size) {
    constexpr std::size_t big = std::size_t(1) << 20;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    if (data == nullptr || size < big || page == 0) return wipe(data, size);
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = begin & ~(page - 1), end = begin + size;
    const std::size_t pages = (end - first + page - 1) / page;
    const std::vector<bool> used = pages_in_use(first, pages, page);
    if (used.empty()) return wipe(data, size);
    // Runs of pages in use, clipped to the block.
    for (std::size_t i = 0; i < pages;) {
        if (!used[i]) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < pages && used[j]) ++j;
        const std::uintptr_t from = std::max(begin, first + i * page);
        const std::uintptr_t to = std::min(end, first + j * page);
        wipe(reinterpret_cast<void *>(from), to - from);
        i = j;
    }
}

void free_secret(void *block, std::size_t size) {
    if (block == nullptr) return;
    wipe_resident(block, size);
    if (observer != nullptr) observer(block, size);
    std::free(block);
}

void free_secret_text(char *text) {
    if (text != nullptr) free_secret(text, std::strlen(text) + 1);
}

void set_release_observer(release_observer o) {
    observer = o;
}

void hint_huge_pages(void *data, std::size_t size) {
    constexpr std::uintptr_t huge = std::uintptr_t(2) << 20, page = 4096;
    if (size < huge) return;
    auto begin = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
    auto end = reinterpret_cast<std::uintptr_t>(data) + size;
    ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
}
