#include "transport.h"

#include <cstring>

#include "../base/log.h"
#include "tls.h"

namespace callctl {

static uint64_t key_of(const Endpoint &e) {
    return (uint64_t(e.ip) << 24) | (uint64_t(e.port) << 8) | uint64_t(e.transport);
}

std::string via_value(Transport t, const std::string &sent_by, bool rport, const std::string &branch) {
    std::string v = "SIP/2.0/";
    v += transport_name(t);
    v += ' ';
    v += sent_by;
    if (rport) v += ";rport";
    v += ";branch=";
    v += branch;
    return v;
}

struct SipTransport::Conn {
    explicit Conn(TimerHost &t) : ping(t), deadline(t) {}
    enum class Phase { Connecting, Handshaking, Open } phase = Phase::Connecting;
    Endpoint peer;
    TcpSocket sock;
    std::unique_ptr<tls::Session> tls;
    StreamFramer framer;
    std::string out;      // bytes for the socket
    std::string waiting;  // plaintext until the TLS session is open
    bool pong_due = false;
    Timer ping;
    Timer deadline;  // opening, or the pong
};

SipTransport::SipTransport(TransportHost &host, UdpSocket &udp) : host_(host), udp_(udp), rxbuf_(16384) {}

SipTransport::~SipTransport() { close_all(); }

void SipTransport::close_all() { conns_.clear(); }

void SipTransport::set_timing(int64_t interval, int64_t pong_wait, int64_t open_wait) {
    ping_interval_ = interval;
    pong_wait_ = pong_wait;
    open_wait_ = open_wait;
}

Endpoint SipTransport::route(const Endpoint &to, size_t size, bool request) {
    Endpoint r = to;
    if (request && to.transport == Transport::Udp && size > kUdpRequestMax) r.transport = Transport::Tcp;
    return r;
}

bool SipTransport::reliable(const Endpoint &to, size_t size, bool request) {
    return route(to, size, request).transport != Transport::Udp;
}

void SipTransport::set_server_name(const Endpoint &to, const std::string &name) { names_[key_of(to)] = name; }

SipTransport::Conn *SipTransport::find(const Endpoint &to) const {
    auto it = conns_.find(key_of(to));
    return it == conns_.end() ? nullptr : it->second.get();
}

SipTransport::Conn *SipTransport::open(const Endpoint &to) {
    if (to.transport == Transport::Udp) return nullptr;
    if (Conn *c = find(to)) return c;
    std::unique_ptr<tls::Session> session;
    if (to.transport == Transport::Tls) {
        auto name = names_.find(key_of(to));
        session = tls::Session::client(name != names_.end() ? name->second : to.ip_text());
        if (!session) {
            CALLCTL_LOG(log::Warning, "no TLS in this build: %s not reached", to.text().c_str());
            return nullptr;
        }
    }
    auto c = std::make_unique<Conn>(host_.timers());
    c->peer = to;
    c->tls = std::move(session);
    if (!c->sock.connect_start(bind_ip_, to)) {
        CALLCTL_LOG(log::Warning, "%s connection to %s could not be started", transport_name(to.transport),
                    to.text().c_str());
        return nullptr;
    }
    CALLCTL_LOG(log::Info, "%s connection to %s from port %u", transport_name(to.transport), to.text().c_str(),
                unsigned(c->sock.local_port()));
    Conn *raw = c.get();
    Endpoint peer = to;
    raw->deadline.start(host_.now(), open_wait_, [this, peer] {
        Conn *cc = find(peer);
        lose(peer, cc && cc->phase == Conn::Phase::Handshaking ? "the TLS handshake did not finish in time"
                                                                : "the connection was not accepted in time");
    });
    conns_[key_of(to)] = std::move(c);
    return raw;
}

std::string SipTransport::local_address(const Endpoint &to) {
    Conn *c = open(to);
    if (!c) return std::string();
    return Endpoint{c->sock.local_ip(), c->sock.local_port()}.text();
}

std::string SipTransport::describe(const Endpoint &to) const {
    Conn *c = find(to);
    if (to.transport == Transport::Tls && c && c->tls && c->phase == Conn::Phase::Open) return c->tls->protocol();
    return transport_name(to.transport);
}

void SipTransport::drop(const Endpoint &to) { conns_.erase(key_of(to)); }

bool SipTransport::queue_out(Conn &c, std::string_view bytes) {
    if (c.out.size() + bytes.size() > 4 * StreamFramer::kMaxMessage) return false;
    c.out.append(bytes.data(), bytes.size());
    return true;
}

bool SipTransport::send(const Endpoint &to_in, const std::string &wire, bool request) {
    Endpoint to = route(to_in, wire.size(), request);
    if (to.transport == Transport::Udp) return udp_.send_to(to, wire.data(), wire.size());
    std::string moved;
    const std::string *msg = &wire;
    if (to_in.transport == Transport::Udp) {
        // Too large for UDP: the top Via says the transport it really takes.
        moved = wire;
        size_t v = moved.find("SIP/2.0/UDP");
        if (v != std::string::npos) moved.replace(v, 11, "SIP/2.0/TCP");
        msg = &moved;
    }
    Conn *c = open(to);
    if (!c) return false;
    if (c->phase != Conn::Phase::Open) {
        if (c->waiting.size() + msg->size() > 4 * StreamFramer::kMaxMessage) return false;
        c->waiting += *msg;
        return true;
    }
    if (c->tls) {
        std::string rec;
        if (!c->tls->encrypt(*msg, rec) || !queue_out(*c, rec)) return false;
    } else if (!queue_out(*c, *msg)) {
        return false;
    }
    flush(*c);
    return find(to) != nullptr;
}

void SipTransport::flush(Conn &c) {
    while (!c.out.empty()) {
        int n = c.sock.send(c.out.data(), c.out.size());
        if (n == 0) return;  // the rest when the socket is writable again
        if (n < 0) {
            lose(c.peer, "the connection broke while sending");
            return;
        }
        c.out.erase(0, size_t(n));
    }
}

void SipTransport::wait_items(std::vector<WaitItem> &items) const {
    for (const auto &kv : conns_) {
        WaitItem w;
        w.fd = kv.second->sock.fd();
        w.want_write = kv.second->phase == Conn::Phase::Connecting || !kv.second->out.empty();
        items.push_back(w);
    }
}

void SipTransport::on_ready(const WaitItem &item) {
    Conn *c = nullptr;
    for (const auto &kv : conns_)
        if (kv.second->sock.fd() == item.fd) c = kv.second.get();
    if (!c) return;
    Endpoint peer = c->peer;
    if (item.writable && c->phase == Conn::Phase::Connecting) {
        int err = c->sock.connect_error();
        if (err != 0) {
            lose(peer, "the connection was refused (error " + std::to_string(err) + ")");
            return;
        }
        if (c->tls) {
            c->phase = Conn::Phase::Handshaking;
            std::string hello;
            if (c->tls->start(hello) == tls::Session::State::Failed) {
                lose(peer, "TLS could not start: " + c->tls->error());
                return;
            }
            queue_out(*c, hello);
        } else {
            on_open(*c);
            if (!find(peer)) return;
        }
    }
    if (item.writable) {
        flush(*c);
        if (!find(peer)) return;
    }
    if (item.readable) on_readable(*c);
}

void SipTransport::on_open(Conn &c) {
    c.phase = Conn::Phase::Open;
    c.deadline.stop();
    CALLCTL_LOG(log::Info, "%s connection to %s is open", describe(c.peer).c_str(), c.peer.text().c_str());
    std::string waiting;
    waiting.swap(c.waiting);
    if (!waiting.empty()) {
        if (c.tls) {
            std::string rec;
            if (!c.tls->encrypt(waiting, rec)) {
                lose(c.peer, "TLS refused our data");
                return;
            }
            queue_out(c, rec);
        } else {
            queue_out(c, waiting);
        }
    }
    arm_ping(c);
    flush(c);
}

void SipTransport::on_readable(Conn &c) {
    Endpoint peer = c.peer;
    // A bounded amount per turn, so one busy connection never starves the rest.
    for (int round = 0; round < 8; ++round) {
        int n = c.sock.recv(rxbuf_.data(), rxbuf_.size());
        if (n == 0) return;
        if (n < 0) {
            lose(peer, "the server closed the connection");
            return;
        }
        if (!c.tls) {
            on_plain(c, rxbuf_.data(), size_t(n));
        } else {
            std::string back, plain;
            bool was_open = c.phase == Conn::Phase::Open;
            tls::Session::State st = c.tls->feed(rxbuf_.data(), size_t(n), back, plain);
            if (!back.empty()) queue_out(c, back);
            if (st == tls::Session::State::Failed) {
                flush(c);
                if (find(peer)) lose(peer, "TLS failed: " + c.tls->error());
                return;
            }
            if (st == tls::Session::State::Closed) {
                lose(peer, "the server ended the TLS session");
                return;
            }
            if (!was_open && st == tls::Session::State::Open) on_open(c);
            if (!find(peer)) return;
            if (!plain.empty()) on_plain(c, plain.data(), plain.size());
            if (!find(peer)) return;
            flush(c);
        }
        if (!find(peer)) return;
    }
}

void SipTransport::on_plain(Conn &c, const char *data, size_t len) {
    Endpoint peer = c.peer;
    c.framer.feed(data, len);
    // Anything from the server shows the connection is alive.
    if (c.pong_due) {
        c.pong_due = false;
        c.deadline.stop();
    }
    arm_ping(c);
    for (;;) {
        std::string_view msg;
        StreamFramer::Item it = c.framer.next(&msg);
        if (it == StreamFramer::Item::None) return;
        if (it == StreamFramer::Item::Bad) {
            lose(peer, "the server sent something that is not SIP framing");
            return;
        }
        if (it == StreamFramer::Item::Ping) {
            static const char pong[] = "\r\n";
            send(peer, pong, false);
            if (!find(peer)) return;
            continue;
        }
        if (it == StreamFramer::Item::Pong) continue;
        // The message is copied: its handler may send, and sending may close this connection.
        std::string copy(msg);
        host_.on_stream_message(copy.data(), copy.size(), peer);
        if (!find(peer)) return;
    }
}

void SipTransport::arm_ping(Conn &c) {
    if (ping_interval_ <= 0) return;
    Endpoint peer = c.peer;
    c.ping.start(host_.now(), ping_interval_, [this, peer] {
        Conn *cc = find(peer);
        if (!cc || cc->phase != Conn::Phase::Open) return;
        static const char ping[] = "\r\n\r\n";
        cc->pong_due = true;
        cc->deadline.start(host_.now(), pong_wait_, [this, peer] { lose(peer, "keep-alive pings were not answered"); });
        send(peer, ping, false);
        if (Conn *again = find(peer)) arm_ping(*again);
    });
}

void SipTransport::lose(Endpoint peer, const std::string &why) {
    auto it = conns_.find(key_of(peer));
    if (it == conns_.end()) return;
    CALLCTL_LOG(log::Warning, "%s connection to %s lost: %s", transport_name(peer.transport), peer.text().c_str(),
                why.c_str());
    conns_.erase(it);
    host_.on_connection_lost(peer, why);
}

}  // namespace callctl
