#include "base.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#ifdef __linux__
#include <sys/epoll.h>
#endif
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace callctl {

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void name_this_thread(const char *name) {
#ifdef _WIN32
    // SetThreadDescription exists from Windows 10 1607 on; older systems go without.
    using SetDescription = HRESULT(WINAPI *)(HANDLE, PCWSTR);
    static const auto set = reinterpret_cast<SetDescription>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (!set) return;
    wchar_t wide[32];
    size_t i = 0;
    for (; name[i] && i + 1 < sizeof wide / sizeof wide[0]; ++i) wide[i] = static_cast<unsigned char>(name[i]);
    wide[i] = 0;
    set(GetCurrentThread(), wide);
#else
    char shortName[16];
    std::snprintf(shortName, sizeof shortName, "%s", name);
    pthread_setname_np(pthread_self(), shortName);
#endif
}

namespace {
std::mutex g_rng_lock;
std::mt19937 &rng() {
    static std::mt19937 gen([] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(),
                          static_cast<unsigned>(std::chrono::high_resolution_clock::now()
                                                    .time_since_epoch()
                                                    .count())};
        return std::mt19937(seq);
    }());
    return gen;
}
}  // namespace

uint32_t random_u32() {
    std::lock_guard<std::mutex> g(g_rng_lock);
    return rng()();
}

std::string random_token(size_t len) {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string s(len, 'x');
    std::lock_guard<std::mutex> g(g_rng_lock);
    for (auto &c : s) c = alphabet[rng()() % 36];
    return s;
}

std::string Endpoint::ip_text() const {
    char buf[16];
    snprintf(buf, sizeof buf, "%u.%u.%u.%u", (ip >> 24) & 255, (ip >> 16) & 255, (ip >> 8) & 255,
             ip & 255);
    return buf;
}

std::string Endpoint::text() const { return ip_text() + ":" + std::to_string(port); }

bool parse_ipv4(std::string_view t, uint32_t *ip) {
    uint32_t out = 0;
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part) {
            if (pos >= t.size() || t[pos] != '.') return false;
            ++pos;
        }
        size_t start = pos;
        unsigned v = 0;
        while (pos < t.size() && t[pos] >= '0' && t[pos] <= '9' && pos - start < 3)
            v = v * 10 + unsigned(t[pos++] - '0');
        if (pos == start || v > 255) return false;
        out = (out << 8) | v;
    }
    if (pos != t.size()) return false;
    *ip = out;
    return true;
}

bool resolve_host(const std::string &host, uint32_t *ip) {
    if (parse_ipv4(host, ip)) return true;
    if (host.empty()) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
    bool ok = false;
    for (addrinfo *a = res; a; a = a->ai_next) {
        if (a->ai_family == AF_INET) {
            *ip = ntohl(reinterpret_cast<sockaddr_in *>(a->ai_addr)->sin_addr.s_addr);
            ok = true;
            break;
        }
    }
    freeaddrinfo(res);
    return ok;
}

namespace {
std::atomic<uint32_t> g_local_override{0};
}

void set_local_address_override(uint32_t ip) { g_local_override = ip; }

bool local_address_for(uint32_t dest_ip, uint32_t *out) {
    if (uint32_t o = g_local_override.load()) {
        *out = o;
        return true;
    }
    auto s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
#ifdef _WIN32
    if (s == INVALID_SOCKET) return false;
#else
    if (s < 0) return false;
#endif
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(dest_ip);
    a.sin_port = htons(9);
    bool ok = false;
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        sockaddr_in me{};
        socklen_t len = sizeof me;
        if (getsockname(s, reinterpret_cast<sockaddr *>(&me), &len) == 0 && me.sin_addr.s_addr != 0) {
            *out = ntohl(me.sin_addr.s_addr);
            ok = true;
        }
    }
#ifdef _WIN32
    closesocket(s);
#else
    ::close(s);
#endif
    return ok;
}

