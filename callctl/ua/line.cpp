// Line registration (RFC 3261 section 10) with digest authentication.
//
//   Idle --register--> Registering --2xx--> Registered --refresh timer--> (REGISTER, stays)
//   Registering/Registered --failure--> RetryWait --retry timer--> (look the host up again) Registering
//   RetryWait --keep-alive answered--> Registering (at once)
//   Registering/Registered --unregister--> Unregistering --answer--> Idle
//
// Floors and ceilings: a refresh never goes out sooner than the refresh
// floor after the previous REGISTER, the retry back-off stops at its
// maximum, a stale challenge is answered at most twice in a row.
#include <algorithm>

#include "../base/log.h"

#include "ua.h"

namespace callctl {

// ---- identity ---------------------------------------------------------------

bool Identity::parse(const std::string &text) {
    sip::NameAddr na;
    if (!sip::parse_name_addr(text, &na) || !na.uri.is_sip()) return false;
    if (na.uri.user.empty() || na.uri.host.empty()) return false;
    uri = std::string(na.uri_text);
    user = std::string(na.uri.user);
    host = std::string(na.uri.host);
    port = na.uri.port ? na.uri.port : 5060;
    display = std::string(na.display);
    return true;
}

// ---- digest sessions --------------------------------------------------------

AuthSession::Outcome AuthSession::on_challenge(const sip::Message &resp, const std::vector<Credential> &creds) {
    bool proxy = resp.status() == 407;
    sip::Hdr want = proxy ? sip::Hdr::ProxyAuthenticate : sip::Hdr::WwwAuthenticate;
    bool any = false, stale = false;
    std::vector<Entry> fresh;
    for (const auto &h : resp.headers()) {
        if (h.id != want || fresh.size() >= kMaxRealms) continue;
        auth::Challenge c;
        if (!auth::parse_challenge(h.value, &c)) continue;
        const Credential *match = nullptr;
        for (const auto &cr : creds)
            if (cr.realm.empty() || cr.realm == c.realm) {
                match = &cr;
                break;
            }
        if (!match) continue;
        Entry e;
        e.proxy = proxy;
        e.challenge = c;
        e.cred = {match->user, match->password};
        stale = stale || c.stale;
        fresh.push_back(e);
        any = true;
    }
    if (!any) return Outcome::Failed;
    if (answered_ && !stale) return Outcome::Failed;
    // A server that calls every answer stale would keep us answering forever.
    // (A refresh carries the remembered credentials too: its stale answers count.)
    bool carried_credentials = answered_ || !entries_.empty();
    if (carried_credentials && stale && ++stale_in_a_row_ > kMaxStale) return Outcome::Failed;
    // Replace what we knew for these realms, keep the others (a proxy and a
    // registrar may both challenge), at most kMaxRealms of them: the oldest
    // goes first.
    for (const auto &e : fresh) {
        auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry &x) {
            return x.proxy == e.proxy && x.challenge.realm == e.challenge.realm;
        });
        if (it != entries_.end()) {
            *it = e;
            continue;
        }
        if (entries_.size() >= kMaxRealms) entries_.erase(entries_.begin());
        entries_.push_back(e);
    }
    answered_ = true;
    return stale ? Outcome::Stale : Outcome::Answer;
}

std::vector<std::pair<std::string, std::string>> AuthSession::headers(std::string_view method, std::string_view uri) {
    std::vector<std::pair<std::string, std::string>> out;
    for (auto &e : entries_) {
        ++e.nc;
        std::string cnonce = random_token(12);
        out.emplace_back(e.proxy ? "Proxy-Authorization" : "Authorization",
                         auth::authorization(e.challenge, e.cred, method, uri, e.nc, cnonce));
    }
    return out;
}

// ---- line -------------------------------------------------------------------

Line::Line(UaHost &host, uint32_t h, Identity ident)
    : handle(h), id(std::move(ident)), host_(host), refresh_(host.timers()), retry_(host.timers()),
      net_watch_(host.timers()) {
    call_id_ = random_token(20) + "@callctl";
    from_tag_ = random_token(10);
    contact_token = random_token(16);
    cseq_ = random_u32() % 1000 + 1;
    registrar.port = id.port;
    set_paths({}, nullptr);
    // sipxLineAdd looked the name up before it took the lock.
    registrar_known = host_.resolver().cached(id.host, &registrar.ip);
}

Line::~Line() {
    if (txn_) host_.txn().detach(txn_);
    host_.cancel_resolves(handle);
}

