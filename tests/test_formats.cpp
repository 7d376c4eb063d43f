// The transfer formats without files or databases: one table of small
// samples of each format with the entries they must give, one table of
// damaged files, and round trips through every export format.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "memory/secret.h"
#include "otp/otp.h"

namespace {

// The heap work of a reading, counted instead of timed: the bytes asked of
// operator new while `counting` (std::string, the JSON tree), and the bytes
// given back through the secret owners and the wiping heap (texts that may
// hold a password, libcsv's buffer), which the release observer sees. A
// text grown by copying it again and again, or a value copied once per
// level or per record, shows here in the square of the input.
std::atomic<bool> counting{false};
std::atomic<std::uint64_t> heap_bytes{0};

}  // namespace

void *operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) heap_bytes.fetch_add(size, std::memory_order_relaxed);
    void *block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) out_of_memory();
    return block;
}
void *operator new[](std::size_t size) { return ::operator new(size); }
// GCC pairs the free below with the standard operator new and warns; both
// are replaced here, and new takes its blocks from malloc.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void *block) noexcept { std::free(block); }
void operator delete[](void *block) noexcept { std::free(block); }
void operator delete(void *block, std::size_t) noexcept { std::free(block); }
void operator delete[](void *block, std::size_t) noexcept { std::free(block); }

