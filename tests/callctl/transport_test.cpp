// SIP over connections: stream framing, and a line that finds its call
// server only over TCP.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "transport/stream.h"
#include "transport/transport.h"
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
    callctl::net_startup();
    LogCapture log(SIPX_LOG_INFO);
    Sipp server;
    ASSERT_TRUE(server.start("stream_register_call.xml", {"-t", "t1"}, {}, 2));
    callctl::UdpSocket hole;
    ASSERT_TRUE(hole.open(0x7f000001, 0));
    Phone ph;
    ASSERT_EQ(sipxConfigSetFallbackPorts(ph.inst, server.port(), 0, 0), SIPX_RESULT_SUCCESS);
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
    callctl::net_cleanup();
}

}  // namespace

#ifndef _WIN32
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A call server's end of SIP connections, scripted by the test (what sipp cannot
// do: close a connection, leave pings unanswered, take one port's UDP and TCP).
class StreamServer {
public:
    explicit StreamServer(uint16_t port = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7f000001);
        a.sin_port = htons(port);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(fd_, 4);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~StreamServer() {
        drop();
        close(fd_);
    }
    uint16_t port() const { return port_; }
    int accepted() const { return accepted_; }
    // The next item from the client (a message, or a ping), accepting a new
    // connection when the current one is gone. False on timeout.
    bool next(int timeout_ms, std::string *msg, Item *what = nullptr) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            std::string_view m;
            Item it = conn_ >= 0 ? framer_.next(&m) : Item::None;
            if (it == Item::Message || it == Item::Ping || it == Item::Pong) {
                if (msg) *msg = std::string(m);
                if (what) *what = it;
                return true;
            }
            pollfd p{conn_ >= 0 ? conn_ : fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            if (conn_ < 0) {
                conn_ = accept(fd_, nullptr, nullptr);
                framer_ = callctl::StreamFramer();
                ++accepted_;
                continue;
            }
            char buf[4096];
            ssize_t n = read(conn_, buf, sizeof buf);
            if (n <= 0) {
                drop();
                ++closed_by_client_;
                continue;
            }
            framer_.feed(buf, size_t(n));
        }
        return false;
    }
    void send(const std::string &text) {
        if (conn_ >= 0) (void)!write(conn_, text.data(), text.size());
    }
    void drop() {
        if (conn_ >= 0) close(conn_);
        conn_ = -1;
    }
    int closed_by_client() const { return closed_by_client_; }

private:
    int fd_ = -1, conn_ = -1;
    uint16_t port_ = 0;
    int accepted_ = 0, closed_by_client_ = 0;
    callctl::StreamFramer framer_;
};

// The registrar's 200 for a REGISTER, granting an hour.
std::string ok_for(const std::string &reg) {
    RawPeer shape;
    return shape.response(reg, 200, "Contact: " + header_of(reg, "Contact") + ";expires=3600\r\n");
}

void set_stream_timers(Phone &ph, uint32_t ping, uint32_t pong_wait) {
    SIPX_TIMER_SETTINGS t{};
    t.cbSize = sizeof t;
    t.streamPing = ping;
    t.streamPongWait = pong_wait;
    t.streamOpenWait = 2000;
    ASSERT_EQ(sipxConfigSetTimers(ph.inst, &t), SIPX_RESULT_SUCCESS);
}

// What the server does to a registered line's connection -> what the line does.
struct LossRow {
    const char *name;
    bool close_connection;  // the server closes it
    bool answer_pings;      // else pings go unanswered
    bool reconnects;        // a new connection and REGISTER follow
};

void PrintTo(const LossRow &r, std::ostream *os) { *os << r.name; }

class ConnectionLoss : public ::testing::TestWithParam<LossRow> {};

TEST_P(ConnectionLoss, LineRegistersAgainOverANewConnection) {
    const LossRow &row = GetParam();
    StreamServer server;
    Phone ph;
    LogCapture log(SIPX_LOG_INFO);
    set_stream_timers(ph, 150, 150);
    SIPX_LINE line = ph.add_line("8001", 5);  // UDP port 5 is never tried: the way is given
    ASSERT_EQ(sipxLineSetTransport(line, ("tcp:" + std::to_string(server.port())).c_str()), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
    std::string reg;
    ASSERT_TRUE(server.next(3000, &reg));
    ASSERT_EQ(reg.compare(0, 8, "REGISTER"), 0) << reg;
    server.send(ok_for(reg));
    ASSERT_EQ(ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED, 3000, line).category,
              SIPX_EVENT_CATEGORY_LINESTATE) << ph.rec.dump();
    if (row.close_connection) server.drop();
    // Two ping periods and a pong wait, and more.
    std::string got;
    Item what = Item::None;
    int pings = 0;
    bool re_registered = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < end && !re_registered) {
        if (!server.next(100, &got, &what)) continue;
        if (what == Item::Ping) {
            ++pings;
            if (row.answer_pings) server.send("\r\n");
        } else if (what == Item::Message && got.compare(0, 8, "REGISTER") == 0) {
            re_registered = true;
            server.send(ok_for(got));
        }
    }
    EXPECT_EQ(re_registered, row.reconnects);
    EXPECT_EQ(server.accepted(), row.reconnects ? 2 : 1);
    if (!row.close_connection) {
        EXPECT_GE(pings, row.answer_pings ? 2 : 1);
    }
    if (!row.close_connection && !row.answer_pings) {
        EXPECT_GE(server.closed_by_client(), 1);
    }
    // The line stayed registered throughout: no failure was reported.
    EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTER_FAILED), 0)
        << ph.rec.dump() << log.text();
}

INSTANTIATE_TEST_SUITE_P(Rows, ConnectionLoss,
                         ::testing::Values(LossRow{"server closes", true, true, true},
                                           LossRow{"pings unanswered", false, false, true},
                                           LossRow{"pings answered", false, true, false}));

// A request too large for a UDP path goes over TCP to the same port, its Via
// saying so.
TEST(StreamTransport, LargeRequestTakesTcp) {
    callctl::net_startup();
    callctl::UdpSocket udp;
    ASSERT_TRUE(udp.open(0x7f000001, 0));
    StreamServer server(udp.local_port());
    ASSERT_EQ(server.port(), udp.local_port());
    Phone ph;
    SIPX_LINE line = ph.add_line(std::string(1400, 'a'), udp.local_port());
    ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
    std::string reg;
    ASSERT_TRUE(server.next(3000, &reg));
    EXPECT_GT(reg.size(), callctl::kUdpRequestMax);
    EXPECT_EQ(header_of(reg, "Via").compare(0, 12, "SIP/2.0/TCP "), 0) << header_of(reg, "Via");
    server.send(ok_for(reg));
    EXPECT_EQ(ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED, 3000, line).category,
              SIPX_EVENT_CATEGORY_LINESTATE) << ph.rec.dump();
    char buf[64];
    callctl::Endpoint from;
    EXPECT_LE(udp.recv_from(buf, sizeof buf, &from), 0) << "nothing over UDP";
    callctl::net_cleanup();
}

}  // namespace
#endif
