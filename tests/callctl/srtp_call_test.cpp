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
        ASSERT_TRUE(secure_call(ph, peer, savp_sdp(far.port(), crypto_attr(row.tag, row.suite, far_key)), &c));
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

// Keys change both ways in a call: our hold and unhold re-offers keep the
// key we send with (its session and packet index go on) with a new key for
// the other suite, and the peer's answers bring a new key of its own; the
// peer's own re-offer with the other suite gets a new key of ours under its
// tag. Each time the far end's audio under the new key is played and its
// old key is refused.
TEST(SrtpCalls, HoldAndNewKeysBothWays) {
    RawPeer peer;
    FarMedia far;
    ASSERT_NE(far.port(), 0);
    Phone ph;
    srtp_mode(ph, callctl::SrtpMode::Offer);
    const std::vector<uint8_t> k1 = test_key(11), k2 = test_key(12), k3 = test_key(13);
    const std::string contact = "Contact: <sip:callee@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n";
    SecureCall c;
    ASSERT_TRUE(secure_call(ph, peer, savp_sdp(far.port(), crypto_attr(1, k80, k1)), &c));
    ASSERT_TRUE(got(ph, SIPX_CALLSTATE_CONNECTED, c.call)) << ph.rec.dump();
    // The far end's audio under a key; true when it was all played.
    auto played = [&](const std::string &suite, const std::vector<uint8_t> &key) {
        uint64_t sent = far.sent(), got_before = info(ph, c.call).received_packets;
        far.start(c.media, suite, key, 600);
        wait_for([&] { return far.sent() >= sent + 25; }, 3000);
        far.stop();
        return wait_for([&] { return info(ph, c.call).received_packets - got_before == far.sent() - sent; }, 2000);
    };
    ASSERT_TRUE(played(k80, k1));

    // Hold and unhold; the callee answers both with k2.
    for (bool hold : {true, false}) {
        SCOPED_TRACE(hold ? "hold" : "unhold");
        ASSERT_EQ(hold ? sipxCallHold(c.call, 1) : sipxCallUnhold(c.call), SIPX_RESULT_SUCCESS);
        std::string offer;
        callctl::Endpoint from;
        ASSERT_TRUE(peer.next("INVITE", 2000, &offer, &from));
        EXPECT_NE(offer.find(" RTP/SAVP "), std::string::npos) << offer;
        auto lines = crypto_lines(offer);
        EXPECT_EQ(lines[1].key, c.offered[1].key) << "the key we send with goes on";
        EXPECT_EQ(lines[2].key.size(), 30u);
        EXPECT_NE(lines[2].key, c.offered[2].key) << "the other one is new";
        peer.reply(offer, from, 200, contact,
                   savp_sdp(far.port(), crypto_attr(1, k80, k2) + (hold ? "a=recvonly\r\n" : "")));
        ASSERT_TRUE(peer.next("ACK", 2000));
        if (hold) {
            ASSERT_TRUE(got(ph, SIPX_CALLSTATE_HELD, c.call));
        }
    }
    ASSERT_TRUE(played(k80, k2));
    Info i = info(ph, c.call);
    EXPECT_EQ(i.srtp_auth_failed, 0u);
    // Our audio after the hold: the same key, the index going on.
    EXPECT_TRUE(wait_for([&] { return far.probe->count() >= 60; }, 3000));
    Heard h = heard(*far.probe, k80, c.offered[1].key);
    EXPECT_EQ(h.failed, 0u);
    EXPECT_GE(h.packets, 60u);

    // The callee's re-offer: _32 under tag 4 with k3.
    peer.send(peer_request(peer, c, "INVITE", 20, savp_sdp(far.port(), crypto_attr(4, k32, k3))), c.from);
    std::string answer;
    ASSERT_TRUE(peer.next("SIP/2.0 200", 2000, &answer));
    peer.send(peer_request(peer, c, "ACK", 20, ""), c.from);
    auto ours = crypto_lines(answer);
    ASSERT_EQ(ours.size(), 1u) << answer;
    ASSERT_EQ(ours.count(4), 1u) << answer;
    EXPECT_EQ(ours[4].suite, k32);
    EXPECT_EQ(ours[4].key.size(), 30u);
    EXPECT_NE(ours[4].key, c.offered[1].key);
    EXPECT_NE(ours[4].key, c.offered[2].key);
    far.probe->clear();
    ASSERT_TRUE(played(k32, k3));
    EXPECT_TRUE(wait_for([&] { return heard(*far.probe, k32, ours[4].key, 164).packets >= 20; }, 3000));
    h = heard(*far.probe, k32, ours[4].key, 164);
    EXPECT_EQ(h.failed, 0u) << "our audio under our new key";
    // The old key is refused now.
    FarSrtp old(true, k80, k2);
    size_t phase = 0;
    std::vector<uint8_t> stale = old.protect(pcmu_packet(50000, 1, 0x5eed, 600, &phase));
    far.probe->send_raw(c.media, stale.data(), stale.size());
    EXPECT_TRUE(wait_for([&] { return info(ph, c.call).srtp_auth_failed == 1; }, 2000));
    EXPECT_FALSE(got(ph, SIPX_CALLSTATE_DISCONNECTED, c.call, 10));
    SIPX_CALL hc = c.call;
    ASSERT_EQ(sipxCallDestroy(&hc), SIPX_RESULT_SUCCESS);
    std::string bye;
    ASSERT_TRUE(peer.next("BYE", 2000, &bye));
    peer.reply(bye, c.from, 200);
}

