// bench_dsp g729|process|none [SECONDS]
//
// Runs one audio component over SECONDS (default 10) of the test talkers at
// 8 kHz in 20 ms frames, the way the media path calls it:
//   g729     G729Codec::encode + decode of every frame (Annex B off: every
//            frame is coded, the worst case);
//   process  AudioProcessor with echo cancellation, noise suppression and
//            gain on, fed far-end frames and microphone frames of the
//            simulated room of the echo tests;
//   none     only prepares the signals (a baseline).
// The work is inside bench_run_g729 / bench_run_process, so that callgrind
// can count it alone (--toggle-collect); run.sh does that. The program also
// prints its own wall-clock time.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dsp/audio_processor.h"
#include "dsp/g729.h"
#include "signals.h"

using namespace callctl::dsp;
using dsptest::Signal;

extern "C" {

__attribute__((noinline)) long bench_run_g729(const int16_t *pcm, size_t samples, int16_t *out) {
    G729Codec tx(false), rx(false);
    long bytes = 0;
    for (size_t f = 0; f + kFrameSamples <= samples; f += kFrameSamples) {
        G729Packet p[2];
        int n = tx.encode(pcm + f, p);
        for (int i = 0; i < n; i++) {
            bytes += static_cast<long>(p[i].size);
            rx.decode(p[i].data, p[i].size, out + f + p[i].offset, samples - f - p[i].offset);
        }
    }
    return bytes;
}

__attribute__((noinline)) long bench_run_process(const int16_t *far, const int16_t *mic, size_t samples,
                                                 int16_t *out) {
    AudioProcessor ap({true, true, true});
    for (size_t f = 0; f + kFrameSamples <= samples; f += kFrameSamples) {
        ap.far_end(far + f);
        std::memcpy(out + f, mic + f, kFrameSamples * sizeof(int16_t));
        ap.process_capture(out + f);
    }
    return ap.agc_gain_db();
}

}  // extern "C"

namespace {

Signal looped(const Signal &x, size_t samples) {
    Signal y(samples);
    for (size_t i = 0; i < samples; i++)
        y[i] = x[i % x.size()];
    return y;
}

}  // namespace

int main(int argc, char **argv) {
    std::string what = argc > 1 ? argv[1] : "";
    double seconds = argc > 2 ? std::atof(argv[2]) : 10.0;
    if ((what != "g729" && what != "process" && what != "none") || seconds <= 0) {
        std::fprintf(stderr, "usage: bench_dsp g729|process|none [SECONDS]\n");
        return 2;
    }
    size_t samples = static_cast<size_t>(seconds * kSampleRate) / kFrameSamples * kFrameSamples;

    Signal far_talk = dsptest::speech("far", -20);
    Signal near_talk = dsptest::speech("near", -26);
    if (far_talk.empty() || near_talk.empty())
        return 1;
    Signal far = looped(far_talk, samples);
    Signal near = dsptest::delayed(looped(near_talk, samples), samples / 2);
    Signal echo = dsptest::convolve(far, dsptest::room_response(480, 120, -6, 11));
    Signal mic = dsptest::mix(dsptest::mix(echo, near), dsptest::white_noise(samples, -65, 3));
    Signal out(samples, 0);

    auto t0 = std::chrono::steady_clock::now();
    long result = 0;
    if (what == "g729")
        result = bench_run_g729(far.data(), samples, out.data());
    else if (what == "process")
        result = bench_run_process(far.data(), mic.data(), samples, out.data());
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%s: %.1f s of audio in %.4f s (result %ld, output level %.1f dBFS)\n", what.c_str(),
                static_cast<double>(samples) / kSampleRate, wall, result, dsptest::level_dbfs(out));
    return 0;
}
