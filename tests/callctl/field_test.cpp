// The library against peers that misbehave as real ones do: callees that ring
// for minutes and answer late, answers crossing a CANCEL, odd Contacts,
// registrars that challenge forever, grant one second or go away, media that
// stops, offers full of junk and floods of INVITEs. The peer is RawPeer (a
// socket the test answers by hand); the phone runs with T1 = 40 ms, so
// 64*T1 is 2.56 s.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "harness.h"

#ifndef _WIN32
#include "api/registry.h"
#include "engine/instance.h"
#include "base/resolver.h"
#endif

using namespace testing_callctl;
using namespace std::chrono;

namespace {

const SIPX_CALL_OPTIONS kOptions = {20, 1, 1, 1, 0};
const callctl::Endpoint kNone{};

SIPX_CALL place(Phone &ph, SIPX_LINE line, int port, const std::string &user = "00867551234567") {
    SIPX_CALL call = 0;
    EXPECT_EQ(sipxCallCreate(ph.inst, line, &call), SIPX_RESULT_SUCCESS);
    std::string to = "sip:" + user + "@127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(sipxCallConnect(call, to.c_str(), 0, nullptr, 1, &kOptions, nullptr), SIPX_RESULT_SUCCESS);
    return call;
}

bool got(Phone &ph, uint32_t code, SIPX_CALL call, int ms) {
    return ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, code, ms, call).category == SIPX_EVENT_CATEGORY_CALLSTATE;
}

void set_timers(Phone &ph, uint32_t refresh_min, uint32_t media_timeout, uint32_t retry_min = 0) {
    SIPX_TIMER_SETTINGS t{};
    t.cbSize = sizeof t;
    t.registerRefreshMin = refresh_min;
    t.mediaTimeout = media_timeout;
    t.registerRetryMin = retry_min;
    t.registerRetryMax = retry_min;
    ASSERT_EQ(sipxConfigSetTimers(ph.inst, &t), SIPX_RESULT_SUCCESS);
}

// A call placed to the raw peer and answered with 200 (Contact, SDP at
// media_port); the peer has taken the INVITE and the phone's ACK.
struct Answered {
    SIPX_CALL call = 0;
    std::string invite, ack;
    callctl::Endpoint from;
};
::testing::AssertionResult answered_call(Phone &ph, RawPeer &peer, const std::string &contact_uri, int media_port,
                                         Answered *a) {
    SIPX_LINE line = ph.add_line("8001", peer.port());
    a->call = place(ph, line, peer.port());
    if (!peer.next("INVITE", 3000, &a->invite, &a->from)) return ::testing::AssertionFailure() << "no INVITE";
    peer.reply(a->invite, a->from, 200, "Contact: <" + contact_uri + ">\r\n", audio_sdp(media_port));
    if (!got(ph, SIPX_CALLSTATE_CONNECTED, a->call, 2000)) return ::testing::AssertionFailure() << ph.rec.dump();
    if (!peer.next("ACK", 2000, &a->ack)) return ::testing::AssertionFailure() << "no ACK";
    return ::testing::AssertionSuccess();
}

// The phone's RTP port from the SDP of its INVITE.
int offered_port(const std::string &invite) {
    size_t m = invite.find("m=audio ");
    return m == std::string::npos ? 0 : std::atoi(invite.c_str() + m + 8);
}

}  // namespace

// ---- ringing ------------------------------------------------------------------

struct RingRow {
    const char *what;
    int ring_ms;              // 180 sent, then this long with nothing else
    bool hang_up;             // then the phone hangs up
    int answer_after_cancel;  // -1: 487 at once; else 200 to the INVITE this long after the CANCEL
    bool connects;
    bool forked = false;      // a second branch answers the INVITE too
};

void PrintTo(const RingRow &r, std::ostream *os) { *os << r.what; }

class Ringing : public ::testing::TestWithParam<RingRow> {};

TEST_P(Ringing, CalleeDecidesHowLongItRingsAndLateAnswersAreEnded) {
    const RingRow &row = GetParam();
    RawPeer peer;
    Phone ph;
    SIPX_LINE line = ph.add_line("8001", peer.port());
    SIPX_CALL call = place(ph, line, peer.port());
    std::string invite;
    callctl::Endpoint from;
    ASSERT_TRUE(peer.next("INVITE", 3000, &invite, &from));
    peer.reply(invite, from, 180);
    ASSERT_TRUE(got(ph, SIPX_CALLSTATE_REMOTE_ALERTING, call, 2000)) << ph.rec.dump();
    // Longer than 64*T1: the call must still be up.
    EXPECT_FALSE(got(ph, SIPX_CALLSTATE_DISCONNECTED, call, row.ring_ms)) << ph.rec.dump();
    std::string msg;
    if (!row.hang_up) {
        peer.reply(invite, from, 200, "Contact: <sip:callee@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n",
                   audio_sdp(peer.port() + 2));
        ASSERT_TRUE(got(ph, SIPX_CALLSTATE_CONNECTED, call, 2000)) << ph.rec.dump();
        ASSERT_TRUE(peer.next("ACK", 2000, &msg)) << "the late answer is acknowledged";
        if (row.forked) {
            peer.tag = "otherbranch";
            peer.reply(invite, from, 200, "Contact: <sip:other@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n",
                       audio_sdp(peer.port() + 4));
            ASSERT_TRUE(peer.next("ACK", 2000, &msg));
            EXPECT_NE(header_of(msg, "To").find("tag=otherbranch"), std::string::npos) << msg;
            std::string bye;
            ASSERT_TRUE(peer.next("BYE", 2000, &bye)) << "the second branch's call is ended";
            EXPECT_EQ(first_line(bye), "BYE sip:other@127.0.0.1:" + std::to_string(peer.port()) + " SIP/2.0");
            EXPECT_NE(header_of(bye, "To").find("tag=otherbranch"), std::string::npos) << bye;
            peer.reply(bye, from, 200);
            peer.tag = "peer7";
            EXPECT_FALSE(got(ph, SIPX_CALLSTATE_DISCONNECTED, call, 200)) << "the first one goes on";
        }
    } else {
        SIPX_CALL h = call;
        ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
        std::string cancel;
        ASSERT_TRUE(peer.next("CANCEL", 2000, &cancel)) << "hanging up while it rings cancels";
        peer.reply(cancel, from, 200);
        if (row.answer_after_cancel < 0) {
            peer.reply(invite, from, 487);
            EXPECT_TRUE(peer.next("ACK", 2000, &msg)) << "the 487 is acknowledged";
        } else {
            // The peer ignores the CANCEL and answers (at once, or after the
            // phone has given the INVITE up).
            if (row.answer_after_cancel) {
                EXPECT_FALSE(peer.next("BYE", row.answer_after_cancel));
            }
            peer.reply(invite, from, 200,
                       "Contact: <sip:callee@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n",
                       audio_sdp(peer.port() + 2));
            ASSERT_TRUE(peer.next("ACK", 2000, &msg)) << "a 2xx is always acknowledged";
            std::string bye;
            ASSERT_TRUE(peer.next("BYE", 2000, &bye)) << "and the call it set up ended at once";
            peer.reply(bye, from, 200);
        }
        EXPECT_EQ(ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, 100, call).cause,
                  SIPX_CAUSE_LOCAL_HANGUP);
    }
    EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_CONNECTED, call), row.connects ? 1 : 0);
    if (row.connects) {
        SIPX_CALL h = call;
        ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
        std::string bye;
        ASSERT_TRUE(peer.next("BYE", 2000, &bye));
        peer.reply(bye, from, 200);
    }
    EXPECT_FALSE(peer.next("BYE", 300)) << "nothing more";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Ringing,
    ::testing::Values(RingRow{"answered after 64 T1 of ringing", 3000, false, -1, true},
                      RingRow{"answered by two branches of a forked call", 100, false, -1, true, true},
                      RingRow{"cancelled after 64 T1 of ringing", 3000, true, -1, false},
                      RingRow{"answer crossing the CANCEL", 100, true, 0, false},
                      RingRow{"answer after the cancelled INVITE was given up", 100, true, 3000, false}),
    [](const ::testing::TestParamInfo<RingRow> &i) { return std::to_string(i.index); });

