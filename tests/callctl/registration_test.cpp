// Line registration through the C interface against sipp registrars.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "harness.h"

using namespace testing_callctl;
using namespace std::chrono;

TEST(Registration, DigestChallengeRefreshAndUnregister) {
    Sipp reg;
    ASSERT_TRUE(reg.start("reg_digest.xml"));
    Phone ph;
    SIPX_LINE line = ph.add_line("8001", reg.port());
    ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
    Event e = ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED, 5000, line);
    ASSERT_EQ(e.category, SIPX_EVENT_CATEGORY_LINESTATE) << ph.rec.dump() << reg.log();
    EXPECT_EQ(e.sip_status, 200u);
    // The registrar granted 2 s: the refresh goes out after 1 s, with
    // credentials, and must not announce the line again.
    std::this_thread::sleep_for(milliseconds(1600));
    ASSERT_EQ(sipxLineRegister(line, 0), SIPX_RESULT_SUCCESS);
    e = ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_UNREGISTERED, 5000, line);
    EXPECT_EQ(e.category, SIPX_EVENT_CATEGORY_LINESTATE) << ph.rec.dump();
    EXPECT_EQ(reg.wait(5000), 0) << reg.log();
    EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED), 1) << ph.rec.dump();
    EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTER_FAILED), 0) << ph.rec.dump();
}

// Registrar behaviour -> what the line reports.
struct RegRow {
    const char *scenario;
    std::vector<std::string> sipp_args;
    const char *password;
    uint32_t fail_cause;   // 0: no failure expected
    uint32_t fail_status;
    bool registers;        // 21000 expected (first time or after the retry)
};

void PrintTo(const RegRow &r, std::ostream *os) { *os << r.scenario; }

class RegistrarBehaviour : public ::testing::TestWithParam<RegRow> {};

TEST_P(RegistrarBehaviour, LineReportsTheOutcome) {
    const RegRow &row = GetParam();
    Sipp reg;
    ASSERT_TRUE(reg.start(row.scenario, row.sipp_args));
    Phone ph;
    SIPX_LINE line = ph.add_line("8001", reg.port(), row.password);
    auto t0 = steady_clock::now();
    ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
    if (row.fail_cause) {
        Event f = ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTER_FAILED, 5000, line);
        ASSERT_EQ(f.category, SIPX_EVENT_CATEGORY_LINESTATE) << ph.rec.dump() << reg.log();
        EXPECT_EQ(f.cause, row.fail_cause);
        EXPECT_EQ(f.sip_status, row.fail_status);
    }
    if (row.registers) {
        Event ok = ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED, 5000, line);
        ASSERT_EQ(ok.category, SIPX_EVENT_CATEGORY_LINESTATE) << ph.rec.dump() << reg.log();
        if (row.fail_cause) {
            // The retry waited the back-off (300 ms in tests), not less.
            EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 290);
        }
    }
    EXPECT_EQ(reg.wait(5000), 0) << reg.log();
    if (!row.fail_cause) {
        EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTER_FAILED), 0) << ph.rec.dump();
    }
    if (!row.registers) {
        EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED), 0) << ph.rec.dump();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, RegistrarBehaviour,
    ::testing::Values(
        RegRow{"reg_stale.xml", {}, "s3cret", 0, 0, true},
        RegRow{"reg_proxy_auth.xml", {}, "s3cret", 0, 0, true},
        RegRow{"reg_min_expires.xml", {}, "s3cret", 0, 0, true},
        RegRow{"reg_rport.xml", {}, "s3cret", 0, 0, true},
        RegRow{"reg_refused_403.xml", {}, "s3cret", SIPX_CAUSE_FORBIDDEN, 403, true},
        RegRow{"reg_refused_404.xml", {}, "s3cret", SIPX_CAUSE_NOT_FOUND, 404, true},
        RegRow{"reg_refused_503.xml", {}, "s3cret", SIPX_CAUSE_REJECTED, 503, true},
        RegRow{"reg_bad_password.xml", {}, "wrong", SIPX_CAUSE_AUTH_FAILED, 401, false}),
    [](const ::testing::TestParamInfo<RegRow> &i) {
        std::string n = i.param.scenario;
        n = n.substr(0, n.find('.'));
        if (!i.param.sipp_args.empty()) n += "_" + i.param.sipp_args.back();
        return n;
    });

// No registrar at all: over UDP the REGISTER is retransmitted with doubling
// intervals for 8*T1, then the other ways are tried (here closed ports:
// refused at once), then the failure is reported and a retry over UDP
// follows after the back-off.
TEST(Registration, NoAnswerOverAnyWayRetriesAfterTheBackOff) {
    callctl::net_startup();
    callctl::UdpSocket silent;
    ASSERT_TRUE(silent.open(0x7f000001, 0));
    Phone ph;
    {
        callctl::UdpSocket a, b;
        ASSERT_TRUE(a.open(0x7f000001, 0) && b.open(0x7f000001, 0));
        ASSERT_EQ(sipxConfigSetFallbackPorts(ph.inst, a.local_port(), b.local_port(), b.local_port()),
                  SIPX_RESULT_SUCCESS);
    }
    SIPX_LINE line = ph.add_line("8001", silent.local_port());
    auto t0 = steady_clock::now();
    ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
    std::vector<long> arrivals;
    std::vector<std::string> branches;
    char buf[4096];
    bool failed_seen = false;
    while (steady_clock::now() - t0 < milliseconds(4500)) {
        callctl::UdpSocket *s[] = {&silent};
        bool ready[1];
        callctl::wait_readable(s, 1, 20, ready);
        callctl::Endpoint from;
        int n;
        while ((n = silent.recv_from(buf, sizeof buf, &from)) > 0) {
            arrivals.push_back(long(duration_cast<milliseconds>(steady_clock::now() - t0).count()));
            std::string m(buf, size_t(n));
            size_t b = m.find("branch=");
            branches.push_back(m.substr(b, m.find_first_of(";\r", b) - b));
        }
        if (!failed_seen && ph.rec.count(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTER_FAILED) > 0) {
            failed_seen = true;
            arrivals.push_back(-1);  // marks the failure report
            branches.push_back("-");
        }
    }
    Event f = ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTER_FAILED, 10, line);
    ASSERT_EQ(f.category, SIPX_EVENT_CATEGORY_LINESTATE) << ph.rec.dump();
    EXPECT_EQ(f.cause, SIPX_CAUSE_NO_RESPONSE);
    // T1 40: UDP sends at 0, 40, 120, 280; given up at 320.
    auto mark = std::find(arrivals.begin(), arrivals.end(), -1L);
    ASSERT_NE(mark, arrivals.end());
    size_t first_try = size_t(mark - arrivals.begin());
    EXPECT_GE(first_try, 4u);
    EXPECT_LE(first_try, 5u);
    for (size_t i = 1; i < first_try; ++i) EXPECT_EQ(branches[i], branches[0]) << "retransmission " << i;
    ASSERT_GE(first_try, 4u);
    long g1 = arrivals[1] - arrivals[0], g2 = arrivals[2] - arrivals[1], g3 = arrivals[3] - arrivals[2];
    EXPECT_NEAR(g1, 40, 30);
    EXPECT_NEAR(g2, 80, 35);
    EXPECT_NEAR(g3, 160, 45);
    // After the failure a new REGISTER (new transaction) comes 300..360 ms later.
    ASSERT_GT(arrivals.size(), first_try + 1) << "no retry after the failure";
    EXPECT_NE(branches[first_try + 1], branches[0]);
    callctl::net_cleanup();
}
