#include "merge/versions.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <unordered_map>

namespace {

// What makes two versions one.
using version_key = std::tuple<std::int64_t, std::string_view, std::string_view,
                               std::string_view, std::string_view, std::string_view,
                               std::string_view, std::string_view>;

version_key key_of(const kept_version &v) {
    return {v.entry_id,  v.field[title_field].view(),    v.field[user_field].view(),
            v.field[url_field].view(), v.field[password_field].view(),
            v.field[notes_field].view(), v.timestamp.view(), v.replaced};
}

kept_version copy_of(const kept_version &v) {
    kept_version c;
    c.entry_id = v.entry_id;
    c.gone = v.gone;
    for (std::size_t f = 0; f < record_fields; ++f) c.field[f] = v.field[f];
    c.timestamp = v.timestamp;
    c.replaced = v.replaced;
    c.why = v.why;
    return c;
}

}  // namespace

version_list merge_versions(const version_list &base, const version_list &ours,
                            const version_list &theirs, const record_list &ours_entries,
                            const merge_outcome &merged, std::string_view now) {
    std::map<version_key, std::int64_t> ours_gone;  // every version of this copy
    std::int64_t highest_gone = 0;
    for (const kept_version &v : ours) {
        ours_gone.emplace(key_of(v), v.gone);
        highest_gone = std::max(highest_gone, v.gone);
    }
    // What the ancestor held and a copy lacks was forgotten there.
    std::map<version_key, bool> in_base, in_theirs;
    for (const kept_version &v : base) in_base.emplace(key_of(v), true);
    for (const kept_version &v : theirs) in_theirs.emplace(key_of(v), true);
    auto forgotten_by_theirs = [&](const kept_version &v) {
        const version_key k = key_of(v);
        return in_base.count(k) > 0 && in_theirs.count(k) == 0;
    };
    // A removal of the other copy is this copy's when they share a version.
    std::map<std::int64_t, std::int64_t> theirs_gone;
    for (const kept_version &v : theirs) {
        if (v.gone == 0) continue;
        auto found = ours_gone.find(key_of(v));
        if (found != ours_gone.end() && found->second != 0)
            theirs_gone.emplace(v.gone, found->second);
    }
    for (const kept_version &v : theirs)
        if (v.gone != 0 && !theirs_gone.count(v.gone)) theirs_gone.emplace(v.gone, ++highest_gone);
    std::unordered_map<std::int64_t, std::int64_t> moved(merged.moved_theirs.begin(),
                                                         merged.moved_theirs.end());

    // This copy's versions, then the other's that it lacks; ordered by the
    // time they were replaced, this copy's first on a tie.
    struct placed {
        kept_version version;
        std::size_t order;
    };
    std::vector<placed> all;
    all.reserve(ours.size() + theirs.size());
    for (const kept_version &v : ours)
        if (!forgotten_by_theirs(v)) all.push_back({copy_of(v), all.size()});
    for (const kept_version &v : theirs) {
        // Held here already, or forgotten here.
        if (ours_gone.count(key_of(v)) || in_base.count(key_of(v))) continue;
        kept_version c = copy_of(v);
        if (c.gone != 0) {
            c.gone = theirs_gone[c.gone];
        } else if (auto to = moved.find(c.entry_id); to != moved.end()) {
            c.entry_id = to->second;
        }
        all.push_back({std::move(c), all.size()});
    }
    // The versions of this copy that the merge replaced, unless the record
    // holds them already (the other copy's edit replaced the same version).
    std::map<version_key, bool> held;
    for (const placed &p : all)
        if (p.version.gone == 0) {
            version_key k = key_of(p.version);
            std::get<7>(k) = {};
            held.emplace(k, true);
        }
    std::unordered_map<std::int64_t, const record *> result;
    for (const record &r : merged.merged.records()) result.emplace(r.id, &r);
    for (const record &r : ours_entries.records()) {
        auto found = result.find(r.id);
        if (found == result.end()) continue;
        const record &now_r = *found->second;
        if (now_r.texts == r.texts && now_r.ends == r.ends) continue;  // the same texts
        if (now_r.fields() == r.fields() && now_r.timestamp() == r.timestamp()) continue;
        kept_version c;
        c.entry_id = r.id;
        for (std::size_t f = 0; f < record_fields; ++f) c.field[f] = r.field(f);
        c.timestamp = r.timestamp();
        version_key k = key_of(c);
        if (held.count(k)) continue;
        c.replaced = now;
        c.why = "merge";
        all.push_back({std::move(c), all.size()});
    }
    // Versions of an entry the merge removed go with its latest removal.
    std::unordered_map<std::int64_t, std::int64_t> latest_removal;
    for (const placed &p : all)
        if (p.version.gone != 0) {
            std::int64_t &g = latest_removal[p.version.entry_id];
            g = std::max(g, p.version.gone);
        }
    for (placed &p : all) {
        kept_version &v = p.version;
        if (v.gone != 0 || result.count(v.entry_id)) continue;
        std::int64_t &g = latest_removal[v.entry_id];
        if (g == 0) g = ++highest_gone;
        v.gone = g;
    }
    std::stable_sort(all.begin(), all.end(), [](const placed &a, const placed &b) {
        return a.version.replaced < b.version.replaced;
    });
    // The bound, from the newest back.
    std::map<std::pair<std::int64_t, std::int64_t>, std::size_t> kept;
    std::vector<bool> keep(all.size());
    for (std::size_t i = all.size(); i-- > 0;)
        keep[i] = ++kept[{all[i].version.entry_id, all[i].version.gone}] <= version_bound;
    version_list out;
    out.reserve(all.size());
    for (std::size_t i = 0; i < all.size(); ++i)
        if (keep[i]) out.push_back(std::move(all[i].version));
    return out;
}

bool same_versions(const version_list &a, const version_list &b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].gone != b[i].gone || a[i].why != b[i].why || key_of(a[i]) != key_of(b[i]))
            return false;
    return true;
}

std::unordered_set<std::int64_t> removed_since(const version_list &base,
                                               const version_list &side) {
    std::map<version_key, bool> known;
    for (const kept_version &v : base) known.emplace(key_of(v), true);
    std::unordered_set<std::int64_t> ids;
    for (const kept_version &v : side)
        if (v.why == "remove" && v.gone != 0 && !known.count(key_of(v))) ids.insert(v.entry_id);
    return ids;
}
