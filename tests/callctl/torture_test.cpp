// The SIP torture messages of RFC 4475, byte for byte, through the parser:
// the valid ones parse and yield the fields their notes point at, the
// invalid ones are refused, and the transaction- and application-layer ones
// parse the way those layers need them to (the answer to them -- 416, 420,
// 483... -- is the user agent's, not the parser's). Cut short anywhere, an
// accepted message must not come out as a shorter well-formed one.
//
// Messages are written out whole with their CR LF line ends; the bytes that
// are not printable ASCII are hex escapes, and the long repeated runs of
// longreq and scalar02 are built with rep().
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sip/sip.h"

using namespace callctl::sip;
using namespace std::string_literals;

namespace {

std::string rep(const char *s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

// Every Via element of the message, top first.
std::vector<Via> vias(const Message &m) {
    std::vector<Via> out;
    for (const auto &h : m.headers()) {
        if (h.id != Hdr::Via) continue;
        for_each_element(h.value, [&](std::string_view el) {
            Via v;
            EXPECT_TRUE(parse_via(el, &v)) << el;
            out.push_back(v);
            return true;
        });
    }
    return out;
}

// Runs of whitespace as one space: folded lines compare with their unfolded text.
std::string squeeze(std::string_view s) {
    std::string out;
    for (char c : s) {
        bool ws = c == ' ' || c == '\t';
        if (ws && (out.empty() || out.back() == ' ')) continue;
        out += ws ? ' ' : c;
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::vector<NameAddr> contacts(const Message &m) {
    std::vector<NameAddr> out;
    for (const auto &h : m.headers())
        if (h.id == Hdr::Contact)
            for_each_element(h.value, [&](std::string_view el) {
                NameAddr na;
                EXPECT_TRUE(parse_name_addr(el, &na)) << el;
                out.push_back(na);
                return true;
            });
    return out;
}

std::string_view param(std::string_view params, std::string_view name) {
    std::string_view v;
    EXPECT_TRUE(find_param(params, name, &v)) << name << " in " << params;
    return v;
}

}  // namespace

// The fields every accepted message is checked for; a null call_id or
// from_tag is left to the row's own checks.
struct TortureFields {
    const char *method;  // nullptr for a response
    int status;          // 0 for a request
    const char *ruri;
    const char *call_id;
    uint32_t cseq;
    const char *cseq_method;
    const char *from_tag, *to_tag;
    const char *via_transport, *via_host;
    uint16_t via_port;
    const char *via_branch;
    size_t vias;  // Via elements over all Via header fields
    size_t body;  // body length once framed
};

struct TortureRow {
    const char *name;
    std::string text;
    ParseError expect;
    TortureFields f;                             // checked when accepted
    std::function<void(const Message &)> more;  // what the message's notes add
};

// Names the row in test output.
void PrintTo(const TortureRow &r, std::ostream *os) { *os << r.name; }

namespace {

const std::string kSdp1 =  // the body most messages carry, for 192.0.2.1
    "v=0\r\n"
    "o=mhandley 29739 7272939 IN IP4 192.0.2.1\r\n"
    "s=-\r\n"
    "c=IN IP4 192.0.2.1\r\n"
    "t=0 0\r\n"
    "m=audio 49217 RTP/AVP 0 12\r\n"
    "m=video 3227 RTP/AVP 31\r\n"
    "a=rtpmap:31 LPC\r\n";

std::vector<TortureRow> rows() {
    std::vector<TortureRow> v;

    // ---- valid messages ------------------------------------------------------

    v.push_back({"wsinv",
                 "INVITE sip:vivekg@chair-dnrc.example.com;unknownparam SIP/2.0\r\n"
                 "TO :\r\n"
                 " sip:vivekg@chair-dnrc.example.com ;   tag    = 1918181833n\r\n"
                 "from   : \"J Rosenberg \\\\\\\"\"       <sip:jdrosen@example.com>\r\n"
                 "  ;\r\n"
                 "  tag = 98asjd8\r\n"
                 "MaX-fOrWaRdS: 0068\r\n"
                 "Call-ID: wsinv.ndaksdj@192.0.2.1\r\n"
                 "Content-Length   : 150\r\n"
                 "cseq: 0009\r\n"
                 "  INVITE\r\n"
                 "Via  : SIP  /   2.0\r\n"
                 " /UDP\r\n"
                 "    192.0.2.2;branch=390skdjuw\r\n"
                 "s :\r\n"
                 "NewFangledHeader:   newfangled value\r\n"
                 " continued newfangled value\r\n"
                 "UnknownHeaderWithUnusualValue: ;;,,;;,;\r\n"
                 "Content-Type: application/sdp\r\n"
                 "Route:\r\n"
                 " <sip:services.example.com;lr;unknownwith=value;unknown-no-value>\r\n"
                 "v:  SIP  / 2.0  / TCP     spindle.example.com   ;\r\n"
                 "  branch  =   z9hG4bK9ikj8  ,\r\n"
                 " SIP  /    2.0   / UDP  192.168.255.111   ; branch=\r\n"
                 " z9hG4bK30239\r\n"
                 "m:\"Quoted string \\\"\\\"\" <sip:jdrosen@example.com> ; newparam =\r\n"
                 "      newvalue ;\r\n"
                 "  secondparam ; q = 0.33\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.3\r\n"
                 "s=-\r\n"
                 "c=IN IP4 192.0.2.4\r\n"
                 "t=0 0\r\n"
                 "m=audio 49217 RTP/AVP 0 12\r\n"
                 "m=video 3227 RTP/AVP 31\r\n"
                 "a=rtpmap:31 LPC\r\n"s,
                 ParseError::None,
                 {"INVITE", 0, "sip:vivekg@chair-dnrc.example.com;unknownparam", "wsinv.ndaksdj@192.0.2.1", 9,
                  "INVITE", "98asjd8", "1918181833n", "UDP", "192.0.2.2", 0, "390skdjuw", 3, 150},
                 [](const Message &m) {
                     Uri ruri;
                     ASSERT_TRUE(parse_uri(m.request_uri(), &ruri));
                     EXPECT_EQ(ruri.params, ";unknownparam");
                     EXPECT_EQ(m.to().uri.user, "vivekg");
                     EXPECT_EQ(m.from().display, "J Rosenberg \\\\\\\"");
                     EXPECT_EQ(m.from().uri_text, "sip:jdrosen@example.com");
                     uint64_t n = 0;  // leading zeros
                     EXPECT_TRUE(parse_uint(m.value(Hdr::MaxForwards), 255, &n) && n == 68);
                     ASSERT_NE(m.find(Hdr::Subject), nullptr);  // empty Subject
                     EXPECT_EQ(m.find(Hdr::Subject)->value, "");
                     ASSERT_NE(m.find("NewFangledHeader"), nullptr);
                     EXPECT_EQ(squeeze(m.find("NewFangledHeader")->value),
                               "newfangled value continued newfangled value");
                     ASSERT_NE(m.find("UnknownHeaderWithUnusualValue"), nullptr);
                     EXPECT_EQ(m.find("UnknownHeaderWithUnusualValue")->value, ";;,,;;,;");
                     EXPECT_EQ(m.value(Hdr::ContentType), "application/sdp");
                     NameAddr route;
                     ASSERT_TRUE(parse_name_addr(m.value(Hdr::Route), &route));
                     EXPECT_EQ(route.uri.host, "services.example.com");
                     EXPECT_TRUE(find_param(route.uri.params, "unknown-no-value", nullptr));
                     auto all = vias(m);  // Via and v, comma-separated and folded
                     ASSERT_EQ(all.size(), 3u);
                     EXPECT_EQ(all[1].transport, "TCP");
                     EXPECT_EQ(all[1].host, "spindle.example.com");
                     EXPECT_EQ(all[1].branch, "z9hG4bK9ikj8");
                     EXPECT_EQ(all[2].host, "192.168.255.111");
                     EXPECT_EQ(all[2].branch, "z9hG4bK30239");
                     auto c = contacts(m);
                     ASSERT_EQ(c.size(), 1u);
                     EXPECT_EQ(c[0].display, "Quoted string \\\"\\\"");
                     EXPECT_EQ(c[0].uri.user, "jdrosen");
                     EXPECT_EQ(param(c[0].params, "newparam"), "newvalue");
                     EXPECT_EQ(param(c[0].params, "secondparam"), "");
                     EXPECT_EQ(param(c[0].params, "q"), "0.33");
                 }});

    // The To display name holds BEL, NUL and DEL as quoted pairs.
    v.push_back({"intmeth",
                 "!interesting-Method0123456789_*+`.%indeed'~ sip:1_unusual.URI~(to-be!sure)&isn't+it$/crazy?,/;;*:"
                 "&it+has=1,weird!*pas$wo~d_too.(doesn't-it)@example.com SIP/2.0\r\n"
                 "Via: SIP/2.0/TCP host1.example.com;branch=z9hG4bK-.!%66*_+`'~\r\n"
                 "To: \"BEL:\\\x07 NUL:\\\x00 DEL:\\\x7F\" "
                 "<sip:1_unusual.URI~(to-be!sure)&isn't+it$/crazy?,/;;*@example.com>\r\n"
                 "From: token1~` token2'+_ token3*%!.- <sip:mundane@example.com>;fromParam''~+*_!.-%="
                 "\"\xD1\x80\xD0\xB0\xD0\xB1\xD0\xBE\xD1\x82\xD0\xB0\xD1\x8E\xD1\x89\xD0\xB8\xD0\xB9\""
                 ";tag=_token~1'+`*%!-.\r\n"
                 "Call-ID: intmeth.word%ZK-!.*_+'@word`~)(><:\\/\"][?}{\r\n"
                 "CSeq: 139122385 !interesting-Method0123456789_*+`.%indeed'~\r\n"
                 "Max-Forwards: 255\r\n"
                 "extensionHeader-!.%*+_`'~:\xEF\xBB\xBF\xE5\xA4\xA7\xE5\x81\x9C\xE9\x9B\xBB\r\n"
                 "Content-Length: 0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"!interesting-Method0123456789_*+`.%indeed'~", 0,
                  "sip:1_unusual.URI~(to-be!sure)&isn't+it$/crazy?,/;;*:&it+has=1,weird!*pas$wo~d_too.(doesn't-it)"
                  "@example.com",
                  "intmeth.word%ZK-!.*_+'@word`~)(><:\\/\"][?}{", 139122385,
                  "!interesting-Method0123456789_*+`.%indeed'~", "_token~1'+`*%!-.", "", "TCP",
                  "host1.example.com", 0, "z9hG4bK-.!%66*_+`'~", 1, 0},
                 [](const Message &m) {
                     Uri ruri;
                     ASSERT_TRUE(parse_uri(m.request_uri(), &ruri));
                     EXPECT_EQ(ruri.user, "1_unusual.URI~(to-be!sure)&isn't+it$/crazy?,/;;*");
                     EXPECT_EQ(ruri.password, "&it+has=1,weird!*pas$wo~d_too.(doesn't-it)");
                     EXPECT_EQ(ruri.host, "example.com");
                     EXPECT_EQ(m.to().display, "BEL:\\\x07 NUL:\\\x00 DEL:\\\x7F"s);
                     EXPECT_EQ(m.to().uri.user, "1_unusual.URI~(to-be!sure)&isn't+it$/crazy?,/;;*");
                     EXPECT_EQ(m.from().display, "token1~` token2'+_ token3*%!.-");
                     EXPECT_EQ(param(m.from().params, "fromParam''~+*_!.-%"),
                               "\xD1\x80\xD0\xB0\xD0\xB1\xD0\xBE\xD1\x82\xD0\xB0\xD1\x8E\xD1\x89\xD0\xB8\xD0\xB9");
                     EXPECT_EQ(m.value(Hdr::MaxForwards), "255");
                     const HeaderField *ext = m.find("extensionHeader-!.%*+_`'~");
                     ASSERT_NE(ext, nullptr);
                     EXPECT_EQ(ext->id, Hdr::Other);
                     EXPECT_EQ(ext->value, "\xEF\xBB\xBF\xE5\xA4\xA7\xE5\x81\x9C\xE9\x9B\xBB");
                 }});

    // Escapes stay as written: the parser hands out the escaped text and
    // splits at the unescaped delimiters only.
    v.push_back({"esc01",
                 "INVITE sip:sips%3Auser%40example.com@example.net SIP/2.0\r\n"
                 "To: sip:%75se%72@example.com\r\n"
                 "From: <sip:I%20have%20spaces@example.net>;tag=938\r\n"
                 "Max-Forwards: 87\r\n"
                 "i: esc01.239409asdfakjkn23onasd0-3234\r\n"
                 "CSeq: 234234 INVITE\r\n"
                 "Via: SIP/2.0/UDP host5.example.net;branch=z9hG4bKkdjuw\r\n"
                 "C: application/sdp\r\n"
                 "Contact:\r\n"
                 "  <sip:cal%6Cer@host5.example.net;%6C%72;n%61me=v%61lue%25%34%31>\r\n"
                 "Content-Length: 150\r\n"
                 "\r\n" +
                     kSdp1,
                 ParseError::None,
                 {"INVITE", 0, "sip:sips%3Auser%40example.com@example.net", "esc01.239409asdfakjkn23onasd0-3234", 234234,
                  "INVITE", "938", "", "UDP", "host5.example.net", 0, "z9hG4bKkdjuw", 1, 150},
                 [](const Message &m) {
                     Uri ruri;
                     ASSERT_TRUE(parse_uri(m.request_uri(), &ruri));
                     EXPECT_EQ(ruri.user, "sips%3Auser%40example.com");
                     EXPECT_EQ(ruri.host, "example.net");
                     EXPECT_EQ(m.to().uri.user, "%75se%72");
                     EXPECT_EQ(m.from().uri.user, "I%20have%20spaces");
                     EXPECT_EQ(m.value(Hdr::ContentType), "application/sdp");
                     auto c = contacts(m);
                     ASSERT_EQ(c.size(), 1u);
                     EXPECT_EQ(c[0].uri.user, "cal%6Cer");
                     EXPECT_EQ(c[0].uri.params, ";%6C%72;n%61me=v%61lue%25%34%31");
                     EXPECT_EQ(param(c[0].uri.params, "n%61me"), "v%61lue%25%34%31");
                 }});

    v.push_back({"escnull",
                 "REGISTER sip:example.com SIP/2.0\r\n"
                 "To: sip:null-%00-null@example.com\r\n"
                 "From: sip:null-%00-null@example.com;tag=839923423\r\n"
                 "Max-Forwards: 70\r\n"
                 "Call-ID: escnull.39203ndfvkjdasfkq3w4otrq0adsfdfnavd\r\n"
                 "CSeq: 14398234 REGISTER\r\n"
                 "Via: SIP/2.0/UDP host5.example.com;branch=z9hG4bKkdjuw\r\n"
                 "Contact: <sip:%00@host5.example.com>\r\n"
                 "Contact: <sip:%00%00@host5.example.com>\r\n"
                 "L:0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"REGISTER", 0, "sip:example.com", "escnull.39203ndfvkjdasfkq3w4otrq0adsfdfnavd", 14398234,
                  "REGISTER", "839923423", "", "UDP", "host5.example.com", 0, "z9hG4bKkdjuw", 1, 0},
                 [](const Message &m) {
                     EXPECT_EQ(m.to().uri.user, "null-%00-null");
                     EXPECT_EQ(m.from().uri.user, "null-%00-null");
                     auto c = contacts(m);
                     ASSERT_EQ(c.size(), 2u);
                     EXPECT_EQ(c[0].uri.user, "%00");
                     EXPECT_EQ(c[1].uri.user, "%00%00");
                     EXPECT_EQ(m.value(Hdr::ContentLength), "0");
                 }});

    // '%' is no escape in a method, a header name, a quoted string or a branch.
    v.push_back({"esc02",
                 "RE%47IST%45R sip:registrar.example.com SIP/2.0\r\n"
                 "To: \"%Z%45\" <sip:resource@example.com>\r\n"
                 "From: \"%Z%45\" <sip:resource@example.com>;tag=f232jadfj23\r\n"
                 "Call-ID: esc02.asdfnqwo34rq23i34jrjasdcnl23nrlknsdf\r\n"
                 "Via: SIP/2.0/TCP host.example.com;branch=z9hG4bK209%fzsnel234\r\n"
                 "CSeq: 29344 RE%47IST%45R\r\n"
                 "Max-Forwards: 70\r\n"
                 "Contact: <sip:alias1@host1.example.com>\r\n"
                 "C%6Fntact: <sip:alias2@host2.example.com>\r\n"
                 "Contact: <sip:alias3@host3.example.com>\r\n"
                 "l: 0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"RE%47IST%45R", 0, "sip:registrar.example.com", "esc02.asdfnqwo34rq23i34jrjasdcnl23nrlknsdf", 29344,
                  "RE%47IST%45R", "f232jadfj23", "", "TCP", "host.example.com", 0, "z9hG4bK209%fzsnel234", 1, 0},
                 [](const Message &m) {
                     EXPECT_EQ(m.to().display, "%Z%45");
                     EXPECT_EQ(m.from().display, "%Z%45");
                     auto c = contacts(m);
                     ASSERT_EQ(c.size(), 2u);
                     EXPECT_EQ(c[0].uri.host, "host1.example.com");
                     EXPECT_EQ(c[1].uri.host, "host3.example.com");
                     const HeaderField *odd = m.find("C%6Fntact");
                     ASSERT_NE(odd, nullptr);
                     EXPECT_EQ(odd->id, Hdr::Other);
                     EXPECT_EQ(odd->value, "<sip:alias2@host2.example.com>");
                 }});

    v.push_back({"lwsdisp",
                 "OPTIONS sip:user@example.com SIP/2.0\r\n"
                 "To: sip:user@example.com\r\n"
                 "From: caller<sip:caller@example.com>;tag=323\r\n"
                 "Max-Forwards: 70\r\n"
                 "Call-ID: lwsdisp.1234abcd@funky.example.com\r\n"
                 "CSeq: 60 OPTIONS\r\n"
                 "Via: SIP/2.0/UDP funky.example.com;branch=z9hG4bKkdjuw\r\n"
                 "l: 0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"OPTIONS", 0, "sip:user@example.com", "lwsdisp.1234abcd@funky.example.com", 60, "OPTIONS", "323", "",
                  "UDP", "funky.example.com", 0, "z9hG4bKkdjuw", 1, 0},
                 [](const Message &m) {
                     EXPECT_EQ(m.from().display, "caller");
                     EXPECT_EQ(m.from().uri_text, "sip:caller@example.com");
                 }});