namespace {

struct expected_entry {
    std::string title, user, url, password, notes, modified;
};

struct sample {
    const char *name;
    std::string input;
    std::optional<transfer_format> forced;  // nothing: recognised from the content
    transfer_format format;
    std::vector<expected_entry> entries;
    std::vector<skipped_items> skipped = {};
};

class Formats : public ::testing::Test {
protected:
    void SetUp() override {
        // Times in the samples are UTC; stored times are local.
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

void expect_entries(const parse_result &r, const std::vector<expected_entry> &want, const char *name) {
    ASSERT_EQ(r.records.size(), want.size()) << name;
    for (std::size_t i = 0; i < want.size(); ++i) {
        const auto &got = r.records[i];
        const auto &w = want[i];
        EXPECT_EQ(got.title.view(), w.title) << name << " entry " << i;
        EXPECT_EQ(got.user.view(), w.user) << name << " entry " << i;
        EXPECT_EQ(got.url.view(), w.url) << name << " entry " << i;
        EXPECT_EQ(got.password.view(), w.password) << name << " entry " << i;
        EXPECT_EQ(got.notes.view(), w.notes) << name << " entry " << i;
        EXPECT_EQ(got.modified, w.modified) << name << " entry " << i;
    }
}

const std::string bom = "\xEF\xBB\xBF";

std::string repeated(const std::string &text, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += text;
    return out;
}

// A KeePass file whose root group holds `entries`.
std::string keepass(const std::string &entries) {
    return "<KeePassFile><Root><Group><Name>DB</Name>" + entries + "</Group></Root></KeePassFile>";
}

std::string entry(const std::string &title) {
    return "<Entry><String><Key>Title</Key><Value>" + title + "</Value></String></Entry>";
}

const std::string bin_uuid = "3q2+7wAAAAAAAAAAAAAAAQ==";

// `depth` arrays, one inside the other.
std::string nested_json(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// Three levels deep already: nested_json(253) after it reaches the limit.
const std::string deep_json_prefix = R"({"format":"kesp","version":1,"entries":[{"title":)";

// A KeePass file with `depth` empty groups below the root group: elements
// nested depth + 3 deep.
std::string nested_groups(std::size_t depth) {
    std::string groups;
    for (std::size_t i = 0; i < depth; ++i) groups += "<Group>";
    for (std::size_t i = 0; i < depth; ++i) groups += "</Group>";
    return keepass(groups);
}

std::vector<sample> samples() {
    return {
        {"keepassxc-csv 2.6.2 with BOM, CRLF, a quoted newline, TOTP and times",
         bom + "\"Group\",\"Title\",\"Username\",\"Password\",\"URL\",\"Notes\",\"TOTP\",\"Icon\","
               "\"Last Modified\",\"Created\"\r\n"
               "\"Root/Email\",\"Mail\",\"bob\",\"p,w\"\"1\",\"https://mail.example\",\"line1\r\nline2\","
               "\"otpauth://totp/Mail?secret=JBSWY3DPEHPK3PXP\",\"0\",\"2024-03-01T10:20:30Z\","
               "\"2020-01-01T00:00:00Z\"\r\n"
               "\"Root\",\"Top\",\"\",\" spaced \",\"\",\"\",\"\",\"0\",\"\",\"\"\r\n",
         std::nullopt, transfer_format::keepassxc_csv,
         {{"Mail", "bob", "https://mail.example", "p,w\"1",
           "line1\r\nline2\nGroup: Email\notpauth://totp/Mail?secret=JBSWY3DPEHPK3PXP", "2024-03-01 10:20:30"},
          {"Top", "", "", " spaced ", "", ""}}},
        {"keepassxc-csv before 2.6.2: six columns",
         "\"Group\",\"Title\",\"Username\",\"Password\",\"URL\",\"Notes\"\n"
         "\"Root/A/B\",\"Deep\",\"u\",\"p\",\"\",\"n\"\n",
         std::nullopt, transfer_format::keepassxc_csv, {{"Deep", "u", "", "p", "n\nGroup: A/B", ""}}},
        {"keepass-xml: nested groups, custom string, history, base64 time, blank-padded password",
         "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\n"
         "<KeePassFile><Meta><Generator>KeePass</Generator></Meta><Root><Group><Name>Database</Name>\n"
         "<Entry><String><Key>Title</Key><Value>Router</Value></String>"
         "<String><Key>UserName</Key><Value>admin</Value></String>"
         "<String><Key>Password</Key><Value ProtectInMemory=\"True\">r&amp;t&lt;1</Value></String>"
         "<String><Key>URL</Key><Value>http://192.168.1.1</Value></String>"
         "<String><Key>Notes</Key><Value>in the hall</Value></String>"
         "<String><Key>Serial</Key><Value>X-1</Value></String>"
         "<String><Key>WPA key</Key><Value ProtectInMemory=\"True\">wpa-secret</Value></String>"
         "<Times><LastModificationTime>2024-03-01T10:20:30Z</LastModificationTime></Times>"
         "<History><Entry><String><Key>Title</Key><Value>Router</Value></String>"
         "<String><Key>Password</Key><Value>old</Value></String></Entry></History></Entry>\n"
         "<Group><Name>Email</Name><Group><Name>Work</Name><Entry>"
         "<String><Key>Title</Key><Value>Mail</Value></String>"
         "<String><Key>Password</Key><Value> sp </Value></String>"
         "<String><Key>otp</Key><Value>otpauth://totp/x?secret=ABC</Value></String>"
         "<Times><LastModificationTime>7qJz3Q4AAAA=</LastModificationTime></Times>"
         "</Entry></Group></Group></Group></Root></KeePassFile>\n",
         std::nullopt, transfer_format::keepass_xml,
         {{"Router", "admin", "http://192.168.1.1", "r&t<1",
           "in the hall\nSerial: X-1\nWPA key (hidden): wpa-secret", "2024-03-01 10:20:30"},
          {"Mail", "", "", " sp ", "Group: Email/Work\notpauth://totp/x?secret=ABC", "2024-03-01 10:20:30"}},
         {{"KeePass history entries", 1}}},
        {"bitwarden-json: login, secure note, card, identity and an unknown type",
         R"({"encrypted": false, "folders": [{"id": "f1", "name": "Work"}], "items": [
           {"id": "1", "folderId": "f1", "type": 1, "name": "GitHub", "notes": "work account",
            "favorite": true, "fields": [{"name": "PIN", "value": "1234", "type": 1},
              {"name": "Seat", "value": "12A", "type": 0}, {"name": "Empty", "value": null, "type": 1}],
            "login": {"username": "octo", "password": "gh-pass", "totp": "jbsw y3dp ehpk 3pxp",
              "uris": [{"match": null, "uri": "https://github.com"}, {"match": null, "uri": "https://gist.github.com"}]},
            "revisionDate": "2024-03-01T10:20:30.123Z"},
           {"type": 2, "name": "Wifi", "notes": "code 42", "secureNote": {"type": 0}, "folderId": null,
            "revisionDate": "2024-03-01T12:20:30+02:00"},
           {"type": 3, "name": "Visa", "notes": null, "card": {"cardholderName": "Bob", "brand": "Visa",
            "number": "4111111111111111", "expMonth": "12", "expYear": "2030", "code": "123"}},
           {"type": 4, "name": "Me", "identity": {"firstName": "Bob", "lastName": "Smith",
            "email": "bob@example.com", "phone": null, "nickname": "bobby"}},
           {"type": 9, "name": "Passport"}, {"type": 5, "name": "SSH key"}]})",
         std::nullopt, transfer_format::bitwarden_json,
         {{"GitHub", "octo", "https://github.com", "gh-pass",
           "work account\nFolder: Work\nURL: https://gist.github.com\nPIN (hidden): 1234\nSeat: 12A\n"
           "Empty (hidden):\nFavorite: true\n"
           "otpauth://totp/GitHub?secret=JBSWY3DPEHPK3PXP",
           "2024-03-01 10:20:30"},
          {"Wifi", "", "", "", "code 42", "2024-03-01 10:20:30"},
          {"Visa", "", "", "4111111111111111 / 123",
           "Cardholder: Bob\nBrand: Visa\nExpiry month: 12\nExpiry year: 2030\n"
           "Password holds: Card number / Security code",
           ""},
          {"Me", "", "", "", "First name: Bob\nLast name: Smith\nEmail: bob@example.com\nnickname: bobby", ""}},
         {{"Bitwarden items of type 9", 1}, {"Bitwarden SSH keys", 1}}},
        {"bitwarden-json: the secret fields of cards and identities are the password, not notes",
         R"({"items": [
           {"type": 3, "name": "Number only",
            "card": {"brand": "Visa", "number": "4111 1111 1111 1111"}},
           {"type": 3, "name": "Code only", "card": {"number": "", "code": "987"}},
           {"type": 3, "name": "With a login", "login": {"password": "pin"},
            "card": {"number": "5500"}},
           {"type": 4, "name": "Papers", "identity": {"firstName": "Ann", "ssn": "123-45-6789",
            "passportNumber": "X1234", "licenseNumber": "D-77"}},
           {"type": 4, "name": "Licence", "identity": {"licenseNumber": "D-88", "city": "Oslo"}},
           {"type": 4, "name": "No numbers", "identity": {"firstName": "Ann", "ssn": null}}]})",
         std::nullopt, transfer_format::bitwarden_json,
         {{"Number only", "", "", "4111 1111 1111 1111", "Brand: Visa\nPassword holds: Card number",
           ""},
          {"Code only", "", "", "987", "Password holds: Security code", ""},
          {"With a login", "", "", "pin / 5500", "Password holds: Password / Card number", ""},
          {"Papers", "", "", "123-45-6789 / X1234 / D-77",
           "First name: Ann\nPassword holds: SSN / Passport number / License number", ""},
          {"Licence", "", "", "D-88", "City: Oslo\nPassword holds: License number", ""},
          {"No numbers", "", "", "", "First name: Ann", ""}}},
        {"bitwarden-csv without reprompt: several URIs, fields, a note",
         "folder,favorite,type,name,notes,fields,login_uri,login_username,login_password,login_totp\n"
         "Social,1,login,Mastodon,,\"handle: @bob\nserver: social.example\","
         "\"https://social.example,https://m.social.example\",bob,\"m,pw\",\n"
         ",,note,Alarm,code 1234,,,,,\n",
         std::nullopt, transfer_format::bitwarden_csv,
         {{"Mastodon", "bob", "https://social.example", "m,pw",
           "Folder: Social\nURL: https://m.social.example\nhandle: @bob\nserver: social.example\nfavorite: 1", ""},
          {"Alarm", "", "", "", "code 1234", ""}}},
        {"chrome-csv without note: entries sharing a title are all kept",
         "name,url,username,password\nSite,https://a.example,u1,p1\nSite,https://a.example,u2,p2\n",
         std::nullopt, transfer_format::chrome_csv,
         {{"Site", "u1", "https://a.example", "p1", "", ""}, {"Site", "u2", "https://a.example", "p2", "", ""}}},
        {"chrome-csv with note, header in another order and case",
         "URL,Name,Password,Username,Note\r\nhttps://b.example,B,pw,user,\"a, note\"\r\n", std::nullopt,
         transfer_format::chrome_csv, {{"B", "user", "https://b.example", "pw", "a, note", ""}}},
        {"firefox-csv: CRLF, no final newline, titled by host, time in milliseconds",
         "\"url\",\"username\",\"password\",\"httpRealm\",\"formActionOrigin\",\"guid\",\"timeCreated\","
         "\"timeLastUsed\",\"timePasswordChanged\"\r\n"
         "\"https://user@accounts.example.com:8443/login\",\"alice\",\"fx-pass\",,"
         "\"https://accounts.example.com\",\"{0d2c}\",\"1700000000000\",\"1700000000000\",\"1709288430000\"",
         std::nullopt, transfer_format::firefox_csv,
         {{"accounts.example.com", "alice", "https://user@accounts.example.com:8443/login", "fx-pass",
           "formActionOrigin: https://accounts.example.com", "2024-03-01 10:20:30"}}},
        {"lastpass-csv without totp: a secure note and a login",
         "url,username,password,extra,name,grouping,fav\n"
         "http://sn,,,\"NoteType:Server\nHostname:x\",Server notes,Infra\\Servers,1\n"
         "https://shop.example,carol,sh0p,,Shop,,0\n",
         std::nullopt, transfer_format::lastpass_csv,
         {{"Server notes", "", "", "", "NoteType:Server\nHostname:x\nGroup: Infra\\Servers\nfav: 1", ""},
          {"Shop", "carol", "https://shop.example", "sh0p", "", ""}}},
        {"1password-csv: OTP URI and tags",
         "Title,Url,Username,Password,OTPAuth,Favorite,Archived,Tags,Notes\n"
         "Bank,https://bank.example,dave,b4nk,otpauth://totp/Bank:dave?secret=ABC&issuer=Bank,false,false,"
         "\"finance,important\",PIN 0000\n",
         std::nullopt, transfer_format::onepassword_csv,
         {{"Bank", "dave", "https://bank.example", "b4nk",
           "PIN 0000\nTags: finance,important\notpauth://totp/Bank:dave?secret=ABC&issuer=Bank", ""}}},
        {"kesp-csv",
         "\"title\",\"username\",\"url\",\"password\",\"notes\",\"modified\"\r\n"
         "\"T\",\"u\",\"\",\"p\",\"n\",\"2024-03-01 10:20:30\"\r\n",
         std::nullopt, transfer_format::kesp_csv, {{"T", "u", "", "p", "n", "2024-03-01 10:20:30"}}},
        {"kesp-json",
         R"({"format":"kesp","version":1,"entries":[{"title":"T","username":"u","url":"","password":"p",)"
         R"("notes":"n","modified":"2024-03-01 10:20:30"}]})",
         std::nullopt, transfer_format::kesp_json, {{"T", "u", "", "p", "n", "2024-03-01 10:20:30"}}},
        {"a forced format reads a header it would not have to recognise",
         "name,url,username,password,extra column\nX,,u,p,kept\n", transfer_format::chrome_csv,
         transfer_format::chrome_csv, {{"X", "u", "", "p", "extra column: kept", ""}}},
        {"chrome-csv whose rows leave out trailing columns, the missing ones empty",
         "name,url,username,password,note\nA,https://a.example,u,p\nB,https://b.example\nC,,,,n\n",
         std::nullopt, transfer_format::chrome_csv,
         {{"A", "u", "https://a.example", "p", "", ""}, {"B", "", "https://b.example", "", "", ""},
          {"C", "", "", "", "n", ""}}},
        {"keepass-xml: a value split by comments and CDATA sections is joined, NUL-free references kept",
         keepass("<Entry><String><Key>Title</Key><Value>a<!-- one --> b <![CDATA[<&#0;>]]><!-- two -->"
                 "c</Value></String><String><Key><![CDATA[Pass]]>word</Key><Value>x&#1;&#x20;y"
                 "</Value></String><!-- &#0; --></Entry>"),
         std::nullopt, transfer_format::keepass_xml, {{"a b <&#0;>c", "", "", "x\x01 y", "", ""}}},
        {"keepass-xml: TimeOtp settings follow the secret into its URI, or stay lines without one",
         keepass("<Entry><String><Key>Title</Key><Value>Odd</Value></String>"
                 "<String><Key>TimeOtp-Algorithm</Key><Value>HMAC-SHA-512</Value></String>"
                 "<String><Key>TimeOtp-Secret-Base32</Key><Value>JBSW Y3DP</Value></String></Entry>"
                 "<Entry><String><Key>Title</Key><Value>No secret</Value></String>"
                 "<String><Key>TimeOtp-Length</Key><Value>8</Value></String></Entry>"),
         std::nullopt, transfer_format::keepass_xml,
         {{"Odd", "", "", "", "otpauth://totp/Odd?secret=JBSWY3DP&algorithm=SHA512", ""},
          {"No secret", "", "", "", "TimeOtp-Length: 8", ""}}},
        {"keepass-xml: the enabled Recycle Bin and its subgroups are skipped and counted",
         "<KeePassFile><Meta><RecycleBinEnabled>True</RecycleBinEnabled>"
         "<RecycleBinUUID>" + bin_uuid + "</RecycleBinUUID></Meta><Root><Group><Name>DB</Name>" +
             entry("Kept") + "<Group><UUID>" + bin_uuid + "</UUID><Name>Recycle Bin</Name>" + entry("Gone") +
             "<Group><Name>Old</Name>" + entry("Gone too") + entry("And this") + "</Group></Group>"
             "<Group><UUID>AAAAAAAAAAAAAAAAAAAAAA==</UUID><Name>Work</Name>" + entry("Also kept") +
             "</Group></Group></Root></KeePassFile>",
         std::nullopt, transfer_format::keepass_xml,
         {{"Kept", "", "", "", "", ""}, {"Also kept", "", "", "", "Group: Work", ""}},
         {{"KeePass Recycle Bin entries", 3}}},
        {"keepass-xml: a disabled Recycle Bin, or one that names no group, is imported",
         "<KeePassFile><Meta><RecycleBinEnabled>False</RecycleBinEnabled><RecycleBinUUID>" + bin_uuid +
             "</RecycleBinUUID></Meta><Root><Group><Group><UUID>" + bin_uuid +
             "</UUID><Name>Recycle Bin</Name>" + entry("Binned") + "</Group></Group></Root></KeePassFile>",
         std::nullopt, transfer_format::keepass_xml, {{"Binned", "", "", "", "Group: Recycle Bin", ""}}},
        {"keepass-xml: an all-zero Recycle Bin UUID means no bin",
         "<KeePassFile><Meta><RecycleBinEnabled>True</RecycleBinEnabled><RecycleBinUUID>"
         "AAAAAAAAAAAAAAAAAAAAAA==</RecycleBinUUID></Meta><Root><Group><Group><UUID>"
         "AAAAAAAAAAAAAAAAAAAAAA==</UUID><Name>G</Name>" + entry("Here") + "</Group></Group></Root></KeePassFile>",
         std::nullopt, transfer_format::keepass_xml, {{"Here", "", "", "", "Group: G", ""}}},
        {"kesp-json: numbers keep their digits as written, nested ones too",
         R"({"format":"kesp","version":1,"entries":[{"title":12345678901234567890123,"username":-0.10,)"
         R"("url":[1.5e3,{"n":18446744073709551616}],"password":"p\\u0000","notes":1E-7,"modified":""}]})",
         std::nullopt, transfer_format::kesp_json,
         {{"12345678901234567890123", "-0.10", "[1.5e3,{\"n\":18446744073709551616}]", "p\\u0000", "1E-7", ""}}},
        {"bitwarden-json: types from the file are shown only while few, short and printable",
         R"({"items":[{"type":9},{"type":"x\u001b[2J"},{"type":10},{"type":11},{"type":12},)"
         R"({"type":13},{"type":14},{"type":15},{"type":16},{"type":17},{"type":9},{"name":"none"}]})",
         std::nullopt, transfer_format::bitwarden_json, {},
         {{"Bitwarden items of type 9", 2}, {"Bitwarden items of other types", 2},
          {"Bitwarden items of type 10", 1}, {"Bitwarden items of type 11", 1},
          {"Bitwarden items of type 12", 1}, {"Bitwarden items of type 13", 1},
          {"Bitwarden items of type 14", 1}, {"Bitwarden items of type 15", 1},
          {"Bitwarden items of type 16", 1}, {"Bitwarden items without a type", 1}}},
        {"JSON and XML nested exactly as deep as allowed",
         deep_json_prefix + nested_json(253) + "}]}",
         std::nullopt, transfer_format::kesp_json, {{nested_json(253), "", "", "", "", ""}}},
        {"KeePass groups nested exactly as deep as allowed", nested_groups(253), std::nullopt,
         transfer_format::keepass_xml, {}},
    };
}

