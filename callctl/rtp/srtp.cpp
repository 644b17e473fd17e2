#include "srtp.h"

#include <srtp2/srtp.h>

#include <climits>
#include <cstring>
#include <mutex>

#include "../base/base.h"
#include "../base/log.h"

namespace callctl::rtp {

namespace {
bool init_once() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        srtp_err_status_t e = srtp_init();
        ok = e == srtp_err_status_ok;
        if (!ok) CALLCTL_LOG(log::Error, "libsrtp could not be set up (error %d)", int(e));
    });
    return ok;
}

SrtpContext::Result result_of(srtp_err_status_t e) {
    switch (e) {
    case srtp_err_status_ok: return SrtpContext::Result::Ok;
    case srtp_err_status_auth_fail: return SrtpContext::Result::AuthFailed;
    case srtp_err_status_replay_fail:
    case srtp_err_status_replay_old: return SrtpContext::Result::Replayed;
    default: return SrtpContext::Result::Malformed;
    }
}
}  // namespace

SrtpContext::~SrtpContext() { stop(); }

bool SrtpContext::start(Dir dir, SrtpProfile profile, const uint8_t master[30], int window) {
    stop();
    if (!init_once()) return false;
    srtp_policy_t p;
    std::memset(&p, 0, sizeof p);
    if (profile == SrtpProfile::Aes128Sha1_32) srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&p.rtp);
    else srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&p.rtp);
    // RFC 4568 6.2.2: SRTCP keeps the 80-bit tag with either suite.
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&p.rtcp);
    p.ssrc.type = dir == Dir::Send ? ssrc_any_outbound : ssrc_any_inbound;
    uint8_t key[30];
    std::memcpy(key, master, sizeof key);
    p.key = key;
    p.window_size = (unsigned long)(window < 64 ? 64 : window);
    p.allow_repeat_tx = 0;
    srtp_t s = nullptr;
    srtp_err_status_t e = srtp_create(&s, &p);
    wipe(key, sizeof key);
    if (e != srtp_err_status_ok) {
        CALLCTL_LOG(log::Warning, "SRTP session could not be made (libsrtp error %d)", int(e));
        return false;
    }
    session_ = s;
    return true;
}

void SrtpContext::stop() {
    if (session_) srtp_dealloc(static_cast<srtp_t>(session_));  // wipes its keys
    session_ = nullptr;
}

bool SrtpContext::protect_rtp(uint8_t *pkt, size_t *len, size_t cap) {
    if (!session_ || *len > INT_MAX || cap < *len + kSrtpRoom) return false;
    int n = int(*len);
    if (srtp_protect(static_cast<srtp_t>(session_), pkt, &n) != srtp_err_status_ok) return false;
    *len = size_t(n);
    return true;
}

bool SrtpContext::protect_rtcp(uint8_t *pkt, size_t *len, size_t cap) {
    if (!session_ || *len > INT_MAX || cap < *len + kSrtpRoom) return false;
    int n = int(*len);
    if (srtp_protect_rtcp(static_cast<srtp_t>(session_), pkt, &n) != srtp_err_status_ok) return false;
    *len = size_t(n);
    return true;
}

SrtpContext::Result SrtpContext::unprotect_rtp(uint8_t *pkt, size_t *len) {
    if (!session_ || *len > INT_MAX) return Result::Malformed;
    int n = int(*len);
    Result r = result_of(srtp_unprotect(static_cast<srtp_t>(session_), pkt, &n));
    if (r == Result::Ok) *len = size_t(n);
    return r;
}

SrtpContext::Result SrtpContext::unprotect_rtcp(uint8_t *pkt, size_t *len) {
    if (!session_ || *len > INT_MAX) return Result::Malformed;
    int n = int(*len);
    Result r = result_of(srtp_unprotect_rtcp(static_cast<srtp_t>(session_), pkt, &n));
    if (r == Result::Ok) *len = size_t(n);
    return r;
}

}  // namespace callctl::rtp
