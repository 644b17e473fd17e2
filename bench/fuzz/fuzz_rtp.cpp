// RTP and RTCP: the packet readers on any datagram, headers and compound reports
// written from fuzzed fields and read back, and the receiver statistics over fuzzed
// runs of sequence numbers, timestamps and arrival times.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "rtp/rtp.h"

using namespace callctl::rtp;

namespace {

void ReadDatagram(const uint8_t *data, size_t size)
{
    Header h;
    const uint8_t *payload = nullptr;
    size_t payload_len = 0;
    if (parse(data, size, &h, &payload, &payload_len)) {
        FUZZ_CHECK(size >= kHeaderSize);
        FUZZ_CHECK(payload >= data + kHeaderSize && payload + payload_len <= data + size);
        FUZZ_CHECK(h.pt == (data[1] & 0x7F) && h.seq == ((data[2] << 8) | data[3]));
        FUZZ_CHECK(!is_rtcp(data, size));
        ToneEvent e;
        if (parse_event(payload, payload_len, &e))
            FUZZ_CHECK(e.volume <= 0x3F);
    }
    Rtcp r;
    if (parse_rtcp(data, size, &r))
        FUZZ_CHECK(size >= 8 && r.blocks.size() * 24 <= size);
}

void HeaderRoundTrip(FuzzedDataProvider &in)
{
    Header h;
    h.marker = in.ConsumeBool();
    h.pt = in.ConsumeIntegral<uint8_t>() & 0x7F;
    h.seq = in.ConsumeIntegral<uint16_t>();
    h.ts = in.ConsumeIntegral<uint32_t>();
    h.ssrc = in.ConsumeIntegral<uint32_t>();
    const std::vector<uint8_t> payload = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 200));
    uint8_t out[kMaxPacket];
    const size_t n = write(h, payload.data(), payload.size(), out, sizeof out);
    FUZZ_CHECK(n == kHeaderSize + payload.size());
    Header back;
    const uint8_t *p = nullptr;
    size_t len = 0;
    // RTCP's packet types alias payload types 72-76 with the marker: never read as RTP.
    const bool aliasesRtcp = h.marker && h.pt >= 72 && h.pt <= 76;
    FUZZ_CHECK(parse(out, n, &back, &p, &len) == !aliasesRtcp);
    if (!aliasesRtcp) {
        FUZZ_CHECK(back.marker == h.marker && back.pt == h.pt && back.seq == h.seq && back.ts == h.ts &&
                   back.ssrc == h.ssrc);
        FUZZ_CHECK(len == payload.size() && (len == 0 || std::equal(payload.begin(), payload.end(), p)));
    }
    FUZZ_CHECK(write(h, payload.data(), payload.size(), out, n - 1) == 0);

    ToneEvent e;
    e.event = in.ConsumeIntegral<uint8_t>();
    e.end = in.ConsumeBool();
    e.volume = in.ConsumeIntegral<uint8_t>() & 0x3F;
    e.duration = in.ConsumeIntegral<uint16_t>();
    uint8_t ev[kToneEventSize];
    write_event(e, ev);
    ToneEvent eb;
    FUZZ_CHECK(parse_event(ev, sizeof ev, &eb));
    FUZZ_CHECK(eb.event == e.event && eb.end == e.end && eb.volume == e.volume && eb.duration == e.duration);
}

void CompoundRoundTrip(FuzzedDataProvider &in)
{
    const uint32_t ssrc = in.ConsumeIntegral<uint32_t>();
    SenderInfo si;
    si.ntp = in.ConsumeIntegral<uint64_t>();
    si.rtp_ts = in.ConsumeIntegral<uint32_t>();
    si.packets = in.ConsumeIntegral<uint32_t>();
    si.octets = in.ConsumeIntegral<uint32_t>();
    ReportBlock rb;
    rb.ssrc = in.ConsumeIntegral<uint32_t>();
    rb.fraction = in.ConsumeIntegral<uint8_t>();
    rb.lost = in.ConsumeIntegralInRange<int32_t>(-0x800000, 0x7FFFFF);  // what 24 bits hold
    rb.ext_max = in.ConsumeIntegral<uint32_t>();
    rb.jitter = in.ConsumeIntegral<uint32_t>();
    rb.lsr = in.ConsumeIntegral<uint32_t>();
    rb.dlsr = in.ConsumeIntegral<uint32_t>();
    const bool withSr = in.ConsumeBool(), withRb = in.ConsumeBool(), bye = in.ConsumeBool();
    const std::string cname = in.ConsumeRandomLengthString(300);
    uint8_t out[kMaxPacket];
    const size_t n = write_compound(ssrc, withSr ? &si : nullptr, withRb ? &rb : nullptr, cname, bye, out, sizeof out);
    if (cname.size() > 255) {
        FUZZ_CHECK(n == 0);
        return;
    }
    FUZZ_CHECK(n > 0 && n % 4 == 0);
    FUZZ_CHECK(is_rtcp(out, n));
    Header h;
    const uint8_t *p = nullptr;
    size_t len = 0;
    FUZZ_CHECK(!parse(out, n, &h, &p, &len));
    Rtcp r;
    FUZZ_CHECK(parse_rtcp(out, n, &r));
    FUZZ_CHECK(r.ssrc == ssrc && r.has_sr == withSr && r.bye == bye && r.blocks.size() == (withRb ? 1u : 0u));
    if (withSr)
        FUZZ_CHECK(r.sr.ntp == si.ntp && r.sr.rtp_ts == si.rtp_ts && r.sr.packets == si.packets &&
                   r.sr.octets == si.octets);
    if (withRb) {
        const ReportBlock &b = r.blocks[0];
        FUZZ_CHECK(b.ssrc == rb.ssrc && b.fraction == rb.fraction && b.lost == rb.lost && b.ext_max == rb.ext_max &&
                   b.jitter == rb.jitter && b.lsr == rb.lsr && b.dlsr == rb.dlsr);
    }
    FUZZ_CHECK(write_compound(ssrc, withSr ? &si : nullptr, withRb ? &rb : nullptr, cname, bye, out, n - 1) == 0);
}

