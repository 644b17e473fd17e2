#include "jitter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace callctl::jb {

namespace {
constexpr int kFadeFrames = 5;
static_assert(JitterBuffer::kSlots == 32, "the slots in use are the bits of one 32-bit word");

// Calls fn(i) for every bit i set in mask, lowest first (the slots' order).
template <class Fn>
inline void each_bit(uint32_t mask, Fn fn) {
    for (; mask; mask &= mask - 1) fn(size_t(__builtin_ctz(mask)));
}
}  // namespace

void JitterBuffer::clear() {
    ComfortNoise fn = std::move(comfort_);
    Heard heard = std::move(heard_);
    Conceal conceal = std::move(conceal_);
    Decode decode = std::move(decode_);
    *this = JitterBuffer();
    comfort_ = std::move(fn);
    heard_ = std::move(heard);
    conceal_ = std::move(conceal);
    decode_ = std::move(decode);
}

void JitterBuffer::restart(uint32_t ssrc, uint32_t ts, int64_t now_ms) {
    (void)now_ms;
    used_ = 0;
    started_ = true;
    fresh_ = true;
    playing_ = false;
    ssrc_ = ssrc;
    last_ts_ = ts;
    last_ext_ = int64_t(1) << 40;  // far from zero: unwrapped values stay positive
    newest_end_ = 0;
    noted_ = 0;
    n_offsets_ = 0;
    lows_.head = lows_.size = 0;
    highs_.head = highs_.size = 0;
    target_ms_ = kStartDelayMs;
    since_adjust_ = 0;
    seen_ = 0;
    held_ = 0;
    std::memset(last_, 0, sizeof last_);
    cng_ = false;
}

int64_t JitterBuffer::unwrap(uint32_t ts) {
    int64_t ext = last_ext_ + int32_t(ts - last_ts_);
    if (ext > last_ext_) {
        last_ext_ = ext;
        last_ts_ = ts;
    }
    return ext;
}

bool JitterBuffer::seen_before(uint16_t seq) {
    if (seen_ == 0) {
        max_seq_ = seq;
        seen_ = 1;
        return false;
    }
    int d = int16_t(uint16_t(seq - max_seq_));
    if (d > 0) {
        seen_ = d >= 64 ? 0 : seen_ << d;
        seen_ |= 1;
        max_seq_ = seq;
        return false;
    }
    int i = -d;
    if (i >= 64) return false;
    uint64_t bit = uint64_t(1) << i;
    if (seen_ & bit) return true;
    seen_ |= bit;
    return false;
}

template <class Better>
int64_t JitterBuffer::ExtremeQueue::push(int64_t at, int64_t value, Better better) {
    if (size > 0 && q[head].at <= at - kWindow) {  // one offset leaves the window per offset added
        head = (head + 1) % kWindow;
        --size;
    }
    // Newer offsets that are at least as extreme make older ones useless.
    while (size > 0 && better(value, q[(head + size - 1) % kWindow].value)) --size;
    q[(head + size) % kWindow] = {at, value};
    ++size;
    return q[head].value;
}

void JitterBuffer::note_offset(int64_t off) {
    const int64_t at = noted_++;
    if (n_offsets_ < kWindow) ++n_offsets_;
    low_ = lows_.push(at, off, [](int64_t a, int64_t b) { return a <= b; });
    high_ = highs_.push(at, off, [](int64_t a, int64_t b) { return a >= b; });
    int spread_ms = int((high_ - low_) / 8);
    int t = spread_ms + int(kFrame / 8);
    if (n_offsets_ < kWindow) t = std::max(t, kStartDelayMs);
    target_ms_ = std::clamp(t, kMinDelayMs, kMaxDelayMs);
}

JitterBuffer::Put JitterBuffer::put(uint32_t ssrc, uint16_t seq, uint32_t ts, const int16_t *pcm, size_t n,
                                    int64_t now_ms, bool silence, bool marker) {
    return store(ssrc, seq, ts, pcm, nullptr, n, now_ms, silence, marker);
}

JitterBuffer::Put JitterBuffer::put(uint32_t ssrc, uint16_t seq, uint32_t ts, const Encoded &packet, size_t n,
                                    int64_t now_ms, bool silence, bool marker) {
    return store(ssrc, seq, ts, nullptr, &packet, n, now_ms, silence, marker);
}

