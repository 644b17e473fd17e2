// A line's ways to its registrar: the first (UDP to the identity's port), what DNS
// names for the domain, the fixed fallbacks, and the one that worked last time; and
// moving from one to the next when a REGISTER goes unanswered.
#include "../base/log.h"
#include "ua.h"

namespace callctl {

void Line::set_paths(const std::vector<Path> &extra, const Path *preferred, bool keep_current) {
    have_preferred_ = preferred != nullptr;
    if (preferred) preferred_ = *preferred;
    located_ = extra;
    std::vector<Path> all;
    auto add = [&all](Path p) {
        for (const Path &q : all)
            if (q == p) return;
        all.push_back(p);
    };
    if (have_preferred_) add(preferred_);
    add({Transport::Udp, id.port});
    for (const Path &p : located_) add(p);
    const uint16_t *fallback = host_.config.fallback_ports;
    const Transport kinds[3] = {Transport::Tcp, Transport::Tls, Transport::Tls};
    for (int i = 0; i < 3; ++i)
        if (fallback[i]) add({kinds[i], fallback[i]});
    if (paths_.empty() || !keep_current) {
        paths_ = all;
        use_path(0);
        return;
    }
    // The way in use keeps its place in the new list.
    Path current = paths_[path_];
    paths_ = all;
    for (size_t i = 0; i < paths_.size(); ++i)
        if (paths_[i] == current) {
            path_ = i;
            return;
        }
    use_path(0);
}

void Line::add_located(const std::vector<SipTarget> &targets) {
    std::vector<Path> extra;
    for (const SipTarget &t : targets)
        if (t.ip != 0 && t.port != 0) extra.push_back({t.transport, t.port, t.ip});
    if (!extra.empty())
        CALLCTL_LOG(log::Info, "line %u: DNS names %u SIP server(s) for %s", unsigned(handle), unsigned(extra.size()),
                    id.host.c_str());
    set_paths(extra, have_preferred_ ? &preferred_ : nullptr, true);
}

void Line::use_path(size_t i) {
    if (path_ < paths_.size() && i != path_ && registrar.transport != Transport::Udp)
        host_.transport().drop(registrar);
    // A located server has its own address; the others are the identity's host.
    bool was_located = path_ < paths_.size() && paths_[path_].ip != 0;
    if (!was_located && paths_[i].ip != 0) domain_ip_ = registrar.ip;
    if (was_located && paths_[i].ip == 0 && domain_ip_ != 0) registrar.ip = domain_ip_;
    path_ = i;
    path_proven_ = false;
    registrar.transport = paths_[i].transport;
    registrar.port = paths_[i].port;
    if (paths_[i].ip != 0) registrar.ip = paths_[i].ip;
    // A TLS server proves the SIP domain's name (RFC 5922), wherever DNS sent us.
    if (registrar.transport == Transport::Tls) host_.transport().set_server_name(registrar, id.host);
}

bool Line::next_path() {
    if (path_ + 1 >= paths_.size()) return false;
    Path was = paths_[path_];
    use_path(path_ + 1);
    CALLCTL_LOG(log::Info, "line %u: no answer over %s port %u; trying %s port %u", unsigned(handle),
                transport_name(was.transport), unsigned(was.port), transport_name(registrar.transport),
                unsigned(registrar.port));
    return true;
}

}  // namespace callctl