// ---- remote targets -------------------------------------------------------------

// A Contact with URI headers and a method parameter: the ACK, the hold
// re-INVITE and the BYE go to it without them; a Contact that is no SIP URI
// leaves the first target.
TEST(RemoteTarget, RequestsGoToTheContactWithoutHeadersOrMethod) {
    struct Row {
        std::string contact_uri;
        std::string request_uri;
    };
    RawPeer peer;
    std::string p = std::to_string(peer.port());
    const Row rows[] = {
        {"sip:callee@127.0.0.1:" + p + ";method=INVITE;transport=udp?Subject=x&Route=%3Csip:evil%3E",
         "sip:callee@127.0.0.1:" + p + ";transport=udp"},
        {"tel:+8675512345", "sip:00867551234567@127.0.0.1:" + p},
    };
    for (const auto &row : rows) {
        Phone ph;
        Answered a;
        ASSERT_TRUE(answered_call(ph, peer, row.contact_uri, peer.port() + 2, &a));
        SIPX_CALL call = a.call;
        callctl::Endpoint from = a.from;
        std::string msg;
        EXPECT_EQ(first_line(a.ack), "ACK " + row.request_uri + " SIP/2.0") << row.contact_uri;
        ASSERT_EQ(sipxCallHold(call, 1), SIPX_RESULT_SUCCESS);
        ASSERT_TRUE(peer.next("INVITE", 2000, &msg));
        EXPECT_EQ(first_line(msg), "INVITE " + row.request_uri + " SIP/2.0") << row.contact_uri;
        peer.reply(msg, from, 200, {}, audio_sdp(peer.port() + 2));
        ASSERT_TRUE(got(ph, SIPX_CALLSTATE_HELD, call, 2000)) << ph.rec.dump();
        ASSERT_TRUE(peer.next("ACK", 2000, &msg));
        EXPECT_EQ(first_line(msg), "ACK " + row.request_uri + " SIP/2.0") << row.contact_uri;
        SIPX_CALL h = call;
        ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
        ASSERT_TRUE(peer.next("BYE", 2000, &msg)) << "the call can be hung up";
        EXPECT_EQ(first_line(msg), "BYE " + row.request_uri + " SIP/2.0") << row.contact_uri;
        peer.reply(msg, from, 200);
        ASSERT_TRUE(got(ph, SIPX_CALLSTATE_DESTROYED, call, 2000));
    }
}

// A hold re-INVITE that gets only a provisional answer times out after
// 64*T1 (unlike the first INVITE, re-INVITEs keep timer B): the peer can no
// longer be reached, so the call is ended with BYE, never reported held.
TEST(RemoteTarget, ReInviteLeftRingingEndsTheCall) {
    RawPeer peer;
    Phone ph;
    Answered a;
    ASSERT_TRUE(answered_call(ph, peer, "sip:callee@127.0.0.1:" + std::to_string(peer.port()), peer.port() + 2, &a));
    ASSERT_EQ(sipxCallHold(a.call, 1), SIPX_RESULT_SUCCESS);
    std::string msg;
    ASSERT_TRUE(peer.next("INVITE", 2000, &msg));
    peer.reply(msg, a.from, 180);
    Event d = ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, 4000, a.call);
    EXPECT_EQ(d.cause, SIPX_CAUSE_NO_RESPONSE) << ph.rec.dump();
    EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_HELD, a.call), 0);
    ASSERT_TRUE(peer.next("BYE", 2000, &msg));
    peer.reply(msg, a.from, 200);
    SIPX_CALL h = a.call;
    EXPECT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
}

// ---- registrars ---------------------------------------------------------------------

// Challenges that never end: how many REGISTERs go out before the line
// reports the failure, and how many credentials the last one carries.
TEST(Registration, ChallengeLoopsAreBounded) {
    struct Row {
        const char *what;
        bool stale;           // every challenge after the first says stale=true
        int realms_per_challenge;
        bool new_realm_each_time;
        int registers;        // sent before REGISTER_FAILED
        size_t max_credentials;
    } rows[] = {
        {"stale forever", true, 1, false, 4, 1},
        {"stale with a new realm each time", true, 1, true, 4, 3},
        {"new realm after our credentials", false, 1, true, 2, 1},
        {"ten realms in one challenge", false, 10, false, 2, 4},
    };
    for (const auto &row : rows) {
        RawPeer reg;
        Phone ph;
        SIPX_LINE line = ph.add_line("8001", reg.port());
        ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
        int sent = 0;
        size_t most = 0;
        std::string msg;
        callctl::Endpoint from;
        while (ph.rec.count(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTER_FAILED) == 0 && sent < 20) {
            if (!reg.next("REGISTER", 300, &msg, &from)) continue;
            ++sent;
            size_t creds = 0;
            while (!header_of(msg, "Authorization", int(creds)).empty()) ++creds;
            most = std::max(most, creds);
            std::string challenges;
            for (int r = 0; r < row.realms_per_challenge; ++r) {
                std::string realm = "r" + std::to_string(r) + (row.new_realm_each_time ? "-" + std::to_string(sent) : "");
                challenges += "WWW-Authenticate: Digest realm=\"" + realm + "\", nonce=\"n" + std::to_string(sent) +
                              "\"" + (row.stale && sent > 1 ? ", stale=true" : "") + "\r\n";
            }
            reg.reply(msg, from, 401, challenges);
        }
        Event f = ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTER_FAILED, 2000, line);
        EXPECT_EQ(f.cause, SIPX_CAUSE_AUTH_FAILED) << row.what;
        EXPECT_EQ(sent, row.registers) << row.what;
        EXPECT_EQ(most, row.max_credentials) << row.what;
    }
}

// A registrar that grants one second: refreshes come at the floor's pace
// (1 s here), not twice a second.
TEST(Registration, RefreshesNeverComeSoonerThanTheFloor) {
    RawPeer reg;
    Phone ph;
    set_timers(ph, 1000, 0);
    SIPX_LINE line = ph.add_line("8001", reg.port());
    ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
    std::vector<long> at;
    auto t0 = steady_clock::now();
    std::string msg;
    callctl::Endpoint from;
    while (steady_clock::now() - t0 < milliseconds(3300)) {
        if (!reg.next("REGISTER", 100, &msg, &from)) continue;
        at.push_back(long(duration_cast<milliseconds>(steady_clock::now() - t0).count()));
        reg.reply(msg, from, 200, "Expires: 1\r\n");
    }
    ASSERT_GE(at.size(), 3u);
    EXPECT_LE(at.size(), 4u);
    for (size_t i = 1; i < at.size(); ++i) EXPECT_GE(at[i] - at[i - 1], 950) << i;
    EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED), 1);
}

