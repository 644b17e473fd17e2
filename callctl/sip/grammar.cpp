// Field grammar of SIP: URIs, name-addr, Via, parameters, header names.
#include "sip.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace callctl::sip {

namespace {

inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }
inline bool is_ws(char c) { return c == ' ' || c == '\t'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Character classes, one table lookup each.
enum : uint8_t {
    CH_TOKEN = 1,    // token characters of RFC 3261 section 25.1
    CH_URI = 2,      // allowed unescaped in the user part and params of a SIP URI
    CH_HOST = 4,     // letters, digits, '-' and '.'
    CH_SCHEME = 8,   // letters, digits, '+', '-' and '.'
    CH_OPAQUE = 16,  // allowed in any URI after the scheme: printable, not '<', '>' or '"'
};

struct CharTable {
    uint8_t a[256];
    constexpr CharTable() : a() {
        for (int c = 0; c < 256; ++c) {
            const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            uint8_t k = 0;
            if (alnum || c == '-' || c == '.' || c == '!' || c == '%' || c == '*' || c == '_' || c == '+' ||
                c == '`' || c == '\'' || c == '~')
                k |= CH_TOKEN;
            if (alnum || c == '-' || c == '_' || c == '.' || c == '!' || c == '~' || c == '*' || c == '\'' ||
                c == '(' || c == ')' || c == '%' || c == '&' || c == '=' || c == '+' || c == '$' || c == ',' ||
                c == ';' || c == '?' || c == '/' || c == ':' || c == '[' || c == ']' || c == '@')
                k |= CH_URI;
            if (alnum || c == '-' || c == '.') k |= CH_HOST;
            if (alnum || c == '+' || c == '-' || c == '.') k |= CH_SCHEME;
            if (c > 32 && c < 127 && c != '<' && c != '>' && c != '"') k |= CH_OPAQUE;
            a[c] = k;
        }
    }
};
constexpr CharTable kChars;

inline bool has_class(char c, uint8_t k) { return (kChars.a[static_cast<unsigned char>(c)] & k) != 0; }
inline bool is_token_char(char c) { return has_class(c, CH_TOKEN); }

// Whether every character of s is in class k.
inline bool all_of_class(std::string_view s, uint8_t k) {
    for (char c : s)
        if (!has_class(c, k)) return false;
    return true;
}

struct HeaderName {
    std::string_view name;
    char compact;
    Hdr id;
};

constexpr HeaderName kHeaders[] = {
    {"Accept", 0, Hdr::Accept},
    {"Allow", 0, Hdr::Allow},
    {"Authorization", 0, Hdr::Authorization},
    {"Call-ID", 'i', Hdr::CallId},
    {"Contact", 'm', Hdr::Contact},
    {"Content-Encoding", 'e', Hdr::ContentEncoding},
    {"Content-Length", 'l', Hdr::ContentLength},
    {"Content-Type", 'c', Hdr::ContentType},
    {"CSeq", 0, Hdr::CSeq},
    {"Date", 0, Hdr::Date},
    {"Event", 'o', Hdr::Event},
    {"Expires", 0, Hdr::Expires},
    {"From", 'f', Hdr::From},
    {"Max-Forwards", 0, Hdr::MaxForwards},
    {"Min-Expires", 0, Hdr::MinExpires},
    {"Proxy-Authenticate", 0, Hdr::ProxyAuthenticate},
    {"Proxy-Authorization", 0, Hdr::ProxyAuthorization},
    {"Record-Route", 0, Hdr::RecordRoute},
    {"Route", 0, Hdr::Route},
    {"Server", 0, Hdr::Server},
    {"Subject", 's', Hdr::Subject},
    {"Supported", 'k', Hdr::Supported},
    {"To", 't', Hdr::To},
    {"User-Agent", 0, Hdr::UserAgent},
    {"Via", 'v', Hdr::Via},
    {"WWW-Authenticate", 0, Hdr::WwwAuthenticate},
};

// The names of kHeaders by length (up to four of each length, as indexes + 1), and
// each name in lower case with the bits that fold case: a name read from a message,
// zero-padded and OR-ed with its candidate's case bits, equals the lower-case name
// exactly when the two are equal but for the case of letters.
constexpr size_t kLongestName = 19;
constexpr size_t kNameWords = 3;
struct NamesByLength {
    uint8_t at[kLongestName + 1][4];
    uint64_t lower[sizeof kHeaders / sizeof kHeaders[0]][kNameWords];
    uint64_t fold[sizeof kHeaders / sizeof kHeaders[0]][kNameWords];
    constexpr NamesByLength() : at(), lower(), fold() {
        for (size_t i = 0; i < sizeof kHeaders / sizeof kHeaders[0]; ++i) {
            const std::string_view name = kHeaders[i].name;
            uint8_t *row = at[name.size()];
            size_t k = 0;
            while (row[k]) ++k;
            row[k] = static_cast<uint8_t>(i + 1);
            for (size_t j = 0; j < name.size(); ++j) {
                const bool letter = is_alpha(name[j]);
                // Byte j of the word as memcpy reads it on a little-endian machine;
                // on another the compare below falls back to iequals.
                lower[i][j / 8] |= uint64_t(uint8_t(letter ? name[j] | 0x20 : name[j])) << (8 * (j % 8));
                fold[i][j / 8] |= uint64_t(letter ? 0x20 : 0) << (8 * (j % 8));
            }
        }
    }
};
constexpr NamesByLength kByLength;

bool name_is(const uint64_t (&words)[kNameWords], size_t k, std::string_view name) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    (void)name;
    uint64_t diff = 0;
    for (size_t w = 0; w < kNameWords; ++w) diff |= (words[w] | kByLength.fold[k][w]) ^ kByLength.lower[k][w];
    return diff == 0;
#else
    (void)words;
    return iequals(kHeaders[k].name, name);
#endif
}

}  // namespace

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::string_view trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (is_ws(s[b]) || s[b] == '\r' || s[b] == '\n')) ++b;
    while (e > b && (is_ws(s[e - 1]) || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
    return s.substr(b, e - b);
}

bool parse_uint(std::string_view s, uint64_t max, uint64_t *out) {
    if (s.empty() || s.size() > 20) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (!is_digit(c)) return false;
        uint64_t d = uint64_t(c - '0');
        if (v > (max - d) / 10) return false;
        v = v * 10 + d;
    }
    *out = v;
    return true;
}

