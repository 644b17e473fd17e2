// One direction's audio device, the microphone or the speaker: the chosen
// device, else the default one, else the null device (silence on the
// clock, or a sink that discards) with another try every retry_ms. Both
// directions work alike; DeviceSlot<device::Capture> and
// DeviceSlot<device::Playback> are the two.
//
// Devices come and go during a call:
//   - A device that fails, or that fell silent for kLateMs and is no longer
//     in the device list or no longer opens, is replaced at once by the
//     default device (by the null device while none opens).
//   - While the default device stands in for the chosen one, the list is
//     looked at every kBackMs; once it names the chosen device again it is
//     opened beside the one in use and takes over when its first frame is
//     in (playback at once), so the switch back leaves no gap. A device that
//     comes back and fails again soon is looked for less often (up to
//     kBackMaxMs), so a loose plug does not switch to and fro all the time.
//   - With the default device in use, the default is looked at every
//     kWatchMs; when it is another device now, a fresh handle (which goes
//     to the new default) takes over the same way. An open handle of the
//     default device stays on the device it was opened on.
//
// Logged: each device opened; a chosen one that cannot be (once, not at
// every retry); each switch in words ("microphone "X" gone; the default
// device in use", "microphone "X" is back", "the default microphone is now
// "Y""); the start of a stretch on the null device.
//
// Only the media thread opens, replaces and closes devices and asks the
// factory about the list (all outside the engine's lock); the state others
// read (the name in use, the counters) changes under the engine's lock,
// which update() takes for that.
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
    static constexpr int64_t kLateMs = 400;     // silent this long: is it still there?
    static constexpr int64_t kWatchMs = 500;    // the default device looked at
    static constexpr int64_t kBackMs = 1000;    // the chosen device looked for
    static constexpr int64_t kBackMaxMs = 16000;
    static constexpr int64_t kSteadyMs = 5000;  // a device back this long is back for good
    static constexpr int64_t kStartMs = 6000;   // a device taking over: its first frame by then

    explicit DeviceSlot(int retry_ms) : retry_ms_(retry_ms) {}

    // Whether update() has anything to do at now.
    bool due(int64_t now) const;
    // Opens, replaces, retries or looks after the device as due at now;
    // chosen is the name from the settings ("" the default device).
    void update(device::Factory &f, const std::string &chosen, int64_t now, std::mutex &mu);
    // The devices, to close outside the lock (the caller holds it to take).
    std::unique_ptr<Dev> take() { return std::move(dev_); }
    std::unique_ptr<Dev> take_next() { return std::move(next_); }
    // No call needs the device: the next one starts afresh.
    void forget_fallback();

    Dev *get() const { return dev_.get(); }
    bool fallback() const { return fallback_; }
    uint64_t failures() const { return failures_; }
    // The device in use as the log shows it: none, none (silence), its name.
    std::string in_use_text() const;

private:
    void replace(device::Factory &f, const std::string &chosen, bool failed, bool gone, int64_t now,
                 std::mutex &mu);
    void look(device::Factory &f, const std::string &chosen, int64_t now, std::mutex &mu);

    int retry_ms_;
    std::unique_ptr<Dev> dev_;
    bool fallback_ = false;  // on the null device now
    int64_t retry_ = 0;
    uint64_t failures_ = 0;  // devices given up
    std::string name_;       // the name the device in use was opened with
    std::string default_;    // the default device when it was opened as such ("" unknown)
    int64_t opened_ = 0;     // when the device in use took over
    bool returned_ = false;  // it came back after it had gone

    int64_t asked_ = 0;      // next question about a silent device
    int64_t watch_ = 0;      // next look at the list
    int64_t back_ = 0;       // next look for the chosen device
    int64_t back_ms_ = kBackMs;
    // A device opened beside the one in use, to take over at its first frame.
    std::unique_ptr<Dev> next_;
    std::string next_name_;
    int64_t next_since_ = 0;
};

// A device name as the log shows it.
std::string device_text(const std::string &gbk_name);

}  // namespace callctl::media
