// TCP connections and the mixed read/write wait of the SIP thread.
#include "base.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace callctl {

const char *transport_name(Transport t) {
    switch (t) {
    case Transport::Tcp: return "TCP";
    case Transport::Tls: return "TLS";
    default: return "UDP";
    }
}

#ifdef _WIN32
using sock_t = SOCKET;
static bool would_block() { return WSAGetLastError() == WSAEWOULDBLOCK; }
static bool in_progress() { return WSAGetLastError() == WSAEWOULDBLOCK; }
static void close_fd(intptr_t fd) { closesocket(static_cast<sock_t>(fd)); }
#else
using sock_t = int;
static bool would_block() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
static bool in_progress() { return errno == EINPROGRESS; }
static void close_fd(intptr_t fd) { ::close(static_cast<sock_t>(fd)); }
#endif

TcpSocket::~TcpSocket() { close(); }

void TcpSocket::close() {
    if (fd_ != kInvalid) close_fd(fd_);
    fd_ = kInvalid;
    port_ = 0;
    ip_ = 0;
}

bool TcpSocket::connect_start(uint32_t bind_ip, const Endpoint &to) {
    close();
    sock_t s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#ifdef _WIN32
    if (s == INVALID_SOCKET) return false;
    u_long nb = 1;
    ioctlsocket(s, FIONBIO, &nb);
#else
    if (s < 0) return false;
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    fcntl(s, F_SETFD, FD_CLOEXEC);
#ifdef SO_NOSIGPIPE
    int one_ = 1;
    setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &one_, sizeof one_);
#endif
#endif
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(bind_ip);
    if (bind_ip != 0 && bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close_fd(static_cast<intptr_t>(s));
        return false;
    }
    sockaddr_in d{};
    d.sin_family = AF_INET;
    d.sin_addr.s_addr = htonl(to.ip);
    d.sin_port = htons(to.port);
    if (connect(s, reinterpret_cast<sockaddr *>(&d), sizeof d) != 0 && !in_progress()) {
        close_fd(static_cast<intptr_t>(s));
        return false;
    }
    sockaddr_in bound{};
    socklen_t blen = sizeof bound;
    getsockname(s, reinterpret_cast<sockaddr *>(&bound), &blen);
    fd_ = static_cast<intptr_t>(s);
    port_ = ntohs(bound.sin_port);
    ip_ = ntohl(bound.sin_addr.s_addr);
    return true;
}

int TcpSocket::connect_error() {
    if (fd_ == kInvalid) return -1;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(static_cast<sock_t>(fd_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len) != 0)
        return -1;
    if (err == 0) {
        // The address the system picked once the route was known.
        sockaddr_in bound{};
        socklen_t blen = sizeof bound;
        if (getsockname(static_cast<sock_t>(fd_), reinterpret_cast<sockaddr *>(&bound), &blen) == 0) {
            port_ = ntohs(bound.sin_port);
            ip_ = ntohl(bound.sin_addr.s_addr);
        }
    }
    return err;
}

int TcpSocket::send(const void *data, size_t len) {
    if (fd_ == kInvalid) return -1;
#if defined(MSG_NOSIGNAL)
    const int flags = MSG_NOSIGNAL;
#else
    const int flags = 0;
#endif
    auto n = ::send(static_cast<sock_t>(fd_), static_cast<const char *>(data), static_cast<int>(len), flags);
    if (n < 0) return would_block() ? 0 : -1;
    return static_cast<int>(n);
}

int TcpSocket::recv(void *buf, size_t cap) {
    if (fd_ == kInvalid) return -1;
    auto n = ::recv(static_cast<sock_t>(fd_), static_cast<char *>(buf), static_cast<int>(cap), 0);
    if (n == 0) return -1;
    if (n < 0) return would_block() ? 0 : -1;
    return static_cast<int>(n);
}

bool wait_items(WaitItem *items, size_t n, int timeout_ms) {
    fd_set rd, wr, ex;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    intptr_t maxfd = 0;
    for (size_t i = 0; i < n; ++i) {
        items[i].readable = items[i].writable = false;
        if (items[i].fd < 0) continue;
        sock_t s = static_cast<sock_t>(items[i].fd);
        FD_SET(s, &rd);
        // Windows reports a failed connect among the exceptions, not as writable.
        if (items[i].want_write) {
            FD_SET(s, &wr);
            FD_SET(s, &ex);
        }
        if (items[i].fd > maxfd) maxfd = items[i].fd;
    }
    if (timeout_ms < 0) timeout_ms = 0;
    timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    int r = select(static_cast<int>(maxfd + 1), &rd, &wr, &ex, &tv);
    if (r < 0) {
#ifndef _WIN32
        if (errno == EINTR) return true;
#endif
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (items[i].fd < 0) continue;
        sock_t s = static_cast<sock_t>(items[i].fd);
        items[i].readable = FD_ISSET(s, &rd);
        items[i].writable = items[i].want_write && (FD_ISSET(s, &wr) || FD_ISSET(s, &ex));
    }
    return true;
}

}  // namespace callctl
