#include "device_slot.h"

#include <algorithm>

#include "../base/base.h"
#include "../base/log.h"

namespace callctl::media {

namespace {

// What differs between the two directions.
template <class Dev>
struct Direction;

template <>
struct Direction<device::Capture> {
    static constexpr bool kCapture = true;
    static constexpr const char *kWhat = "microphone";
    static constexpr const char *kNone = "silence";
    static std::unique_ptr<device::Capture> open(device::Factory &f, const std::string &name) {
        return f.open_capture(name);
    }
    static std::unique_ptr<device::Capture> null() { return device::null_capture(); }
    // A microphone takes over once it delivers.
    static bool ready(const device::Capture &d) { return d.started(); }
};

template <>
struct Direction<device::Playback> {
    static constexpr bool kCapture = false;
    static constexpr const char *kWhat = "speaker";
    static constexpr const char *kNone = "nothing is heard";
    static std::unique_ptr<device::Playback> open(device::Factory &f, const std::string &name) {
        return f.open_playback(name);
    }
    static std::unique_ptr<device::Playback> null() { return device::null_playback(); }
    static bool ready(const device::Playback &) { return true; }
};

}  // namespace

std::string device_text(const std::string &gbk_name) {
    return gbk_name.empty() ? "the default device" : "\"" + gbk_to_utf8(gbk_name) + "\"";
}

template <class Dev>
std::string DeviceSlot<Dev>::in_use_text() const {
    return !dev_ ? "none" : fallback_ ? "none (silence)" : device_text(name_);
}

template <class Dev>
bool DeviceSlot<Dev>::due(int64_t now) const {
    if (!dev_) return true;
    if (fallback_) return now >= retry_;
    if (dev_->failed()) return true;
    if (now >= asked_ && dev_->late_ms() >= kLateMs) return true;
    return next_ || now >= watch_;
}

template <class Dev>
void DeviceSlot<Dev>::forget_fallback() {
    fallback_ = false;
    back_ms_ = kBackMs;
}

template <class Dev>
void DeviceSlot<Dev>::update(device::Factory &f, const std::string &chosen, int64_t now, std::mutex &mu) {
    using D = Direction<Dev>;
    if (!dev_ || (fallback_ && now >= retry_)) return replace(f, chosen, false, false, now, mu);
    if (fallback_) return;
    const bool failed = dev_->failed();
    if (failed || (now >= asked_ && dev_->late_ms() >= kLateMs)) {
        // Silent for a while: still there? (The test open only for a silent one.)
        asked_ = now + kWatchMs;
        const bool gone = !f.listed(D::kCapture, name_) || !f.opens(D::kCapture, name_);
        if (failed || gone) return replace(f, chosen, true, gone, now, mu);
    }
    look(f, chosen, now, mu);
}

template <class Dev>
void DeviceSlot<Dev>::replace(device::Factory &f, const std::string &chosen, bool failed, bool gone, int64_t now,
                              std::mutex &mu) {
    using D = Direction<Dev>;
    std::unique_ptr<Dev> d, next = std::move(next_);  // one about to take over goes too
    // The chosen device, unless it is the one that just went or the list lacks it.
    const bool skip = failed && name_ == chosen;
    const bool try_chosen = !skip && (chosen.empty() || f.listed(D::kCapture, chosen));
    std::string used = chosen;
    if (try_chosen) d = D::open(f, chosen);
    const bool chosen_failed = !chosen.empty() && !skip && (!d || d->failed());
    if ((!d || d->failed()) && !(chosen.empty() && try_chosen)) {
        d = D::open(f, "");
        used.clear();
    }
    if (d && d->failed()) d.reset();
    const std::string def = d && used.empty() ? f.default_device(D::kCapture) : std::string();

    std::lock_guard<std::mutex> g(mu);
    if (failed) {
        ++failures_;
        // A device that fails again soon after it came back is looked for less often.
        back_ms_ = returned_ && now - opened_ < kSteadyMs ? std::min(back_ms_ * 2, kBackMaxMs) : kBackMs;
        std::string then = !d ? "" : used.empty() ? "; the default device in use" : "; " + device_text(used) + " in use";
        CALLCTL_LOG(log::Warning, "%s %s %s%s", D::kWhat, device_text(name_).c_str(), gone ? "gone" : "failed",
                    then.c_str());
    }
    if (chosen_failed && !fallback_ && !failed)
        CALLCTL_LOG(log::Warning, "%s %s could not be opened", D::kWhat, device_text(chosen).c_str());
    if (d) {
        if (fallback_) CALLCTL_LOG(log::Info, "%s %s is back", D::kWhat, device_text(used).c_str());
        std::swap(dev_, d);  // the old device closes with d, outside the lock
        returned_ = fallback_;
        fallback_ = false;
        name_ = used;
        default_ = def;
        opened_ = now;
        watch_ = now + kWatchMs;
        back_ = now + back_ms_;
        CALLCTL_LOG(log::Info, "%s %s opened", D::kWhat, device_text(used).c_str());
    } else {
        if (!dev_ || !fallback_) {
            d = D::null();
            std::swap(dev_, d);
            CALLCTL_LOG(log::Warning, "no %s can be opened: %s, another try every %d ms", D::kWhat, D::kNone,
                        retry_ms_);
        }
        fallback_ = true;
        retry_ = now + retry_ms_;
    }
}

template <class Dev>
void DeviceSlot<Dev>::look(device::Factory &f, const std::string &chosen, int64_t now, std::mutex &mu) {
    using D = Direction<Dev>;
    if (next_) {
        if (next_->failed() || now - next_since_ > kStartMs) {
            std::unique_ptr<Dev> d = std::move(next_);  // closes here; the one in use stays
            if (next_name_.empty()) default_ = f.default_device(D::kCapture);  // not tried again
            back_ms_ = std::min(back_ms_ * 2, kBackMaxMs);
            back_ = now + back_ms_;
            return;
        }
        if (!D::ready(*next_)) return;
        std::unique_ptr<Dev> old;
        const std::string def = next_name_.empty() ? f.default_device(D::kCapture) : std::string();
        std::lock_guard<std::mutex> g(mu);
        old = std::move(dev_);  // closes after the lock
        dev_ = std::move(next_);
        name_ = next_name_;
        default_ = def;
        opened_ = now;
        returned_ = true;
        if (name_.empty())
            CALLCTL_LOG(log::Info, "the default %s is now %s", D::kWhat, device_text(def).c_str());
        else
            CALLCTL_LOG(log::Info, "%s %s is back", D::kWhat, device_text(name_).c_str());
        return;
    }
    if (now < watch_) return;
    watch_ = now + kWatchMs;
    // The chosen device back in the list, while the default stands in for it.
    if (!chosen.empty() && name_ != chosen && now >= back_) {
        back_ = now + back_ms_;
        if (f.listed(D::kCapture, chosen)) {
            std::unique_ptr<Dev> d = D::open(f, chosen);
            if (d && !d->failed()) {
                next_ = std::move(d);
                next_name_ = chosen;
                next_since_ = now;
                return;
            }
        }
    }
    // The default device in use, and the default is another device now.
    if (name_.empty()) {
        const std::string def = f.default_device(D::kCapture);
        if (def.empty() || def == default_) return;
        if (!default_.empty()) {
            std::unique_ptr<Dev> d = D::open(f, "");
            if (d && !d->failed()) {
                next_ = std::move(d);
                next_name_.clear();
                next_since_ = now;
                return;
            }
        }
        default_ = def;  // no handle on the new one: the one in use stays
    }
}

template class DeviceSlot<device::Capture>;
template class DeviceSlot<device::Playback>;

}  // namespace callctl::media
