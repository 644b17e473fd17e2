// Finding a SIP domain's servers (RFC 3263 section 4.1): NAPTR records pick
// the transports and the SRV names, SRV records (RFC 2782) the hosts and
// ports, A records the addresses.
//
//   NAPTR domain      SIP+D2U / SIP+D2T / SIPS+D2T, flag "s", no regexp,
//                     in order, then preference  -> SRV names
//   (none usable)     _sip._udp / _sip._tcp / _sips._tcp .domain, in the
//                     caller's order of transports
//   SRV name          by priority, within one priority in a random order
//                     weighted by weight; target "." offers nothing
//   A target          every address, in the order given
//
// The procedure runs over a lookup function, so one piece of code serves
// the resolver's worker (the cache, then the name servers within a time
// budget) and the library thread (the cache alone, never blocking). The
// records are cached, not the list made of them: each run orders equal-
// priority SRV records afresh, and each record goes when its own TTL ends.
//
// Numeric addresses and URIs with a port need none of this (RFC 3263
// section 4.2): the caller knows the target already.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "dns.h"

namespace callctl {


struct SipTarget {
    Transport transport = Transport::Udp;
    // The SRV target the address belongs to. Not the name a TLS server's
    // certificate is checked against: that is the domain asked (RFC 5922),
    // since nothing here authenticates the DNS answers.
    std::string host;
    uint16_t port = 0;
    uint32_t ip = 0;  // host byte order
    bool operator==(const SipTarget &o) const {
        return transport == o.transport && host == o.host && port == o.port && ip == o.ip;
    }
};

// Answers by name and type until their TTL runs out. Any thread.
class DnsCache {
public:
    // Answers with a TTL of 0 are not kept; none is kept longer than a day.
    static constexpr uint32_t kMaxTtl = 86400;
    bool find(const std::string &name, uint16_t type, dns::Answer *out);
    void store(const std::string &name, uint16_t type, const dns::Answer &a);

private:
    struct Entry {
        dns::Answer answer;
        int64_t until = 0;
    };
    std::mutex mu_;
    std::map<std::pair<std::string, uint16_t>, Entry> map_;
};

// One lookup: false when there is no answer (not in the cache, no server
// answered in time). "No such records" is an answer.
using DnsLookup = std::function<bool(const std::string &name, uint16_t type, dns::Answer *out)>;

enum class LocateResult : uint8_t {
    Complete,  // every lookup answered; an empty list: the domain names no SIP servers
    Partial,   // some lookups did not answer; the list holds what the others gave
    Failed,    // lookups did not answer and nothing was found
};

// The targets to try, in order, for a domain over the transports we
// support, given in our order of preference (which counts only where the
// domain has no usable NAPTR records). *out is always replaced.
LocateResult locate_sip_targets(const std::string &domain, const std::vector<Transport> &transports,
                                const DnsLookup &lookup, std::vector<SipTarget> *out);

}  // namespace callctl
