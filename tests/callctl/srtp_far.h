// The far end of an SRTP call as the tests play it: libsrtp used directly
// (not through the library's wrapper), its own base64, and the a=crypto
// lines of descriptions read and written by hand, so that the library's
// reading and writing of them is checked against something else.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/base.h"

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

}  // namespace testing_callctl
