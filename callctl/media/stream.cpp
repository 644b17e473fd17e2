// A stream's setup, what it receives and what it tells about itself; its
// sending half is in stream_send.cpp.
#include "stream.h"

#include <cstring>

#include "../base/log.h"
#include "quality.h"

namespace callctl::media {

Stream::Stream(uint32_t call) : call_(call) {
    jb_.set_comfort_noise([this](int16_t *pcm, size_t n) { return last_dec_ && last_dec_->comfort_noise(pcm, n); });
    // The jitter buffer keeps the payloads and has them decoded in playout
    // order; the decoder of the last one decoded conceals what is lost
    // (G.711: spandsp's, G.729: its own), seeing what plays.
    jb_.set_decoder([this](int pt, const uint8_t *payload, size_t size, int16_t *pcm, size_t n) {
        codec::AudioCodec *dec = decoder(pt);
        if (!dec) return -1;  // its format was dropped since the packet came
        last_dec_ = dec;
        return dec->decode(payload, size, pcm, n);
    });
    jb_.set_concealment(
        [this](int16_t *pcm, size_t n) {
            if (last_dec_) last_dec_->played(pcm, n);
        },
        [this](int16_t *pcm, size_t n) { return last_dec_ && last_dec_->conceal(pcm, n); });
}

Stream::~Stream() {
    wipe(&send_key_, sizeof send_key_);
    wipe(&recv_key_, sizeof recv_key_);
}

bool Stream::bind(uint32_t bind_ip, uint16_t first_port, int pairs, uint16_t *cursor) {
    uint32_t first = first_port & ~1u;
    if (pairs < 1) pairs = 1;
    for (int i = 0; i < pairs; ++i) {
        uint32_t port = first + 2u * ((*cursor + uint32_t(i)) % uint32_t(pairs));
        if (port + 1 > 65535) continue;
        if (!rtp_.open(bind_ip, uint16_t(port))) continue;
        if (!rtcp_.open(bind_ip, uint16_t(port + 1))) {
            rtp_.close();
            continue;
        }
        *cursor = uint16_t((*cursor + uint32_t(i) + 1) % uint32_t(pairs));
        break;
    }
    if (!rtp_.is_open()) {
        CALLCTL_LOG(log::Warning, "call %u: no free RTP/RTCP port pair among %d from %u", unsigned(call_), pairs,
                    unsigned(first));
        return false;
    }
    ssrc_ = random_u32();
    seq_ = uint16_t(random_u32());
    ts_ = random_u32();
    cname_ = "callctl-" + random_token(8);
    return true;
}

void Stream::configure(const StreamParams &p, int64_t now) {
    bool addr_changed = !configured_ || p.rtp != p_.rtp;
    if (p.recv && (!configured_ || !p_.recv)) last_heard_ = now;
    p_ = p;
    set_keys(p.srtp);
    p_.srtp = sdp::SrtpKeys();  // the keys are kept once, in send_key_ and recv_key_
    if (addr_changed) {
        // The description's address is trusted at once; the source we sent
        // to before (it may still send for a while) takes over again only as
        // a stranger would, after the new address has been quiet.
        left_ = configured_ ? send_to_ : Endpoint();
        source_heard_ = configured_ ? now : 0;
        send_to_ = p.rtp;
        rtcp_to_ = p.rtcp;
        latched_ = false;
        cand_ = Candidate();
    }
    // Decoders for every format the peer may send, and for no other: those
    // of formats an earlier offer had are released.
    for (auto it = dec_.begin(); it != dec_.end();) {
        bool kept = false;
        for (const auto &f : p.audio) kept = kept || (f.pt == it->first && dec_codec_[it->first] == f.codec);
        if (kept) {
            ++it;
            continue;
        }
        if (last_dec_ == it->second.get()) last_dec_ = nullptr;
        dec_codec_.erase(it->first);
        it = dec_.erase(it);
    }
    cached_pt_ = -1;  // the decoders may change
    cached_dec_ = nullptr;
    for (const auto &f : p.audio)
        if (!dec_.count(f.pt)) {
            dec_[f.pt] = codec::make(f.codec);
            dec_codec_[f.pt] = f.codec;
        }
    if (!p.audio.empty() &&
        (p.audio.front().codec != enc_name_ || p.audio.front().pt != send_pt_ || p.send_fmtp != enc_fmtp_)) {
        enc_ = codec::make(p.audio.front().codec, p.send_fmtp);
        enc_name_ = p.audio.front().codec;
        enc_fmtp_ = p.send_fmtp;
        send_pt_ = p.audio.front().pt;
        marker_ = true;
    }
    // RFC 3550 6.2: the first report after half the interval, randomised
    // by a factor 0.5-1.5.
    const int64_t iv = Engine::kRtcpIntervalMs;
    if (!configured_) next_rtcp_ = now + iv / 4 + int64_t(random_u32() % (iv / 2));
    configured_ = true;
}

namespace {
rtp::SrtpProfile profile_of(sdp::SrtpSuite s) {
    return s == sdp::SrtpSuite::AesCm128HmacSha1_32 ? rtp::SrtpProfile::Aes128Sha1_32 : rtp::SrtpProfile::Aes128Sha1_80;
}
}  // namespace

void Stream::set_keys(const sdp::SrtpKeys &k) {
    // Both or neither: a stream never sends in the clear what it was to
    // protect, nor takes cleartext while it expects SRTP.
    sdp::SrtpKeys want = k.on() ? k : sdp::SrtpKeys();
    if (want.send != send_key_) {
        send_key_ = want.send;
        send_srtp_.stop();
        if (send_key_.on() &&
            !send_srtp_.start(rtp::SrtpContext::Dir::Send, profile_of(send_key_.suite), send_key_.master))
            CALLCTL_LOG(log::Warning, "call %u: no SRTP session for sending: nothing is sent", unsigned(call_));
        marker_ = true;
    }
    if (want.recv != recv_key_) {
        recv_key_ = want.recv;
        recv_srtp_.stop();
        if (recv_key_.on() && !recv_srtp_.start(rtp::SrtpContext::Dir::Receive, profile_of(recv_key_.suite),
                                                recv_key_.master, recv_key_.window))
            CALLCTL_LOG(log::Warning, "call %u: no SRTP session for receiving: nothing is played", unsigned(call_));
    }
    wipe(&want, sizeof want);
}

bool Stream::send_packet(UdpSocket &sock, const Endpoint &to, uint8_t *pkt, size_t len, size_t cap, bool rtcp) {
    if (send_key_.on()) {
        bool ok = rtcp ? send_srtp_.protect_rtcp(pkt, &len, cap) : send_srtp_.protect_rtp(pkt, &len, cap);
        if (!ok) {
            if (!protect_failed_)
                CALLCTL_LOG(log::Warning, "call %u: a packet could not be protected (SRTP); it was not sent",
                            unsigned(call_));
            protect_failed_ = true;
            return false;
        }
    }
    return sock.send_to(to, pkt, len);
}

bool Stream::unprotect(uint8_t *d, size_t *n, bool rtcp) {
    if (!recv_key_.on()) return true;
    auto r = rtcp ? recv_srtp_.unprotect_rtcp(d, n) : recv_srtp_.unprotect_rtp(d, n);
    if (r == rtp::SrtpContext::Result::Ok) return true;
    if (r == rtp::SrtpContext::Result::Replayed) ++srtp_replayed_;
    else ++srtp_auth_failed_;
    return false;
}

void Stream::set_hold(bool held, int64_t now) {
    if (held_ && !held) {
        marker_ = true;
        last_heard_ = now;
    }
    held_ = held;
}

int64_t Stream::quiet_ms(int64_t now, bool *may_pause) const {
    if (!active() || held_ || !p_.recv) return -1;
    if (may_pause) *may_pause = enc_name_ == "G729" && rtcp_received_ == 0;
    return now - last_heard_;
}

void Stream::finish(int64_t now) {
    dead_ = true;
    if (configured_ && p_.rtcp.port) send_rtcp(true, now);
    if (tone_.active && tone_.rfc && tone_.ends_left == 0 && send_to_.port) {
        // A tone still on when the call ends: its end, so the peer stops it.
        tone_.ends_left = 3;
        for (int i = 0; i < 3; ++i) send_event(true);
    }
    rec_.reset();
    tone_.active = false;
}

SIPX_RESULT Stream::record_start(const std::string &path) {
    // The same file again: the running recording ends first.
    if (rec_ && rec_path_ == path) rec_.reset();
    auto w = std::make_unique<WaveWriter>();
    if (!w->open(path)) return SIPX_RESULT_FAILURE;  // a running recording goes on
    rec_ = std::move(w);  // the previous one, if any, is finished
    rec_path_ = path;
    return SIPX_RESULT_SUCCESS;
}

// ---- receiving -----------------------------------------------------------------------

void Stream::receive_ready(bool rtp_ready, bool rtcp_ready, int64_t now, int most) {
    uint8_t buf[rtp::kMaxPacket];
    Endpoint from;
    for (int i = 0; rtp_ready && i < most; ++i) {
        int n = rtp_.recv_from(buf, sizeof buf, &from);
        if (n == 0) break;
        if (n < 0) continue;
        on_rtp(buf, size_t(n), from, now);
    }
    for (int i = 0; rtcp_ready && i < most && i < 16; ++i) {
        int n = rtcp_.recv_from(buf, sizeof buf, &from);
        if (n == 0) break;
        if (n < 0) continue;
        on_rtcp(buf, size_t(n), from, now);
    }
}

void Stream::on_rtp(uint8_t *d, size_t n, const Endpoint &from, int64_t now) {
    if (!active()) {
        ++ignored_;
        return;
    }
    // Anything from the peer's address shows that it is there, whatever we
    // make of it (comfort noise, a format we do not play, RTCP on this port,
    // a keep-alive): the media timeout counts from it.
    const bool current = from == send_to_;
    if (current) source_heard_ = now;
    if (from_peer(from)) last_heard_ = now;
    rtp::Header h;
    const uint8_t *pl;
    size_t pn;
    // With SRTP only authentic packets go on: a stranger cannot take our
    // audio over, a tampered or replayed packet is not played.
    if (!unprotect(d, &n, false)) {
        ++ignored_;
        return;
    }
    if (!rtp::parse(d, n, &h, &pl, &pn)) {
        ++ignored_;
        return;
    }
    const bool event = h.pt == p_.te_pt && p_.te_pt >= 0;
    codec::AudioCodec *dec = event ? nullptr : decoder(h.pt);
    // A valid packet: of a format of the call, or comfort noise (RFC 3389's
    // static type, which some peers send without offering it).
    const bool valid = event || dec || h.pt == kComfortNoisePt;
    if (!current) {
        if (!valid || !take_over(h, from, now)) {
            ++ignored_;  // not played: not (yet) the peer's source
            return;
        }
        CALLCTL_LOG(log::Info, "call %u: RTP from %s (%d packets in a row) takes the place of %s", unsigned(call_),
                    from.text().c_str(), cand_.count, send_to_.text().c_str());
        send_to_ = from;
        source_heard_ = now;
        last_heard_ = now;
        cand_ = Candidate();
    }
    if (valid) latched_ = true;
    if (event) {
        ++received_;  // received DTMF events are not played
        return;
    }
    if (!dec) {
        ++ignored_;
        return;
    }
    bool silence = false;
    const int k = dec->samples_in(pl, pn, &silence);
    if (k <= 0 || size_t(k) > jb::JitterBuffer::kMaxPacketSamples || pn > jb::JitterBuffer::kMaxPayloadBytes) {
        ++ignored_;
        return;
    }
    ++received_;
    if (!have_rx_ || h.ssrc != rx_ssrc_) {
        rx_.reset(h.seq);
        rx_ssrc_ = h.ssrc;
        have_rx_ = true;
    }
    rx_.update(h.seq, h.ts, uint32_t(now * 8));
    if (silence) ++received_silence_;
    jb_.put(h.ssrc, h.seq, h.ts, jb::JitterBuffer::Encoded{h.pt, pl, pn}, size_t(k), now, silence, h.marker);
}

codec::AudioCodec *Stream::decoder(int pt) {
    if (pt != cached_pt_) {
        auto it = dec_.find(pt);
        cached_pt_ = pt;
        cached_dec_ = it == dec_.end() ? nullptr : it->second.get();
    }
    return cached_dec_;
}

bool Stream::take_over(const rtp::Header &h, const Endpoint &from, int64_t now) {
    Candidate &c = cand_;
    if (c.count && c.from == from && c.ssrc == h.ssrc && c.next_seq == h.seq) {
        ++c.count;
    } else {
        c.from = from;
        c.ssrc = h.ssrc;
        c.count = 1;
    }
    c.next_seq = uint16_t(h.seq + 1);
    if (c.count < kProbation) return false;
    // The stream we hear, come from elsewhere (a NAT that changed its
    // mapping): followed at once. Another one (or the source a description
    // moved us away from) only once the current source has fallen quiet.
    bool same_stream = have_rx_ && h.ssrc == rx_ssrc_ && from != left_;
    return same_stream || source_heard_ == 0 || now - source_heard_ >= kSourceQuietMs;
}

void Stream::on_rtcp(uint8_t *d, size_t n, const Endpoint &from, int64_t now) {
    if (!active() || !from_peer(from)) return;
    last_heard_ = now;  // even when it does not parse (as on_rtp)
    if (!unprotect(d, &n, true)) return;
    rtp::Rtcp r;
    if (!rtp::parse_rtcp(d, n, &r)) return;
    ++rtcp_received_;
    // Our reports go where the peer's come from, once one comes from the
    // address our RTP goes to and is about the stream we hear (its SSRC,
    // which a stranger does not know).
    if (from != rtcp_to_ && latched_ && have_rx_ && r.ssrc == rx_ssrc_ && from.ip == send_to_.ip) rtcp_to_ = from;
    if (r.has_sr) {
        last_sr_mid_ = uint32_t(r.sr.ntp >> 16);
        last_sr_at_ = now;
    }
    // RFC 3550 6.4.1: the round trip from the peer's report on our packets.
    for (const auto &b : r.blocks) {
        if (b.ssrc != ssrc_ || b.lsr == 0) continue;
        uint32_t arrival = uint32_t(rtp::ntp_now() >> 16);
        uint32_t rtt = arrival - b.lsr - b.dlsr;  // 1/65536 s
        if (rtt < 65536u * 10) rtt_ms_ = int(uint64_t(rtt) * 1000 / 65536);
    }
}

void Stream::pull(int64_t now, MixParty *m) {
    jb_.get(remote_, now);
    if (!p_.recv || held_) std::memset(remote_, 0, sizeof remote_);
    m->heard = remote_;
    m->tone = nullptr;
    if (tone_.active && tone_.local && tone_.ends_left == 0) {
        tone_.gen_local.next(local_tone_, kFrame);
        m->tone = local_tone_;
    }
}

// ---- inspection ------------------------------------------------------------------------

void Stream::info(Engine::StreamInfo *o) const {
    o->local_port = rtp_.local_port();
    o->active = active();
    o->send_to = send_to_;
    o->latched = latched_;
    o->send_pt = send_pt_;
    o->sent_packets = sent_packets_;
    o->sent_events = sent_events_;
    o->received_packets = received_;
    o->ignored_packets = ignored_;
    o->rtcp_sent = rtcp_sent_;
    o->rtcp_received = rtcp_received_;
    o->sent_octets = audio_octets_;
    o->sent_silence = sent_silence_;
    o->received_silence = received_silence_;
    o->comfort_noise = jb_.stats().comfort_noise;
    o->concealed = jb_.stats().concealed;
    o->played = jb_.stats().played;
    o->jitter_delay_ms = jb_.target_delay_ms();
    o->decoders = dec_.size();
    o->srtp = send_key_.on();
    o->srtp_auth_failed = srtp_auth_failed_;
    o->srtp_replayed = srtp_replayed_;
}

namespace {
// The quality of `played` frames heard and `concealed` made up, with the stream's delays.
Quality quality_of(uint64_t played, uint64_t concealed, int rtt_ms, int buffer_ms, const std::string &codec) {
    QualityFigures f;
    f.lost_percent = played + concealed ? 100.0 * double(concealed) / double(played + concealed) : 0;
    f.round_trip_ms = rtt_ms;
    f.buffer_ms = buffer_ms;
    f.g729 = codec == "G729";
    return estimate_quality(f);
}
}  // namespace

void Stream::quality(Engine::CallQuality *o) {
    const auto &st = jb_.stats();
    const uint64_t played = st.played - looked_played_, concealed = st.concealed - looked_concealed_;
    looked_played_ = st.played;
    looked_concealed_ = st.concealed;
    o->heard = played + concealed > 0;
    o->jitter_ms = have_rx_ ? int(rx_.jitter() / 8) : 0;
    o->round_trip_ms = rtt_ms_;
    o->buffer_ms = jb_.target_delay_ms();
    o->bars = 0;
    o->mos = 0;
    o->lost_percent = 0;
    if (!o->heard) return;
    const Quality q = quality_of(played, concealed, rtt_ms_, o->buffer_ms, enc_name_);
    o->bars = q.bars;
    o->mos = q.mos;
    o->lost_percent = 100.0 * double(concealed) / double(played + concealed);
}

std::string Stream::summary() const {
    std::string t = "call " + std::to_string(call_) + " audio: ";
    if (!configured_) return t + "none was set up";
    t += enc_name_.empty() ? std::string("no codec") : enc_name_;
    t += ", RTP sent " + std::to_string(sent_packets_) + ", received " + std::to_string(received_) + ", lost " +
         std::to_string(have_rx_ ? rx_.lost() : 0) + ", jitter " + std::to_string(have_rx_ ? rx_.jitter() / 8 : 0) +
         " ms, round trip ";
    t += rtt_ms_ >= 0 ? std::to_string(rtt_ms_) + " ms" : std::string("unknown");
    const auto &st = jb_.stats();
    if (st.played + st.concealed)
        t += ", concealed " + std::to_string(st.concealed) + " of " + std::to_string(st.played + st.concealed) +
             " frames, quality " +
             quality_text(quality_of(st.played, st.concealed, rtt_ms_, jb_.target_delay_ms(), enc_name_));
    if (send_key_.on()) {
        t += std::string(", SRTP ") + sdp::suite_name(send_key_.suite) + "/" + sdp::suite_name(recv_key_.suite);
        if (srtp_auth_failed_ || srtp_replayed_)
            t += " (dropped: " + std::to_string(srtp_auth_failed_) + " failed authentication, " +
                 std::to_string(srtp_replayed_) + " replayed)";
    }
    return t;
}

std::string Stream::trace(int64_t now) const {
    const auto &st = jb_.stats();
    return "call " + std::to_string(call_) + " jb target " + std::to_string(jb_.target_delay_ms()) + " delay " +
           std::to_string(jb_.current_delay_ms(now)) + " played " + std::to_string(st.played) + " concealed " +
           std::to_string(st.concealed) + " late " + std::to_string(st.late) + " skipped " +
           std::to_string(st.skipped) + " inserted " + std::to_string(st.inserted);
}

}  // namespace callctl::media
