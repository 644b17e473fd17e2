#include "sdp.h"

#include <cstdlib>

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
    s += "m=audio " + std::to_string(o.port) + " RTP/AVP";
    for (const auto &p : o.payloads) s += " " + std::to_string(p.pt);
    s += "\r\n";
    for (const auto &p : o.payloads) {
        s += "a=rtpmap:" + std::to_string(p.pt) + " " + p.name + "/" + std::to_string(p.rate) + "\r\n";
        if (!p.fmtp.empty()) s += "a=fmtp:" + std::to_string(p.pt) + " " + p.fmtp + "\r\n";
    }
    s += "a=ptime:20\r\n";
    s += std::string("a=") + direction_text(o.direction) + "\r\n";
    return s;
}

bool parse(std::string_view text, Remote *out) {
    Remote r;
    bool in_audio = false, have_audio = false;
    std::string session_addr;
    Direction session_dir = Direction::SendRecv;
    bool audio_dir_set = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t e = text.find('\n', pos);
        if (e == std::string_view::npos) e = text.size();
        std::string_view line = text.substr(pos, e - pos);
        pos = e + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() < 2 || line[1] != '=') continue;
        char type = line[0];
        std::string_view v = line.substr(2);
        if (type == 'm') {
            in_audio = false;
            if (have_audio || v.compare(0, 6, "audio ") != 0) continue;
            in_audio = have_audio = true;
            std::string rest(v.substr(6));
            char *endp = nullptr;
            long port = std::strtol(rest.c_str(), &endp, 10);
            if (port < 0 || port > 65535) return false;
            r.port = static_cast<uint16_t>(port);
            // skip the protocol, then payload numbers
            std::string_view tail(endp);
            size_t sp = tail.find(' ', 1);
            while (sp != std::string_view::npos && r.payloads.size() < kMaxFormats) {
                size_t n = tail.find(' ', sp + 1);
                std::string_view num = tail.substr(sp + 1, n == std::string_view::npos ? std::string_view::npos : n - sp - 1);
                Payload p;
                // Numbers outside 0..127 cannot be RTP payload types: ignored.
                if (payload_type(num, &p.pt)) {
                    if (p.pt == 0) p.name = "PCMU";
                    else if (p.pt == 8) p.name = "PCMA";
                    else if (p.pt == 18) p.name = "G729";
                    r.payloads.push_back(p);
                }
                sp = n;
            }
        } else if (type == 'c') {
            size_t ip = v.find("IP4 ");
            if (ip == std::string_view::npos) continue;
            std::string addr(v.substr(ip + 4));
            size_t slash = addr.find('/');
            if (slash != std::string::npos) addr.resize(slash);
            if (in_audio) r.address = addr;
            else if (!have_audio) session_addr = addr;
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
                else if (!have_audio) session_dir = d;
                continue;
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
    }
    if (!have_audio) return false;
    if (r.address.empty()) r.address = session_addr;
    if (!audio_dir_set) r.direction = session_dir;
    *out = r;
    return true;
}

}  // namespace callctl::sdp
