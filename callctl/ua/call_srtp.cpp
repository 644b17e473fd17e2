// A call's SRTP keys (RFC 4568 SDES): the a=crypto lines of our offers and
// answers, and the keys the peer's answers and offers settle. The rules per
// mode are at SrtpMode (host.h).
//
// A key is never used again once given up: our offers carry new keys but
// the one we send with (which keeps its SRTP session, and so its packet
// index, when the answer picks it again), and a suite we change to gets a
// new key.
#include "../base/log.h"
#include "ua.h"

namespace callctl {

namespace {
constexpr sdp::SrtpSuite kOfferedSuites[] = {sdp::SrtpSuite::AesCm128HmacSha1_80,
                                             sdp::SrtpSuite::AesCm128HmacSha1_32};
}  // namespace

sdp::Profiles Call::offer_profiles() const {
    if (secure_offer()) return sdp::Profiles::Secure;
    return srtp_mode_ == SrtpMode::Off ? sdp::Profiles::Plain : sdp::Profiles::Any;
}

std::vector<std::string> Call::offer_crypto() {
    for (auto &k : offered_keys_) wipe(&k.key, sizeof k.key);
    offered_keys_.clear();
    offered_secure_ = secure_offer();
    std::vector<std::string> attrs;
    if (!offered_secure_) return attrs;
    uint32_t tag = 0;
    for (sdp::SrtpSuite suite : kOfferedSuites) {
        OfferedKey k{++tag, {}};
        if (srtp_.send.suite == suite) {
            k.key = srtp_.send;
        } else if (!sdp::new_key(suite, &k.key)) {
            // Without a key the line is left out; with none the offer still
            // says RTP/SAVP, and its answer ends the call.
            CALLCTL_LOG(log::Warning, "call %u: no random key could be had for SRTP", unsigned(handle));
            continue;
        }
        attrs.push_back(sdp::crypto_attribute(k.tag, k.key));
        offered_keys_.push_back(k);
        wipe(&k.key, sizeof k.key);
    }
    return attrs;
}

bool Call::keys_from_answer(const sdp::Remote &a, sdp::SrtpKeys *out) const {
    if (a.secure != offered_secure_) return false;
    if (!a.secure) {
        *out = sdp::SrtpKeys();
        return true;
    }
    for (const auto &c : a.crypto) {
        sdp::SrtpKey peer;
        if (!sdp::usable_key(c, &peer)) continue;
        for (const auto &o : offered_keys_) {
            if (o.tag != c.tag || o.key.suite != peer.suite) continue;
            out->send = o.key;
            out->recv = peer;
            wipe(&peer, sizeof peer);
            return true;
        }
        wipe(&peer, sizeof peer);
    }
    return false;
}

// Our answer may be offered again as it is (a session refresh), so its
// keys become those of our last offer; a refused offer leaves them alone.
bool Call::keys_for_offer(const sdp::Remote &o, sdp::SrtpKeys *out, std::string *attribute) {
    auto answered = [this](const OfferedKey *k) {
        for (auto &old : offered_keys_) wipe(&old.key, sizeof old.key);
        offered_keys_.clear();
        if (k) offered_keys_.push_back(*k);
        offered_secure_ = k != nullptr;
    };
    if (!o.secure) {
        if (offer_profiles() == sdp::Profiles::Secure) return false;
        *out = sdp::SrtpKeys();
        attribute->clear();
        answered(nullptr);
        return true;
    }
    if (offer_profiles() == sdp::Profiles::Plain) return false;
    for (const auto &c : o.crypto) {
        sdp::SrtpKeys k;
        if (!sdp::usable_key(c, &k.recv)) continue;
        if (srtp_.send.suite == k.recv.suite) {
            k.send = srtp_.send;
        } else if (!sdp::new_key(k.recv.suite, &k.send)) {
            CALLCTL_LOG(log::Warning, "call %u: no random key could be had for SRTP", unsigned(handle));
            return false;
        }
        *attribute = sdp::crypto_attribute(c.tag, k.send);
        OfferedKey ours{c.tag, k.send};
        answered(&ours);
        wipe(&ours, sizeof ours);
        *out = k;
        wipe(&k, sizeof k);
        return true;
    }
    return false;
}

void Call::unusable_answer() {
    CALLCTL_LOG(log::Info, "call %u: the answer has no SRTP keys we can use for our offer: the call is over",
                unsigned(handle));
    disconnected(SIPX_CAUSE_REJECTED, 488);
    send_bye();
}

}  // namespace callctl
