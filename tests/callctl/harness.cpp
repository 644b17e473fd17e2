#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

namespace testing_callctl {

namespace {

std::atomic<int> g_run{0};

}  // namespace

// Our working directory as a Unix path (under Wine: Z:\x\y -> /x/y).
std::string unix_cwd() {
#ifdef _WIN32
    char buf[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
    std::string p(buf, n);
    if (p.size() >= 2 && (p[0] == 'Z' || p[0] == 'z') && p[1] == ':') p = p.substr(2);
    for (auto &c : p)
        if (c == '\\') c = '/';
    return p;
#else
    char buf[4096];
    return getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
#endif
}

namespace {

// A Unix path opened through the C library of this platform.
std::string local_path(const std::string &unix_path) {
#ifdef _WIN32
    std::string p = "Z:" + unix_path;
    for (auto &c : p)
        if (c == '/') c = '\\';
    return p;
#else
    return unix_path;
#endif
}

bool read_file(const std::string &unix_path, std::string *out) {
    std::ifstream f(local_path(unix_path), std::ios::binary);
    if (!f) return false;
    std::stringstream ss;
    ss << f.rdbuf();
    *out = ss.str();
    return true;
}

void run_shell(const std::string &script_unix_path) {
#ifdef _WIN32
    std::string cmd = "/bin/sh " + script_unix_path;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    // Wine starts a Unix program without a Windows process: hProcess comes back null and
    // hThread keeps stale stack contents that may equal one of our live handles. Never close it then.
    if (CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) && pi.hProcess) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
#else
    pid_t pid = 0;
    std::string path = script_unix_path;
    char arg0[] = "sh";
    char *argv[] = {arg0, &path[0], nullptr};
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) == 0) {
        // Reaped by a detached waiter so no zombie is left behind.
        std::thread([pid] {
            int st = 0;
            waitpid(pid, &st, 0);
        }).detach();
    }
#endif
}

}  // namespace

void start_sh(const std::string &script) {
    std::string path = unix_cwd() + "/sh-" + std::to_string(++g_run) + ".sh";
    {
        std::ofstream f(local_path(path), std::ios::binary);
        f << script;
    }
    run_shell(path);
}