// A refused re-offer of the peer's leaves our keys as they were: the
// session refresh that follows offers our last description again, and its
// answer (the same keys) is taken; the call goes on.
TEST(SrtpCalls, RefreshAfterARefusedReOfferKeepsTheCall) {
    RawPeer peer;
    RtpProbe media;
    Phone ph;
    srtp_mode(ph, callctl::SrtpMode::Offer);
    SIPX_TIMER_SETTINGS t{};
    t.cbSize = sizeof t;
    t.sessionExpires = 2;
    t.minSessionExpires = 1;
    ASSERT_EQ(sipxConfigSetTimers(ph.inst, &t), SIPX_RESULT_SUCCESS);
    const std::string answer = savp_sdp(media.port(), crypto_attr(1, k80, test_key(21)));
    const std::string timer = "Session-Expires: 2;refresher=uac\r\nRequire: timer\r\n";
    SecureCall c;
    ASSERT_TRUE(secure_call(ph, peer, answer, &c, timer));
    ASSERT_TRUE(got(ph, SIPX_CALLSTATE_CONNECTED, c.call)) << ph.rec.dump();
    std::string bad = savp_sdp(media.port(), "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:short\r\n");
    peer.send(peer_request(peer, c, "INVITE", 20, bad), c.from);
    ASSERT_TRUE(peer.next("SIP/2.0 488", 2000));
    std::string refresh;
    callctl::Endpoint from;
    ASSERT_TRUE(peer.next("INVITE", 3000, &refresh, &from));
    EXPECT_EQ(crypto_lines(refresh)[1].key, c.offered[1].key);
    peer.reply(refresh, from, 200, timer, answer);
    ASSERT_TRUE(peer.next("ACK", 2000));
    EXPECT_FALSE(got(ph, SIPX_CALLSTATE_DISCONNECTED, c.call, 300)) << ph.rec.dump();
    SIPX_CALL hc = c.call;
    ASSERT_EQ(sipxCallDestroy(&hc), SIPX_RESULT_SUCCESS);
}

// We offered SRTP: an answer without keys we can use for one of our tags
// ends the call (ACK, BYE, DISCONNECTED 488 without CONNECTED before it),
// and no audio is sent meanwhile.
TEST(SrtpCalls, AnswersWithoutUsableKeysEndTheCall) {
    std::vector<uint8_t> short_key = test_key(3);
    short_key.resize(20);
    struct Row {
        const char *what;
        std::string lines;  // the answer's a=crypto lines (PLAIN: an RTP/AVP answer)
    } rows[] = {
        {"plain RTP/AVP", "PLAIN"},
        {"RTP/SAVP without a=crypto", ""},
        {"a tag we did not offer", crypto_attr(3, k80, test_key(3))},
        {"our tag 1 with the other suite", crypto_attr(1, k32, test_key(3))},
        {"a short key", crypto_attr(1, k80, short_key)},
        {"an MKI", crypto_attr(2, k32, test_key(3), "|2^31|1:4")},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        RawPeer peer;
        RtpProbe media;
        Phone ph;
        srtp_mode(ph, callctl::SrtpMode::Offer);
        std::string answer = row.lines == "PLAIN" ? audio_sdp(media.port()) : savp_sdp(media.port(), row.lines);
        SecureCall c;
        ASSERT_TRUE(secure_call(ph, peer, answer, &c));
        Event e = ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, 3000, c.call);
        EXPECT_EQ(e.cause, uint32_t(SIPX_CAUSE_REJECTED)) << ph.rec.dump();
        EXPECT_EQ(e.sip_status, 488u);
        EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_CONNECTED, c.call), 0)
            << "never connected";
        std::string bye;
        ASSERT_TRUE(peer.next("BYE", 2000, &bye));
        peer.reply(bye, c.from, 200);
        EXPECT_EQ(media.count(), 0u) << "no audio went out";
        SIPX_CALL hc = c.call;
        EXPECT_EQ(sipxCallDestroy(&hc), SIPX_RESULT_SUCCESS);
    }
}

