// Media building blocks without a network peer: G.711 against the
// standard's tables, the codec table and offer/answer, RTP/RTCP packets and
// receiver statistics, the jitter buffer driven by event scripts, DTMF
// tones and the WAVE writer (normal close and an interrupted process).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "base/log.h"
#include "codec/codec.h"
#include "device/device.h"
#include "jb/jitter.h"
#include "media/media.h"
#include "media/mix.h"
#include "media/quality.h"
#include "media/tone.h"
#include "media/wave.h"
#include "rtp/rtp.h"

using namespace callctl;

namespace {

// ---- G.711 ------------------------------------------------------------------

// Decoder outputs of G.711 Table 2 (µ-law, 14-bit magnitudes): segment s
// starts at kMuStart[s] and steps by 2^(s+1).
const int kMuStart[8] = {0, 33, 99, 231, 495, 1023, 2079, 4191};
// Table 1 (A-law, 13-bit magnitudes): segment start and step.
const int kAStart[8] = {1, 33, 66, 132, 264, 528, 1056, 2112};
const int kAStep[8] = {2, 2, 4, 8, 16, 32, 64, 128};

int mu_table(int code) {
    int inv = ~code & 0xFF;
    int seg = (inv >> 4) & 7, q = inv & 15;
    int mag = (kMuStart[seg] + q * (2 << seg)) * 4;
    return (inv & 0x80) ? -mag : mag;
}

int a_table(int code) {
    int x = code ^ 0x55;
    int seg = (x >> 4) & 7, q = x & 15;
    int mag = (kAStart[seg] + q * kAStep[seg]) * 8;
    return (x & 0x80) ? mag : -mag;
}

TEST(G711, EveryCodeDecodesToTheStandardTableValue) {
    for (int c = 0; c < 256; ++c) {
        EXPECT_EQ(codec::ulaw_to_linear(uint8_t(c)), mu_table(c)) << "mu-law code " << c;
        EXPECT_EQ(codec::alaw_to_linear(uint8_t(c)), a_table(c)) << "A-law code " << c;
    }
    // Rows quoted from the tables as a cross-check of the formulas above.
    struct Row {
        int code, mu, a;
    } rows[] = {{0x00, -32124, -5504}, {0x80, 32124, 5504}, {0xFF, 0, 848}, {0x7F, 0, -848}};
    for (const auto &r : rows) {
        EXPECT_EQ(codec::ulaw_to_linear(uint8_t(r.code)), r.mu) << r.code;
        EXPECT_EQ(codec::alaw_to_linear(uint8_t(r.code)), r.a) << r.code;
    }
    // A-law's smallest and largest levels.
    EXPECT_EQ(codec::alaw_to_linear(0xD5), 8);
    EXPECT_EQ(codec::alaw_to_linear(0x55), -8);
    EXPECT_EQ(codec::alaw_to_linear(0xAA), 32256);
    EXPECT_EQ(codec::alaw_to_linear(0x2A), -32256);
}

TEST(G711, EveryCodeSurvivesEncodeAfterDecode) {
    for (int c = 0; c < 256; ++c) {
        // 0x7F is µ-law's negative zero; it decodes to 0, which codes as 0xFF.
        int want = c == 0x7F ? 0xFF : c;
        EXPECT_EQ(codec::linear_to_ulaw(codec::ulaw_to_linear(uint8_t(c))), want) << "mu-law " << c;
        EXPECT_EQ(codec::linear_to_alaw(codec::alaw_to_linear(uint8_t(c))), c) << "A-law " << c;
    }
}

// Every 16-bit input is coded to a level within half a step of it (plus
// the bits the laws drop), levels never go down as the input goes up, and
// inputs beyond the largest level clip to it.
TEST(G711, EncodersQuantiseToTheNearestLevel) {
    int prev_mu = -40000, prev_a = -40000;
    for (int x = -32768; x <= 32767; ++x) {
        int mu = codec::ulaw_to_linear(codec::linear_to_ulaw(int16_t(x)));
        int a = codec::alaw_to_linear(codec::linear_to_alaw(int16_t(x)));
        ASSERT_GE(mu, prev_mu) << x;
        ASSERT_GE(a, prev_a) << x;
        prev_mu = mu;
        prev_a = a;
        int ax = std::abs(x);
        if (ax <= 32124) {
            int seg = 0;
            while (seg < 7 && ax / 4 + 33 >= (64 << seg)) ++seg;
            ASSERT_LE(std::abs(mu - x), (2 << seg) * 2 + 4) << "mu-law " << x;
        } else {
            ASSERT_EQ(std::abs(mu), 32124) << x;
        }
        if (ax <= 32256) {
            int m = ax / 8, seg = 0;
            while (seg < 7 && m >= (32 << seg)) ++seg;
            ASSERT_LE(std::abs(a - x), kAStep[seg] * 4 + 8) << "A-law " << x;
        } else {
            ASSERT_EQ(std::abs(a), 32256) << x;
        }
    }
    // The frame coders (tables) code and decode everything as the sample coders do.
    std::vector<int16_t> all(65536);
    for (size_t i = 0; i < all.size(); ++i) all[i] = int16_t(int(i) - 32768);
    std::vector<uint8_t> mu(all.size()), a(all.size());
    codec::ulaw_encode(all.data(), mu.data(), all.size());
    codec::alaw_encode(all.data(), a.data(), all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        ASSERT_EQ(mu[i], codec::linear_to_ulaw(all[i])) << all[i];
        ASSERT_EQ(a[i], codec::linear_to_alaw(all[i])) << all[i];
    }
    uint8_t codes[256];
    int16_t mu_pcm[256], a_pcm[256];
    for (int c = 0; c < 256; ++c) codes[c] = uint8_t(c);
    codec::ulaw_decode(codes, mu_pcm, 256);
    codec::alaw_decode(codes, a_pcm, 256);
    for (int c = 0; c < 256; ++c) {
        ASSERT_EQ(mu_pcm[c], mu_table(c)) << c;
        ASSERT_EQ(a_pcm[c], a_table(c)) << c;
    }
}

TEST(Codecs, TableOfferOrderAndCodecObjects) {
    struct Row {
        const char *selected;
        std::vector<std::string> want;
    };
    bool g729 = codec::find("G729") != nullptr;
    std::vector<Row> rows = {
        {"PCMU", {"PCMU", "PCMA"}},
        {"pcma", {"PCMA", "PCMU"}},
        {"OPUS", {"PCMU", "PCMA"}},
        {"G729", g729 ? std::vector<std::string>{"G729", "PCMU", "PCMA"} : std::vector<std::string>{"PCMU", "PCMA"}},
    };
    for (const auto &r : rows) {
        std::vector<std::string> got;
        for (auto *c : codec::offer_order(r.selected)) got.push_back(c->name);
        EXPECT_EQ(got, r.want) << r.selected;
    }
    // The offer ends with telephone-event 101 and its event range.
    auto offer = media::offer_payloads("PCMU");
    ASSERT_EQ(offer.size(), 3u);
    EXPECT_EQ(offer[0].pt, 0);
    EXPECT_EQ(offer[1].pt, 8);
    EXPECT_EQ(offer[2].pt, 101);
    EXPECT_EQ(offer[2].name, "telephone-event");
    EXPECT_EQ(offer[2].fmtp, "0-15");
    if (g729) {
        auto o = media::offer_payloads("G729");
        EXPECT_EQ(o[0].pt, 18);
        EXPECT_EQ(o[0].fmtp, "annexb=yes");
    }
    // A frame through each codec comes back close to what went in.
    for (const char *name : {"PCMU", "PCMA"}) {
        auto c = codec::make(name);
        ASSERT_TRUE(c) << name;
        int16_t in[160], out[480];
        for (int i = 0; i < 160; ++i) in[i] = int16_t(8000 * std::sin(i * 0.3));
        uint8_t payload[codec::kMaxPayload];
        ASSERT_EQ(c->encode(in, payload), 160u);
        ASSERT_EQ(c->decode(payload, 160, out, 480), 160);
        const bool mu = std::string(name) == "PCMU";
        for (int i = 0; i < 160; ++i) {
            EXPECT_NEAR(out[i], in[i], 260) << name << i;
            // Sample for sample what the standard's tables give.
            EXPECT_EQ(payload[i], mu ? codec::linear_to_ulaw(in[i]) : codec::linear_to_alaw(in[i])) << name << i;
            EXPECT_EQ(out[i], mu ? codec::ulaw_to_linear(payload[i]) : codec::alaw_to_linear(payload[i])) << name << i;
        }
        EXPECT_EQ(c->decode(payload, 160, out, 100), -1);  // does not fit
    }
    EXPECT_EQ(codec::make("GSM"), nullptr);
}

// ---- offer/answer -------------------------------------------------------------------

std::string sdp_text(const std::string &media_lines, const std::string &conn = "127.0.0.1") {
    return "v=0\r\no=- 1 1 IN IP4 " + conn + "\r\ns=-\r\nc=IN IP4 " + conn + "\r\nt=0 0\r\n" + media_lines;
}

TEST(OfferAnswer, PeerDescriptionsGiveStreamSettings) {
    struct Row {
        const char *what;
        std::string sdp;
        int send_pt;
        const char *codec;
        int te_pt;
        bool send, recv;
    };
    std::vector<Row> rows = {
        {"answer PCMA first, events as 97",
         sdp_text("m=audio 4000 RTP/AVP 8 0 97\r\na=rtpmap:97 telephone-event/8000\r\n"), 8, "PCMA", 97, true, true},
        {"static types without rtpmap", sdp_text("m=audio 4000 RTP/AVP 0\r\n"), 0, "PCMU", -1, true, true},
        {"PCMU under a dynamic number", sdp_text("m=audio 4000 RTP/AVP 96\r\na=rtpmap:96 PCMU/8000\r\n"), 96, "PCMU", -1,
         true, true},
        {"unknown codec skipped", sdp_text("m=audio 4000 RTP/AVP 3 8\r\n"), 8, "PCMA", -1, true, true},
        {"peer sendonly: we only listen", sdp_text("m=audio 4000 RTP/AVP 0\r\na=sendonly\r\n"), 0, "PCMU", -1, false, true},
        {"peer recvonly: we only talk", sdp_text("m=audio 4000 RTP/AVP 0\r\na=recvonly\r\n"), 0, "PCMU", -1, true, false},
        {"session-level inactive", sdp_text("a=inactive\r\nm=audio 4000 RTP/AVP 0\r\n"), 0, "PCMU", -1, false, false},
        {"old-style hold c=0.0.0.0", sdp_text("m=audio 4000 RTP/AVP 0\r\n", "0.0.0.0"), 0, "PCMU", -1, false, false},
        {"stream refused, port 0", sdp_text("m=audio 0 RTP/AVP 0\r\n"), 0, "PCMU", -1, false, false},
        {"nothing we have", sdp_text("m=audio 4000 RTP/AVP 3 9\r\n"), -1, "", -1, false, false},
        // Numbers outside 0..127 are no payload types: never cut to 7 bits (128 -> 0).
        {"payload types above 127 ignored",
         sdp_text("m=audio 4000 RTP/AVP 128 256 -8 0\r\na=rtpmap:128 PCMA/8000\r\n"), 0, "PCMU", -1, true, true},
        {"telephone-event outside 0..127 ignored",
         sdp_text("m=audio 4000 RTP/AVP 0 300\r\na=rtpmap:300 telephone-event/8000\r\n"), 0, "PCMU", -1, true, true},
        {"telephone-event mapped but not listed", sdp_text("m=audio 4000 RTP/AVP 0\r\na=rtpmap:101 telephone-event/8000\r\n"),
         0, "PCMU", -1, true, true},
        {"formats past the sixteenth ignored",
         sdp_text("m=audio 4000 RTP/AVP 3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 0\r\n"), -1, "", -1, false, false},
        {"c= with a host name is not looked up here", sdp_text("m=audio 4000 RTP/AVP 0\r\n", "peer.invalid"), 0, "PCMU",
         -1, false, false},
        {"port 65535", sdp_text("m=audio 65535 RTP/AVP 0\r\n"), 0, "PCMU", -1, true, true},
    };
    for (const auto &r : rows) {
        sdp::Remote rs;
        ASSERT_TRUE(sdp::parse(r.sdp, &rs)) << r.what;
        media::StreamParams p = media::params_from(rs);
        EXPECT_EQ(p.audio.empty() ? -1 : p.audio.front().pt, r.send_pt) << r.what;
        EXPECT_EQ(p.audio.empty() ? std::string() : p.audio.front().codec, r.codec) << r.what;
        EXPECT_EQ(p.te_pt, r.te_pt) << r.what;
        EXPECT_EQ(p.send, r.send) << r.what;
        EXPECT_EQ(p.recv, r.recv) << r.what;
        // RTCP goes to the next port, and to none when there is none.
        EXPECT_EQ(p.rtcp.port, rs.port && rs.port < 65535 ? rs.port + 1 : 0) << r.what;
    }
}

TEST(OfferAnswer, AnswersKeepTheOffersNumbersAndMirrorDirections) {
    sdp::Remote offer;
    ASSERT_TRUE(sdp::parse(sdp_text("m=audio 4000 RTP/AVP 3 8 0 96\r\na=rtpmap:96 telephone-event/8000\r\n"), &offer));
    auto a = media::answer_payloads(offer);
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0].pt, 8);
    EXPECT_EQ(a[1].pt, 0);
    EXPECT_EQ(a[2].pt, 96);
    EXPECT_EQ(a[2].name, "telephone-event");
    using D = sdp::Direction;
    struct Row {
        D offered;
        bool held;
        D want;
    } rows[] = {{D::SendRecv, false, D::SendRecv}, {D::SendRecv, true, D::SendOnly}, {D::SendOnly, false, D::RecvOnly},
                {D::SendOnly, true, D::Inactive},  {D::RecvOnly, false, D::SendOnly}, {D::Inactive, false, D::Inactive}};
    for (const auto &r : rows) EXPECT_EQ(media::answer_direction(r.offered, r.held), r.want);
}

