#include "clipboard/backend.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "clipboard/helper.h"
#include "state/files.h"

namespace {

// Reading the clipboard asks its owner, which may hang; clearing must not.
constexpr auto read_timeout = std::chrono::seconds(2);

// The paste buffer of tmux that holds the copy.
constexpr const char *tmux_buffer = "kesp-clip";

const char *env_or_empty(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Absolute path of `program` in the absolute folders of `path`, or "".
// Relative folders are skipped: a helper that gets the secret must not come
// from wherever the working folder happens to be.
std::string find_program(const std::string &path, const char *program) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string folder = path.substr(start, end - start);
        start = end + 1;
        if (folder.empty() || folder[0] != '/') continue;
        std::string candidate = folder + "/" + program;
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

// The tmux server that TMUX names, when it is a socket path and tmux is found.
void find_tmux(const clip_environment &env, clip_backend &backend) {
    std::string socket = env.tmux.substr(0, env.tmux.find(','));
    if (socket.empty() || socket[0] != '/') return;
    backend.tmux = find_program(env.path, "tmux");
    if (!backend.tmux.empty()) backend.tmux_socket = socket;
}

helper_run tmux_run(const clip_backend &backend, std::initializer_list<std::string> args) {
    helper_run run;
    run.argv = {backend.tmux, "-S", backend.tmux_socket};
    run.argv.insert(run.argv.end(), args);
    return run;
}

std::optional<secret_string> tmux_read(const clip_backend &backend, const std::string &name) {
    secret_string text;
    helper_run run = tmux_run(backend, {"save-buffer", "-b", name, "-"});
    run.output = &text;
    run.timeout = read_timeout;
    run.quiet = true;  // a buffer that is gone is no error here
    if (!run_helper(run)) return std::nullopt;
    return text;
}

// Deletes every paste buffer that holds the text `copied` describes: ours,
// and those tmux made itself from the OSC 52, pushed down by later copies.
bool tmux_forget(const clip_backend &backend, const clip_digest &copied) {
    secret_string names;
    helper_run list = tmux_run(backend, {"list-buffers", "-F", "#{buffer_name}"});
    list.output = &names;
    if (!run_helper(list)) return false;
    bool deleted = true;
    std::string_view rest = names.view();
    while (!rest.empty()) {
        std::string name(rest.substr(0, rest.find('\n')));
        rest.remove_prefix(std::min(rest.size(), name.size() + 1));
        auto text = tmux_read(backend, name);
        if (text && clip_matches(text->view(), copied))
            deleted = run_helper(tmux_run(backend, {"delete-buffer", "-b", name})) && deleted;
    }
    return deleted;
}

bool write_terminal(const clip_backend &backend, std::string_view text) {
    secret_string sequence = osc52_sequence(text);
    if (write_all(backend.terminal, sequence.view())) return true;
    print_errno("Cannot write to the terminal");
    return false;
}

}  // namespace

clip_environment current_clip_environment() {
    return {env_or_empty("WAYLAND_DISPLAY"), env_or_empty("DISPLAY"), env_or_empty("PATH"),
            ::isatty(STDERR_FILENO) == 1, env_or_empty("TMUX")};
}

std::optional<clip_backend> choose_backend(const clip_environment &env, std::string &why) {
    clip_backend backend;
    if (!env.wayland_display.empty()) {
        backend.copier = find_program(env.path, "wl-copy");
        if (!backend.copier.empty()) {
            backend.kind = clip_kind::wayland;
            backend.reader = find_program(env.path, "wl-paste");
            return backend;
        }
    }
    if (!env.display.empty()) {
        backend.kind = clip_kind::xclip;
        backend.copier = find_program(env.path, "xclip");
        if (backend.copier.empty()) {
            backend.kind = clip_kind::xsel;
            backend.copier = find_program(env.path, "xsel");
        }
        if (!backend.copier.empty()) {
            backend.reader = backend.copier;
            return backend;
        }
    }
    if (!env.wayland_display.empty() || !env.display.empty()) {
        why = "No clipboard helper found: install ";
        if (!env.wayland_display.empty()) why += "wl-clipboard (for Wayland)";
        if (!env.wayland_display.empty() && !env.display.empty()) why += ", or ";
        if (!env.display.empty()) why += "xclip or xsel (for X11)";
        why += ".\n";
        return std::nullopt;
    }
    if (env.terminal_on_stderr) {
        backend.kind = clip_kind::osc52;
        backend.terminal = STDERR_FILENO;
        if (!env.tmux.empty()) find_tmux(env, backend);
        return backend;
    }
    why = "No clipboard to copy to: neither WAYLAND_DISPLAY nor DISPLAY is set, and standard "
          "error is not a terminal.\nIn a desktop session install wl-clipboard (Wayland) or "
          "xclip or xsel (X11); elsewhere run this on a terminal that accepts OSC 52.\n";
    return std::nullopt;
}

namespace {

// What each helper is told to write, read and clear the clipboard
// (wayland, xclip, xsel), after the program's own path.
struct helper_words {
    std::vector<std::string> write, read, clear;
};
const helper_words &words_for(clip_kind kind) {
    static const helper_words wayland{
        // A type of our own spares wl-copy guessing it from the content.
        {"--type", "text/plain;charset=utf-8"}, {"--no-newline", "--type", "text"}, {"--clear"}};
    // xclip cannot give the selection up; it takes it with nothing in it,
    // and the xclip that served the copy ends.
    static const helper_words xclip{{"-selection", "clipboard", "-in"},
                                    {"-selection", "clipboard", "-out"},
                                    {"-selection", "clipboard", "-in"}};
    static const helper_words xsel{
        {"--clipboard", "--input"}, {"--clipboard", "--output"}, {"--clipboard", "--clear"}};
    return kind == clip_kind::wayland ? wayland : kind == clip_kind::xclip ? xclip : xsel;
}

std::vector<std::string> helper_argv(const std::string &program,
                                     const std::vector<std::string> &words) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), words.begin(), words.end());
    return argv;
}

}  // namespace

