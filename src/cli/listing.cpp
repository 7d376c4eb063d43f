// -l, -A, -t, -f, -q, -F: the commands that print entries. None changes the
// database.
#include <cstdio>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/background_writer.h"
#include "cli/commands.h"
#include "cli/field_matcher.h"
#include "vault/session.h"
#include "output/display.h"
#include "state/files.h"
#include "state/pointer_file.h"
#include "store/db.h"

namespace {

// Where a listing's text goes. Rows are composed as SQLite reads them,
// under the shared lock, with no copy of the entries. A file or /dev/null
// cannot hold anybody up: rows go to it as they come. Anything else (a
// pipe, a terminal, a socket) gets the text through a background_writer
// in pieces of 64 KiB; a listing shorter than that is written after the
// lock is let go, with no thread at all.
class listing_text {
public:
    listing_text(int show_passwords, const field_matcher *matcher)
        : show_passwords_(show_passwords), matcher_(matcher), direct_(output_cannot_block()) {
        // The writer writes past stdio: what earlier commands printed goes
        // first, before the lock is taken.
        if (!direct_) std::fflush(stdout);
    }

    // An entry_visitor: adds `row` unless a matcher leaves it out.
    static bool add(void *context, const entry &row) {
        auto *text = static_cast<listing_text *>(context);
        if (text->matcher_ != nullptr && !matches(*text->matcher_, row)) return true;
        if (text->direct_) {
            text->printer_.print(&row, text->show_passwords_, 0);
            return true;
        }
        text->printer_.compose(&row, text->show_passwords_, text->piece_);
        if (text->piece_.size() >= piece_size) {
            text->writer_.hand_over(std::move(text->piece_));
            text->piece_ = secret_string();
            text->piece_.reserve(piece_size + 4096);
        }
        return true;
    }

    // Writes what is left; called once the lock is let go.
    void write() {
        if (!piece_.empty()) writer_.hand_over(std::move(piece_));
        writer_.finish();
    }

private:
    static constexpr std::size_t piece_size = 64 * 1024;

    static bool output_cannot_block() {
        struct stat st;
        if (::fstat(STDOUT_FILENO, &st) != 0) return false;
        return S_ISREG(st.st_mode) || (S_ISCHR(st.st_mode) && ::isatty(STDOUT_FILENO) != 1);
    }

    // -F: the password is never matched; any one of the other fields will do.
    static bool matches(const field_matcher &matcher, const entry &row) {
        for (const char *field : {row.title, row.user, row.url, row.notes, row.timestamp})
            if (matcher.matches(field)) return true;
        return false;
    }

    int show_passwords_;
    const field_matcher *matcher_;
    bool direct_;
    entry_printer printer_;
    secret_string piece_;  // composed, not yet handed over
    background_writer writer_;
};

// Prints what a listing composed (nothing after a store failure, which ends
// the command), then runs the auto-encrypt step if asked.
void finish_listing(bool read, listing_text &text, int auto_encrypt) {
    if (!read) return;
    text.write();
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

}  // namespace

void cmd_list_entry(int id, int show_passwords, int auto_encrypt, int show_qrcode) {
    entry_ptr e;
    if (auto s = begin_session(lock_kind::shared)) e = fetch_entry(s->handle(), id, "Nothing found with id %d.\n");
    if (!e) return;
    // Printed after the lock is let go, as listings are.
    print_entry(e.get(), show_passwords, show_qrcode);
    e.reset();
    if (auto_encrypt == 1) run_auto_encrypt_step();
}

void cmd_list_entries(int show_passwords, int auto_encrypt, int count) {
    listing_text text(show_passwords, nullptr);
    bool read = false;
    if (auto s = begin_session(lock_kind::shared))
        read = db_visit_entries(s->handle(), count, listing_text::add, &text);
    finish_listing(read, text, auto_encrypt);
}

void cmd_find(const char *search, int show_passwords, int auto_encrypt) {
    listing_text text(show_passwords, nullptr);
    bool read = false;
    if (auto s = begin_session(lock_kind::shared))
        read = db_visit_found(s->handle(), search, listing_text::add, &text);
    finish_listing(read, text, auto_encrypt);
}

// Regex search asks for no active database first: without a pointer file it
// says only what the store would say. A pattern regcomp refuses is reported
// after the rows were read, as the store's own messages come first.
void cmd_find_regex(const char *pattern, int show_passwords) {
    field_matcher matcher;
    bool valid = matcher.compile(pattern);
    listing_text text(show_passwords, &matcher);
    bool read = false;
    {
        auto lock = take_user_lock(lock_kind::shared);
        if (!lock) return;
        if (!has_active_db()) {
            std::fputs("Error getting database path\n", stderr);
            return;
        }
        auto db = resolve_active_db();
        if (!db) return;
        // With no valid pattern every row is read and none is kept.
        read = valid ? db_visit_entries(handle_of(*db), list_all, listing_text::add, &text)
                     : db_visit_entries(handle_of(*db), list_all, [](void *, const entry &) { return true; }, nullptr);
    }
    if (!read) return;
    if (!valid) {
        std::fputs("Invalid regular expression.\n", stderr);
        return;
    }
    text.write();
}
