// The audio frame every component in this folder works on: 20 ms of 8 kHz
// mono 16-bit linear PCM, the media path's packet time.
#pragma once

#include <cstddef>

namespace callctl::dsp {

constexpr int kSampleRate = 8000;
constexpr int kFrameMs = 20;
constexpr size_t kFrameSamples = kSampleRate / 1000 * kFrameMs;  // 160

}  // namespace callctl::dsp
