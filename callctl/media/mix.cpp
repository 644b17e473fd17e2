#include "mix.h"

#include <cstring>

namespace callctl::media {

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
        if (!x.out)
            for (size_t i = 0; i < kFrame; ++i) acc[i] += x.heard[i];
        // The local copy of a tone is half as loud as the one sent.
        if (x.tone)
            for (size_t i = 0; i < kFrame; ++i) acc[i] += x.tone[i] / 2;
    }
    for (size_t i = 0; i < kFrame; ++i) speaker[i] = sat16(acc[i]);
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
        int32_t total[kFrame];
        for (size_t i = 0; i < kFrame; ++i) total[i] = x.out ? 0 : mic[i];
        for (size_t q = p; q < n; ++q)
            if (parties[q].conf == x.conf)
                for (size_t i = 0; i < kFrame; ++i) total[i] += parties[q].heard[i];
        for (size_t q = p; q < n; ++q)
            if (parties[q].conf == x.conf)
                for (size_t i = 0; i < kFrame; ++i) sent[q][i] = sat16(total[i] - parties[q].heard[i]);
    }
}

}  // namespace callctl::media
