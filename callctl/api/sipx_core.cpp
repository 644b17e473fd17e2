// The C interface: instance, configuration, listeners, lines, calls and
// conferences. Every function looks its handle up, takes the instance lock
// and hands the work to the layer that owns it.
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>

#include "../base/log.h"
#include "../ua/ua.h"
#include "registry.h"

using namespace callctl;

namespace callctl::api {

namespace {
std::mutex g_lock;
std::map<uint32_t, std::shared_ptr<Instance>> g_instances;
std::map<uint32_t, uint32_t> g_owners;
}  // namespace

std::shared_ptr<Instance> instance(SIPX_INST h) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = g_instances.find(h);
    return it == g_instances.end() ? nullptr : it->second;
}

std::shared_ptr<Instance> owner(uint32_t h) {
    std::lock_guard<std::mutex> g(g_lock);
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

}  // namespace callctl::api

namespace {

using Lock = std::lock_guard<std::mutex>;

bool parse_bind(const char *addr, uint32_t *ip) {
    if (!addr || !*addr) {
        *ip = 0;
        return true;
    }
    return parse_ipv4(addr, ip);
}

// Looks a host name up on the calling thread, before the instance lock is
// taken; 0 when it does not resolve. A listener calling in on the library
// thread gets the cache only: that thread never waits for a lookup.
uint32_t lookup_unlocked(Instance &inst, const std::string &host) {
    uint32_t ip = 0;
    if (inst.resolver().cached(host, &ip)) return ip;
    if (inst.on_library_thread() || !inst.resolver().resolve_now(host, &ip)) return 0;
    return ip;
}

uint32_t prefetch_host(Instance &inst, const char *address) {
    sip::NameAddr na;
    if (!address || !sip::parse_name_addr(address, &na) || na.uri.host.empty()) return 0;
    return lookup_unlocked(inst, std::string(na.uri.host));
}

// Starts a call to szAddress on an existing call object.
SIPX_RESULT connect_call(Instance &inst, Call &call, const char *szAddress, const SIPX_CALL_OPTIONS *opts,
                         uint32_t looked_up) {
    if (!szAddress || !*szAddress) return SIPX_RESULT_INVALID_ARGS;
    if (opts && opts->cbSize < sizeof(uint32_t)) return SIPX_RESULT_INVALID_ARGS;
    (void)inst;
    return call.connect(szAddress, looked_up);
}

SIPX_RESULT create_call(Instance &inst, SIPX_LINE hLine, SIPX_CALL *phCall) {
    Line *line = inst.find_line(hLine);
    if (!line) return SIPX_RESULT_INVALID_ARGS;
    if (inst.stopping()) return SIPX_RESULT_INVALID_STATE;
    if (inst.live_calls() >= size_t(inst.config.max_calls)) return SIPX_RESULT_OUT_OF_RESOURCES;
    uint32_t h = new_handle();
    inst.calls[h] = std::make_unique<Call>(inst, h, line);
    api::own(h, inst.handle);
    *phCall = h;
    return SIPX_RESULT_SUCCESS;
}

void release_call(Instance &inst, Call &call) {
    if (call.conf) {
        if (Conference *c = inst.find_conf(call.conf)) {
            auto &v = c->calls;
            for (size_t i = 0; i < v.size(); ++i)
                if (v[i] == call.handle) v.erase(v.begin() + long(i)), --i;
        }
    }
    call.release();
    api::disown(call.handle);
}

}  // namespace

