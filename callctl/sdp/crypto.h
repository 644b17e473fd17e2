// SDES keys for SRTP (RFC 4568): the a=crypto lines of an RTP/SAVP audio
// line, which of them we can use, and ours.
//
//   a=crypto:<tag> <suite> inline:<key||salt, base64>[|<lifetime>][|<mki>:<len>] [<session parameters>]
//
// Suites we have: AES_CM_128_HMAC_SHA1_80 and AES_CM_128_HMAC_SHA1_32 (a
// 16-byte AES key and a 14-byte salt, 30 bytes, 40 base64 characters). A
// line is usable when it names one of them with exactly one inline key of
// that length, without an MKI (we do not tag packets with one), with a
// lifetime of at least 2^31 packets or none (libsrtp does not re-key
// sooner), and with only session parameters we honour: WSH (the replay
// window, at least 64), FEC_ORDER (we send no FEC) and extensions marked
// optional ("-..."). Everything else (KDR: libsrtp derives the session
// keys once; UNENCRYPTED_SRTP, UNENCRYPTED_SRTCP, UNAUTHENTICATED_SRTP,
// FEC_KEY, unknown parameters) makes the line unusable; the other lines
// of the description are still looked at.
//
// Keys are secrets: nothing here logs them, and the log's SIP writer masks
// them (log::mask_secrets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace callctl::sdp {

enum class SrtpSuite : uint8_t { None, AesCm128HmacSha1_80, AesCm128HmacSha1_32 };
const char *suite_name(SrtpSuite s);  // "" for None
SrtpSuite suite_of(std::string_view name);  // None when we do not have it

constexpr size_t kMasterKeyLength = 16;
constexpr size_t kMasterSaltLength = 14;
constexpr size_t kMasterLength = kMasterKeyLength + kMasterSaltLength;

// One master key (key followed by salt) and its suite.
struct SrtpKey {
    SrtpSuite suite = SrtpSuite::None;
    uint8_t master[kMasterLength] = {};
    int window = 128;  // replay window (packets), from WSH
    bool on() const { return suite != SrtpSuite::None; }
    bool operator==(const SrtpKey &o) const;
    bool operator!=(const SrtpKey &o) const { return !(*this == o); }
};

// A call's SRTP: what we send with (our key) and what we receive with (the
// peer's). Both on, or both off for plain RTP.
struct SrtpKeys {
    SrtpKey send, recv;
    bool on() const { return send.on() && recv.on(); }
};

// One a=crypto line as read: its tag, suite name, key parameters and
// session parameters, unchecked (usable_key checks them).
struct Crypto {
    uint32_t tag = 0;
    std::string suite;
    std::string key_params;
    std::string session_params;
};
// An a=crypto value (after "crypto:"); false when it is not
// "tag suite key-params [session-params]" with a tag of 1 to 9 digits.
bool parse_crypto(std::string_view value, Crypto *out);
// The line's key when it is usable (see above); false leaves *out untouched.
bool usable_key(const Crypto &c, SrtpKey *out);

// A new master key of this suite from the system's cryptographic random
// source; false when the source failed.
bool new_key(SrtpSuite suite, SrtpKey *out);
// "crypto:<tag> <suite> inline:<base64>" (without "a=" and line end).
std::string crypto_attribute(uint32_t tag, const SrtpKey &k);

// Standard base64 with padding; decode takes it with or without padding
// and fails on anything else (spaces, another alphabet, bits left over).
std::string base64_encode(const uint8_t *data, size_t n);
bool base64_decode(std::string_view text, std::string *out);

}  // namespace callctl::sdp
