// The DNS reader on messages written by hand (a table of hostile ones), the
// resolv.conf reader, and the exchange with a name server of the test's that
// answers falsely (wrong IDs, strangers, broken records).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "base/dns.h"

using namespace callctl;

namespace {

// A message written byte by byte.
struct Msg {
    std::string b;
    Msg &u8(unsigned v) { return b.push_back(char(v)), *this; }
    Msg &u16(unsigned v) { return u8(v >> 8).u8(v & 0xFF); }
    Msg &u32(uint32_t v) { return u16(v >> 16).u16(v & 0xFFFF); }
    Msg &raw(const std::string &s) { return b += s, *this; }
    Msg &ptr(unsigned to) { return u16(0xC000 | to); }
    Msg &name(const std::string &dotted) {  // uncompressed, root included
        for (size_t start = 0, dot; start < dotted.size(); start = dot + 1) {
            dot = std::min(dotted.find('.', start), dotted.size());
            u8(unsigned(dot - start)).raw(dotted.substr(start, dot - start));
        }
        return u8(0);
    }
    // Header and the question "_sip._udp.x.test" SRV; the name is at 12.
    static Msg answer(unsigned an, unsigned id = 0x1234, unsigned flags = 0x8180, unsigned qd = 1) {
        Msg m;
        m.u16(id).u16(flags).u16(qd).u16(an).u16(0).u16(0);
        for (unsigned i = 0; i < qd; ++i) m.name("_sip._udp.x.test").u16(dns::kSrv).u16(1);
        return m;
    }
    // An SRV record owned by the question's name.
    Msg &srv(const std::string &target, uint32_t ttl = 60) {
        Msg data;
        data.u16(10).u16(20).u16(5060).name(target);
        return ptr(12).u16(dns::kSrv).u16(1).u32(ttl).u16(unsigned(data.b.size())).raw(data.b);
    }
};

const std::string kQname = "_sip._udp.x.test";

struct ParseRow {
    const char *what;
    std::string msg;
    dns::ParseError error;
    size_t records;    // when it parses
    uint32_t ttl = 0;  // how long the answer may be kept, when it parses
};

// An answer with no records (NXDOMAIN), and the zone's SOA when soa_min.
std::string nxdomain(uint32_t soa_min) {
    Msg m = Msg::answer(0, 0x1234, 0x8183);
    if (!soa_min) return m.b;
    m.b[9] = 1;  // one authority record
    Msg soa;
    soa.name("ns.test").name("admin.test").u32(1).u32(2).u32(3).u32(4).u32(soa_min);
    return m.name("test").u16(dns::kSoa).u16(1).u32(900).u16(unsigned(soa.b.size())).raw(soa.b).b;
}

TEST(DnsReader, HostileMessagesAreRefusedWithTheReasonOthersKeptForTheirTtl) {
    using E = dns::ParseError;
    const std::string label63(63, 'a');
    // Records after the question (which ends at 12 + 18 + 4 = 34).
    const ParseRow rows[] = {
        {"an SRV answer with a compressed owner", Msg::answer(1).srv("a.x.test", 70).b, E::None, 1, 70},
        {"compression inside the SRV target", Msg::answer(1).ptr(12).u16(33).u16(1).u32(60).u16(10)
                                                  .u16(1).u16(1).u16(5060).u8(1).raw("a").ptr(22).b, E::None, 1, 60},
        {"another query's ID", Msg::answer(1, 0x1235).srv("a.x.test").b, E::WrongId, 0},
        {"a query, not an answer", Msg::answer(1, 0x1234, 0x0100).srv("a.x.test").b, E::NotAnAnswer, 0},
        {"an answer to another opcode", Msg::answer(1, 0x1234, 0x8980).srv("a.x.test").b, E::NotAnAnswer, 0},
        {"two questions", Msg::answer(1, 0x1234, 0x8180, 2).srv("a.x.test").b, E::WrongQuestion, 0},
        {"no question", Msg::answer(0, 0x1234, 0x8180, 0).b, E::WrongQuestion, 0},
        {"another name asked", Msg().u16(0x1234).u16(0x8180).u16(1).u16(0).u16(0).u16(0).name("_sip._udp.y.test")
                                   .u16(33).u16(1).b, E::WrongQuestion, 0},
        {"another type asked", Msg().u16(0x1234).u16(0x8180).u16(1).u16(0).u16(0).u16(0).name(kQname).u16(1)
                                   .u16(1).b, E::WrongQuestion, 0},
        {"cut inside the header", Msg::answer(0).b.substr(0, 7), E::Short, 0},
        {"cut inside the question", Msg::answer(0).b.substr(0, 20), E::Short, 0},
        {"more answers counted than sent", Msg::answer(2).srv("a.x.test").b, E::Short, 0},
        {"a pointer to itself", Msg::answer(1).ptr(34).u16(33).u16(1).u32(60).u16(0).b, E::BadName, 0},
        {"two pointers to each other", Msg::answer(1).u8(1).raw("a").ptr(38).ptr(34).u16(1).u16(1).u32(60).u16(4)
                                           .u32(1).b, E::BadName, 0},
        {"a pointer past the end", Msg::answer(1).ptr(0x3FFF).u16(33).u16(1).u32(60).u16(0).b, E::BadName, 0},
        {"a pointer forwards", Msg::answer(1).ptr(36).u16(33).u16(1).u32(60).u16(0).b, E::BadName, 0},
        {"a pointer cut in half", Msg::answer(1).u8(0xC0).b, E::Short, 0},
        {"a label of 64 bytes", Msg::answer(1).u8(64).raw(std::string(64, 'a')).u8(0).u16(1).u16(1).u32(60).u16(4)
                                    .u32(1).b, E::BadName, 0},
        {"a name over 255 bytes", Msg::answer(1).name(label63 + "." + label63 + "." + label63 + "." + label63)
                                      .u16(1).u16(1).u32(60).u16(4).u32(1).b, E::BadName, 0},
        {"a dot inside a label", Msg::answer(1).u8(3).raw("a.b").u8(0).u16(1).u16(1).u32(60).u16(4).u32(1).b,
         E::BadName, 0},
        {"a control character in a label", Msg::answer(1).u8(2).raw("a\n").u8(0).u16(1).u16(1).u32(60).u16(4)
                                               .u32(1).b, E::BadName, 0},
        {"record data past the end", Msg::answer(1).ptr(12).u16(33).u16(1).u32(60).u16(40).u16(1).u16(1).b,
         E::Short, 0},
        {"SRV data shorter than its fields", Msg::answer(1).ptr(12).u16(33).u16(1).u32(60).u16(5).u16(1).u16(1)
                                                 .u16(5060).name("a.x.test").b, E::BadRecord, 0},
        {"SRV data with bytes after its target", Msg::answer(1).ptr(12).u16(33).u16(1).u32(60).u16(9).u16(1)
                                                     .u16(1).u16(5060).u8(0).u16(0).b, E::BadRecord, 0},
        {"an A record of 3 bytes", Msg::answer(1).ptr(12).u16(1).u16(1).u32(60).u16(3).u8(1).u8(2).u8(3).b,
         E::BadRecord, 0},
        {"a NAPTR text past its data", Msg::answer(1).ptr(12).u16(35).u16(1).u32(60).u16(8).u16(1).u16(1).u8(9)
                                           .raw("s").u8(0).u8(0).u8(0).b, E::BadRecord, 0},
        {"records of other names are dropped", Msg::answer(1).name("evil.test").u16(33).u16(1).u32(60).u16(7)
                                                   .u16(1).u16(1).u16(1).u8(0).b, E::None, 0},
        {"an alias is followed; its TTL bounds", Msg::answer(2).ptr(12).u16(5).u16(1).u32(20).u16(8).name("b.test")
                                                    .ptr(46).u16(33).u16(1).u32(30).u16(7).u16(1).u16(1).u16(1).u8(0).b,
         E::None, 1, 20},
        {"NXDOMAIN: kept for the SOA's minimum", nxdomain(120), E::None, 0, 120},
        {"NXDOMAIN without the SOA: not kept", nxdomain(0), E::None, 0, 0},
        {"truncated: the records are not read", Msg::answer(3, 0x1234, 0x8380).u8(0xC0).b, E::None, 0},
    };
    for (const auto &row : rows) {
        dns::Answer a;
        a.records.resize(7);  // must stay as it is when the read fails
        const auto r = dns::parse_answer(reinterpret_cast<const uint8_t *>(row.msg.data()), row.msg.size(), 0x1234,
                                         "_SIP._udp.X.test", dns::kSrv, &a);
        EXPECT_EQ(int(r.error), int(row.error)) << row.what << ": " << dns::parse_error_text(r.error) << " at "
                                                << r.offset;
        EXPECT_LE(r.offset, row.msg.size()) << row.what;
        EXPECT_EQ(a.records.size(), row.error == E::None ? row.records : 7u) << row.what;
        if (r) {
            EXPECT_EQ(a.ttl, row.ttl) << row.what;
        }
    }
}

TEST(DnsReader, ResolvConfNamesAtMostThreeIpv4Servers) {
    const struct {
        const char *text;
        std::vector<std::string> servers;
    } rows[] = {
        {"nameserver 10.0.0.1\n", {"10.0.0.1:53"}},
        {"# nameserver 10.0.0.9\n; nameserver 10.0.0.8\nsearch x\n nameserver\t10.0.0.2 \r\n", {"10.0.0.2:53"}},
        {"nameserver ::1\nnameserver fe80::1%eth0\nnameserver 10.0.0.3", {"10.0.0.3:53"}},
        {"nameserver 1.1.1.1\nnameserver 1.1.1.2\nnameserver 1.1.1.3\nnameserver 1.1.1.4\n",
         {"1.1.1.1:53", "1.1.1.2:53", "1.1.1.3:53"}},
        {"nameserver 300.1.1.1\nnameservers 1.1.1.5\nnameserver 1.1.1.6x\n", {}},
    };
    for (const auto &row : rows) {
        std::vector<std::string> got;
        for (const auto &e : dns::parse_resolv_conf(row.text)) got.push_back(e.text());
        EXPECT_EQ(got, row.servers) << row.text;
    }
}

// A name server of the test's: answers each query with the replies a row
// scripts: the true answer, or a forged one (another ID, from a stranger's
// socket on the same address, with an owner name pointing to itself).
enum Reply { True, OtherId, Stranger, Loop };
struct FalseServer {
    static constexpr uint32_t kTrue = 0x0A000001, kForged = 0x06060606;
    UdpSocket sock, stranger;
    std::thread th;
    std::atomic<bool> quit{false};
    std::vector<uint16_t> ids, ports;  // of the queries seen (read after stop)

