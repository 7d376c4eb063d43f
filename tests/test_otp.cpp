// One-time codes: the RFC 6238 vectors through the URI parser, and the URIs
// that people paste, well-formed or not.
#include <gtest/gtest.h>

#include "otp/otp.h"

namespace {

const std::string seed20 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
const std::string seed32 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZA====";
const std::string seed64 =
    "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNA=";

std::string code_at(const std::string &text, std::time_t now, std::string &why) {
    auto params = parse_totp_uri(text, why);
    if (!params) return "";
    auto code = totp_at(*params, now, why);
    return code ? std::string(code->digits.view()) : "";
}

TEST(Totp, Rfc6238AppendixBVectors) {
    struct vector {
        std::time_t time;
        const char *sha1, *sha256, *sha512;
    };
    const vector vectors[] = {
        {59, "94287082", "46119246", "90693936"},
        {1111111109, "07081804", "68084774", "25091201"},
        {1111111111, "14050471", "67062674", "99943326"},
        {1234567890, "89005924", "91819424", "93441116"},
        {2000000000, "69279037", "90698825", "38618901"},
        {20000000000, "65353130", "77737706", "47863826"},
    };
    for (const auto &v : vectors) {
        std::string why;
        const std::string base = "otpauth://totp/RFC:test?digits=8&secret=";
        EXPECT_EQ(code_at(base + seed20, v.time, why), v.sha1) << v.time << why;
        EXPECT_EQ(code_at(base + seed32 + "&algorithm=SHA256", v.time, why), v.sha256) << v.time << why;
        EXPECT_EQ(code_at(base + seed64 + "&algorithm=sha512", v.time, why), v.sha512) << v.time << why;
    }
}

// The same key written the ways setup pages and people write it gives the
// same code; the parameters default to 6 digits, 30 s and SHA1.
TEST(Totp, AcceptsTheSpellingsOfOneUri) {
    const char *texts[] = {
        "otpauth://totp/RFC?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ",
        "otpauth://totp/RFC?secret=gezdgnbvgy3tqojqgezdgnbvgy3tqojq",
        "OTPAUTH://TOTP/RFC?SECRET=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ",
        "otpauth://totp/RFC?secret=GEZD%20GNBV%20GY3T%20QOJQ%20GEZD%20GNBV%20GY3T%20QOJQ",
        "otpauth://totp/RFC?issuer=Example&secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ&image=x.png",
        "otpauth://totp/RFC?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ&digits=6&period=30&algorithm=SHA1#x",
        "Recovery codes below.\nURI: <otpauth://totp/RFC?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ> "
        "otpauth://totp/Other?secret=AAAAAAAA",
    };
    for (const char *text : texts) {
        std::string why;
        EXPECT_EQ(code_at(text, 59, why), "287082") << text << ": " << why;
    }
    // Padding of a key whose length needs none, and of one that does.
    std::string why;
    EXPECT_EQ(code_at("otpauth://totp/x?secret=" + seed32.substr(0, seed32.find('=')) +
                          "&algorithm=SHA256&digits=8", 59, why), "46119246") << why;
    EXPECT_EQ(code_at("otpauth://totp/x?secret=MZXW6===&period=60&digits=7", 0, why),
              code_at("otpauth://totp/x?secret=mzxw6&period=60&digits=7", 59, why));
}

TEST(Totp, ReportsWhatIsWrongWithAUri) {
    struct bad {
        const char *text, *why;
    };
    const bad cases[] = {
        {"", "no otpauth://totp/ URI in its notes"},
        {"otpauth://hotp/x?secret=GEZDGNBV&counter=1", "no otpauth://totp/ URI in its notes"},
        {"otpauth://totp/x", "its otpauth URI has no secret"},
        {"otpauth://totp/x?issuer=a", "its otpauth URI has no secret"},
        {"otpauth://totp/x?secret=&digits=6", "its otpauth URI has no secret"},
        {"otpauth://totp/x?secret=GEZ1!", "the secret of its otpauth URI is not base32"},
        {"otpauth://totp/x?secret=%ZZ", "its otpauth URI has a broken %-escape in secret"},
        {"otpauth://totp/x?secret=GEZDGNBV&digits=5", "its otpauth URI has digits=5; 6, 7 or 8 are allowed"},
        {"otpauth://totp/x?secret=GEZDGNBV&digits=9", "its otpauth URI has digits=9; 6, 7 or 8 are allowed"},
        {"otpauth://totp/x?secret=GEZDGNBV&digits=", "its otpauth URI has digits=; 6, 7 or 8 are allowed"},
        {"otpauth://totp/x?secret=GEZDGNBV&period=0",
         "its otpauth URI has period=0; 1 to 86400 seconds are allowed"},
        {"otpauth://totp/x?secret=GEZDGNBV&period=-30",
         "its otpauth URI has period=-30; 1 to 86400 seconds are allowed"},
        {"otpauth://totp/x?secret=GEZDGNBV&algorithm=MD5",
         "its otpauth URI has algorithm=MD5; SHA1, SHA256 or SHA512 are allowed"},
        {"otpauth://totp/x?secret=GEZDGNBV&secret=MZXW6", "its otpauth URI gives secret twice"},
        {"otpauth://totp/Steam:me?secret=GEZDGNBV&encoder=steam&issuer=Steam",
         "its otpauth URI asks for Steam Guard codes (encoder=steam), which this program cannot make"},
        {"otpauth://totp/x?secret=GEZDGNBV&Encoder=base26",
         "its otpauth URI has encoder=base26, which this program does not know"},
    };
    for (const auto &c : cases) {
        std::string why;
        EXPECT_FALSE(parse_totp_uri(c.text, why)) << c.text;
        EXPECT_EQ(why, c.why) << c.text;
    }
}

TEST(Totp, TellsHowLongTheCodeStaysValid) {
    std::string why;
    auto params = parse_totp_uri("otpauth://totp/x?secret=GEZDGNBV&period=60", why);
    ASSERT_TRUE(params) << why;
    for (auto [now, left] : {std::pair<std::time_t, int>{0, 60}, {59, 1}, {60, 60}, {1000, 20}}) {
        auto code = totp_at(*params, now, why);
        ASSERT_TRUE(code) << why;
        EXPECT_EQ(code->valid_for, left) << now;
        EXPECT_EQ(code->digits.size(), 6u);
    }
}

}  // namespace
