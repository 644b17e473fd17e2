// One direction's audio device, the microphone or the speaker: the chosen
// device, else the default one, else the null device (silence on the
// clock, or a sink that discards) with another try every retry_ms. A
// device that failed is replaced by the default one. Both directions work
// alike; DeviceSlot<device::Capture> and DeviceSlot<device::Playback> are
// the two.
//
// Logged: each device opened, a chosen one that cannot be (once, not at
// every retry), a failure, and the start of a stretch on the null device.
//
// Only the media thread opens, replaces and closes the device; the state
// others read (the name in use, the counters) changes under the engine's
// lock, which update() takes for that while devices open and close
// outside it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "../device/device.h"

namespace callctl::media {

template <class Dev>
class DeviceSlot {
public:
    explicit DeviceSlot(int retry_ms) : retry_ms_(retry_ms) {}

    // Whether update() has anything to do at now: no device, a failed one,
    // or the next try of the chosen one after a fallback.
    bool due(int64_t now) const { return !dev_ || dev_->failed() || (fallback_ && now >= retry_); }
    // Opens, replaces or retries the device as due at now; chosen is the
    // name from the settings ("" the default device).
    void update(device::Factory &f, const std::string &chosen, int64_t now, std::mutex &mu);
    // The device, to close outside the lock (the caller holds it to take).
    std::unique_ptr<Dev> take() { return std::move(dev_); }
    // No call needs the device: the next one starts without the fallback.
    void forget_fallback() { fallback_ = false; }

    Dev *get() const { return dev_.get(); }
    bool fallback() const { return fallback_; }
    uint64_t failures() const { return failures_; }
    // The device in use as the log shows it: none, none (silence), its name.
    std::string in_use_text() const;

private:
    int retry_ms_;
    std::unique_ptr<Dev> dev_;
    bool fallback_ = false;  // on the null device now
    int64_t retry_ = 0;
    uint64_t failures_ = 0;  // devices given up
    std::string name_;       // the name the device in use was opened with
};

// A device name as the log shows it.
std::string device_text(const std::string &gbk_name);

}  // namespace callctl::media