TEST_F(Formats, EachSampleGivesItsEntries) {
    for (const auto &s : samples()) {
        parse_result r = parse_transfer(s.input, s.forced);
        ASSERT_TRUE(r.ok) << s.name << ": " << r.error;
        EXPECT_EQ(r.format, s.format) << s.name << ": read as " << format_name(r.format);
        expect_entries(r, s.entries, s.name);
        ASSERT_EQ(r.skipped.size(), s.skipped.size()) << s.name;
        for (std::size_t i = 0; i < s.skipped.size(); ++i) {
            EXPECT_EQ(r.skipped[i].kind, s.skipped[i].kind) << s.name;
            EXPECT_EQ(r.skipped[i].count, s.skipped[i].count) << s.name;
        }
    }
}

struct damaged {
    const char *name;
    std::string input;
    std::string error;  // exactly
};

TEST_F(Formats, DamagedFilesAreRefusedWithTheLineAndWhatIsWrong) {
    const std::string formats = format_names(false);
    const damaged table[] = {
        {"a row with more fields than the header", "name,url,username,password\na,b,c,d\na,b,c,d,e\n",
         "line 3: a row of 5 fields where the header has 4"},
        {"an unterminated quote", "name,url,username,password\na,b,c,\"d\nmore\n",
         "line 2: a quoted field that never ends"},
        {"a quote inside an unquoted field", "name,url,username,password\na,b\"x,c,d\n",
         "line 2: a quote out of place"},
        {"invalid UTF-8", "name,url,username,password\na,b,c,\xC3\x28\n", "line 2: invalid UTF-8"},
        {"a NUL byte", std::string("name,url,username,password\na,b,c,d\0\n", 36), "line 2: a NUL byte"},
        {"UTF-16", "\xFF\xFEn\0a\0", "the file is UTF-16; only UTF-8 is read"},
        {"invalid JSON", "{\"items\": [\n  {\"name\": \"x\",}\n]}", "line 2, column 16: invalid JSON"},
        {"invalid XML", "<KeePassFile>\n<Root>\n</KeePassFile>\n", "line 3: invalid XML (Start-end tags mismatch)"},
        {"an encrypted Bitwarden export", R"({"encrypted": true, "encKeyValidation_DO_NOT_EDIT": "x", "items": []})",
         "the file is an encrypted Bitwarden export; export again as unencrypted JSON"},
        {"a protected KeePass value",
         "<KeePassFile><Root><Group><Name>R</Name><Entry>"
         "<String><Key>Title</Key><Value>Bank</Value></String>\n"
         "<String><Key>Password</Key><Value Protected=\"True\">c2VjcmV0</Value></String>"
         "</Entry></Group></Root></KeePassFile>",
         "line 2: the Password of entry \"Bank\" is encrypted (Protected=\"True\"); export the database "
         "without protection"},
        {"an unknown CSV header", "a,b,c\n1,2,3\n", "the format is not recognised; the formats are " + formats},
        {"other JSON", "{\"x\": 1}", "the format is not recognised; the formats are " + formats},
        {"other XML", "<html></html>", "the format is not recognised; the formats are " + formats},
        {"an empty file", bom + "\n", "the file is empty"},
        {"a kesp-json of a later version", R"({"format":"kesp","version":2,"entries":[]})",
         "kesp-json version 2 is not known"},
        {"JSON nested one level deeper than allowed", deep_json_prefix + nested_json(254) + "}]}",
         "line 1, column " + std::to_string(deep_json_prefix.size() + 254) +
             ": nested more than 256 levels deep"},
        {"XML nested one level deeper than allowed", nested_groups(254),
         "line 1: nested more than 256 levels deep"},
        {"a NUL escaped in a JSON string", "{\"items\": [\n  {\"type\": 1, \"name\": \"a\\u0000b\"}]}",
         "line 2, column 25: a NUL character (\\u0000) in a string"},
        {"a NUL escaped in a JSON key", "{\"items\": [], \"\\\\\\u0000\": 1}",
         "line 1, column 18: a NUL character (\\u0000) in a string"},
        {"a NUL as a decimal XML reference", keepass("<Entry><String><Key>Password</Key><Value>x&#0;y</Value></String></Entry>"),
         "line 1: a NUL character (&#0;)"},
        {"a NUL as a hexadecimal XML reference", keepass("\n<Entry><String><Key>T&#x000;</Key></String></Entry>"),
         "line 2: a NUL character (&#x000;)"},
        {"an element inside a KeePass value",
         keepass("<Entry><String><Key>Title</Key><Value>a<b>c</b></Value></String></Entry>"),
         "line 1: an element inside the text of Value"},
        {"records many times larger than the file",
         R"({"folders":[{"id":"f","name":")" + std::string(std::size_t(1) << 20, 'n') + R"("}],"items":[)" +
             repeated(R"({"type":2,"folderId":"f"},)", 64) + R"({"type":2,"folderId":"f"}]})",
         "the entries would take over 64 MiB and more than four times the size of the file; no export "
         "is like that"},
    };
    for (const auto &d : table) {
        parse_result r = parse_transfer(d.input, std::nullopt);
        EXPECT_FALSE(r.ok) << d.name;
        EXPECT_EQ(r.error, d.error) << d.name;
    }
}