int run_sh(const std::string &script, int timeout_ms) {
    std::string base = unix_cwd() + "/sh-" + std::to_string(++g_run);
    std::remove(local_path(base + ".rc").c_str());
    start_sh("(\n" + script + "\n) </dev/null\necho $? >'" + base + ".rc.tmp'\nmv '" + base + ".rc.tmp' '" + base +
             ".rc'\n");
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        std::string rc;
        if (read_file(base + ".rc", &rc) && !rc.empty()) return std::atoi(rc.c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

int free_udp_port() {
    callctl::net_startup();
    callctl::UdpSocket s;
    if (!s.open(0x7f000001, 0)) return 0;
    int p = s.local_port();
    s.close();
    callctl::net_cleanup();
    return p;
}

// True when something accepts TCP connections on ip:port (sipp over TCP).
static bool tcp_listening(uint32_t ip, uint16_t port) {
    callctl::TcpSocket s;
    if (!s.connect_start(0, callctl::Endpoint{ip, port})) return false;
    callctl::WaitItem w;
    w.fd = s.fd();
    w.want_write = true;
    return callctl::wait_items(&w, 1, 200) && w.writable && s.connect_error() == 0;
}

std::string scenario_path(const std::string &name) { return std::string(CALLCTL_SCENARIO_DIR) + "/" + name; }

Sipp::Sipp() {
#ifdef _WIN32
    long self = long(GetCurrentProcessId());
#else
    long self = long(getpid());
#endif
    base_ = unix_cwd() + "/sipp-" + std::to_string(self) + "-" + std::to_string(++g_run);
}

Sipp::~Sipp() {
    if (running_) kill();
}

bool Sipp::start(const std::string &scenario, const std::vector<std::string> &args, const std::string &remote,
                 int calls, const std::string &ip) {
    // The free port may be taken by someone else before sipp binds it: then try another.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (start_once(scenario, args, remote, calls, ip)) return true;
        if (log().find("Unable to bind main socket") == std::string::npos) return false;
    }
    return false;
}

bool Sipp::start_once(const std::string &scenario, const std::vector<std::string> &args, const std::string &remote,
                      int calls, const std::string &ip) {
    port_ = free_udp_port();
    if (port_ == 0) return false;
    std::string cmd = "sipp";
    if (!remote.empty()) cmd += " " + remote;
    cmd += " -sf " + scenario_path(scenario) + " -i " + ip + " -p " + std::to_string(port_) + " -m " +
           std::to_string(calls) + " -nostdin -timeout 40 -timeout_error -default_behaviors none -trace_err" +
           " -error_file " + base_ + ".err";
    for (const auto &a : args) cmd += " " + a;
    std::string script = "#!/bin/sh\n"
                         "rm -f '" + base_ + ".rc' '" + base_ + ".pid'\n" +
                         cmd + " >'" + base_ + ".log' 2>&1 </dev/null &\n"
                         "echo $! >'" + base_ + ".pid'\n"
                         "wait $!\n"
                         "echo $? >'" + base_ + ".rc.tmp'\n"
                         "mv '" + base_ + ".rc.tmp' '" + base_ + ".rc'\n";
    {
        for (const char *ext : {".rc", ".pid", ".err"}) std::remove(local_path(base_ + ext).c_str());
        std::ofstream f(local_path(base_ + ".sh"), std::ios::binary);
        f << script;
    }
    run_shell(base_ + ".sh");
    // sipp is ready once it has bound its port: wait for the pid file and
    // then for the port to be taken.
    for (int i = 0; i < 500; ++i) {
        std::string pid;
        if (read_file(base_ + ".pid", &pid) && !pid.empty()) {
            pid_ = std::atol(pid.c_str());
            callctl::net_startup();
            uint32_t bind_ip = 0x7f000001;
            callctl::parse_ipv4(ip, &bind_ip);
            bool taken;
            if (std::find(args.begin(), args.end(), "t1") != args.end()) {
                taken = tcp_listening(bind_ip, uint16_t(port_));
            } else {
                callctl::UdpSocket probe;
                taken = !probe.open(bind_ip, uint16_t(port_));
            }
            callctl::net_cleanup();
            if (taken) {
                // Taken by sipp, or by another test's socket in the moment
                // between our probe and sipp's bind: then sipp has ended.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                if (log().find("Unable to bind main socket") != std::string::npos) return false;
                running_ = true;
                return true;
            }
        }
        std::string rc;
        if (read_file(base_ + ".rc", &rc)) return false;  // sipp ended at once
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int Sipp::wait(int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        std::string rc;
        if (read_file(base_ + ".rc", &rc) && !rc.empty()) {
            running_ = false;
            return std::atoi(rc.c_str());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill();
    return -1;
}

void Sipp::kill() {
    if (!running_ || pid_ <= 0) return;
    std::string script = base_ + ".kill.sh";
    {
        std::ofstream f(local_path(script), std::ios::binary);
        f << "#!/bin/sh\nkill -9 " << pid_ << " 2>/dev/null\n";
    }
    run_shell(script);
    for (int i = 0; i < 200; ++i) {
        std::string rc;
        if (read_file(base_ + ".rc", &rc)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    running_ = false;
}

std::string Sipp::log() const {
    std::string out, err;
    read_file(base_ + ".log", &out);
    read_file(base_ + ".err", &err);
    if (out.size() > 4000) out = out.substr(out.size() - 4000);
    if (err.size() > 4000) err = err.substr(0, 4000);
    return "--- sipp output ---\n" + out + "\n--- sipp errors ---\n" + err;
}

// ---- events -------------------------------------------------------------------

int Recorder::callback(int category, void *info, void *user) {
    auto *self = static_cast<Recorder *>(user);
    auto *i = static_cast<SIPX_EVENT_INFO *>(info);
    Event e{category, i->hCall, i->hLine, i->event, i->cause, i->sipStatus, i->szText ? i->szText : ""};
    {
        std::lock_guard<std::mutex> g(self->m_);
        self->events_.push_back(e);
    }
    self->cv_.notify_all();
    return 0;
}

Event Recorder::wait_for(int category, uint32_t code, int timeout_ms, uint32_t handle) {
    std::unique_lock<std::mutex> g(m_);
    Event found{-1, 0, 0, 0, 0, 0, {}};
    cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] {
        for (const auto &e : events_)
            if (e.category == category && (code == 0 || e.code == code) &&
                (handle == 0 || e.call == handle || e.line == handle)) {
                found = e;
                return true;
            }
        return false;
    });
    return found;
}

bool Recorder::wait_count(int category, uint32_t code, int n, int timeout_ms, uint32_t handle) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] {
        int seen = 0;
        for (const auto &e : events_)
            seen += e.category == category && e.code == code && (handle == 0 || e.call == handle || e.line == handle);
        return seen >= n;
    });
}

int Recorder::count(int category, uint32_t code, uint32_t handle) const {
    std::lock_guard<std::mutex> g(m_);
    int n = 0;
    for (const auto &e : events_)
        if (e.category == category && e.code == code && (handle == 0 || e.call == handle || e.line == handle)) ++n;
    return n;
}

std::vector<Event> Recorder::all() const {
    std::lock_guard<std::mutex> g(m_);
    return events_;
}

std::string Recorder::dump() const {
    std::lock_guard<std::mutex> g(m_);
    std::string s;
    for (const auto &e : events_)
        s += "[cat " + std::to_string(e.category) + " code " + std::to_string(e.code) + " cause " +
             std::to_string(e.cause) + " sip " + std::to_string(e.sip_status) + "] ";
    return s;
}

// ---- raw peer -----------------------------------------------------------------

RawPeer::RawPeer(uint32_t ip, uint16_t port) {
    callctl::net_startup();
    EXPECT_TRUE(sock_.open(ip, port));
}

RawPeer::~RawPeer() {
    sock_.close();
    callctl::net_cleanup();
}

void RawPeer::drain(int timeout_ms) {
    callctl::UdpSocket *s[] = {&sock_};
    bool ready[1] = {false};
    callctl::wait_readable(s, 1, timeout_ms, ready);
    char buf[65536];
    callctl::Endpoint from;
    int n;
    while ((n = sock_.recv_from(buf, sizeof buf, &from)) != 0)
        if (n > 0) seen_.push_back(Msg{std::string(buf, size_t(n)), from, false});
}

bool RawPeer::next(const std::string &what, int timeout_ms, std::string *msg, callctl::Endpoint *from) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        for (auto &m : seen_) {
            if (m.taken || m.text.compare(0, what.size(), what) != 0) continue;
            m.taken = true;
            if (msg) *msg = m.text;
            if (from) *from = m.from;
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        drain(int(std::min<long long>(left.count(), 50)));
    }
}

