#include "sync/tree.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

#include "memory/secret.h"
#include "state/files.h"
#include "sync/git.h"
#include "vault/detect.h"

namespace {

std::vector<std::string> split_nul(const std::string &text) {
    std::vector<std::string> words;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\0', at);
        if (end == std::string::npos) end = text.size();
        words.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

void refuse(const tree_source &source, const std::string &problem) {
    std::fprintf(stderr, "%s %s: %s.\n", source.what.c_str(), problem.c_str(),
                 source.outcome.c_str());
}

// Path -> mode of every file in the tree.
bool list_modes(const std::string &top, const tree_source &source,
                std::map<std::string, std::string> &modes) {
    git_result r = run_git(top, {"ls-files", "-s", "-z"}, git_output::captured, source.env);
    if (!r.ok()) return false;
    for (const std::string &record : split_nul(r.out)) {
        std::size_t tab = record.find('\t');
        std::size_t blank = record.find(' ');
        if (tab == std::string::npos || blank == std::string::npos) continue;
        modes[record.substr(tab + 1)] = record.substr(0, blank);
    }
    return true;
}

// The attributes git gives `relative` in this tree, by name.
bool attributes_of(const std::string &top, const tree_source &source,
                   const std::vector<std::string> &paths, const std::vector<std::string> &names,
                   std::vector<std::array<std::string, 3>> &out) {
    std::vector<std::string> args{"check-attr", "-z"};
    if (source.cached) args.push_back("--cached");
    if (names.empty()) args.push_back("-a");
    args.insert(args.end(), names.begin(), names.end());
    args.push_back("--");
    args.insert(args.end(), paths.begin(), paths.end());
    git_result r = run_git(top, args, git_output::captured, source.env);
    if (!r.ok()) return false;
    std::vector<std::string> words = split_nul(r.out);
    for (std::size_t i = 0; i + 2 < words.size(); i += 3)
        out.push_back({words[i], words[i + 1], words[i + 2]});
    return true;
}

std::string shown_attribute(const std::string &name, const std::string &value) {
    if (value == "set") return name;
    if (value == "unset") return "-" + name;
    return name + "=" + value;
}

bool attributes_sound(const std::string &top, const std::string &relative,
                      const std::string &shown, const tree_source &source) {
    std::vector<std::array<std::string, 3>> found;
    if (!attributes_of(top, source, {relative}, {}, found)) return false;
    std::map<std::string, std::string> value;
    for (const auto &[path, name, info] : found) value[name] = info;
    // Every attribute that changes the bytes between the tree and the file.
    for (const char *name : {"text", "crlf", "eol", "ident", "working-tree-encoding"}) {
        auto at = value.find(name);
        if (at == value.end() || at->second == "unset") continue;
        refuse(source, "gives " + shown + " the attribute " + shown_attribute(name, at->second) +
                           ", which would change its bytes");
        return false;
    }
    if (value["filter"] != "kesp") {
        if (value["filter"].empty() && !source.incoming) {
            std::fprintf(stderr,
                         "%s was set up by an older kesp-sync, without the filter that keeps "
                         "a decrypted database out of git: run kesp-sync init %s again.\n",
                         shown.c_str(), shown.c_str());
            return false;
        }
        refuse(source, "gives " + shown + " " +
                           (value["filter"].empty()
                                ? std::string("no filter=kesp (set up by an older kesp-sync: "
                                              "run kesp-sync init there)")
                                : "the attribute filter=" + value["filter"] +
                                      ", not kesp-sync's filter=kesp"));
        return false;
    }
    if (value["binary"] != "set" || value["merge"] != "kesp") {
        refuse(source, "does not mark " + shown + " \"binary merge=kesp\" (it has " +
                           shown_attribute("binary", value["binary"].empty() ? "unspecified"
                                                                             : value["binary"]) +
                           " merge=" + (value["merge"].empty() ? "unspecified" : value["merge"]) +
                           ")");
        return false;
    }
    return true;
}

}  // namespace

std::string git_folder(const std::string &top) {
    git_result r = run_git(top, {"rev-parse", "--absolute-git-dir"}, git_output::captured);
    std::string folder = first_line(r.out);
    if (!r.ok() || folder.empty()) {
        std::fprintf(stderr, "Cannot find the git folder of %s.\n", top.c_str());
        return "";
    }
    return folder;
}

commit_tree::commit_tree(const std::string &top, const std::string &commit) {
    std::string folder = git_folder(top);
    if (folder.empty()) return;
    // A name of this process's own; git writes it anew through a lock file.
    path_ = folder + "/kesp-sync-index." + std::to_string(::getpid());
    ::unlink(path_.c_str());
    source_.what = "The other copy (commit " + commit.substr(0, 12) + ")";
    source_.env = {"GIT_INDEX_FILE=" + path_};
    source_.cached = true;
    source_.incoming = true;
    ok_ = run_git(top, {"read-tree", commit}, git_output::shown, source_.env).ok();
}

commit_tree::~commit_tree() {
    if (!path_.empty()) ::unlink(path_.c_str());
}

bool tree_is_sound(const std::string &top, const std::string &relative, const std::string &shown,
                   const tree_source &source) {
    std::map<std::string, std::string> modes;
    if (!list_modes(top, source, modes)) return false;
    for (const char *side : {"-journal", "-wal", "-shm"}) {
        if (modes.count(relative + side) == 0) continue;
        refuse(source, "tracks " + shown + side +
                           ", a side file of SQLite that no encrypted database has");
        return false;
    }
    auto mode = modes.find(relative);
    if (mode == modes.end()) {
        refuse(source, "holds no " + shown);
        return false;
    }
    if (mode->second != "100644") {
        refuse(source, "holds " + shown + " with mode " + mode->second +
                           (mode->second == "120000" ? " (a symbolic link)" : "") +
                           ", not 100644");
        return false;
    }
    if (!attributes_sound(top, relative, shown, source)) return false;
    // Another file merged by kesp-merge would take the database's place.
    std::vector<std::string> others;
    for (const auto &[path, m] : modes)
        if (path != relative) others.push_back(path);
    if (others.empty()) return true;
    std::vector<std::array<std::string, 3>> merges;
    if (!attributes_of(top, source, others, {"merge"}, merges)) return false;
    for (const auto &[path, name, info] : merges) {
        if (info != "kesp") continue;
        refuse(source, "marks " + path + " merge=kesp too, where only " + shown +
                           " is kesp-sync's database");
        return false;
    }
    return true;
}

std::string blob_at(const std::string &top, const std::string &commit,
                    const std::string &relative) {
    git_result r = run_git(top, {"rev-parse", "-q", "--verify", commit + ":" + relative},
                           git_output::silent);
    return r.ok() ? first_line(r.out) : "";
}

namespace {

// One change of a path in `git log --raw` output.
struct path_change {
    std::string commit, old_blob, new_blob, path;
};

// Every change of `paths` in the histories of `revisions`, newest first,
// against each parent of a merge; nothing when git failed (it has said why).
std::optional<std::vector<path_change>> path_changes(const std::string &top,
                                                     const std::vector<std::string> &revisions,
                                                     const std::vector<std::string> &paths) {
    // "<commit>" lines, then ":mode mode old new status\tpath" lines.
    std::vector<std::string> args{"--literal-pathspecs", "log", "--format=%H", "--raw",
                                  "--no-abbrev", "--no-renames", "--diff-merges=separate"};
    args.insert(args.end(), revisions.begin(), revisions.end());
    args.push_back("--");
    args.insert(args.end(), paths.begin(), paths.end());
    git_result r = run_git(top, args, git_output::captured);
    if (!r.ok()) return std::nullopt;
    std::vector<path_change> changes;
    std::istringstream lines(r.out);
    std::string commit;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        if (line[0] != ':') {
            commit = line;
            continue;
        }
        std::istringstream fields(line);
        path_change change{commit, "", "", ""};
        std::string old_mode, new_mode, status_and_path;
        fields >> old_mode >> new_mode >> change.old_blob >> change.new_blob;
        std::getline(fields, status_and_path);
        change.path = status_and_path.substr(status_and_path.find('\t') + 1);
        changes.push_back(std::move(change));
    }
    return changes;
}

}  // namespace

