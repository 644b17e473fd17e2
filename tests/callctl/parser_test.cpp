// SIP message parser: variations on the torture messages of RFC 4475 (the
// messages themselves, byte for byte, are in torture_test.cpp), field
// grammar, the writer, and a seeded mutation fuzz over a corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/timer.h"
#include "sip/sip.h"
#include "ua/ua.h"

using namespace callctl::sip;

namespace {

// Messages are written with "\n" line ends and converted to CRLF here.
std::string crlf(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '\n') out += "\r\n";
        else out += c;
    }
    return out;
}

const char kInvite[] =
    "INVITE sip:bob@biloxi.example.com SIP/2.0\n"
    "Via: SIP/2.0/UDP pc33.atlanta.example.com:5060;branch=z9hG4bKnashds8;rport\n"
    "Max-Forwards: 70\n"
    "To: Bob <sip:bob@biloxi.example.com>\n"
    "From: Alice <sip:alice@atlanta.example.com>;tag=1928301774\n"
    "Call-ID: a84b4c76e66710@pc33.atlanta.example.com\n"
    "CSeq: 314159 INVITE\n"
    "Contact: <sip:alice@pc33.atlanta.example.com>\n"
    "Content-Type: application/sdp\n"
    "Content-Length: 4\n"
    "\n"
    "v=0\n";

struct Case {
    const char *name;
    std::string text;  // already CRLF
    ParseError expect;
};

