#include "merge/merge.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <unordered_map>

namespace {

// Texts are copied into blocks that double from the first size to the
// largest; a longer text gets a block of its own. Small lists stay small,
// and a big one costs few allocations.
constexpr std::size_t first_block_size = std::size_t(1) << 10;
constexpr std::size_t largest_block_size = std::size_t(4) << 20;

// A list's records by ascending id, without copying them.
std::vector<const record *> by_id(const record_list &list) {
    std::vector<const record *> sorted;
    sorted.reserve(list.size());
    for (const record &r : list.records()) sorted.push_back(&r);
    auto lower_id = [](const record *a, const record *b) { return a->id < b->id; };
    if (!std::is_sorted(sorted.begin(), sorted.end(), lower_id))
        std::sort(sorted.begin(), sorted.end(), lower_id);
    return sorted;
}

// The lengths first, which mostly differ where the texts do.
bool same_texts(const record &a, const record_texts &field, std::string_view timestamp) {
    if (a.timestamp().size() != timestamp.size()) return false;
    for (std::size_t f = 0; f < record_fields; ++f)
        if (a.field(f).size() != field[f].size()) return false;
    auto same = [](std::string_view x, std::string_view y) {
        return x.empty() || std::memcmp(x.data(), y.data(), x.size()) == 0;
    };
    for (std::size_t f = 0; f < record_fields; ++f)
        if (!same(a.field(f), field[f])) return false;
    return same(a.timestamp(), timestamp);
}

// Texts that lie side by side compare in one piece; a copy that shares the
// other's texts is known the same without a look at them.
bool same_version(const record &a, const record &b) {
    if (a.ends != b.ends) return false;
    return a.texts == b.texts || a.ends[record_fields] == 0 ||
           std::memcmp(a.texts, b.texts, a.ends[record_fields]) == 0;
}

// Rule of the reused id: the side's entry lost both the title and the URL
// by which a person knows the ancestor's. The user name does not count: a
// person's entries mostly share one.
bool replaced(const record &base, const record &side) {
    return side.field(title_field) != base.field(title_field) &&
           side.field(url_field) != base.field(url_field);
}

// Which of two conflicting versions the entry keeps: the later one, and on
// a tie the one whose texts compare lower, so that swapping the sides
// changes nothing. Times are compared as the texts SQLite writes, year
// first, which sort as the times do.
bool first_wins(const record &a, const record &b) {
    if (a.timestamp() != b.timestamp()) return a.timestamp() > b.timestamp();
    return a.fields() < b.fields();
}

struct texts_hash {
    std::size_t operator()(const record_texts &texts) const {
        std::size_t h = 0;
        for (std::string_view t : texts) h = h * 1000003u ^ std::hash<std::string_view>()(t);
        return h;
    }
};

// An entry of the other side that waits for a new id.
struct pending {
    const record *version;
    bool kept_edit = false;  // an edit kept although the other side removed the entry
};

class merger {
public:
    merger(const record_list &ours, std::size_t expected, const new_ids *ours_new,
           const new_ids *theirs_new)
        : ours_(ours), ours_new_(ours_new), theirs_new_(theirs_new) {
        merged_.reserve(expected);
    }

    // The entries of the three lists that share `id` (nullptr where absent).
    void merge_id(std::int64_t id, const record *b, const record *o, const record *t) {
        if (b == nullptr) {
            if (o != nullptr) keep_ours_addition(*o);
            if (t != nullptr) theirs_additions_.push_back(t);
            return;
        }
        bool ours_took_id = false;
        if (o != nullptr && is_new(ours_new_, *b, *o)) {
            keep_ours_addition(*o);
            ours_took_id = true;
            o = nullptr;
        }
        if (t != nullptr && is_new(theirs_new_, *b, *t)) {
            theirs_additions_.push_back(t);
            t = nullptr;
        }
        const bool o_changed = o != nullptr && !same_version(*b, *o);
        const bool t_changed = t != nullptr && !same_version(*b, *t);
        if (o != nullptr && t != nullptr) {
            if (!t_changed) keep(id, *o);
            else if (!o_changed) keep(id, *t);
            else merge_fields(*b, *o, *t);
        } else if (o != nullptr && o_changed) {
            keep(id, *o);
            report_.kept_over_removal.push_back(id);
        } else if (t != nullptr && t_changed) {
            // The id may belong to this side's new entry now.
            if (ours_took_id) {
                needs_id_.push_back({t, true});
            } else {
                keep(id, *t);
                report_.kept_over_removal.push_back(id);
            }
        }
    }

