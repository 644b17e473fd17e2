// SIP parse throughput of the call-control library's parser against
// libosip2 (osip_message_parse) and the re library (sip_msg_decode), on one
// corpus of realistic messages (the one bench/sip uses: REGISTER with and
// without credentials, 401, INVITE with SDP, 100/180/200, ACK, BYE and its
// 200). Prints one line per parser: "NAME MSGS_PER_S FAILED", best of three
// interleaved runs after a warm-up.
//
//   peers_sip_parse [rounds] [callctl]
// With "callctl" only our parser runs, once, for a profile under callgrind.
#include <osipparser2/osip_message.h>
#include <osipparser2/osip_parser.h>
#include <cstdint>
#include <cstdarg>
#include <sys/types.h>
#define HAVE_INTTYPES_H 1
#define HAVE_STDBOOL_H 1
extern "C" {
#include <re/re_types.h>
#include <re/re_fmt.h>
#include <re/re_mbuf.h>
#include <re/re_list.h>
#include <re/re_sa.h>
#include <re/re_msg.h>
#include <re/re_uri.h>
#include <re/re_sip.h>
#include <re/re_main.h>
#include <re/re_mem.h>
}

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sip/sip.h"

namespace {

std::string crlf(const char *s) {
    std::string out;
    for (; *s; ++s) {
        if (*s == '\n') out += "\r\n";
        else out += *s;
    }
    return out;
}

std::vector<std::string> corpus() {
    const char *sdp =
        "v=0\n"
        "o=- 3712 1 IN IP4 192.0.2.10\n"
        "s=callctl\n"
        "c=IN IP4 192.0.2.10\n"
        "t=0 0\n"
        "m=audio 8000 RTP/AVP 0 8 101\n"
        "a=rtpmap:0 PCMU/8000\n"
        "a=rtpmap:8 PCMA/8000\n"
        "a=rtpmap:101 telephone-event/8000\n"
        "a=fmtp:101 0-15\n"
        "a=ptime:20\n"
        "a=sendrecv\n";
    std::string body = crlf(sdp);
    std::string cl = std::to_string(body.size());
    std::vector<std::string> v;
    v.push_back(crlf("REGISTER sip:voip.example.cn:5060 SIP/2.0\n"
                     "Via: SIP/2.0/UDP 192.0.2.10:14500;rport;branch=z9hG4bKq1w2e3r4t5y6u7i8o\n"
                     "Max-Forwards: 70\n"
                     "From: <sip:8001234@voip.example.cn:5060>;tag=kd83jf72hs\n"
                     "To: <sip:8001234@voip.example.cn:5060>\n"
                     "Call-ID: 9dk3j5h7g2f4d6s8a0@callctl\n"
                     "CSeq: 412 REGISTER\n"
                     "Contact: <sip:8001234@192.0.2.10:14500>\n"
                     "Expires: 3600\n"
                     "Allow: INVITE, ACK, CANCEL, BYE, OPTIONS, MESSAGE, NOTIFY\n"
                     "User-Agent: Simple Agent (sipXtapi)\n"
                     "Content-Length: 0\n\n"));
    v.push_back(crlf("SIP/2.0 401 Unauthorized\n"
                     "Via: SIP/2.0/UDP 192.0.2.10:14500;rport=14500;received=198.51.100.7;branch=z9hG4bKq1w2e3r4t5y6u7i8o\n"
                     "From: <sip:8001234@voip.example.cn:5060>;tag=kd83jf72hs\n"
                     "To: <sip:8001234@voip.example.cn:5060>;tag=as1f2d3e\n"
                     "Call-ID: 9dk3j5h7g2f4d6s8a0@callctl\n"
                     "CSeq: 412 REGISTER\n"
                     "WWW-Authenticate: Digest realm=\"voip.example.cn\", nonce=\"5f2a9c1b7d3e\", qop=\"auth\", algorithm=MD5\n"
                     "Server: Example SBC\n"
                     "Content-Length: 0\n\n"));
    v.push_back(crlf("REGISTER sip:voip.example.cn:5060 SIP/2.0\n"
                     "Via: SIP/2.0/UDP 192.0.2.10:14500;rport;branch=z9hG4bKa9s8d7f6g5h4j3k2l\n"
                     "Max-Forwards: 70\n"
                     "From: <sip:8001234@voip.example.cn:5060>;tag=kd83jf72hs\n"
                     "To: <sip:8001234@voip.example.cn:5060>\n"
                     "Call-ID: 9dk3j5h7g2f4d6s8a0@callctl\n"
                     "CSeq: 413 REGISTER\n"
                     "Contact: <sip:8001234@198.51.100.7:14500>\n"
                     "Expires: 3600\n"
                     "Authorization: Digest username=\"8001234\", realm=\"voip.example.cn\", nonce=\"5f2a9c1b7d3e\", "
                     "uri=\"sip:voip.example.cn:5060\", response=\"0d5e1a2b3c4d5e6f7a8b9c0d1e2f3a4b\", algorithm=MD5, "
                     "qop=auth, nc=00000001, cnonce=\"a8s7d6f5g4h3\"\n"
                     "Allow: INVITE, ACK, CANCEL, BYE, OPTIONS, MESSAGE, NOTIFY\n"
                     "User-Agent: Simple Agent (sipXtapi)\n"
                     "Content-Length: 0\n\n"));
    v.push_back(crlf("INVITE sip:00867551234567@voip.example.cn:5060 SIP/2.0\n"
                     "Via: SIP/2.0/UDP 192.0.2.10:14500;rport;branch=z9hG4bKz1x2c3v4b5n6m7\n"
                     "Max-Forwards: 70\n"
                     "From: <sip:8001234@voip.example.cn:5060>;tag=p0o9i8u7y6\n"
                     "To: <sip:00867551234567@voip.example.cn:5060>\n"
                     "Call-ID: m5n4b3v2c1x0z9@callctl\n"
                     "CSeq: 7731 INVITE\n"
                     "Contact: <sip:8001234@198.51.100.7:14500>\n"
                     "Allow: INVITE, ACK, CANCEL, BYE, OPTIONS, MESSAGE, NOTIFY\n"
                     "User-Agent: Simple Agent (sipXtapi)\n"
                     "Content-Type: application/sdp\n"
                     "Content-Length: ") + cl + "\r\n\r\n" + body);
    v.push_back(crlf("SIP/2.0 100 Trying\n"
                     "Via: SIP/2.0/UDP 192.0.2.10:14500;rport=14500;received=198.51.100.7;branch=z9hG4bKz1x2c3v4b5n6m7\n"
                     "From: <sip:8001234@voip.example.cn:5060>;tag=p0o9i8u7y6\n"
                     "To: <sip:00867551234567@voip.example.cn:5060>\n"
                     "Call-ID: m5n4b3v2c1x0z9@callctl\n"
                     "CSeq: 7731 INVITE\n"
                     "Content-Length: 0\n\n"));
    v.push_back(crlf("SIP/2.0 180 Ringing\n"
                     "Via: SIP/2.0/UDP 192.0.2.10:14500;rport=14500;received=198.51.100.7;branch=z9hG4bKz1x2c3v4b5n6m7\n"
                     "Record-Route: <sip:203.0.113.5;lr>\n"
                     "From: <sip:8001234@voip.example.cn:5060>;tag=p0o9i8u7y6\n"
                     "To: <sip:00867551234567@voip.example.cn:5060>;tag=gw77a1\n"
                     "Call-ID: m5n4b3v2c1x0z9@callctl\n"
                     "CSeq: 7731 INVITE\n"
                     "Contact: <sip:00867551234567@203.0.113.9:5060>\n"
                     "Content-Length: 0\n\n"));
    v.push_back(crlf("SIP/2.0 200 OK\n"
                     "Via: SIP/2.0/UDP 192.0.2.10:14500;rport=14500;received=198.51.100.7;branch=z9hG4bKz1x2c3v4b5n6m7\n"
                     "Record-Route: <sip:203.0.113.5;lr>\n"
                     "From: <sip:8001234@voip.example.cn:5060>;tag=p0o9i8u7y6\n"
                     "To: <sip:00867551234567@voip.example.cn:5060>;tag=gw77a1\n"
                     "Call-ID: m5n4b3v2c1x0z9@callctl\n"
                     "CSeq: 7731 INVITE\n"
                     "Contact: <sip:00867551234567@203.0.113.9:5060>\n"
                     "Allow: INVITE, ACK, CANCEL, BYE, OPTIONS\n"
                     "Content-Type: application/sdp\n"
                     "Content-Length: ") + cl + "\r\n\r\n" + body);
    v.push_back(crlf("ACK sip:00867551234567@203.0.113.9:5060 SIP/2.0\n"
                     "Via: SIP/2.0/UDP 192.0.2.10:14500;rport;branch=z9hG4bKl0k9j8h7g6\n"
                     "Max-Forwards: 70\n"
                     "Route: <sip:203.0.113.5;lr>\n"
                     "From: <sip:8001234@voip.example.cn:5060>;tag=p0o9i8u7y6\n"
                     "To: <sip:00867551234567@voip.example.cn:5060>;tag=gw77a1\n"
                     "Call-ID: m5n4b3v2c1x0z9@callctl\n"
                     "CSeq: 7731 ACK\n"
                     "Content-Length: 0\n\n"));
    v.push_back(crlf("BYE sip:8001234@198.51.100.7:14500 SIP/2.0\n"
                     "Via: SIP/2.0/UDP 203.0.113.5;branch=z9hG4bK3e4r5t6y7u\n"
                     "Via: SIP/2.0/UDP 203.0.113.9:5060;branch=z9hG4bKgw0001\n"
                     "Max-Forwards: 69\n"
                     "From: <sip:00867551234567@voip.example.cn:5060>;tag=gw77a1\n"
                     "To: <sip:8001234@voip.example.cn:5060>;tag=p0o9i8u7y6\n"
                     "Call-ID: m5n4b3v2c1x0z9@callctl\n"
                     "CSeq: 2 BYE\n"
                     "Content-Length: 0\n\n"));
    v.push_back(crlf("SIP/2.0 200 OK\n"
                     "Via: SIP/2.0/UDP 203.0.113.5;branch=z9hG4bK3e4r5t6y7u\n"
                     "Via: SIP/2.0/UDP 203.0.113.9:5060;branch=z9hG4bKgw0001\n"
                     "From: <sip:00867551234567@voip.example.cn:5060>;tag=gw77a1\n"
                     "To: <sip:8001234@voip.example.cn:5060>;tag=p0o9i8u7y6\n"
                     "Call-ID: m5n4b3v2c1x0z9@callctl\n"
                     "CSeq: 2 BYE\n"
                     "User-Agent: Simple Agent (sipXtapi)\n"
                     "Content-Length: 0\n\n"));
    return v;
}

struct Result {
    double msgs_per_s = 0;
    size_t failures = 0;
};

template <typename Fn> Result run(size_t count, int rounds, Fn parse_one) {
    Result r;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i)
        for (size_t k = 0; k < count; ++k)
            if (!parse_one(k)) ++r.failures;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.msgs_per_s = double(rounds) * double(count) / secs;
    return r;
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
    parser_init();
    if (libre_init() != 0) return 70;
    std::vector<std::string> msgs = corpus();
    // re decodes from an mbuf: one per message, made once, read from its start each time.
    std::vector<struct mbuf *> bufs;
    for (const auto &m : msgs) {
        struct mbuf *mb = mbuf_alloc(m.size());
        if (!mb || mbuf_write_mem(mb, reinterpret_cast<const uint8_t *>(m.data()), m.size()) != 0) return 70;
        bufs.push_back(mb);
    }
    auto ours = [&](size_t k) {
        callctl::sip::Message msg;
        return bool(msg.parse(msgs[k]));
    };
    auto osip = [&](size_t k) {
        osip_message_t *sip = nullptr;
        if (osip_message_init(&sip) != 0) return false;
        bool ok = osip_message_parse(sip, msgs[k].data(), msgs[k].size()) == 0;
        osip_message_free(sip);
        return ok;
    };
    auto re = [&](size_t k) {
        struct sip_msg *msg = nullptr;
        bufs[k]->pos = 0;
        bool ok = sip_msg_decode(&msg, bufs[k]) == 0;
        mem_deref(msg);
        return ok;
    };
    size_t n = msgs.size();
    if (argc > 2 && std::string(argv[2]) == "callctl") {
        Result r = run(n, rounds, ours);
        std::printf("callctl %.0f %zu\n", r.msgs_per_s, r.failures);
        return r.failures == 0 ? 0 : 1;
    }
    run(n, rounds / 10 + 1, ours);
    run(n, rounds / 10 + 1, osip);
    run(n, rounds / 10 + 1, re);
    Result best[3];
    for (int k = 0; k < 3; ++k) {
        Result r[3] = {run(n, rounds, ours), run(n, rounds, osip), run(n, rounds, re)};
        for (int j = 0; j < 3; ++j)
            if (r[j].msgs_per_s > best[j].msgs_per_s) best[j] = r[j];
    }
    const char *names[3] = {"callctl", "libosip2", "re"};
    for (int j = 0; j < 3; ++j) std::printf("%s %.0f %zu\n", names[j], best[j].msgs_per_s, best[j].failures);
    for (auto *mb : bufs) mem_deref(mb);
    libre_close();
    return best[0].failures + best[1].failures + best[2].failures == 0 ? 0 : 1;
}
