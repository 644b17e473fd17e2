// The media engine of an instance: RTP streams of its calls, the audio
// devices, mixing, levels, tones and recordings.
//
// Threads. One media thread per instance runs the audio clock while a
// stream is active: it starts when the first one becomes active and ends
// once none is and the devices are closed, so an idle instance holds no
// thread for it. It waits for RTP/RTCP datagrams (reading one per readable
// socket per wake) and, for each 20 ms frame the capture device hands out,
// runs one tick:
//   1. every stream's jitter buffer gives its 20 ms of received audio;
//   2. the speaker gets the sum of the streams being listened to plus local
//      tones, after the output mute; the capture processor hears that frame
//      as the far end; the output level is taken. A speaker frame that
//      nobody needs (the null device plays it, no processor hears it, the
//      program has not asked for the output level lately) is not made;
//   3. the microphone frame goes through the capture processor (echo
//      cancellation, noise suppression, gain control when switched on), the
//      input volume and mute; the input level is taken;
//   4. each stream sends: the microphone (or its in-band tone), plus in a
//      conference the other parties' audio (N-1 mixing); or RFC 4733 events;
//   5. recordings get the frame sent plus the frame received.
// A capture device that hands out nothing for kCaptureGraceMs (a slow
// start, a stall) does not stop the clock: the tick runs on silence, every
// 20 ms, until frames come again.
// The tick's list of parties, like the media thread's set of sockets, is
// made again only when streams come, go or change conference (gen_), not at
// every tick or wake.
// Devices are opened by the media thread when the first stream becomes
// active and closed when none is. A device that cannot be opened, that
// fails or that goes away (unplugged) is replaced by the default device,
// and while that cannot be had either, by the null device (the clock keeps
// running, the call stays up); another try follows every kReopenMs. A
// chosen device that comes back, and a new default device for the default
// choice, take over again (device_slot.h); the media thread looks at the
// device list for that twice a second during a call.
//
// The engine has its own lock; the SIP side calls in with the instance lock
// held (instance lock before engine lock, never the other way round).
// Streams are created by API threads; only the media thread destroys them.
//
// Where each part lives: one call's stream (RTP/RTCP, tones, recording) in
// stream.h, who hears whom in mix.h, the capture processor and the levels
// in capture.h, each direction's device and its fallback in device_slot.h;
// engine.cpp joins them in the tick and runs the thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../base/base.h"
#include "../device/device.h"
#include "../include/callctl.h"
#include "../sdp/sdp.h"

namespace callctl::media {

constexpr size_t kFrame = 160;

// What offer/answer settled for one call's audio.
struct StreamParams {
    Endpoint rtp;   // the peer's address for RTP (c= and m= port)
    Endpoint rtcp;  // the next port
    struct Format {
        int pt;
        std::string codec;  // name in the codec table
    };
    std::vector<Format> audio;  // payloads we accept; the first is the one we send
    std::string send_fmtp;      // the peer's a=fmtp parameters for the first, "" for none
    int te_pt = -1;             // the peer's telephone-event payload type, -1 none
    bool send = false;          // the peer takes audio from us
    bool recv = false;          // the peer sends audio to us
    // SRTP keys of offer/answer (RFC 4568); off: plain RTP. A key that
    // differs from the stream's current one starts a new SRTP session for
    // its direction; the same key keeps the session (and its packet index).
    sdp::SrtpKeys srtp;
};

// Payloads of our offer: the selected codec first when built in, then PCMU
// and PCMA, then telephone-event/8000 as payload 101.
std::vector<sdp::Payload> offer_payloads(const std::string &selected_codec);
constexpr int kOfferedTelephoneEventPt = 101;
// The peer's description (an answer to our offer, or an offer) as stream
// settings: its payload types, the formats of ours it listed (its order),
// its direction. The address must be a dotted quad (the call looks names
// up first); anything else counts as unreachable.
StreamParams params_from(const sdp::Remote &peer);
// Our answer to the peer's offer: the formats of its offer that we have,
// in its order and under its numbers, and its telephone-event.
std::vector<sdp::Payload> answer_payloads(const sdp::Remote &offer);
// RFC 3264 section 6.1: the direction of our answer.
sdp::Direction answer_direction(sdp::Direction offered, bool local_hold);

// How a conference's audio is mixed (set_conference_mode).
struct ConferenceMode {
    bool held = false;
    bool bridging = false;
};

class Stream;
class CapturePath;
class Levels;
struct MixParty;
template <class Dev>
class DeviceSlot;

class Engine {
public:
    static constexpr int kReopenMs = 1000;
    static constexpr int kRtcpIntervalMs = 5000;
    // How often the media thread looks for a capture frame that is due or late, for a
    // device that cannot tell when its next frame comes. While such a microphone
    // delivers, the thread sleeps until its next frame is due instead; one that keeps
    // its own pace (device::Capture::next_frame_at) is waited for exactly (arriving
    // packets wake the thread at once either way).
    static constexpr int kPollMs = 4;
    // Longest wait for a capture frame before the clock ticks on silence.
    static constexpr int kCaptureGraceMs = 60;

