// The merged records and their kept versions handed to the store one by
// one, as db_image_build takes them (store/image.h). The sources only view
// the lists, which must outlive them; nothing is copied.
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
