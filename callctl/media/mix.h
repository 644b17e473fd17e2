// Who hears whom in one 20 ms tick: the speaker mix and the mix each call
// is sent, from the audio each party sent us, the conferences they are in
// and the local microphone. Pure functions of their inputs: no clock, no
// streams, no devices.
//
// Rules:
//  - the speaker plays every party plus half of each local tone, except
//    the parties of a conference held with bridging (they talk among
//    themselves without the local user); muted, it plays silence;
//  - a party is sent the microphone (none while its conference is held
//    with bridging) plus, in a conference, every other party of that
//    conference, never itself (N-1 mixing);
//  - sums saturate at the 16-bit range.
// A party on hold, or one that sends us nothing, comes with silence as its
// audio: it is heard by nobody.
//
// The work follows what there is to mix: the speaker of a single party
// (no tone) is a copy of its frame, a party outside any conference is sent
// a copy of the microphone, and only a conference sums frames: once for all
// its parties, each then getting the sum less its own audio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "media.h"

namespace callctl::media {

struct MixParty {
    const int16_t *heard = nullptr;  // kFrame samples received from the party this tick
    uint32_t conf = 0;               // its conference, 0 none
    const int16_t *tone = nullptr;   // a tone played locally for it (kFrame samples), or nullptr
    bool out = false;                // bridged_out() of its conference
};

using ConferenceModes = std::map<uint32_t, ConferenceMode>;

// Whether a party of conference conf is out of the local user's hearing
// and out of reach of the microphone (looked up when the parties change,
// not every tick).
bool bridged_out(const ConferenceModes &modes, uint32_t conf);

void mix_speaker(const MixParty *parties, size_t n, bool mute, int16_t speaker[kFrame]);
// sent[i] (kFrame samples each) gets what party i is sent.
void mix_sent(const MixParty *parties, size_t n, const int16_t mic[kFrame], int16_t *const *sent);

inline int16_t sat16(int32_t v) { return int16_t(v > 32767 ? 32767 : v < -32768 ? -32768 : v); }

}  // namespace callctl::media