// The heap bytes parse_transfer of `input` takes, its result given back.
std::uint64_t parse_work(const std::string &input, const char *name) {
    set_release_observer([](const void *, std::size_t size) {
        heap_bytes.fetch_add(size, std::memory_order_relaxed);
    });
    const std::uint64_t before = heap_bytes.load();
    counting = true;
    bool ok = false;
    {
        parse_result r = parse_transfer(input, std::nullopt);
        ok = r.ok;
    }
    counting = false;
    set_release_observer(nullptr);
    const std::uint64_t work = heap_bytes.load() - before;
    if (!ok) ADD_FAILURE() << name << ": " << parse_transfer(input, std::nullopt).error;
    return work;
}

struct growth {
    const char *name;
    std::function<std::string(std::size_t)> input;  // of size (or depth) n
    std::size_t n;
};

// Eight times the input may take about eight times the work, far from the
// 64 times of a cost in its square. The work is counted, so that neither a
// loaded machine nor valgrind can matter; a buffer that doubles as it grows
// may land on either side of a doubling, hence the room up to 24 times.
TEST_F(Formats, ReadingWorkGrowsLinearlyWithTheInput) {
    const growth table[] = {
        {"a long CSV field",
         [](std::size_t n) { return "name,url,username,password\nx,,," + std::string(n, 'p') + "\n"; },
         std::size_t(64) << 10},
        {"a quoted CSV field of many short lines",
         [](std::size_t n) { return "name,url,username,password\nx,,,\"" + repeated("ab\n", n / 3) + "\"\n"; },
         std::size_t(64) << 10},
        {"KeePass groups nested deep, with long names",
         [](std::size_t depth) {
             std::string groups;
             for (std::size_t i = 0; i < depth; ++i) groups += "<Group><Name>" + std::string(16384, 'g') + "</Name>";
             return keepass(groups + entry("bottom") + repeated("</Group>", depth));
         },
         31},
        {"Bitwarden items, each in a folder of its own",
         [](std::size_t n) {
             std::string folders, items;
             for (std::size_t i = 0; i < n; ++i) {
                 folders += std::string(i ? "," : "") + R"({"id":"f)" + std::to_string(i) + R"(","name":"F"})";
                 items += std::string(i ? "," : "") + R"({"type":2,"folderId":"f)" + std::to_string(i) + R"("})";
             }
             return R"({"folders":[)" + folders + R"(],"items":[)" + items + "]}";
         },
         1000},
    };
    for (const auto &g : table) {
        const std::uint64_t small = parse_work(g.input(g.n), g.name);
        const std::uint64_t large = parse_work(g.input(8 * g.n), g.name);
        EXPECT_GT(small, 0u) << g.name;
        EXPECT_LT(large, 24 * small) << g.name << ": " << small << " bytes, then " << large;
    }
}

