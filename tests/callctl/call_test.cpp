// Calls through the C interface against sipp callees.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "harness.h"

using namespace testing_callctl;
using namespace std::chrono;

namespace {

const SIPX_CALL_OPTIONS kOptions = {20, 1, 1, 1, 0};

std::string target(int port) { return "sip:00867551234567@127.0.0.1:" + std::to_string(port); }

SIPX_CALL place(Phone &ph, SIPX_LINE line, int port) {
    SIPX_CALL call = 0;
    EXPECT_EQ(sipxCallCreate(ph.inst, line, &call), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(sipxCallConnect(call, target(port).c_str(), 0, nullptr, 1, &kOptions, nullptr), SIPX_RESULT_SUCCESS);
    return call;
}

bool got(Phone &ph, uint32_t code, SIPX_CALL call, int ms = 5000) {
    return ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, code, ms, call).category == SIPX_EVENT_CATEGORY_CALLSTATE;
}

}  // namespace

TEST(Calls, AnsweredCallRingsOnceConnectsAndHangsUpWithBye) {
    Sipp callee;
    ASSERT_TRUE(callee.start("call_answer.xml"));
    Phone ph;
    SIPX_LINE line = ph.add_line("8001", callee.port());
    SIPX_CALL call = place(ph, line, callee.port());
    ASSERT_TRUE(got(ph, SIPX_CALLSTATE_CONNECTED, call)) << ph.rec.dump() << callee.log();
    // 180 and 183 both arrived; the phone hears "ringing" once.
    EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_REMOTE_ALERTING, call), 1);
    SIPX_CALL h = call;
    ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(callee.wait(5000), 0) << callee.log();
    Event d = ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, 2000, call);
    EXPECT_EQ(d.cause, SIPX_CAUSE_LOCAL_HANGUP);
    EXPECT_TRUE(got(ph, SIPX_CALLSTATE_DESTROYED, call));
    // The handle is gone: a second destroy and a hold on it fail harmlessly.
    h = call;
    EXPECT_EQ(sipxCallDestroy(&h), SIPX_RESULT_INVALID_ARGS);
    EXPECT_EQ(h, call);
    EXPECT_EQ(sipxCallHold(call, 1), SIPX_RESULT_INVALID_ARGS);
}

// Callee behaviour -> how the call ends.
struct EndRow {
    const char *scenario;
    bool connects;
    uint32_t cause;
    uint32_t sip_status;
    std::vector<std::string> sipp_args;
};

void PrintTo(const EndRow &r, std::ostream *os) { *os << r.scenario; }

class CalleeBehaviour : public ::testing::TestWithParam<EndRow> {};

TEST_P(CalleeBehaviour, CallEndsWithTheRightCause) {
    const EndRow &row = GetParam();
    Sipp callee;
    ASSERT_TRUE(callee.start(row.scenario, row.sipp_args));
    Phone ph;
    SIPX_LINE line = ph.add_line("8001", callee.port());
    SIPX_CALL call = place(ph, line, callee.port());
    Event d = ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, 8000, call);
    ASSERT_EQ(d.category, SIPX_EVENT_CATEGORY_CALLSTATE) << ph.rec.dump() << callee.log();
    EXPECT_EQ(d.cause, row.cause);
    EXPECT_EQ(d.sip_status, row.sip_status);
    EXPECT_EQ(callee.wait(5000), 0) << callee.log();
    EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_CONNECTED, call), row.connects ? 1 : 0)
        << ph.rec.dump();
    EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, call), 1);
    // An ended call keeps its handle until the program destroys it.
    SIPX_CALL h = call;
    EXPECT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, CalleeBehaviour,
                         ::testing::Values(EndRow{"call_busy.xml", false, SIPX_CAUSE_BUSY, 486, {}},
                                           EndRow{"call_auth_remote_bye.xml", true, SIPX_CAUSE_REMOTE_HANGUP, 0, {}},
                                           // -nr: our repeated ACK is identical to the first; sipp would
                                           // otherwise answer it as a retransmission, forever.
                                           EndRow{"call_lost_200.xml", true, SIPX_CAUSE_REMOTE_HANGUP, 0, {"-nr"}},
                                           EndRow{"call_remote_reinvite.xml", true, SIPX_CAUSE_REMOTE_HANGUP, 0, {"-nr"}}),
                         [](const ::testing::TestParamInfo<EndRow> &i) {
                             std::string n = i.param.scenario;
                             return n.substr(0, n.find('.'));
                         });