// G.729 silence suppression follows the peer's annexb: its fmtp reaches the
// stream settings, our answer mirrors it, and the encoder it makes sends SID
// frames during silence only when the peer did not say annexb=no.
TEST(OfferAnswer, G729AnnexbDecidesSilenceSuppression) {
    if (!codec::find("G729")) GTEST_SKIP() << "built without callctl/dsp";
    struct Row {
        const char *what;
        std::string fmtp_line;
        const char *answer_fmtp;
        bool suppresses;
    } rows[] = {
        {"no fmtp: Annex B by default", "", "annexb=yes", true},
        {"annexb=yes", "a=fmtp:18 annexb=yes\r\n", "annexb=yes", true},
        {"annexb=no", "a=fmtp:18 annexb=no\r\n", "annexb=no", false},
        {"ANNEXB=No among others", "a=fmtp:18 foo=1; ANNEXB=No\r\n", "annexb=no", false},
    };
    for (const auto &r : rows) {
        sdp::Remote rs;
        ASSERT_TRUE(sdp::parse(sdp_text("m=audio 4000 RTP/AVP 18 0\r\n" + r.fmtp_line), &rs)) << r.what;
        media::StreamParams p = media::params_from(rs);
        ASSERT_FALSE(p.audio.empty()) << r.what;
        EXPECT_EQ(p.audio.front().codec, "G729") << r.what;
        auto a = media::answer_payloads(rs);
        ASSERT_FALSE(a.empty()) << r.what;
        EXPECT_EQ(a[0].fmtp, r.answer_fmtp) << r.what;
        auto c = codec::make(p.audio.front().codec, p.send_fmtp);
        ASSERT_TRUE(c) << r.what;
        // One second of tone, then two of digital silence.
        int16_t in[160] = {};
        int speech_bytes = 0, silent_bytes = 0, sids = 0, marks = 0;
        for (int f = 0; f < 150; ++f) {
            for (int i = 0; i < 160; ++i)
                in[i] = f < 50 ? int16_t(6000 * std::sin(2 * 3.141592653589793 * 440 * (f * 160 + i) / 8000)) : 0;
            codec::Packet pk[2];
            int n = c->encode_packets(in, pk);
            ASSERT_GE(n, 0);
            for (int k = 0; k < n; ++k) {
                (f < 50 ? speech_bytes : silent_bytes) += int(pk[k].size);
                if (pk[k].silence) ++sids;
                if (pk[k].talkspurt) ++marks;
            }
        }
        EXPECT_EQ(speech_bytes, 50 * 20) << r.what;
        if (r.suppresses) {
            EXPECT_GT(sids, 0) << r.what;
            EXPECT_LT(silent_bytes, 100 * 20 / 10) << r.what;
            EXPECT_EQ(marks, 1) << r.what << ": only the first talkspurt";
        } else {
            EXPECT_EQ(sids, 0) << r.what;
            EXPECT_EQ(silent_bytes, 100 * 20) << r.what;
        }
    }
}

// ---- RTP / RTCP -----------------------------------------------------------------------

TEST(Rtp, PacketsRoundTripAndOddLayoutsParse) {
    rtp::Header h;
    h.marker = true;
    h.pt = 97;
    h.seq = 0xFFFE;
    h.ts = 0xDEADBEEF;
    h.ssrc = 0x01020304;
    uint8_t pl[5] = {1, 2, 3, 4, 5}, pkt[64];
    size_t n = rtp::write(h, pl, 5, pkt, sizeof pkt);
    ASSERT_EQ(n, 17u);
    rtp::Header g;
    const uint8_t *p;
    size_t pn;
    ASSERT_TRUE(rtp::parse(pkt, n, &g, &p, &pn));
    EXPECT_TRUE(g.marker);
    EXPECT_EQ(g.pt, 97);
    EXPECT_EQ(g.seq, 0xFFFE);
    EXPECT_EQ(g.ts, 0xDEADBEEFu);
    EXPECT_EQ(g.ssrc, 0x01020304u);
    ASSERT_EQ(pn, 5u);
    EXPECT_EQ(std::memcmp(p, pl, 5), 0);
    // One CSRC, a one-word extension and two bytes of padding.
    uint8_t odd[] = {0xB1, 0x00, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, /*csrc*/ 9, 9, 9, 9,
                     /*ext*/ 0xBE, 0xDE, 0, 1, 7, 7, 7, 7, /*payload*/ 0xAA, 0xBB, /*pad*/ 0, 2};
    ASSERT_TRUE(rtp::parse(odd, sizeof odd, &g, &p, &pn));
    ASSERT_EQ(pn, 2u);
    EXPECT_EQ(p[0], 0xAA);
    EXPECT_EQ(p[1], 0xBB);
    // Refused: short, wrong version, padding longer than the packet, RTCP.
    uint8_t bad_pad[] = {0xA0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 1, 40};
    uint8_t v1[] = {0x40, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3};
    uint8_t rr[] = {0x80, 201, 0, 1, 0, 0, 0, 1};
    EXPECT_FALSE(rtp::parse(pkt, 11, &g, &p, &pn));
    EXPECT_FALSE(rtp::parse(v1, sizeof v1, &g, &p, &pn));
    EXPECT_FALSE(rtp::parse(bad_pad, sizeof bad_pad, &g, &p, &pn));
    EXPECT_FALSE(rtp::parse(rr, sizeof rr, &g, &p, &pn));
    EXPECT_TRUE(rtp::is_rtcp(rr, sizeof rr));
    // Telephone-event payload.
    rtp::ToneEvent e{11, true, 10, 1280}, f;
    uint8_t ev[4];
    rtp::write_event(e, ev);
    EXPECT_EQ(ev[0], 11);
    EXPECT_EQ(ev[1], 0x8A);
    ASSERT_TRUE(rtp::parse_event(ev, 4, &f));
    EXPECT_EQ(f.duration, 1280);
    EXPECT_TRUE(f.end);
}

// Sequences of arriving sequence numbers -> receiver report numbers.
TEST(Rtp, ReceiverStatisticsOverLossReorderWrapAndJumps) {
    struct Row {
        const char *what;
        std::vector<int> seqs;
        uint32_t expected;
        int32_t lost;
        uint32_t ext_max;
        uint8_t fraction;
    };
    std::vector<Row> rows = {
        {"in order", {100, 101, 102, 103, 104}, 5, 0, 104, 0},
        {"two lost of ten", {1, 2, 4, 5, 6, 8, 9, 10}, 10, 2, 10, 51},
        {"reordered", {1, 2, 4, 3, 5}, 5, 0, 5, 0},
        {"duplicate counts as negative loss", {1, 2, 2, 3}, 3, -1, 3, 0},
        {"wrap", {65534, 65535, 0, 1}, 4, 0, 65537, 0},
        {"wrap with loss", {65533, 65535, 1, 2}, 6, 2, 65538, 85},
        {"late packet from before the wrap", {65535, 0, 1, 65534}, 3, -1, 65537, 0},
        {"unconfirmed jump ignored", {1, 2, 3, 30000, 4}, 4, 0, 4, 0},
        // RFC 3550 A.1: the confirming packet starts the count afresh.
        {"confirmed jump restarts the count", {1, 2, 3, 30000, 30001, 30002}, 2, 0, 30002, 0},
    };
    for (const auto &r : rows) {
        rtp::ReceiverStats st;
        for (int s : r.seqs) st.update(uint16_t(s), uint32_t(s * 160), uint32_t(s * 160 + 1000));
        EXPECT_EQ(st.expected(), r.expected) << r.what;
        EXPECT_EQ(st.lost(), r.lost) << r.what;
        EXPECT_EQ(st.extended_max() & 0xFFFFFF, r.ext_max & 0xFFFFFF) << r.what;
        EXPECT_EQ(st.take_fraction_lost(), r.fraction) << r.what;
    }
    // Interarrival jitter (A.8): steady arrivals give 0; arrivals alternating
    // 80 samples early and on time converge to 80.
    rtp::ReceiverStats steady, shaky;
    for (int i = 0; i < 400; ++i) {
        steady.update(uint16_t(i), uint32_t(i * 160), uint32_t(i * 160 + 500));
        shaky.update(uint16_t(i), uint32_t(i * 160), uint32_t(i * 160 + 500 + (i % 2) * 80));
    }
    EXPECT_EQ(steady.jitter(), 0u);
    EXPECT_NEAR(double(shaky.jitter()), 80.0, 2.0);
    // Hostile timestamps (jumping by half the range and wrapping) keep the
    // arithmetic defined (the sanitizer build checks) and the estimate bounded.
    rtp::ReceiverStats hostile;
    const uint32_t ts[] = {0u, 0x80000000u, 0x7FFFFFFFu, 0xFFFFFFFFu, 1u, 0x80000001u, 0u};
    for (int i = 0; i < 7; ++i) hostile.update(uint16_t(i), ts[i], uint32_t(i * 160));
    EXPECT_LE(hostile.jitter(), 0xFFFFFFu) << "a broken clock does not wrap the estimate";
}

TEST(Rtcp, CompoundReportsRoundTripAndBadOnesAreRefused) {
    rtp::SenderInfo si{0x0102030405060708ull, 160000, 500, 80000};
    rtp::ReportBlock rb;
    rb.ssrc = 0xCAFE;
    rb.fraction = 51;
    rb.lost = -3;
    rb.ext_max = 70000;
    rb.jitter = 33;
    rb.lsr = 0x03040506;
    rb.dlsr = 65536;
    uint8_t buf[256];
    size_t n = rtp::write_compound(0xBEEF, &si, &rb, "callctl-test", true, buf, sizeof buf);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(n % 4, 0u);
    rtp::Rtcp r;
    ASSERT_TRUE(rtp::parse_rtcp(buf, n, &r));
    EXPECT_EQ(r.ssrc, 0xBEEFu);
    ASSERT_TRUE(r.has_sr);
    EXPECT_EQ(r.sr.ntp, si.ntp);
    EXPECT_EQ(r.sr.packets, 500u);
    EXPECT_EQ(r.sr.octets, 80000u);
    ASSERT_EQ(r.blocks.size(), 1u);
    EXPECT_EQ(r.blocks[0].ssrc, 0xCAFEu);
    EXPECT_EQ(r.blocks[0].fraction, 51);
    EXPECT_EQ(r.blocks[0].lost, -3);
    EXPECT_EQ(r.blocks[0].ext_max, 70000u);
    EXPECT_EQ(r.blocks[0].jitter, 33u);
    EXPECT_EQ(r.blocks[0].lsr, 0x03040506u);
    EXPECT_TRUE(r.bye);
    // A receiver report without blocks.
    n = rtp::write_compound(7, nullptr, nullptr, "x", false, buf, sizeof buf);
    ASSERT_TRUE(rtp::parse_rtcp(buf, n, &r));
    EXPECT_FALSE(r.has_sr);
    EXPECT_TRUE(r.blocks.empty());
    EXPECT_FALSE(r.bye);
    // Truncated, length beyond the datagram, not starting with a report.
    EXPECT_FALSE(rtp::parse_rtcp(buf, n - 4, &r));
    uint8_t too_long[] = {0x80, 201, 0, 9, 0, 0, 0, 1};
    EXPECT_FALSE(rtp::parse_rtcp(too_long, sizeof too_long, &r));
    uint8_t sdes_first[] = {0x81, 202, 0, 1, 0, 0, 0, 1};
    EXPECT_FALSE(rtp::parse_rtcp(sdes_first, sizeof sdes_first, &r));
    EXPECT_EQ(rtp::write_compound(7, &si, &rb, "x", true, buf, 40), 0u);  // no room
}

// ---- jitter buffer scripts ---------------------------------------------------------------
//
// A script is one token per 20 ms tick: the packets arriving in that tick
// ("." none, "3" packet 3, "3,4" two), then one get() at the end of the
// tick. A packet n has timestamp (n-1)*160 from a base and samples of value
// n*10, so the frames played tell which packet they came from. Prefixes:
// "s" a packet from a new SSRC (whose timestamps start elsewhere), "j" a
// packet whose timestamp jumped ten seconds ahead.

struct ScriptResult {
    std::string played;  // packet numbers of the frames played, "~" a concealed frame
    jb::JitterBuffer::Stats stats;
    int delay_ms = 0;
    int target_ms = 0;
};