void Line::add_credential(const std::string &user, const std::string &password, const std::string &realm) {
    for (auto &c : creds)
        if (c.realm == realm) {
            c.user = user;
            c.password = password;
            return;
        }
    creds.push_back({user, password, realm});
}

SIPX_RESULT Line::set_register(bool on) {
    if (on) {
        if (state_ == State::Registering || state_ == State::Registered) return SIPX_RESULT_SUCCESS;
        if (!registrar_known) {
            registrar_known = host_.resolver().cached(id.host, &registrar.ip);
            if (!registrar_known) return SIPX_RESULT_BAD_ADDRESS;
        }
        retry_.stop();
        retry_count_ = 0;
        interval_tries_ = 0;
        want_expires_ = 3600;
        state_ = State::Registering;
        host_.emit_line(handle, SIPX_LINESTATE_REGISTERING, SIPX_CAUSE_NORMAL, 0);
        auth_.accepted();
        send_register(want_expires_);
        watch_network();
        // The domain's DNS may name its SIP servers: they are tried after the first way.
        if (!locating_) {
            locating_ = true;
            host_.locate(id.host, handle, [this](const std::vector<SipTarget> &t) { add_located(t); });
        }
        return SIPX_RESULT_SUCCESS;
    }
    refresh_.stop();
    retry_.stop();
    net_watch_.stop();
    if (state_ == State::Registering || state_ == State::Registered) {
        state_ = State::Unregistering;
        registered_reported_ = false;
        host_.emit_line(handle, SIPX_LINESTATE_UNREGISTERING, SIPX_CAUSE_NORMAL, 0);
        auth_.accepted();
        send_register(0);
    } else if (state_ == State::RetryWait) {
        state_ = State::Idle;
    }
    return SIPX_RESULT_SUCCESS;
}

void Line::shutdown() {
    set_register(false);
    retry_.stop();
}

void Line::send_register(uint32_t expires) {
    if (txn_) host_.txn().detach(txn_);
    txn_ = 0;
    std::string ruri = "sip:" + id.host + (id.port != 5060 ? ":" + std::to_string(id.port) : std::string());
    contact_ = host_.contact_host_port(registrar);
    std::string branch = host_.new_branch();
    std::string aor = "<" + id.uri + ">";
    sip::Writer w;
    w.request_line("REGISTER", ruri);
    w.header(sip::Hdr::Via, host_.via(registrar, branch));
    w.header(sip::Hdr::MaxForwards, 70);
    w.header(sip::Hdr::From, aor + ";tag=" + from_tag_);
    w.header(sip::Hdr::To, aor);
    w.header(sip::Hdr::CallId, call_id_);
    w.header(sip::Hdr::CSeq, std::to_string(++cseq_) + " REGISTER");
    w.header(sip::Hdr::Contact, "<sip:" + id.user + "@" + contact_ + host_.contact_params(registrar) + ";" + kContactTokenParam + "=" + contact_token + ">");
    w.header(sip::Hdr::Expires, expires);
    for (const auto &h : auth_.headers("REGISTER", ruri)) w.header(h.first, h.second);
    w.header(sip::Hdr::Allow, Call::kAllow);
    w.header(sip::Hdr::UserAgent, host_.config.user_agent);
    std::string wire = w.finish();
    if (expires) last_register_at_ = host_.now();
    local_ip_ = host_.local_ip_for(registrar);
    txn_ = host_.txn().send_request(registrar, wire, [this, expires](const sip::Message *r) { on_response(r, expires); });
    // A way that has not answered yet gets a few seconds before the next is tried.
    if (expires && !path_proven_ && path_ + 1 < paths_.size())
        host_.txn().give_up_after(txn_, 8 * host_.timer_settings().t1);
}

uint32_t Line::granted_expiry(const sip::Message &resp) const {
    uint32_t granted = want_expires_;
    uint64_t v = 0;
    if (sip::parse_uint(resp.value(sip::Hdr::Expires), 0xffffffffu, &v)) granted = uint32_t(v);
    // Our own Contact's expires parameter wins over the Expires header.
    for (const auto &h : resp.headers()) {
        if (h.id != sip::Hdr::Contact) continue;
        sip::for_each_element(h.value, [&](std::string_view el) {
            sip::NameAddr na;
            if (!sip::parse_name_addr(el, &na)) return true;
            std::string hp(na.uri.host);
            if (na.uri.port) hp += ":" + std::to_string(na.uri.port);
            std::string_view e;
            if (hp == contact_ && sip::find_param(na.params, "expires", &e) &&
                sip::parse_uint(e, 0xffffffffu, &v))
                granted = uint32_t(v);
            return true;
        });
    }
    return granted;
}

