// The JSON formats: Bitwarden's unencrypted export and kesp's own. The
// document lives in a json type whose every block (strings included) comes
// from the wiping allocator, so the passwords it held are wiped with it.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "formats/internal.h"
#include "formats/times.h"

namespace {

using wiped_std_string = std::basic_string<char, std::char_traits<char>, wiping_allocator<char>>;
using json = nlohmann::basic_json<nlohmann::ordered_map, std::vector, wiped_std_string, bool,
                                  std::int64_t, std::uint64_t, double, wiping_allocator>;

const json *member(const json &object, const char *key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// A value as text: strings as they are, null and missing as empty, anything
// else as its JSON so that nothing is lost.
secret_string text_of(const json *value) {
    if (value == nullptr || value->is_null()) return {};
    if (value->is_string()) {
        const auto &s = value->get_ref<const wiped_std_string &>();
        return secret_string(std::string_view(s.data(), s.size()));
    }
    auto dumped = value->dump();
    return secret_string(std::string_view(dumped.data(), dumped.size()));
}

secret_string text_of(const json &object, const char *key) { return text_of(member(object, key)); }

bool is_true(const json *value) { return value != nullptr && value->is_boolean() && value->get<bool>(); }

// Records where a parse failed, for a message with line and column. The
// parser's own text quotes the input, which may be a password: not used.
struct error_finder : nlohmann::json_sax<json> {
    std::size_t position = 0;
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t &) override { return true; }
    bool string(string_t &) override { return true; }
    bool binary(binary_t &) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t &) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t at, const std::string &, const nlohmann::detail::exception &) override {
        position = at;
        return false;
    }
};

std::string json_error(std::string_view text) {
    error_finder finder;
    // The parser itself, not json::sax_parse: that one also instantiates the
    // binary readers, which do not compile with a string type of our own.
    using adapter = nlohmann::detail::iterator_input_adapter<const char *>;
    nlohmann::detail::parser<json, adapter> parser(adapter(text.data(), text.data() + text.size()),
                                                   nullptr, false, false);
    parser.sax_parse(&finder, true);
    // The position counts from 1 and points just past the offending byte.
    std::size_t at = finder.position > 0 ? finder.position - 1 : 0;
    if (at > text.size()) at = text.size();
    std::size_t line_start = text.rfind('\n', at == 0 ? 0 : at - 1);
    line_start = line_start == std::string_view::npos ? 0 : line_start + 1;
    if (at < line_start) line_start = at;
    return "line " + std::to_string(line_at(text, at)) + ", column " +
           std::to_string(at - line_start + 1) + ": invalid JSON";
}

// Card and identity fields in the order a person reads them.
struct labelled {
    const char *key;
    const char *label;
};
constexpr labelled card_fields[] = {
    {"cardholderName", "Cardholder"}, {"brand", "Brand"}, {"number", "Card number"},
    {"expMonth", "Expiry month"}, {"expYear", "Expiry year"}, {"code", "Security code"},
};
constexpr labelled identity_fields[] = {
    {"title", "Title"}, {"firstName", "First name"}, {"middleName", "Middle name"},
    {"lastName", "Last name"}, {"username", "Username"}, {"company", "Company"},
    {"email", "Email"}, {"phone", "Phone"}, {"address1", "Address"}, {"address2", "Address"},
    {"address3", "Address"}, {"city", "City"}, {"state", "State"}, {"postalCode", "Postal code"},
    {"country", "Country"}, {"ssn", "SSN"}, {"passportNumber", "Passport number"},
    {"licenseNumber", "License number"},
};

// Every non-empty member of a card or identity, the known ones labelled,
// any others under their own names.
template <std::size_t N>
void add_object(notes_builder &notes, const json *object, const labelled (&known)[N]) {
    if (object == nullptr || !object->is_object()) return;
    for (const auto &k : known) {
        secret_string value = text_of(*object, k.key);
        if (!value.empty()) notes.add(notes_builder::other, k.label, value);
    }
    for (auto it = object->begin(); it != object->end(); ++it) {
        bool listed = false;
        for (const auto &k : known) listed = listed || it.key() == k.key;
        secret_string value = text_of(&it.value());
        if (!listed && !value.empty())
            notes.add(notes_builder::other, std::string_view(it.key().data(), it.key().size()), value);
    }
}

