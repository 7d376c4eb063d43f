// The JSON formats: Bitwarden's unencrypted export and kesp's own. The
// document lives in a json type whose every block (strings included) comes
// from the wiping allocator, so the passwords it held are wiped with it.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "formats/internal.h"
#include "formats/times.h"

namespace {

using wiped_std_string = std::basic_string<char, std::char_traits<char>, wiping_allocator<char>>;
using json = nlohmann::basic_json<nlohmann::ordered_map, std::vector, wiped_std_string, bool,
                                  std::int64_t, std::uint64_t, double, wiping_allocator>;

// A JSON number that is not an integer (or too large for one) would be
// rounded to a double; the parser keeps it instead as the text it was
// written as, in a string marked by a leading NUL, which no string read
// from the file holds (parse_json refuses \u0000 first).
constexpr char raw_number_mark = '\0';

bool is_raw_number(const json &value) {
    if (!value.is_string()) return false;
    const auto &s = value.get_ref<const wiped_std_string &>();
    return !s.empty() && s.front() == raw_number_mark;
}

const json *member(const json &object, const char *key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::string_view view(const wiped_std_string &s) { return {s.data(), s.size()}; }

// `value` as compact JSON, numbers as written.
void append_json(secret_string &out, const json &value) {
    auto quoted = [&out](const wiped_std_string &s) {
        auto dumped = json(s).dump();
        out += view(dumped);
    };
    if (is_raw_number(value)) {
        out += view(value.get_ref<const wiped_std_string &>()).substr(1);
    } else if (value.is_object()) {
        out += '{';
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (it != value.begin()) out += ',';
            quoted(it.key());
            out += ':';
            append_json(out, it.value());
        }
        out += '}';
    } else if (value.is_array()) {
        out += '[';
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (it != value.begin()) out += ',';
            append_json(out, *it);
        }
        out += ']';
    } else {
        auto dumped = value.dump();
        out += view(dumped);
    }
}

// A value as text: strings as they are, null and missing as empty, anything
// else as its JSON so that nothing is lost.
secret_string text_of(const json *value) {
    if (value == nullptr || value->is_null()) return {};
    if (value->is_string() && !is_raw_number(*value))
        return secret_string(view(value->get_ref<const wiped_std_string &>()));
    secret_string text;
    append_json(text, *value);
    return text;
}

secret_string text_of(const json &object, const char *key) { return text_of(member(object, key)); }

bool is_true(const json *value) { return value != nullptr && value->is_boolean() && value->get<bool>(); }

// "line L, column C: what" for byte `at` of `text`, columns counted in bytes
// from 1.
std::string json_position(std::string_view text, std::size_t at, const char *what) {
    if (at > text.size()) at = text.size();
    std::size_t line_start = at == 0 ? std::string_view::npos : text.rfind('\n', at - 1);
    line_start = line_start == std::string_view::npos ? 0 : line_start + 1;
    return "line " + std::to_string(line_at(text, at)) + ", column " +
           std::to_string(at - line_start + 1) + ": " + what;
}

// What the parser cannot be trusted with, found by one pass over the text:
// nesting deeper than nesting_limit, and a NUL escaped in a string (kesp's
// texts end at a NUL, so the value would be cut). Empty when neither.
std::string unsafe_json(std::string_view text) {
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (in_string) {
            if (c == '"') in_string = false;
            if (c != '\\') continue;
            if (text.substr(i + 1, 5) == "u0000")
                return json_position(text, i, "a NUL character (\\u0000) in a string");
            ++i;  // the escaped character cannot end the string
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > nesting_limit)
                return json_position(text, i, ("nested more than " + std::to_string(nesting_limit) +
                                               " levels deep").c_str());
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return "";
}

// The DOM builder of the library, but with numbers that a double would
// round kept as written, and the place of a failure remembered. The
// parser's own message quotes the input, which may be a password: not used.
class exact_dom_builder : public nlohmann::detail::json_sax_dom_parser<json> {
public:
    explicit exact_dom_builder(json &doc) : json_sax_dom_parser(doc, false) {}
    bool number_float(number_float_t, const string_t &written) {
        string_t marked(1, raw_number_mark);
        marked += written;
        return string(marked);
    }
    template <class Exception>
    bool parse_error(std::size_t at, const std::string &token, const Exception &ex) {
        failed_at = at;
        return json_sax_dom_parser::parse_error(at, token, ex);
    }
    std::optional<std::size_t> failed_at;  // counts from 1, just past the offending byte
};