struct otp_case {
    std::string length, period, algorithm;  // KeePass's TimeOtp settings; empty: not given
    int digits, seconds;
    otp_algorithm expected;
    std::string refusal;  // when kesp-otp must refuse the URI: part of why
};

// The settings reach kesp-otp's reader as given, or make it refuse: never a
// code of other settings.
TEST_F(Formats, KeePassOtpSettingsReachTheCodeGenerator) {
    const otp_case table[] = {
        {"8", "60", "HMAC-SHA-256", 8, 60, otp_algorithm::sha256, ""},
        {"", "", "hmac-sha-512", 6, 30, otp_algorithm::sha512, ""},
        {"7", "", "", 7, 30, otp_algorithm::sha1, ""},
        {"", "", "HMAC-SHA-1", 6, 30, otp_algorithm::sha1, ""},
        {"", "", "HMAC-MD5", 0, 0, otp_algorithm::sha1, "algorithm=HMAC-MD5"},
        {"10", "", "", 0, 0, otp_algorithm::sha1, "digits=10"},
        {"", "30&secret=AAAA", "", 0, 0, otp_algorithm::sha1, "period=30&secret=AAAA"},
    };
    for (const auto &c : table) {
        std::string strings = "<String><Key>TimeOtp-Secret-Base32</Key><Value>JBSWY3DPEHPK3PXP</Value></String>";
        const std::pair<const char *, const std::string *> settings[] = {
            {"TimeOtp-Length", &c.length}, {"TimeOtp-Period", &c.period}, {"TimeOtp-Algorithm", &c.algorithm}};
        for (const auto &[key, value] : settings)
            if (!value->empty())
                strings += "<String><Key>" + std::string(key) + "</Key><Value>" + *value + "</Value></String>";
        parse_result r = parse_transfer(keepass("<Entry>" + strings + "</Entry>"), std::nullopt);
        ASSERT_TRUE(r.ok) << r.error;
        ASSERT_EQ(r.records.size(), 1u);
        std::string why;
        auto params = parse_totp_uri(r.records[0].notes.view(), why);
        SCOPED_TRACE(r.records[0].notes.view());
        if (!c.refusal.empty()) {
            EXPECT_FALSE(params);
            EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
            continue;
        }
        ASSERT_TRUE(params) << why;
        EXPECT_EQ(params->digits, c.digits);
        EXPECT_EQ(params->period, c.seconds);
        EXPECT_EQ(params->algorithm, c.expected);
    }
}

