#include "merge/image_sources.h"

#include <ctime>
#include <new>
#include <string>

namespace {

void expect(void *self, std::size_t rows) {
    auto *in = static_cast<image_records *>(self);
    in->expected = rows;
    in->entries.reserve(rows);
}

bool take_row(void *self, const image_row &row) {
    auto *in = static_cast<image_records *>(self);
    in->entries.add_or_share(row.id, {row.title, row.user, row.url, row.password, row.notes},
                             row.timestamp, in->unchanged.find(row.id));
    return true;
}

bool take_version(void *self, const image_version &v) {
    kept_version k;
    k.entry_id = v.entry_id;
    k.gone = v.gone;
    k.field = {v.title, v.user, v.url, v.password, v.notes};
    k.timestamp = v.timestamp;
    k.replaced = v.replaced;
    k.why = v.why;
    static_cast<image_records *>(self)->versions.push_back(std::move(k));
    return true;
}

// The upper part's own list, with its own look-ups in the ancestor; room
// for the whole table keeps it from moving as it grows.
void *split(void *self) {
    auto *in = static_cast<image_records *>(self);
    auto *upper = new (std::nothrow) image_records;
    if (upper == nullptr) return nullptr;
    upper->ancestor = in->ancestor;
    upper->unchanged = ascending_lookup(in->ancestor);
    upper->entries.reserve(in->expected);
    return upper;
}

void rejoin(void *self, void *second, bool keep) {
    auto *upper = static_cast<image_records *>(second);
    if (keep) static_cast<image_records *>(self)->entries.append(std::move(upper->entries));
    delete upper;
}

// The local time as SQLite's datetime('now','localtime') writes it.
std::string local_now() {
    std::time_t t = std::time(nullptr);
    char text[32] = "";
    std::tm local{};
    if (localtime_r(&t, &local) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

}  // namespace

image_reader records_reader(image_records &out) {
    out.entries = record_list();
    out.unchanged = ascending_lookup(out.ancestor);
    out.versions.clear();
    out.record = false;
    out.expected = 0;
    out.lineage = carried_lineage();
    return image_reader{&out, expect, take_row, take_version, &out.record, split, rejoin,
                        &out.lineage};
}

copies_merged merge_copies(const image_records &base, const image_records &ours,
                           const image_records &theirs) {
    // Where a copy carries the record, it tells which of its entries are
    // new: those whose removal since the ancestor it shows.
    const new_ids ours_new = removed_since(base.versions, ours.versions);
    const new_ids theirs_new = removed_since(base.versions, theirs.versions);
    copies_merged m;
    m.lineage_found = join_lineages(ours.lineage, theirs.lineage, m.lineage);
    if (m.refused()) return m;
    m.outcome = merge_records(base.entries, ours.entries, theirs.entries,
                              ours.record ? &ours_new : nullptr,
                              theirs.record ? &theirs_new : nullptr);
    m.record = ours.record || theirs.record || base.record;
    if (m.record)
        m.versions = merge_versions(base.versions, ours.versions, theirs.versions, ours.entries,
                                    m.outcome, local_now());
    return m;
}
