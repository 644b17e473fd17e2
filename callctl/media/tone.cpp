#include "tone.h"

#include <cmath>

namespace callctl::media {

namespace {
constexpr double kTwoPi = 6.283185307179586;
}

bool ToneGenerator::frequencies(int id, int *low, int *high) {
    static const int rows[4] = {697, 770, 852, 941};
    static const int cols[3] = {1209, 1336, 1477};
    int r, c;
    if (id >= 1 && id <= 9) {
        r = (id - 1) / 3;
        c = (id - 1) % 3;
    } else if (id == 0) {
        r = 3, c = 1;
    } else if (id == 10) {
        r = 3, c = 0;
    } else if (id == 11) {
        r = 3, c = 2;
    } else {
        return false;
    }
    *low = rows[r];
    *high = cols[c];
    return true;
}

bool ToneGenerator::start(int id) {
    int lo, hi;
    if (!frequencies(id, &lo, &hi)) return false;
    low_step_ = kTwoPi * lo / 8000.0;
    high_step_ = kTwoPi * hi / 8000.0;
    low_phase_ = high_phase_ = 0;
    return true;
}

void ToneGenerator::next(int16_t *out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        out[i] = int16_t(kAmplitude * (std::sin(low_phase_) + std::sin(high_phase_)));
        low_phase_ += low_step_;
        high_phase_ += high_step_;
    }
    if (low_phase_ > kTwoPi * 1000) low_phase_ = std::fmod(low_phase_, kTwoPi);
    if (high_phase_ > kTwoPi * 1000) high_phase_ = std::fmod(high_phase_, kTwoPi);
}

}  // namespace callctl::media
