// re-INVITEs of a connected call both ways.
//
// Ours (hold, resume, a session refresh, a new address) go one at a time.
// The held audio stops at once; the outcome decides the rest:
//   2xx          -> done (ACK with the INVITE's credentials; HELD for a hold)
//   401/407, 422 -> sent again with credentials / a longer interval, at most
//                   kMaxRetries times
//   491          -> sent again after 2.1-4 s (we own the Call-ID), at most
//                   kMaxGlareRetries times (RFC 3261 14.1)
//   481, 408, no answer -> the dialog is gone: BYE, DISCONNECTED
//   anything else -> nothing changed: the audio as before, HOLD_FAILED for
//                   a hold or resume
//
// The peer's: its requests must come in CSeq order (RFC 3261 12.2.2); its
// offers (INVITE, UPDATE) are answered line for line with the formats of
// them we have, and an INVITE without one gets our offer in the 2xx, whose
// answer comes in the ACK (RFC 3264 5, RFC 3261 13.3.1.4).
#include "../base/log.h"
#include "ua.h"

namespace callctl {

SIPX_RESULT Call::hold(bool on, bool stop_remote_audio) {
    if (state_ != State::Connected || released) return SIPX_RESULT_INVALID_STATE;
    if (reinvite_pending_) return SIPX_RESULT_BUSY;
    if (held_ == on) return SIPX_RESULT_SUCCESS;
    // Held audio stops at once; the answer does not change that.
    host_.set_stream_hold(handle, on);
    sdp::Direction dir = on ? (stop_remote_audio ? sdp::Direction::SendOnly : sdp::Direction::Inactive)
                            : sdp::Direction::SendRecv;
    start_reinvite(on ? Purpose::Hold : Purpose::Resume, dir);
    return SIPX_RESULT_SUCCESS;
}

void Call::address_changed() {
    if (state_ != State::Connected || released) return;
    if (reinvite_pending_) {
        // After the one under way (which still names the old address).
        moved_wait_.start(host_.now(), 500, [this] { address_changed(); });
        return;
    }
    start_reinvite(Purpose::NewAddress, held_ ? local_dir_ : sdp::Direction::SendRecv);
}

void Call::start_reinvite(Purpose why, sdp::Direction dir) {
    reinvite_pending_ = true;
    reinvite_why_ = why;
    reinvite_dir_ = dir;
    reinvite_glare_ = 0;
    reinvite_retries_ = 0;
    auth_.accepted();  // a new request series: its first challenge is answered
    send_reinvite();
}

void Call::send_reinvite() {
    reinvite_in_flight_ = true;
    std::string body;
    if (reinvite_why_ == Purpose::Refresh && !last_sdp_.empty()) {
        body = last_sdp_;  // a refresh changes nothing: the same description, the same version
    } else {
        ++sdp_version_;
        body = build_sdp(reinvite_dir_);
    }
    send_in_dialog("INVITE", body, "application/sdp", [this](const sip::Message *r) { on_reinvite_response(r); },
                   session_timer_request_headers());
}

void Call::on_reinvite_response(const sip::Message *r) {
    if (r && r->status() < 200) return;
    reinvite_in_flight_ = false;
    int code = r ? r->status() : 0;
    if (r && code < 300) {
        send_ack(r->cseq());
        reinvite_pending_ = false;
        if (released || state_ != State::Connected) return;
        sdp::Remote rs;
        if (sdp::parse(r->body(), &rs)) {
            sdp::SrtpKeys keys;
            if (!keys_from_answer(rs, &keys)) {
                unusable_answer();
                return;
            }
            remote_sdp_ = rs;
            srtp_ = keys;  // a new key of the peer's starts a new session
            wipe(&keys, sizeof keys);
            apply_remote(rs);
        }
        session_timer_from_response(*r);
        if (reinvite_why_ == Purpose::Hold || reinvite_why_ == Purpose::Resume) {
            held_ = reinvite_why_ == Purpose::Hold;
            local_dir_ = reinvite_dir_;
            if (held_) host_.emit_call(handle, line_handle, SIPX_CALLSTATE_HELD, SIPX_CAUSE_NORMAL, code);
        }
        return;
    }
    if (released || state_ != State::Connected) {
        reinvite_pending_ = false;
        return;
    }
    if (!r || code == 408 || code == 481) {
        // The peer no longer knows the dialog, or cannot be reached.
        reinvite_pending_ = false;
        CALLCTL_LOG(log::Info, "call %u: re-INVITE %s: the call is over", unsigned(handle),
                    r ? "refused with 481/408" : "unanswered");
        disconnected(r ? SIPX_CAUSE_REJECTED : SIPX_CAUSE_NO_RESPONSE, code);
        send_bye();
        return;
    }
    if ((code == 401 || code == 407) && line_ && reinvite_retries_ < kMaxRetries &&
        auth_.on_challenge(*r, line_->creds) != AuthSession::Outcome::Failed) {
        ++reinvite_retries_;
        send_reinvite();
        return;
    }
    if (code == 491 && reinvite_glare_ < kMaxGlareRetries) {
        // Both sides sent a re-INVITE at once. The Call-ID is ours: we wait
        // 2.1 to 4 s (in steps of 10 ms) before trying again.
        ++reinvite_glare_;
        int64_t wait = 2100 + int64_t(random_u32() % 191) * 10;
        glare_wait_.start(host_.now(), wait, [this] {
            if (released || state_ != State::Connected) {
                reinvite_pending_ = false;
                return;
            }
            send_reinvite();
        });
        return;
    }
    if (code == 422 && reinvite_retries_ < kMaxRetries) {
        uint64_t min = 0;
        const sip::HeaderField *h = r->find("Min-SE");
        std::string_view v = h ? h->value.substr(0, h->value.find(';')) : std::string_view();
        if (sip::parse_uint(sip::trim(v), 86400, &min) && min > session_interval_) {
            ++reinvite_retries_;
            session_min_se_ = std::max(session_min_se_, uint32_t(min));
            session_interval_ = uint32_t(min);
            send_reinvite();
            return;
        }
    }
    reinvite_failed(code);
}

void Call::reinvite_failed(int status) {
    reinvite_pending_ = false;
    if (reinvite_why_ != Purpose::Hold && reinvite_why_ != Purpose::Resume) return;
    // Nothing changed: the audio goes on as before, and the program hears so.
    host_.set_stream_hold(handle, held_);
    host_.emit_call(handle, line_handle, SIPX_CALLSTATE_HOLD_FAILED, SIPX_CAUSE_REJECTED, status);
}

bool Call::answer_offer(const sip::Message &m, const Endpoint &from, bool update) {
    sdp::Direction dir = held_ ? local_dir_ : sdp::Direction::SendRecv;
    std::string body;
    if (!m.body().empty()) {
        sdp::Remote rs;
        bool audio = false;
        std::vector<sdp::Payload> answer;
        sdp::SrtpKeys keys;
        std::string crypto;
        if (sdp::parse(m.body(), &rs, offer_profiles())) {
            answer = host_.answer_payloads(rs);
            for (const auto &p : answer) audio = audio || p.name != "telephone-event";
        }
        if (!audio || !keys_for_offer(rs, &keys, &crypto)) {
            // Nothing we can take (no audio, none of its formats, no SRTP
            // keys we can use, a profile the call may not have): the
            // session stays as it was.
            host_.send_response(m, from, 488, {}, {}, {}, local_tag_);
            return false;
        }
        remote_sdp_ = rs;
        payloads_ = answer;
        srtp_ = keys;
        wipe(&keys, sizeof keys);
        dir = host_.answer_direction(rs.direction, held_);
        apply_remote(rs);
        ++sdp_version_;
        body = build_sdp(dir, &rs, crypto);
    } else if (!update) {
        // No offer: ours goes in the 2xx, the answer comes in the ACK.
        payloads_ = host_.offer_payloads(host_.config.codec);
        ++sdp_version_;
        body = build_sdp(dir);
        offer_in_2xx_ = true;
        offer_in_2xx_cseq_ = m.cseq();
        offer_in_2xx_at_ = host_.now();
    }
    std::string before = remote_target_;
    take_remote_target(m);
    if (remote_target_ != before) update_hop();
    Headers extra{{"Contact", contact_header(from)}, {"Allow", kAllow}, {"Supported", "timer"}};
    for (auto &h : session_timer_from_request(m)) extra.push_back(std::move(h));
    host_.send_response(m, from, 200, extra, body, body.empty() ? "" : "application/sdp", local_tag_);
    return true;
}

void Call::on_request(const sip::Message &m, const Endpoint &from) {
    std::string_view method = m.method();
    if (method == "ACK") {
        if (!offer_in_2xx_ || m.cseq() != offer_in_2xx_cseq_) return;
        offer_in_2xx_ = false;
        if (m.body().empty() || state_ != State::Connected || released) return;
        sdp::Remote rs;
        bool audio = false;
        sdp::SrtpKeys keys;
        if (sdp::parse(m.body(), &rs))
            for (const auto &p : host_.answer_payloads(rs)) audio = audio || p.name != "telephone-event";
        if (!audio || !keys_from_answer(rs, &keys)) {
            // An answer we cannot use: the session cannot go on (RFC 3261 13.3.1.4).
            disconnected(SIPX_CAUSE_REJECTED, audio ? 488 : 0);
            send_bye();
            return;
        }
        remote_sdp_ = rs;
        srtp_ = keys;
        wipe(&keys, sizeof keys);
        apply_remote(rs);
        return;
    }
    if (method != "CANCEL") {
        // In order or not at all: a late or replayed request is never applied.
        if (remote_cseq_known_ && m.cseq() <= remote_cseq_) {
            host_.send_response(m, from, 500, {}, {}, {}, local_tag_);
            return;
        }
        remote_cseq_known_ = true;
        remote_cseq_ = m.cseq();
    }
    if (method == "BYE") {
        host_.send_response(m, from, 200, {}, {}, {}, local_tag_);
        if (state_ == State::Connected || state_ == State::Early) {
            state_ = State::Terminated;
            disconnected(SIPX_CAUSE_REMOTE_HANGUP, 0);
        } else {
            state_ = State::Terminated;
        }
        if (released) linger();
        return;
    }
    if (method == "INVITE" || method == "UPDATE") {
        bool update = method == "UPDATE";
        // Our own offer is out (RFC 3261 14.2, RFC 3311 5.2): in a re-INVITE,
        // or in our 2xx while its ACK may still come (64*T1).
        bool offer_out = offer_in_2xx_ && host_.now() - offer_in_2xx_at_ < 64 * host_.timer_settings().t1;
        if (reinvite_in_flight_ || (update && offer_out && !m.body().empty())) {
            host_.send_response(m, from, 491, {}, {}, {}, local_tag_);
            return;
        }
        if (!update) offer_in_2xx_ = false;  // a new INVITE: the last one is over
        answer_offer(m, from, update);
        return;
    }
    if (method == "OPTIONS" || method == "INFO" || method == "NOTIFY") {
        host_.send_response(m, from, 200, {}, {}, {}, local_tag_);
        return;
    }
    host_.send_response(m, from, 501, {{"Allow", kAllow}}, {}, {}, local_tag_);
}

}  // namespace callctl
