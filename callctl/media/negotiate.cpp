// Offer/answer (RFC 3264) for the audio stream.
#include <cctype>

#include "../codec/codec.h"
#include "media.h"

namespace callctl::media {

namespace {
bool iequal(const std::string &a, const char *b) {
    size_t n = std::char_traits<char>::length(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}
}  // namespace

std::vector<sdp::Payload> offer_payloads(const std::string &selected) {
    std::vector<sdp::Payload> out;
    for (const codec::CodecInfo *c : codec::offer_order(selected)) {
        sdp::Payload p;
        p.pt = c->static_pt;
        p.name = c->name;
        p.rate = c->rate;
        if (c->fmtp) p.fmtp = c->fmtp;
        out.push_back(p);
    }
    sdp::Payload te;
    te.pt = kOfferedTelephoneEventPt;
    te.name = "telephone-event";
    te.fmtp = "0-15";
    out.push_back(te);
    return out;
}

StreamParams params_from(const sdp::Remote &peer) {
    StreamParams p;
    uint32_t ip = 0;
    bool addr_ok = parse_ipv4(peer.address, &ip);
    p.rtp = Endpoint{ip, peer.port};
    p.rtcp = Endpoint{ip, uint16_t(peer.port ? peer.port + 1 : 0)};
    for (const auto &pl : peer.payloads) {
        if (iequal(pl.name, "telephone-event") && pl.rate == 8000) {
            if (p.te_pt < 0) p.te_pt = pl.pt;
            continue;
        }
        const codec::CodecInfo *c = codec::find(pl.name);
        if (c && pl.rate == c->rate) {
            if (p.audio.empty()) p.send_fmtp = pl.fmtp;
            p.audio.push_back({pl.pt, c->name});
        }
    }
    // c=0.0.0.0 or port 0: nothing flows (an old-style hold, a refused stream).
    bool reachable = addr_ok && ip != 0 && peer.port != 0 && !p.audio.empty();
    p.send = reachable && (peer.direction == sdp::Direction::SendRecv || peer.direction == sdp::Direction::RecvOnly);
    p.recv = reachable && (peer.direction == sdp::Direction::SendRecv || peer.direction == sdp::Direction::SendOnly);
    return p;
}

std::vector<sdp::Payload> answer_payloads(const sdp::Remote &offer) {
    std::vector<sdp::Payload> out;
    for (const auto &pl : offer.payloads) {
        bool te = iequal(pl.name, "telephone-event") && pl.rate == 8000;
        const codec::CodecInfo *c = te ? nullptr : codec::find(pl.name);
        if (!te && !(c && pl.rate == c->rate)) continue;
        sdp::Payload a = pl;
        if (c) {
            a.name = c->name;
            a.fmtp = codec::answer_fmtp(*c, pl.fmtp);
        } else {
            a.fmtp = "0-15";
        }
        out.push_back(a);
    }
    return out;
}

sdp::Direction answer_direction(sdp::Direction offered, bool local_hold) {
    switch (offered) {
    case sdp::Direction::SendOnly: return local_hold ? sdp::Direction::Inactive : sdp::Direction::RecvOnly;
    case sdp::Direction::RecvOnly: return sdp::Direction::SendOnly;
    case sdp::Direction::Inactive: return sdp::Direction::Inactive;
    default: return local_hold ? sdp::Direction::SendOnly : sdp::Direction::SendRecv;
    }
}

}  // namespace callctl::media
