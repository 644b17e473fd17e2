// Adaptive jitter buffer of one received audio stream.
//
// Holds the received packets (any duration) by RTP timestamp and hands out
// one 20 ms frame per get(), which the media clock calls every 20 ms.
//
// Decoding. A packet is kept as it came, encoded, and decoded only when
// its first sample is due to play (set_decoder), so the decoder hears the
// stream in playout order whatever order the packets came in: its own
// concealment of a missing frame (set_concealment) and its comfort noise
// come at that frame's place, once, between the packets around it, and a
// packet that came after its neighbours is decoded before them. A stateful
// decoder (G.729) needs this; for G.711 it changes nothing. Frames skipped
// to shorten the delay are decoded too (and not played), missing ones in
// them are not concealed; past the concealment of a long loss (five
// frames) the decoder is not called until audio comes again. Decoded
// samples can also be put directly (put() with pcm).
//
// Playout. Each arriving packet gives an offset = arrival time - RTP time
// (both in ms). The lowest offset over the last kWindow packets is the
// "fast path"; a sample with RTP time t is due at t + low offset + target
// delay. The target delay is the spread of the offsets over that window
// (highest - lowest, i.e. the jitter the network showed) plus one frame,
// kept between kMinDelayMs and kMaxDelayMs, and kStartDelayMs until a full
// window has been seen. It rises as soon as a late packet shows more
// jitter and falls only as the window forgets it. The playout point follows
// the target:
//  - later at once: while it plays more than a frame early for the target,
//    every get() holds it and plays a concealed frame (comfort noise during
//    the peer's silence) instead;
//  - sooner slowly and only in quiet: at most once per kAdjustFrames frames
//    a frame is skipped, and only one that is quiet (mean magnitude below
//    kQuietLevel, or half again the background's level), comfort noise or
//    missing; speech is skipped only when the delay is more than
//    kSpeechSkipMs past the target. A sender whose clock runs fast moves
//    the fast path, so its surplus goes in its pauses and the delay stays
//    bounded; one whose clock runs slow gets frames inserted.
//  - a stall (nothing of the frame due nor of any later one has come)
//    holds the point while it is concealed, up to kMaxDelayMs of delay:
//    a burst that ends the stall plays instead of coming too late, and the
//    delay has grown by the stall at once. When what comes shows frames
//    missing before it, the held frames stand for them (loss of the newest
//    packets costs no delay).
//
// Faults handled:
//  - reordering: packets are placed by timestamp; one that arrives before
//    its turn plays normally;
//  - duplicates: a sequence number seen among the last 64 is dropped;
//  - loss: missing samples are the decoder's concealment (set_concealment:
//    G.711 pitch-period repetition, G.729's frame erasure), which sees every
//    sample that plays; without one, the last frame played repeats with a
//    fading gain (-20 % per frame, silent after five). Under a concealment
//    the background's noise (the lowest frame level of the last one to two
//    seconds, at most kMaxFloorLevel) rises over 50 ms, and a loss longer
//    than five frames plays that noise rather than hard silence;
//  - silence (a codec with silence suppression, G.729 Annex B): after a
//    packet that ends with a silence description the sender may send
//    nothing until speech resumes; that gap is filled with comfort noise
//    from the comfort-noise source (see set_comfort_noise), not concealed
//    as loss, until audio of a packet without one plays. A marked packet
//    (a new talkspurt) arriving when nothing is buffered during comfort
//    noise places the playout point afresh, at the target delay. A packet
//    with a silence description counts even when it comes too late to play
//    (when nothing newer came before it) or its frame is skipped;
//  - late packets (their audio already played or concealed) are dropped,
//    but the decoder still takes a late silence description (above);
//    before anything has played, a late packet places the playout point
//    afresh instead (else a point placed too far ahead would stay there);
//  - sequence and timestamp wrap: both are unwrapped to 64 bits;
//  - an SSRC change, or an offset more than kResyncMs away from the fast
//    path (the sender's timestamps jumped, or a long stall), resets the
//    buffer: playout restarts from that packet at the start delay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace callctl::jb {

