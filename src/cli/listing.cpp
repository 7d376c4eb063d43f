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
void print_list(entry *fetched, int show_passwords, int auto_encrypt) {
    entry_ptr list(fetched);
    if (!list) return;
    entry_printer printer;
    for (const entry *e = list->next; e != nullptr; e = e->next) printer.print(e, show_passwords, 0);
    list.reset();
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

}  // namespace

void cmd_list_entry(int id, int show_passwords, int auto_encrypt, int show_qrcode) {
    auto path = require_active_db();
    if (!path) return;

    entry_ptr e = fetch_entry(*path, id, "Nothing found with id %d.\n");
    if (!e) return;
    print_entry(e.get(), show_passwords, show_qrcode);
    e.reset();
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

void cmd_list_entries(int show_passwords, int auto_encrypt, int count) {
    auto path = require_active_db();
    if (!path) return;

    print_list(db_list_entries(path->c_str(), count), show_passwords, auto_encrypt);
}

void cmd_find(const char *search, int show_passwords, int auto_encrypt) {
    auto path = require_active_db();
    if (!path) return;

    print_list(db_find_entries(path->c_str(), search), show_passwords, auto_encrypt);
}

// Regex search asks for no active database first: without a path it says
// only what the store would say.
void cmd_find_regex(const char *pattern, int show_passwords) {
    auto path = read_active_db_path();
    if (!path) {
        std::fputs("Error getting database path\n", stderr);
        return;
    }
    entry_ptr list(db_list_entries(path->c_str(), list_all));
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