bool clip_write(const clip_backend &backend, std::string_view text) {
    helper_run run;
    run.input = text;
    if (backend.kind == clip_kind::osc52) {
        if (!backend.tmux.empty()) {
            helper_run load = tmux_run(backend, {"load-buffer", "-b", tmux_buffer, "-"});
            load.input = text;
            if (!run_helper(load)) return false;
        }
        if (write_terminal(backend, text)) return true;
        // No clearer will come for a copy that failed.
        if (!backend.tmux.empty()) run_helper(tmux_run(backend, {"delete-buffer", "-b", tmux_buffer}));
        return false;
    }
    run.argv = helper_argv(backend.copier, words_for(backend.kind).write);
    return run_helper(run);
}

std::optional<secret_string> clip_read(const clip_backend &backend) {
    if (backend.reader.empty()) return std::nullopt;
    secret_string text;
    helper_run run;
    run.output = &text;
    run.timeout = read_timeout;
    run.quiet = true;  // an empty clipboard is an error to every reader
    if (backend.kind == clip_kind::osc52) return std::nullopt;
    run.argv = helper_argv(backend.reader, words_for(backend.kind).read);
    if (!run_helper(run) || text.empty()) return std::nullopt;
    return text;
}

clip_check clip_compare(const clip_backend &backend, const clip_digest &digest) {
    std::optional<secret_string> now;
    if (backend.kind == clip_kind::osc52 && !backend.tmux.empty())
        now = tmux_read(backend, tmux_buffer);
    else if (backend.kind != clip_kind::osc52 && !backend.reader.empty())
        now = clip_read(backend);
    else
        return clip_check::unreadable;
    return now && clip_matches(now->view(), digest) ? clip_check::holds : clip_check::differs;
}

bool clip_clear(const clip_backend &backend, const clip_digest &copied) {
    if (backend.kind == clip_kind::osc52) {
        // Both, whatever the first did: the window may have closed since.
        bool cleared = write_terminal(backend, "");
        return (backend.tmux.empty() || tmux_forget(backend, copied)) && cleared;
    }
    helper_run run;
    run.argv = helper_argv(backend.copier, words_for(backend.kind).clear);
    return run_helper(run);
}

void clip_hash(std::string_view text, clip_digest &digest) {
    EVP_Digest(text.data(), text.size(), digest.data, nullptr, EVP_sha256(), nullptr);
}

bool clip_matches(std::string_view text, const clip_digest &digest) {
    clip_digest seen;
    clip_hash(text, seen);
    return CRYPTO_memcmp(seen.data, digest.data, sizeof seen.data) == 0;
}

secret_string osc52_sequence(std::string_view text) {
    wiped_buffer encoded(4 * ((text.size() + 2) / 3) + 1);
    int length = EVP_EncodeBlock(encoded.data(), reinterpret_cast<const unsigned char *>(text.data()),
                                 static_cast<int>(text.size()));
    secret_string sequence("\033]52;c;");
    sequence.append({reinterpret_cast<const char *>(encoded.data()), static_cast<std::size_t>(length)});
    sequence += '\a';
    return sequence;
}
