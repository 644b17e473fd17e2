#include "rtp.h"

#include <chrono>
#include <cstring>

namespace callctl::rtp {

namespace {

uint16_t get16(const uint8_t *p) { return uint16_t((p[0] << 8) | p[1]); }
uint32_t get32(const uint8_t *p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }
void put16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
void put32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

enum : uint8_t { kSR = 200, kRR = 201, kSDES = 202, kBYE = 203, kAPP = 204 };

}  // namespace

bool is_rtcp(const uint8_t *d, size_t len) {
    return len >= 8 && (d[0] >> 6) == 2 && d[1] >= kSR && d[1] <= kAPP;
}

bool parse(const uint8_t *d, size_t len, Header *h, const uint8_t **payload, size_t *payload_len) {
    if (len < kHeaderSize || (d[0] >> 6) != 2) return false;
    // Payload types 72-76 with the marker bit alias RTCP SR..APP.
    if (d[1] >= kSR && d[1] <= kAPP) return false;
    size_t off = kHeaderSize + 4u * (d[0] & 0x0F);
    if (off > len) return false;
    if (d[0] & 0x10) {  // extension
        if (off + 4 > len) return false;
        off += 4 + 4u * get16(d + off + 2);
        if (off > len) return false;
    }
    size_t end = len;
    if (d[0] & 0x20) {  // padding
        uint8_t pad = d[len - 1];
        if (pad == 0 || pad > end - off) return false;
        end -= pad;
    }
    h->marker = (d[1] & 0x80) != 0;
    h->pt = d[1] & 0x7F;
    h->seq = get16(d + 2);
    h->ts = get32(d + 4);
    h->ssrc = get32(d + 8);
    *payload = d + off;
    *payload_len = end - off;
    return true;
}

size_t write(const Header &h, const uint8_t *payload, size_t n, uint8_t *out, size_t cap) {
    if (cap < kHeaderSize + n) return 0;
    out[0] = 0x80;
    out[1] = uint8_t((h.marker ? 0x80 : 0) | (h.pt & 0x7F));
    put16(out + 2, h.seq);
    put32(out + 4, h.ts);
    put32(out + 8, h.ssrc);
    if (n) std::memcpy(out + kHeaderSize, payload, n);
    return kHeaderSize + n;
}

void write_event(const ToneEvent &e, uint8_t out[kToneEventSize]) {
    out[0] = e.event;
    out[1] = uint8_t((e.end ? 0x80 : 0) | (e.volume & 0x3F));
    put16(out + 2, e.duration);
}

bool parse_event(const uint8_t *p, size_t n, ToneEvent *e) {
    if (n < kToneEventSize) return false;
    e->event = p[0];
    e->end = (p[1] & 0x80) != 0;
    e->volume = p[1] & 0x3F;
    e->duration = get16(p + 2);
    return true;
}

// ---- receiver statistics ---------------------------------------------------

void ReceiverStats::reset(uint16_t seq) {
    *this = ReceiverStats();
    started_ = true;
    max_seq_ = seq;
    base_seq_ = seq;
    bad_seq_ = 0x10001;
}

bool ReceiverStats::update(uint16_t seq, uint32_t ts, uint32_t arrival_ts) {
    if (!started_) {
        reset(seq);
    } else {
        uint16_t udelta = uint16_t(seq - max_seq_);
        if (udelta < kMaxDropout) {
            if (seq < max_seq_) cycles_ += 0x10000;  // wrapped
            max_seq_ = seq;
        } else if (udelta <= 0x10000 - kMaxMisorder) {
            // A large jump: believed (and counted afresh) only when the next
            // packet follows it, as after a restart of the sender.
            if (seq != bad_seq_) {
                bad_seq_ = (uint32_t(seq) + 1) & 0xFFFF;
                return false;
            }
            reset(seq);
        }
    }
    // else: duplicate or reordered packet within the misorder window
    ++received_;
    // Transit times and their difference in wrapping 32-bit arithmetic: a
    // peer's timestamps may be anything.
    uint32_t transit = arrival_ts - ts;
    if (have_transit_) {
        uint32_t d = transit - transit_;
        if (d & 0x80000000u) d = 0u - d;  // |D|
        // No real path varies by more than 2^24 samples (35 min at 8 kHz):
        // a larger jump is a broken clock and must not wrap the estimate.
        if (d > 0xFFFFFFu) d = 0xFFFFFFu;
        // J += (|D| - J) / 16, kept in 1/16 units
        jitter_q4_ += d - ((jitter_q4_ + 8) >> 4);
    }
    transit_ = transit;
    have_transit_ = true;
    return true;
}

int32_t ReceiverStats::lost() const {
    int64_t l = int64_t(expected()) - int64_t(received_);
    if (l > 0x7FFFFF) l = 0x7FFFFF;
    if (l < -0x800000) l = -0x800000;
    return int32_t(l);
}

uint8_t ReceiverStats::take_fraction_lost() {
    uint32_t exp = expected();
    uint32_t exp_int = exp - expected_prior_;
    int64_t rec_int = int64_t(received_ - received_prior_);
    expected_prior_ = exp;
    received_prior_ = received_;
    int64_t lost_int = int64_t(exp_int) - rec_int;
    if (exp_int == 0 || lost_int <= 0) return 0;
    return uint8_t((lost_int << 8) / exp_int);
}

// ---- RTCP -----------------------------------------------------------------

size_t write_compound(uint32_t ssrc, const SenderInfo *si, const ReportBlock *rb, const std::string &cname, bool bye,
                      uint8_t *out, size_t cap) {
    size_t need = 8 + (si ? 20 : 0) + (rb ? 24 : 0) + 8 + 4 + ((cname.size() + 2 + 3) / 4) * 4 + (bye ? 8 : 0);
    if (cname.size() > 255 || cap < need) return 0;
    std::memset(out, 0, need);
    size_t p = 0;
    size_t words = 1 + (si ? 5 : 0) + (rb ? 6 : 0);
    out[p] = uint8_t(0x80 | (rb ? 1 : 0));
    out[p + 1] = si ? kSR : kRR;
    put16(out + p + 2, uint16_t(words));
    put32(out + p + 4, ssrc);
    p += 8;
    if (si) {
        put32(out + p, uint32_t(si->ntp >> 32));
        put32(out + p + 4, uint32_t(si->ntp));
        put32(out + p + 8, si->rtp_ts);
        put32(out + p + 12, si->packets);
        put32(out + p + 16, si->octets);
        p += 20;
    }
    if (rb) {
        put32(out + p, rb->ssrc);
        out[p + 4] = rb->fraction;
        uint32_t lost = uint32_t(rb->lost) & 0xFFFFFF;
        out[p + 5] = uint8_t(lost >> 16);
        out[p + 6] = uint8_t(lost >> 8);
        out[p + 7] = uint8_t(lost);
        put32(out + p + 8, rb->ext_max);
        put32(out + p + 12, rb->jitter);
        put32(out + p + 16, rb->lsr);
        put32(out + p + 20, rb->dlsr);
        p += 24;
    }
    // SDES: one chunk with CNAME, then a null item, padded to 32 bits.
    size_t chunk = 4 + 2 + cname.size() + 1;
    size_t chunk_padded = (chunk + 3) / 4 * 4;
    out[p] = 0x81;
    out[p + 1] = kSDES;
    put16(out + p + 2, uint16_t(chunk_padded / 4));
    put32(out + p + 4, ssrc);
    out[p + 8] = 1;  // CNAME
    out[p + 9] = uint8_t(cname.size());
    std::memcpy(out + p + 10, cname.data(), cname.size());
    p += 4 + chunk_padded;
    if (bye) {
        out[p] = 0x81;
        out[p + 1] = kBYE;
        put16(out + p + 2, 1);
        put32(out + p + 4, ssrc);
        p += 8;
    }
    return p;
}

bool parse_rtcp(const uint8_t *d, size_t len, Rtcp *out) {
    Rtcp r;
    size_t p = 0;
    bool first = true;
    while (p < len) {
        if (len - p < 4 || (d[p] >> 6) != 2) return false;
        size_t plen = 4 + 4u * get16(d + p + 2);
        if (plen > len - p) return false;
        uint8_t type = d[p + 1];
        unsigned count = d[p] & 0x1F;
        if (first && type != kSR && type != kRR) return false;  // a compound starts with a report
        size_t q = p + 4;
        if (type == kSR || type == kRR) {
            if (plen < 8) return false;
            uint32_t ssrc = get32(d + q);
            q += 4;
            if (first) r.ssrc = ssrc;
            if (type == kSR) {
                if (plen < 28) return false;
                if (first) {
                    r.has_sr = true;
                    r.sr.ntp = (uint64_t(get32(d + q)) << 32) | get32(d + q + 4);
                    r.sr.rtp_ts = get32(d + q + 8);
                    r.sr.packets = get32(d + q + 12);
                    r.sr.octets = get32(d + q + 16);
                }
                q += 20;
            }
            if (q + 24u * count > p + plen) return false;
            for (unsigned i = 0; i < count; ++i, q += 24) {
                ReportBlock b;
                b.ssrc = get32(d + q);
                b.fraction = d[q + 4];
                uint32_t lost = (uint32_t(d[q + 5]) << 16) | (uint32_t(d[q + 6]) << 8) | d[q + 7];
                b.lost = (lost & 0x800000) ? int32_t(lost | 0xFF000000u) : int32_t(lost);
                b.ext_max = get32(d + q + 8);
                b.jitter = get32(d + q + 12);
                b.lsr = get32(d + q + 16);
                b.dlsr = get32(d + q + 20);
                r.blocks.push_back(b);
            }
        } else if (type == kBYE) {
            r.bye = true;
        }
        first = false;
        p += plen;
    }
    if (first) return false;
    *out = std::move(r);
    return true;
}

uint64_t ntp_now() {
    using namespace std::chrono;
    auto us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    uint64_t sec = uint64_t(us / 1000000) + 2208988800ull;  // 1900 -> 1970
    uint64_t frac = (uint64_t(us % 1000000) << 32) / 1000000;
    return (sec << 32) | frac;
}

}  // namespace callctl::rtp
