// The instance: library thread, datagram dispatch, out-of-dialog requests,
// event queue and delivery.
#include "instance.h"

#include <algorithm>
#include <chrono>

#include "../auth/auth.h"
#include "../base/log.h"
#include "../ua/ua.h"

namespace callctl {

namespace {
std::atomic<uint32_t> g_next_handle{0x100};

const char kAllow[] = "INVITE, ACK, CANCEL, BYE, OPTIONS, MESSAGE, NOTIFY";

const char *state_text(uint32_t state) {
    switch (state) {
    case SIPX_CALLSTATE_DIALTONE: return "created";
    case SIPX_CALLSTATE_REMOTE_OFFERING: return "calling";
    case SIPX_CALLSTATE_REMOTE_ALERTING: return "ringing";
    case SIPX_CALLSTATE_CONNECTED: return "connected";
    case SIPX_CALLSTATE_HELD: return "held";
    case SIPX_CALLSTATE_DISCONNECTED: return "disconnected";
    case SIPX_CALLSTATE_DESTROYED: return "destroyed";
    case SIPX_LINESTATE_REGISTERING: return "registering";
    case SIPX_LINESTATE_REGISTERED: return "registered";
    case SIPX_LINESTATE_UNREGISTERING: return "unregistering";
    case SIPX_LINESTATE_UNREGISTERED: return "unregistered";
    case SIPX_LINESTATE_REGISTER_FAILED: return "registration failed";
    default: return "?";
    }
}

const char *cause_text(uint32_t cause) {
    static const char *const names[] = {"normal",    "local hang-up", "remote hang-up", "busy",
                                        "rejected",  "redirected",    "no response",    "authentication failed",
                                        "forbidden", "not found",     "network",        "cancelled",
                                        "media timeout"};
    return cause < sizeof names / sizeof names[0] ? names[cause] : "?";
}

// "SIP 486, cause busy" or "cause local hang-up".
std::string outcome_text(uint32_t cause, int sip_status) {
    std::string t = sip_status ? "SIP " + std::to_string(sip_status) + ", " : std::string();
    return t + "cause " + cause_text(cause);
}

bool is_gbk_charset(std::string_view cs) {
    return sip::iequals(cs, "gbk") || sip::iequals(cs, "gb2312") || sip::iequals(cs, "gb18030") ||
           sip::iequals(cs, "cp936");
}
}  // namespace

uint32_t new_handle() { return g_next_handle.fetch_add(1); }

Instance::Instance(uint32_t h)
    : media(std::make_unique<media::Engine>()), handle(h), txn_(*this), rxbuf_(sip::kMaxMessage + 1),
      resolver_(std::make_unique<Resolver>([this] { wake(); })) {
    to_tag_salt_ = random_token(16);
    // A timer armed by an API thread may be due before the library thread's
    // current wait ends.
    timers_.on_earlier = [this] {
        if (running_ && !on_library_thread()) wake();
    };
}

Instance::~Instance() {
    // Objects holding timers and transactions go before the layers they use.
    calls.clear();
    media->stop();
    lines.clear();
    confs.clear();
    keepalives.clear();
    if (net_started_) net_cleanup();
}

SIPX_RESULT Instance::start(uint32_t bind_ip, uint16_t port) {
    if (!net_startup()) {
        CALLCTL_LOG(log::Error, "network start-up failed");
        return SIPX_RESULT_NETWORK_FAILURE;
    }
    net_started_ = true;
    bind_ip_ = bind_ip;
    if (!sock_.open(bind_ip, port) || !wake_sock_.open(0x7f000001, 0)) {
        CALLCTL_LOG(log::Error, "SIP port %s could not be bound", Endpoint{bind_ip, port}.text().c_str());
        return SIPX_RESULT_NETWORK_FAILURE;
    }
    CALLCTL_LOG(log::Info, "instance %u started, SIP on %s", unsigned(handle),
                Endpoint{bind_ip, sock_.local_port()}.text().c_str());
    media->start();
    std::lock_guard<std::mutex> g(lock);
    thread_ = std::thread(&Instance::run, this);
    thread_id_ = thread_.get_id();
    running_ = true;
    return SIPX_RESULT_SUCCESS;
}

void Instance::wake() {
    char b = 1;
    wake_sock_.send_to(Endpoint{0x7f000001, wake_sock_.local_port()}, &b, 1);
}

void Instance::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> g(lock);
        stopping_ = true;
        for (auto &kv : calls)
            if (!kv.second->released) kv.second->release();
        // BYEs waiting for a lookup go now, to the first destination.
        for (auto &kv : calls) kv.second->give_up_lookups();
        for (auto &kv : lines) kv.second->shutdown();
        keepalives.clear();
    }
    wake();
    // Let BYE, CANCEL and un-REGISTER get their answers, within bounds.
    int64_t deadline = now_ms() + timer_settings_.shutdown_wait;
    while (now_ms() < deadline) {
        {
            std::lock_guard<std::mutex> g(lock);
            if (txn_.pending_clients() == 0) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    quit_ = true;
    running_ = false;
    wake();
    thread_.join();
    media->stop();  // every stream ended, every recording finalised
    resolver_->shutdown();  // no more wake-ups from its worker
    std::lock_guard<std::mutex> g(lock);
    calls.clear();
    lines.clear();
    confs.clear();
    pending_.clear();
    waiters_.clear();
    sock_.close();
    wake_sock_.close();
    CALLCTL_LOG(log::Info, "instance %u stopped", unsigned(handle));
}

void Instance::run() {
    { std::lock_guard<std::mutex> g(lock); }  // start() has set thread_id_
    UdpSocket *socks[2] = {&sock_, &wake_sock_};
    while (!quit_) {
        int64_t delay;
        {
            std::lock_guard<std::mutex> g(lock);
            delay = timers_.next_delay(now(), 1000);
        }
        bool ready[2] = {false, false};
        if (!wait_readable(socks, 2, int(delay), ready))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::vector<Pending> batch;
        {
            std::lock_guard<std::mutex> g(lock);
            if (ready[1]) {
                char b[64];
                Endpoint from;
                while (wake_sock_.recv_from(b, sizeof b, &from) > 0) {
                }
            }
            // A bounded batch per turn, so a flood of datagrams never keeps
            // the lock from API calls for long.
            if (ready[0]) {
                for (int i = 0; i < 32; ++i) {
                    Endpoint from;
                    int n = sock_.recv_from(rxbuf_.data(), rxbuf_.size(), &from);
                    if (n == 0) break;
                    if (n < 0) continue;
                    on_datagram(rxbuf_.data(), size_t(n), from);
                }
            }
            take_resolver_answers();
            timers_.run_due(now());
            reap_finished_calls();
            batch.swap(pending_);
        }
        if (!batch.empty()) deliver(batch);
    }
}

void Instance::deliver(std::vector<Pending> &batch) {
    std::lock_guard<std::mutex> d(delivery);
    for (auto &p : batch) {
        std::vector<Listener> ls;
        {
            std::lock_guard<std::mutex> g(lock);
            ls = listeners;
        }
        if (p.category == SIPX_EVENT_CATEGORY_MESSAGE) {
            p.info.szText = p.text.c_str();
            p.info.event = uint32_t(reinterpret_cast<uintptr_t>(p.info.szText));
        }
        for (const auto &l : ls) {
            // A listener removed by an earlier one in this round is skipped.
            bool still = false;
            {
                std::lock_guard<std::mutex> g(lock);
                for (const auto &x : listeners)
                    if (x.cb == l.cb && x.user == l.user) still = true;
            }
            if (still) l.cb(p.category, &p.info, l.user);
        }
    }
}

void Instance::emit_call(SIPX_CALL call, SIPX_LINE line, uint32_t state, uint32_t cause, int sip_status) {
    CALLCTL_LOG(log::Info, "call %u (line %u): %s, %s", unsigned(call), unsigned(line), state_text(state),
                outcome_text(cause, sip_status).c_str());
    Pending p{SIPX_EVENT_CATEGORY_CALLSTATE, {}, {}};
    p.info.cbSize = sizeof(SIPX_EVENT_INFO);
    p.info.hCall = call;
    p.info.hLine = line;
    p.info.event = state;
    p.info.cause = cause;
    p.info.sipStatus = uint32_t(sip_status);
    pending_.push_back(std::move(p));
    if (!on_library_thread()) wake();
}

void Instance::emit_line(SIPX_LINE line, uint32_t state, uint32_t cause, int sip_status) {
    int level = state == SIPX_LINESTATE_REGISTER_FAILED ? log::Warning : log::Info;
    if (log::on(level)) {
        Line *l = find_line(line);
        log::linef(level, "line %u <%s>: %s, %s", unsigned(line), l ? l->id.uri.c_str() : "?", state_text(state),
                   outcome_text(cause, sip_status).c_str());
    }
    Pending p{SIPX_EVENT_CATEGORY_LINESTATE, {}, {}};
    p.info.cbSize = sizeof(SIPX_EVENT_INFO);
    p.info.hLine = line;
    p.info.event = state;
    p.info.cause = cause;
    p.info.sipStatus = uint32_t(sip_status);
    pending_.push_back(std::move(p));
    if (!on_library_thread()) wake();
}

void Instance::emit_message(SIPX_LINE line, const std::string &gbk_text) {
    Pending p{SIPX_EVENT_CATEGORY_MESSAGE, {}, gbk_text};
    p.info.cbSize = sizeof(SIPX_EVENT_INFO);
    p.info.hLine = line;
    pending_.push_back(std::move(p));
    if (!on_library_thread()) wake();
}

bool Instance::send(const Endpoint &to, const std::string &wire) {
    bool sent = send_raw(to, wire.data(), wire.size());
    if (log::on(log::Debug)) log::sip_message(true, to, wire);
    if (!sent)
        CALLCTL_LOG(log::Warning, "SIP message of %u bytes could not be sent to %s", unsigned(wire.size()),
                    to.text().c_str());
    return sent;
}

bool Instance::send_raw(const Endpoint &to, const void *data, size_t len) {
    if (to.ip == 0 || to.port == 0) return false;
    return sock_.send_to(to, data, len);
}

std::string Instance::local_ip_for(const Endpoint &dest) {
    uint32_t ip = bind_ip_;
    if (ip == 0 && !local_address_for(dest.ip, &ip)) ip = 0x7f000001;
    return Endpoint{ip, 0}.ip_text();
}

std::string Instance::via_sent_by(const Endpoint &dest) {
    return local_ip_for(dest) + ":" + std::to_string(sock_.local_port());
}

std::string Instance::contact_host_port(const Endpoint &dest) {
    if (public_port_ != 0) return public_ip_ + ":" + std::to_string(public_port_);
    return via_sent_by(dest);
}

bool Instance::learn_address(const sip::Message &resp) {
    if (!config.rport) return false;
    const sip::Via &v = resp.top_via();
    if (v.rport <= 0 && v.received.empty()) return false;
    std::string ip = v.received.empty() ? std::string(v.host) : std::string(v.received);
    uint32_t check = 0;
    if (!parse_ipv4(ip, &check)) return false;
    uint16_t port = v.rport > 0 ? uint16_t(v.rport) : (v.port ? v.port : sock_.local_port());
    bool changed = ip != public_ip_ || port != public_port_;
    public_ip_ = ip;
    public_port_ = port;
    return changed;
}

Line *Instance::find_line(uint32_t h) {
    auto it = lines.find(h);
    return it == lines.end() ? nullptr : it->second.get();
}

Call *Instance::find_call(uint32_t h) {
    auto it = calls.find(h);
    return it == calls.end() || it->second->released ? nullptr : it->second.get();
}

Conference *Instance::find_conf(uint32_t h) {
    auto it = confs.find(h);
    return it == confs.end() ? nullptr : it->second.get();
}

Line *Instance::line_for_source(const Endpoint &from) {
    for (auto &kv : lines)
        if (!kv.second->removed && kv.second->registrar_known && kv.second->registrar == from)
            return kv.second.get();
    return nullptr;
}

KeepAlive *Instance::keepalive_for(const Endpoint &from) {
    for (auto &k : keepalives)
        if (k->ip == from.ip && k->port == from.port) return k.get();
    return nullptr;
}

void Instance::resolve(const std::string &host, uint64_t owner, std::function<void(bool, uint32_t)> fn,
                       bool fresh) {
    uint32_t ip = 0;
    if (parse_ipv4(host, &ip) || (!fresh && resolver_->cached(host, &ip))) {
        fn(true, ip);
        return;
    }
    if (!fresh && resolver_->known_bad(host)) {  // failed a moment ago: no new lookup yet
        fn(false, 0);
        return;
    }
    if (waiters_.size() >= 256) {  // names from hostile peers: never an unbounded list
        fn(false, 0);
        return;
    }
    waiters_.push_back(Waiter{host, owner, std::move(fn)});
    resolver_->request(host);
}

void Instance::cancel_resolves(uint64_t owner) {
    waiters_.erase(std::remove_if(waiters_.begin(), waiters_.end(), [&](const Waiter &w) { return w.owner == owner; }),
                   waiters_.end());
}

void Instance::take_resolver_answers() {
    if (!resolver_) return;
    for (const auto &a : resolver_->take_answers()) {
        // Take the waiters first: a callback may ask again for the same name.
        std::vector<Waiter> ready;
        for (auto it = waiters_.begin(); it != waiters_.end();) {
            if (it->host == a.host) {
                ready.push_back(std::move(*it));
                it = waiters_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto &w : ready) w.fn(a.ok, a.ip);
    }
}

size_t Instance::live_calls() const {
    size_t n = 0;
    for (const auto &kv : calls)
        if (!kv.second->released) ++n;
    return n;
}

void Instance::reap_finished_calls() {
    for (auto it = calls.begin(); it != calls.end();) {
        if (it->second->finished()) it = calls.erase(it);
        else ++it;
    }
}

// ---- incoming ---------------------------------------------------------------

void Instance::on_datagram(const char *data, size_t len, const Endpoint &from) {
    bool blank = true;
    for (size_t i = 0; i < len && blank; ++i) blank = data[i] == '\r' || data[i] == '\n';
    if (blank || (static_cast<unsigned char>(data[0]) & 0xC0) == 0) {
        // A keep-alive pong (CRLF) or a STUN answer: the server is there.
        KeepAlive *k = keepalive_for(from);
        if (k && k->is_answer(data, len)) k->answered();
        return;
    }
    if (log::on(log::Debug)) log::sip_message(false, from, std::string_view(data, len));
    sip::Message m;
    if (len > sip::kMaxMessage || !m.parse(data, len)) {
        CALLCTL_LOG(log::Debug, "not a SIP message we can read: dropped");  // and nothing else
        return;
    }
    if (m.is_request()) on_request(m, from);
    else on_response(m, from);
}

void Instance::on_response(const sip::Message &m, const Endpoint &from) {
    if (txn_.on_response(m)) return;
    if (m.cseq_method() == "OPTIONS") {
        // Keep-alive OPTIONS go out without a transaction; any answer will do.
        if (KeepAlive *k = keepalive_for(from)) k->answered();
        return;
    }
    if (m.status() >= 200 && m.status() < 300 && m.cseq_method() == "INVITE") {
        for (auto &kv : calls)
            if (kv.second->on_stray_2xx(m)) return;
    }
}

void Instance::on_request(const sip::Message &m, const Endpoint &from) {
    if (txn_.absorb_request(m, from)) return;
    std::string_view method = m.method();
    if (method == "ACK") return;
    std::string_view require = m.find("Require") ? m.find("Require")->value : std::string_view();
    if (!require.empty() && method != "CANCEL") {
        send_response(m, from, 420, {{"Unsupported", std::string(require)}}, {}, {}, local_to_tag(m), true);
        return;
    }
    if (!m.to_tag().empty()) {
        for (auto &kv : calls) {
            if (kv.second->matches(m)) {
                kv.second->on_request(m, from);
                return;
            }
        }
        send_response(m, from, 481, {}, {}, {}, {}, true);
        return;
    }
    handle_out_of_dialog(m, from);
}

void Instance::handle_out_of_dialog(const sip::Message &m, const Endpoint &from) {
    std::string_view method = m.method();
    std::string tag = local_to_tag(m);
    if (method == "INVITE") {
        // This phone places calls; it does not take them. Refused without
        // a server transaction: a flood of INVITEs leaves nothing behind.
        send_response(m, from, 486, {}, {}, {}, tag, true);
    } else if (method == "OPTIONS") {
        send_response(m, from, 200, {{"Allow", kAllow}, {"Accept", "application/sdp, text/plain"}}, {}, {}, tag,
                      true);
    } else if (method == "MESSAGE") {
        // Notices come from the call server: the registrar's address and port.
        Line *line = line_for_source(from);
        if (!line) {
            send_response(m, from, 403, {}, {}, {}, tag, true);
            return;
        }
        std::string_view ct = m.value(sip::Hdr::ContentType);
        size_t semi = ct.find(';');
        std::string_view type = sip::trim(ct.substr(0, semi));
        if (!sip::iequals(type, "text/plain")) {
            send_response(m, from, 415, {{"Accept", "text/plain"}}, {}, {}, tag);
            return;
        }
        std::string_view charset;
        std::string text;
        if (semi != std::string_view::npos && sip::find_param(ct.substr(semi), "charset", &charset) &&
            is_gbk_charset(charset))
            text = std::string(m.body());
        else
            text = utf8_to_gbk(m.body());
        send_response(m, from, 200, {}, {}, {}, tag);
        emit_message(line->handle, text);
    } else if (method == "NOTIFY") {
        send_response(m, from, 200, {}, {}, {}, tag, true);
    } else if (method == "BYE" || method == "CANCEL") {
        send_response(m, from, 481, {}, {}, {}, tag, true);
    } else if (method == "SUBSCRIBE" || method == "REFER" || method == "PUBLISH" || method == "PRACK" ||
               method == "UPDATE" || method == "INFO" || method == "REGISTER") {
        send_response(m, from, 405, {{"Allow", kAllow}}, {}, {}, tag, true);
    } else {
        send_response(m, from, 501, {{"Allow", kAllow}}, {}, {}, tag, true);
    }
}

// The same request (a retransmission) gets the same tag, as a stateless
// answer must (RFC 3261 8.2.7); other requests get unguessable ones.
std::string Instance::local_to_tag(const sip::Message &req) const {
    std::string key = to_tag_salt_;
    key.append("|").append(req.call_id()).append("|").append(req.from_tag()).append("|").append(req.top_via().branch);
    return auth::md5_hex(key).substr(0, 12);
}

void Instance::send_response(const sip::Message &req, const Endpoint &from, int code,
                             const std::vector<std::pair<std::string, std::string>> &extra,
                             std::string_view body, std::string_view content_type, std::string_view to_tag,
                             bool stateless) {
    const sip::Via &top = req.top_via();
    sip::Writer w;
    w.status_line(code, {});
    bool first = true;
    for (const auto &h : req.headers()) {
        if (h.id != sip::Hdr::Via) continue;
        sip::for_each_element(h.value, [&](std::string_view el) {
            if (!first) {
                w.header(sip::Hdr::Via, el);
                return true;
            }
            first = false;
            // RFC 3261 18.2.1 received, RFC 3581 rport value.
            std::string v(el);
            if (top.has_rport) {
                size_t at = v.find(";rport");
                size_t end = at == std::string::npos ? at : at + 6;
                if (at != std::string::npos && (end == v.size() || v[end] == ';' || v[end] == ' '))
                    v.insert(end, "=" + std::to_string(from.port));
            }
            std::string src = from.ip_text();
            if (top.has_rport || src != top.host) v += ";received=" + src;
            w.header(sip::Hdr::Via, v);
            return true;
        });
    }
    w.copy(req, sip::Hdr::From);
    std::string to(req.value(sip::Hdr::To));
    if (req.to_tag().empty() && !to_tag.empty() && code > 100) to += ";tag=" + std::string(to_tag);
    w.header(sip::Hdr::To, to);
    w.header(sip::Hdr::CallId, req.call_id());
    w.copy(req, sip::Hdr::CSeq);
    for (const auto &e : extra) w.header(e.first, e.second);
    w.header(sip::Hdr::UserAgent, config.user_agent);
    std::string wire = w.finish(body, content_type);
    Endpoint dest = from;
    if (!top.has_rport) dest.port = top.port ? top.port : 5060;
    if (stateless) send(dest, wire);
    else txn_.respond(req, dest, wire, code);
}

}  // namespace callctl
