// G.729 Annex A speech codec (bcg729) with the Annex B voice activity
// detector and comfort noise, packed for RTP as RFC 3551 describes: a
// payload holds zero or more 10-byte speech frames followed by at most one
// 2-byte SID (silence description) frame; 10 ms of audio per frame.
//
// The media path works in 20 ms frames of 160 samples, so one call of
// encode() covers two codec frames and normally yields one 20-byte packet.
// With Annex B on, silence is sent as an occasional 2-byte SID and otherwise
// not at all; see G729Packet for the packet shapes.
//
// Not thread-safe: one codec per stream, used from one thread at a time
// (the encoder and the decoder halves are independent and may be driven by
// two different threads).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "dsp/frame.h"

struct bcg729EncoderChannelContextStruct_struct;
struct bcg729DecoderChannelContextStruct_struct;

namespace callctl::dsp {

// SDP: static payload type 18, "a=rtpmap:18 G729/8000".
constexpr int kG729PayloadType = 18;
constexpr const char *kG729RtpMap = "G729/8000";

constexpr size_t kG729CodecFrameSamples = 80;  // 10 ms
constexpr size_t kG729SpeechBytes = 10;        // one speech frame
constexpr size_t kG729SidBytes = 2;            // one Annex B SID frame
constexpr size_t kG729MaxPacketBytes = 2 * kG729SpeechBytes;

// One RTP payload produced by G729Codec::encode().
struct G729Packet {
    uint8_t data[kG729MaxPacketBytes] = {};
    size_t size = 0;        // 20, 12, 10 or 2
    // Samples from the first sample of the encoded 20 ms frame to the first
    // codec frame in this payload: 0, or 80 when the first 10 ms were not
    // sent. Add it to the frame's RTP timestamp.
    uint32_t offset = 0;
    // First speech of the stream or after silence: set the RTP marker bit.
    bool talkspurt = false;
};

class G729Codec {
public:
    explicit G729Codec(bool annexb);
    ~G729Codec();
    G729Codec(const G729Codec &) = delete;
    G729Codec &operator=(const G729Codec &) = delete;

    // Annex B (VAD/DTX on the sending side). Changing it restarts the encoder;
    // the decoder always understands SID frames.
    void set_annexb(bool on);
    bool annexb() const { return annexb_; }

    // Encodes one 20 ms frame into out[0..n), returns n, the number of RTP
    // packets to send for it, in order:
    //   2 speech frames              -> 1 packet, 20 bytes
    //   speech + SID                 -> 1 packet, 12 bytes
    //   speech, then nothing         -> 1 packet, 10 bytes
    //   nothing, then speech or SID  -> 1 packet, 10 or 2 bytes, offset 80
    //   SID, then nothing            -> 1 packet, 2 bytes
    //   SID, then speech or SID      -> 2 packets (a SID ends a payload), offsets 0 and 80
    //   nothing at all               -> 0 packets
    // Without Annex B it is always one 20-byte packet.
    int encode(const int16_t pcm[kFrameSamples], G729Packet out[2]);

    // Decodes one received payload into pcm (80 samples per codec frame) and
    // returns the number of samples written. Returns -1 and writes nothing
    // when the size is not a G.729 payload (n*10 or n*10+2 bytes, n*10+2 > 0)
    // or the samples would not fit into capacity.
    int decode(const uint8_t *payload, size_t size, int16_t *pcm, size_t capacity);
    // The samples decode() makes of a payload of this size, -1 when the size
    // is not a G.729 payload.
    static int payload_samples(size_t size);

    // Fills pcm with `samples` samples (rounded up to whole 10 ms frames, so
    // pass a multiple of 80) for codec frames that did not arrive: the
    // decoder's frame-erasure concealment after speech, comfort noise after a
    // SID (the peer stopped sending during silence).
    void conceal(int16_t *pcm, size_t samples);

private:
    void open_encoder();

    bool annexb_;
    bool last_sent_speech_ = false;
    bcg729EncoderChannelContextStruct_struct *enc_ = nullptr;
    bcg729DecoderChannelContextStruct_struct *dec_ = nullptr;
};

// ---- SDP negotiation of Annex B (RFC 4856 "annexb" parameter) ----

// Whether the format parameters of the peer's G.729 payload (the text after
// "a=fmtp:18 ", empty when the peer sent no fmtp line) allow Annex B.
// Absent means yes (the parameter's default); "annexb=no" means no; names and
// values are case-insensitive, parameters are separated by ';' and other
// parameters are ignored. A value other than yes/no counts as no: sending
// no SID frames is always safe.
bool g729_peer_accepts_annexb(std::string_view peer_fmtp);

// What we send: Annex B only when we want it and the peer accepts it.
bool g729_choose_annexb(bool we_want, std::string_view peer_fmtp);

// Our format parameters for a=fmtp:18 — "annexb=yes" or "annexb=no".
std::string g729_fmtp(bool annexb);

}  // namespace callctl::dsp