JitterBuffer::Put JitterBuffer::store(uint32_t ssrc, uint16_t seq, uint32_t ts, const int16_t *pcm,
                                      const Encoded *packet, size_t n, int64_t now_ms, bool silence, bool marker) {
    if (n == 0 || n > kMaxPacketSamples || (packet && (packet->size == 0 || packet->size > kMaxPayloadBytes))) {
        ++stats_.dropped;
        return Put::Dropped;
    }
    Put result = Put::Stored;
    if (!started_ || ssrc != ssrc_) {
        if (started_) {
            ++stats_.resets;
            result = Put::Reset;
        }
        restart(ssrc, ts, now_ms);
    }
    int64_t ext = unwrap(ts);
    int64_t off = now_ms * 8 - ext;
    if (n_offsets_ > 0 && (off - low_ > kResyncMs * 8 || low_ - off > kResyncMs * 8)) {
        ++stats_.resets;
        result = Put::Reset;
        restart(ssrc, ts, now_ms);
        ext = unwrap(ts);
        off = now_ms * 8 - ext;
    }
    if (seen_before(seq)) {
        ++stats_.duplicates;
        return Put::Duplicate;
    }
    note_offset(off);
    if (marker && cng_ && !fresh_) {
        // A talkspurt after comfort noise: with nothing buffered, its
        // playout point is placed afresh at the target delay.
        if (used_ == 0) fresh_ = true;
    }
    if (!fresh_ && ext + int64_t(n) <= play_ts_) {
        if (playing_) {
            ++stats_.late;
            // Its audio is gone but not its news: a silence description with
            // nothing newer after it means the peer has gone quiet, and the
            // gap it leaves is comfort noise, not loss.
            // The decoder takes the description too (its output is not
            // played), for the comfort noise it is to make.
            if (silence && ext + int64_t(n) >= newest_end_) {
                cng_ = true;
                int16_t discard[kMaxPacketSamples];
                if (packet && decode_) decode_(packet->format, packet->data, packet->size, discard, n);
            }
            return Put::Late;
        }
        // Nothing has played yet and the point was placed past the packets
        // (a late first tick, the delay jumping right after the first
        // packet): place it again from this one. Holding the point, which
        // corrects this while audio plays, needs audio to have played.
        fresh_ = true;
    }
    bool duplicate = false;
    Slot *oldest = nullptr;
    each_bit(used_, [&](size_t i) {
        Slot &s = slots_[i];
        duplicate = duplicate || s.ts == ext;  // same audio under another sequence number
        if (!oldest || s.ts < oldest->ts) oldest = &s;
    });
    if (duplicate) {
        ++stats_.duplicates;
        return Put::Duplicate;
    }
    Slot *slot;
    if (~used_ != 0) {
        const size_t i = size_t(__builtin_ctz(~used_));
        used_ |= uint32_t(1) << i;
        slot = &slots_[i];
    } else {
        if (oldest->ts > ext) {
            ++stats_.dropped;
            return Put::Dropped;
        }
        slot = oldest;
        ++stats_.dropped;
    }
    slot->ts = ext;
    slot->n = uint16_t(n);
    slot->silence = silence;
    slot->decoded = packet == nullptr;
    if (packet) {
        slot->format = packet->format;
        slot->size = uint16_t(packet->size);
        std::memcpy(slot->payload, packet->data, packet->size);
    } else {
        std::memcpy(slot->pcm, pcm, n * sizeof(int16_t));
    }
    newest_end_ = std::max(newest_end_, ext + int64_t(n));
    ++stats_.stored;
    return result;
}

int JitterBuffer::current_delay_ms(int64_t now_ms) const {
    if (!started_ || fresh_) return target_ms_;
    return int((now_ms * 8 - low_ - (play_ts_ - int64_t(kFrame))) / 8);
}

