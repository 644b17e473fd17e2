#include "sdp.h"

#include <algorithm>
#include <cstdlib>

#include "../base/base.h"

namespace callctl::sdp {

namespace {
// A payload type as written in m= or a= lines: 1 to 3 digits, 0..127.
bool payload_type(std::string_view text, int *pt) {
    if (text.empty() || text.size() > 3) return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v > 127) return false;
    *pt = v;
    return true;
}

// The payload type at the start of an a=rtpmap/a=fmtp value, before its space.
bool leading_payload_type(std::string_view v, int *pt, std::string_view *rest) {
    size_t sp = v.find(' ');
    if (sp == std::string_view::npos || !payload_type(v.substr(0, sp), pt)) return false;
    *rest = v.substr(sp + 1);
    return true;
}
}  // namespace

const char *direction_text(Direction d) {
    switch (d) {
    case Direction::SendOnly: return "sendonly";
    case Direction::RecvOnly: return "recvonly";
    case Direction::Inactive: return "inactive";
    default: return "sendrecv";
    }
}

std::string write(const Offer &o) {
    std::string s;
    s.reserve(320);
    s += "v=0\r\n";
    s += "o=- " + std::to_string(o.session_id) + " " + std::to_string(o.version) + " IN IP4 " + o.address + "\r\n";
    s += "s=callctl\r\n";
    s += "c=IN IP4 " + o.address + "\r\n";
    s += "t=0 0\r\n";
    size_t before = std::min(o.audio_at, o.refused.size());
    for (size_t i = 0; i < before; ++i) s += o.refused[i] + "\r\n";
    s += "m=audio " + std::to_string(o.port) + (o.secure ? " RTP/SAVP" : " RTP/AVP");
    for (const auto &p : o.payloads) s += " " + std::to_string(p.pt);
    s += "\r\n";
    for (const auto &p : o.payloads) {
        s += "a=rtpmap:" + std::to_string(p.pt) + " " + p.name + "/" + std::to_string(p.rate) + "\r\n";
        if (!p.fmtp.empty()) s += "a=fmtp:" + std::to_string(p.pt) + " " + p.fmtp + "\r\n";
    }
    s += "a=ptime:20\r\n";
    s += std::string("a=") + direction_text(o.direction) + "\r\n";
    for (const auto &c : o.crypto) s += "a=" + c + "\r\n";
    for (size_t i = before; i < o.refused.size(); ++i) s += o.refused[i] + "\r\n";
    return s;
}

namespace {
// Calls fn(line) for each line of a description, without its CR.
template <typename Fn>
void for_each_line(std::string_view text, Fn fn) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t e = text.find('\n', pos);
        if (e == std::string_view::npos) e = text.size();
        std::string_view line = text.substr(pos, e - pos);
        pos = e + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() >= 2 && line[1] == '=') fn(line);
    }
}

std::string_view next_word(std::string_view *v) {
    size_t sp = v->find(' ');
    std::string_view w = v->substr(0, sp);
    *v = sp == std::string_view::npos ? std::string_view() : v->substr(sp + 1);
    return w;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
    return true;
}

// "media port[/count] proto formats" of an m= value; false when malformed.
bool media_line(std::string_view v, MediaLine *out) {
    MediaLine m;
    m.media = std::string(next_word(&v));
    std::string_view port = next_word(&v);
    port = port.substr(0, port.find('/'));
    if (m.media.empty() || port.empty() || port.size() > 5) return false;
    uint32_t n = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + uint32_t(c - '0');
    }
    if (n > 65535) return false;
    m.port = uint16_t(n);
    m.proto = std::string(next_word(&v));
    if (m.proto.empty()) return false;
    m.formats = std::string(v.substr(0, 256));
    *out = std::move(m);
    return true;
}
}  // namespace

