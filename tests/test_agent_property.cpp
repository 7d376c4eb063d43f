// kesp-agent under random sequences of what a person and the machine do to
// it: changes typed and made by companions, seals that fail, agents and
// programs killed at any moment, locks while a prompt waits, second
// unlocks, the RAM folder removed. After each sequence every confirmed
// change, and every entry a person finished typing, is in the container
// or where the next program says it is kept; nothing of the database is in
// a file outside the RAM folder; the container opens with the password.
//
// 500 sequences by default, in shards of their own that ctest runs side by
// side (each a world of its own, started afresh), 10 in the sanitizer build
// and 3 under KESP_TEST_WRAPPER, where every program runs tens of times
// slower, in one shard. KESP_PROPERTY_SEED picks the first seed,
// KESP_PROPERTY_SEQUENCES how many, KESP_PROPERTY_SHARDS in how many shards
// (at most 8); a failure names the seed, the sequence and how to run it
// again in one world.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "container/crypt.h"
#include "harness/harness.h"

namespace {

namespace fs = std::filesystem;
using harness::pty_session;
using harness::result;
using harness::sandbox;

const std::string master = "correct horse";

int default_sequences() {
    if (harness::wrapped_run()) return 3;
#if defined(__SANITIZE_ADDRESS__)
    return 10;
#else
    return 500;
#endif
}

constexpr int most_shards = 8;

int default_shards() {
    if (harness::wrapped_run()) return 1;
#if defined(__SANITIZE_ADDRESS__)
    return 1;
#else
    return most_shards;
#endif
}

// Where an entry must be found after a sequence.
enum class held {
    sealed,   // a program confirmed it: in the container
    pending,  // a program warned that it is in memory only: in the copy the agent holds or
              // the one kept after it ended, unless the RAM folder went
    typed,    // kept in a file of typing the program named
    maybe,    // the program was killed, or the RAM folder went with it: no claim
};

struct expected_entry {
    std::string password;
    held where;
    std::string file;  // held::typed: the file it is kept in
};

struct removal {
    held where;  // sealed or pending
};

bool contains(const std::string &text, const std::string &what) {
    return text.find(what) != std::string::npos;
}

struct world {
    harness::ram_folder ram;
    sandbox box, other;  // two HOMEs of one user, on one RAM folder
    harness::scratch_dir tmp{"kesp-property-tmp"};
    std::string db, db2, other_db;
    std::mt19937_64 rng;
    int slow = 1;

    pid_t pid = -1;        // the agent of box, when one runs
    bool moved = false;    // the container's folder is out of reach: seals fail
    std::map<std::string, expected_entry> entries;  // by title
    std::map<std::string, removal> removed;         // by title
    std::map<std::string, container_key> keys;      // by salt: one derivation per salt
    int made = 0;
    std::string failure;  // the first broken promise, with what led to it
    std::string log;      // what the sequence did

    world() {
        slow = harness::slowdown();
        for (sandbox *b : {&box, &other}) {
            b->env["XDG_RUNTIME_DIR"] = ram.path();
            b->env["TMPDIR"] = tmp.path();
        }
        db = box.path("vault.db");
        db2 = box.path("second.db");
        other_db = other.path("work.db");
        harness::make_database(box, db, {{"mail", "me", "", "mail-pw", ""}});
        harness::encrypt(box, master);
        entries["mail"] = {"mail-pw", held::sealed, ""};
    }

    ~world() {
        restore();
        for (sandbox *b : {&box, &other}) b->run_program(harness::built_program("kesp-agent"), {"lock"});
        ram.remove();
    }

