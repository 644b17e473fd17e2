// How a call sounds, as one figure: a simplified E-model (ITU-T G.107) from what the
// receiving side measured over an interval.
//
//   mouth-to-ear delay d = half the RTCP round trip (0 while unknown) + the jitter
//                          buffer's playout delay + the codec's frame and look-ahead
//   Id  = 0.024 d + 0.11 (d - 177.3) when d > 177.3
//   Ie  = Ie0 + (95 - Ie0) P / (P + Bpl), P the percentage of audio lost or concealed
//         (G.711 with concealment: Ie0 0, Bpl 25.1; G.729: Ie0 11, Bpl 19)
//   R   = 93.2 - Id - Ie, MOS from R as G.107 gives it
//   bars: R >= 80 five, >= 70 four, >= 60 three, >= 50 two, else one
//
// Jitter enters through the playout delay it makes the buffer keep and through the
// packets that still came too late (concealed). It is an estimate for a figure in the
// window, not a listening test: echo, noise and the far end's own path are not in it.
#pragma once

#include <cstdint>
#include <string>

namespace callctl::media {

struct QualityFigures {
    double lost_percent = 0;  // of the audio due in the interval, lost or concealed
    int round_trip_ms = -1;   // -1: not known
    int buffer_ms = 0;        // the jitter buffer's playout delay
    bool g729 = false;
};

struct Quality {
    int bars = 0;  // 1..5
    double r = 0, mos = 0;
};

Quality estimate_quality(const QualityFigures &f);

// "4/5 (R 78, MOS 3.9)" for the log.
std::string quality_text(const Quality &q);

}  // namespace callctl::media