std::vector<Case> torture_cases() {
    std::vector<Case> v;
    // --- valid ----------------------------------------------------------
    // Whitespace, folding, compact forms, escaped quotes, unknown headers.
    v.push_back({"wsinv",
                 crlf("INVITE sip:vivekg@chair-dnrc.example.com;unknownparam SIP/2.0\n"
                      "TO :\n sip:vivekg@chair-dnrc.example.com ;   tag    = 1918181833n\n"
                      "from   : \"J Rosenberg \\\\\\\"\"       <sip:jdrosen@example.com>\n  ;\n  tag = 98asjd8\n"
                      "MaX-fOrWaRdS: 0068\n"
                      "Call-ID: wsinv.ndaksdj@192.0.2.1\n"
                      "Content-Length   : 150\n"
                      "cseq: 0009\n  INVITE\n"
                      "Via  : SIP  /   2.0\n /UDP\n    192.0.2.2;branch=390skdjuw\n"
                      "s :\n"
                      "NewFangledHeader:   newfangled value\n continued newfangled value\n"
                      "UnknownHeaderWithUnusualValue: ;;,,;;,;\n"
                      "Content-Type: application/sdp\n"
                      "Route:\n <sip:services.example.com;lr;unknownwith=value;unknown-no-value>\n"
                      "v:  SIP  / 2.0  / TCP     spindle.example.com   ;\n  branch  =   z9hG4bK9ikj8  ,\n"
                      " SIP  /    2.0   / UDP  192.168.255.111   ; branch=\n z9hG4bK30239\n"
                      "m:\"Quoted string \\\"\\\"\" <sip:jdrosen@example.com> ; newparam =\n"
                      "      newvalue ;\n  secondparam ; q = 0.33\n"
                      "\n") +
                     std::string(150, 'x'),
                 ParseError::None});
    // Unusual but legal method token.
    v.push_back({"intmeth",
                 crlf("!interesting-Method0123456789_*+`.%indeed'~ sip:1_unusual.URI~(to-be!sure)&isn't+it$/crazy?,/;;*:&it+has=1,weird!*pas$wo~d_too.(doesn't-it)@example.com SIP/2.0\n"
                      "Via: SIP/2.0/TCP host1.example.com;branch=z9hG4bK-.!%66*_+`'~\n"
                      "To: \"BEL:\\\x07 DEL:\\\x7F\" <sip:1_unusual.URI~(to-be!sure)&isn't+it$/crazy?,/;;*@example.com>\n"
                      "From: token1~` token2'+_ token3*%!.- <sip:mundane@example.com>;fromParam''~+*_!.-%=\"\\\"\";tag=_token~1'+`*%!-.\n"
                      "Call-ID: intmeth.word%ZK-!.*_+'@word`~)(><:\\/\"][?}{\n"
                      "CSeq: 139122385 !interesting-Method0123456789_*+`.%indeed'~\n"
                      "Max-Forwards: 255\n"
                      "extensionHeader-!.%*+_`'~:\xEF\xBB\xBF\xE5\xA4\xA7\xE5\x81\x9C\xE9\x9B\xBB\n"
                      "Content-Length: 0\n\n"),
                 ParseError::None});
    // Escapes in URIs and escaped nulls.
    v.push_back({"esc01",
                 crlf("INVITE sip:sips%3Auser%40example.com@example.net SIP/2.0\n"
                      "To: sip:%75se%72@example.com\n"
                      "From: <sip:I%20have%20spaces@example.net>;tag=938\n"
                      "Max-Forwards: 87\n"
                      "i: esc01.239409asdfakjkn23onasd0-3234\n"
                      "CSeq: 234234 INVITE\n"
                      "Via: SIP/2.0/UDP host5.example.net;branch=z9hG4bKkdjuw\n"
                      "C: application/sdp\n"
                      "Contact:\n  <sip:cal%6Cer@host5.example.net;%6C%72;n%61me=v%61lue%25%34%31>\n"
                      "Content-Length: 0\n\n"),
                 ParseError::None});
    // Display name without a space before '<'; semicolons in the user part.
    v.push_back({"lwsdisp_semiuri",
                 crlf("OPTIONS sip:user;par=u%40example.net@example.com SIP/2.0\n"
                      "To: sip:j_user@example.com\n"
                      "From: caller<sip:caller@example.com>;tag=323\n"
                      "Max-Forwards: 70\n"
                      "Call-ID: lwsdisp.1234abcd@funky.example.com\n"
                      "CSeq: 60 OPTIONS\n"
                      "Via: SIP/2.0/UDP funky.example.com;branch=z9hG4bKkdjuw\n"
                      "l: 0\n\n"),
                 ParseError::None});
    // Several transports and Via headers, IPv6 reference.
    v.push_back({"transports_ipv6",
                 crlf("OPTIONS sip:user@[2001:db8::10]:5070 SIP/2.0\n"
                      "To: sip:user@example.com\n"
                      "From: <sip:caller@example.com>;tag=323\n"
                      "Max-Forwards: 70\n"
                      "Call-ID: transports.kijh4akdnaqjkwendsasfdj\n"
                      "Accept: application/sdp\n"
                      "CSeq: 60 OPTIONS\n"
                      "Via: SIP/2.0/UDP t1.example.com;branch=z9hG4bKkdjuw\n"
                      "Via: SIP/2.0/SCTP t2.example.com;branch=z9hG4bKklasjdhf\n"
                      "Via: SIP/2.0/TLS t3.example.com;branch=z9hG4bK2980unddj\n"
                      "Via: SIP/2.0/UNKNOWN t4.example.com;branch=z9hG4bKasd0f3en\n"
                      "Via: SIP/2.0/TCP [2001:db8::9:1]:5060;branch=z9hG4bKjsdnjfdkdj\n"
                      "l: 0\n\n"),
                 ParseError::None});
    // Response with a UTF-8 reason and one with none.
    v.push_back({"unreason",
                 crlf("SIP/2.0 200 = 2**3 * 5**2 \xD0\xBD\xD0\xBE \xD1\x81\xD1\x82\xD0\xBE\n"
                      "Via: SIP/2.0/UDP 192.0.2.198;branch=z9hG4bK1324923\n"
                      "Call-ID: unreason.1234ksdfak3j2erwedfsASdf\n"
                      "CSeq: 35 INVITE\n"
                      "From: sip:user@example.com;tag=11141343\n"
                      "To: sip:user@example.edu;tag=2229\n"
                      "Content-Length: 0\n\n"),
                 ParseError::None});
    v.push_back({"noreason",
                 crlf("SIP/2.0 100 \n"
                      "Via: SIP/2.0/UDP 192.0.2.105;branch=z9hG4bK2398ndaoe\n"
                      "Call-ID: noreason.asndj203insdf99223ndf\n"
                      "CSeq: 35 INVITE\n"
                      "From: <sip:user@example.com>;tag=39ansfi3\n"
                      "To: <sip:user@example.edu>;tag=902jndnke3\n"
                      "Content-Length: 0\n\n"),
                 ParseError::None});
    // Unknown scheme in the Request-URI: parses (a UA answers 416).
    v.push_back({"novelsc",
                 crlf("OPTIONS soap.beep://192.0.2.103:3002 SIP/2.0\n"
                      "To: sip:user@example.com\n"
                      "From: sip:caller@example.net;tag=384\n"
                      "Max-Forwards: 3\n"
                      "Call-ID: novelsc.asdfasser0q239nwsdfasdkl34\n"
                      "CSeq: 3923423 OPTIONS\n"
                      "Via: SIP/2.0/TCP host9.example.com;branch=z9hG4bKkdjuw39234\n"
                      "Content-Length: 0\n\n"),
                 ParseError::None});
    // Two requests in one datagram: the first is taken, the rest dropped.
    v.push_back({"dblreq",
                 crlf("REGISTER sip:example.com SIP/2.0\n"
                      "To: sip:j.user@example.com\n"
                      "From: sip:j.user@example.com;tag=43251j3j324\n"
                      "Max-Forwards: 8\n"
                      "I: dblreq.0ha0isndaksdj99sdfafnl3lk233412\n"
                      "Contact: sip:j.user@host.example.com\n"
                      "CSeq: 8 REGISTER\n"
                      "Via: SIP/2.0/UDP 192.0.2.125;branch=z9hG4bKkdjuw23492\n"
                      "Content-Length: 0\n\n"
                      "INVITE sip:joe@example.com SIP/2.0\n"
                      "t: sip:joe@example.com\n\n"),
                 ParseError::None});
    // RFC 2543 style: no magic cookie, still parses.
    v.push_back({"inv2543",
                 crlf("INVITE sip:UserB@example.com SIP/2.0\n"
                      "Via: SIP/2.0/UDP iftgw.example.com\n"
                      "From: <sip:+13035551111@ift.client.example.net;user=phone>\n"
                      "Record-Route: <sip:UserB@example.com;maddr=ss1.example.com>\n"
                      "To: sip:+16505552222@ss1.example.net;user=phone\n"
                      "Call-ID: inv2543.1717@ift.client.example.com\n"
                      "CSeq: 56 INVITE\n"
                      "Content-Type: application/sdp\n\n"
                      "v=0\n"),
                 ParseError::None});

    // --- invalid --------------------------------------------------------
    auto base = [](const std::string &start, const std::string &extra_headers, const std::string &cseq = "1 OPTIONS") {
        return crlf(start + "\n"
                    "Via: SIP/2.0/UDP host.example.com;branch=z9hG4bKx1\n"
                    "To: <sip:user@example.com>\n"
                    "From: <sip:caller@example.net>;tag=1\n"
                    "Call-ID: bad.0123456789\n"
                    "CSeq: " + cseq + "\n"
                    "Max-Forwards: 70\n" +
                    extra_headers + "Content-Length: 0\n\n");
    };
    v.push_back({"ltgtruri", base("OPTIONS <sip:user@example.com> SIP/2.0", ""), ParseError::BadStartLine});
    v.push_back({"lwsruri", base("OPTIONS sip:user@example.com; lr SIP/2.0", ""), ParseError::BadStartLine});
    v.push_back({"lwsstart", base("OPTIONS  sip:user@example.com SIP/2.0", ""), ParseError::BadStartLine});
    v.push_back({"trws", base("OPTIONS sip:user@example.com SIP/2.0 ", ""), ParseError::BadStartLine});
    v.push_back({"escruri", base("OPTIONS sip:user@example.com?Route=%3Csip:example.com%3E SIP/2.0", ""),
                 ParseError::BadStartLine});
    v.push_back({"badvers", base("OPTIONS sip:t.watson@example.org SIP/7.0", ""), ParseError::BadVersion});
    v.push_back({"bigcode",
                 crlf("SIP/2.0 4294967301 better not break the receiver\n"
                      "Via: SIP/2.0/UDP 192.0.2.105;branch=z9hG4bK2398ndaoe\n"
                      "Call-ID: bigcode.asdof3uj203asdnf3429uasdhfas3\n"
                      "CSeq: 353494 INVITE\n"
                      "From: <sip:user@example.com>;tag=39ansfi3\n"
                      "To: <sip:user@example.edu>;tag=902jndnke3\n"
                      "Content-Length: 0\n\n"),
                 ParseError::BadStartLine});
    v.push_back({"mismatch01", base("OPTIONS sip:user@example.com SIP/2.0", "", "8 INVITE"),
                 ParseError::CSeqMismatch});
    v.push_back({"mismatch02", base("NEWMETHOD sip:user@example.com SIP/2.0", "", "8 INVITE"),
                 ParseError::CSeqMismatch});
    v.push_back({"scalarlg", base("OPTIONS sip:user@example.com SIP/2.0", "", "36893488147419103232 OPTIONS"),
                 ParseError::BadCSeq});
    v.push_back({"scalar02_maxfwd",
                 crlf("OPTIONS sip:user@example.com SIP/2.0\n"
                      "Via: SIP/2.0/UDP host.example.com;branch=z9hG4bKx1\n"
                      "To: <sip:user@example.com>\n"
                      "From: <sip:caller@example.net>;tag=1\n"
                      "Call-ID: scalar02.23o0pd9vanlq3wnrlnewofjas9ui32\n"
                      "CSeq: 1 OPTIONS\n"
                      "Max-Forwards: 300\n\n"),
                 ParseError::BadNumber});
    v.push_back({"ncl", base("OPTIONS sip:user@example.com SIP/2.0", "l: -999\n"), ParseError::DuplicateHeader});
    v.push_back({"clerr",
                 crlf("INVITE sip:user@example.com SIP/2.0\n"
                      "Max-Forwards: 80\n"
                      "To: sip:j.user@example.com\n"
                      "From: sip:caller@example.net;tag=93942939o2\n"
                      "Contact: <sip:caller@hungry.example.net>\n"
                      "Call-ID: clerr.0ha0isndaksdjweiafasdk3\n"
                      "CSeq: 8 INVITE\n"
                      "Via: SIP/2.0/UDP host5.example.com;branch=z9hG4bK-39234-23523\n"
                      "Content-Type: application/sdp\n"
                      "Content-Length: 9999\n\n"
                      "v=0\n"),
                 ParseError::BadContentLength});
    v.push_back({"negcl",
                 crlf("OPTIONS sip:user@example.com SIP/2.0\n"
                      "Via: SIP/2.0/UDP host.example.com;branch=z9hG4bKx1\n"
                      "To: <sip:user@example.com>\n"
                      "From: <sip:caller@example.net>;tag=1\n"
                      "Call-ID: ncl.0ha0isndaksdj2193423r542w35\n"
                      "CSeq: 1 OPTIONS\n"
                      "Content-Length: -999\n\n"),
                 ParseError::BadContentLength});
    v.push_back({"quotbs",
                 crlf("OPTIONS sip:user@example.com SIP/2.0\n"
                      "Via: SIP/2.0/UDP host.example.com;branch=z9hG4bKx1\n"
                      "To: \"Mr. J. User <sip:j.user@example.com>\n"
                      "From: <sip:caller@example.net>;tag=1\n"
                      "Call-ID: quotbs.0ha0isndaksdj\n"
                      "CSeq: 1 OPTIONS\n\n"),
                 ParseError::BadFromTo});
    v.push_back({"baddn",
                 crlf("OPTIONS sip:t.watson@example.org SIP/2.0\n"
                      "Via:     SIP/2.0/UDP c.example.com:5060;branch=z9hG4bKkdjuw\n"
                      "Max-Forwards:      70\n"
                      "From:    Bell, Alexander <sip:a.g.bell@example.com>;tag=43\n"
                      "To:      Watson, Thomas <sip:t.watson@example.org>\n"
                      "Call-ID: baddn.31415@c.example.com\n"
                      "CSeq:    3 OPTIONS\n\n"),
                 ParseError::BadFromTo});
    v.push_back({"badaspec",
                 crlf("OPTIONS sip:user@example.org SIP/2.0\n"
                      "Via: SIP/2.0/UDP host4.example.com:5060;branch=z9hG4bKkdju43234\n"
                      "Max-Forwards: 70\n"
                      "From: \"Bell, Alexander\" <sip:a.g.bell@example.com>;tag=433423\n"
                      "To: \"Watson, Thomas\" < sip:t.watson@example.org >\n"
                      "Call-ID: badaspec.sdf0234n2nds0a099u23h3hnnw009cdkne3\n"
                      "CSeq: 3923239 OPTIONS\n\n"),
                 ParseError::BadFromTo});
    v.push_back({"regbadct",
                 crlf("REGISTER sip:example.com SIP/2.0\n"
                      "To: sip:user@example.com\n"
                      "From: sip:user@example.com;tag=998332\n"
                      "Max-Forwards: 70\n"
                      "Call-ID: regbadct.k345asrl3fdbv@10.0.0.1\n"
                      "CSeq: 1 REGISTER\n"
                      "Via: SIP/2.0/UDP 135.180.130.133:5060;branch=z9hG4bKkdjuw\n"
                      "Contact: sip:user@example.com?Route=%3Csip:sip.example.com%3E\n"
                      "l: 0\n\n"),
                 ParseError::BadContact});
    v.push_back({"baddate", base("INVITE sip:user@example.com SIP/2.0", "Date: Fri, 01 Jan 2010 16:00:00 EST\n", "1 INVITE"),
                 ParseError::BadDate});
    v.push_back({"insuf",
                 crlf("INVITE sip:user@example.com SIP/2.0\n"
                      "CSeq: 193942 INVITE\n"
                      "Via: SIP/2.0/UDP 192.0.2.95;branch=z9hG4bKkdj.insuf\n"
                      "Content-Type: application/sdp\n"
                      "l: 0\n\n"),
                 ParseError::MissingHeader});
    v.push_back({"multi01_two_to",
                 base("OPTIONS sip:user@example.com SIP/2.0", "To: <sip:other@example.com>\n"),
                 ParseError::DuplicateHeader});
    v.push_back({"mcl01", base("OPTIONS sip:user@example.com SIP/2.0", "Content-Length: 0\n"), ParseError::DuplicateHeader});
    v.push_back({"bad_via", base("OPTIONS sip:user@example.com SIP/2.0", "Via: SIP/3.0/UDP x.example.com\n"),
                 ParseError::BadVia});
    v.push_back({"no_colon", base("OPTIONS sip:user@example.com SIP/2.0", "Thisisnotaheader\n"),
                 ParseError::BadHeaderLine});
    v.push_back({"truncated", crlf("OPTIONS sip:user@example.com SIP/2.0\nVia: SIP/2.0/UDP h;branch=z9hG4bKq\nTo: <sip:u@h"),
                 ParseError::BadHeaderLine});
    v.push_back({"empty", "", ParseError::Empty});
    v.push_back({"crlf_only", "\r\n\r\n", ParseError::Empty});
    return v;
}

}  // namespace

