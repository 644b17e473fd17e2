// Digest authentication: MD5 vectors, challenge parsing and the
// Authorization value against the worked example of RFC 2617.
#include <gtest/gtest.h>

#include "auth/auth.h"
#include "base/log.h"

using namespace callctl::auth;

TEST(Md5, Rfc1321TestSuite) {
    struct Row {
        const char *in, *hex;
    } rows[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &r : rows) EXPECT_EQ(md5_hex(r.in), r.hex) << r.in;
}

TEST(Digest, Rfc2617ExampleWithQopAuth) {
    Challenge c;
    ASSERT_TRUE(parse_challenge("Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
                                "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
                                "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
                                &c));
    EXPECT_TRUE(c.qop_auth);
    std::string v = authorization(c, {"Mufasa", "Circle Of Life"}, "GET", "/dir/index.html", 1, "0a4f113b");
    EXPECT_NE(v.find("response=\"6629fae49393a05397450978507c4ef1\""), std::string::npos) << v;
    EXPECT_NE(v.find("nc=00000001"), std::string::npos);
    EXPECT_NE(v.find("cnonce=\"0a4f113b\""), std::string::npos);
    EXPECT_NE(v.find("opaque=\"5ccc069c403ebaf9f0171e9517f40e41\""), std::string::npos);
    EXPECT_NE(v.find("qop=auth,"), std::string::npos);
}

TEST(Digest, WithoutQopUsesTheRfc2069Response) {
    Challenge c;
    ASSERT_TRUE(parse_challenge("Digest realm=\"r\", nonce=\"n\"", &c));
    EXPECT_FALSE(c.qop_auth);
    std::string v = authorization(c, {"u", "p"}, "REGISTER", "sip:h", 1, "x");
    std::string ha1 = md5_hex("u:r:p"), ha2 = md5_hex("REGISTER:sip:h");
    EXPECT_NE(v.find("response=\"" + md5_hex(ha1 + ":n:" + ha2) + "\""), std::string::npos) << v;
    EXPECT_EQ(v.find("qop"), std::string::npos);
    EXPECT_EQ(v.find("cnonce"), std::string::npos);
}

TEST(Digest, ChallengeScenarios) {
    struct Row {
        const char *value;
        bool ok;
        bool stale;
        const char *realm;
    } rows[] = {
        {"Digest realm=\"a\", nonce=\"1\", stale=TRUE", true, true, "a"},
        {"Digest realm=\"a\",nonce=\"1\",stale=false,algorithm=MD5", true, false, "a"},
        {"digest nonce=\"1\", realm=\"quoted, comma\"", true, false, "quoted, comma"},
        {"Digest realm=\"a\", nonce=\"1\", algorithm=SHA-256", false, false, ""},
        {"Digest realm=\"a\", nonce=\"1\", qop=\"auth-int\"", false, false, ""},
        {"Digest realm=\"a\"", false, false, ""},
        {"Basic realm=\"a\"", false, false, ""},
        {"", false, false, ""},
    };
    for (const auto &r : rows) {
        Challenge c;
        bool ok = parse_challenge(r.value, &c);
        EXPECT_EQ(ok, r.ok) << r.value;
        if (ok) {
            EXPECT_EQ(c.stale, r.stale) << r.value;
            EXPECT_EQ(c.realm, r.realm) << r.value;
        }
    }
}

