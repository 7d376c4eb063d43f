#include "clipboard/copy.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "clipboard/backend.h"
#include "clipboard/clearer.h"
#include "output/display.h"
#include "state/numbers.h"

namespace {

constexpr int default_seconds = 45;


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
    if (!copied) return false;

    if (seconds > 0 && !start_clearer(std::move(*slot), *backend, digest, std::move(previous), seconds)) {
        clip_clear(*backend);
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
