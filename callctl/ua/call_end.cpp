// How a call ends: the media watch (no RTP or RTCP for the media timeout),
// CANCEL of a ringing INVITE, BYE, the local hang-up, and the lingering
// that repeats ACKs for retransmitted 2xx before the call object goes.
#include <algorithm>

#include "../base/log.h"
#include "ua.h"

namespace callctl {

void Call::watch_media() {
    int64_t limit = host_.timer_settings().media_timeout;
    int64_t period = std::clamp<int64_t>(limit / 4, 10, 1000);
    media_watch_.start(host_.now(), period, [this, limit] {
        if (state_ != State::Connected || released) return;
        int64_t now = host_.now();
        bool may_pause = false;
        int64_t quiet = host_.stream_quiet_ms(handle, now, &may_pause);
        // A G.729 peer that suppresses silence and sends no RTCP may be
        // quiet for long while its user listens: it gets four times as long.
        int64_t allowed = may_pause ? 4 * limit : limit;
        if (quiet >= allowed && now - connected_at_ >= allowed) {
            // The network is gone (or the peer): the call is over, not
            // running on with a clock and nothing to hear.
            disconnected(SIPX_CAUSE_MEDIA_TIMEOUT, 0);
            send_bye();
            return;
        }
        watch_media();
    });
}

void Call::send_cancel() {
    sip::Message inv;
    if (!inv.parse(invite_wire_)) {
        // Cannot happen with our own INVITE; if it did, the INVITE is given
        // up as below rather than left to ring for ever.
        state_ = State::Terminating;
        host_.txn().cancelled(invite_txn_);
        return;
    }
    sip::Writer w;
    w.request_line("CANCEL", target_);
    const sip::HeaderField *via = inv.find(sip::Hdr::Via);
    w.header(sip::Hdr::Via, via ? via->value : std::string_view());
    w.header(sip::Hdr::MaxForwards, 70);
    w.copy(inv, sip::Hdr::From);
    w.copy(inv, sip::Hdr::To);
    w.header(sip::Hdr::CallId, call_id_);
    w.header(sip::Hdr::CSeq, std::to_string(invite_cseq_) + " CANCEL");
    w.header(sip::Hdr::UserAgent, host_.config.user_agent);
    state_ = State::Terminating;
    track(host_.txn().send_request(dest_, w.finish(), [](const sip::Message *) {}));
    // The INVITE transaction ends with 487 (or a crossing 2xx); without
    // either it is given up 64*T1 from now (RFC 3261 9.1).
    host_.txn().cancelled(invite_txn_);
}

void Call::send_bye() {
    state_ = State::Terminating;
    send_in_dialog("BYE", {}, {}, [this](const sip::Message *r) {
        if (r && r->status() < 200) return;
        if (r && (r->status() == 401 || r->status() == 407) && line_ &&
            auth_.on_challenge(*r, line_->creds) != AuthSession::Outcome::Failed) {
            send_bye();
            return;
        }
        state_ = State::Terminated;
        linger();
    });
}

void Call::release() {
    if (released) return;
    released = true;
    host_.close_stream(handle);
    switch (state_) {
    case State::Idle:
        state_ = State::Terminated;
        break;
    case State::Calling:
        // No provisional yet: the CANCEL must wait for one (RFC 3261 9.1).
        disconnected(SIPX_CAUSE_LOCAL_HANGUP, 0);
        cancel_pending_ = true;
        state_ = State::Terminating;
        break;
    case State::Early:
        disconnected(SIPX_CAUSE_LOCAL_HANGUP, 0);
        send_cancel();
        break;
    case State::Connected:
        disconnected(SIPX_CAUSE_LOCAL_HANGUP, 0);
        send_bye();
        break;
    case State::Terminating:
    case State::Terminated:
        break;
    }
    host_.emit_call(handle, line_handle, SIPX_CALLSTATE_DESTROYED, SIPX_CAUSE_LOCAL_HANGUP, 0);
    if (state_ == State::Terminated) linger();
}

void Call::linger() {
    // Stay a little to repeat ACKs for retransmitted 2xx, then go. An INVITE
    // that never had its final answer may still be answered: stay as long
    // as a 2xx could come, so it is acknowledged and ended.
    int64_t t1 = host_.timer_settings().t1;
    if (!linger_.active()) linger_.start(host_.now(), invite_final_ ? 8 * t1 : 64 * t1, [] {});
}

void Call::disconnected(uint32_t cause, int status) {
    state_ = State::Terminated;
    host_.close_stream(handle);
    if (released) linger();
    if (disconnect_reported_) return;
    disconnect_reported_ = true;
    host_.emit_call(handle, line_handle, SIPX_CALLSTATE_DISCONNECTED, cause, status);
}

}  // namespace callctl
