// The microphone's way into the calls, and the levels the program shows.
//
// CapturePath: echo cancellation, noise suppression and gain control (from
// the dsp folder when the build has it), then the input volume and mute.
// The processor runs only while one of its parts is on: it delays the
// signal by one frame, which calls without processing are spared. It hears
// each speaker frame as the far end before the microphone frame of the
// same tick.
//
// Levels: 0..100 over the last three frames (energy_of in media.h), one for
// what the calls are sent from the microphone and one for the speaker;
// readable from any thread. The tick only keeps the frames, and only while
// the program asks for the levels (it did within kWantedMs); a level is
// worked out when asked for, a few times a second at most, instead of at
// every tick. Asked for after a longer pause, the levels read 0 until the
// frames of the next ticks are in.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace callctl::media {

class CapturePath {
public:
    static constexpr size_t kFrame = 160;

    CapturePath();
    ~CapturePath();
    void set_processing(int aec_mode, bool noise_reduction, bool agc);
    void far_end(const int16_t speaker[kFrame]);
    // The frame in place: processing, then volume (0..100, linear gain
    // volume/100) and mute.
    void process(int16_t mic[kFrame], int volume, bool mute);
    // The processor runs and hears the speaker.
    bool hears_speaker() const;

private:
    struct Processor;
    std::unique_ptr<Processor> proc_;
};

class Levels {
public:
    static constexpr size_t kFrame = 160;
    // How long after the program last asked for a level the tick keeps the
    // frames (and makes a speaker frame that nothing else needs).
    static constexpr int64_t kWantedMs = 3000;

    // Whether the program asked for a level within kWantedMs of now.
    bool wanted(int64_t now) const { return now - asked_.load(std::memory_order_relaxed) < kWantedMs; }
    // One tick's frames, while wanted; speaker nullptr: no speaker frame was
    // made (it counts as silence).
    void add(const int16_t mic[kFrame], const int16_t *speaker);
    // A tick whose frames are not kept: those kept before are out of date.
    void skip() { stale_.store(true, std::memory_order_relaxed); }
    // Both 0 (the devices closed); the frames before no longer count.
    void clear();
    double input() const;
    double output() const;

private:
    mutable std::mutex mu_;
    int16_t in_[3][kFrame] = {}, out_[3][kFrame] = {};  // the last three frames
    bool in_kept_[3] = {}, out_kept_[3] = {};           // which of them count
    int pos_ = 0;
    std::atomic<bool> stale_{false};
    mutable std::atomic<int64_t> asked_{INT64_MIN / 2};
};

}  // namespace callctl::media