// Receiver statistics the way the media engine keeps them: a new source starts them
// over at its first packet, which is then counted. Operations: a new source, taking
// the fraction lost, the next packet in order, or any sequence number. The engine
// reads the figures only once a packet has started them.
//  - While every packet since the start came in order, nothing is lost.
//  - The interarrival jitter is a running average of the transit differences |D|: it
//    never exceeds the largest |D| seen since the start, and a |D| above it never
//    makes it smaller.
void Statistics(FuzzedDataProvider &in)
{
    ReceiverStats st;
    uint32_t maxD = 0, lastTransit = 0;
    bool haveTransit = false, inOrder = true;
    uint16_t last = 0;
    auto packet = [&](uint16_t seq, uint32_t ts, uint32_t arrival) {
        const uint64_t before = st.received();
        const uint32_t jitterBefore = st.jitter();
        const bool counted = st.update(seq, ts, arrival);
        FUZZ_CHECK(st.started());
        // Counted packets add one, or start over at one after a confirmed jump.
        FUZZ_CHECK(counted ? (st.received() == before + 1 || st.received() == 1) : st.received() == before);
        if (counted) {
            const bool startedOver = st.received() == 1;
            const uint32_t transit = arrival - ts;
            if (haveTransit && !startedOver) {
                uint32_t d = transit - lastTransit;
                if (d & 0x80000000u)
                    d = 0u - d;
                if (d > maxD)
                    maxD = d;
                // The average moves towards |D|: up (or stays, give or take the
                // rounding of one sixteenth) when |D| is not below it.
                if (d >= jitterBefore)
                    FUZZ_CHECK(st.jitter() + 1 >= jitterBefore);
            }
            if (startedOver)
                maxD = 0;
            lastTransit = transit;
            haveTransit = true;
        }
        return counted;
    };
    for (int n = 0; n < 400 && in.remaining_bytes() >= 11; ++n) {
        const uint8_t op = in.ConsumeIntegral<uint8_t>();
        const uint16_t seq = in.ConsumeIntegral<uint16_t>();
        const uint32_t ts = in.ConsumeIntegral<uint32_t>();
        const uint32_t arrival = in.ConsumeIntegral<uint32_t>();
        switch (op % 8) {
        case 0:
            st.reset(seq);
            maxD = 0;
            haveTransit = false;
            inOrder = true;
            last = seq;
            FUZZ_CHECK(packet(seq, ts, arrival));
            FUZZ_CHECK(st.received() == 1 && st.expected() == 1 && st.jitter() == 0);
            break;
        case 1: {
            const uint8_t fraction = st.take_fraction_lost();
            FUZZ_CHECK(!inOrder || fraction == 0);
            break;
        }
        case 2:
        case 3: {
            last = static_cast<uint16_t>(last + 1);
            const bool counted = packet(last, ts, arrival);
            FUZZ_CHECK(counted || !inOrder);
            break;
        }
        default:
            packet(seq, ts, arrival);
            inOrder = false;
            break;
        }
        FUZZ_CHECK(!inOrder || !st.started() || st.lost() == 0);  // read only once started
        FUZZ_CHECK(st.jitter() <= maxD);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ReadDatagram(data, size);
    FuzzedDataProvider in(data, size);
    HeaderRoundTrip(in);
    CompoundRoundTrip(in);
    Statistics(in);
    return 0;
}