    merge_outcome finish(std::int64_t highest_id) {
        // The other side's additions, once each beyond what this side added.
        for (const record *t : theirs_additions_) {
            auto found = ours_additions_.find(t->fields());
            if (found != ours_additions_.end() && found->second > 0) {
                --found->second;
                continue;
            }
            needs_id_.push_back({t, false});
        }
        merge_outcome out;
        out.merged = std::move(merged_);
        std::int64_t next = highest_id;
        for (const pending &p : needs_id_) {
            const std::int64_t id = ++next;
            if (p.kept_edit) report_.kept_over_removal.push_back(id);
            if (p.version->id != id) out.moved_theirs.emplace_back(p.version->id, id);
            out.merged.add_view(id, *p.version);
        }
        const std::int64_t first_copy = next + 1;
        for (const conflict_copy &c : conflicts_) {
            record_texts field = c.version->fields();
            secret_string notes(field[notes_field]);
            if (!notes.empty()) notes += "\n";
            notes += conflict_line(c.of_id, c.title);
            field[notes_field] = notes.view();
            std::int64_t id = ++next;
            out.merged.add(id, field, c.version->timestamp());
            report_.conflicts.push_back(id);
        }
        count_changes(out.merged, first_copy);
        out.report = std::move(report_);
        return out;
    }

private:
    struct conflict_copy {
        const record *version;  // the version the entry did not keep
        std::int64_t of_id;
        std::string title;      // of the entry that was kept
    };

    // Whether a side's entry at an id of the ancestor is another entry.
    // A side that carries the record knows: an entry whose removal it
    // shows is new, any other is the ancestor's, whatever changed. Only a
    // side without it is judged by the texts.
    static bool is_new(const new_ids *known, const record &b, const record &side) {
        return known != nullptr ? known->count(side.id) > 0 : replaced(b, side);
    }

    // Entries at ids fixed already come in ascending order.
    void keep(std::int64_t id, const record &r) { merged_.add_view(id, r); }

    void keep_ours_addition(const record &o) {
        keep(o.id, o);
        ++ours_additions_[o.fields()];
    }

    void merge_fields(const record &b, const record &o, const record &t) {
        const record &winner = first_wins(o, t) ? o : t;
        const record &loser = &winner == &o ? t : o;
        record_texts merged;
        bool conflict = false;
        for (std::size_t f = 0; f < record_fields; ++f) {
            if (o.field(f) == b.field(f)) {
                merged[f] = t.field(f);
            } else if (t.field(f) == b.field(f) || o.field(f) == t.field(f)) {
                merged[f] = o.field(f);
            } else {
                merged[f] = winner.field(f);
                conflict = true;
            }
        }
        // Fields of both sides: they lie apart, so they are copied.
        merged_.add(b.id, merged, std::max(o.timestamp(), t.timestamp()));
        if (conflict)
            conflicts_.push_back({&loser, b.id, std::string(merged[title_field])});
    }

    // Seen from this side: what came from the other, and what went.
    // Conflict copies (from `first_copy` on) are counted as conflicts only.
    void count_changes(const record_list &merged, std::int64_t first_copy) {
        std::vector<const record *> mine = by_id(ours_);
        std::size_t at = 0, present = 0;
        for (const record &r : merged.records()) {
            while (at < mine.size() && mine[at]->id < r.id) ++at;
            const bool had = at < mine.size() && mine[at]->id == r.id;
            if (had) ++present;
            if (r.id < first_copy && (!had || !same_version(*mine[at], r))) ++report_.from_other;
        }
        report_.removed = mine.size() - present;
    }

    const record_list &ours_;
    const new_ids *ours_new_;
    const new_ids *theirs_new_;
    record_list merged_;
    std::vector<pending> needs_id_;   // the other side's entries that need an id
    std::vector<conflict_copy> conflicts_;
    std::vector<const record *> theirs_additions_;
    std::unordered_map<record_texts, std::size_t, texts_hash> ours_additions_;
    merge_report report_;
};

}  // namespace

void record_list::add_view(std::int64_t id, const record &r) {
    record view = r;
    view.id = id;
    records_.push_back(view);
}

void record_list::add_or_share(std::int64_t id, const record_texts &field,
                               std::string_view timestamp, const record *same) {
    if (same != nullptr && same_texts(*same, field, timestamp)) add_view(id, *same);
    else add(id, field, timestamp);
}

void record_list::add(std::int64_t id, const record_texts &field, std::string_view timestamp) {
    // A record's texts side by side, in one piece of a block.
    std::size_t total = timestamp.size();
    for (std::string_view text : field) total += text.size();
    char *at = room(total);
    record r;
    r.id = id;
    r.texts = at;
    std::uint32_t end = 0;
    auto place = [&](std::size_t f, std::string_view text) {
        if (!text.empty()) std::memcpy(at + end, text.data(), text.size());
        end += static_cast<std::uint32_t>(text.size());
        r.ends[f] = end;
    };
    for (std::size_t f = 0; f < record_fields; ++f) place(f, field[f]);
    place(record_fields, timestamp);
    records_.push_back(r);
}

