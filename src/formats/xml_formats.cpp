// KeePass 2 XML. Read with pugixml, which expands no external entities and
// allocates through the wiping functions while it holds the document;
// written by hand, so that a carriage return survives the round trip as a
// character reference.
#include <pugixml.hpp>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "formats/internal.h"
#include "memory/c_heap.h"
#include "formats/times.h"

namespace {

// pugixml's allocation functions are global: set for the time of one parse.
struct wiping_xml_memory {
    pugi::allocation_function allocate = pugi::get_memory_allocation_function();
    pugi::deallocation_function release = pugi::get_memory_deallocation_function();
    wiping_xml_memory() { pugi::set_memory_management_functions(wiping_malloc, wiping_free); }
    ~wiping_xml_memory() { pugi::set_memory_management_functions(allocate, release); }
};

bool named(const pugi::xml_node &node, const char *name) { return std::strcmp(node.name(), name) == 0; }

std::size_t line_of(std::string_view input, const pugi::xml_node &node) {
    return line_at(input, static_cast<std::size_t>(node.offset_debug()));
}

// Offset of the first reference to character 0 (&#0;, &#x00;, ...) outside
// comments and CDATA sections, or npos. The parser would write a NUL into
// the value, which ends it for everyone after.
std::size_t nul_reference_at(std::string_view text) {
    constexpr auto npos = std::string_view::npos;
    for (std::size_t i = text.find_first_of("<&"); i != npos; i = text.find_first_of("<&", i + 1)) {
        for (auto [open, close] : {std::pair{"<!--", "-->"}, std::pair{"<![CDATA[", "]]>"}})
            if (text.compare(i, std::strlen(open), open) == 0) {
                i = text.find(close, i + std::strlen(open));
                if (i == npos) return npos;  // the parser refuses that
            }
        if (text.compare(i, 2, "&#") != 0) continue;
        std::size_t j = i + 2;
        if (j < text.size() && (text[j] == 'x' || text[j] == 'X')) ++j;
        std::size_t digits = j;
        while (j < text.size() && text[j] == '0') ++j;
        if (j > digits && j < text.size() && text[j] == ';') return i;
    }
    return npos;
}

// The first element nested deeper than nesting_limit; the walk itself is
// iterative.
struct depth_finder : pugi::xml_tree_walker {
    pugi::xml_node found;
    bool for_each(pugi::xml_node &node) override {
        // depth() is 0 for the root element.
        if (node.type() != pugi::node_element || static_cast<std::size_t>(depth()) < nesting_limit)
            return true;
        found = node;
        return false;
    }
};

// The 16 bytes of a UUID in base64, or empty.
std::string uuid_bytes(std::string_view base64) {
    std::size_t first = base64.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return "";
    base64 = base64.substr(first, base64.find_last_not_of(" \t\r\n") + 1 - first);
    unsigned char bytes[18];
    if (base64.size() != 24 ||
        EVP_DecodeBlock(bytes, reinterpret_cast<const unsigned char *>(base64.data()), 24) != 18)
        return "";
    return std::string(reinterpret_cast<const char *>(bytes), 16);
}

// KeePass's one-time-code settings and their otpauth parameters.
struct otp_setting {
    const char *key;
    const char *parameter;
};
constexpr otp_setting otp_settings[] = {
    {"TimeOtp-Length", "digits"}, {"TimeOtp-Period", "period"}, {"TimeOtp-Algorithm", "algorithm"}};

// KeePass names its algorithms "HMAC-SHA-256"; an otpauth URI "SHA256".
// Another name is passed on as it is, for the code generator to refuse.
std::string_view otp_algorithm_name(std::string_view keepass) {
    for (const char *name : {"SHA-1", "SHA-256", "SHA-512"})
        if (lower(keepass) == lower(std::string("HMAC-") + name))
            return name[4] == '1' ? "SHA1" : name[4] == '2' ? "SHA256" : "SHA512";
    return keepass;
}

struct entry_reader {
    std::string_view input;
    parse_result &result;
    std::string bin;   // UUID bytes of the Recycle Bin group; empty: none
    std::string path;  // group path below the root group
    std::size_t recycled = 0;

    // The text of a leaf element, whole: every piece of character data and
    // CDATA in order (a comment between two pieces is no part of the text).
    // An element inside makes the file refused.
    secret_string text(const pugi::xml_node &node) {
        secret_string out;
        for (const auto &child : node.children()) {
            if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
                out += child.value();
            } else if (child.type() == pugi::node_element && result.error.empty()) {
                result.error = "line " + std::to_string(line_of(input, child)) +
                               ": an element inside the text of " + printable(node.name());
            }
        }
        return out;
    }

