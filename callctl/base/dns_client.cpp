// DNS exchange with the system's name servers (see dns.h). Runs on the
// resolver's worker thread only; nothing here is shared but the test
// override, which has its own lock.
//
// Against forged answers: each query goes out from a fresh socket on a port
// picked at random, with an ID from the system's random source; a datagram
// from anywhere but the server asked, or one that is not the answer to this
// ID and question, is dropped and the wait goes on. TCP (RFC 7766) is used
// only after a truncated UDP answer, with the same checks.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <random>

#include "dns.h"
#include "log.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace callctl {
namespace dns {

namespace {

constexpr uint16_t kPort = 53;
constexpr size_t kMaxServers = 3;  // as resolv.conf's MAXNS
constexpr int kFirstWaitMs = 700;  // doubled each round
constexpr int kRounds = 3;

std::mutex g_override_mu;
Endpoint g_override;

// IDs and ports that an off-path forger cannot predict: the system's
// random source, not the library's generator.
uint16_t random16() {
    static std::mutex mu;
    static std::random_device rd;
    std::lock_guard<std::mutex> g(mu);
    return uint16_t(rd());
}

// A UDP socket on a random port of the dynamic range (49152-65535); the
// system's choice when a few random ones are taken.
bool open_random_port(UdpSocket *s) {
    for (int i = 0; i < 8; ++i)
        if (s->open(0, uint16_t(49152 + random16() % 16384))) return true;
    return s->open(0, 0);
}

// Waits for one answer to the query from server until until_ms. What else
// arrives is dropped, and counted in one log line (a flood of forgeries
// must not flood the log).
bool udp_try(const Endpoint &server, const std::string &query, uint16_t id, std::string_view name, uint16_t type,
             int64_t until, Answer *out) {
    UdpSocket s;
    if (!open_random_port(&s) || !s.send_to(server, query.data(), query.size())) return false;
    uint8_t buf[4096];
    unsigned strangers = 0, unread = 0;
    ParseResult last;
    bool ok = false;
    for (;;) {
        const int64_t left = until - now_ms();
        UdpSocket *set[1] = {&s};
        bool ready = false;
        if (left <= 0 || !wait_readable(set, 1, int(left), &ready)) break;
        Endpoint from;
        const int n = ready ? s.recv_from(buf, sizeof buf, &from) : 0;
        if (n <= 0) continue;
        if (from != server) {
            ++strangers;
            continue;
        }
        const ParseResult r = parse_answer(buf, size_t(n), id, name, type, out);
        if ((ok = bool(r))) break;
        ++unread;
        last = r;
    }
    if (strangers || unread)
        CALLCTL_LOG(log::Warning, "dns: asking %s for %.*s: dropped %u datagrams from elsewhere, %u answers (%s at byte %u)",
                    server.text().c_str(), int(name.size()), name.data(), strangers, unread,
                    parse_error_text(last.error), unsigned(last.offset));
    return ok;
}

#ifdef _WIN32
using sock_t = SOCKET;
const sock_t kNoSock = INVALID_SOCKET;
void close_sock(sock_t s) { closesocket(s); }
bool in_progress() { return WSAGetLastError() == WSAEWOULDBLOCK; }
bool would_block() { return WSAGetLastError() == WSAEWOULDBLOCK; }
#else
using sock_t = int;
const sock_t kNoSock = -1;
void close_sock(sock_t s) { ::close(s); }
bool in_progress() { return errno == EINPROGRESS; }
bool would_block() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
#endif

// Waits until s is writable (or readable) or until_ms has passed.
bool wait_sock(sock_t s, bool write, int64_t until) {
    const int64_t left = until - now_ms();
    if (left <= 0) return false;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv;
    tv.tv_sec = long(left / 1000);
    tv.tv_usec = long(left % 1000) * 1000;
    return select(int(s) + 1, write ? nullptr : &set, write ? &set : nullptr, nullptr, &tv) > 0;
}

// One query over TCP: two bytes of length before each message.
bool tcp_try(const Endpoint &server, const std::string &query, uint16_t id, std::string_view name, uint16_t type,
             int64_t until, Answer *out) {
    sock_t s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kNoSock) return false;
#ifdef _WIN32
    u_long nb = 1;
    ioctlsocket(s, FIONBIO, &nb);
#else
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    fcntl(s, F_SETFD, FD_CLOEXEC);
#endif
    struct Closer {
        sock_t s;
        ~Closer() { close_sock(s); }
    } closer{s};
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(server.ip);
    to.sin_port = htons(server.port);
    if (connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        if (!in_progress() || !wait_sock(s, true, until)) return false;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len) != 0 || err != 0) return false;
    }
    std::string msg;
    msg.push_back(char(query.size() >> 8));
    msg.push_back(char(query.size() & 0xFF));
    msg += query;
    for (size_t sent = 0; sent < msg.size();) {
        const auto n = send(s, msg.data() + sent, int(msg.size() - sent), 0);
        if (n > 0) {
            sent += size_t(n);
        } else if (n < 0 && would_block()) {
            if (!wait_sock(s, true, until)) return false;
        } else {
            return false;
        }
    }
    // The length, then the message.
    std::string in;
    size_t want = 2;
    char buf[4096];
    while (in.size() < want) {
        const auto n = recv(s, buf, int(std::min(sizeof buf, want - in.size())), 0);
        if (n > 0) {
            in.append(buf, size_t(n));
            if (want == 2 && in.size() == 2) {
                want = 2 + (size_t(uint8_t(in[0])) << 8 | uint8_t(in[1]));
                if (want == 2) return false;
            }
        } else if (n < 0 && would_block()) {
            if (!wait_sock(s, false, until)) return false;
        } else {
            return false;  // closed before the whole message
        }
    }
    Answer a;
    const ParseResult r =
        parse_answer(reinterpret_cast<const uint8_t *>(in.data()) + 2, in.size() - 2, id, name, type, &a);
    if (!r || a.truncated) {
        CALLCTL_LOG(log::Warning, "dns: a TCP answer from %s dropped: %s at byte %u", server.text().c_str(),
                    a.truncated ? "truncated" : parse_error_text(r.error), unsigned(r.offset));
        return false;
    }
    *out = std::move(a);
    return true;
}

}  // namespace