void JitterBuffer::conceal(int16_t *out, size_t from, size_t to) {
    if (!conceal_ || !conceal_(out + from, to - from)) {
        // No concealment of the decoder's: the last frame again, its gain
        // falling linearly across the frame from this step's value to the next.
        int g0 = std::max(0, 1024 - fade_step_ * 1024 / kFadeFrames);
        int g1 = std::max(0, 1024 - (fade_step_ + 1) * 1024 / kFadeFrames);
        for (size_t i = from; i < to; ++i) {
            int g = g0 + (g1 - g0) * int(i) / int(kFrame);
            out[i] = int16_t(last_[i] * g / 1024);
        }
    }
    // The background's noise rises under it as the concealment fades.
    const int level = floor_level();
    for (size_t i = from; i < to; ++i) {
        if (conceal_run_ < kNoiseRampSamples) ++conceal_run_;
        if (level) out[i] = saturate(out[i] + noise(level) * conceal_run_ / kNoiseRampSamples);
    }
}

void JitterBuffer::hear(int16_t *out, size_t from, size_t to) {
    if (heard_ && to > from) heard_(out + from, to - from);
    conceal_run_ = 0;
}

int16_t JitterBuffer::saturate(int v) { return int16_t(std::clamp(v, -32768, 32767)); }

int JitterBuffer::noise(int level) {
    noise_rng_ = noise_rng_ * 1103515245u + 12345u;
    // Uniform over [-2 level, 2 level]: its mean magnitude is the level.
    return int((noise_rng_ >> 8) % uint32_t(4 * level + 1)) - 2 * level;
}

int JitterBuffer::mean_level(const int16_t *pcm, size_t n) {
    int64_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += std::abs(int(pcm[i]));
    return n ? int(sum / int64_t(n)) : 0;
}

void JitterBuffer::note_level(const int16_t *pcm) {
    level_min_ = std::min(level_min_, mean_level(pcm, kFrame));
    if (++level_frames_ < kFloorFrames) return;
    level_prev_ = level_min_;
    level_min_ = INT32_MAX;
    level_frames_ = 0;
}

int JitterBuffer::floor_level() const {
    if (level_prev_ < 0) return 0;  // not heard long enough to tell
    return std::min({level_prev_, level_min_, kMaxFloorLevel});
}

void JitterBuffer::decode(Slot &s) {
    if (s.decoded) return;
    s.decoded = true;
    int16_t pcm[kMaxPacketSamples];
    const int k = decode_ ? decode_(s.format, s.payload, s.size, pcm, s.n) : 0;
    // What the decoder could not give (its format was dropped meanwhile) is silence.
    const size_t got = k > 0 ? std::min(size_t(k), size_t(s.n)) : 0;
    std::fill(pcm + got, pcm + s.n, int16_t(0));
    std::memcpy(s.pcm, pcm, s.n * sizeof(int16_t));
}

void JitterBuffer::decode_from_play_point() {
    // The packets that hold the frame at the play point from its start on,
    // up to its first gap: the gap's concealment is due before what follows it.
    const int64_t end = play_ts_ + int64_t(kFrame);
    for (int64_t t = play_ts_; t < end;) {
        Slot *at = nullptr;
        each_bit(used_, [&](size_t i) {
            if (slots_[i].ts <= t && t < slots_[i].ts + int64_t(slots_[i].n)) at = &slots_[i];
        });
        if (!at) break;
        decode(*at);
        t = at->ts + int64_t(at->n);
    }
}

bool JitterBuffer::quiet_at_play_point() {
    decode_from_play_point();
    const int64_t end = play_ts_ + int64_t(kFrame);
    int64_t sum = 0, n = 0;
    bool unknown = false;  // audio after a gap, not to be decoded yet
    each_bit(used_, [&](size_t i) {
        const Slot &s = slots_[i];
        const int64_t a = std::max(s.ts, play_ts_), b = std::min(s.ts + int64_t(s.n), end);
        if (a >= b) return;
        if (!s.decoded) unknown = true;
        else for (int64_t t = a; t < b; ++t) sum += std::abs(int(s.pcm[t - s.ts]));
        n += b - a;
    });
    if (unknown) return false;
    // Nothing of it here: comfort noise, or a gap before newer audio; but
    // with nothing at all buffered, it may still come.
    if (n == 0) return cng_ || used_ != 0;
    const int threshold = std::max(kQuietLevel, floor_level() * 3 / 2);
    return sum < int64_t(threshold) * n;
}

