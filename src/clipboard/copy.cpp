#include "clipboard/copy.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "clipboard/backend.h"
#include "clipboard/clearer.h"
#include "output/display.h"
#include "state/numbers.h"

namespace {

constexpr int default_seconds = 45;

// A helper that forks may hand the copy to its background process only
// after its foreground one has ended (xsel does), so the check that the
// copy arrived looks a few times.
constexpr int arrival_checks = 10;
constexpr auto arrival_pause = std::chrono::milliseconds(100);

std::string copier_name(const clip_backend &backend) {
    const std::string &path = backend.kind == clip_kind::osc52 ? backend.tmux : backend.copier;
    return path.substr(path.rfind('/') + 1);
}

// True unless the clipboard can be read back and does not hold the copy
// that `digest` describes; says so then.
bool copy_arrived(const clip_backend &backend, const clip_digest &digest) {
    for (int check = 1;; ++check) {
        clip_check seen = clip_compare(backend, digest);
        if (seen != clip_check::differs) return true;
        if (check == arrival_checks) break;
        std::this_thread::sleep_for(arrival_pause);
    }
    std::fprintf(stderr, "The copy is not on the clipboard (%s did not keep it).\n",
                 copier_name(backend).c_str());
    return false;
}

}  // namespace

std::optional<int> clip_seconds(const char *option) {
    const char *from = "-t";
    const char *text = option;
    if (text == nullptr) {
        text = std::getenv("KESP_CLIP_TIME");
        from = "KESP_CLIP_TIME";
        if (text == nullptr || text[0] == '\0') return default_seconds;
    }
    auto seconds = parse_whole_number(text, 0, 999999999);
    if (!seconds)
        std::fprintf(stderr, "%s must be a whole number of seconds (0 for never), not \"%s\".\n",
                     from, text);
    return seconds;
}

std::string entry_label(const entry &e) {
    secret_string title;
    append_visible(title, text_or_empty(e.title), ::isatty(STDERR_FILENO) == 1);
    return "entry " + std::to_string(e.id) + " (" + std::string(title.view()) + ")";
}

bool copy_secret(secret_string &secret, const char *what, const std::string &label, int seconds) {
    if (secret.empty()) {
        // Copying it would only empty the clipboard and lose what it held.
        std::fprintf(stderr, "The %s of %s is empty; nothing was copied.\n", what, label.c_str());
        return false;
    }
    std::string why;
    auto backend = choose_backend(current_clip_environment(), why);
    if (!backend) {
        secret.clear();
        std::fputs(why.c_str(), stderr);
        return false;
    }
    auto slot = take_clip_slot();
    if (!slot) {
        secret.clear();
        return false;
    }
    std::optional<secret_string> previous;
    if (seconds > 0) previous = clip_read(*backend);
    bool copied = clip_write(*backend, secret.view());
    clip_digest digest;
    clip_hash(secret.view(), digest);
    secret.clear();
    if (!copied || !copy_arrived(*backend, digest)) return false;
    // What the clipboard held was this very secret: putting it back would
    // keep it there for good, and the clearer must not hold it.
    if (previous && clip_matches(previous->view(), digest)) previous.reset();

    if (seconds > 0 && !start_clearer(std::move(*slot), *backend, digest, std::move(previous), seconds)) {
        clip_clear(*backend, digest);
        return false;
    }
    std::string copied_what = what;
    if (!label.empty()) copied_what += " of " + label;
    if (seconds > 0)
        std::fprintf(stderr, "Copied the %s; clearing in %d s.\n", copied_what.c_str(), seconds);
    else
        std::fprintf(stderr, "Copied the %s; it will not be cleared.\n", copied_what.c_str());
    return true;
}
