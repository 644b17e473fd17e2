// Parse throughput of the call-control library's SIP parser against
// libosip2 on one corpus of realistic messages (REGISTER with and without
// credentials, 401, INVITE with SDP, 100/180/200, ACK, BYE and its 200).
// Prints messages per second for both, the ratio, and heap allocations per
// message (ours counted through operator new, libosip2's through its
// allocator hooks).
#include <osipparser2/osip_message.h>
#include <osipparser2/osip_parser.h>
#include <osipparser2/osip_port.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "sip/sip.h"
#include "sip_corpus.h"

namespace {

size_t g_allocs = 0;

void *count_malloc(size_t n) {
    ++g_allocs;
    return std::malloc(n);
}
void *count_realloc(void *p, size_t n) {
    ++g_allocs;
    return std::realloc(p, n);
}
void count_free(void *p) { std::free(p); }


struct Result {
    double msgs_per_s = 0;
    double allocs_per_msg = 0;
    size_t failures = 0;
};

template <typename Fn>
Result run(const std::vector<std::string> &msgs, int rounds, Fn parse_one) {
    Result r;
    size_t allocs0 = g_allocs;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i)
        for (const auto &m : msgs)
            if (!parse_one(m)) ++r.failures;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double n = double(rounds) * double(msgs.size());
    r.msgs_per_s = n / secs;
    r.allocs_per_msg = double(g_allocs - allocs0) / n;
    return r;
}

bool ours(const std::string &m) {
    callctl::sip::Message msg;
    return bool(msg.parse(m));
}

bool osip(const std::string &m) {
    osip_message_t *sip = nullptr;
    if (osip_message_init(&sip) != 0) return false;
    bool ok = osip_message_parse(sip, m.data(), m.size()) == 0;
    osip_message_free(sip);
    return ok;
}

}  // namespace

void *operator new(size_t n) {
    ++g_allocs;
    void *p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }

int main(int argc, char **argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
    parser_init();
    osip_set_allocators(count_malloc, count_realloc, count_free);
    std::vector<std::string> msgs = sipbench::corpus();
    size_t bytes = 0;
    for (const auto &m : msgs) bytes += m.size();
    // Warm up both, then take the best of three interleaved runs.
    run(msgs, rounds / 10 + 1, ours);
    run(msgs, rounds / 10 + 1, osip);
    Result best_ours, best_osip;
    for (int k = 0; k < 3; ++k) {
        Result a = run(msgs, rounds, ours);
        Result b = run(msgs, rounds, osip);
        if (a.msgs_per_s > best_ours.msgs_per_s) best_ours = a;
        if (b.msgs_per_s > best_osip.msgs_per_s) best_osip = b;
    }
    std::printf("corpus: %zu messages, %zu bytes; %d rounds per run, best of 3\n", msgs.size(), bytes, rounds);
    std::printf("callctl : %10.0f msg/s  %5.2f allocations/msg  %zu failed\n", best_ours.msgs_per_s,
                best_ours.allocs_per_msg, best_ours.failures);
    std::printf("libosip2: %10.0f msg/s  %5.2f allocations/msg  %zu failed\n", best_osip.msgs_per_s,
                best_osip.allocs_per_msg, best_osip.failures);
    std::printf("ratio callctl/libosip2: %.2f (goal >= 1.0)\n", best_ours.msgs_per_s / best_osip.msgs_per_s);
    return best_ours.failures == 0 && best_osip.failures == 0 ? 0 : 1;
}
