// The engine: the streams by call, the settings, the tick that joins
// streams, mix, capture path, levels and devices, and the media thread
// that drives it. Each of those lives in its own file: stream.h, mix.h,
// capture.h, device_slot.h.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../base/log.h"
#include "capture.h"
#include "device_slot.h"
#include "media.h"
#include "mix.h"
#include "stream.h"

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#endif

namespace callctl::media {

Engine::Engine(std::shared_ptr<device::Factory> devices)
    : factory_(std::move(devices)),
      mic_(std::make_unique<DeviceSlot<device::Capture>>(kReopenMs)),
      speaker_dev_(std::make_unique<DeviceSlot<device::Playback>>(kReopenMs)),
      capture_(std::make_unique<CapturePath>()),
      levels_(std::make_unique<Levels>()) {}

Engine::~Engine() { stop(); }

void Engine::start() {
    std::lock_guard<std::mutex> g(mu_);
    if (stopped_) return;
    started_ = true;
    run_thread_locked();
}

void Engine::run_thread_locked() {
    if (!started_ || stopped_ || thread_on_) return;
    bool needed = false;
    for (const auto &kv : streams_) needed = needed || kv.second->active();
    if (!needed) return;
    // A thread that ended when the last call did is done with the engine; only
    // its return is left to wait for.
    if (thread_.joinable()) thread_.join();
    last_capture_ = 0;
    thread_on_ = true;
    thread_ = std::thread(&Engine::run, this);
}

void Engine::stop() {
    {
        std::lock_guard<std::mutex> g(mu_);
        if (stopped_) return;
        stopped_ = true;
        quit_ = true;
    }
    // No thread starts any more; this one, if any, sees quit_ within a frame.
    if (thread_.joinable()) thread_.join();
    std::vector<std::string> summaries;  // while the devices are still named
    {
        std::lock_guard<std::mutex> g(mu_);
        for (auto &kv : streams_)
            if (!kv.second->dead() && log::on(log::Info)) summaries.push_back(summary(*kv.second));
    }
    close_devices();
    {
        std::lock_guard<std::mutex> g(mu_);
        int64_t now = now_ms();
        for (auto &kv : streams_)
            if (!kv.second->dead()) kv.second->finish(now);
        streams_.clear();
        ++gen_;
    }
    for (const auto &s : summaries) log::linef(log::Info, "%s", s.c_str());
}

Stream *Engine::find(uint32_t call) const {
    auto it = streams_.find(call);
    return it == streams_.end() || it->second->dead() ? nullptr : it->second.get();
}

// ---- streams -------------------------------------------------------------------------

uint16_t Engine::open_stream(uint32_t call, uint32_t bind_ip, uint16_t first_port, int pairs) {
    std::lock_guard<std::mutex> g(mu_);
    if (stopped_) return 0;
    if (Stream *s = find(call)) return s->local_port();
    auto s = std::make_unique<Stream>(call);
    if (!s->bind(bind_ip, first_port, pairs, &port_cursor_)) return 0;
    s->cap_failures_before = mic_->failures();
    s->play_failures_before = speaker_dev_->failures();
    uint16_t port = s->local_port();
    streams_[call] = std::move(s);
    return port;
}

bool Engine::has_stream(uint32_t call) const {
    std::lock_guard<std::mutex> g(mu_);
    return find(call) != nullptr;
}

void Engine::configure(uint32_t call, const StreamParams &p, int64_t at) {
    std::lock_guard<std::mutex> g(mu_);
    Stream *s = find(call);
    if (!s) return;
    s->configure(p, at < 0 ? now_ms() : at);
    ++gen_;
    run_thread_locked();
}

void Engine::set_hold(uint32_t call, bool held) {
    std::lock_guard<std::mutex> g(mu_);
    if (Stream *s = find(call)) s->set_hold(held, now_ms());
}

int64_t Engine::quiet_ms(uint32_t call, int64_t now, bool *may_pause) const {
    std::lock_guard<std::mutex> g(mu_);
    Stream *s = find(call);
    return s ? s->quiet_ms(now, may_pause) : -1;
}

void Engine::set_conference(uint32_t call, uint32_t conf) {
    std::lock_guard<std::mutex> g(mu_);
    if (Stream *s = find(call)) s->set_conference(conf);
    ++gen_;
}

void Engine::set_conference_mode(uint32_t conf, bool held, bool bridging) {
    std::lock_guard<std::mutex> g(mu_);
    conf_mode_[conf] = {held, bridging};
    ++gen_;
}

std::string Engine::summary(const Stream &s) const {
    std::string t = s.summary();
    if (!s.configured()) return t;
    t += "; microphone " + mic_->in_use_text() + ", speaker " + speaker_dev_->in_use_text();
    t += "; device failures: microphone " + std::to_string(mic_->failures() - s.cap_failures_before) +
         ", speaker " + std::to_string(speaker_dev_->failures() - s.play_failures_before);
    return t;
}

void Engine::close_stream(uint32_t call) {
    std::string text;
    {
        std::lock_guard<std::mutex> g(mu_);
        Stream *s = find(call);
        if (!s) return;
        s->finish(now_ms());
        if (log::on(log::Info)) text = summary(*s);
        // Sockets close when the media thread reaps the stream.
        if (!thread_on_) streams_.erase(call);
        ++gen_;
    }
    if (!text.empty()) log::linef(log::Info, "%s", text.c_str());
}

SIPX_RESULT Engine::start_tone(uint32_t call, int id, bool local, bool remote, int min_ms, int dtmf_mode) {
    std::lock_guard<std::mutex> g(mu_);
    Stream *s = find(call);
    return s ? s->start_tone(id, local, remote, min_ms, dtmf_mode) : SIPX_RESULT_INVALID_STATE;
}

SIPX_RESULT Engine::stop_tone(uint32_t call) {
    std::lock_guard<std::mutex> g(mu_);
    Stream *s = find(call);
    if (!s) return SIPX_RESULT_INVALID_STATE;
    s->stop_tone();
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT Engine::record_start(uint32_t call, const std::string &path) {
    std::lock_guard<std::mutex> g(mu_);
    Stream *s = find(call);
    return s ? s->record_start(path) : SIPX_RESULT_INVALID_STATE;
}

SIPX_RESULT Engine::record_stop(uint32_t call) {
    std::lock_guard<std::mutex> g(mu_);
    Stream *s = find(call);
    if (!s) return SIPX_RESULT_INVALID_STATE;
    s->record_stop();
    return SIPX_RESULT_SUCCESS;
}

// ---- settings ---------------------------------------------------------------------

void Engine::allow_test_devices(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    if (on != test_devices_) devices_changed_ = true;
    test_devices_ = on;
}

void Engine::set_input_device(const std::string &name) {
    std::lock_guard<std::mutex> g(mu_);
    if (name != in_name_) devices_changed_ = true;
    in_name_ = name;
}

void Engine::set_output_device(const std::string &name) {
    std::lock_guard<std::mutex> g(mu_);
    if (name != out_name_) devices_changed_ = true;
    out_name_ = name;
}

void Engine::set_input_volume(int level) {
    std::lock_guard<std::mutex> g(mu_);
    volume_ = std::clamp(level, 0, 100);
}

void Engine::mute_input(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    mute_in_ = on;
}

void Engine::mute_output(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    mute_out_ = on;
}

void Engine::set_processing(int aec_mode, bool noise_reduction, bool agc) {
    std::lock_guard<std::mutex> g(mu_);
    capture_->set_processing(aec_mode, noise_reduction, agc);
}

double Engine::input_energy() const { return levels_->input(); }
double Engine::output_energy() const { return levels_->output(); }

bool Engine::stream_info(uint32_t call, StreamInfo *o) const {
    std::lock_guard<std::mutex> g(mu_);
    auto it = streams_.find(call);
    if (it == streams_.end()) return false;
    it->second->info(o);
    return true;
}

bool Engine::call_quality(uint32_t call, CallQuality *o) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = streams_.find(call);
    if (it == streams_.end()) return false;
    it->second->quality(o);
    return true;
}

Engine::DeviceInfo Engine::device_info() const {
    std::lock_guard<std::mutex> g(mu_);
    DeviceInfo d;
    d.open = mic_->get() != nullptr;
    d.capture_failures = mic_->failures();
    d.playback_failures = speaker_dev_->failures();
    d.capture_fallback = mic_->fallback();
    d.playback_fallback = speaker_dev_->fallback();
    d.capture_in_use = mic_->in_use_text();
    d.playback_in_use = speaker_dev_->in_use_text();
    d.clock_ticks = clock_ticks_;
    d.thread = thread_on_;
    return d;
}

// ---- the tick ------------------------------------------------------------------------

void Engine::tick(const int16_t mic[kFrame], int64_t now) {
    std::lock_guard<std::mutex> g(mu_);
    tick_locked(mic, now < 0 ? now_ms() : now);
}

void Engine::refresh_locked(Waiting &w) {
    if (w.gen == gen_) return;
    // Ended streams go (their sockets close here): only the media thread, or
    // receive() while there is none, comes here, never during a wait on them.
    for (auto it = streams_.begin(); it != streams_.end();) {
        if (it->second->dead()) it = streams_.erase(it);
        else ++it;
    }
    w.live.clear();
    w.socks.clear();
    for (auto &kv : streams_)
        if (kv.second->active()) {
            w.live.push_back(kv.second.get());
            w.socks.push_back(&kv.second->rtp_socket());
            w.socks.push_back(&kv.second->rtcp_socket());
        }
    w.waiter.set(w.socks.data(), w.socks.size());
    w.ready.resize(w.socks.size() + 1);
    w.got = 0;
    w.gen = ++gen_;  // the streams the tick knew may be gone
}

void Engine::take_ready_locked(Waiting &w, int64_t now, int most) {
    // Streams changed during the wait: what it found waits on for the next one.
    if (w.gen != gen_) w.got = 0;
    for (int i = 0; i < w.got; ++i) {
        Stream *s = w.live[w.ready[size_t(i)] / 2];
        const bool rtcp = w.ready[size_t(i)] % 2 != 0;
        if (!s->dead()) s->receive_ready(!rtcp, rtcp, now, most);
    }
    w.got = 0;
}

void Engine::receive(int timeout_ms, int64_t at) {
    std::unique_lock<std::mutex> g(mu_);
    refresh_locked(wait_);
    if (wait_.live.empty()) return;
    g.unlock();
    const int got = wait_.waiter.wait(timeout_ms, wait_.ready.data(), wait_.ready.size());
    g.lock();
    wait_.got = got < 0 ? 0 : got;
    take_ready_locked(wait_, at < 0 ? now_ms() : at, 64);
}

void Engine::parties_locked() {
    if (tick_gen_ == gen_) return;
    tick_gen_ = gen_;
    live_.clear();
    parties_.clear();
    sent_.clear();
    for (auto &kv : streams_) {
        Stream &s = *kv.second;
        if (!s.active()) continue;
        live_.push_back(&s);
        MixParty m;
        m.conf = s.conference();
        m.out = bridged_out(conf_mode_, m.conf);
        parties_.push_back(m);
        sent_.push_back(s.sent());
    }
}

void Engine::tick_locked(const int16_t mic_in[kFrame], int64_t now) {
    // 1. what each stream received
    parties_locked();
    for (size_t i = 0; i < live_.size(); ++i) live_[i]->pull(now, &parties_[i]);
    // 2. the speaker, which the capture processor hears as the far end
    device::Playback *play = speaker_dev_->get();
    const bool levels = levels_->wanted(now);
    const bool speaker = !play || !play->discards() || capture_->hears_speaker() || levels;
    if (speaker) {
        mix_speaker(parties_.data(), parties_.size(), mute_out_, speaker_);
        if (play) play->write(speaker_);
        capture_->far_end(speaker_);
    }
    // 3. the microphone
    int16_t mic[kFrame];
    std::memcpy(mic, mic_in, sizeof mic);
    capture_->process(mic, volume_, mute_in_);
    if (levels) levels_->add(mic, speaker ? speaker_ : nullptr);
    else levels_->skip();
    // 4. what each call is sent, and 5. its recording
    mix_sent(parties_.data(), parties_.size(), mic, sent_.data());
    for (Stream *s : live_) s->send(now);
}

// ---- media thread ----------------------------------------------------------------------

bool Engine::devices_due_locked(int64_t now) const {
    return devices_changed_ || mic_->due(now) || speaker_dev_->due(now);
}

void Engine::close_devices() {
    std::unique_ptr<device::Capture> c, c_next;
    std::unique_ptr<device::Playback> p, p_next;
    {
        std::lock_guard<std::mutex> g(mu_);
        c = mic_->take();
        c_next = mic_->take_next();
        p = speaker_dev_->take();
        p_next = speaker_dev_->take_next();
        levels_->clear();
    }
    last_tick_ = 0;
    c.reset();  // closing a device may take a moment: not under the lock
    c_next.reset();
    p.reset();
    p_next.reset();
#ifdef _WIN32
    if (timer_period_) timeEndPeriod(1);
#endif
    timer_period_ = false;
}

void Engine::manage_devices() {
    std::string in, out;
    bool changed;
    {
        std::lock_guard<std::mutex> g(mu_);
        in = in_name_;
        out = out_name_;
        // A test device named in the settings of a normal run is no device.
        if (!test_devices_ && device::is_test_device(in)) in.clear();
        if (!test_devices_ && device::is_test_device(out)) out.clear();
        changed = devices_changed_;
        devices_changed_ = false;
    }
    int64_t now = now_ms();
    if (changed && mic_->get()) close_devices();
#ifdef _WIN32
    if (!timer_period_) timer_period_ = timeBeginPeriod(1) == TIMERR_NOERROR;
#endif
    mic_->update(*factory_, in, now, mu_);
    speaker_dev_->update(*factory_, out, now, mu_);
}

// CALLCTL_MEDIA_TRACE=1 in the environment: once a second, the devices'
// counters and each stream's jitter buffer on stderr.
void Engine::trace(int64_t now) {
    if (now < next_trace_) return;
    next_trace_ = now + 1000;
    std::string line = "callctl media: clock ticks " + std::to_string(clock_ticks_);
    if (auto *c = mic_->get()) line += "; " + c->counters();
    if (auto *p = speaker_dev_->get()) line += "; " + p->counters();
    for (auto &kv : streams_)
        if (kv.second->active()) line += "; " + kv.second->trace(now);
    std::fprintf(stderr, "%s\n", line.c_str());
}

void Engine::run() {
    name_this_thread("callctl-media");
    const char *tr = std::getenv("CALLCTL_MEDIA_TRACE");
    const bool tracing = tr && *tr && *tr != '0';
    Waiting &w = wait_;
    std::unique_lock<std::mutex> g(mu_);
    while (!quit_) {
        int64_t now = now_ms();
        // One datagram from each socket the last wait found readable.
        take_ready_locked(w, now, 1);
        refresh_locked(w);
        if (w.live.empty()) {
            // Nothing to carry: the devices close, then the thread ends until a
            // stream becomes active again (configure starts another).
            if (!mic_->get() && !speaker_dev_->get()) break;
            g.unlock();
            close_devices();
            g.lock();
            mic_->forget_fallback();
            speaker_dev_->forget_fallback();
            continue;
        }
        // A wake for a packet before the microphone's next frame is due ends here;
        // the devices are looked after once a frame.
        device::Capture *cap = mic_->get();
        int64_t at = cap ? cap->next_frame_at() : -1;
        if (at <= now && devices_due_locked(now)) {
            g.unlock();
            manage_devices();
            g.lock();
            now = now_ms();
            cap = mic_->get();
            at = cap ? cap->next_frame_at() : -1;
        }
        // The microphone's frames, a tick each.
        int16_t frame[kFrame];
        bool read = false;
        for (int i = 0; i < 5 && cap && at <= now && cap->read(frame); ++i) {
            tick_locked(frame, now);
            read = true;
            at = cap->next_frame_at();
        }
        // A capture device that delivers nothing (starting up, stalled)
        // does not stop the clock: silence frames keep the calls going.
        if (read) last_capture_ = now;
        else if (now - last_capture_ > int64_t(device::kFrameMs) * 2) last_capture_ = 0;
        if (read || last_tick_ == 0) {
            last_tick_ = now;
        } else if (now - last_tick_ >= kCaptureGraceMs) {
            static const int16_t silence[kFrame] = {};
            tick_locked(silence, now);
            last_tick_ = now - (kCaptureGraceMs - int64_t(device::kFrameMs));
            ++clock_ticks_;
        }
        if (tracing) trace(now);
        // Sleep until the next frame is due: exactly, when the microphone keeps its
        // own pace; else, with a frame read lately, until a millisecond before it is
        // expected, then every kPollMs until it comes. Packets wake the thread sooner.
        int timeout = kPollMs;
        if (at >= 0) {
            timeout = int(std::clamp<int64_t>(at - now, 0, device::kFrameMs));
        } else if (last_capture_ != 0) {
            const int64_t left = last_capture_ + device::kFrameMs - 1 - now;
            if (left > timeout) timeout = int(left < device::kFrameMs ? left : device::kFrameMs);
        }
        g.unlock();
        const int got = w.waiter.wait(timeout, w.ready.data(), w.ready.size());
        g.lock();
        w.got = got < 0 ? 0 : got;
    }
    thread_on_ = false;
}

}  // namespace callctl::media
