// SRTP calls (RFC 3711, keys by RFC 4568 SDES) through the C interface. The
// far end is the test's: RawPeer for SIP, libsrtp used directly for its
// media (srtp_far.h). Our RTP/SAVP offer, what goes over the wire, the
// packets that are dropped (tampered, replayed, plain), SRTCP both ways,
// DTMF, hold and new keys both ways, answers that end the call, the log;
// and two phones through a bridging callee. SRTP offers are an internal
// switch (Instance::set_srtp_mode), so these run in the native tree.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "api/registry.h"
#include "codec/codec.h"
#include "engine/instance.h"
#include "harness.h"
#include "media_peer.h"
#include "rtp/rtp.h"
#include "srtp_far.h"

using namespace testing_callctl;
using namespace std::chrono;
using Info = callctl::media::Engine::StreamInfo;

namespace {

const SIPX_CALL_OPTIONS kOptions = {20, 1, 1, 1, 0};

template <typename Cond>
bool wait_for(Cond cond, int ms) {
    auto end = steady_clock::now() + milliseconds(ms);
    while (!cond() && steady_clock::now() < end) std::this_thread::sleep_for(milliseconds(10));
    return cond();
}

bool got(Phone &ph, uint32_t code, SIPX_CALL call, int ms = 3000) {
    return ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, code, ms, call).category == SIPX_EVENT_CATEGORY_CALLSTATE;
}

std::string unique(const std::string &name) {
    std::string path = "srtp-" + std::to_string(getpid()) + "-" + name;
    std::remove(path.c_str());
    return path;
}

void write_tone(const std::string &path, double freq, double seconds) {
    std::ofstream f(path, std::ios::binary);
    for (size_t i = 0; i < size_t(seconds * 8000); ++i) {
        int16_t v = int16_t(8000 * std::sin(2 * 3.141592653589793 * freq * double(i) / 8000));
        f.put(char(v & 0xFF));
        f.put(char((v >> 8) & 0xFF));
    }
}

void srtp_mode(Phone &ph, callctl::SrtpMode m) { callctl::api::instance(ph.inst)->set_srtp_mode(m); }

Info info(Phone &ph, SIPX_CALL call) {
    Info i;
    EXPECT_TRUE(callctl::api::instance(ph.inst)->media->stream_info(call, &i));
    return i;
}

// The packet bytes a probe saw (the header as the phone writes it: no CSRC,
// no extension).
std::vector<uint8_t> bytes_of(const RtpPacket &p) {
    callctl::rtp::Header h;
    h.marker = p.marker;
    h.pt = uint8_t(p.pt);
    h.seq = p.seq;
    h.ts = p.ts;
    h.ssrc = p.ssrc;
    uint8_t buf[2048];
    size_t n = callctl::rtp::write(h, p.payload.data(), p.payload.size(), buf, sizeof buf);
    return std::vector<uint8_t>(buf, buf + n);
}

// The far end's media: RTP on an even port with RTCP on the next, and a
// thread sending SRTP packets of a tone every 20 ms while asked to.
class FarMedia {
public:
    FarMedia() {
        for (int i = 0; i < 50 && !probe; ++i) {
            auto rtcp = std::make_unique<callctl::UdpSocket>();
            if (!rtcp->open(0x7f000001, 0) || rtcp->local_port() % 2 == 0) continue;
            {
                callctl::UdpSocket t;
                if (!t.open(0x7f000001, uint16_t(rtcp->local_port() - 1))) continue;
            }
            auto p = std::make_unique<RtpProbe>(0x7f000001, uint16_t(rtcp->local_port() - 1));
            if (p->port() == 0) continue;
            probe = std::move(p);
            this->rtcp = std::move(rtcp);
        }
    }
    ~FarMedia() { stop(); }
    int port() const { return probe ? probe->port() : 0; }
    void start(const callctl::Endpoint &to, const std::string &suite, const std::vector<uint8_t> &key, double freq) {
        stop();
        sender_ = std::make_unique<FarSrtp>(true, suite, key);
        quit_ = false;
        thread_ = std::thread([this, to, freq] {
            auto next = steady_clock::now();
            size_t phase = 0;
            while (!quit_) {
                std::vector<uint8_t> pkt = sender_->protect(pcmu_packet(seq_, ts_, 0x5eed, freq, &phase));
                ++seq_, ts_ += 160;
                probe->send_raw(to, pkt.data(), pkt.size());
                ++sent_;
                {
                    std::lock_guard<std::mutex> g(m_);
                    last_ = pkt;
                }
                next += milliseconds(20);
                std::this_thread::sleep_until(next);
            }
        });
    }
    void stop() {
        quit_ = true;
        if (thread_.joinable()) thread_.join();
    }
    uint64_t sent() const { return sent_; }
    std::vector<uint8_t> last_sent() {
        std::lock_guard<std::mutex> g(m_);
        return last_;
    }
    std::unique_ptr<RtpProbe> probe;
    std::unique_ptr<callctl::UdpSocket> rtcp;

private:
    std::unique_ptr<FarSrtp> sender_;
    std::thread thread_;
    std::atomic<bool> quit_{true};
    std::atomic<uint64_t> sent_{0};
    std::mutex m_;
    std::vector<uint8_t> last_;
    uint16_t seq_ = 100;  // one sequence across keys, as a real far end keeps it
    uint32_t ts_ = 5000;
};

