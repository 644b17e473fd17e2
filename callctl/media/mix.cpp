#include "mix.h"

namespace callctl::media {

bool bridged_out(const ConferenceModes &modes, uint32_t conf) {
    if (!conf) return false;
    auto it = modes.find(conf);
    return it != modes.end() && it->second.held && it->second.bridging;
}

void mix_speaker(const MixParty *parties, size_t n, const ConferenceModes &modes, bool mute,
                 int16_t speaker[kFrame]) {
    int32_t acc[kFrame] = {};
    for (size_t p = 0; p < n; ++p) {
        const MixParty &x = parties[p];
        if (!bridged_out(modes, x.conf))
            for (size_t i = 0; i < kFrame; ++i) acc[i] += x.heard[i];
        // The local copy of a tone is half as loud as the one sent.
        if (x.tone)
            for (size_t i = 0; i < kFrame; ++i) acc[i] += x.tone[i] / 2;
    }
    for (size_t i = 0; i < kFrame; ++i) speaker[i] = mute ? 0 : sat16(acc[i]);
}

void mix_sent(const MixParty *parties, size_t n, const ConferenceModes &modes, const int16_t mic[kFrame],
              int16_t *const *sent) {
    for (size_t p = 0; p < n; ++p) {
        const MixParty &x = parties[p];
        bool out = bridged_out(modes, x.conf);
        int32_t acc[kFrame];
        for (size_t i = 0; i < kFrame; ++i) acc[i] = out ? 0 : mic[i];
        if (x.conf)
            for (size_t q = 0; q < n; ++q)
                if (q != p && parties[q].conf == x.conf)
                    for (size_t i = 0; i < kFrame; ++i) acc[i] += parties[q].heard[i];
        for (size_t i = 0; i < kFrame; ++i) sent[p][i] = sat16(acc[i]);
    }
}

}  // namespace callctl::media
