#include "store/entry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <openssl/crypto.h>

namespace {

[[noreturn]] void out_of_memory() {
    std::fputs("Malloc failed. Abort.\n", stderr);
    std::abort();
}

void free_text(char *text, bool secret = false) {
    if (text == nullptr) return;
    if (secret) OPENSSL_cleanse(text, std::strlen(text));
    std::free(text);
}

entry *blank_entry() {
    auto *e = static_cast<entry *>(xmalloc(sizeof(entry)));
    *e = entry{0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return e;
}

}  // namespace

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

void free_secret_text(char *text) {
    free_text(text, true);
}

void install_alloc_failure_handler() {
    std::set_new_handler(out_of_memory);
}

entry *entry_new(const char *title, const char *user, const char *url,
                 const char *password, const char *notes) {
    entry *e = blank_entry();
    e->title = xstrdup(title);
    e->user = xstrdup(user);
    e->url = xstrdup(url);
    e->password = xstrdup(password);
    e->notes = xstrdup(notes);
    return e;
}

entry *entry_alloc() {
    return blank_entry();
}

entry *entry_append(entry *list, const char *title, const char *user, const char *url,
                    const char *password, const char *notes) {
    entry *tail = list;
    while (tail != nullptr && tail->next != nullptr) tail = tail->next;
    entry *e = entry_new(title, user, url, password, notes);
    if (tail != nullptr) tail->next = e;
    return e;
}

entry *entry_copy(const entry *source) {
    return entry_new(source->title, source->user, source->url, source->password,
                     source->notes);
}

void entry_free(entry *e) {
    while (e != nullptr) {
        entry *next = e->next;
        free_text(e->title);
        free_text(e->user);
        free_text(e->url);
        free_text(e->password, true);
        free_text(e->notes);
        free_text(e->timestamp);
        std::free(e);
        e = next;
    }
}
