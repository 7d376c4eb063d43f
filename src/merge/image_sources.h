// Between the store's database images (store/image.h) and the merge's
// lists: the records and kept versions of a database read from its bytes,
// and the merged ones handed to the store one by one, as db_image_build
// takes them. The sources only view the lists, which must outlive them;
// nothing is copied.
#pragma once

#include <cstddef>

#include "merge/merge.h"
#include "merge/versions.h"
#include "store/image.h"

struct record_source {
    const record_list::records_type &records;
    std::size_t next = 0;

    static bool take(void *context, image_row &row) {
        auto *self = static_cast<record_source *>(context);
        if (self->next == self->records.size()) return false;
        const record &r = self->records[self->next++];
        row = {r.id, r.field(title_field), r.field(user_field), r.field(url_field),
               r.field(password_field), r.field(notes_field), r.timestamp()};
        return true;
    }
};

struct version_source {
    const version_list &versions;
    std::size_t next = 0;

    static bool take(void *context, image_version &out) {
        auto *self = static_cast<version_source *>(context);
        if (self->next == self->versions.size()) return false;
        const kept_version &v = self->versions[self->next++];
        out = {v.entry_id, v.gone, v.field[title_field], v.field[user_field],
               v.field[url_field], v.field[password_field], v.field[notes_field],
               v.timestamp, v.replaced, v.why};
        return true;
    }
};

// What a database's bytes hold, as the merge takes it: its entries, whose
// texts are shared with the ancestor's entry of the same id where they are
// equal, and its record of earlier versions.
struct image_records {
    const record_list *ancestor = nullptr;  // read in full before this
    record_list entries;
    version_list versions;
    bool record = false;  // it holds the record at all
    carried_lineage lineage;  // what it says of which database it is
    // Inside the reading: where the ancestor was looked up last, and how
    // many entries the whole table holds.
    ascending_lookup unchanged;
    std::size_t expected = 0;
};

// The reader that fills `out` (emptied first), a long table in two parts
// side by side.
image_reader records_reader(image_records &out);

// What merging three copies gives: the merged entries, and once any copy
// holds the record of earlier versions, the record merged beside them
// (the time of the merge is the local time now); the lineage the result
// carries (join_lineages of the two copies; the ancestor's plays no part).
// When the copies are two different databases, or a copy's lineage is
// damaged, nothing is merged: `lineage_found` says so and the rest is empty.
struct copies_merged {
    lineage_join lineage_found = lineage_join::none;
    db_lineage lineage;  // with lineage_join::joined
    merge_outcome outcome;
    bool record = false;
    version_list versions;  // with `record`
    bool refused() const {
        return lineage_found == lineage_join::different || lineage_found == lineage_join::damaged;
    }
    const db_lineage *carried() const {
        return lineage_found == lineage_join::joined ? &lineage : nullptr;
    }
};
copies_merged merge_copies(const image_records &base, const image_records &ours,
                           const image_records &theirs);