ScriptResult run_script(const std::string &script, uint16_t seq_base = 1000, uint32_t ts_base = 5000) {
    jb::JitterBuffer b;
    ScriptResult r;
    std::istringstream in(script);
    std::string tok;
    int tick = 0;
    while (in >> tok) {
        std::istringstream pk(tok);
        std::string one;
        while (std::getline(pk, one, ',')) {
            if (one == ".") continue;
            uint32_t ssrc = 1;
            uint32_t ts_shift = 0;
            if (one[0] == 's') ssrc = 2, ts_shift = 777777, one = one.substr(1);
            else if (one[0] == 'j') ts_shift = 80000, one = one.substr(1);
            int n = std::stoi(one);
            int16_t pcm[160];
            for (auto &x : pcm) x = int16_t(n * 10);
            b.put(ssrc, uint16_t(seq_base + n - 1), ts_base + uint32_t(n - 1) * 160 + ts_shift, pcm, 160,
                  int64_t(tick) * 20 + 5);
        }
        int16_t out[160];
        int64_t now = int64_t(tick) * 20 + 20;
        auto g = b.get(out, now);
        if (g == jb::JitterBuffer::Get::Audio) r.played += std::to_string(out[0] / 10) + " ";
        else if (g == jb::JitterBuffer::Get::Concealed) r.played += "~ ";
        r.delay_ms = b.current_delay_ms(now);
        ++tick;
    }
    r.stats = b.stats();
    r.target_ms = b.target_delay_ms();
    if (!r.played.empty()) r.played.pop_back();
    return r;
}

TEST(JitterBuffer, EventScripts) {
    // Scripts with a late packet or a stall show jitter: the delay grows at
    // once by the frames inserted (played as "~", counted as inserted). A
    // stall holds the playout point, so the burst after it plays, none late.
    struct Row {
        const char *what;
        const char *script;
        const char *played;
        uint64_t concealed, late, duplicates, resets, inserted;
        int delay_ms;
    };
    const Row rows[] = {
        {"in order, steady", "1 2 3 4 5 6 7 8 9 10", "1 2 3 4 5 6 7 8 9", 0, 0, 0, 0, 0, 35},
        {"one lost", "1 2 3 . 5 6 7 8 9 10", "1 2 3 ~ 5 6 7 8 9", 1, 0, 0, 0, 0, 35},
        {"two lost in a row", "1 2 3 . . 6 7 8", "1 2 3 ~ ~ 6 7", 2, 0, 0, 0, 0, 35},
        // Packet 4 came 20 ms early: the fast path is 20 ms faster.
        {"reordered within the delay", "1 2 4 3 5 6 7 8", "1 2 3 4 5 6 7", 0, 0, 0, 0, 0, 55},
        {"duplicates dropped", "1 2 2 3 4 5,5 6 7", "1 2 3 4 5 6 7", 0, 0, 2, 0, 0, 35},
        {"late packet concealed, then dropped", "1 2 . 4 5 3 6 7", "1 2 ~ 4 ~ ~ 5", 1, 1, 0, 0, 2, 75},
        {"stall then burst", "1 2 3 . . . 4,5,6,7 8 9 10", "1 2 3 ~ ~ 4 5 6 7", 2, 0, 0, 0, 2, 75},
        // The newest packets lost: the frames held for them stand for them.
        {"last two lost, then on time", "1 2 3 . . 6 7 8 9", "1 2 3 ~ ~ 6 7 8", 2, 0, 0, 0, 0, 35},
        // The start delay again from the first packet of the new timeline
        // (the old one's packet 4 goes with the reset).
        {"new SSRC restarts playout", "1 2 3 4 s5 s6 s7 s8 s9", "1 2 3 5 6 7 8", 0, 0, 0, 1, 0, 35},
        {"timestamp jump restarts playout", "1 2 3 4 j5 j6 j7 j8 j9", "1 2 3 5 6 7 8", 0, 0, 0, 1, 0, 35},
    };
    for (const auto &r : rows) {
        ScriptResult got = run_script(r.script);
        EXPECT_EQ(got.played, r.played) << r.what;
        EXPECT_EQ(got.stats.concealed, r.concealed) << r.what;
        EXPECT_EQ(got.stats.late, r.late) << r.what;
        EXPECT_EQ(got.stats.duplicates, r.duplicates) << r.what;
        EXPECT_EQ(got.stats.resets, r.resets) << r.what;
        EXPECT_EQ(got.stats.inserted, r.inserted) << r.what;
        // Packets arrive 5 ms into their tick; with the 40 ms start delay a
        // frame plays 35 ms after its packet came.
        EXPECT_EQ(got.delay_ms, r.delay_ms) << r.what;
    }
    // Sequence numbers and timestamps that wrap in the middle change nothing.
    ScriptResult w = run_script("1 2 3 4 5 6 7 8 9 10", 65533, 0xFFFFFE00u);
    EXPECT_EQ(w.played, "1 2 3 4 5 6 7 8 9");
    EXPECT_EQ(w.stats.concealed + w.stats.late + w.stats.resets, 0u);
}

// The first get() comes 50 ms after the first packet and every later packet
// lags it by 30 ms (a sender whose clock stalled once, as our own echoed
// audio does when the media clock stalls): the playout point placed by that
// get() is one frame past each packet. The stream must still play.
TEST(JitterBuffer, LateFirstTickDoesNotSilenceTheStream) {
    jb::JitterBuffer b;
    int16_t pcm[160] = {}, out[160];
    b.put(1, 1, 0, pcm, 160, 0);
    b.get(out, 50);
    for (int k = 2; k <= 50; ++k) {
        b.put(1, uint16_t(k), uint32_t(k - 1) * 160, pcm, 160, 50 + (k - 2) * 20 + 1);
        b.get(out, 70 + (k - 2) * 20);
    }
    EXPECT_GE(b.stats().played, 45u);
    EXPECT_LE(b.stats().late, 1u);
}

TEST(JitterBuffer, ConcealmentRepeatsTheLastFrameAndFades) {
    jb::JitterBuffer b;
    int16_t pcm[160], out[160];
    for (int i = 0; i < 160; ++i) pcm[i] = int16_t(i % 2 ? 10000 : -10000);
    b.put(1, 1, 0, pcm, 160, 5);
    b.get(out, 20);  // silence: the start delay
    ASSERT_EQ(b.get(out, 40), jb::JitterBuffer::Get::Audio);
    std::vector<int> peaks;
    for (int k = 0; k < 7; ++k) {
        auto g = b.get(out, 60 + 20 * k);
        int peak = 0;
        for (int16_t x : out) peak = std::max(peak, std::abs(int(x)));
        peaks.push_back(peak);
        EXPECT_EQ(g, k < 5 ? jb::JitterBuffer::Get::Concealed : jb::JitterBuffer::Get::Silence) << k;
    }
    // Falling gain, first frame close to the original, silent after five.
    EXPECT_GT(peaks[0], 9000);
    for (int k = 1; k < 5; ++k) EXPECT_LT(peaks[k], peaks[k - 1]) << k;
    EXPECT_EQ(peaks[5], 0);
    EXPECT_EQ(b.stats().concealed, 5u);
}

// A packet that ends with a silence description and then nothing: the gap
// is the source's comfort noise, not a fading repeat, for as long as it
// lasts; the next talkspurt plays again; a gap after speech still fades.
TEST(JitterBuffer, SilenceAfterADescriptionIsComfortNoise) {
    jb::JitterBuffer b;
    int calls = 0;
    bool have_noise = true;
    b.set_comfort_noise([&](int16_t *pcm, size_t n) {
        ++calls;
        if (!have_noise) return false;
        for (size_t i = 0; i < n; ++i) pcm[i] = int16_t(i % 2 ? 30 : -30);
        return true;
    });
    using G = jb::JitterBuffer::Get;
    int16_t speech[160], sid[80], out[160];
    for (int i = 0; i < 160; ++i) speech[i] = int16_t(i % 2 ? 10000 : -10000);
    for (int i = 0; i < 80; ++i) sid[i] = int16_t(i % 2 ? 25 : -25);
    // Speech at ts 0, then speech (first 10 ms) with a SID (next 10 ms) at 160.
    b.put(1, 1, 0, speech, 160, 5, false, true);
    int16_t mixed[160];
    for (int i = 0; i < 80; ++i) mixed[i] = speech[i];
    for (int i = 0; i < 80; ++i) mixed[80 + i] = sid[i];
    b.put(1, 2, 160, mixed, 160, 25, true);
    b.get(out, 20);  // the start delay
    ASSERT_EQ(b.get(out, 40), G::Audio);
    ASSERT_EQ(b.get(out, 60), G::Audio);
    // A second of silence with nothing received: comfort noise throughout.
    for (int k = 0; k < 50; ++k) {
        ASSERT_EQ(b.get(out, 80 + 20 * k), G::ComfortNoise) << k;
        int peak = 0;
        for (int16_t x : out) peak = std::max(peak, std::abs(int(x)));
        EXPECT_EQ(peak, 30) << k;
    }
    EXPECT_EQ(b.stats().concealed, 0u);
    EXPECT_EQ(b.stats().comfort_noise, 50u);
    // Noise source gone (speech decoded meanwhile): the last noise repeats.
    have_noise = false;
    ASSERT_EQ(b.get(out, 1080), G::ComfortNoise);
    EXPECT_EQ(std::abs(int(out[1])), 30);
    // The talkspurt after it (marked, its timestamp 52 frames on) plays.
    uint32_t ts = 160 * 56;
    b.put(1, 3, ts, speech, 160, 1125, false, true);
    int k = 0;
    int64_t now = 1100;
    for (; k < 6; ++k, now += 20) {
        G g = b.get(out, now);
        if (g == G::Audio) break;
        EXPECT_EQ(g, G::ComfortNoise) << k;  // until the talkspurt's turn
    }
    ASSERT_LT(k, 6) << "the talkspurt plays";
    EXPECT_EQ(std::abs(int(out[1])), 10000);
    EXPECT_EQ(b.stats().concealed, 0u);
    // After that speech, loss fades as before.
    auto g = b.get(out, now + 20);
    EXPECT_TRUE(g == G::Concealed || g == G::Silence) << int(g);
    EXPECT_GT(calls, 50);
}

// The packet with the description that ends a talkspurt (N, then nothing
// more) cannot play: it comes after its turn ("late", dropped), or the
// buffer skips its frame to shorten the delay (packet 30 came 80 ms late;
// once the window forgets it, the playout point steps back a frame per
// 100 ms, and one of N = 125..165 is a skipped frame). The peer has gone
// quiet either way: comfort noise from 160 ms after its turn on, no
// fading repeat, no silence.
TEST(JitterBuffer, ADescriptionThatCannotPlayStillStartsComfortNoise) {
    using G = jb::JitterBuffer::Get;
    struct Case {
        int last;     // N, the packet with the description
        int late_ms;  // how much later than its tick it arrives
    };
    std::vector<Case> cases = {{10, 100}, {10, 60}};
    for (int n = 125; n <= 165; ++n) cases.push_back({n, 0});
    int skipped_descriptions = 0;
    for (const auto &c : cases) {
        jb::JitterBuffer b;
        b.set_comfort_noise([](int16_t *pcm, size_t n) {
            for (size_t i = 0; i < n; ++i) pcm[i] = int16_t(i % 2 ? 30 : -30);
            return true;
        });
        int16_t speech[160], sid[160], out[160];
        for (int i = 0; i < 160; ++i) speech[i] = int16_t(i % 2 ? 10000 : -10000), sid[i] = int16_t(i % 2 ? 25 : -25);
        std::string after;  // what each get() gave from 160 ms after the description's turn
        int arrived = 0;    // the tick it arrived in
        bool sid_played = false;
        uint64_t skips_after_arrival = 0;
        for (int k = 1; k <= c.last + 40; ++k) {
            if (k < c.last && k != 30) b.put(1, uint16_t(k), uint32_t(k) * 160, speech, 160, int64_t(k) * 20 + 5);
            if (k == 34 && c.last > 30) b.put(1, 30, 30 * 160, speech, 160, 30 * 20 + 85);
            int64_t sid_at = int64_t(c.last) * 20 + 5 + c.late_ms;
            if (!arrived && sid_at < int64_t(k) * 20 + 20) {
                b.put(1, uint16_t(c.last), uint32_t(c.last) * 160, sid, 160, sid_at, true);
                arrived = k;
            }
            uint64_t skipped = b.stats().skipped;
            G g = b.get(out, int64_t(k) * 20 + 20);
            if (arrived) skips_after_arrival += b.stats().skipped - skipped;
            if (g == G::Audio && out[1] == 25) sid_played = true;
            if (arrived && k > arrived && k > c.last + 8)
                after += g == G::ComfortNoise ? "n" : g == G::Audio ? "a" : g == G::Silence ? "." : "~";
        }
        if (!c.late_ms && skips_after_arrival && !sid_played) ++skipped_descriptions;
        EXPECT_EQ(after, std::string(after.size(), 'n')) << "N " << c.last << ", late " << c.late_ms;
        EXPECT_GE(after.size(), 30u);
    }
    EXPECT_GE(skipped_descriptions, 1) << "a case whose description's frame is skipped";
}

// Delay adaptation: packets every 20 ms with a random extra network delay.
struct Adaptation {
    int target_ms;
    double concealed_ratio;
    int max_delay_ms;  // over the second half
    int end_delay_ms;
};

