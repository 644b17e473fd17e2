// TLS for a SIP connection: one client session as a byte pump. The session
// does no socket I/O of its own: the connection hands it what arrived and
// sends what the session appends to `out`, so the transport keeps its one
// loop over sockets and timers and TLS is one more stage of a stream.
//
//   bytes from the server -> feed() -> application data in `plain`,
//                                      handshake replies in `out`
//   application data      -> encrypt() -> records in `out`
//
// The Windows build runs the handshake and the records through SChannel
// (tls_schannel.cpp); the native build has no TLS (tls_none.cpp) and
// `client` gives nullptr there.
//
// Security. Only TLS 1.2 and TLS 1.3 are offered, and a session that ends
// up with anything else fails. The server must prove the DNS name it was
// asked for with a certificate chain to a root this computer trusts; the
// session checks the chain itself after the handshake and fails before any
// application data passes when it does not hold (wrong name, expired or not
// yet valid, unknown or untrusted root, revoked when a revocation list at
// hand says so, not for server authentication). There is no switch that
// turns this off.
//
// Threads. A session is used by one thread at a time (the thread that owns
// its connection); sessions share nothing.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace callctl::tls {

class Session {
public:
    // A client session for a server that must prove it is `server_name` (a
    // DNS name, also sent as the server name indication; an IP address
    // fails the check under Wine, which matches DNS names only). nullptr
    // when this build has no TLS (native build).
    static std::unique_ptr<Session> client(const std::string &server_name);
    virtual ~Session();

    //   Handshaking --feed: handshake done, certificate holds--> Open
    //   Handshaking --feed: refused, certificate fails-->        Failed
    //   Open --feed: the server's close_notify, or close()-->    Closed
    //   Open --feed: a record that does not decrypt-->           Failed
    //   Open --feed: a handshake message after the handshake (a TLS 1.2
    //        renegotiation)--> Handshaking --feed--> Open again, or Failed
    enum class State { Handshaking, Open, Failed, Closed };

    // The first flight (ClientHello) into out. Called once, first.
    virtual State start(std::string &out) = 0;
    // Bytes from the connection, in order and in any pieces. Appends bytes
    // to write back to `out` and decrypted application data to `plain`.
    // Partial records are kept until complete. Application data that came
    // with the last handshake message is given in the same call.
    virtual State feed(const char *data, size_t len, std::string &out, std::string &plain) = 0;
    // Application data to records appended to out; false (and out
    // untouched) unless Open.
    virtual bool encrypt(std::string_view plain, std::string &out) = 0;
    // An Open session's close_notify into out; the session is Closed
    // afterwards (a session in any other state just becomes Closed).
    virtual void close(std::string &out) = 0;
    virtual State state() const = 0;
    // Why the session failed, in words for the support log: wrong name
    // (with the names the certificate holds), expired, untrusted root,
    // revoked, handshake refused, protocol version. Empty unless Failed.
    virtual std::string error() const = 0;
    // "TLS 1.2" or "TLS 1.3" once Open; empty before.
    virtual std::string protocol() const = 0;
};

}  // namespace callctl::tls