    std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng() % n); }
    bool chance(int percent) { return static_cast<int>(pick(100)) < percent; }

    void fail(const std::string &why) {
        if (failure.empty()) failure = why;
    }

    result agent(const sandbox &b, const std::vector<std::string> &args) const {
        return b.run_program(harness::built_program("kesp-agent"), args);
    }

    static bool gone(pid_t p) {
        std::string stat = harness::read_file("/proc/" + std::to_string(p) + "/stat");
        auto close = stat.rfind(')');
        return stat.empty() || (close != std::string::npos && stat.size() > close + 2 &&
                                stat[close + 2] == 'Z');
    }
    bool wait_gone(pid_t p, int seconds = 10) const {
        for (int i = 0; i < seconds * slow * 100; ++i) {
            if (gone(p)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    bool agent_up() const { return pid > 0 && !gone(pid); }

    pid_t status_pid(const sandbox &b) const {
        std::string out = agent(b, {"status"}).out;
        auto at = out.find("Agent: process ");
        return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + 15);
    }

    bool unlock(const sandbox &b, const std::string &path, const std::vector<std::string> &extra = {}) {
        std::vector<std::string> args{"unlock"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(path);
        pty_session s(b, args, harness::built_program("kesp-agent"));
        if (s.expect_terminal("Master password: ")) s.type_line(master);
        return s.finish().status == 0;
    }

    // The copy the pointer file of box names, when it is a file.
    std::string active_copy() const {
        std::string p = harness::read_file(box.pointer_file());
        struct stat st;
        return !p.empty() && ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? p : "";
    }

    // title -> password of a plain database file.
    std::map<std::string, std::string> rows_of(const std::string &path) const {
        std::map<std::string, std::string> rows;
        std::string text = harness::sql(path, "select title, password from entries;");
        for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos;
             at = end + 1) {
            std::string line = text.substr(at, end - at);
            auto bar = line.find('|');
            rows[line.substr(0, bar)] = bar == std::string::npos ? "" : line.substr(bar + 1);
        }
        return rows;
    }

    // The container's entries; nothing when it does not open.
    std::optional<std::map<std::string, std::string>> container_rows() {
        std::string bytes = harness::read_file(db);
        if (bytes.size() < 148) return std::nullopt;
        std::string salt = bytes.substr(bytes.size() - 128, 64);
        auto found = keys.find(salt);
        if (found == keys.end()) {
            found = keys.try_emplace(salt).first;
            if (!derive_container_key(master.c_str(),
                                      reinterpret_cast<const unsigned char *>(salt.data()),
                                      found->second)) {
                keys.erase(found);
                return std::nullopt;
            }
        }
        decrypted d = decrypt_to_memory_with_key(found->second, db.c_str());
        if (d.status != decrypt_status::ok) return std::nullopt;
        // Read in RAM: nothing plain is written beside the container.
        std::string check = ram.path() + "/check.db";
        harness::write_file(check, std::string(reinterpret_cast<char *>(d.plain->data()),
                                               d.plain->size()));
        auto rows = rows_of(check);
        std::remove(check.c_str());
        return rows;
    }

    // The container's folder out of reach: a folder where the container was.
    void move_away() {
        if (moved) return;
        ASSERT_EQ(std::rename(box.work().c_str(), (box.root() + "/moved").c_str()), 0);
        fs::create_directories(db);
        moved = true;
    }
    void restore() {
        if (!moved) return;
        fs::remove_all(box.work());
        std::rename((box.root() + "/moved").c_str(), box.work().c_str());
        moved = false;
    }

    // What a program's messages say of a change it was given.
    held outcome(const result &r, std::string &file) {
        // Its own word after the lock, not the reminders of files kept earlier.
        const std::string kept = " was locked is kept in ";
        const auto asked = r.err.find("kesp-agent no longer holds ");
        if (auto at = asked == std::string::npos ? asked : r.err.find(kept, asked);
            at != std::string::npos) {
            file = r.err.substr(at + kept.size(), r.err.find(':', at + kept.size()) - at - kept.size());
            return held::typed;
        }
        if (contains(r.err, "nothing was changed") || contains(r.err, "No decrypted database") ||
            contains(r.err, "Failed"))
            fail("a change was thrown away: " + r.err);
        if (contains(r.err, "only in memory") || contains(r.err, "the changes are kept in") ||
            contains(r.err, "could not be written"))
            return held::pending;
        if (agent_up()) dirty = false;  // the agent sealed the whole copy
        return held::sealed;
    }

    // Makes sure box has an agent: whatever the last one left is first
    // brought in as the next program says.
    bool ensure_agent(bool typing = false) {
        if (agent_up() && (pid != max_agent || typing)) return true;
        if (agent_up()) wait_gone(pid);  // a short maximum time: let it end first
        if (moved) return false;
        // The next program says what the last agent left, and clears a copy
        // that holds nothing of its own.
        if (harness::exists(box.pointer_file())) box.run({"-A"});
        if (!active_copy().empty()) {
            // A copy kept for its unsealed changes: kesp -E writes it.
            result e = harness::encrypt(box, master);
            if (!contains(e.out, "are written to")) fail("kesp -E of a kept copy: " + e.err);
            for (auto &[title, e2] : entries)
                if (e2.where == held::pending) e2.where = held::sealed;
            for (auto &[title, r] : removed)
                if (r.where == held::pending) r.where = held::sealed;
        }
        std::vector<std::string> extra;
        // Now and then a maximum time short enough to end while a prompt waits.
        if (typing && chance(2)) extra = {"--max", std::to_string(slow) + "s"};
        if (!unlock(box, db, extra)) {
            fail("unlock failed");
            return false;
        }
        pid = status_pid(box);
        dirty = false;  // the new copy is the container
        if (!extra.empty()) max_agent = pid;
        return pid > 0;
    }
    pid_t max_agent = -1;
    bool dirty = false;  // a killed program may have changed the copy alone

    // An id and title of an entry of the copy, chosen at random.
    std::optional<std::pair<int, std::string>> some_entry() {
        std::string copy = active_copy();
        if (copy.empty()) return std::nullopt;
        std::string text = harness::sql(copy, "select id, title from entries order by id;");
        std::vector<std::pair<int, std::string>> found;
        for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos;
             at = end + 1) {
            std::string line = text.substr(at, end - at);
            auto bar = line.find('|');
            std::string title = line.substr(bar + 1);
            // Only entries this test knows as standing.
            if (entries.count(title) && entries[title].where != held::maybe &&
                entries[title].where != held::typed)
                found.push_back({std::atoi(line.c_str()), title});
        }
        if (found.empty()) return std::nullopt;
        return found[pick(found.size())];
    }

    std::string fresh_secret() {
        static const char hex[] = "0123456789abcdef";
        std::string s = "pw-";
        for (int i = 0; i < 16; ++i) s += hex[pick(16)];
        return s;
    }

    // What can happen to the agent while a prompt waits.
    enum class interruption { none, sigterm, lock, sigkill, kill_program, max };

    // kesp -a or kesp -e ID typed on a terminal, interrupted or not.
    void typed_change(bool edit) {
        if (!ensure_agent(true)) return;
        std::optional<std::pair<int, std::string>> target;
        if (edit && !(target = some_entry())) return;
        const std::string title = "t" + std::to_string(++made), password = fresh_secret();
        interruption what = interruption::none;
        const std::size_t r = pick(100);
        if (max_agent == pid && pid > 0) what = interruption::max;
        else if (r < 8) what = moved ? interruption::sigkill : interruption::sigterm;
        else if (r < 16) what = moved ? interruption::sigkill : interruption::lock;
        else if (r < 23) what = interruption::sigkill;
        else if (r < 30) what = interruption::kill_program;
        const std::vector<std::pair<const char *, std::string>> add{
            {"Title: ", title}, {"Username: ", "u"}, {"Url: ", ""}, {"Notes: ", ""},
            {"Password (empty to generate new): ", password}};
        const std::vector<std::pair<const char *, std::string>> change{
            {"New title: ", title}, {"New username: ", ""}, {"New url: ", ""},
            {"New note: ", ""}, {"New password (empty to generate new): ", password}};
        const auto &dialogue = edit ? change : add;
        log += std::string(edit ? " edit" : " add") + "(" + std::to_string(static_cast<int>(what)) + ")";
        std::vector<std::string> args{"-a"};
        if (edit) args = {"-e", std::to_string(target->first)};
        pty_session s(box, args);
        // The prompt at which the interruption comes; for a program killed,
        // also after the last answer.
        const std::size_t at = pick(dialogue.size() + (what == interruption::kill_program ? 1 : 0));
        bool killed = false, agent_ended = false;
        const std::string copy = active_copy();
        // Whether the copy is kept for its unsealed changes once its agent
        // ended: known only then, since a lock seals what an earlier failed
        // seal left marked.
        bool kept_copy = false;
        for (std::size_t i = 0; i < dialogue.size(); ++i) {
            if (!s.expect(dialogue[i].first)) {
                fail(std::string("no prompt ") + dialogue[i].first);
                return;
            }
            if (i == at && what != interruption::none) {
                switch (what) {
                case interruption::sigterm: ::kill(pid, SIGTERM); agent_ended = true; break;
                case interruption::lock: agent_ended = agent(box, {"lock"}).status == 0; break;
                case interruption::sigkill: ::kill(pid, SIGKILL); agent_ended = true; break;
                case interruption::max: agent_ended = true; break;
                case interruption::kill_program: s.signal(SIGKILL); killed = true; break;
                case interruption::none: break;
                }
                if (agent_ended && !wait_gone(pid)) fail("the agent did not end");
                kept_copy = agent_ended && !copy.empty() && harness::exists(copy) &&
                            harness::exists(fs::path(copy).parent_path().string() + "/unsealed");
                if (killed) break;
            }
            s.type_line(dialogue[i].second);
        }
        if (!killed && what == interruption::kill_program) {
            s.signal(SIGKILL);  // after the last answer, racing with its work
            killed = true;
        }
        // An agent that ended with unsealed changes leaves its copy kept:
        // the change joins them there, without a question.
        if (agent_ended && !killed && !kept_copy) {
            if (!s.expect_terminal("Master password: ", std::chrono::seconds(30 * slow))) {
                fail("no master password asked");
                return;
            }
            if (chance(15)) s.type_eof();
            else s.type_line(master);
        }
        result done = s.finish();
        if (agent_ended) pid = -1;
        if (killed) {
            entries[title] = {password, held::maybe, ""};
            if (edit) entries[target->second].where = held::maybe;  // changed or not
            if (at == dialogue.size()) dirty = true;  // its change may be in the copy alone
            return;
        }
        std::string file;
        held where = outcome(done, file);
        log += "=" + title + ":" + std::to_string(static_cast<int>(where));
        if (std::getenv("KESP_PROPERTY_VERBOSE")) log += "{" + done.out + "|" + done.err + "}";
        if (agent_ended && !kept_copy && where != held::typed &&
            !contains(done.out, "The change is written to"))
            fail("no word of where the change went: " + done.out + done.err);
        entries[title] = {password, where, file};
        // A typed edit kept in a file leaves the entry as it was.
        if (edit && where != held::typed) {
            entries.erase(target->second);
            removed[target->second] = {where};
        }
    }

    void remove_one() {
        if (!ensure_agent()) return;
        auto target = some_entry();
        if (!target) return;
        log += " remove";
        result r = box.run({"-r", std::to_string(target->first)});
        log += "=" + target->second;
        if (std::getenv("KESP_PROPERTY_VERBOSE")) log += "{" + r.out + "|" + r.err + "}";
        std::string file;
        held where = outcome(r, file);
        entries.erase(target->second);
        removed[target->second] = {where};
    }

    void companion_change() {
        if (!ensure_agent()) return;
        auto target = some_entry();
        if (!target) return;
        log += " kesp-edit";
        const std::string title = "t" + std::to_string(++made);
        result r = box.run_program(harness::built_program("kesp-edit"),
                                   {std::to_string(target->first), "--title", title});
        std::string file;
        held where = outcome(r, file);
        entries[title] = {entries[target->second].password, where, ""};
        entries.erase(target->second);
        removed[target->second] = {where};
    }

    // The other databases, made when first wanted (each encryption costs a
    // key derivation, many seconds under valgrind).
    bool others_made = false;
    void make_others() {
        if (others_made) return;
        others_made = true;
        harness::make_database(other, other_db, {{"work", "", "", "work-pw", ""}});
        harness::encrypt(other, master);
        // In the same HOME only the file is wanted: nothing unlocks it.
        harness::write_file(db2, harness::read_file(db));
    }

    void second_unlock() {
        if (moved) return;
        make_others();
        log += " second-unlock";
        const std::size_t way = pick(4);
        if (way < 2) {
            // The same HOME: refused while the agent answers, before any question.
            if (!agent_up()) return;
            result r = agent(box, {"unlock", way == 0 ? db : db2});
            if (r.status != 1 || !contains(r.err, "already unlocked by kesp-agent"))
                fail("a second unlock in the same HOME: " + r.err);
            return;
        }
        // Another HOME of the same user: its own agent, its own copy.
        if (way == 2 ? !unlock(other, other_db) : !unlock(other, db)) return;
        result r = other.run({"-A"});
        if (r.status != 0) fail("the other HOME's agent: " + r.err);
        if (agent(other, {"lock"}).status != 0) fail("the other HOME's lock");
    }

    void remove_ram_folder() {
        if (!agent_up()) return;
        std::string copy = active_copy();
        if (copy.empty()) return;
        log += " ram-removed";
        fs::remove_all(fs::path(copy).parent_path());
        // The agent sees it within a second and ends; the next program
        // need not wait for that. What was only in that copy went with it.
        pid = -1;
        for (auto &[title, e] : entries)
            if (e.where == held::pending) e.where = held::maybe;
        for (auto it = removed.begin(); it != removed.end();)
            it = it->second.where == held::pending ? removed.erase(it) : std::next(it);
    }

    void kill_agent() {
        if (!agent_up()) return;
        log += " kill-agent";
        ::kill(pid, SIGKILL);
        wait_gone(pid);
        pid = -1;
    }

    void run_sequence() {
        const std::size_t steps = 2 + pick(2);
        for (std::size_t i = 0; i < steps && failure.empty(); ++i) {
            switch (pick(20)) {
            case 0: case 1: case 2: case 3: case 4: case 5: case 6: typed_change(false); break;
            case 7: case 8: typed_change(true); break;
            case 9: case 10: case 11: remove_one(); break;
            case 12: case 13: case 14: companion_change(); break;
            case 15: if (agent_up() && !moved) { log += " fail-seal"; move_away(); } break;
            case 16: kill_agent(); break;
            case 17: case 18: second_unlock(); break;
            case 19: remove_ram_folder(); break;
            }
        }
    }

    // The promises, checked as the next program finds things.
    void check() {
        restore();
        bool typed = false;
        for (const auto &[title, e] : entries) typed = typed || e.where == held::typed;
        result next;
        if (typed || (!agent_up() && harness::exists(box.pointer_file()))) next = box.run({"-A"});
        auto in_container = container_rows();
        if (!in_container) {
            fail("the container does not open with the password");
            return;
        }
        std::map<std::string, std::string> in_copy;
        const std::string copy = active_copy();
        if (!copy.empty()) in_copy = rows_of(copy);
        bool any_pending = false;
        for (const auto &[title, e] : entries) {
            auto in = [&](const std::map<std::string, std::string> &rows) {
                auto f = rows.find(title);
                return f != rows.end() && f->second == e.password;
            };
            switch (e.where) {
            case held::sealed:
                if (!in(*in_container)) fail("a confirmed entry is not in the container: " + title);
                break;
            case held::pending:
                any_pending = true;
                if (!in(in_copy) && !in(*in_container))
                    fail("an entry kept in memory is nowhere: " + title);
                break;
            case held::typed: {
                std::string kept = harness::read_file(e.file);
                if (!contains(kept, title) || !contains(kept, e.password))
                    fail("a typed entry is not in " + e.file);
                if (!contains(next.err, "kept in " + e.file + ": kesp-import"))
                    fail("the next program does not name " + e.file + ": " + next.err);
                break;
            }
            case held::maybe: break;
            }
        }
        for (const auto &[title, r] : removed) {
            if (r.where == held::pending) any_pending = true;
            const auto &rows = r.where == held::sealed || copy.empty() ? *in_container : in_copy;
            if (r.where == held::sealed && rows.count(title))
                fail("a confirmed removal is undone: " + title);
        }
        // Nothing unsealed: the copy the agent holds is the container.
        if (!any_pending && !dirty && agent_up() && !copy.empty() && in_copy != *in_container)
            fail("the copy and the container differ though every change was sealed");
        scan_for_plaintext();
        bring_in_typed();
    }

    // Typed entries brought in as their program said, so that the files
    // do not pile up.
    void bring_in_typed() {
        for (auto &[title, e] : entries) {
            if (e.where != held::typed || !ensure_agent()) continue;
            result r = box.run_program(harness::built_program("kesp-import"), {e.file});
            if (r.status != 0) fail("kesp-import " + e.file + ": " + r.err);
            if (harness::exists(e.file)) fail("kesp-import left " + e.file + " behind");
            e.where = held::sealed;
        }
    }

    void scan_for_plaintext() {
        std::vector<std::string> secrets{"SQLite format 3"};
        for (const auto &[title, e] : entries) secrets.push_back(e.password);
        for (const std::string &root :
             {tmp.path(), std::string("/var/tmp"), box.root(), other.root()}) {
            std::error_code ec;
            for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
                 it != end; it.increment(ec)) {
                if (ec || !it->is_regular_file(ec) || it->file_size(ec) > (4u << 20)) continue;
                const std::string bytes = harness::read_file(it->path());
                for (const std::string &s : secrets)
                    // /var/tmp belongs to others too: only this test's secrets count there.
                    if ((s != secrets[0] || root != "/var/tmp") && contains(bytes, s))
                        fail("plaintext in " + it->path().string() + ": " + s);
            }
        }
    }
};