TEST(SipParser, TortureMessagesAreAcceptedOrRefusedAsExpected) {
    for (const auto &c : torture_cases()) {
        Message m;
        ParseResult r = m.parse(c.text);
        EXPECT_EQ(r.error, c.expect) << c.name << ": got \"" << parse_error_text(r.error) << "\" at offset "
                                     << r.offset;
    }
}

TEST(SipParser, WhitespaceTortureYieldsTheRightFields) {
    auto cases = torture_cases();
    Message m;
    ASSERT_TRUE(m.parse(cases[0].text));
    EXPECT_EQ(m.method(), "INVITE");
    EXPECT_EQ(m.cseq(), 9u);
    EXPECT_EQ(m.cseq_method(), "INVITE");
    EXPECT_EQ(m.call_id(), "wsinv.ndaksdj@192.0.2.1");
    EXPECT_EQ(m.to_tag(), "1918181833n");
    EXPECT_EQ(m.from_tag(), "98asjd8");
    EXPECT_EQ(m.from().display, "J Rosenberg \\\\\\\"");
    EXPECT_EQ(m.top_via().transport, "UDP");
    EXPECT_EQ(m.top_via().host, "192.0.2.2");
    EXPECT_EQ(m.top_via().branch, "390skdjuw");
    EXPECT_EQ(m.body().size(), 150u);
    EXPECT_EQ(m.value(Hdr::MaxForwards), "0068");
    ASSERT_NE(m.find("NewFangledHeader"), nullptr);
    EXPECT_NE(m.find("NewFangledHeader")->value.find("continued newfangled value"), std::string_view::npos);
    // Three Via elements across two headers, in order.
    std::vector<std::string> hosts;
    for (const auto &h : m.headers())
        if (h.id == Hdr::Via)
            for_each_element(h.value, [&](std::string_view el) {
                Via v;
                EXPECT_TRUE(parse_via(el, &v)) << el;
                hosts.emplace_back(v.host);
                return true;
            });
    EXPECT_EQ(hosts, (std::vector<std::string>{"192.0.2.2", "spindle.example.com", "192.168.255.111"}));
}