int RawPeer::count(const std::string &what) {
    drain(0);
    int n = 0;
    for (const auto &m : seen_) n += m.text.compare(0, what.size(), what) == 0;
    return n;
}

std::string RawPeer::response(const std::string &req, int code, const std::string &extra,
                              const std::string &body) const {
    std::string r = "SIP/2.0 " + std::to_string(code) + " Whatever\r\n";
    for (int i = 0;; ++i) {
        std::string via = header_of(req, "Via", i);
        if (via.empty()) break;
        r += "Via: " + via + "\r\n";
    }
    r += "From: " + header_of(req, "From") + "\r\n";
    std::string to = header_of(req, "To");
    if (to.find(";tag=") == std::string::npos && code > 100) to += ";tag=" + tag;
    r += "To: " + to + "\r\n";
    r += "Call-ID: " + header_of(req, "Call-ID") + "\r\n";
    r += "CSeq: " + header_of(req, "CSeq") + "\r\n";
    r += extra;
    if (!body.empty()) r += "Content-Type: application/sdp\r\n";
    r += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return r;
}

void RawPeer::send(const std::string &text, const callctl::Endpoint &to) { sock_.send_to(to, text.data(), text.size()); }

void RawPeer::reply(const std::string &req, const callctl::Endpoint &to, int code, const std::string &extra,
                    const std::string &body) {
    send(response(req, code, extra, body), to);
}

std::string header_of(const std::string &msg, const std::string &name, int n) {
    size_t pos = msg.find("\r\n");
    while (pos != std::string::npos && pos + 2 < msg.size()) {
        size_t start = pos + 2;
        size_t end = msg.find("\r\n", start);
        if (end == std::string::npos || end == start) break;  // end of the headers
        std::string line = msg.substr(start, end - start);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string h = line.substr(0, colon);
            while (!h.empty() && h.back() == ' ') h.pop_back();
            bool same = h.size() == name.size();
            for (size_t i = 0; same && i < h.size(); ++i) same = std::tolower((unsigned char)h[i]) == std::tolower((unsigned char)name[i]);
            if (same && n-- == 0) {
                size_t v = colon + 1;
                while (v < line.size() && line[v] == ' ') ++v;
                return line.substr(v);
            }
        }
        pos = end;
    }
    return {};
}

