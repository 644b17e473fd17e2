#include "dsp/g729.h"

#include <cstring>

extern "C" {
#include <bcg729/decoder.h>
#include <bcg729/encoder.h>
}

namespace callctl::dsp {

namespace {

// One 10 ms frame as the encoder gave it: 10 bytes speech, 2 bytes SID,
// 0 bytes not transmitted.
struct CodecFrame {
    uint8_t bits[kG729SpeechBytes];
    uint8_t size;
};

void append(G729Packet &p, const CodecFrame &f) {
    std::memcpy(p.data + p.size, f.bits, f.size);
    p.size += f.size;
}

}  // namespace

G729Codec::G729Codec(bool annexb) : annexb_(annexb) {
    open_encoder();
    dec_ = initBcg729DecoderChannel();
}

G729Codec::~G729Codec() {
    if (enc_)
        closeBcg729EncoderChannel(enc_);
    if (dec_)
        closeBcg729DecoderChannel(dec_);
}

void G729Codec::open_encoder() {
    if (enc_)
        closeBcg729EncoderChannel(enc_);
    enc_ = initBcg729EncoderChannel(annexb_ ? 1 : 0);
    last_sent_speech_ = false;
}

void G729Codec::set_annexb(bool on) {
    if (on == annexb_)
        return;
    annexb_ = on;
    open_encoder();
}

int G729Codec::encode(const int16_t pcm[kFrameSamples], G729Packet out[2]) {
    CodecFrame f[2];
    for (int i = 0; i < 2; i++) {
        bcg729Encoder(enc_, pcm + i * kG729CodecFrameSamples, f[i].bits, &f[i].size);
        if (f[i].size != kG729SpeechBytes && f[i].size != kG729SidBytes)
            f[i].size = 0;  // not transmitted (DTX)
    }

    int n = 0;
    G729Packet *cur = nullptr;
    for (int i = 0; i < 2; i++) {
        if (f[i].size == 0)
            continue;
        // A payload ends after its SID frame; otherwise speech frames share one.
        if (!cur || cur->size % kG729SpeechBytes != 0) {
            cur = &out[n++];
            *cur = G729Packet{};
            cur->offset = static_cast<uint32_t>(i * kG729CodecFrameSamples);
        }
        bool speech = f[i].size == kG729SpeechBytes;
        if (speech && cur->size == 0 && !last_sent_speech_)
            cur->talkspurt = true;
        append(*cur, f[i]);
        last_sent_speech_ = speech;
    }
    return n;
}

int G729Codec::payload_samples(size_t size) {
    size_t rest = size % kG729SpeechBytes;
    if (size == 0 || (rest != 0 && rest != kG729SidBytes))
        return -1;
    return static_cast<int>((size / kG729SpeechBytes + (rest ? 1 : 0)) * kG729CodecFrameSamples);
}

int G729Codec::decode(const uint8_t *payload, size_t size, int16_t *pcm, size_t capacity) {
    size_t speech = size / kG729SpeechBytes;
    size_t rest = size % kG729SpeechBytes;
    int samples = payload_samples(size);
    if (samples < 0 || size_t(samples) > capacity)
        return -1;
    size_t frames = size_t(samples) / kG729CodecFrameSamples;
    for (size_t i = 0; i < speech; i++)
        bcg729Decoder(dec_, payload + i * kG729SpeechBytes, kG729SpeechBytes, 0, 0, 0,
                      pcm + i * kG729CodecFrameSamples);
    if (rest)
        bcg729Decoder(dec_, payload + speech * kG729SpeechBytes, kG729SidBytes, 0, 1, 0,
                      pcm + speech * kG729CodecFrameSamples);
    return static_cast<int>(frames * kG729CodecFrameSamples);
}

void G729Codec::conceal(int16_t *pcm, size_t samples) {
    for (size_t done = 0; done < samples; done += kG729CodecFrameSamples) {
        if (samples - done >= kG729CodecFrameSamples) {
            bcg729Decoder(dec_, nullptr, 0, 1, 0, 0, pcm + done);
        } else {
            int16_t last[kG729CodecFrameSamples];
            bcg729Decoder(dec_, nullptr, 0, 1, 0, 0, last);
            std::memcpy(pcm + done, last, (samples - done) * sizeof(int16_t));
        }
    }
}

// ---- SDP ----

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

}  // namespace

bool g729_peer_accepts_annexb(std::string_view fmtp) {
    while (!fmtp.empty()) {
        size_t semi = fmtp.find(';');
        std::string_view param = trim(fmtp.substr(0, semi));
        fmtp = semi == std::string_view::npos ? std::string_view() : fmtp.substr(semi + 1);
        size_t eq = param.find('=');
        if (eq == std::string_view::npos || !iequals(trim(param.substr(0, eq)), "annexb"))
            continue;
        return iequals(trim(param.substr(eq + 1)), "yes");
    }
    return true;
}

bool g729_choose_annexb(bool we_want, std::string_view peer_fmtp) {
    return we_want && g729_peer_accepts_annexb(peer_fmtp);
}

std::string g729_fmtp(bool annexb) {
    return annexb ? "annexb=yes" : "annexb=no";
}

}  // namespace callctl::dsp