// The registrar goes away and comes back: the OPTIONS keep-alive that is
// answered again re-registers at once, though the back-off (a minute here)
// or the refresh (an hour) is far off. A registrar that answers keep-alives
// all along but refuses the line gets no REGISTER before its back-off.
TEST(Registration, KeepAliveAnsweredAgainReRegistersAtOnce) {
    struct Row {
        const char *what;
        int first_answer;  // to the first REGISTER
        int unanswered;    // keep-alives that go unanswered before one is answered
        bool registers;    // a REGISTER follows the answered keep-alive at once
    } rows[] = {{"line waiting for its retry", 503, 3, true},
                {"registered line after an outage", 200, 3, true},
                {"line refused while the server answers", 403, 0, false}};
    for (const auto &row : rows) {
        RawPeer reg;
        Phone ph;
        set_timers(ph, 0, 0, 60000);
        SIPX_LINE line = ph.add_line("8001", reg.port());
        ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
        std::string msg;
        callctl::Endpoint from;
        ASSERT_TRUE(reg.next("REGISTER", 2000, &msg, &from));
        reg.reply(msg, from, row.first_answer, "Expires: 3600\r\n");
        ASSERT_EQ(sipxConfigKeepAliveAdd(ph.inst, 0, 2, "127.0.0.1", reg.port(), 1), SIPX_RESULT_SUCCESS);
        // Down: keep-alives go unanswered.
        for (int i = 0; i < row.unanswered; ++i) ASSERT_TRUE(reg.next("OPTIONS", 2000)) << row.what;
        EXPECT_FALSE(reg.next("REGISTER", 10)) << row.what;
        // Back: the next one is answered, and the REGISTER follows.
        ASSERT_TRUE(reg.next("OPTIONS", 2000, &msg, &from)) << row.what;
        reg.reply(msg, from, 200);
        if (!row.registers) {
            for (int i = 0; i < 2; ++i) {
                ASSERT_TRUE(reg.next("OPTIONS", 2000, &msg, &from)) << row.what;
                reg.reply(msg, from, 200);
            }
            EXPECT_EQ(reg.count("REGISTER"), 1) << row.what << ": the back-off holds";
            continue;
        }
        auto t0 = steady_clock::now();
        ASSERT_TRUE(reg.next("REGISTER", 1500, &msg, &from)) << row.what;
        EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 1000) << row.what;
        reg.reply(msg, from, 200, "Expires: 3600\r\n");
        EXPECT_EQ(ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED, 2000, line).category,
                  SIPX_EVENT_CATEGORY_LINESTATE)
            << row.what << ph.rec.dump();
    }
}

// A busy or restarting registrar says when to come back: the next REGISTER
// waits for its Retry-After (the back-off is 300 ms here); other refusals
// and a plain 503 keep the back-off.
TEST(Registration, RetryAfterIsHonoured) {
    struct Row {
        const char *what;
        int code;
        std::string extra;
        long min_ms, max_ms;  // until the next REGISTER
    } rows[] = {
        {"503 without Retry-After", 503, "", 250, 1000},
        {"503 Retry-After 2", 503, "Retry-After: 2\r\n", 1950, 3000},
        {"500 Retry-After 2 with a comment", 500, "Retry-After: 2 (restarting);duration=60\r\n", 1950, 3000},
        {"480 Retry-After 2", 480, "Retry-After: 2\r\n", 1950, 3000},
    };
    for (const auto &row : rows) {
        RawPeer reg;
        Phone ph;
        SIPX_LINE line = ph.add_line("8001", reg.port());
        ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
        std::string msg;
        callctl::Endpoint from;
        ASSERT_TRUE(reg.next("REGISTER", 2000, &msg, &from));
        reg.reply(msg, from, row.code, row.extra);
        auto t0 = steady_clock::now();
        ASSERT_TRUE(reg.next("REGISTER", 4000, &msg, &from)) << row.what;
        long ms = long(duration_cast<milliseconds>(steady_clock::now() - t0).count());
        EXPECT_GE(ms, row.min_ms) << row.what;
        EXPECT_LE(ms, row.max_ms) << row.what;
        reg.reply(msg, from, 200, "Expires: 3600\r\n");
        EXPECT_EQ(ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED, 2000, line).category,
                  SIPX_EVENT_CATEGORY_LINESTATE);
    }
}

// A registered line whose registrar stops answering its keep-alives (period
// 1 s here) reports the failure within a few seconds, not at its next
// refresh an hour away, and is registered again as soon as the server
// answers again. A call in progress is not ended by it.
TEST(Registration, OutageIsReportedAndEndsByItself) {
    RawPeer reg;
    Phone ph;
    set_timers(ph, 0, 0, 60000);
    SIPX_LINE line = ph.add_line("8001", reg.port());
    ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
    std::string msg;
    callctl::Endpoint from;
    ASSERT_TRUE(reg.next("REGISTER", 2000, &msg, &from));
    reg.reply(msg, from, 200, "Expires: 3600\r\n");
    ASSERT_EQ(sipxConfigKeepAliveAdd(ph.inst, 0, 2, "127.0.0.1", reg.port(), 1), SIPX_RESULT_SUCCESS);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(reg.next("OPTIONS", 2000, &msg, &from));
        reg.reply(msg, from, 200);
    }
    SIPX_CALL call = place(ph, line, reg.port());
    std::string invite;
    ASSERT_TRUE(reg.next("INVITE", 2000, &invite, &from));
    reg.reply(invite, from, 200, "Contact: <sip:callee@127.0.0.1:" + std::to_string(reg.port()) + ">\r\n",
              audio_sdp(reg.port() + 2));
    ASSERT_TRUE(got(ph, SIPX_CALLSTATE_CONNECTED, call, 2000));
    // Down: nothing is answered any more.
    auto t0 = steady_clock::now();
    Event f = ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTER_FAILED, 5000, line);
    ASSERT_EQ(f.category, SIPX_EVENT_CATEGORY_LINESTATE) << ph.rec.dump();
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 3500);
    EXPECT_EQ(f.cause, SIPX_CAUSE_NO_RESPONSE);
    EXPECT_GE(reg.count("REGISTER"), 1) << "the line asked again before giving up";
    EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, call), 0);
    // Back: the next keep-alive is answered and the REGISTER follows.
    while (reg.next("REGISTER", 0)) {}
    ASSERT_TRUE(reg.next("OPTIONS", 3000, &msg, &from));
    reg.reply(msg, from, 200);
    ASSERT_TRUE(reg.next("REGISTER", 1500, &msg, &from));
    reg.reply(msg, from, 200, "Expires: 3600\r\n");
    EXPECT_TRUE(ph.rec.wait_count(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED, 2, 2000, line))
        << ph.rec.dump();
    SIPX_CALL h = call;
    ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
}

// Notices come only from the registrar and only to the Contact the line
// registered, whose random token a forger on the way cannot know.
TEST(Registration, NoticesNeedTheRegisteredContact) {
    struct Row {
        const char *what;
        bool use_contact;     // the Request-URI is the registered Contact
        std::string tamper;   // replaces the token
        int status;
    } rows[] = {
        {"to the registered Contact", true, "", 200},
        {"to the user at our address", false, "", 403},
        {"with a guessed token", true, "0123456789abcdef", 403},
    };
    for (const auto &row : rows) {
        RawPeer reg;
        Phone ph;
        SIPX_LINE line = ph.add_line("8001", reg.port());
        ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
        std::string msg;
        callctl::Endpoint from;
        ASSERT_TRUE(reg.next("REGISTER", 2000, &msg, &from));
        reg.reply(msg, from, 200, "Expires: 3600\r\n");
        std::string contact = header_of(msg, "Contact");
        std::string uri = contact.substr(1, contact.find('>') - 1);
        if (!row.use_contact) uri = "sip:8001@127.0.0.1:" + std::to_string(ph.port);
        if (!row.tamper.empty()) uri = uri.substr(0, uri.find("rinstance=") + 10) + row.tamper;
        std::string text = "hello";
        reg.send("MESSAGE " + uri + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(reg.port()) +
                     ";branch=z9hG4bKnote\r\nFrom: <sip:server@127.0.0.1>;tag=s1\r\nTo: <" + uri +
                     ">\r\nCall-ID: note1\r\nCSeq: 1 MESSAGE\r\nMax-Forwards: 70\r\n"
                     "Content-Type: text/plain\r\nContent-Length: 5\r\n\r\n" + text,
                 from);
        std::string answer;
        ASSERT_TRUE(reg.next("SIP/2.0", 2000, &answer)) << row.what;
        EXPECT_EQ(first_line(answer).substr(8, 3), std::to_string(row.status)) << row.what;
        Event e = ph.rec.wait_for(SIPX_EVENT_CATEGORY_MESSAGE, 0, row.status == 200 ? 2000 : 100);
        EXPECT_EQ(e.category == SIPX_EVENT_CATEGORY_MESSAGE, row.status == 200) << row.what;
    }
}

