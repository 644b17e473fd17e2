#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../base/log.h"
#include "../codec/codec.h"
#include "../jb/jitter.h"
#include "../rtp/rtp.h"
#include "media.h"
#include "tone.h"
#include "wave.h"

#ifdef CALLCTL_HAVE_DSP
#include "dsp/audio_processor.h"
#endif
#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#endif

namespace callctl::media {

namespace {

inline int16_t sat16(int32_t v) { return int16_t(v > 32767 ? 32767 : v < -32768 ? -32768 : v); }

void add_into(int32_t *acc, const int16_t *x) {
    for (size_t i = 0; i < kFrame; ++i) acc[i] += x[i];
}

double mean_square(const int16_t *x) {
    int64_t s = 0;
    for (size_t i = 0; i < kFrame; ++i) s += int32_t(x[i]) * x[i];
    return double(s) / double(kFrame);
}

// A device name as the log shows it.
std::string device_text(const std::string &gbk_name) {
    return gbk_name.empty() ? "the default device" : "\"" + gbk_to_utf8(gbk_name) + "\"";
}

// The device in use as the log shows it.
std::string in_use_text(bool open, bool fallback, const std::string &gbk_name) {
    return !open ? "none" : fallback ? "none (silence)" : device_text(gbk_name);
}

}  // namespace

double energy_of(double ms) {
    if (ms <= 0) return 0.0;
    // dBFS of the RMS, 0 dBFS being a full-scale square wave (32767).
    double db = 10.0 * std::log10(ms / (32767.0 * 32767.0));
    double e = (db + 60.0) * (100.0 / 60.0);
    return e < 0 ? 0.0 : e > 100 ? 100.0 : e;
}

// ---- capture-path processor ---------------------------------------------------
// Echo cancellation, noise suppression and gain control come from the dsp
// folder when the build has it. The processor runs only while one of them
// is on: it delays the signal by one frame, which calls without processing
// are spared.
struct Engine::Processor {
#ifdef CALLCTL_HAVE_DSP
    std::unique_ptr<dsp::AudioProcessor> ap;
#endif
    bool on = false;
    void set(int aec, bool ns, bool agc) {
        on = aec != 0 || ns || agc;
#ifdef CALLCTL_HAVE_DSP
        if (on && !ap) ap = std::make_unique<dsp::AudioProcessor>();
        if (ap) {
            ap->set_echo_cancel(aec != 0);
            ap->set_noise_suppress(ns);
            ap->set_auto_gain(agc);
        }
#else
        on = false;
#endif
    }
    void far_end(const int16_t *f) {
#ifdef CALLCTL_HAVE_DSP
        if (on && ap) ap->far_end(f);
#else
        (void)f;
#endif
    }
    void capture(int16_t *f) {
#ifdef CALLCTL_HAVE_DSP
        if (on && ap) ap->process_capture(f);
#else
        (void)f;
#endif
    }
};

// ---- one call's stream ---------------------------------------------------------
struct Engine::Stream {
    uint32_t call = 0;
    UdpSocket rtp, rtcp;
    bool configured = false;
    bool dead = false;
    bool held = false;
    uint32_t conf = 0;
    StreamParams p;
    Endpoint send_to, rtcp_to;
    bool latched = false, rtcp_latched = false;

    // sending
    std::unique_ptr<codec::AudioCodec> enc;
    std::string enc_name;
    int send_pt = -1;
    uint32_t ssrc = 0;
    uint16_t seq = 0;
    uint32_t ts = 0;
    bool marker = true;  // next audio packet starts a talkspurt
    uint32_t sent_packets = 0, sent_octets = 0;
    uint64_t sent_events = 0;
    uint64_t audio_octets = 0, sent_silence = 0;
    bool sent_since_report = false;
    std::string enc_fmtp;  // the peer's parameters the encoder was made for

    // receiving
    std::map<int, std::unique_ptr<codec::AudioCodec>> dec;  // by payload type
    std::map<int, std::string> dec_codec;                   // the codec name of each
    codec::AudioCodec *last_dec = nullptr;  // the decoder of the last payload (comfort noise)
    uint64_t received_silence = 0;
    jb::JitterBuffer jb;
    rtp::ReceiverStats rx;
    uint32_t rx_ssrc = 0;
    bool have_rx = false;
    uint64_t received = 0, ignored = 0;
    uint32_t last_sr_mid = 0;
    int64_t last_sr_at = 0;
    int64_t next_rtcp = 0;
    uint64_t rtcp_sent = 0, rtcp_received = 0;
    int64_t last_heard = 0;  // RTP or RTCP from the peer, or when it was expected to start
    std::string cname;
    int rtt_ms = -1;  // from the peer's last report on our packets, -1 unknown
    uint64_t cap_failures_before = 0, play_failures_before = 0;  // the engine's counts at the start
    bool send_failed = false;  // an RTP send failed (logged once)