class AgentProperty : public testing::TestWithParam<int> {};

TEST_P(AgentProperty, RandomSequencesLoseNothingAndLeakNothing) {
    const char *seed_text = std::getenv("KESP_PROPERTY_SEED");
    const char *count_text = std::getenv("KESP_PROPERTY_SEQUENCES");
    const char *shards_text = std::getenv("KESP_PROPERTY_SHARDS");
    const unsigned long long seed = seed_text ? std::strtoull(seed_text, nullptr, 10) : 36;
    const int sequences = count_text ? std::atoi(count_text) : default_sequences();
    const int shards = std::clamp(shards_text ? std::atoi(shards_text) : default_shards(), 1,
                                  most_shards);
    const int shard = GetParam();
    if (shard >= shards) GTEST_SKIP() << "the sequences are in " << shards << " shards";
    const int first = sequences * shard / shards, end = sequences * (shard + 1) / shards;
    world w;
    ASSERT_FALSE(w.ram.path().empty());
    for (int i = first; i < end; ++i) {
        w.rng.seed(seed + static_cast<unsigned long long>(i));
        w.log.clear();
        w.run_sequence();
        if (w.failure.empty()) w.check();
        ASSERT_EQ(w.failure, "") << "sequence " << i - first << " of this shard (seed " << seed + i
                                 << "); again in one world: KESP_PROPERTY_SEED=" << seed + first
                                 << " KESP_PROPERTY_SEQUENCES=" << i - first + 1
                                 << " KESP_PROPERTY_SHARDS=1:" << w.log;
    }
}

INSTANTIATE_TEST_SUITE_P(Shard, AgentProperty, testing::Range(0, most_shards));

}  // namespace