TEST_F(Formats, AForcedFormatNamesTheMissingColumn) {
    parse_result r = parse_transfer("name,url,password\nx,y,z\n", transfer_format::chrome_csv);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "line 1: no column \"username\" in the header");
}

// Entries that every export format must carry through unchanged.
std::vector<transfer_record> awkward_records() {
    auto make = [](std::string_view title, std::string_view user, std::string_view url,
                   std::string_view password, std::string_view notes, std::string modified) {
        transfer_record r;
        r.title.assign(title);
        r.user.assign(user);
        r.url.assign(url);
        r.password.assign(password);
        r.notes.assign(notes);
        r.modified = std::move(modified);
        return r;
    };
    const std::string long_text(1023, 'x');
    std::vector<transfer_record> records;
    records.push_back(make("comma, \"quote\"", "user,name", "https://a.example/?q=1&r=<2>", "p\"w,d'",
                           "line one\nline two\r\nline three", "2024-03-01 10:20:30"));
    records.push_back(make("", "", "", "", "", "2023-12-31 23:59:59"));
    records.push_back(make("Ünïcödé ✓ 密码", "ユーザー", "https://例え.jp", "пароль🔑", "émoji 🎉\ttab",
                           "2000-02-29 00:00:00"));
    records.push_back(make(long_text, long_text, long_text, long_text, long_text, "1999-01-01 01:01:01"));
    records.push_back(make("  spaces  ", " ", "\t", "   ", "\n\nleading lines", "2024-07-04 12:00:00"));
    records.push_back(make("control \x01\x1f", "a]]>b", "&amp;", "<![CDATA[x]]>", "\r", "2024-07-04 12:00:01"));
    return records;
}

