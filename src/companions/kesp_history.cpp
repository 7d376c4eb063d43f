// kesp-history: the earlier versions of the entries of the active database
// (the ones the database itself records whenever an entry is changed or
// removed), shown, restored, or forgotten for good.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "companions/companion.h"
#include "output/display.h"
#include "state/numbers.h"
#include "store/history.h"
#include "vault/program.h"
#include "vault/record.h"
#include "vault/session.h"

namespace {

const option long_options[] = {
    {"show-passwords", no_argument, nullptr, 's'},
    {"restore", required_argument, nullptr, 'r'},
    {"only", required_argument, nullptr, 'o'},
    {"forget", required_argument, nullptr, 'f'},
    {"forget-all", no_argument, nullptr, 'a'},
    {"undo-import", no_argument, nullptr, 'u'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{
    "Usage: kesp-history [--show-passwords] [ID] | --restore ID.N [--only FIELD,...] | "
    "--forget ID | --forget-all | --undo-import\n"
    "ID may also be rK, the handle of a removed entry whose id another entry holds.\n"
    "Shows the latest changes and removals of the active database, or every\n"
    "earlier version of one entry; brings version N of an entry back (with\n"
    "--only, the fields named of title, user, url, password and notes, the\n"
    "others kept), forgets earlier versions for good, or undoes the latest\n"
    "import. See kesp-history(1).\n",
    "h", long_options};

constexpr int latest_count = 20;

// "ID" (a positive number) or "rK" (a removed entry's own handle).
bool valid_handle(std::string_view handle) {
    if (!handle.empty() && handle[0] == 'r') handle.remove_prefix(1);
    return parse_whole_number(std::string(handle).c_str(), 1, 999999999).has_value();
}

// "HANDLE.N" split into its handle and N.
std::optional<std::pair<std::string, int>> version_name(const char *text) {
    const char *dot = std::strrchr(text, '.');
    if (dot == nullptr) return std::nullopt;
    std::string handle(text, dot);
    auto n = parse_whole_number(dot + 1, 1, 999999999);
    if (!n || !valid_handle(handle)) return std::nullopt;
    return std::pair{handle, *n};
}

// "ID.N  when  why": each text as stored, so each through the escaping
// printer (another program, or an import, may have written any bytes).
void print_version_line(const history_version &v) {
    print_stored_text(v.label.c_str());
    std::fputs("  ", stdout);
    print_stored_text(v.replaced.c_str());
    std::fputs("  ", stdout);
    print_stored_text(v.why.c_str());
}

int show_latest() {
    std::optional<std::vector<history_version>> versions;
    {
        auto s = begin_session(lock_kind::shared);
        if (!s) return exit_failure;
        versions = history_latest(s->handle(), latest_count);
    }
    if (!versions) return exit_failure;
    for (const history_version &v : *versions) {
        print_version_line(v);
        std::fputs("  ", stdout);
        print_stored_text(v.title.c_str());
        std::fputc('\n', stdout);
    }
    return exit_ok;
}

int show_entry(const std::string &handle, int show_passwords) {
    std::optional<std::vector<history_version>> versions;
    {
        auto s = begin_session(lock_kind::shared);
        if (!s) return exit_failure;
        bool failed = false;
        auto owner = history_find_owner(s->handle(), handle, failed);
        if (failed) return exit_failure;
        if (owner)
            versions = history_versions(s->handle(), *owner);
        else
            versions.emplace();
    }
    if (!versions) return exit_failure;
    if (versions->empty()) {
        std::printf("Nothing kept for entry %s.\n", handle.c_str());
        return exit_ok;
    }
    entry_printer printer;
    for (history_version &v : *versions) {
        print_version_line(v);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        const entry e{static_cast<int>(v.owner.id), v.title.data(), v.user.data(),
                      v.url.data(),  v.password.data(), v.notes.data(),
                      v.timestamp.data(), nullptr};
        printer.print(&e, show_passwords, 0);
    }
    return exit_ok;
}

}  // namespace

int main(int argc, char **argv) {
    start_program();

    int show_passwords = 0;
    const char *restore = nullptr;
    const char *forget = nullptr;
    const char *only = nullptr;
    bool forget_all = false;
    bool undo = false;
    int actions = 0;
    auto done = read_options(program, argc, argv, [&](int c, const char *argument) {
        if (c == 's') show_passwords = 1;
        if (c == 'r') restore = argument, ++actions;
        if (c == 'f') forget = argument, ++actions;
        if (c == 'o') only = argument;
        if (c == 'a') forget_all = true, ++actions;
        if (c == 'u') undo = true, ++actions;
        return true;
    });
    if (done) return *done;
    const int operands = argc - optind;
    if (actions > 1 || (actions == 1 && operands > 0) || operands > 1 ||
        (only != nullptr && restore == nullptr))
        return bad_usage(program);

    if (restore != nullptr) {
        auto name = version_name(restore);
        if (!name) return bad_usage(program);
        unsigned fields = history_all_fields;
        if (only != nullptr) {
            auto named = history_fields_named(only);
            if (!named) {
                std::fprintf(stderr, "--only takes fields of title, user, url, password and "
                                     "notes, separated by commas, not %s.\n", only);
                return exit_usage;
            }
            fields = *named;
        }
        auto id = restore_version(name->first, name->second, fields);
        if (!id) return exit_failure;
        if (*id == 0) return exit_failure;
        std::printf("Entry %lld restored.\n", static_cast<long long>(*id));
        return exit_ok;
    }
    if (forget != nullptr || forget_all) {
        if (forget != nullptr && !valid_handle(forget)) return bad_usage(program);
        auto count = forget_versions(forget != nullptr ? forget : "");
        if (!count) return exit_failure;
        std::printf("%zu earlier versions forgotten.\n", *count);
        return exit_ok;
    }
    if (undo) {
        auto done = undo_import();
        if (!done) return exit_failure;
        if (!done->found) {
            std::puts("No import to undo: nothing an import added or replaced stands as it "
                      "left it.");
            return exit_ok;
        }
        auto entries = [](std::size_t n) { return n == 1 ? "entry" : "entries"; };
        std::printf("Import undone: %zu %s removed, %zu given back the version it replaced.\n",
                    done->removed, entries(done->removed), done->restored);
        if (done->kept > 0)
            std::printf("Kept as imported: %zu %s whose earlier version was forgotten.\n",
                        done->kept, entries(done->kept));
        return exit_ok;
    }
    if (operands == 1) {
        if (!valid_handle(argv[optind])) return bad_usage(program);
        return show_entry(argv[optind], show_passwords);
    }
    return show_latest();
}