TEST(SipParser, DoubleRequestKeepsOnlyTheFirst) {
    for (const auto &c : torture_cases()) {
        if (std::string(c.name) != "dblreq") continue;
        Message m;
        ASSERT_TRUE(m.parse(c.text));
        EXPECT_EQ(m.method(), "REGISTER");
        EXPECT_TRUE(m.body().empty());
    }
}

TEST(SipParser, ErrorOffsetPointsAtTheFaultyLine) {
    std::string text = crlf(kInvite);
    size_t at = text.find("CSeq: 314159 INVITE");
    text.replace(at, 19, "CSeq: 314159 BYE   ");
    Message m;
    ParseResult r = m.parse(text);
    EXPECT_EQ(r.error, ParseError::CSeqMismatch);
    EXPECT_EQ(r.offset, at);
}

TEST(SipParser, ByteErrorsPointAtTheirLine) {
    // Each row changes one header line of the INVITE; the offset is that line's.
    struct Row {
        const char *line;     // the line to change
        std::string changed;  // its new text
        ParseError error;
    } rows[] = {
        {"Max-Forwards: 70", std::string("Max-Forwards: 7\0", 16), ParseError::BadHeaderLine},
        {"Call-ID: a84b4c76e66710", std::string("Call-ID: a84b\0c76e66710", 23), ParseError::BadHeaderLine},
        {"Max-Forwards: 70", "Max-Forwards: 7\r0", ParseError::BadHeaderLine},
        {"Max-Forwards: 70", "Max-Forwards: 70\r", ParseError::BadHeaderLine},
        {"Contact: <sip:alice", "Contact <sip:alice", ParseError::BadHeaderLine},
        {"Contact: <sip:alice", "Cont@ct: <sip:alice", ParseError::BadHeaderLine},
        // NUL only as a quoted pair: not bare, not unescaped in quotes, not escaped outside them.
        {"To: Bob", std::string("To: B\0b", 7), ParseError::BadHeaderLine},
        {"To: Bob", std::string("To: \"B\0b\"", 9), ParseError::BadHeaderLine},
        {"To: Bob", std::string("To: B\\\0b", 8), ParseError::BadHeaderLine},
    };
    for (const auto &r : rows) {
        std::string text = crlf(kInvite);
        size_t at = text.find(r.line);
        ASSERT_NE(at, std::string::npos) << r.line;
        text.replace(at, std::strlen(r.line), r.changed);
        Message m;
        ParseResult res = m.parse(text);
        EXPECT_EQ(res.error, r.error) << r.line;
        EXPECT_EQ(res.offset, at) << r.line;
    }
}

