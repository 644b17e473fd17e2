// TLS client sessions for SIP connections: a byte pump between the
// connection and the SIP framing, doing no socket I/O itself. The server's
// certificate is always verified against the system's trusted roots and the
// name the session was made for.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace callctl::tls {

class Session {
public:
    // nullptr when this build has no TLS.
    static std::unique_ptr<Session> client(const std::string &server_name);
    virtual ~Session() = default;
    enum class State { Handshaking, Open, Failed, Closed };
    // The first flight into out.
    virtual State start(std::string &out) = 0;
    // Bytes from the connection: bytes to write back go to out, decrypted
    // application data to plain.
    virtual State feed(const char *data, size_t len, std::string &out, std::string &plain) = 0;
    // Application data into records appended to out; false unless Open.
    virtual bool encrypt(std::string_view plain, std::string &out) = 0;
    virtual State state() const = 0;
    // Why it failed, for the log.
    virtual std::string error() const = 0;
    virtual std::string protocol() const = 0;
};

}  // namespace callctl::tls