bool parse(std::string_view text, Remote *out, Profiles take) {
    Remote r;
    // First the m= lines and their a=crypto lines, to know which one is the
    // audio stream.
    bool malformed = false;
    std::vector<std::vector<Crypto>> crypto;
    for_each_line(text, [&](std::string_view line) {
        if (line[0] == 'm') {
            MediaLine m;
            if (!media_line(line.substr(2), &m)) malformed = true;
            r.lines.push_back(std::move(m));
            crypto.emplace_back();
            return;
        }
        Crypto c;
        if (line.compare(0, 9, "a=crypto:") == 0 && !crypto.empty() && crypto.back().size() < kMaxCryptoLines &&
            parse_crypto(line.substr(9), &c))
            crypto.back().push_back(std::move(c));
    });
    if (malformed || r.lines.empty() || r.lines.size() > kMaxMediaLines) return false;
    // Each audio line's rank (higher is better, 0: not taken).
    size_t audio = r.lines.size();
    int best = 0;
    for (size_t i = 0; i < r.lines.size(); ++i) {
        const MediaLine &m = r.lines[i];
        if (m.media != "audio") continue;
        const bool plain = iequals(m.proto, "RTP/AVP"), secure = iequals(m.proto, "RTP/SAVP");
        if ((!plain || take == Profiles::Secure) && (!secure || take == Profiles::Plain)) continue;
        int rank = 1;
        if (plain) rank = 2;
        if (secure) {
            SrtpKey k;
            for (const auto &c : crypto[i])
                if (usable_key(c, &k)) rank = 3;
            wipe(&k, sizeof k);
        }
        if (m.port != 0) rank += 3;
        if (rank > best) best = rank, audio = i;
    }
    if (audio == r.lines.size()) return false;
    r.audio_line = audio;
    r.port = r.lines[audio].port;
    r.secure = iequals(r.lines[audio].proto, "RTP/SAVP");
    if (r.secure) r.crypto = std::move(crypto[audio]);
    std::string_view formats = r.lines[audio].formats;
    while (!formats.empty() && r.payloads.size() < kMaxFormats) {
        Payload p;
        // Numbers outside 0..127 cannot be RTP payload types: ignored.
        if (payload_type(next_word(&formats), &p.pt)) {
            if (p.pt == 0) p.name = "PCMU";
            else if (p.pt == 8) p.name = "PCMA";
            else if (p.pt == 18) p.name = "G729";
            r.payloads.push_back(p);
        }
    }

    bool in_audio = false, in_media = false;
    std::string session_addr;
    Direction session_dir = Direction::SendRecv;
    bool audio_dir_set = false;
    size_t index = 0;
    for_each_line(text, [&](std::string_view line) {
        char type = line[0];
        std::string_view v = line.substr(2);
        if (type == 'm') {
            in_media = true;
            in_audio = index++ == audio;
        } else if (type == 'c') {
            size_t ip = v.find("IP4 ");
            if (ip == std::string_view::npos) return;
            std::string addr(v.substr(ip + 4));
            size_t slash = addr.find('/');
            if (slash != std::string::npos) addr.resize(slash);
            if (in_audio) r.address = addr;
            else if (!in_media) session_addr = addr;
        } else if (type == 'a') {
            Direction d;
            bool is_dir = true;
            if (v == "sendrecv") d = Direction::SendRecv;
            else if (v == "sendonly") d = Direction::SendOnly;
            else if (v == "recvonly") d = Direction::RecvOnly;
            else if (v == "inactive") d = Direction::Inactive;
            else is_dir = false;
            if (is_dir) {
                if (in_audio) r.direction = d, audio_dir_set = true;
                else if (!in_media) session_dir = d;
                return;
            }
            int pt = -1;
            std::string_view rest;
            if (in_audio && v.compare(0, 7, "rtpmap:") == 0 && leading_payload_type(v.substr(7), &pt, &rest)) {
                std::string enc(rest.substr(0, 64));
                size_t slash = enc.find('/');
                std::string name = enc.substr(0, slash);
                int rate = slash == std::string::npos ? 8000 : std::atoi(enc.c_str() + slash + 1);
                for (auto &p : r.payloads) {
                    if (p.pt != pt) continue;
                    p.name = name, p.rate = rate;
                    if (name == "telephone-event" && r.telephone_event_pt < 0) r.telephone_event_pt = pt;
                }
            } else if (in_audio && v.compare(0, 5, "fmtp:") == 0 && leading_payload_type(v.substr(5), &pt, &rest)) {
                for (auto &p : r.payloads)
                    if (p.pt == pt) p.fmtp = std::string(rest.substr(0, 256));
            }
        }
    });
    if (r.address.empty()) r.address = session_addr;
    if (!audio_dir_set) r.direction = session_dir;
    *out = std::move(r);
    return true;
}

void refuse_other_lines(const Remote &offer, Offer *answer) {
    answer->refused.clear();
    answer->audio_at = offer.audio_line;
    for (size_t i = 0; i < offer.lines.size(); ++i) {
        if (i == offer.audio_line) continue;
        const MediaLine &m = offer.lines[i];
        answer->refused.push_back("m=" + m.media + " 0 " + m.proto + (m.formats.empty() ? "" : " " + m.formats));
    }
}

}  // namespace callctl::sdp