// A call placed to the raw peer and answered with RTP/SAVP at the far
// media, the answer's crypto line chosen by the test.
struct SecureCall {
    SIPX_CALL call = 0;
    std::string invite, ack;
    callctl::Endpoint from;
    std::map<int, CryptoLine> offered;
    callctl::Endpoint media;  // the phone's RTP address
};
::testing::AssertionResult secure_call(Phone &ph, RawPeer &peer, int far_port, const std::string &answer_crypto,
                                       SecureCall *c) {
    SIPX_LINE line = ph.add_line("8001", peer.port());
    std::string to = "sip:00867551234567@127.0.0.1:" + std::to_string(peer.port());
    if (sipxCallCreate(ph.inst, line, &c->call) != SIPX_RESULT_SUCCESS ||
        sipxCallConnect(c->call, to.c_str(), 0, nullptr, 1, &kOptions, nullptr) != SIPX_RESULT_SUCCESS)
        return ::testing::AssertionFailure() << "no call";
    if (!peer.next("INVITE", 3000, &c->invite, &c->from)) return ::testing::AssertionFailure() << "no INVITE";
    c->offered = crypto_lines(c->invite);
    size_t m = c->invite.find("m=audio ");
    c->media = callctl::Endpoint{0x7f000001, uint16_t(std::atoi(c->invite.c_str() + m + 8))};
    peer.reply(c->invite, c->from, 200, "Contact: <sip:callee@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n",
               savp_sdp(far_port, answer_crypto));
    if (!peer.next("ACK", 2000, &c->ack)) return ::testing::AssertionFailure() << "no ACK";
    return ::testing::AssertionSuccess();
}

// A request of the callee's in the call's dialog.
std::string peer_request(RawPeer &peer, const SecureCall &c, const std::string &method, int cseq,
                         const std::string &body) {
    std::string contact = header_of(c.invite, "Contact"), p = std::to_string(peer.port());
    return method + " " + contact.substr(1, contact.find('>') - 1) + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + p +
           ";branch=z9hG4bKsrtp" + std::to_string(cseq) + "\r\nFrom: " + header_of(c.invite, "To") + ";tag=" +
           peer.tag + "\r\nTo: " + header_of(c.ack, "From") + "\r\nCall-ID: " + header_of(c.invite, "Call-ID") +
           "\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\nContact: <sip:callee@127.0.0.1:" + p +
           ">\r\nMax-Forwards: 70\r\nContent-Type: application/sdp\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The phone's packets at the far end, decrypted with `key` from the first
// one after `from_seq` on: how many there were, how many of them failed, and
// their audio (PCMU) and raw payloads.
struct Heard {
    size_t packets = 0, failed = 0, payload_size = 0;
    std::vector<int16_t> audio, raw;
};
Heard heard(const RtpProbe &probe, const std::string &suite, const std::vector<uint8_t> &key) {
    Heard h;
    FarSrtp rx(false, suite, key);
    for (const auto &p : probe.packets()) {
        std::vector<uint8_t> pkt = bytes_of(p);
        ++h.packets;
        h.payload_size = p.payload.size();
        if (!rx.unprotect(&pkt)) {
            ++h.failed;
            continue;
        }
        if (p.pt != 0) continue;
        for (size_t i = 12; i < pkt.size(); ++i) h.audio.push_back(callctl::codec::ulaw_to_linear(pkt[i]));
        for (size_t i = 0; i + 12 < pkt.size(); ++i) h.raw.push_back(callctl::codec::ulaw_to_linear(p.payload[i]));
    }
    return h;
}

}  // namespace