    {
        const char *via =
            "Via: SIP/2.0/TCP sip33.example.com\r\n"
            "v: SIP/2.0/TCP sip32.example.com\r\n"
            "V: SIP/2.0/TCP sip31.example.com\r\n"
            "Via: SIP/2.0/TCP sip30.example.com\r\n"
            "ViA: SIP/2.0/TCP sip29.example.com\r\n"
            "VIa: SIP/2.0/TCP sip28.example.com\r\n"
            "VIA: SIP/2.0/TCP sip27.example.com\r\n"
            "via: SIP/2.0/TCP sip26.example.com\r\n"
            "viA: SIP/2.0/TCP sip25.example.com\r\n"
            "vIa: SIP/2.0/TCP sip24.example.com\r\n"
            "vIA: SIP/2.0/TCP sip23.example.com\r\n"
            "V :  SIP/2.0/TCP sip22.example.com\r\n"
            "v :  SIP/2.0/TCP sip21.example.com\r\n"
            "V  : SIP/2.0/TCP sip20.example.com\r\n"
            "v  : SIP/2.0/TCP sip19.example.com\r\n"
            "Via : SIP/2.0/TCP sip18.example.com\r\n"
            "Via  : SIP/2.0/TCP sip17.example.com\r\n"
            "Via: SIP/2.0/TCP sip16.example.com\r\n"
            "Via: SIP/2.0/TCP sip15.example.com\r\n"
            "Via: SIP/2.0/TCP sip14.example.com\r\n"
            "Via: SIP/2.0/TCP sip13.example.com\r\n"
            "Via: SIP/2.0/TCP sip12.example.com\r\n"
            "Via: SIP/2.0/TCP sip11.example.com\r\n"
            "Via: SIP/2.0/TCP sip10.example.com\r\n"
            "Via: SIP/2.0/TCP sip9.example.com\r\n"
            "Via: SIP/2.0/TCP sip8.example.com\r\n"
            "Via: SIP/2.0/TCP sip7.example.com\r\n"
            "Via: SIP/2.0/TCP sip6.example.com\r\n"
            "Via: SIP/2.0/TCP sip5.example.com\r\n"
            "Via: SIP/2.0/TCP sip4.example.com\r\n"
            "Via: SIP/2.0/TCP sip3.example.com\r\n"
            "Via: SIP/2.0/TCP sip2.example.com\r\n"
            "Via: SIP/2.0/TCP sip1.example.com\r\n";
        v.push_back({"longreq",
                     "INVITE sip:user@example.com SIP/2.0\r\n"
                     "To: \"I have a user name of " + rep("extreme", 10) + " proportion\"<sip:user@example.com:6000;"
                     "unknownparam1=very" + rep("long", 20) + "value;longparam" + rep("name", 25) +
                         "=shortvalue;very" + rep("long", 25) + "ParameterNameWithNoValue>\r\n"
                     "F: sip:" + rep("amazinglylongcallername", 5) + "@example.net;tag=12" + rep("982", 50) +
                         "424;unknownheaderparam" + rep("name", 20) + "=unknowheaderparam" + rep("value", 15) +
                         ";unknownValueless" + rep("paramname", 10) + "\r\n"
                     "Call-ID: longreq.one" + rep("really", 20) + "longcallid\r\n"
                     "CSeq: 3882340 INVITE\r\n"
                     "Unknown-" + rep("Long", 20) + "-Name: unknown-" + rep("long", 20) + "-value; unknown-" +
                         rep("long", 20) + "-parameter-name = unknown-" + rep("long", 20) + "-parameter-value\r\n" +
                         via +
                     "Via: SIP/2.0/TCP host.example.com;received=192.0.2.5;branch=very" + rep("long", 50) +
                         "branchvalue\r\n"
                     "Max-Forwards: 70\r\n"
                     "Contact: <sip:" + rep("amazinglylongcallername", 5) + "@host5.example.net>\r\n"
                     "Content-Type: application/sdp\r\n"
                     "l: 150\r\n"
                     "\r\n" +
                         kSdp1,
                     ParseError::None,
                     {"INVITE", 0, "sip:user@example.com", nullptr, 3882340, "INVITE", nullptr, "", "TCP",
                      "sip33.example.com", 0, "", 34, 150},
                     [](const Message &m) {
                         EXPECT_EQ(m.call_id(), "longreq.one" + rep("really", 20) + "longcallid");
                         EXPECT_EQ(m.from_tag(), "12" + rep("982", 50) + "424");
                         EXPECT_EQ(m.to().display, "I have a user name of " + rep("extreme", 10) + " proportion");
                         EXPECT_EQ(m.to().uri.port, 6000);
                         EXPECT_EQ(param(m.to().uri.params, "unknownparam1"), "very" + rep("long", 20) + "value");
                         EXPECT_EQ(param(m.to().uri.params, "longparam" + rep("name", 25)), "shortvalue");
                         EXPECT_TRUE(
                             find_param(m.to().uri.params, "very" + rep("long", 25) + "ParameterNameWithNoValue", nullptr));
                         EXPECT_EQ(m.from().uri.user, rep("amazinglylongcallername", 5));
                         EXPECT_EQ(param(m.from().params, "unknownheaderparam" + rep("name", 20)),
                                   "unknowheaderparam" + rep("value", 15));
                         EXPECT_TRUE(find_param(m.from().params, "unknownValueless" + rep("paramname", 10), nullptr));
                         const HeaderField *u = m.find("Unknown-" + rep("Long", 20) + "-Name");
                         ASSERT_NE(u, nullptr);
                         EXPECT_EQ(u->value.substr(0, 8), "unknown-");
                         auto all = vias(m);
                         ASSERT_EQ(all.size(), 34u);
                         for (size_t i = 0; i < 33; ++i)
                             EXPECT_EQ(all[i].host, "sip" + std::to_string(33 - i) + ".example.com");
                         EXPECT_EQ(all[33].received, "192.0.2.5");
                         EXPECT_EQ(all[33].branch, "very" + rep("long", 50) + "branchvalue");
                         auto c = contacts(m);
                         ASSERT_EQ(c.size(), 1u);
                         EXPECT_EQ(c[0].uri.user, rep("amazinglylongcallername", 5));
                     }});
    }

