#include "sync/renumber.h"

#include <algorithm>
#include <map>
#include <optional>

#include "vault/agent_link.h"
#include "vault/db_file.h"

namespace {

const std::string_view trailer_name = "Kesp-Renumbered: ";

// Each text with its length first, so that no two different entries join
// into one key.
void add_part(secret_string &key, std::string_view text) {
    key.append(std::to_string(text.size()));
    key.append(":");
    key.append(text);
}

const image_reader into_prints{
    nullptr,
    [](void *out, std::size_t rows) { static_cast<entry_prints *>(out)->reserve(rows); },
    [](void *out, const image_row &row) {
        entry_print print;
        print.id = row.id;
        print.title = secret_string(row.title);
        for (std::string_view text :
             {row.title, row.user, row.url, row.password, row.notes, row.timestamp})
            add_part(print.key, text);
        static_cast<entry_prints *>(out)->push_back(std::move(print));
        return true;
    }};

std::optional<std::int64_t> parse_id(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

}  // namespace

int read_entry_prints(const std::string &path, const std::string &name, const char *password,
                      entry_prints &out) {
    out.clear();
    auto file = examine_db_file(path, name, false);
    if (!file) return -1;
    image_reader reader = into_prints;
    reader.context = &out;
    int read = 0;
    if (password == nullptr) {
        held_key key = agent_key_for(path);
        read = key ? read_db_file_with_key(*file, *key, reader) : 0;
    } else {
        read = read_db_file(*file, password, reader);
    }
    if (read <= 0) out.clear();
    return read;
}

std::vector<moved_entry> find_moves(const entry_prints &before, const entry_prints &after) {
    // Per key, how many entries hold it on each side, and one of them.
    struct holders {
        std::size_t before = 0, after = 0;
        const entry_print *was = nullptr, *is = nullptr;
    };
    std::map<std::string_view, holders> by_key;
    for (const entry_print &e : before) {
        holders &h = by_key[e.key.view()];
        ++h.before;
        h.was = &e;
    }
    for (const entry_print &e : after) {
        holders &h = by_key[e.key.view()];
        ++h.after;
        h.is = &e;
    }
    std::vector<moved_entry> moves;
    for (const auto &[key, h] : by_key) {
        // Twins cannot be told apart: no claim about any of them.
        if (h.before != 1 || h.after != 1 || h.was->id == h.is->id) continue;
        moves.push_back({h.was->id, h.is->id, h.was->title});
    }
    std::sort(moves.begin(), moves.end(),
              [](const moved_entry &a, const moved_entry &b) { return a.from < b.from; });
    return moves;
}

std::string describe_moves(const std::vector<moved_entry> &moves) {
    std::string text;
    for (const moved_entry &m : moves) {
        text += text.empty() ? "; entry " : ", entry ";
        text += std::to_string(m.from) + " (";
        for (unsigned char c : m.title.view()) text += c < 0x20 || c == 0x7f ? '?' : char(c);
        text += ") is now " + std::to_string(m.to);
    }
    return text;
}

std::string renumbered_trailer(const std::vector<std::pair<std::int64_t, std::int64_t>> &pairs) {
    if (pairs.empty()) return "";
    std::string text(trailer_name);
    for (std::size_t i = 0; i < pairs.size(); ++i)
        text += (i == 0 ? "" : " ") + std::to_string(pairs[i].first) + ">" +
                std::to_string(pairs[i].second);
    return text;
}

bool claims_renumbering(std::string_view messages) {
    for (std::size_t at = 0; at < messages.size();) {
        std::size_t end = messages.find('\n', at);
        if (end == std::string_view::npos) end = messages.size();
        if (messages.substr(at, end - at).starts_with(trailer_name)) return true;
        at = end + 1;
    }
    return false;
}

std::vector<std::pair<std::int64_t, std::int64_t>> parse_moved_pairs(std::string_view text) {
    std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        std::size_t blank = line.find(' ');
        if (blank == std::string_view::npos) continue;
        auto from = parse_id(line.substr(0, blank)), to = parse_id(line.substr(blank + 1));
        if (from && to) pairs.emplace_back(*from, *to);
    }
    return pairs;
}
