#include "dsp/audio_processor.h"

#include <cmath>
#include <cstring>

extern "C" {
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
}

namespace callctl::dsp {

namespace {

int16_t clamp16(float v) {
    if (v > 32767.f)
        return 32767;
    if (v < -32768.f)
        return -32768;
    return static_cast<int16_t>(std::lrint(v));
}

// out = from faded out, to faded in, linearly over one frame.
void crossfade(const int16_t *from, const int16_t *to, int16_t *out) {
    for (size_t i = 0; i < kFrameSamples; i++) {
        float w = (static_cast<float>(i) + 0.5f) / kFrameSamples;
        out[i] = clamp16(from[i] * (1.f - w) + to[i] * w);
    }
}

void ctl_int(SpeexPreprocessState *st, int request, spx_int32_t value) {
    speex_preprocess_ctl(st, request, &value);
}

// The AGC's level is a perceptually weighted loudness, not an RMS: with
// speech it settles the active-speech RMS this many dB below the level
// (measured 12.8-13.1 dB for a male and a female voice at several levels).
constexpr float kAgcLoudnessAboveRmsDb = 13.f;

}  // namespace

AudioProcessor::AudioProcessor(AudioModes modes)
    : want_aec_(modes.echo_cancel), want_ns_(modes.noise_suppress), want_agc_(modes.auto_gain) {
    const int frame = static_cast<int>(kFrameSamples);
    echo_ = speex_echo_state_init(frame, kSampleRate * kTailMs / 1000);
    spx_int32_t rate = kSampleRate;
    speex_echo_ctl(echo_, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);

    pre_ = speex_preprocess_state_init(frame, kSampleRate);
    ctl_int(pre_, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS, kEchoSuppressDb);
    ctl_int(pre_, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS_ACTIVE, kEchoSuppressActiveDb);
    float level = 32768.f * std::pow(10.f, (kAgcTargetDbfs + kAgcLoudnessAboveRmsDb) / 20.f);
    speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_AGC_LEVEL, &level);
    ctl_int(pre_, SPEEX_PREPROCESS_SET_AGC_MAX_GAIN, kAgcMaxGainDb);
    ctl_int(pre_, SPEEX_PREPROCESS_SET_AGC_INCREMENT, kAgcIncrementDbPerSecond);
    ctl_int(pre_, SPEEX_PREPROCESS_SET_AGC_DECREMENT, kAgcDecrementDbPerSecond);
    ctl_int(pre_, SPEEX_PREPROCESS_SET_DEREVERB, 0);
    apply_preprocessor_modes(modes.echo_cancel, modes.noise_suppress, modes.auto_gain);
}

AudioProcessor::~AudioProcessor() {
    speex_preprocess_state_destroy(pre_);
    speex_echo_state_destroy(echo_);
}

void AudioProcessor::apply_preprocessor_modes(bool aec, bool ns, bool agc) {
    // The preprocessor's spectral gain carries both the noise and the
    // residual echo suppression, so it stays on while either is wanted; with
    // the canceller alone the noise floor is left at 0 dB (no noise taken out).
    ctl_int(pre_, SPEEX_PREPROCESS_SET_DENOISE, ns || aec ? 1 : 0);
    ctl_int(pre_, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, ns ? kNoiseSuppressDb : 0);
    ctl_int(pre_, SPEEX_PREPROCESS_SET_AGC, agc ? 1 : 0);
    pre_aec_ = aec;
    ns_on_ = ns;
    agc_on_ = agc;
}

void AudioProcessor::process_capture(int16_t frame[kFrameSamples]) {
    const bool aec = want_aec_.load();
    const bool ns = want_ns_.load();
    const bool agc = want_agc_.load();
    if (aec != pre_aec_ || ns != ns_on_ || agc != agc_on_)
        apply_preprocessor_modes(aec, ns, agc);

    // One reference frame per microphone frame, also while the canceller is
    // off, so the pairing is right the moment it comes back on.
    int16_t far[kFrameSamples];
    far_.pop(far);

    if (aec || aec_on_) {
        int16_t mic[kFrameSamples];
        std::memcpy(mic, frame, sizeof mic);
        if (aec && !aec_on_) {
            // Start from an empty filter: the echo path may have changed while
            // off, and the canceller's history is stale. Its output starts out
            // close to the microphone signal, and the fade hides the rest.
            speex_echo_state_reset(echo_);
            speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_ECHO_STATE, echo_);
        }
        speex_echo_cancellation(echo_, mic, far, frame);
        if (aec && !aec_on_)
            crossfade(mic, frame, frame);
        else if (!aec && aec_on_)
            crossfade(frame, mic, frame);
    }

    speex_preprocess_run(pre_, frame);

    if (!aec && aec_on_)
        speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_ECHO_STATE, nullptr);
    aec_on_ = aec;

    spx_int32_t gain_db = 0;
    if (agc_on_)
        speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_GET_AGC_GAIN, &gain_db);
    agc_gain_db_.store(gain_db);
}

}  // namespace callctl::dsp