    bool start(std::vector<Reply> replies) {
        if (!sock.open(0x7f000001, 0) || !stranger.open(0x7f000001, 0)) return false;
        th = std::thread([this, replies] {
            uint8_t buf[512];
            while (!quit) {
                UdpSocket *set[1] = {&sock};
                bool ready = false;
                Endpoint from;
                int n = wait_readable(set, 1, 50, &ready) && ready ? sock.recv_from(buf, sizeof buf, &from) : 0;
                if (n < 12) continue;
                ids.push_back(uint16_t(buf[0] << 8 | buf[1]));
                ports.push_back(from.port);
                for (Reply r : replies) {
                    Msg m;
                    m.raw(std::string(reinterpret_cast<char *>(buf), size_t(n)));
                    const unsigned id = ids.back() ^ (r == OtherId ? 0x100u : 0u);
                    m.b[0] = char(id >> 8), m.b[1] = char(id), m.b[2] = char(0x81), m.b[3] = char(0x80), m.b[7] = 1;
                    m.ptr(r == Loop ? unsigned(n) : 12).u16(dns::kA).u16(1).u32(60).u16(4);
                    m.u32(r == True ? kTrue : kForged);
                    (r == Stranger ? stranger : sock).send_to(from, m.b.data(), m.b.size());
                }
            }
        });
        dns::set_server_override(Endpoint{0x7f000001, sock.local_port()});
        return true;
    }
    void stop() {
        quit = true;
        if (th.joinable()) th.join();
        dns::set_server_override(Endpoint{});
    }
    ~FalseServer() { stop(); }
};

// Also: each query has its own ID and source port.
TEST(DnsExchange, FalseAnswersAreDroppedAndTheWaitGoesOn) {
    net_startup();
    const struct {
        const char *what;
        std::vector<Reply> replies;
        bool answered;  // with the true answer
    } rows[] = {
        {"the answer alone", {True}, true},           {"another ID first", {OtherId, True}, true},
        {"a stranger first", {Stranger, True}, true}, {"a pointer loop first", {Loop, True}, true},
        {"only a stranger", {Stranger}, false},       {"only another ID", {OtherId}, false},
    };
    std::vector<uint16_t> ids, ports;
    for (const auto &row : rows) {
        FalseServer fs;
        ASSERT_TRUE(fs.start(row.replies));
        dns::Answer a;
        const bool ok = dns::query("host.test", dns::kA, now_ms() + 1200, &a);
        EXPECT_EQ(ok, row.answered) << row.what;
        if (ok) {
            ASSERT_EQ(a.records.size(), 1u) << row.what;
            EXPECT_EQ(a.records[0].a, FalseServer::kTrue) << row.what;
        }
        fs.stop();
        ids.insert(ids.end(), fs.ids.begin(), fs.ids.end());
        ports.insert(ports.end(), fs.ports.begin(), fs.ports.end());
    }
    const size_t n = ids.size();
    ASSERT_GE(n, 6u);
    std::sort(ids.begin(), ids.end());
    std::sort(ports.begin(), ports.end());
    EXPECT_GE(size_t(std::unique(ids.begin(), ids.end()) - ids.begin()), n - 1);
    EXPECT_GE(size_t(std::unique(ports.begin(), ports.end()) - ports.begin()), n - 1);
    net_cleanup();
}

}  // namespace