// The document of `text`, or nothing with result.error set.
std::optional<json> read_document(std::string_view text, parse_result &result) {
    if (std::string unsafe = unsafe_json(text); !unsafe.empty()) {
        result.error = unsafe;
        return std::nullopt;
    }
    json doc;
    exact_dom_builder builder(doc);
    // The parser itself, not json::sax_parse: that one also instantiates the
    // binary readers, which do not compile with a string type of our own.
    using adapter = nlohmann::detail::iterator_input_adapter<const char *>;
    nlohmann::detail::parser<json, adapter> parser(adapter(text.data(), text.data() + text.size()),
                                                   nullptr, false, false);
    if (parser.sax_parse(&builder, true) && !builder.failed_at) return doc;
    std::size_t at = builder.failed_at.value_or(1);
    result.error = json_position(text, at > 0 ? at - 1 : 0, "invalid JSON");
    return std::nullopt;
}

// Card and identity fields in the order a person reads them. The secret
// ones are kept out of the notes, which every listing shows.
struct labelled {
    const char *key;
    const char *label;
    bool secret = false;
};
constexpr labelled card_fields[] = {
    {"cardholderName", "Cardholder"}, {"brand", "Brand"}, {"number", "Card number", true},
    {"expMonth", "Expiry month"}, {"expYear", "Expiry year"}, {"code", "Security code", true},
};
constexpr labelled identity_fields[] = {
    {"title", "Title"}, {"firstName", "First name"}, {"middleName", "Middle name"},
    {"lastName", "Last name"}, {"username", "Username"}, {"company", "Company"},
    {"email", "Email"}, {"phone", "Phone"}, {"address1", "Address"}, {"address2", "Address"},
    {"address3", "Address"}, {"city", "City"}, {"state", "State"}, {"postalCode", "Postal code"},
    {"country", "Country"}, {"ssn", "SSN", true}, {"passportNumber", "Passport number", true},
    {"licenseNumber", "License number", true},
};

// The secret fields of a card or identity, by label, in reading order.
using secret_fields = std::vector<std::pair<const char *, secret_string>>;

// Every non-empty member of a card or identity, the known ones labelled,
// any others under their own names; the secret ones go to `secrets`.
template <std::size_t N>
void add_object(notes_builder &notes, secret_fields &secrets, const json *object,
                const labelled (&known)[N]) {
    if (object == nullptr || !object->is_object()) return;
    for (const auto &k : known) {
        secret_string value = text_of(*object, k.key);
        if (value.empty()) continue;
        if (k.secret)
            secrets.emplace_back(k.label, std::move(value));
        else
            notes.add(notes_builder::other, k.label, value);
    }
    for (auto it = object->begin(); it != object->end(); ++it) {
        bool listed = false;
        for (const auto &k : known) listed = listed || it.key() == k.key;
        secret_string value = text_of(&it.value());
        if (!listed && !value.empty())
            notes.add(notes_builder::other, std::string_view(it.key().data(), it.key().size()), value);
    }
}

// Folder names by folder id; the first folder of an id counts.
std::map<std::string, secret_string> folder_names(const json &doc) {
    std::map<std::string, secret_string> names;
    const json *folders = member(doc, "folders");
    if (folders == nullptr || !folders->is_array()) return names;
    for (const auto &f : *folders) names.emplace(std::string(text_of(f, "id").view()), text_of(f, "name"));
    return names;
}

