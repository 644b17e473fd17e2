// Outgoing calls: the INVITE dialog (RFC 3261 sections 12-15). This file
// sets a call up: the first INVITE, its answers and the session
// descriptions; call_dialog.cpp routes in-dialog requests, call_reinvite.cpp
// has the re-INVITEs both ways and the peer's requests, call_end.cpp the
// ways a call ends.
//
//   Idle --connect--> Calling --1xx--> Early --2xx/ACK--> Connected
//   Calling/Early --3xx--> Calling (the next Contact, in q order; at most
//       kMaxTargets targets in all, none twice)
//   Calling/Early --401/407/422--> Calling (credentials, a longer session
//       interval; a bounded number of times)
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
#include <cstdlib>

#include "../base/log.h"
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

Call::Call(UaHost &host, uint32_t h, Line *line)
    : handle(h), line_handle(line ? line->handle : 0), host_(host), line_(line), srtp_mode_(host.config.srtp),
      linger_(host.timers()),
      media_watch_(host.timers()), glare_wait_(host.timers()), moved_wait_(host.timers()),
      session_refresh_(host.timers()),
      session_expiry_(host.timers()) {}

Call::~Call() {
    for (uint64_t t : txns_) host_.txn().detach(t);
    host_.cancel_resolves(handle);
    host_.close_stream(handle);
    for (auto &k : offered_keys_) wipe(&k.key, sizeof k.key);
    wipe(&srtp_, sizeof srtp_);
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
    if (!host_.resolver().cached(std::string(na.uri.host), &dest_.ip)) {
        if (!looked_up) return SIPX_RESULT_BAD_ADDRESS;
        dest_.ip = looked_up;
    }
    dest_ = flow(dest_);
    hop_ = dest_;
    // Keys in the description are worth sending only where nobody on the way
    // reads it: a call whose signalling goes over TLS offers SRTP.
    if (srtp_mode_ == SrtpMode::AcceptOnly && dest_.transport == Transport::Tls) srtp_mode_ = SrtpMode::Offer;
    rtp_port_ = host_.open_stream(handle, host_.bind_ip(), host_.config.rtp_port_start,
                                         host_.config.max_calls);
    if (rtp_port_ == 0) return SIPX_RESULT_NETWORK_FAILURE;
    payloads_ = host_.offer_payloads(host_.config.codec);
    target_ = request_uri_of(na.uri_text);
    if (target_.empty()) return SIPX_RESULT_BAD_ADDRESS;
    remote_target_ = target_;
    call_id_ = random_token(24) + "@callctl";
    local_tag_ = random_token(10);
    local_uri_ = line_ ? line_->id.uri : "sip:" + host_.config.identity + "@" + host_.local_ip_for(dest_);
    to_header_ = "<" + target_ + ">";
    cseq_ = random_u32() % 10000 + 1;
    sdp_session_ = random_u32();
    sdp_version_ = 1;
    session_asked_ = host_.timer_settings().session_expires;
    session_min_se_ = host_.timer_settings().min_se;
    targets_tried_.push_back(target_);
    state_ = State::Calling;
    CALLCTL_LOG(log::Info, "call %u: INVITE to %s at %s", unsigned(handle), target_.c_str(), dest_.text().c_str());
    host_.emit_call(handle, line_handle, SIPX_CALLSTATE_REMOTE_OFFERING, SIPX_CAUSE_NORMAL, 0);
    send_invite();
    return SIPX_RESULT_SUCCESS;
}

Endpoint Call::flow(const Endpoint &e) const {
    // A line registered over a connection takes its calls' requests there:
    // the server reaches us through it, and UDP may not pass at all.
    if (line_ && line_->registrar_known && line_->registrar.transport != Transport::Udp) return line_->registrar;
    return e;
}

std::string Call::contact_header(const Endpoint &toward) const {
    std::string user = line_ ? line_->id.user : host_.config.identity;
    return "<sip:" + user + "@" + host_.contact_host_port(toward) + host_.contact_params(toward) + ">";
}

