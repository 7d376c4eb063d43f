#include "formats/git_credential.h"

#include <cstring>

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char &c : out) c = lower(c);
    return out;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// %XX decoded; a '%' not followed by two hex digits stays as it is.
template <typename Text>
Text percent_decoded(std::string_view text) {
    Text out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() + 0 && hex_value(text[i + 1]) >= 0 &&
            hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string trimmed_path(std::string_view path) {
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    return std::string(path);
}

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string_view default_port(std::string_view protocol) {
    if (protocol == "http") return "80";
    if (protocol == "https") return "443";
    if (protocol == "ftp") return "21";
    if (protocol == "ftps") return "990";
    return "";
}

// "HOST[:PORT]", "[V6]" or "[V6]:PORT" into host and port: nothing when a
// port is no number or a bracket is not closed.
bool split_host(std::string_view text, std::string_view protocol, url_parts &out) {
    std::string_view host = text, port;
    if (!text.empty() && text.front() == '[') {
        std::size_t close = text.find(']');
        if (close == std::string_view::npos) return false;
        host = text.substr(0, close + 1);
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return false;
            port = rest.substr(1);
        }
    } else if (std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty()) return false;
    if (!port.empty() && !all_digits(port)) return false;
    // "host:" names no port, as in a URL.
    while (port.size() > 1 && port.front() == '0') port.remove_prefix(1);
    out.host = lowered(host);
    out.port = port == default_port(protocol) ? std::string() : std::string(port);
    return true;
}

// Splits URL text into its parts, keeping the user and password as
// written (percent-encoded).
struct raw_url {
    std::string_view protocol, user, password, host, path;
    bool has_user = false, has_password = false, has_path = false;
};

std::optional<raw_url> split_url(std::string_view url) {
    std::size_t scheme_end = url.find("://");
    if (scheme_end == std::string_view::npos || scheme_end == 0) return std::nullopt;
    raw_url out;
    out.protocol = url.substr(0, scheme_end);
    std::string_view rest = url.substr(scheme_end + 3);
    std::size_t authority_end = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, authority_end);
    std::string_view tail =
        authority_end == std::string_view::npos ? std::string_view() : rest.substr(authority_end);
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        std::string_view userinfo = authority.substr(0, at);
        authority = authority.substr(at + 1);
        out.has_user = true;
        if (std::size_t colon = userinfo.find(':'); colon != std::string_view::npos) {
            out.user = userinfo.substr(0, colon);
            out.password = userinfo.substr(colon + 1);
            out.has_password = true;
        } else {
            out.user = userinfo;
        }
    }
    if (authority.empty()) return std::nullopt;
    out.host = authority;
    if (!tail.empty() && tail.front() == '/') {
        std::size_t path_end = tail.find_first_of("?#");
        out.path = tail.substr(1, path_end == std::string_view::npos ? path_end : path_end - 1);
        out.has_path = true;
    }
    return out;
}

bool set_from_url(std::string_view url, credential_request &request) {
    auto raw = split_url(url);
    if (!raw) return false;
    credential_request fresh;
    fresh.protocol = lowered(raw->protocol);
    fresh.host = percent_decoded<std::string>(raw->host);
    if (raw->has_user) {
        fresh.username = percent_decoded<std::string>(raw->user);
        fresh.has_username = true;
    }
    if (raw->has_password) {
        fresh.password = percent_decoded<secret_string>(raw->password);
        fresh.has_password = true;
    }
    std::string path = trimmed_path(percent_decoded<std::string>(raw->path));
    if (!path.empty()) {
        fresh.path = path;
        fresh.has_path = true;
    }
    request = std::move(fresh);
    return true;
}

// The length of the path `mine` when it is `theirs` or a folder above it;
// nothing otherwise. Both without leading and trailing slashes.
std::optional<std::size_t> path_prefix(std::string_view mine, std::string_view theirs) {
    if (mine.empty()) return 0;
    if (theirs.size() < mine.size() || theirs.substr(0, mine.size()) != mine) return std::nullopt;
    if (theirs.size() > mine.size() && theirs[mine.size()] != '/') return std::nullopt;
    return mine.size();
}

bool unreserved_in_path(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("-._~/!$&'()*+,;=:@", c) != nullptr;
}

}  // namespace

bool credential_request_complete(std::string_view input) {
    return input.starts_with("\n") || input.starts_with("\r\n") ||
           input.find("\n\n") != std::string_view::npos ||
           input.find("\n\r\n") != std::string_view::npos;
}