    // Octets after the first message of a datagram are noise.
    v.push_back({"dblreq",
                 "REGISTER sip:example.com SIP/2.0\r\n"
                 "To: sip:j.user@example.com\r\n"
                 "From: sip:j.user@example.com;tag=43251j3j324\r\n"
                 "Max-Forwards: 8\r\n"
                 "I: dblreq.0ha0isndaksdj99sdfafnl3lk233412\r\n"
                 "Contact: sip:j.user@host.example.com\r\n"
                 "CSeq: 8 REGISTER\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.125;branch=z9hG4bKkdjuw23492\r\n"
                 "Content-Length: 0\r\n"
                 "\r\n"
                 "\r\n"
                 "INVITE sip:joe@example.com SIP/2.0\r\n"
                 "t: sip:joe@example.com\r\n"
                 "From: sip:caller@example.net;tag=141334\r\n"
                 "Max-Forwards: 8\r\n"
                 "Call-ID: dblreq.0ha0isnda977644900765@192.0.2.15\r\n"
                 "CSeq: 8 INVITE\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.15;branch=z9hG4bKkdjuw380234\r\n"
                 "Content-Type: application/sdp\r\n"
                 "Content-Length: 150\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.15\r\n"
                 "s=-\r\n"
                 "c=IN IP4 192.0.2.15\r\n"
                 "t=0 0\r\n"
                 "m=audio 49217 RTP/AVP 0 12\r\n"
                 "m =video 3227 RTP/AVP 31\r\n"
                 "a=rtpmap:31 LPC\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"REGISTER", 0, "sip:example.com", "dblreq.0ha0isndaksdj99sdfafnl3lk233412", 8, "REGISTER",
                  "43251j3j324", "", "UDP", "192.0.2.125", 0, "z9hG4bKkdjuw23492", 1, 0},
                 [](const Message &m) {
                     EXPECT_EQ(m.value(Hdr::To), "sip:j.user@example.com");
                     EXPECT_EQ(m.find(Hdr::ContentType), nullptr);
                 }});

    v.push_back({"semiuri",
                 "OPTIONS sip:user;par=u%40example.net@example.com SIP/2.0\r\n"
                 "To: sip:j_user@example.com\r\n"
                 "From: sip:caller@example.org;tag=33242\r\n"
                 "Max-Forwards: 3\r\n"
                 "Call-ID: semiuri.0ha0isndaksdj\r\n"
                 "CSeq: 8 OPTIONS\r\n"
                 "Accept: application/sdp, application/pkcs7-mime,\r\n"
                 "        multipart/mixed, multipart/signed,\r\n"
                 "        message/sip, message/sipfrag\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.1;branch=z9hG4bKkdjuw\r\n"
                 "l: 0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"OPTIONS", 0, "sip:user;par=u%40example.net@example.com", "semiuri.0ha0isndaksdj", 8, "OPTIONS",
                  "33242", "", "UDP", "192.0.2.1", 0, "z9hG4bKkdjuw", 1, 0},
                 [](const Message &m) {
                     Uri ruri;
                     ASSERT_TRUE(parse_uri(m.request_uri(), &ruri));
                     EXPECT_EQ(ruri.user, "user;par=u%40example.net");
                     EXPECT_EQ(ruri.host, "example.com");
                     EXPECT_EQ(ruri.params, "");
                     std::vector<std::string> types;
                     for_each_element(m.value(Hdr::Accept), [&](std::string_view el) {
                         types.emplace_back(el);
                         return true;
                     });
                     EXPECT_EQ(types, (std::vector<std::string>{"application/sdp", "application/pkcs7-mime",
                                                                "multipart/mixed", "multipart/signed", "message/sip",
                                                                "message/sipfrag"}));
                 }});

    v.push_back({"transports",
                 "OPTIONS sip:user@example.com SIP/2.0\r\n"
                 "To: sip:user@example.com\r\n"
                 "From: <sip:caller@example.com>;tag=323\r\n"
                 "Max-Forwards: 70\r\n"
                 "Call-ID:  transports.kijh4akdnaqjkwendsasfdj\r\n"
                 "Accept: application/sdp\r\n"
                 "CSeq: 60 OPTIONS\r\n"
                 "Via: SIP/2.0/UDP t1.example.com;branch=z9hG4bKkdjuw\r\n"
                 "Via: SIP/2.0/SCTP t2.example.com;branch=z9hG4bKklasjdhf\r\n"
                 "Via: SIP/2.0/TLS t3.example.com;branch=z9hG4bK2980unddj\r\n"
                 "Via: SIP/2.0/UNKNOWN t4.example.com;branch=z9hG4bKasd0f3en\r\n"
                 "Via: SIP/2.0/TCP t5.example.com;branch=z9hG4bK0a9idfnee\r\n"
                 "l: 0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"OPTIONS", 0, "sip:user@example.com", "transports.kijh4akdnaqjkwendsasfdj", 60, "OPTIONS", "323", "",
                  "UDP", "t1.example.com", 0, "z9hG4bKkdjuw", 5, 0},
                 [](const Message &m) {
                     std::vector<std::string> seen;
                     for (const Via &x : vias(m)) seen.push_back(std::string(x.transport) + " " + std::string(x.host));
                     EXPECT_EQ(seen, (std::vector<std::string>{"UDP t1.example.com", "SCTP t2.example.com",
                                                               "TLS t3.example.com", "UNKNOWN t4.example.com",
                                                               "TCP t5.example.com"}));
                 }});

    // A binary body part with NUL, CR and LF octets: framed by Content-Length alone.
    v.push_back({"mpart01",
                 "MESSAGE sip:kumiko@example.org SIP/2.0\r\n"
                 "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bK-d87543-4dade06d0bdb11ee-1--d87543-;rport\r\n"
                 "Max-Forwards: 70\r\n"
                 "Route: <sip:127.0.0.1:5080>\r\n"
                 "Identity: r5mwreLuyDRYBi/0TiPwEsY3rEVsk/G2WxhgTV1PF7hHuLIK0YWVKZhKv9Mj8UeXqkMVbnVq37CD+813gvYjcBUaZn"
                 "gQmXc9WNZSDNGCzA+fWl9MEUHWIZo1CeJebdY/XlgKeTa0Olvq0rt70Q5jiSfbqMJmQFteeivUhkMWYUA=\r\n"
                 "Contact: <sip:fluffy@127.0.0.1:5070>\r\n"
                 "To: <sip:kumiko@example.org>\r\n"
                 "From: <sip:fluffy@example.com>;tag=2fb0dcc9\r\n"
                 "Call-ID: 3d9485ad0c49859b@Zmx1ZmZ5LW1hYy0xNi5sb2NhbA..\r\n"
                 "CSeq: 1 MESSAGE\r\n"
                 "Content-Transfer-Encoding: binary\r\n"
                 "Content-Type: multipart/mixed;boundary=7a9cbec02ceef655\r\n"
                 "Date: Sat, 15 Oct 2005 04:44:56 GMT\r\n"
                 "User-Agent: SIPimp.org/0.2.5 (curses)\r\n"
                 "Content-Length: 553\r\n"
                 "\r\n"
                 "--7a9cbec02ceef655\r\n"
                 "Content-Type: text/plain\r\n"
                 "Content-Transfer-Encoding: binary\r\n"
                 "\r\n"
                 "Hello\r\n"
                 "--7a9cbec02ceef655\r\n"
                 "Content-Type: application/octet-stream\r\n"
                 "Content-Transfer-Encoding: binary\r\n"
                 "\r\n"
                 "\x30\x82\x01\x52\x06\x09\x2A\x86"
                 "\x48\x86\xF7\x0D\x01\x07\x02\xA0\x82\x01\x43\x30\x82\x01\x3F\x02"
                 "\x01\x01\x31\x09\x30\x07\x06\x05\x2B\x0E\x03\x02\x1A\x30\x0B\x06"
                 "\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x01\x31\x82\x01\x20\x30\x82"
                 "\x01\x1C\x02\x01\x01\x30\x7C\x30\x70\x31\x0B\x30\x09\x06\x03\x55"
                 "\x04\x06\x13\x02\x55\x53\x31\x13\x30\x11\x06\x03\x55\x04\x08\x13"
                 "\x0A\x43\x61\x6C\x69\x66\x6F\x72\x6E\x69\x61\x31\x11\x30\x0F\x06"
                 "\x03\x55\x04\x07\x13\x08\x53\x61\x6E\x20\x4A\x6F\x73\x65\x31\x0E"
                 "\x30\x0C\x06\x03\x55\x04\x0A\x13\x05\x73\x69\x70\x69\x74\x31\x29"
                 "\x30\x27\x06\x03\x55\x04\x0B\x13\x20\x53\x69\x70\x69\x74\x20\x54"
                 "\x65\x73\x74\x20\x43\x65\x72\x74\x69\x66\x69\x63\x61\x74\x65\x20"
                 "\x41\x75\x74\x68\x6F\x72\x69\x74\x79\x02\x08\x01\x95\x00\x71\x02"
                 "\x33\x01\x13\x30\x07\x06\x05\x2B\x0E\x03\x02\x1A\x30\x0D\x06\x09"
                 "\x2A\x86\x48\x86\xF7\x0D\x01\x01\x01\x05\x00\x04\x81\x80\x8E\xF4"
                 "\x66\xF9\x48\xF0\x52\x2D\xD2\xE5\x97\x8E\x9D\x95\xAA\xE9\xF2\xFE"
                 "\x15\xA0\x66\x59\x71\x62\x92\xE8\xDA\x2A\xA8\xD8\x35\x0A\x68\xCE"
                 "\xFF\xAE\x3C\xBD\x2B\xFF\x16\x75\xDD\xD5\x64\x8E\x59\x3D\xD6\x47"
                 "\x28\xF2\x62\x20\xF7\xE9\x41\x74\x9E\x33\x0D\x9A\x15\xED\xAB\xDB"
                 "\x93\xD1\x0C\x42\x10\x2E\x7B\x72\x89\xD2\x9C\xC0\xC9\xAE\x2E\xFB"
                 "\xC7\xC0\xCF\xF9\x17\x2F\x3B\x02\x7E\x4F\xC0\x27\xE1\x54\x6D\xE4"
                 "\xB6\xAA\x3A\xBB\x3E\x66\xCC\xCB\x5D\xD6\xC6\x4B\x83\x83\x14\x9C"
                 "\xB8\xE6\xFF\x18\x2D\x94\x4F\xE5\x7B\x65\xBC\x99\xD0\x05"
                 "\r\n"
                 "--7a9cbec02ceef655--\r\n"s,
                 ParseError::None,
                 {"MESSAGE", 0, "sip:kumiko@example.org", "3d9485ad0c49859b@Zmx1ZmZ5LW1hYy0xNi5sb2NhbA..", 1, "MESSAGE",
                  "2fb0dcc9", "", "UDP", "127.0.0.1", 5070, "z9hG4bK-d87543-4dade06d0bdb11ee-1--d87543-", 1, 553},
                 [](const Message &m) {
                     EXPECT_TRUE(m.top_via().has_rport);
                     EXPECT_EQ(m.top_via().rport, -1);
                     EXPECT_EQ(m.value(Hdr::ContentType), "multipart/mixed;boundary=7a9cbec02ceef655");
                     EXPECT_EQ(m.body().substr(0, 20), "--7a9cbec02ceef655\r\n");
                     EXPECT_EQ(m.body().substr(m.body().size() - 22), "--7a9cbec02ceef655--\r\n");
                     EXPECT_NE(m.body().find('\0'), std::string_view::npos);
                 }});

    v.push_back({"unreason",
                 "SIP/2.0 200 = 2**3 * 5**2 \xD0\xBD\xD0\xBE \xD1\x81\xD1\x82\xD0\xBE \xD0\xB4\xD0\xB5\xD0\xB2\xD1\x8F"
                 "\xD0\xBD\xD0\xBE\xD1\x81\xD1\x82\xD0\xBE \xD0\xB4\xD0\xB5\xD0\xB2\xD1\x8F\xD1\x82\xD1\x8C - "
                 "\xD0\xBF\xD1\x80\xD0\xBE\xD1\x81\xD1\x82\xD0\xBE\xD0\xB5\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.198;branch=z9hG4bK1324923\r\n"
                 "Call-ID: unreason.1234ksdfak3j2erwedfsASdf\r\n"
                 "CSeq: 35 INVITE\r\n"
                 "From: sip:user@example.com;tag=11141343\r\n"
                 "To: sip:user@example.edu;tag=2229\r\n"
                 "Content-Length: 154\r\n"
                 "Content-Type: application/sdp\r\n"
                 "Contact: <sip:user@host198.example.com>\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.198\r\n"
                 "s=-\r\n"
                 "c=IN IP4 192.0.2.198\r\n"
                 "t=0 0\r\n"
                 "m=audio 49217 RTP/AVP 0 12\r\n"
                 "m=video 3227 RTP/AVP 31\r\n"
                 "a=rtpmap:31 LPC\r\n"s,
                 ParseError::None,
                 {nullptr, 200, "", "unreason.1234ksdfak3j2erwedfsASdf", 35, "INVITE", "11141343", "2229", "UDP",
                  "192.0.2.198", 0, "z9hG4bK1324923", 1, 154},
                 [](const Message &m) {
                     EXPECT_EQ(m.reason(),
                               "= 2**3 * 5**2 \xD0\xBD\xD0\xBE \xD1\x81\xD1\x82\xD0\xBE \xD0\xB4\xD0\xB5\xD0\xB2\xD1\x8F"
                               "\xD0\xBD\xD0\xBE\xD1\x81\xD1\x82\xD0\xBE \xD0\xB4\xD0\xB5\xD0\xB2\xD1\x8F\xD1\x82\xD1\x8C - "
                               "\xD0\xBF\xD1\x80\xD0\xBE\xD1\x81\xD1\x82\xD0\xBE\xD0\xB5");
                 }});

    v.push_back({"noreason",
                 "SIP/2.0 100 \r\n"
                 "Via: SIP/2.0/UDP 192.0.2.105;branch=z9hG4bK2398ndaoe\r\n"
                 "Call-ID: noreason.asndj203insdf99223ndf\r\n"
                 "CSeq: 35 INVITE\r\n"
                 "From: <sip:user@example.com>;tag=39ansfi3\r\n"
                 "To: <sip:user@example.edu>;tag=902jndnke3\r\n"
                 "Content-Length: 0\r\n"
                 "Contact: <sip:user@host105.example.com>\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {nullptr, 100, "", "noreason.asndj203insdf99223ndf", 35, "INVITE", "39ansfi3", "902jndnke3", "UDP",
                  "192.0.2.105", 0, "z9hG4bK2398ndaoe", 1, 0},
                 [](const Message &m) { EXPECT_EQ(m.reason(), ""); }});

    // ---- invalid messages ----------------------------------------------------

    v.push_back({"badinv01",  // empty Via parameters and elements
                 "INVITE sip:user@example.com SIP/2.0\r\n"
                 "To: sip:j.user@example.com\r\n"
                 "From: sip:caller@example.net;tag=134161461246\r\n"
                 "Max-Forwards: 7\r\n"
                 "Call-ID: badinv01.0ha0isndaksdjasdf3234nas\r\n"
                 "CSeq: 8 INVITE\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.15;;,;,,\r\n"
                 "Contact: \"Joe\" <sip:joe@example.org>;;;;\r\n"
                 "Content-Length: 152\r\n"
                 "Content-Type: application/sdp\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.15\r\n"
                 "s=-\r\n"
                 "c=IN IP4 192.0.2.15\r\n"
                 "t=0 0\r\n"
                 "m=audio 49217 RTP/AVP 0 12\r\n"
                 "m=video 3227 RTP/AVP 31\r\n"
                 "a=rtpmap:31 LPC\r\n"s,
                 ParseError::BadVia, {}, nullptr});

    // Content-Length past the end of the datagram.
    v.push_back({"clerr",
                 "INVITE sip:user@example.com SIP/2.0\r\n"
                 "Max-Forwards: 80\r\n"
                 "To: sip:j.user@example.com\r\n"
                 "From: sip:caller@example.net;tag=93942939o2\r\n"
                 "Contact: <sip:caller@hungry.example.net>\r\n"
                 "Call-ID: clerr.0ha0isndaksdjweiafasdk3\r\n"
                 "CSeq: 8 INVITE\r\n"
                 "Via: SIP/2.0/UDP host5.example.com;branch=z9hG4bK-39234-23523\r\n"
                 "Content-Type: application/sdp\r\n"
                 "Content-Length: 9999\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.155\r\n"
                 "s=-\r\n"
                 "c=IN IP4 192.0.2.155\r\n"
                 "t=0 0\r\n"
                 "m=audio 49217 RTP/AVP 0 12\r\n"
                 "m=video 3227 RTP/AVP 31\r\n"
                 "a=rtpmap:31 LPC\r\n"s,
                 ParseError::BadContentLength, {}, nullptr});

    v.push_back({"ncl",
                 "INVITE sip:user@example.com SIP/2.0\r\n"
                 "Max-Forwards: 254\r\n"
                 "To: sip:j.user@example.com\r\n"
                 "From: sip:caller@example.net;tag=32394234\r\n"
                 "Call-ID: ncl.0ha0isndaksdj2193423r542w35\r\n"
                 "CSeq: 0 INVITE\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.53;branch=z9hG4bKkdjuw\r\n"
                 "Contact: <sip:caller@example53.example.net>\r\n"
                 "Content-Type: application/sdp\r\n"
                 "Content-Length: -999\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.53\r\n"
                 "s=-\r\n"
                 "c=IN IP4 192.0.2.53\r\n"
                 "t=0 0\r\n"
                 "m=audio 49217 RTP/AVP 0 12\r\n"
                 "m=video 3227 RTP/AVP 31\r\n"
                 "a=rtpmap:31 LPC\r\n"s,
                 ParseError::BadContentLength, {}, nullptr});

    // CSeq, Max-Forwards, Expires and a Contact expires out of range: the CSeq
    // alone makes the request unusable.
    v.push_back({"scalar02",
                 "REGISTER sip:example.com SIP/2.0\r\n"
                 "Via: SIP/2.0/TCP host129.example.com;branch=z9hG4bK342sdfoi3\r\n"
                 "To: <sip:user@example.com>\r\n"
                 "From: <sip:user@example.com>;tag=239232jh3\r\n"
                 "CSeq: 36893488147419103232 REGISTER\r\n"
                 "Call-ID: scalar02.23o0pd9vanlq3wnrlnewofjas9ui32\r\n"
                 "Max-Forwards: 300\r\n"
                 "Expires: 1" + rep("0", 100) + "\r\n"
                 "Contact: <sip:user@host129.example.com>\r\n"
                 "  ;expires=280297596632815\r\n"
                 "Content-Length: 0\r\n"
                 "\r\n",
                 ParseError::BadCSeq, {}, nullptr});

    // A response is dropped, not answered: its CSeq overflows.
    v.push_back({"scalarlg",
                 "SIP/2.0 503 Service Unavailable\r\n"
                 "Via: SIP/2.0/TCP host129.example.com;branch=z9hG4bKzzxdiwo34sw;received=192.0.2.129\r\n"
                 "To: <sip:user@example.com>\r\n"
                 "From: <sip:other@example.net>;tag=2easdjfejw\r\n"
                 "CSeq: 9292394834772304023312 OPTIONS\r\n"
                 "Call-ID: scalarlg.noase0of0234hn2qofoaf0232aewf2394r\r\n"
                 "Retry-After: 949302838503028349304023988\r\n"
                 "Warning: 1812 overture \"In Progress\"\r\n"
                 "Content-Length: 0\r\n"
                 "\r\n"s,
                 ParseError::BadCSeq, {}, nullptr});

    v.push_back({"quotbal",
                 "INVITE sip:user@example.com SIP/2.0\r\n"
                 "To: \"Mr. J. User <sip:j.user@example.com>\r\n"
                 "From: sip:caller@example.net;tag=93334\r\n"
                 "Max-Forwards: 10\r\n"
                 "Call-ID: quotbal.aksdj\r\n"
                 "Contact: <sip:caller@host59.example.net>\r\n"
                 "CSeq: 8 INVITE\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.59:5050;branch=z9hG4bKkdjuw39234\r\n"
                 "Content-Type: application/sdp\r\n"
                 "Content-Length: 152\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.15\r\n"
                 "s=-\r\n"
                 "c=IN IP4 192.0.2.15\r\n"
                 "t=0 0\r\n"
                 "m=audio 49217 RTP/AVP 0 12\r\n"
                 "m=video 3227 RTP/AVP 31\r\n"
                 "a=rtpmap:31 LPC\r\n"s,
                 ParseError::BadFromTo, {}, nullptr});

    v.push_back({"ltgtruri",
                 "INVITE <sip:user@example.com> SIP/2.0\r\n"
                 "To: sip:user@example.com\r\n"
                 "From: sip:caller@example.net;tag=39291\r\n"
                 "Max-Forwards: 23\r\n"
                 "Call-ID: ltgtruri.1@192.0.2.5\r\n"
                 "CSeq: 1 INVITE\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.5\r\n"
                 "Contact: <sip:caller@host5.example.net>\r\n"
                 "Content-Type: application/sdp\r\n"
                 "Content-Length: 159\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.5\r\n"
                 "s=-\r\n"
                 "c=IN IP4 192.0.2.5\r\n"
                 "t=3149328700 0\r\n"
                 "m=audio 49217 RTP/AVP 0 12\r\n"
                 "m=video 3227 RTP/AVP 31\r\n"
                 "a=rtpmap:31 LPC\r\n"s,
                 ParseError::BadStartLine, {}, nullptr});

    v.push_back({"lwsruri",
                 "INVITE sip:user@example.com; lr SIP/2.0\r\n"
                 "To: sip:user@example.com;tag=3xfe-9921883-z9f\r\n"
                 "From: sip:caller@example.net;tag=231413434\r\n"
                 "Max-Forwards: 5\r\n"
                 "Call-ID: lwsruri.asdfasdoeoi2323-asdfwrn23-asd834rk423\r\n"
                 "CSeq: 2130706432 INVITE\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKkdjuw2395\r\n"
                 "Contact: <sip:caller@host1.example.net>\r\n"
                 "Content-Type: application/sdp\r\n"
                 "Content-Length: 159\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.1\r\n"
                 "s=-\r\n"
                 "c=IN IP4 192.0.2.1\r\n"
                 "t=3149328700 0\r\n"
                 "m=audio 49217 RTP/AVP 0 12\r\n"
                 "m=video 3227 RTP/AVP 31\r\n"
                 "a=rtpmap:31 LPC\r\n"s,
                 ParseError::BadStartLine, {}, nullptr});

    v.push_back({"lwsstart",
                 "INVITE  sip:user@example.com  SIP/2.0\r\n"
                 "Max-Forwards: 8\r\n"
                 "To: sip:user@example.com\r\n"
                 "From: sip:caller@example.net;tag=8814\r\n"
                 "Call-ID: lwsstart.dfknq234oi243099adsdfnawe3@example.com\r\n"
                 "CSeq: 1893884 INVITE\r\n"
                 "Via: SIP/2.0/UDP host1.example.com;branch=z9hG4bKkdjuw3923\r\n"
                 "Contact: <sip:caller@host1.example.net>\r\n"
                 "Content-Type: application/sdp\r\n"
                 "Content-Length: 150\r\n"
                 "\r\n" +
                     kSdp1,
                 ParseError::BadStartLine, {}, nullptr});

    v.push_back({"trws",  // two SP after the version
                 "OPTIONS sip:remote-target@example.com SIP/2.0  \r\n"
                 "Via: SIP/2.0/TCP host1.examle.com;branch=z9hG4bK299342093\r\n"
                 "To: <sip:remote-target@example.com>\r\n"
                 "From: <sip:local-resource@example.com>;tag=329429089\r\n"
                 "Call-ID: trws.oicu34958239neffasdhr2345r\r\n"
                 "Accept: application/sdp\r\n"
                 "CSeq: 238923 OPTIONS\r\n"
                 "Max-Forwards: 70\r\n"
                 "Content-Length: 0\r\n"
                 "\r\n"s,
                 ParseError::BadStartLine, {}, nullptr});

    // Headers in a Request-URI: refused rather than taken apart.
    v.push_back({"escruri",
                 "INVITE sip:user@example.com?Route=%3Csip:example.com%3E SIP/2.0\r\n"
                 "To: sip:user@example.com\r\n"
                 "From: sip:caller@example.net;tag=341518\r\n"
                 "Max-Forwards: 7\r\n"
                 "Contact: <sip:caller@host39923.example.net>\r\n"
                 "Call-ID: escruri.23940-asdfhj-aje3br-234q098w-fawerh2q-h4n5\r\n"
                 "CSeq: 149209342 INVITE\r\n"
                 "Via: SIP/2.0/UDP host-of-the-hour.example.com;branch=z9hG4bKkdjuw\r\n"
                 "Content-Type: application/sdp\r\n"
                 "Content-Length: 150\r\n"
                 "\r\n" +
                     kSdp1,
                 ParseError::BadStartLine, {}, nullptr});

    v.push_back({"baddate",
                 "INVITE sip:user@example.com SIP/2.0\r\n"
                 "To: sip:user@example.com\r\n"
                 "From: sip:caller@example.net;tag=2234923\r\n"
                 "Max-Forwards: 70\r\n"
                 "Call-ID: baddate.239423mnsadf3j23lj42--sedfnm234\r\n"
                 "CSeq: 1392934 INVITE\r\n"
                 "Via: SIP/2.0/UDP host.example.com;branch=z9hG4bKkdjuw\r\n"
                 "Date: Fri, 01 Jan 2010 16:00:00 EST\r\n"
                 "Contact: <sip:caller@host5.example.net>\r\n"
                 "Content-Type: application/sdp\r\n"
                 "Content-Length: 150\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.5\r\n"
                 "s=-\r\n"
                 "c=IN IP4 192.0.2.5\r\n"
                 "t=0 0\r\n"
                 "m=audio 49217 RTP/AVP 0 12\r\n"
                 "m=video 3227 RTP/AVP 31\r\n"
                 "a=rtpmap:31 LPC\r\n"s,
                 ParseError::BadDate, {}, nullptr});

    // An addr-spec Contact cannot carry URI headers ('?' is outside <>).
    v.push_back({"regbadct",
                 "REGISTER sip:example.com SIP/2.0\r\n"
                 "To: sip:user@example.com\r\n"
                 "From: sip:user@example.com;tag=998332\r\n"
                 "Max-Forwards: 70\r\n"
                 "Call-ID: regbadct.k345asrl3fdbv@10.0.0.1\r\n"
                 "CSeq: 1 REGISTER\r\n"
                 "Via: SIP/2.0/UDP 135.180.130.133:5060;branch=z9hG4bKkdjuw\r\n"
                 "Contact: sip:user@example.com?Route=%3Csip:sip.example.com%3E\r\n"
                 "l: 0\r\n"
                 "\r\n"s,
                 ParseError::BadContact, {}, nullptr});

    v.push_back({"badaspec",  // whitespace inside <>
                 "OPTIONS sip:user@example.org SIP/2.0\r\n"
                 "Via: SIP/2.0/UDP host4.example.com:5060;branch=z9hG4bKkdju43234\r\n"
                 "Max-Forwards: 70\r\n"
                 "From: \"Bell, Alexander\" <sip:a.g.bell@example.com>;tag=433423\r\n"
                 "To: \"Watson, Thomas\" < sip:t.watson@example.org >\r\n"
                 "Call-ID: badaspec.sdf0234n2nds0a099u23h3hnnw009cdkne3\r\n"
                 "Accept: application/sdp\r\n"
                 "CSeq: 3923239 OPTIONS\r\n"
                 "l: 0\r\n"
                 "\r\n"s,
                 ParseError::BadFromTo, {}, nullptr});

    v.push_back({"baddn",  // unquoted display names with commas; the datagram has no blank line
                 "OPTIONS sip:t.watson@example.org SIP/2.0\r\n"
                 "Via:     SIP/2.0/UDP c.example.com:5060;branch=z9hG4bKkdjuw\r\n"
                 "Max-Forwards:      70\r\n"
                 "From:    Bell, Alexander <sip:a.g.bell@example.com>;tag=43\r\n"
                 "To:      Watson, Thomas <sip:t.watson@example.org>\r\n"
                 "Call-ID: baddn.31415@c.example.com\r\n"
                 "Accept: application/sdp\r\n"
                 "CSeq:    3923239 OPTIONS\r\n"
                 "l: 0\r\n"s,
                 ParseError::BadFromTo, {}, nullptr});

    v.push_back({"badvers",
                 "OPTIONS sip:t.watson@example.org SIP/7.0\r\n"
                 "Via:     SIP/7.0/UDP c.example.com;branch=z9hG4bKkdjuw\r\n"
                 "Max-Forwards:     70\r\n"
                 "From:    A. Bell <sip:a.g.bell@example.com>;tag=qweoiqpe\r\n"
                 "To:      T. Watson <sip:t.watson@example.org>\r\n"
                 "Call-ID: badvers.31417@c.example.com\r\n"
                 "CSeq:    1 OPTIONS\r\n"
                 "l: 0\r\n"
                 "\r\n"s,
                 ParseError::BadVersion, {}, nullptr});

    v.push_back({"mismatch01",
                 "OPTIONS sip:user@example.com SIP/2.0\r\n"
                 "To: sip:j.user@example.com\r\n"
                 "From: sip:caller@example.net;tag=34525\r\n"
                 "Max-Forwards: 6\r\n"
                 "Call-ID: mismatch01.dj0234sxdfl3\r\n"
                 "CSeq: 8 INVITE\r\n"
                 "Via: SIP/2.0/UDP host.example.com;branch=z9hG4bKkdjuw\r\n"
                 "l: 0\r\n"
                 "\r\n"s,
                 ParseError::CSeqMismatch, {}, nullptr});

    v.push_back({"mismatch02",
                 "NEWMETHOD sip:user@example.com SIP/2.0\r\n"
                 "To: sip:j.user@example.com\r\n"
                 "From: sip:caller@example.net;tag=34525\r\n"
                 "Max-Forwards: 6\r\n"
                 "Call-ID: mismatch02.dj0234sxdfl3\r\n"
                 "CSeq: 8 INVITE\r\n"
                 "Contact: <sip:caller@host.example.net>\r\n"
                 "Via: SIP/2.0/UDP host.example.net;branch=z9hG4bKkdjuw\r\n"
                 "Content-Type: application/sdp\r\n"
                 "l: 138\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.1\r\n"
                 "c=IN IP4 192.0.2.1\r\n"
                 "m=audio 49217 RTP/AVP 0 12\r\n"
                 "m=video 3227 RTP/AVP 31\r\n"
                 "a=rtpmap:31 LPC\r\n"s,
                 ParseError::CSeqMismatch, {}, nullptr});

    v.push_back({"bigcode",  // status code of ten digits
                 "SIP/2.0 4294967301 better not break the receiver\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.105;branch=z9hG4bK2398ndaoe\r\n"
                 "Call-ID: bigcode.asdof3uj203asdnf3429uasdhfas3ehjasdfas9i\r\n"
                 "CSeq: 353494 INVITE\r\n"
                 "From: <sip:user@example.com>;tag=39ansfi3\r\n"
                 "To: <sip:user@example.edu>;tag=902jndnke3\r\n"
                 "Content-Length: 0\r\n"
                 "Contact: <sip:user@host105.example.com>\r\n"
                 "\r\n"s,
                 ParseError::BadStartLine, {}, nullptr});

    // ---- transaction layer ---------------------------------------------------

    // The magic cookie with nothing after it: parsed as it is; the transaction
    // layer keys such a request the old way.
    v.push_back({"badbranch",
                 "OPTIONS sip:user@example.com SIP/2.0\r\n"
                 "To: sip:user@example.com\r\n"
                 "From: sip:caller@example.org;tag=33242\r\n"
                 "Max-Forwards: 3\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.1;branch=z9hG4bK\r\n"
                 "Accept: application/sdp\r\n"
                 "Call-ID: badbranch.sadonfo23i420jv0as0derf3j3n\r\n"
                 "CSeq: 8 OPTIONS\r\n"
                 "l: 0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"OPTIONS", 0, "sip:user@example.com", "badbranch.sadonfo23i420jv0as0derf3j3n", 8, "OPTIONS", "33242",
                  "", "UDP", "192.0.2.1", 0, "z9hG4bK", 1, 0},
                 nullptr});

    // ---- application layer ---------------------------------------------------

    v.push_back({"insuf",  // no To, From, Call-ID or Max-Forwards
                 "INVITE sip:user@example.com SIP/2.0\r\n"
                 "CSeq: 193942 INVITE\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.95;branch=z9hG4bKkdj.insuf\r\n"
                 "Content-Type: application/sdp\r\n"
                 "l: 152\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.95\r\n"
                 "s=-\r\n"
                 "c=IN IP4 192.0.2.95\r\n"
                 "t=0 0\r\n"
                 "m=audio 49217 RTP/AVP 0 12\r\n"
                 "m=video 3227 RTP/AVP 31\r\n"
                 "a=rtpmap:31 LPC\r\n"s,
                 ParseError::MissingHeader, {}, nullptr});

    // Unknown Request-URI schemes parse; the user agent answers 416.
    v.push_back({"unkscm",
                 "OPTIONS nobodyKnowsThisScheme:totallyopaquecontent SIP/2.0\r\n"
                 "To: sip:user@example.com\r\n"
                 "From: sip:caller@example.net;tag=384\r\n"
                 "Max-Forwards: 3\r\n"
                 "Call-ID: unkscm.nasdfasser0q239nwsdfasdkl34\r\n"
                 "CSeq: 3923423 OPTIONS\r\n"
                 "Via: SIP/2.0/TCP host9.example.com;branch=z9hG4bKkdjuw39234\r\n"
                 "Content-Length: 0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"OPTIONS", 0, "nobodyKnowsThisScheme:totallyopaquecontent", "unkscm.nasdfasser0q239nwsdfasdkl34",
                  3923423, "OPTIONS", "384", "", "TCP", "host9.example.com", 0, "z9hG4bKkdjuw39234", 1, 0},
                 [](const Message &m) {
                     Uri u;
                     ASSERT_TRUE(parse_uri(m.request_uri(), &u));
                     EXPECT_FALSE(u.is_sip());
                     EXPECT_EQ(u.scheme, "nobodyKnowsThisScheme");
                     EXPECT_EQ(u.opaque, "totallyopaquecontent");
                 }});

    v.push_back({"novelsc",
                 "OPTIONS soap.beep://192.0.2.103:3002 SIP/2.0\r\n"
                 "To: sip:user@example.com\r\n"
                 "From: sip:caller@example.net;tag=384\r\n"
                 "Max-Forwards: 3\r\n"
                 "Call-ID: novelsc.asdfasser0q239nwsdfasdkl34\r\n"
                 "CSeq: 3923423 OPTIONS\r\n"
                 "Via: SIP/2.0/TCP host9.example.com;branch=z9hG4bKkdjuw39234\r\n"
                 "Content-Length: 0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"OPTIONS", 0, "soap.beep://192.0.2.103:3002", "novelsc.asdfasser0q239nwsdfasdkl34", 3923423, "OPTIONS",
                  "384", "", "TCP", "host9.example.com", 0, "z9hG4bKkdjuw39234", 1, 0},
                 [](const Message &m) {
                     Uri u;
                     ASSERT_TRUE(parse_uri(m.request_uri(), &u));
                     EXPECT_FALSE(u.is_sip());
                     EXPECT_EQ(u.scheme, "soap.beep");
                     EXPECT_EQ(u.opaque, "//192.0.2.103:3002");
                 }});

    // Non-SIP URIs in To, From and Contact parse as opaque URIs.
    v.push_back({"unksm2",
                 "REGISTER sip:example.com SIP/2.0\r\n"
                 "To: isbn:2983792873\r\n"
                 "From: <http://www.example.com>;tag=3234233\r\n"
                 "Call-ID: unksm2.daksdj@hyphenated-host.example.com\r\n"
                 "CSeq: 234902 REGISTER\r\n"
                 "Max-Forwards: 70\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.21:5060;branch=z9hG4bKkdjuw\r\n"
                 "Contact: <name:John_Smith>\r\n"
                 "l: 0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"REGISTER", 0, "sip:example.com", "unksm2.daksdj@hyphenated-host.example.com", 234902, "REGISTER",
                  "3234233", "", "UDP", "192.0.2.21", 5060, "z9hG4bKkdjuw", 1, 0},
                 [](const Message &m) {
                     EXPECT_EQ(m.to().uri.scheme, "isbn");
                     EXPECT_EQ(m.to().uri.opaque, "2983792873");
                     EXPECT_EQ(m.from().uri.scheme, "http");
                     auto c = contacts(m);
                     ASSERT_EQ(c.size(), 1u);
                     EXPECT_EQ(c[0].uri.scheme, "name");
                     EXPECT_EQ(c[0].uri.opaque, "John_Smith");
                 }});

    // Unknown extensions required: the user agent answers 420 from these values.
    v.push_back({"bext01",
                 "OPTIONS sip:user@example.com SIP/2.0\r\n"
                 "To: sip:j_user@example.com\r\n"
                 "From: sip:caller@example.net;tag=242etr\r\n"
                 "Max-Forwards: 6\r\n"
                 "Call-ID: bext01.0ha0isndaksdj\r\n"
                 "Require: nothingSupportsThis, nothingSupportsThisEither\r\n"
                 "Proxy-Require: noProxiesSupportThis, norDoAnyProxiesSupportThis\r\n"
                 "CSeq: 8 OPTIONS\r\n"
                 "Via: SIP/2.0/TLS fold-and-staple.example.com;branch=z9hG4bKkdjuw\r\n"
                 "Content-Length: 0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"OPTIONS", 0, "sip:user@example.com", "bext01.0ha0isndaksdj", 8, "OPTIONS", "242etr", "", "TLS",
                  "fold-and-staple.example.com", 0, "z9hG4bKkdjuw", 1, 0},
                 [](const Message &m) {
                     ASSERT_NE(m.find("require"), nullptr);
                     EXPECT_EQ(m.find("require")->value, "nothingSupportsThis, nothingSupportsThisEither");
                     ASSERT_NE(m.find("Proxy-Require"), nullptr);
                     EXPECT_EQ(m.find("Proxy-Require")->value, "noProxiesSupportThis, norDoAnyProxiesSupportThis");
                 }});

    // A body of an unknown type: the user agent answers 415.
    v.push_back({"invut",
                 "INVITE sip:user@example.com SIP/2.0\r\n"
                 "Contact: <sip:caller@host5.example.net>\r\n"
                 "To: sip:j.user@example.com\r\n"
                 "From: sip:caller@example.net;tag=8392034\r\n"
                 "Max-Forwards: 70\r\n"
                 "Call-ID: invut.0ha0isndaksdjadsfij34n23d\r\n"
                 "CSeq: 235448 INVITE\r\n"
                 "Via: SIP/2.0/UDP somehost.example.com;branch=z9hG4bKkdjuw\r\n"
                 "Content-Type: application/unknownformat\r\n"
                 "Content-Length: 40\r\n"
                 "\r\n"
                 "<audio>\r\n"
                 " <pcmu port=\"443\"/>\r\n"
                 "</audio>\r\n"s,
                 ParseError::None,
                 {"INVITE", 0, "sip:user@example.com", "invut.0ha0isndaksdjadsfij34n23d", 235448, "INVITE", "8392034", "",
                  "UDP", "somehost.example.com", 0, "z9hG4bKkdjuw", 1, 40},
                 [](const Message &m) {
                     EXPECT_EQ(m.value(Hdr::ContentType), "application/unknownformat");
                     EXPECT_EQ(m.body(), "<audio>\r\n <pcmu port=\"443\"/>\r\n</audio>\r\n");
                 }});

    v.push_back({"regaut01",  // an unknown authorization scheme
                 "REGISTER sip:example.com SIP/2.0\r\n"
                 "To: sip:j.user@example.com\r\n"
                 "From: sip:j.user@example.com;tag=87321hj23128\r\n"
                 "Max-Forwards: 8\r\n"
                 "Call-ID: regaut01.0ha0isndaksdj\r\n"
                 "CSeq: 9338 REGISTER\r\n"
                 "Via: SIP/2.0/TCP 192.0.2.253;branch=z9hG4bKkdjuw\r\n"
                 "Authorization: NoOneKnowsThisScheme opaque-data=here\r\n"
                 "Content-Length:0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"REGISTER", 0, "sip:example.com", "regaut01.0ha0isndaksdj", 9338, "REGISTER", "87321hj23128", "", "TCP",
                  "192.0.2.253", 0, "z9hG4bKkdjuw", 1, 0},
                 [](const Message &m) {
                     EXPECT_EQ(m.value(Hdr::Authorization), "NoOneKnowsThisScheme opaque-data=here");
                     EXPECT_EQ(m.value(Hdr::ContentLength), "0");
                 }});

    v.push_back({"multi01",  // two To, From, CSeq, Call-ID and Max-Forwards
                 "INVITE sip:user@company.com SIP/2.0\r\n"
                 "Contact: <sip:caller@host25.example.net>\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.25;branch=z9hG4bKkdjuw\r\n"
                 "Max-Forwards: 70\r\n"
                 "CSeq: 5 INVITE\r\n"
                 "Call-ID: multi01.98asdh@192.0.2.1\r\n"
                 "CSeq: 59 INVITE\r\n"
                 "Call-ID: multi01.98asdh@192.0.2.2\r\n"
                 "From: sip:caller@example.com;tag=3413415\r\n"
                 "To: sip:user@example.com\r\n"
                 "To: sip:other@example.net\r\n"
                 "From: sip:caller@example.net;tag=2923420123\r\n"
                 "Content-Type: application/sdp\r\n"
                 "l: 154\r\n"
                 "Contact: <sip:caller@host36.example.net>\r\n"
                 "Max-Forwards: 5\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.25\r\n"
                 "s=-\r\n"
                 "c=IN IP4 192.0.2.25\r\n"
                 "t=0 0\r\n"
                 "m=audio 49217 RTP/AVP 0 12\r\n"
                 "m=video 3227 RTP/AVP 31\r\n"
                 "a=rtpmap:31 LPC\r\n"
                 "\r\n"s,
                 ParseError::DuplicateHeader, {}, nullptr});

    v.push_back({"mcl01",  // two Content-Length values: no way to frame the body
                 "OPTIONS sip:user@example.com SIP/2.0\r\n"
                 "Via: SIP/2.0/UDP host5.example.net;branch=z9hG4bK293423\r\n"
                 "To: sip:user@example.com\r\n"
                 "From: sip:other@example.net;tag=3923942\r\n"
                 "Call-ID: mcl01.fhn2323orihawfdoa3o4r52o3irsdf\r\n"
                 "CSeq: 15932 OPTIONS\r\n"
                 "Content-Length: 13\r\n"
                 "Max-Forwards: 60\r\n"
                 "Content-Length: 5\r\n"
                 "Content-Type: text/plain\r\n"
                 "\r\n"
                 "There's no way to know how many octets are supposed to be here.\r\n"
                 "\r\n"s,
                 ParseError::DuplicateHeader, {}, nullptr});

    // A broadcast sent-by in the second Via: well formed; whoever forwards
    // responses must not send one there.
    v.push_back({"bcast",
                 "SIP/2.0 200 OK\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.198;branch=z9hG4bK1324923\r\n"
                 "Via: SIP/2.0/UDP 255.255.255.255;branch=z9hG4bK1saber23\r\n"
                 "Call-ID: bcast.0384840201234ksdfak3j2erwedfsASdf\r\n"
                 "CSeq: 35 INVITE\r\n"
                 "From: sip:user@example.com;tag=11141343\r\n"
                 "To: sip:user@example.edu;tag=2229\r\n"
                 "Content-Length: 154\r\n"
                 "Content-Type: application/sdp\r\n"
                 "Contact: <sip:user@host28.example.com>\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.198\r\n"
                 "s=-\r\n"
                 "c=IN IP4 192.0.2.198\r\n"
                 "t=0 0\r\n"
                 "m=audio 49217 RTP/AVP 0 12\r\n"
                 "m=video 3227 RTP/AVP 31\r\n"
                 "a=rtpmap:31 LPC\r\n"s,
                 ParseError::None,
                 {nullptr, 200, "", "bcast.0384840201234ksdfak3j2erwedfsASdf", 35, "INVITE", "11141343", "2229", "UDP",
                  "192.0.2.198", 0, "z9hG4bK1324923", 2, 154},
                 [](const Message &m) {
                     auto all = vias(m);
                     ASSERT_EQ(all.size(), 2u);
                     EXPECT_EQ(all[1].host, "255.255.255.255");
                 }});

    // Max-Forwards 0 is legal; a user agent (no proxy) serves the request.
    v.push_back({"zeromf",
                 "OPTIONS sip:user@example.com SIP/2.0\r\n"
                 "To: sip:user@example.com\r\n"
                 "From: sip:caller@example.net;tag=3ghsd41\r\n"
                 "Call-ID: zeromf.jfasdlfnm2o2l43r5u0asdfas\r\n"
                 "CSeq: 39234321 OPTIONS\r\n"
                 "Via: SIP/2.0/UDP host1.example.com;branch=z9hG4bKkdjuw2349i\r\n"
                 "Max-Forwards: 0\r\n"
                 "Content-Length: 0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"OPTIONS", 0, "sip:user@example.com", "zeromf.jfasdlfnm2o2l43r5u0asdfas", 39234321, "OPTIONS",
                  "3ghsd41", "", "UDP", "host1.example.com", 0, "z9hG4bKkdjuw2349i", 1, 0},
                 [](const Message &m) { EXPECT_EQ(m.value(Hdr::MaxForwards), "0"); }});

    // Without <>, ";unknownparam" belongs to the Contact, not to its URI.
    v.push_back({"cparam01",
                 "REGISTER sip:example.com SIP/2.0\r\n"
                 "Via: SIP/2.0/UDP saturn.example.com:5060;branch=z9hG4bKkdjuw\r\n"
                 "Max-Forwards: 70\r\n"
                 "From: sip:watson@example.com;tag=DkfVgjkrtMwaerKKpe\r\n"
                 "To: sip:watson@example.com\r\n"
                 "Call-ID: cparam01.70710@saturn.example.com\r\n"
                 "CSeq: 2 REGISTER\r\n"
                 "Contact: sip:+19725552222@gw1.example.net;unknownparam\r\n"
                 "l: 0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"REGISTER", 0, "sip:example.com", "cparam01.70710@saturn.example.com", 2, "REGISTER",
                  "DkfVgjkrtMwaerKKpe", "", "UDP", "saturn.example.com", 5060, "z9hG4bKkdjuw", 1, 0},
                 [](const Message &m) {
                     auto c = contacts(m);
                     ASSERT_EQ(c.size(), 1u);
                     EXPECT_EQ(c[0].uri.user, "+19725552222");
                     EXPECT_EQ(c[0].uri.params, "");
                     EXPECT_EQ(c[0].params, ";unknownparam");
                 }});

    // Inside <>, it is the URI's.
    v.push_back({"cparam02",
                 "REGISTER sip:example.com SIP/2.0\r\n"
                 "Via: SIP/2.0/UDP saturn.example.com:5060;branch=z9hG4bKkdjuw\r\n"
                 "Max-Forwards: 70\r\n"
                 "From: sip:watson@example.com;tag=838293\r\n"
                 "To: sip:watson@example.com\r\n"
                 "Call-ID: cparam02.70710@saturn.example.com\r\n"
                 "CSeq: 3 REGISTER\r\n"
                 "Contact: <sip:+19725552222@gw1.example.net;unknownparam>\r\n"
                 "l: 0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"REGISTER", 0, "sip:example.com", "cparam02.70710@saturn.example.com", 3, "REGISTER", "838293", "",
                  "UDP", "saturn.example.com", 5060, "z9hG4bKkdjuw", 1, 0},
                 [](const Message &m) {
                     auto c = contacts(m);
                     ASSERT_EQ(c.size(), 1u);
                     EXPECT_EQ(c[0].uri.params, ";unknownparam");
                     EXPECT_EQ(c[0].params, "");
                 }});

    // An escaped Route header inside a bracketed Contact URI is legal.
    v.push_back({"regescrt",
                 "REGISTER sip:example.com SIP/2.0\r\n"
                 "To: sip:user@example.com\r\n"
                 "From: sip:user@example.com;tag=8\r\n"
                 "Max-Forwards: 70\r\n"
                 "Call-ID: regescrt.k345asrl3fdbv@192.0.2.1\r\n"
                 "CSeq: 14398234 REGISTER\r\n"
                 "Via: SIP/2.0/UDP host5.example.com;branch=z9hG4bKkdjuw\r\n"
                 "M: <sip:user@example.com?Route=%3Csip:sip.example.com%3E>\r\n"
                 "L:0\r\n"
                 "\r\n"s,
                 ParseError::None,
                 {"REGISTER", 0, "sip:example.com", "regescrt.k345asrl3fdbv@192.0.2.1", 14398234, "REGISTER", "8", "",
                  "UDP", "host5.example.com", 0, "z9hG4bKkdjuw", 1, 0},
                 [](const Message &m) {
                     auto c = contacts(m);
                     ASSERT_EQ(c.size(), 1u);
                     EXPECT_EQ(c[0].uri.host, "example.com");
                     EXPECT_EQ(c[0].uri.headers, "Route=%3Csip:sip.example.com%3E");
                 }});

    // An SDP offer to one that accepts no SDP: the user agent answers 415.
    v.push_back({"sdp01",
                 "INVITE sip:user@example.com SIP/2.0\r\n"
                 "To: sip:j_user@example.com\r\n"
                 "Contact: <sip:caller@host15.example.net>\r\n"
                 "From: sip:caller@example.net;tag=234\r\n"
                 "Max-Forwards: 5\r\n"
                 "Call-ID: sdp01.ndaksdj9342dasdd\r\n"
                 "Accept: text/nobodyKnowsThis\r\n"
                 "CSeq: 8 INVITE\r\n"
                 "Via: SIP/2.0/UDP 192.0.2.15;branch=z9hG4bKkdjuw\r\n"
                 "Content-Length: 150\r\n"
                 "Content-Type: application/sdp\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.5\r\n"
                 "s=-\r\n"
                 "c=IN IP4 192.0.2.5\r\n"
                 "t=0 0\r\n"
                 "m=audio 49217 RTP/AVP 0 12\r\n"
                 "m=video 3227 RTP/AVP 31\r\n"
                 "a=rtpmap:31 LPC\r\n"s,
                 ParseError::None,
                 {"INVITE", 0, "sip:user@example.com", "sdp01.ndaksdj9342dasdd", 8, "INVITE", "234", "", "UDP",
                  "192.0.2.15", 0, "z9hG4bKkdjuw", 1, 150},
                 [](const Message &m) { EXPECT_EQ(m.value(Hdr::Accept), "text/nobodyKnowsThis"); }});

    // ---- backward compatibility ----------------------------------------------

    // No branch, no From tag, no Max-Forwards, no Content-Length: the body
    // runs to the end of the datagram.
    v.push_back({"inv2543",
                 "INVITE sip:UserB@example.com SIP/2.0\r\n"
                 "Via: SIP/2.0/UDP iftgw.example.com\r\n"
                 "From: <sip:+13035551111@ift.client.example.net;user=phone>\r\n"
                 "Record-Route: <sip:UserB@example.com;maddr=ss1.example.com>\r\n"
                 "To: sip:+16505552222@ss1.example.net;user=phone\r\n"
                 "Call-ID: inv2543.1717@ift.client.example.com\r\n"
                 "CSeq: 56 INVITE\r\n"
                 "Content-Type: application/sdp\r\n"
                 "\r\n"
                 "v=0\r\n"
                 "o=mhandley 29739 7272939 IN IP4 192.0.2.5\r\n"
                 "s=-\r\n"
                 "c=IN IP4 192.0.2.5\r\n"
                 "t=0 0\r\n"
                 "m=audio 49217 RTP/AVP 0\r\n"s,
                 ParseError::None,
                 {"INVITE", 0, "sip:UserB@example.com", "inv2543.1717@ift.client.example.com", 56, "INVITE", "", "", "UDP",
                  "iftgw.example.com", 0, "", 1, 105},
                 [](const Message &m) {
                     EXPECT_EQ(m.find(Hdr::MaxForwards), nullptr);
                     // To's ";user=phone" is a header parameter of the addr-spec, not the URI's.
                     EXPECT_EQ(m.to().params, ";user=phone");
                     EXPECT_EQ(m.from().uri.params, ";user=phone");
                 }});

    return v;
}

