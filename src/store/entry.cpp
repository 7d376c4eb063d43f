#include "store/entry.h"

#include <cstdlib>
#include <initializer_list>

#include "memory/secret.h"

namespace {

entry *blank_entry() {
    auto *e = static_cast<entry *>(xmalloc(sizeof(entry)));
    *e = entry{0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return e;
}

}  // namespace

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
        // Every text is wiped: notes hold one-time-code seeds and card
        // numbers, and titles and user names say where the passwords are.
        for (char *text : {e->title, e->user, e->url, e->password, e->notes, e->timestamp})
            free_secret_text(text);
        std::free(e);
        e = next;
    }
}