std::vector<Endpoint> parse_resolv_conf(std::string_view text) {
    std::vector<Endpoint> out;
    size_t pos = 0;
    while (pos < text.size() && out.size() < kMaxServers) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) eol = text.size();
        std::string_view line = text.substr(pos, eol - pos);
        pos = eol + 1;
        auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
        auto word = [&](std::string_view &l) {
            size_t b = 0;
            while (b < l.size() && blank(l[b])) ++b;
            size_t e = b;
            while (e < l.size() && !blank(l[e])) ++e;
            std::string_view w = l.substr(b, e - b);
            l.remove_prefix(e);
            return w;
        };
        if (word(line) != "nameserver") continue;
        uint32_t ip = 0;
        if (parse_ipv4(word(line), &ip) && ip != 0) out.push_back(Endpoint{ip, kPort});
    }
    return out;
}

std::vector<Endpoint> system_servers() {
    std::vector<Endpoint> out;
#ifdef _WIN32
    ULONG len = 0;
    if (GetNetworkParams(nullptr, &len) != ERROR_BUFFER_OVERFLOW || len == 0) return out;
    std::vector<unsigned char> buf(len);
    auto *info = reinterpret_cast<FIXED_INFO *>(buf.data());
    if (GetNetworkParams(info, &len) != NO_ERROR) return out;
    for (const IP_ADDR_STRING *a = &info->DnsServerList; a && out.size() < kMaxServers; a = a->Next) {
        const char *text = a->IpAddress.String;
        uint32_t ip = 0;
        if (parse_ipv4(std::string_view(text, strnlen(text, sizeof a->IpAddress.String)), &ip) && ip != 0)
            out.push_back(Endpoint{ip, kPort});
    }
#else
    std::string text;
    if (FILE *f = std::fopen("/etc/resolv.conf", "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() < 65536) text.append(buf, n);
        std::fclose(f);
    }
    out = parse_resolv_conf(text);
    // As the C library: no name server named is the one on this machine.
    if (out.empty()) out.push_back(Endpoint{0x7f000001, kPort});
#endif
    return out;
}

void set_server_override(const Endpoint &server) {
    std::lock_guard<std::mutex> g(g_override_mu);
    g_override = server;
}

bool query(std::string_view name, uint16_t type, int64_t deadline_ms, Answer *out) {
    if (!valid_name(name)) return false;
    // Counted: the worker may ask with no instance holding the sockets' start-up.
    struct NetUse {
        bool ok = net_startup();
        ~NetUse() {
            if (ok) net_cleanup();
        }
    } net;
    if (!net.ok) return false;
    std::vector<Endpoint> servers;
    {
        std::lock_guard<std::mutex> g(g_override_mu);
        if (g_override.port) servers.push_back(g_override);
    }
    if (servers.empty()) servers = system_servers();
    if (servers.empty()) {
        CALLCTL_LOG(log::Warning, "dns: the system names no name server");
        return false;
    }
    // A server that answered with an error (SERVFAIL, REFUSED) is not asked again.
    std::vector<bool> refused(servers.size(), false);
    for (int round = 0; round < kRounds; ++round) {
        for (size_t i = 0; i < servers.size(); ++i) {
            if (refused[i]) continue;
            const int64_t now = now_ms();
            if (now >= deadline_ms) return false;
            const int64_t until = std::min(deadline_ms, now + (int64_t(kFirstWaitMs) << round));
            const uint16_t id = random16();
            std::string q;
            build_query(name, type, id, &q);
            Answer a;
            if (!udp_try(servers[i], q, id, name, type, until, &a)) continue;
            if (a.truncated && !tcp_try(servers[i], q, id, name, type, deadline_ms, &a)) continue;
            if (a.rcode == kNoError || a.rcode == kNxDomain) {
                *out = std::move(a);
                return true;
            }
            CALLCTL_LOG(log::Warning, "dns: %s answered rcode %u for %.*s", servers[i].text().c_str(),
                        unsigned(a.rcode), int(name.size()), name.data());
            refused[i] = true;
        }
        if (std::find(refused.begin(), refused.end(), false) == refused.end()) return false;
    }
    return false;
}

}  // namespace dns
}  // namespace callctl
