// SIP parse throughput of the call-control library's parser against
// libosip2 (osip_message_parse) and the re library (sip_msg_decode), on one
// corpus of realistic messages (the one bench/sip uses: REGISTER with and
// without credentials, 401, INVITE with SDP, 100/180/200, ACK, BYE and its
// 200). Prints one line per parser: "NAME MSGS_PER_S FAILED", best of three
// interleaved runs after a warm-up.
//
//   peers_sip_parse [rounds] [callctl]
// With "callctl" only our parser runs, once, for a profile under callgrind.
#include <osipparser2/osip_message.h>
#include <osipparser2/osip_parser.h>
#include <cstdint>
#include <cstdarg>
#include <sys/types.h>
#define HAVE_INTTYPES_H 1
#define HAVE_STDBOOL_H 1
extern "C" {
#include <re/re_types.h>
#include <re/re_fmt.h>
#include <re/re_mbuf.h>
#include <re/re_list.h>
#include <re/re_sa.h>
#include <re/re_msg.h>
#include <re/re_uri.h>
#include <re/re_sip.h>
#include <re/re_main.h>
#include <re/re_mem.h>
}

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sip/sip.h"
#include "sip_corpus.h"

namespace {


struct Result {
    double msgs_per_s = 0;
    size_t failures = 0;
};

template <typename Fn> Result run(size_t count, int rounds, Fn parse_one) {
    Result r;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i)
        for (size_t k = 0; k < count; ++k)
            if (!parse_one(k)) ++r.failures;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.msgs_per_s = double(rounds) * double(count) / secs;
    return r;
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
    parser_init();
    if (libre_init() != 0) return 70;
    std::vector<std::string> msgs = sipbench::corpus();
    // re decodes from an mbuf: one per message, made once, read from its start each time.
    std::vector<struct mbuf *> bufs;
    for (const auto &m : msgs) {
        struct mbuf *mb = mbuf_alloc(m.size());
        if (!mb || mbuf_write_mem(mb, reinterpret_cast<const uint8_t *>(m.data()), m.size()) != 0) return 70;
        bufs.push_back(mb);
    }
    auto ours = [&](size_t k) {
        callctl::sip::Message msg;
        return bool(msg.parse(msgs[k]));
    };
    auto osip = [&](size_t k) {
        osip_message_t *sip = nullptr;
        if (osip_message_init(&sip) != 0) return false;
        bool ok = osip_message_parse(sip, msgs[k].data(), msgs[k].size()) == 0;
        osip_message_free(sip);
        return ok;
    };
    auto re = [&](size_t k) {
        struct sip_msg *msg = nullptr;
        bufs[k]->pos = 0;
        bool ok = sip_msg_decode(&msg, bufs[k]) == 0;
        mem_deref(msg);
        return ok;
    };
    size_t n = msgs.size();
    if (argc > 2 && std::string(argv[2]) == "callctl") {
        Result r = run(n, rounds, ours);
        std::printf("callctl %.0f %zu\n", r.msgs_per_s, r.failures);
        return r.failures == 0 ? 0 : 1;
    }
    run(n, rounds / 10 + 1, ours);
    run(n, rounds / 10 + 1, osip);
    run(n, rounds / 10 + 1, re);
    Result best[3];
    for (int k = 0; k < 3; ++k) {
        Result r[3] = {run(n, rounds, ours), run(n, rounds, osip), run(n, rounds, re)};
        for (int j = 0; j < 3; ++j)
            if (r[j].msgs_per_s > best[j].msgs_per_s) best[j] = r[j];
    }
    const char *names[3] = {"callctl", "libosip2", "re"};
    for (int j = 0; j < 3; ++j) std::printf("%s %.0f %zu\n", names[j], best[j].msgs_per_s, best[j].failures);
    for (auto *mb : bufs) mem_deref(mb);
    libre_close();
    return best[0].failures + best[1].failures + best[2].failures == 0 ? 0 : 1;
}