void expect_fields(const Message &m, const TortureFields &f) {
    if (f.method) {
        EXPECT_TRUE(m.is_request());
        EXPECT_EQ(m.method(), f.method);
        EXPECT_EQ(m.request_uri(), f.ruri);
    } else {
        EXPECT_FALSE(m.is_request());
        EXPECT_EQ(m.status(), f.status);
    }
    if (f.call_id) {
        EXPECT_EQ(m.call_id(), f.call_id);
    }
    EXPECT_EQ(m.cseq(), f.cseq);
    EXPECT_EQ(m.cseq_method(), f.cseq_method);
    if (f.from_tag) {
        EXPECT_EQ(m.from_tag(), f.from_tag);
    }
    EXPECT_EQ(m.to_tag(), f.to_tag);
    EXPECT_EQ(m.top_via().transport, f.via_transport);
    EXPECT_EQ(m.top_via().host, f.via_host);
    EXPECT_EQ(m.top_via().port, f.via_port);
    EXPECT_EQ(m.top_via().branch, f.via_branch);
    EXPECT_EQ(vias(m).size(), f.vias);
    EXPECT_EQ(m.body().size(), f.body);
}

}  // namespace

class TortureMessage : public ::testing::TestWithParam<TortureRow> {};

TEST_P(TortureMessage, IsAcceptedOrRefusedAsItsNotesSay) {
    const TortureRow &r = GetParam();
    Message m;
    ParseResult res = m.parse(r.text);
    ASSERT_EQ(res.error, r.expect) << "got \"" << parse_error_text(res.error) << "\" at offset " << res.offset;
    if (!res) return;
    expect_fields(m, r.f);
    if (r.more) r.more(m);
}