// The login part of an item: user, password, URLs; its TOTP into `totp`.
void take_login(const json &item, transfer_record &r, notes_builder &notes, secret_string &totp,
                parse_result &result) {
    const json *login = member(item, "login");
    if (login == nullptr || !login->is_object()) return;
    r.user = text_of(*login, "username");
    r.password = text_of(*login, "password");
    totp = text_of(*login, "totp");
    if (const json *uris = member(*login, "uris"); uris != nullptr && uris->is_array()) {
        bool first = true;
        for (const auto &u : *uris) {
            secret_string uri = u.is_object() ? text_of(u, "uri") : text_of(&u);
            if (first) r.url = uri;
            else if (!uri.empty()) notes.add(notes_builder::url, "URL", uri);
            first = false;
        }
    }
    if (const json *keys = member(*login, "fido2Credentials");
        keys != nullptr && keys->is_array() && !keys->empty())
        count_skipped(result, "Bitwarden passkeys", keys->size());
}

// A card number, a security code, an SSN are as secret as a password, so
// they become the password, which listings mask: the values in reading
// order after any login password, " / " between them, and a notes line
// "Password holds: Card number / Security code" that says what is where.
void take_secrets(secret_fields &secrets, transfer_record &r, notes_builder &notes) {
    if (secrets.empty()) return;
    if (!r.password.empty()) secrets.insert(secrets.begin(), {"Password", std::move(r.password)});
    secret_string password, labels;
    for (const auto &[label, value] : secrets) {
        if (!password.empty()) {
            password += " / ";
            labels += " / ";
        }
        password += value.view();
        labels += label;
    }
    r.password = std::move(password);
    notes.add(notes_builder::other, "Password holds", labels);
}

// One item of kind 1 to 4 (login, note, card, identity) as a record.
bool take_item(const json &item, std::int64_t kind,
               const std::map<std::string, secret_string> &folders, parse_result &result) {
    transfer_record r;
    notes_builder notes;
    r.title = text_of(item, "name");
    secret_string folder = text_of(item, "folderId");
    if (auto named = folders.find(std::string(folder.view()));
        !folder.empty() && named != folders.end())
        folder = named->second;
    if (!folder.empty()) notes.add(notes_builder::folder, "Folder", folder);
    secret_string totp;
    take_login(item, r, notes, totp, result);
    if (const json *fields = member(item, "fields"); fields != nullptr && fields->is_array())
        for (const auto &f : *fields) {
            // Type 1 is a hidden field, shown only on request in Bitwarden too.
            const json *type = member(f, "type");
            const bool hidden = type != nullptr && type->is_number_integer() && type->get<std::int64_t>() == 1;
            if (hidden)
                notes.add_hidden(notes_builder::field, text_of(f, "name"), text_of(f, "value"));
            else
                notes.add(notes_builder::field, text_of(f, "name"), text_of(f, "value"));
        }
    secret_fields secrets;
    if (kind == 3) add_object(notes, secrets, member(item, "card"), card_fields);
    if (kind == 4) add_object(notes, secrets, member(item, "identity"), identity_fields);
    take_secrets(secrets, r, notes);
    if (is_true(member(item, "favorite"))) notes.add(notes_builder::other, "Favorite", "true");
    if (const json *history = member(item, "passwordHistory");
        history != nullptr && history->is_array() && !history->empty())
        count_skipped(result, "Bitwarden old passwords", history->size());
    secret_string revised = text_of(item, "revisionDate");
    take_time(local_from_iso8601(revised), "revisionDate", revised, r, notes);
    notes.add_totp(totp, r.title);
    r.notes = notes.finish(text_of(item, "notes"));
    return add_record(result, std::move(r));
}

void parse_bitwarden(const json &doc, parse_result &result) {
    if (is_true(member(doc, "encrypted")) || is_true(member(doc, "passwordProtected"))) {
        result.error = "the file is an encrypted Bitwarden export; export again as unencrypted JSON";
        return;
    }
    const json *items = member(doc, "items");
    if (items == nullptr || !items->is_array()) {
        result.error = "no \"items\" array";
        return;
    }
    const auto folders = folder_names(doc);
    for (const auto &item : *items) {
        const json *type = member(item, "type");
        std::int64_t kind = type != nullptr && type->is_number_integer() ? type->get<std::int64_t>() : 0;
        if (kind == 5) {
            count_skipped(result, "Bitwarden SSH keys");
        } else if (kind < 1 || kind > 4) {
            skip_bitwarden_type(result, text_of(type).view());
        } else if (!take_item(item, kind, folders, result)) {
            return;
        }
    }
    result.ok = true;
}