void record_list::append(record_list &&other) {
    records_.insert(records_.end(), other.records_.begin(), other.records_.end());
    if (!other.blocks_.empty()) {
        for (std::unique_ptr<wiped_buffer> &block : other.blocks_) blocks_.push_back(std::move(block));
        used_ = other.used_;
    }
    other = record_list();
}

const record *ascending_lookup::find(std::int64_t id) {
    if (list_ == nullptr) return nullptr;
    const record_list::records_type &all = list_->records();
    while (at_ < all.size() && all[at_].id < id) ++at_;
    return at_ < all.size() && all[at_].id == id ? &all[at_] : nullptr;
}

char *record_list::room(std::size_t size) {
    if (blocks_.empty() || blocks_.back()->size() - used_ < size) {
        std::size_t block = blocks_.empty() ? first_block_size
                                            : std::min(2 * blocks_.back()->size(), largest_block_size);
        blocks_.push_back(std::make_unique<wiped_buffer>(std::max(block, size)));
        hint_huge_pages(blocks_.back()->data(), blocks_.back()->size());
        used_ = 0;
    }
    char *at = reinterpret_cast<char *>(blocks_.back()->data()) + used_;
    used_ += size;
    return at;
}

std::string conflict_line(std::int64_t id, std::string_view title) {
    return "kesp-merge: conflicting edit of entry " + std::to_string(id) + " (" +
           std::string(title) + ") from the other copy";
}

merge_outcome merge_records(const record_list &base, const record_list &ours,
                            const record_list &theirs, const new_ids *ours_new,
                            const new_ids *theirs_new) {
    const std::vector<const record *> b = by_id(base), o = by_id(ours), t = by_id(theirs);
    // New ids go above every id this side and the ancestor have used; the
    // other side's own ids need not be avoided, since none of its entries
    // keeps an id the ancestor did not have. An addition on one side only
    // thus keeps its id on both.
    std::int64_t highest = 0;
    for (const auto *list : {&b, &o})
        if (!list->empty()) highest = std::max(highest, list->back()->id);

    merger m(ours, std::max({b.size(), o.size(), t.size()}) + o.size() / 8, ours_new, theirs_new);
    std::size_t bi = 0, oi = 0, ti = 0;
    while (bi < b.size() || oi < o.size() || ti < t.size()) {
        std::int64_t id = INT64_MAX;
        if (bi < b.size()) id = std::min(id, b[bi]->id);
        if (oi < o.size()) id = std::min(id, o[oi]->id);
        if (ti < t.size()) id = std::min(id, t[ti]->id);
        auto take = [id](const std::vector<const record *> &list, std::size_t &i) {
            return i < list.size() && list[i]->id == id ? list[i++] : nullptr;
        };
        const record *br = take(b, bi);
        const record *orec = take(o, oi);
        const record *trec = take(t, ti);
        m.merge_id(id, br, orec, trec);
    }
    return m.finish(highest);
}

bool same_records(const record_list &a, const record_list &b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const record &x = a.records()[i], &y = b.records()[i];
        if (x.id != y.id || !same_version(x, y)) return false;
    }
    return true;
}

namespace {

std::string counted(std::size_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "57", "57, 58", or the first few and how many more.
std::string id_list(const std::vector<std::int64_t> &ids) {
    constexpr std::size_t shown = 5;
    std::string text;
    for (std::size_t i = 0; i < ids.size() && i < shown; ++i)
        text += (i > 0 ? ", " : "") + std::to_string(ids[i]);
    if (ids.size() > shown) text += " and " + std::to_string(ids.size() - shown) + " more";
    return text;
}

}  // namespace

std::string describe_merge(const merge_report &report) {
    std::string text = "Merged: " + counted(report.from_other, "entry", "entries") +
                       " from the other copy, " + std::to_string(report.removed) + " removed";
    if (!report.conflicts.empty())
        text += ", " + counted(report.conflicts.size(), "conflict", "conflicts") + " kept as " +
                (report.conflicts.size() == 1 ? "entry " : "entries ") + id_list(report.conflicts);
    text += ".\n";
    if (!report.kept_over_removal.empty())
        text += "Kept " + counted(report.kept_over_removal.size(), "edited entry", "edited entries") +
                " that one copy had removed: " + id_list(report.kept_over_removal) + ".\n";
    return text;
}