Adaptation run_jitter(jb::JitterBuffer &b, int seconds, int jitter_ms, uint32_t &seq, uint32_t seed) {
    uint32_t rng = seed;
    auto rnd = [&]() {
        rng = rng * 1103515245u + 12345u;
        return (rng >> 8) % 1000;
    };
    std::vector<std::pair<int64_t, uint32_t>> arrivals;  // time, seq
    int64_t t0 = int64_t(seq) * 20;
    int frames = seconds * 50;
    for (int i = 0; i < frames; ++i) {
        uint32_t s = seq + uint32_t(i);
        int64_t a = int64_t(s) * 20 + 3 + (jitter_ms ? int64_t(rnd() % uint32_t(jitter_ms)) : 0);
        arrivals.push_back({a, s});
    }
    std::sort(arrivals.begin(), arrivals.end());
    auto before = b.stats();
    size_t next = 0;
    int max_delay = 0, end_delay = 0;
    int16_t pcm[160] = {1}, out[160];
    for (int i = 0; i < frames; ++i) {
        int64_t now = t0 + int64_t(i) * 20 + 20;
        while (next < arrivals.size() && arrivals[next].first <= now) {
            uint32_t s = arrivals[next].second;
            b.put(9, uint16_t(s), s * 160, pcm, 160, arrivals[next].first);
            ++next;
        }
        b.get(out, now);
        end_delay = b.current_delay_ms(now);
        if (i > frames / 2) max_delay = std::max(max_delay, end_delay);
    }
    seq += uint32_t(frames);
    auto after = b.stats();
    double played = double(after.played - before.played + after.concealed - before.concealed);
    return {b.target_delay_ms(), double(after.concealed - before.concealed) / played, max_delay, end_delay};
}

TEST(JitterBuffer, DelayFollowsTheMeasuredJitterWithinItsBounds) {
    jb::JitterBuffer b;
    uint32_t seq = 100;
    Adaptation calm = run_jitter(b, 5, 0, seq, 1);
    EXPECT_EQ(calm.target_ms, jb::JitterBuffer::kMinDelayMs);
    EXPECT_LE(calm.max_delay_ms, 40);
    EXPECT_EQ(calm.concealed_ratio, 0.0);

    Adaptation rough = run_jitter(b, 10, 60, seq, 2);
    EXPECT_GE(rough.target_ms, 60);
    EXPECT_LE(rough.target_ms, 100);
    EXPECT_LT(rough.concealed_ratio, 0.03);
    EXPECT_LE(rough.max_delay_ms, 110);

    Adaptation storm = run_jitter(b, 10, 400, seq, 3);
    EXPECT_EQ(storm.target_ms, jb::JitterBuffer::kMaxDelayMs);
    EXPECT_LE(storm.max_delay_ms, 230);

    Adaptation calm_again = run_jitter(b, 4, 0, seq, 4);
    EXPECT_EQ(calm_again.target_ms, jb::JitterBuffer::kMinDelayMs);
    // The window forgets the storm after 2 s; the delay then steps down a
    // frame per 100 ms.
    EXPECT_LE(calm_again.end_delay_ms, 45);
    EXPECT_EQ(b.stats().resets, 0u);
}

// After every packet the target is the spread of the last kWindow offsets (in
// whole ms) plus a frame, as counted here from all of them; runs of equal
// offsets, rising and falling ones and random ones.
TEST(JitterBuffer, TargetIsTheSpreadOfTheWindowAfterEveryPacket) {
    jb::JitterBuffer b;
    std::vector<int64_t> offsets;
    uint32_t rng = 7;
    int16_t pcm[160] = {};
    for (int k = 0; k < 1000; ++k) {
        rng = rng * 1103515245u + 12345u;
        const int64_t extra = k < 200 ? 3 : k < 400 ? (k % 50) * 2 : k < 600 ? 100 - (k % 40) : (rng >> 8) % 150;
        b.put(1, uint16_t(k), uint32_t(k) * 160, pcm, 160, int64_t(k) * 20 + extra);
        offsets.push_back(extra * 8);
        const size_t from = offsets.size() > size_t(jb::JitterBuffer::kWindow) ? offsets.size() - jb::JitterBuffer::kWindow : 0;
        const auto [lo, hi] = std::minmax_element(offsets.begin() + long(from), offsets.end());
        int want = int((*hi - *lo) / 8) + 20;
        if (offsets.size() < size_t(jb::JitterBuffer::kWindow)) want = std::max(want, jb::JitterBuffer::kStartDelayMs);
        ASSERT_EQ(b.target_delay_ms(), std::clamp(want, jb::JitterBuffer::kMinDelayMs, jb::JitterBuffer::kMaxDelayMs))
            << "packet " << k;
    }
}

// ---- loss concealment and drift ----------------------------------------------------------

// A voiced sound of pitch period `period` samples, packet k of it.
void voiced(int16_t *pcm, int k, int period) {
    for (int i = 0; i < 160; ++i) {
        const double ph = 2 * 3.141592653589793 * (k * 160 + i) / period;
        pcm[i] = int16_t(7000 * std::sin(ph) + 3000 * std::sin(2 * ph + 1));
    }
}

int largest_step(const std::vector<int16_t> &y, size_t from, size_t to) {
    int m = 0;
    for (size_t i = std::max<size_t>(from, 1); i < to && i < y.size(); ++i) m = std::max(m, std::abs(y[i] - y[i - 1]));
    return m;
}

// Packets 20 to 20+lost-1 of a voiced sound do not come. Where the gap begins
// and ends, no step between samples may be much larger than the sound's own
// (a repeat that is not pitch-aligned clicks there), and its first frame
// keeps most of the sound's level.
TEST(JitterBuffer, G711ConcealmentJoinsTheGapAtThePitch) {
    struct Row {
        int period, lost;
        bool g711;   // the decoder's concealment, else the buffer's own repeat
        bool click;  // a step at a seam more than 1.3 times the sound's largest
    };
    const Row rows[] = {{57, 1, true, false}, {57, 3, true, false}, {101, 1, true, false},
                        {73, 2, true, false}, {57, 1, false, true}, {101, 1, false, true}};
    for (const auto &r : rows) {
        jb::JitterBuffer b;
        auto dec = codec::make("PCMU");
        if (r.g711)
            b.set_concealment([&](int16_t *p, size_t n) { dec->played(p, n); },
                              [&](int16_t *p, size_t n) { return dec->conceal(p, n); });
        std::vector<int16_t> y, clean;
        int16_t pcm[160], out[160];
        for (int k = 0; k < 40; ++k) {
            voiced(pcm, k, r.period);
            clean.insert(clean.end(), pcm, pcm + 160);
            if (k < 20 || k >= 20 + r.lost) b.put(1, uint16_t(k), uint32_t(k) * 160, pcm, 160, k * 20 + 5);
            b.get(out, k * 20 + 20);
            y.insert(y.end(), out, out + 160);
        }
        // Packet k plays in tick k + 1.
        const size_t start = 21 * 160, end = size_t(21 + r.lost) * 160;
        const int own = largest_step(clean, 0, clean.size());
        const int seams = std::max(largest_step(y, start - 2, start + 40), largest_step(y, end - 2, end + 40));
        EXPECT_EQ(seams > own * 13 / 10, r.click) << r.period << "/" << r.lost << " " << seams << " vs " << own;
        double e_clean = 0, e_conc = 0;
        for (size_t i = 0; i < 160; ++i) e_clean += double(clean[i + start - 160]) * clean[i + start - 160],
                                         e_conc += double(y[i + start]) * y[i + start];
        EXPECT_GT(e_conc, 0.4 * e_clean) << r.period << "/" << r.lost;
    }
}

// Speech over a background (level about 100), then half a second lost:
// past the concealment the background's level plays, not silence.
TEST(JitterBuffer, LongLossFadesIntoTheBackgroundsNoise) {
    jb::JitterBuffer b;
    auto dec = codec::make("PCMA");
    b.set_concealment([&](int16_t *p, size_t n) { dec->played(p, n); },
                      [&](int16_t *p, size_t n) { return dec->conceal(p, n); });
    int16_t pcm[160], out[160];
    std::vector<int> levels;
    for (int k = 0; k < 150; ++k) {
        if (k % 40 < 25) voiced(pcm, k, 67);
        else for (int i = 0; i < 160; ++i) pcm[i] = int16_t(i % 2 ? 100 : -100);
        if (k < 124) b.put(1, uint16_t(k), uint32_t(k) * 160, pcm, 160, k * 20 + 5);  // speech when it stops
        b.get(out, k * 20 + 20);
        int sum = 0;
        for (int16_t x : out) sum += std::abs(x);
        levels.push_back(sum / 160);
    }
    for (int k = 131; k < 150; ++k) {
        EXPECT_GE(levels[size_t(k)], 60) << k;
        EXPECT_LE(levels[size_t(k)], 140) << k;
    }
}

// G.729 conceals with its decoder's frame erasure: something of the voice,
// not the buffer's repeat of the last frame.
TEST(Codecs, G729ConcealsWithItsOwnFrameErasure) {
    if (!codec::find("G729")) GTEST_SKIP() << "built without callctl/dsp";
    auto enc = codec::make("G729", "annexb=no"), dec = codec::make("G729");
    int16_t pcm[160], last[160], fill[160];
    uint8_t pl[codec::kMaxPayload];
    for (int k = 0; k < 10; ++k) {
        voiced(pcm, k, 61);
        ASSERT_EQ(dec->decode(pl, enc->encode(pcm, pl), last, 160), 160);
    }
    ASSERT_TRUE(dec->conceal(fill, 160));
    double e = 0;
    for (int16_t x : fill) e += double(x) * x;
    EXPECT_GT(e, 160.0 * 300 * 300);
    EXPECT_NE(std::memcmp(fill, last, sizeof fill), 0);
}

// A ten-minute call of talkspurts (1 s of voice, 0.6 s of quiet) from a
// sender whose clock runs fast, slow or right: the delay stays bounded, the
// surplus goes in the quiet, and every voice frame plays.
TEST(JitterBuffer, ClockSkewKeepsTheDelayBoundedOverTenMinutes) {
    struct Row {
        int ppm;
        bool skips, inserts;
    };
    for (const Row r : {Row{1000, true, false}, Row{-1000, false, true}, Row{0, false, false}}) {
        jb::JitterBuffer b;
        int16_t pcm[160], out[160];
        int next_id = 0, first_voice = -1, last_voice = -1, voice_played = 0, max_delay = 0;
        const int frames = 10 * 60 * 50;
        for (int k = 0; k < frames; ++k) {
            const int64_t now = int64_t(k) * 20 + 20;
            for (;; ++next_id) {  // packet i is sent at i * 20 ms of the sender's clock
                const int64_t at = int64_t(next_id) * 20 * 1000000 / (1000000 + r.ppm) + 3 + next_id % 3;
                if (at > now) break;
                const bool voice = next_id % 80 < 50;
                if (voice) voiced(pcm, next_id, 67);
                else for (int i = 0; i < 160; ++i) pcm[i] = int16_t(i % 2 ? 20 : -20);
                pcm[0] = int16_t(voice ? 10000 + next_id % 20000 : 0);  // which packet
                b.put(1, uint16_t(next_id), uint32_t(next_id) * 160, pcm, 160, at);
            }
            if (b.get(out, now) == jb::JitterBuffer::Get::Audio && out[0] >= 10000) {
                const int raw = out[0] - 10000;  // the packet's number modulo 20000
                const int id = first_voice < 0 ? raw : last_voice + ((raw - last_voice) % 20000 + 20000) % 20000;
                if (first_voice < 0) first_voice = id;
                last_voice = id;
                ++voice_played;
            }
            if (k > frames - 3000) max_delay = std::max(max_delay, b.current_delay_ms(now));
        }
        int voice_sent = 0;
        for (int i = first_voice; i <= last_voice; ++i) voice_sent += i % 80 < 50;
        EXPECT_EQ(voice_played, voice_sent) << r.ppm;
        EXPECT_LE(max_delay, 60) << r.ppm;
        EXPECT_EQ(b.stats().skipped >= 25, r.skips) << r.ppm << " skipped " << b.stats().skipped;
        EXPECT_EQ(b.stats().inserted >= 25, r.inserts) << r.ppm << " inserted " << b.stats().inserted;
        EXPECT_EQ(b.stats().late + b.stats().resets, 0u) << r.ppm;
    }
}

// ---- tones --------------------------------------------------------------------------------

// Goertzel power of one frequency in a block, relative to the block's energy.
double tone_share(const int16_t *x, size_t n, double freq) {
    double w = 2 * 3.141592653589793 * freq / 8000, c = 2 * std::cos(w), s1 = 0, s2 = 0, e = 0;
    for (size_t i = 0; i < n; ++i) {
        double s0 = x[i] + c * s1 - s2;
        s2 = s1;
        s1 = s0;
        e += double(x[i]) * x[i];
    }
    double p = s1 * s1 + s2 * s2 - c * s1 * s2;
    return e > 0 ? 2 * p / (double(n) * e) : 0;
}

TEST(Tones, DtmfKeysHaveTheirTwoFrequencies) {
    const int low[12] = {941, 697, 697, 697, 770, 770, 770, 852, 852, 852, 941, 941};
    const int high[12] = {1336, 1209, 1336, 1477, 1209, 1336, 1477, 1209, 1336, 1477, 1209, 1477};
    for (int id = 0; id < 12; ++id) {
        media::ToneGenerator g;
        ASSERT_TRUE(g.start(id));
        int16_t x[800];
        g.next(x, 800);
        EXPECT_GT(tone_share(x, 800, low[id]), 0.4) << id;
        EXPECT_GT(tone_share(x, 800, high[id]), 0.4) << id;
        EXPECT_LT(tone_share(x, 800, 1000), 0.01) << id;
    }
    media::ToneGenerator g;
    EXPECT_FALSE(g.start(12));
    EXPECT_FALSE(g.start(-1));
}

