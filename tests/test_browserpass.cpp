// The browserpass protocol's texts: names, fetched text, JSON strings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/browserpass.h"

namespace {

struct entries {
    entry_ptr head{entry_new("dummy", "dummy", "dummy", "dummy", "dummy")};
    entry *tail = head.get();
    int next_id = 1;
    entries &add(const char *title, const char *user, const char *url, const char *password,
                 const char *notes = "") {
        tail = entry_append(tail, title, user, url, password, notes);
        tail->id = next_id++;
        return *this;
    }
    const entry *first() const { return head->next; }
};

std::vector<std::string> names_of(const entries &list) {
    std::vector<std::string> out;
    for (const auto &n : browser_names(list.first())) out.push_back(n.name);
    return out;
}

TEST(BrowserNames, OnePerUsableEntryUniqueAndWithoutFolders) {
    entries list;
    list.add("forge", "alice", "https://Git.Example.com/login", "pw")          // 1
        .add("mail", "", "mail.example.org/inbox", "pw")                        // 2: no scheme
        .add("no url", "bob", "", "pw")                                         // 3
        .add("again", "alice", "https://git.example.com:443/", "pw")            // 4
        .add("slash", "a/evil.example", "https://bank.example", "pw")           // 5
        .add("hidden host", "x", "https://evil.example%2Fbank.example/", "pw")  // 6
        .add("broken", "u", "https://n.example", "line\nbreak")                 // 7
        .add("empty", "u", "https://e.example", "")                             // 8
        .add("blank", "u", "https://e.example", " \t")                          // 9
        .add("", "", "http://127.0.0.1:8080/", "pw")                            // 10
        .add("user with break", "a\nb", "https://u.example", "pw")              // 11
        .add("taken", "alice (4)", "https://git.example.com", "pw");            // 12
    EXPECT_EQ(names_of(list), (std::vector<std::string>{
                                  "git.example.com/alice.gpg",
                                  "mail.example.org/mail.gpg",
                                  "git.example.com/alice (4).gpg",
                                  "bank.example/a\u2215evil.example.gpg",
                                  "127.0.0.1:8080/entry 10.gpg",
                                  "git.example.com/alice (4) (12).gpg",
                              }));
}

struct fetch_case {
    const char *name;
    const char *user, *password, *notes;
    std::string text;
};

TEST(BrowserFetch, TheExtensionReadsThePasswordUserAndUrlItWasGiven) {
    const std::vector<fetch_case> cases = {
        {"plain", "alice", "pw", "", "pw\nlogin: alice\nurl: https://h.example\n"},
        {"no user", "", "pw", "", "pw\nlogin: \nurl: https://h.example\n"},
        {"notes and a one-time code", "alice", "pw", "first\notpauth://totp/x?secret=AB\r\nlast",
         "pw\nlogin: alice\nurl: https://h.example\nfirst\notpauth://totp/x?secret=AB\nlast\n"},
        {"a notes line read as the password", "alice", "pw", "Password: old\npass:x\nsecret :y\npassword:",
         "pw\nlogin: alice\nurl: https://h.example\nnotes: Password: old\nnotes: pass:x\n"
         "notes: secret :y\npassword:\n"},
        {"a password read as a field", "alice", "pass: word", "",
         "password: pass: word\nlogin: alice\nurl: https://h.example\n"},
        {"a password read as the user", "alice", "login:bob", "",
         "password: login:bob\nlogin: alice\nurl: https://h.example\n"},
        {"a password read as a code", "alice", "otpauth://x", "",
         "password: otpauth://x\nlogin: alice\nurl: https://h.example\n"},
        {"a password with a colon only", "alice", "a:b c", "", "a:b c\nlogin: alice\nurl: https://h.example\n"},
        {"blanks kept on the bare line", "alice", " pw ", "", " pw \nlogin: alice\nurl: https://h.example\n"},
    };
    for (const auto &c : cases) {
        entry_ptr e(entry_new("t", c.user, "https://h.example", c.password, c.notes));
        EXPECT_EQ(browser_fetch_text(*e).view(), c.text) << c.name;
    }
    // A password read as a field whose blanks its value would lose: not carried.
    entries list;
    list.add("t", "u", "https://h.example", "pass: word ");
    EXPECT_TRUE(names_of(list).empty());
}

TEST(BrowserFetch, AnswersOnlyAListedName) {
    entries list;
    list.add("forge", "alice", "https://h.example", "pw\"\\").add("no url", "bob", "", "secret");
    auto names = browser_names(list.first());
    browser_request request;
    request.action = browser_action::fetch;
    request.file = "h.example/alice.gpg";
    EXPECT_EQ(std::string(browser_fetch_reply(names, request).view()),
              "{\"status\":\"ok\",\"version\":3000003,\"data\":{\"contents\":"
              "\"pw\\\"\\\\\\nlogin: alice\\nurl: https://h.example\\n\"}}");
    for (const char *file : {"h.example/alice", "/bob.gpg", "h.example/bob.gpg", ""}) {
        request.file = file;
        EXPECT_NE(browser_fetch_reply(names, request).view().find("\"code\":15"), std::string::npos) << file;
    }
}

TEST(BrowserJson, StringsAreEscapedAndAlwaysUtf8) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain", "\"plain\""},
        {"q\"b\\", "\"q\\\"b\\\\\""},
        {std::string("\x01\n\x1f\x7f", 4), "\"\\u0001\\n\\u001f\\u007f\""},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91\""},
        {"\xff", "\"\\ufffd\""},
        {"\xc3", "\"\\ufffd\""},                      // cut short
        {"\xc0\xaf", "\"\\ufffd\\ufffd\""},          // overlong
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},  // a surrogate
        {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // past U+10FFFF
        {std::string("a\0b", 3), "\"a\\u0000b\""},
    };
    for (const auto &[text, quoted] : cases) {
        secret_string out;
        append_json_string(out, text);
        EXPECT_EQ(out.view(), quoted);
    }
}

