// DTMF tone generation (ITU-T Q.23 frequency pairs) in 20 ms frames.
#pragma once

#include <cstddef>
#include <cstdint>

namespace callctl::media {

class ToneGenerator {
public:
    // Per-component amplitude: about -12 dBFS each, -9 dBFS together.
    static constexpr int kAmplitude = 8000;

    // Tone ids: 0-9 the digits, 10 '*', 11 '#'. False for other ids.
    bool start(int id);
    // Writes the next n samples of the tone (adds nothing when stopped).
    void next(int16_t *out, size_t n);
    static bool frequencies(int id, int *low, int *high);

private:
    double low_step_ = 0, high_step_ = 0, low_phase_ = 0, high_phase_ = 0;
};

}  // namespace callctl::media