    // this tick
    int16_t remote[kFrame] = {};
    int16_t sent[kFrame] = {};

    // tone
    struct Tone {
        bool active = false;
        int id = 0;
        bool local = false, remote = false, rfc = false;
        bool stop = false;
        uint32_t min_samples = 0, elapsed = 0;
        uint32_t ev_ts = 0, duration = 0;
        int ends_left = 0;  // end packets still to send
        ToneGenerator gen;        // sent in-band
        ToneGenerator gen_local;  // played locally
    } tone;

    std::unique_ptr<WaveWriter> rec;
    std::string rec_path;

    bool active() const { return configured && !dead; }
};

Engine::Engine(std::shared_ptr<device::Factory> devices)
    : factory_(std::move(devices)), proc_(std::make_unique<Processor>()) {}

Engine::~Engine() { stop(); }

void Engine::start() {
    std::lock_guard<std::mutex> g(mu_);
    if (thread_.joinable() || stopped_) return;
    thread_ = std::thread(&Engine::run, this);
}

void Engine::stop() {
    {
        std::lock_guard<std::mutex> g(mu_);
        if (stopped_) return;
        stopped_ = true;
        quit_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::vector<std::string> summaries;  // while the devices are still named
    {
        std::lock_guard<std::mutex> g(mu_);
        for (auto &kv : streams_)
            if (!kv.second->dead && log::on(log::Info)) summaries.push_back(summary(*kv.second));
    }
    close_devices();
    {
        std::lock_guard<std::mutex> g(mu_);
        for (auto &kv : streams_)
            if (!kv.second->dead) {
                kv.second->dead = true;
                finish_stream(*kv.second);
            }
        streams_.clear();
    }
    for (const auto &s : summaries) log::linef(log::Info, "%s", s.c_str());
}

Engine::Stream *Engine::find(uint32_t call) const {
    auto it = streams_.find(call);
    return it == streams_.end() || it->second->dead ? nullptr : it->second.get();
}

uint16_t Engine::open_stream(uint32_t call, uint32_t bind_ip, uint16_t first_port, int pairs) {
    std::lock_guard<std::mutex> g(mu_);
    if (stopped_) return 0;
    if (Stream *s = find(call)) return s->rtp.local_port();
    auto s = std::make_unique<Stream>();
    s->call = call;
    Stream *raw = s.get();
    s->jb.set_comfort_noise(
        [raw](int16_t *pcm, size_t n) { return raw->last_dec && raw->last_dec->comfort_noise(pcm, n); });
    uint32_t first = first_port & ~1u;
    if (pairs < 1) pairs = 1;
    for (int i = 0; i < pairs; ++i) {
        uint32_t port = first + 2u * ((port_cursor_ + uint32_t(i)) % uint32_t(pairs));
        if (port + 1 > 65535) continue;
        if (!s->rtp.open(bind_ip, uint16_t(port))) continue;
        if (!s->rtcp.open(bind_ip, uint16_t(port + 1))) {
            s->rtp.close();
            continue;
        }
        port_cursor_ = uint16_t((port_cursor_ + uint32_t(i) + 1) % uint32_t(pairs));
        break;
    }
    if (!s->rtp.is_open()) {
        CALLCTL_LOG(log::Warning, "call %u: no free RTP/RTCP port pair among %d from %u", unsigned(call), pairs,
                    unsigned(first));
        return 0;
    }
    s->cap_failures_before = cap_failures_;
    s->play_failures_before = play_failures_;
    s->ssrc = random_u32();
    s->seq = uint16_t(random_u32());
    s->ts = random_u32();
    s->cname = "callctl-" + random_token(8);
    uint16_t port = s->rtp.local_port();
    streams_[call] = std::move(s);
    return port;
}

bool Engine::has_stream(uint32_t call) const {
    std::lock_guard<std::mutex> g(mu_);
    return find(call) != nullptr;
}

void Engine::configure(uint32_t call, const StreamParams &p) {
    std::lock_guard<std::mutex> g(mu_);
    Stream *s = find(call);
    if (!s) return;
    bool addr_changed = !s->configured || p.rtp != s->p.rtp;
    if (p.recv && (!s->configured || !s->p.recv)) s->last_heard = now_ms();
    s->p = p;
    if (addr_changed) {
        s->send_to = p.rtp;
        s->rtcp_to = p.rtcp;
        s->latched = s->rtcp_latched = false;
    }
    // Decoders for every format the peer may send, and for no other: those
    // of formats an earlier offer had are released.
    for (auto it = s->dec.begin(); it != s->dec.end();) {
        bool kept = false;
        for (const auto &f : p.audio) kept = kept || (f.pt == it->first && s->dec_codec[it->first] == f.codec);
        if (kept) {
            ++it;
            continue;
        }
        if (s->last_dec == it->second.get()) s->last_dec = nullptr;
        s->dec_codec.erase(it->first);
        it = s->dec.erase(it);
    }
    for (const auto &f : p.audio)
        if (!s->dec.count(f.pt)) {
            s->dec[f.pt] = codec::make(f.codec);
            s->dec_codec[f.pt] = f.codec;
        }
    if (!p.audio.empty() && (p.audio.front().codec != s->enc_name || p.audio.front().pt != s->send_pt ||
                             p.send_fmtp != s->enc_fmtp)) {
        s->enc = codec::make(p.audio.front().codec, p.send_fmtp);
        s->enc_name = p.audio.front().codec;
        s->enc_fmtp = p.send_fmtp;
        s->send_pt = p.audio.front().pt;
        s->marker = true;
    }
    // RFC 3550 6.2: the first report after half the interval, randomised
    // by a factor 0.5-1.5.
    if (!s->configured) s->next_rtcp = now_ms() + kRtcpIntervalMs / 4 + int64_t(random_u32() % (kRtcpIntervalMs / 2));
    s->configured = true;
    cv_.notify_all();
}

void Engine::set_hold(uint32_t call, bool held) {
    std::lock_guard<std::mutex> g(mu_);
    if (Stream *s = find(call)) {
        if (s->held && !held) {
            s->marker = true;
            s->last_heard = now_ms();
        }
        s->held = held;
    }
}

int64_t Engine::quiet_ms(uint32_t call, int64_t now, bool *may_pause) const {
    std::lock_guard<std::mutex> g(mu_);
    Stream *s = find(call);
    if (!s || !s->active() || s->held || !s->p.recv) return -1;
    if (may_pause) *may_pause = s->enc_name == "G729" && s->rtcp_received == 0;
    return now - s->last_heard;
}

void Engine::allow_test_devices(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    if (on != test_devices_) devices_changed_ = true;
    test_devices_ = on;
}

void Engine::set_conference(uint32_t call, uint32_t conf) {
    std::lock_guard<std::mutex> g(mu_);
    if (Stream *s = find(call)) s->conf = conf;
}

void Engine::set_conference_mode(uint32_t conf, bool held, bool bridging) {
    std::lock_guard<std::mutex> g(mu_);
    conf_mode_[conf] = {held, bridging};
}

void Engine::finish_stream(Stream &s) {
    if (s.configured && s.p.rtcp.port) send_rtcp(s, true, now_ms());
    if (s.tone.active && s.tone.rfc && s.tone.ends_left == 0 && s.send_to.port) {
        // A tone still on when the call ends: its end, so the peer stops it.
        s.tone.ends_left = 3;
        for (int i = 0; i < 3; ++i) send_event(s, true);
    }
    s.rec.reset();
    s.tone.active = false;
}

std::string Engine::summary(const Stream &s) const {
    std::string t = "call " + std::to_string(s.call) + " audio: ";
    if (!s.configured) return t + "none was set up";
    t += s.enc_name.empty() ? std::string("no codec") : s.enc_name;
    t += ", RTP sent " + std::to_string(s.sent_packets) + ", received " + std::to_string(s.received) +
         ", lost " + std::to_string(s.have_rx ? s.rx.lost() : 0) + ", jitter " +
         std::to_string(s.have_rx ? s.rx.jitter() / 8 : 0) + " ms, round trip ";
    t += s.rtt_ms >= 0 ? std::to_string(s.rtt_ms) + " ms" : std::string("unknown");
    t += "; microphone " + in_use_text(cap_ != nullptr, cap_fallback_, cap_name_) + ", speaker " +
         in_use_text(play_ != nullptr, play_fallback_, play_name_);
    t += "; device failures: microphone " + std::to_string(cap_failures_ - s.cap_failures_before) + ", speaker " +
         std::to_string(play_failures_ - s.play_failures_before);
    return t;
}

void Engine::close_stream(uint32_t call) {
    std::string text;
    {
        std::lock_guard<std::mutex> g(mu_);
        Stream *s = find(call);
        if (!s) return;
        s->dead = true;
        finish_stream(*s);
        if (log::on(log::Info)) text = summary(*s);
        // Sockets close when the media thread reaps the stream.
        if (!thread_.joinable()) streams_.erase(call);
        cv_.notify_all();
    }
    if (!text.empty()) log::linef(log::Info, "%s", text.c_str());
}

// ---- tones and recordings --------------------------------------------------------

SIPX_RESULT Engine::start_tone(uint32_t call, int id, bool local, bool remote, int min_ms, int dtmf_mode) {
    std::lock_guard<std::mutex> g(mu_);
    Stream *s = find(call);
    if (!s) return SIPX_RESULT_INVALID_STATE;
    auto &t = s->tone;
    if (t.active && t.rfc && t.ends_left == 0) {
        // A new key before the last one ended: end the old event now.
        for (int i = 0; i < 3; ++i) send_event(*s, true);
    }
    t = Stream::Tone();
    if (!t.gen.start(id) || !t.gen_local.start(id)) return SIPX_RESULT_INVALID_ARGS;
    t.active = true;
    t.id = id;
    t.local = local;
    t.remote = remote;
    bool peer_te = s->p.te_pt >= 0;
    t.rfc = remote && peer_te && dtmf_mode != 0;
    if (remote && !peer_te && dtmf_mode == 1) t.remote = false;  // events only, and the peer has none
    t.min_samples = uint32_t(min_ms) * 8;
    t.ev_ts = s->ts;
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT Engine::stop_tone(uint32_t call) {
    std::lock_guard<std::mutex> g(mu_);
    Stream *s = find(call);
    if (!s) return SIPX_RESULT_INVALID_STATE;
    s->tone.stop = true;
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT Engine::record_start(uint32_t call, const std::string &path) {
    std::lock_guard<std::mutex> g(mu_);
    Stream *s = find(call);
    if (!s) return SIPX_RESULT_INVALID_STATE;
    // The same file again: the running recording ends first.
    if (s->rec && s->rec_path == path) s->rec.reset();
    auto w = std::make_unique<WaveWriter>();
    if (!w->open(path)) return SIPX_RESULT_FAILURE;  // a running recording goes on
    s->rec = std::move(w);  // the previous one, if any, is finished
    s->rec_path = path;
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT Engine::record_stop(uint32_t call) {
    std::lock_guard<std::mutex> g(mu_);
    Stream *s = find(call);
    if (!s) return SIPX_RESULT_INVALID_STATE;
    s->rec.reset();
    return SIPX_RESULT_SUCCESS;
}

// ---- settings ---------------------------------------------------------------------

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
    aec_ = aec_mode;
    ns_ = noise_reduction;
    agc_ = agc;
    proc_->set(aec_, ns_, agc_);
}

double Engine::input_energy() const { return in_energy_.load(); }
double Engine::output_energy() const { return out_energy_.load(); }

bool Engine::stream_info(uint32_t call, StreamInfo *o) const {
    std::lock_guard<std::mutex> g(mu_);
    auto it = streams_.find(call);
    if (it == streams_.end()) return false;
    const Stream &s = *it->second;
    o->local_port = s.rtp.local_port();
    o->active = s.active();
    o->send_to = s.send_to;
    o->latched = s.latched;
    o->send_pt = s.send_pt;
    o->sent_packets = s.sent_packets;
    o->sent_events = s.sent_events;
    o->received_packets = s.received;
    o->ignored_packets = s.ignored;
    o->rtcp_sent = s.rtcp_sent;
    o->rtcp_received = s.rtcp_received;
    o->sent_octets = s.audio_octets;
    o->sent_silence = s.sent_silence;
    o->received_silence = s.received_silence;
    o->comfort_noise = s.jb.stats().comfort_noise;
    o->concealed = s.jb.stats().concealed;
    o->played = s.jb.stats().played;
    o->jitter_delay_ms = s.jb.target_delay_ms();
    o->decoders = s.dec.size();
    return true;
}

Engine::DeviceInfo Engine::device_info() const {
    std::lock_guard<std::mutex> g(mu_);
    DeviceInfo d;
    d.open = cap_ != nullptr;
    d.capture_failures = cap_failures_;
    d.playback_failures = play_failures_;
    d.capture_fallback = cap_fallback_;
    d.clock_ticks = clock_ticks_;
    d.playback_fallback = play_fallback_;
    return d;
}

// ---- network -------------------------------------------------------------------------

void Engine::on_rtp(Stream &s, const uint8_t *d, size_t n, const Endpoint &from, int64_t now) {
    rtp::Header h;
    const uint8_t *pl;
    size_t pn;
    if (!s.active() || !rtp::parse(d, n, &h, &pl, &pn)) {
        ++s.ignored;
        return;
    }
    // Only the peer of the call: its address, any port (a NAT may have
    // changed it). The first packet fixes where we send (symmetric RTP).
    if (from.ip != s.p.rtp.ip || (s.latched && from != s.send_to)) {
        ++s.ignored;
        return;
    }
    if (h.pt == s.p.te_pt && s.p.te_pt >= 0) {
        ++s.received;  // received DTMF events are not played
        s.last_heard = now;
        return;
    }
    auto it = s.dec.find(h.pt);
    if (it == s.dec.end() || !it->second) {
        ++s.ignored;
        return;
    }
    if (!s.latched) {
        s.send_to = from;
        s.latched = true;
    }
    s.last_heard = now;
    int16_t pcm[jb::JitterBuffer::kMaxPacketSamples];
    int k = it->second->decode(pl, pn, pcm, sizeof pcm / sizeof pcm[0]);
    if (k <= 0) {
        ++s.ignored;
        return;
    }
    ++s.received;
    if (!s.have_rx || h.ssrc != s.rx_ssrc) {
        s.rx.reset(h.seq);
        s.rx_ssrc = h.ssrc;
        s.have_rx = true;
        s.rx.update(h.seq, h.ts, uint32_t(now * 8));
    } else {
        s.rx.update(h.seq, h.ts, uint32_t(now * 8));
    }
    s.last_dec = it->second.get();
    bool silence = s.last_dec->in_silence();
    if (silence) ++s.received_silence;
    s.jb.put(h.ssrc, h.seq, h.ts, pcm, size_t(k), now, silence, h.marker);
}

void Engine::on_rtcp(Stream &s, const uint8_t *d, size_t n, const Endpoint &from, int64_t now) {
    if (!s.active() || from.ip != s.p.rtp.ip) return;
    rtp::Rtcp r;
    if (!rtp::parse_rtcp(d, n, &r)) return;
    ++s.rtcp_received;
    s.last_heard = now;
    if (!s.rtcp_latched) {
        s.rtcp_to = from;
        s.rtcp_latched = true;
    }
    if (r.has_sr) {
        s.last_sr_mid = uint32_t(r.sr.ntp >> 16);
        s.last_sr_at = now;
    }
    // RFC 3550 6.4.1: the round trip from the peer's report on our packets.
    for (const auto &b : r.blocks) {
        if (b.ssrc != s.ssrc || b.lsr == 0) continue;
        uint32_t arrival = uint32_t(rtp::ntp_now() >> 16);
        uint32_t rtt = arrival - b.lsr - b.dlsr;  // 1/65536 s
        if (rtt < 65536u * 10) s.rtt_ms = int(uint64_t(rtt) * 1000 / 65536);
    }
}

void Engine::receive_ready(Stream &s, bool rtp_ready, bool rtcp_ready, int64_t now) {
    uint8_t buf[rtp::kMaxPacket];
    Endpoint from;
    for (int i = 0; rtp_ready && i < 64; ++i) {
        int n = s.rtp.recv_from(buf, sizeof buf, &from);
        if (n == 0) break;
        if (n < 0) continue;
        on_rtp(s, buf, size_t(n), from, now);
    }
    for (int i = 0; rtcp_ready && i < 16; ++i) {
        int n = s.rtcp.recv_from(buf, sizeof buf, &from);
        if (n == 0) break;
        if (n < 0) continue;
        on_rtcp(s, buf, size_t(n), from, now);
    }
}

void Engine::send_frame(Stream &s, const int16_t frame[kFrame]) {
    if (!s.enc) return;
    codec::Packet pk[2];
    int n = s.enc->encode_packets(frame, pk);
    // Nothing for this frame: the codec suppresses silence and marks the
    // talkspurt that ends it itself.
    for (int i = 0; i < n; ++i) {
        rtp::Header h;
        h.marker = s.marker || pk[i].talkspurt;
        h.pt = uint8_t(s.send_pt);
        h.seq = s.seq++;
        h.ts = s.ts + pk[i].offset;
        h.ssrc = s.ssrc;
        uint8_t pkt[rtp::kMaxPacket];
        size_t len = rtp::write(h, pk[i].data, pk[i].size, pkt, sizeof pkt);
        if (len && s.rtp.send_to(s.send_to, pkt, len)) {
            ++s.sent_packets;
            s.sent_octets += uint32_t(pk[i].size);
            s.audio_octets += pk[i].size;
            if (pk[i].silence) ++s.sent_silence;
            s.sent_since_report = true;
        } else if (len && !s.send_failed) {
            s.send_failed = true;
            CALLCTL_LOG(log::Warning, "call %u: RTP could not be sent to %s", unsigned(s.call),
                        s.send_to.text().c_str());
        }
        s.marker = false;
    }
}

void Engine::send_event(Stream &s, bool end) {
    auto &t = s.tone;
    rtp::ToneEvent e;
    e.event = uint8_t(t.id);
    e.end = end;
    e.volume = 10;
    e.duration = uint16_t(t.duration);
    uint8_t payload[rtp::kToneEventSize];
    rtp::write_event(e, payload);
    rtp::Header h;
    h.marker = !end && t.duration <= kFrame && t.elapsed <= kFrame;
    h.pt = uint8_t(s.p.te_pt);
    h.seq = s.seq++;
    h.ts = t.ev_ts;
    h.ssrc = s.ssrc;
    uint8_t pkt[64];
    size_t len = rtp::write(h, payload, sizeof payload, pkt, sizeof pkt);
    if (len && s.rtp.send_to(s.send_to, pkt, len)) {
        ++s.sent_events;
        ++s.sent_packets;
        s.sent_octets += uint32_t(sizeof payload);
        s.sent_since_report = true;
    }
}

void Engine::send_rtcp(Stream &s, bool bye, int64_t now) {
    rtp::SenderInfo si;
    bool sr = s.sent_since_report;
    if (sr) {
        si.ntp = rtp::ntp_now();
        si.rtp_ts = s.ts;
        si.packets = s.sent_packets;
        si.octets = s.sent_octets;
    }
    rtp::ReportBlock rb;
    if (s.have_rx) {
        rb.ssrc = s.rx_ssrc;
        rb.fraction = s.rx.take_fraction_lost();
        rb.lost = s.rx.lost();
        rb.ext_max = s.rx.extended_max();
        rb.jitter = s.rx.jitter();
        if (s.last_sr_at) {
            rb.lsr = s.last_sr_mid;
            rb.dlsr = uint32_t((now - s.last_sr_at) * 65536 / 1000);
        }
    }
    uint8_t pkt[256];
    size_t n = rtp::write_compound(s.ssrc, sr ? &si : nullptr, s.have_rx ? &rb : nullptr, s.cname, bye, pkt, sizeof pkt);
    Endpoint to = s.rtcp_to;
    if (n && to.ip && to.port && s.rtcp.send_to(to, pkt, n)) ++s.rtcp_sent;
    s.sent_since_report = false;
}

// ---- the tick ------------------------------------------------------------------------

void Engine::tick(const int16_t mic[kFrame], int64_t now) {
    std::lock_guard<std::mutex> g(mu_);
    tick_locked(mic, now < 0 ? now_ms() : now);
}

void Engine::receive(int timeout_ms, int64_t at) {
    std::vector<Stream *> live;
    std::vector<UdpSocket *> socks;
    {
        std::lock_guard<std::mutex> g(mu_);
        for (auto &kv : streams_)
            if (!kv.second->dead) {
                live.push_back(kv.second.get());
                socks.push_back(&kv.second->rtp);
                socks.push_back(&kv.second->rtcp);
            }
    }
    if (socks.empty()) return;
    std::unique_ptr<bool[]> ready(new bool[socks.size()]);
    if (!wait_readable(socks.data(), socks.size(), timeout_ms, ready.get())) return;
    std::lock_guard<std::mutex> g(mu_);
    int64_t now = at < 0 ? now_ms() : at;
    for (size_t i = 0; i < live.size(); ++i)
        if (ready[2 * i] || ready[2 * i + 1]) receive_ready(*live[i], ready[2 * i], ready[2 * i + 1], now);
}

void Engine::tick_locked(const int16_t mic_in[kFrame], int64_t now) {
    // 1. received audio
    int32_t acc[kFrame] = {};
    for (auto &kv : streams_) {
        Stream &s = *kv.second;
        if (!s.active()) continue;
        s.jb.get(s.remote, now);
        bool hear = s.p.recv && !s.held;
        if (!hear) std::memset(s.remote, 0, sizeof s.remote);
        auto cm = conf_mode_.find(s.conf);
        bool bridged_out = s.conf && cm != conf_mode_.end() && cm->second.first && cm->second.second;
        if (!bridged_out) add_into(acc, s.remote);
        if (s.tone.active && s.tone.local && s.tone.ends_left == 0) {
            int16_t t[kFrame];
            // The local copy is half as loud as the one sent.
            s.tone.gen_local.next(t, kFrame);
            for (size_t i = 0; i < kFrame; ++i) acc[i] += t[i] / 2;
        }
    }
    // 2. speaker
    for (size_t i = 0; i < kFrame; ++i) speaker_[i] = mute_out_ ? 0 : sat16(acc[i]);
    if (play_) play_->write(speaker_);
    proc_->far_end(speaker_);
    // 3. microphone
    int16_t mic[kFrame];
    std::memcpy(mic, mic_in, sizeof mic);
    proc_->capture(mic);
    if (mute_in_ || volume_ == 0) {
        std::memset(mic, 0, sizeof mic);
    } else if (volume_ != 100) {
        int gain = volume_ * 1024 / 100;
        for (auto &x : mic) x = int16_t(int32_t(x) * gain / 1024);
    }
    in_ms_[level_pos_] = mean_square(mic);
    out_ms_[level_pos_] = mean_square(speaker_);
    level_pos_ = (level_pos_ + 1) % 3;
    in_energy_ = energy_of((in_ms_[0] + in_ms_[1] + in_ms_[2]) / 3);
    out_energy_ = energy_of((out_ms_[0] + out_ms_[1] + out_ms_[2]) / 3);
    // 4. sending
    for (auto &kv : streams_) {
        Stream &s = *kv.second;
        if (!s.active()) continue;
        auto cm = conf_mode_.find(s.conf);
        bool bridged_out = s.conf && cm != conf_mode_.end() && cm->second.first && cm->second.second;
        int32_t out[kFrame];
        for (size_t i = 0; i < kFrame; ++i) out[i] = bridged_out ? 0 : mic[i];
        if (s.conf) {
            for (auto &kv2 : streams_) {
                Stream &o = *kv2.second;
                if (&o != &s && o.active() && o.conf == s.conf) add_into(out, o.remote);
            }
        }
        for (size_t i = 0; i < kFrame; ++i) s.sent[i] = sat16(out[i]);
        auto &t = s.tone;
        bool can_send = s.p.send && !s.held && s.send_to.port != 0;
        bool event_tick = false;
        if (t.active) {
            if (t.ends_left == 0) {
                t.elapsed += kFrame;
                if (t.remote && !t.rfc) t.gen.next(s.sent, kFrame);  // in-band: replaces the microphone
                if (t.rfc && can_send) {
                    if (t.duration + kFrame > 0xFFFF) {  // a long event goes on in a new segment
                        t.ev_ts += t.duration;
                        t.duration = 0;
                    }
                    t.duration += kFrame;
                    send_event(s, false);
                    event_tick = true;
                }
                if (t.stop && t.elapsed >= t.min_samples) {
                    if (t.rfc) t.ends_left = 3;
                    else t.active = false;
                }
            } else {
                if (can_send) send_event(s, true);
                event_tick = true;
                if (--t.ends_left == 0) {
                    t.active = false;
                    s.marker = true;
                }
            }
        }
        if (can_send && !event_tick) send_frame(s, s.sent);
        if (!can_send) s.marker = true;
        s.ts += kFrame;
        // 5. recording: both directions
        if (s.rec) {
            int16_t mix[kFrame];
            for (size_t i = 0; i < kFrame; ++i) mix[i] = sat16(int32_t(s.sent[i]) + s.remote[i]);
            s.rec->write(mix, kFrame);
        }
        if (now >= s.next_rtcp) {
            send_rtcp(s, false, now);
            s.next_rtcp = now + kRtcpIntervalMs / 2 + int64_t(random_u32() % kRtcpIntervalMs);
        }
    }
}

// ---- media thread ----------------------------------------------------------------------

bool Engine::any_active_locked() const {
    for (const auto &kv : streams_)
        if (kv.second->active()) return true;
    return false;
}

void Engine::close_devices() {
    std::unique_ptr<device::Capture> c;
    std::unique_ptr<device::Playback> p;
    {
        std::lock_guard<std::mutex> g(mu_);
        c = std::move(cap_);
        p = std::move(play_);
        in_energy_ = 0.0;
        out_energy_ = 0.0;
        for (auto &x : in_ms_) x = 0;
        for (auto &x : out_ms_) x = 0;
    }
    last_tick_ = 0;
    c.reset();  // closing a device may take a moment: not under the lock
    p.reset();
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
    if (changed && cap_) close_devices();
#ifdef _WIN32
    if (!timer_period_) timer_period_ = timeBeginPeriod(1) == TIMERR_NOERROR;
#endif
    // Each side: the chosen device, else the default, else the null device
    // (silence on the clock) with another try every kReopenMs. A device
    // that failed is replaced by the default one.
    // Logged: each device opened, a chosen one that cannot be (once, not
    // at every retry), a failure, and the start of a stretch in silence.
    bool cap_failed = cap_ && cap_->failed();
    if (!cap_ || cap_failed || (cap_fallback_ && now >= cap_retry_)) {
        std::unique_ptr<device::Capture> c;
        std::string used = in;
        if (!cap_failed) c = factory_->open_capture(in);
        bool chosen_failed = !cap_failed && !in.empty() && (!c || c->failed());
        if (!c || c->failed()) {
            c = factory_->open_capture("");
            used.clear();
        }
        std::lock_guard<std::mutex> g(mu_);
        if (cap_failed) {
            ++cap_failures_;
            CALLCTL_LOG(log::Warning, "microphone %s failed", device_text(cap_name_).c_str());
        }
        if (chosen_failed && !cap_fallback_)
            CALLCTL_LOG(log::Warning, "microphone %s could not be opened", device_text(in).c_str());
        if (c && !c->failed()) {
            std::swap(cap_, c);  // the old device closes below, outside the lock
            cap_fallback_ = false;
            cap_name_ = used;
            CALLCTL_LOG(log::Info, "microphone %s opened", device_text(used).c_str());
        } else {
            if (!cap_ || !cap_fallback_) {
                c = device::null_capture();
                std::swap(cap_, c);
                CALLCTL_LOG(log::Warning, "no microphone can be opened: silence, another try every %d ms",
                            kReopenMs);
            }
            cap_fallback_ = true;
            cap_retry_ = now + kReopenMs;
        }
    }
    bool play_failed = play_ && play_->failed();
    if (!play_ || play_failed || (play_fallback_ && now >= play_retry_)) {
        std::unique_ptr<device::Playback> p;
        std::string used = out;
        if (!play_failed) p = factory_->open_playback(out);
        bool chosen_failed = !play_failed && !out.empty() && (!p || p->failed());
        if (!p || p->failed()) {
            p = factory_->open_playback("");
            used.clear();
        }
        std::lock_guard<std::mutex> g(mu_);
        if (play_failed) {
            ++play_failures_;
            CALLCTL_LOG(log::Warning, "speaker %s failed", device_text(play_name_).c_str());
        }
        if (chosen_failed && !play_fallback_)
            CALLCTL_LOG(log::Warning, "speaker %s could not be opened", device_text(out).c_str());
        if (p && !p->failed()) {
            std::swap(play_, p);
            play_fallback_ = false;
            play_name_ = used;
            CALLCTL_LOG(log::Info, "speaker %s opened", device_text(used).c_str());
        } else {
            if (!play_ || !play_fallback_) {
                p = device::null_playback();
                std::swap(play_, p);
                CALLCTL_LOG(log::Warning, "no speaker can be opened: nothing is heard, another try every %d ms",
                            kReopenMs);
            }
            play_fallback_ = true;
            play_retry_ = now + kReopenMs;
        }
    }
}

// CALLCTL_MEDIA_TRACE=1 in the environment: once a second, the devices'
// counters and each stream's jitter buffer on stderr.
void Engine::trace(int64_t now) {
    if (now < next_trace_) return;
    next_trace_ = now + 1000;
    std::string line = "callctl media: clock ticks " + std::to_string(clock_ticks_);
    if (cap_) line += "; " + cap_->counters();
    if (play_) line += "; " + play_->counters();
    for (auto &kv : streams_) {
        const Stream &s = *kv.second;
        if (!s.active()) continue;
        const auto &st = s.jb.stats();
        line += "; call " + std::to_string(kv.first) + " jb target " + std::to_string(s.jb.target_delay_ms()) +
                " delay " + std::to_string(s.jb.current_delay_ms(now)) + " played " + std::to_string(st.played) +
                " concealed " + std::to_string(st.concealed) + " late " + std::to_string(st.late) + " skipped " +
                std::to_string(st.skipped) + " inserted " + std::to_string(st.inserted);
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

void Engine::run() {
    const char *tr = std::getenv("CALLCTL_MEDIA_TRACE");
    bool tracing = tr && *tr && *tr != '0';
    std::vector<Stream *> live;
    std::vector<UdpSocket *> socks;
    std::unique_ptr<bool[]> ready;
    size_t ready_cap = 0;
    while (!quit_) {
        bool want;
        {
            std::unique_lock<std::mutex> g(mu_);
            // Reap ended streams (their sockets close here).
            for (auto it = streams_.begin(); it != streams_.end();) {
                if (it->second->dead) it = streams_.erase(it);
                else ++it;
            }
            want = any_active_locked();
            if (!want && !cap_) {
                cv_.wait_for(g, std::chrono::milliseconds(100));
                continue;
            }
        }
        if (!want) {
            close_devices();
            std::lock_guard<std::mutex> g(mu_);
            cap_fallback_ = play_fallback_ = false;
            continue;
        }
        manage_devices();
        live.clear();
        socks.clear();
        {
            std::lock_guard<std::mutex> g(mu_);
            for (auto &kv : streams_)
                if (kv.second->active()) {
                    live.push_back(kv.second.get());
                    socks.push_back(&kv.second->rtp);
                    socks.push_back(&kv.second->rtcp);
                }
        }
        if (socks.size() > ready_cap) {
            ready_cap = socks.size();
            ready.reset(new bool[ready_cap]);
        }
        bool ok = wait_readable(socks.data(), socks.size(), kPollMs, ready.get());
        if (!ok) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        std::lock_guard<std::mutex> g(mu_);
        int64_t now = now_ms();
        if (ok)
            for (size_t i = 0; i < live.size(); ++i)
                if (!live[i]->dead && (ready[2 * i] || ready[2 * i + 1]))
                    receive_ready(*live[i], ready[2 * i], ready[2 * i + 1], now);
        int16_t mic[kFrame];
        bool read = false;
        for (int i = 0; i < 5 && cap_ && cap_->read(mic); ++i) {
            tick_locked(mic, now_ms());
            read = true;
        }
        // A capture device that delivers nothing (starting up, stalled)
        // does not stop the clock: silence frames keep the calls going.
        now = now_ms();
        if (read || last_tick_ == 0) {
            last_tick_ = now;
        } else if (now - last_tick_ >= kCaptureGraceMs) {
            static const int16_t silence[kFrame] = {};
            tick_locked(silence, now);
            last_tick_ = now - (kCaptureGraceMs - int64_t(device::kFrameMs));
            ++clock_ticks_;
        }
        if (tracing) trace(now);
    }
}

}  // namespace callctl::media