    explicit Engine(std::shared_ptr<device::Factory> devices = device::platform_factory());
    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    // Lets the media thread run: it starts whenever a stream becomes active.
    void start();
    // Stops the thread, ends every stream (RTCP BYE) and finalises every
    // recording. Idempotent.
    void stop();

    // ---- streams, keyed by call handle ---------------------------------------
    // Binds RTP and RTCP sockets on the first free even/odd port pair at or
    // after first_port, trying `pairs` pairs from a rotating start. Returns
    // the RTP port, 0 when none could be bound.
    uint16_t open_stream(uint32_t call, uint32_t bind_ip, uint16_t first_port, int pairs);
    bool has_stream(uint32_t call) const;
    // Offer/answer result; the stream becomes active (early media too).
    // now_ms: the media clock's time of it (-1: the real clock).
    void configure(uint32_t call, const StreamParams &p, int64_t now_ms = -1);
    // Local hold: nothing is sent to or played from the call.
    void set_hold(uint32_t call, bool held);
    void set_conference(uint32_t call, uint32_t conf);
    // A held conference: with bridging its parties still hear each other
    // but not the local user, and the speaker does not play them; without
    // bridging its calls are on hold one by one (set_hold does that).
    void set_conference_mode(uint32_t conf, bool held, bool bridging);
    // Ends the stream: RTCP BYE, recording finalised. Harmless when none.
    void close_stream(uint32_t call);

    // ---- tones and recordings -----------------------------------------------
    // dtmf_mode as sipxConfigSetOutboundDTMFMode: 0 in-band, 1 RFC 4733,
    // 2 RFC 4733 when the peer has telephone-event, else in-band.
    SIPX_RESULT start_tone(uint32_t call, int id, bool local, bool remote, int min_ms, int dtmf_mode);
    SIPX_RESULT stop_tone(uint32_t call);
    SIPX_RESULT record_start(uint32_t call, const std::string &gbk_path);
    SIPX_RESULT record_stop(uint32_t call);

    // Milliseconds since anything last came from the call's peer's address
    // to its RTP or RTCP port (audio or not, valid or not: comfort noise, a
    // format we do not play, reports), or since it was last expected to
    // start (audio from the peer configured, hold ended), or -1 while
    // nothing is expected (no stream, held, the peer sends nothing).
    // *may_pause: the peer may legitimately send nothing for long (G.729
    // with silence suppression) and has sent no RTCP, so its silence says
    // less.
    int64_t quiet_ms(uint32_t call, int64_t now, bool *may_pause = nullptr) const;

    // ---- settings ------------------------------------------------------------
    // Test devices ("file:", "fail:") open only when allowed; otherwise
    // such names count as unknown, which means the default device.
    void allow_test_devices(bool on);
    void set_input_device(const std::string &name);
    void set_output_device(const std::string &name);
    void set_input_volume(int level);  // 0..100, linear gain level/100
    void mute_input(bool on);
    void mute_output(bool on);
    void set_processing(int aec_mode, bool noise_reduction, bool agc);
    // 0..100: 0 at -60 dBFS or below, 100 at 0 dBFS, linear in dB; over the
    // last three frames; 0 while no call has audio.
    double input_energy() const;
    double output_energy() const;

