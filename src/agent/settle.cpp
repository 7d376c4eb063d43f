#include "agent/settle.h"

#include <cstdio>
#include <optional>

#include "merge/image_sources.h"
#include "merge/merge.h"
#include "merge/versions.h"

namespace {

bool read_image(wiped_buffer &bytes, const char *name, image_records &out) {
    return db_image_visit(bytes.data(), bytes.size(), name, records_reader(out));
}

}  // namespace

std::unique_ptr<built_image> merge_images(wiped_buffer &base, wiped_buffer &copy,
                                          wiped_buffer &container, std::string &report) {
    image_records b, ours, theirs;
    if (!read_image(base, "the last sealed state", b)) return nullptr;
    // What the copies left of the ancestor is held once.
    ours.ancestor = theirs.ancestor = &b.entries;
    if (!read_image(copy, "the unlocked copy", ours) ||
        !read_image(container, "the container", theirs))
        return nullptr;
    const copies_merged m = merge_copies(b, ours, theirs);
    if (m.lineage_found == lineage_join::different) {
        std::fputs("the container holds another database than the unlocked copy (kesp-sync "
                   "gave each an identity of its own); nothing was merged\n",
                   stderr);
        return nullptr;
    }
    if (m.lineage_found == lineage_join::damaged) {
        std::fputs("the record of which database the container or the unlocked copy is, "
                   "inside it, is damaged; nothing was merged\n",
                   stderr);
        return nullptr;
    }
    report = describe_merge(m.outcome.report);
    record_source rows{m.outcome.merged.records()};
    std::optional<version_source> kept;
    if (m.record) kept.emplace(version_source{m.versions});
    return db_image_build(record_source::take, &rows, copy.size() + container.size(),
                          kept ? version_source::take : nullptr, kept ? &*kept : nullptr,
                          m.carried());
}
