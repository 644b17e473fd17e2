// WinMM wave-in and wave-out devices.
//
// Both are opened with CALLBACK_NULL and polled by the media thread, which
// looks at the headers' WHDR_DONE flags; no WinMM callback runs code of ours.
//
// Capture keeps kCaptureBuffers 20 ms buffers with the driver. read() takes
// the oldest finished one and hands it back at once; when the media thread
// fell behind, all but the newest finished buffer are skipped, so at most
// one 20 ms buffer of latency is added.
//
// Playback keeps at most kMaxQueued frames queued (60 ms); a write that
// finds the queue full drops the frame. Frames are queued as they come,
// with no silence put ahead: with the capture clock pacing the writes the
// queue holds about one frame, and a late frame costs a short gap rather
// than a lasting 20 ms of extra delay. When the card's clock runs slower
// than the capture clock the queue grows; a depth of kStanding frames or
// more before every write of a kTrimWindow window is trimmed by one frame.
//
// A device that reports an error, or whose buffers stop coming back for
// kStallMs, counts as failed; the engine then opens another one. Sooner than
// that it asks whether a device that fell silent is still there (late_ms,
// winmm_listed, winmm_opens): an unplugged device's handle often reports
// nothing, its buffers just stop (so under Wine 8, whose device list stays as
// it was, only a test open tells that it went). A capture
// device that has not delivered yet gets kStartMs: some take seconds to start
// (Wine's PulseAudio driver about 2 s, Bluetooth headsets as long), and giving
// up on them swapped a working microphone for the default one.
#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "../base/base.h"
#include "device.h"

namespace callctl::device {

namespace {

constexpr int kCaptureBuffers = 4;
constexpr int kPlaybackBuffers = 4;
constexpr int kMaxQueued = 3;
constexpr int kTrimWindow = 50;  // writes (1 s)
constexpr int kStanding = 2;     // queued before a write, all through a window: trim
// Buffers not coming back for this long: the device is gone.
constexpr int64_t kStallMs = 2000;
// The first buffer of a capture device not there after this long: it is gone.
constexpr int64_t kStartMs = 6000;

WAVEFORMATEX pcm_format() {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 1;
    f.nSamplesPerSec = 8000;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 2;
    f.nAvgBytesPerSec = 16000;
    return f;
}

// The GBK bytes of n UTF-16 units; false when a character GBK lacks became '?'.
bool to_gbk(const wchar_t *wide, int n, std::string &out) {
    out.clear();
    if (n <= 0) return true;
    BOOL lossy = FALSE;
    int bytes = WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, wide, n, nullptr, 0, "?", nullptr);
    if (bytes <= 0) return false;
    out.resize(size_t(bytes));
    WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, wide, n, &out[0], bytes, "?", &lossy);
    return !lossy;
}

// The device list of one direction, as pick_device takes it.
template <class Caps, class Count, class GetCaps>
std::vector<DeviceName> device_names(Count count, GetCaps get_caps) {
    std::vector<DeviceName> names;
    UINT n = count();
    for (UINT i = 0; i < n; ++i) {
        Caps caps{};
        names.push_back(get_caps(i, &caps, sizeof caps) == MMSYSERR_NOERROR ? winmm_device_name(caps.szPname)
                                                                           : DeviceName{});
    }
    return names;
}

std::vector<DeviceName> inputs() { return device_names<WAVEINCAPSW>(waveInGetNumDevs, waveInGetDevCapsW); }
std::vector<DeviceName> outputs() { return device_names<WAVEOUTCAPSW>(waveOutGetNumDevs, waveOutGetDevCapsW); }

UINT find_input(const std::string &name) {
    if (name.empty()) return WAVE_MAPPER;
    int i = pick_device(name, inputs());
    return i < 0 ? WAVE_MAPPER : UINT(i);
}

UINT find_output(const std::string &name) {
    if (name.empty()) return WAVE_MAPPER;
    int i = pick_device(name, outputs());
    return i < 0 ? WAVE_MAPPER : UINT(i);
}

// The wave-in and wave-out calls the buffer handling below shares, by handle type.
MMRESULT wave_open(HWAVEIN *h, UINT id, const WAVEFORMATEX *f) { return waveInOpen(h, id, f, 0, 0, CALLBACK_NULL); }
MMRESULT wave_open(HWAVEOUT *h, UINT id, const WAVEFORMATEX *f) { return waveOutOpen(h, id, f, 0, 0, CALLBACK_NULL); }
MMRESULT wave_prepare(HWAVEIN h, WAVEHDR *b) { return waveInPrepareHeader(h, b, sizeof *b); }
MMRESULT wave_prepare(HWAVEOUT h, WAVEHDR *b) { return waveOutPrepareHeader(h, b, sizeof *b); }
void wave_unprepare(HWAVEIN h, WAVEHDR *b) { waveInUnprepareHeader(h, b, sizeof *b); }
void wave_unprepare(HWAVEOUT h, WAVEHDR *b) { waveOutUnprepareHeader(h, b, sizeof *b); }
void wave_reset(HWAVEIN h) { waveInReset(h); }
void wave_reset(HWAVEOUT h) { waveOutReset(h); }
void wave_close(HWAVEIN h) { waveInClose(h); }
void wave_close(HWAVEOUT h) { waveOutClose(h); }

