// The far end of an SRTP call as the tests play it: libsrtp used directly
// (not through the library's wrapper), its own base64, and the a=crypto
// lines of descriptions read and written by hand, so that the library's
// reading and writing of them is checked against something else; the far
// end's media and a call answered by hand (RawPeer).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/base.h"
#include "harness.h"
#include "media_peer.h"

namespace testing_callctl {

constexpr const char *k80 = "AES_CM_128_HMAC_SHA1_80";
constexpr const char *k32 = "AES_CM_128_HMAC_SHA1_32";

std::string b64(const std::vector<uint8_t> &bytes);
// Empty when the text is not plain padded base64.
std::vector<uint8_t> unb64(const std::string &text);
// 30 bytes of key and salt that differ per seed.
std::vector<uint8_t> test_key(int seed);

struct CryptoLine {
    std::string suite;
    std::string inline_value;  // after "inline:", up to a space
    std::vector<uint8_t> key;  // its key and salt (empty: not base64)
};
// The a=crypto lines of a message's description by tag.
std::map<int, CryptoLine> crypto_lines(const std::string &msg);
// An RTP/SAVP audio description at 127.0.0.1:port with PCMU and
// telephone-event 101, and these extra lines (a=crypto ...).
std::string savp_sdp(int port, const std::string &extra);
// "a=crypto:<tag> <suite> inline:<key>\r\n"
std::string crypto_attr(int tag, const std::string &suite, const std::vector<uint8_t> &key,
                        const std::string &rest = {});

// One direction of SRTP at the far end.
class FarSrtp {
public:
    FarSrtp(bool sender, const std::string &suite, const std::vector<uint8_t> &key);
    ~FarSrtp();
    FarSrtp(const FarSrtp &) = delete;
    FarSrtp &operator=(const FarSrtp &) = delete;
    bool ok() const { return session_ != nullptr; }
    // RTP or RTCP packet bytes, protected (sender) or checked and decrypted
    // in place (receiver; false when libsrtp refused it).
    std::vector<uint8_t> protect(std::vector<uint8_t> pkt, bool rtcp = false);
    bool unprotect(std::vector<uint8_t> *pkt, bool rtcp = false);

private:
    void *session_ = nullptr;
};

// A PCMU packet of a tone (amplitude 8000) as the far end writes it.
std::vector<uint8_t> pcmu_packet(uint16_t seq, uint32_t ts, uint32_t ssrc, double freq, size_t *phase);

// The packet bytes a probe saw (the header as the phone writes it: no CSRC,
// no extension).
std::vector<uint8_t> bytes_of(const RtpPacket &p);

// The far end's media: RTP on an even port with RTCP on the next, and a
// thread sending SRTP packets of a tone every 20 ms while asked to.
class FarMedia {
public:
    FarMedia();
    ~FarMedia() { stop(); }
    int port() const { return probe ? probe->port() : 0; }
    // Starts sending (to the phone's RTP address) with this suite and key;
    // the sequence goes on from the packets sent before, as a real far end
    // keeps it across new keys.
    void start(const callctl::Endpoint &to, const std::string &suite, const std::vector<uint8_t> &key, double freq);
    void stop();
    uint64_t sent() const { return sent_; }
    std::vector<uint8_t> last_sent();
    std::unique_ptr<RtpProbe> probe;
    std::unique_ptr<callctl::UdpSocket> rtcp;

private:
    std::unique_ptr<FarSrtp> sender_;
    std::thread thread_;
    std::atomic<bool> quit_{true};
    std::atomic<uint64_t> sent_{0};
    std::mutex m_;
    std::vector<uint8_t> last_;
    uint16_t seq_ = 100;
    uint32_t ts_ = 5000;
};

// A call placed to the raw peer and answered with `answer_sdp` (savp_sdp
// at the far media, say); the peer has taken the INVITE and the ACK.
struct SecureCall {
    SIPX_CALL call = 0;
    std::string invite, ack;
    callctl::Endpoint from;
    std::map<int, CryptoLine> offered;  // our INVITE's a=crypto lines
    callctl::Endpoint media;            // the phone's RTP address
};
// extra: header lines (each ending in CRLF) of the 200 besides Contact.
::testing::AssertionResult secure_call(Phone &ph, RawPeer &peer, const std::string &answer_sdp, SecureCall *c,
                                       const std::string &extra = {});

// A request of the callee's in the call's dialog.
std::string peer_request(RawPeer &peer, const SecureCall &c, const std::string &method, int cseq,
                         const std::string &body);

// The phone's packets a probe saw, decrypted with `key`: how many, how many
// failed, the last payload size, the audio (PCMU) decrypted and the
// payloads as they were on the wire read as PCMU. Only packets whose
// payload is `only_size` bytes long count when it is not 0.
struct Heard {
    size_t packets = 0, failed = 0, payload_size = 0;
    std::vector<int16_t> audio, raw;
};
Heard heard(const RtpProbe &probe, const std::string &suite, const std::vector<uint8_t> &key, size_t only_size = 0);

}  // namespace testing_callctl
