// Capture-path audio processing for one call's microphone signal, built on
// speexdsp: acoustic echo cancellation with residual echo suppression, noise
// suppression and automatic gain control, each switchable at any time.
//
// How the media path drives it (20 ms frames of 160 samples, 8 kHz mono):
//  - playback thread: far_end(frame) with every frame handed to the speaker,
//    at the moment it is handed over (after mixing, volume and mute: the
//    exact samples that will sound), silence included;
//  - capture thread: process_capture(frame) on every microphone frame, in
//    place, before level metering, recording and encoding;
//  - any thread: set_echo_cancel / set_noise_suppress / set_auto_gain. A
//    change is picked up by the next process_capture().
// The far-end frames reach the capture thread through a FarEndQueue; its
// header states the delay budget the echo canceller can cover.
//
// The output lags the input by kLatencySamples (the preprocessor's
// overlap-add), whatever is switched on, so switching never shifts the
// signal in time. Switching is click-free: the echo canceller's output and
// the plain microphone signal are cross-faded over one frame when it goes on
// or off; noise suppression and gain changes pass through the preprocessor's
// overlap-add window. When echo cancellation is off the microphone passes
// the canceller untouched and the canceller does not run; when it comes back
// on, the canceller starts from an empty filter and re-converges (about one
// to two seconds of far-end speech).
//
// Automatic gain: the preprocessor's AGC brings the active parts of speech
// to kAgcTargetDbfs RMS (-20 dBFS), with at most kAgcMaxGainDb of gain,
// rising by at most kAgcIncrementDbPerSecond while someone speaks and
// falling by at most kAgcDecrementDbPerSecond. A -40 dBFS talker reaches the
// target within about two seconds of speech.
//
// Echo cancellation takes out the band below about 200 Hz (the canceller's
// input filter), which the telephone band does not carry anyway.
#pragma once

#include <atomic>
#include <cstdint>

#include "dsp/far_end_queue.h"
#include "dsp/frame.h"

struct SpeexEchoState_;
struct SpeexPreprocessState_;

namespace callctl::dsp {

struct AudioModes {
    bool echo_cancel = false;
    bool noise_suppress = false;
    bool auto_gain = false;
};

class AudioProcessor {
public:
    // Echo paths up to 200 ms (far_end_queue.h has the budget). The canceller
    // works in blocks of one frame, and most of its cost is per frame (its
    // FFTs), not per block: at 100 ms it would save only a tenth of the
    // processing's instructions and leave slower sound devices uncancelled.
    static constexpr int kTailMs = 200;
    static constexpr size_t kLatencySamples = kFrameSamples;
    static constexpr int kNoiseSuppressDb = -20;        // deepest noise attenuation
    static constexpr int kEchoSuppressDb = -40;         // residual echo, far end alone
    static constexpr int kEchoSuppressActiveDb = -15;   // residual echo, both talking
    static constexpr int kAgcTargetDbfs = -20;
    static constexpr int kAgcMaxGainDb = 30;
    static constexpr int kAgcIncrementDbPerSecond = 12;
    static constexpr int kAgcDecrementDbPerSecond = -40;

    explicit AudioProcessor(AudioModes modes = AudioModes{});
    ~AudioProcessor();
    AudioProcessor(const AudioProcessor &) = delete;
    AudioProcessor &operator=(const AudioProcessor &) = delete;

    void set_echo_cancel(bool on) { want_aec_.store(on); }
    void set_noise_suppress(bool on) { want_ns_.store(on); }
    void set_auto_gain(bool on) { want_agc_.store(on); }
    AudioModes modes() const { return {want_aec_.load(), want_ns_.load(), want_agc_.load()}; }

    // Playback thread.
    void far_end(const int16_t frame[kFrameSamples]) { far_.push(frame); }

    // Capture thread.
    void process_capture(int16_t frame[kFrameSamples]);

    // Any thread.
    FarEndQueue::Counters far_end_counters() const { return far_.counters(); }
    // Current AGC gain in dB (0 while AGC is off or has not adapted yet).
    int agc_gain_db() const { return agc_gain_db_.load(); }

private:
    void apply_preprocessor_modes(bool aec, bool ns, bool agc);

    std::atomic<bool> want_aec_;
    std::atomic<bool> want_ns_;
    std::atomic<bool> want_agc_;
    std::atomic<int> agc_gain_db_{0};
    FarEndQueue far_;

    // Capture thread only.
    SpeexEchoState_ *echo_ = nullptr;
    SpeexPreprocessState_ *pre_ = nullptr;
    bool aec_on_ = false;   // the canceller ran on the last frame
    bool pre_aec_ = false;  // the preprocessor is set up for echo suppression
    bool ns_on_ = false;
    bool agc_on_ = false;
};

}  // namespace callctl::dsp
