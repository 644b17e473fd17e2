// Requests to the phone, text messages, keep-alives, hostile datagrams and
// shutdown, through the C interface.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <new>
#include <random>
#include <stdexcept>
#include <thread>

#include "base/log.h"
#include "harness.h"

#ifndef _WIN32
#include "api/registry.h"
#endif
#ifdef __linux__
#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <map>
#endif

using namespace testing_callctl;
using namespace std::chrono;

TEST(Incoming, OptionsUnknownMethodInviteAndStrayBye) {
    Phone ph;
    Sipp peer;
    ASSERT_TRUE(peer.start("uac_requests.xml", {}, "127.0.0.1:" + std::to_string(ph.port)));
    EXPECT_EQ(peer.wait(8000), 0) << peer.log();
    // An incoming INVITE is refused, never offered to the program.
    for (const auto &e : ph.rec.all()) EXPECT_NE(e.category, SIPX_EVENT_CATEGORY_CALLSTATE);
}

TEST(Incoming, TextMessageFromTheServerReachesTheProgramInGbk) {
    Phone ph;
    Sipp server;
    // The line's registrar is the server that sends the messages, to the
    // Contact the line registered.
    ASSERT_TRUE(server.start("message.xml"));
    SIPX_LINE line = ph.add_line("8001", server.port());
    ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(server.wait(8000), 0) << server.log();
    Event e = ph.rec.wait_for(SIPX_EVENT_CATEGORY_MESSAGE, 0, 2000);
    ASSERT_EQ(e.category, SIPX_EVENT_CATEGORY_MESSAGE) << ph.rec.dump();
    EXPECT_EQ(e.line, line);
    std::string text = e.text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    // "您的余额不足,请充值" in code page 936.
    EXPECT_EQ(text, "\xc4\xfa\xb5\xc4\xd3\xe0\xb6\xee\xb2\xbb\xd7\xe3,\xc7\xeb\xb3\xe4\xd6\xb5");
    int messages = 0;
    for (const auto &ev : ph.rec.all()) messages += ev.category == SIPX_EVENT_CATEGORY_MESSAGE;
    EXPECT_EQ(messages, 1);  // the application/json one was refused
}

TEST(Incoming, TextMessageFromAStrangerIsRefused) {
    Phone ph;
    ph.add_line("8001", 5060);  // the server is 127.0.0.1; the stranger 127.0.0.2
    Sipp stranger;
    ASSERT_TRUE(stranger.start("message_stranger.xml", {}, "127.0.0.1:" + std::to_string(ph.port), 1, "127.0.0.2"));
    EXPECT_EQ(stranger.wait(8000), 0) << stranger.log();
    for (const auto &e : ph.rec.all()) EXPECT_NE(e.category, SIPX_EVENT_CATEGORY_MESSAGE);
}

