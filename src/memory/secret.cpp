#include "memory/secret.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
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
    // malloc(0) may legitimately return nullptr; ask for one byte instead.
    void *block = std::malloc(size == 0 ? 1 : size);
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

void wipe_resident(void *data, std::size_t size) {
    constexpr std::size_t big = std::size_t(1) << 20;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    if (data == nullptr || size < big || page == 0) return wipe(data, size);
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = begin & ~(page - 1), end = begin + size;
    const std::size_t pages = (end - first + page - 1) / page;
    std::vector<unsigned char> resident(pages);
    if (::mincore(reinterpret_cast<void *>(first), end - first, resident.data()) != 0)
        return wipe(data, size);
    // Runs of resident pages, clipped to the block.
    for (std::size_t i = 0; i < pages;) {
        if ((resident[i] & 1) == 0) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < pages && (resident[j] & 1) != 0) ++j;
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
