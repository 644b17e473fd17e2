// Audio devices of the media path: a capture source and a playback sink,
// each moving 20 ms frames of 8 kHz mono 16-bit samples.
//
// The media thread is the only user of a device object. A capture device
// sets the media clock: read() hands out a frame as soon as one is complete
// and the media thread processes one tick per frame. Devices never block.
//
// Kinds, chosen by name (platform_factory):
//   "file:PATH"   capture: a WAVE (8 kHz mono 16-bit) or raw s16le file, played
//                 once at real-time pace, then silence; playback: raw s16le
//                 samples appended to PATH (created or truncated).
//   "fail:MS"     works like the null device for MS milliseconds, then
//                 reports failure (a device that goes away mid-call; tests).
//   anything else the system device with that product name (WinMM on Windows;
//                 an unknown or empty name is the default device, and so is a
//                 name several devices answer to). The native build has no
//                 system devices: the null device stands in.
// Names are GBK. A character GBK lacks may be written "{U+XXXX}" (its code
// point in hex), so devices whose names differ only in such characters (two
// Korean names, say) are told apart; written as '?', as WinMM's A functions
// and older settings have it, the name still finds its device while no other
// device's name reads the same.
// The null devices are clock-paced silence (capture) and a sink that
// discards (playback); the engine falls back to them while no real device
// can be opened.
//
// Devices come and go during a call (a headset unplugged, plugged back, the
// default device changed): a device that falls silent says how long
// (late_ms), and the factory answers what the device list holds now (listed,
// opens, default_device), cheaply enough for the media thread to ask twice
// a second. On Windows the list and the default follow the system; Wine 8
// keeps both as they were when the process first used WinMM, and a device
// that went away is told by a test open failing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace callctl::device {

constexpr size_t kFrame = 160;
constexpr int kFrameMs = 20;

class Capture {
public:
    virtual ~Capture() = default;
    // Copies the oldest complete frame not read yet; false when none is ready.
    virtual bool read(int16_t frame[kFrame]) = 0;
    // When (now_ms() clock) the next frame will be ready, for a device that
    // keeps its own pace; -1 when only read() can tell.
    virtual int64_t next_frame_at() const { return -1; }
    // The device failed or disappeared; it delivers nothing more.
    virtual bool failed() const = 0;
    // A frame has come in (a device that starts slowly: false until its first).
    virtual bool started() const { return true; }
    // How long a device that was delivering has handed in nothing (0: not late).
    virtual int64_t late_ms() const { return 0; }
    // Counters for tracing ("" when none).
    virtual std::string counters() const { return {}; }
};

class Playback {
public:
    virtual ~Playback() = default;
    // Queues one frame. A device whose queue is full drops it.
    virtual void write(const int16_t frame[kFrame]) = 0;
    // Whatever is written goes nowhere (the null device): nobody needs the
    // frames made for it.
    virtual bool discards() const { return false; }
    virtual bool failed() const = 0;
    // How long queued frames have not been played (0: not late).
    virtual int64_t late_ms() const { return 0; }
    virtual std::string counters() const { return {}; }
};

class Factory {
public:
    virtual ~Factory() = default;
    // nullptr when the device cannot be opened.
    virtual std::unique_ptr<Capture> open_capture(const std::string &name) = 0;
    virtual std::unique_ptr<Playback> open_playback(const std::string &name) = 0;
    // The device list now. Whether `name` picks a device of it ("": whether
    // there is any device of that direction).
    virtual bool listed(bool capture, const std::string &name) {
        (void)capture, (void)name;
        return true;
    }
    // Whether that device opens now (a test open, closed at once): asked about a
    // device in use that fell silent.
    virtual bool opens(bool capture, const std::string &name) { return listed(capture, name); }
    // Which device the default one is now (its name), "" when unknown.
    virtual std::string default_device(bool capture) {
        (void)capture;
        return {};
    }
};

// A system device's two names: `key`, the product name in GBK with each
// character GBK lacks as "{U+XXXX}" (the plain GBK name when GBK spells it all),
// and `gbk`, the product name with '?' for each such character.
struct DeviceName {
    std::string key, gbk;
};
// The device `name` denotes: the index of the only one of `devices` whose key
// or GBK name it is; -1 when it is empty, no device's or several devices'
// (the default device is used then, never a guess between them).
int pick_device(const std::string &name, const std::vector<DeviceName> &devices);

std::unique_ptr<Capture> null_capture();
std::unique_ptr<Playback> null_playback();
// File, test and system devices as described above.
std::shared_ptr<Factory> platform_factory();
// Names of the test devices of platform_factory ("file:...", "fail:...").
bool is_test_device(const std::string &name);

#ifdef _WIN32
// WinMM devices by product name (see pick_device; none picked: WAVE_MAPPER).
std::unique_ptr<Capture> winmm_capture(const std::string &name);
std::unique_ptr<Playback> winmm_playback(const std::string &name);
// The names of a device whose product name WinMM reports as `product`.
DeviceName winmm_device_name(const wchar_t *product);
// Factory::listed, opens and default_device for WinMM devices.
bool winmm_listed(bool capture, const std::string &name);
bool winmm_opens(bool capture, const std::string &name);
std::string winmm_default_device(bool capture);
#endif

}  // namespace callctl::device