std::string Call::build_sdp(sdp::Direction dir, const sdp::Remote *answering, const std::string &answer_crypto) {
    sdp::Offer o;
    std::string hp = host_.contact_host_port(dest_);
    o.address = hp.substr(0, hp.find(':'));
    o.port = rtp_port_;
    o.session_id = sdp_session_;
    o.version = sdp_version_;
    o.payloads = payloads_;
    o.direction = dir;
    if (answering) {
        sdp::refuse_other_lines(*answering, &o);
        o.secure = answering->secure;
        if (o.secure) o.crypto.push_back(answer_crypto);
    } else {
        o.crypto = offer_crypto();
        o.secure = offered_secure_;
    }
    last_sdp_ = sdp::write(o);
    return last_sdp_;
}

void Call::send_invite() {
    invite_cseq_ = ++cseq_;
    invite_branch_ = host_.new_branch();
    std::string from = "<" + local_uri_ + ">;tag=" + local_tag_;
    if (line_ && !line_->id.display.empty()) from = "\"" + line_->id.display + "\" " + from;
    sip::Writer w;
    w.request_line("INVITE", target_);
    w.header(sip::Hdr::Via, host_.via(dest_, invite_branch_));
    w.header(sip::Hdr::MaxForwards, 70);
    w.header(sip::Hdr::From, from);
    w.header(sip::Hdr::To, to_header_);
    w.header(sip::Hdr::CallId, call_id_);
    w.header(sip::Hdr::CSeq, std::to_string(invite_cseq_) + " INVITE");
    w.header(sip::Hdr::Contact, contact_header(dest_));
    invite_auth_ = auth_.headers("INVITE", target_);
    for (const auto &h : invite_auth_) w.header(h.first, h.second);
    w.header(sip::Hdr::Allow, kAllow);
    for (const auto &h : session_timer_request_headers()) w.header(h.first, h.second);
    w.header(sip::Hdr::UserAgent, host_.config.user_agent);
    invite_wire_ = w.finish(build_sdp(sdp::Direction::SendRecv), "application/sdp");
    invite_final_ = false;
    invite_txn_ = host_.txn().send_request(
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
        // Early media: a provisional answer with a description (one whose
        // keys we cannot use gives no early media; the final answer decides).
        sdp::Remote early;
        sdp::SrtpKeys keys;
        if (code > 100 && !released && !resp->body().empty() && sdp::parse(resp->body(), &early) &&
            keys_from_answer(early, &keys)) {
            remote_sdp_ = early;
            srtp_ = keys;
            apply_remote(early);
        }
        wipe(&keys, sizeof keys);
        if (code > 100 && !alerted_ && !released) {
            alerted_ = true;
            host_.emit_call(handle, line_handle, SIPX_CALLSTATE_REMOTE_ALERTING, SIPX_CAUSE_NORMAL, code);
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
    if (code == 422 && !released && !cancel_pending_ && invite_retries_ < kMaxRetries) {
        // Session interval too small: ask again with the server's Min-SE.
        uint64_t min = 0;
        const sip::HeaderField *h = resp->find("Min-SE");
        std::string_view v = h ? h->value.substr(0, h->value.find(';')) : std::string_view();
        if (sip::parse_uint(sip::trim(v), 86400, &min) && min > session_asked_) {
            ++invite_retries_;
            session_asked_ = uint32_t(min);
            session_min_se_ = std::max(session_min_se_, uint32_t(min));
            send_invite();
            return;
        }
    }
    if (code < 600 && follow_redirect(*resp)) return;
    disconnected(cause_for(code), code);
}

bool Call::follow_redirect(const sip::Message &resp) {
    if (released || cancel_pending_ || disconnect_reported_) return false;
    // The Contacts of a 3xx go to the front of the list, best q first; a
    // failed redirected target moves on to the next one.
    if (resp.status() >= 300 && resp.status() < 400) {
        struct Candidate {
            std::string uri;
            int q;  // thousandths
        };
        std::vector<Candidate> found;
        for (const auto &h : resp.headers()) {
            if (h.id != sip::Hdr::Contact) continue;
            sip::for_each_element(h.value, [&](std::string_view el) {
                sip::NameAddr na;
                if (found.size() >= 8 || !sip::parse_name_addr(el, &na) || !na.uri.is_sip()) return true;
                std::string uri = request_uri_of(na.uri_text);
                if (uri.empty()) return true;
                for (const auto &t : targets_tried_)
                    if (t == uri) return true;  // never a loop
                for (const auto &t : redirects_)
                    if (t == uri) return true;
                int q = 1000;
                std::string_view qv;
                if (sip::find_param(na.params, "q", &qv)) q = int(std::atof(std::string(qv).c_str()) * 1000);
                found.push_back({uri, q});
                return true;
            });
        }
        std::stable_sort(found.begin(), found.end(), [](const Candidate &a, const Candidate &b) { return a.q > b.q; });
        std::vector<std::string> next;
        for (auto &c : found) next.push_back(std::move(c.uri));
        redirects_.insert(redirects_.begin(), next.begin(), next.end());
    }
    if (redirects_.empty() || int(targets_tried_.size()) >= kMaxTargets) return false;
    std::string uri = redirects_.front();
    redirects_.erase(redirects_.begin());
    sip::Uri u;
    if (!sip::parse_uri(uri, &u)) return false;
    CALLCTL_LOG(log::Info, "call %u: redirected (SIP %d) to %s", unsigned(handle), resp.status(), uri.c_str());
    targets_tried_.push_back(uri);
    target_ = remote_target_ = uri;
    state_ = State::Calling;
    invite_retries_ = 0;
    auth_.accepted();
    uint16_t port = u.port ? u.port : 5060;
    uint64_t gen = ++redirect_gen_;
    auto go = [this, port, gen](bool ok, uint32_t ip) {
        if (gen != redirect_gen_) return;
        if (released || cancel_pending_) {
            cancel_pending_ = false;
            state_ = State::Terminated;
            if (released) linger();
            return;
        }
        if (!ok) {
            disconnected(SIPX_CAUSE_NETWORK, 0);
            return;
        }
        dest_ = hop_ = flow(Endpoint{ip, port});
        send_invite();
    };
    uint32_t ip = 0;
    if (host_.resolver().cached(std::string(u.host), &ip)) {
        go(true, ip);
    } else {
        invite_final_ = true;
        host_.resolve(std::string(u.host), handle, go);
    }
    return true;
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
    if (have_sdp) {
        sdp::SrtpKeys keys;
        if (!keys_from_answer(rs, &keys)) {
            unusable_answer();
            return;
        }
        srtp_ = keys;
        wipe(&keys, sizeof keys);
        apply_remote(rs);
    }
    connected_at_ = host_.now();  // early media's silence before the answer does not count
    watch_media();
    session_timer_from_response(resp);
    host_.emit_call(handle, line_handle, SIPX_CALLSTATE_CONNECTED, SIPX_CAUSE_NORMAL, resp.status());
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
        host_.configure_stream(handle, rs, srtp_);
        return;
    }
    // c= with a host name: looked up off the lock, applied when known.
    uint64_t gen = sdp_gen_;
    host_.resolve(rs.address, handle, [this, rs, gen](bool ok, uint32_t addr) {
        if (gen != sdp_gen_ || state_ == State::Terminated) return;
        sdp::Remote r = rs;
        r.address = ok ? Endpoint{addr, 0}.ip_text() : "0.0.0.0";
        host_.configure_stream(handle, r, srtp_);  // the keys of this description (sdp_gen_ unchanged)
    });
}

}  // namespace callctl
