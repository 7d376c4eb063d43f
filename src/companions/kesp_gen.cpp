// kesp-gen: makes a password or a passphrase, and prints it, copies it, or
// puts it into an entry of the active database.
#include <openssl/rand.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "clipboard/copy.h"
#include "companions/companion.h"
#include "memory/secret.h"
#include "output/generator.h"
#include "output/passphrase.h"
#include "state/files.h"
#include "state/numbers.h"
#include "store/db.h"
#include "vault/program.h"
#include "vault/session.h"

namespace {

constexpr int default_length = 20;
constexpr int max_length = 4096;
constexpr int max_words = 512;

const option long_options[] = {
    {"words", required_argument, nullptr, 'w'},
    {"separator", required_argument, nullptr, 's'},
    {"capitalize", no_argument, nullptr, 'c'},
    {"length", required_argument, nullptr, 'l'},
    {"set", required_argument, nullptr, 'e'},
    {"clip", no_argument, nullptr, 'p'},
    {"show", no_argument, nullptr, 'o'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{
    "Usage: kesp-gen [--words N [--separator S] [--capitalize]] [--length N] [--set ID] [--clip] "
    "[--show]\n"
    "Prints a new password of N characters (20 unless given) from kesp's alphabet,\n"
    "or with --words a passphrase of N words of the EFF long list (six is a good\n"
    "choice). --set ID makes it the password of entry ID, says so and prints it\n"
    "only with --show; --clip copies it to the clipboard instead of printing it.\n"
    "See kesp-gen(1).\n",
    "h", long_options};

struct request {
    std::optional<int> words, length, id;
    std::optional<std::string> separator;
    bool capitalize = false, clip = false, show = false;
};

std::optional<int> count_option(const char *name, const char *argument, int high) {
    auto n = parse_whole_number(argument, 1, high);
    if (!n) std::fprintf(stderr, "%s takes a number from 1 to %d, not %s.\n", name, high, argument);
    return n;
}

bool take_option(request &r, int c, const char *argument) {
    switch (c) {
    case 'w': return (r.words = count_option("--words", argument, max_words)).has_value();
    case 'l': return (r.length = count_option("--length", argument, max_length)).has_value();
    case 'e': return (r.id = count_option("--set", argument, 999999999)).has_value();
    case 'c': r.capitalize = true; return true;
    case 'p': r.clip = true; return true;
    case 'o': r.show = true; return true;
    case 's':
        for (const char *p = argument; *p != '\0'; ++p)
            if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) {
                std::fputs("--separator may not hold control characters.\n", stderr);
                return false;
            }
        r.separator = argument;
        return true;
    }
    return true;
}

// The options that only go together: a message and false otherwise.
bool consistent(const request &r) {
    if (r.words && r.length) {
        std::fputs("--words and --length exclude each other.\n", stderr);
        return false;
    }
    if (!r.words && (r.separator || r.capitalize)) {
        std::fputs("--separator and --capitalize go with --words.\n", stderr);
        return false;
    }
    return true;
}

secret_string make_secret(const request &r) {
    RAND_poll();
    if (RAND_status() != 1) std::fputs("Warning, random number generator not seeded.\n", stderr);
    if (r.words) {
        passphrase_style style;
        if (r.separator) style.separator = *r.separator;
        style.capitalize = r.capitalize;
        return draw_passphrase(static_cast<std::size_t>(*r.words), style);
    }
    secret_string password;
    std::size_t length = static_cast<std::size_t>(r.length.value_or(default_length));
    wiped_buffer drawn(length);
    draw_password(reinterpret_cast<char *>(drawn.data()), length);
    password.assign({reinterpret_cast<const char *>(drawn.data()), length});
    return password;
}

void say_strength(const request &r) {
    if (::isatty(STDERR_FILENO) != 1) return;
    if (r.words)
        std::fprintf(stderr, "%d %s, %.1f bits\n", *r.words, *r.words == 1 ? "word" : "words",
                     *r.words * passphrase_word_bits());
    else {
        int length = r.length.value_or(default_length);
        std::fprintf(stderr, "%d %s, %.1f bits\n", length,
                     length == 1 ? "character" : "characters", length * password_char_bits());
    }
}

// The entry that --set changes, read under the shared lock (let go before
// this returns), and the database it came from.
struct target {
    entry_ptr seen;
    active_db db;
};

std::optional<target> read_target(int id) {
    auto s = begin_session(lock_kind::shared);
    if (!s) return std::nullopt;
    entry_ptr e(db_get_entry(s->handle(), id));
    if (!e) return std::nullopt;
    if (e->id == -1) {
        std::fprintf(stderr, "Entry %d not found.\n", id);
        return std::nullopt;
    }
    return target{std::move(e), std::move(s->db)};
}

}  // namespace

int main(int argc, char **argv) {
    start_program();

    request r;
    auto done = read_options(program, argc, argv, [&](int c, const char *argument) {
        return take_option(r, c, argument);
    });
    if (done) return *done;
    if (optind != argc) return bad_usage(program);
    if (!consistent(r)) return exit_usage;
    std::optional<int> seconds;
    if (r.clip && !(seconds = clip_seconds(nullptr))) return exit_usage;

    std::optional<target> entry;
    if (r.id && !(entry = read_target(*r.id))) return exit_failure;

    secret_string secret = make_secret(r);
    std::string label;
    if (entry) {
        if (!replace_entry_password(entry->db, *entry->seen, secret.c_str())) return exit_failure;
        label = entry_label(*entry->seen);
        entry->seen.reset();  // nothing of the entry may reach the clearer
    }
    if (r.show || (!r.id && !r.clip)) {
        secret_string line = secret;
        line += '\n';
        if (!write_all(STDOUT_FILENO, line.view())) {
            print_errno("Cannot write the password");
            return exit_failure;
        }
    }
    say_strength(r);
    // The copy's own message names the entry.
    if (entry && !r.clip) std::fprintf(stderr, "Set the new password of %s.\n", label.c_str());
    const char *what = r.id ? "new password" : "generated password";
    if (r.clip && !copy_secret(secret, what, label, *seconds)) {
        if (r.id) std::fprintf(stderr, "The new password is in entry %d all the same.\n", *r.id);
        return exit_failure;
    }
    return exit_ok;
}