TEST(SipParser, NulPassesOnlyAsAQuotedPair) {
    std::string text = crlf(kInvite);
    const char quoted[] = "To: \"B\\\0b\\\0\" <sip:bob";
    text.replace(text.find("To: Bob <sip:bob"), 16, std::string(quoted, sizeof quoted - 1));
    Message m;
    ASSERT_TRUE(m.parse(text));
    EXPECT_EQ(m.to().display, std::string("B\\\0b\\\0", 6));
    // A bare NUL on a later line is still refused, at that line.
    size_t at = text.find("Call-ID: a84b");
    text[at + 12] = '\0';
    ParseResult r = m.parse(text);
    EXPECT_EQ(r.error, ParseError::BadHeaderLine);
    EXPECT_EQ(r.offset, at);
}

TEST(SipParser, ManyHeaderLinesKeepTheirOrder) {
    // More header lines than the parser notes on its first pass over the text.
    std::string text = crlf(kInvite);
    std::string extra;
    for (int i = 0; i < 100; ++i) extra += "X-Line-" + std::to_string(i) + ":" + (i % 3 ? " v\r\n" : "\r\n  folded\r\n");
    text.insert(text.find("Content-Type"), extra);
    Message m;
    ASSERT_TRUE(m.parse(text));
    std::vector<std::string> names;
    for (const auto &h : m.headers())
        if (h.name.substr(0, 7) == "X-Line-") names.emplace_back(h.name);
    ASSERT_EQ(names.size(), 100u);
    EXPECT_EQ(names[99], "X-Line-99");
    EXPECT_EQ(m.find("X-Line-30")->value, "folded");
    EXPECT_EQ(m.value(Hdr::ContentType), "application/sdp");
    EXPECT_EQ(m.body(), "v=0\r");
}

