// SRTP and SRTCP (RFC 3711) for one direction of a stream, through
// libsrtp2: a sender protects the RTP and RTCP packets it writes, a
// receiver checks and decrypts what arrives. The keys come from SDES
// (callctl/sdp/crypto.h); a new key is a new context.
//
// A context belongs to one stream and is used by whoever holds that
// stream (the media engine's lock); libsrtp itself is set up once per
// process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace callctl::rtp {

// Room a packet buffer needs past the packet for protect_*: libsrtp may
// write its largest trailer there (a tag, an MKI; SRTCP's index too).
constexpr size_t kSrtpRoom = 16 + 128 + 4;

enum class SrtpProfile { Aes128Sha1_80, Aes128Sha1_32 };

class SrtpContext {
public:
    enum class Dir { Send, Receive };
    enum class Result { Ok, AuthFailed, Replayed, Malformed };

    SrtpContext() = default;
    ~SrtpContext();
    SrtpContext(const SrtpContext &) = delete;
    SrtpContext &operator=(const SrtpContext &) = delete;

    // A new session for master key + salt (30 bytes) and this profile; the
    // one before, if any, ends. window: the replay window (packets, 64 and
    // more) of a receiver. False when libsrtp refused (the context is then
    // off).
    bool start(Dir dir, SrtpProfile profile, const uint8_t master[30], int window = 128);
    void stop();
    bool on() const { return session_ != nullptr; }

    // In place: *len grows by the trailer. cap: the buffer's size, at least
    // *len + kSrtpRoom. False when the packet could not be protected (it
    // must not be sent).
    bool protect_rtp(uint8_t *pkt, size_t *len, size_t cap);
    bool protect_rtcp(uint8_t *pkt, size_t *len, size_t cap);
    // In place: on Ok *len is the plain packet's length.
    Result unprotect_rtp(uint8_t *pkt, size_t *len);
    Result unprotect_rtcp(uint8_t *pkt, size_t *len);

private:
    void *session_ = nullptr;  // srtp_t
};

}  // namespace callctl::rtp
