// The C interface, part one: the instance, its configuration and its
// listeners. Every function runs through guarded() (base/boundary.h): no
// exception leaves the library.
#include <cstddef>
#include <mutex>

#include "../base/boundary.h"
#include "../base/log.h"
#include "../ua/ua.h"
#include "registry.h"

using namespace callctl;

namespace {

using Lock = std::lock_guard<std::mutex>;

bool parse_bind(const char *addr, uint32_t *ip) {
    if (!addr || !*addr) {
        *ip = 0;
        return true;
    }
    return parse_ipv4(addr, ip);
}

}  // namespace

using callctl::api::lookup_unlocked;

extern "C" {

SIPX_RESULT sipxInitialize(SIPX_INST *phInst, int udpPort, int tcpPort, int tlsPort, int rtpPortStart,
                           int maxConnections, const char *identity, const char *bindToAddr, int flags) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
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
        try {
            api::add_instance(inst);
        } catch (...) {
            inst->stop();  // a running thread must not outlive a failed start
            throw;
        }
        *phInst = inst->handle;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxUnInitialize(SIPX_INST hInst, int bForceShutdown) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        (void)bForceShutdown;
        auto inst = api::instance(hInst);
        if (!inst) return SIPX_RESULT_INVALID_ARGS;
        if (inst->on_library_thread()) return SIPX_RESULT_BUSY;
        inst = api::remove_instance(hInst);
        if (!inst) return SIPX_RESULT_INVALID_ARGS;  // another thread won the race
        inst->stop();
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxConfigSetUserAgentName(SIPX_INST hInst, const char *szName, int bIncludePlatform) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
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
    });
}

SIPX_RESULT sipxConfigEnableRport(SIPX_INST hInst, int bEnable) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::instance(hInst);
        if (!inst) return SIPX_RESULT_INVALID_ARGS;
        Lock g(inst->lock);
        inst->config.rport = bEnable != 0;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxConfigKeepAliveAdd(SIPX_INST hInst, int contactId, int type, const char *remoteIp, int remotePort,
                                   int periodSec) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
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
    });
}

SIPX_RESULT sipxConfigKeepAliveRemove(SIPX_INST hInst, int contactId, int type, const char *remoteIp,
                                      int remotePort) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
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
    });
}

SIPX_RESULT sipxConfigSelectAudioCodecByName(SIPX_INST hInst, const char *szName) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::instance(hInst);
        if (!inst || !szName) return SIPX_RESULT_INVALID_ARGS;
        std::string n = szName;
        if (!sip::iequals(n, "PCMU") && !sip::iequals(n, "PCMA") && !sip::iequals(n, "G729"))
            return SIPX_RESULT_INVALID_ARGS;
        Lock g(inst->lock);
        inst->config.codec = n;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxConfigSetOutboundDTMFMode(SIPX_INST hInst, int mode) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::instance(hInst);
        if (!inst || mode < 0 || mode > 2) return SIPX_RESULT_INVALID_ARGS;
        Lock g(inst->lock);
        inst->config.dtmf_mode = mode;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxConfigSetTimers(SIPX_INST hInst, const SIPX_TIMER_SETTINGS *p) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::instance(hInst);
        const size_t older = offsetof(SIPX_TIMER_SETTINGS, registerRefreshMin);
        if (!inst || !p || p->cbSize < older) return SIPX_RESULT_INVALID_ARGS;
#define CALLCTL_HAS(field) (p->cbSize >= offsetof(SIPX_TIMER_SETTINGS, field) + sizeof(p->field))
        Lock g(inst->lock);
        TimerSettings &t = inst->timer_settings_;
        if (p->t1) t.t1 = p->t1;
        if (p->t2) t.t2 = p->t2;
        if (p->t4) t.t4 = p->t4;
        if (p->registerRetryMin) t.register_retry_min = p->registerRetryMin;
        if (p->registerRetryMax) t.register_retry_max = p->registerRetryMax;
        if (p->shutdownWait) t.shutdown_wait = p->shutdownWait;
        if (CALLCTL_HAS(registerRefreshMin) && CALLCTL_HAS(mediaTimeout)) {
            if (p->registerRefreshMin) t.register_refresh_min = p->registerRefreshMin;
            if (p->mediaTimeout) t.media_timeout = p->mediaTimeout;
        }
        if (CALLCTL_HAS(minSessionExpires)) {
            if (p->sessionExpires) t.session_expires = p->sessionExpires;
            if (p->minSessionExpires) t.min_se = p->minSessionExpires;
        }
        if (CALLCTL_HAS(streamOpenWait)) {
            if (p->streamPing) t.stream_ping = p->streamPing;
            if (p->streamPongWait) t.stream_pong_wait = p->streamPongWait;
            if (p->streamOpenWait) t.stream_open_wait = p->streamOpenWait;
            inst->transport().set_timing(t.stream_ping, t.stream_pong_wait, t.stream_open_wait);
        }
#undef CALLCTL_HAS
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxConfigSetLogSink(int level, const char *szFile, SIPX_LOG_CALLBACK pCallback, void *pUserData) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        return log::set_sink(level, szFile, pCallback, pUserData);
    });
}

SIPX_RESULT sipxConfigSetFallbackPorts(SIPX_INST hInst, int tcpPort, int tlsPort, int tlsPortAgain) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::instance(hInst);
        const int ports[3] = {tcpPort, tlsPort, tlsPortAgain};
        if (!inst) return SIPX_RESULT_INVALID_ARGS;
        for (int p : ports)
            if (p < 0 || p > 65535) return SIPX_RESULT_INVALID_ARGS;
        Lock g(inst->lock);
        for (int i = 0; i < 3; ++i) inst->config.fallback_ports[i] = uint16_t(ports[i]);
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxConfigEnableTestDevices(SIPX_INST hInst, int bEnable) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::instance(hInst);
        if (!inst) return SIPX_RESULT_INVALID_ARGS;
        inst->media->allow_test_devices(bEnable != 0);
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxConfigGetLocalSipUdpPort(SIPX_INST hInst, int *pPort) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::instance(hInst);
        if (!inst || !pPort) return SIPX_RESULT_INVALID_ARGS;
        *pPort = inst->sip_port();
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxEventListenerAdd(SIPX_INST hInst, SIPX_EVENT_CALLBACK pCallback, void *pUserData) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::instance(hInst);
        if (!inst || !pCallback) return SIPX_RESULT_INVALID_ARGS;
        Lock g(inst->lock);
        for (const auto &l : inst->listeners)
            if (l.cb == pCallback && l.user == pUserData) return SIPX_RESULT_INVALID_ARGS;
        inst->listeners.push_back({pCallback, pUserData});
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxEventListenerRemove(SIPX_INST hInst, SIPX_EVENT_CALLBACK pCallback, void *pUserData) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
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
    });
}

}  // extern "C"
