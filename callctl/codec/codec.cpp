#include "codec.h"

#include <cctype>

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

template <uint8_t (*Enc)(int16_t), int16_t (*Dec)(uint8_t)>
class G711 final : public AudioCodec {
public:
    size_t encode(const int16_t pcm[kFrameSamples], uint8_t *out) override {
        for (size_t i = 0; i < kFrameSamples; ++i) out[i] = Enc(pcm[i]);
        return kFrameSamples;
    }
    int decode(const uint8_t *payload, size_t size, int16_t *pcm, size_t capacity) override {
        if (size == 0 || size > capacity) return -1;
        for (size_t i = 0; i < size; ++i) pcm[i] = Dec(payload[i]);
        return int(size);
    }
};

#ifdef CALLCTL_HAVE_G729
class G729 final : public AudioCodec {
public:
    G729() : c_(false) {}
    size_t encode(const int16_t pcm[kFrameSamples], uint8_t *out) override {
        dsp::G729Packet p[2];
        int n = c_.encode(pcm, p);
        // Annex B is off: always one 20-byte packet.
        if (n < 1) return 0;
        for (size_t i = 0; i < p[0].size; ++i) out[i] = p[0].data[i];
        return p[0].size;
    }
    int decode(const uint8_t *payload, size_t size, int16_t *pcm, size_t capacity) override {
        return c_.decode(payload, size, pcm, capacity);
    }

private:
    dsp::G729Codec c_;
};
#endif

}  // namespace

const std::vector<CodecInfo> &built_in() {
    static const std::vector<CodecInfo> table = {
        {"PCMU", 0, 8000, nullptr},
        {"PCMA", 8, 8000, nullptr},
#ifdef CALLCTL_HAVE_G729
        // We send no SID frames; received ones are decoded.
        {"G729", 18, 8000, "annexb=no"},
#endif
    };
    return table;
}

const CodecInfo *find(std::string_view name) {
    for (const auto &c : built_in())
        if (iequal(c.name, name)) return &c;
    return nullptr;
}

std::unique_ptr<AudioCodec> make(std::string_view name) {
    const CodecInfo *c = find(name);
    if (!c) return nullptr;
    std::string_view n = c->name;
    if (n == "PCMU") return std::make_unique<G711<linear_to_ulaw, ulaw_to_linear>>();
    if (n == "PCMA") return std::make_unique<G711<linear_to_alaw, alaw_to_linear>>();
#ifdef CALLCTL_HAVE_G729
    if (n == "G729") return std::make_unique<G729>();
#endif
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