// CRLF and STUN keep-alives arrive at the period asked for, from the SIP port.
TEST(KeepAlive, CrlfAndStunArriveEverySecond) {
    callctl::net_startup();
    callctl::UdpSocket crlf, stun;
    ASSERT_TRUE(crlf.open(0x7f000001, 0));
    ASSERT_TRUE(stun.open(0x7f000001, 0));
    Phone ph;
    ASSERT_EQ(sipxConfigKeepAliveAdd(ph.inst, 0, 0, "127.0.0.1", crlf.local_port(), 1), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxConfigKeepAliveAdd(ph.inst, 0, 1, "localhost", stun.local_port(), 1), SIPX_RESULT_SUCCESS);
    auto t0 = steady_clock::now();
    std::vector<long> at[2];
    std::vector<std::string> data[2];
    callctl::UdpSocket *socks[2] = {&crlf, &stun};
    while (steady_clock::now() - t0 < milliseconds(2600)) {
        bool ready[2];
        callctl::wait_readable(socks, 2, 50, ready);
        for (int i = 0; i < 2; ++i) {
            char buf[256];
            callctl::Endpoint from;
            int n;
            while ((n = socks[i]->recv_from(buf, sizeof buf, &from)) > 0) {
                at[i].push_back(long(duration_cast<milliseconds>(steady_clock::now() - t0).count()));
                data[i].emplace_back(buf, size_t(n));
                EXPECT_EQ(from.port, ph.port) << "keep-alives leave from the SIP socket";
            }
        }
    }
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(at[i].size(), 3u) << "kind " << i;
        EXPECT_LT(at[i][0], 300);
        EXPECT_NEAR(at[i][1] - at[i][0], 1000, 150);
        EXPECT_NEAR(at[i][2] - at[i][1], 1000, 150);
    }
    EXPECT_EQ(data[0][0], "\r\n\r\n");
    ASSERT_EQ(data[1][0].size(), 20u);
    const unsigned char *s = reinterpret_cast<const unsigned char *>(data[1][0].data());
    EXPECT_EQ(s[0], 0x00);
    EXPECT_EQ(s[1], 0x01);  // binding request
    EXPECT_EQ(std::memcmp(s + 4, "\x21\x12\xA4\x42", 4), 0);
    EXPECT_NE(data[1][0].substr(8), data[1][1].substr(8)) << "each request has its own transaction id";
    // Removing stops them.
    ASSERT_EQ(sipxConfigKeepAliveRemove(ph.inst, 0, 0, "127.0.0.1", crlf.local_port()), SIPX_RESULT_SUCCESS);
    std::this_thread::sleep_for(milliseconds(1200));
    char buf[64];
    callctl::Endpoint from;
    EXPECT_EQ(crlf.recv_from(buf, sizeof buf, &from), 0);
    callctl::net_cleanup();
}

