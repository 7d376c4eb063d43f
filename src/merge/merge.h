// The three-way merge of two copies of a kesp database, on records in
// memory: nothing is read, written or printed here.
//
// A record is an entry as the merge sees it: its id, its five texts (title,
// user, url, password, notes) and its modification time. The texts of a
// record_list live in wiped memory that the list owns, or in another list.
//
// merge_records matches the entries of both copies by id against their
// common ancestor and merges them field by field:
//   - changed on one side only: that side's version (texts and time);
//   - changed on both: each field takes the side that changed it; a field
//     that both changed to different values keeps the version with the later
//     time (on a tie, the one whose texts compare lower), and the other
//     version is added as a new entry whose notes end with a line naming the
//     entry, so that both values survive;
//   - removed on one side: removed if the other side left it alone, kept
//     (and reported) if the other side changed it;
//   - which entry an id of the ancestor holds on a side: where the side
//     carries the record of earlier versions, the record tells (an entry
//     whose removal it shows is a new one, any other is the ancestor's,
//     whatever changed); on a side without it, an entry whose title and url
//     both differ from the ancestor's is a removal plus an addition (a
//     removed highest id is handed out again); nothing is lost either way,
//     since an edit of the removed entry is kept;
//   - additions of both sides are kept, an addition of the other side whose
//     texts equal one of this side's only once. This side's entries keep
//     their ids; entries of the other side that need one get new ids above
//     every id of this side and of the ancestor.
// The result never depends on which copy is which, except for the ids.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "memory/secret.h"

inline constexpr std::size_t record_fields = 5;
enum record_field : std::size_t { title_field, user_field, url_field, password_field, notes_field };

using record_texts = std::array<std::string_view, record_fields>;

// An entry as the merge sees it, in 40 bytes: its texts (the five fields,
// then the time) lie side by side at `texts`, each ending where `ends`
// says. A million of them are read three times over, so the size counts.
// A row's texts fit in 32 bits: SQLite bounds a whole row below that.
struct record {
    std::int64_t id = 0;
    const char *texts = nullptr;
    std::array<std::uint32_t, record_fields + 1> ends{};

    std::string_view field(std::size_t f) const {
        const std::uint32_t start = f == 0 ? 0 : ends[f - 1];
        return {texts + start, ends[f] - start};
    }
    std::string_view timestamp() const { return field(record_fields); }
    record_texts fields() const {
        record_texts all;
        for (std::size_t f = 0; f < record_fields; ++f) all[f] = field(f);
        return all;
    }
};

// Records in the order they were added, and the wiped storage of their
// texts (which does not move: views stay valid while the list lives).
class record_list {
public:
    record_list() = default;
    record_list(record_list &&) = default;
    record_list &operator=(record_list &&) = default;

    // Copies the texts into the list's storage.
    void add(std::int64_t id, const record_texts &field, std::string_view timestamp);
    // Takes the texts of `r` as they are, under `id`: they must outlive
    // the list.
    void add_view(std::int64_t id, const record &r);
    // Takes the texts of `same` when they are exactly these (so that a copy
    // of an entry that did not change costs no second copy of its texts),
    // else copies them. `same` may be nullptr; its texts must outlive the
    // list.
    void add_or_share(std::int64_t id, const record_texts &field, std::string_view timestamp,
                      const record *same);
    void reserve(std::size_t records) { records_.reserve(records); }
    // Takes the records of `other`, whose ids all follow this list's, after
    // its own, and the storage of their texts with them.
    void append(record_list &&other);

    using records_type = std::vector<record, huge_page_allocator<record>>;
    const records_type &records() const { return records_; }
    std::size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }

private:
    char *room(std::size_t size);  // `size` bytes of a block, taken

    std::vector<std::unique_ptr<wiped_buffer>> blocks_;
    std::size_t used_ = 0;  // bytes taken in the last block
    records_type records_;
};

// The records of a list found by id, for a reader handed rows by ascending
// id (as the store hands them): each look-up starts where the last ended.
// Ids asked out of order are simply not found.
class ascending_lookup {
public:
    explicit ascending_lookup(const record_list *list = nullptr) : list_(list) {}
    const record *find(std::int64_t id);  // nullptr when the list has no such id

private:
    const record_list *list_;
    std::size_t at_ = 0;
};

// The line that ends the notes of an entry added for a conflicting edit of
// entry `id`, whose title is `title`.
std::string conflict_line(std::int64_t id, std::string_view title);

// What a merge did, seen from this side (OURS).
struct merge_report {
    std::size_t from_other = 0;  // entries that came or changed because of the other side
    std::size_t removed = 0;     // entries of this side that are gone
    std::vector<std::int64_t> conflicts;          // ids of the entries added for conflicts
    std::vector<std::int64_t> kept_over_removal;  // edited entries that one side removed
};

struct merge_outcome {
    record_list merged;  // sorted by id, ids unique
    merge_report report;
    // Entries of the other side that the merge gave a new id: (its id
    // there, its id here).
    std::vector<std::pair<std::int64_t, std::int64_t>> moved_theirs;
};

// Ids whose entry on one side is known to be new, whatever its texts (its
// record shows the ancestor's entry with that id removed).
using new_ids = std::unordered_set<std::int64_t>;

// `base`, `ours` and `theirs` each hold unique ids (in any order); `base`
// may be empty (no common ancestor: every entry is an addition). The
// merged list holds texts of the three lists, which must outlive it.
// `ours_new` and `theirs_new` are given for a side that carries the
// record: they name its entries that are additions although their id is
// the ancestor's, and every other entry of that side at an id of the
// ancestor is the ancestor's. For a side given nullptr, the texts tell.
merge_outcome merge_records(const record_list &base, const record_list &ours,
                            const record_list &theirs, const new_ids *ours_new = nullptr,
                            const new_ids *theirs_new = nullptr);

// True when both lists hold the same ids with the same texts and times, in
// the same order.
bool same_records(const record_list &a, const record_list &b);

// The report in one or two lines, each ending in a newline:
//   "Merged: 3 entries from the other copy, 1 removed, 1 conflict kept as entry 57.\n"
// and, when edits were kept over removals,
//   "Kept 1 edited entry that one copy had removed: 12.\n"
// It names ids only, never a text of an entry.
std::string describe_merge(const merge_report &report);
