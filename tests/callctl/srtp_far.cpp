#include "srtp_far.h"

#include <srtp2/srtp.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>

#include "codec/codec.h"
#include "rtp/rtp.h"

namespace testing_callctl {

namespace {
const std::string kB64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string b64(const std::vector<uint8_t> &d) {
    std::string s;
    for (size_t i = 0; i < d.size(); i += 3) {
        uint32_t v = uint32_t(d[i]) << 16 | (i + 1 < d.size() ? uint32_t(d[i + 1]) << 8 : 0) |
                     (i + 2 < d.size() ? d[i + 2] : 0);
        for (int k = 0; k < 4; ++k) s += i + size_t(k) <= d.size() ? kB64[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return s;
}

std::vector<uint8_t> unb64(const std::string &t) {
    std::vector<uint8_t> out;
    if (t.size() % 4) return {};
    for (size_t i = 0; i < t.size(); i += 4) {
        uint32_t v = 0;
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            size_t at = kB64.find(t[i + size_t(k)]);
            if (t[i + size_t(k)] == '=' && i + 4 == t.size() && k >= 2) ++pad, at = 0;
            else if (at == std::string::npos || pad) return {};
            v = v << 6 | uint32_t(at);
        }
        for (int k = 0; k < 3 - pad; ++k) out.push_back(uint8_t(v >> (16 - 8 * k)));
    }
    return out;
}

std::vector<uint8_t> test_key(int seed) {
    std::vector<uint8_t> k(30);
    for (size_t i = 0; i < k.size(); ++i) k[i] = uint8_t(seed * 37 + int(i) * 11 + 5);
    return k;
}

std::map<int, CryptoLine> crypto_lines(const std::string &msg) {
    std::map<int, CryptoLine> out;
    for (size_t at = msg.find("a=crypto:"); at != std::string::npos; at = msg.find("a=crypto:", at + 1)) {
        std::string line = msg.substr(at + 9, msg.find("\r\n", at) - at - 9);
        int tag = std::atoi(line.c_str());
        CryptoLine c;
        size_t sp = line.find(' ');
        c.suite = line.substr(sp + 1, line.find(' ', sp + 1) - sp - 1);
        size_t in = line.find("inline:");
        if (in != std::string::npos) {
            c.inline_value = line.substr(in + 7, line.find(' ', in) - in - 7);
            c.key = unb64(c.inline_value.substr(0, c.inline_value.find('|')));
        }
        out[tag] = c;
    }
    return out;
}

std::string savp_sdp(int port, const std::string &extra) {
    return "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " + std::to_string(port) +
           " RTP/SAVP 0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n" + extra;
}

std::string crypto_attr(int tag, const std::string &suite, const std::vector<uint8_t> &key, const std::string &rest) {
    return "a=crypto:" + std::to_string(tag) + " " + suite + " inline:" + b64(key) + rest + "\r\n";
}

FarSrtp::FarSrtp(bool sender, const std::string &suite, const std::vector<uint8_t> &key) {
    static std::once_flag once;
    std::call_once(once, [] { srtp_init(); });
    srtp_policy_t p;
    std::memset(&p, 0, sizeof p);
    if (suite == k32) srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&p.rtp);
    else srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&p.rtp);
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&p.rtcp);
    p.ssrc.type = sender ? ssrc_any_outbound : ssrc_any_inbound;
    std::vector<uint8_t> k = key;
    k.resize(30);
    p.key = k.data();
    p.window_size = 128;
    srtp_t s = nullptr;
    if (key.size() == 30 && srtp_create(&s, &p) == srtp_err_status_ok) session_ = s;
}

FarSrtp::~FarSrtp() {
    if (session_) srtp_dealloc(static_cast<srtp_t>(session_));
}