#ifndef _WIN32
// The registrar's name moves to another address while the line waits for its
// retry: the retry looks the name up again and finds it (native build: the
// test answers the lookups).
TEST(Registration, RetryLooksTheRegistrarUpAgain) {
    RawPeer old_home(0x7f000001), new_home(0x7f000002, 0);
    RawPeer moved(0x7f000002, old_home.port());
    callctl::Resolver::set_override("registrar.test", 0x7f000001);
    Phone ph;
    SIPX_LINE line = 0;
    std::string id = "sip:8001@registrar.test:" + std::to_string(old_home.port());
    ASSERT_EQ(sipxLineAdd(ph.inst, id.c_str(), &line, 0), SIPX_RESULT_SUCCESS);
    ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
    std::string msg;
    callctl::Endpoint from;
    ASSERT_TRUE(old_home.next("REGISTER", 2000, &msg, &from));
    callctl::Resolver::set_override("registrar.test", 0x7f000002);
    old_home.reply(msg, from, 503);
    ASSERT_TRUE(moved.next("REGISTER", 3000, &msg, &from)) << "the retry went to the new address";
    moved.reply(msg, from, 200, "Expires: 3600\r\n");
    EXPECT_EQ(ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED, 2000, line).category,
              SIPX_EVENT_CATEGORY_LINESTATE);
    callctl::Resolver::clear_overrides();
}
#endif

#ifndef _WIN32
// The machine moves to another network (its address to the registrar
// becomes 127.0.0.2): within 5 s the line registers from the new address,
// and the call in progress offers it with a re-INVITE (native build: the
// test moves the library's notion of its local address).
TEST(Registration, NetworkChangeIsFollowed) {
    RawPeer reg;
    Phone ph(true, "0.0.0.0");
    SIPX_LINE line = ph.add_line("8001", reg.port());
    ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
    std::string msg;
    callctl::Endpoint from;
    ASSERT_TRUE(reg.next("REGISTER", 2000, &msg, &from));
    reg.reply(msg, from, 200, "Expires: 3600\r\n");
    SIPX_CALL call = place(ph, line, reg.port());
    std::string invite;
    ASSERT_TRUE(reg.next("INVITE", 2000, &invite, &from));
    reg.reply(invite, from, 200, "Contact: <sip:callee@127.0.0.1:" + std::to_string(reg.port()) + ">\r\n",
              audio_sdp(reg.port() + 2));
    ASSERT_TRUE(got(ph, SIPX_CALLSTATE_CONNECTED, call, 2000));
    ASSERT_TRUE(reg.next("ACK", 2000));
    callctl::set_local_address_override(0x7f000002);
    struct Back {
        ~Back() { callctl::set_local_address_override(0); }
    } back;
    auto t0 = steady_clock::now();
    ASSERT_TRUE(reg.next("REGISTER", 5000, &msg, &from));
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 5000);
    std::string where = "127.0.0.2:" + std::to_string(ph.port);
    EXPECT_NE(header_of(msg, "Via").find(where), std::string::npos) << msg;
    EXPECT_NE(header_of(msg, "Contact").find("@" + where), std::string::npos) << msg;
    reg.reply(msg, from, 200, "Expires: 3600\r\n");
    ASSERT_TRUE(reg.next("INVITE", 2000, &msg, &from)) << "the call follows";
    EXPECT_NE(header_of(msg, "Contact").find("@" + where), std::string::npos) << msg;
    EXPECT_NE(msg.find("c=IN IP4 127.0.0.2"), std::string::npos) << msg;
    reg.reply(msg, from, 200, {}, audio_sdp(reg.port() + 2));
    ASSERT_TRUE(reg.next("ACK", 2000));
    EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, call), 0);
    SIPX_CALL h = call;
    ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
}
#endif

// ---- media that stops ------------------------------------------------------------------

// RTP flows for a second, then stops. A call nobody holds ends after the
// media timeout (0.6 s here) with BYE; a held one stays. Silent early media
// before a late answer does not count against the call.
TEST(MediaTimeout, ADeadCallEndsAndAHeldOneStays) {
    struct Row {
        const char *what;
        bool hold;
        bool ends;
        bool early;  // a 183 with a description, then the answer after a second
    } rows[] = {{"not held: ended", false, true, false},
                {"held: stays", true, false, false},
                {"answered a second after silent early media", false, true, true}};
    for (const auto &row : rows) {
        RawPeer peer;
        callctl::UdpSocket media;
        ASSERT_TRUE(media.open(0x7f000001, 0));
        Phone ph;
        set_timers(ph, 0, 600);
        SIPX_LINE line = ph.add_line("8001", peer.port());
        SIPX_CALL call = place(ph, line, peer.port());
        std::string invite, msg;
        callctl::Endpoint from;
        ASSERT_TRUE(peer.next("INVITE", 3000, &invite, &from));
        if (row.early) {
            peer.reply(invite, from, 183, {}, audio_sdp(media.local_port()));
            ASSERT_TRUE(got(ph, SIPX_CALLSTATE_REMOTE_ALERTING, call, 2000));
            EXPECT_FALSE(got(ph, SIPX_CALLSTATE_DISCONNECTED, call, 1000));
        }
        peer.reply(invite, from, 200, "Contact: <sip:callee@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n",
                   audio_sdp(media.local_port()));
        ASSERT_TRUE(got(ph, SIPX_CALLSTATE_CONNECTED, call, 2000));
        ASSERT_TRUE(peer.next("ACK", 2000));
        if (row.hold) {
            ASSERT_EQ(sipxCallHold(call, 1), SIPX_RESULT_SUCCESS);
            ASSERT_TRUE(peer.next("INVITE", 2000, &msg));
            peer.reply(msg, from, 200, {}, audio_sdp(media.local_port()));
            ASSERT_TRUE(got(ph, SIPX_CALLSTATE_HELD, call, 2000));
        }
        // The callee's audio starts a moment after the answer.
        EXPECT_FALSE(got(ph, SIPX_CALLSTATE_DISCONNECTED, call, 300)) << row.what;
        // One second of RTP (longer than the timeout), 20 ms apart.
        callctl::Endpoint phone_rtp{0x7f000001, uint16_t(offered_port(invite))};
        for (int i = 0; i < 50; ++i) {
            uint8_t pkt[12 + 160] = {0x80, 0x00};
            pkt[2] = uint8_t(i >> 8), pkt[3] = uint8_t(i);
            pkt[7] = uint8_t(i * 160 / 256), pkt[6] = uint8_t(i * 160 / 65536);
            pkt[11] = 7;
            std::memset(pkt + 12, 0xFF, 160);
            media.send_to(phone_rtp, pkt, sizeof pkt);
            EXPECT_FALSE(got(ph, SIPX_CALLSTATE_DISCONNECTED, call, 20)) << row.what << ": audio is flowing";
        }
        bool ended = got(ph, SIPX_CALLSTATE_DISCONNECTED, call, 2500);
        EXPECT_EQ(ended, row.ends) << row.what;
        if (ended) {
            Event d = ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, 10, call);
            EXPECT_EQ(d.cause, SIPX_CAUSE_MEDIA_TIMEOUT);
            ASSERT_TRUE(peer.next("BYE", 2000, &msg)) << "the dead call is ended for the server too";
            peer.reply(msg, from, 200);
        }
        SIPX_CALL h = call;
        EXPECT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS) << "the handle stays until destroyed";
        if (!ended) {
            ASSERT_TRUE(peer.next("BYE", 2000, &msg));
            peer.reply(msg, from, 200);
        }
    }
}

