#include "capture.h"

#include <cmath>
#include <cstring>

#include "media.h"

#ifdef CALLCTL_HAVE_DSP
#include "dsp/audio_processor.h"
#endif

namespace callctl::media {

static_assert(CapturePath::kFrame == kFrame && Levels::kFrame == kFrame, "one frame size");

struct CapturePath::Processor {
#ifdef CALLCTL_HAVE_DSP
    std::unique_ptr<dsp::AudioProcessor> ap;
#endif
    bool on = false;
};

CapturePath::CapturePath() : proc_(std::make_unique<Processor>()) {}
CapturePath::~CapturePath() = default;

void CapturePath::set_processing(int aec, bool ns, bool agc) {
    Processor &p = *proc_;
    p.on = aec != 0 || ns || agc;
#ifdef CALLCTL_HAVE_DSP
    if (p.on && !p.ap) p.ap = std::make_unique<dsp::AudioProcessor>();
    if (p.ap) {
        p.ap->set_echo_cancel(aec != 0);
        p.ap->set_noise_suppress(ns);
        p.ap->set_auto_gain(agc);
    }
#else
    p.on = false;
#endif
}

void CapturePath::far_end(const int16_t speaker[kFrame]) {
#ifdef CALLCTL_HAVE_DSP
    if (proc_->on && proc_->ap) proc_->ap->far_end(speaker);
#else
    (void)speaker;
#endif
}

void CapturePath::process(int16_t mic[kFrame], int volume, bool mute) {
#ifdef CALLCTL_HAVE_DSP
    if (proc_->on && proc_->ap) proc_->ap->process_capture(mic);
#endif
    if (mute || volume == 0) {
        std::memset(mic, 0, kFrame * sizeof(int16_t));
    } else if (volume != 100) {
        int gain = volume * 1024 / 100;
        for (size_t i = 0; i < kFrame; ++i) mic[i] = int16_t(int32_t(mic[i]) * gain / 1024);
    }
}

// ---- levels -----------------------------------------------------------------------

double energy_of(double ms) {
    if (ms <= 0) return 0.0;
    // dBFS of the RMS, 0 dBFS being a full-scale square wave (32767).
    double db = 10.0 * std::log10(ms / (32767.0 * 32767.0));
    double e = (db + 60.0) * (100.0 / 60.0);
    return e < 0 ? 0.0 : e > 100 ? 100.0 : e;
}

namespace {
double mean_square(const int16_t *x) {
    int64_t s = 0;
    for (size_t i = 0; i < kFrame; ++i) s += int32_t(x[i]) * x[i];
    return double(s) / double(kFrame);
}
}  // namespace

void Levels::add(const int16_t mic[kFrame], const int16_t speaker[kFrame]) {
    in_ms_[pos_] = mean_square(mic);
    out_ms_[pos_] = mean_square(speaker);
    pos_ = (pos_ + 1) % 3;
    in_energy_ = energy_of((in_ms_[0] + in_ms_[1] + in_ms_[2]) / 3);
    out_energy_ = energy_of((out_ms_[0] + out_ms_[1] + out_ms_[2]) / 3);
}

void Levels::clear() {
    in_energy_ = 0.0;
    out_energy_ = 0.0;
    for (auto &x : in_ms_) x = 0;
    for (auto &x : out_ms_) x = 0;
}

}  // namespace callctl::media
