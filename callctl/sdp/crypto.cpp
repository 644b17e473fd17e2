#include "crypto.h"

#include <cstring>

#include "../base/base.h"

namespace callctl::sdp {

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int digit64(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool all_digits(std::string_view t, size_t max) {
    if (t.empty() || t.size() > max) return false;
    for (char c : t)
        if (c < '0' || c > '9') return false;
    return true;
}

// A lifetime "2^n" or "n" of at least 2^31 packets.
bool long_lifetime(std::string_view t) {
    if (t.size() > 2 && t[0] == '2' && t[1] == '^') {
        t.remove_prefix(2);
        if (!all_digits(t, 2)) return false;
        int e = 0;
        for (char c : t) e = e * 10 + (c - '0');
        return e >= 31;
    }
    if (!all_digits(t, 20)) return false;
    while (t.size() > 1 && t.front() == '0') t.remove_prefix(1);
    return t.size() > 10 || (t.size() == 10 && t >= "2147483648");
}

std::string_view next_field(std::string_view *v, char sep) {
    size_t at = v->find(sep);
    std::string_view f = v->substr(0, at);
    *v = at == std::string_view::npos ? std::string_view() : v->substr(at + 1);
    return f;
}

// Session parameters (space separated): true when we honour all of them;
// *window gets WSH. A key derivation rate (KDR, 1 to 24) is not among
// them: libsrtp derives the session keys once.
bool honoured(std::string_view params, int *window) {
    while (!params.empty()) {
        std::string_view p = next_field(&params, ' ');
        if (p.empty()) continue;
        if (p[0] == '-') continue;  // an optional extension
        std::string_view name = p.substr(0, p.find('='));
        std::string_view value = name.size() < p.size() ? p.substr(name.size() + 1) : std::string_view();
        if (name == "WSH") {
            if (!all_digits(value, 5)) return false;
            int w = 0;
            for (char c : value) w = w * 10 + (c - '0');
            if (w < 64 || w >= 0x8000) return false;
            *window = w;
        } else if (name == "FEC_ORDER") {
            if (value != "FEC_SRTP" && value != "SRTP_FEC") return false;
        } else {
            return false;
        }
    }
    return true;
}
}  // namespace

const char *suite_name(SrtpSuite s) {
    switch (s) {
    case SrtpSuite::AesCm128HmacSha1_80: return "AES_CM_128_HMAC_SHA1_80";
    case SrtpSuite::AesCm128HmacSha1_32: return "AES_CM_128_HMAC_SHA1_32";
    default: return "";
    }
}

SrtpSuite suite_of(std::string_view name) {
    if (name == "AES_CM_128_HMAC_SHA1_80") return SrtpSuite::AesCm128HmacSha1_80;
    if (name == "AES_CM_128_HMAC_SHA1_32") return SrtpSuite::AesCm128HmacSha1_32;
    return SrtpSuite::None;
}

bool SrtpKey::operator==(const SrtpKey &o) const {
    return suite == o.suite && window == o.window && std::memcmp(master, o.master, sizeof master) == 0;
}

bool parse_crypto(std::string_view v, Crypto *out) {
    Crypto c;
    std::string_view tag = next_field(&v, ' ');
    if (!all_digits(tag, 9)) return false;
    for (char ch : tag) c.tag = c.tag * 10 + uint32_t(ch - '0');
    c.suite = std::string(next_field(&v, ' '));
    c.key_params = std::string(next_field(&v, ' '));
    if (c.suite.empty() || c.key_params.empty()) return false;
    c.session_params = std::string(v);
    *out = std::move(c);
    return true;
}

bool usable_key(const Crypto &c, SrtpKey *out) {
    SrtpKey k;
    k.suite = suite_of(c.suite);
    if (!k.on()) return false;
    std::string_view kp = c.key_params;
    if (kp.find(';') != std::string_view::npos) return false;  // several keys: MKIs
    if (kp.compare(0, 7, "inline:") != 0) return false;
    kp.remove_prefix(7);
    std::string_view key_salt = next_field(&kp, '|');
    if (!kp.empty()) {
        std::string_view second = next_field(&kp, '|');
        // "lifetime", "lifetime|mki:len" or "mki:len"
        if (second.find(':') != std::string_view::npos || !kp.empty()) return false;  // an MKI
        if (!long_lifetime(second)) return false;
    }
    std::string raw;
    bool ok = base64_decode(key_salt, &raw) && raw.size() == kMasterLength && honoured(c.session_params, &k.window);
    if (ok) std::memcpy(k.master, raw.data(), kMasterLength);
    wipe(&raw[0], raw.size());
    if (!ok) return false;
    *out = k;
    wipe(&k, sizeof k);
    return true;
}

bool new_key(SrtpSuite suite, SrtpKey *out) {
    SrtpKey k;
    k.suite = suite;
    if (suite == SrtpSuite::None || !random_key_bytes(k.master, sizeof k.master)) return false;
    *out = k;
    wipe(&k, sizeof k);
    return true;
}

std::string crypto_attribute(uint32_t tag, const SrtpKey &k) {
    return "crypto:" + std::to_string(tag) + " " + suite_name(k.suite) + " inline:" +
           base64_encode(k.master, sizeof k.master);
}

std::string base64_encode(const uint8_t *d, size_t n) {
    std::string s;
    s.reserve((n + 2) / 3 * 4);
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = uint32_t(d[i]) << 16;
        if (i + 1 < n) v |= uint32_t(d[i + 1]) << 8;
        if (i + 2 < n) v |= d[i + 2];
        s += kAlphabet[(v >> 18) & 63];
        s += kAlphabet[(v >> 12) & 63];
        s += i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
        s += i + 2 < n ? kAlphabet[v & 63] : '=';
    }
    return s;
}

bool base64_decode(std::string_view t, std::string *out) {
    size_t pad = 0;
    while (!t.empty() && t.back() == '=' && pad < 2) t.remove_suffix(1), ++pad;
    if (pad && (t.size() + pad) % 4 != 0) return false;
    if (t.size() % 4 == 1) return false;
    std::string o;
    o.reserve(t.size() * 3 / 4);
    uint32_t acc = 0;
    int bits = 0;
    for (char c : t) {
        int d = digit64(c);
        if (d < 0) return false;
        acc = (acc << 6) | uint32_t(d);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            o += char((acc >> bits) & 0xFF);
        }
    }
    // The bits of a last partial character must be zero.
    bool clean = (acc & ((1u << bits) - 1)) == 0;
    if (clean) out->swap(o);
    wipe(&o[0], o.size());
    return clean;
}

}  // namespace callctl::sdp