// ---- junk offers and floods ----------------------------------------------------------------

// The peer sends re-INVITEs whose offers list dozens of formats, numbers
// past 127 and new dynamic numbers each time: the answers use only payload
// types 0..127 and at most 16 formats, and the stream keeps no more decoders
// than the offer has (native build: counted inside the instance).
TEST(Offers, PayloadTypeStormsInReInvitesStayBounded) {
    RawPeer peer;
    Phone ph;
    Answered a;
    std::string contact_uri = "sip:callee@127.0.0.1:" + std::to_string(peer.port());
    ASSERT_TRUE(answered_call(ph, peer, contact_uri, peer.port() + 2, &a));
    SIPX_CALL call = a.call;
    const std::string &invite = a.invite;
    callctl::Endpoint from = a.from;
    std::string msg, contact = "Contact: <" + contact_uri + ">\r\n";
    // The dialog as the callee sees it.
    std::string our_contact = header_of(invite, "Contact");
    std::string ruri = our_contact.substr(1, our_contact.find('>') - 1);
    std::string to = header_of(invite, "From");
    std::string fromh = header_of(invite, "To") + ";tag=" + peer.tag;
#ifndef _WIN32
    auto inst = callctl::api::instance(ph.inst);
    size_t timers_before = 0;
    {
        std::lock_guard<std::mutex> g(inst->lock);
        timers_before = inst->timers().armed();
    }
#endif
    for (int round = 0; round < 60; ++round) {
        std::string m = "m=audio " + std::to_string(peer.port() + 2) + " RTP/AVP";
        std::string maps;
        for (int k = 0; k < 40; ++k) {
            int pt = 96 + (round + k) % 32;
            m += " " + std::to_string(pt);
            maps += "a=rtpmap:" + std::to_string(pt) + " PCMU/8000\r\n";
        }
        m += " 128 255 1000 0\r\n";
        std::string body = "v=0\r\no=- 1 " + std::to_string(round + 2) +
                           " IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n" + m + maps +
                           "a=rtpmap:128 PCMA/8000\r\n";
        std::string branch = "z9hG4bKstorm" + std::to_string(round);
        std::string req = "INVITE " + ruri + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer.port()) +
                          ";branch=" + branch + "\r\nFrom: " + fromh + "\r\nTo: " + to + "\r\nCall-ID: " +
                          header_of(invite, "Call-ID") + "\r\nCSeq: " + std::to_string(round + 10) +
                          " INVITE\r\n" + contact + "Max-Forwards: 70\r\nContent-Type: application/sdp\r\n" +
                          "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        peer.send(req, from);
        std::string answer;
        ASSERT_TRUE(peer.next("SIP/2.0 200", 2000, &answer)) << round;
        size_t mline = answer.find("m=audio ");
        ASSERT_NE(mline, std::string::npos);
        std::string formats = answer.substr(mline, answer.find("\r\n", mline) - mline);
        int count = 0;
        for (size_t i = formats.find("RTP/AVP") + 7; i < formats.size();) {
            int pt = std::atoi(formats.c_str() + i + 1);
            EXPECT_LE(pt, 127) << formats;
            ++count;
            i = formats.find(' ', i + 1);
        }
        EXPECT_LE(count, 16) << formats;
        std::string ack = "ACK " + ruri + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer.port()) +
                          ";branch=" + branch + "a\r\nFrom: " + fromh + "\r\nTo: " + header_of(answer, "To") +
                          "\r\nCall-ID: " + header_of(invite, "Call-ID") + "\r\nCSeq: " + std::to_string(round + 10) +
                          " ACK\r\nContent-Length: 0\r\n\r\n";
        peer.send(ack, from);
    }
#ifndef _WIN32
    callctl::media::Engine::StreamInfo info;
    ASSERT_TRUE(inst->media->stream_info(call, &info));
    EXPECT_LE(info.decoders, 16u) << "decoders of formats no longer offered are released";
    {
        std::lock_guard<std::mutex> g(inst->lock);
        // The answered re-INVITEs' server transactions are confirmed by
        // their ACKs and go; nothing piles up.
        EXPECT_LE(inst->timers().armed(), timers_before + 4);
        EXPECT_LE(inst->txn().servers(), 2u);
    }
#endif
    SIPX_CALL h = call;
    ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
    ASSERT_TRUE(peer.next("BYE", 2000, &msg));
    peer.reply(msg, from, 200);
}

#ifndef _WIN32
// 1,000 INVITEs a second for five seconds from outside any dialog: each is
// refused without a transaction, and no API call waits long for the lock.
TEST(Flood, InviteFloodKeepsTheApiResponsive) {
    Phone ph;
    RawPeer attacker;
    callctl::Endpoint phone{0x7f000001, uint16_t(ph.port)};
    std::atomic<bool> done{false};
    std::atomic<long> worst_us{0};
    std::atomic<long> api_calls{0};
    std::thread api([&] {
        while (!done) {
            auto t0 = steady_clock::now();
            sipxAudioSetInputVolume(ph.inst, 98);
            long us = long(duration_cast<microseconds>(steady_clock::now() - t0).count());
            if (us > worst_us) worst_us = us;
            ++api_calls;
            std::this_thread::sleep_for(milliseconds(1));
        }
    });
    auto invite = [&](int n) {
        std::string id = std::to_string(n);
        return "INVITE sip:sipx@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(attacker.port()) +
               ";branch=z9hG4bKflood" + id + "\r\nFrom: <sip:a@127.0.0.1>;tag=" + id +
               "\r\nTo: <sip:sipx@127.0.0.1>\r\nCall-ID: flood" + id +
               "\r\nCSeq: 1 INVITE\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
    };
    // A retransmission is refused with the same To tag (no transaction is kept).
    std::string first, again;
    attacker.send(invite(-1), phone);
    ASSERT_TRUE(attacker.next("SIP/2.0 486", 2000, &first));
    attacker.send(invite(-1), phone);
    ASSERT_TRUE(attacker.next("SIP/2.0 486", 2000, &again));
    EXPECT_EQ(header_of(first, "To"), header_of(again, "To"));
    auto t0 = steady_clock::now();
    int sent = 0;
    while (steady_clock::now() - t0 < seconds(5)) {
        for (int k = 0; k < 10; ++k, ++sent) attacker.send(invite(sent), phone);
        attacker.count("SIP/2.0 486");  // keeps our receive buffer from overflowing
        std::this_thread::sleep_until(t0 + milliseconds(10 * (sent / 10)));
    }
    done = true;
    api.join();
    EXPECT_GE(sent, 4900);
    EXPECT_GT(api_calls, 100);
    EXPECT_LT(worst_us, 100000) << "an API call waited " << worst_us << " us";
    ::testing::Test::RecordProperty("worst_api_call_us", int(worst_us));
    auto inst = callctl::api::instance(ph.inst);
    std::lock_guard<std::mutex> g(inst->lock);
    EXPECT_EQ(inst->txn().servers(), 0u) << "refusals keep no transactions";
    EXPECT_GT(attacker.count("SIP/2.0 486"), sent / 2);
}
#endif

// ---- the log --------------------------------------------------------------------------