TEST(Levels, EnergyScaleIsLinearInDecibels) {
    EXPECT_EQ(media::energy_of(0), 0.0);
    EXPECT_NEAR(media::energy_of(32767.0 * 32767.0), 100.0, 1e-9);
    double a = 32767 * std::pow(10.0, -30 / 20.0);  // -30 dBFS
    EXPECT_NEAR(media::energy_of(a * a), 50.0, 1e-6);
    double b = 32767 * std::pow(10.0, -70 / 20.0);
    EXPECT_EQ(media::energy_of(b * b), 0.0);
}

// ---- WAVE ------------------------------------------------------------------------------------

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

uint32_t le32(const std::string &s, size_t at) {
    return uint8_t(s[at]) | (uint8_t(s[at + 1]) << 8) | (uint8_t(s[at + 2]) << 16) | (uint32_t(uint8_t(s[at + 3])) << 24);
}

// A file plays when its header is a PCM 8 kHz mono 16-bit one whose sizes
// are consistent and do not claim more data than the file has.
void expect_playable(const std::string &f, uint32_t min_data, const char *what) {
    ASSERT_GE(f.size(), 44u) << what;
    EXPECT_EQ(f.substr(0, 4), "RIFF") << what;
    EXPECT_EQ(f.substr(8, 8), "WAVEfmt ") << what;
    EXPECT_EQ(le32(f, 16), 16u) << what;
    EXPECT_EQ(le32(f, 20), 0x00010001u) << what;  // PCM, mono
    EXPECT_EQ(le32(f, 24), 8000u) << what;
    EXPECT_EQ(le32(f, 28), 16000u) << what;
    EXPECT_EQ(le32(f, 32), 0x00100002u) << what;  // block 2, 16 bits
    EXPECT_EQ(f.substr(36, 4), "data") << what;
    uint32_t data = le32(f, 40);
    EXPECT_EQ(le32(f, 4), 36 + data) << what;
    EXPECT_GE(data, min_data) << what;
    EXPECT_LE(data, f.size() - 44) << what;
}

std::string temp_path(const std::string &name) {
#ifdef _WIN32
    return name;  // the test's working directory
#else
    return "/tmp/callctl-media-" + std::to_string(getpid()) + "-" + name;
#endif
}

TEST(Wave, SizesAfterCloseWhileWritingAndOnBadPaths) {
    std::string path = temp_path("normal.wav");
    std::remove(path.c_str());  // left by an interrupted run: the writer takes only new names
    int16_t frame[160];
    for (int i = 0; i < 160; ++i) frame[i] = int16_t(i * 100);
    {
        media::WaveWriter w;
        ASSERT_TRUE(w.open(path));
        for (int i = 0; i < 75; ++i) w.write(frame, 160);  // 1.5 s
        // Still open: the header already covers the first second.
        expect_playable(slurp(path), 16000, "open after 1.5 s");
        w.close();
    }
    std::string f = slurp(path);
    expect_playable(f, 24000, "closed");
    EXPECT_EQ(f.size(), 44u + 24000u);
    EXPECT_EQ(uint8_t(f[44 + 2]), uint8_t(100));  // second sample, little-endian
    std::remove(path.c_str());

    media::WaveWriter bad;
    EXPECT_FALSE(bad.open(temp_path("no-such-folder") + "/x.wav"));
    EXPECT_FALSE(bad.is_open());
    EXPECT_FALSE(bad.open(""));
#ifndef _WIN32
    EXPECT_FALSE(bad.open("/tmp"));  // a folder
#endif
    // A name a file already has is refused, and that file keeps every byte: an earlier
    // recording (or anything else) is never truncated.
    for (const std::string &earlier : {std::string("an earlier recording"), std::string()}) {
        const std::string taken = temp_path("taken.wav");
        std::ofstream(taken, std::ios::binary) << earlier;
        EXPECT_FALSE(bad.open(taken)) << earlier.size();
        EXPECT_FALSE(bad.is_open());
        EXPECT_EQ(slurp(taken), earlier);
        std::remove(taken.c_str());
    }
    // The same writer's earlier file likewise: it stays as it was closed.
    media::WaveWriter again;
    ASSERT_TRUE(again.open(path));
    again.write(frame, 160);
    again.close();
    EXPECT_FALSE(again.open(path));
    expect_playable(slurp(path), 320, "after a second open of its name");
    EXPECT_EQ(slurp(path).size(), 44u + 320u);
    std::remove(path.c_str());
}

#ifndef _WIN32
// A recording process that dies without closing leaves a playable file
// covering all but the last second.
TEST(Wave, InterruptedProcessLeavesAPlayableFile) {
    std::string path = temp_path("crash.wav");
    std::remove(path.c_str());
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        media::WaveWriter w;
        if (!w.open(path)) _exit(2);
        int16_t frame[160] = {};
        for (int i = 0; i < 130; ++i) w.write(frame, 160);  // 2.6 s
        std::fflush(nullptr);  // what the C library had buffered reaches the file
        _exit(0);              // no close, no header update
    }
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    std::string f = slurp(path);
    expect_playable(f, 32000, "after the crash");
    EXPECT_EQ(le32(f, 40), 32000u);  // the two-second update
    std::remove(path.c_str());
}
#endif

// A file microphone plays a WAVE file's "data" chunk on (past chunks before it, odd
// lengths padded), any other file whole, and silence after the end; a chunk length
// that would seek past any real file ends the walk with silence, never a loop.
TEST(Wave, FileMicrophonePlaysTheDataChunkThenSilence) {
    auto le = [](uint32_t v, int n) {
        std::string b;
        for (int i = 0; i < n; ++i) b += char((v >> (8 * i)) & 0xFF);
        return b;
    };
    const std::string samples = le(1000, 2) + le(uint16_t(-2000), 2) + le(3, 2);
    const std::string fmt = "fmt " + le(16, 4) + le(1, 2) + le(1, 2) + le(8000, 4) + le(16000, 4) + le(2, 2) + le(16, 2);
    struct Row {
        const char *name;
        std::string bytes;
        std::vector<int16_t> first;  // the first frame's first samples; the rest is silence
    } rows[] = {
        {"wave", "RIFF" + le(0, 4) + "WAVE" + fmt + "data" + le(6, 4) + samples, {1000, -2000, 3}},
        {"odd chunk before data", "RIFF" + le(0, 4) + "WAVE" + "LIST" + le(3, 4) + "abc" + std::string(1, '\0') + "data" +
             le(6, 4) + samples, {1000, -2000, 3}},
        {"raw samples", samples, {1000, -2000, 3}},
        {"no data chunk", "RIFF" + le(0, 4) + "WAVE" + fmt, {}},
        {"absurd chunk length", "RIFF" + le(0, 4) + "WAVE" + "junk" + le(0xFFFFFFF8u, 4) + "data" + le(6, 4) + samples, {}},
    };
    auto factory = device::platform_factory();
    for (const Row &r : rows) {
        const std::string path = temp_path("mic.wav");
        std::ofstream(path, std::ios::binary) << r.bytes;
        auto mic = factory->open_capture("file:" + path);
        ASSERT_TRUE(mic) << r.name;
        int16_t frame[device::kFrame];
        ASSERT_TRUE(mic->read(frame)) << r.name;  // the first frame is due at once
        for (size_t i = 0; i < device::kFrame; ++i)
            ASSERT_EQ(frame[i], i < r.first.size() ? r.first[i] : 0) << r.name << " sample " << i;
        mic.reset();
        std::remove(path.c_str());
    }
    // A file longer than what the microphone reads at once plays on without a seam.
    const std::string path = temp_path("long.raw");
    std::string bytes;
    for (int i = 0; i < 4100; ++i) bytes += le(uint32_t(i * 7), 2);
    std::ofstream(path, std::ios::binary) << bytes;
    auto mic = factory->open_capture("file:" + path);
    ASSERT_TRUE(mic);
    for (int f = 0; f < 27; ++f) {
        int16_t frame[device::kFrame];
        while (!mic->read(frame)) std::this_thread::yield();  // each frame 20 ms after the last
        for (size_t i = 0; i < device::kFrame; ++i) {
            const size_t at = size_t(f) * device::kFrame + i;
            ASSERT_EQ(frame[i], at < 4100 ? int16_t(uint16_t(at * 7)) : 0) << "sample " << at;
        }
    }
    mic.reset();
    std::remove(path.c_str());
}

// A system device is found by its key or by its GBK name, and only when no other
// device answers to the same name: two Korean names both read "Speakers-???" in GBK.
TEST(DeviceNames, ANameSeveralDevicesAnswerToGivesTheDefaultDevice) {
    const std::vector<device::DeviceName> bed = {
        {"PulseAudio", "PulseAudio"},
        {"Speakers-{U+C2A4}{U+D53C}{U+CEE4}", "Speakers-???"},
        {"Speakers", "Speakers"},
        {"Speakers-{U+D5E4}{U+B4DC}{U+D3F0}", "Speakers-???"},
        {"Speakers", "Speakers"},
        {"Headset {U+1F3A7}", "Headset ?"},
    };
    struct Row {
        const char *name;
        int picked;  // -1: the default device
    } rows[] = {
        {"PulseAudio", 0},
        {"Speakers-{U+C2A4}{U+D53C}{U+CEE4}", 1},
        {"Speakers-{U+D5E4}{U+B4DC}{U+D3F0}", 3},
        {"Speakers-???", -1},  // an older version's name of either: no guess
        {"Speakers", -1},      // two devices of one name
        {"Headset ?", 5},      // the older name of a device no other reads the same as
        {"Headset {U+1F3A7}", 5},
        {"speakers", -1},
        {"", -1},
        {"Speakers-{U+C2A4}", -1},
    };
    for (const Row &r : rows) EXPECT_EQ(device::pick_device(r.name, bed), r.picked) << r.name;
    EXPECT_EQ(device::pick_device("PulseAudio", {}), -1);
}

#ifdef _WIN32
// The names the library makes of WinMM's product names: the same keys as the program's
// settings make (WaveDeviceKey), and '?' for each character GBK lacks in the GBK name.
TEST(DeviceNames, KeysWriteTheCharactersGbkLacksAsCodePoints) {
    struct Row {
        const wchar_t *product;
        const char *key, *gbk;
    } rows[] = {
        {L"Speakers", "Speakers", "Speakers"},
        {L"\u626C\u58F0\u5668 (USB)", "\xD1\xEF\xC9\xF9\xC6\xF7 (USB)", "\xD1\xEF\xC9\xF9\xC6\xF7 (USB)"},
        {L"Speakers-\uC2A4\uD53C\uCEE4", "Speakers-{U+C2A4}{U+D53C}{U+CEE4}", "Speakers-???"},
        {L"\u626C\u58F0\u5668 \uD5E4", "\xD1\xEF\xC9\xF9\xC6\xF7 {U+D5E4}", "\xD1\xEF\xC9\xF9\xC6\xF7 ?"},
        {L"Headset \xD83C\xDFA7", "Headset {U+1F3A7}", nullptr},
        {L"", "", ""},
    };
    for (const Row &r : rows) {
        const device::DeviceName name = device::winmm_device_name(r.product);
        EXPECT_EQ(name.key, r.key) << r.key;
        if (r.gbk) {
            EXPECT_EQ(name.gbk, r.gbk) << r.key;
        }
        EXPECT_EQ(name.gbk.find('{'), std::string::npos) << r.key;
    }
}
#endif

// ---- who hears whom ---------------------------------------------------------------------

