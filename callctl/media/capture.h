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
// readable from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

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

private:
    struct Processor;
    std::unique_ptr<Processor> proc_;
};

class Levels {
public:
    static constexpr size_t kFrame = 160;

    void add(const int16_t mic[kFrame], const int16_t speaker[kFrame]);
    // Both 0 (the devices closed); the frames before no longer count.
    void clear();
    double input() const { return in_energy_.load(); }
    double output() const { return out_energy_.load(); }

private:
    double in_ms_[3] = {}, out_ms_[3] = {};  // mean squares of the last three frames
    int pos_ = 0;
    std::atomic<double> in_energy_{0.0}, out_energy_{0.0};
};

}  // namespace callctl::media
