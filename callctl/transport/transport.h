// SIP transport layer: one interface over UDP, TCP and TLS. Messages go out
// whole; on streams they come in framed by Content-Length. A connection is
// opened on first use and reused for everything to that peer (the
// registration's connection carries the calls and the requests the server
// sends us), kept alive by CRLF pings (RFC 5626 4.4.1), and reported lost
// when it breaks or a ping goes unanswered.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../base/base.h"
#include "../base/timer.h"
#include "stream.h"

namespace callctl {

namespace tls {
class Session;
}

// A request larger than this does not go over UDP: it goes over TCP to the
// same address (RFC 3261 18.1.1, 200 bytes under a 1500-byte path).
constexpr size_t kUdpRequestMax = 1300;

// The Via header value of a request we send over `t`.
std::string via_value(Transport t, const std::string &sent_by, bool rport, const std::string &branch);

// What the transport needs from its owner (the instance), called on the
// library thread with its lock held.
class TransportHost {
public:
    virtual int64_t now() const = 0;
    virtual TimerHost &timers() = 0;
    // A whole message from a connection (from: the peer, with its transport).
    virtual void on_stream_message(const char *data, size_t len, const Endpoint &from) = 0;
    // A connection failed to open, broke, or stopped answering pings;
    // `why` is for the log. Nothing is sent to `peer` through it any more.
    virtual void on_connection_lost(const Endpoint &peer, const std::string &why) = 0;

protected:
    ~TransportHost() = default;
};

class SipTransport {
public:
    SipTransport(TransportHost &host, UdpSocket &udp);
    ~SipTransport();

    // Where a message really goes: a UDP request over kUdpRequestMax goes
    // over TCP.
    static Endpoint route(const Endpoint &to, size_t size, bool request);
    // True when the transaction layer must not retransmit to `to`.
    static bool reliable(const Endpoint &to, size_t size, bool request);

    // Sends one whole message (routed as above; the top Via of a request
    // moved to TCP says so). Opens the connection when there is none.
    // False when it cannot be sent or queued.
    bool send(const Endpoint &to, const std::string &wire, bool request);
    // The connection to a stream peer, opened when there is none: its local
    // address ("ip:port" for Via and Contact); empty when it cannot open.
    std::string local_address(const Endpoint &to);
    // The name a TLS server must prove (its certificate's), by address.
    void set_server_name(const Endpoint &to, const std::string &name);
    // How the connection to `to` runs, for the log ("TLS 1.3", "TCP").
    std::string describe(const Endpoint &to) const;
    // Closes the connection to `to` (a new one opens on the next send).
    void drop(const Endpoint &to);
    void close_all();
    size_t connections() const { return conns_.size(); }

    // Pings on idle connections: every `interval` ms without traffic, a
    // pong due within `pong_wait` ms; connecting and the TLS handshake must
    // finish within `open_wait` ms.
    void set_timing(int64_t interval, int64_t pong_wait, int64_t open_wait);
    // The IPv4 address connections are made from (0: any).
    void set_bind_ip(uint32_t ip) { bind_ip_ = ip; }

    // The library thread's wait: the connections' sockets to add, then
    // what came.
    void wait_items(std::vector<WaitItem> &items) const;
    void on_ready(const WaitItem &item);

private:
    struct Conn;
    Conn *open(const Endpoint &to);
    Conn *find(const Endpoint &to) const;
    void flush(Conn &c);
    void on_readable(Conn &c);
    void on_plain(Conn &c, const char *data, size_t len);
    void on_open(Conn &c);
    // By value: the caller's endpoint may be the connection's own, which goes here.
    void lose(Endpoint peer, const std::string &why);
    void arm_ping(Conn &c);
    bool queue_out(Conn &c, std::string_view bytes);

    TransportHost &host_;
    UdpSocket &udp_;
    uint32_t bind_ip_ = 0;
    int64_t ping_interval_ = 30000;
    int64_t pong_wait_ = 10000;
    int64_t open_wait_ = 5000;
    std::map<uint64_t, std::unique_ptr<Conn>> conns_;
    std::map<uint64_t, std::string> names_;
    std::vector<char> rxbuf_;
};

}  // namespace callctl
