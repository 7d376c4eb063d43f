// The record of earlier versions of two copies of a kesp database, merged
// beside their entries (merge.h): nothing is read, written or printed here.
//
// The record is merged three ways: a version is the same in two copies
// when its entry id, its five texts, its modification time and the time it
// was replaced are equal. The merged record holds every version of either
// copy, except one that the common ancestor held and one of the copies no
// longer holds: that copy forgot it (kesp-history --forget, or the bound),
// and it stays forgotten. A removed entry's versions stay
// together under one removal number (its `gone`), the one this copy gave
// them when both copies hold that removal, a new one otherwise. Versions
// follow an entry of the other copy that the merge gave a new id; versions
// of an entry that the merge removed go with its removal. Each entry whose
// version in this copy the merge replaced gains that version, as a change
// made by `merge`. The bound of the record (at most history_bound versions
// for each entry, the oldest going first) still holds.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "memory/secret.h"
#include "merge/merge.h"
#include "store/schema.h"  // history_bound

struct kept_version {
    std::int64_t entry_id = 0;
    std::int64_t gone = 0;  // 0: of an entry that stands; else its removal number
    std::array<secret_string, record_fields> field;
    secret_string timestamp;
    std::string replaced, why;
};
using version_list = std::vector<kept_version>;  // oldest first

inline constexpr std::size_t version_bound = history_bound;

// `base`, `ours` and `theirs` are the records of the ancestor and of the
// copies (`base` empty: no common ancestor, or one without the record),
// `ours_entries` this copy's entries and `merged` what merge_records made
// of them; `now` the local time written as SQLite writes it, for the
// versions the merge replaced.
version_list merge_versions(const version_list &base, const version_list &ours,
                            const version_list &theirs,
                            const record_list &ours_entries, const merge_outcome &merged,
                            std::string_view now);

// True when both records hold the same versions in the same order.
bool same_versions(const version_list &a, const version_list &b);

// The ids of entries that `side`'s record shows removed after `base`'s:
// an entry of that side with such an id is a new entry, whatever its texts.
std::unordered_set<std::int64_t> removed_since(const version_list &base,
                                               const version_list &side);
