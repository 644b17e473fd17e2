// A line over TLS against the servers of with_tls_servers: the good one is
// reached (the session opens, SIP goes in it), and a server whose certificate
// fails is refused: the registration fails with its event and the log says why.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "harness.h"

using namespace testing_callctl;

namespace {

int tls_server_port(const std::string &name) {
    const char *all = std::getenv("QUILLON_TLS_SERVERS");
    std::istringstream in(all ? all : "");
    std::string item;
    while (in >> item)
        if (item.compare(0, name.size() + 1, name + "=") == 0) return std::atoi(item.c_str() + name.size() + 1);
    return 0;
}

struct LineRow {
    const char *server;
    const char *log_says;  // in the library's log
    bool refused;
};

void PrintTo(const LineRow &r, std::ostream *os) { *os << r.server; }

class TlsLine : public ::testing::TestWithParam<LineRow> {};

TEST_P(TlsLine, ServerIsReachedOnlyWithAGoodCertificate) {
    const LineRow &row = GetParam();
    const int port = tls_server_port(row.server);
    ASSERT_NE(port, 0) << "run under tests/callctl/with_tls_servers";
    LogCapture log(SIPX_LOG_INFO);
    Phone ph;
    ASSERT_EQ(sipxConfigSetFallbackPorts(ph.inst, 0, 0, 0), SIPX_RESULT_SUCCESS);
    // The first way (UDP) goes to a port nobody answers on.
    SIPX_LINE line = 0;
    ASSERT_EQ(sipxLineAdd(ph.inst, "sip:8001@localhost:9", &line, 0), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxLineSetTransport(line, ("tls:" + std::to_string(port)).c_str()), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
    Event f = ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTER_FAILED, 20000, line);
    // Neither the echoing server nor a refused one registers the line.
    ASSERT_EQ(f.category, SIPX_EVENT_CATEGORY_LINESTATE) << ph.rec.dump();
    const std::string text = log.text();
    EXPECT_NE(text.find(row.log_says), std::string::npos) << text;
    EXPECT_EQ(text.find("TLS failed") != std::string::npos, row.refused) << text;
    EXPECT_EQ(text.find("TLS 1.2 connection to 127.0.0.1:" + std::to_string(port) + " is open") != std::string::npos,
              !row.refused)
        << text;
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsLine,
                         ::testing::Values(LineRow{"good", "is open", false},
                                           LineRow{"wrong-name", "wrong name", true},
                                           LineRow{"expired", "expired", true},
                                           LineRow{"untrusted", "untrusted root", true}));

}  // namespace