TEST(KeepAlive, OptionsKeepAlivesAreAnsweredByTheServer) {
    Sipp server;
    ASSERT_TRUE(server.start("keepalive_options.xml", {}, {}, 3));
    Phone ph;
    auto t0 = steady_clock::now();
    ASSERT_EQ(sipxConfigKeepAliveAdd(ph.inst, 0, 2, "127.0.0.1", server.port(), 1), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(server.wait(8000), 0) << server.log();
    long elapsed = long(duration_cast<milliseconds>(steady_clock::now() - t0).count());
    EXPECT_GE(elapsed, 1800);  // three keep-alives: at 0, 1 and 2 s
    EXPECT_LE(elapsed, 3500);
}

// Malformed, truncated, oversized and hostile datagrams change nothing: the
// phone still answers and no event is produced.
TEST(Robustness, HostileDatagramsAreDroppedAndThePhoneStillAnswers) {
    Phone ph;
    callctl::net_startup();
    callctl::UdpSocket attacker;
    ASSERT_TRUE(attacker.open(0x7f000001, 0));
    callctl::Endpoint phone{0x7f000001, uint16_t(ph.port)};
    std::string options = "OPTIONS sip:sipx@127.0.0.1 SIP/2.0\r\n"
                          "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(attacker.local_port()) +
                          ";rport;branch=z9hG4bKprobe1\r\nFrom: <sip:p@127.0.0.1>;tag=1\r\nTo: <sip:sipx@127.0.0.1>\r\n"
                          "Call-ID: probe1\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
    std::vector<std::string> junk = {
        std::string(1, '\0'),
        "INVITE",
        "INVITE sip:x@y SIP/2.0\r\nVia: SIP/2.0/UDP 1.2.3.4\r\n",
        "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bKnomatch\r\nFrom: <sip:a@b>;tag=1\r\n"
        "To: <sip:c@d>;tag=2\r\nCall-ID: nomatch\r\nCSeq: 1 INVITE\r\nContent-Length: 0\r\n\r\n",
        "BYE sip:x@y SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bKj\r\nFrom: <sip:a@b>;tag=1\r\n"
        "To: <sip:c@d>;tag=2\r\nCall-ID: nomatch\r\nCSeq: 1 BYE\r\nContent-Length: 99999\r\n\r\n",
        options.substr(0, options.size() / 2),
        std::string(60000, 'A'),
        "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03",  // a TLS hello
        "\r\n\r\n",
    };
    std::mt19937 rng(7);
    for (int i = 0; i < 200; ++i) {
        std::string r(size_t(1 + rng() % 1500), '\0');
        for (auto &c : r) c = char(rng());
        junk.push_back(r);
    }
    for (const auto &j : junk) attacker.send_to(phone, j.data(), j.size());
    attacker.send_to(phone, options.data(), options.size());
    char buf[8192];
    callctl::Endpoint from;
    int n = 0;
    std::string answer;
    for (int i = 0; i < 100 && answer.empty(); ++i) {
        callctl::UdpSocket *s[] = {&attacker};
        bool ready[1];
        callctl::wait_readable(s, 1, 50, ready);
        while ((n = attacker.recv_from(buf, sizeof buf, &from)) > 0) {
            std::string m(buf, size_t(n));
            if (m.find("probe1") != std::string::npos) answer = m;
        }
    }
    ASSERT_FALSE(answer.empty()) << "the phone stopped answering";
    EXPECT_EQ(answer.compare(0, 15, "SIP/2.0 200 OK\r"), 0) << answer;
    // RFC 3581: the rport asked for is filled in, with received.
    EXPECT_NE(answer.find(";rport=" + std::to_string(attacker.local_port()) + ";"), std::string::npos) << answer;
    EXPECT_NE(answer.find("received=127.0.0.1"), std::string::npos) << answer;
    EXPECT_TRUE(ph.rec.all().empty()) << ph.rec.dump();
    callctl::net_cleanup();
}

// Shutting the instance down ends the call with BYE and unregisters the
// line, and returns only when no listener can run any more.
TEST(Shutdown, EndsCallsAndRegistrationThenGoesQuiet) {
    Sipp registrar, callee;
    ASSERT_TRUE(registrar.start("reg_shutdown.xml"));
    ASSERT_TRUE(callee.start("call_answer.xml"));
    auto *ph = new Phone;
    SIPX_LINE line = ph->add_line("8001", registrar.port());
    ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(ph->rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED, 5000).category,
              SIPX_EVENT_CATEGORY_LINESTATE)
        << registrar.log();
    SIPX_CALL call = 0;
    ASSERT_EQ(sipxCallCreate(ph->inst, line, &call), SIPX_RESULT_SUCCESS);
    std::string to = "sip:00867551234567@127.0.0.1:" + std::to_string(callee.port());
    ASSERT_EQ(sipxCallConnect(call, to.c_str(), 0, nullptr, 1, nullptr, nullptr), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(ph->rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_CONNECTED, 5000).category,
              SIPX_EVENT_CATEGORY_CALLSTATE)
        << callee.log();
    ASSERT_EQ(sipxUnInitialize(ph->inst, 1), SIPX_RESULT_SUCCESS);
    size_t events = ph->rec.all().size();
    EXPECT_EQ(registrar.wait(5000), 0) << registrar.log();
    EXPECT_EQ(callee.wait(5000), 0) << callee.log();
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(ph->rec.all().size(), events) << "a listener ran after sipxUnInitialize returned";
    EXPECT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_INVALID_ARGS);
    ph->inst = 0;
    delete ph;
}

#ifdef __linux__
namespace {
// The process's threads by name, each with how often it has gone to sleep.
std::multimap<std::string, long> threads_and_sleeps() {
    std::multimap<std::string, long> out;
    DIR *d = opendir("/proc/self/task");
    while (dirent *e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] == '.') continue;
        const std::string dir = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(dir + "/comm"), status(dir + "/status");
        std::string name, line;
        std::getline(comm, name);
        long sleeps = -1;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) sleeps = std::atol(line.c_str() + 24);
        out.emplace(name, sleeps);
    }
    if (d) closedir(d);
    return out;
}
}  // namespace

