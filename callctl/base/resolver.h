// Host-name lookups that never run under the instance lock.
//
// A lookup can take seconds (a dead DNS server), so the library thread never
// makes one: it asks the cache (`cached`, which also takes dotted quads) and,
// on a miss, queues the name for the resolver's own worker thread
// (`request`); the answers are collected by the library thread after the
// worker wakes it (`take_answers`). API calls that need a name at once
// resolve it on the caller's thread before they take the instance lock
// (`resolve_now`), which fills the cache for the code under the lock.
//
// An answer that has expired is not thrown away: `cached_or_stale` still
// gives it (for a day) and queues a fresh lookup on the worker, so a call
// to a name looked up before never waits for a slow name server; the call
// after the worker's answer uses the fresh one. A fresh lookup that fails
// keeps the old answer and is not tried again for kBadTtlMs.
//
// The same worker finds a SIP domain's servers (RFC 3263 through the
// library's own DNS client, sip_locate.h): `cached_targets` answers from the
// record cache without blocking when every record needed is there, else
// `request_targets` queues the lookups and `take_target_answers` collects
// the list after the wake callback, as for host names. One run takes at
// most kLocateBudgetMs, however many name servers are dead.
//
// The worker holds only a shared state block: when the resolver goes away
// while a lookup is still blocked, the worker finishes alone and its
// answer is dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sip_locate.h"

namespace callctl {

class Resolver {
public:
    // Good answers are kept this long; failed ones a short while, so a
    // missing name is not looked up on every request.
    static constexpr int64_t kGoodTtlMs = 300000;
    static constexpr int64_t kBadTtlMs = 5000;
    // How long after its expiry a good answer may still be given.
    static constexpr int64_t kStaleMs = 24 * 3600 * 1000;
    // The longest a run of SIP server lookups may take.
    static constexpr int64_t kLocateBudgetMs = 4000;

    // wake: called on the worker thread when answers are waiting.
    explicit Resolver(std::function<void()> wake);
    ~Resolver();  // shuts down
    // No more requests are taken and the wake callback is never called again.
    void shutdown();
    Resolver(const Resolver &) = delete;
    Resolver &operator=(const Resolver &) = delete;

    // A dotted quad, or a fresh good entry of the cache; never blocks.
    bool cached(const std::string &host, uint32_t *ip);
    // As cached, and an expired good answer too, for which a fresh lookup
    // is then queued on the worker (unless one failed a moment ago);
    // never blocks.
    bool cached_or_stale(const std::string &host, uint32_t *ip);
    // The name failed to resolve a moment ago (a fresh failed entry).
    bool known_bad(const std::string &host);
    // Looks the name up on this thread (blocking) and stores the answer.
    bool resolve_now(const std::string &host, uint32_t *ip);
    // Queues a lookup on the worker (once per name while one is under way).
    void request(const std::string &host);

    struct Answer {
        std::string host;
        bool ok = false;
        uint32_t ip = 0;
    };
    std::vector<Answer> take_answers();

    // The SIP servers of a domain over the transports given (in our order
    // of preference), from the cache alone: false when a record needed is
    // not there (or has expired). Never blocks.
    bool cached_targets(const std::string &domain, const std::vector<Transport> &transports,
                        std::vector<SipTarget> *out);
    // Queues the lookups on the worker (once per domain and transports while
    // a run is under way).
    void request_targets(const std::string &domain, const std::vector<Transport> &transports);
    struct TargetAnswer {
        std::string domain;
        std::vector<Transport> transports;  // as requested
        LocateResult result = LocateResult::Failed;
        std::vector<SipTarget> targets;  // in the order to try them
    };
    std::vector<TargetAnswer> take_target_answers();

    // For tests: answers given for names instead of the system's lookup,
    // after delay_ms (a slow name server); ip 0 fails.
    static void set_override(const std::string &host, uint32_t ip, int delay_ms = 0);
    static void clear_overrides();
    // For tests: how long this resolver's good answers stay fresh.
    void set_good_ttl_ms(int64_t ms);

private:
    void start_worker();  // s_->mu held
    struct Shared;
    std::shared_ptr<Shared> s_;
};

}  // namespace callctl
