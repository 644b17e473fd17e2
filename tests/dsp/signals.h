// Test signals and measurements for the audio components: the espeak-ng
// talkers rendered by the build (render-speech.sh), synthetic noise and
// tones, a simulated room, and level / SNR / correlation figures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dsptest {

using Signal = std::vector<int16_t>;

// The talker rendered into the build tree ("far" or "near"), resampled to
// 8 kHz and scaled so its active speech is at `dbfs`. Fails the calling test
// (and returns empty) when the rendering is missing.
Signal speech(const std::string &name, double dbfs);

// Gaussian white noise at `dbfs` RMS, reproducible for a seed.
Signal white_noise(size_t samples, double dbfs, uint32_t seed);
// Noise shaped like a fan or air conditioning: white noise through a
// one-pole low-pass, at `dbfs` RMS.
Signal hum_noise(size_t samples, double dbfs, uint32_t seed);
Signal sine(size_t samples, double hz, double dbfs);

// A room: the loudspeaker-to-microphone impulse response with a direct path
// after `delay` samples and an exponentially decaying tail (reverberation
// time rt60_ms), total gain `gain_db`.
std::vector<float> room_response(size_t delay, double rt60_ms, double gain_db, uint32_t seed);
Signal convolve(const Signal &x, const std::vector<float> &h);
Signal mix(const Signal &a, const Signal &b);
// `x` shifted later by `lag` samples (zeros in front), same length.
Signal delayed(const Signal &x, size_t lag);
Signal slice(const Signal &x, size_t from, size_t to);

// RMS level in dBFS (full scale 32768) over [from, to).
double level_dbfs(const Signal &x, size_t from = 0, size_t to = SIZE_MAX);
// RMS level over the 20 ms frames within 30 dB of the loudest one.
double active_level_dbfs(const Signal &x);
// Energy ratio in dB of a over b, each over [from, to).
double ratio_db(const Signal &a, const Signal &b, size_t from, size_t to);
// 10 log10(|ref|^2 / |ref - out|^2) over [from, to).
double snr_db(const Signal &ref, const Signal &out, size_t from, size_t to);
// Normalised correlation of ref and out over [from, to).
double correlation(const Signal &ref, const Signal &out, size_t from, size_t to);
// Lag in [0, max_lag] at which out matches ref best (correlation).
size_t best_lag(const Signal &ref, const Signal &out, size_t max_lag);
// Largest |x[n] - x[n-1]| over [from, to).
int max_step(const Signal &x, size_t from, size_t to);

}  // namespace dsptest
