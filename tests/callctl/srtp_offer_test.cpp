// The peer's RTP/SAVP offers in a dialog (RFC 4568): which a=crypto line is
// answered, with what, and which offers get 488; then the audio on the new
// port is SRTP of the answered suite under our answer's key. The call
// starts plain, as the default mode (AcceptOnly) has it; the rows for the
// Off mode need the internal switch and run natively.
#include <gtest/gtest.h>

#include <chrono>

#include "harness.h"
#include "srtp_far.h"

#ifndef _WIN32
#include "api/registry.h"
#include "engine/instance.h"
#endif

using namespace testing_callctl;
using namespace std::chrono;

namespace {

// The next datagram on s (empty when none came within timeout_ms).
std::vector<uint8_t> next_datagram(callctl::UdpSocket &s, int timeout_ms) {
    auto end = steady_clock::now() + milliseconds(timeout_ms);
    while (steady_clock::now() < end) {
        callctl::UdpSocket *socks[] = {&s};
        bool ready[1];
        callctl::wait_readable(socks, 1, 50, ready);
        uint8_t buf[1500];
        callctl::Endpoint src;
        int n = s.recv_from(buf, sizeof buf, &src);
        if (n > 0) return std::vector<uint8_t>(buf, buf + n);
    }
    return {};
}

std::string replaced(std::string s, const std::string &what, const std::string &with) {
    for (size_t at; (at = s.find(what)) != std::string::npos;) s.replace(at, what.size(), with);
    return s;
}

}  // namespace