// An instance with nothing to do sleeps: its library thread does not wake (no
// timer is armed), and no media thread is kept for calls that may come.
TEST(Idle, AnInstanceWithNothingToDoDoesNotWake) {
    Phone ph;
    // The library thread names itself as it starts.
    auto before = threads_and_sleeps();
    for (auto until = steady_clock::now() + seconds(2); !before.count("callctl-sip") && steady_clock::now() < until;
         before = threads_and_sleeps())
        std::this_thread::sleep_for(milliseconds(5));
    ASSERT_EQ(before.count("callctl-sip"), 1u);
    EXPECT_EQ(before.count("callctl-media"), 0u);
    // Time, not a condition: that nothing happens shows only over a stretch.
    std::this_thread::sleep_for(milliseconds(3000));
    auto after = threads_and_sleeps();
    ASSERT_EQ(after.count("callctl-sip"), 1u);
    EXPECT_LE(after.find("callctl-sip")->second - before.find("callctl-sip")->second, 1);
    EXPECT_EQ(after.count("callctl-media"), 0u);
}
#endif

// A listener that calls back into the library from the library thread
// (as the phone's does) works, and sipxUnInitialize from there is refused.
namespace {
struct Reentrant {
    SIPX_INST inst = 0;
    std::atomic<int> uninit_result{-1};
    std::atomic<int> volume_result{-1};
};
int reentrant_cb(int category, void *info, void *user) {
    auto *r = static_cast<Reentrant *>(user);
    auto *i = static_cast<SIPX_EVENT_INFO *>(info);
    if (category == SIPX_EVENT_CATEGORY_LINESTATE && i->event == SIPX_LINESTATE_REGISTER_FAILED) {
        r->volume_result = sipxAudioSetInputVolume(r->inst, 98);
        r->uninit_result = sipxUnInitialize(r->inst, 1);
    }
    return 0;
}
}  // namespace

