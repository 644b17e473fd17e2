// Far-end frames on their way from the playback thread to the capture thread.
//
// The echo canceller needs, for each microphone frame, the speaker frame
// whose echo that microphone frame may hold. The playback thread pushes
// every 20 ms frame at the moment it hands it to the output device; the
// capture thread pops one frame per microphone frame. Both run at 20 ms, so
// the depth stays constant except for scheduling jitter and clock drift.
//
// Delay budget. The canceller sees the echo delayed by
//     D - W,   D = output device latency + acoustic path + input device latency,
//              W = time the reference waited in this queue,
// and can cancel it when 0 <= D - W < its tail (AudioProcessor::kTailMs).
// To keep W small, a standing depth is trimmed: when, over a window of
// kTrimWindow pops (1 s), the depth after each pop never fell below
// kStandingFrames + k, the k oldest frames are dropped (the canceller then
// re-adapts to a path 20*k ms shorter). So W stays between 0 and about
// 40 ms, and with the 200 ms tail echo paths with D from about 40 ms to
// 200 ms are cancelled: output plus input device latency of 40-190 ms, which
// holds for devices buffering one to four 20 ms frames each way. A reference
// missing at pop time (playback stalled or not started)
// is replaced by silence; more than kCapacity frames waiting means capture
// has stopped, and the oldest are dropped.
//
// push() and pop() may be called from different threads; one mutex guards
// the ring (a frame copy per call).
#pragma once

#include <cstdint>
#include <mutex>

#include "dsp/frame.h"

namespace callctl::dsp {

class FarEndQueue {
public:
    static constexpr size_t kCapacity = 16;        // frames (320 ms)
    static constexpr size_t kTrimWindow = 50;      // pops (1 s)
    static constexpr size_t kStandingFrames = 1;   // depth allowed to stand after a pop

    struct Counters {
        uint64_t pushed = 0;
        uint64_t popped = 0;     // pops that found a frame
        uint64_t underruns = 0;  // pops that found none (silence used)
        uint64_t overflows = 0;  // frames dropped because the queue was full
        uint64_t trimmed = 0;    // frames dropped to shorten a standing depth
        size_t depth = 0;
    };

    void push(const int16_t frame[kFrameSamples]);
    // Copies the oldest frame to `frame` and returns true; when the queue is
    // empty fills `frame` with silence and returns false.
    bool pop(int16_t frame[kFrameSamples]);
    // Drops everything queued and restarts the trimming window.
    void clear();
    Counters counters() const;

private:
    void drop_oldest(size_t n);

    mutable std::mutex mu_;
    int16_t ring_[kCapacity][kFrameSamples] = {};
    size_t head_ = 0;  // oldest
    size_t count_ = 0;
    size_t window_pops_ = 0;
    size_t window_min_ = kCapacity;
    Counters c_;
};

}  // namespace callctl::dsp
