// The transfer formats without files or databases: one table of small
// samples of each format with the entries they must give, one table of
// damaged files, and round trips through every export format.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "formats/formats.h"

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
         {{"Router", "admin", "http://192.168.1.1", "r&t<1", "in the hall\nSerial: X-1", "2024-03-01 10:20:30"},
          {"Mail", "", "", " sp ", "Group: Email/Work\notpauth://totp/x?secret=ABC", "2024-03-01 10:20:30"}},
         {{"KeePass history entries", 1}}},
        {"bitwarden-json: login, secure note, card, identity and an unknown type",
         R"({"encrypted": false, "folders": [{"id": "f1", "name": "Work"}], "items": [
           {"id": "1", "folderId": "f1", "type": 1, "name": "GitHub", "notes": "work account",
            "favorite": true, "fields": [{"name": "PIN", "value": "1234", "type": 1}],
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
           "work account\nFolder: Work\nURL: https://gist.github.com\nPIN: 1234\nFavorite: true\n"
           "otpauth://totp/GitHub?secret=JBSWY3DPEHPK3PXP",
           "2024-03-01 10:20:30"},
          {"Wifi", "", "", "", "code 42", "2024-03-01 10:20:30"},
          {"Visa", "", "", "",
           "Cardholder: Bob\nBrand: Visa\nCard number: 4111111111111111\nExpiry month: 12\n"
           "Expiry year: 2030\nSecurity code: 123",
           ""},
          {"Me", "", "", "", "First name: Bob\nLast name: Smith\nEmail: bob@example.com\nnickname: bobby", ""}},
         {{"Bitwarden items of type 9", 1}, {"Bitwarden SSH keys", 1}}},
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
        {"a row with fewer fields", "name,url,username,password\na,b,c\n",
         "line 2: a row of 3 fields where the header has 4"},
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
    };
    for (const auto &d : table) {
        parse_result r = parse_transfer(d.input, std::nullopt);
        EXPECT_FALSE(r.ok) << d.name;
        EXPECT_EQ(r.error, d.error) << d.name;
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
