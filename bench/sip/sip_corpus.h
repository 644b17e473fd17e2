// The SIP messages both parser benchmarks read: REGISTER with and without
// credentials, 401, INVITE with SDP, 100/180/200, ACK, BYE and its 200, with
// CRLF line ends.
#pragma once
#include <string>
#include <vector>

namespace sipbench {

inline std::string crlf(const char *s) {
    std::string out;
    for (; *s; ++s) {
        if (*s == '\n') out += "\r\n";
        else out += *s;
    }
    return out;
}

inline std::vector<std::string> corpus() {
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

}  // namespace sipbench
