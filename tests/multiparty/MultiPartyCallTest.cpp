// Calls of the multi-party window against sipp as the call server: three lines connected
// at once with their clocks, a line ended by the far side and called again, closing with
// connected lines, and the conference's audio as each party hears it.
#include "PartyAudio.h"
#include "MultiPartyFixture.h"
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace phonetest;
using namespace partytest;

namespace {

class PartyCalls : public MultiPartyTest {
protected:
    // The phone window registered with the sipp call server, the multi-party window open.
    bool OpenWithServer(SippPeer& server, bool skinned = false)
    {
        if (!Open(server.Port(), [&](TestDial&) {
                if (skinned)
                    LoadSkin();
            }))
            return false;
        if (!run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == kRegisteredText; }, 8000))
            return false;
        if (!OpenPartyWindow())
            return false;
        desktop.Reset();
        sipx.Clear();
        return true;
    }
    // Ends the phone window after the multi-party window; the call server's verdict.
    int CloseAll(SippPeer& server)
    {
        EXPECT_TRUE(ClosePartyWindow());
        EXPECT_EQ(run.Close(), IDCANCEL);
        return server.Wait(15000);
    }
    // Waits until the line's clock shows at least `seconds`.
    bool WaitForClock(int line, int seconds, DWORD timeoutMs = 4000) const
    {
        return run.WaitUntil([&] {
            const std::string t = wintest::Text(hParty, kLine[line - 1].status);
            return t.size() == 8 && t[2] == ':' && t[5] == ':' &&
                   std::atoi(t.substr(0, 2).c_str()) * 3600 + std::atoi(t.substr(3, 2).c_str()) * 60 +
                           std::atoi(t.substr(6, 2).c_str()) >= seconds;
        }, timeoutMs);
    }
    // The status texts a line went through while `done` turned true.
    std::vector<std::string> Watch(int line, const std::function<bool()>& done, DWORD timeoutMs) const
    {
        std::vector<std::string> seen;
        run.WaitUntil([&] {
            const std::string t = wintest::Text(hParty, kLine[line - 1].status);
            if (seen.empty() || seen.back() != t)
                seen.push_back(t);
            return done();
        }, timeoutMs);
        return seen;
    }
};

TEST_F(PartyCalls, ThreeLinesConnectAtOnceWithTheirClocksAndClosingEndsThemAll)
{
    SippPeer server;
    ASSERT_TRUE(server.Start("party_calls.xml", 4));
    ASSERT_TRUE(OpenWithServer(server)) << run.Text(IDC_STATUS) << server.Log();
    const std::string numbers[3] = {"075512345678", "013912345678", "02187654321"};
    for (int line = 1; line <= 3; ++line) {
        SetLineNumber(line, numbers[line - 1]);
        PressCall(line);
        EXPECT_EQ(Status(line), "正在呼叫");
    }
    EXPECT_EQ(desktop.SoundsSeen(), (std::vector<int>{IDW_PARTY_CALL, IDW_PARTY_CALL, IDW_PARTY_CALL}));
    const std::string domain = "127.0.0.1:" + std::to_string(server.Port());
    EXPECT_EQ(sipx.Texts(), (std::vector<std::string>{
        "ConferenceAdd(\"sip:075512345678@" + domain + "\",1,null,null,1,{20,1,1,1,0})",
        "ConferenceAdd(\"sip:013912345678@" + domain + "\",1,null,null,1,{20,1,1,1,0})",
        "ConferenceAdd(\"sip:02187654321@" + domain + "\",1,null,null,1,{20,1,1,1,0})"}));

    // Line 1 rings, is answered and counts; the other two follow it.
    std::vector<std::string> seen = Watch(1, [&] { return wintest::Text(hParty, IDC_LINE1_STATUS) == "00:00:01"; }, 5000);
    // The calling text may be gone before the watch starts; the first tick may show 00:00:00.
    if (!seen.empty() && seen.front() == "正在呼叫")
        seen.erase(seen.begin());
    seen.erase(std::remove(seen.begin(), seen.end(), std::string("00:00:00")), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"正在震铃", "开始通话", "00:00:01"})) << server.Log();
    for (int line = 1; line <= 3; ++line)
        EXPECT_TRUE(WaitForClock(line, 1)) << line << ": " << Status(line) << server.Log();
    for (int line = 1; line <= 3; ++line) {
        EXPECT_EQ(Busy(line), 1) << line;
        EXPECT_NE(PartyCall(line), 0u) << line;
    }
    std::vector<SIPX_CALL> joined = ConferenceCalls();
    std::sort(joined.begin(), joined.end());
    std::vector<SIPX_CALL> lines = {PartyCall(1), PartyCall(2), PartyCall(3)};
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(joined, lines) << "every line's call is in the window's conference";
    EXPECT_TRUE(WaitForClock(1, 2));
    EXPECT_EQ(desktop.SoundsSeen(), (std::vector<int>{IDW_PARTY_CALL, IDW_PARTY_CALL, IDW_PARTY_CALL}))
        << "no call ended";

    // Closing holds and ends the three calls: sipp sees a hold and a BYE for each.
    sipx.Clear();
    ASSERT_TRUE(ClosePartyWindow());
    EXPECT_EQ(sipx.Texts(), (std::vector<std::string>{"CallHold(1)", "CallDestroy()", "CallHold(1)", "CallDestroy()",
                                                       "CallHold(1)", "CallDestroy()", "ConferenceDestroy()"}));
    for (int line = 1; line <= 3; ++line)
        EXPECT_EQ(PartyCall(line), 0u) << line;
    EXPECT_EQ(run.Close(), IDCANCEL);
    EXPECT_EQ(server.Wait(15000), 0) << server.Log();
}