// An open device with its 20 ms buffers, all prepared; reset, unprepared and
// closed at destruction.
template <class H, int N>
class WaveBuffers {
public:
    WaveBuffers() = default;
    WaveBuffers(const WaveBuffers &) = delete;
    WaveBuffers &operator=(const WaveBuffers &) = delete;
    ~WaveBuffers() {
        if (!h_) return;
        wave_reset(h_);
        for (auto &b : bufs_)
            if (b.hdr.dwFlags & WHDR_PREPARED) wave_unprepare(h_, &b.hdr);
        wave_close(h_);
    }

protected:
    struct Buf {
        WAVEHDR hdr;
        int16_t data[kFrame];
    };
    bool open_buffers(UINT id) {
        WAVEFORMATEX f = pcm_format();
        if (wave_open(&h_, id, &f) != MMSYSERR_NOERROR) {
            h_ = nullptr;
            return false;
        }
        for (auto &b : bufs_) {
            std::memset(&b.hdr, 0, sizeof b.hdr);
            b.hdr.lpData = reinterpret_cast<LPSTR>(b.data);
            b.hdr.dwBufferLength = sizeof b.data;
            if (wave_prepare(h_, &b.hdr) != MMSYSERR_NOERROR) return false;
        }
        return true;
    }

    H h_ = nullptr;
    Buf bufs_[N];
};

class WinCapture : public Capture, private WaveBuffers<HWAVEIN, kCaptureBuffers> {
public:
    bool open(UINT id) {
        if (!open_buffers(id)) return false;
        for (auto &b : bufs_)
            if (waveInAddBuffer(h_, &b.hdr, sizeof b.hdr) != MMSYSERR_NOERROR) return false;
        if (waveInStart(h_) != MMSYSERR_NOERROR) return false;
        last_done_ = now_ms();
        return true;
    }
    bool read(int16_t frame[kFrame]) override {
        if (failed_) return false;
        int done = 0;
        for (int i = 0; i < kCaptureBuffers; ++i)
            if (bufs_[(next_ + i) % kCaptureBuffers].hdr.dwFlags & WHDR_DONE) ++done;
            else break;
        if (done == 0) {
            if (now_ms() - last_done_ > (frames_ || skipped_ ? kStallMs : kStartMs)) failed_ = true;
            return false;
        }
        // Skip all but the newest finished buffer.
        if (done > 1) ++bursts_;
        while (done-- > 1) {
            ++skipped_;
            if (!requeue(bufs_[next_])) return false;
            next_ = (next_ + 1) % kCaptureBuffers;
        }
        Buf &b = bufs_[next_];
        size_t n = b.hdr.dwBytesRecorded / 2;
        if (n > kFrame) n = kFrame;
        std::memcpy(frame, b.data, n * 2);
        if (n < kFrame) std::memset(frame + n, 0, (kFrame - n) * 2);
        if (!requeue(b)) return false;
        next_ = (next_ + 1) % kCaptureBuffers;
        last_done_ = now_ms();
        ++frames_;
        return true;
    }
    bool failed() const override { return failed_; }
    bool started() const override {
        if (frames_ || skipped_) return true;
        for (const auto &b : bufs_)
            if (b.hdr.dwFlags & WHDR_DONE) return true;
        return false;
    }
    int64_t late_ms() const override {
        // A frame is due every 20 ms; a wait a little longer is not late yet.
        const int64_t quiet = now_ms() - last_done_;
        return (frames_ || skipped_) && quiet > 2 * kFrameMs ? quiet : 0;
    }
    std::string counters() const override {
        return "capture frames " + std::to_string(frames_) + " skipped " + std::to_string(skipped_) + " bursts " +
               std::to_string(bursts_);
    }

private:
    bool requeue(Buf &b) {
        b.hdr.dwFlags &= ~WHDR_DONE;
        b.hdr.dwBytesRecorded = 0;
        if (waveInAddBuffer(h_, &b.hdr, sizeof b.hdr) != MMSYSERR_NOERROR) failed_ = true;
        return !failed_;
    }

    int next_ = 0;
    int64_t last_done_ = 0;
    bool failed_ = false;
    uint64_t frames_ = 0, skipped_ = 0, bursts_ = 0;
};