TEST(Calls, DestroyWhileRingingSendsCancel) {
    Sipp callee;
    ASSERT_TRUE(callee.start("call_cancel.xml"));
    Phone ph;
    SIPX_LINE line = ph.add_line("8001", callee.port());
    SIPX_CALL call = place(ph, line, callee.port());
    ASSERT_TRUE(got(ph, SIPX_CALLSTATE_REMOTE_ALERTING, call)) << ph.rec.dump() << callee.log();
    // Hold is refused before the call is up (the phone's hang-up tries it).
    EXPECT_EQ(sipxCallHold(call, 1), SIPX_RESULT_INVALID_STATE);
    SIPX_CALL h = call;
    ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(callee.wait(5000), 0) << callee.log();
    Event d = ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, 100, call);
    EXPECT_EQ(d.cause, SIPX_CAUSE_LOCAL_HANGUP);
    EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_CONNECTED, call), 0);
}

TEST(Calls, HoldSendsSendonlyReinviteThenHangUp) {
    Sipp callee;
    ASSERT_TRUE(callee.start("call_hold.xml"));
    Phone ph;
    SIPX_LINE line = ph.add_line("8001", callee.port());
    SIPX_CALL call = place(ph, line, callee.port());
    ASSERT_TRUE(got(ph, SIPX_CALLSTATE_CONNECTED, call)) << ph.rec.dump() << callee.log();
    ASSERT_EQ(sipxCallHold(call, 1), SIPX_RESULT_SUCCESS);
    ASSERT_TRUE(got(ph, SIPX_CALLSTATE_HELD, call)) << ph.rec.dump() << callee.log();
    SIPX_CALL h = call;
    ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(callee.wait(5000), 0) << callee.log();
}

// Nobody answers: INVITE retransmitted on timer A (doubling, no cap) until
// timer B, then the call is over with "no response".
TEST(Calls, UnansweredInviteTimesOut) {
    callctl::net_startup();
    callctl::UdpSocket silent;
    ASSERT_TRUE(silent.open(0x7f000001, 0));
    Phone ph;
    SIPX_LINE line = ph.add_line("8001", silent.local_port());
    auto t0 = steady_clock::now();
    SIPX_CALL call = place(ph, line, silent.local_port());
    Event d = ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, 6000, call);
    long elapsed = long(duration_cast<milliseconds>(steady_clock::now() - t0).count());
    ASSERT_EQ(d.category, SIPX_EVENT_CATEGORY_CALLSTATE) << ph.rec.dump();
    EXPECT_EQ(d.cause, SIPX_CAUSE_NO_RESPONSE);
    EXPECT_GE(elapsed, 2500);  // 64 * T1
    EXPECT_LE(elapsed, 4000);
    int invites = 0;
    char buf[8192];
    callctl::Endpoint from;
    while (silent.recv_from(buf, sizeof buf, &from) > 0) ++invites;
    EXPECT_EQ(invites, 7);  // at 0, 40, 120, 280, 600, 1240, 2520 ms
    SIPX_CALL h = call;
    EXPECT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
    callctl::net_cleanup();
}