TEST_F(PartyCalls, ALineEndedByTheFarSideTakesANewCall)
{
    SippPeer server;
    ASSERT_TRUE(server.Start("party_calls.xml", 4));
    ASSERT_TRUE(OpenWithServer(server, true)) << run.Text(IDC_STATUS) << server.Log();
    // A number ending in 9: sipp hangs up 3 s after answering, so its clock is seen running.
    SetLineNumber(1, "075512345679");
    SetLineNumber(2, "075587654321");
    PressCall(1);
    PressCall(2);
    ASSERT_TRUE(WaitForClock(1, 1)) << Status(1) << server.Log();
    ASSERT_TRUE(WaitForClock(2, 1)) << Status(2) << server.Log();
    desktop.Reset();

    EXPECT_TRUE(WaitForStatus(1, "通话结束", 5000)) << Status(1) << server.Log();
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{IDW_NETWORK_END});
    EXPECT_EQ(Busy(1), 0);
    EXPECT_TRUE(WaitForClock(2, 2)) << "line 2 goes on: " << Status(2);
    // Line 3 refused, for the picture of the lines in their different states.
    SetLineNumber(3, "13912345678");
    PressCall(3);
    EXPECT_EQ(Status(3), "手机前加0");
    EXPECT_TRUE(Picture("multiparty-lines"));

    // Line 1 calls again: the ended call is released and the new one answered.
    const SIPX_CALL ended = PartyCall(1);
    sipx.Clear();
    SetLineNumber(1, "075512345678");
    PressCall(1);
    EXPECT_EQ(Status(1), "正在呼叫");
    EXPECT_EQ(sipx.Matching("CallDestroy").size(), 1u);
    EXPECT_NE(PartyCall(1), ended);
    EXPECT_TRUE(WaitForClock(1, 1)) << Status(1) << server.Log();
    EXPECT_EQ(ConferenceCalls().size(), 2u);
    EXPECT_TRUE(Picture("multiparty-redialled"));

    EXPECT_EQ(CloseAll(server), 0) << server.Log();
    SkinExit();
}

// Each party hears the other two and the subscriber, but not itself: the parties' audio
// is played and listened to here, one tone per party.
TEST_F(PartyCalls, EachPartyHearsTheOthers)
{
    ASSERT_NE(std::getenv("QUILLON_TESTBED"), nullptr) << "run inside scripts/testbed";
    SippPeer server;
    ASSERT_TRUE(server.Start("party_audio.xml", 4));
    ASSERT_TRUE(OpenWithServer(server)) << run.Text(IDC_STATUS) << server.Log();
    const double tones[3] = {450, 1050, 1650};
    std::unique_ptr<ToneParty> parties[3];
    for (int i = 0; i < 3; ++i) {
        parties[i].reset(new ToneParty(tones[i]));
        ASSERT_NE(parties[i]->Port(), 0);
        // The number names the party's media port to the call server.
        char number[16];
        std::snprintf(number, sizeof number, "0%08d", parties[i]->Port());
        SetLineNumber(i + 1, number);
        PressCall(i + 1);
    }
    for (int line = 1; line <= 3; ++line)
        ASSERT_TRUE(WaitForClock(line, 1)) << line << ": " << Status(line) << server.Log();

    // Let the jitter buffers settle, then listen for a second and a half.
    Settle(700);
    for (auto& p : parties)
        p->Clear();
    Settle(1500);
    for (int i = 0; i < 3; ++i) {
        const std::vector<int16_t> heard = parties[i]->Heard();
        const double own = tones[i], other1 = tones[(i + 1) % 3], other2 = tones[(i + 2) % 3];
        int mixed = 0, windows = 0;
        for (size_t at = 0; at + 800 <= heard.size(); at += 800, ++windows)
            if (ToneShare(&heard[at], 800, other1) > 0.2 && ToneShare(&heard[at], 800, other2) > 0.2 &&
                ToneShare(&heard[at], 800, own) < 0.02)
                ++mixed;
        EXPECT_GE(windows, 12) << "party " << i + 1 << " got " << parties[i]->PacketsHeard() << " packets";
        EXPECT_GE(mixed, windows - 3) << "party " << i + 1 << " hears parties " << (i + 1) % 3 + 1 << " and "
                                      << (i + 2) % 3 + 1 << ", not itself (" << mixed << " of " << windows
                                      << " windows); it sent " << parties[i]->PacketsSent() << " packets";
    }
    EXPECT_EQ(CloseAll(server), 0) << server.Log();
}

}  // namespace
