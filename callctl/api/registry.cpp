// The handle registry of the C interface (which instance owns a handle),
// and the host-name lookups API calls make before they take an instance's
// lock.
#include <map>
#include <mutex>

#include "registry.h"

namespace callctl::api {

namespace {
std::mutex g_lock;
std::map<uint32_t, std::shared_ptr<Instance>> g_instances;
std::map<uint32_t, uint32_t> g_owners;
std::function<void()> g_lookup_fault;  // tests only
}  // namespace

std::shared_ptr<Instance> instance(SIPX_INST h) {
    std::lock_guard<std::mutex> g(g_lock);
    if (g_lookup_fault) g_lookup_fault();
    auto it = g_instances.find(h);
    return it == g_instances.end() ? nullptr : it->second;
}

std::shared_ptr<Instance> owner(uint32_t h) {
    std::lock_guard<std::mutex> g(g_lock);
    if (g_lookup_fault) g_lookup_fault();
    auto o = g_owners.find(h);
    if (o == g_owners.end()) return nullptr;
    auto it = g_instances.find(o->second);
    return it == g_instances.end() ? nullptr : it->second;
}

void add_instance(const std::shared_ptr<Instance> &inst) {
    std::lock_guard<std::mutex> g(g_lock);
    g_instances[inst->handle] = inst;
}

std::shared_ptr<Instance> remove_instance(SIPX_INST h) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = g_instances.find(h);
    if (it == g_instances.end()) return nullptr;
    auto inst = it->second;
    g_instances.erase(it);
    for (auto o = g_owners.begin(); o != g_owners.end();) {
        if (o->second == h) o = g_owners.erase(o);
        else ++o;
    }
    return inst;
}

void own(uint32_t h, SIPX_INST inst) {
    std::lock_guard<std::mutex> g(g_lock);
    g_owners[h] = inst;
}

void disown(uint32_t h) {
    std::lock_guard<std::mutex> g(g_lock);
    g_owners.erase(h);
}

// Looks a host name up on the calling thread, before the instance lock is
// taken; 0 when it does not resolve. A name answered before never waits:
// an expired answer is used while the resolver's worker looks it up again
// (the next call gets the new one), and a name that failed a moment ago
// fails at once. Only a name never answered is looked up here, so that
// the call can say at once whether it resolves (the window's thread waits
// for that once, typically for the registrar's name when the line is
// added). A listener calling in on the library thread gets the cache only:
// that thread never waits for a lookup.
uint32_t lookup_unlocked(Instance &inst, const std::string &host) {
    uint32_t ip = 0;
    Resolver &r = inst.resolver();
    if (r.cached_or_stale(host, &ip)) return ip;
    if (r.known_bad(host) || inst.on_library_thread() || !r.resolve_now(host, &ip)) return 0;
    return ip;
}

void set_lookup_fault(std::function<void()> fault) {
    std::lock_guard<std::mutex> g(g_lock);
    g_lookup_fault = std::move(fault);
}

}  // namespace callctl::api
