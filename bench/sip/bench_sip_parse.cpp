// Parse throughput of the call-control library's SIP parser against
// libosip2 on one corpus of realistic messages (REGISTER with and without
// credentials, 401, INVITE with SDP, 100/180/200, ACK, BYE and its 200).
// Prints messages per second for both, the ratio, and heap allocations per
// message (ours counted through operator new, libosip2's through its
// allocator hooks).
#include <osipparser2/osip_message.h>
#include <osipparser2/osip_parser.h>
#include <osipparser2/osip_port.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "sip/sip.h"

namespace {

size_t g_allocs = 0;

void *count_malloc(size_t n) {
    ++g_allocs;
    return std::malloc(n);
}
void *count_realloc(void *p, size_t n) {
    ++g_allocs;
    return std::realloc(p, n);
}
void count_free(void *p) { std::free(p); }

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
    double allocs_per_msg = 0;
    size_t failures = 0;
};

template <typename Fn>
Result run(const std::vector<std::string> &msgs, int rounds, Fn parse_one) {
    Result r;
    size_t allocs0 = g_allocs;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i)
        for (const auto &m : msgs)
            if (!parse_one(m)) ++r.failures;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double n = double(rounds) * double(msgs.size());
    r.msgs_per_s = n / secs;
    r.allocs_per_msg = double(g_allocs - allocs0) / n;
    return r;
}

bool ours(const std::string &m) {
    callctl::sip::Message msg;
    return bool(msg.parse(m));
}

bool osip(const std::string &m) {
    osip_message_t *sip = nullptr;
    if (osip_message_init(&sip) != 0) return false;
    bool ok = osip_message_parse(sip, m.data(), m.size()) == 0;
    osip_message_free(sip);
    return ok;
}

}  // namespace

void *operator new(size_t n) {
    ++g_allocs;
    void *p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }

int main(int argc, char **argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
    parser_init();
    osip_set_allocators(count_malloc, count_realloc, count_free);
    std::vector<std::string> msgs = corpus();
    size_t bytes = 0;
    for (const auto &m : msgs) bytes += m.size();
    // Warm up both, then take the best of three interleaved runs.
    run(msgs, rounds / 10 + 1, ours);
    run(msgs, rounds / 10 + 1, osip);
    Result best_ours, best_osip;
    for (int k = 0; k < 3; ++k) {
        Result a = run(msgs, rounds, ours);
        Result b = run(msgs, rounds, osip);
        if (a.msgs_per_s > best_ours.msgs_per_s) best_ours = a;
        if (b.msgs_per_s > best_osip.msgs_per_s) best_osip = b;
    }
    std::printf("corpus: %zu messages, %zu bytes; %d rounds per run, best of 3\n", msgs.size(), bytes, rounds);
    std::printf("callctl : %10.0f msg/s  %5.2f allocations/msg  %zu failed\n", best_ours.msgs_per_s,
                best_ours.allocs_per_msg, best_ours.failures);
    std::printf("libosip2: %10.0f msg/s  %5.2f allocations/msg  %zu failed\n", best_osip.msgs_per_s,
                best_osip.allocs_per_msg, best_osip.failures);
    std::printf("ratio callctl/libosip2: %.2f (goal >= 1.0)\n", best_ours.msgs_per_s / best_osip.msgs_per_s);
    return best_ours.failures == 0 && best_osip.failures == 0 ? 0 : 1;
}
