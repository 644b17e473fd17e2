// In-dialog routing of a call: the next hop (remote target or first route,
// a host name there looked up off the lock while requests wait), the
// requests we send in the dialog and their ACKs, 2xx retransmissions no
// transaction claimed, and the dialogs of forked answers we end at once.
#include <algorithm>

#include "../base/log.h"
#include "ua.h"

namespace callctl {

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
    host_.resolve(std::string(u.host), handle, [this, port, gen](bool ok, uint32_t ip) {
        if (gen != hop_gen_) return;
        hop_ = ok ? flow(Endpoint{ip, port}) : dest_;
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

Endpoint Call::next_hop() const { return hop_; }

std::string Call::dialog_request(const std::string &method, uint32_t cseq, const std::string &branch,
                                 std::string_view body, std::string_view ctype, const Headers &extra) {
    Endpoint hop = next_hop();
    sip::Writer w;
    w.request_line(method, remote_target_);
    w.header(sip::Hdr::Via, host_.via(hop, branch));
    w.header(sip::Hdr::MaxForwards, 70);
    w.header(sip::Hdr::From, "<" + local_uri_ + ">;tag=" + local_tag_);
    w.header(sip::Hdr::To, to_header_);
    w.header(sip::Hdr::CallId, call_id_);
    w.header(sip::Hdr::CSeq, std::to_string(cseq) + " " + method);
    for (const auto &r : route_set_) w.header(sip::Hdr::Route, r);
    if (method == "INVITE" || method == "UPDATE") {
        w.header(sip::Hdr::Contact, contact_header(hop));
        w.header(sip::Hdr::Allow, kAllow);
    }
    if (method == "ACK") {
        // The ACK of a 2xx carries the credentials of its INVITE (RFC 3261 13.2.2.4).
        const Headers *same = cseq == invite_cseq_ ? &invite_auth_
                              : cseq == reinvite_auth_cseq_ ? &reinvite_auth_ : nullptr;
        if (same)
            for (const auto &h : *same) w.header(h.first, h.second);
    } else {
        Headers creds = auth_.headers(method, remote_target_);
        for (const auto &h : creds) w.header(h.first, h.second);
        if (method == "INVITE") {
            reinvite_auth_ = std::move(creds);
            reinvite_auth_cseq_ = cseq;
        }
    }
    for (const auto &h : extra) w.header(h.first, h.second);
    w.header(sip::Hdr::UserAgent, host_.config.user_agent);
    return w.finish(body, ctype);
}

void Call::send_ack(uint32_t cseq) {
    last_ack_cseq_ = cseq;
    last_ack_.clear();
    when_hop([this, cseq] {
        last_ack_ = dialog_request("ACK", cseq, host_.new_branch(), {}, {}, {});
        if (cseq == invite_cseq_) invite_ack_ = last_ack_;
        host_.send(next_hop(), last_ack_);
    });
}

bool Call::on_stray_2xx(const sip::Message &resp) {
    if (resp.call_id() != call_id_ || resp.cseq_method() != "INVITE") return false;
    if (resp.cseq() == invite_cseq_) {
        if (confirmed_) {
            // Our ACK was lost: repeat it. Another tag: a second branch of a
            // forked call answered too; that dialog is ended at once.
            if (resp.to_tag() != remote_tag_) end_other_dialog(resp);
            else if (!invite_ack_.empty()) host_.send(next_hop(), invite_ack_);
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
        if (!last_ack_.empty()) host_.send(next_hop(), last_ack_);  // a re-INVITE's ACK was lost
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
        w.header(sip::Hdr::Via, host_.via(dest_, host_.new_branch()));
        w.header(sip::Hdr::MaxForwards, 70);
        w.header(sip::Hdr::From, "<" + local_uri_ + ">;tag=" + local_tag_);
        w.header(sip::Hdr::To, resp.value(sip::Hdr::To));
        w.header(sip::Hdr::CallId, call_id_);
        w.header(sip::Hdr::CSeq, std::to_string(cseq) + " " + method);
        for (const auto &r : routes) w.header(sip::Hdr::Route, r);
        w.header(sip::Hdr::UserAgent, host_.config.user_agent);
        return w.finish();
    };
    host_.send(dest_, request("ACK", invite_cseq_));
    if (known) return;  // a retransmitted 2xx: the ACK again, the BYE is under way
    other_dialogs_.push_back(tag);
    track(host_.txn().send_request(dest_, request("BYE", invite_cseq_ + 1), [](const sip::Message *) {}));
}

uint32_t Call::send_in_dialog(const std::string &method, std::string_view body, std::string_view ctype, ResponseFn fn,
                              Headers extra) {
    uint32_t cseq = ++cseq_;
    when_hop([this, method, cseq, b = std::string(body), c = std::string(ctype), fn = std::move(fn),
              extra = std::move(extra)]() mutable {
        std::string wire = dialog_request(method, cseq, host_.new_branch(), b, c, extra);
        track(host_.txn().send_request(next_hop(), wire, std::move(fn)));
    });
    return cseq;
}

bool Call::matches(const sip::Message &m) const {
    if (call_id_.empty() || m.call_id() != call_id_ || m.to_tag() != local_tag_) return false;
    return remote_tag_.empty() || m.from_tag() == remote_tag_;
}

}  // namespace callctl
