// Registrations of the demo subscriber, N over UDP and N over TLS (the way named with
// sipxLineSetTransport), each with an instance of its own: milliseconds from the
// REGISTER to the registered event (digest challenge included), and the growth of the
// process's private bytes while a registered TLS line is up against one on UDP.
// Prints one line per way and the ratios. Run by run.sh inside the demo service.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "callctl.h"

namespace {

struct Waiter {
    std::mutex m;
    std::condition_variable cv;
    bool registered = false, failed = false;
    static int Listener(int category, void* info, void* self)
    {
        auto* w = static_cast<Waiter*>(self);
        const auto* e = static_cast<const SIPX_EVENT_INFO*>(info);
        if (category != SIPX_EVENT_CATEGORY_LINESTATE)
            return 0;
        std::lock_guard<std::mutex> g(w->m);
        w->registered |= e->event == SIPX_LINESTATE_REGISTERED;
        w->failed |= e->event == SIPX_LINESTATE_REGISTER_FAILED;
        w->cv.notify_all();
        return 0;
    }
};

// Under Wine the process's anonymous resident memory, which the kernel counts (Wine's
// PrivateUsage stays 0); elsewhere Windows' private bytes.
size_t PrivateBytes()
{
    std::ifstream status("Z:/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 8, "RssAnon:") == 0)
            return static_cast<size_t>(std::atoll(line.c_str() + 8)) * 1024;
    PROCESS_MEMORY_COUNTERS_EX c{};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&c), sizeof c);
    return c.PrivateUsage;
}

// One registration: its time in ms (-1 when it failed), and the private bytes it added
// while the line was up.
double Register(const std::vector<std::string>& acct, const char* way, size_t* grown)
{
    size_t before = PrivateBytes();
    SIPX_INST inst = 0;
    if (sipxInitialize(&inst, 0, -1, -1, 9000, 10, "sipx", "127.0.0.1", 0) != SIPX_RESULT_SUCCESS)
        return -1;
    sipxConfigSetFallbackPorts(inst, 0, 0, 0);
    Waiter w;
    sipxEventListenerAdd(inst, &Waiter::Listener, &w);
    SIPX_LINE line = 0;
    sipxLineAdd(inst, ("sip:" + acct[0] + "@" + acct[3]).c_str(), &line, 0);
    sipxLineAddCredential(line, acct[0].c_str(), acct[1].c_str(), "");
    sipxLineSetTransport(line, way);
    auto t0 = std::chrono::steady_clock::now();
    sipxLineRegister(line, 1);
    double ms = -1;
    {
        std::unique_lock<std::mutex> g(w.m);
        if (w.cv.wait_for(g, std::chrono::seconds(20), [&] { return w.registered || w.failed; }) && w.registered)
            ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    }
    *grown = PrivateBytes() - std::min(before, PrivateBytes());
    sipxEventListenerRemove(inst, &Waiter::Listener, nullptr);
    sipxUnInitialize(inst, 1);
    return ms;
}

}  // namespace

int main(int argc, char** argv)
{
    const int n = argc > 1 ? std::atoi(argv[1]) : 5;
    const char* dir = std::getenv("QUILLON_DEMO_DIR");
    std::ifstream f(std::string("Z:") + (dir ? dir : "/nonexistent") + "/accounts");
    std::vector<std::string> acct;
    for (std::string w; f >> w;)
        acct.push_back(w);
    if (acct.size() != 4) {
        std::fprintf(stderr, "run inside tools/demo/with-service\n");
        return 2;
    }
    const std::string udp = "udp:" + acct[3].substr(acct[3].find(':') + 1);
    size_t grown = 0;
    // The first of each warms up: the library, Winsock and the name lookup; then SChannel,
    // its TLS library and the root store, loaded once for the process.
    const size_t start = PrivateBytes();
    Register(acct, udp.c_str(), &grown);
    const size_t after_udp = PrivateBytes();
    Register(acct, "tls:5061", &grown);
    const size_t after_tls = PrivateBytes();
    std::printf("first use: UDP added %zd KB, then the first TLS registration %zd KB (loaded once per process)\n",
                (static_cast<ptrdiff_t>(after_udp) - static_cast<ptrdiff_t>(start)) / 1024,
                (static_cast<ptrdiff_t>(after_tls) - static_cast<ptrdiff_t>(after_udp)) / 1024);
    double sum[2] = {0, 0}, worst[2] = {0, 0};
    size_t mem[2] = {0, 0};
    const char* ways[2] = {udp.c_str(), "tls:5061"};
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < 2; ++k) {
            double ms = Register(acct, ways[k], &grown);
            if (ms < 0) {
                std::fprintf(stderr, "registration over %s failed\n", ways[k]);
                return 1;
            }
            sum[k] += ms;
            worst[k] = std::max(worst[k], ms);
            mem[k] = std::max(mem[k], grown);
        }
    for (int k = 0; k < 2; ++k)
        std::printf("%-10s registered in %.1f ms on average, %.1f ms at worst; memory up %zu KB\n", ways[k],
                    sum[k] / n, worst[k], mem[k] / 1024);
    std::printf("TLS/UDP time %.2f; TLS's extra private memory %zd KB (goal: under 1 s, at most 1024 KB)\n",
                sum[1] / sum[0], (static_cast<ptrdiff_t>(mem[1]) - static_cast<ptrdiff_t>(mem[0])) / 1024);
    return 0;
}