std::optional<credential_request> parse_credential_request(std::string_view input) {
    if (input.size() > credential_input_limit) return std::nullopt;
    credential_request request;
    while (!input.empty()) {
        std::size_t end = input.find('\n');
        std::string_view line = input.substr(0, end);
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break;
        std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        std::string_view key = line.substr(0, equals), value = line.substr(equals + 1);
        bool known = key == "protocol" || key == "host" || key == "path" || key == "username" ||
                     key == "password" || key == "url";
        if (!known) continue;
        if (value.find('\0') != std::string_view::npos) return std::nullopt;
        if (key == "protocol") {
            request.protocol = lowered(value);
        } else if (key == "host") {
            request.host = std::string(value);
        } else if (key == "path") {
            request.path = trimmed_path(value);
            request.has_path = !request.path.empty();
        } else if (key == "username") {
            request.username = std::string(value);
            request.has_username = true;
        } else if (key == "password") {
            request.password.assign(value);
            request.has_password = true;
        } else if (!set_from_url(value, request)) {
            return std::nullopt;
        }
    }
    return request;
}

std::optional<url_parts> parse_url(std::string_view url) {
    auto raw = split_url(url);
    if (!raw) return std::nullopt;
    url_parts out;
    out.protocol = lowered(raw->protocol);
    if (!split_host(percent_decoded<std::string>(raw->host), out.protocol, out))
        return std::nullopt;
    out.path = trimmed_path(percent_decoded<std::string>(raw->path));
    return out;
}

std::optional<url_parts> request_location(const credential_request &request) {
    url_parts out;
    out.protocol = request.protocol;
    if (out.protocol.empty() || !split_host(request.host, out.protocol, out)) return std::nullopt;
    out.path = request.path;
    return out;
}

std::size_t credential_match_rank(const entry &e, const credential_request &request) {
    auto wanted = request_location(request);
    auto have = parse_url(text_or_empty(e.url));
    if (!wanted || !have) return 0;
    if (have->protocol != wanted->protocol || have->host != wanted->host ||
        have->port != wanted->port)
        return 0;
    if (request.has_username && request.username != text_or_empty(e.user)) return 0;
    std::size_t length = 0;
    if (request.has_path) {
        auto prefix = path_prefix(have->path, wanted->path);
        if (!prefix) return 0;
        length = *prefix;
    }
    return length + 1;
}

bool credential_value_printable(const char *text) {
    return std::strpbrk(text_or_empty(text), "\n\r") == nullptr;
}

const entry *best_credential_match(const entry *first, const credential_request &request,
                                   bool printable_only) {
    const entry *best = nullptr;
    std::size_t best_rank = 0;
    for (const entry *e = first; e != nullptr; e = e->next) {
        std::size_t rank = credential_match_rank(*e, request);
        if (rank == 0) continue;
        if (printable_only &&
            (!credential_value_printable(e->user) || !credential_value_printable(e->password)))
            continue;
        int order = 0;
        if (best != nullptr && rank == best_rank) {
            order = std::strcmp(text_or_empty(e->timestamp), text_or_empty(best->timestamp));
            if (order == 0) order = e->id > best->id ? 1 : -1;
        }
        if (best == nullptr || rank > best_rank || order > 0) {
            best = e;
            best_rank = rank;
        }
    }
    return best;
}

secret_string credential_answer(const entry &e) {
    secret_string out;
    if (*text_or_empty(e.user) != '\0') {
        out += "username=";
        out += text_or_empty(e.user);
        out += '\n';
    }
    out += "password=";
    out += text_or_empty(e.password);
    out += '\n';
    return out;
}

std::string credential_entry_url(const credential_request &request) {
    std::string url = request.protocol + "://" + request.host;
    if (!request.path.empty()) {
        url += '/';
        static const char digits[] = "0123456789ABCDEF";
        for (unsigned char c : request.path) {
            if (unreserved_in_path(static_cast<char>(c))) {
                url += static_cast<char>(c);
            } else {
                url += '%';
                url += digits[c >> 4];
                url += digits[c & 15];
            }
        }
    }
    return url;
}

entry_ptr credential_new_entry(const credential_request &request) {
    return entry_ptr(entry_new(request.host.c_str(), request.username.c_str(),
                               credential_entry_url(request).c_str(), request.password.c_str(),
                               stored_by_helper_note));
}

bool stored_by_helper(const entry &e, const credential_request &request) {
    return std::strcmp(text_or_empty(e.notes), stored_by_helper_note) == 0 &&
           request.host == text_or_empty(e.title) &&
           request.username == text_or_empty(e.user) && credential_match_rank(e, request) > 0;
}