TEST(SipParser, OversizedDatagramIsRefused) {
    std::string text = crlf(kInvite);
    text.insert(text.find("Content-Type"), "X-Pad: " + std::string(kMaxMessage, 'a') + "\r\n");
    Message m;
    EXPECT_EQ(m.parse(text).error, ParseError::TooLarge);
}

TEST(SipParser, LfOnlyLineEndsAndNoBlankLineAreTolerated) {
    Message m;
    EXPECT_TRUE(m.parse(std::string(kInvite)));  // bare LF
    EXPECT_EQ(m.body(), "v=0\n");
    std::string no_blank = "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP h:5060;branch=z9hG4bK1\r\nFrom: <sip:a@h>;tag=1\r\n"
                           "To: <sip:b@h>\r\nCall-ID: x\r\nCSeq: 1 OPTIONS\r\n";
    EXPECT_TRUE(m.parse(no_blank));
    EXPECT_EQ(m.status(), 200);
}

// ---- grammar ---------------------------------------------------------------

TEST(SipGrammar, UriScenarios) {
    struct Row {
        const char *text;
        bool ok;
        const char *user, *host;
        int port;
        const char *params;
    } rows[] = {
        {"sip:alice@atlanta.example.com", true, "alice", "atlanta.example.com", 0, ""},
        {"sip:alice:secret@atlanta.example.com;transport=udp", true, "alice", "atlanta.example.com", 0,
         ";transport=udp"},
        {"sip:008675512345@192.0.2.4:14500", true, "008675512345", "192.0.2.4", 14500, ""},
        {"sips:bob@[2001:db8::1]:5061", true, "bob", "[2001:db8::1]", 5061, ""},
        {"sip:example.com", true, "", "example.com", 0, ""},
        {"sip:user;par=u%40example.net@example.com", true, "user;par=u%40example.net", "example.com", 0, ""},
        {"sip:a@h:0", false, "", "", 0, ""},
        {"sip:a@h:70000", false, "", "", 0, ""},
        {"sip:a@", false, "", "", 0, ""},
        {"sip:a b@h", false, "", "", 0, ""},
        {"sip:@h", false, "", "", 0, ""},
        {":nouri", false, "", "", 0, ""},
        {"sip:a@h_bad", false, "", "", 0, ""},
    };
    for (const auto &r : rows) {
        Uri u;
        bool ok = parse_uri(r.text, &u);
        EXPECT_EQ(ok, r.ok) << r.text;
        if (!ok || !r.ok) continue;
        EXPECT_EQ(u.user, r.user) << r.text;
        EXPECT_EQ(u.host, r.host) << r.text;
        EXPECT_EQ(u.port, r.port) << r.text;
        EXPECT_EQ(u.params, r.params) << r.text;
    }
}