void JitterBuffer::resume_after_hold() {
    // The frames the hold concealed stand for the first missing ones, if
    // any are missing before the audio that came; the rest lengthened the delay.
    int64_t first = INT64_MAX;
    each_bit(used_, [&](size_t i) { first = std::min(first, slots_[i].ts); });
    if (first > play_ts_) {
        const int64_t jump = std::min<int64_t>(held_, (first - play_ts_) / int64_t(kFrame));
        play_ts_ += jump * int64_t(kFrame);
        held_ -= int(jump);
    }
    stats_.inserted += uint64_t(held_);
    held_ = 0;
}

void JitterBuffer::comfort(int16_t *out, size_t from, size_t to) {
    if (!comfort_ || !comfort_(out + from, to - from))
        std::memcpy(out + from, cn_ + from, (to - from) * sizeof(int16_t));
    std::memcpy(cn_ + from, out + from, (to - from) * sizeof(int16_t));
    conceal_run_ = 0;
}

void JitterBuffer::drop_played() {
    each_bit(used_, [this](size_t i) {
        if (slots_[i].ts + slots_[i].n <= play_ts_) used_ &= ~(uint32_t(1) << i);
    });
}

JitterBuffer::Get JitterBuffer::get(int16_t out[kFrame], int64_t now_ms) {
    if (!started_) {
        std::memset(out, 0, kFrame * sizeof(int16_t));
        return Get::Silence;
    }
    int64_t desired = now_ms * 8 - low_ - int64_t(target_ms_) * 8;
    if (fresh_) {
        // Place the playout point on the packets' grid, nearest to where
        // the target delay puts it.
        int64_t first = last_ext_;
        each_bit(used_, [&](size_t i) { first = std::min(first, slots_[i].ts); });
        int64_t k = (desired - first) >= 0 ? (desired - first + int64_t(kFrame) / 2) / int64_t(kFrame)
                                           : -((first - desired + int64_t(kFrame) / 2) / int64_t(kFrame));
        play_ts_ = first + k * int64_t(kFrame);
        fresh_ = false;
        since_adjust_ = 0;
        held_ = 0;
    } else {
        if (held_ && used_) resume_after_hold();
        int64_t diff = play_ts_ - desired;
        ++since_adjust_;
        if (diff > int64_t(kFrame) && playing_) {
            // Playing too early for the target (a late packet raised it):
            // hold the playout point, every frame until it is right.
            since_adjust_ = 0;
            ++stats_.inserted;
            if (cng_) {
                comfort(out, 0, kFrame);
                ++stats_.comfort_noise;
                return Get::ComfortNoise;
            }
            conceal(out, 0, kFrame);
            if (fade_step_ < kFadeFrames) ++fade_step_;
            return Get::Concealed;
        }
        // Too late for it: a frame goes, when it is quiet (or missing), or
        // whatever it is when the delay is far too long.
        if (since_adjust_ >= kAdjustFrames && held_ == 0 && diff < -int64_t(kSkipSamples) &&
            (diff < -int64_t(kSpeechSkipMs) * 8 || quiet_at_play_point())) {
            since_adjust_ = 0;
            ++stats_.skipped;
            decode_from_play_point();  // the decoder hears it all the same
            // What the skipped frame ended with holds as if it had played.
            int64_t last = -1;
            each_bit(used_, [&](size_t i) {
                const Slot &s = slots_[i];
                if (s.ts < play_ts_ + int64_t(kFrame) && s.ts + s.n > play_ts_ && s.ts > last) {
                    last = s.ts;
                    cng_ = s.silence;
                }
            });
            play_ts_ += int64_t(kFrame);
            drop_played();
        }
    }
    // The packets with samples of [play_ts_, play_ts_ + kFrame); mostly one
    // holds them all, which plays as it is.
    const int64_t end = play_ts_ + int64_t(kFrame);
    uint32_t overlapping = 0;
    Slot *whole = nullptr;
    each_bit(used_, [&](size_t i) {
        Slot &s = slots_[i];
        if (s.ts >= end || s.ts + int64_t(s.n) <= play_ts_) return;
        overlapping |= uint32_t(1) << i;
        if (s.ts <= play_ts_ && s.ts + int64_t(s.n) >= end) whole = &s;
    });
    if (whole && (overlapping & (overlapping - 1)) == 0) {
        Slot &s = *whole;
        decode(s);
        std::memcpy(out, s.pcm + (play_ts_ - s.ts), sizeof(int16_t) * kFrame);
        cng_ = s.silence;
        hear(out, 0, kFrame);
        played(out);
        play_ts_ = end;
        drop_played();
        return Get::Audio;
    }
    // Which packet holds each sample (-1: none); a later slot's samples
    // replace an earlier one's where they overlap.
    int8_t from[kFrame];
    std::memset(from, -1, sizeof from);
    each_bit(overlapping, [&](size_t k) {
        const Slot &s = slots_[k];
        int64_t a = std::max(s.ts, play_ts_);
        int64_t b = std::min(s.ts + int64_t(s.n), end);
        std::fill(from + (a - play_ts_), from + (b - play_ts_), int8_t(k));
    });
    // Missing samples after a silence description are comfort noise.
    bool cn[kFrame];
    size_t got = 0;
    bool any_cn = false, any_loss = false;
    for (size_t i = 0; i < kFrame; ++i) {
        if (from[i] >= 0) {
            ++got;
            cng_ = slots_[from[i]].silence;
        }
        cn[i] = from[i] < 0 && cng_;
        any_cn = any_cn || cn[i];
        any_loss = any_loss || (from[i] < 0 && !cng_);
    }
    // Nothing of this frame nor after it has come (a stall, or the newest
    // packets lost): the playout point holds while the concealment plays,
    // so that audio arriving late after a stall still plays, with the
    // delay grown by the stall (at most to kMaxDelayMs). Frames found
    // missing once audio comes are counted against the hold.
    const bool hold = got == 0 && used_ == 0 && playing_ && !any_cn &&
                      now_ms * 8 - low_ - play_ts_ + int64_t(kFrame) <= int64_t(kMaxDelayMs) * 8;
    Get r;
    if (any_cn && !any_loss) {
        // The peer's silence, not loss.
        fill(out, from, cn, false);
        if (got) playing_ = true;
        fade_step_ = 0;
        note_level(out);
        if (got == 0) {
            ++stats_.comfort_noise;
            r = Get::ComfortNoise;
        } else {
            ++stats_.played;
            r = Get::Audio;
        }
    } else if (got == kFrame) {
        fill(out, from, cn, true);
        played(out);
        r = Get::Audio;
    } else if (got == 0 && (!playing_ || fade_step_ >= kFadeFrames)) {
        // Nothing to play: silence, or after a long loss the background's noise.
        std::memset(out, 0, kFrame * sizeof(int16_t));
        if (playing_)
            if (int level = floor_level())
                for (size_t i = 0; i < kFrame; ++i) out[i] = int16_t(noise(level));
        r = Get::Silence;
    } else {
        fill(out, from, cn, true);
        if (got) playing_ = true;
        ++fade_step_;
        ++stats_.concealed;
        r = Get::Concealed;
    }
    if (hold) {
        ++held_;
    } else {
        play_ts_ += int64_t(kFrame);
        drop_played();
    }
    return r;
}

