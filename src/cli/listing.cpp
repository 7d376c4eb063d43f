// -l, -A, -t, -f, -q, -F: the commands that print entries. None changes the
// database.
#include <cstdio>
#include <initializer_list>

#include "cli/commands.h"
#include "cli/field_matcher.h"
#include "cli/session.h"
#include "output/display.h"
#include "state/pointer_file.h"
#include "store/db.h"

namespace {

// Prints every entry of a list the store handed out (nothing after a store
// failure, which ends the command), then runs the auto-encrypt step if asked.
void print_list(entry_ptr list, int show_passwords, int auto_encrypt) {
    if (!list) return;
    entry_printer printer;
    for (const entry *e = list->next; e != nullptr; e = e->next) printer.print(e, show_passwords, 0);
    list.reset();
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

// The rows are read under the shared lock; printing happens after it is
// let go, so that a slow reader of the output (a pager) holds up nobody.
template <typename Fetch>
entry_ptr fetch_under_lock(Fetch fetch) {
    auto s = begin_session(lock_kind::shared);
    if (!s) return nullptr;
    return entry_ptr(fetch(s->path()));
}

}  // namespace

void cmd_list_entry(int id, int show_passwords, int auto_encrypt, int show_qrcode) {
    entry_ptr e = fetch_under_lock([id](const char *path) {
        return fetch_entry(path, id, "Nothing found with id %d.\n").release();
    });
    if (!e) return;
    print_entry(e.get(), show_passwords, show_qrcode);
    e.reset();
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

void cmd_list_entries(int show_passwords, int auto_encrypt, int count) {
    print_list(fetch_under_lock([count](const char *path) { return db_list_entries(path, count); }),
               show_passwords, auto_encrypt);
}

void cmd_find(const char *search, int show_passwords, int auto_encrypt) {
    print_list(fetch_under_lock([search](const char *path) { return db_find_entries(path, search); }),
               show_passwords, auto_encrypt);
}

// Regex search asks for no active database first: without a pointer file it
// says only what the store would say.
void cmd_find_regex(const char *pattern, int show_passwords) {
    entry_ptr list;
    {
        auto lock = take_user_lock(lock_kind::shared);
        if (!lock) return;
        if (!has_active_db()) {
            std::fputs("Error getting database path\n", stderr);
            return;
        }
        auto db = resolve_active_db();
        if (!db) return;
        list.reset(db_list_entries(db->path.c_str(), list_all));
    }
    if (list) print_matching_entries(list->next, pattern, show_passwords);
}
void print_matching_entries(const entry *first, const char *pattern, int show_passwords) {
    field_matcher matcher;
    if (!matcher.compile(pattern)) {
        std::fputs("Invalid regular expression.\n", stderr);
        return;
    }

    entry_printer printer;
    for (const entry *e = first; e != nullptr; e = e->next) {
        // The password is never matched; the first matching field decides.
        for (const char *field : {e->title, e->user, e->url, e->notes, e->timestamp}) {
            if (field != nullptr && matcher.matches(field)) {
                printer.print(e, show_passwords, 0);
                break;
            }
        }
    }
}