class WinPlayback : public Playback, private WaveBuffers<HWAVEOUT, kPlaybackBuffers> {
public:
    bool open(UINT id) {
        if (!open_buffers(id)) return false;
        for (auto &b : bufs_) b.hdr.dwFlags |= WHDR_DONE;  // free
        last_done_ = now_ms();
        return true;
    }
    void write(const int16_t frame[kFrame]) override {
        if (failed_) return;
        int queued = 0;
        for (auto &b : bufs_)
            if (!(b.hdr.dwFlags & WHDR_DONE)) ++queued;
        if (queued < queued_ || queued == 0) last_done_ = now_ms();  // played, or nothing waits
        if (queued > 0 && queued == queued_ && now_ms() - last_done_ > kStallMs) {
            failed_ = true;
            return;
        }
        if (queued >= kMaxQueued) {
            queued_ = queued;
            ++dropped_;
            return;  // full: drop
        }
        depth_sum_ += uint64_t(queued);
        ++writes_;
        // A standing queue (the sound card's clock slower than ours) is
        // trimmed by a frame once per window.
        if (queued < window_min_) window_min_ = queued;
        if (++window_writes_ >= kTrimWindow) {
            bool trim = window_min_ >= kStanding;
            window_writes_ = 0;
            window_min_ = kMaxQueued;
            if (trim) {
                ++trimmed_;
                queued_ = queued;
                return;
            }
        }
        if (queued == 0) ++underruns_;
        if (submit(frame)) ++queued;
        queued_ = queued;
    }
    bool failed() const override { return failed_; }
    int64_t late_ms() const override {
        const int64_t quiet = now_ms() - last_done_;
        return queued_ > 0 && quiet > kMaxQueued * kFrameMs ? quiet : 0;
    }
    std::string counters() const override {
        return "playback writes " + std::to_string(writes_) + " dropped " + std::to_string(dropped_) + " underruns " +
               std::to_string(underruns_) + " trimmed " + std::to_string(trimmed_) + " mean depth x10 " +
               std::to_string(writes_ ? depth_sum_ * 10 / writes_ : 0);
    }

private:
    bool submit(const int16_t *frame) {
        for (auto &b : bufs_) {
            if (!(b.hdr.dwFlags & WHDR_DONE)) continue;
            std::memcpy(b.data, frame, sizeof b.data);
            b.hdr.dwFlags &= ~WHDR_DONE;
            if (waveOutWrite(h_, &b.hdr, sizeof b.hdr) != MMSYSERR_NOERROR) {
                b.hdr.dwFlags |= WHDR_DONE;
                failed_ = true;
                return false;
            }
            return true;
        }
        return false;
    }

    int queued_ = 0;
    int64_t last_done_ = 0;
    bool failed_ = false;
    uint64_t writes_ = 0, dropped_ = 0, underruns_ = 0, depth_sum_ = 0, trimmed_ = 0;
    int window_writes_ = 0;
    int window_min_ = kMaxQueued;
};

}  // namespace

DeviceName winmm_device_name(const wchar_t *product) {
    DeviceName name;
    const int n = int(wcsnlen(product, MAXPNAMELEN));
    if (to_gbk(product, n, name.gbk)) {
        name.key = name.gbk;
        return name;
    }
    // Character by character (a surrogate pair as one): GBK where it has the
    // character, else its code point.
    for (int i = 0; i < n;) {
        int len = 1;
        uint32_t cp = product[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && product[i + 1] >= 0xDC00 && product[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (uint32_t(product[i + 1]) - 0xDC00);
            len = 2;
        }
        std::string one;
        if (to_gbk(product + i, len, one)) {
            name.key += one;
        } else {
            char code[16];
            std::snprintf(code, sizeof code, "{U+%04X}", unsigned(cp));
            name.key += code;
        }
        i += len;
    }
    return name;
}

bool winmm_listed(bool capture, const std::string &name) {
    if (name.empty()) return (capture ? waveInGetNumDevs() : waveOutGetNumDevs()) > 0;
    return pick_device(name, capture ? inputs() : outputs()) >= 0;
}

bool winmm_opens(bool capture, const std::string &name) {
    UINT id = capture ? find_input(name) : find_output(name);
    if (id == WAVE_MAPPER && !name.empty()) return false;  // not in the list
    WAVEFORMATEX f = pcm_format();
    if (capture) {
        HWAVEIN h = nullptr;
        if (waveInOpen(&h, id, &f, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return false;
        waveInClose(h);
    } else {
        HWAVEOUT h = nullptr;
        if (waveOutOpen(&h, id, &f, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return false;
        waveOutClose(h);
    }
    return true;
}

std::string winmm_default_device(bool capture) {
    DWORD id = 0, flags = 0;
    MMRESULT r = capture ? waveInMessage(reinterpret_cast<HWAVEIN>(UINT_PTR(WAVE_MAPPER)), DRVM_MAPPER_PREFERRED_GET,
                                         DWORD_PTR(&id), DWORD_PTR(&flags))
                         : waveOutMessage(reinterpret_cast<HWAVEOUT>(UINT_PTR(WAVE_MAPPER)),
                                          DRVM_MAPPER_PREFERRED_GET, DWORD_PTR(&id), DWORD_PTR(&flags));
    if (r != MMSYSERR_NOERROR) return {};
    std::vector<DeviceName> names = capture ? inputs() : outputs();
    return id < names.size() ? names[id].key : std::string();
}

std::unique_ptr<Capture> winmm_capture(const std::string &name) {
    auto c = std::make_unique<WinCapture>();
    if (!c->open(find_input(name))) return nullptr;
    return c;
}

std::unique_ptr<Playback> winmm_playback(const std::string &name) {
    auto p = std::make_unique<WinPlayback>();
    if (!p->open(find_output(name))) return nullptr;
    return p;
}

}  // namespace callctl::device
#endif
