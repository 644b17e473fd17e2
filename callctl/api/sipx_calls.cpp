// The C interface, part two: lines, calls and conferences. Every function
// looks its handle up, takes the instance lock and hands the work to the
// layer that owns it, inside guarded() (base/boundary.h).
#include <cstring>
#include <algorithm>
#include <mutex>

#include "../base/boundary.h"
#include "../ua/ua.h"
#include "registry.h"

using namespace callctl;

namespace {

using Lock = std::lock_guard<std::mutex>;
using callctl::api::lookup_unlocked;

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

SIPX_RESULT sipxLineAdd(SIPX_INST hInst, const char *szLineUrl, SIPX_LINE *phLine, int contactId) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
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
    });
}

SIPX_RESULT sipxLineAddCredential(SIPX_LINE hLine, const char *szUserID, const char *szPasswd, const char *szRealm) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::owner(hLine);
        if (!inst || !szUserID || !szPasswd) return SIPX_RESULT_INVALID_ARGS;
        Lock g(inst->lock);
        Line *line = inst->find_line(hLine);
        if (!line) return SIPX_RESULT_INVALID_ARGS;
        line->add_credential(szUserID, szPasswd, szRealm ? szRealm : "");
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxLineGetTransport(SIPX_LINE hLine, char *szBuffer, size_t nBuffer, int *pbProven) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::owner(hLine);
        if (!inst || !szBuffer || nBuffer == 0) return SIPX_RESULT_INVALID_ARGS;
        Lock g(inst->lock);
        Line *line = inst->find_line(hLine);
        if (!line) return SIPX_RESULT_INVALID_ARGS;
        std::string t = transport_name(line->path().transport);
        for (char &c : t) c = char(c - 'A' + 'a');
        t += ":" + std::to_string(line->path().port);
        if (t.size() + 1 > nBuffer) return SIPX_RESULT_FAILURE;
        std::memcpy(szBuffer, t.c_str(), t.size() + 1);
        if (pbProven) *pbProven = line->path_proven() ? 1 : 0;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxLineSetTransport(SIPX_LINE hLine, const char *szPath) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::owner(hLine);
        if (!inst) return SIPX_RESULT_INVALID_ARGS;
        Line::Path p{Transport::Udp, 0};
        bool have = szPath && *szPath;
        if (have) {
            std::string_view v(szPath);
            size_t colon = v.find(':');
            if (colon == std::string_view::npos) return SIPX_RESULT_INVALID_ARGS;
            std::string_view name = v.substr(0, colon);
            if (name == "udp") p.transport = Transport::Udp;
            else if (name == "tcp") p.transport = Transport::Tcp;
            else if (name == "tls") p.transport = Transport::Tls;
            else return SIPX_RESULT_INVALID_ARGS;
            uint64_t port = 0;
            if (!sip::parse_uint(v.substr(colon + 1), 65535, &port) || port == 0) return SIPX_RESULT_INVALID_ARGS;
            p.port = uint16_t(port);
        }
        Lock g(inst->lock);
        Line *line = inst->find_line(hLine);
        if (!line) return SIPX_RESULT_INVALID_ARGS;
        if (line->state() != Line::State::Idle) return SIPX_RESULT_INVALID_STATE;
        line->set_paths({}, have ? &p : nullptr);
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxLineRegister(SIPX_LINE hLine, int bRegister) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
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
    });
}

SIPX_RESULT sipxLineRemove(SIPX_LINE hLine) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
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
    });
}

SIPX_RESULT sipxCallCreate(SIPX_INST hInst, SIPX_LINE hLine, SIPX_CALL *phCall) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::instance(hInst);
        if (!inst || !phCall) return SIPX_RESULT_INVALID_ARGS;
        Lock g(inst->lock);
        return create_call(*inst, hLine, phCall);
    });
}

SIPX_RESULT sipxCallConnect(SIPX_CALL hCall, const char *szAddress, int contactId, void *pDisplay, int bTakeFocus,
                            const SIPX_CALL_OPTIONS *pOptions, const char *szCallId) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
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
    });
}

SIPX_RESULT sipxCallHold(SIPX_CALL hCall, int bStopRemoteAudio) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::owner(hCall);
        if (!inst) return SIPX_RESULT_INVALID_ARGS;
        Lock g(inst->lock);
        Call *call = inst->find_call(hCall);
        if (!call) return SIPX_RESULT_INVALID_ARGS;
        return call->hold(true, bStopRemoteAudio != 0);
    });
}

SIPX_RESULT sipxCallUnhold(SIPX_CALL hCall) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::owner(hCall);
        if (!inst) return SIPX_RESULT_INVALID_ARGS;
        Lock g(inst->lock);
        Call *call = inst->find_call(hCall);
        if (!call) return SIPX_RESULT_INVALID_ARGS;
        return call->hold(false, false);
    });
}

SIPX_RESULT sipxCallDestroy(SIPX_CALL *phCall) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        if (!phCall) return SIPX_RESULT_INVALID_ARGS;
        auto inst = api::owner(*phCall);
        if (!inst) return SIPX_RESULT_INVALID_ARGS;
        Lock g(inst->lock);
        Call *call = inst->find_call(*phCall);
        if (!call) return SIPX_RESULT_INVALID_ARGS;
        release_call(*inst, *call);
        *phCall = 0;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxConferenceCreate(SIPX_INST hInst, SIPX_CONF *phConf) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::instance(hInst);
        if (!inst || !phConf) return SIPX_RESULT_INVALID_ARGS;
        Lock g(inst->lock);
        uint32_t h = new_handle();
        inst->confs[h] = std::make_unique<Conference>(h);
        api::own(h, inst->handle);
        *phConf = h;
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxConferenceAdd(SIPX_CONF hConf, SIPX_LINE hLine, const char *szAddress, SIPX_CALL *phCall,
                              int contactId, void *pDisplay, void *pSecurity, int bTakeFocus,
                              const SIPX_CALL_OPTIONS *pOptions) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
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
    });
}

SIPX_RESULT sipxConferenceHold(SIPX_CONF hConf, int bBridging) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
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
    });
}

SIPX_RESULT sipxConferenceUnhold(SIPX_CONF hConf) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
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
    });
}

SIPX_RESULT sipxConferenceGetCalls(SIPX_CONF hConf, SIPX_CALL *phCalls, size_t *pCount) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
        auto inst = api::owner(hConf);
        if (!inst || !pCount || (!phCalls && *pCount)) return SIPX_RESULT_INVALID_ARGS;
        Lock g(inst->lock);
        Conference *conf = inst->find_conf(hConf);
        if (!conf) return SIPX_RESULT_INVALID_ARGS;
        size_t n = std::min(*pCount, conf->calls.size());
        for (size_t i = 0; i < n; ++i) phCalls[i] = conf->calls[i];
        *pCount = conf->calls.size();
        return SIPX_RESULT_SUCCESS;
    });
}

SIPX_RESULT sipxConferenceDestroy(SIPX_CONF hConf) {
    return guarded(__func__, [&]() -> SIPX_RESULT {
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
    });
}

}  // extern "C"