TEST(Listener, MayCallTheLibraryButNotShutItDown) {
    Sipp registrar;
    ASSERT_TRUE(registrar.start("reg_refused_403.xml"));
    Phone ph;
    Reentrant r;
    r.inst = ph.inst;
    ASSERT_EQ(sipxEventListenerAdd(ph.inst, reentrant_cb, &r), SIPX_RESULT_SUCCESS);
    SIPX_LINE line = ph.add_line("8001", registrar.port());
    ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTER_FAILED, 5000).category,
              SIPX_EVENT_CATEGORY_LINESTATE);
    for (int i = 0; i < 100 && r.uninit_result < 0; ++i) std::this_thread::sleep_for(milliseconds(10));
    EXPECT_EQ(r.volume_result, SIPX_RESULT_SUCCESS);
    EXPECT_EQ(r.uninit_result, SIPX_RESULT_BUSY);
    int vol = 0;
    EXPECT_EQ(sipxAudioGetInputVolume(ph.inst, &vol), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(vol, 98);
    EXPECT_EQ(sipxEventListenerRemove(ph.inst, reentrant_cb, nullptr), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(registrar.wait(5000), 0) << registrar.log();
}

#ifndef _WIN32
// No exception crosses the C interface. Thrown by the program's listener
// or log callback, it stays there and the library goes on; thrown inside an
// API call (through the handle registry's fault seam), it comes out as a
// result code. Native only: in the Windows tree the program and
// callctl.dll each link their own static unwinder, so nothing can be
// thrown from one into the other's frames, and the registry is the DLL's.
TEST(Boundary, ExceptionsStopAtTheCInterface) {
    RawPeer callee;
    Phone ph;
    static std::atomic<int> thrown_by_listener{0}, thrown_by_log{0};
    thrown_by_listener = 0;
    thrown_by_log = 0;
    auto listener = [](int, void *, void *) -> int {
        ++thrown_by_listener;
        throw std::runtime_error("listener");
    };
    auto log_cb = [](int, const char *, void *) {
        ++thrown_by_log;
        throw std::bad_alloc();
    };
    // The thrower goes first, so the recorder sees each event after it.
    ASSERT_EQ(sipxEventListenerRemove(ph.inst, Recorder::callback, &ph.rec), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxEventListenerAdd(ph.inst, +listener, nullptr), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxEventListenerAdd(ph.inst, Recorder::callback, &ph.rec), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxConfigSetLogSink(SIPX_LOG_INFO, nullptr, +log_cb, nullptr), SIPX_RESULT_SUCCESS);
    SIPX_LINE line = ph.add_line("8001", callee.port());
    SIPX_CALL call = 0;
    ASSERT_EQ(sipxCallCreate(ph.inst, line, &call), SIPX_RESULT_SUCCESS);
    std::string to = "sip:9001@127.0.0.1:" + std::to_string(callee.port());
    EXPECT_EQ(sipxCallConnect(call, to.c_str(), 0, nullptr, 1, nullptr, nullptr), SIPX_RESULT_SUCCESS);
    EXPECT_GT(thrown_by_log.load(), 0);  // the INVITE was logged
    ASSERT_EQ(sipxConfigSetLogSink(SIPX_LOG_NONE, nullptr, nullptr, nullptr), SIPX_RESULT_SUCCESS);
    SIPX_CALL gone = call;
    ASSERT_EQ(sipxCallDestroy(&gone), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DESTROYED, 5000, call).category,
              SIPX_EVENT_CATEGORY_CALLSTATE)
        << ph.rec.dump();
    EXPECT_GE(thrown_by_listener.load(), 2);  // offering, then destroyed: the thread went on after a throw
    EXPECT_EQ(sipxEventListenerRemove(ph.inst, +listener, nullptr), SIPX_RESULT_SUCCESS);

    struct Row {
        const char *what;
        std::function<void()> fault;
        SIPX_RESULT result;
    } rows[] = {
        {"nothing thrown", nullptr, SIPX_RESULT_INVALID_ARGS},  // handle 0 as usual
        {"std::bad_alloc", [] { throw std::bad_alloc(); }, SIPX_RESULT_OUT_OF_MEMORY},
        {"std::runtime_error", [] { throw std::runtime_error("fault"); }, SIPX_RESULT_FAILURE},
        {"an int", [] { throw 7; }, SIPX_RESULT_FAILURE},
    };
    for (const auto &r : rows) {
        callctl::api::set_lookup_fault(r.fault);
        SIPX_CALL none = 0;
        int volume = 0;
        EXPECT_EQ(sipxConfigEnableRport(0, 1), r.result) << r.what;
        EXPECT_EQ(sipxCallHold(0, 0), r.result) << r.what;
        EXPECT_EQ(sipxCallDestroy(&none), r.result) << r.what;
        EXPECT_EQ(sipxAudioGetInputVolume(0, &volume), r.result) << r.what;
        callctl::api::set_lookup_fault(nullptr);
    }
    int volume = 0;
    EXPECT_EQ(sipxAudioGetInputVolume(ph.inst, &volume), SIPX_RESULT_SUCCESS);  // the instance lives on
}
#endif