TEST(BrowserRequest, ReadsTheStoreAndRefusesWrongTypes) {
    std::string error;
    auto r = parse_browser_request(R"({"action":"list","settings":{"stores":{"work":{},"zz":{}}}})", error);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->store, "work");
    r = parse_browser_request(R"({"action":"list","settings":{"stores":{"a":{},"default":{}}}})", error);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->store, "default");
    r = parse_browser_request(R"({"action":"echo"})", error);
    ASSERT_TRUE(r);
    EXPECT_EQ(browser_echo_reply(*r), "{\"status\":\"ok\",\"version\":3000003,\"data\":null}");
    const std::vector<std::pair<std::string, int>> refused = {
        {"", 11}, {"{", 11}, {"[]", 11}, {"\"list\"", 11}, {R"({"action":1})", 11},
        {R"({"action":"list","settings":[]})", 11}, {R"({"action":"list","settings":{"stores":1}})", 11},
        {R"({"action":"fetch"})", 11}, {R"({"action":"fetch","file":2})", 11},
        {R"({"action":"fetch","file":"a","storeId":[]})", 11}, {"{\"action\":\"\xff\"}", 11},
        {R"({"action":"save"})", 12}, {R"({"action":"delete"})", 12}, {R"({"action":"tree"})", 12},
        {std::string(browser_message_limit + 1, ' '), 10},
    };
    for (const auto &[text, code] : refused) {
        error.clear();
        EXPECT_FALSE(parse_browser_request(text, error)) << text.substr(0, 40);
        EXPECT_NE(error.find("\"code\":" + std::to_string(code) + ","), std::string::npos) << error;
    }
}

TEST(BrowserManifest, OnlyKespBrowsersOwnIsOurs) {
    EXPECT_TRUE(browser_manifest_is_kesp(R"({"path":"/usr/bin/kesp-browser"})"));
    for (const char *text : {R"({"path":"/usr/lib/browserpass/other"})", R"({"path":"/x/not-kesp-browser"})",
                             R"({"path":1})", "{}", "nonsense", "[]"})
        EXPECT_FALSE(browser_manifest_is_kesp(text)) << text;
}

}  // namespace
