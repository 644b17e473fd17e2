// SIP over connections: stream framing, and a line that finds its call
// server only over TCP.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "transport/stream.h"
#include "ua/ua.h"

using namespace testing_callctl;
using Item = callctl::StreamFramer::Item;

namespace {

const char kReq[] = "OPTIONS sip:a@b SIP/2.0\r\nVia: SIP/2.0/TCP h\r\nContent-Length: 5\r\n\r\nhello";

struct FrameRow {
    const char *name;
    std::vector<std::string> chunks;  // fed one after the other
    std::vector<Item> items;          // what the stream yields, in order
    std::vector<size_t> sizes;        // sizes of the messages among them
};

void PrintTo(const FrameRow &r, std::ostream *os) { *os << r.name; }

class Framing : public ::testing::TestWithParam<FrameRow> {};

TEST_P(Framing, StreamYieldsWholeItems) {
    const FrameRow &row = GetParam();
    callctl::StreamFramer f;
    std::vector<Item> got;
    std::vector<size_t> sizes;
    for (const auto &c : row.chunks) {
        f.feed(c.data(), c.size());
        for (;;) {
            std::string_view m;
            Item it = f.next(&m);
            if (it == Item::None) break;
            got.push_back(it);
            if (it == Item::Message) sizes.push_back(m.size());
            if (it == Item::Bad) break;
        }
        if (!got.empty() && got.back() == Item::Bad) break;
    }
    EXPECT_EQ(got, row.items);
    EXPECT_EQ(sizes, row.sizes);
}

const std::string kWhole(kReq);

INSTANTIATE_TEST_SUITE_P(
    Rows, Framing,
    ::testing::Values(
        FrameRow{"byte by byte",
                 [] {
                     std::vector<std::string> v;
                     for (char c : kWhole) v.push_back(std::string(1, c));
                     return v;
                 }(),
                 {Item::Message}, {kWhole.size()}},
        FrameRow{"two in one read, ping between", {kWhole + "\r\n\r\n" + kWhole}, {Item::Message, Item::Ping, Item::Message},
                 {kWhole.size(), kWhole.size()}},
        FrameRow{"pong then a message split in the body", {"\r\n", kWhole.substr(0, 70), kWhole.substr(70)},
                 {Item::Pong, Item::Message}, {kWhole.size()}},
        FrameRow{"compact length header", {"SIP/2.0 200 OK\r\nl: 2\r\n\r\nokSIP/2.0 200 OK\r\n\r\n"},
                 {Item::Message, Item::Message}, {26, 18}},
        FrameRow{"no length: no body", {"SIP/2.0 200 OK\r\nVia: x\r\n\r\n"}, {Item::Message}, {26}},
        FrameRow{"length not a number", {"SIP/2.0 200 OK\r\nContent-Length: 1x\r\n\r\nab"}, {Item::Bad}, {}},
        FrameRow{"length beyond the limit", {"SIP/2.0 200 OK\r\nContent-Length: 9999999\r\n\r\n"}, {Item::Bad}, {}},
        FrameRow{"headers that never end", {std::string("SIP/2.0 200 OK\r\n") + std::string(70000, 'a')}, {Item::Bad}, {}}));

// UDP to the line's port is swallowed (no answer, no ICMP): within a few
// seconds the line tries TCP, registers there, says so, and its call to
// the same server goes over that connection too.
TEST(StreamTransport, SilentUdpLineMovesToTcpAndCallsOverIt) {
    LogCapture log(SIPX_LOG_INFO);
    Sipp server;
    ASSERT_TRUE(server.start("stream_register_call.xml", {"-t", "t1"}, {}, 2));
    callctl::UdpSocket hole;
    ASSERT_TRUE(hole.open(0x7f000001, 0));
    callctl::set_fallback_ports_for_tests(uint16_t(server.port()), 1, 1);
    Phone ph;
    SIPX_LINE line = ph.add_line("8001", hole.local_port());
    char way[32] = "";
    int proven = -1;
    ASSERT_EQ(sipxLineGetTransport(line, way, sizeof way, &proven), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(std::string(way), "udp:" + std::to_string(hole.local_port()));
    EXPECT_EQ(proven, 0);
    ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
    Event e = ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED, 10000, line);
    ASSERT_EQ(e.category, SIPX_EVENT_CATEGORY_LINESTATE) << ph.rec.dump() << server.log() << log.text();
    EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTER_FAILED), 0);
    ASSERT_EQ(sipxLineGetTransport(line, way, sizeof way, &proven), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(std::string(way), "tcp:" + std::to_string(server.port()));
    EXPECT_EQ(proven, 1);
    EXPECT_EQ(sipxLineGetTransport(line, way, 4, &proven), SIPX_RESULT_FAILURE);

    SIPX_CALL call = 0;
    ASSERT_EQ(sipxCallCreate(ph.inst, line, &call), SIPX_RESULT_SUCCESS);
    std::string target = "sip:00867551234567@127.0.0.1:" + std::to_string(hole.local_port());
    SIPX_CALL_OPTIONS opts{sizeof(SIPX_CALL_OPTIONS), 1, 1, 1, 0};
    ASSERT_EQ(sipxCallConnect(call, target.c_str(), 0, nullptr, 1, &opts, nullptr), SIPX_RESULT_SUCCESS);
    Event c = ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_CONNECTED, 5000, call);
    ASSERT_EQ(c.category, SIPX_EVENT_CATEGORY_CALLSTATE) << ph.rec.dump() << server.log() << log.text();
    SIPX_CALL h = call;
    ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
    EXPECT_EQ(server.wait(5000), 0) << server.log();
    // Nothing of it went over UDP after the first REGISTERs.
    char buf[2048];
    callctl::Endpoint from;
    int udp_seen = 0;
    while (hole.recv_from(buf, sizeof buf, &from) > 0) {
        EXPECT_EQ(std::string(buf, 8), "REGISTER");
        ++udp_seen;
    }
    EXPECT_GE(udp_seen, 1);
    callctl::set_fallback_ports_for_tests(5060, 5061, 443);
}

}  // namespace
