// RTP and RTCP (RFC 3550) as the media streams use them: packet header
// reading and writing, telephone-event payloads (RFC 4733), receiver
// statistics (sequence tracking, loss, interarrival jitter) and compound
// RTCP reports (SR or RR, SDES CNAME, BYE).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace callctl::rtp {

constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxPacket = 1500;

struct Header {
    bool marker = false;
    uint8_t pt = 0;
    uint16_t seq = 0;
    uint32_t ts = 0;
    uint32_t ssrc = 0;
};

// Reads an RTP packet: version 2, CSRC list, header extension and padding
// are skipped. The payload points into data. False for anything else
// (including RTCP, whose second byte is a packet type 200-204).
bool parse(const uint8_t *data, size_t len, Header *h, const uint8_t **payload, size_t *payload_len);
// Writes header and payload; returns the size, 0 when cap is too small.
size_t write(const Header &h, const uint8_t *payload, size_t n, uint8_t *out, size_t cap);

// True when the datagram looks like RTCP (version 2, type SR..APP).
bool is_rtcp(const uint8_t *data, size_t len);

// ---- RFC 4733 telephone-event --------------------------------------------
struct ToneEvent {
    uint8_t event = 0;      // 0-9, 10 '*', 11 '#'
    bool end = false;
    uint8_t volume = 10;    // -dBm0
    uint16_t duration = 0;  // timestamp units since the event's timestamp
};
constexpr size_t kToneEventSize = 4;
void write_event(const ToneEvent &e, uint8_t out[kToneEventSize]);
bool parse_event(const uint8_t *p, size_t n, ToneEvent *e);

// ---- receiver statistics ---------------------------------------------------
// Sequence numbers are tracked as in RFC 3550 appendix A.1 (cycles, large
// jumps need two packets in a row to be believed), loss as in A.3 and the
// interarrival jitter as in A.8.
class ReceiverStats {
public:
    static constexpr int kMaxDropout = 3000;
    static constexpr int kMaxMisorder = 100;

    // Starts over at this packet (first packet, or a new SSRC).
    void reset(uint16_t seq);
    // Accounts one packet. False when it lies far outside the sequence
    // (a jump not yet confirmed by the next packet).
    bool update(uint16_t seq, uint32_t ts, uint32_t arrival_ts);

    bool started() const { return started_; }
    uint32_t extended_max() const { return cycles_ + max_seq_; }
    uint32_t expected() const { return extended_max() - base_seq_ + 1; }
    uint64_t received() const { return received_; }
    // Cumulative lost (expected - received), clamped to 24 bits signed.
    int32_t lost() const;
    // Fraction lost since the last call, in 1/256 (and starts a new interval).
    uint8_t take_fraction_lost();
    // Interarrival jitter in timestamp units.
    uint32_t jitter() const { return jitter_q4_ >> 4; }

private:
    bool started_ = false;
    uint16_t max_seq_ = 0;
    uint32_t cycles_ = 0;
    uint32_t base_seq_ = 0;
    uint32_t bad_seq_ = 0x10001;
    uint64_t received_ = 0;
    uint32_t expected_prior_ = 0;
    uint64_t received_prior_ = 0;
    bool have_transit_ = false;
    uint32_t transit_ = 0;
    uint32_t jitter_q4_ = 0;
};

// ---- RTCP -----------------------------------------------------------------
struct SenderInfo {
    uint64_t ntp = 0;  // NTP timestamp, 32.32
    uint32_t rtp_ts = 0;
    uint32_t packets = 0;
    uint32_t octets = 0;
};

struct ReportBlock {
    uint32_t ssrc = 0;
    uint8_t fraction = 0;
    int32_t lost = 0;
    uint32_t ext_max = 0;
    uint32_t jitter = 0;
    uint32_t lsr = 0;   // middle 32 bits of the last SR's NTP time
    uint32_t dlsr = 0;  // delay since that SR, 1/65536 s
};

// A compound packet: SR (when si is given) or RR, with at most one report
// block, then SDES with the CNAME, then BYE when bye is set.
size_t write_compound(uint32_t ssrc, const SenderInfo *si, const ReportBlock *rb, const std::string &cname,
                      bool bye, uint8_t *out, size_t cap);

struct Rtcp {
    uint32_t ssrc = 0;  // sender of the first SR/RR
    bool has_sr = false;
    SenderInfo sr;
    std::vector<ReportBlock> blocks;
    bool bye = false;
};
// Reads a compound packet; false when it is not well formed.
bool parse_rtcp(const uint8_t *data, size_t len, Rtcp *out);

// Wall-clock time as an NTP timestamp (32.32).
uint64_t ntp_now();

}  // namespace callctl::rtp
