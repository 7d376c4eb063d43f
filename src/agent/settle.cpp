#include "agent/settle.h"

#include <ctime>
#include <optional>

#include "merge/image_sources.h"
#include "merge/merge.h"
#include "merge/versions.h"

namespace {

bool read_image(wiped_buffer &bytes, const char *name, image_records &out) {
    return db_image_visit(bytes.data(), bytes.size(), name, records_reader(out));
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

std::unique_ptr<built_image> merge_images(wiped_buffer &base, wiped_buffer &copy,
                                          wiped_buffer &container, std::string &report) {
    image_records b, ours, theirs;
    if (!read_image(base, "the last sealed state", b)) return nullptr;
    // What the copies left of the ancestor is held once.
    ours.ancestor = theirs.ancestor = &b.entries;
    if (!read_image(copy, "the unlocked copy", ours) ||
        !read_image(container, "the container", theirs))
        return nullptr;
    const new_ids ours_new = removed_since(b.versions, ours.versions);
    const new_ids theirs_new = removed_since(b.versions, theirs.versions);
    merge_outcome merged =
        merge_records(b.entries, ours.entries, theirs.entries, &ours_new, &theirs_new);
    const bool record = ours.record || theirs.record || b.record;
    version_list versions;
    if (record)
        versions = merge_versions(ours.versions, theirs.versions, ours.entries, merged,
                                  local_now());
    report = describe_merge(merged.report);
    record_source rows{merged.merged.records()};
    std::optional<version_source> kept;
    if (record) kept.emplace(version_source{versions});
    return db_image_build(record_source::take, &rows, copy.size() + container.size(),
                          kept ? version_source::take : nullptr, kept ? &*kept : nullptr);
}