bool is_token(std::string_view s) { return !s.empty() && all_of_class(s, CH_TOKEN); }

Hdr header_id(std::string_view name) {
    if (name.empty()) return Hdr::Other;
    if (name.size() == 1) {
        char c = lower(name[0]);
        for (const auto &h : kHeaders)
            if (h.compact == c) return h.id;
        return Hdr::Other;
    }
    // The few names of that length, filtered on the first letter, then compared.
    if (name.size() > kLongestName) return Hdr::Other;
    uint64_t words[kNameWords] = {};
    std::memcpy(words, name.data(), name.size());
    for (uint8_t k : kByLength.at[name.size()]) {
        if (!k) break;
        if (name_is(words, k - 1u, name)) return kHeaders[k - 1].id;
    }
    return Hdr::Other;
}

std::string_view header_name(Hdr id) {
    for (const auto &h : kHeaders)
        if (h.id == id) return h.name;
    return {};
}

namespace {

// Calls fn(name, value) for each parameter of a ";a=b;c;d=\"q\"" list, in order, until
// fn returns true; a flag's value is empty and quotes around a value are dropped.
template <typename Fn>
void for_each_param(std::string_view params, Fn fn) {
    size_t i = 0;
    while (i < params.size()) {
        if (params[i] != ';') {
            ++i;
            continue;
        }
        ++i;
        size_t start = i;
        bool quoted = false;
        while (i < params.size()) {
            char c = params[i];
            if (quoted) {
                if (c == '\\') ++i;
                else if (c == '"') quoted = false;
            } else if (c == '"') {
                quoted = true;
            } else if (c == ';') {
                break;
            }
            ++i;
        }
        std::string_view p = trim(params.substr(start, std::min(i, params.size()) - start));
        size_t eq = p.find('=');
        std::string_view pn = trim(p.substr(0, eq));
        std::string_view pv = eq == std::string_view::npos ? std::string_view() : trim(p.substr(eq + 1));
        if (pv.size() >= 2 && pv.front() == '"' && pv.back() == '"') pv = pv.substr(1, pv.size() - 2);
        if (fn(pn, pv)) return;
    }
}

}  // namespace

