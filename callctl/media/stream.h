// One call's audio stream: its RTP/RTCP sockets, the encoder and the
// decoders of what offer/answer settled, the jitter buffer, receiver
// statistics, a DTMF tone (in-band or RFC 4733 events) and a recording.
// With SRTP keys (RFC 4568) every RTP and RTCP packet it sends is protected
// and every one it receives is checked first: what fails authentication
// or is a replay is dropped and counted, before anything else looks at it
// (symmetric RTP, the jitter buffer); only the media timeout's clock hears
// it, as it hears anything from the peer's address.
//
// The engine owns the streams, holds its lock around every call here and
// runs each tick in two halves around the mix (mix.h):
//   pull()  the 20 ms received (the jitter buffer's frame, silence when not
//           heard) and the local copy of a tone;
//   send()  what the mix put into sent(): the in-band tone in place of it or
//           RFC 4733 events instead of audio, RTP, the recording of both
//           directions and, when due, an RTCP report.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "../codec/codec.h"
#include "../jb/jitter.h"
#include "../rtp/rtp.h"
#include "../rtp/srtp.h"
#include "media.h"
#include "mix.h"
#include "tone.h"
#include "wave.h"

namespace callctl::media {

class Stream {
public:
    explicit Stream(uint32_t call);
    ~Stream();
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    // Binds RTP and RTCP on the first free even/odd pair at or after
    // first_port, trying `pairs` pairs from *cursor on (which then moves
    // past the pair taken). False when none could be bound.
    bool bind(uint32_t bind_ip, uint16_t first_port, int pairs, uint16_t *cursor);
    // Offer/answer result at now (the real clock).
    void configure(const StreamParams &p, int64_t now);
    void set_hold(bool held, int64_t now);
    void set_conference(uint32_t conf) { conf_ = conf; }
    uint32_t conference() const { return conf_; }
    // The stream is ended (RTCP BYE, an event still on ended, recording
    // finalised); the engine destroys it later.
    void finish(int64_t now);
    bool active() const { return configured_ && !dead_; }
    bool dead() const { return dead_; }
    bool configured() const { return configured_; }

    SIPX_RESULT start_tone(int id, bool local, bool remote, int min_ms, int dtmf_mode);
    void stop_tone() { tone_.stop = true; }
    SIPX_RESULT record_start(const std::string &gbk_path);
    void record_stop() { rec_.reset(); }

    // Reads what waits on the sockets found ready, at most `most` datagrams
    // from each (the media thread takes one per wake: a socket that holds
    // more is still ready at its next wait, and no read ends empty).
    void receive_ready(bool rtp_ready, bool rtcp_ready, int64_t now, int most = 64);
    UdpSocket &rtp_socket() { return rtp_; }
    UdpSocket &rtcp_socket() { return rtcp_; }
    uint16_t local_port() const { return rtp_.local_port(); }

    // The tick's halves (see above); pull sets the party's audio and tone.
    void pull(int64_t now, MixParty *m);
    int16_t *sent() { return sent_; }
    void send(int64_t now);

    // As Engine::quiet_ms.
    int64_t quiet_ms(int64_t now, bool *may_pause) const;
    void info(Engine::StreamInfo *o) const;
    // Engine::call_quality: the interval since the previous look, which it ends.
    void quality(Engine::CallQuality *o);
    // The first part of the log's line on the call's audio (codec, packets,
    // loss, jitter, round trip); the engine adds the devices.
    std::string summary() const;
    // The jitter buffer's state for the media trace.
    std::string trace(int64_t now) const;

    // The engine's device failure counts when the stream was opened.
    uint64_t cap_failures_before = 0, play_failures_before = 0;

private:
    struct Tone {
        bool active = false;
        int id = 0;
        bool local = false, remote = false, rfc = false;
        bool stop = false;
        uint32_t min_samples = 0, elapsed = 0;
        uint32_t ev_ts = 0, duration = 0;
        int ends_left = 0;        // end packets still to send
        ToneGenerator gen;        // sent in-band
        ToneGenerator gen_local;  // played locally
    };