std::vector<uint8_t> FarSrtp::protect(std::vector<uint8_t> pkt, bool rtcp) {
    int n = int(pkt.size());
    pkt.resize(pkt.size() + SRTP_MAX_TRAILER_LEN + 4);
    srtp_t s = static_cast<srtp_t>(session_);
    if (!s || (rtcp ? srtp_protect_rtcp(s, pkt.data(), &n) : srtp_protect(s, pkt.data(), &n)) != srtp_err_status_ok)
        return {};
    pkt.resize(size_t(n));
    return pkt;
}

bool FarSrtp::unprotect(std::vector<uint8_t> *pkt, bool rtcp) {
    int n = int(pkt->size());
    srtp_t s = static_cast<srtp_t>(session_);
    if (!s || (rtcp ? srtp_unprotect_rtcp(s, pkt->data(), &n) : srtp_unprotect(s, pkt->data(), &n)) !=
                  srtp_err_status_ok)
        return false;
    pkt->resize(size_t(n));
    return true;
}

std::vector<uint8_t> pcmu_packet(uint16_t seq, uint32_t ts, uint32_t ssrc, double freq, size_t *phase) {
    uint8_t pl[160];
    for (auto &b : pl) {
        b = callctl::codec::linear_to_ulaw(int16_t(8000 * std::sin(2 * 3.141592653589793 * freq * double(*phase) / 8000)));
        ++*phase;
    }
    callctl::rtp::Header h;
    h.pt = 0;
    h.seq = seq;
    h.ts = ts;
    h.ssrc = ssrc;
    uint8_t pkt[256];
    size_t n = callctl::rtp::write(h, pl, sizeof pl, pkt, sizeof pkt);
    return std::vector<uint8_t>(pkt, pkt + n);
}

namespace {
const SIPX_CALL_OPTIONS kCallOptions = {20, 1, 1, 1, 0};
}

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

FarMedia::FarMedia() {
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

void FarMedia::start(const callctl::Endpoint &to, const std::string &suite, const std::vector<uint8_t> &key,
                     double freq) {
    stop();
    sender_ = std::make_unique<FarSrtp>(true, suite, key);
    quit_ = false;
    thread_ = std::thread([this, to, freq] {
        auto next = std::chrono::steady_clock::now();
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
            next += std::chrono::milliseconds(20);
            std::this_thread::sleep_until(next);
        }
    });
}

void FarMedia::stop() {
    quit_ = true;
    if (thread_.joinable()) thread_.join();
}

std::vector<uint8_t> FarMedia::last_sent() {
    std::lock_guard<std::mutex> g(m_);
    return last_;
}

::testing::AssertionResult secure_call(Phone &ph, RawPeer &peer, const std::string &answer_sdp, SecureCall *c,
                                       const std::string &extra) {
    SIPX_LINE line = ph.add_line("8001", peer.port());
    std::string to = "sip:00867551234567@127.0.0.1:" + std::to_string(peer.port());
    if (sipxCallCreate(ph.inst, line, &c->call) != SIPX_RESULT_SUCCESS ||
        sipxCallConnect(c->call, to.c_str(), 0, nullptr, 1, &kCallOptions, nullptr) != SIPX_RESULT_SUCCESS)
        return ::testing::AssertionFailure() << "no call";
    if (!peer.next("INVITE", 3000, &c->invite, &c->from)) return ::testing::AssertionFailure() << "no INVITE";
    c->offered = crypto_lines(c->invite);
    size_t m = c->invite.find("m=audio ");
    c->media = callctl::Endpoint{0x7f000001, uint16_t(std::atoi(c->invite.c_str() + m + 8))};
    peer.reply(c->invite, c->from, 200,
               "Contact: <sip:callee@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n" + extra, answer_sdp);
    if (!peer.next("ACK", 2000, &c->ack)) return ::testing::AssertionFailure() << "no ACK";
    return ::testing::AssertionSuccess();
}

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

Heard heard(const RtpProbe &probe, const std::string &suite, const std::vector<uint8_t> &key, size_t only_size) {
    Heard h;
    FarSrtp rx(false, suite, key);
    for (const auto &p : probe.packets()) {
        if (only_size && p.payload.size() != only_size) continue;
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


}  // namespace testing_callctl