TEST(Calls, ConferenceAddsTwoCallsAndHoldsThem) {
    Sipp a, b;
    ASSERT_TRUE(a.start("call_hold.xml"));
    ASSERT_TRUE(b.start("call_hold.xml"));
    Phone ph;
    SIPX_LINE line = ph.add_line("8001", a.port());
    SIPX_CONF conf = 0;
    ASSERT_EQ(sipxConferenceCreate(ph.inst, &conf), SIPX_RESULT_SUCCESS);
    ASSERT_NE(conf, 0u);
    // The multi-party window's opening sequence: bridge-hold, then unhold.
    EXPECT_EQ(sipxConferenceHold(conf, 1), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(sipxConferenceUnhold(conf), SIPX_RESULT_SUCCESS);
    SIPX_CALL c1 = 0, c2 = 0;
    ASSERT_EQ(sipxConferenceAdd(conf, line, target(a.port()).c_str(), &c1, 1, nullptr, nullptr, 1, &kOptions),
              SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxConferenceAdd(conf, line, target(b.port()).c_str(), &c2, 1, nullptr, nullptr, 1, &kOptions),
              SIPX_RESULT_SUCCESS);
    ASSERT_TRUE(got(ph, SIPX_CALLSTATE_CONNECTED, c1)) << ph.rec.dump() << a.log();
    ASSERT_TRUE(got(ph, SIPX_CALLSTATE_CONNECTED, c2)) << ph.rec.dump() << b.log();
    SIPX_CALL calls[4] = {};
    size_t n = 4;
    ASSERT_EQ(sipxConferenceGetCalls(conf, calls, &n), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(calls[0], c1);
    EXPECT_EQ(calls[1], c2);
    // Holding without bridging holds every call of the conference.
    ASSERT_EQ(sipxConferenceHold(conf, 0), SIPX_RESULT_SUCCESS);
    EXPECT_TRUE(got(ph, SIPX_CALLSTATE_HELD, c1)) << ph.rec.dump();
    EXPECT_TRUE(got(ph, SIPX_CALLSTATE_HELD, c2)) << ph.rec.dump();
    // The window's hang-up path: hold (already held: fine), destroy.
    EXPECT_EQ(sipxCallHold(c1, 1), SIPX_RESULT_SUCCESS);
    SIPX_CALL h = c1;
    EXPECT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
    n = 4;
    ASSERT_EQ(sipxConferenceGetCalls(conf, calls, &n), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(sipxConferenceDestroy(conf), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(a.wait(5000), 0) << a.log();
    EXPECT_EQ(b.wait(5000), 0) << b.log();
    EXPECT_EQ(sipxConferenceHold(conf, 1), SIPX_RESULT_INVALID_ARGS);
}

// Operations on handles that are 0, unknown or of the wrong kind fail
// without effect; bad arguments are refused before anything is sent.
TEST(Api, BadHandlesAndArgumentsAreRefused) {
    Phone ph;
    SIPX_LINE line = ph.add_line("8001", 5060);
    SIPX_CALL call = 0;
    ASSERT_EQ(sipxCallCreate(ph.inst, line, &call), SIPX_RESULT_SUCCESS);
    const uint32_t bogus = 0x7fffff00u;
    struct Row {
        const char *what;
        SIPX_RESULT got, want;
    } rows[] = {
        {"uninit 0", sipxUnInitialize(0, 1), SIPX_RESULT_INVALID_ARGS},
        {"register 0", sipxLineRegister(0, 1), SIPX_RESULT_INVALID_ARGS},
        {"register call handle", sipxLineRegister(call, 1), SIPX_RESULT_INVALID_ARGS},
        {"credential unknown", sipxLineAddCredential(bogus, "u", "p", ""), SIPX_RESULT_INVALID_ARGS},
        {"create on line 0", sipxCallCreate(ph.inst, 0, &call), SIPX_RESULT_INVALID_ARGS},
        {"connect 0", sipxCallConnect(0, "sip:a@127.0.0.1", 0, nullptr, 1, nullptr, nullptr), SIPX_RESULT_INVALID_ARGS},
        {"connect bad uri", sipxCallConnect(call, "not a uri", 0, nullptr, 1, nullptr, nullptr), SIPX_RESULT_BAD_ADDRESS},
        {"connect tel uri", sipxCallConnect(call, "tel:+8612345", 0, nullptr, 1, nullptr, nullptr), SIPX_RESULT_BAD_ADDRESS},
        {"hold idle call", sipxCallHold(call, 1), SIPX_RESULT_INVALID_STATE},
        {"hold 0", sipxCallHold(0, 1), SIPX_RESULT_INVALID_ARGS},
        {"destroy null", sipxCallDestroy(nullptr), SIPX_RESULT_INVALID_ARGS},
        {"line add bad", sipxLineAdd(ph.inst, "garbage", &line, 0), SIPX_RESULT_BAD_ADDRESS},
        {"listener remove unknown", sipxEventListenerRemove(ph.inst, &Recorder::callback, &line), SIPX_RESULT_INVALID_ARGS},
        {"listener add twice", sipxEventListenerAdd(ph.inst, &Recorder::callback, &ph.rec), SIPX_RESULT_INVALID_ARGS},
        {"keepalive bad type", sipxConfigKeepAliveAdd(ph.inst, 0, 7, "127.0.0.1", 5060, 30), SIPX_RESULT_INVALID_ARGS},
        {"codec unknown", sipxConfigSelectAudioCodecByName(ph.inst, "OPUS"), SIPX_RESULT_INVALID_ARGS},
        {"codec G729", sipxConfigSelectAudioCodecByName(ph.inst, "G729"), SIPX_RESULT_SUCCESS},
        {"conf add unknown", sipxConferenceAdd(bogus, line, "sip:a@h", &call, 1, nullptr, nullptr, 1, nullptr),
         SIPX_RESULT_INVALID_ARGS},
        {"tone 0", sipxCallStartTone(0, 1, 1, 1, 120), SIPX_RESULT_INVALID_ARGS},
        {"volume unknown", sipxAudioSetInputVolume(bogus, 98), SIPX_RESULT_INVALID_ARGS},
    };
    for (const auto &r : rows) EXPECT_EQ(r.got, r.want) << r.what;
    // The port in use: a second instance on our port fails to start.
    SIPX_INST other = 0;
    EXPECT_EQ(sipxInitialize(&other, ph.port, -1, -1, 8000, 100, "sipx", "127.0.0.1", 0),
              SIPX_RESULT_NETWORK_FAILURE);
    EXPECT_EQ(other, 0u);
    SIPX_CALL h = call;
    EXPECT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
}
