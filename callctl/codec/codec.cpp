#include "codec.h"

#include <cctype>

#include "plc.h"

#ifdef CALLCTL_HAVE_G729
#include "dsp/g729.h"
#endif

namespace callctl::codec {

namespace {

bool iequal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

template <void (*Enc)(const int16_t *, uint8_t *, size_t), void (*Dec)(const uint8_t *, int16_t *, size_t)>
class G711 final : public AudioCodec {
public:
    size_t encode(const int16_t pcm[kFrameSamples], uint8_t *out) override {
        Enc(pcm, out, kFrameSamples);
        return kFrameSamples;
    }
    int decode(const uint8_t *payload, size_t size, int16_t *pcm, size_t capacity) override {
        if (size == 0 || size > capacity) return -1;
        Dec(payload, pcm, size);
        return int(size);
    }
    int samples_in(const uint8_t *, size_t size, bool *silence) const override {
        *silence = false;
        return size ? int(size) : -1;
    }
    void played(int16_t *pcm, size_t samples) override { plc_.played(pcm, samples); }
    bool conceal(int16_t *pcm, size_t samples) override {
        plc_.conceal(pcm, samples);
        return true;
    }

private:
    LossConcealer plc_;
};

#ifdef CALLCTL_HAVE_G729
class G729 final : public AudioCodec {
public:
    explicit G729(bool annexb) : c_(annexb) {}
    size_t encode(const int16_t pcm[kFrameSamples], uint8_t *out) override {
        // One payload per frame: with silence suppression only the first.
        dsp::G729Packet p[2];
        int n = c_.encode(pcm, p);
        if (n < 1) return 0;
        for (size_t i = 0; i < p[0].size; ++i) out[i] = p[0].data[i];
        return p[0].size;
    }
    int encode_packets(const int16_t pcm[kFrameSamples], Packet out[2]) override {
        dsp::G729Packet p[2];
        int n = c_.encode(pcm, p);
        for (int k = 0; k < n; ++k) {
            for (size_t i = 0; i < p[k].size; ++i) out[k].data[i] = p[k].data[i];
            out[k].size = p[k].size;
            out[k].offset = p[k].offset;
            out[k].talkspurt = p[k].talkspurt;
            out[k].silence = p[k].size % dsp::kG729SpeechBytes == dsp::kG729SidBytes;
        }
        return n;
    }
    int decode(const uint8_t *payload, size_t size, int16_t *pcm, size_t capacity) override {
        int k = c_.decode(payload, size, pcm, capacity);
        if (k > 0) silent_ = size % dsp::kG729SpeechBytes == dsp::kG729SidBytes;
        return k;
    }
    int samples_in(const uint8_t *, size_t size, bool *silence) const override {
        *silence = size % dsp::kG729SpeechBytes == dsp::kG729SidBytes;
        return dsp::G729Codec::payload_samples(size);
    }
    bool comfort_noise(int16_t *pcm, size_t samples) override {
        if (!silent_) return false;
        c_.conceal(pcm, samples);
        return true;
    }
    // The decoder's frame erasure: its own concealment after speech (comfort
    // noise after a silence description). The jitter buffer decodes in
    // playout order, so it conceals from the packet before the gap; a piece
    // shorter than 10 ms still costs the decoder a whole frame.
    bool conceal(int16_t *pcm, size_t samples) override {
        c_.conceal(pcm, samples);
        return true;
    }

private:
    dsp::G729Codec c_;
    bool silent_ = false;
};
#endif

}  // namespace

const std::vector<CodecInfo> &built_in() {
    static const std::vector<CodecInfo> table = {
        {"PCMU", 0, 8000, nullptr},
        {"PCMA", 8, 8000, nullptr},
#ifdef CALLCTL_HAVE_G729
        // Silence suppression (Annex B) offered; used when the peer accepts it.
        {"G729", 18, 8000, "annexb=yes"},
#endif
    };
    return table;
}

const CodecInfo *find(std::string_view name) {
    for (const auto &c : built_in())
        if (iequal(c.name, name)) return &c;
    return nullptr;
}

int AudioCodec::encode_packets(const int16_t pcm[kFrameSamples], Packet out[2]) {
    size_t n = encode(pcm, out[0].data);
    if (n == 0) return 0;
    out[0].size = n;
    out[0].offset = 0;
    out[0].talkspurt = false;
    out[0].silence = false;
    return 1;
}

std::string answer_fmtp(const CodecInfo &c, std::string_view offer_fmtp) {
#ifdef CALLCTL_HAVE_G729
    if (std::string_view(c.name) == "G729") return dsp::g729_fmtp(dsp::g729_peer_accepts_annexb(offer_fmtp));
#endif
    (void)offer_fmtp;
    return c.fmtp ? c.fmtp : "";
}

std::unique_ptr<AudioCodec> make(std::string_view name, std::string_view peer_fmtp) {
    const CodecInfo *c = find(name);
    if (!c) return nullptr;
    std::string_view n = c->name;
    if (n == "PCMU") return std::make_unique<G711<ulaw_encode, ulaw_decode>>();
    if (n == "PCMA") return std::make_unique<G711<alaw_encode, alaw_decode>>();
#ifdef CALLCTL_HAVE_G729
    if (n == "G729") return std::make_unique<G729>(dsp::g729_choose_annexb(true, peer_fmtp));
#endif
    (void)peer_fmtp;
    return nullptr;
}

std::vector<const CodecInfo *> offer_order(std::string_view selected) {
    std::vector<const CodecInfo *> out;
    auto add = [&](std::string_view n) {
        const CodecInfo *c = find(n);
        if (!c) return;
        for (auto *o : out)
            if (o == c) return;
        out.push_back(c);
    };
    add(selected);
    add("PCMU");
    add("PCMA");
    return out;
}

}  // namespace callctl::codec
