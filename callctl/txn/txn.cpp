#include "txn.h"

#include "../base/log.h"
#include "../transport/transport.h"

namespace callctl {

// One client transaction. INVITE: Calling -> Proceeding -> (2xx: gone) or
// Completed (ACK sent, timer D) -> gone. Others: Trying -> Proceeding ->
// Completed (timer K) -> gone.
struct TxnLayer::Client {
    enum class State { Calling, Proceeding, Completed };
    explicit Client(TimerHost &h) : retransmit(h), timeout(h), linger(h) {}
    uint64_t id = 0;
    bool invite = false;
    bool ring_unbounded = false;
    State state = State::Calling;
    Endpoint dest;
    std::string wire;
    sip::Message req;
    std::string key;
    ResponseFn fn;
    int64_t interval = 0;
    Timer retransmit;  // A or E
    Timer timeout;     // B or F
    Timer linger;      // D or K
    std::string ack;   // ACK for a non-2xx final response
};

// One server transaction: the final response we sent, repeated for every
// retransmission of the request; for INVITE also resent on timer G until
// the ACK arrives.
struct TxnLayer::Server {
    explicit Server(TimerHost &h) : retransmit(h), lifetime(h) {}
    std::string key;
    bool invite = false;
    bool confirmed = false;
    int code = 0;
    std::string call_id;
    uint32_t cseq = 0;
    Endpoint to;
    std::string response;
    int64_t interval = 0;
    Timer retransmit;  // G
    Timer lifetime;    // H/I/J
};

namespace {

std::string client_key(std::string_view branch, std::string_view method) {
    std::string k(branch);
    k += '|';
    k += method;
    return k;
}

// ACK for a non-2xx final response (RFC 3261 17.1.1.3).
std::string build_ack(const sip::Message &req, const sip::Message &resp) {
    sip::Writer w;
    w.request_line("ACK", req.request_uri());
    const sip::HeaderField *via = req.find(sip::Hdr::Via);
    // Only the top Via of our own request: the one element we wrote.
    w.header(sip::Hdr::Via, via ? via->value : std::string_view());
    w.header(sip::Hdr::MaxForwards, 70);
    w.copy(req, sip::Hdr::From);
    w.header(sip::Hdr::To, resp.value(sip::Hdr::To));
    w.header(sip::Hdr::CallId, req.call_id());
    w.header(sip::Hdr::CSeq, std::to_string(req.cseq()) + " ACK");
    w.copy(req, sip::Hdr::Route);
    return w.finish();
}

}  // namespace

TxnLayer::TxnLayer(TxnHost &host) : host_(host) {}
TxnLayer::~TxnLayer() = default;

uint64_t TxnLayer::send_request(const Endpoint &dest, const std::string &wire, ResponseFn fn, bool ring_unbounded) {
    auto c = std::make_unique<Client>(host_.timers());
    c->id = next_id_++;
    c->dest = dest;
    c->wire = wire;
    c->fn = std::move(fn);
    const TimerSettings &ts = host_.timer_settings();
    int64_t now = host_.now();
    uint64_t id = c->id;
    Client *cp = c.get();
    bool usable = c->req.parse(wire) && dest.ip != 0 && dest.port != 0;
    if (usable) {
        c->invite = c->req.method() == "INVITE";
        c->ring_unbounded = c->invite && ring_unbounded;
        c->key = client_key(c->req.top_via().branch, c->req.method());
        client_by_branch_[c->key] = id;
    }
    clients_[id] = std::move(c);
    if (!usable) {
        // Nothing can be sent: the owner hears of it as of a timeout.
        arm_timeout(cp, 0);
        return id;
    }
    bool sent = host_.send(dest, wire);
    if (SipTransport::reliable(dest, wire.size(), true)) {
        // A connection delivers or breaks: no retransmissions, and a request
        // that could not even be queued fails at once.
        arm_timeout(cp, sent ? 64 * int64_t(ts.t1) : 0);
        return id;
    }
    // A failed UDP send is retried by timer A/E.
    cp->interval = ts.t1;
    cp->retransmit.start(now, cp->interval, [this, cp] { client_timer_a(cp); });
    arm_timeout(cp, 64 * int64_t(ts.t1));
    return id;
}

void TxnLayer::arm_timeout(Client *c, int64_t delay) {
    uint64_t id = c->id;
    c->timeout.start(host_.now(), delay, [this, id] {
        auto it = clients_.find(id);
        if (it == clients_.end()) return;
        ResponseFn f = it->second->fn;
        bool notify = it->second->state != Client::State::Completed;
        if (notify && log::on(log::Warning)) {
            const Client &cl = *it->second;
            if (cl.key.empty())
                log::linef(log::Warning, "a request with no destination (or not well formed) was not sent");
            else
                log::linef(log::Warning, "%s to %s: no response, given up", std::string(cl.req.method()).c_str(),
                           cl.dest.text().c_str());
        }
        finish_client(id);
        if (notify && f) f(nullptr);
    });
}

void TxnLayer::cancelled(uint64_t id) {
    auto it = clients_.find(id);
    if (it == clients_.end()) return;
    Client *c = it->second.get();
    if (c->invite && c->state == Client::State::Proceeding) arm_timeout(c, 64 * int64_t(host_.timer_settings().t1));
}

void TxnLayer::give_up_after(uint64_t id, int64_t ms) {
    auto it = clients_.find(id);
    if (it == clients_.end() || it->second->state == Client::State::Completed || it->second->key.empty()) return;
    arm_timeout(it->second.get(), ms);
}

void TxnLayer::fail_destination(const Endpoint &peer) {
    for (auto &kv : clients_) {
        Client *c = kv.second.get();
        if (c->state != Client::State::Completed && !c->key.empty() &&
            SipTransport::route(c->dest, c->wire.size(), true) == peer)
            arm_timeout(c, 0);
    }
}

void TxnLayer::client_timer_a(Client *c) {
    const TimerSettings &ts = host_.timer_settings();
    host_.send(c->dest, c->wire);
    if (c->invite) {
        c->interval *= 2;
    } else {
        c->interval = c->state == Client::State::Proceeding ? ts.t2 : std::min<int64_t>(c->interval * 2, ts.t2);
    }
    c->retransmit.start(host_.now(), c->interval, [this, c] { client_timer_a(c); });
}

void TxnLayer::detach(uint64_t id) {
    auto it = clients_.find(id);
    if (it != clients_.end()) it->second->fn = nullptr;
}

void TxnLayer::finish_client(uint64_t id) {
    auto it = clients_.find(id);
    if (it == clients_.end()) return;
    client_by_branch_.erase(it->second->key);
    clients_.erase(it);
}

bool TxnLayer::on_response(const sip::Message &resp) {
    auto bit = client_by_branch_.find(client_key(resp.top_via().branch, resp.cseq_method()));
    if (bit == client_by_branch_.end()) return false;
    auto it = clients_.find(bit->second);
    if (it == clients_.end()) return false;
    Client *c = it->second.get();
    if (resp.cseq() != c->req.cseq()) return false;
    const TimerSettings &ts = host_.timer_settings();
    int code = resp.status();
    ResponseFn f = c->fn;  // the callback may detach or replace it

    if (code < 200) {
        if (c->state == Client::State::Calling) {
            c->state = Client::State::Proceeding;
            if (c->invite) c->retransmit.stop();
            // RFC 3261 17.1.1.2: timer B belongs to the Calling state. The
            // callee may ring as long as it likes; our hang-up cancels.
            if (c->ring_unbounded) c->timeout.stop();
        }
        if (f) f(&resp);
        return true;
    }
    if (c->state == Client::State::Completed) {
        // Retransmitted final response: repeat the ACK, tell nobody.
        if (c->invite && !c->ack.empty()) host_.send(c->dest, c->ack);
        return true;
    }
    c->retransmit.stop();
    c->timeout.stop();
    if (c->invite && code < 300) {
        // 2xx ends the INVITE transaction; the dialog sends the ACK.
        uint64_t id = c->id;
        finish_client(id);
        if (f) f(&resp);
        return true;
    }
    c->state = Client::State::Completed;
    if (c->invite) {
        c->ack = build_ack(c->req, resp);
        host_.send(c->dest, c->ack);
    }
    uint64_t id = c->id;
    c->linger.start(host_.now(), c->invite ? 64 * int64_t(ts.t1) : ts.t4, [this, id] { finish_client(id); });
    if (f) f(&resp);
    return true;
}

size_t TxnLayer::pending_clients() const {
    size_t n = 0;
    for (const auto &kv : clients_)
        if (kv.second->state != Client::State::Completed) ++n;
    return n;
}

std::string TxnLayer::server_key(const sip::Message &m, bool ack_as_invite) {
    std::string_view method = m.method();
    if (ack_as_invite && method == "ACK") method = "INVITE";
    const sip::Via &v = m.top_via();
    std::string k;
    if (v.branch.size() > 7 && v.branch.compare(0, 7, "z9hG4bK") == 0) {
        k.append(v.branch).append("|").append(v.host).append(":").append(std::to_string(v.port));
    } else {
        // RFC 2543 peers: no magic cookie, match on the dialog fields.
        k.append(m.call_id()).append("|").append(std::to_string(m.cseq())).append("|").append(m.from_tag());
    }
    k.append("|").append(method);
    return k;
}

bool TxnLayer::absorb_request(const sip::Message &req, const Endpoint &from) {
    (void)from;
    bool ack = req.method() == "ACK";
    auto it = servers_.find(server_key(req, true));
    if (it != servers_.end()) {
        Server *s = it->second.get();
        if (ack) {
            if (s->invite && !s->confirmed) {
                s->confirmed = true;
                s->retransmit.stop();
                std::string key = s->key;
                s->lifetime.start(host_.now(), host_.timer_settings().t4, [this, key] { finish_server(key); });
            }
            return true;
        }
        if (!s->response.empty()) host_.send(s->to, s->response);
        return true;
    }
    if (ack) {
        // ACK for a 2xx carries a new branch: match on Call-ID and CSeq.
        for (auto &kv : servers_) {
            Server *s = kv.second.get();
            if (s->invite && s->code < 300 && !s->confirmed && s->call_id == req.call_id() &&
                s->cseq == req.cseq()) {
                std::string key = s->key;
                finish_server(key);
                return true;
            }
        }
    }
    return false;
}

void TxnLayer::respond(const sip::Message &req, const Endpoint &to, const std::string &wire, int code) {
    host_.send(to, wire);
    if (req.method() == "ACK" || code < 200 || servers_.size() >= kMaxServers) return;
    const TimerSettings &ts = host_.timer_settings();
    auto s = std::make_unique<Server>(host_.timers());
    s->key = server_key(req, false);
    s->invite = req.method() == "INVITE";
    s->code = code;
    s->call_id = std::string(req.call_id());
    s->cseq = req.cseq();
    s->to = to;
    s->response = wire;
    Server *sp = s.get();
    std::string key = s->key;
    servers_[key] = std::move(s);
    int64_t now = host_.now();
    if (sp->invite && !SipTransport::reliable(to, wire.size(), false)) {
        sp->interval = ts.t1;
        sp->retransmit.start(now, sp->interval, [this, key] { server_timer_g(key); });
    }
    sp->lifetime.start(now, 64 * int64_t(ts.t1), [this, key] { finish_server(key); });
}

void TxnLayer::server_timer_g(const std::string &key) {
    auto it = servers_.find(key);
    if (it == servers_.end()) return;
    Server *s = it->second.get();
    host_.send(s->to, s->response);
    s->interval = std::min<int64_t>(s->interval * 2, host_.timer_settings().t2);
    s->retransmit.start(host_.now(), s->interval, [this, key] { server_timer_g(key); });
}

void TxnLayer::finish_server(const std::string &key) { servers_.erase(key); }

}  // namespace callctl
