// The browserpass extension's native messaging protocol, and how kesp's
// entries look through it. Pure work on texts and entries: no file, no
// database; the program reads the frames and the entries.
//
// Each message, both ways, is a 4-byte length in the machine's own byte
// order followed by that many bytes of UTF-8 JSON. A request is an object
// with "action" (configure, list, fetch or echo here) and "settings" (the
// extension's, with its stores keyed by an id of its own: "default" for the
// host's store). A reply is {"status":"ok","version":V,"data":...} or
// {"status":"error","code":C,"version":V,"params":{"message":...}}.
//
// kesp is one store. `list` names each entry that has a URL HOST/USER.gpg
// (HOST/TITLE.gpg without a user), which the extension matches against the
// tab's domain; `fetch` gives the password on the first line, then
// "login: USER", "url: URL" and the notes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "memory/secret.h"
#include "store/entry.h"

// The largest message either way; the browser refuses longer replies.
inline constexpr std::size_t browser_message_limit = 1 << 20;
inline constexpr std::size_t browser_header_size = 4;

// 3.0.3: the extension offers saving and deleting only from 3.1.0 on.
inline constexpr int browser_protocol_version = 3000003;

// The error codes of the replies.
enum class browser_error : int {
    too_long = 10,       // a request over browser_message_limit
    malformed = 11,      // no JSON object, or a field of the wrong type
    unknown_action = 12,
    locked = 13,         // the database is encrypted and no agent holds it
    unavailable = 14,    // no active database, or the store failed
    no_such_entry = 15,
    reply_too_long = 16, // the answer would exceed browser_message_limit
};

enum class browser_action { configure, list, fetch, echo };

struct browser_request {
    browser_action action = browser_action::echo;
    std::string store = "default";  // the id that list's reply is keyed by
    std::string file;               // fetch: the name asked for
    std::string echo;               // echo: "echoResponse" as JSON text ("null" without)
};

// The length a header gives.
std::uint32_t browser_frame_length(const unsigned char (&header)[browser_header_size]);

// `json` with its header in front.
secret_string browser_frame(std::string_view json);

// Reads a request; nothing after putting the error reply in `error_reply`.
std::optional<browser_request> parse_browser_request(std::string_view json,
                                                     std::string &error_reply);

// {"status":"error",...} with `message`.
std::string browser_error_reply(browser_error code, std::string_view message);

// The reply to configure: the default store, its settings an empty object
// written as a JSON text, as the extension expects.
std::string browser_configure_reply();

// The reply to echo: the request's echoResponse as data.
std::string browser_echo_reply(const browser_request &request);

// The names of the entries of the chain starting at `first` that the
// browser can use, in id order, each with its entry: entries with a URL
// that names a host, whose password, user and URL the text of a fetch can
// carry. Names are unique: a name taken already gets " (ID)" added.
struct browser_name {
    std::string name;  // "HOST/USER.gpg"
    const entry *e;
};
std::vector<browser_name> browser_names(const entry *first);

// The reply to list: {"files":{STORE:[names]}}.
std::string browser_list_reply(const std::vector<browser_name> &names, const std::string &store);

// The text of a fetch for `e`: PASSWORD (or "password: PASSWORD" when the
// extension would read the bare password as a field of its own), then
// "login: USER", "url: URL" and the notes, where a line that the extension
// would take for the password is shown as "notes: LINE".
secret_string browser_fetch_text(const entry &e);

// The reply to fetch: {"contents": TEXT}, or the error reply when no
// listed name is `request.file`.
secret_string browser_fetch_reply(const std::vector<browser_name> &names,
                                  const browser_request &request);

// Appends `text` as a JSON string (quoted, escaped; bytes that are no
// UTF-8 become U+FFFD).
void append_json_string(secret_string &out, std::string_view text);

// True when the host manifest `text` starts a program named kesp-browser:
// one that kesp-browser install wrote.
bool browser_manifest_is_kesp(std::string_view text);