void Line::on_response(const sip::Message *resp, uint32_t expires) {
    if (resp && resp->status() < 200) return;
    txn_ = 0;
    int code = resp ? resp->status() : 0;
    if (expires == 0) {
        // Whatever the answer to an unregister, the line is now idle
        // (a challenge is answered first).
        if (resp && (code == 401 || code == 407) &&
            auth_.on_challenge(*resp, creds) != AuthSession::Outcome::Failed) {
            send_register(0);
            return;
        }
        state_ = State::Idle;
        host_.emit_line(handle, SIPX_LINESTATE_UNREGISTERED,
                        resp ? SIPX_CAUSE_NORMAL : SIPX_CAUSE_NO_RESPONSE, code);
        return;
    }
    bool moved = resp && code < 300 && host_.learn_address(*resp);
    if (calls_follow_) {
        // The first answer since our address changed (with the public
        // address it shows): the calls offer the new address now.
        calls_follow_ = false;
        host_.line_moved(handle);
    }
    if (!resp) {
        if (!path_proven_ && state_ == State::Registering && next_path()) {
            send_register(expires);
            return;
        }
        // Every way failed (or a proven one went silent): the next attempt
        // starts again from the first.
        if (!path_proven_) use_path(0);
        fail(SIPX_CAUSE_NO_RESPONSE, 0);
        return;
    }
    if (!path_proven_) {
        path_proven_ = true;
        CALLCTL_LOG(log::Info, "line %u: the registrar answers over %s to %s", unsigned(handle),
                    host_.transport().describe(registrar).c_str(), registrar.text().c_str());
    }
    if (code < 300) {
        auth_.accepted();
        uint32_t granted = granted_expiry(*resp);
        if (granted == 0) {
            fail(SIPX_CAUSE_REJECTED, code);
            return;
        }
        state_ = State::Registered;
        retry_count_ = 0;
        interval_tries_ = 0;
        if (!registered_reported_) {
            registered_reported_ = true;
            host_.emit_line(handle, SIPX_LINESTATE_REGISTERED, SIPX_CAUSE_NORMAL, code);
        }
        if (moved && host_.contact_host_port(registrar) != contact_ && !rebound_) {
            // rport told us our public address: bind that one instead (once;
            // a registrar that keeps moving us waits for the refresh).
            rebound_ = true;
            send_register(want_expires_);
            return;
        }
        rebound_ = false;
        schedule_refresh(granted);
        return;
    }
    if (code == 401 || code == 407) {
        AuthSession::Outcome o = auth_.on_challenge(*resp, creds);
        if (o == AuthSession::Outcome::Failed) {
            fail(SIPX_CAUSE_AUTH_FAILED, code);
            return;
        }
        send_register(expires);
        return;
    }
    if (code == 423) {
        uint64_t min = 0;
        if (sip::parse_uint(resp->value(sip::Hdr::MinExpires), 0xffffffffu, &min) && min > want_expires_ &&
            ++interval_tries_ <= 3) {
            want_expires_ = uint32_t(min);
            send_register(want_expires_);
            return;
        }
        fail(SIPX_CAUSE_REJECTED, code);
        return;
    }
    uint32_t cause = code == 403   ? SIPX_CAUSE_FORBIDDEN
                     : code == 404 ? SIPX_CAUSE_NOT_FOUND
                     : code < 400  ? SIPX_CAUSE_REDIRECTED
                                   : SIPX_CAUSE_REJECTED;
    // A busy or restarting registrar says when to come back (RFC 3261 20.33).
    int64_t not_before = 0;
    if (code == 480 || code == 500 || code == 503) {
        std::string_view v = resp->find("Retry-After") ? resp->find("Retry-After")->value : std::string_view();
        size_t digits = 0;
        while (digits < v.size() && digits < 10 && v[digits] >= '0' && v[digits] <= '9') ++digits;
        uint64_t secs = 0;
        if (digits && sip::parse_uint(v.substr(0, digits), 0xffffffffffull, &secs))
            not_before = int64_t(std::min<uint64_t>(secs, kMaxRetryAfterS)) * 1000;
    }
    fail(cause, code, not_before);
}

int64_t Line::floor_delay(int64_t delay) const {
    int64_t earliest = last_register_at_ + host_.timer_settings().register_refresh_min - host_.now();
    return std::max(delay, earliest);
}

