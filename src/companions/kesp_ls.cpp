// kesp-ls: one line per entry of the active database, for people and for
// pickers (fzf, dmenu, rofi): id, title, user and URL, tab-separated,
// sorted by id; never a password or a note.
//
// A line must stay one line of four fields, and a picker shows what it is
// given, so a stored text is printed as kesp shows it on a terminal
// (control characters as \xHH, a C1 character in UTF-8 as \u00HH) with
// each tab and newline as one space. --json keeps tabs and newlines (as
// JSON escapes) and shows the other control characters the same way.
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "companions/companion.h"
#include "memory/secret.h"
#include "output/display.h"
#include "store/db.h"
#include "vault/program.h"
#include "vault/session.h"

namespace {

const option long_options[] = {
    {"json", no_argument, nullptr, 'j'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{
    "Usage: kesp-ls [--json] [WORD]\n"
    "Lists the id, title, user and URL of every entry of the active database,\n"
    "tab-separated, one entry a line, sorted by id; with WORD only the entries\n"
    "whose title, user, URL or notes contain it (as kesp -f). --json prints an\n"
    "array instead. Never prints a password or a note. See kesp-ls(1).\n",
    "h", long_options};

struct listed {
    int id;
    std::string title, user, url;  // as shown: no control character but tab and newline
};

std::string visible(const char *text) {
    secret_string shown;
    append_visible(shown, text_or_empty(text), true);
    return std::string(shown.c_str(), shown.size());
}

bool collect(void *context, const entry &row) {
    static_cast<std::vector<listed> *>(context)->push_back(
        {row.id, visible(row.title), visible(row.user), visible(row.url)});
    return true;
}

// The entries of the active database (those matching `word`, when given),
// read under the shared lock, which is let go before this returns. False
// after a message.
bool read_entries(const char *word, std::vector<listed> &entries) {
    auto s = begin_session(lock_kind::shared);
    if (!s) return false;
    return word != nullptr ? db_visit_found(s->handle(), word, collect, &entries)
                           : db_visit_entries(s->handle(), list_all, collect, &entries);
}

void append_field(std::string &out, std::string_view text) {
    out += '\t';
    for (char c : text) out += c == '\t' || c == '\n' ? ' ' : c;
}

void append_json_text(std::string &out, std::string_view text) {
    out += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    out += '"';
}

std::string text_lines(const std::vector<listed> &entries) {
    std::string out;
    for (const listed &e : entries) {
        out += std::to_string(e.id);
        append_field(out, e.title);
        append_field(out, e.user);
        append_field(out, e.url);
        out += '\n';
    }
    return out;
}

std::string json_array(const std::vector<listed> &entries) {
    std::string out = "[";
    for (const listed &e : entries) {
        out += out.size() == 1 ? "\n" : ",\n";
        out += "  {\"id\": " + std::to_string(e.id) + ", \"title\": ";
        append_json_text(out, e.title);
        out += ", \"user\": ";
        append_json_text(out, e.user);
        out += ", \"url\": ";
        append_json_text(out, e.url);
        out += "}";
    }
    return out + (entries.empty() ? "]\n" : "\n]\n");
}

}  // namespace

int main(int argc, char **argv) {
    start_program();

    bool json = false;
    auto done = read_options(program, argc, argv, [&](int c, const char *) {
        if (c == 'j') json = true;
        return true;
    });
    if (done) return *done;
    if (argc - optind > 1) return bad_usage(program);
    const char *word = optind < argc ? argv[optind] : nullptr;

    std::vector<listed> entries;
    if (!read_entries(word, entries)) return exit_failure;
    std::sort(entries.begin(), entries.end(),
              [](const listed &a, const listed &b) { return a.id < b.id; });
    std::string out = json ? json_array(entries) : text_lines(entries);
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
        std::fputs("Cannot write the list.\n", stderr);
        return exit_failure;
    }
    return exit_ok;
}