namespace {
std::mutex g_net_lock;
int g_net_users = 0;
}  // namespace

bool net_startup() {
    std::lock_guard<std::mutex> g(g_net_lock);
#ifdef _WIN32
    if (g_net_users == 0) {
        WSADATA wsa;
        if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
    }
#endif
    ++g_net_users;
    return true;
}

void net_cleanup() {
    std::lock_guard<std::mutex> g(g_net_lock);
    if (g_net_users > 0 && --g_net_users == 0) {
#ifdef _WIN32
        WSACleanup();
#endif
    }
}

#ifdef _WIN32
using sock_t = SOCKET;
static sock_t as_sock(intptr_t fd) { return static_cast<sock_t>(fd); }
static void close_sock(intptr_t fd) { closesocket(as_sock(fd)); }
#else
using sock_t = int;
static sock_t as_sock(intptr_t fd) { return static_cast<sock_t>(fd); }
static void close_sock(intptr_t fd) { ::close(as_sock(fd)); }
#endif

UdpSocket::~UdpSocket() { close(); }

void UdpSocket::close() {
    if (fd_ != kInvalid) close_sock(fd_);
    fd_ = kInvalid;
    port_ = 0;
}

bool UdpSocket::open(uint32_t ip, uint16_t port) {
    close();
    sock_t s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
#ifdef _WIN32
    if (s == INVALID_SOCKET) return false;
    // A port already bound by someone else must fail, as natively.
    BOOL excl = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&excl), sizeof excl);
    u_long nb = 1;
    ioctlsocket(s, FIONBIO, &nb);
    // Without this an ICMP port unreachable makes the next recvfrom fail.
    DWORD off = FALSE, ret = 0;
    WSAIoctl(s, _WSAIOW(IOC_VENDOR, 12), &off, sizeof off, nullptr, 0, &ret, nullptr, nullptr);
#else
    if (s < 0) return false;
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    fcntl(s, F_SETFD, FD_CLOEXEC);
#endif
    int bufsize = 256 * 1024;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&bufsize), sizeof bufsize);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(ip);
    a.sin_port = htons(port);
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close_sock(static_cast<intptr_t>(s));
        return false;
    }
    sockaddr_in bound{};
    socklen_t blen = sizeof bound;
    getsockname(s, reinterpret_cast<sockaddr *>(&bound), &blen);
    fd_ = static_cast<intptr_t>(s);
    port_ = ntohs(bound.sin_port);
    return true;
}

bool UdpSocket::send_to(const Endpoint &to, const void *data, size_t len) {
    if (fd_ == kInvalid) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(to.ip);
    a.sin_port = htons(to.port);
    auto n = sendto(as_sock(fd_), static_cast<const char *>(data), static_cast<int>(len), 0,
                    reinterpret_cast<sockaddr *>(&a), sizeof a);
    return n == static_cast<decltype(n)>(len);
}

int UdpSocket::recv_from(void *buf, size_t cap, Endpoint *from) {
    if (fd_ == kInvalid) return 0;
    sockaddr_in a{};
    socklen_t alen = sizeof a;
    auto n = recvfrom(as_sock(fd_), static_cast<char *>(buf), static_cast<int>(cap), 0,
                      reinterpret_cast<sockaddr *>(&a), &alen);
    if (n < 0) {
#ifdef _WIN32
        int e = WSAGetLastError();
        if (e == WSAEWOULDBLOCK) return 0;
        // WSAEMSGSIZE: datagram larger than the buffer, the rest is lost.
        if (e == WSAEMSGSIZE) n = static_cast<int>(cap);
        else return -1;
#else
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        return -1;
#endif
    }
    if (from) {
        from->ip = ntohl(a.sin_addr.s_addr);
        from->port = ntohs(a.sin_port);
    }
    return static_cast<int>(n);
}

