// Platform layer: time, randomness, IPv4 UDP sockets and text conversion.
// BSD sockets natively, Winsock on Windows; nothing above this folder
// includes a system networking header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace callctl {

// Milliseconds from an arbitrary fixed point; never goes back.
int64_t now_ms();

// Names the calling thread for debuggers and the system's thread lists (at most 15
// characters are kept on Linux). Does nothing where the system cannot name threads.
void name_this_thread(const char *name);

// Random numbers for tags, branches, nonces and jitter (not for keys).
uint32_t random_u32();
std::string random_token(size_t len);  // [a-z0-9]

// Key material (SRTP master keys): n bytes from the system's cryptographic
// random source, RtlGenRandom on Windows, getrandom natively (random.cpp).
// False when the source fails; *out is then wiped and not to be used.
bool random_key_bytes(void *out, size_t n);
// Overwrites n bytes in a way the compiler does not leave out (key material
// that is no longer needed).
void wipe(void *p, size_t n);

// How SIP travels to a peer. Media is always UDP.
enum class Transport : uint8_t { Udp, Tcp, Tls };
// "UDP", "TCP", "TLS": the Via's transport token and the log's word.
const char *transport_name(Transport t);

// An IPv4 address and port, host byte order, and for SIP the transport
// that reaches it (a stream peer is the far end of a connection).
struct Endpoint {
    uint32_t ip = 0;
    uint16_t port = 0;
    Transport transport = Transport::Udp;
    bool operator==(const Endpoint &o) const { return ip == o.ip && port == o.port && transport == o.transport; }
    bool operator!=(const Endpoint &o) const { return !(*this == o); }
    std::string ip_text() const;
    std::string text() const;  // "a.b.c.d:port"
};

// Dotted quad only; false leaves *ip untouched.
bool parse_ipv4(std::string_view text, uint32_t *ip);
// Dotted quad or host name (blocking lookup); false when it does not resolve.
bool resolve_host(const std::string &host, uint32_t *ip);

// The local address the system would use to reach dest_ip (no packet is
// sent). False when there is no route.
bool local_address_for(uint32_t dest_ip, uint32_t *out);
// For tests: local_address_for answers `ip` for every destination (0: the
// system's answer again), as if the machine had moved to another network.
void set_local_address_override(uint32_t ip);

// Must be called before any socket is made (WSAStartup on Windows); counted.
bool net_startup();
void net_cleanup();

class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(const UdpSocket &) = delete;
    UdpSocket &operator=(const UdpSocket &) = delete;

    // Binds to ip:port (port 0 = any). False when it cannot (port in use).
    bool open(uint32_t ip, uint16_t port);
    void close();
    bool is_open() const { return fd_ != kInvalid; }
    uint16_t local_port() const { return port_; }
    bool send_to(const Endpoint &to, const void *data, size_t len);
    // Non-blocking receive; returns bytes read, 0 when nothing is waiting,
    // -1 on an error that should be ignored (ICMP unreachable on Windows).
    int recv_from(void *buf, size_t cap, Endpoint *from);
    intptr_t fd() const { return fd_; }

private:
    static constexpr intptr_t kInvalid = -1;
    intptr_t fd_ = kInvalid;
    uint16_t port_ = 0;
};

// A non-blocking TCP connection (SIP over TCP and TLS).
class TcpSocket {
public:
    TcpSocket() = default;
    ~TcpSocket();
    TcpSocket(const TcpSocket &) = delete;
    TcpSocket &operator=(const TcpSocket &) = delete;

    // Starts connecting from bind_ip (any port) to `to`; false when it
    // cannot even start. The outcome shows as writability (connected()).
    bool connect_start(uint32_t bind_ip, const Endpoint &to);
    // After the socket became writable: 0 connected, else the system's
    // error number of the failed attempt.
    int connect_error();
    void close();
    bool is_open() const { return fd_ != kInvalid; }
    uint16_t local_port() const { return port_; }
    uint32_t local_ip() const { return ip_; }
    // Bytes written (0: the system's buffer is full), -1 on a broken
    // connection.
    int send(const void *data, size_t len);
    // Bytes read, 0 when nothing is waiting, -1 when the peer closed the
    // connection or it broke.
    int recv(void *buf, size_t cap);
    intptr_t fd() const { return fd_; }

private:
    static constexpr intptr_t kInvalid = -1;
    intptr_t fd_ = kInvalid;
    uint16_t port_ = 0;
    uint32_t ip_ = 0;
};

// One socket of a wait: what is wanted, what came.
struct WaitItem {
    intptr_t fd = -1;
    bool want_write = false;
    bool readable = false;
    bool writable = false;  // or failed (a connect that did not succeed)
};
// Waits up to timeout_ms for any item to become ready. False on a wait error.
bool wait_items(WaitItem *items, size_t n, int timeout_ms);

// Waits up to timeout_ms for any of the sockets to become readable.
// ready[i] is set for the readable ones. Returns false on a wait error.
bool wait_readable(UdpSocket *const *socks, size_t n, int timeout_ms, bool *ready);

// Waits again and again on a set of sockets that seldom changes: the set is
// given once, and a wait reports only the readable ones, so an idle socket
// costs nothing per wait (epoll on Linux; select elsewhere). Used by one
// thread; the sockets, and the array naming them, must stay as they are while
// they are the set.
class SocketWaiter {
public:
    SocketWaiter() = default;
    ~SocketWaiter();
    SocketWaiter(const SocketWaiter &) = delete;
    SocketWaiter &operator=(const SocketWaiter &) = delete;

    // The sockets to wait on from now on (replaces the last set).
    void set(UdpSocket *const *socks, size_t n);
    // Waits up to timeout_ms for any of them to be readable and writes the
    // indices (in the set) of up to cap readable ones to ready. Returns how
    // many, 0 when the time ran out, -1 on a wait error (after the timeout
    // has passed, so a caller that loops does not spin).
    int wait(int timeout_ms, uint32_t *ready, size_t cap);

private:
    UdpSocket *const *socks_ = nullptr;
    size_t n_ = 0;
    std::unique_ptr<bool[]> flags_;  // select's answer
    intptr_t poll_fd_ = -1;  // the epoll instance (Linux)
};

// UTF-8 text to GBK (code page 936). Characters GBK lacks become '?'.
// Invalid UTF-8 sequences become '?' too.
std::string utf8_to_gbk(std::string_view utf8);
// GBK text (the program's device names) to UTF-8 (the log). Bytes that are
// not GBK become '?'.
std::string gbk_to_utf8(std::string_view gbk);

// Opens a file named by a GBK path (fopen modes). On Windows the name goes
// through UTF-16, so it works whatever the system code page is. nullptr when
// it cannot be opened (missing folder, no permission, a directory).
FILE *open_file_gbk(const std::string &gbk_path, const char *mode);
// Creates a new file at a GBK path and opens it for writing (binary). nullptr
// when anything already has that name, which stays untouched, or when it
// cannot be created; the test for the name and the creation are one step.
FILE *create_file_gbk(const std::string &gbk_path);
// Renames a file (both paths GBK), replacing a file of the new name. False
// when it could not.
bool rename_file_gbk(const std::string &from, const std::string &to);

}  // namespace callctl