    // ---- inspection (tests) -----------------------------------------------------
    struct StreamInfo {
        uint16_t local_port = 0;
        bool active = false;
        Endpoint send_to;
        bool latched = false;
        int send_pt = -1;
        uint64_t sent_packets = 0, sent_events = 0, received_packets = 0, ignored_packets = 0;
        uint64_t rtcp_sent = 0, rtcp_received = 0;
        uint64_t sent_octets = 0;       // RTP payload bytes of audio sent
        uint64_t sent_silence = 0;      // of the packets sent: silence descriptions (G.729 SID)
        uint64_t received_silence = 0;  // the same, received
        uint64_t concealed = 0, played = 0, comfort_noise = 0;
        int jitter_delay_ms = 0;
        size_t decoders = 0;  // formats the stream can decode now
        bool srtp = false;                  // RTP and RTCP are SRTP/SRTCP
        uint64_t srtp_auth_failed = 0;      // dropped: failed SRTP/SRTCP authentication
        uint64_t srtp_replayed = 0;         // dropped: replays (or too old for the window)
    };
    bool stream_info(uint32_t call, StreamInfo *out) const;
    // How the call's received audio sounds since the previous look (since the start the
    // first time); each look starts a new interval. False: no such call.
    struct CallQuality {
        bool heard = false;       // audio was due in the interval
        int bars = 0;             // 1..5 (quality.h), 0 while nothing was heard
        double mos = 0;
        double lost_percent = 0;  // frames lost or concealed, of those due
        int jitter_ms = 0;        // interarrival jitter (RFC 3550)
        int round_trip_ms = -1;   // from the peer's RTCP reports, -1 unknown
        int buffer_ms = 0;        // the jitter buffer's playout delay
    };
    bool call_quality(uint32_t call, CallQuality *out);
    struct DeviceInfo {
        bool open = false;
        uint64_t capture_failures = 0, playback_failures = 0;  // devices given up
        bool capture_fallback = false, playback_fallback = false;  // on the null device now
        std::string capture_in_use, playback_in_use;  // as the audio summary names them
        uint64_t clock_ticks = 0;  // ticks made on silence while capture delivered nothing
        bool thread = false;       // the media thread runs
    };
    DeviceInfo device_info() const;

    // ---- driving without the thread (benchmarks) -------------------------------
    // Reads every datagram waiting (waits up to timeout_ms for the first).
    // now_ms: the media clock's time for them (-1: the real clock).
    void receive(int timeout_ms, int64_t now_ms = -1);
    // One tick with this microphone frame; the speaker frame stays readable.
    void tick(const int16_t mic[kFrame], int64_t now_ms = -1);
    const int16_t *speaker_frame() const { return speaker_; }

private:
    // The active streams and their sockets as the waits see them (two sockets per
    // stream, RTP then RTCP), made again when gen_ has moved on.
    struct Waiting {
        std::vector<Stream *> live;
        std::vector<UdpSocket *> socks;
        SocketWaiter waiter;
        std::vector<uint32_t> ready;  // what the last wait found
        int got = 0;
        uint64_t gen = ~uint64_t(0);
    };

    void run();
    // Starts the media thread unless it runs, may not or need not (mu_ held).
    void run_thread_locked();
    bool devices_due_locked(int64_t now) const;
    void manage_devices();
    void close_devices();
    // Drops ended streams, then lists the active ones for w (mu_ held).
    void refresh_locked(Waiting &w);
    // Reads what w's last wait found: at most `most` datagrams per socket (mu_ held).
    void take_ready_locked(Waiting &w, int64_t now, int most);
    // The parties of the tick, in the order of streams_ (mu_ held).
    void parties_locked();
    void tick_locked(const int16_t mic_in[kFrame], int64_t now);
    // The log's line on a call's audio when it ends (mu_ held).
    std::string summary(const Stream &s) const;
    void trace(int64_t now);
    Stream *find(uint32_t call) const;

    std::shared_ptr<device::Factory> factory_;
    mutable std::mutex mu_;
    std::map<uint32_t, std::unique_ptr<Stream>> streams_;
    // Moves on whenever a stream becomes active or ends, is reaped, or changes
    // conference, and when a conference's mode changes.
    uint64_t gen_ = 0;
    std::map<uint32_t, ConferenceMode> conf_mode_;
    uint16_t port_cursor_ = 0;

    // settings (mu_)
    std::string in_name_, out_name_;
    bool devices_changed_ = false;
    int volume_ = 100;
    bool mute_in_ = false, mute_out_ = false;
    bool test_devices_ = false;

    // media thread
    std::thread thread_;
    std::atomic<bool> quit_{false};
    bool started_ = false;    // start() was called: the thread may run
    bool thread_on_ = false;  // the thread runs its loop (it clears this as it ends)
    bool stopped_ = false;
    Waiting wait_;            // the media thread's, or receive()'s without it
    std::unique_ptr<DeviceSlot<device::Capture>> mic_;
    std::unique_ptr<DeviceSlot<device::Playback>> speaker_dev_;
    std::unique_ptr<CapturePath> capture_;
    std::unique_ptr<Levels> levels_;
    bool timer_period_ = false;
    int64_t last_tick_ = 0;
    int64_t last_capture_ = 0;  // when the microphone last handed out a frame; 0: not lately
    uint64_t clock_ticks_ = 0;
    int64_t next_trace_ = 0;

    // the tick's parties, in the order of streams_, for gen tick_gen_
    std::vector<Stream *> live_;
    std::vector<MixParty> parties_;
    std::vector<int16_t *> sent_;
    uint64_t tick_gen_ = ~uint64_t(0);
    int16_t speaker_[kFrame] = {};
};

// 0..100 level of a mean square (of 16-bit samples), as documented above.
double energy_of(double mean_square);

}  // namespace callctl::media