std::string first_line(const std::string &msg) { return msg.substr(0, msg.find("\r\n")); }

std::string audio_sdp(int port, const std::string &extra) {
    return "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
           std::to_string(port) + " RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n" + extra;
}

// ---- log ----------------------------------------------------------------------

LogCapture::LogCapture(int level) {
    EXPECT_EQ(sipxConfigSetLogSink(level, nullptr, &LogCapture::callback, this), SIPX_RESULT_SUCCESS);
}

LogCapture::~LogCapture() { sipxConfigSetLogSink(SIPX_LOG_NONE, nullptr, nullptr, nullptr); }

void LogCapture::callback(int level, const char *line, void *user) {
    auto *self = static_cast<LogCapture *>(user);
    std::lock_guard<std::mutex> g(self->m_);
    self->text_ += std::to_string(level) + " " + line + "\n";
}

std::string LogCapture::text() const {
    std::lock_guard<std::mutex> g(m_);
    return text_;
}

// ---- phone --------------------------------------------------------------------

Phone::Phone(bool rport, const char *bind) {
    int r = sipxInitialize(&inst, 0, -1, -1, 30000, 10, "sipx", bind, 0);
    EXPECT_EQ(r, SIPX_RESULT_SUCCESS);
    SIPX_TIMER_SETTINGS t{};
    t.cbSize = sizeof t;
    t.t1 = 40;
    t.t2 = 320;
    t.t4 = 400;
    t.registerRetryMin = 300;
    t.registerRetryMax = 1200;
    t.shutdownWait = 600;
    t.registerRefreshMin = 100;
    EXPECT_EQ(sipxConfigSetTimers(inst, &t), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(sipxConfigEnableTestDevices(inst, 1), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(sipxConfigSetUserAgentName(inst, "Simple Agent (sipXtapi)", 0), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(sipxConfigEnableRport(inst, rport ? 1 : 0), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(sipxEventListenerAdd(inst, &Recorder::callback, &rec), SIPX_RESULT_SUCCESS);
    sipxConfigGetLocalSipUdpPort(inst, &port);
}

Phone::~Phone() {
    if (inst) sipxUnInitialize(inst, 1);
}

SIPX_LINE Phone::add_line(const std::string &user, int registrar_port, const char *password) {
    SIPX_LINE line = 0;
    std::string id = "sip:" + user + "@127.0.0.1:" + std::to_string(registrar_port);
    EXPECT_EQ(sipxLineAdd(inst, id.c_str(), &line, 0), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(sipxLineAddCredential(line, user.c_str(), password, ""), SIPX_RESULT_SUCCESS);
    return line;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<int16_t> samples_of(const std::string &bytes, size_t from) {
    std::vector<int16_t> s;
    for (size_t i = from; i + 1 < bytes.size(); i += 2)
        s.push_back(int16_t(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8)));
    return s;
}

uint32_t le32(const std::string &s, size_t at) {
    return uint8_t(s[at]) | (uint8_t(s[at + 1]) << 8) | (uint8_t(s[at + 2]) << 16) | (uint32_t(uint8_t(s[at + 3])) << 24);
}

double share(const int16_t *x, size_t n, double freq) {
    double w = 2 * 3.141592653589793 * freq / 8000, c = 2 * std::cos(w), s1 = 0, s2 = 0, e = 0;
    for (size_t i = 0; i < n; ++i) {
        double s0 = x[i] + c * s1 - s2;
        s2 = s1;
        s1 = s0;
        e += double(x[i]) * x[i];
    }
    return e > 1e6 ? 2 * (s1 * s1 + s2 * s2 - c * s1 * s2) / (double(n) * e) : 0;
}

int windows_with(const std::vector<int16_t> &s, double freq, double min) {
    int n = 0;
    for (size_t at = 0; at + 800 <= s.size(); at += 800)
        if (share(&s[at], 800, freq) >= min) ++n;
    return n;
}

}  // namespace testing_callctl