bool find_param(std::string_view params, std::string_view name, std::string_view *value) {
    bool found = false;
    for_each_param(params, [&](std::string_view pn, std::string_view pv) {
        if (!iequals(pn, name)) return false;
        if (value) *value = pv;
        found = true;
        return true;
    });
    return found;
}

bool Uri::is_sip() const { return iequals(scheme, "sip") || iequals(scheme, "sips"); }

namespace {

bool valid_host(std::string_view h) {
    if (h.empty()) return false;
    if (h.front() == '[') {
        if (h.back() != ']' || h.size() < 4) return false;
        for (char c : h.substr(1, h.size() - 2))
            if (!(std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.')) return false;
        return true;
    }
    return all_of_class(h, CH_HOST);
}

}  // namespace

bool parse_uri(std::string_view t, Uri *out) {
    Uri u;
    size_t colon = t.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    u.scheme = t.substr(0, colon);
    if (!is_alpha(u.scheme[0]) || !all_of_class(u.scheme, CH_SCHEME)) return false;
    std::string_view rest = t.substr(colon + 1);
    if (rest.empty()) return false;
    if (!u.is_sip()) {
        if (!all_of_class(rest, CH_OPAQUE)) return false;
        u.opaque = rest;
        *out = u;
        return true;
    }
    // A SIP URI's characters are all among those any URI may hold. The user part
    // may hold ';' and '?' unescaped, so split at the last '@' first.
    size_t at = std::string_view::npos;
    for (size_t i = 0; i < rest.size(); ++i) {
        const char c = rest[i];
        if (!has_class(c, CH_URI)) return false;
        if (c == '@') at = i;
    }
    std::string_view hostport = rest;
    if (at != std::string_view::npos) {
        std::string_view userinfo = rest.substr(0, at);
        hostport = rest.substr(at + 1);
        size_t pc = userinfo.find(':');
        u.user = userinfo.substr(0, pc);
        if (pc != std::string_view::npos) u.password = userinfo.substr(pc + 1);
        if (u.user.empty()) return false;
    }
    size_t q = hostport.find('?');
    if (q != std::string_view::npos) {
        u.headers = hostport.substr(q + 1);
        hostport = hostport.substr(0, q);
    }
    size_t semi = hostport.find(';');
    if (semi != std::string_view::npos) {
        u.params = hostport.substr(semi);
        hostport = hostport.substr(0, semi);
    }
    size_t pcolon = hostport.rfind(':');
    if (pcolon != std::string_view::npos && hostport.find(']', pcolon) == std::string_view::npos) {
        uint64_t port = 0;
        if (!parse_uint(hostport.substr(pcolon + 1), 65535, &port) || port == 0) return false;
        u.port = static_cast<uint16_t>(port);
        hostport = hostport.substr(0, pcolon);
    }
    if (!valid_host(hostport)) return false;
    u.host = hostport;
    *out = u;
    return true;
}

bool parse_name_addr(std::string_view t, NameAddr *out) {
    NameAddr na;
    t = trim(t);
    if (t.empty()) return false;
    size_t i = 0;
    std::string_view display;
    bool have_display = false;
    if (t[0] == '"') {
        size_t j = 1;
        for (; j < t.size(); ++j) {
            if (t[j] == '\\') {
                if (++j >= t.size()) return false;
            } else if (t[j] == '"') {
                break;
            }
        }
        if (j >= t.size()) return false;  // unterminated quoted string
        display = t.substr(1, j - 1);
        have_display = true;
        i = j + 1;
        while (i < t.size() && is_ws(t[i])) ++i;
        if (i >= t.size() || t[i] != '<') return false;
    } else {
        size_t lt = t.find('<');
        if (lt != std::string_view::npos) {
            // Unquoted display name: tokens separated by whitespace.
            std::string_view d = trim(t.substr(0, lt));
            for (char c : d)
                if (!is_token_char(c) && !is_ws(c)) return false;
            display = d;
            have_display = !d.empty();
            i = lt;
        }
    }
    if (i < t.size() && t[i] == '<') {
        size_t gt = t.find('>', i);
        if (gt == std::string_view::npos) return false;
        na.uri_text = t.substr(i + 1, gt - i - 1);
        na.bracketed = true;
        std::string_view after = trim(t.substr(gt + 1));
        if (!after.empty() && after[0] != ';') return false;
        na.params = after;
    } else {
        if (have_display) return false;
        // addr-spec: header parameters start at the first ';' after the host,
        // and such a URI cannot carry '?' headers or ',' (RFC 3261 20.10).
        size_t semi = t.find(';');
        na.uri_text = trim(t.substr(0, semi));
        if (semi != std::string_view::npos) na.params = t.substr(semi);
        if (na.uri_text.find('?') != std::string_view::npos) return false;
    }
    if (!parse_uri(na.uri_text, &na.uri)) return false;
    for (char c : na.params)
        if (c == '<' || c == '>') return false;
    na.display = display;
    *out = na;
    return true;
}

bool parse_via(std::string_view t, Via *out) {
    // sent-protocol: "SIP" LWS? "/" LWS? "2.0" LWS? "/" LWS? transport
    Via v;
    size_t i = 0;
    auto skip_ws = [&] {
        while (i < t.size() && is_ws(t[i])) ++i;
    };
    auto take_token = [&]() -> std::string_view {
        size_t s = i;
        while (i < t.size() && is_token_char(t[i])) ++i;
        return t.substr(s, i - s);
    };
    skip_ws();
    if (!iequals(take_token(), "SIP")) return false;
    skip_ws();
    if (i >= t.size() || t[i] != '/') return false;
    ++i;
    skip_ws();
    if (take_token() != "2.0") return false;
    skip_ws();
    if (i >= t.size() || t[i] != '/') return false;
    ++i;
    skip_ws();
    v.transport = take_token();
    if (v.transport.empty()) return false;
    size_t before = i;
    skip_ws();
    if (i == before) return false;
    // sent-by
    size_t s = i;
    if (i < t.size() && t[i] == '[') {
        while (i < t.size() && t[i] != ']') ++i;
        if (i >= t.size()) return false;
        ++i;
    } else {
        while (i < t.size() && has_class(t[i], CH_HOST)) ++i;
    }
    v.host = t.substr(s, i - s);
    if (!valid_host(v.host)) return false;
    skip_ws();
    if (i < t.size() && t[i] == ':') {
        ++i;
        skip_ws();
        size_t ps = i;
        while (i < t.size() && is_digit(t[i])) ++i;
        uint64_t port = 0;
        if (!parse_uint(t.substr(ps, i - ps), 65535, &port)) return false;
        v.port = static_cast<uint16_t>(port);
        skip_ws();
    }
    std::string_view params = t.substr(i);
    if (!params.empty() && params[0] != ';') return false;
    v.params = params;
    // One pass for the three parameters read here; the first of each name counts.
    bool branch = false, received = false, bad_rport = false;
    for_each_param(params, [&](std::string_view pn, std::string_view pv) {
        if (!branch && iequals(pn, "branch")) {
            v.branch = pv;
            branch = true;
        } else if (!received && iequals(pn, "received")) {
            v.received = pv;
            received = true;
        } else if (!v.has_rport && iequals(pn, "rport")) {
            v.has_rport = true;
            uint64_t n = 0;
            if (!pv.empty()) {
                if (!parse_uint(pv, 65535, &n)) bad_rport = true;
                v.rport = static_cast<int>(n);
            }
        }
        return bad_rport || (branch && received && v.has_rport);
    });
    if (bad_rport) return false;
    *out = v;
    return true;
}

}  // namespace callctl::sip