// The versions of `history` (an array) into `out`, each time in kesp's
// own format: kesp-history prints them as they are stored. `where` names
// the entry in messages. False with result.error set.
bool read_kesp_versions(const json &history, const std::string &where,
                        std::vector<transfer_version> &out, parse_result &result) {
    if (!history.is_array()) {
        result.error = where + ": \"history\" is not an array";
        return false;
    }
    for (const auto &h : history) {
        transfer_version v;
        v.title = text_of(h, "title");
        v.user = text_of(h, "username");
        v.url = text_of(h, "url");
        v.password = text_of(h, "password");
        v.notes = text_of(h, "notes");
        v.modified = text_of(h, "modified").view();
        v.replaced = text_of(h, "replaced").view();
        const char *bad = !is_local_time(v.replaced)                       ? "replaced"
                          : !v.modified.empty() && !is_local_time(v.modified) ? "modified"
                                                                              : nullptr;
        if (bad != nullptr) {
            result.error = where + ": version " + std::to_string(out.size() + 1) + ": \"" + bad +
                           "\" is not a time as kesp writes it (YYYY-MM-DD HH:MM:SS)";
            return false;
        }
        std::string why(text_of(h, "reason").view());
        const bool known = why == "edit" || why == "remove" || why == "merge" ||
                           why == "restore" || why == "import";
        v.why = known ? why : "edit";
        out.push_back(std::move(v));
    }
    return true;
}

// "removed": the versions of removed entries, each the id it had, its
// handle and its versions, the removal last.
bool read_kesp_removed(const json &removed, parse_result &result) {
    if (!removed.is_array()) {
        result.error = "\"removed\" is not an array";
        return false;
    }
    for (const auto &item : removed) {
        const std::string where = "removed entry " + std::to_string(result.removed.size() + 1);
        transfer_removed r;
        const json *id = member(item, "id");
        const json *history = member(item, "history");
        r.handle = text_of(item, "handle").view();
        bool handle_ok = r.handle.size() > 1 && r.handle.size() < 20 && r.handle[0] == 'r';
        for (std::size_t i = 1; handle_ok && i < r.handle.size(); ++i)
            handle_ok = r.handle[i] >= '0' && r.handle[i] <= '9';
        if (id == nullptr || !id->is_number_integer() || id->get<std::int64_t>() < 1 ||
            !handle_ok || history == nullptr) {
            result.error = where + ": no \"id\", \"handle\" and \"history\" of a removed entry";
            return false;
        }
        r.id = id->get<std::int64_t>();
        if (!read_kesp_versions(*history, where, r.history, result)) return false;
        if (r.history.empty() || r.history.back().why != "remove") {
            result.error = where + ": its last version is not its removal";
            return false;
        }
        if (!add_removed(result, std::move(r))) return false;
    }
    return true;
}

void parse_kesp(const json &doc, parse_result &result) {
    const json *version = member(doc, "version");
    if (version == nullptr || !version->is_number_integer() || version->get<std::int64_t>() != 1) {
        result.error = "kesp-json version " + printable(text_of(version).view()) + " is not known";
        return;
    }
    const json *entries = member(doc, "entries");
    if (entries == nullptr || !entries->is_array()) {
        result.error = "no \"entries\" array";
        return;
    }
    for (const auto &e : *entries) {
        transfer_record r;
        notes_builder notes;
        r.title = text_of(e, "title");
        r.user = text_of(e, "username");
        r.url = text_of(e, "url");
        r.password = text_of(e, "password");
        secret_string modified = text_of(e, "modified");
        take_time(is_local_time(modified) ? std::optional<std::string>(modified.view()) : std::nullopt,
                  "modified", modified, r, notes);
        r.notes = notes.finish(text_of(e, "notes"));
        if (const json *history = member(e, "history"); history != nullptr) {
            const std::string where = "entry " + std::to_string(result.records.size() + 1);
            if (!read_kesp_versions(*history, where, r.history, result)) return;
        }
        if (!add_record(result, std::move(r))) return;
    }
    if (const json *removed = member(doc, "removed"); removed != nullptr)
        if (!read_kesp_removed(*removed, result)) return;
    result.ok = true;
}