bool wait_readable(UdpSocket *const *socks, size_t n, int timeout_ms, bool *ready) {
    fd_set rd;
    FD_ZERO(&rd);
    intptr_t maxfd = 0;
    for (size_t i = 0; i < n; ++i) {
        ready[i] = false;
        if (!socks[i]->is_open()) continue;
        FD_SET(as_sock(socks[i]->fd()), &rd);
        if (socks[i]->fd() > maxfd) maxfd = socks[i]->fd();
    }
    if (timeout_ms < 0) timeout_ms = 0;
    timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    int r = select(static_cast<int>(maxfd + 1), &rd, nullptr, nullptr, &tv);
    if (r < 0) {
#ifndef _WIN32
        if (errno == EINTR) return true;
#endif
        return false;
    }
    for (size_t i = 0; i < n; ++i)
        if (socks[i]->is_open() && FD_ISSET(as_sock(socks[i]->fd()), &rd)) ready[i] = true;
    return true;
}

SocketWaiter::~SocketWaiter() {
#ifdef __linux__
    if (poll_fd_ >= 0) ::close(int(poll_fd_));
#endif
}

void SocketWaiter::set(UdpSocket *const *socks, size_t n) {
    socks_ = socks;
    n_ = n;
    flags_.reset(new bool[n ? n : 1]);
#ifdef __linux__
    // A fresh epoll set: the old one may hold sockets closed since.
    if (poll_fd_ >= 0) ::close(int(poll_fd_));
    poll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; poll_fd_ >= 0 && i < n; ++i) {
        if (!socks[i]->is_open()) continue;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = uint32_t(i);
        epoll_ctl(int(poll_fd_), EPOLL_CTL_ADD, int(socks[i]->fd()), &ev);
    }
#endif
}

int SocketWaiter::wait(int timeout_ms, uint32_t *ready, size_t cap) {
    if (timeout_ms < 0) timeout_ms = 0;
#ifdef __linux__
    if (poll_fd_ >= 0) {
        epoll_event evs[64];
        const int max = int(cap < 64 ? cap : 64);
        int r = epoll_wait(int(poll_fd_), evs, max, timeout_ms);
        if (r < 0) {
            if (errno == EINTR) return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
            return -1;
        }
        for (int i = 0; i < r; ++i) ready[i] = evs[i].data.u32;
        return r;
    }
#endif
    if (n_ == 0 || !wait_readable(socks_, n_, timeout_ms, flags_.get())) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return n_ == 0 ? 0 : -1;
    }
    size_t k = 0;
    for (size_t i = 0; i < n_ && k < cap; ++i)
        if (flags_[i]) ready[k++] = uint32_t(i);
    return int(k);
}

#ifdef _WIN32
// Text of one code page in another, through UTF-16. A character the target lacks
// becomes '?'; text the source cannot read gives a '?' for each of its bytes.
static std::string recode(UINT from, UINT to, std::string_view text) {
    int wn = MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (wn <= 0) return std::string(text.size(), '?');
    std::wstring w(static_cast<size_t>(wn), L'\0');
    MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), &w[0], wn);
    const char *stand_in = to == CP_UTF8 ? nullptr : "?";  // UTF-8 takes no default character
    int n = WideCharToMultiByte(to, 0, w.data(), wn, nullptr, 0, stand_in, nullptr);
    if (n <= 0) return std::string(text.size(), '?');
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(to, 0, w.data(), wn, &out[0], n, stand_in, nullptr);
    return out;
}
#else
// Text from one iconv charset to another; what cannot be converted is skipped (as many
// bytes as `skip` says) and marked with '?'. Without the converter the text is unchanged.
template <typename Skip>
static std::string iconv_recode(const char *to, const char *from, std::string_view text, Skip skip) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::string in(text);
    char *ip = &in[0];
    size_t il = in.size();
    char buf[256];
    while (il > 0) {
        char *op = buf;
        size_t ol = sizeof buf;
        size_t r = iconv(cd, &ip, &il, &op, &ol);
        out.append(buf, static_cast<size_t>(op - buf));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            out.push_back('?');
            const size_t n = skip(ip, il);
            ip += n;
            il -= n;
        }
    }
    iconv_close(cd);
    return out;
}
#endif