// What support gets at each level for a registration answered after a digest
// challenge and a short call with audio: state lines and the call's audio
// summary from INFO on, every message from DEBUG on, the digest response
// masked and the password nowhere.
TEST(Log, RegistrationAndCallAtEachLevel) {
    struct Row {
        const char *what;
        int level;
        bool info, debug;
    } rows[] = {
        {"off", SIPX_LOG_NONE, false, false},
        {"info", SIPX_LOG_INFO, true, false},
        {"debug", SIPX_LOG_DEBUG, true, true},
    };
    for (const auto &row : rows) {
        LogCapture log(row.level);
        RawPeer peer;
        callctl::UdpSocket media;
        ASSERT_TRUE(media.open(0x7f000001, 0));
        Phone ph;
        SIPX_LINE line = ph.add_line("8001", peer.port(), "s3cret");
        ASSERT_EQ(sipxLineRegister(line, 1), SIPX_RESULT_SUCCESS);
        std::string reg, msg;
        callctl::Endpoint from;
        ASSERT_TRUE(peer.next("REGISTER", 3000, &reg, &from));
        peer.reply(reg, from, 401, "WWW-Authenticate: Digest realm=\"korvani\", nonce=\"n1\"\r\n");
        ASSERT_TRUE(peer.next("REGISTER", 3000, &reg, &from));
        peer.reply(reg, from, 200, "Expires: 3600\r\n");
        ASSERT_EQ(ph.rec.wait_for(SIPX_EVENT_CATEGORY_LINESTATE, SIPX_LINESTATE_REGISTERED, 2000, line).category,
                  SIPX_EVENT_CATEGORY_LINESTATE);
        std::string auth = header_of(reg, "Authorization");
        size_t at = auth.find("response=\"");
        ASSERT_NE(at, std::string::npos) << reg;
        std::string response = auth.substr(at + 10, 32);

        SIPX_CALL call = place(ph, line, peer.port());
        ASSERT_TRUE(peer.next("INVITE", 3000, &msg, &from));
        peer.reply(msg, from, 200, "Contact: <sip:callee@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n",
                   audio_sdp(media.local_port()));
        ASSERT_TRUE(got(ph, SIPX_CALLSTATE_CONNECTED, call, 2000)) << ph.rec.dump();
        int packets = 0;
        for (auto end = steady_clock::now() + seconds(2); packets < 5 && steady_clock::now() < end;) {
            callctl::UdpSocket *s[] = {&media};
            bool ready[1];
            callctl::wait_readable(s, 1, 50, ready);
            char buf[1500];
            callctl::Endpoint src;
            while (media.recv_from(buf, sizeof buf, &src) > 0) ++packets;
        }
        ASSERT_GE(packets, 5);
        SIPX_CALL h = call;
        ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);  // the audio summary is written on the way
        ASSERT_TRUE(peer.next("BYE", 2000, &msg, &from));
        peer.reply(msg, from, 200);

        std::string text = log.text();
        std::string lines = "line " + std::to_string(line), calls = "call " + std::to_string(call);
        std::string registrar = "127.0.0.1:" + std::to_string(peer.port());
        auto has = [&](const std::string &part) { return text.find(part) != std::string::npos; };
        EXPECT_EQ(has("3 " + lines + " <sip:8001@" + registrar + ">: registered, SIP 200, cause normal\n"), row.info)
            << row.what << "\n" << text;
        EXPECT_EQ(has("3 " + calls + " (" + lines + "): connected, SIP 200, cause normal\n"), row.info) << row.what;
        std::string summary = "3 " + calls + " audio: PCMU, RTP sent ";
        EXPECT_EQ(has(summary), row.info) << row.what;
        if (row.info) {
            std::string rest = text.substr(text.find(summary) + summary.size());
            EXPECT_GE(std::atoi(rest.c_str()), packets) << rest;
            EXPECT_EQ(rest.substr(rest.find(','), rest.find('\n') - rest.find(',')),
                      ", received 0, lost 0, jitter 0 ms, round trip unknown; microphone the default device, "
                      "speaker the default device; device failures: microphone 0, speaker 0");
        }
        EXPECT_EQ(has("4 SIP sent to " + registrar + ", "), row.debug) << row.what;
        EXPECT_EQ(has("4 > REGISTER sip:" + registrar + " SIP/2.0\n"), row.debug) << row.what;
        EXPECT_EQ(has("4 < SIP/2.0 401 "), row.debug) << row.what;
        EXPECT_EQ(has("4 > Authorization: Digest username=\"8001\""), row.debug) << row.what;
        EXPECT_EQ(has("response=\"***\""), row.debug) << row.what;
        EXPECT_FALSE(has(response)) << row.what;
        EXPECT_FALSE(has("s3cret")) << row.what;
        if (!row.info) {
            EXPECT_EQ(text, "") << "nothing while the log is off";
        }
    }
}

// ---- the peer's requests in a dialog ---------------------------------------------------

namespace {

// A request of the callee's in the dialog of `a`, with its own branch.
std::string peer_request(RawPeer &peer, const Answered &a, const std::string &method, int cseq,
                         const std::string &body = {}, const std::string &extra = {}) {
    std::string contact = header_of(a.invite, "Contact");
    std::string p = std::to_string(peer.port());
    return method + " " + contact.substr(1, contact.find('>') - 1) + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + p +
           ";branch=z9hG4bKpeer" + method + std::to_string(cseq) + "\r\nFrom: " + header_of(a.invite, "To") +
           ";tag=" + peer.tag + "\r\nTo: " + header_of(a.ack, "From") + "\r\nCall-ID: " +
           header_of(a.invite, "Call-ID") + "\r\nCSeq: " + std::to_string(cseq) + " " + method +
           "\r\nContact: <sip:callee@127.0.0.1:" + p + ">\r\nMax-Forwards: 70\r\n" + extra +
           (body.empty() ? "" : "Content-Type: application/sdp\r\n") +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The m= lines of a description, in order.
std::vector<std::string> m_lines(const std::string &msg) {
    std::vector<std::string> out;
    for (size_t at = msg.find("\r\nm="); at != std::string::npos; at = msg.find("\r\nm=", at + 2))
        out.push_back(msg.substr(at + 2, msg.find("\r\n", at + 2) - at - 2));
    return out;
}

// The payload type of the next RTP packet on `s` (-1: none within timeout_ms).
int next_rtp_pt(callctl::UdpSocket &s, int timeout_ms) {
    auto end = steady_clock::now() + milliseconds(timeout_ms);
    while (steady_clock::now() < end) {
        callctl::UdpSocket *socks[] = {&s};
        bool ready[1];
        callctl::wait_readable(socks, 1, 50, ready);
        unsigned char buf[1500];
        callctl::Endpoint src;
        int n = s.recv_from(reinterpret_cast<char *>(buf), sizeof buf, &src);
        if (n >= 12 && (buf[1] & 0x7f) < 72) return buf[1] & 0x7f;
    }
    return -1;
}

}  // namespace

// What the callee sends in the dialog and what comes back: offers with
// more than audio are answered line for line, an offer without usable audio
// gets 488, a re-INVITE without an offer gets ours and its ACK's answer
// moves our audio, requests out of CSeq order are refused, UPDATE carries
// offers too.
TEST(PeerRequests, OffersAnswersAndOrder) {
    struct Row {
        const char *what;
        std::string method;
        int cseq_step;      // CSeq of this request relative to the last one (<= 0: old)
        std::string m_part; // m= lines and their attributes ("" for no offer); PORT: the new audio port
        int status;
        std::vector<std::string> answer_lines;  // expected m= line starts in the answer
        int rtp_pt;         // payload type then heard on the new port (-1: nothing there)
    };
    const std::string audio = "m=audio PORT RTP/AVP 8 0\r\na=rtpmap:8 PCMA/8000\r\n";
    const Row rows[] = {
        {"video, audio and image", "INVITE", 1,
         "m=video 5000 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n" + audio + "m=image 5002 udptl t38\r\n", 200,
         {"m=video 0 RTP/AVP 96", "m=audio ", "m=image 0 udptl t38"}, 8},
        {"video only", "INVITE", 1, "m=video 5000 RTP/AVP 96\r\n", 488, {}, -1},
        {"audio of formats we lack", "INVITE", 1, "m=audio PORT RTP/AVP 3\r\n", 488, {}, -1},
        {"no offer: ours in the 200, the answer in the ACK", "INVITE", 1, "", 200, {"m=audio "}, 8},
        {"a request older than the last", "INVITE", 0, audio, 500, {}, -1},
        {"UPDATE with an offer", "UPDATE", 1, audio, 200, {"m=audio "}, 8},
    };
    for (const auto &row : rows) {
        RawPeer peer;
        callctl::UdpSocket moved;
        ASSERT_TRUE(moved.open(0x7f000001, 0));
        Phone ph;
        Answered a;
        ASSERT_TRUE(answered_call(ph, peer, "sip:callee@127.0.0.1:" + std::to_string(peer.port()), peer.port() + 2, &a));
        std::string m = row.m_part;
        for (size_t at; (at = m.find("PORT")) != std::string::npos;) m.replace(at, 4, std::to_string(moved.local_port()));
        std::string body = m.empty() ? "" : "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n" + m;
        // The callee's first request sets its CSeq; the row's comes after it.
        peer.send(peer_request(peer, a, "OPTIONS", 10), a.from);
        ASSERT_TRUE(peer.next("SIP/2.0 200", 2000)) << row.what;
        int cseq = 10 + row.cseq_step;
        peer.send(peer_request(peer, a, row.method, cseq, body), a.from);
        std::string answer;
        ASSERT_TRUE(peer.next("SIP/2.0", 2000, &answer)) << row.what;
        EXPECT_EQ(first_line(answer).substr(8, 3), std::to_string(row.status)) << row.what << "\n" << answer;
        std::vector<std::string> lines = m_lines(answer);
        ASSERT_EQ(lines.size(), row.answer_lines.size()) << row.what << "\n" << answer;
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i].substr(0, row.answer_lines[i].size()), row.answer_lines[i]) << row.what;
        if (row.method == "INVITE") {
            // The ACK; it carries the answer when the 200 carried our offer.
            bool offer_in_200 = row.m_part.empty() && row.status == 200;
            std::string ack_body = offer_in_200 ? "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\n"
                                                  "t=0 0\r\nm=audio " + std::to_string(moved.local_port()) +
                                                  " RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\n"
                                                : "";
            std::string ack = peer_request(peer, a, "ACK", cseq, ack_body);
            ack.replace(ack.find("To: "), ack.find("\r\n", ack.find("To: ")) - ack.find("To: "),
                        "To: " + header_of(answer, "To"));
            peer.send(ack, a.from);
        }
        EXPECT_EQ(next_rtp_pt(moved, row.rtp_pt < 0 ? 400 : 2000), row.rtp_pt) << row.what;
        EXPECT_FALSE(got(ph, SIPX_CALLSTATE_DISCONNECTED, a.call, 10)) << row.what << ": the call goes on";
        SIPX_CALL h = a.call;
        ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
        std::string bye;
        ASSERT_TRUE(peer.next("BYE", 2000, &bye)) << row.what;
        peer.reply(bye, a.from, 200);
    }
}