extern "C" {

SIPX_RESULT sipxInitialize(SIPX_INST *phInst, int udpPort, int tcpPort, int tlsPort, int rtpPortStart,
                           int maxConnections, const char *identity, const char *bindToAddr, int flags) {
    (void)tcpPort;
    (void)tlsPort;
    (void)flags;
    if (!phInst || udpPort < 0 || udpPort > 65535 || rtpPortStart < 0 || rtpPortStart > 65534 ||
        maxConnections < 1 || maxConnections > 1000)
        return SIPX_RESULT_INVALID_ARGS;
    uint32_t bind_ip = 0;
    if (!parse_bind(bindToAddr, &bind_ip)) return SIPX_RESULT_BAD_ADDRESS;
    auto inst = std::make_shared<Instance>(new_handle());
    inst->config.max_calls = maxConnections;
    inst->config.rtp_port_start = uint16_t(rtpPortStart);
    if (identity && *identity && sip::is_token(identity)) inst->config.identity = identity;
    SIPX_RESULT r = inst->start(bind_ip, uint16_t(udpPort));
    if (r != SIPX_RESULT_SUCCESS) return r;
    api::add_instance(inst);
    *phInst = inst->handle;
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxUnInitialize(SIPX_INST hInst, int bForceShutdown) {
    (void)bForceShutdown;
    auto inst = api::instance(hInst);
    if (!inst) return SIPX_RESULT_INVALID_ARGS;
    if (inst->on_library_thread()) return SIPX_RESULT_BUSY;
    inst = api::remove_instance(hInst);
    if (!inst) return SIPX_RESULT_INVALID_ARGS;  // another thread won the race
    inst->stop();
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxConfigSetUserAgentName(SIPX_INST hInst, const char *szName, int bIncludePlatform) {
    auto inst = api::instance(hInst);
    if (!inst || !szName) return SIPX_RESULT_INVALID_ARGS;
    for (const char *p = szName; *p; ++p)
        if (*p == '\r' || *p == '\n') return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    inst->config.user_agent = szName;
#ifdef _WIN32
    if (bIncludePlatform) inst->config.user_agent += " (Windows)";
#else
    if (bIncludePlatform) inst->config.user_agent += " (POSIX)";
#endif
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxConfigEnableRport(SIPX_INST hInst, int bEnable) {
    auto inst = api::instance(hInst);
    if (!inst) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    inst->config.rport = bEnable != 0;
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxConfigKeepAliveAdd(SIPX_INST hInst, int contactId, int type, const char *remoteIp, int remotePort,
                                   int periodSec) {
    (void)contactId;
    auto inst = api::instance(hInst);
    if (!inst || !remoteIp || !*remoteIp || type < 0 || type > 2 || remotePort < 1 || remotePort > 65535 ||
        periodSec < 1 || periodSec > 3600)
        return SIPX_RESULT_INVALID_ARGS;
    lookup_unlocked(*inst, remoteIp);
    Lock g(inst->lock);
    for (auto &k : inst->keepalives) {
        if (k->type == type && k->host == remoteIp && k->port == remotePort) {
            k->set_period(periodSec);
            return SIPX_RESULT_SUCCESS;
        }
    }
    inst->keepalives.push_back(
        std::make_unique<KeepAlive>(*inst, type, remoteIp, uint16_t(remotePort), periodSec));
    inst->wake();
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxConfigKeepAliveRemove(SIPX_INST hInst, int contactId, int type, const char *remoteIp,
                                      int remotePort) {
    (void)contactId;
    auto inst = api::instance(hInst);
    if (!inst || !remoteIp) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    auto &v = inst->keepalives;
    for (auto it = v.begin(); it != v.end(); ++it) {
        if ((*it)->type == type && (*it)->host == remoteIp && (*it)->port == remotePort) {
            v.erase(it);
            return SIPX_RESULT_SUCCESS;
        }
    }
    return SIPX_RESULT_INVALID_ARGS;
}

SIPX_RESULT sipxConfigSelectAudioCodecByName(SIPX_INST hInst, const char *szName) {
    auto inst = api::instance(hInst);
    if (!inst || !szName) return SIPX_RESULT_INVALID_ARGS;
    std::string n = szName;
    if (!sip::iequals(n, "PCMU") && !sip::iequals(n, "PCMA") && !sip::iequals(n, "G729"))
        return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    inst->config.codec = n;
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxConfigSetOutboundDTMFMode(SIPX_INST hInst, int mode) {
    auto inst = api::instance(hInst);
    if (!inst || mode < 0 || mode > 2) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    inst->config.dtmf_mode = mode;
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxConfigSetTimers(SIPX_INST hInst, const SIPX_TIMER_SETTINGS *p) {
    auto inst = api::instance(hInst);
    const size_t older = offsetof(SIPX_TIMER_SETTINGS, registerRefreshMin);
    if (!inst || !p || p->cbSize < older) return SIPX_RESULT_INVALID_ARGS;
    bool full = p->cbSize >= sizeof(SIPX_TIMER_SETTINGS);
    Lock g(inst->lock);
    TimerSettings &t = inst->timer_settings_;
    if (p->t1) t.t1 = p->t1;
    if (p->t2) t.t2 = p->t2;
    if (p->t4) t.t4 = p->t4;
    if (p->registerRetryMin) t.register_retry_min = p->registerRetryMin;
    if (p->registerRetryMax) t.register_retry_max = p->registerRetryMax;
    if (p->shutdownWait) t.shutdown_wait = p->shutdownWait;
    if (full && p->registerRefreshMin) t.register_refresh_min = p->registerRefreshMin;
    if (full && p->mediaTimeout) t.media_timeout = p->mediaTimeout;
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxConfigSetLogSink(int level, const char *szFile, SIPX_LOG_CALLBACK pCallback, void *pUserData) {
    return log::set_sink(level, szFile, pCallback, pUserData);
}

SIPX_RESULT sipxConfigEnableTestDevices(SIPX_INST hInst, int bEnable) {
    auto inst = api::instance(hInst);
    if (!inst) return SIPX_RESULT_INVALID_ARGS;
    inst->media->allow_test_devices(bEnable != 0);
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxConfigGetLocalSipUdpPort(SIPX_INST hInst, int *pPort) {
    auto inst = api::instance(hInst);
    if (!inst || !pPort) return SIPX_RESULT_INVALID_ARGS;
    *pPort = inst->sip_port();
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxEventListenerAdd(SIPX_INST hInst, SIPX_EVENT_CALLBACK pCallback, void *pUserData) {
    auto inst = api::instance(hInst);
    if (!inst || !pCallback) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    for (const auto &l : inst->listeners)
        if (l.cb == pCallback && l.user == pUserData) return SIPX_RESULT_INVALID_ARGS;
    inst->listeners.push_back({pCallback, pUserData});
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxEventListenerRemove(SIPX_INST hInst, SIPX_EVENT_CALLBACK pCallback, void *pUserData) {
    auto inst = api::instance(hInst);
    if (!inst || !pCallback) return SIPX_RESULT_INVALID_ARGS;
    // Off the library thread, wait for a running delivery to finish so the
    // removed listener is not running once we return.
    std::unique_lock<std::mutex> d(inst->delivery, std::defer_lock);
    if (!inst->on_library_thread()) d.lock();
    Lock g(inst->lock);
    auto &v = inst->listeners;
    size_t before = v.size();
    for (auto it = v.begin(); it != v.end();) {
        if (it->cb == pCallback && (pUserData == nullptr || it->user == pUserData)) it = v.erase(it);
        else ++it;
    }
    return v.size() == before ? SIPX_RESULT_INVALID_ARGS : SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxLineAdd(SIPX_INST hInst, const char *szLineUrl, SIPX_LINE *phLine, int contactId) {
    (void)contactId;
    auto inst = api::instance(hInst);
    if (!inst || !szLineUrl || !phLine) return SIPX_RESULT_INVALID_ARGS;
    Identity id;
    if (!id.parse(szLineUrl)) return SIPX_RESULT_BAD_ADDRESS;
    uint32_t ip = lookup_unlocked(*inst, id.host);  // a failure is seen at register time
    Lock g(inst->lock);
    for (const auto &kv : inst->lines)
        if (kv.second->id.uri == id.uri) return SIPX_RESULT_INVALID_STATE;
    uint32_t h = new_handle();
    auto line = std::make_unique<Line>(*inst, h, id);
    if (ip && !line->registrar_known) {
        line->registrar.ip = ip;
        line->registrar_known = true;
    }
    inst->lines[h] = std::move(line);
    api::own(h, inst->handle);
    *phLine = h;
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxLineAddCredential(SIPX_LINE hLine, const char *szUserID, const char *szPasswd, const char *szRealm) {
    auto inst = api::owner(hLine);
    if (!inst || !szUserID || !szPasswd) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    Line *line = inst->find_line(hLine);
    if (!line) return SIPX_RESULT_INVALID_ARGS;
    line->add_credential(szUserID, szPasswd, szRealm ? szRealm : "");
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxLineRegister(SIPX_LINE hLine, int bRegister) {
    auto inst = api::owner(hLine);
    if (!inst) return SIPX_RESULT_INVALID_ARGS;
    if (bRegister) {
        std::string host;
        {
            Lock g(inst->lock);
            Line *line = inst->find_line(hLine);
            if (line && !line->registrar_known) host = line->id.host;
        }
        uint32_t ip = host.empty() ? 0 : lookup_unlocked(*inst, host);
        Lock g(inst->lock);
        Line *line = inst->find_line(hLine);
        if (!line) return SIPX_RESULT_INVALID_ARGS;
        if (ip && !line->registrar_known) {
            line->registrar.ip = ip;
            line->registrar_known = true;
        }
        return line->set_register(true);
    }
    Lock g(inst->lock);
    Line *line = inst->find_line(hLine);
    if (!line) return SIPX_RESULT_INVALID_ARGS;
    return line->set_register(false);
}

SIPX_RESULT sipxLineRemove(SIPX_LINE hLine) {
    auto inst = api::owner(hLine);
    if (!inst) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    auto it = inst->lines.find(hLine);
    if (it == inst->lines.end()) return SIPX_RESULT_INVALID_ARGS;
    for (const auto &kv : inst->calls)
        if (kv.second->line_handle == hLine && !kv.second->released) return SIPX_RESULT_INVALID_STATE;
    // The line object must outlive an un-REGISTER in flight; it goes with
    // the instance. Its handle is released now.
    it->second->shutdown();
    it->second->removed = true;
    api::disown(hLine);
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxCallCreate(SIPX_INST hInst, SIPX_LINE hLine, SIPX_CALL *phCall) {
    auto inst = api::instance(hInst);
    if (!inst || !phCall) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    return create_call(*inst, hLine, phCall);
}

SIPX_RESULT sipxCallConnect(SIPX_CALL hCall, const char *szAddress, int contactId, void *pDisplay, int bTakeFocus,
                            const SIPX_CALL_OPTIONS *pOptions, const char *szCallId) {
    (void)contactId;
    (void)pDisplay;
    (void)bTakeFocus;
    (void)szCallId;
    auto inst = api::owner(hCall);
    if (!inst) return SIPX_RESULT_INVALID_ARGS;
    uint32_t ip = prefetch_host(*inst, szAddress);
    Lock g(inst->lock);
    Call *call = inst->find_call(hCall);
    if (!call) return SIPX_RESULT_INVALID_ARGS;
    return connect_call(*inst, *call, szAddress, pOptions, ip);
}

SIPX_RESULT sipxCallHold(SIPX_CALL hCall, int bStopRemoteAudio) {
    auto inst = api::owner(hCall);
    if (!inst) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    Call *call = inst->find_call(hCall);
    if (!call) return SIPX_RESULT_INVALID_ARGS;
    return call->hold(true, bStopRemoteAudio != 0);
}

SIPX_RESULT sipxCallUnhold(SIPX_CALL hCall) {
    auto inst = api::owner(hCall);
    if (!inst) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    Call *call = inst->find_call(hCall);
    if (!call) return SIPX_RESULT_INVALID_ARGS;
    return call->hold(false, false);
}

SIPX_RESULT sipxCallDestroy(SIPX_CALL *phCall) {
    if (!phCall) return SIPX_RESULT_INVALID_ARGS;
    auto inst = api::owner(*phCall);
    if (!inst) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    Call *call = inst->find_call(*phCall);
    if (!call) return SIPX_RESULT_INVALID_ARGS;
    release_call(*inst, *call);
    *phCall = 0;
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxConferenceCreate(SIPX_INST hInst, SIPX_CONF *phConf) {
    auto inst = api::instance(hInst);
    if (!inst || !phConf) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    uint32_t h = new_handle();
    inst->confs[h] = std::make_unique<Conference>(h);
    api::own(h, inst->handle);
    *phConf = h;
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxConferenceAdd(SIPX_CONF hConf, SIPX_LINE hLine, const char *szAddress, SIPX_CALL *phCall,
                              int contactId, void *pDisplay, void *pSecurity, int bTakeFocus,
                              const SIPX_CALL_OPTIONS *pOptions) {
    (void)contactId;
    (void)pDisplay;
    (void)pSecurity;
    (void)bTakeFocus;
    auto inst = api::owner(hConf);
    if (!inst || !phCall || !szAddress) return SIPX_RESULT_INVALID_ARGS;
    uint32_t ip = prefetch_host(*inst, szAddress);
    Lock g(inst->lock);
    Conference *conf = inst->find_conf(hConf);
    if (!conf) return SIPX_RESULT_INVALID_ARGS;
    SIPX_CALL h = 0;
    SIPX_RESULT r = create_call(*inst, hLine, &h);
    if (r != SIPX_RESULT_SUCCESS) return r;
    Call *call = inst->find_call(h);
    r = connect_call(*inst, *call, szAddress, pOptions, ip);
    if (r != SIPX_RESULT_SUCCESS) {
        release_call(*inst, *call);
        return r;
    }
    call->conf = hConf;
    conf->calls.push_back(h);
    inst->media->set_conference(h, hConf);
    *phCall = h;
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxConferenceHold(SIPX_CONF hConf, int bBridging) {
    auto inst = api::owner(hConf);
    if (!inst) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    Conference *conf = inst->find_conf(hConf);
    if (!conf) return SIPX_RESULT_INVALID_ARGS;
    conf->held = true;
    conf->bridging = bBridging != 0;
    inst->media->set_conference_mode(hConf, true, conf->bridging);
    // Bridging keeps the parties talking to each other: only the local user
    // leaves, which is a media matter. Otherwise every call is held.
    if (!conf->bridging)
        for (uint32_t h : conf->calls)
            if (Call *c = inst->find_call(h)) c->hold(true, true);
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxConferenceUnhold(SIPX_CONF hConf) {
    auto inst = api::owner(hConf);
    if (!inst) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    Conference *conf = inst->find_conf(hConf);
    if (!conf) return SIPX_RESULT_INVALID_ARGS;
    if (conf->held && !conf->bridging)
        for (uint32_t h : conf->calls)
            if (Call *c = inst->find_call(h)) c->hold(false, false);
    conf->held = false;
    conf->bridging = false;
    inst->media->set_conference_mode(hConf, false, false);
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxConferenceGetCalls(SIPX_CONF hConf, SIPX_CALL *phCalls, size_t *pCount) {
    auto inst = api::owner(hConf);
    if (!inst || !pCount || (!phCalls && *pCount)) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    Conference *conf = inst->find_conf(hConf);
    if (!conf) return SIPX_RESULT_INVALID_ARGS;
    size_t n = std::min(*pCount, conf->calls.size());
    for (size_t i = 0; i < n; ++i) phCalls[i] = conf->calls[i];
    *pCount = conf->calls.size();
    return SIPX_RESULT_SUCCESS;
}

SIPX_RESULT sipxConferenceDestroy(SIPX_CONF hConf) {
    auto inst = api::owner(hConf);
    if (!inst) return SIPX_RESULT_INVALID_ARGS;
    Lock g(inst->lock);
    Conference *conf = inst->find_conf(hConf);
    if (!conf) return SIPX_RESULT_INVALID_ARGS;
    std::vector<uint32_t> calls = conf->calls;
    for (uint32_t h : calls)
        if (Call *c = inst->find_call(h)) release_call(*inst, *c);
    inst->confs.erase(hConf);
    api::disown(hConf);
    return SIPX_RESULT_SUCCESS;
}

}  // extern "C"
