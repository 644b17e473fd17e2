// Speech codecs of the media path and the table that SDP negotiation and
// the RTP streams consult.
//
// Every codec works on the media path's frame: 20 ms of 8 kHz mono 16-bit
// linear PCM (kFrameSamples). A codec whose own frame is shorter packs
// several into one RTP payload (G.729: two 10 ms frames, 20 bytes).
//
// G.711 (ITU-T G.711, RFC 3551 PCMU/PCMA) is ours, its loss concealment
// spandsp's (plc.h); G.729 comes from the dsp folder when the build has it
// (CALLCTL_HAVE_G729) and conceals loss with bcg729's own frame erasure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace callctl::codec {

constexpr int kSampleRate = 8000;
constexpr size_t kFrameSamples = 160;  // 20 ms
constexpr size_t kMaxPayload = 480;    // bytes of one encoded 20 ms frame, any codec

// ---- G.711 ----------------------------------------------------------------
// Encoders take 16-bit linear samples; µ-law uses the 14 most significant
// bits and A-law the 13 most significant, as the standard's tables do.
uint8_t linear_to_ulaw(int16_t pcm);
int16_t ulaw_to_linear(uint8_t code);
uint8_t linear_to_alaw(int16_t pcm);
int16_t alaw_to_linear(uint8_t code);
// The same over n samples, as the codecs use them.
void ulaw_encode(const int16_t *pcm, uint8_t *out, size_t n);
void ulaw_decode(const uint8_t *code, int16_t *out, size_t n);
void alaw_encode(const int16_t *pcm, uint8_t *out, size_t n);
void alaw_decode(const uint8_t *code, int16_t *out, size_t n);

// ---- codec objects ----------------------------------------------------------
// One RTP payload of an encoded 20 ms frame.
struct Packet {
    uint8_t data[kMaxPayload];
    size_t size = 0;
    uint32_t offset = 0;     // samples from the frame's first sample (add to its RTP timestamp)
    bool talkspurt = false;  // first speech after silence: set the marker bit
    bool silence = false;    // ends with a silence description (comfort noise parameters)
};

class AudioCodec {
public:
    virtual ~AudioCodec() = default;
    // One 20 ms frame into out (capacity kMaxPayload); returns the payload
    // size, 0 when nothing is to be sent for this frame (silence suppressed).
    virtual size_t encode(const int16_t pcm[kFrameSamples], uint8_t *out) = 0;
    // One 20 ms frame as the RTP payloads to send for it, in order (0, 1 or
    // 2); a codec with silence suppression (G.729 Annex B) may send less
    // than one payload per frame. By default the one payload of encode().
    virtual int encode_packets(const int16_t pcm[kFrameSamples], Packet out[2]);
    // A received payload into pcm; returns the samples written, or -1 when
    // the payload is not valid for the codec or would not fit.
    virtual int decode(const uint8_t *payload, size_t size, int16_t *pcm, size_t capacity) = 0;
    // What decode() would make of a payload, without decoding it (the jitter
    // buffer decodes later, in playout order): the samples, or -1 when it is
    // not valid for the codec; *silence: it ends with a silence description.
    virtual int samples_in(const uint8_t *payload, size_t size, bool *silence) const = 0;
    // Comfort noise for samples (a multiple of 80) of a silent stretch the
    // peer did not send, when the last payload decode() took ended with a
    // silence description; false otherwise or when the codec has none.
    virtual bool comfort_noise(int16_t *pcm, size_t samples) {
        (void)pcm;
        (void)samples;
        return false;
    }
    // Loss concealment, at playout (the jitter buffer's order, not the
    // packets'): played() sees the decoded samples that play, in order, and
    // may smooth their start after concealed ones; conceal() fills samples
    // that did not arrive, false when the codec has no concealment.
    virtual void played(int16_t *pcm, size_t samples) {
        (void)pcm;
        (void)samples;
    }
    virtual bool conceal(int16_t *pcm, size_t samples) {
        (void)pcm;
        (void)samples;
        return false;
    }
};

struct CodecInfo {
    const char *name;       // SDP encoding name, "PCMU"
    int static_pt;          // RFC 3551 static payload type
    int rate;               // RTP clock rate
    const char *fmtp;       // our a=fmtp parameters, or nullptr
};

// The codecs this build has, in no particular order.
const std::vector<CodecInfo> &built_in();
// Table entry by encoding name (case-insensitive), nullptr when not built in.
const CodecInfo *find(std::string_view name);
// A fresh encoder/decoder pair for a codec of the table, nullptr otherwise.
// peer_fmtp: the a=fmtp parameters the peer gave the format ("" for none);
// they decide the options the encoder may use (G.729: silence suppression
// unless the peer said annexb=no).
std::unique_ptr<AudioCodec> make(std::string_view name, std::string_view peer_fmtp = {});
// Our a=fmtp parameters for a format in an answer to an offer that gave it
// offer_fmtp ("" when we have none).
std::string answer_fmtp(const CodecInfo &c, std::string_view offer_fmtp);

// Offer order: the selected codec first when built in, then PCMU and PCMA
// (each once). Names as in the table.
std::vector<const CodecInfo *> offer_order(std::string_view selected);

}  // namespace callctl::codec