void JitterBuffer::fill(int16_t *out, const int8_t *from, const bool *cn, bool hear_runs) {
    // Left to right, so that the decoder is called in playout order: each
    // packet's samples (decoded now if not yet), comfort noise where the
    // peer is silent, the concealment where samples are lost. Runs of what
    // is not lost are heard as they play (hear_runs).
    for (size_t i = 0; i < kFrame;) {
        const bool lost = from[i] < 0 && !cn[i];
        size_t j = i;
        while (j < kFrame && (from[j] < 0 && !cn[j]) == lost) ++j;
        if (lost) {
            conceal(out, i, j);
            i = j;
            continue;
        }
        for (size_t k = i; k < j;) {
            size_t e = k;
            while (e < j && from[e] == from[k]) ++e;
            if (from[k] < 0) {
                comfort(out, k, e);
            } else {
                Slot &s = slots_[from[k]];
                decode(s);
                std::memcpy(out + k, s.pcm + (play_ts_ + int64_t(k) - s.ts), (e - k) * sizeof(int16_t));
            }
            k = e;
        }
        if (hear_runs) hear(out, i, j);
        i = j;
    }
}

void JitterBuffer::played(const int16_t *out) {
    playing_ = true;
    ++stats_.played;
    fade_step_ = 0;
    std::memcpy(last_, out, sizeof last_);
    note_level(out);
}

}  // namespace callctl::jb
