#include "memory/secret.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

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

void free_secret(void *block, std::size_t size) {
    if (block == nullptr) return;
    wipe(block, size);
    if (observer != nullptr) observer(block, size);
    std::free(block);
}

void free_secret_text(char *text) {
    if (text != nullptr) free_secret(text, std::strlen(text) + 1);
}

void set_release_observer(release_observer o) {
    observer = o;
}
