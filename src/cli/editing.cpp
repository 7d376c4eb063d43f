// -a, -e, -c, -r: the commands that change entries of the active database.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <utility>

#include "cli/commands.h"
#include "vault/session.h"
#include "output/display.h"
#include "memory/secret.h"
#include "output/generator.h"
#include "state/console.h"

namespace {

constexpr int generated_password_length = 20;

// An end of input (Ctrl-D) at a prompt is no answer: the command stores
// nothing, as after Ctrl-C, rather than an entry nobody typed. Returns false.
bool input_ended() {
    std::fputs("Input ended; nothing was changed.\n", stderr);
    return false;
}

// Reads the entry password. An empty answer (or no terminal to type one on)
// asks for a generated password, which the generator prints. Returns false
// when the answer was refused or the input ended; `answer` is empty when no
// password could be had.
bool ask_entry_password(const char *prompt, secret_buffer &answer) {
    switch (read_secret(prompt, answer.data, sizeof answer.data, stdin)) {
    case secret_status::too_long: return false;
    case secret_status::end_of_input: return input_ended();
    case secret_status::ok:
    case secret_status::no_terminal: break;
    }
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
    // Notes hold card numbers and one-time-code seeds as often as not.
    ~entry_answers() {
        for (char *field : {title, user, url, notes}) wipe(field, input_buffer_size);
    }
};

// "<label><text>\n", the stored text shown safely on a terminal.
void print_field_line(const char *label, const char *text) {
    std::fputs(label, stdout);
    print_stored_text(text);
    std::fputs("\n", stdout);
}

// Replaces an entry's text by a copy of `text`. Every text is wiped: notes
// hold one-time-code seeds and card numbers as often as passwords do.
void replace_text(char *&field, const char *text) {
    free_secret_text(field);
    field = xstrdup(text);
}

// Shows each current text and asks for its replacement; an empty answer
// keeps it. Returns false when the password answer was refused or the input
// ended.
bool ask_changes(const entry &current, entry_answers &answers) {
    auto &[title, user, url, notes, password] = answers;
    const std::pair<const char *, const char *> shown[] = {
        {"Current title ", current.title}, {"Current username ", current.user},
        {"Current url ", current.url}, {"Current notes ", current.notes}};
    const char *const prompts[] = {"New title: ", "New username: ", "New url: ", "New note: "};
    char *const fields[] = {title, user, url, notes};
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        print_field_line(shown[i].first, shown[i].second);
        if (!read_field(prompts[i], fields[i])) return input_ended();
    }
    print_field_line("Current password ", current.password);
    return ask_entry_password("New password (empty to generate new): ", password);
}

// `current` with every non-empty answer in place of its text; nothing
// when every answer was empty.
entry_ptr apply_changes(const entry &current, entry_answers &answers) {
    entry_ptr changed(entry_copy(&current));
    bool replaced = false;
    auto take = [&replaced](char *&field, char *answer) {
        strip_newlines(answer);
        if (answer[0] == '\0') return;
        replace_text(field, answer);
        replaced = true;
    };
    take(changed->title, answers.title);
    take(changed->user, answers.user);
    take(changed->url, answers.url);
    take(changed->notes, answers.notes);
    take(changed->password, answers.password.data);
    if (!replaced) changed.reset();
    return changed;
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

    bool answered = read_field("Title: ", title);
    if (const char *default_user = get_default_username(); answered && default_user) {
        std::printf("Username: using default (%s)\n", default_user);
        std::strncpy(user, default_user, sizeof user - 1);
    } else {
        answered = answered && read_field("Username: ", user);
    }
    answered = answered && read_field("Url: ", url) && read_field("Notes: ", notes);
    if (!answered) input_ended();
    if (!answered || !ask_entry_password("Password (empty to generate new): ", password)) {
        if (auto_encrypt == 1) warn_if_still_decrypted();
        return;
    }

    for (char *field : {title, user, url, notes}) strip_newlines(field);

    entry_ptr e(entry_new(title, user, url, password.data, notes));
    if (!add_entry(*db, *e)) return;
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

void cmd_edit(int id, int auto_encrypt) {
    std::optional<active_db> db;
    entry_ptr e;
    if (auto s = begin_session(lock_kind::shared)) {
        e = fetch_entry(s->handle(), id, "Nothing found.\n");
        db = std::move(s->db);
    }
    if (!e) return;

    entry_answers answers;
    if (!ask_changes(*e, answers)) {
        if (auto_encrypt == 1) warn_if_still_decrypted();
        return;
    }
    if (entry_ptr changed = apply_changes(*e, answers)) {
        // Another kesp may have edited or removed the entry meanwhile; saving
        // over that would undo its change without a word. A failed write has
        // been reported and ends nothing.
        if (update_entry(*db, *e, *changed) == update_outcome::refused) return;
    }
    e.reset();
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

void cmd_copy(int id) { copy_entry(id, "Nothing found with id %d.\n"); }

void cmd_remove(int id, int auto_encrypt) {
    auto removed = remove_entry(id);
    if (!removed) return;
    if (*removed)
        std::fputs("Entry was deleted from the database.\n", stdout);
    else
        std::printf("No entry with id %d was found.\n", id);
    if (auto_encrypt == 1) run_auto_encrypt_step();
}
