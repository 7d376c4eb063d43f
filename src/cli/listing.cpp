// -l, -A, -t, -f, -q, -F: the commands that print entries. None changes the
// database.
#include <cstdio>
#include <initializer_list>

#include "cli/commands.h"
#include "cli/field_matcher.h"
#include "output/display.h"
#include "store/db.h"

namespace {

void print_list(const entry *head, int show_passwords) {
    for (const entry *e = head->next; e != nullptr; e = e->next) print_entry(e, show_passwords, 0);
}

}  // namespace

void cmd_list_entry(int id, int show_passwords, int auto_encrypt, int show_qrcode) {
    if (!require_active_db()) return;

    entry *e = db_get_entry(id);
    if (e == nullptr) return;
    if (e->id == -1) {
        std::printf("Nothing found with id %d.\n", id);
        entry_free(e);
        return;
    }
    print_entry(e, show_passwords, show_qrcode);
    entry_free(e);
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

void cmd_list_entries(int show_passwords, int auto_encrypt, int count) {
    if (!require_active_db()) return;

    entry *list = db_list_entries(count);
    if (list == nullptr) return;
    print_list(list, show_passwords);
    entry_free(list);
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

void cmd_find(const char *search, int show_passwords, int auto_encrypt) {
    if (!require_active_db()) return;

    entry *list = db_find_entries(search);
    if (list == nullptr) return;
    print_list(list, show_passwords);
    entry_free(list);
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

void cmd_find_regex(const char *pattern, int show_passwords) {
    entry *list = db_list_entries(-1);
    if (list == nullptr) return;
    print_matching_entries(list->next, pattern, show_passwords);
    entry_free(list);
}

void print_matching_entries(const entry *first, const char *pattern, int show_passwords) {
    field_matcher matcher;
    if (!matcher.compile(pattern)) {
        std::fputs("Invalid regular expression.\n", stderr);
        return;
    }

    for (const entry *e = first; e != nullptr; e = e->next) {
        // The password is never matched; the first matching field decides.
        for (const char *field : {e->title, e->user, e->url, e->notes, e->timestamp}) {
            if (field != nullptr && matcher.matches(field)) {
                print_entry(e, show_passwords, 0);
                break;
            }
        }
    }
}