bool not_a_replay(const std::string &top, const std::string &relative, const std::string &shown,
                  const std::string &incoming_commit, const std::string &current,
                  const std::string &base) {
    const std::string incoming = blob_at(top, incoming_commit, relative);
    if (incoming.empty() || incoming == current || incoming == base) return true;
    auto changes = path_changes(top, {"HEAD", incoming_commit}, {relative});
    if (!changes) return false;
    std::string introduced, replaced_in;
    for (const path_change &change : *changes) {
        if (change.new_blob == incoming) introduced = change.commit;  // newest first
        if (change.old_blob == incoming && replaced_in.empty()) replaced_in = change.commit;
    }
    if (replaced_in.empty()) return true;
    if (introduced.empty()) introduced = replaced_in;
    std::fprintf(stderr,
                 "The other copy's %s is the version of commit %s, which commit %s replaced: an "
                 "old copy sent again would roll the database back. Nothing was changed; %s "
                 "keeps its newer version. To send it over the old one, run git merge -s ours "
                 "%s, then kesp-sync again.\n",
                 shown.c_str(), introduced.substr(0, 12).c_str(), replaced_in.substr(0, 12).c_str(),
                 shown.c_str(), incoming_commit.substr(0, 12).c_str());
    return false;
}

bool history_is_encrypted(const std::string &top, const std::string &relative,
                          const std::string &shown) {
    if (run_git(top, {"rev-parse", "-q", "--verify", "HEAD"}, git_output::silent).status != 0)
        return true;  // no commit yet
    auto changes = path_changes(top, {"HEAD"},
                                {relative, relative + "-journal", relative + "-wal",
                                 relative + "-shm"});
    if (!changes) return false;
    std::set<std::string> seen;
    for (const path_change &change : *changes) {
        const std::string &new_blob = change.new_blob, &path = change.path;
        if (new_blob.find_first_not_of('0') == std::string::npos || !seen.insert(new_blob).second)
            continue;
        bool plain = path != relative;
        if (!plain) {
            git_result blob = run_git(top, {"cat-file", "blob", new_blob}, git_output::captured);
            if (!blob.ok()) return false;
            plain = !is_encrypted_bytes(reinterpret_cast<const unsigned char *>(blob.out.data()),
                                        blob.out.size());
            wipe(blob.out.data(), blob.out.size());  // it may be a database in clear
        }
        if (!plain) continue;
        std::fprintf(stderr,
                     "Commit %s of the history of %s holds %s not encrypted: sending the history "
                     "would send it. Start a clean history: move the folder .git away (keep it "
                     "until the new one is sent), run kesp-sync init %s again, and send it to a "
                     "new, empty remote.\n",
                     change.commit.substr(0, 12).c_str(), top.c_str(), path.c_str(),
                     shown.c_str());
        return false;
    }
    return true;
}