// A peer's Contact as the Request-URI of our later requests: URI headers and
// the method parameter go, everything else stays.
TEST(SipGrammar, RemoteTargetsBecomeLegalRequestUris) {
    struct Row {
        const char *contact;
        const char *request_uri;
    } rows[] = {
        {"sip:callee@192.0.2.4:5070", "sip:callee@192.0.2.4:5070"},
        {"sip:callee@192.0.2.4:5070;transport=udp", "sip:callee@192.0.2.4:5070;transport=udp"},
        {"sip:callee@192.0.2.4?Subject=hi&Call-Info=x", "sip:callee@192.0.2.4"},
        {"sip:callee@192.0.2.4;method=INVITE;lr?Route=%3Csip:evil%3E", "sip:callee@192.0.2.4;lr"},
        {"sip:callee@192.0.2.4;METHOD=bye", "sip:callee@192.0.2.4"},
        {"sip:gw.example.net;maddr=192.0.2.9", "sip:gw.example.net;maddr=192.0.2.9"},
        {"tel:+8675512345", ""},
        {"sip:", ""},
    };
    for (const auto &r : rows) EXPECT_EQ(callctl::request_uri_of(r.contact), r.request_uri) << r.contact;
}

// The library thread's timers fire earliest first whatever the order they
// were armed, re-armed and stopped in; a thousand armed cost one heap.
TEST(Timers, FireInDueOrderThroughArmingAndStopping) {
    callctl::TimerHost host;
    std::vector<std::unique_ptr<callctl::Timer>> timers;
    std::vector<int> fired;
    std::mt19937 rng(11);
    std::vector<int64_t> due(1000);
    for (int i = 0; i < 1000; ++i) {
        timers.push_back(std::make_unique<callctl::Timer>(host));
        due[size_t(i)] = int64_t(rng() % 5000);
        timers.back()->start(0, due[size_t(i)] + 100000, [] {});
    }
    // Re-arm every timer to its real due time and stop every third.
    for (int i = 0; i < 1000; ++i) timers[size_t(i)]->start(0, due[size_t(i)], [&fired, i] { fired.push_back(i); });
    for (int i = 0; i < 1000; i += 3) timers[size_t(i)]->stop();
    EXPECT_EQ(host.armed(), 666u);
    EXPECT_EQ(host.next_delay(0, 99999), [&] {
        int64_t m = 99999;
        for (int i = 0; i < 1000; ++i)
            if (i % 3) m = std::min(m, due[size_t(i)]);
        return m;
    }());
    host.run_due(2500);
    host.run_due(5000);
    ASSERT_EQ(fired.size(), 666u);
    for (size_t k = 1; k < fired.size(); ++k) {
        int64_t a = due[size_t(fired[k - 1])], b = due[size_t(fired[k])];
        EXPECT_TRUE(a < b || (a == b && fired[k - 1] < fired[k])) << k;
    }
    EXPECT_EQ(host.armed(), 0u);
}

TEST(SipGrammar, NameAddrAndParams) {
    NameAddr na;
    ASSERT_TRUE(parse_name_addr("\"Bob \\\"B\\\"\" <sip:bob@h;lr>;tag=abc;expires=60", &na));
    EXPECT_TRUE(na.bracketed);
    EXPECT_EQ(na.uri_text, "sip:bob@h;lr");
    std::string_view v;
    EXPECT_TRUE(find_param(na.params, "TAG", &v));
    EXPECT_EQ(v, "abc");
    EXPECT_TRUE(find_param(na.params, "expires", &v));
    EXPECT_EQ(v, "60");
    EXPECT_FALSE(find_param(na.params, "lr", &v));  // a URI parameter, not a header one

    ASSERT_TRUE(parse_name_addr("sip:bob@h;tag=xyz", &na));  // addr-spec: params belong to the header
    EXPECT_EQ(na.uri_text, "sip:bob@h");
    EXPECT_TRUE(find_param(na.params, "tag", &v));
    EXPECT_EQ(v, "xyz");

    EXPECT_FALSE(parse_name_addr("Bob sip:bob@h", &na));
    EXPECT_FALSE(parse_name_addr("<sip:bob@h", &na));
    EXPECT_FALSE(parse_name_addr("<sip:bob@h> garbage", &na));
}

TEST(SipGrammar, ViaReceivedAndRport) {
    Via v;
    ASSERT_TRUE(parse_via("SIP/2.0/UDP 10.0.0.2:14500;rport=3333;received=192.0.2.9;branch=z9hG4bKa", &v));
    EXPECT_EQ(v.port, 14500);
    EXPECT_TRUE(v.has_rport);
    EXPECT_EQ(v.rport, 3333);
    EXPECT_EQ(v.received, "192.0.2.9");
    ASSERT_TRUE(parse_via("SIP/2.0/UDP h;rport;branch=z9hG4bKb", &v));
    EXPECT_TRUE(v.has_rport);
    EXPECT_EQ(v.rport, -1);
    EXPECT_FALSE(parse_via("SIP/2.0/UDP h;rport=99999", &v));
    // The first of each parameter counts, also when a later one would not parse.
    ASSERT_TRUE(parse_via("SIP/2.0/UDP h;BRANCH=z9hG4bK1;received=a;branch=z9hG4bK2;rport=7;rport=99999;received=b", &v));
    EXPECT_EQ(v.branch, "z9hG4bK1");
    EXPECT_EQ(v.received, "a");
    EXPECT_EQ(v.rport, 7);
    EXPECT_FALSE(parse_via("SIP/2.0/UDP h;rport=x;branch=z9hG4bK1", &v));
    EXPECT_FALSE(parse_via("SIP/2.0/UDPh", &v));
    EXPECT_FALSE(parse_via("SIP/2.0 h", &v));
}