#ifndef _WIN32
// Dialling never waits for a slow name server once the name has been
// answered: an expired answer is used at once while the resolver's worker
// looks the name up again, and the call after that uses the new answer; a
// failed new lookup keeps the old answer. A name never answered is looked
// up before the connect returns (a test hook makes these lookups slow).
// Native only: the test shortens the instance's cache time.
TEST(Resolver, ConnectUsesAnExpiredAnswerWhileTheNameIsLookedUpAgain) {
    RawPeer home(0x7f000001), moved(0x7f000002, home.port());
    Phone ph;
    auto inst = callctl::api::instance(ph.inst);
    ASSERT_TRUE(inst);
    callctl::Resolver &res = inst->resolver();
    res.set_good_ttl_ms(300);
    SIPX_LINE line = ph.add_line("8001", home.port());
    const uint32_t kHome = 0x7f000001, kMoved = 0x7f000002;
    // Connects a call to user@host; how long the API call took.
    auto dial = [&](const std::string &user, const std::string &host, SIPX_RESULT *r) {
        SIPX_CALL call = 0;
        EXPECT_EQ(sipxCallCreate(ph.inst, line, &call), SIPX_RESULT_SUCCESS);
        std::string to = "sip:" + user + "@" + host + ":" + std::to_string(home.port());
        auto t0 = steady_clock::now();
        *r = sipxCallConnect(call, to.c_str(), 0, nullptr, 1, nullptr, nullptr);
        return duration_cast<milliseconds>(steady_clock::now() - t0).count();
    };
    // The INVITE for user reached this peer (retransmissions of earlier
    // ones may come first).
    auto invite_for = [](RawPeer &p, const std::string &user) {
        std::string msg;
        auto end = steady_clock::now() + milliseconds(3000);
        while (steady_clock::now() < end)
            if (p.next("INVITE", 200, &msg) && msg.compare(0, 12 + user.size(), "INVITE sip:" + user + "@") == 0)
                return true;
        return false;
    };
    auto until = [](const std::function<bool()> &cond, int ms) {
        auto end = steady_clock::now() + milliseconds(ms);
        while (!cond() && steady_clock::now() < end) std::this_thread::sleep_for(milliseconds(10));
        return cond();
    };
    auto fresh_answer = [&](uint32_t want) {
        uint32_t ip = 0;
        return res.cached("callee.test", &ip) && ip == want;
    };
    SIPX_RESULT r;

    // First answer: looked up before the connect returns.
    callctl::Resolver::set_override("callee.test", kHome, 700);
    EXPECT_GE(dial("9001", "callee.test", &r), 600) << "a name never answered is waited for";
    EXPECT_EQ(r, SIPX_RESULT_SUCCESS);
    EXPECT_TRUE(invite_for(home, "9001"));
    // It expires; the name server has moved it and is slow now.
    ASSERT_TRUE(until([&] { return !fresh_answer(kHome); }, 3000));
    callctl::Resolver::set_override("callee.test", kMoved, 1500);
    EXPECT_LT(dial("9002", "callee.test", &r), 500) << "the expired answer is used at once";
    EXPECT_EQ(r, SIPX_RESULT_SUCCESS);
    EXPECT_TRUE(invite_for(home, "9002")) << "to where the name was";
    EXPECT_FALSE(fresh_answer(kMoved)) << "the new lookup is still under way";
    EXPECT_LT(dial("9003", "callee.test", &r), 500) << "one lookup under way, none more";
    EXPECT_TRUE(invite_for(home, "9003"));
    // The worker's answer comes: the next call uses it.
    ASSERT_TRUE(until([&] { return fresh_answer(kMoved); }, 4000));
    EXPECT_LT(dial("9004", "callee.test", &r), 500);
    EXPECT_EQ(r, SIPX_RESULT_SUCCESS);
    EXPECT_TRUE(invite_for(moved, "9004")) << "to where the name is now";
    // Expired again, and the new lookup fails: the old answer stays in use.
    ASSERT_TRUE(until([&] { return !fresh_answer(kMoved); }, 3000));
    callctl::Resolver::set_override("callee.test", 0, 300);
    EXPECT_LT(dial("9005", "callee.test", &r), 250);
    EXPECT_TRUE(invite_for(moved, "9005"));
    ASSERT_TRUE(until([&] { return res.known_bad("callee.test"); }, 3000));
    EXPECT_LT(dial("9006", "callee.test", &r), 250);
    EXPECT_EQ(r, SIPX_RESULT_SUCCESS);
    EXPECT_TRUE(invite_for(moved, "9006")) << "a failed lookup keeps the last answer";

    // A name that failed a moment ago fails again at once (for a while).
    callctl::Resolver::set_override("nowhere.test", 0, 700);
    EXPECT_GE(dial("9007", "nowhere.test", &r), 600);
    EXPECT_EQ(r, SIPX_RESULT_BAD_ADDRESS);
    EXPECT_LT(dial("9008", "nowhere.test", &r), 500);
    EXPECT_EQ(r, SIPX_RESULT_BAD_ADDRESS);
    callctl::Resolver::clear_overrides();
}
#endif

