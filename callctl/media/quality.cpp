#include "quality.h"

#include <algorithm>
#include <cstdio>

namespace callctl::media {

Quality estimate_quality(const QualityFigures &f) {
    const double codec_ms = f.g729 ? 25 : 20;  // frame, plus G.729's 5 ms look-ahead
    const double d = (f.round_trip_ms > 0 ? f.round_trip_ms / 2.0 : 0) + std::max(0, f.buffer_ms) + codec_ms;
    double id = 0.024 * d;
    if (d > 177.3) id += 0.11 * (d - 177.3);
    const double ie0 = f.g729 ? 11 : 0, bpl = f.g729 ? 19 : 25.1;
    const double p = std::clamp(f.lost_percent, 0.0, 100.0);
    const double ie = ie0 + (95 - ie0) * p / (p + bpl);
    Quality q;
    q.r = std::clamp(93.2 - id - ie, 0.0, 100.0);
    // G.107's curve dips just below 1 for R under about 6.5; MOS stays at 1 there.
    q.mos = std::clamp(1 + 0.035 * q.r + q.r * (q.r - 60) * (100 - q.r) * 7e-6, 1.0, 4.5);
    q.bars = q.r >= 80 ? 5 : q.r >= 70 ? 4 : q.r >= 60 ? 3 : q.r >= 50 ? 2 : 1;
    return q;
}

std::string quality_text(const Quality &q) {
    char t[48];
    std::snprintf(t, sizeof t, "%d/5 (R %.0f, MOS %.1f)", q.bars, q.r, q.mos);
    return t;
}

}  // namespace callctl::media
