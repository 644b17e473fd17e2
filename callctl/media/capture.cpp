#include "capture.h"

#include <cmath>
#include <cstring>

#include "../base/base.h"
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

bool CapturePath::hears_speaker() const {
#ifdef CALLCTL_HAVE_DSP
    return proc_->on && proc_->ap;
#else
    return false;
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

void Levels::add(const int16_t mic[kFrame], const int16_t *speaker) {
    std::lock_guard<std::mutex> g(mu_);
    if (stale_.exchange(false, std::memory_order_relaxed))
        for (int k = 0; k < 3; ++k) in_kept_[k] = out_kept_[k] = false;
    std::memcpy(in_[pos_], mic, sizeof in_[pos_]);
    in_kept_[pos_] = true;
    out_kept_[pos_] = speaker != nullptr;
    if (speaker) std::memcpy(out_[pos_], speaker, sizeof out_[pos_]);
    pos_ = (pos_ + 1) % 3;
}

void Levels::clear() {
    std::lock_guard<std::mutex> g(mu_);
    for (int k = 0; k < 3; ++k) in_kept_[k] = out_kept_[k] = false;
}

namespace {
// The level of the frames kept (those not kept count as silence).
double level_of(const int16_t (*frames)[kFrame], const bool *kept, bool stale) {
    double sum = 0;
    for (int k = 0; k < 3 && !stale; ++k)
        if (kept[k]) sum += mean_square(frames[k]);
    return energy_of(sum / 3);
}
}  // namespace

double Levels::input() const {
    asked_.store(now_ms(), std::memory_order_relaxed);
    std::lock_guard<std::mutex> g(mu_);
    return level_of(in_, in_kept_, stale_.load(std::memory_order_relaxed));
}

double Levels::output() const {
    asked_.store(now_ms(), std::memory_order_relaxed);
    std::lock_guard<std::mutex> g(mu_);
    return level_of(out_, out_kept_, stale_.load(std::memory_order_relaxed));
}

}  // namespace callctl::media