std::string utf8_to_gbk(std::string_view utf8) {
    if (utf8.empty()) return std::string();
#ifdef _WIN32
    return recode(CP_UTF8, 936, utf8);
#else
    // EILSEQ or EINVAL: skip one UTF-8 sequence and mark it.
    return iconv_recode("GBK", "UTF-8", utf8, [](const char *p, size_t left) {
        size_t skip = 1;
        if (static_cast<unsigned char>(*p) >= 0xC0)
            while (skip < left && (static_cast<unsigned char>(p[skip]) & 0xC0) == 0x80) ++skip;
        return skip;
    });
#endif
}

std::string gbk_to_utf8(std::string_view gbk) {
    if (gbk.empty()) return std::string();
#ifdef _WIN32
    return recode(936, CP_UTF8, gbk);
#else
    // Not GBK: one byte skipped and marked.
    return iconv_recode("UTF-8", "GBK", gbk, [](const char *, size_t) { return size_t(1); });
#endif
}

namespace {

// The name the system opens a GBK path by: UTF-16 on Windows (whatever the system
// code page), UTF-8 elsewhere. False when the path is empty or not GBK.
#ifdef _WIN32
bool native_path(const std::string &gbk_path, std::wstring &out) {
    if (gbk_path.empty()) return false;
    int wn = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, gbk_path.data(), int(gbk_path.size()), nullptr, 0);
    if (wn <= 0) return false;
    out.assign(size_t(wn), L'\0');
    MultiByteToWideChar(936, 0, gbk_path.data(), int(gbk_path.size()), &out[0], wn);
    return true;
}
#else
bool native_path(const std::string &gbk_path, std::string &out) {
    if (gbk_path.empty()) return false;
    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        out = gbk_path;
        return true;
    }
    std::string in = gbk_path;
    char *ip = &in[0];
    size_t il = in.size();
    char buf[1024];
    char *op = buf;
    size_t ol = sizeof buf;
    size_t r = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1)) return false;
    out.assign(buf, size_t(op - buf));
    return true;
}
#endif

}  // namespace

FILE *open_file_gbk(const std::string &gbk_path, const char *mode) {
    if (!mode) return nullptr;
#ifdef _WIN32
    std::wstring w;
    if (!native_path(gbk_path, w)) return nullptr;
    std::wstring wm;
    for (const char *m = mode; *m; ++m) wm.push_back(wchar_t(*m));
    return _wfopen(w.c_str(), wm.c_str());
#else
    std::string path;
    if (!native_path(gbk_path, path)) return nullptr;
    FILE *f = std::fopen(path.c_str(), mode);
    if (!f) return nullptr;
    // A directory opens for reading on POSIX; it is not a file.
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
        std::fclose(f);
        return nullptr;
    }
    return f;
#endif
}

FILE *create_file_gbk(const std::string &gbk_path) {
#ifdef _WIN32
    std::wstring w;
    if (!native_path(gbk_path, w)) return nullptr;
    // CREATE_NEW: the system refuses the name when anything has it, in one step, so
    // no other file can appear between a check and the create.
    HANDLE h = CreateFileW(w.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE *f = _fdopen(fd, "wb");
    if (!f) _close(fd);  // closes the handle too
    return f;
#else
    std::string path;
    if (!native_path(gbk_path, path)) return nullptr;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE *f = fdopen(fd, "wb");
    if (!f) ::close(fd);
    return f;
#endif
}

bool rename_file_gbk(const std::string &from, const std::string &to) {
#ifdef _WIN32
    std::wstring wf, wt;
    return native_path(from, wf) && native_path(to, wt) &&
           MoveFileExW(wf.c_str(), wt.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    std::string pf, pt;
    return native_path(from, pf) && native_path(to, pt) && std::rename(pf.c_str(), pt.c_str()) == 0;
#endif
}

}  // namespace callctl
