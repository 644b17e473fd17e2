// The instance as the layers below see it (TxnHost, UaHost, CallMedia):
// sending, our addresses, lookups of handles and host names, and the calls'
// media, forwarded to the media engine.
#include <algorithm>

#include "../base/log.h"
#include "../ua/ua.h"
#include "instance.h"

namespace callctl {

bool Instance::send(const Endpoint &to, const std::string &wire) {
    if (to.ip == 0 || to.port == 0) return false;
    bool request = wire.compare(0, 8, "SIP/2.0 ") != 0;
    bool sent = transport_.send(to, wire, request);
    if (log::on(log::Debug)) log::sip_message(true, to, wire);
    if (!sent)
        CALLCTL_LOG(log::Warning, "SIP message of %u bytes could not be sent to %s", unsigned(wire.size()),
                    to.text().c_str());
    return sent;
}

bool Instance::send_raw(const Endpoint &to, const void *data, size_t len) {
    if (to.ip == 0 || to.port == 0) return false;
    return sock_.send_to(to, data, len);
}

std::string Instance::local_ip_for(const Endpoint &dest) {
    uint32_t ip = bind_ip_;
    if (ip == 0 && !local_address_for(dest.ip, &ip)) ip = 0x7f000001;
    return Endpoint{ip, 0}.ip_text();
}

std::string Instance::via_sent_by(const Endpoint &dest) {
    if (dest.transport != Transport::Udp) {
        // A stream's sent-by is its connection's own address.
        std::string a = transport_.local_address(dest);
        if (!a.empty()) return a;
    }
    return local_ip_for(dest) + ":" + std::to_string(sock_.local_port());
}

std::string Instance::contact_host_port(const Endpoint &dest) {
    if (dest.transport != Transport::Udp) return via_sent_by(dest);
    if (public_port_ != 0) return public_ip_ + ":" + std::to_string(public_port_);
    return via_sent_by(dest);
}

std::string Instance::contact_params(const Endpoint &dest) {
    switch (dest.transport) {
    case Transport::Tcp: return ";transport=tcp";
    case Transport::Tls: return ";transport=tls";
    default: return std::string();
    }
}

bool Instance::learn_address(const sip::Message &resp) {
    if (!config.rport) return false;
    const sip::Via &v = resp.top_via();
    // What a server sees of a connection says nothing of our UDP port.
    if (v.transport != "UDP") return false;
    if (v.rport <= 0 && v.received.empty()) return false;
    std::string ip = v.received.empty() ? std::string(v.host) : std::string(v.received);
    uint32_t check = 0;
    if (!parse_ipv4(ip, &check)) return false;
    uint16_t port = v.rport > 0 ? uint16_t(v.rport) : (v.port ? v.port : sock_.local_port());
    bool changed = ip != public_ip_ || port != public_port_;
    public_ip_ = ip;
    public_port_ = port;
    return changed;
}

void Instance::forget_public_address() {
    public_ip_.clear();
    public_port_ = 0;
}

void Instance::line_moved(uint32_t line) {
    for (auto &kv : calls)
        if (kv.second->line_handle == line && !kv.second->released) kv.second->address_changed();
}

Line *Instance::find_line(uint32_t h) {
    auto it = lines.find(h);
    return it == lines.end() ? nullptr : it->second.get();
}

Call *Instance::find_call(uint32_t h) {
    auto it = calls.find(h);
    return it == calls.end() || it->second->released ? nullptr : it->second.get();
}

Conference *Instance::find_conf(uint32_t h) {
    auto it = confs.find(h);
    return it == confs.end() ? nullptr : it->second.get();
}

Line *Instance::line_for_source(const Endpoint &from) {
    for (auto &kv : lines)
        if (!kv.second->removed && kv.second->registrar_known && kv.second->registrar == from)
            return kv.second.get();
    return nullptr;
}

KeepAlive *Instance::keepalive_for(const Endpoint &from) {
    for (auto &k : keepalives)
        if (k->ip == from.ip && k->port == from.port) return k.get();
    return nullptr;
}

void Instance::resolve(const std::string &host, uint64_t owner, std::function<void(bool, uint32_t)> fn,
                       bool fresh) {
    uint32_t ip = 0;
    if (parse_ipv4(host, &ip) || (!fresh && resolver_->cached(host, &ip))) {
        fn(true, ip);
        return;
    }
    if (!fresh && resolver_->known_bad(host)) {  // failed a moment ago: no new lookup yet
        fn(false, 0);
        return;
    }
    if (waiters_.size() >= 256) {  // names from hostile peers: never an unbounded list
        fn(false, 0);
        return;
    }
    waiters_.push_back(Waiter{host, owner, std::move(fn)});
    resolver_->request(host);
}

void Instance::cancel_resolves(uint64_t owner) {
    waiters_.erase(std::remove_if(waiters_.begin(), waiters_.end(), [&](const Waiter &w) { return w.owner == owner; }),
                   waiters_.end());
    locate_waiters_.erase(std::remove_if(locate_waiters_.begin(), locate_waiters_.end(),
                                         [&](const LocateWaiter &w) { return w.owner == owner; }),
                          locate_waiters_.end());
}

namespace {
const std::vector<Transport> kLocateTransports = {Transport::Udp, Transport::Tcp, Transport::Tls};
}

void Instance::locate(const std::string &domain, uint64_t owner,
                      std::function<void(const std::vector<SipTarget> &)> fn) {
    uint32_t ip = 0;
    std::vector<SipTarget> targets;
    if (parse_ipv4(domain, &ip) || resolver_->cached_targets(domain, kLocateTransports, &targets)) {
        fn(targets);
        return;
    }
    if (locate_waiters_.size() >= 64) {
        fn(targets);
        return;
    }
    locate_waiters_.push_back(LocateWaiter{domain, owner, std::move(fn)});
    resolver_->request_targets(domain, kLocateTransports);
}

void Instance::take_resolver_answers() {
    if (!resolver_) return;
    for (const auto &a : resolver_->take_target_answers()) {
        std::vector<LocateWaiter> ready;
        for (auto it = locate_waiters_.begin(); it != locate_waiters_.end();) {
            if (it->domain == a.domain) {
                ready.push_back(std::move(*it));
                it = locate_waiters_.erase(it);
            } else {
                ++it;
            }
        }
        static const std::vector<SipTarget> none;
        for (auto &w : ready) w.fn(a.result == LocateResult::Failed ? none : a.targets);
    }
    for (const auto &a : resolver_->take_answers()) {
        // Take the waiters first: a callback may ask again for the same name.
        std::vector<Waiter> ready;
        for (auto it = waiters_.begin(); it != waiters_.end();) {
            if (it->host == a.host) {
                ready.push_back(std::move(*it));
                it = waiters_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto &w : ready) w.fn(a.ok, a.ip);
    }
}

size_t Instance::live_calls() const {
    size_t n = 0;
    for (const auto &kv : calls)
        if (!kv.second->released) ++n;
    return n;
}

void Instance::reap_finished_calls() {
    for (auto it = calls.begin(); it != calls.end();) {
        if (it->second->finished()) it = calls.erase(it);
        else ++it;
    }
}

void Instance::for_each_line(const std::function<void(Line &)> &fn) {
    for (auto &kv : lines) fn(*kv.second);
}

// ---- the calls' media ---------------------------------------------------------

uint16_t Instance::open_stream(uint32_t call, uint32_t bind_ip, uint16_t first_port, int pairs) {
    return media->open_stream(call, bind_ip, first_port, pairs);
}

void Instance::close_stream(uint32_t call) { media->close_stream(call); }

void Instance::configure_stream(uint32_t call, const sdp::Remote &peer, const sdp::SrtpKeys &srtp) {
    media::StreamParams p = media::params_from(peer);
    p.srtp = srtp;
    media->configure(call, p);
    wipe(&p.srtp, sizeof p.srtp);
}

void Instance::set_stream_hold(uint32_t call, bool held) { media->set_hold(call, held); }

void Instance::set_srtp_mode(SrtpMode mode) {
    std::lock_guard<std::mutex> g(lock);
    config.srtp = mode;
}

int64_t Instance::stream_quiet_ms(uint32_t call, int64_t now, bool *may_pause) {
    return media->quiet_ms(call, now, may_pause);
}

std::vector<sdp::Payload> Instance::offer_payloads(const std::string &codec) { return media::offer_payloads(codec); }

std::vector<sdp::Payload> Instance::answer_payloads(const sdp::Remote &offer) {
    return media::answer_payloads(offer);
}

sdp::Direction Instance::answer_direction(sdp::Direction offered, bool local_hold) {
    return media::answer_direction(offered, local_hold);
}

}  // namespace callctl
