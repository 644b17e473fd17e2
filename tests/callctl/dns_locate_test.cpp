// SIP server location through the resolver, against dnsmasq on loopback:
// NAPTR -> SRV -> A chains, SRV alone, nothing, weights, the cache's TTLs,
// dead servers, and the system's own name server (under the wrapper
// with-test-nameserver, which gives the test a resolv.conf of its own).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/dns.h"
#include "base/resolver.h"
#include "harness.h"

using namespace callctl;
using namespace testing_callctl;
using namespace std::chrono;

namespace {

std::string read_unix_file(const std::string &unix_path) {
#ifdef _WIN32
    std::ifstream f("Z:" + unix_path, std::ios::binary);
#else
    std::ifstream f(unix_path, std::ios::binary);
#endif
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// One dnsmasq serving the records given (dnsmasq options) and nothing else.
class Dnsmasq {
public:
    ~Dnsmasq() { stop(); }
    bool start(const std::vector<std::string> &records, uint32_t ip = 0x7f000001, uint16_t port = 0) {
        static int runs = 0;
        base_ = unix_cwd() + "/dnsmasq-" + std::to_string(++runs);
        for (int attempt = 0; attempt < (port ? 1 : 5); ++attempt) {  // a free port may be taken meanwhile
            server_ = Endpoint{ip, port ? port : uint16_t(free_udp_port())};
            std::string cmd = "dnsmasq -k -C /dev/null --no-resolv --no-hosts --local=/test/ --bind-interfaces"
                              " --pid-file= --log-facility=- --log-queries --listen-address=" + server_.ip_text() +
                              " --port=" + std::to_string(server_.port);
            for (const auto &r : records) cmd += " '--" + r + "'";
            run_sh(cmd + " 2>'" + base_ + ".log' &\necho $! >'" + base_ + ".pid'", 10000);
            pid_ = std::atol(read_unix_file(base_ + ".pid").c_str());
            // Up once its port is taken; gone when it said why.
            for (auto end = steady_clock::now() + seconds(5); steady_clock::now() < end;) {
                UdpSocket probe;
                if (!probe.open(server_.ip, server_.port)) return true;
                if (log().find("FAILED") != std::string::npos || log().find("failed") != std::string::npos) break;
                std::this_thread::sleep_for(milliseconds(20));
            }
            stop();
        }
        return false;
    }
    void stop() {
        if (pid_) run_sh("kill " + std::to_string(pid_), 10000);
        pid_ = 0;
    }
    const Endpoint &server() const { return server_; }
    std::string log() const { return read_unix_file(base_ + ".log"); }

private:
    std::string base_;
    Endpoint server_;
    long pid_ = 0;
};

// A resolver whose wake-ups a test waits for.
struct Located {
    std::mutex mu;
    std::condition_variable cv;
    int wakes = 0;
    Resolver res{[this] {
        std::lock_guard<std::mutex> g(mu);
        ++wakes;
        cv.notify_all();
    }};
    // One run on the worker: its answer, or false when none came in time.
    bool run(const std::string &domain, const std::vector<Transport> &ts, Resolver::TargetAnswer *out,
             int wait_ms = 8000) {
        res.request_targets(domain, ts);
        const auto end = steady_clock::now() + milliseconds(wait_ms);
        std::unique_lock<std::mutex> g(mu);
        for (;;) {
            const int seen = wakes;
            g.unlock();
            auto got = res.take_target_answers();
            g.lock();
            if (!got.empty()) return *out = std::move(got.front()), true;
            if (!cv.wait_until(g, end, [&] { return wakes != seen; })) return false;
        }
    }
};

std::vector<std::string> texts(const std::vector<SipTarget> &ts) {
    std::vector<std::string> out;
    for (const auto &t : ts)
        out.push_back(std::string(transport_name(t.transport)) + " " + t.host + ":" + std::to_string(t.port) + " " +
                      Endpoint{t.ip, 0}.ip_text());
    return out;
}

const std::vector<Transport> kAll = {Transport::Udp, Transport::Tcp, Transport::Tls};
using T = Transport;

// chain.test: NAPTR picks TLS and TCP (order 10, TLS preferred) before UDP
// (order 20); a record for another service, one with a regexp and one with
// a flag of another kind are not SIP's. UDP's SRV has two priorities, the
// second target an alias.
const std::vector<std::string> kChainZone = {
    "naptr-record=chain.test,20,10,s,SIP+D2U,,_sip._udp.chain.test",
    "naptr-record=chain.test,10,20,s,SIP+D2T,,_sip._tcp.chain.test",
    "naptr-record=chain.test,10,10,S,SIPS+D2T,,_sips._tcp.chain.test",
    "naptr-record=chain.test,5,10,u,E2U+sip,!^.*$!sip:info@chain.test!,",
    "naptr-record=chain.test,1,10,s,SIP+D2U,!^.*$!x!,_sip._udp.evil.test",
    "naptr-record=chain.test,1,10,a,SIP+D2T,,evil.test",
    "srv-host=_sips._tcp.chain.test,tls.chain.test,5061,0,0",
    "srv-host=_sip._tcp.chain.test,tcp.chain.test,5060,0,0",
    "srv-host=_sip._udp.chain.test,udp-b.chain.test,5070,20,0",
    "srv-host=_sip._udp.chain.test,udp-a.chain.test,5080,10,0",
    "srv-host=_sip._udp.evil.test,evil.test,5060,0,0",
    "host-record=tls.chain.test,127.0.0.11",
    "host-record=tcp.chain.test,127.0.0.12",
    "host-record=udp-a.chain.test,127.0.0.13",
    "cname=udp-b.chain.test,pbx.chain.test",
    "host-record=pbx.chain.test,127.0.0.14",
    "host-record=evil.test,127.0.0.66",
};
const std::vector<std::string> kChainTargets = {
    "TLS tls.chain.test:5061 127.0.0.11", "TCP tcp.chain.test:5060 127.0.0.12",
    "UDP udp-a.chain.test:5080 127.0.0.13", "UDP udp-b.chain.test:5070 127.0.0.14"};

TEST(SipLocate, TargetsInTheOrderTheZoneGives) {
    std::vector<std::string> zone = kChainZone;
    // srv.test: SRV for UDP and TCP, no NAPTR. plain.test: an address only.
    for (const char *r : {"srv-host=_sip._udp.srv.test,a.srv.test,5060,0,0",
                          "srv-host=_sip._tcp.srv.test,b.srv.test,5062,0,0", "host-record=a.srv.test,127.0.0.21",
                          "host-record=b.srv.test,127.0.0.22", "host-record=plain.test,127.0.0.31"})
        zone.push_back(r);
    // big.test: more SRV records than a 512-byte datagram holds (TCP).
    std::vector<std::string> big;
    for (int i = 1; i <= 12; ++i) {
        std::string host = "host-" + std::string(40, 'x') + "-" + std::to_string(i) + ".big.test";
        zone.push_back("srv-host=_sip._udp.big.test," + host + ",5060," + std::to_string(i) + ",0");
        zone.push_back("host-record=" + host + ",127.0.2." + std::to_string(i));
        big.push_back("UDP " + host + ":5060 127.0.2." + std::to_string(i));
    }
    Dnsmasq dm;
    ASSERT_TRUE(dm.start(zone)) << dm.log();
    dns::set_server_override(dm.server());
    const struct {
        const char *domain;
        std::vector<Transport> transports;
        std::vector<std::string> targets;
    } rows[] = {
        {"chain.test", kAll, kChainTargets},
        {"Chain.TEST.", kAll, kChainTargets},
        {"chain.test", {T::Udp}, {kChainTargets[2], kChainTargets[3]}},
        {"chain.test", {T::Udp, T::Tcp}, {kChainTargets[1], kChainTargets[2], kChainTargets[3]}},
        {"srv.test", {T::Tls, T::Tcp, T::Udp}, {"TCP b.srv.test:5062 127.0.0.22", "UDP a.srv.test:5060 127.0.0.21"}},
        {"srv.test", {T::Udp, T::Tcp}, {"UDP a.srv.test:5060 127.0.0.21", "TCP b.srv.test:5062 127.0.0.22"}},
        {"srv.test", {T::Tls}, {}},
        {"plain.test", kAll, {}},
        {"nosuch.test", kAll, {}},
        {"big.test", {T::Udp}, big},
    };
    for (const auto &row : rows) {
        Located l;
        Resolver::TargetAnswer a;
        ASSERT_TRUE(l.run(row.domain, row.transports, &a)) << row.domain;
        EXPECT_EQ(a.domain, row.domain);
        EXPECT_EQ(int(a.result), int(LocateResult::Complete)) << row.domain;
        EXPECT_EQ(texts(a.targets), row.targets) << row.domain << "\n" << dm.log();
    }
    dns::set_server_override(Endpoint{});
}

// RFC 2782: among equal priorities, the first place goes by weight (a
// weight-0 record seldom); a lower priority never comes first.
TEST(SipLocate, WeightsShareTheFirstPlace) {
    Dnsmasq dm;
    std::vector<std::string> zone = {"local-ttl=600", "naptr-record=w.test,10,10,s,SIP+D2U,,_sip._udp.w.test"};
    for (const char *srv : {"w0.test,5060,1,0", "w10.test,5060,1,10", "w90.test,5060,1,90", "low.test,5060,2,100"})
        zone.push_back(std::string("srv-host=_sip._udp.w.test,") + srv);
    for (const char *host : {"w0.test,127.0.0.40", "w10.test,127.0.0.41", "w90.test,127.0.0.42", "low.test,127.0.0.43"})
        zone.push_back(std::string("host-record=") + host);
    ASSERT_TRUE(dm.start(zone)) << dm.log();
    dns::set_server_override(dm.server());
    Located l;
    Resolver::TargetAnswer a;
    ASSERT_TRUE(l.run("w.test", {T::Udp}, &a));
    ASSERT_EQ(a.targets.size(), 4u) << dm.log();
    std::map<std::string, int> first;  // each run from the cache orders the records afresh
    for (int i = 0; i < 300; ++i) {
        std::vector<SipTarget> ts;
        ASSERT_TRUE(l.res.cached_targets("w.test", {T::Udp}, &ts));
        ASSERT_EQ(ts.size(), 4u);
        EXPECT_EQ(ts.back().host, "low.test");
        ++first[ts.front().host];
    }
    // Expected shares 90/101, 10/101 and 1/101; bounds about four deviations out.
    EXPECT_GE(first["w90.test"], 240);
    EXPECT_GE(first["w10.test"], 10);
    EXPECT_LE(first["w10.test"], 55);
    EXPECT_LE(first["w0.test"], 12);
    dns::set_server_override(Endpoint{});
}

// Records are kept for their own TTL: with the server gone the list still
// comes from the cache, until its shortest-lived record (the A, 2 s) expires.
TEST(SipLocate, RecordsAreKeptForTheirTtl) {
    Dnsmasq dm;
    ASSERT_TRUE(dm.start({"local-ttl=600", "naptr-record=ttl.test,10,10,s,SIP+D2U,,_sip._udp.ttl.test",
                          "srv-host=_sip._udp.ttl.test,pbx.ttl.test,5060,0,0", "host-record=pbx.ttl.test,127.0.0.50,2"}))
        << dm.log();
    dns::set_server_override(dm.server());
    Located l;
    Resolver::TargetAnswer a;
    ASSERT_TRUE(l.run("ttl.test", {T::Udp}, &a));
    ASSERT_EQ(texts(a.targets), std::vector<std::string>{"UDP pbx.ttl.test:5060 127.0.0.50"});
    dm.stop();
    std::vector<SipTarget> ts;
    EXPECT_TRUE(l.res.cached_targets("ttl.test", {T::Udp}, &ts));
    EXPECT_EQ(texts(ts), texts(a.targets));
    const auto end = steady_clock::now() + seconds(5);
    while (l.res.cached_targets("ttl.test", {T::Udp}, &ts) && steady_clock::now() < end)
        std::this_thread::sleep_for(milliseconds(50));
    EXPECT_FALSE(l.res.cached_targets("ttl.test", {T::Udp}, &ts)) << "still cached after 5 s";
    dns::set_server_override(Endpoint{});
}

// A name server that never answers, or a closed port: the run ends within
// its budget and says the lookups failed.
TEST(SipLocate, DeadServersCostAtMostTheBudget) {
    net_startup();
    UdpSocket silent;
    ASSERT_TRUE(silent.open(0x7f000001, 0));
    const uint16_t closed = uint16_t(free_udp_port());
    const struct {
        const char *what;
        uint16_t port;
    } rows[] = {{"a server that never answers", silent.local_port()}, {"a closed port", closed}};
    for (const auto &row : rows) {
        dns::set_server_override(Endpoint{0x7f000001, row.port});
        Located l;
        Resolver::TargetAnswer a;
        const auto t0 = steady_clock::now();
        ASSERT_TRUE(l.run("chain.test", kAll, &a, int(Resolver::kLocateBudgetMs) + 3000)) << row.what;
        const auto took = duration_cast<milliseconds>(steady_clock::now() - t0).count();
        EXPECT_LE(took, Resolver::kLocateBudgetMs + 1000) << row.what;
        EXPECT_EQ(int(a.result), int(LocateResult::Failed)) << row.what;
        EXPECT_TRUE(a.targets.empty()) << row.what;
    }
    dns::set_server_override(Endpoint{});
    net_cleanup();
}

// The system's own list of name servers (GetNetworkParams under Wine,
// /etc/resolv.conf natively), which tests/callctl/with-test-nameserver
// points at a loopback address of its choice, named in
// QUILLON_TEST_NAMESERVER; dnsmasq listens there on port 53.
TEST(SipLocate, TheSystemsNameServerIsAsked) {
    const char *env = std::getenv("QUILLON_TEST_NAMESERVER");
    uint32_t ip = 0;
    if (!env || !parse_ipv4(env, &ip)) GTEST_SKIP() << "not run under tests/callctl/with-test-nameserver";
    Dnsmasq dm;
    ASSERT_TRUE(dm.start(kChainZone, ip, 53)) << dm.log();
    std::vector<std::string> servers;
    for (const auto &e : dns::system_servers()) servers.push_back(e.text());
    EXPECT_EQ(servers, std::vector<std::string>{std::string(env) + ":53"});
    dns::set_server_override(Endpoint{});
    Located l;
    Resolver::TargetAnswer a;
    ASSERT_TRUE(l.run("chain.test", kAll, &a));
    EXPECT_EQ(texts(a.targets), kChainTargets) << dm.log();
}

#ifndef _WIN32
// (Natively only: on Windows the library is a DLL of its own, which the test's
// name-server and address overrides do not reach.)
// A line whose domain's DNS names a TCP server: UDP to the domain's own port
// goes unanswered, and the line registers with the server DNS named before
// any fixed fallback (those ports are closed here).
TEST(SipLocate, LineRegistersWithTheServerDnsNames) {
    net_startup();
    Sipp server;
    ASSERT_TRUE(server.start("stream_register_call.xml", {"-t", "t1"}, {}, 1));
    UdpSocket hole, closed;
    ASSERT_TRUE(hole.open(0x7f000001, 0) && closed.open(0x7f000001, 0));
    Dnsmasq dm;
    ASSERT_TRUE(dm.start({"srv-host=_sip._tcp.line.test,pbx.line.test," + std::to_string(server.port()) + ",0,0",
                          "host-record=pbx.line.test,127.0.0.1"}))
        << dm.log();
    dns::set_server_override(dm.server());
    Resolver::set_override("line.test", 0x7f000001);
    {
        Phone ph;
        ASSERT_EQ(sipxConfigSetFallbackPorts(ph.inst, closed.local_port(), closed.local_port(), 0),
                  SIPX_RESULT_SUCCESS);
        SIPX_LINE line = 0;
        std::string id = "sip:8001@line.test:" + std::to_string(hole.local_port());
        ASSERT_EQ(sipxLineAdd(ph.inst, id.c_str(), &line, 0), SIPX_RESULT_SUCCESS);
        ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
        Event e = ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED, 5000, line);
        EXPECT_EQ(e.category, SIPX_EVENT_CATEGORY_LINESTATE) << ph.rec.dump() << server.log();
        char way[32] = "";
        int proven = 0;
        ASSERT_EQ(sipxLineGetTransport(line, way, sizeof way, &proven), SIPX_RESULT_SUCCESS);
        EXPECT_EQ(std::string(way), "tcp:" + std::to_string(server.port()));
        EXPECT_EQ(proven, 1);
        EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTER_FAILED), 0) << ph.rec.dump();
    }
    Resolver::clear_overrides();
    dns::set_server_override(Endpoint{});
    net_cleanup();
}

#endif

}  // namespace
