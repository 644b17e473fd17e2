// RFC 3263 server location over a lookup function; the record cache. See
// sip_locate.h.
#include "sip_locate.h"

#include <algorithm>

#include "log.h"

namespace callctl {

namespace {

// A hostile zone cannot make one run ask more than this.
constexpr size_t kMaxSrvNames = 6;
constexpr size_t kMaxHosts = 16;
constexpr size_t kMaxTargets = 32;
constexpr size_t kMaxCache = 512;

struct Service {
    const char *naptr;  // NAPTR service field, lower case
    const char *srv;    // SRV name prefix
    Transport transport;
};
constexpr Service kServices[] = {
    {"sip+d2u", "_sip._udp.", Transport::Udp},
    {"sip+d2t", "_sip._tcp.", Transport::Tcp},
    {"sips+d2t", "_sips._tcp.", Transport::Tls},
};

const Service *service_for(Transport t) {
    for (const auto &s : kServices)
        if (s.transport == t) return &s;
    return nullptr;
}

// An SRV name to ask, for one transport.
struct SrvName {
    Transport transport;
    std::string name;
};

// RFC 2782: ascending priority; within a priority, weight-0 records first,
// then repeatedly a random number in [0, sum of weights] picks the first
// record whose running sum reaches it.
std::vector<dns::Srv> order_srv(std::vector<dns::Srv> recs) {
    std::stable_sort(recs.begin(), recs.end(),
                     [](const dns::Srv &a, const dns::Srv &b) { return a.priority < b.priority; });
    std::vector<dns::Srv> out;
    out.reserve(recs.size());
    for (size_t begin = 0; begin < recs.size();) {
        size_t end = begin;
        while (end < recs.size() && recs[end].priority == recs[begin].priority) ++end;
        std::vector<dns::Srv> group(recs.begin() + long(begin), recs.begin() + long(end));
        std::stable_partition(group.begin(), group.end(), [](const dns::Srv &s) { return s.weight == 0; });
        while (!group.empty()) {
            uint32_t sum = 0;
            for (const auto &s : group) sum += s.weight;
            const uint32_t pick = random_u32() % (sum + 1);
            uint32_t running = 0;
            size_t i = 0;
            for (; i + 1 < group.size(); ++i) {
                running += group[i].weight;
                if (running >= pick) break;
            }
            out.push_back(std::move(group[i]));
            group.erase(group.begin() + long(i));
        }
        begin = end;
    }
    return out;
}

}  // namespace

bool DnsCache::find(const std::string &name, uint16_t type, dns::Answer *out) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = map_.find({name, type});
    if (it == map_.end()) return false;
    if (it->second.until <= now_ms()) {
        map_.erase(it);
        return false;
    }
    *out = it->second.answer;
    return true;
}

void DnsCache::store(const std::string &name, uint16_t type, const dns::Answer &a) {
    if (a.ttl == 0) return;
    std::lock_guard<std::mutex> g(mu_);
    if (map_.size() >= kMaxCache && !map_.count({name, type})) map_.clear();  // names come from peers too
    Entry &e = map_[{name, type}];
    e.answer = a;
    e.until = now_ms() + int64_t(std::min(a.ttl, kMaxTtl)) * 1000;
}

LocateResult locate_sip_targets(const std::string &domain, const std::vector<Transport> &transports,
                                const DnsLookup &lookup, std::vector<SipTarget> *out) {
    out->clear();
    std::string name = domain;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    if (!name.empty() && name.back() == '.') name.pop_back();
    uint32_t ip = 0;
    if (!dns::valid_name(name) || parse_ipv4(name, &ip)) return LocateResult::Complete;  // nothing to look up
    auto wanted = [&](Transport t) { return std::find(transports.begin(), transports.end(), t) != transports.end(); };

    dns::Answer naptr;
    if (!lookup(name, dns::kNaptr, &naptr)) return LocateResult::Failed;
    // The usable NAPTR records by order, then preference (stable: the
    // server's order among equals).
    std::vector<dns::Naptr> usable;
    for (const auto &r : naptr.records) {
        const dns::Naptr &n = r.naptr;
        if (n.flags != "s" || !n.regexp.empty() || !dns::valid_name(n.replacement)) continue;
        for (const auto &s : kServices)
            if (n.service == s.naptr && wanted(s.transport)) usable.push_back(n);
    }
    std::stable_sort(usable.begin(), usable.end(), [](const dns::Naptr &a, const dns::Naptr &b) {
        return a.order != b.order ? a.order < b.order : a.preference < b.preference;
    });
    std::vector<SrvName> srv_names;
    for (const auto &n : usable)
        for (const auto &s : kServices)
            if (n.service == s.naptr) srv_names.push_back(SrvName{s.transport, n.replacement});
    if (srv_names.empty()) {
        for (Transport t : transports)
            if (const Service *s = service_for(t)) srv_names.push_back(SrvName{t, s->srv + name});
    }
    if (srv_names.size() > kMaxSrvNames) srv_names.resize(kMaxSrvNames);

    bool missing = false;
    std::vector<std::string> hosts_asked;
    for (const SrvName &sn : srv_names) {
        dns::Answer srv;
        if (!lookup(sn.name, dns::kSrv, &srv)) {
            missing = true;
            continue;
        }
        std::vector<dns::Srv> recs;
        for (const auto &r : srv.records)
            if (dns::valid_name(r.srv.target)) recs.push_back(r.srv);  // "." offers nothing
        for (const dns::Srv &s : order_srv(std::move(recs))) {
            if (out->size() >= kMaxTargets) break;
            if (std::find(hosts_asked.begin(), hosts_asked.end(), s.target) == hosts_asked.end()) {
                if (hosts_asked.size() >= kMaxHosts) continue;
                hosts_asked.push_back(s.target);
            }
            dns::Answer a;
            if (!lookup(s.target, dns::kA, &a)) {
                missing = true;
                continue;
            }
            for (const auto &r : a.records) {
                SipTarget t{sn.transport, s.target, s.port, r.a};
                if (out->size() < kMaxTargets && std::find(out->begin(), out->end(), t) == out->end())
                    out->push_back(std::move(t));
            }
        }
    }
    if (!missing) return LocateResult::Complete;
    return out->empty() ? LocateResult::Failed : LocateResult::Partial;
}

}  // namespace callctl
