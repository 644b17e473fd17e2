#include "device_slot.h"

#include "../base/base.h"
#include "../base/log.h"

namespace callctl::media {

namespace {

// What differs between the two directions.
template <class Dev>
struct Direction;

template <>
struct Direction<device::Capture> {
    static constexpr const char *kWhat = "microphone";
    static constexpr const char *kNone = "silence";
    static std::unique_ptr<device::Capture> open(device::Factory &f, const std::string &name) {
        return f.open_capture(name);
    }
    static std::unique_ptr<device::Capture> null() { return device::null_capture(); }
};

template <>
struct Direction<device::Playback> {
    static constexpr const char *kWhat = "speaker";
    static constexpr const char *kNone = "nothing is heard";
    static std::unique_ptr<device::Playback> open(device::Factory &f, const std::string &name) {
        return f.open_playback(name);
    }
    static std::unique_ptr<device::Playback> null() { return device::null_playback(); }
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
void DeviceSlot<Dev>::update(device::Factory &f, const std::string &chosen, int64_t now, std::mutex &mu) {
    using D = Direction<Dev>;
    bool failed = dev_ && dev_->failed();
    if (dev_ && !failed && !(fallback_ && now >= retry_)) return;
    std::unique_ptr<Dev> d;
    std::string used = chosen;
    if (!failed) d = D::open(f, chosen);
    bool chosen_failed = !failed && !chosen.empty() && (!d || d->failed());
    if (!d || d->failed()) {
        d = D::open(f, "");
        used.clear();
    }
    std::lock_guard<std::mutex> g(mu);
    if (failed) {
        ++failures_;
        CALLCTL_LOG(log::Warning, "%s %s failed", D::kWhat, device_text(name_).c_str());
    }
    if (chosen_failed && !fallback_)
        CALLCTL_LOG(log::Warning, "%s %s could not be opened", D::kWhat, device_text(chosen).c_str());
    if (d && !d->failed()) {
        std::swap(dev_, d);  // the old device closes with d, outside the lock
        fallback_ = false;
        name_ = used;
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

template class DeviceSlot<device::Capture>;
template class DeviceSlot<device::Playback>;

}  // namespace callctl::media
