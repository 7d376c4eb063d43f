// kesp-browser: the native messaging host of the browserpass extension,
// answering from the active database; and the installer of its manifest.
//
// Started by the browser it serves requests until its standard input ends.
// It asks nothing: a locked database (encrypted, no agent holding it) is an
// error reply that says how to unlock.
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "companions/companion.h"
#include "formats/browserpass.h"
#include "memory/secret.h"
#include "state/status.h"
#include "output/ssh_key.h"
#include "state/files.h"
#include "state/replacement.h"
#include "store/db.h"
#include "vault/active_db.h"
#include "vault/agent_link.h"
#include "vault/program.h"
#include "vault/session.h"

namespace {

const option long_options[] = {
    {"firefox", no_argument, nullptr, 'f'},
    {"chromium", no_argument, nullptr, 'c'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const companion program{
    "Usage: kesp-browser install|uninstall [--firefox] [--chromium]\n"
    "The browserpass extension's native host, on the active database.\n"
    "install writes the manifest that lets the browser start kesp-browser\n"
    "(both browsers unless one is named); uninstall removes it. Started by\n"
    "the browser, it answers the extension until its input ends.\n"
    "See kesp-browser(1).\n",
    "h", long_options};

constexpr const char *host_name = "com.github.browserpass.native";

// ---- serving -------------------------------------------------------------

// Reads exactly `size` bytes; false at the end of the input or on an error
// (`ended` tells which; an end before the first byte is a clean end).
bool read_exact(unsigned char *data, std::size_t size, bool &clean_end) {
    std::size_t got = 0;
    clean_end = false;
    while (got < size) {
        ssize_t n = ::read(STDIN_FILENO, data + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            print_errno("Cannot read the browser's request");
            return false;
        }
        if (n == 0) {
            clean_end = got == 0;
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool send(std::string_view reply) {
    std::string too_long;
    if (reply.size() > browser_message_limit) {
        too_long = browser_error_reply(browser_error::reply_too_long,
                                       "The answer is too long for the browser.");
        reply = too_long;
    }
    secret_string frame = browser_frame(reply);
    if (write_all(STDOUT_FILENO, frame.view())) return true;
    print_errno("Cannot answer the browser");
    return false;
}

std::string locked_message(const std::string &path) {
    return "The database " + path + " is encrypted; run kesp-agent unlock to use it in the browser.";
}

// Why the active database cannot be read now, as an error reply; nothing
// when it can.
std::optional<std::string> unavailable() {
    active_db probe;
    switch (probe_active_db(probe)) {
    case active_state::ok:
        return std::nullopt;
    case active_state::encrypted:
        return browser_error_reply(browser_error::locked, locked_message(probe.path));
    case active_state::missing:
        return browser_error_reply(browser_error::unavailable,
                                   "The active database " + probe.path + " does not exist.");
    case active_state::ended:
    case active_state::none:
        break;
    }
    // kesp -E and an agent's lock forget the active database; the container
    // they leave is the one to unlock.
    auto last = last_db();
    if (last && file_exists(last->c_str()))
        return browser_error_reply(browser_error::locked, locked_message(*last));
    return browser_error_reply(browser_error::unavailable, "No decrypted database found.");
}

// A browser fills forms: a private key block kept in the notes is not for
// it, and goes out as its type and fingerprint, as on a screen.
void mask_key_blocks(entry *first) {
    for (entry *e = first; e != nullptr; e = e->next) {
        secret_string masked;
        if (e->notes == nullptr || !mask_openssh_keys(e->notes, masked)) continue;
        free_secret_text(e->notes);
        e->notes = xstrdup(masked.c_str());
    }
}

// The reply to a list or fetch: read under the shared lock, which goes
// before the browser is answered.
secret_string from_entries(const browser_request &request) {
    auto s = begin_session(lock_kind::shared);
    entry_ptr list(s ? db_list_entries(s->handle(), list_all) : nullptr);
    if (!list)
        return secret_string(
            browser_error_reply(browser_error::unavailable, "kesp could not read the active database."));
    mask_key_blocks(list->next);
    auto names = browser_names(list->next);
    if (request.action == browser_action::list)
        return secret_string(browser_list_reply(names, request.store));
    return browser_fetch_reply(names, request);
}

secret_string answer(std::string_view text) {
    std::string error;
    auto request = parse_browser_request(text, error);
    if (!request) return secret_string(error);
    if (request->action == browser_action::echo) return secret_string(browser_echo_reply(*request));
    if (auto why = unavailable()) return secret_string(*why);
    if (request->action == browser_action::configure)
        return secret_string(browser_configure_reply());
    return from_entries(*request);
}

int serve() {
    // A browser that went away is an error to report, not a signal to die of.
    std::signal(SIGPIPE, SIG_IGN);
    for (;;) {
        unsigned char header[browser_header_size];
        bool clean_end = false;
        if (!read_exact(header, sizeof header, clean_end)) return clean_end ? exit_ok : exit_failure;
        std::uint32_t length = browser_frame_length(header);
        if (length > browser_message_limit) {
            // What follows cannot be read as messages any more: answer and end.
            send(browser_error_reply(browser_error::too_long, "The request is too long."));
            return exit_failure;
        }
        std::string body(length, '\0');
        if (!read_exact(reinterpret_cast<unsigned char *>(body.data()), length, clean_end))
            return exit_failure;
        if (!send(answer(body).view())) return exit_failure;
    }
}

// ---- the manifests -------------------------------------------------------

struct browser_target {
    const char *browser;
    const char *folder;  // under HOME
    std::string allowed;  // the manifest's key and value listing the extension
};

std::vector<browser_target> targets(bool firefox, bool chromium) {
    std::vector<browser_target> out;
    if (firefox || !chromium)
        out.push_back({"Firefox", ".mozilla/native-messaging-hosts",
                       "\"allowed_extensions\": [\"browserpass@maximbaz.com\"]"});
    // The Debian package's copy and the one from the Chrome Web Store.
    if (chromium || !firefox)
        out.push_back({"Chromium", ".config/chromium/NativeMessagingHosts",
                       "\"allowed_origins\": [\"chrome-extension://klfoddkbhleoaabpmiigbmpbjfljimgb/\", "
                       "\"chrome-extension://naepdomgkenhinolocfifgehidddafch/\"]"});
    return out;
}

std::string manifest_path(const browser_target &t) {
    auto path = home_file(std::string(t.folder) + "/" + host_name + ".json");
    return path ? *path : std::string();
}

// True when the manifest at `path` starts kesp-browser: written by install.
// Nothing when there is none.
std::optional<bool> ours(const std::string &path) {
    file_ptr f(std::fopen(path.c_str(), "re"));
    if (!f) return std::nullopt;
    std::string text;
    char chunk[4096];
    for (std::size_t n; text.size() < (1 << 16) && (n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0;)
        text.append(chunk, n);
    return browser_manifest_is_kesp(text);
}

bool make_folders(const std::string &folder) {
    for (std::size_t slash = 1; slash != std::string::npos;) {
        slash = folder.find('/', slash + 1);
        std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            print_errno("Cannot make " + part);
            return false;
        }
    }
    return true;
}

bool write_manifest(const browser_target &t, const std::string &self) {
    std::string path = manifest_path(t);
    if (path.empty()) {
        std::fputs("HOME is not set; kesp-browser cannot tell where the browser looks.\n", stderr);
        return false;
    }
    if (auto mine = ours(path); mine && !*mine) {
        std::fprintf(stderr, "%s starts another program; kesp-browser leaves it alone.\n", path.c_str());
        return false;
    }
    if (!make_folders(directory_of(path))) return false;
    secret_string text("{\n  \"name\": \"");
    text += host_name;
    text += "\",\n  \"description\": \"kesp's passwords for the browserpass extension\",\n  \"path\": ";
    append_json_string(text, self);
    text += ",\n  \"type\": \"stdio\",\n  ";
    text += t.allowed;
    text += "\n}\n";
    file_replacement file(path, path);
    status s = file.open();
    if (s) s = file.write(reinterpret_cast<const unsigned char *>(text.c_str()), text.size());
    if (s) s = file.commit();
    if (!printed_ok(s)) return false;
    std::printf("Wrote %s for %s.\n", path.c_str(), t.browser);
    return true;
}

bool remove_manifest(const browser_target &t) {
    std::string path = manifest_path(t);
    auto mine = ours(path);
    if (!mine) return true;  // nothing to remove
    if (!*mine) {
        std::fprintf(stderr, "%s starts another program; kesp-browser leaves it alone.\n", path.c_str());
        return false;
    }
    if (::unlink(path.c_str()) != 0) {
        print_errno("Cannot remove " + path);
        return false;
    }
    std::printf("Removed %s.\n", path.c_str());
    return true;
}

int manage(bool install, int argc, char **argv) {
    bool firefox = false, chromium = false;
    optind = 2;
    auto done = read_options(program, argc, argv, [&](int c, const char *) {
        (c == 'f' ? firefox : chromium) = true;
        return true;
    });
    if (done) return *done;
    if (optind != argc) return bad_usage(program);
    std::string self;
    if (install) {
        char resolved[PATH_MAX];
        if (::realpath("/proc/self/exe", resolved) == nullptr) {
            print_errno("Cannot tell where kesp-browser is installed");
            return exit_failure;
        }
        self = resolved;
    }
    bool ok = true;
    for (const auto &t : targets(firefox, chromium))
        ok = (install ? write_manifest(t, self) : remove_manifest(t)) && ok;
    return ok ? exit_ok : exit_failure;
}

}  // namespace

int main(int argc, char **argv) {
    start_program();
    if (argc < 2) return bad_usage(program);
    std::string first = argv[1];
    if (first == "install") return manage(true, argc, argv);
    if (first == "uninstall") return manage(false, argc, argv);
    if (first == "-h" || first == "--help") return print_usage(program);
    if (first.starts_with("-")) return bad_usage(program);
    // The browser: Firefox gives the manifest's path and the extension's id,
    // Chromium the extension's origin (and a window); none of them matters.
    return serve();
}