TEST(SipGrammar, CompactAndLongHeaderNamesMapToOneId) {
    struct Row {
        const char *name;
        Hdr id;
    } rows[] = {{"v", Hdr::Via},        {"VIA", Hdr::Via},           {"i", Hdr::CallId}, {"call-id", Hdr::CallId},
                {"m", Hdr::Contact},    {"l", Hdr::ContentLength},   {"c", Hdr::ContentType},
                {"f", Hdr::From},       {"t", Hdr::To},              {"k", Hdr::Supported},
                {"x", Hdr::Other},      {"X-Custom", Hdr::Other},    {"www-authenticate", Hdr::WwwAuthenticate},
                // Case folds for letters only: '-' is not '\r' or '_', and no name is longer.
                {"cONTENT-lENGTH", Hdr::ContentLength}, {"Call\rID", Hdr::Other}, {"Call_ID", Hdr::Other},
                {"Call-IDx", Hdr::Other}, {"Proxy-Authorization", Hdr::ProxyAuthorization},
                {"Proxy-Authorizations", Hdr::Other}, {"Vi\xC1", Hdr::Other}};
    for (const auto &r : rows) EXPECT_EQ(header_id(r.name), r.id) << r.name;
}

TEST(SipWriter, WrittenMessageParsesBackWithTheSameFields) {
    Writer w;
    w.request_line("MESSAGE", "sip:u@192.0.2.1:14500");
    w.header(Hdr::Via, "SIP/2.0/UDP 192.0.2.2:5060;branch=z9hG4bKw1");
    w.header(Hdr::MaxForwards, 70);
    w.header(Hdr::From, "<sip:s@192.0.2.2>;tag=9");
    w.header(Hdr::To, "<sip:u@192.0.2.1>");
    w.header(Hdr::CallId, "c1");
    w.header(Hdr::CSeq, "7 MESSAGE");
    std::string wire = w.finish("hello", "text/plain");
    Message m;
    ASSERT_TRUE(m.parse(wire)) << wire;
    EXPECT_EQ(m.body(), "hello");
    EXPECT_EQ(m.value(Hdr::ContentType), "text/plain");
    EXPECT_EQ(m.value(Hdr::ContentLength), "5");
    EXPECT_EQ(m.cseq(), 7u);
    EXPECT_EQ(m.top_via().branch, "z9hG4bKw1");
}

// ---- mutation fuzz ------------------------------------------------------------

// Seeded random mutations of valid messages: no crash, no sanitizer report,
// and a message that parses always has the validated fields filled in.
TEST(SipParserFuzz, RandomMutationsNeverBreakTheParser) {
    std::vector<std::string> corpus;
    for (const auto &c : torture_cases())
        if (c.expect == ParseError::None) corpus.push_back(c.text);
    corpus.push_back(crlf(kInvite));
    std::mt19937 rng(20240611);
    const char interesting[] = {'\r', '\n', ' ', '\t', ':', ';', ',', '"', '<', '>', '\\', '\0', '=', '@', '/'};
    size_t parsed = 0;
    const int rounds = 150000;
    for (int i = 0; i < rounds; ++i) {
        std::string s = corpus[rng() % corpus.size()];
        int edits = 1 + int(rng() % 8);
        for (int e = 0; e < edits && !s.empty(); ++e) {
            size_t pos = rng() % s.size();
            switch (rng() % 6) {
            case 0: s[pos] = char(rng() % 256); break;
            case 1: s[pos] = interesting[rng() % sizeof interesting]; break;
            case 2: s.erase(pos, 1 + rng() % 16); break;
            case 3: s.insert(pos, std::string(1 + rng() % 4, interesting[rng() % sizeof interesting])); break;
            case 4: s.resize(pos); break;
            case 5: {  // duplicate a slice
                size_t len = std::min<size_t>(s.size() - pos, 1 + rng() % 64);
                s.insert(rng() % s.size(), s.substr(pos, len));
                break;
            }
            }
        }
        Message m;
        if (m.parse(s)) {
            ++parsed;
            ASSERT_FALSE(m.call_id().empty());
            ASSERT_FALSE(m.cseq_method().empty());
            ASSERT_LE(m.body().size(), s.size());
            if (m.is_request()) {
                ASSERT_EQ(m.method(), m.cseq_method());
            }
        }
    }
    // The mutations must leave a share of messages valid, or the test would
    // only be exercising the first few checks.
    EXPECT_GT(parsed, size_t(rounds / 20));
    EXPECT_LT(parsed, size_t(rounds));
}
