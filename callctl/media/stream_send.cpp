// A stream's sending half: DTMF tones (in-band or RFC 4733 events), RTP
// audio, RTCP reports and the recording of both directions.
#include <cstring>

#include "../base/log.h"
#include "stream.h"

namespace callctl::media {

SIPX_RESULT Stream::start_tone(int id, bool local, bool remote, int min_ms, int dtmf_mode) {
    auto &t = tone_;
    if (t.active && t.rfc && t.ends_left == 0) {
        // A new key before the last one ended: end the old event now.
        for (int i = 0; i < 3; ++i) send_event(true);
    }
    t = Tone();
    if (!t.gen.start(id) || !t.gen_local.start(id)) return SIPX_RESULT_INVALID_ARGS;
    t.active = true;
    t.id = id;
    t.local = local;
    t.remote = remote;
    bool peer_te = p_.te_pt >= 0;
    t.rfc = remote && peer_te && dtmf_mode != 0;
    if (remote && !peer_te && dtmf_mode == 1) t.remote = false;  // events only, and the peer has none
    t.min_samples = uint32_t(min_ms) * 8;
    t.ev_ts = ts_;
    return SIPX_RESULT_SUCCESS;
}

void Stream::send(int64_t now) {
    bool can_send = p_.send && !held_ && send_to_.port != 0;
    bool event_tick = false;
    if (tone_.active) send_tone(can_send, &event_tick);
    if (can_send && !event_tick) send_frame(sent_);
    if (!can_send) marker_ = true;
    ts_ += kFrame;
    // The recording gets both directions.
    if (rec_) {
        int16_t mix[kFrame];
        for (size_t i = 0; i < kFrame; ++i) mix[i] = sat16(int32_t(sent_[i]) + remote_[i]);
        rec_->write(mix, kFrame);
    }
    if (now >= next_rtcp_) {
        send_rtcp(false, now);
        const int64_t iv = Engine::kRtcpIntervalMs;
        next_rtcp_ = now + iv / 2 + int64_t(random_u32() % iv);
    }
}

// One tick of a tone: in-band it replaces the mix sent; as RFC 4733 an
// event packet goes instead of audio, growing by a frame each tick, and
// after the stop (no sooner than the minimum length) three end packets.
void Stream::send_tone(bool can_send, bool *event_tick) {
    auto &t = tone_;
    if (t.ends_left == 0) {
        t.elapsed += kFrame;
        if (t.remote && !t.rfc) t.gen.next(sent_, kFrame);
        if (t.rfc && can_send) {
            if (t.duration + kFrame > 0xFFFF) {  // a long event goes on in a new segment
                t.ev_ts += t.duration;
                t.duration = 0;
            }
            t.duration += kFrame;
            send_event(false);
            *event_tick = true;
        }
        if (t.stop && t.elapsed >= t.min_samples) {
            if (t.rfc) t.ends_left = 3;
            else t.active = false;
        }
    } else {
        if (can_send) send_event(true);
        *event_tick = true;
        if (--t.ends_left == 0) {
            t.active = false;
            marker_ = true;
        }
    }
}

void Stream::send_frame(const int16_t frame[kFrame]) {
    if (!enc_) return;
    codec::Packet pk[2];
    int n = enc_->encode_packets(frame, pk);
    // Nothing for this frame: the codec suppresses silence and marks the
    // talkspurt that ends it itself.
    for (int i = 0; i < n; ++i) {
        rtp::Header h;
        h.marker = marker_ || pk[i].talkspurt;
        h.pt = uint8_t(send_pt_);
        h.seq = seq_++;
        h.ts = ts_ + pk[i].offset;
        h.ssrc = ssrc_;
        uint8_t pkt[rtp::kMaxPacket + rtp::kSrtpRoom];
        size_t len = rtp::write(h, pk[i].data, pk[i].size, pkt, rtp::kMaxPacket);
        if (len && send_packet(rtp_, send_to_, pkt, len, sizeof pkt, false)) {
            ++sent_packets_;
            sent_octets_ += uint32_t(pk[i].size);
            audio_octets_ += pk[i].size;
            if (pk[i].silence) ++sent_silence_;
            sent_since_report_ = true;
        } else if (len && !send_failed_) {
            send_failed_ = true;
            CALLCTL_LOG(log::Warning, "call %u: RTP could not be sent to %s", unsigned(call_), send_to_.text().c_str());
        }
        marker_ = false;
    }
}

void Stream::send_event(bool end) {
    const auto &t = tone_;
    rtp::ToneEvent e;
    e.event = uint8_t(t.id);
    e.end = end;
    e.volume = 10;
    e.duration = uint16_t(t.duration);
    uint8_t payload[rtp::kToneEventSize];
    rtp::write_event(e, payload);
    rtp::Header h;
    h.marker = !end && t.duration <= kFrame && t.elapsed <= kFrame;
    h.pt = uint8_t(p_.te_pt);
    h.seq = seq_++;
    h.ts = t.ev_ts;
    h.ssrc = ssrc_;
    uint8_t pkt[64 + rtp::kSrtpRoom];
    size_t len = rtp::write(h, payload, sizeof payload, pkt, 64);
    if (len && send_packet(rtp_, send_to_, pkt, len, sizeof pkt, false)) {
        ++sent_events_;
        ++sent_packets_;
        sent_octets_ += uint32_t(sizeof payload);
        sent_since_report_ = true;
    }
}

void Stream::send_rtcp(bool bye, int64_t now) {
    rtp::SenderInfo si;
    bool sr = sent_since_report_;
    if (sr) {
        si.ntp = rtp::ntp_now();
        si.rtp_ts = ts_;
        si.packets = sent_packets_;
        si.octets = sent_octets_;
    }
    rtp::ReportBlock rb;
    if (have_rx_) {
        rb.ssrc = rx_ssrc_;
        rb.fraction = rx_.take_fraction_lost();
        rb.lost = rx_.lost();
        rb.ext_max = rx_.extended_max();
        rb.jitter = rx_.jitter();
        if (last_sr_at_) {
            rb.lsr = last_sr_mid_;
            rb.dlsr = uint32_t((now - last_sr_at_) * 65536 / 1000);
        }
    }
    uint8_t pkt[256 + rtp::kSrtpRoom];
    size_t n = rtp::write_compound(ssrc_, sr ? &si : nullptr, have_rx_ ? &rb : nullptr, cname_, bye, pkt, 256);
    Endpoint to = rtcp_to_;
    if (n && to.ip && to.port && send_packet(rtcp_, to, pkt, n, sizeof pkt, true)) ++rtcp_sent_;
    sent_since_report_ = false;
}

}  // namespace callctl::media
