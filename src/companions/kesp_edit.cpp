// kesp-edit: changes the fields of an entry that the command line names and
// no other, then prints the entry as kesp -l does.
#include <openssl/rand.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "companions/companion.h"
#include "memory/secret.h"
#include "output/display.h"
#include "output/generator.h"
#include "state/console.h"
#include "state/numbers.h"
#include "store/db.h"
#include "vault/late_change.h"
#include "vault/program.h"
#include "vault/session.h"

namespace {

constexpr int default_length = 20;
constexpr int max_length = 4096;

const option long_options[] = {
    {"title", required_argument, nullptr, 't'},
    {"user", required_argument, nullptr, 'u'},
    {"url", required_argument, nullptr, 'l'},
    {"notes", required_argument, nullptr, 'n'},
    {"add-note", required_argument, nullptr, 'a'},
    {"password", no_argument, nullptr, 'p'},
    {"generate", optional_argument, nullptr, 'g'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{
    "Usage: kesp-edit ID [--title T] [--user U] [--url URL] [--notes TEXT | --add-note LINE]\n"
    "                 [--password | --generate [LENGTH]]\n"
    "Changes only the fields of entry ID that are named and prints the entry as\n"
    "kesp -l does. --add-note adds LINE below the notes; --password asks the new\n"
    "password twice on the terminal; --generate makes one of LENGTH characters\n"
    "(20 unless given). The version replaced is kept (kesp-history).\n"
    "See kesp-edit(1).\n",
    "h", long_options};

struct request {
    std::optional<std::string> title, user, url, notes, note_line;
    bool ask_password = false, generate = false;
    int length = default_length;
    const char *length_word = nullptr;  // a word after --generate that may be its LENGTH
    bool any() const {
        return title || user || url || notes || note_line || ask_password || generate;
    }
};

// Titles, user names, URLs and an added line are one line each: a line
// break in them would print as a field of its own in every listing.
bool one_line(const char *name, const char *argument) {
    if (std::strpbrk(argument, "\r\n") == nullptr) return true;
    std::fprintf(stderr, "%s takes one line, without line breaks.\n", name);
    return false;
}

std::optional<int> length_of(const char *argument) {
    auto n = parse_whole_number(argument, 1, max_length);
    if (!n)
        std::fprintf(stderr, "--generate takes a length from 1 to %d, not %s.\n", max_length,
                     argument);
    return n;
}

bool take_option(request &r, int c, const char *argument, int argc, char **argv) {
    switch (c) {
    case 't': r.title = argument; return one_line("--title", argument);
    case 'u': r.user = argument; return one_line("--user", argument);
    case 'l': r.url = argument; return one_line("--url", argument);
    case 'n': r.notes = argument; return true;
    case 'a': r.note_line = argument; return one_line("--add-note", argument);
    case 'p': r.ask_password = true; return true;
    case 'g':
        r.generate = true;
        if (argument != nullptr) {
            auto n = length_of(argument);
            if (n) r.length = *n;
            return n.has_value();
        }
        // "--generate 30": the next word, when it is a number, may be the
        // length; which number is the id is settled once every word is read.
        if (optind < argc && parse_whole_number(argv[optind], 0, 999999999))
            r.length_word = argv[optind];
        return true;
    }
    return true;
}

// The id, and the length when it was the word after --generate: one number
// operand is the id; of two, the one after --generate is the length.
std::optional<int> settle_operands(request &r, int argc, char **argv) {
    const int operands = argc - optind;
    const char *id_word = nullptr;
    if (operands == 1) {
        id_word = argv[optind];
    } else if (operands == 2 && r.length_word != nullptr) {
        const bool first = argv[optind] == r.length_word;
        if (!first && argv[optind + 1] != r.length_word) return bad_usage(program), std::nullopt;
        auto n = length_of(r.length_word);
        if (!n) return std::nullopt;
        r.length = *n;
        id_word = argv[first ? optind + 1 : optind];
    }
    std::optional<int> id;
    if (id_word != nullptr) id = parse_whole_number(id_word, 1, 999999999);
    if (!id) bad_usage(program);
    return id;
}

bool consistent(const request &r) {
    if (r.notes && r.note_line) {
        std::fputs("--notes and --add-note exclude each other.\n", stderr);
        return false;
    }
    if (r.ask_password && r.generate) {
        std::fputs("--password and --generate exclude each other.\n", stderr);
        return false;
    }
    if (!r.any()) {
        std::fputs("Name a field to change.\n", stderr);
        return false;
    }
    return true;
}

// One secret answer from the person at the terminal, which must be there:
// a password read from a pipe is a password nobody typed twice.
bool read_typed(const char *prompt, secret_buffer &answer) {
    switch (read_secret(prompt, answer.data, sizeof answer.data, stdin)) {
    case secret_status::ok: return true;
    case secret_status::no_terminal:
        std::fputs("A terminal is needed to type the password.\n", stderr);
        return false;
    case secret_status::too_long: return false;
    case secret_status::end_of_input:
        std::fputs("Input ended; nothing was changed.\n", stderr);
        return false;
    }
    return false;
}

// The new password typed twice; nothing after a message.
std::optional<secret_string> ask_password() {
    secret_buffer password, again;
    if (!read_typed("New password: ", password)) return std::nullopt;
    if (password.data[0] == '\0') {
        std::fputs("The password is empty; nothing was changed.\n", stderr);
        return std::nullopt;
    }
    if (!read_typed("New password again: ", again)) return std::nullopt;
    if (std::strcmp(password.data, again.data) != 0) {
        std::fputs("Password mismatch; nothing was changed.\n", stderr);
        return std::nullopt;
    }
    secret_string out;
    out.assign(password.data);
    return out;
}

secret_string generated(int length) {
    RAND_poll();
    if (RAND_status() != 1) std::fputs("Warning, random number generator not seeded.\n", stderr);
    const auto size = static_cast<std::size_t>(length);
    wiped_buffer drawn(size);
    draw_password(reinterpret_cast<char *>(drawn.data()), size);
    secret_string out;
    out.assign({reinterpret_cast<const char *>(drawn.data()), size});
    return out;
}

// Replaces an entry's text by a copy of `text`; the old one is wiped.
void replace_text(char *&field, const char *text) {
    free_secret_text(field);
    field = xstrdup(text);
}

// `seen` with the fields the request names; `differs` tells whether any
// of them now holds something else.
entry_ptr apply(const entry &seen, const request &r, const secret_string *password,
                bool &differs) {
    entry_ptr changed(entry_copy(&seen));
    differs = false;
    auto put = [&differs](char *&field, const char *text) {
        if (std::strcmp(text_or_empty(field), text) != 0) differs = true;
        replace_text(field, text);
    };
    if (r.title) put(changed->title, r.title->c_str());
    if (r.user) put(changed->user, r.user->c_str());
    if (r.url) put(changed->url, r.url->c_str());
    if (r.notes) put(changed->notes, r.notes->c_str());
    if (r.note_line) {
        secret_string notes;
        notes.assign(text_or_empty(seen.notes));
        if (!notes.empty()) notes += '\n';
        notes += *r.note_line;
        put(changed->notes, notes.c_str());
    }
    if (password != nullptr) put(changed->password, password->c_str());
    return changed;
}

int edit(int id, const request &r) {
    std::optional<active_db> db;
    entry_ptr seen;
    {
        auto s = begin_session(lock_kind::shared);
        if (!s) return exit_failure;
        seen.reset(db_get_entry(s->handle(), id));
        if (!seen) return exit_failure;
        if (seen->id == -1) {
            std::fprintf(stderr, "Entry %d not found.\n", id);
            return exit_failure;
        }
        db = std::move(s->db);
    }

    std::optional<secret_string> password;
    if (r.ask_password && !(password = ask_password())) return exit_failure;
    if (r.generate) password = generated(r.length);

    bool differs = false;
    entry_ptr changed = apply(*seen, r, password ? &*password : nullptr, differs);
    // Writing the same texts again would only renew the time and put a
    // copy of the entry into its record of versions.
    if (differs && update_entry(*db, *seen, *changed) != update_outcome::written)
        return exit_failure;
    changed.reset();
    seen.reset();
    // Written into the container after the agent locked (and said so):
    // there is no active database to show the entry from.
    if (differs && agent_let_go(*db)) return exit_ok;

    entry_ptr now;
    {
        auto s = begin_session(lock_kind::shared);
        if (!s) return exit_failure;
        now.reset(db_get_entry(s->handle(), id));
    }
    if (!now || now->id == -1) return exit_failure;
    print_entry(now.get(), 0, 0);
    return exit_ok;
}

}  // namespace

int main(int argc, char **argv) {
    start_program();

    request r;
    auto done = read_options(program, argc, argv, [&](int c, const char *argument) {
        return take_option(r, c, argument, argc, argv);
    });
    if (done) return *done;
    auto id = settle_operands(r, argc, argv);
    if (!id) return exit_usage;
    if (!consistent(r)) return exit_usage;
    return edit(*id, r);
}