// ---- our re-INVITEs ------------------------------------------------------------------

// The callee's answers to our hold re-INVITE, one per INVITE it gets, and
// what the call does: held, refused (the call goes on as it was), or over.
TEST(OurReInvite, OutcomesOfAHold) {
    struct Row {
        const char *what;
        std::vector<int> answers;  // to each re-INVITE in turn
        int invites;               // re-INVITEs sent in all
        uint32_t outcome;          // HELD, HOLD_FAILED or DISCONNECTED
        int min_gap_ms;            // between re-INVITEs (a 491's wait)
    };
    const Row rows[] = {
        {"accepted", {200}, 1, SIPX_CALLSTATE_HELD, 0},
        {"481: the dialog is gone", {481}, 1, SIPX_CALLSTATE_DISCONNECTED, 0},
        {"408", {408}, 1, SIPX_CALLSTATE_DISCONNECTED, 0},
        {"488: nothing changes", {488}, 1, SIPX_CALLSTATE_HOLD_FAILED, 0},
        {"491 then accepted", {491, 200}, 2, SIPX_CALLSTATE_HELD, 2100},
        {"491 three times", {491, 491, 491}, 3, SIPX_CALLSTATE_HOLD_FAILED, 2100},
        {"challenged, then accepted", {407, 200}, 2, SIPX_CALLSTATE_HELD, 0},
        {"challenged for ever", {407, 407, 407, 407, 407}, 2, SIPX_CALLSTATE_HOLD_FAILED, 0},
    };
    for (const auto &row : rows) {
        RawPeer peer;
        Phone ph;
        Answered a;
        ASSERT_TRUE(answered_call(ph, peer, "sip:callee@127.0.0.1:" + std::to_string(peer.port()), peer.port() + 2, &a));
        ASSERT_EQ(sipxCallHold(a.call, 0), SIPX_RESULT_SUCCESS);  // inactive
        int sent = 0;
        std::string msg, last_invite;
        auto last_at = steady_clock::now();
        for (int answer : row.answers) {
            if (!peer.next("INVITE", 5000, &msg)) break;
            ++sent;
            auto now = steady_clock::now();
            if (sent > 1) {
                EXPECT_GE(duration_cast<milliseconds>(now - last_at).count(), row.min_gap_ms) << row.what;
            }
            last_at = now;
            last_invite = msg;
            EXPECT_NE(msg.find("a=inactive"), std::string::npos) << row.what << ": the hold asked for stays";
            std::string extra =
                answer == 407 ? "Proxy-Authenticate: Digest realm=\"korvani\", nonce=\"n" + std::to_string(sent) + "\"\r\n"
                              : "";
            peer.reply(msg, a.from, answer, extra, answer == 200 ? audio_sdp(peer.port() + 2, "a=recvonly\r\n") : "");
            if (answer >= 300) {
                EXPECT_TRUE(peer.next("ACK", 2000)) << row.what;
            } else {
                std::string ack;
                ASSERT_TRUE(peer.next("ACK", 2000, &ack)) << row.what;
                EXPECT_EQ(header_of(ack, "Proxy-Authorization"), header_of(msg, "Proxy-Authorization"))
                    << row.what << ": the ACK carries the INVITE's credentials";
            }
        }
        EXPECT_FALSE(peer.next("INVITE", 300)) << row.what;
        EXPECT_EQ(sent, row.invites) << row.what;
        EXPECT_TRUE(got(ph, row.outcome, a.call, 2000)) << row.what << ph.rec.dump();
        if (row.outcome != SIPX_CALLSTATE_HELD) {
            EXPECT_EQ(ph.rec.count(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_HELD, a.call), 0) << row.what;
        }
        SIPX_CALL h = a.call;
        ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
        ASSERT_TRUE(peer.next("BYE", 2000, &msg)) << row.what << ": ended with BYE";
        peer.reply(msg, a.from, 200);
    }
}

// ---- session timers ---------------------------------------------------------------------

