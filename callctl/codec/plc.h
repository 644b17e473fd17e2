// Packet loss concealment for G.711 (and any codec without its own): spandsp's
// concealer, after ITU-T G.711 Appendix I. While audio plays it keeps the last
// 35 ms; a gap is filled with the last pitch period of it (found by AMDF,
// 5 ms to 15 ms), repeated, its ends joined by a quarter-period overlap-add,
// faded linearly to silence over 50 ms; the first quarter period of the
// fill-in is overlap-added with the audio before the gap, and the first
// quarter period of the audio after it with the fill-in's continuation.
//
// One per received stream, fed in playout order from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace callctl::codec {

class LossConcealer {
public:
    LossConcealer();
    ~LossConcealer();
    LossConcealer(const LossConcealer &) = delete;
    LossConcealer &operator=(const LossConcealer &) = delete;

    // Audio that plays, in order; its start is smoothed in place after a gap.
    void played(int16_t *pcm, size_t n);
    // n samples that did not arrive.
    void conceal(int16_t *pcm, size_t n);

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace callctl::codec
