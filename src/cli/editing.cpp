// -a, -e, -c, -r: the commands that change entries of the active database.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "cli/commands.h"
#include "cli/session.h"
#include "output/display.h"
#include "memory/secret.h"
#include "output/generator.h"
#include "state/console.h"
#include "store/db.h"

namespace {

constexpr int generated_password_length = 20;

// Reads the entry password. An empty answer (or no terminal to type one on)
// asks for a generated password, which the generator prints. Returns false
// when the answer was refused; `answer` is empty when no password could be had.
bool ask_entry_password(const char *prompt, secret_buffer &answer) {
    if (read_secret(prompt, answer.data, sizeof answer.data, stdin) == secret_status::too_long)
        return false;
    if (answer.data[0] != '\0') return true;

    char *generated = generate_password(generated_password_length);
    if (generated == nullptr) {
        std::fputs("WARNING: Unable to generate new password.\n", stderr);
        return true;
    }
    std::strncpy(answer.data, generated, sizeof answer.data - 1);
    free_secret_text(generated);
    return true;
}

// What a person typed for an entry's five fields.
struct entry_answers {
    char title[input_buffer_size] = {};
    char user[input_buffer_size] = {};
    char url[input_buffer_size] = {};
    char notes[input_buffer_size] = {};
    secret_buffer password;
};

// True when two entries read from the database hold the same row.
bool same_entry(const entry &a, const entry &b) {
    auto same = [](const char *x, const char *y) {
        return std::strcmp(text_or_empty(x), text_or_empty(y)) == 0;
    };
    return a.id == b.id && same(a.title, b.title) && same(a.user, b.user) &&
           same(a.url, b.url) && same(a.password, b.password) && same(a.notes, b.notes) &&
           same(a.timestamp, b.timestamp);
}

// "<label><text>\n", the stored text shown safely on a terminal.
void print_field_line(const char *label, const char *text) {
    std::fputs(label, stdout);
    print_stored_text(text);
    std::fputs("\n", stdout);
}

// Replaces an entry's text by a copy of `text`.
void replace_text(char *&field, const char *text, bool secret = false) {
    if (secret)
        free_secret_text(field);
    else
        std::free(field);
    field = xstrdup(text);
}

}  // namespace

const char *get_default_username() {
    return std::getenv("KESP_DEFAULT_USERNAME");
}

void cmd_add(int auto_encrypt) {
    std::optional<active_db> db;
    if (auto s = begin_session(lock_kind::shared)) db = std::move(s->db);
    if (!db) return;

    entry_answers answers;
    auto &[title, user, url, notes, password] = answers;

    read_field("Title: ", title);
    if (const char *default_user = get_default_username()) {
        std::printf("Username: using default (%s)\n", default_user);
        std::strncpy(user, default_user, sizeof user - 1);
    } else {
        read_field("Username: ", user);
    }
    read_field("Url: ", url);
    read_field("Notes: ", notes);
    if (!ask_entry_password("Password (empty to generate new): ", password)) return;

    for (char *field : {title, user, url, notes}) strip_newlines(field);

    entry_ptr e(entry_new(title, user, url, password.data, notes));
    {
        auto lock = lock_unchanged(*db);
        if (!lock) return;
        if (!db_insert_entry(db->path.c_str(), e.get())) {
            std::fputs("Failed to add a new entry.\n", stderr);
            return;
        }
    }
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

void cmd_edit(int id, int auto_encrypt) {
    std::optional<active_db> db;
    entry_ptr e;
    if (auto s = begin_session(lock_kind::shared)) {
        e = fetch_entry(s->path(), id, "Nothing found.\n");
        db = std::move(s->db);
    }
    if (!e) return;

    entry_answers answers;
    auto &[title, user, url, notes, password] = answers;

    print_field_line("Current title ", e->title);
    read_field("New title: ", title);
    print_field_line("Current username ", e->user);
    read_field("New username: ", user);
    print_field_line("Current url ", e->url);
    read_field("New url: ", url);
    print_field_line("Current notes ", e->notes);
    read_field("New note: ", notes);
    print_field_line("Current password ", e->password);
    if (!ask_entry_password("New password (empty to generate new): ", password)) return;

    entry_ptr merged(entry_copy(e.get()));
    bool replaced = false;
    auto merge = [&replaced](char *&field, char *answer) {
        strip_newlines(answer);
        if (answer[0] == '\0') return;
        replace_text(field, answer);
        replaced = true;
    };
    merge(merged->title, title);
    merge(merged->user, user);
    merge(merged->url, url);
    merge(merged->notes, notes);
    if (password.data[0] != '\0') {
        replace_text(merged->password, password.data, true);
        replaced = true;
    }

    if (replaced) {
        auto lock = lock_unchanged(*db);
        if (!lock) return;
        // Another kesp may have edited or removed the entry meanwhile; saving
        // over that would undo its change without a word.
        entry_ptr now(db_get_entry(db->path.c_str(), id));
        if (!now) return;
        if (now->id == -1) {
            std::fprintf(stderr, "Entry %d was removed while you typed; nothing was changed.\n", id);
            return;
        }
        if (!same_entry(*now, *e)) {
            std::fprintf(stderr, "Entry %d was changed while you typed; nothing was changed.\n", id);
            return;
        }
        db_update_entry(db->path.c_str(), e->id, merged.get());
    }
    e.reset();
    merged.reset();
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

void cmd_copy(int id) {
    auto s = begin_session(lock_kind::exclusive);
    if (!s) return;

    entry_ptr e = fetch_entry(s->path(), id, "Nothing found with id %d.\n");
    if (!e) return;
    entry_ptr copy(entry_copy(e.get()));
    if (!db_insert_entry(s->path(), copy.get())) std::fputs("Failed to add a new entry.\n", stderr);
}

void cmd_remove(int id, int auto_encrypt) {
    {
        auto s = begin_session(lock_kind::exclusive);
        if (!s) return;

        bool changed = false;
        if (!db_delete_entry(s->path(), id, &changed)) return;
        if (changed)
            std::fputs("Entry was deleted from the database.\n", stdout);
        else
            std::printf("No entry with id %d was found.\n", id);
    }
    if (auto_encrypt == 1) run_auto_encrypt_step();
}
