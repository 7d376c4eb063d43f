// -a, -e, -c, -r: the commands that change entries of the active database.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "cli/commands.h"
#include "cli/session.h"
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
    auto path = require_active_db();
    if (!path) return;

    char title[input_buffer_size] = {};
    char user[input_buffer_size] = {};
    char url[input_buffer_size] = {};
    char notes[input_buffer_size] = {};
    secret_buffer password;

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
    if (!db_insert_entry(path->c_str(), e.get())) {
        std::fputs("Failed to add a new entry.\n", stderr);
        return;
    }
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

void cmd_edit(int id, int auto_encrypt) {
    auto path = require_active_db();
    if (!path) return;

    entry_ptr e = fetch_entry(*path, id, "Nothing found.\n");
    if (!e) return;

    char title[input_buffer_size] = {};
    char user[input_buffer_size] = {};
    char url[input_buffer_size] = {};
    char notes[input_buffer_size] = {};
    secret_buffer password;

    std::printf("Current title %s\n", e->title);
    read_field("New title: ", title);
    std::printf("Current username %s\n", e->user);
    read_field("New username: ", user);
    std::printf("Current url %s\n", e->url);
    read_field("New url: ", url);
    std::printf("Current notes %s\n", e->notes);
    read_field("New note: ", notes);
    std::printf("Current password %s\n", e->password);
    if (!ask_entry_password("New password (empty to generate new): ", password)) return;

    bool replaced = false;
    auto merge = [&replaced](char *&field, char *answer) {
        strip_newlines(answer);
        if (answer[0] == '\0') return;
        replace_text(field, answer);
        replaced = true;
    };
    merge(e->title, title);
    merge(e->user, user);
    merge(e->url, url);
    merge(e->notes, notes);
    if (password.data[0] != '\0') {
        replace_text(e->password, password.data, true);
        replaced = true;
    }

    if (replaced) db_update_entry(path->c_str(), e->id, e.get());
    e.reset();
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

void cmd_copy(int id) {
    auto path = require_active_db();
    if (!path) return;

    entry_ptr e = fetch_entry(*path, id, "Nothing found with id %d.\n");
    if (!e) return;
    entry_ptr copy(entry_copy(e.get()));
    if (!db_insert_entry(path->c_str(), copy.get())) std::fputs("Failed to add a new entry.\n", stderr);
}

void cmd_remove(int id, int auto_encrypt) {
    auto path = require_active_db();
    if (!path) return;

    bool changed = false;
    if (!db_delete_entry(path->c_str(), id, &changed)) return;
    if (changed)
        std::fputs("Entry was deleted from the database.\n", stdout);
    else
        std::printf("No entry with id %d was found.\n", id);
    if (auto_encrypt == 1) run_auto_encrypt_step();
}
