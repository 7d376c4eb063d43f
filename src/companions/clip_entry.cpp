#include "companions/clip_entry.h"

#include "clipboard/copy.h"
#include "companions/companion.h"
#include "memory/secret.h"
#include "otp/entry_code.h"
#include "vault/session.h"

int copy_entry_secret(int id, bool otp, int seconds) {
    entry_ptr e = read_entry(id);
    if (!e) return exit_failure;
    std::string label = entry_label(*e);
    secret_string secret;
    if (otp) {
        auto code = current_entry_code(*e, label);
        if (!code) return exit_failure;
        secret = std::move(code->digits);
    } else {
        secret.assign(text_or_empty(e->password));
    }
    // Nothing of the entry may reach the clearer that copy_secret forks.
    e.reset();
    return copy_secret(secret, otp ? "one-time code" : "password", label, seconds) ? exit_ok
                                                                                    : exit_failure;
}