// A file sink gets dated lines at its level and nothing after it is turned
// off; arguments it refuses leave it in place.
TEST(Log, FileSinkWritesDatedLinesUntilTurnedOff) {
    const char *path = "callctl-log-test.txt";
    std::remove(path);
    ASSERT_EQ(sipxConfigSetLogSink(SIPX_LOG_INFO, path, nullptr, nullptr), SIPX_RESULT_SUCCESS);
    struct Row {
        int level;
        const char *file;
        bool callback;
        SIPX_RESULT result;
    } refused[] = {
        {5, path, false, SIPX_RESULT_INVALID_ARGS},
        {-1, path, false, SIPX_RESULT_INVALID_ARGS},
        {SIPX_LOG_INFO, path, true, SIPX_RESULT_INVALID_ARGS},  // a file or a callback, not both
        {SIPX_LOG_INFO, "no-such-folder/callctl.txt", false, SIPX_RESULT_FAILURE},
    };
    auto cb = [](int, const char *, void *) {};
    for (const auto &r : refused)
        EXPECT_EQ(sipxConfigSetLogSink(r.level, r.file, r.callback ? +cb : nullptr, nullptr), r.result) << r.level;
    Sipp registrar;
    ASSERT_TRUE(registrar.start("reg_shutdown.xml"));
    SIPX_LINE line = 0;
    {
        Phone ph;
        line = ph.add_line("8001", registrar.port());
        ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
        ASSERT_EQ(ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED, 5000).category,
                  SIPX_EVENT_CATEGORY_LINESTATE)
            << registrar.log();
        ASSERT_EQ(sipxConfigSetLogSink(SIPX_LOG_NONE, nullptr, nullptr, nullptr), SIPX_RESULT_SUCCESS);
    }  // unregisters and stops: not logged any more
    EXPECT_EQ(registrar.wait(5000), 0) << registrar.log();
    std::string text = slurp(path), want = "line " + std::to_string(line) + " <sip:8001@127.0.0.1:" +
                                           std::to_string(registrar.port()) + ">: registered, SIP 200";
    EXPECT_NE(text.find(want), std::string::npos) << text;
    EXPECT_EQ(text.find("stopped"), std::string::npos) << text;
    EXPECT_EQ(text.find("DEBUG"), std::string::npos) << text;
    // "2024-05-01 12:34:56.789 INFO    text" (or WARNING)
    auto dated = [](const std::string &l) {
        const char *shape = "dddd-dd-dd dd:dd:dd.ddd ";
        for (size_t i = 0; shape[i]; ++i)
            if (i >= l.size() || (shape[i] == 'd' ? !std::isdigit((unsigned char)l[i]) : l[i] != shape[i])) return false;
        std::string rest = l.substr(24);
        return (rest.compare(0, 8, "INFO    ") == 0 || rest.compare(0, 8, "WARNING ") == 0) && rest.size() > 8;
    };
    int lines = 0;
    for (size_t pos = 0; pos < text.size(); ++lines) {
        size_t end = text.find('\n', pos);
        ASSERT_NE(end, std::string::npos) << "every line ends";
        std::string l = text.substr(pos, end - pos);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        EXPECT_TRUE(dated(l)) << l;
        pos = end + 1;
    }
    EXPECT_GE(lines, 3);  // started, registering, registered
    std::remove(path);
}