    void on_rtp(uint8_t *d, size_t n, const Endpoint &from, int64_t now);
    void on_rtcp(uint8_t *d, size_t n, const Endpoint &from, int64_t now);
    // The decoder of a payload type, nullptr for none.
    codec::AudioCodec *decoder(int pt);
    // SRTP: the sessions for the keys of p (new ones only for new keys).
    void set_keys(const sdp::SrtpKeys &k);
    // Protects (with SRTP on) and sends an RTP or RTCP packet written into
    // a buffer of cap bytes; false when it did not go.
    bool send_packet(UdpSocket &sock, const Endpoint &to, uint8_t *pkt, size_t len, size_t cap, bool rtcp);
    // With SRTP on: checks and decrypts a received packet in place; false
    // (counted) when it is to be dropped.
    bool unprotect(uint8_t *d, size_t *n, bool rtcp);
    // A valid packet from a source other than the one we send to: true when
    // that source has now earned our RTP (see kProbation).
    bool take_over(const rtp::Header &h, const Endpoint &from, int64_t now);
    // Datagrams from these addresses (any port) show that the peer is there.
    bool from_peer(const Endpoint &from) const { return from.ip == send_to_.ip || from.ip == p_.rtp.ip; }
    void send_tone(bool can_send, bool *event_tick);
    void send_frame(const int16_t frame[kFrame]);
    void send_event(bool end);
    void send_rtcp(bool bye, int64_t now);

    uint32_t call_;
    UdpSocket rtp_, rtcp_;
    bool configured_ = false;
    bool dead_ = false;
    bool held_ = false;
    uint32_t conf_ = 0;
    StreamParams p_;
    // Symmetric RTP. We send to, and play, the current source: the
    // description's address until RTP from elsewhere takes over. Another
    // source does so only after kProbation valid packets in a row (one
    // SSRC, consecutive sequence numbers), so a forged packet or a few can
    // neither turn our audio away from the peer nor be heard; and when it
    // carries another SSRC than the stream we hear, only once the current
    // source has been quiet for kSourceQuietMs (a stranger cannot take the
    // place of a peer that still talks). A new address in a description is
    // trusted at once; the source it replaces is then a stranger like any
    // other.
    static constexpr int kProbation = 4;
    static constexpr int kComfortNoisePt = 13;
    static constexpr int64_t kSourceQuietMs = 250;
    struct Candidate {
        Endpoint from;
        uint32_t ssrc = 0;
        uint16_t next_seq = 0;
        int count = 0;  // valid packets in a row so far
    };
    Endpoint send_to_, rtcp_to_;
    bool latched_ = false;     // RTP from send_to_ was taken (or moved us there)
    int64_t source_heard_ = 0; // when send_to_ last sent anything (0: not yet)
    Endpoint left_;            // where RTP went before the description's address changed
    Candidate cand_;

    // sending
    std::unique_ptr<codec::AudioCodec> enc_;
    std::string enc_name_;
    int send_pt_ = -1;
    uint32_t ssrc_ = 0;
    uint16_t seq_ = 0;
    uint32_t ts_ = 0;
    bool marker_ = true;  // the next audio packet starts a talkspurt
    uint32_t sent_packets_ = 0, sent_octets_ = 0;
    uint64_t sent_events_ = 0;
    uint64_t audio_octets_ = 0, sent_silence_ = 0;
    bool sent_since_report_ = false;
    std::string enc_fmtp_;  // the peer's parameters the encoder was made for
    bool send_failed_ = false;  // an RTP send failed (logged once)

    // receiving
    std::map<int, std::unique_ptr<codec::AudioCodec>> dec_;  // by payload type
    std::map<int, std::string> dec_codec_;                   // the codec name of each
    int cached_pt_ = -1;                     // the payload type last looked up
    codec::AudioCodec *cached_dec_ = nullptr;  // and its decoder
    codec::AudioCodec *last_dec_ = nullptr;  // the decoder of the last payload decoded (comfort noise)
    uint64_t received_silence_ = 0;
    jb::JitterBuffer jb_;
    rtp::ReceiverStats rx_;
    uint32_t rx_ssrc_ = 0;
    bool have_rx_ = false;
    uint64_t received_ = 0, ignored_ = 0;
    uint32_t last_sr_mid_ = 0;
    int64_t last_sr_at_ = 0;
    int64_t next_rtcp_ = 0;
    uint64_t rtcp_sent_ = 0, rtcp_received_ = 0;
    int64_t last_heard_ = 0;  // RTP or RTCP from the peer, or when it was expected to start
    std::string cname_;
    int rtt_ms_ = -1;  // from the peer's last report on our packets, -1 unknown
    uint64_t looked_played_ = 0, looked_concealed_ = 0;  // at the last quality look

    // this tick
    int16_t remote_[kFrame] = {};
    int16_t sent_[kFrame] = {};
    int16_t local_tone_[kFrame] = {};

    // SRTP (both keys on, or both off): the keys in use and their sessions.
    sdp::SrtpKey send_key_, recv_key_;
    rtp::SrtpContext send_srtp_, recv_srtp_;
    uint64_t srtp_auth_failed_ = 0, srtp_replayed_ = 0;
    bool protect_failed_ = false;  // a packet could not be protected (logged once)

    Tone tone_;
    std::unique_ptr<WaveWriter> rec_;
    std::string rec_path_;
};

}  // namespace callctl::media