TEST_F(Formats, EveryExportFormatReadsBackTheSameEntries) {
    const transfer_format formats[] = {transfer_format::kesp_csv, transfer_format::kesp_json,
                                       transfer_format::bitwarden_json, transfer_format::keepass_xml};
    const auto records = awkward_records();
    for (auto format : formats) {
        SCOPED_TRACE(format_name(format));
        write_result w = write_transfer(records, format);
        ASSERT_TRUE(w.ok) << w.error;
        parse_result r = parse_transfer(w.bytes, std::nullopt);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.format, format);
        EXPECT_TRUE(r.skipped.empty());
        ASSERT_EQ(r.records.size(), records.size());
        for (std::size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(r.records[i].title.view(), records[i].title.view()) << i;
            EXPECT_EQ(r.records[i].user.view(), records[i].user.view()) << i;
            EXPECT_EQ(r.records[i].url.view(), records[i].url.view()) << i;
            EXPECT_EQ(r.records[i].password.view(), records[i].password.view()) << i;
            EXPECT_EQ(r.records[i].notes.view(), records[i].notes.view()) << i;
            EXPECT_EQ(r.records[i].modified, records[i].modified) << i;
        }
    }
}

TEST_F(Formats, KespCsvQuotesEveryFieldAndEndsLinesWithCrlf) {
    std::vector<transfer_record> records(1);
    records[0].title.assign("a\"b");
    records[0].modified = "2024-03-01 10:20:30";
    write_result w = write_transfer(records, transfer_format::kesp_csv);
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.bytes.view(),
              "\"title\",\"username\",\"url\",\"password\",\"notes\",\"modified\"\r\n"
              "\"a\"\"b\",\"\",\"\",\"\",\"\",\"2024-03-01 10:20:30\"\r\n");
}

