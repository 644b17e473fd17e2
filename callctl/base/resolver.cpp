#include "resolver.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "base.h"
#include "log.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace callctl {

namespace {

// Never destroyed: a worker still blocked in a lookup when the process
// ends may come back to them.
struct Override {
    uint32_t ip = 0;
    int delay_ms = 0;
};
std::mutex &g_override_mu = *new std::mutex;
std::map<std::string, Override> &g_overrides = *new std::map<std::string, Override>;

bool lookup(const std::string &host, uint32_t *ip) {
    Override o;
    bool overridden = false;
    {
        std::lock_guard<std::mutex> g(g_override_mu);
        auto it = g_overrides.find(host);
        if (it != g_overrides.end()) {
            o = it->second;
            overridden = true;
        }
    }
    if (overridden) {
        if (o.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(o.delay_ms));
        *ip = o.ip;
        return o.ip != 0;
    }
    if (resolve_host(host, ip)) return true;
    CALLCTL_LOG(log::Warning, "host name %s could not be looked up", host.c_str());
    return false;
}

// A run of SIP server lookups is queued under this key: no host name holds
// the first byte.
std::string target_key(const std::string &domain, const std::vector<Transport> &transports) {
    std::string k = "\x01" + domain + "/";
    for (Transport t : transports) k.push_back(char('0' + int(t)));
    return k;
}

}  // namespace

struct Resolver::Shared {
    std::mutex mu;
    std::condition_variable cv;
    std::function<void()> wake;  // cleared when the resolver goes
    bool quit = false;
    bool worker_running = false;
    struct Job {
        std::string host;  // or the domain of a run of SIP server lookups
        bool locate = false;
        std::vector<Transport> transports;
    };
    std::deque<Job> queue;
    std::set<std::string> inflight;  // host names and target_key()s
    std::vector<Answer> answers;
    std::vector<TargetAnswer> target_answers;
    DnsCache dns_cache;  // its own lock
    int64_t good_ttl = kGoodTtlMs;
    struct Entry {
        bool ok = false;  // ip is the last good answer (fresh until good_until, then stale)
        uint32_t ip = 0;
        int64_t good_until = 0;
        int64_t bad_until = 0;  // the last lookup failed: none again before this
    };
    std::map<std::string, Entry> cache;

    // One run of SIP server lookups (worker thread).
    TargetAnswer locate(const std::string &domain, const std::vector<Transport> &transports);

    void store(const std::string &host, bool ok, uint32_t ip) {
        // Names come from peers: keep it small.
        if (cache.size() > 256 && !cache.count(host)) cache.clear();
        Entry &e = cache[host];
        int64_t now = now_ms();
        if (ok) {
            e.ok = true;
            e.ip = ip;
            e.good_until = now + good_ttl;
            e.bad_until = 0;
        } else {
            // A failure keeps the last good answer (stale) while it may be given.
            e.bad_until = now + kBadTtlMs;
            if (e.ok && now > e.good_until + kStaleMs) e.ok = false;
        }
    }
};

Resolver::TargetAnswer Resolver::Shared::locate(const std::string &domain, const std::vector<Transport> &transports) {
    const int64_t deadline = now_ms() + kLocateBudgetMs;
    TargetAnswer a{domain, transports, LocateResult::Failed, {}};
    a.result = locate_sip_targets(
        domain, transports,
        [this, deadline](const std::string &name, uint16_t type, dns::Answer *out) {
            if (dns_cache.find(name, type, out)) return true;
            if (!dns::query(name, type, deadline, out)) return false;
            dns_cache.store(name, type, *out);
            return true;
        },
        &a.targets);
    if (a.result == LocateResult::Failed) {
        CALLCTL_LOG(log::Warning, "SIP servers of %s: the name servers did not answer", domain.c_str());
    } else {
        CALLCTL_LOG(log::Info, "SIP servers of %s: %u found%s", domain.c_str(), unsigned(a.targets.size()),
                    a.result == LocateResult::Partial ? " (some lookups did not answer)" : "");
        for (const SipTarget &t : a.targets)
            CALLCTL_LOG(log::Debug, "  %s %s:%u %s", transport_name(t.transport), t.host.c_str(), unsigned(t.port),
                        Endpoint{t.ip, t.port}.text().c_str());
    }
    return a;
}

Resolver::Resolver(std::function<void()> wake) : s_(std::make_shared<Shared>()) { s_->wake = std::move(wake); }

Resolver::~Resolver() { shutdown(); }

void Resolver::shutdown() {
    std::lock_guard<std::mutex> g(s_->mu);
    s_->quit = true;
    s_->wake = nullptr;
    s_->cv.notify_all();
}

bool Resolver::cached(const std::string &host, uint32_t *ip) {
    if (parse_ipv4(host, ip)) return true;
    std::lock_guard<std::mutex> g(s_->mu);
    auto it = s_->cache.find(host);
    if (it == s_->cache.end() || !it->second.ok || it->second.good_until < now_ms()) return false;
    *ip = it->second.ip;
    return true;
}

