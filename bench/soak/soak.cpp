// Soak: many calls in a row through one library instance, against an
// echoing sipp callee (see run.sh and echo_uas.xml). Each call is placed,
// answered, kept for a short while with audio both ways, and hung up; the
// next one starts only when the previous one is over on both sides.
//
// The process's live heap, arena, open descriptors, threads and resident
// size are taken after the first call and after the last one (each time once
// the library's transactions of that call have expired) and printed with the
// growth per call. The exit status is 0 only when every call connected and
// heard its echo, and none of heap, descriptors or threads grew beyond the
// tolerance printed with the table.
//
//   soak PEER_PORT LOG_FILE [CALLS] [HOLD_MS] [RTP_PORT]
//     PEER_PORT  the callee's SIP port on 127.0.0.1
//     LOG_FILE   the callee's log; it gets one line "end N" per finished call
//     CALLS      calls to place (1000)
//     HOLD_MS    how long each call stays connected (400)
//     RTP_PORT   first local media port (40000)
//
// Audio: the microphone is a file device playing a 440 Hz tone from the
// start of each call and the speaker is the null device, so the output
// level shows that the tone came back from the echo.
#include <dirent.h>
#include <malloc.h>
#include <unistd.h>
#include <valgrind/memcheck.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "callctl.h"

// ---- live C++ allocations (operator new/delete of this program and the
// library linked into it), counted to tell object counts from byte counts.
// Not inlined, so that valgrind, which puts its own in their place, sees
// every new and delete.
static std::atomic<long> g_live_blocks{0};
#define SOAK_ALLOC __attribute__((noinline))

SOAK_ALLOC void *operator new(size_t n) {
    void *p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    g_live_blocks.fetch_add(1, std::memory_order_relaxed);
    return p;
}
SOAK_ALLOC void *operator new[](size_t n) { return operator new(n); }
SOAK_ALLOC void *operator new(size_t n, const std::nothrow_t &) noexcept {
    void *p = std::malloc(n ? n : 1);
    if (p) g_live_blocks.fetch_add(1, std::memory_order_relaxed);
    return p;
}
SOAK_ALLOC void *operator new[](size_t n, const std::nothrow_t &t) noexcept { return operator new(n, t); }
SOAK_ALLOC void operator delete(void *p) noexcept {
    if (!p) return;
    g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
    std::free(p);
}
SOAK_ALLOC void operator delete[](void *p) noexcept { operator delete(p); }
SOAK_ALLOC void operator delete(void *p, size_t) noexcept { operator delete(p); }
SOAK_ALLOC void operator delete[](void *p, size_t) noexcept { operator delete(p); }
SOAK_ALLOC void operator delete(void *p, const std::nothrow_t &) noexcept { operator delete(p); }
SOAK_ALLOC void operator delete[](void *p, const std::nothrow_t &) noexcept { operator delete(p); }

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Timers of the instance: short, so that a finished call's transactions are
// gone soon. The longest-lived one (an INVITE transaction after its answer)
// stays 64 * T1.
constexpr uint32_t kT1 = 100, kT2 = 1000, kT4 = 500;
constexpr int kSettleMs = 64 * kT1 + 600;

// Tolerances of the check (last call against first call).
constexpr long kHeapToleranceBytes = 4 * 1024;  // allocator noise
constexpr long kFdTolerance = 0;
constexpr long kThreadTolerance = 0;

// Output level (0..100) above which the echo counts as heard; the tone of
// amplitude 8000 reads about 74 when it comes back unchanged.
constexpr double kEchoLevel = 40;

struct Sample {
    long heap = 0;    // bytes in use: mallinfo2 uordblks + hblkhd
    long arena = 0;   // bytes the heap took from the system: arena + hblkhd
    long blocks = 0;  // live operator-new blocks
    long fds = 0;
    long threads = 0;
    long rss_kb = 0;
};

long count_dir(const char *path) {
    DIR *d = opendir(path);
    if (!d) return -1;
    long n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - (std::strcmp(path, "/proc/self/fd") == 0 ? 1 : 0);  // the directory's own descriptor
}

Sample sample() {
    Sample s;
    struct mallinfo2 mi = mallinfo2();
    s.heap = long(mi.uordblks + mi.hblkhd);
    s.arena = long(mi.arena + mi.hblkhd);
    s.blocks = g_live_blocks.load();
    s.fds = count_dir("/proc/self/fd");
    s.threads = count_dir("/proc/self/task");
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    s.rss_kb = resident * (sysconf(_SC_PAGESIZE) / 1024);
    return s;
}

// ---- events of the instance
struct Events {
    std::mutex m;
    std::condition_variable cv;
    SIPX_CALL call = 0;  // the call being watched
    bool connected = false, disconnected = false, destroyed = false;
    uint32_t disconnect_cause = 0, disconnect_status = 0;