// Each party sends a constant frame; the table gives the speaker and what each
// party is sent (every sample alike).
TEST(Mix, SpeakerAndEachPartyAsTheConferencesSay) {
    struct P {
        int heard;
        uint32_t conf;
        int tone;  // played locally for it, 0 none
    };
    struct Row {
        const char *what;
        std::vector<P> parties;
        std::vector<std::pair<uint32_t, media::ConferenceMode>> modes;
        int mic;
        bool mute;
        int speaker;
        std::vector<int> sent;
    };
    using M = media::ConferenceMode;
    const std::vector<Row> rows = {
        {"two calls: the speaker plays both, each gets the microphone", {{100, 0, 0}, {20, 0, 0}}, {}, 7, false, 120,
         {7, 7}},
        {"conference of three: everyone but yourself", {{100, 5, 0}, {20, 5, 0}, {3, 5, 0}}, {}, 1000, false, 123,
         {1023, 1103, 1120}},
        {"a call outside the conference hears only the microphone", {{100, 5, 0}, {20, 5, 0}, {3, 0, 0}}, {}, 1000,
         false, 123, {1020, 1100, 1000}},
        {"two conferences do not mix", {{100, 5, 0}, {20, 6, 0}}, {}, 1000, false, 120, {1000, 1000}},
        {"two conferences of two, interleaved, one held with bridging", {{100, 5, 0}, {20, 6, 0}, {3, 5, 0}, {7, 6, 0}},
         {{6, M{true, true}}}, 1000, false, 103, {1003, 7, 1100, 20}},
        {"held with bridging: the parties among themselves, not us", {{100, 5, 0}, {20, 5, 0}, {3, 0, 0}},
         {{5, M{true, true}}}, 1000, false, 3, {20, 100, 1000}},
        {"held without bridging mixes as before (the calls are held one by one)", {{100, 5, 0}, {20, 5, 0}},
         {{5, M{true, false}}}, 1000, false, 120, {1020, 1100}},
        {"bridging alone changes nothing", {{100, 5, 0}, {20, 5, 0}}, {{5, M{false, true}}}, 1000, false, 120,
         {1020, 1100}},
        {"another conference's mode", {{100, 5, 0}, {20, 5, 0}}, {{6, M{true, true}}}, 1000, false, 120, {1020, 1100}},
        {"no conference is never bridged out", {{100, 0, 0}}, {{0, M{true, true}}}, 1000, false, 100, {1000}},
        {"a held party (silence) is heard by nobody", {{0, 5, 0}, {20, 5, 0}}, {}, 1000, false, 20, {1020, 1000}},
        {"saturation upwards", {{30000, 5, 0}, {30000, 5, 0}}, {}, 30000, false, 32767, {32767, 32767}},
        {"saturation downwards", {{-30000, 5, 0}, {-30000, 5, 0}}, {}, -30000, false, -32768, {-32768, -32768}},
        {"speaker muted: the calls still get everything", {{100, 5, 0}, {20, 5, 0}}, {}, 1000, true, 0, {1020, 1100}},
        {"a local tone at half, not sent", {{100, 0, 1001}, {20, 0, -3}}, {}, 7, false, 100 + 500 + 20 - 1, {7, 7}},
        {"a local tone plays while its conference is bridged out", {{100, 5, 1000}, {20, 5, 0}},
         {{5, M{true, true}}}, 7, false, 500, {20, 100}},
        {"nobody", {}, {}, 1000, false, 0, {}},
        {"one call", {{-300, 0, 0}}, {}, 1000, false, -300, {1000}},
        {"one call, muted speaker", {{-300, 0, 0}}, {}, 1000, true, 0, {1000}},
        {"one call bridged out, alone in its conference", {{100, 5, 0}}, {{5, M{true, true}}}, 1000, false, 0, {0}},
        {"alone in its conference: the microphone", {{100, 5, 0}}, {}, 1000, false, 100, {1000}},
    };
    for (const auto &r : rows) {
        size_t n = r.parties.size();
        std::vector<std::vector<int16_t>> heard(n), tone(n), sent(n, std::vector<int16_t>(media::kFrame, 1));
        std::vector<media::MixParty> parties(n);
        std::vector<int16_t *> out(n);
        for (size_t i = 0; i < n; ++i) {
            heard[i].assign(media::kFrame, int16_t(r.parties[i].heard));
            tone[i].assign(media::kFrame, int16_t(r.parties[i].tone));
            parties[i].heard = heard[i].data();
            parties[i].conf = r.parties[i].conf;
            parties[i].tone = r.parties[i].tone ? tone[i].data() : nullptr;
            out[i] = sent[i].data();
        }
        media::ConferenceModes modes(r.modes.begin(), r.modes.end());
        for (auto &p : parties) p.out = media::bridged_out(modes, p.conf);
        std::vector<int16_t> mic(media::kFrame, int16_t(r.mic)), speaker(media::kFrame, 1);
        media::mix_speaker(parties.data(), n, r.mute, speaker.data());
        media::mix_sent(parties.data(), n, mic.data(), out.data());
        EXPECT_EQ(speaker, std::vector<int16_t>(media::kFrame, int16_t(r.speaker))) << r.what;
        ASSERT_EQ(r.sent.size(), n) << r.what;
        for (size_t i = 0; i < n; ++i)
            EXPECT_EQ(sent[i], std::vector<int16_t>(media::kFrame, int16_t(r.sent[i]))) << r.what << ", party " << i;
    }
}

// ---- the engine driven by its tick -----------------------------------------------------
//
// An engine without its thread and far ends on loopback: the test is the
// media clock (each tick 20 ms on, datagrams received 5 ms into it) and
// reads what each far end got in each tick.

struct FarEnd {
    UdpSocket rtp, rtcp;
    uint32_t call = 0;
    uint16_t port = 0;  // the engine's side
    uint16_t seq = 1;
};

struct Sent {
    rtp::Header h;
    std::vector<uint8_t> payload;
};

class TickRig {
    struct Net {
        Net() { net_startup(); }
        ~Net() { net_cleanup(); }
    } net_;  // first in, last out

public:
    explicit TickRig(int calls, int te_pt = 101, media::StreamParams::Format fmt = {0, "PCMU"}) {
        for (int i = 0; i < calls; ++i) {
            auto f = std::make_unique<FarEnd>();
            EXPECT_TRUE(f->rtp.open(0x7f000001, 0) && f->rtcp.open(0x7f000001, 0));
            f->call = uint32_t(7 + i);
            f->port = e.open_stream(f->call, 0x7f000001, 43000, 200);
            EXPECT_NE(f->port, 0);
            media::StreamParams p;
            p.rtp = {0x7f000001, f->rtp.local_port()};
            p.rtcp = {0x7f000001, f->rtcp.local_port()};
            p.audio = {fmt};
            p.te_pt = te_pt;
            p.send = p.recv = true;
            e.configure(f->call, p, now);
            far.push_back(std::move(f));
        }
    }
    // Far end i sends a PCMU frame of these samples (ts by its own count).
    void send(size_t i, const int16_t *pcm) {
        std::vector<uint8_t> pl(media::kFrame);
        for (size_t k = 0; k < media::kFrame; ++k) pl[k] = codec::linear_to_ulaw(pcm[k]);
        send_rtp(i, 0, uint32_t(far[i]->seq) * 160, pl.data(), pl.size(), far[i]->seq == 1);
    }
    // Any payload; the engine receives it 5 ms into the tick.
    void send_rtp(size_t i, int pt, uint32_t ts, const uint8_t *pl, size_t len, bool marker) {
        rtp::Header h;
        h.pt = uint8_t(pt);
        h.seq = far[i]->seq++;
        h.ts = ts;
        h.ssrc = 0x5eed + uint32_t(i);
        h.marker = marker;
        uint8_t pkt[rtp::kMaxPacket];
        size_t n = rtp::write(h, pl, len, pkt, sizeof pkt);
        ASSERT_TRUE(far[i]->rtp.send_to({0x7f000001, far[i]->port}, pkt, n));
        e.receive(200, now + 5);
    }
    void tick(const int16_t *mic) {
        now += 20;
        e.tick(mic, now);
    }
    // What far end i received since the last call: what one tick sends
    // arrives at once on loopback.
    std::vector<Sent> take(size_t i) {
        std::vector<Sent> got;
        UdpSocket *socks[] = {&far[i]->rtp};
        bool ready[1];
        for (int wait = 20; wait_readable(socks, 1, wait, ready) && ready[0]; wait = 0) {
            uint8_t buf[1500];
            Endpoint from;
            int n;
            while ((n = far[i]->rtp.recv_from(buf, sizeof buf, &from)) != 0) {
                Sent s;
                const uint8_t *pl;
                size_t pn;
                if (n < 0 || !rtp::parse(buf, size_t(n), &s.h, &pl, &pn)) continue;
                s.payload.assign(pl, pl + pn);
                got.push_back(s);
            }
        }
        return got;
    }

    media::Engine e;
    std::vector<std::unique_ptr<FarEnd>> far;
    int64_t now = now_ms();
};

std::vector<int16_t> frame_of(int value) { return std::vector<int16_t>(media::kFrame, int16_t(value)); }

std::vector<int16_t> sine_frame(double freq, int amp, size_t tick) {
    std::vector<int16_t> f(media::kFrame);
    for (size_t i = 0; i < media::kFrame; ++i)
        f[i] = int16_t(amp * std::sin(2 * 3.141592653589793 * freq * double(tick * media::kFrame + i) / 8000));
    return f;
}

bool loud(const int16_t *x) {
    for (size_t i = 0; i < media::kFrame; ++i)
        if (std::abs(int(x[i])) > 100) return true;
    return false;
}

// One tick's packets as a token: "a" audio ("A" marked), "t" audio that
// carries sound ("T" marked), "e40" an event update of 40 ms ("E" the
// marked first), "x120" an end packet, "-" nothing; several joined by ",".
std::string token_of(const std::vector<Sent> &ps, int te_pt) {
    if (ps.empty()) return "-";
    std::string t;
    for (const auto &p : ps) {
        if (!t.empty()) t += ",";
        if (p.h.pt == te_pt) {
            rtp::ToneEvent ev;
            EXPECT_TRUE(rtp::parse_event(p.payload.data(), p.payload.size(), &ev));
            EXPECT_EQ(ev.event, 5);
            t += (ev.end ? "x" : p.h.marker ? "E" : "e") + std::to_string(ev.duration / 8);
        } else {
            std::vector<int16_t> pcm;
            for (uint8_t b : p.payload) pcm.push_back(codec::ulaw_to_linear(b));
            bool sound = pcm.size() == media::kFrame && loud(pcm.data());
            t += sound ? (p.h.marker ? "T" : "t") : (p.h.marker ? "A" : "a");
        }
    }
    return t;
}

// Key 5 through the tick. Script tokens, one per tick, done before it:
// "k" start the key, "s" stop it, "h" hold, "u" resume, "." nothing.
// Results: what the far end got in each tick (token_of) and whether the
// local speaker sounded ("#") or not (".").
TEST(EngineScripts, DtmfKeys) {
    struct Row {
        const char *what;
        int mode;  // 0 in-band, 1 events, 2 events when the peer has them
        bool te, local;
        int min_ms;
        const char *script, *sent, *heard;
    };
    const Row rows[] = {
        {"events, stopped before the minimum", 2, true, true, 120, ". k s . . . . . . . . .",
         "A E20 e40 e60 e80 e100 e120 x120 x120 x120 A a", ". # # # # # # . . . . ."},
        {"events, held past the minimum", 2, true, false, 60, ". k . . . . . . . s . . . . .",
         "A E20 e40 e60 e80 e100 e120 e140 e160 e180 x180 x180 x180 A a", ". . . . . . . . . . . . . . ."},
        {"a new key ends the last one at once", 1, true, false, 60, ". k . k s . . . . . .",
         "A E20 e40 x40,x40,x40,E20 e40 e60 x60 x60 x60 A a", ". . . . . . . . . . ."},
        {"in-band in place of the microphone", 0, true, true, 120, ". k s . . . . . .", "A t t t t t t a a",
         ". # # # # # # . ."},
        {"automatic, the peer has no events: in-band", 2, false, false, 120, ". k s . . . . . .", "A t t t t t t a a",
         ". . . . . . . . ."},
        {"events only, the peer has none: nothing sent, still heard here", 1, false, true, 120, ". k s . . . . . .",
         "A a a a a a a a a", ". # # # # # # . ."},
        {"hold sends nothing; the first packet after it is marked", 2, true, false, 0, ". . h . . u . .",
         "A a - - - A a a", ". . . . . . . ."},
    };
    const auto silence = frame_of(0);
    for (const auto &r : rows) {
        TickRig rig(1, r.te ? 101 : -1);
        uint32_t call = rig.far[0]->call;
        std::istringstream in(r.script);
        std::string tok, sent, heard;
        while (in >> tok) {
            if (tok == "k") {
                EXPECT_EQ(rig.e.start_tone(call, 5, r.local, true, r.min_ms, r.mode), SIPX_RESULT_SUCCESS);
            }
            if (tok == "s") {
                EXPECT_EQ(rig.e.stop_tone(call), SIPX_RESULT_SUCCESS);
            }
            if (tok == "h" || tok == "u") rig.e.set_hold(call, tok == "h");
            rig.tick(silence.data());
            sent += token_of(rig.take(0), r.te ? 101 : -1) + " ";
            heard += loud(rig.e.speaker_frame()) ? "# " : ". ";
        }
        sent.pop_back();
        heard.pop_back();
        EXPECT_EQ(sent, r.sent) << r.what;
        EXPECT_EQ(heard, r.heard) << r.what;
    }
    TickRig rig(1);
    EXPECT_EQ(rig.e.start_tone(rig.far[0]->call, 12, true, true, 0, 1), SIPX_RESULT_INVALID_ARGS);
    EXPECT_EQ(rig.e.start_tone(99, 5, true, true, 0, 1), SIPX_RESULT_INVALID_STATE);
}

// Levels after ten ticks of a 1 kHz microphone and a 600 Hz far end (both
// amplitude 8000, about -15 dBFS: 74.6 on the scale).
TEST(EngineScripts, LevelsFollowVolumeAndMutes) {
    struct Row {
        const char *what;
        int volume;
        bool mute_in, mute_out, far_talks;
        double in, out;
    } rows[] = {
        {"full volume", 100, false, false, true, 74.6, 74.6},
        {"half volume: -6 dB, 10 points", 50, false, false, true, 64.5, 74.6},
        {"volume 0", 0, false, false, true, 0, 74.6},
        {"below the slider's range: 0", -1, false, false, true, 0, 74.6},
        {"above it: full", 250, false, false, true, 74.6, 74.6},
        {"microphone muted", 100, true, false, true, 0, 74.6},
        {"speaker muted", 100, false, true, true, 74.6, 0},
        {"the far end silent", 100, false, false, false, 74.6, 0},
    };
    for (const auto &r : rows) {
        TickRig rig(1);
        rig.e.set_input_volume(r.volume);
        rig.e.mute_input(r.mute_in);
        rig.e.mute_output(r.mute_out);
        rig.e.input_energy();  // the program's meter asks from before the call on
        for (size_t k = 0; k < 10; ++k) {
            if (r.far_talks) rig.send(0, sine_frame(600, 8000, k).data());
            rig.tick(sine_frame(1000, 8000, k).data());
        }
        EXPECT_NEAR(rig.e.input_energy(), r.in, 0.3) << r.what;
        EXPECT_NEAR(rig.e.output_energy(), r.out, 0.5) << r.what;
    }
    // Nobody asked during the call's first ticks: the levels were not kept, and
    // read 0 at the first question, then follow three ticks later.
    TickRig rig(1);
    for (size_t k = 0; k < 13; ++k) {
        if (k == 10) {
            EXPECT_EQ(rig.e.input_energy(), 0.0);
            EXPECT_EQ(rig.e.output_energy(), 0.0);
        }
        rig.send(0, sine_frame(600, 8000, k).data());
        rig.tick(sine_frame(1000, 8000, k).data());
    }
    EXPECT_NEAR(rig.e.input_energy(), 74.6, 0.3);
    EXPECT_NEAR(rig.e.output_energy(), 74.6, 0.5);
}

