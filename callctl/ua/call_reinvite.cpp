// re-INVITEs of a connected call both ways: our hold and resume (the
// held audio stops at once; a refused or unanswered re-INVITE puts it back),
// and the peer's requests in the dialog: its offers, answered with the
// formats of them we have, its BYE and the rest.
#include "ua.h"

namespace callctl {

SIPX_RESULT Call::hold(bool on, bool stop_remote_audio) {
    if (state_ != State::Connected || released) return SIPX_RESULT_INVALID_STATE;
    if (reinvite_pending_) return SIPX_RESULT_BUSY;
    if (held_ == on) return SIPX_RESULT_SUCCESS;
    reinvite_pending_ = true;
    ++sdp_version_;
    // Held audio stops at once; the answer does not change that.
    host_.set_stream_hold(handle, on);
    sdp::Direction dir = on ? (stop_remote_audio ? sdp::Direction::SendOnly : sdp::Direction::Inactive)
                            : sdp::Direction::SendRecv;
    auth_.accepted();
    send_in_dialog("INVITE", build_sdp(dir), "application/sdp", [this, on](const sip::Message *r) {
        if (r && r->status() < 200) return;
        reinvite_pending_ = false;
        if (!r) {  // no answer: the hold did not happen
            if (!released) host_.set_stream_hold(handle, held_);
            return;
        }
        if (r->status() < 300) {
            send_ack(r->cseq());
            if (released || state_ != State::Connected) return;
            held_ = on;
            if (on) host_.emit_call(handle, line_handle, SIPX_CALLSTATE_HELD, SIPX_CAUSE_NORMAL, r->status());
            return;
        }
        if ((r->status() == 401 || r->status() == 407) && line_ && !released &&
            auth_.on_challenge(*r, line_->creds) != AuthSession::Outcome::Failed) {
            hold(on, true);
            return;
        }
        if (!released) host_.set_stream_hold(handle, held_);  // refused: as before
    });
    return SIPX_RESULT_SUCCESS;
}

void Call::on_request(const sip::Message &m, const Endpoint &from) {
    std::string_view method = m.method();
    if (method == "ACK") return;
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
    if (method == "INVITE") {
        if (reinvite_pending_) {
            host_.send_response(m, from, 491, {}, {}, {}, local_tag_);
            return;
        }
        // An offer from the peer: answer with the formats of it we have.
        sdp::Remote rs;
        sdp::Direction dir = held_ ? sdp::Direction::SendOnly : sdp::Direction::SendRecv;
        if (!m.body().empty() && sdp::parse(m.body(), &rs)) {
            std::vector<sdp::Payload> answer = host_.answer_payloads(rs);
            bool audio = false;
            for (const auto &p : answer) audio = audio || p.name != "telephone-event";
            if (!audio) {
                host_.send_response(m, from, 488, {}, {}, {}, local_tag_);
                return;
            }
            remote_sdp_ = rs;
            payloads_ = answer;
            dir = host_.answer_direction(rs.direction, held_);
            apply_remote(rs);
        }
        std::string before = remote_target_;
        take_remote_target(m);
        if (remote_target_ != before) update_hop();
        ++sdp_version_;
        std::string body = build_sdp(dir);
        std::string user = line_ ? line_->id.user : host_.config.identity;
        host_.send_response(m, from, 200,
                            {{"Contact", "<sip:" + user + "@" + host_.contact_host_port(from) + ">"},
                             {"Allow", kAllow}},
                            body, "application/sdp", local_tag_);
        return;
    }
    if (method == "OPTIONS" || method == "INFO" || method == "NOTIFY" || method == "UPDATE") {
        host_.send_response(m, from, 200, {}, {}, {}, local_tag_);
        return;
    }
    host_.send_response(m, from, 501, {{"Allow", kAllow}}, {}, {}, local_tag_);
}

}  // namespace callctl
