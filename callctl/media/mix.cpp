#include "mix.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace callctl::media {

namespace {
// Frame loops on buffers that never overlap (said so, the compiler makes them
// vector loops).
void add_to(int32_t *__restrict acc, const int16_t *__restrict x) {
    for (size_t i = 0; i < kFrame; ++i) acc[i] += x[i];
}

void add_half_to(int32_t *__restrict acc, const int16_t *__restrict x) {
    for (size_t i = 0; i < kFrame; ++i) acc[i] += x[i] / 2;
}

// out = acc - less (nullptr: nothing), saturated to 16 bits.
void saturate(const int32_t *__restrict acc, const int16_t *__restrict less, int16_t *__restrict out) {
#ifdef __SSE2__
    // Eight samples at a time; the pack instruction saturates as sat16 does.
    static_assert(kFrame % 8 == 0, "whole vectors");
    for (size_t i = 0; i < kFrame; i += 8) {
        __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(acc + i));
        __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(acc + i + 4));
        if (less) {
            const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i *>(less + i));
            lo = _mm_sub_epi32(lo, _mm_srai_epi32(_mm_unpacklo_epi16(l, l), 16));
            hi = _mm_sub_epi32(hi, _mm_srai_epi32(_mm_unpackhi_epi16(l, l), 16));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_packs_epi32(lo, hi));
    }
#else
    if (less)
        for (size_t i = 0; i < kFrame; ++i) out[i] = sat16(acc[i] - less[i]);
    else
        for (size_t i = 0; i < kFrame; ++i) out[i] = sat16(acc[i]);
#endif
}
}  // namespace

bool bridged_out(const ConferenceModes &modes, uint32_t conf) {
    if (!conf) return false;
    auto it = modes.find(conf);
    return it != modes.end() && it->second.held && it->second.bridging;
}

void mix_speaker(const MixParty *parties, size_t n, bool mute, int16_t speaker[kFrame]) {
    if (mute) {
        std::memset(speaker, 0, kFrame * sizeof(int16_t));
        return;
    }
    // The frames to add up: the parties heard and the tones.
    size_t heard = 0, tones = 0;
    const int16_t *only = nullptr;
    for (size_t p = 0; p < n; ++p) {
        if (!parties[p].out) {
            ++heard;
            only = parties[p].heard;
        }
        if (parties[p].tone) ++tones;
    }
    if (tones == 0 && heard <= 1) {
        if (only) std::memcpy(speaker, only, kFrame * sizeof(int16_t));
        else std::memset(speaker, 0, kFrame * sizeof(int16_t));
        return;
    }
    int32_t acc[kFrame] = {};
    for (size_t p = 0; p < n; ++p) {
        const MixParty &x = parties[p];
        if (!x.out) add_to(acc, x.heard);
        // The local copy of a tone is half as loud as the one sent.
        if (x.tone) add_half_to(acc, x.tone);
    }
    saturate(acc, nullptr, speaker);
}

void mix_sent(const MixParty *parties, size_t n, const int16_t mic[kFrame], int16_t *const *sent) {
    for (size_t p = 0; p < n; ++p) {
        const MixParty &x = parties[p];
        size_t members = 1;
        bool first = true;  // the conference's first party: it mixes for all of them
        if (x.conf)
            for (size_t q = 0; q < n; ++q)
                if (q != p && parties[q].conf == x.conf) {
                    ++members;
                    first = first && q > p;
                }
        if (members == 1) {
            if (x.out) std::memset(sent[p], 0, kFrame * sizeof(int16_t));
            else std::memcpy(sent[p], mic, kFrame * sizeof(int16_t));
            continue;
        }
        if (!first) continue;
        // The whole conference once (its parties share the bridging), then each
        // party gets it less its own audio.
        int32_t total[kFrame] = {};
        if (!x.out) add_to(total, mic);
        for (size_t q = p; q < n; ++q)
            if (parties[q].conf == x.conf) add_to(total, parties[q].heard);
        for (size_t q = p; q < n; ++q)
            if (parties[q].conf == x.conf) saturate(total, parties[q].heard, sent[q]);
    }
}

}  // namespace callctl::media
