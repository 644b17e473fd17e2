// End to end through a real call server: the library registers the demo subscriber with
// kamailio (digest authentication) and places a call that kamailio hands to an answering
// peer. Run inside tools/demo/with-service, which starts all three parts.
#include <gtest/gtest.h>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>
#include "callctl.h"

namespace {

struct Events {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<int, uint32_t>> seen;   // (category, state)

    static int Listener(int category, void* info, void* self)
    {
        auto* e = static_cast<Events*>(self);
        const auto* ev = static_cast<const SIPX_EVENT_INFO*>(info);
        std::lock_guard<std::mutex> lock(e->m);
        e->seen.emplace_back(category, ev->event);
        e->cv.notify_all();
        return 0;
    }
    bool WaitFor(int category, uint32_t state, int seconds = 10)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(seconds), [&] {
            for (const auto& s : seen)
                if (s.first == category && s.second == state)
                    return true;
            return false;
        });
    }
    bool Saw(int category, uint32_t state)
    {
        std::lock_guard<std::mutex> lock(m);
        for (const auto& s : seen)
            if (s.first == category && s.second == state)
                return true;
        return false;
    }
};

// The library's log, for what only it shows (the descriptions on the wire).
struct LogText {
    std::mutex m;
    std::string text;
    static void Sink(int, const char* line, void* self)
    {
        auto* l = static_cast<LogText*>(self);
        std::lock_guard<std::mutex> lock(l->m);
        l->text += line;
        l->text += "\n";
    }
    std::string Get()
    {
        std::lock_guard<std::mutex> lock(m);
        return text;
    }
};

bool EnvIs(const char* name, const char* value)
{
    const char* v = std::getenv(name);
    return v && std::string(v) == value;
}

// "account password balance host:port" of the demo subscriber.
std::vector<std::string> DemoAccount()
{
    const char* dir = std::getenv("QUILLON_DEMO_DIR");
#ifdef _WIN32
    std::ifstream f(std::string(dir ? "Z:" : "") + (dir ? dir : ".") + "/accounts");  // a Unix path under Wine
#else
    std::ifstream f(std::string(dir ? dir : ".") + "/accounts");
#endif
    std::vector<std::string> fields;
    std::string w;
    while (f >> w)
        fields.push_back(w);
    return fields;
}

TEST(CallServer, RegistersWithDigestAndPlacesAnAnsweredCall)
{
    const auto acct = DemoAccount();
    ASSERT_EQ(acct.size(), 4u) << "run inside tools/demo/with-service";
    const std::string& user = acct[0];
    const std::string& domain = acct[3];

    LogText log;
    ASSERT_EQ(sipxConfigSetLogSink(SIPX_LOG_DEBUG, nullptr, &LogText::Sink, &log), SIPX_RESULT_SUCCESS);
    SIPX_INST inst = 0;
    ASSERT_EQ(sipxInitialize(&inst, 0, -1, -1, 8000, 100, "sipx", "127.0.0.1", 0), SIPX_RESULT_SUCCESS);
    Events events;
    sipxEventListenerAdd(inst, &Events::Listener, &events);
    sipxConfigEnableRport(inst, 1);

    SIPX_LINE line = 0;
    ASSERT_EQ(sipxLineAdd(inst, ("sip:" + user + "@" + domain).c_str(), &line, 0), SIPX_RESULT_SUCCESS);
    sipxLineAddCredential(line, user.c_str(), acct[1].c_str(), "");
    sipxLineRegister(line, 1);
    // Where only TLS passes, UDP (4 s) and TCP 5060 (5 s) are given up on first.
    ASSERT_TRUE(events.WaitFor(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED, 30));
    EXPECT_FALSE(events.Saw(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTER_FAILED));
    // Where UDP to the call server is dropped, the line found it over TCP.
    char way[32] = "";
    int proven = 0;
    ASSERT_EQ(sipxLineGetTransport(line, way, sizeof way, &proven), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(proven, 1);
    const char* dropped = std::getenv("QUILLON_DEMO_DROP_UDP");
    const char* tcp_dropped = std::getenv("QUILLON_DEMO_DROP_TCP");
    if (dropped && std::string(dropped) == "1")
        EXPECT_EQ(std::string(way), tcp_dropped && std::string(tcp_dropped) == "1" ? "tls:5061" : "tcp:5060");
    else
        EXPECT_EQ(std::string(way), "udp:" + domain.substr(domain.find(':') + 1));

    SIPX_CALL call = 0;
    ASSERT_EQ(sipxCallCreate(inst, line, &call), SIPX_RESULT_SUCCESS);
    SIPX_CALL_OPTIONS options = {20, 1, 1, 1, 0};
    ASSERT_EQ(sipxCallConnect(call, ("sip:00867551234567@" + domain).c_str(), 0, nullptr, 1, &options, nullptr),
              SIPX_RESULT_SUCCESS);
    EXPECT_TRUE(events.WaitFor(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_REMOTE_ALERTING));
    EXPECT_TRUE(events.WaitFor(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_CONNECTED));
    // Over TLS the call's audio is SRTP: our offer and the answer both say RTP/SAVP,
    // with keys that never reach the log.
    const bool tls = EnvIs("QUILLON_DEMO_DROP_UDP", "1") && EnvIs("QUILLON_DEMO_DROP_TCP", "1");
    const std::string text = log.Get();
    auto secure = [&](const char* prefix) {
        for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
            const std::string line = text.substr(at, text.find('\n', at) - at);
            if (line.find("RTP/SAVP") != std::string::npos)
                return true;
        }
        return false;
    };
    EXPECT_EQ(secure("> m=audio"), tls) << text;
    EXPECT_EQ(secure("< m=audio"), tls) << text;
    EXPECT_EQ(text.find("a=crypto") != std::string::npos, tls);
    for (size_t at = text.find("inline:"); at != std::string::npos; at = text.find("inline:", at + 1))
        EXPECT_EQ(text.compare(at, 10, "inline:***"), 0) << "a key in the log";
    sipxCallDestroy(&call);
    EXPECT_EQ(call, 0u);

    sipxEventListenerRemove(inst, &Events::Listener, nullptr);
    EXPECT_EQ(sipxUnInitialize(inst, 1), SIPX_RESULT_SUCCESS);
    sipxConfigSetLogSink(SIPX_LOG_NONE, nullptr, nullptr, nullptr);
}

TEST(CallServer, WrongPasswordFailsTheRegistration)
{
    const auto acct = DemoAccount();
    ASSERT_EQ(acct.size(), 4u);
    SIPX_INST inst = 0;
    ASSERT_EQ(sipxInitialize(&inst, 0, -1, -1, 8100, 100, "sipx", "127.0.0.1", 0), SIPX_RESULT_SUCCESS);
    Events events;
    sipxEventListenerAdd(inst, &Events::Listener, &events);
    SIPX_LINE line = 0;
    ASSERT_EQ(sipxLineAdd(inst, ("sip:" + acct[0] + "@" + acct[3]).c_str(), &line, 0), SIPX_RESULT_SUCCESS);
    sipxLineAddCredential(line, acct[0].c_str(), "not-the-password", "");
    sipxLineRegister(line, 1);
    EXPECT_TRUE(events.WaitFor(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTER_FAILED));
    EXPECT_FALSE(events.Saw(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED));
    sipxEventListenerRemove(inst, &Events::Listener, nullptr);
    sipxUnInitialize(inst, 1);
}

}  // namespace
