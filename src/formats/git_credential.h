// git's credential helper protocol (gitcredentials(7)), and which entries
// answer a request. Pure work on texts and entries: no file, no database.
//
// git writes `key=value` lines, ended by a blank line or the end of its
// input. The keys read here are protocol, host (with ":port" when the URL
// had one), path, username, password and url; every other key is ignored.
// A `url=` line stands for the whole URL: it clears what came before and
// gives protocol, host, path, user and password from the URL (the user,
// password, host and path percent-decoded, as git does); later lines may
// still override single fields.
//
// An entry matches a request when its URL holds the request's protocol and
// host (host names compared without regard to case, a port only with the
// same port, a port that is the protocol's default the same as none), and,
// when git sent a path, a path that is git's path or a folder above it, and,
// when git sent a user name, that user name in the entry's user field.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "memory/secret.h"
#include "store/entry.h"

// The input git may send, at most: a request is a handful of short lines.
inline constexpr std::size_t credential_input_limit = 1 << 20;

struct credential_request {
    std::string protocol;  // lower case
    std::string host;      // as git sent it; may be "[::1]:8080"
    std::string path;      // decoded, no leading or trailing slash
    std::string username;
    secret_string password;
    bool has_path = false;
    bool has_username = false;
    bool has_password = false;
};

// Reads a request from `input`: the lines up to the first blank line (a
// line may end in "\r\n"), or all of it. Lines without '=' and unknown keys
// are ignored. Nothing (a malformed request, to be answered by nothing)
// when the input is over credential_input_limit, when a value of a known
// key holds a NUL, or when a `url=` value is no URL with a protocol and a
// host.
std::optional<credential_request> parse_credential_request(std::string_view input);

// True when the input read so far holds the blank line that ends a request.
bool credential_request_complete(std::string_view input);

// The parts of an entry's URL text "PROTOCOL://[USER[:PASS]@]HOST[:PORT][/PATH][?...][#...]";
// nothing when it has no protocol or no host.
struct url_parts {
    std::string protocol;  // lower case
    std::string host;      // lower case, brackets of an IPv6 address kept
    std::string port;      // digits, empty when none (or the protocol's default)
    std::string path;      // decoded, no leading or trailing slash
};
std::optional<url_parts> parse_url(std::string_view url);

// The request's host split as url_parts holds it (lower case, the default
// port dropped); nothing when the host is empty or its port is no number.
std::optional<url_parts> request_location(const credential_request &request);

// How well `e` answers `request`: the length of its matching path (0 for an
// entry without a path, or when git sent none) plus one; 0 when it does not
// match.
std::size_t credential_match_rank(const entry &e, const credential_request &request);

// True when the protocol can carry `text` as a value: no newline, no
// carriage return (git drops one at a line's end).
bool credential_value_printable(const char *text);

// Of the entries of the chain starting at `first`, the one answering
// `request`: the longest matching path, then the latest modification, then
// the highest id. With `printable_only`, entries whose user or password the
// protocol cannot carry are passed over. nullptr when none.
const entry *best_credential_match(const entry *first, const credential_request &request,
                                   bool printable_only);

// git's answer to `get` for `e`: "username=USER\n" (when it has one) and
// "password=PASSWORD\n".
secret_string credential_answer(const entry &e);

// The texts of the entry git-credential-kesp stores for a request that no
// entry matches: title HOST, URL PROTOCOL://HOST[/PATH] (the path
// percent-encoded where a URL needs it), git's user and password.
inline constexpr const char *stored_by_helper_note = "Stored by git-credential-kesp.";
std::string credential_entry_url(const credential_request &request);
entry_ptr credential_new_entry(const credential_request &request);

// True when `e` holds exactly what credential_new_entry makes of a request
// with its user and password: its notes are stored_by_helper_note, and its
// title, URL and user are those the helper gives. Whether anything changed
// it since is for the caller to tell (from the record of versions).
bool stored_by_helper(const entry &e, const credential_request &request);