bool Resolver::cached_or_stale(const std::string &host, uint32_t *ip) {
    if (parse_ipv4(host, ip)) return true;
    int64_t age = 0;
    {
        std::lock_guard<std::mutex> g(s_->mu);
        auto it = s_->cache.find(host);
        int64_t now = now_ms();
        if (it == s_->cache.end() || !it->second.ok || now > it->second.good_until + kStaleMs) return false;
        const auto &e = it->second;
        *ip = e.ip;
        if (now <= e.good_until || now < e.bad_until || s_->inflight.count(host)) return true;
        age = now - e.good_until;
    }
    CALLCTL_LOG(log::Info, "host name %s: its answer expired %lld s ago; used while it is looked up again",
                host.c_str(), static_cast<long long>(age / 1000));
    request(host);
    return true;
}

bool Resolver::known_bad(const std::string &host) {
    std::lock_guard<std::mutex> g(s_->mu);
    auto it = s_->cache.find(host);
    return it != s_->cache.end() && it->second.bad_until >= now_ms();
}

bool Resolver::resolve_now(const std::string &host, uint32_t *ip) {
    if (parse_ipv4(host, ip)) return true;
    uint32_t got = 0;
    bool ok = lookup(host, &got);
    std::lock_guard<std::mutex> g(s_->mu);
    s_->store(host, ok, got);
    if (ok) *ip = got;
    return ok;
}

void Resolver::request(const std::string &host) {
    std::lock_guard<std::mutex> g(s_->mu);
    if (s_->quit || !s_->inflight.insert(host).second) return;
    s_->queue.push_back(Shared::Job{host, false, {}});
    start_worker();
}

void Resolver::start_worker() {
    if (!s_->worker_running) {
        s_->worker_running = true;
#ifdef _WIN32
        // The worker may outlive the instance (a lookup that hangs): the
        // library stays loaded for as long as the process runs.
        HMODULE self = nullptr;
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCSTR>(&lookup), &self);
#endif
        std::shared_ptr<Shared> s = s_;
        std::thread([s] {
            name_this_thread("callctl-dns");
            std::unique_lock<std::mutex> g(s->mu);
            while (!s->quit) {
                if (s->queue.empty()) {
                    // An idle worker ends after a while; the next request starts another.
                    if (s->cv.wait_for(g, std::chrono::seconds(10)) == std::cv_status::timeout && s->queue.empty())
                        break;
                    continue;
                }
                Shared::Job job = std::move(s->queue.front());
                s->queue.pop_front();
                g.unlock();
                if (job.locate) {
                    TargetAnswer a = s->locate(job.host, job.transports);
                    g.lock();
                    s->inflight.erase(target_key(job.host, job.transports));
                    // Nobody may be taking them: keep a bounded number.
                    if (s->target_answers.size() >= 64) s->target_answers.erase(s->target_answers.begin());
                    s->target_answers.push_back(std::move(a));
                } else {
                    uint32_t ip = 0;
                    bool ok = lookup(job.host, &ip);
                    g.lock();
                    s->inflight.erase(job.host);
                    s->store(job.host, ok, ip);
                    s->answers.push_back(Answer{job.host, ok, ip});
                }
                if (s->wake) s->wake();
            }
            s->worker_running = false;
        }).detach();
    } else {
        s_->cv.notify_one();
    }
}

std::vector<Resolver::Answer> Resolver::take_answers() {
    std::lock_guard<std::mutex> g(s_->mu);
    std::vector<Answer> out;
    out.swap(s_->answers);
    return out;
}

bool Resolver::cached_targets(const std::string &domain, const std::vector<Transport> &transports,
                              std::vector<SipTarget> *out) {
    DnsCache &cache = s_->dns_cache;
    std::vector<SipTarget> got;
    LocateResult r = locate_sip_targets(
        domain, transports,
        [&cache](const std::string &name, uint16_t type, dns::Answer *a) { return cache.find(name, type, a); }, &got);
    if (r != LocateResult::Complete) return false;
    *out = std::move(got);
    return true;
}

void Resolver::request_targets(const std::string &domain, const std::vector<Transport> &transports) {
    std::lock_guard<std::mutex> g(s_->mu);
    if (s_->quit || !s_->inflight.insert(target_key(domain, transports)).second) return;
    s_->queue.push_back(Shared::Job{domain, true, transports});
    start_worker();
}

std::vector<Resolver::TargetAnswer> Resolver::take_target_answers() {
    std::lock_guard<std::mutex> g(s_->mu);
    std::vector<TargetAnswer> out;
    out.swap(s_->target_answers);
    return out;
}

void Resolver::set_override(const std::string &host, uint32_t ip, int delay_ms) {
    std::lock_guard<std::mutex> g(g_override_mu);
    g_overrides[host] = Override{ip, delay_ms};
}

void Resolver::set_good_ttl_ms(int64_t ms) {
    std::lock_guard<std::mutex> g(s_->mu);
    s_->good_ttl = ms;
}

void Resolver::clear_overrides() {
    std::lock_guard<std::mutex> g(g_override_mu);
    g_overrides.clear();
}

}  // namespace callctl