// Two calls in conference 9 through the tick: each far end sends a constant
// and gets what the mix made of the microphone and the other (PCMU on both
// legs, so compared after the same coding); the speaker frame directly.
TEST(EngineScripts, ConferenceMixesThroughTheTick) {
    struct Row {
        const char *what;
        bool conf_held, bridging, hold1, hold2;
        int to1, to2;  // what each far end gets: mic + other = 3, other = 2, mic = 1, nothing = 0
        bool spk1, spk2;
    } rows[] = {
        {"each hears us and the other", false, false, false, false, 3, 3, true, true},
        {"held with bridging: each other only; the speaker leaves them", true, true, false, false, 2, 2, false, false},
        {"held without bridging: the calls are held, nothing flows", true, false, true, true, 0, 0, false, false},
        {"one party held: nobody hears it, it gets nothing", false, false, false, true, 1, 0, true, false},
    };
    auto coded = [](int v) { return int(codec::ulaw_to_linear(codec::linear_to_ulaw(int16_t(v)))); };
    const int mic = 400, v1 = 1000, v2 = 3000;
    const int d1 = coded(v1), d2 = coded(v2);
    for (const auto &r : rows) {
        TickRig rig(2);
        for (auto &f : rig.far) rig.e.set_conference(f->call, 9);
        rig.e.set_conference_mode(9, r.conf_held, r.bridging);
        rig.e.set_hold(rig.far[0]->call, r.hold1);
        rig.e.set_hold(rig.far[1]->call, r.hold2);
        const auto f1 = frame_of(v1), f2 = frame_of(v2), m = frame_of(mic);
        std::vector<Sent> got1, got2;
        for (int k = 0; k < 8; ++k) {
            rig.send(0, f1.data());
            rig.send(1, f2.data());
            rig.tick(m.data());
            got1 = rig.take(0);
            got2 = rig.take(1);
        }
        auto expect_at = [&](const std::vector<Sent> &got, int what, int other, const char *who) {
            if (what == 0) {
                EXPECT_TRUE(got.empty()) << r.what << ": " << who;
                return;
            }
            ASSERT_EQ(got.size(), 1u) << r.what << ": " << who;
            int want = coded((what & 1 ? mic : 0) + (what & 2 ? other : 0));
            EXPECT_EQ(codec::ulaw_to_linear(got[0].payload[80]), want) << r.what << ": " << who;
        };
        expect_at(got1, r.to1, d2, "far end 1");
        expect_at(got2, r.to2, d1, "far end 2");
        EXPECT_EQ(rig.e.speaker_frame()[80], (r.spk1 ? d1 : 0) + (r.spk2 ? d2 : 0)) << r.what;
    }
}

// G.729 with silence suppression: a talkspurt, then faint noise that the
// peer's encoder describes (SID) and then sends nothing for. The packet
// with the description arrives on time, or so late that its audio has
// already been concealed (a busy sender or network): either way the
// speaker then plays comfort noise, not silence.
TEST(EngineScripts, ComfortNoiseEvenWhenTheSilenceDescriptionComesLate) {
    if (!codec::find("G729")) GTEST_SKIP() << "built without callctl/dsp";
    struct Packet {
        uint32_t ts;
        std::vector<uint8_t> data;
        bool marker, silence;
    };
    // The peer's packets by the tick they belong to.
    std::vector<std::vector<Packet>> peer(60);
    auto enc = codec::make("G729", "");
    uint32_t rng = 1;
    size_t sid_tick = 0;
    for (size_t k = 0; k < peer.size(); ++k) {
        std::vector<int16_t> f = sine_frame(1000, 8000, k);
        if (k >= 15)
            for (auto &x : f) {
                rng = rng * 1103515245u + 12345u;
                x = int16_t(int((rng >> 16) % 301) - 150);
            }
        codec::Packet pk[2];
        int n = enc->encode_packets(f.data(), pk);
        for (int i = 0; i < n; ++i) {
            peer[k].push_back({uint32_t(k * 160 + pk[i].offset), {pk[i].data, pk[i].data + pk[i].size},
                               pk[i].talkspurt, pk[i].silence});
            if (pk[i].silence && !sid_tick) sid_tick = k;
        }
    }
    ASSERT_GT(sid_tick, 15u) << "the encoder described the noise";
    for (int delay : {0, 6}) {
        TickRig rig(1, 101, {18, "G729"});
        std::vector<Packet> held;
        int silent = 0, quiet_ticks = 0;
        const auto mic = frame_of(0);
        for (size_t k = 0; k < peer.size(); ++k) {
            for (const auto &p : peer[k]) {
                if (delay && k == sid_tick) {
                    held.push_back(p);
                } else {
                    rig.send_rtp(0, 18, p.ts, p.data.data(), p.data.size(), p.marker);
                }
            }
            if (delay && k == sid_tick + size_t(delay))
                for (const auto &p : held) rig.send_rtp(0, 18, p.ts, p.data.data(), p.data.size(), p.marker);
            rig.tick(mic.data());
            // From 200 ms after the description: what the speaker plays.
            if (k >= sid_tick + 10) {
                ++quiet_ticks;
                const int16_t *s = rig.e.speaker_frame();
                if (std::all_of(s, s + media::kFrame, [](int16_t x) { return x == 0; })) ++silent;
            }
        }
        media::Engine::StreamInfo info;
        ASSERT_TRUE(rig.e.stream_info(rig.far[0]->call, &info));
        EXPECT_GT(quiet_ticks, 20) << "delay " << delay;
        EXPECT_EQ(silent, 0) << "delay " << delay << ": comfort noise, not silence";
        EXPECT_GT(info.comfort_noise, 10u) << "delay " << delay;
        EXPECT_GE(info.received_silence, 1u) << "delay " << delay;
    }
}

// Packets out of order, each in before its turn, and one lost: the speaker
// plays, sample for sample, what a decoder of its own makes of the packets
// in their order with its concealment of the lost one (for G.729 two frame
// erasures) at its place, once. Each window of packets is sent at once in
// the order given, in the tick of its first (the delay never changes).
TEST(EngineScripts, PacketsAreDecodedInTheirOrderAndLossConcealedAtItsPlace) {
    struct Row {
        const char *what, *codec;
        int pt;
        std::vector<int> order;  // within a window
        int lost;                // the packet lost, -1 none
    };
    const Row rows[] = {
        {"G.729 in order", "G729", 18, {0}, -1},
        {"G.729 pairs swapped", "G729", 18, {1, 0}, -1},
        {"G.729 three shuffled", "G729", 18, {2, 0, 1}, -1},
        {"G.729 one lost", "G729", 18, {0}, 13},
        {"G.729 one lost, three shuffled", "G729", 18, {2, 0, 1}, 13},
        {"G.711 pairs swapped", "PCMU", 0, {1, 0}, -1},
        {"G.711 one lost, three shuffled", "PCMU", 0, {2, 0, 1}, 13},
    };
    const int n = 30;  // fewer than the 50 frames after which concealment adds the background's noise
    const auto mic = frame_of(0);
    for (const auto &r : rows) {
        if (!codec::find(r.codec)) continue;
        auto enc = codec::make(r.codec, "annexb=no"), ref = codec::make(r.codec);
        std::vector<std::vector<uint8_t>> pk(n);
        std::vector<int16_t> want;
        for (int k = 0; k < n; ++k) {
            int16_t pcm[160];
            uint8_t pl[codec::kMaxPayload];
            voiced(pcm, k, 61);
            pk[size_t(k)].assign(pl, pl + enc->encode(pcm, pl));
            if (k == r.lost) {
                ASSERT_TRUE(ref->conceal(pcm, 160));
            } else {
                ASSERT_EQ(ref->decode(pl, pk[size_t(k)].size(), pcm, 160), 160);
                ref->played(pcm, 160);
            }
            want.insert(want.end(), pcm, pcm + 160);
        }
        TickRig rig(1, 101, {r.pt, r.codec});
        const int w = int(r.order.size());
        std::vector<int16_t> got;
        for (int k = 0; k < n + 10 && got.size() < want.size(); ++k) {
            for (int i : r.order)
                if (k % w == 0 && k + i < n && k + i != r.lost)
                    rig.send_rtp(0, r.pt, uint32_t(k + i) * 160, pk[size_t(k + i)].data(), pk[size_t(k + i)].size(),
                                 k + i == 0);
            rig.tick(mic.data());
            const int16_t *s = rig.e.speaker_frame();
            if (!got.empty() || std::any_of(s, s + media::kFrame, [](int16_t x) { return x != 0; }))
                got.insert(got.end(), s, s + media::kFrame);
        }
        ASSERT_EQ(got.size(), want.size()) << r.what;
        const size_t first_wrong = size_t(std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin());
        EXPECT_EQ(first_wrong, want.size()) << r.what << ": first wrong sample in frame " << first_wrong / 160;
        media::Engine::StreamInfo info;
        ASSERT_TRUE(rig.e.stream_info(rig.far[0]->call, &info));
        EXPECT_EQ(info.concealed, r.lost < 0 ? 0u : 1u) << r.what;
    }
}

// ---- symmetric RTP and the peer's liveness -----------------------------------------

