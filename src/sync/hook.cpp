// The hook and the clean filter of sync/sync.h.
#include "sync/sync.h"

#include <cerrno>
#include <string>
#include <unistd.h>

#include "memory/secret.h"
#include "state/files.h"
#include "sync/repository.h"
#include "vault/detect.h"

namespace {

// A text that holds NUL bytes, as the hook compares it after tr.
std::string without_nul(std::string text) {
    for (char &c : text)
        if (c == '\0') c = '@';
    return text;
}

}  // namespace

std::string sync_hook_script() {
    const std::string magic = container_magic_text();
    const std::string trailer = std::to_string(container_trailer_bytes());
    const std::string header = plain_db_header();
    return "#!/bin/sh\n"
           "# kesp-sync: a kesp database (merge=kesp in .gitattributes) is committed\n"
           "# only as an encrypted container: it does not start with SQLite's header,\n"
           "# and its trailer starts with " + magic + " " + trailer + " bytes before its end; no\n"
           "# SQLite side file of it is committed. Installed by kesp-sync init; see\n"
           "# kesp-sync(1).\n"
           "git -c core.quotePath=false ls-files --cached -- ':(attr:merge=kesp)' | {\n"
           "    status=0\n"
           "    while IFS= read -r db; do\n"
           "        size=$(git cat-file -s \":$db\" 2>/dev/null) || size=0\n"
           "        magic=$(git cat-file blob \":$db\" 2>/dev/null | tail -c " + trailer +
           " | head -c " + std::to_string(magic.size()) + ")\n"
           "        header=$(git cat-file blob \":$db\" 2>/dev/null | head -c " +
           std::to_string(header.size()) + " | tr '\\000' @)\n"
           "        if [ \"$size\" -lt " + trailer + " ] || [ \"$magic\" != " +
           shell_quoted(magic) + " ] ||\n"
           "           [ \"$header\" = " + shell_quoted(without_nul(header)) + " ]; then\n"
           "            echo \"kesp-sync: $db is not an encrypted kesp database;"
           " it is not committed (encrypt it with kesp -E).\" >&2\n"
           "            status=1\n"
           "        fi\n"
           "        for side in journal wal shm; do\n"
           "            if git cat-file -e \":$db-$side\" 2>/dev/null; then\n"
           "                echo \"kesp-sync: $db-$side is a side file of SQLite,"
           " which no encrypted database has; it is not committed (git rm --cached it).\" >&2\n"
           "                status=1\n"
           "            fi\n"
           "        done\n"
           "    done\n"
           "    exit $status\n"
           "}\n";
}

bool sync_clean_filter(const char *name) {
    // What git hands over may be a database in clear: kept in wiped memory.
    secret_string bytes;
    char chunk[65536];
    for (;;) {
        ssize_t got = ::read(0, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            print_errno("kesp-sync: standard input");
            wipe(chunk, sizeof chunk);
            return false;
        }
        if (got == 0) break;
        bytes.append({chunk, static_cast<std::size_t>(got)});
    }
    wipe(chunk, sizeof chunk);
    if (!is_encrypted_bytes(reinterpret_cast<const unsigned char *>(bytes.c_str()), bytes.size())) {
        std::fprintf(stderr,
                     "kesp-sync: %s is not an encrypted kesp database; git does not store it "
                     "(encrypt it with kesp -E).\n",
                     name);
        return false;
    }
    if (!write_all(1, bytes.view())) {
        print_errno("kesp-sync: standard output");
        return false;
    }
    return true;
}
