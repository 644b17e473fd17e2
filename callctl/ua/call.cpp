// Outgoing calls: the INVITE dialog (RFC 3261 sections 12-15).
//
//   Idle --connect--> Calling --1xx--> Early --2xx/ACK--> Connected
//   Calling --3xx-6xx or timeout (64*T1)--> Terminated
//   Early --3xx-6xx--> Terminated        (no time limit: it rings until answered)
//   Calling --release--> (CANCEL once a provisional arrives) --> Terminated
//   Early --release--> Terminating (CANCEL, 487, ACK) --> Terminated
//   Connected --release--> Terminating (BYE) --> Terminated
//   Connected --BYE from peer--> Terminated
//   Connected --no RTP/RTCP for the media timeout--> Terminating (BYE) --> Terminated
// A 2xx that arrives after the call was given up (hang-up, CANCEL, timeout)
// is acknowledged and the call it set up is ended at once with BYE.
//
// In-dialog requests go to the remote target (or the first route); a host
// name there is looked up off the lock, and requests wait for the answer.
#include <algorithm>

#include "../base/log.h"
#include "../engine/instance.h"
#include "ua.h"

namespace callctl {

namespace {

uint32_t cause_for(int code) {
    if (code == 486 || code == 600) return SIPX_CAUSE_BUSY;
    if (code == 487) return SIPX_CAUSE_CANCELLED;
    if (code == 401 || code == 407) return SIPX_CAUSE_AUTH_FAILED;
    if (code == 403) return SIPX_CAUSE_FORBIDDEN;
    if (code == 404) return SIPX_CAUSE_NOT_FOUND;
    if (code >= 300 && code < 400) return SIPX_CAUSE_REDIRECTED;
    return SIPX_CAUSE_REJECTED;
}

const char kAllow[] = "INVITE, ACK, CANCEL, BYE, OPTIONS, MESSAGE, NOTIFY";

}  // namespace

std::string request_uri_of(std::string_view text) {
    sip::Uri u;
    if (!sip::parse_uri(text, &u) || !u.is_sip() || u.host.empty()) return {};
    size_t cut = text.size();
    if (!u.params.empty()) cut = size_t(u.params.data() - text.data());
    else if (!u.headers.empty()) cut = size_t(u.headers.data() - text.data()) - 1;
    std::string out(text.substr(0, cut));
    std::string_view params = u.params;
    while (!params.empty()) {
        if (params.front() == ';') params.remove_prefix(1);
        size_t end = params.find(';');
        std::string_view p = params.substr(0, end);
        params = end == std::string_view::npos ? std::string_view() : params.substr(end);
        std::string_view name = sip::trim(p.substr(0, p.find('=')));
        if (p.empty() || sip::iequals(name, "method")) continue;
        out += ';';
        out += p;
    }
    return out;
}

Call::Call(Instance &inst, uint32_t h, Line *line)
    : handle(h), line_handle(line ? line->handle : 0), inst_(inst), line_(line), linger_(inst.timers()),
      media_watch_(inst.timers()) {}

Call::~Call() {
    for (uint64_t t : txns_) inst_.txn().detach(t);
    inst_.cancel_resolves(handle);
    inst_.media->close_stream(handle);
}

bool Call::finished() const { return released && state_ == State::Terminated && !linger_.active(); }

void Call::track(uint64_t txn) {
    if (!txn) return;
    txns_.push_back(txn);
}

SIPX_RESULT Call::connect(const std::string &target, uint32_t looked_up) {
    if (state_ != State::Idle) return SIPX_RESULT_INVALID_STATE;
    sip::NameAddr na;
    if (!sip::parse_name_addr(target, &na) || !na.uri.is_sip() || na.uri.host.empty())
        return SIPX_RESULT_BAD_ADDRESS;
    dest_.port = na.uri.port ? na.uri.port : 5060;
    // The API looked the name up before it took the lock.
    if (!inst_.resolver().cached(std::string(na.uri.host), &dest_.ip)) {
        if (!looked_up) return SIPX_RESULT_BAD_ADDRESS;
        dest_.ip = looked_up;
    }
    hop_ = dest_;
    rtp_port_ = inst_.media->open_stream(handle, inst_.bind_ip(), inst_.config.rtp_port_start,
                                         inst_.config.max_calls);
    if (rtp_port_ == 0) return SIPX_RESULT_NETWORK_FAILURE;
    payloads_ = media::offer_payloads(inst_.config.codec);
    target_ = request_uri_of(na.uri_text);
    if (target_.empty()) return SIPX_RESULT_BAD_ADDRESS;
    remote_target_ = target_;
    call_id_ = random_token(24) + "@callctl";
    local_tag_ = random_token(10);
    local_uri_ = line_ ? line_->id.uri : "sip:" + inst_.config.identity + "@" + inst_.local_ip_for(dest_);
    to_header_ = "<" + target_ + ">";
    cseq_ = random_u32() % 10000 + 1;
    sdp_session_ = random_u32();
    sdp_version_ = 1;
    state_ = State::Calling;
    CALLCTL_LOG(log::Info, "call %u: INVITE to %s at %s", unsigned(handle), target_.c_str(), dest_.text().c_str());
    inst_.emit_call(handle, line_handle, SIPX_CALLSTATE_REMOTE_OFFERING, SIPX_CAUSE_NORMAL, 0);
    send_invite();
    return SIPX_RESULT_SUCCESS;
}

std::string Call::build_sdp(sdp::Direction dir) {
    sdp::Offer o;
    std::string hp = inst_.contact_host_port(dest_);
    o.address = hp.substr(0, hp.find(':'));
    o.port = rtp_port_;
    o.session_id = sdp_session_;
    o.version = sdp_version_;
    o.payloads = payloads_;
    o.direction = dir;
    return sdp::write(o);
}

void Call::send_invite() {
    invite_cseq_ = ++cseq_;
    invite_branch_ = inst_.new_branch();
    std::string from = "<" + local_uri_ + ">;tag=" + local_tag_;
    if (line_ && !line_->id.display.empty()) from = "\"" + line_->id.display + "\" " + from;
    sip::Writer w;
    w.request_line("INVITE", target_);
    w.header(sip::Hdr::Via, "SIP/2.0/UDP " + inst_.via_sent_by(dest_) + (inst_.config.rport ? ";rport" : "") +
                                ";branch=" + invite_branch_);
    w.header(sip::Hdr::MaxForwards, 70);
    w.header(sip::Hdr::From, from);
    w.header(sip::Hdr::To, to_header_);
    w.header(sip::Hdr::CallId, call_id_);
    w.header(sip::Hdr::CSeq, std::to_string(invite_cseq_) + " INVITE");
    std::string user = line_ ? line_->id.user : inst_.config.identity;
    w.header(sip::Hdr::Contact, "<sip:" + user + "@" + inst_.contact_host_port(dest_) + ">");
    for (const auto &h : auth_.headers("INVITE", target_)) w.header(h.first, h.second);
    w.header(sip::Hdr::Allow, kAllow);
    w.header(sip::Hdr::UserAgent, inst_.config.user_agent);
    invite_wire_ = w.finish(build_sdp(sdp::Direction::SendRecv), "application/sdp");
    invite_final_ = false;
    invite_txn_ = inst_.txn().send_request(
        dest_, invite_wire_, [this](const sip::Message *r) { on_invite_response(r); }, true);
    track(invite_txn_);
}

void Call::on_invite_response(const sip::Message *resp) {
    if (!resp) {
        disconnected(SIPX_CAUSE_NO_RESPONSE, 0);
        return;
    }
    int code = resp->status();
    if (code >= 200) invite_final_ = true;
    if (code < 200) {
        if (state_ == State::Calling) state_ = State::Early;
        if (cancel_pending_) {
            cancel_pending_ = false;
            send_cancel();
            return;
        }
        // Early media: a provisional answer with a description.
        sdp::Remote early;
        if (code > 100 && !released && !resp->body().empty() && sdp::parse(resp->body(), &early)) {
            remote_sdp_ = early;
            apply_remote(early);
        }
        if (code > 100 && !alerted_ && !released) {
            alerted_ = true;
            inst_.emit_call(handle, line_handle, SIPX_CALLSTATE_REMOTE_ALERTING, SIPX_CAUSE_NORMAL, code);
        }
        return;
    }
    if (code < 300) {
        confirm_2xx(*resp);
        return;
    }
    if ((code == 401 || code == 407) && !released && line_ &&
        auth_.on_challenge(*resp, line_->creds) != AuthSession::Outcome::Failed) {
        send_invite();
        return;
    }
    disconnected(cause_for(code), code);
}

void Call::confirm_2xx(const sip::Message &resp) {
    auth_.accepted();
    confirmed_ = true;
    remote_tag_ = std::string(resp.to_tag());
    to_header_ = std::string(resp.value(sip::Hdr::To));
    take_remote_target(resp);
    route_set_.clear();
    for (const auto &h : resp.headers()) {
        if (h.id != sip::Hdr::RecordRoute) continue;
        sip::for_each_element(h.value, [&](std::string_view el) {
            route_set_.emplace_back(el);
            return true;
        });
    }
    std::reverse(route_set_.begin(), route_set_.end());  // UAC: reverse order
    if (route_set_.size() > kMaxRoutes) route_set_.resize(kMaxRoutes);
    update_hop();
    sdp::Remote rs;
    bool have_sdp = sdp::parse(resp.body(), &rs);
    if (have_sdp) remote_sdp_ = rs;
    send_ack(invite_cseq_);
    if (released || cancel_pending_ || disconnect_reported_) {
        // The answer came after we gave the call up (hang-up, CANCEL,
        // timeout): confirm it, then end it, so nobody is billed for it.
        cancel_pending_ = false;
        send_bye();
        return;
    }
    state_ = State::Connected;
    if (have_sdp) apply_remote(rs);
    connected_at_ = inst_.now();  // early media's silence before the answer does not count
    watch_media();
    inst_.emit_call(handle, line_handle, SIPX_CALLSTATE_CONNECTED, SIPX_CAUSE_NORMAL, resp.status());
}

void Call::take_remote_target(const sip::Message &m) {
    std::string_view contact = m.value(sip::Hdr::Contact);
    sip::NameAddr na;
    if (contact.empty() || !sip::parse_name_addr(contact, &na)) return;
    std::string t = request_uri_of(na.uri_text);
    if (!t.empty()) remote_target_ = t;  // an unusable Contact leaves the target as it was
}

void Call::apply_remote(const sdp::Remote &rs) {
    uint32_t ip = 0;
    ++sdp_gen_;
    if (rs.address.empty() || parse_ipv4(rs.address, &ip)) {
        inst_.media->configure(handle, media::params_from(rs));
        return;
    }
    // c= with a host name: looked up off the lock, applied when known.
    uint64_t gen = sdp_gen_;
    inst_.resolve(rs.address, handle, [this, rs, gen](bool ok, uint32_t addr) {
        if (gen != sdp_gen_ || state_ == State::Terminated) return;
        sdp::Remote r = rs;
        r.address = ok ? Endpoint{addr, 0}.ip_text() : "0.0.0.0";
        inst_.media->configure(handle, media::params_from(r));
    });
}

void Call::update_hop() {
    std::string uri = remote_target_;
    if (!route_set_.empty()) {
        sip::NameAddr na;
        if (sip::parse_name_addr(route_set_.front(), &na)) uri = std::string(na.uri_text);
    }
    sip::Uri u;
    if (!sip::parse_uri(uri, &u) || !u.is_sip() || u.host.empty()) {
        hop_ = dest_;
        hop_ready_ = true;
        return;
    }
    uint16_t port = u.port ? u.port : 5060;
    uint64_t gen = ++hop_gen_;
    hop_ready_ = false;
    inst_.resolve(std::string(u.host), handle, [this, port, gen](bool ok, uint32_t ip) {
        if (gen != hop_gen_) return;
        hop_ = ok ? Endpoint{ip, port} : dest_;
        hop_ready_ = true;
        std::vector<std::function<void()>> waiting;
        waiting.swap(hop_waiting_);
        for (auto &f : waiting) f();
    });
}

void Call::give_up_lookups() {
    if (hop_ready_) return;
    ++hop_gen_;
    hop_ = dest_;
    hop_ready_ = true;
    std::vector<std::function<void()>> waiting;
    waiting.swap(hop_waiting_);
    for (auto &f : waiting) f();
}

void Call::when_hop(std::function<void()> fn) {
    if (hop_ready_) fn();
    else hop_waiting_.push_back(std::move(fn));
}

void Call::watch_media() {
    int64_t limit = inst_.timer_settings().media_timeout;
    int64_t period = std::clamp<int64_t>(limit / 4, 10, 1000);
    media_watch_.start(inst_.now(), period, [this, limit] {
        if (state_ != State::Connected || released) return;
        int64_t now = inst_.now();
        bool may_pause = false;
        int64_t quiet = inst_.media->quiet_ms(handle, now, &may_pause);
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

Endpoint Call::next_hop() const { return hop_; }

std::string Call::dialog_request(const std::string &method, uint32_t cseq, const std::string &branch,
                                 std::string_view body, std::string_view ctype) {
    Endpoint hop = next_hop();
    sip::Writer w;
    w.request_line(method, remote_target_);
    w.header(sip::Hdr::Via, "SIP/2.0/UDP " + inst_.via_sent_by(hop) + (inst_.config.rport ? ";rport" : "") +
                                ";branch=" + branch);
    w.header(sip::Hdr::MaxForwards, 70);
    w.header(sip::Hdr::From, "<" + local_uri_ + ">;tag=" + local_tag_);
    w.header(sip::Hdr::To, to_header_);
    w.header(sip::Hdr::CallId, call_id_);
    w.header(sip::Hdr::CSeq, std::to_string(cseq) + " " + method);
    for (const auto &r : route_set_) w.header(sip::Hdr::Route, r);
    if (method == "INVITE") {
        std::string user = line_ ? line_->id.user : inst_.config.identity;
        w.header(sip::Hdr::Contact, "<sip:" + user + "@" + inst_.contact_host_port(hop) + ">");
        w.header(sip::Hdr::Allow, kAllow);
    }
    if (method != "ACK")
        for (const auto &h : auth_.headers(method, remote_target_)) w.header(h.first, h.second);
    w.header(sip::Hdr::UserAgent, inst_.config.user_agent);
    return w.finish(body, ctype);
}

void Call::send_ack(uint32_t cseq) {
    last_ack_cseq_ = cseq;
    last_ack_.clear();
    when_hop([this, cseq] {
        last_ack_ = dialog_request("ACK", cseq, inst_.new_branch(), {}, {});
        if (cseq == invite_cseq_) invite_ack_ = last_ack_;
        inst_.send(next_hop(), last_ack_);
    });
}

bool Call::on_stray_2xx(const sip::Message &resp) {
    if (resp.call_id() != call_id_ || resp.cseq_method() != "INVITE") return false;
    if (resp.cseq() == invite_cseq_) {
        if (confirmed_) {
            // Our ACK was lost: repeat it. Another tag: a second branch of a
            // forked call answered too; that dialog is ended at once.
            if (resp.to_tag() != remote_tag_) end_other_dialog(resp);
            else if (!invite_ack_.empty()) inst_.send(next_hop(), invite_ack_);
            return true;
        }
        if (released || disconnect_reported_) {
            // The INVITE transaction is gone (timed out after our CANCEL, or
            // before any provisional) and the callee answers now.
            confirm_2xx(resp);
            return true;
        }
        return false;
    }
    if (resp.cseq() == last_ack_cseq_) {
        if (!last_ack_.empty()) inst_.send(next_hop(), last_ack_);  // a re-INVITE's ACK was lost
        return true;
    }
    return false;
}

void Call::end_other_dialog(const sip::Message &resp) {
    std::string tag(resp.to_tag());
    bool known = std::find(other_dialogs_.begin(), other_dialogs_.end(), tag) != other_dialogs_.end();
    if (!known && other_dialogs_.size() >= 8) return;  // a peer inventing tags gets no more of our requests
    sip::NameAddr na;
    std::string_view contact = resp.value(sip::Hdr::Contact);
    std::string target = contact.empty() || !sip::parse_name_addr(contact, &na) ? std::string() : request_uri_of(na.uri_text);
    if (target.empty()) target = target_;
    std::vector<std::string> routes;
    for (const auto &h : resp.headers())
        if (h.id == sip::Hdr::RecordRoute)
            sip::for_each_element(h.value, [&](std::string_view el) {
                routes.emplace_back(el);
                return true;
            });
    std::reverse(routes.begin(), routes.end());
    if (routes.size() > kMaxRoutes) return;
    // Through the proxy our INVITE went to: it knows the way to that branch.
    auto request = [&](const char *method, uint32_t cseq) {
        sip::Writer w;
        w.request_line(method, target);
        w.header(sip::Hdr::Via, "SIP/2.0/UDP " + inst_.via_sent_by(dest_) + (inst_.config.rport ? ";rport" : "") +
                                    ";branch=" + inst_.new_branch());
        w.header(sip::Hdr::MaxForwards, 70);
        w.header(sip::Hdr::From, "<" + local_uri_ + ">;tag=" + local_tag_);
        w.header(sip::Hdr::To, resp.value(sip::Hdr::To));
        w.header(sip::Hdr::CallId, call_id_);
        w.header(sip::Hdr::CSeq, std::to_string(cseq) + " " + method);
        for (const auto &r : routes) w.header(sip::Hdr::Route, r);
        w.header(sip::Hdr::UserAgent, inst_.config.user_agent);
        return w.finish();
    };
    inst_.send(dest_, request("ACK", invite_cseq_));
    if (known) return;  // a retransmitted 2xx: the ACK again, the BYE is under way
    other_dialogs_.push_back(tag);
    track(inst_.txn().send_request(dest_, request("BYE", invite_cseq_ + 1), [](const sip::Message *) {}));
}

void Call::send_in_dialog(const std::string &method, std::string_view body, std::string_view ctype, ResponseFn fn) {
    uint32_t cseq = ++cseq_;
    when_hop([this, method, cseq, b = std::string(body), c = std::string(ctype), fn = std::move(fn)]() mutable {
        std::string wire = dialog_request(method, cseq, inst_.new_branch(), b, c);
        track(inst_.txn().send_request(next_hop(), wire, std::move(fn)));
    });
}

void Call::send_cancel() {
    sip::Message inv;
    if (!inv.parse(invite_wire_)) {
        // Cannot happen with our own INVITE; if it did, the INVITE is given
        // up as below rather than left to ring for ever.
        state_ = State::Terminating;
        inst_.txn().cancelled(invite_txn_);
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
    w.header(sip::Hdr::UserAgent, inst_.config.user_agent);
    state_ = State::Terminating;
    track(inst_.txn().send_request(dest_, w.finish(), [](const sip::Message *) {}));
    // The INVITE transaction ends with 487 (or a crossing 2xx); without
    // either it is given up 64*T1 from now (RFC 3261 9.1).
    inst_.txn().cancelled(invite_txn_);
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

SIPX_RESULT Call::hold(bool on, bool stop_remote_audio) {
    if (state_ != State::Connected || released) return SIPX_RESULT_INVALID_STATE;
    if (reinvite_pending_) return SIPX_RESULT_BUSY;
    if (held_ == on) return SIPX_RESULT_SUCCESS;
    reinvite_pending_ = true;
    ++sdp_version_;
    // Held audio stops at once; the answer does not change that.
    inst_.media->set_hold(handle, on);
    sdp::Direction dir = on ? (stop_remote_audio ? sdp::Direction::SendOnly : sdp::Direction::Inactive)
                            : sdp::Direction::SendRecv;
    auth_.accepted();
    send_in_dialog("INVITE", build_sdp(dir), "application/sdp", [this, on](const sip::Message *r) {
        if (r && r->status() < 200) return;
        reinvite_pending_ = false;
        if (!r) {  // no answer: the hold did not happen
            if (!released) inst_.media->set_hold(handle, held_);
            return;
        }
        if (r->status() < 300) {
            send_ack(r->cseq());
            if (released || state_ != State::Connected) return;
            held_ = on;
            if (on) inst_.emit_call(handle, line_handle, SIPX_CALLSTATE_HELD, SIPX_CAUSE_NORMAL, r->status());
            return;
        }
        if ((r->status() == 401 || r->status() == 407) && line_ && !released &&
            auth_.on_challenge(*r, line_->creds) != AuthSession::Outcome::Failed) {
            hold(on, true);
            return;
        }
        if (!released) inst_.media->set_hold(handle, held_);  // refused: as before
    });
    return SIPX_RESULT_SUCCESS;
}

void Call::release() {
    if (released) return;
    released = true;
    inst_.media->close_stream(handle);
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
    inst_.emit_call(handle, line_handle, SIPX_CALLSTATE_DESTROYED, SIPX_CAUSE_LOCAL_HANGUP, 0);
    if (state_ == State::Terminated) linger();
}

void Call::linger() {
    // Stay a little to repeat ACKs for retransmitted 2xx, then go. An INVITE
    // that never had its final answer may still be answered: stay as long
    // as a 2xx could come, so it is acknowledged and ended.
    int64_t t1 = inst_.timer_settings().t1;
    if (!linger_.active()) linger_.start(inst_.now(), invite_final_ ? 8 * t1 : 64 * t1, [] {});
}

void Call::disconnected(uint32_t cause, int status) {
    state_ = State::Terminated;
    inst_.media->close_stream(handle);
    if (released) linger();
    if (disconnect_reported_) return;
    disconnect_reported_ = true;
    inst_.emit_call(handle, line_handle, SIPX_CALLSTATE_DISCONNECTED, cause, status);
}

bool Call::matches(const sip::Message &m) const {
    if (call_id_.empty() || m.call_id() != call_id_ || m.to_tag() != local_tag_) return false;
    return remote_tag_.empty() || m.from_tag() == remote_tag_;
}

void Call::on_request(const sip::Message &m, const Endpoint &from) {
    std::string_view method = m.method();
    if (method == "ACK") return;
    if (method == "BYE") {
        inst_.send_response(m, from, 200, {}, {}, {}, local_tag_);
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
            inst_.send_response(m, from, 491, {}, {}, {}, local_tag_);
            return;
        }
        // An offer from the peer: answer with the formats of it we have.
        sdp::Remote rs;
        sdp::Direction dir = held_ ? sdp::Direction::SendOnly : sdp::Direction::SendRecv;
        if (!m.body().empty() && sdp::parse(m.body(), &rs)) {
            std::vector<sdp::Payload> answer = media::answer_payloads(rs);
            bool audio = false;
            for (const auto &p : answer) audio = audio || p.name != "telephone-event";
            if (!audio) {
                inst_.send_response(m, from, 488, {}, {}, {}, local_tag_);
                return;
            }
            remote_sdp_ = rs;
            payloads_ = answer;
            dir = media::answer_direction(rs.direction, held_);
            apply_remote(rs);
        }
        std::string before = remote_target_;
        take_remote_target(m);
        if (remote_target_ != before) update_hop();
        ++sdp_version_;
        std::string body = build_sdp(dir);
        std::string user = line_ ? line_->id.user : inst_.config.identity;
        inst_.send_response(m, from, 200,
                            {{"Contact", "<sip:" + user + "@" + inst_.contact_host_port(from) + ">"},
                             {"Allow", kAllow}},
                            body, "application/sdp", local_tag_);
        return;
    }
    if (method == "OPTIONS" || method == "INFO" || method == "NOTIFY" || method == "UPDATE") {
        inst_.send_response(m, from, 200, {}, {}, {}, local_tag_);
        return;
    }
    inst_.send_response(m, from, 501, {{"Allow", kAllow}}, {}, {}, local_tag_);
}

}  // namespace callctl