    void watch(SIPX_CALL c) {
        std::lock_guard<std::mutex> l(m);
        call = c;
        connected = disconnected = destroyed = false;
        disconnect_cause = disconnect_status = 0;
    }
    template <class Pred> bool wait(int timeout_ms, Pred pred) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, milliseconds(timeout_ms), [&] { return pred(*this); });
    }
    static int listener(int category, void *info, void *user) {
        auto *self = static_cast<Events *>(user);
        auto *e = static_cast<SIPX_EVENT_INFO *>(info);
        if (category != SIPX_EVENT_CATEGORY_CALLSTATE) return 1;
        std::lock_guard<std::mutex> l(self->m);
        if (e->hCall != self->call) return 1;
        switch (e->event) {
        case SIPX_CALLSTATE_CONNECTED: self->connected = true; break;
        case SIPX_CALLSTATE_DISCONNECTED:
            self->disconnected = true;
            self->disconnect_cause = e->cause;
            self->disconnect_status = e->sipStatus;
            break;
        case SIPX_CALLSTATE_DESTROYED: self->destroyed = true; break;
        default: break;
        }
        self->cv.notify_all();
        return 1;
    }
};

// The callee's log, read as it grows: lines "end N" count its finished calls.
struct PeerLog {
    std::string path;
    std::streamoff pos = 0;
    long ended = 0;

    long ended_calls() {
        std::ifstream f(path);
        f.seekg(pos);
        std::string line;
        // Only whole lines; a line being written is read next time.
        while (std::getline(f, line) && !f.eof()) {
            if (line.compare(0, 4, "end ") == 0) ++ended;
            pos = f.tellg();
        }
        return ended;
    }
    // Waits until the callee has finished `calls` calls.
    bool wait_ended(long calls, int timeout_ms) {
        auto end = Clock::now() + milliseconds(timeout_ms);
        while (ended_calls() < calls) {
            if (Clock::now() > end) return false;
            std::this_thread::sleep_for(milliseconds(2));
        }
        return true;
    }
};

// Lets the last call's transactions expire, then takes the figures once the
// heap holds still (three equal readings 100 ms apart, or after 3 s more).
Sample settled() {
    std::this_thread::sleep_for(milliseconds(kSettleMs));
    Sample s = sample();
    int same = 0;
    for (int i = 0; i < 30 && same < 2; ++i) {
        std::this_thread::sleep_for(milliseconds(100));
        Sample t = sample();
        same = t.heap == s.heap && t.fds == s.fds && t.threads == s.threads ? same + 1 : 0;
        s = t;
    }
    return s;
}

bool write_tone(const std::string &path, int ms) {
    std::vector<int16_t> s(size_t(ms) * 8);
    for (size_t i = 0; i < s.size(); ++i) s[i] = int16_t(8000 * std::sin(2 * 3.141592653589793 * 440 * double(i) / 8000));
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(s.data(), 2, s.size(), f) == s.size();
    return std::fclose(f) == 0 && ok;
}

enum class Outcome { Ok, NotConnected, NoEcho, NotEnded };

// What one call took, in milliseconds (-1: did not happen).
struct CallTimes {
    int connect = -1;   // sipxCallConnect to CONNECTED
    int tone_out = -1;  // CONNECTED to the microphone level reaching kEchoLevel
    int echo_in = -1;   // CONNECTED to the speaker level reaching kEchoLevel
    double loudest_in = 0, loudest_out = 0;
};

struct Soak {
    SIPX_INST inst = 0;
    SIPX_LINE line = 0;
    Events ev;
    std::string target;
    PeerLog peer_log;
    int hold_ms = 400;
    long peer_calls = 0;  // calls the callee should have finished
    CallTimes last;

    Outcome one_call() {
        last = CallTimes();
        SIPX_CALL call = 0;
        if (sipxCallCreate(inst, line, &call) != SIPX_RESULT_SUCCESS) return Outcome::NotConnected;
        ev.watch(call);
        Outcome out = Outcome::Ok;
        auto start = Clock::now();
        if (sipxCallConnect(call, target.c_str(), 0, nullptr, 1, nullptr, nullptr) != SIPX_RESULT_SUCCESS ||
            !ev.wait(5000, [](Events &e) { return e.connected || e.disconnected; }) || !ev.connected) {
            out = Outcome::NotConnected;
        } else {
            // The audio time: the tone goes out, the echo comes back.
            auto connected = Clock::now();
            last.connect = int(std::chrono::duration_cast<milliseconds>(connected - start).count());
            auto end = connected + milliseconds(hold_ms);
            while (Clock::now() < end) {
                std::this_thread::sleep_for(milliseconds(10));
                int at = int(std::chrono::duration_cast<milliseconds>(Clock::now() - connected).count());
                double in = 0, out_level = 0;
                sipxAudioGetInputEnergy(inst, 1, &in);
                sipxAudioGetOutputEnergy(inst, 1, &out_level);
                last.loudest_in = std::max(last.loudest_in, in);
                last.loudest_out = std::max(last.loudest_out, out_level);
                if (last.tone_out < 0 && in >= kEchoLevel) last.tone_out = at;
                if (last.echo_in < 0 && out_level >= kEchoLevel) last.echo_in = at;
            }
            if (last.echo_in < 0) out = Outcome::NoEcho;
            ++peer_calls;
        }
        bool was_connected = ev.connected;
        sipxCallDestroy(&call);
        if (!ev.wait(5000, [](Events &e) { return e.destroyed && e.disconnected; }) && out == Outcome::Ok)
            out = Outcome::NotEnded;
        // The call is over when the callee has answered our BYE.
        if (was_connected && !peer_log.wait_ended(peer_calls, 5000)) {
            peer_calls = peer_log.ended_calls();
            if (out == Outcome::Ok) out = Outcome::NotEnded;
        }
        return out;
    }
};