INSTANTIATE_TEST_SUITE_P(Rfc4475, TortureMessage, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<TortureRow> &info) { return std::string(info.param.name); });

// A datagram cut short must not read as a smaller well-formed message: a cut
// inside the header section that does not end a line is refused, and one
// inside a body framed by Content-Length is refused for that length.
TEST(SipTorture, CutShortMessagesAreRefused) {
    Message m;  // one object for all: nothing of a parse may leak into the next
    for (const auto &r : rows()) {
        if (r.expect != ParseError::None) continue;
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(m.parse(r.text));
        const bool framed = m.find(Hdr::ContentLength) != nullptr;
        const size_t declared = m.body().size();
        const size_t body_start = r.text.find("\r\n\r\n") + 4;
        for (size_t cut = 1; cut < r.text.size(); ++cut) {
            ParseResult res = m.parse(r.text.data(), cut);
            if (cut < body_start) {
                if (r.text[cut - 1] != '\n') {
                    EXPECT_FALSE(res) << "cut at " << cut;
                }
            } else if (framed && cut < body_start + declared) {
                EXPECT_EQ(res.error, ParseError::BadContentLength) << "cut at " << cut;
            } else if (framed) {
                ASSERT_TRUE(res) << "cut at " << cut;
                EXPECT_EQ(m.body(), std::string_view(r.text).substr(body_start, declared));
            }
        }
    }
}