// One call and the sockets around it: P the peer's described port (and its
// RTCP port), N its NAT's new port, F a forger's port and G a stranger's
// address (127.0.0.2), Q the address a re-INVITE describes. Script tokens,
// one per tick, their letters done in order before it: "p" the peer's audio
// from P, "n" the same stream from N, "f" a forger's audio from F (its own
// SSRC, numbers in a row), "j" the same with every other number skipped,
// "g" a stranger's audio from G, "k" the same skipping numbers, "R" the description now gives Q, "q" audio
// of the stream behind Q; from P: "c" comfort noise (type 13, never
// offered), "u" a format not negotiated, "x" a datagram that is not RTP;
// to P's RTCP port: "r" a report, "b" a datagram that is not RTCP; "."
// nothing. Results per tick: where our packet went, and what the speaker
// played: "p" the peer (its level), "f" a forger or stranger, "q" Q's
// stream, "." silence, "~" anything else (concealment); a stream's first
// packet plays a tick after it came (the jitter buffer's start). At the
// end, how long the peer has been quiet for the media timeout: 15 ms when
// the last tick's datagram counted (it came 5 ms into that tick).
TEST(EngineScripts, SymmetricRtpFollowsASourceOnlyAfterProbation) {
    struct Row {
        const char *what;
        const char *script, *sent, *heard;
        int64_t quiet;
    };
    const Row rows[] = {
        {"the peer from its described port: answered and played at once", "p p p p", "P P P P", ". p p p", 15},
        {"one forged packet from another port: not heard, not followed", "p pf p p p", "P P P P P", ". p p p p", 15},
        {"three forged packets in a row while the peer is silent: still not followed", "f f f . .", "P P P P P",
         ". . . . .", 55},
        {"forged numbers that skip: never a source", "j j j j j j", "P P P P P P", ". . . . . .", 15},
        {"a forger's stream while the peer talks: never taken, never heard", "pf pf pf pf pf pf pf pf",
         "P P P P P P P P", ". p p p p p p p", 15},
        {"a stranger's stream from another address while the peer talks: the same", "pg pg pg pg pg pg",
         "P P P P P P", ". p p p p p", 15},
        {"the peer's NAT moves it: followed at the fourth packet, not heard before", "p p n n n n n n",
         "P P P P P N N N", ". p p ~ ~ ~ p p", 15},
        {"the peer behind a NAT from the start", "n n n n n n", "P P P N N N", ". . . . p p", 15},
        {"a new stream while the described port stays silent: taken at the fourth packet", "g g g g g",
         "P P P G G", ". . . . f", 15},
        {"a re-INVITE's address is trusted at once; the old source, still sending, is not taken back",
         "p p Rp pq pq pq pq pq", "P P Q Q Q Q Q Q", ". p p . q q q q", 15},
        {"a re-INVITE's address that stays silent: the old source is followed again once it has been quiet",
         "p p Rp p p p p p p p p p p p p p p p", "P P Q Q Q Q Q Q Q Q Q Q Q Q Q P P P",
         // (G.711's concealment fades out within 50 ms: three frames of it)
         ". p p ~ ~ ~ . . . . . . . . . . p p", 15},
        // What keeps the call alive.
        {"comfort noise only", "c c c c", "P P P P", ". . . .", 15},
        {"a format not negotiated only", "u u u u", "P P P P", ". . . .", 15},
        {"RTCP only", "r r r r", "P P P P", ". . . .", 15},
        {"RTCP that does not parse", "b b b b", "P P P P", ". . . .", 15},
        {"RTP that does not parse", "x x x x", "P P P P", ". . . .", 15},
        {"nothing", ". . . .", "P P P P", ". . . .", 80},
        {"a stranger from another address: nothing from the peer", "k k k k", "P P P P", ". . . .", 80},
    };
    auto coded = [](int v) { return int(codec::ulaw_to_linear(codec::linear_to_ulaw(int16_t(v)))); };
    const auto mic = frame_of(0);
    const uint8_t junk[3] = {1, 2, 3};
    uint8_t buf_ping[1];
    for (const auto &r : rows) {
        TickRig rig(1);
        FarEnd &far = *rig.far[0];
        UdpSocket nat, forger, moved, stranger;
        ASSERT_TRUE(nat.open(0x7f000001, 0) && forger.open(0x7f000001, 0) && moved.open(0x7f000001, 0));
        ASSERT_TRUE(stranger.open(0x7f000002, 0)) << "another loopback address";
        {
            // Wine binds such a socket to every address, and its datagrams come
            // from 127.0.0.1: the stranger's rows need a real Windows or Linux.
            const uint8_t ping = 0;
            Endpoint seen;
            UdpSocket *s1[] = {&nat};
            bool ready = false;
            ASSERT_TRUE(stranger.send_to({0x7f000001, nat.local_port()}, &ping, 1));
            ASSERT_TRUE(wait_readable(s1, 1, 2000, &ready) && ready && nat.recv_from(buf_ping, 1, &seen) == 1);
            if (seen.ip != 0x7f000002 && std::string(r.script).find_first_of("gk") != std::string::npos) {
                std::printf("[ skipped ] %s: datagrams from 127.0.0.2 arrive from %s here\n", r.what,
                            seen.ip_text().c_str());
                continue;
            }
        }
        // A stream: where from, its SSRC, next number, step and audio level.
        struct Source {
            UdpSocket *sock;
            uint32_t ssrc;
            uint16_t seq;
            int step, level;
        } peer{&far.rtp, 0x5eed, 100, 1, 1000}, forged{&forger, 0xbad, 7000, 1, 8000},
            skipping{&forger, 0xbad, 7000, 2, 8000}, strange{&stranger, 0xbad2, 9000, 1, 8000},
            strange_skipping{&stranger, 0xbad2, 9000, 2, 8000}, behind_q{&moved, 0x9e, 300, 1, 3000};
        auto datagram = [&](UdpSocket &from, uint16_t to, const uint8_t *d, size_t n) {
            ASSERT_TRUE(from.send_to({0x7f000001, to}, d, n));
            rig.e.receive(200, rig.now + 5);
        };
        auto rtp_from = [&](Source &src, UdpSocket *sock, int pt, size_t len) {
            std::vector<uint8_t> pl(len, codec::linear_to_ulaw(int16_t(src.level)));
            rtp::Header h;
            h.pt = uint8_t(pt);
            h.seq = src.seq;
            h.ts = uint32_t(src.seq) * 160;
            h.ssrc = src.ssrc;
            src.seq = uint16_t(src.seq + src.step);
            uint8_t pkt[rtp::kMaxPacket];
            datagram(*sock, far.port, pkt, rtp::write(h, pl.data(), pl.size(), pkt, sizeof pkt));
        };
        std::istringstream in(r.script);
        std::string tok, sent, heard;
        while (in >> tok) {
            for (char c : tok) {
                if (c == 'p' || c == 'c' || c == 'u') rtp_from(peer, peer.sock, c == 'p' ? 0 : c == 'c' ? 13 : 99, 160);
                if (c == 'n') rtp_from(peer, &nat, 0, 160);
                if (c == 'f') rtp_from(forged, forged.sock, 0, 160);
                if (c == 'j') rtp_from(skipping, skipping.sock, 0, 160);
                if (c == 'g') rtp_from(strange, strange.sock, 0, 160);
                if (c == 'k') rtp_from(strange_skipping, strange_skipping.sock, 0, 160);
                if (c == 'q') rtp_from(behind_q, behind_q.sock, 0, 160);
                if (c == 'x') datagram(far.rtp, far.port, junk, sizeof junk);
                if (c == 'b') datagram(far.rtcp, uint16_t(far.port + 1), junk, sizeof junk);
                if (c == 'r') {
                    uint8_t buf[256];
                    size_t n = rtp::write_compound(0x5eed, nullptr, nullptr, "peer", false, buf, sizeof buf);
                    datagram(far.rtcp, uint16_t(far.port + 1), buf, n);
                }
                if (c == 'R') {
                    media::StreamParams p;
                    p.rtp = {0x7f000001, moved.local_port()};
                    p.rtcp = {0x7f000001, uint16_t(moved.local_port() + 1)};
                    p.audio = {{0, "PCMU"}};
                    p.te_pt = 101;
                    p.send = p.recv = true;
                    rig.e.configure(far.call, p, rig.now + 5);
                }
            }
            rig.tick(mic.data());
            // Where the tick's packet went (it is there at once on loopback).
            UdpSocket *socks[] = {&far.rtp, &nat, &forger, &moved, &stranger};
            const char *names = "PNFQG";
            bool ready[5];
            std::string to;
            if (wait_readable(socks, 5, 20, ready))
                for (size_t i = 0; i < 5; ++i) {
                    uint8_t buf[1500];
                    Endpoint from;
                    while (ready[i] && socks[i]->recv_from(buf, sizeof buf, &from) > 0)
                        if (to.find(names[i]) == std::string::npos) to += names[i];
                }
            sent += (to.empty() ? "-" : to) + " ";
            const int16_t *spk = rig.e.speaker_frame();
            const int v = spk[80];
            heard += std::all_of(spk, spk + media::kFrame, [](int16_t x) { return x == 0; }) ? ". "
                     : v == coded(1000)                                                     ? "p "
                     : v == coded(8000)                                                     ? "f "
                     : v == coded(3000)                                                     ? "q "
                                                                                            : "~ ";
        }
        sent.pop_back();
        heard.pop_back();
        EXPECT_EQ(sent, r.sent) << r.what;
        EXPECT_EQ(heard, r.heard) << r.what;
        EXPECT_EQ(rig.e.quiet_ms(far.call, rig.now), r.quiet) << r.what;
    }
}

// ---- the audio summary of a call's end --------------------------------------------

void keep_line(int, const char *line, void *user) { static_cast<std::vector<std::string> *>(user)->push_back(line); }

// One tick sends one packet and the first report (the clock set past its
// time); the peer may answer with a report. The summary names the round trip
// only when a report was about our packets.
TEST(AudioSummary, RoundTripOnlyFromAReportOnOurPackets) {
    struct Row {
        const char *what;
        bool report;
        bool about_us;
        bool known;
    } rows[] = {
        {"no report", false, false, false},
        {"a report on another source", true, false, false},
        {"a report on our packets", true, true, true},
    };
    ASSERT_TRUE(net_startup());
    for (const auto &row : rows) {
        UdpSocket rtp_in, rtcp_in;
        ASSERT_TRUE(rtp_in.open(0x7f000001, 0));
        ASSERT_TRUE(rtcp_in.open(0x7f000001, 0));
        media::Engine e;  // no media thread: driven by tick and receive
        uint16_t port = e.open_stream(7, 0x7f000001, 42000, 200);
        ASSERT_NE(port, 0);
        media::StreamParams p;
        p.rtp = {0x7f000001, rtp_in.local_port()};
        p.rtcp = {0x7f000001, rtcp_in.local_port()};
        p.audio = {{0, "PCMU"}};
        p.send = p.recv = true;
        e.configure(7, p);
        int16_t mic[media::kFrame] = {};
        e.tick(mic, now_ms() + 10000);
        uint8_t buf[1500];
        Endpoint from;
        UdpSocket *socks[] = {&rtcp_in};
        bool ready[1];
        ASSERT_TRUE(wait_readable(socks, 1, 2000, ready) && ready[0]);
        int n = rtcp_in.recv_from(buf, sizeof buf, &from);
        rtp::Rtcp sr;
        ASSERT_TRUE(n > 0 && rtp::parse_rtcp(buf, size_t(n), &sr) && sr.has_sr);
        if (row.report) {
            rtp::ReportBlock rb;
            rb.ssrc = row.about_us ? sr.ssrc : sr.ssrc + 1;
            rb.lsr = uint32_t(sr.sr.ntp >> 16);
            size_t len = rtp::write_compound(0x5eed, nullptr, &rb, "peer", false, buf, sizeof buf);
            ASSERT_TRUE(rtcp_in.send_to({0x7f000001, uint16_t(port + 1)}, buf, len));
            e.receive(2000);
        }
        std::vector<std::string> lines;
        ASSERT_EQ(log::set_sink(SIPX_LOG_INFO, nullptr, keep_line, &lines), SIPX_RESULT_SUCCESS);
        e.close_stream(7);
        log::set_sink(SIPX_LOG_NONE, nullptr, nullptr, nullptr);
        ASSERT_EQ(lines.size(), 1u) << row.what;
        const std::string start = "call 7 audio: PCMU, RTP sent 1, received 0, lost 0, jitter 0 ms, round trip ";
        ASSERT_EQ(lines[0].compare(0, start.size(), start), 0) << lines[0];
        std::string rtt = lines[0].substr(start.size());
        if (row.known) {
            EXPECT_LT(std::atoi(rtt.c_str()), 100) << rtt;
        }
        EXPECT_EQ(rtt.compare(0, 7, "unknown") != 0, row.known) << row.what << ": " << rtt;
        EXPECT_EQ(rtt.substr(rtt.find(';')), "; microphone none, speaker none; device failures: microphone 0, speaker 0");
    }
    net_cleanup();
}

}  // namespace

// The quality figure: no loss and a short path is five bars for either codec; more
// loss or a longer path never gives more bars; G.729 hides loss worse than G.711
// with concealment; a round trip not yet known counts as none.
TEST(CallQuality, BarsFallWithLossAndDelayAndNeverRise) {
    struct Row {
        bool g729;
        int rtt;
        int buffer;
        int bars_clean;  // at 0 % loss
        int bars_10;     // at 10 %
    } rows[] = {
        {false, -1, 40, 5, 3},    // R 92 clean, 65 at 10 %
        {false, 60, 40, 5, 3},
        {true, 60, 40, 4, 2},     // G.729's own impairment: R 80 clean
        {false, 700, 40, 2, 1},   // 410 ms mouth to ear: R 58 clean
        {true, 700, 200, 1, 1},
    };
    for (const Row &r : rows) {
        auto at = [&](double loss, int rtt, int buffer) {
            media::QualityFigures f;
            f.lost_percent = loss;
            f.round_trip_ms = rtt;
            f.buffer_ms = buffer;
            f.g729 = r.g729;
            return media::estimate_quality(f);
        };
        EXPECT_EQ(at(0, r.rtt, r.buffer).bars, r.bars_clean) << r.g729 << " " << r.rtt;
        EXPECT_EQ(at(10, r.rtt, r.buffer).bars, r.bars_10) << r.g729 << " " << r.rtt;
        int last = 6;
        double last_mos = 5;
        for (double loss = 0; loss <= 40; loss += 0.5) {
            media::Quality q = at(loss, r.rtt + int(loss * 10), r.buffer);
            EXPECT_LE(q.bars, last) << loss;
            EXPECT_LE(q.mos, last_mos + 1e-9) << loss;
            EXPECT_GE(q.bars, 1);
            last = q.bars;
            last_mos = q.mos;
        }
    }
    media::QualityFigures g711, g729;
    g729.g729 = true;
    g711.lost_percent = g729.lost_percent = 5;
    EXPECT_GT(media::estimate_quality(g711).r, media::estimate_quality(g729).r);
}

// Through the engine: the figure of each look covers only the audio since the last
// one, so a lossy stretch shows while it lasts and the figure recovers after it.
TEST(CallQuality, EachLookCoversTheAudioSinceThePreviousOne) {
    TickRig rig(1);
    const std::vector<int16_t> tone = sine_frame(440, 6000, 0);
    struct Stretch {
        int ticks;
        int drop_every;  // 0: none dropped
        int min_bars, max_bars;
        double min_lost, max_lost;
    } stretches[] = {
        {150, 0, 5, 5, 0, 1},
        {150, 5, 1, 2, 15, 25},
        {150, 0, 5, 5, 0, 1},
    };
    media::Engine::CallQuality q;
    ASSERT_TRUE(rig.e.call_quality(rig.far[0]->call, &q));
    EXPECT_FALSE(q.heard);
    EXPECT_EQ(q.bars, 0);
    for (const Stretch &s : stretches) {
        for (int k = 0; k < s.ticks; ++k) {
            if (s.drop_every && k % s.drop_every == 2) ++rig.far[0]->seq;  // lost on the way
            else rig.send(0, tone.data());
            rig.tick(tone.data());
        }
        ASSERT_TRUE(rig.e.call_quality(rig.far[0]->call, &q));
        EXPECT_TRUE(q.heard);
        EXPECT_GE(q.bars, s.min_bars) << s.drop_every;
        EXPECT_LE(q.bars, s.max_bars) << s.drop_every;
        EXPECT_GE(q.lost_percent, s.min_lost) << s.drop_every;
        EXPECT_LE(q.lost_percent, s.max_lost) << s.drop_every;
    }
    EXPECT_FALSE(rig.e.call_quality(999, &q));
}