// What the log keeps of a message: the credentials' secrets become ***, the
// rest (other headers, quoted values that merely mention them, the body)
// stays as it was.
TEST(LogMasking, CredentialSecretsAndNothingElse) {
    const std::string start = "REGISTER sip:h SIP/2.0\r\n", body = "\r\nAuthorization: Digest response=\"b0dy\"\r\n";
    struct Row {
        const char *headers, *masked;
    } rows[] = {
        {"Authorization: Digest username=\"8001\", realm=\"r\", nonce=\"n\", uri=\"sip:h\", response=\"0123abcd\", "
         "algorithm=MD5\r\n",
         "Authorization: Digest username=\"8001\", realm=\"r\", nonce=\"n\", uri=\"sip:h\", response=\"***\", "
         "algorithm=MD5\r\n"},
        {"proxy-authorization: Digest RESPONSE = abc,username=\"u\"\r\n",
         "proxy-authorization: Digest RESPONSE = ***,username=\"u\"\r\n"},
        {"Authorization: Digest username=\"u\", password=\"pw\", x-Passwd=pw2\r\n",
         "Authorization: Digest username=\"u\", password=\"***\", x-Passwd=***\r\n"},
        {"Authorization: Digest username=\"u\",\r\n response=\"folded\"\r\nTo: <sip:h>\r\n",
         "Authorization: Digest username=\"u\",\r\n response=\"***\"\r\nTo: <sip:h>\r\n"},
        {"Authorization: Digest uri=\"sip:h;response=1\", response=\"x\\\"y\"\r\n",
         "Authorization: Digest uri=\"sip:h;response=1\", response=\"***\"\r\n"},
        {"Authorization: Digest response=\"unterminated\r\nTo: <sip:h>\r\n",
         "Authorization: Digest response=\"***\"\r\nTo: <sip:h>\r\n"},
        {"X-Note: response=\"keep\"\r\nWWW-Authenticate: Digest nonce=\"n\"\r\n",
         "X-Note: response=\"keep\"\r\nWWW-Authenticate: Digest nonce=\"n\"\r\n"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(callctl::log::mask_secrets(start + r.headers + body), start + r.masked + body) << r.headers;
}

// SRTP keys in a description (RFC 4568 a=crypto) are masked, whatever the
// key parameters around them; other lines of the body stay as they were.
TEST(LogMasking, SrtpKeysInTheBody) {
    const std::string head = "INVITE sip:h SIP/2.0\r\nContent-Type: application/sdp\r\n\r\nv=0\r\n";
    struct Row {
        const char *body, *masked;
    } rows[] = {
        {"a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz\r\n",
         "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:***\r\n"},
        {"a=crypto:2 AES_CM_128_HMAC_SHA1_32 inline:QUJD|2^20|1:4;inline:REVG|2^20|2:4 KDR=0\r\n",
         "a=crypto:2 AES_CM_128_HMAC_SHA1_32 inline:***|2^20|1:4;inline:***|2^20|2:4 KDR=0\r\n"},
        {"A=CRYPTO:3 x INLINE:QUJD\n", "A=CRYPTO:3 x INLINE:***\n"},
        {"a=crypto:4 AES_CM_128_HMAC_SHA1_80 inline:QUJD", "a=crypto:4 AES_CM_128_HMAC_SHA1_80 inline:***"},
        {"s=inline:QUJD\r\na=note inline:QUJD\r\n", "s=inline:QUJD\r\na=note inline:QUJD\r\n"},
    };
    for (const auto &r : rows) EXPECT_EQ(callctl::log::mask_secrets(head + r.body), head + r.masked) << r.body;
}

TEST(LogMasking, TextThatIsNotUtf8IsEscaped) {
    struct Row {
        std::string in, out;
    } rows[] = {
        {"plain\ttext", "plain\ttext"},
        {"\xE5\xBD\x95\xE9\x9F\xB3", "\xE5\xBD\x95\xE9\x9F\xB3"},     // UTF-8 stays
        {"\xC4\xFA\xBA\xC3", "\\xC4\\xFA\\xBA\\xC3"},             // GBK does not
        {std::string("a\0b\r\x7F", 5), "a\\x00b\\x0D\\x7F"},
        {"cut \xE5\xBD", "cut \\xE5\\xBD"},
        // Text from outside cannot forge or hide a line: terminal escapes, C1 controls,
        // line separators and the bidirectional overrides are escaped too.
        {"\x1B[2K\x1B[1Aforged", "\\x1B[2K\\x1B[1Aforged"},
        {"a\xC2\x85" "b\xC2\x9B" "c", "a\\u0085b\\u009Bc"},
        {"x\xE2\x80\xA8y\xE2\x80\xA9z", "x\\u2028y\\u2029z"},
        {"sip:\xE2\x80\xAE" "gpj.exe", "sip:\\u202Egpj.exe"},
        {"\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD", "\\u202A\\u202B\\u202C\\u202D"},
        {"\xE2\x81\xA6" "a\xE2\x81\xA7" "b\xE2\x81\xA8" "c\xE2\x81\xA9", "\\u2066a\\u2067b\\u2068c\\u2069"},
        {"\xE2\x80\xAF\xE2\x81\xA0\xC2\xA0", "\xE2\x80\xAF\xE2\x81\xA0\xC2\xA0"},  // neighbours stay
        // Not well-formed: an overlong line feed, a surrogate, past U+10FFFF.
        {"\xE0\x80\x8A", "\\xE0\\x80\\x8A"},
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
        {"\xF0\x9F\x8E\xA7", "\xF0\x9F\x8E\xA7"},
    };
    for (const auto &r : rows) EXPECT_EQ(callctl::log::printable(r.in), r.out) << r.out;
}