    void refuse_protected(const pugi::xml_node &entry, const pugi::xml_node &value,
                          std::string_view key) {
        secret_string title;
        for (const auto &t : entry.children("String"))
            if (text(t.child("Key")) == "Title") title = text(t.child("Value"));
        result.error = "line " + std::to_string(line_of(input, value)) + ": the " + printable(key) +
                       " of entry \"" + printable(title) +
                       "\" is encrypted (Protected=\"True\"); export the database without protection";
    }

    // The String elements of an entry. False when one cannot be read.
    bool take_strings(const pugi::xml_node &node, transfer_record &r, notes_builder &notes,
                      secret_string &source_notes) {
        secret_string otp_uri, otp_secret, settings[std::size(otp_settings)];
        for (const auto &s : node.children("String")) {
            secret_string key = text(s.child("Key"));
            pugi::xml_node value = s.child("Value");
            if (value.attribute("Protected").as_bool()) {
                refuse_protected(node, value, key);
                return false;
            }
            secret_string v = text(value);
            std::size_t setting = 0;
            while (setting < std::size(otp_settings) && key.view() != otp_settings[setting].key) ++setting;
            if (key == "Title") r.title = v;
            else if (key == "UserName") r.user = v;
            else if (key == "URL") r.url = v;
            else if (key == "Password") r.password = v;
            else if (key == "Notes") source_notes = v;
            else if (key == "otp") otp_uri = v;
            else if (key == "TimeOtp-Secret-Base32") otp_secret = v;
            else if (setting < std::size(otp_settings)) settings[setting] = v;
            // KeePass shows a string it protects in memory only on request.
            else if (value.attribute("ProtectInMemory").as_bool())
                notes.add_hidden(notes_builder::field, key, v);
            else notes.add(notes_builder::field, key, v);
        }
        notes.add_totp(otp_uri, r.title);
        take_otp(otp_secret, settings, r.title, notes);
        return result.error.empty();
    }

    // A KeePass secret with its settings as one URI; settings that have no
    // secret to go with stay note lines.
    static void take_otp(const secret_string &secret, const secret_string (&settings)[3],
                         const secret_string &title, notes_builder &notes) {
        bool usable = !totp_uri(secret, title).empty();
        secret_string parameters;
        for (std::size_t i = 0; i < std::size(otp_settings); ++i) {
            if (settings[i].empty()) continue;
            if (!usable) {
                notes.add(notes_builder::field, otp_settings[i].key, settings[i]);
                continue;
            }
            parameters += "&";
            parameters += otp_settings[i].parameter;
            parameters += "=";
            append_percent_encoded(parameters, i == 2 ? otp_algorithm_name(settings[i]) : settings[i].view());
        }
        notes.add_totp(secret, title, parameters);
    }

    // False (with result.error set) when the entry cannot be read.
    bool read_entry(const pugi::xml_node &node) {
        transfer_record r;
        notes_builder notes;
        secret_string source_notes;
        if (!path.empty()) notes.add(notes_builder::folder, "Group", path);
        if (!take_strings(node, r, notes, source_notes)) return false;
        if (secret_string tags = text(node.child("Tags")); !tags.empty())
            notes.add(notes_builder::other, "Tags", tags);
        secret_string modified = text(node.child("Times").child("LastModificationTime"));
        auto local = local_from_iso8601(modified);
        if (!local) local = local_from_keepass_base64(modified);
        take_time(local, "Last modified", modified, r, notes);
        auto count = [](const auto &range) { return std::size_t(std::distance(range.begin(), range.end())); };
        count_skipped(result, "KeePass history entries", count(node.child("History").children("Entry")));
        count_skipped(result, "KeePass attachments", count(node.children("Binary")));
        r.notes = notes.finish(source_notes);
        return result.error.empty() && add_record(result, std::move(r));
    }

    // Entries of a group and of the groups below it.
    static std::size_t count_entries(const pugi::xml_node &group) {
        std::size_t n = 0;
        for (const auto &child : group.children()) {
            if (named(child, "Entry")) ++n;
            else if (named(child, "Group")) n += count_entries(child);
        }
        return n;
    }

    // The entries of `node` and of the groups below it, but for the Recycle
    // Bin, whose entries are only counted. The path grows and shrinks as the
    // walk goes down and up, so that its cost stays linear in the depth.
    bool read_group(const pugi::xml_node &node) {
        if (!bin.empty() && uuid_bytes(text(node.child("UUID"))) == bin) {
            recycled += count_entries(node);
            return result.error.empty();
        }
        for (const auto &child : node.children()) {
            if (named(child, "Entry")) {
                if (!read_entry(child)) return false;
            } else if (named(child, "Group")) {
                std::size_t kept = path.size();
                if (kept > 0) path += '/';
                path += text(child.child("Name")).view();
                bool read = read_group(child);
                path.resize(kept);
                if (!read) return false;
            }
        }
        return result.error.empty();
    }
};