TEST(SrtpOffers, WhichKeysAreAnsweredAndWhich488) {
    const std::string key = b64(test_key(7));
    std::vector<uint8_t> k20 = test_key(7);
    k20.resize(20);
    const std::string plain = "m=audio PORT RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
    const std::string savp = "m=audio PORT RTP/SAVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
    struct Row {
        const char *what;
        bool off;           // the instance's SRTP mode is Off
        std::string m_part; // PORT: the new audio port, KEY: a 30-byte key
        int status;
        int tag;            // of our answer's a=crypto line (0: none, a plain answer)
        const char *suite;
        std::vector<std::string> answer_lines;  // the answer's m= line starts
    };
    const Row rows[] = {
        {"_80 only", false, savp + "a=crypto:3 AES_CM_128_HMAC_SHA1_80 inline:KEY\r\n", 200, 3, k80,
         {"m=audio "}},
        {"_32 only", false, savp + "a=crypto:1 AES_CM_128_HMAC_SHA1_32 inline:KEY\r\n", 200, 1, k32, {"m=audio "}},
        {"an unknown suite, then _80", false,
         savp + "a=crypto:1 AEAD_AES_256_GCM inline:KEY\r\na=crypto:2 AES_CM_128_HMAC_SHA1_80 inline:KEY\r\n", 200, 2,
         k80, {"m=audio "}},
        {"a lifetime and parameters we honour", false,
         savp + "a=crypto:5 AES_CM_128_HMAC_SHA1_80 inline:KEY|2^31 WSH=256 FEC_ORDER=FEC_SRTP -X_OPTIONAL\r\n", 200,
         5, k80,
         {"m=audio "}},
        {"a short lifetime, then _32", false,
         savp + "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:KEY|2^20\r\na=crypto:2 AES_CM_128_HMAC_SHA1_32 "
                "inline:KEY\r\n",
         200, 2, k32, {"m=audio "}},
        {"bad base64", false, savp + "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:!!KEY\r\n", 488, 0, "", {}},
        {"a short key", false, savp + "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:" + b64(k20) + "\r\n", 488, 0,
         "", {}},
        {"a key derivation rate", false, savp + "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:KEY KDR=10\r\n", 488, 0,
         "", {}},
        {"an unknown parameter", false, savp + "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:KEY X_NEW=1\r\n", 488, 0,
         "", {}},
        {"unencrypted SRTP", false, savp + "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:KEY UNENCRYPTED_SRTP\r\n", 488,
         0, "", {}},
        {"two keys with MKIs", false,
         savp + "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:KEY|2^31|1:4;inline:KEY|2^31|2:4\r\n", 488, 0, "", {}},
        {"no a=crypto", false, savp, 488, 0, "", {}},
        {"RTP/AVP and RTP/SAVP lines", false,
         plain + savp + "a=crypto:1 AES_CM_128_HMAC_SHA1_32 inline:KEY\r\n", 200, 1, k32,
         {"m=audio 0 RTP/AVP 0", "m=audio "}},
#ifndef _WIN32
        {"RTP/SAVP with SRTP off", true, savp + "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:KEY\r\n", 488, 0, "", {}},
        {"RTP/SAVP and RTP/AVP lines with SRTP off", true,
         savp + "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:KEY\r\n" + plain, 200, 0, "",
         {"m=audio 0 RTP/SAVP 0", "m=audio "}},
#endif
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        RawPeer peer;
        callctl::UdpSocket moved;
        ASSERT_TRUE(moved.open(0x7f000001, 0));
        Phone ph;
#ifndef _WIN32
        if (row.off) callctl::api::instance(ph.inst)->set_srtp_mode(callctl::SrtpMode::Off);
#endif
        SecureCall c;
        ASSERT_TRUE(secure_call(ph, peer, audio_sdp(peer.port() + 2), &c));
        ASSERT_TRUE(ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_CONNECTED, 2000, c.call).category ==
                    SIPX_EVENT_CATEGORY_CALLSTATE);
        EXPECT_NE(c.invite.find(" RTP/AVP "), std::string::npos) << "our own offer is plain";
        std::string body = "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n" +
                           replaced(replaced(row.m_part, "PORT", std::to_string(moved.local_port())), "KEY", key);
        peer.send(peer_request(peer, c, "INVITE", 20, body), c.from);
        std::string answer;
        ASSERT_TRUE(peer.next("SIP/2.0", 2000, &answer));
        ASSERT_EQ(first_line(answer).substr(8, 3), std::to_string(row.status)) << answer;
        std::vector<std::string> lines;
        for (size_t at = answer.find("\r\nm="); at != std::string::npos; at = answer.find("\r\nm=", at + 2))
            lines.push_back(answer.substr(at + 2, answer.find("\r\n", at + 2) - at - 2));
        ASSERT_EQ(lines.size(), row.answer_lines.size()) << answer;
        for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].substr(0, row.answer_lines[i].size()), row.answer_lines[i]);
        auto ours = crypto_lines(answer);
        if (row.status == 200) {
            std::string ack = peer_request(peer, c, "ACK", 20, "");
            ack.replace(ack.find("To: "), ack.find("\r\n", ack.find("To: ")) - ack.find("To: "),
                        "To: " + header_of(answer, "To"));
            peer.send(ack, c.from);
            std::vector<uint8_t> pkt = next_datagram(moved, 2000);
            ASSERT_GE(pkt.size(), 12u + 160) << "audio on the new port";
            if (row.tag == 0) {
                EXPECT_TRUE(ours.empty()) << answer;
                EXPECT_NE(answer.find(" RTP/AVP 0"), std::string::npos);
                EXPECT_EQ(pkt.size(), 12u + 160) << "plain PCMU";
            } else {
                ASSERT_EQ(ours.size(), 1u) << answer;
                ASSERT_EQ(ours.count(row.tag), 1u) << answer;
                EXPECT_EQ(ours[row.tag].suite, row.suite);
                ASSERT_EQ(ours[row.tag].key.size(), 30u);
                EXPECT_NE(ours[row.tag].key, test_key(7)) << "our own key";
                EXPECT_NE(lines.back().find(" RTP/SAVP "), std::string::npos);
                FarSrtp rx(false, row.suite, ours[row.tag].key);
                EXPECT_EQ(pkt.size(), 12u + 160 + (std::string(row.suite) == k80 ? 10 : 4));
                EXPECT_TRUE(rx.unprotect(&pkt)) << "SRTP under our answer's key";
            }
        } else {
            EXPECT_TRUE(ours.empty());
            EXPECT_TRUE(next_datagram(moved, 300).empty()) << "the audio stays where it was";
        }
        EXPECT_FALSE(ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, 10, c.call).category ==
                     SIPX_EVENT_CATEGORY_CALLSTATE) << "the call goes on";
        SIPX_CALL h = c.call;
        ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
        std::string bye;
        ASSERT_TRUE(peer.next("BYE", 2000, &bye));
        peer.reply(bye, c.from, 200);
    }
}