// Two phones offering SRTP through a callee that hands each the other's
// key hear each other; the plain-call features on top (recording both
// directions) work the same.
TEST(SrtpCalls, TwoPhonesThroughABridge) {
    std::string a_in = unique("a-in.raw"), b_in = unique("b-in.raw"), a_out = unique("a-out.raw"),
                b_out = unique("b-out.raw"), rec = unique("a-rec.wav");
    write_tone(a_in, 1000, 8);
    write_tone(b_in, 600, 8);
    SipPeer peer;
    peer.bridge();
    Phone a, b;
    srtp_mode(a, callctl::SrtpMode::Offer);
    srtp_mode(b, callctl::SrtpMode::Offer);
    ASSERT_EQ(sipxAudioSetInputDevice(a.inst, ("file:" + a_in).c_str(), 0), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxAudioSetOutputDevice(a.inst, ("file:" + a_out).c_str(), 0), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxAudioSetInputDevice(b.inst, ("file:" + b_in).c_str(), 0), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxAudioSetOutputDevice(b.inst, ("file:" + b_out).c_str(), 0), SIPX_RESULT_SUCCESS);
    SIPX_CALL ca = 0, cb = 0;
    for (auto *p : {&a, &b}) {
        SIPX_CALL &call = p == &a ? ca : cb;
        std::string to = "sip:00867551234567@127.0.0.1:" + std::to_string(peer.port());
        ASSERT_EQ(sipxCallCreate(p->inst, p->add_line(p == &a ? "8001" : "8002", peer.port()), &call),
                  SIPX_RESULT_SUCCESS);
        ASSERT_EQ(sipxCallConnect(call, to.c_str(), 0, nullptr, 1, &kOptions, nullptr), SIPX_RESULT_SUCCESS);
    }
    ASSERT_TRUE(got(a, SIPX_CALLSTATE_CONNECTED, ca)) << a.rec.dump();
    ASSERT_TRUE(got(b, SIPX_CALLSTATE_CONNECTED, cb)) << b.rec.dump();
    EXPECT_NE(peer.last_offer().find(" RTP/SAVP "), std::string::npos);
    ASSERT_EQ(sipxCallAudioRecordFileStart(ca, rec.c_str()), SIPX_RESULT_SUCCESS);
    auto both_in_recording = [&] {
        std::vector<int16_t> r = samples_of(slurp(rec), 44);
        int n = 0;
        for (size_t at = 0; at + 800 <= r.size(); at += 800)
            if (share(&r[at], 800, 1000) > 0.3 && share(&r[at], 800, 600) > 0.3) ++n;
        return n;
    };
    EXPECT_TRUE(wait_for([&] {
        return windows_with(samples_of(slurp(b_out)), 1000, 0.8) >= 10 &&
               windows_with(samples_of(slurp(a_out)), 600, 0.8) >= 10 && both_in_recording() >= 5;
    }, 8000));
    for (auto *p : {&a, &b}) {
        Info i = info(*p, p == &a ? ca : cb);
        EXPECT_TRUE(i.srtp);
        EXPECT_EQ(i.srtp_auth_failed, 0u);
        EXPECT_GT(i.received_packets, 50u);
    }
    for (SIPX_CALL h : {ca, cb}) EXPECT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
    for (const auto &f : {a_in, b_in, a_out, b_out, rec}) std::remove(f.c_str());
}

#endif  // _WIN32