TEST_F(Formats, TextsThatAreNotUtf8AreNotExported) {
    std::vector<transfer_record> records(1);
    records[0].id = 7;
    records[0].notes.assign("\xFF");
    write_result w = write_transfer(records, transfer_format::kesp_json);
    EXPECT_FALSE(w.ok);
    EXPECT_EQ(w.error, "entry 7: the notes field is not UTF-8");
    EXPECT_TRUE(w.bytes.empty());
}

TEST_F(Formats, DuplicatesOfTheDatabaseOrOfEarlierRecordsAreDropped) {
    auto r = [](const char *title, const char *password) {
        transfer_record t;
        t.title.assign(title);
        t.password.assign(password);
        return t;
    };
    std::vector<transfer_record> records;
    records.push_back(r("a", "1"));  // in the database
    records.push_back(r("a", "2"));  // same title only: kept
    records.push_back(r("b", "3"));
    records.push_back(r("b", "3"));  // earlier in the file
    records.back().modified = "2024-01-01 00:00:00";  // times do not count
    entry_ptr existing(entry_new("a", "", "", "1", ""));
    EXPECT_EQ(drop_duplicates(records, existing.get()), 2u);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].password.view(), "2");
    EXPECT_EQ(records[1].title.view(), "b");
}

TEST_F(Formats, TimesConvertToLocalTime) {
    setenv("TZ", "EET-2EEST,M3.5.0/3,M10.5.0/4", 1);  // no tzdata needed
    tzset();
    parse_result r = parse_transfer(
        "\"Group\",\"Title\",\"Username\",\"Password\",\"URL\",\"Notes\",\"TOTP\",\"Icon\",\"Last Modified\","
        "\"Created\"\n\"Root\",\"T\",\"\",\"\",\"\",\"\",\"\",\"0\",\"2024-07-01T09:00:00Z\",\"\"\n"
        "\"Root\",\"U\",\"\",\"\",\"\",\"\",\"\",\"0\",\"yesterday\",\"\"\n",
        std::nullopt);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.records.size(), 2u);
    EXPECT_EQ(r.records[0].modified, "2024-07-01 12:00:00");  // summer time, UTC+3
    // A time that cannot be read is not lost: it becomes a line of the notes.
    EXPECT_EQ(r.records[1].modified, "");
    EXPECT_EQ(r.records[1].notes.view(), "Last Modified: yesterday");
}

}  // namespace