constexpr size_t kFrame = 160;  // samples per get(), 20 ms

class JitterBuffer {
public:
    static constexpr int kMinDelayMs = 20;
    static constexpr int kMaxDelayMs = 200;
    static constexpr int kStartDelayMs = 40;
    static constexpr int kWindow = 100;     // packets the delay estimate looks back over (2 s)
    static constexpr int kAdjustFrames = 5; // at most one playout adjustment per 100 ms
    static constexpr int kResyncMs = 1000;
    static constexpr int kSkipSamples = 100;
    static constexpr size_t kSlots = 32;        // packets held at most
    static constexpr size_t kMaxPacketSamples = 480;  // 60 ms
    static constexpr size_t kMaxPayloadBytes = 480;   // 60 ms of G.711
    static constexpr int kSpeechSkipMs = 60;     // past the target, speech may be skipped too
    static constexpr int kQuietLevel = 256;      // mean magnitude of a frame quiet enough to skip
    static constexpr int kFloorFrames = 50;      // the background level: lowest of 50 to 100 frames
    static constexpr int kMaxFloorLevel = 300;   // the most noise a concealment fades into
    static constexpr int kNoiseRampSamples = 400;  // 50 ms for that noise to rise

    enum class Put { Stored, Duplicate, Late, Reset, Dropped };
    enum class Get { Audio, Concealed, Silence, ComfortNoise };
    // Fills pcm[0..n) with comfort noise; false when it has none (the
    // buffer then repeats the last comfort noise it played).
    using ComfortNoise = std::function<bool(int16_t *pcm, size_t n)>;
    // The decoder's loss concealment: Heard sees every sample that plays, in
    // order (and may smooth it after concealed ones); Conceal fills missing
    // samples, false when it has nothing (the buffer's fading repeat then).
    using Heard = std::function<void(int16_t *pcm, size_t n)>;
    using Conceal = std::function<bool(int16_t *pcm, size_t n)>;
    // Decodes a packet's payload into pcm (room for n samples, as many as
    // put() was told it holds); returns the samples written, <= 0 when it
    // cannot (the packet then plays as silence).
    using Decode = std::function<int(int format, const uint8_t *payload, size_t size, int16_t *pcm, size_t n)>;
    // A packet as it came: its payload and the format it was sent in.
    struct Encoded {
        int format = 0;  // handed back to the decoder (the RTP payload type)
        const uint8_t *data = nullptr;
        size_t size = 0;
    };

    struct Stats {
        uint64_t stored = 0;
        uint64_t duplicates = 0;
        uint64_t late = 0;
        uint64_t resets = 0;
        uint64_t dropped = 0;     // too big, or no room
        uint64_t played = 0;      // frames of real audio
        uint64_t concealed = 0;   // frames with concealed samples
        uint64_t comfort_noise = 0;  // frames of comfort noise only
        uint64_t skipped = 0;     // frames dropped to shorten the delay
        uint64_t inserted = 0;    // frames inserted to lengthen it (held over a stall included)
    };

    // Decoded samples of one packet arriving at now_ms. silence: the packet
    // ends with a silence description; marker: its RTP marker bit.
    Put put(uint32_t ssrc, uint16_t seq, uint32_t ts, const int16_t *pcm, size_t n, int64_t now_ms,
            bool silence = false, bool marker = false);
    // The same for an encoded packet of n samples, decoded when it is due.
    Put put(uint32_t ssrc, uint16_t seq, uint32_t ts, const Encoded &packet, size_t n, int64_t now_ms,
            bool silence = false, bool marker = false);
    void set_decoder(Decode fn) { decode_ = std::move(fn); }
    void set_comfort_noise(ComfortNoise fn) { comfort_ = std::move(fn); }
    void set_concealment(Heard heard, Conceal conceal) {
        heard_ = std::move(heard);
        conceal_ = std::move(conceal);
    }
    // The next 20 ms for playout at now_ms.
    Get get(int16_t out[kFrame], int64_t now_ms);