json string_value(std::string_view text) { return json(wiped_std_string(text.data(), text.size())); }

json kesp_versions(const std::vector<transfer_version> &versions) {
    json history = json::array();
    for (const transfer_version &v : versions) {
        json h = json::object();
        h["title"] = string_value(v.title);
        h["username"] = string_value(v.user);
        h["url"] = string_value(v.url);
        h["password"] = string_value(v.password);
        h["notes"] = string_value(v.notes);
        h["modified"] = string_value(v.modified);
        h["replaced"] = string_value(v.replaced);
        h["reason"] = string_value(v.why);
        history.push_back(std::move(h));
    }
    return history;
}

json kesp_entry(const transfer_record &r) {
    json e = json::object();
    e["title"] = string_value(r.title);
    e["username"] = string_value(r.user);
    e["url"] = string_value(r.url);
    e["password"] = string_value(r.password);
    e["notes"] = string_value(r.notes);
    e["modified"] = string_value(r.modified);
    if (!r.history.empty()) e["history"] = kesp_versions(r.history);
    return e;
}

json bitwarden_item(const transfer_record &r) {
    json login = json::object();
    json uris = json::array();
    if (!r.url.empty()) {
        json uri = json::object();
        uri["match"] = nullptr;
        uri["uri"] = string_value(r.url);
        uris.push_back(std::move(uri));
    }
    login["uris"] = std::move(uris);
    login["username"] = string_value(r.user);
    login["password"] = string_value(r.password);
    login["totp"] = nullptr;
    json item = json::object();
    item["id"] = "kesp-" + std::to_string(r.id);
    item["organizationId"] = nullptr;
    item["folderId"] = nullptr;
    item["type"] = 1;
    item["reprompt"] = 0;
    item["name"] = string_value(r.title);
    item["notes"] = r.notes.empty() ? json(nullptr) : string_value(r.notes);
    item["favorite"] = false;
    item["login"] = std::move(login);
    item["collectionIds"] = nullptr;
    if (auto iso = iso8601_from_local(r.modified)) item["revisionDate"] = *iso;
    return item;
}

}  // namespace

void parse_json(std::string_view text, std::optional<transfer_format> format, parse_result &result) {
    std::optional<json> doc = read_document(text, result);
    if (!doc) return;
    if (!format) {
        if (text_of(*doc, "format") == std::string_view("kesp")) format = transfer_format::kesp_json;
        else if (member(*doc, "items") != nullptr || member(*doc, "encrypted") != nullptr)
            format = transfer_format::bitwarden_json;
        else return;  // not recognised: the caller lists the formats
    }
    result.format = *format;
    if (*format == transfer_format::kesp_json) parse_kesp(*doc, result);
    else parse_bitwarden(*doc, result);
}

std::string write_json(const std::vector<transfer_record> &records, transfer_format format,
                       const std::vector<transfer_removed> &removed, secret_string &out) {
    json doc = json::object();
    json list = json::array();
    if (format == transfer_format::kesp_json) {
        doc["format"] = "kesp";
        doc["version"] = 1;
        for (const auto &r : records) list.push_back(kesp_entry(r));
        doc["entries"] = std::move(list);
        if (!removed.empty()) {
            json gone = json::array();
            for (const transfer_removed &r : removed) {
                json item = json::object();
                item["id"] = r.id;
                item["handle"] = string_value(r.handle);
                item["history"] = kesp_versions(r.history);
                gone.push_back(std::move(item));
            }
            doc["removed"] = std::move(gone);
        }
    } else {
        doc["encrypted"] = false;
        doc["folders"] = json::array();
        for (const auto &r : records) list.push_back(bitwarden_item(r));
        doc["items"] = std::move(list);
    }
    // Texts were checked to be UTF-8, so dump cannot fail on them.
    auto text = doc.dump(2);
    out.assign(std::string_view(text.data(), text.size()));
    out += '\n';
    return "";
}