// Our offer has both suites with their own new keys; the answer picks one.
// On the wire the audio is ciphertext of the suite's tag length, which the
// far end decrypts to our tone; the far end's SRTP is played; a tampered,
// a replayed and a plain packet are dropped and counted; DTMF events and
// SRTCP go both ways protected; no key reaches the log.
TEST(SrtpCalls, OurOfferTheWireAndWhatIsDropped) {
    struct Row {
        int tag;
        const char *suite;
        size_t tag_length;
    } rows[] = {{1, k80, 10}, {2, k32, 4}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.suite);
        std::string in = unique("in.raw"), out = unique("out.raw");
        write_tone(in, 1000, 10);
        LogCapture log(SIPX_LOG_DEBUG);
        RawPeer peer;
        FarMedia far;
        ASSERT_NE(far.port(), 0);
        Phone ph;
        srtp_mode(ph, callctl::SrtpMode::Offer);
        ASSERT_EQ(sipxAudioSetInputDevice(ph.inst, ("file:" + in).c_str(), 0), SIPX_RESULT_SUCCESS);
        ASSERT_EQ(sipxAudioSetOutputDevice(ph.inst, ("file:" + out).c_str(), 0), SIPX_RESULT_SUCCESS);
        const std::vector<uint8_t> far_key = test_key(row.tag);
        SecureCall c;
        ASSERT_TRUE(secure_call(ph, peer, far.port(), crypto_attr(row.tag, row.suite, far_key), &c));
        ASSERT_TRUE(got(ph, SIPX_CALLSTATE_CONNECTED, c.call)) << ph.rec.dump();

        EXPECT_NE(c.invite.find(" RTP/SAVP 0 8 101\r\n"), std::string::npos) << c.invite;
        ASSERT_EQ(c.offered.size(), 2u) << c.invite;
        EXPECT_EQ(c.offered[1].suite, k80);
        EXPECT_EQ(c.offered[2].suite, k32);
        EXPECT_EQ(c.offered[1].key.size(), 30u);
        EXPECT_EQ(c.offered[2].key.size(), 30u);
        EXPECT_NE(c.offered[1].key, c.offered[2].key);
        const std::vector<uint8_t> our_key = c.offered[row.tag].key;

        // Our audio: ciphertext on the wire, our tone once decrypted.
        ASSERT_TRUE(wait_for([&] { return far.probe->count() >= 40; }, 3000));
        Heard h = heard(*far.probe, row.suite, our_key);
        EXPECT_EQ(h.failed, 0u);
        EXPECT_EQ(h.payload_size, 160 + row.tag_length);
        EXPECT_GE(windows_with(h.audio, 1000, 0.8), 3) << "our tone, decrypted";
        EXPECT_EQ(windows_with(h.raw, 1000, 0.1), 0) << "no tone in the clear";

        // Theirs: played.
        far.start(c.media, row.suite, far_key, 600);
        EXPECT_TRUE(wait_for([&] { return windows_with(samples_of(slurp(out)), 600, 0.8) >= 5; }, 5000));
        far.stop();
        EXPECT_TRUE(wait_for([&] { return info(ph, c.call).received_packets == far.sent(); }, 2000));
        Info before = info(ph, c.call);
        EXPECT_TRUE(before.srtp);
        EXPECT_EQ(before.srtp_auth_failed, 0u);
        EXPECT_GT(before.received_packets, 20u);

        // Dropped: a replay, a tampered packet, a plain one.
        std::vector<uint8_t> replay = far.last_sent();
        far.probe->send_raw(c.media, replay.data(), replay.size());
        FarSrtp forger(true, row.suite, far_key);
        size_t phase = 0;
        std::vector<uint8_t> tampered = forger.protect(pcmu_packet(40000, 1, 0xbad, 600, &phase));
        tampered[20] ^= 1;
        far.probe->send_raw(c.media, tampered.data(), tampered.size());
        std::vector<uint8_t> plain = pcmu_packet(40001, 161, 0xbad, 600, &phase);
        far.probe->send_raw(c.media, plain.data(), plain.size());
        EXPECT_TRUE(wait_for([&] { return info(ph, c.call).srtp_auth_failed == 2; }, 2000));
        Info after = info(ph, c.call);
        EXPECT_EQ(after.srtp_replayed, 1u);
        EXPECT_EQ(after.srtp_auth_failed, 2u);
        EXPECT_EQ(after.received_packets, before.received_packets) << "none of them was taken";
        EXPECT_FALSE(got(ph, SIPX_CALLSTATE_DISCONNECTED, c.call, 10)) << "not fatal";

        // DTMF: protected events of our telephone-event number.
        far.probe->clear();
        ASSERT_EQ(sipxCallStartTone(c.call, 7, 0, 1, 100), SIPX_RESULT_SUCCESS);
        EXPECT_TRUE(wait_for([&] {
            for (const auto &p : far.probe->packets()) if (p.pt == 101) return true;
            return false;
        }, 2000));
        ASSERT_EQ(sipxCallStopTone(c.call), SIPX_RESULT_SUCCESS);
        FarSrtp rx(false, row.suite, our_key);
        bool ended = false;
        int events = 0;
        EXPECT_TRUE(wait_for([&] {
            for (const auto &p : far.probe->packets()) {
                if (p.pt != 101) continue;
                std::vector<uint8_t> pkt = bytes_of(p);
                if (!rx.unprotect(&pkt)) continue;  // those seen once before are replays now
                ++events;
                EXPECT_EQ(pkt[12], 7);
                ended = ended || (pkt[13] & 0x80);
            }
            far.probe->clear();
            return ended;
        }, 3000));
        EXPECT_GE(events, 4);

        // SRTCP: our reports decrypt with our key (E flag set), theirs are taken.
        uint8_t buf[1500];
        callctl::Endpoint src;
        int n = 0;
        wait_for([&] {
            if (n <= 0) n = far.rtcp->recv_from(buf, sizeof buf, &src);
            return n > 0;
        }, 6000);
        ASSERT_GT(n, 0) << "no RTCP";
        std::vector<uint8_t> report(buf, buf + n);
        EXPECT_TRUE(report[report.size() - 14] & 0x80) << "SRTCP E flag";
        EXPECT_TRUE(rx.unprotect(&report, true));
        EXPECT_TRUE(report[1] == 200 || report[1] == 201);
        uint8_t rr[256];
        size_t rn = callctl::rtp::write_compound(0x5eed, nullptr, nullptr, "far", false, rr, sizeof rr);
        std::vector<uint8_t> srtcp = forger.protect(std::vector<uint8_t>(rr, rr + rn), true);
        callctl::Endpoint phone_rtcp{c.media.ip, uint16_t(c.media.port + 1)};
        far.rtcp->send_to(phone_rtcp, srtcp.data(), srtcp.size());
        EXPECT_TRUE(wait_for([&] { return info(ph, c.call).rtcp_received >= 1; }, 2000));
        far.rtcp->send_to(phone_rtcp, rr, rn);  // a plain report is refused
        EXPECT_TRUE(wait_for([&] { return info(ph, c.call).srtp_auth_failed == 3; }, 2000));

        SIPX_CALL hc = c.call;
        ASSERT_EQ(sipxCallDestroy(&hc), SIPX_RESULT_SUCCESS);
        std::string bye;
        ASSERT_TRUE(peer.next("BYE", 2000, &bye));
        peer.reply(bye, c.from, 200);
        // The log has the descriptions with their keys masked, and the
        // summary names the suite.
        std::string text = log.text();
        EXPECT_NE(text.find("inline:***"), std::string::npos);
        for (const auto &kv : c.offered) EXPECT_EQ(text.find(kv.second.inline_value), std::string::npos);
        EXPECT_EQ(text.find(b64(far_key)), std::string::npos);
        EXPECT_NE(text.find(std::string("SRTP ") + row.suite), std::string::npos);
        std::remove(in.c_str());
        std::remove(out.c_str());
    }
}

#endif  // _WIN32