    const Stats &stats() const { return stats_; }
    int target_delay_ms() const { return target_ms_; }
    // The delay (ms) the buffer gave the frame the last get() handed out,
    // counted from when a packet of the lowest offset brought it.
    int current_delay_ms(int64_t now_ms) const;
    bool started() const { return started_; }
    void clear();

private:
    struct Slot {
        int64_t ts = 0;  // unwrapped
        uint16_t n = 0;
        bool silence = false;
        bool decoded = false;  // pcm holds the samples, else payload the packet
        int format = 0;
        uint16_t size = 0;     // of the payload
        union {
            int16_t pcm[kMaxPacketSamples];
            uint8_t payload[kMaxPayloadBytes];
        };
    };

    Put store(uint32_t ssrc, uint16_t seq, uint32_t ts, const int16_t *pcm, const Encoded *packet, size_t n,
              int64_t now_ms, bool silence, bool marker);
    void decode(Slot &s);
    void decode_from_play_point();
    void fill(int16_t *out, const int8_t *from, const bool *cn, bool hear_runs);
    void restart(uint32_t ssrc, uint32_t ts, int64_t now_ms);
    int64_t unwrap(uint32_t ts);
    bool seen_before(uint16_t seq);
    void note_offset(int64_t offset_q3);
    void conceal(int16_t *out, size_t from, size_t to);
    void hear(int16_t *out, size_t from, size_t to);
    void played(const int16_t *out);  // a whole frame of audio played
    void comfort(int16_t *out, size_t from, size_t to);
    void drop_played();
    bool quiet_at_play_point();
    void resume_after_hold();
    void note_level(const int16_t *pcm);
    int floor_level() const;
    int noise(int level);
    static int mean_level(const int16_t *pcm, size_t n);
    static int16_t saturate(int v);

    bool started_ = false;
    uint32_t ssrc_ = 0;
    uint32_t last_ts_ = 0;
    int64_t last_ext_ = 0;
    int64_t play_ts_ = 0;          // next sample to play (unwrapped)
    int64_t newest_end_ = 0;       // end of the newest audio stored
    // Offsets in 1/8 ms (= samples at 8 kHz): arrival*8 - ts. The lowest and
    // highest of the window come from two monotonic queues (oldest first), so
    // each packet costs O(1) however long the window.
    struct Extreme {
        int64_t at;     // which offset (count since the restart)
        int64_t value;
    };
    struct ExtremeQueue {
        Extreme q[kWindow];
        int head = 0, size = 0;
        // Adds offset `at` of the window, dropping what it outranks (better(a, b):
        // a is at least as extreme as b) and what has left the window.
        template <class Better>
        int64_t push(int64_t at, int64_t value, Better better);
    };
    int64_t noted_ = 0;  // offsets noted since the restart
    int n_offsets_ = 0;  // of them in the window
    ExtremeQueue lows_, highs_;
    int64_t low_ = 0;
    int64_t high_ = 0;
    int target_ms_ = kStartDelayMs;
    int since_adjust_ = 0;
    bool fresh_ = false;       // the next get() places the playout point
    bool playing_ = false;     // audio has been played since the last restart
    uint16_t max_seq_ = 0;     // highest sequence number received
    uint64_t seen_ = 0;        // bit i: max_seq_ - i was received
    int fade_step_ = 0;        // consecutive concealed frames
    int held_ = 0;             // frames the playout point has held over a stall
    int conceal_run_ = 0;      // samples concealed in a row (up to kNoiseRampSamples)
    int level_min_ = INT32_MAX;  // lowest frame level of this block of kFloorFrames
    int level_prev_ = -1;        // and of the one before (-1: none yet)
    int level_frames_ = 0;
    uint32_t noise_rng_ = 1;
    int16_t last_[kFrame] = {};
    bool cng_ = false;         // the audio played last ended with a silence description
    int16_t cn_[kFrame] = {};  // the last comfort noise frame
    ComfortNoise comfort_;
    Heard heard_;
    Conceal conceal_;
    Decode decode_;
    uint32_t used_ = 0;  // bit i: slots_[i] holds a packet
    Slot slots_[kSlots];
    Stats stats_;
};

}  // namespace callctl::jb