// Session timers with an interval of a few seconds: who refreshes, what a
// missing refresh does, and a 422.
TEST(SessionTimer, RefreshesAndExpiry) {
    struct Row {
        const char *what;
        std::string first_answer;  // header lines of the answer (a 422 when it has Min-SE)
        std::string session_expires; // of the INVITE that is answered
        int refreshes;             // our re-INVITEs within 3.5 s
        bool peer_refreshes;       // the callee sends a re-INVITE every second
        bool ends;                 // BYE with SESSION_EXPIRED within 3.5 s
    };
    const Row rows[] = {
        {"we refresh", "Session-Expires: 2;refresher=uac\r\nRequire: timer\r\n", "2", 3, false, false},
        {"the peer refreshes", "Session-Expires: 3;refresher=uas\r\nRequire: timer\r\n", "2", 0, true, false},
        {"the peer forgets", "Session-Expires: 3;refresher=uas\r\nRequire: timer\r\n", "2", 0, false, true},
        {"no session timer", "", "2", 0, false, false},
        {"422 first", "Min-SE: 3\r\n", "3", 0, false, true},
    };
    for (const auto &row : rows) {
        RawPeer peer;
        Phone ph;
        SIPX_TIMER_SETTINGS t{};
        t.cbSize = sizeof t;
        t.sessionExpires = 2;
        t.minSessionExpires = 1;
        ASSERT_EQ(sipxConfigSetTimers(ph.inst, &t), SIPX_RESULT_SUCCESS);
        SIPX_LINE line = ph.add_line("8001", peer.port());
        SIPX_CALL call = place(ph, line, peer.port());
        std::string invite, msg;
        callctl::Endpoint from;
        ASSERT_TRUE(peer.next("INVITE", 3000, &invite, &from));
        EXPECT_NE(header_of(invite, "Supported").find("timer"), std::string::npos) << row.what;
        std::string extra = row.first_answer;
        if (extra.find("Min-SE") == 0) {
            peer.reply(invite, from, 422, extra);
            ASSERT_TRUE(peer.next("ACK", 2000)) << row.what;
            ASSERT_TRUE(peer.next("INVITE", 2000, &invite, &from)) << row.what;
            extra = "Session-Expires: 3;refresher=uas\r\n";
        }
        EXPECT_EQ(header_of(invite, "Session-Expires"), row.session_expires) << row.what;
        std::string contact = "Contact: <sip:callee@127.0.0.1:" + std::to_string(peer.port()) + ">\r\n";
        peer.reply(invite, from, 200, contact + extra, audio_sdp(peer.port() + 2));
        ASSERT_TRUE(got(ph, SIPX_CALLSTATE_CONNECTED, call, 2000)) << row.what;
        ASSERT_TRUE(peer.next("ACK", 2000, &msg));
        Answered a{call, invite, msg, from};
        std::string ours_o = invite.substr(invite.find("o="), invite.find("\r\n", invite.find("o=")) - invite.find("o="));
        int refreshes = 0;
        bool bye = false;
        auto t0 = steady_clock::now();
        int peer_refreshed = 0;
        while (steady_clock::now() - t0 < milliseconds(3500) && !bye) {
            if (row.peer_refreshes && steady_clock::now() - t0 > milliseconds(1000 * (peer_refreshed + 1))) {
                ++peer_refreshed;
                peer.send(peer_request(peer, a, "INVITE", 20 + peer_refreshed, audio_sdp(peer.port() + 2),
                                       "Supported: timer\r\nSession-Expires: 3;refresher=uac\r\n"),
                          from);
            }
            if (peer.next("INVITE", 50, &msg)) {
                ++refreshes;
                EXPECT_EQ(msg.substr(msg.find("o="), ours_o.size()), ours_o) << row.what << ": the same description";
                EXPECT_NE(header_of(msg, "Session-Expires").find("refresher=uac"), std::string::npos) << msg;
                peer.reply(msg, from, 200, extra, audio_sdp(peer.port() + 2));
            }
            if (peer.next("SIP/2.0 200", 0, &msg)) {
                EXPECT_EQ(header_of(msg, "Session-Expires"), "3;refresher=uac") << row.what;
                EXPECT_EQ(header_of(msg, "Require"), "timer") << row.what;
            }
            bye = peer.next("BYE", 0, &msg);
        }
        EXPECT_NEAR(refreshes, row.refreshes, row.refreshes ? 1 : 0) << row.what;
        EXPECT_EQ(bye, row.ends) << row.what;
        if (bye) {
            long at = long(duration_cast<milliseconds>(steady_clock::now() - t0).count());
            EXPECT_GT(at, 1600) << row.what << ": not before the interval less a third";
            EXPECT_EQ(ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, 100, call).cause,
                      SIPX_CAUSE_SESSION_EXPIRED);
            peer.reply(msg, from, 200);
        }
        SIPX_CALL h = call;
        ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
        if (!bye) {
            ASSERT_TRUE(peer.next("BYE", 2000, &msg)) << row.what;
            peer.reply(msg, from, 200);
        }
    }
}

// ---- redirects ------------------------------------------------------------------------------

// 3xx answers to the INVITE: Contacts tried best q first, none twice, at
// most three of them; a redirect to no SIP URI ends the call as before.
TEST(Redirect, ContactsAreTriedInQOrder) {
    struct Row {
        const char *what;
        std::vector<std::string> contacts;  // of the 302 to the first INVITE (users; "tel" a tel: URI)
        std::vector<std::string> tried;     // users of the INVITEs that follow, in order
        bool connects;                      // the last one tried answers 200 (the others 404)
    };
    const Row rows[] = {
        {"best q first", {"a;q=0.5", "b;q=0.9"}, {"b", "a"}, true},
        {"a loop back to the first target is not followed", {"00867551234567", "c"}, {"c"}, true},
        {"only a tel: URI", {"tel"}, {}, false},
        {"at most three", {"a;q=0.1", "b;q=0.2", "c;q=0.3", "d;q=0.4", "e;q=0.5"}, {"e", "d", "c"}, false},
    };
    for (const auto &row : rows) {
        RawPeer peer;
        Phone ph;
        SIPX_LINE line = ph.add_line("8001", peer.port());
        SIPX_CALL call = place(ph, line, peer.port());
        std::string p = std::to_string(peer.port()), invite, msg;
        callctl::Endpoint from;
        ASSERT_TRUE(peer.next("INVITE", 3000, &invite, &from));
        std::string contacts;
        for (const auto &c : row.contacts) {
            std::string user = c.substr(0, c.find(';'));
            std::string q = c.find(';') == std::string::npos ? "" : c.substr(c.find(';'));
            contacts += "Contact: " + (c == "tel" ? "<tel:+8675512345>" : "<sip:" + user + "@127.0.0.1:" + p + ">" + q) + "\r\n";
        }
        peer.reply(invite, from, 302, contacts);
        ASSERT_TRUE(peer.next("ACK", 2000));
        for (size_t i = 0; i < row.tried.size(); ++i) {
            ASSERT_TRUE(peer.next("INVITE", 2000, &msg, &from)) << row.what << " " << i;
            EXPECT_EQ(first_line(msg), "INVITE sip:" + row.tried[i] + "@127.0.0.1:" + p + " SIP/2.0") << row.what;
            EXPECT_EQ(header_of(msg, "Call-ID"), header_of(invite, "Call-ID")) << row.what;
            bool last = i + 1 == row.tried.size();
            if (last && row.connects) {
                peer.reply(msg, from, 200, "Contact: <sip:callee@127.0.0.1:" + p + ">\r\n", audio_sdp(peer.port() + 2));
            } else {
                peer.reply(msg, from, 404);
            }
            ASSERT_TRUE(peer.next("ACK", 2000)) << row.what;
        }
        EXPECT_FALSE(peer.next("INVITE", 300)) << row.what;
        EXPECT_EQ(got(ph, SIPX_CALLSTATE_CONNECTED, call, 500), row.connects) << row.what << ph.rec.dump();
        if (!row.connects) {
            Event d = ph.rec.wait_for(SIPX_EVENT_CATEGORY_CALLSTATE, SIPX_CALLSTATE_DISCONNECTED, 500, call);
            EXPECT_EQ(d.sip_status, row.tried.empty() ? 302u : 404u) << row.what;
        }
        SIPX_CALL h = call;
        ASSERT_EQ(sipxCallDestroy(&h), SIPX_RESULT_SUCCESS);
        if (row.connects) {
            ASSERT_TRUE(peer.next("BYE", 2000, &msg));
            peer.reply(msg, from, 200);
        }
    }
}
