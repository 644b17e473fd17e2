// Digest access authentication (RFC 2617 / RFC 7616 with MD5) for the
// client side: challenge parsing and the Authorization value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace callctl::auth {

// 32 lowercase hex digits of MD5(data).
std::string md5_hex(std::string_view data);

struct Challenge {
    std::string realm;
    std::string nonce;
    std::string opaque;
    std::string algorithm;  // empty means MD5
    bool stale = false;
    bool qop_auth = false;     // "auth" is among the offered qop values
    bool qop_offered = false;  // a qop parameter was present at all
};

// Parses a WWW-Authenticate / Proxy-Authenticate value. False when it is
// not a Digest challenge we can answer (other scheme, no nonce, an
// algorithm other than MD5).
bool parse_challenge(std::string_view value, Challenge *out);

struct Credentials {
    std::string user;
    std::string password;
};

// Builds the Authorization / Proxy-Authorization value. nc is the nonce
// count for this nonce (1 for the first use); cnonce is used when qop=auth.
std::string authorization(const Challenge &c, const Credentials &cred, std::string_view method,
                          std::string_view uri, uint32_t nc, std::string_view cnonce);

}  // namespace callctl::auth