void Line::schedule_refresh(uint32_t granted) {
    int64_t secs = granted > 120 ? int64_t(granted) - 60 : int64_t(granted) / 2;
    int64_t delay = secs > 0 ? secs * 1000 : 500;
    refresh_.start(host_.now(), floor_delay(delay), [this] {
        auth_.accepted();
        send_register(want_expires_);
    });
}

void Line::server_back(bool after_outage) {
    if (removed) return;
    if (state_ == State::RetryWait) {
        // The server answers again after being away (or after our REGISTER
        // went unanswered): no need to sit out the back-off. Once per
        // failure: a server that answers keep-alives but refuses the line
        // gets the normal back-off.
        bool was_away = after_outage || last_fail_cause_ == SIPX_CAUSE_NO_RESPONSE ||
                        last_fail_cause_ == SIPX_CAUSE_NETWORK;
        if (!was_away || early_retry_done_) return;
        early_retry_done_ = true;
        int64_t delay = std::max(floor_delay(0), retry_not_before_ - host_.now());
        retry_.start(host_.now(), delay, [this] { retry(); });
    } else if (state_ == State::Registered && after_outage && !refresh_due_soon()) {
        // It may have restarted and forgotten us.
        refresh_.start(host_.now(), floor_delay(0), [this] {
            auth_.accepted();
            send_register(want_expires_);
        });
    }
}

void Line::server_silent() {
    if (removed || state_ != State::Registered) return;
    CALLCTL_LOG(log::Info, "line %u: keep-alives to the registrar unanswered; registering again", unsigned(handle));
    refresh_.stop();
    auth_.accepted();
    send_register(want_expires_);
    host_.txn().give_up_after(txn_, 16 * host_.timer_settings().t1);
}

void Line::watch_network() {
    net_watch_.start(host_.now(), kNetworkCheckMs, [this] {
        if (removed || state_ == State::Idle || state_ == State::Unregistering) return;
        watch_network();
        if (local_ip_.empty() || host_.local_ip_for(registrar) == local_ip_) return;
        // Another network (cable to Wi-Fi, a VPN, resume from sleep): the
        // address the registrar knows us by is gone. Register from the new
        // one at once, and the calls follow once the registrar answered.
        CALLCTL_LOG(log::Info, "line %u: local address %s -> %s; registering again", unsigned(handle),
                    local_ip_.c_str(), host_.local_ip_for(registrar).c_str());
        host_.forget_public_address();
        calls_follow_ = true;
        // What worked on the old network may not be needed (or work) here.
        if (path_ != 0) use_path(0);
        if (state_ == State::RetryWait) {
            retry_.stop();
            retry();
            return;
        }
        refresh_.stop();
        auth_.accepted();
        send_register(want_expires_);
    });
}

bool Line::refresh_due_soon() const {
    return refresh_.active() && refresh_.due() <= host_.now() + host_.timer_settings().register_refresh_min;
}

void Line::retry() {
    state_ = State::Registering;
    auth_.reset();
    // The host is looked up again: a server that moved is found.
    host_.resolve(
        id.host, handle,
        [this](bool ok, uint32_t ip) {
            if (state_ != State::Registering) return;  // unregistered meanwhile
            if (ok) {
                // A located server in use keeps its own address.
                if (paths_[path_].ip != 0) domain_ip_ = ip;
                else registrar.ip = ip;
                registrar_known = true;
            }
            if (!registrar_known) {
                fail(SIPX_CAUSE_NETWORK, 0);
                return;
            }
            send_register(want_expires_);
        },
        true);
}

void Line::fail(uint32_t cause, int status, int64_t not_before) {
    refresh_.stop();
    last_fail_cause_ = cause;
    early_retry_done_ = false;
    state_ = State::RetryWait;
    registered_reported_ = false;
    want_expires_ = 3600;
    interval_tries_ = 0;
    host_.emit_line(handle, SIPX_LINESTATE_REGISTER_FAILED, cause, status);
    const TimerSettings &ts = host_.timer_settings();
    int64_t delay = ts.register_retry_min;
    for (int i = 0; i < retry_count_ && delay < ts.register_retry_max; ++i) delay *= 2;
    delay = std::min(delay, ts.register_retry_max);
    delay += int64_t(random_u32() % 1000) * delay / 5000;  // up to +20 %
    delay = std::max(delay, not_before);
    retry_not_before_ = not_before ? host_.now() + not_before : 0;
    ++retry_count_;
    retry_.start(host_.now(), delay, [this] { retry(); });
}

}  // namespace callctl