// The file sink is capped like the program's log: a line that would take the file past
// the cap first makes it the previous file (".1", one kept) and starts a new one; when
// that rename fails the full file is kept, the lines meanwhile are counted, and the new
// file begins with their count once the rename goes through.
TEST(Log, FileSinkIsCappedAndKeepsOnePreviousFile) {
#ifdef _WIN32
    const size_t eol = 2;
#else
    const size_t eol = 1;
#endif
    // "2024-05-01 12:34:56.789 INFO    line 1000" and "... INFO    later": with room for
    // seven of the first and one of the second, a "later" would still fit into the full
    // file while lines are being left out.
    const size_t room_for_later = 7 * (41 + eol) + 37 + eol;
    struct Row {
        size_t cap;
        int lines;
        bool stuck;  // something that is not a file has the previous file's name at first
    } rows[] = {{300, 40, false}, {1000, 120, false}, {300, 20, true}, {room_for_later, 20, true}};
    auto lines_of = [](const std::string &text) {
        std::vector<std::string> out;
        for (size_t pos = 0; pos < text.size();) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            std::string l = text.substr(pos, end - pos);
            if (!l.empty() && l.back() == '\r') l.pop_back();
            out.push_back(l);
            pos = end + 1;
        }
        return out;
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.cap);
        const std::string path = "callctl-log-cap-" + std::to_string(r.cap) + (r.stuck ? "-stuck" : "") + ".txt";
        ASSERT_GE(r.cap, 256u);
        const std::string previous = path + ".1", in_the_way = previous + "/in-the-way";
        std::remove(path.c_str());
        std::filesystem::remove_all(previous);
        if (r.stuck) {
            std::filesystem::remove_all(previous);
            ASSERT_TRUE(std::filesystem::create_directories(in_the_way));
        }
        callctl::log::set_file_cap(r.cap);
        ASSERT_EQ(callctl::log::set_sink(SIPX_LOG_INFO, path.c_str(), nullptr, nullptr), SIPX_RESULT_SUCCESS);
        int written = 0;
        for (; written < r.lines; ++written) CALLCTL_LOG(callctl::log::Info, "line %d", 1000 + written);
        std::string kept;
        if (r.stuck) {
            kept = slurp(path);
            EXPECT_LE(kept.size(), r.cap);
            std::filesystem::remove_all(previous);
            // The rename is tried again a second after it failed: log until it happens.
            const int64_t give_up = callctl::now_ms() + 5000;
            while (slurp(previous).empty() && callctl::now_ms() < give_up) {
                CALLCTL_LOG(callctl::log::Info, "later");
                ++written;
                std::this_thread::sleep_for(milliseconds(20));
            }
        }
        ASSERT_EQ(callctl::log::set_sink(SIPX_LOG_NONE, nullptr, nullptr, nullptr), SIPX_RESULT_SUCCESS);
        callctl::log::set_file_cap(1024 * 1024);
        const std::string before_text = slurp(previous), now_text = slurp(path);
        EXPECT_LE(before_text.size(), r.cap);
        EXPECT_LE(now_text.size(), r.cap);
        std::vector<std::string> before = lines_of(before_text), now = lines_of(now_text);
        ASSERT_FALSE(before.empty());
        ASSERT_FALSE(now.empty());
        for (const auto &l : now) EXPECT_EQ(l.substr(0, 2), "20") << l;  // dated
        if (r.stuck) {
            EXPECT_EQ(before_text, kept) << "nothing written before is lost";
            ASSERT_EQ(now.size(), 2u) << now_text;
            const int left_out = written - int(before.size()) - 1;
            EXPECT_EQ(now[0].substr(24), "WARNING " + std::to_string(left_out) +
                                             " lines left out: the full log could not be renamed");
            EXPECT_EQ(now[1].substr(24), "INFO    later");
        } else {
            // Renamed only when the next line would not fit.
            EXPECT_GT(before_text.size() + now_text.find('\n') + 1, r.cap);
            // The last lines written, in order, none missing.
            before.insert(before.end(), now.begin(), now.end());
            int expected = 1000 + r.lines - int(before.size());
            for (const auto &l : before) EXPECT_EQ(l.substr(24), "INFO    line " + std::to_string(expected++));
        }
        std::remove(path.c_str());
        std::remove(previous.c_str());
    }
}