// Median and largest of the calls' figures that happened.
struct Spread {
    std::vector<int> v;
    void add(int x) {
        if (x >= 0) v.push_back(x);
    }
    std::string text() {
        if (v.empty()) return "-";
        std::sort(v.begin(), v.end());
        return "median " + std::to_string(v[v.size() / 2]) + " ms, largest " + std::to_string(v.back()) + " ms";
    }
};

void print_row(const char *what, long first, long last, long calls_between, const char *unit) {
    double per = calls_between > 0 ? double(last - first) / double(calls_between) : 0;
    std::printf("  %-22s %12ld %12ld %+10ld %+12.2f %s\n", what, first, last, last - first, per, unit);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PEER_PORT LOG_FILE [CALLS] [HOLD_MS] [RTP_PORT]\n", argv[0]);
        return 64;
    }
    // One heap arena for every thread, so that mallinfo2 sees all of them.
    // Blocks parked in the threads' caches count as in use for mallinfo2;
    // run.sh turns those caches off (GLIBC_TUNABLES), without it the heap
    // figures move by some KB from one reading to the next.
    mallopt(M_ARENA_MAX, 1);
    const char *tunables = std::getenv("GLIBC_TUNABLES");
    bool tcache_off = tunables && std::strstr(tunables, "glibc.malloc.tcache_count=0");
    int peer_port = std::atoi(argv[1]);
    Soak soak;
    soak.peer_log.path = argv[2];
    long calls = argc > 3 ? std::atol(argv[3]) : 1000;
    soak.hold_ms = argc > 4 ? std::atoi(argv[4]) : 400;
    int rtp_port = argc > 5 ? std::atoi(argv[5]) : 40000;
    if (calls < 2) calls = 2;

    char dir_template[] = "/tmp/soak.XXXXXX";
    if (!mkdtemp(dir_template)) return 70;
    std::string tone = std::string(dir_template) + "/tone.raw";
    if (!write_tone(tone, soak.hold_ms + 1000)) return 70;

    Sample before = sample();
    if (sipxInitialize(&soak.inst, 0, -1, -1, rtp_port, 4, "soak", "127.0.0.1", 0) != SIPX_RESULT_SUCCESS) {
        std::fprintf(stderr, "sipxInitialize failed\n");
        return 70;
    }
    SIPX_TIMER_SETTINGS t{};
    t.cbSize = sizeof t;
    t.t1 = kT1;
    t.t2 = kT2;
    t.t4 = kT4;
    t.shutdownWait = 1000;
    sipxConfigSetTimers(soak.inst, &t);
    sipxEventListenerAdd(soak.inst, &Events::listener, &soak.ev);
    std::string file_mic = "file:" + tone;
    if (sipxConfigEnableTestDevices(soak.inst, 1) != SIPX_RESULT_SUCCESS ||
        sipxAudioSetInputDevice(soak.inst, file_mic.c_str(), 0) != SIPX_RESULT_SUCCESS) {
        std::fprintf(stderr, "cannot make the tone file the microphone\n");
        return 70;
    }
    std::string peer = "127.0.0.1:" + std::to_string(peer_port);
    std::string line_url = "sip:soak@" + peer;
    if (sipxLineAdd(soak.inst, line_url.c_str(), &soak.line, 0) != SIPX_RESULT_SUCCESS) {
        std::fprintf(stderr, "sipxLineAdd failed\n");
        return 70;
    }
    soak.target = "sip:echo@" + peer;

    long failed[4] = {0, 0, 0, 0};
    Spread connect_ms, tone_ms, echo_ms;
    // Their room is taken before the first reading, so that it is not counted as growth.
    for (Spread *sp : {&connect_ms, &tone_ms, &echo_ms}) sp->v.reserve(size_t(calls));
    const char *outcome_names[] = {"ok", "not connected", "no echo heard", "end not confirmed"};
    auto place = [&](long n) {
        Outcome o = soak.one_call();
        failed[int(o)]++;
        connect_ms.add(soak.last.connect);
        tone_ms.add(soak.last.tone_out);
        echo_ms.add(soak.last.echo_in);
        if (o != Outcome::Ok)
            std::fprintf(stderr,
                         "call %ld: %s (connected after %d ms; microphone level %.0f at its loudest, reached %.0f after "
                         "%d ms; speaker level %.0f at its loudest, reached %.0f after %d ms; disconnected with "
                         "cause %u, SIP status %u)\n",
                         n, outcome_names[int(o)], soak.last.connect, soak.last.loudest_in, kEchoLevel,
                         soak.last.tone_out, soak.last.loudest_out, kEchoLevel, soak.last.echo_in,
                         soak.ev.disconnect_cause, soak.ev.disconnect_status);
    };
    auto t0 = Clock::now();
    place(1);
    Sample first = settled();
    // Under valgrind (SOAK_WRAP in run.sh), the blocks that the later calls
    // leave behind are listed by the leak check after the last call.
    if (RUNNING_ON_VALGRIND) VALGRIND_DO_LEAK_CHECK;
    std::fprintf(stderr, "call 1 done; heap %ld, blocks %ld\n", first.heap, first.blocks);
    auto t1 = Clock::now();
    for (long i = 2; i <= calls; ++i) {
        place(i);
        if (i % 100 == 0) {
            Sample s = sample();
            std::fprintf(stderr, "call %ld done; heap %ld, blocks %ld (not settled), failed %ld\n", i, s.heap, s.blocks,
                         failed[1] + failed[2] + failed[3]);
        }
    }
    double loop_s = std::chrono::duration<double>(Clock::now() - t1).count();
    Sample last = settled();
    if (RUNNING_ON_VALGRIND) VALGRIND_DO_ADDED_LEAK_CHECK;

    sipxEventListenerRemove(soak.inst, &Events::listener, &soak.ev);
    sipxUnInitialize(soak.inst, 1);
    Sample after = sample();
    std::remove(tone.c_str());
    rmdir(dir_template);

    long between = calls - 1;
    std::printf("soak: %ld calls, %d ms of audio each, against %s (%.1f s in all, %.0f ms per call after the first)\n",
                calls, soak.hold_ms, peer.c_str(), std::chrono::duration<double>(Clock::now() - t0).count(),
                loop_s * 1000 / double(between));
    std::printf("  %-22s %12s %12s %10s %12s\n", "", "after call 1", "after last", "growth", "per call");
    print_row("live heap", first.heap, last.heap, between, "bytes");
    print_row("heap arena", first.arena, last.arena, between, "bytes");
    print_row("live new blocks", first.blocks, last.blocks, between, "blocks");
    print_row("open descriptors", first.fds, last.fds, between, "");
    print_row("threads", first.threads, last.threads, between, "");
    print_row("resident size", first.rss_kb, last.rss_kb, between, "KiB");
    std::printf("  before sipxInitialize: heap %ld, blocks %ld, fds %ld, threads %ld;"
                " after sipxUnInitialize: heap %ld, blocks %ld, fds %ld, threads %ld\n",
                before.heap, before.blocks, before.fds, before.threads, after.heap, after.blocks, after.fds,
                after.threads);
    if (!tcache_off)
        std::printf("  note: the thread caches of the heap were on (GLIBC_TUNABLES=glibc.malloc.tcache_count=0 "
                    "turns them off): heap figures are noisy\n");
    long failures = failed[1] + failed[2] + failed[3];
    std::printf("  calls failed: %ld (not connected %ld, no echo heard %ld, end not confirmed %ld)\n", failures,
                failed[1], failed[2], failed[3]);
    std::printf("  connect: %s; tone out (level %.0f): %s; echo back: %s\n", connect_ms.text().c_str(), kEchoLevel,
                tone_ms.text().c_str(), echo_ms.text().c_str());

    bool heap_ok = last.heap - first.heap <= kHeapToleranceBytes;
    bool fds_ok = last.fds - first.fds <= kFdTolerance;
    bool threads_ok = last.threads - first.threads <= kThreadTolerance;
    std::printf("  check (heap +%ld bytes, descriptors +%ld, threads +%ld allowed): heap %s, descriptors %s, "
                "threads %s, calls %s\n",
                kHeapToleranceBytes, kFdTolerance, kThreadTolerance, heap_ok ? "ok" : "GREW",
                fds_ok ? "ok" : "GREW", threads_ok ? "ok" : "GREW", failures == 0 ? "ok" : "FAILED");
    return heap_ok && fds_ok && threads_ok && failures == 0 ? 0 : 1;
}
