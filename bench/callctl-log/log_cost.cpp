// What the log costs. One instance registers and unregisters a line N times
// and places N calls (INVITE, 200, ACK, BYE, 200; hung up as soon as they
// are answered) against a peer answering on another thread of this process;
// the process's CPU time (user + system) of each run is printed for the log
// off, at INFO to a file and at DEBUG to a file, runs taken in turn.
//
//   callctl_log_cost [N] [RUNS]      (N 200, RUNS 3)
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/base.h"
#include "callctl.h"
#include "sip/sip.h"

using namespace callctl;

namespace {

// Answers REGISTER, INVITE (with a description whose audio goes to a socket
// it drains), BYE; takes ACKs.
class Peer {
public:
    Peer() {
        sip_.open(0x7f000001, 0);
        media_.open(0x7f000001, 0);
        thread_ = std::thread([this] { run(); });
    }
    ~Peer() {
        quit_ = true;
        thread_.join();
    }
    uint16_t port() const { return sip_.local_port(); }

private:
    void run() {
        UdpSocket *socks[2] = {&sip_, &media_};
        std::vector<char> buf(sip::kMaxMessage);
        while (!quit_) {
            bool ready[2];
            wait_readable(socks, 2, 20, ready);
            Endpoint from;
            while (media_.recv_from(buf.data(), buf.size(), &from) > 0) {
            }
            int n;
            while ((n = sip_.recv_from(buf.data(), buf.size(), &from)) > 0) {
                sip::Message m;
                if (m.parse(buf.data(), size_t(n)) && m.is_request() && m.method() != "ACK") answer(m, from);
            }
        }
    }
    void answer(const sip::Message &req, const Endpoint &to) {
        sip::Writer w;
        w.status_line(200, {});
        for (const auto &h : req.headers())
            if (h.id == sip::Hdr::Via) w.header(sip::Hdr::Via, h.value);
        w.copy(req, sip::Hdr::From);
        std::string to_header(req.value(sip::Hdr::To));
        if (req.to_tag().empty()) to_header += ";tag=peer";
        w.header(sip::Hdr::To, to_header);
        w.header(sip::Hdr::CallId, req.call_id());
        w.copy(req, sip::Hdr::CSeq);
        std::string sdp;
        if (req.method() == "REGISTER") {
            w.copy(req, sip::Hdr::Expires);
        } else if (req.method() == "INVITE") {
            w.header(sip::Hdr::Contact, "<sip:peer@127.0.0.1:" + std::to_string(port()) + ">");
            sdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
                  std::to_string(media_.local_port()) + " RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
        }
        std::string wire = w.finish(sdp, sdp.empty() ? "" : "application/sdp");
        sip_.send_to(to, wire.data(), wire.size());
    }
    UdpSocket sip_, media_;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

// Counts of the states the listener saw.
struct States {
    std::mutex m;
    std::condition_variable cv;
    std::map<uint32_t, int> seen;
    static int listener(int, void *info, void *user) {
        auto *self = static_cast<States *>(user);
        std::lock_guard<std::mutex> g(self->m);
        ++self->seen[static_cast<SIPX_EVENT_INFO *>(info)->event];
        self->cv.notify_all();
        return 1;
    }
    bool wait(uint32_t state, int count) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::seconds(5), [&] { return seen[state] >= count; });
    }
};

long file_size(const std::string &path) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return 0;
    std::fseek(f, 0, SEEK_END);
    long n = std::ftell(f);
    std::fclose(f);
    return n;
}

double cpu_ms() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// One run: N registrations and N calls. False when something did not happen.
bool run(int n, double *cpu, double *wall) {
    Peer peer;
    States st;
    SIPX_INST inst = 0;
    // Media ports of ended calls are freed by the media thread a moment later:
    // room for a hundred, as the calls follow each other within a millisecond.
    if (sipxInitialize(&inst, 0, -1, -1, 46000, 100, "sipx", "127.0.0.1", 0) != SIPX_RESULT_SUCCESS) return false;
    sipxEventListenerAdd(inst, &States::listener, &st);
    SIPX_LINE line = 0;
    std::string id = "sip:8001@127.0.0.1:" + std::to_string(peer.port());
    std::string target = "sip:0755123456@127.0.0.1:" + std::to_string(peer.port());
    sipxLineAdd(inst, id.c_str(), &line, 0);
    sipxLineAddCredential(line, "8001", "s3cret", "");
    bool ok = true;
    double c0 = cpu_ms();
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 1; ok && i <= n; ++i) {
        ok = sipxLineRegister(line, 1) == SIPX_RESULT_SUCCESS && st.wait(SIPX_LINESTATE_REGISTERED, i) &&
             sipxLineRegister(line, 0) == SIPX_RESULT_SUCCESS && st.wait(SIPX_LINESTATE_UNREGISTERED, i);
    }
    for (int i = 1; ok && i <= n; ++i) {
        SIPX_CALL call = 0;
        ok = sipxCallCreate(inst, line, &call) == SIPX_RESULT_SUCCESS &&
             sipxCallConnect(call, target.c_str(), 0, nullptr, 1, nullptr, nullptr) == SIPX_RESULT_SUCCESS &&
             st.wait(SIPX_CALLSTATE_CONNECTED, i) && sipxCallDestroy(&call) == SIPX_RESULT_SUCCESS &&
             st.wait(SIPX_CALLSTATE_DESTROYED, i);
    }
    *cpu = cpu_ms() - c0;
    *wall = double(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count()) / 1e3;
    sipxUnInitialize(inst, 1);
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    int n = argc > 1 ? std::atoi(argv[1]) : 200;
    int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    net_startup();
    struct Mode {
        const char *name;
        int level;
        std::vector<double> cpu;
    } modes[] = {{"off", SIPX_LOG_NONE, {}}, {"INFO to a file", SIPX_LOG_INFO, {}}, {"DEBUG to a file", SIPX_LOG_DEBUG, {}}};
    char dir[] = "/tmp/callctl-log-cost.XXXXXX";
    if (!mkdtemp(dir)) return 70;
    std::string file = std::string(dir) + "/callctl.log";
    std::printf("%d registrations (REGISTER, un-REGISTER) and %d calls (INVITE, ACK, BYE) per run\n", n, n);
    std::printf("  %-3s %-16s %10s %10s %12s\n", "run", "log", "CPU ms", "wall ms", "log bytes");
    for (int r = 1; r <= runs; ++r) {
        for (auto &m : modes) {
            std::remove(file.c_str());
            sipxConfigSetLogSink(m.level, m.level ? file.c_str() : nullptr, nullptr, nullptr);
            double cpu = 0, wall = 0;
            bool ok = run(n, &cpu, &wall);
            sipxConfigSetLogSink(SIPX_LOG_NONE, nullptr, nullptr, nullptr);
            long bytes = file_size(file);
            std::printf("  %-3d %-16s %10.1f %10.1f %12ld%s\n", r, m.name, cpu, wall, bytes, ok ? "" : "  FAILED");
            if (!ok) return 1;
            m.cpu.push_back(cpu);
        }
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    double off = median(modes[0].cpu);
    int messages = 9 * n;  // REGISTER 200 REGISTER 200, INVITE 200 ACK BYE 200
    for (int i = 1; i < 3; ++i) {
        double on = median(modes[i].cpu);
        std::printf("median CPU, %s against off: %+.1f ms (%+.1f %%), %.1f us per SIP message\n", modes[i].name,
                    on - off, 100.0 * (on - off) / off, 1000.0 * (on - off) / messages);
    }
    std::remove(file.c_str());
    std::remove(dir);
    return 0;
}
