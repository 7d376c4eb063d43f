// KeePass 2 XML. Read with pugixml, which expands no external entities and
// allocates through the wiping functions while it holds the document;
// written by hand, so that a carriage return survives the round trip as a
// character reference.
#include <pugixml.hpp>

#include <cstdio>
#include <cstring>
#include <string>

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

std::string_view text(const pugi::xml_node &node) { return node.text().get(); }

struct entry_reader {
    std::string_view input;
    parse_result &result;

    // False (with result.error set) when the entry cannot be read.
    bool read_entry(const pugi::xml_node &node, const std::string &group) {
        transfer_record r;
        notes_builder notes;
        std::string_view source_notes, totp;
        if (!group.empty()) notes.add(notes_builder::folder, "Group", group);
        for (const auto &s : node.children("String")) {
            std::string_view key = text(s.child("Key"));
            pugi::xml_node value = s.child("Value");
            if (value.attribute("Protected").as_bool()) {
                std::string title;
                for (const auto &t : node.children("String"))
                    if (text(t.child("Key")) == "Title") title = text(t.child("Value"));
                result.error = "line " + std::to_string(line_at(input, static_cast<std::size_t>(value.offset_debug()))) +
                               ": the " + std::string(key) + " of entry \"" + title +
                               "\" is encrypted (Protected=\"True\"); export the database without protection";
                return false;
            }
            std::string_view v = text(value);
            if (key == "Title") r.title.assign(v);
            else if (key == "UserName") r.user.assign(v);
            else if (key == "URL") r.url.assign(v);
            else if (key == "Password") r.password.assign(v);
            else if (key == "Notes") source_notes = v;
            else if (key == "otp" || key == "TimeOtp-Secret-Base32") totp = v;
            else notes.add(notes_builder::field, key, v);
        }
        if (std::string_view tags = text(node.child("Tags")); !tags.empty())
            notes.add(notes_builder::other, "Tags", tags);
        std::string_view modified = text(node.child("Times").child("LastModificationTime"));
        if (!modified.empty()) {
            auto local = local_from_iso8601(modified);
            if (!local) local = local_from_keepass_base64(modified);
            if (local) r.modified = *local;
            else notes.add(notes_builder::other, "Last modified", modified);
        }
        std::size_t history = 0;
        for (const auto &old : node.child("History").children("Entry")) {
            (void)old;
            ++history;
        }
        count_skipped(result, "KeePass history entries", history);
        std::size_t attachments = 0;
        for (const auto &b : node.children("Binary")) {
            (void)b;
            ++attachments;
        }
        count_skipped(result, "KeePass attachments", attachments);
        notes.add_totp(totp, r.title);
        r.notes = notes.finish(source_notes);
        result.records.push_back(std::move(r));
        return true;
    }

    // The entries of `node` and of the groups below it; `path` is the group
    // path below the root group.
    bool read_group(const pugi::xml_node &node, const std::string &path) {
        for (const auto &child : node.children()) {
            if (named(child, "Entry")) {
                if (!read_entry(child, path)) return false;
            } else if (named(child, "Group")) {
                std::string name = text(child.child("Name")).data();
                if (!read_group(child, path.empty() ? name : path + "/" + name)) return false;
            }
        }
        return true;
    }
};

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
    wiping_xml_memory memory;
    pugi::xml_document doc;
    pugi::xml_parse_result parsed = doc.load_buffer(input.data(), input.size(), pugi::parse_default | pugi::parse_ws_pcdata_single,
                                                    pugi::encoding_utf8);
    if (!parsed) {
        result.error = "line " + std::to_string(line_at(input, static_cast<std::size_t>(parsed.offset))) +
                       ": invalid XML (" + parsed.description() + ")";
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
    entry_reader reader{input, result};
    // The top group stands for the database itself and gives no path.
    if (!reader.read_group(top, "")) return;
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