// The UUID bytes of the Recycle Bin that Meta names, when it is enabled;
// empty when there is none (all zero, disabled, or unreadable).
std::string recycle_bin(const pugi::xml_node &meta) {
    if (lower(meta.child("RecycleBinEnabled").text().get()) != "true") return "";
    std::string uuid = uuid_bytes(meta.child("RecycleBinUUID").text().get());
    return uuid == std::string(16, '\0') ? "" : uuid;
}

void append_escaped(secret_string &out, std::string_view text) {
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\r': out += "&#13;"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') {
                char ref[8];
                std::snprintf(ref, sizeof ref, "&#%d;", c);
                out += ref;
            } else {
                out += c;
            }
        }
    }
}

std::string random_uuid_base64() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return "";
    unsigned char encoded[32];
    int n = EVP_EncodeBlock(encoded, bytes, sizeof bytes);
    return std::string(reinterpret_cast<const char *>(encoded), static_cast<std::size_t>(n));
}

}  // namespace

void parse_keepass_xml(std::string_view input, parse_result &result) {
    result.format = transfer_format::keepass_xml;
    if (std::size_t nul = nul_reference_at(input); nul != std::string_view::npos) {
        result.error = "line " + std::to_string(line_at(input, nul)) + ": a NUL character (" +
                       std::string(input.substr(nul, input.find(';', nul) + 1 - nul)) + ")";
        return;
    }
    wiping_xml_memory memory;
    pugi::xml_document doc;
    // Whitespace between two pieces of a value (around a comment, say) is
    // part of it.
    pugi::xml_parse_result parsed = doc.load_buffer(input.data(), input.size(),
                                                    pugi::parse_default | pugi::parse_ws_pcdata,
                                                    pugi::encoding_utf8);
    if (!parsed) {
        result.error = "line " + std::to_string(line_at(input, static_cast<std::size_t>(parsed.offset))) +
                       ": invalid XML (" + parsed.description() + ")";
        return;
    }
    depth_finder deep;
    doc.traverse(deep);
    if (deep.found) {
        result.error = "line " + std::to_string(line_of(input, deep.found)) + ": nested more than " +
                       std::to_string(nesting_limit) + " levels deep";
        return;
    }
    pugi::xml_node root = doc.document_element();
    if (!named(root, "KeePassFile")) {
        result.error = "";  // not KeePass: the caller lists the formats
        return;
    }
    pugi::xml_node top = root.child("Root").child("Group");
    if (!top) {
        result.error = "no KeePassFile/Root/Group element";
        return;
    }
    entry_reader reader{input, result, recycle_bin(root.child("Meta")), "", 0};
    // The top group stands for the database itself and gives no path.
    if (!reader.read_group(top)) return;
    count_skipped(result, "KeePass Recycle Bin entries", reader.recycled);
    result.ok = true;
}

std::string write_keepass_xml(const std::vector<transfer_record> &records, secret_string &out) {
    std::string group_uuid = random_uuid_base64();
    if (group_uuid.empty()) return "the random generator failed";
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
           "<KeePassFile>\n\t<Meta>\n\t\t<Generator>kesp</Generator>\n\t</Meta>\n\t<Root>\n\t\t<Group>\n"
           "\t\t\t<UUID>";
    out += group_uuid;
    out += "</UUID>\n\t\t\t<Name>kesp</Name>\n";
    for (const auto &r : records) {
        std::string uuid = random_uuid_base64();
        if (uuid.empty()) return "the random generator failed";
        out += "\t\t\t<Entry>\n\t\t\t\t<UUID>";
        out += uuid;
        out += "</UUID>\n";
        if (auto iso = iso8601_from_local(r.modified)) {
            out += "\t\t\t\t<Times>\n\t\t\t\t\t<LastModificationTime>";
            out += *iso;
            out += "</LastModificationTime>\n\t\t\t\t</Times>\n";
        }
        const std::pair<const char *, const secret_string *> strings[] = {
            {"Title", &r.title}, {"UserName", &r.user}, {"URL", &r.url},
            {"Password", &r.password}, {"Notes", &r.notes}};
        for (const auto &[key, value] : strings) {
            out += "\t\t\t\t<String>\n\t\t\t\t\t<Key>";
            out += key;
            out += std::strcmp(key, "Password") == 0 ? "</Key>\n\t\t\t\t\t<Value ProtectInMemory=\"True\">"
                                                     : "</Key>\n\t\t\t\t\t<Value>";
            append_escaped(out, *value);
            out += "</Value>\n\t\t\t\t</String>\n";
        }
        out += "\t\t\t</Entry>\n";
    }
    out += "\t\t</Group>\n\t</Root>\n</KeePassFile>\n";
    return "";
}