void take_time(std::optional<std::string> local, std::string_view name, const secret_string &value,
               transfer_record &r, notes_builder &notes) {
    if (value.empty()) return;
    if (local) r.modified = *local;
    else notes.add(notes_builder::other, name, value);
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
    const json *folders = member(doc, "folders");
    auto folder_name = [folders](const secret_string &id) {
        if (folders == nullptr || !folders->is_array() || id.empty()) return secret_string(id);
        for (const auto &f : *folders)
            if (text_of(f, "id") == id.view()) return text_of(f, "name");
        return secret_string(id);
    };

    for (const auto &item : *items) {
        const json *type = member(item, "type");
        std::int64_t kind = type != nullptr && type->is_number_integer() ? type->get<std::int64_t>() : 0;
        if (kind < 1 || kind > 4) {
            count_skipped(result, kind == 5 ? std::string("Bitwarden SSH keys")
                                            : "Bitwarden items of type " + std::string(text_of(type).view()));
            continue;
        }
        transfer_record r;
        notes_builder notes;
        r.title = text_of(item, "name");
        secret_string folder = folder_name(text_of(item, "folderId"));
        if (!folder.empty()) notes.add(notes_builder::folder, "Folder", folder);
        secret_string totp;
        if (const json *login = member(item, "login"); login != nullptr && login->is_object()) {
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
        if (const json *fields = member(item, "fields"); fields != nullptr && fields->is_array())
            for (const auto &f : *fields) notes.add(notes_builder::field, text_of(f, "name"), text_of(f, "value"));
        if (kind == 3) add_object(notes, member(item, "card"), card_fields);
        if (kind == 4) add_object(notes, member(item, "identity"), identity_fields);
        if (is_true(member(item, "favorite"))) notes.add(notes_builder::other, "Favorite", "true");
        if (const json *history = member(item, "passwordHistory");
            history != nullptr && history->is_array() && !history->empty())
            count_skipped(result, "Bitwarden old passwords", history->size());
        secret_string revised = text_of(item, "revisionDate");
        take_time(local_from_iso8601(revised), "revisionDate", revised, r, notes);
        notes.add_totp(totp, r.title);
        r.notes = notes.finish(text_of(item, "notes"));
        result.records.push_back(std::move(r));
    }
    result.ok = true;
}

void parse_kesp(const json &doc, parse_result &result) {
    const json *version = member(doc, "version");
    if (version == nullptr || !version->is_number_integer() || version->get<std::int64_t>() != 1) {
        result.error = "kesp-json version " + std::string(text_of(version).view()) + " is not known";
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
        result.records.push_back(std::move(r));
    }
    result.ok = true;
}

json string_value(std::string_view text) { return json(wiped_std_string(text.data(), text.size())); }

}  // namespace

void parse_json(std::string_view text, std::optional<transfer_format> format, parse_result &result) {
    json doc = json::parse(text.begin(), text.end(), nullptr, false);
    if (doc.is_discarded()) {
        result.error = json_error(text);
        return;
    }
    if (!format) {
        if (text_of(doc, "format") == std::string_view("kesp")) format = transfer_format::kesp_json;
        else if (member(doc, "items") != nullptr || member(doc, "encrypted") != nullptr)
            format = transfer_format::bitwarden_json;
        else return;  // not recognised: the caller lists the formats
    }
    result.format = *format;
    if (*format == transfer_format::kesp_json) parse_kesp(doc, result);
    else parse_bitwarden(doc, result);
}

std::string write_json(const std::vector<transfer_record> &records, transfer_format format,
                       secret_string &out) {
    json doc = json::object();
    if (format == transfer_format::kesp_json) {
        doc["format"] = "kesp";
        doc["version"] = 1;
        json entries = json::array();
        for (const auto &r : records) {
            json e = json::object();
            e["title"] = string_value(r.title);
            e["username"] = string_value(r.user);
            e["url"] = string_value(r.url);
            e["password"] = string_value(r.password);
            e["notes"] = string_value(r.notes);
            e["modified"] = string_value(r.modified);
            entries.push_back(std::move(e));
        }
        doc["entries"] = std::move(entries);
    } else {
        doc["encrypted"] = false;
        doc["folders"] = json::array();
        json items = json::array();
        for (const auto &r : records) {
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
            items.push_back(std::move(item));
        }
        doc["items"] = std::move(items);
    }
    // Texts were checked to be UTF-8, so dump cannot fail on them.
    auto text = doc.dump(2);
    out.assign(std::string_view(text.data(), text.size()));
    out += '\n';
    return "";
}
