// The multi-party window against a call server that never answers: how it opens from the
// phone window, its controls, the refused attempts, a call placed into the conference and
// hung up, the keys that must not close it, and the progress of a line's call as the
// library reports it from its own thread.
#include "MultiPartyFixture.h"
#include <ctime>
#include <thread>

using namespace phonetest;
using namespace partytest;

namespace {

const std::vector<std::string> kConferenceStart = {"ConferenceCreate()", "ConferenceHold(1)", "ConferenceUnhold()"};

// The library calls of closing: each line's call held and destroyed, then the conference.
std::vector<std::string> ClosingCalls()
{
    return {"CallHold(1)", "CallDestroy()", "CallHold(1)", "CallDestroy()", "CallHold(1)", "CallDestroy()",
            "ConferenceDestroy()"};
}

std::string Address(const std::string& number, int port)
{
    return "ConferenceAdd(\"sip:" + number + "@127.0.0.1:" + std::to_string(port) + "\",1,null,null,1,{20,1,1,1,0})";
}

class PartyWindow : public MultiPartyTest {
protected:
    // The phone window, registered as the library reports it, with nothing recorded yet.
    bool OpenRegistered()
    {
        if (!Open() || !Register())
            return false;
        desktop.Reset();
        sipx.Clear();
        return true;
    }
    // The library's thread reports a call state of a call.
    void CallEvent(SIPX_CALL hCall, uint32_t code) { LibraryEvent(SIPX_EVENT_CATEGORY_CALLSTATE, hCall, code); }
};

TEST_F(PartyWindow, OpensFromTheHiddenButtonOnlyWhenRegisteredAndIdle)
{
    ASSERT_TRUE(Open());
    EXPECT_FALSE(run.Visible(IDC_MULTI_PARTY)) << "button 1028 stays hidden";

    // Not registered: the warning box and nothing else.
    PressMultiParty();
    ASSERT_TRUE(run.WaitUntil([&] { return desktop.BoxesSeen().size() == 1; }));
    Flush();
    EXPECT_TRUE(IsWarning(desktop.BoxesSeen()[0]));
    EXPECT_TRUE(desktop.SoundsSeen().empty());
    EXPECT_TRUE(sipx.Matching("Conference").empty());
    run.Ui([&] { EXPECT_EQ(run.dial->m_pMultiParty, nullptr); });

    // Registered, but a call of the phone window is under way: nothing at all.
    ASSERT_TRUE(Register());
    desktop.Reset();
    run.Ui([&] { run.dial->m_bInCall = 1; });
    PressMultiParty();
    Flush();
    EXPECT_TRUE(desktop.SoundsSeen().empty());
    EXPECT_TRUE(desktop.BoxesSeen().empty());
    EXPECT_TRUE(sipx.Matching("Conference").empty());
    run.Ui([&] { EXPECT_EQ(run.dial->m_pMultiParty, nullptr); });

    // Registered and idle: the click sound, the window, a new conference held with
    // bridging and taken off hold again.
    run.Ui([&] { run.dial->m_bInCall = 0; });
    sipx.Clear();
    ASSERT_TRUE(OpenPartyWindow());
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{IDW_CLICK});
    EXPECT_EQ(wintest::Text(hParty), kPartyCaption);
    EXPECT_EQ(::GetWindow(hParty, GW_OWNER), run.h);
    EXPECT_FALSE(::IsWindowEnabled(run.h)) << "modal over the phone window";
    EXPECT_EQ(sipx.Texts(), kConferenceStart);
    SIPX_CONF firstConference = 0;
    run.Ui([&] { firstConference = run.dial->Session().m_hConf; });
    EXPECT_NE(firstConference, 0u);
    EXPECT_TRUE(ConferenceCalls().empty());
    for (int line = 1; line <= 3; ++line) {
        EXPECT_EQ(Status(line), "") << line;
        EXPECT_EQ(Busy(line), 0) << line;
        EXPECT_EQ(PartyCall(line), 0u) << line;
    }

    // Closed with its close box: the three (empty) lines and the conference are ended.
    sipx.Clear();
    ASSERT_TRUE(ClosePartyWindow());
    EXPECT_EQ(sipx.Texts(), ClosingCalls());
    run.Ui([&] {
        EXPECT_EQ(run.dial->Session().m_hConf, 0u);
        EXPECT_TRUE(::IsWindowEnabled(run.h));
    });

    // It opens again, with a conference of its own.
    sipx.Clear();
    ASSERT_TRUE(OpenPartyWindow());
    EXPECT_EQ(sipx.Texts(), kConferenceStart);
    run.Ui([&] {
        EXPECT_NE(run.dial->Session().m_hConf, 0u);
        EXPECT_NE(run.dial->Session().m_hConf, firstConference);
    });
}

TEST_F(PartyWindow, HasThreeLinesOfControlsWithTheirIdsPlacesAndNumberFont)
{
    ASSERT_TRUE(OpenRegistered());
    ASSERT_TRUE(OpenPartyWindow());
    run.Ui([&] {
        // Positions in dialog units, as the dialog template places them.
        struct Place { int id; const char* cls; RECT du; };
        const Place places[] = {
            {IDC_LINE1_NUMBER, "Edit", {35, 59, 113, 14}}, {IDC_LINE1_CALL, "Button", {153, 59, 34, 14}},
            {IDC_LINE1_HANGUP, "Button", {190, 59, 34, 14}}, {IDC_LINE1_STATUS, "Static", {227, 61, 61, 9}},
            {IDC_LINE2_NUMBER, "Edit", {35, 88, 113, 14}}, {IDC_LINE2_CALL, "Button", {153, 88, 34, 14}},
            {IDC_LINE2_HANGUP, "Button", {189, 88, 34, 14}}, {IDC_LINE2_STATUS, "Static", {227, 90, 61, 9}},
            {IDC_LINE3_NUMBER, "Edit", {36, 116, 113, 14}}, {IDC_LINE3_CALL, "Button", {153, 116, 34, 14}},
            {IDC_LINE3_HANGUP, "Button", {190, 116, 34, 14}}, {IDC_LINE3_STATUS, "Static", {227, 119, 61, 9}},
        };
        for (const Place& p : places) {
            HWND c = ::GetDlgItem(hParty, p.id);
            ASSERT_NE(c, nullptr) << p.id;
            char cls[32] = {0};
            ::GetClassNameA(c, cls, sizeof cls);
            EXPECT_STREQ(cls, p.cls) << p.id;
            EXPECT_TRUE(::IsWindowVisible(c)) << p.id;
            // Left, top, width and height, each mapped as the dialog manager maps it.
            RECT expected = p.du;
            ::MapDialogRect(hParty, &expected);
            RECT actual;
            ::GetWindowRect(c, &actual);
            ::MapWindowPoints(nullptr, hParty, reinterpret_cast<POINT*>(&actual), 2);
            EXPECT_EQ(actual.left, expected.left) << p.id;
            EXPECT_EQ(actual.top, expected.top) << p.id;
            EXPECT_EQ(actual.right - actual.left, expected.right) << p.id;
            EXPECT_EQ(actual.bottom - actual.top, expected.bottom) << p.id;
        }
        RECT client;
        ::GetClientRect(hParty, &client);
        RECT frame = {0, 0, 295, 178};
        ::MapDialogRect(hParty, &frame);
        EXPECT_EQ(client.right, frame.right);
        EXPECT_EQ(client.bottom, frame.bottom);

        for (const LineIds& ids : kLine) {
            HWND edit = ::GetDlgItem(hParty, ids.number);
            const LONG style = ::GetWindowLongA(edit, GWL_STYLE);
            EXPECT_TRUE(style & ES_AUTOHSCROLL) << ids.number;
            EXPECT_FALSE(style & ES_NUMBER) << "any character may be typed";
            EXPECT_TRUE((style & WS_BORDER) || (::GetWindowLongA(edit, GWL_EXSTYLE) & WS_EX_CLIENTEDGE));
            EXPECT_EQ(::SendMessageA(edit, EM_GETLIMITTEXT, 0, 0), 17);
            LOGFONTA font = {};
            HFONT hFont = reinterpret_cast<HFONT>(::SendMessageA(edit, WM_GETFONT, 0, 0));
            ASSERT_NE(hFont, nullptr);
            ASSERT_NE(::GetObjectA(hFont, sizeof font, &font), 0);
            EXPECT_STREQ(font.lfFaceName, "Arial");
            EXPECT_EQ(font.lfHeight, 16);
            EXPECT_EQ(font.lfWeight, FW_BOLD);
            EXPECT_FALSE(font.lfItalic || font.lfUnderline || font.lfStrikeOut);
            EXPECT_EQ((::GetWindowLongA(::GetDlgItem(hParty, ids.status), GWL_STYLE) & SS_TYPEMASK), SS_CENTER);
        }
        EXPECT_NE(::SendMessageA(hParty, WM_GETICON, ICON_BIG, 0), 0);
        EXPECT_NE(::SendMessageA(hParty, WM_GETICON, ICON_SMALL, 0), 0);
    });

    // Typed: 17 characters at most, and a hyphen and a space are taken like digits.
    HWND edit = ::GetDlgItem(hParty, IDC_LINE2_NUMBER);
    run.Ui([&] { ::SetFocus(edit); });
    for (char ch : std::string("0755-123 45678901234"))
        ::PostMessageA(edit, WM_CHAR, static_cast<unsigned char>(ch), 0);
    Flush();
    EXPECT_EQ(LineNumber(2), "0755-123 45678901");
    EXPECT_EQ(sipx.Texts(), kConferenceStart) << "typing calls nothing";
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{IDW_CLICK});
}

// Refusals: a row of inputs beside the text the line shows. Each refusal plays 151,
// reaches no library and leaves the line idle, ready for the next try.
TEST_F(PartyWindow, RefusedAttemptsShowTheirReasonAndLeaveTheLineIdle)
{
    ASSERT_TRUE(OpenRegistered());
    ASSERT_TRUE(OpenPartyWindow());
    struct Row { const char* balance; const char* number; const char* shown; };
    const Row rows[] = {
        {"0.09", "075512345678", "话费不足"},
        {"", "075512345678", "话费不足"},
        {"余额0", "075512345678", "话费不足"},       // not a number at its start
        {"-3.5", "075512345678", "话费不足"},
        {"0.09", "1391234", "话费不足"},             // the balance is checked first
        {"25.60", "07551234", "号码错误"},           // 8 digits
        {"25.60", "", "号码错误"},
        {"25.60", "0755-1234567", "号码错误"},
        {"25.60", "0755 1234567", "号码错误"},
        {"25.60", "0755123456a", "号码错误"},
        {"25.60", "电话075512", "号码错误"},         // 10 bytes, not digits
        {"25.60", "1391234567-", "号码错误"},        // digits are checked before the 0
        {"25.60", "13912345678", "手机前加0"},       // a mobile number without its 0
        {"25.60", "987654321", "手机前加0"},
        {"0.1abc", "13912345678", "手机前加0"},      // 0.1 is enough; the rest is ignored
    };
    int line = 0;
    for (const Row& row : rows) {
        line = line % 3 + 1;
        SCOPED_TRACE(std::string("balance \"") + row.balance + "\", number \"" + row.number + "\", line " +
                     std::to_string(line));
        SetBalance(row.balance);
        SetLineNumber(line, row.number);
        desktop.Reset();
        sipx.Clear();
        PressCall(line);
        EXPECT_EQ(Status(line), row.shown);
        EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{IDW_REFUSED});
        EXPECT_TRUE(sipx.Texts().empty());
        EXPECT_EQ(Busy(line), 0);
        EXPECT_EQ(PartyCall(line), 0u);
    }
    // The line that refused can be used at once; its text is replaced.
    SetBalance("0.1");
    SetLineNumber(3, "013912345678");
    sipx.Clear();
    PressCall(3);
    EXPECT_EQ(Status(3), "正在呼叫");
    EXPECT_EQ(sipx.Texts(), std::vector<std::string>{Address("013912345678", deadRegistrar.Port())});
}

TEST_F(PartyWindow, PlacesACallIntoTheConferenceAndHangsItUp)
{
    ASSERT_TRUE(OpenRegistered());
    ASSERT_TRUE(OpenPartyWindow());

    // A 12-digit number, a mobile number with its 0, at the lowest balance allowed.
    SetBalance("0.1");
    SetLineNumber(2, "013912345678");
    desktop.Reset();
    sipx.Clear();
    PressCall(2);
    EXPECT_EQ(Status(2), "正在呼叫");
    EXPECT_EQ(Busy(2), 1);
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{IDW_PARTY_CALL});
    EXPECT_EQ(sipx.Texts(), std::vector<std::string>{Address("013912345678", deadRegistrar.Port())});
    const SIPX_CALL call2 = PartyCall(2);
    EXPECT_NE(call2, 0u);
    EXPECT_EQ(PartyCall(1), 0u);
    EXPECT_EQ(ConferenceCalls(), std::vector<SIPX_CALL>{call2});

    // Pressing call again while it is calling does nothing.
    desktop.Reset();
    sipx.Clear();
    SetLineNumber(2, "075587654321");
    PressCall(2);
    EXPECT_EQ(Status(2), "正在呼叫");
    EXPECT_TRUE(desktop.SoundsSeen().empty());
    EXPECT_TRUE(sipx.Texts().empty());
    EXPECT_EQ(PartyCall(2), call2);

    // The shortest number taken: 9 digits beginning with 0, on another line.
    SetLineNumber(1, "075512345");
    PressCall(1);
    EXPECT_EQ(Status(1), "正在呼叫");
    EXPECT_EQ(sipx.Texts(), std::vector<std::string>{Address("075512345", deadRegistrar.Port())});
    EXPECT_EQ(ConferenceCalls().size(), 2u);

    // Hang-up: the line's call is held and destroyed, its text cleared, the line idle.
    desktop.Reset();
    sipx.Clear();
    PressHangUp(2);
    EXPECT_EQ(sipx.Texts(), (std::vector<std::string>{"CallHold(1)", "CallDestroy()"}));
    EXPECT_EQ(Status(2), "");
    EXPECT_EQ(Busy(2), 0);
    EXPECT_EQ(PartyCall(2), 0u);
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{IDW_HANGUP});
    EXPECT_EQ(ConferenceCalls(), std::vector<SIPX_CALL>{PartyCall(1)});
    EXPECT_EQ(Status(1), "正在呼叫") << "the other line goes on";

    // Hang-up of an idle line clears its text and sounds; the library refuses the empty handle.
    SetBalance("0.09");
    PressCall(3);
    ASSERT_EQ(Status(3), "话费不足");
    desktop.Reset();
    sipx.Clear();
    PressHangUp(3);
    EXPECT_EQ(Status(3), "");
    EXPECT_EQ(sipx.Texts(), (std::vector<std::string>{"CallHold(1)", "CallDestroy()"}));
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{IDW_HANGUP});
    EXPECT_EQ(PartyCall(3), 0u);
}

TEST_F(PartyWindow, EnterAndEscapeLeaveTheWindowOpenAndUnchanged)
{
    ASSERT_TRUE(OpenRegistered());
    ASSERT_TRUE(OpenPartyWindow());
    SetLineNumber(1, "075512345678");
    HWND edit = ::GetDlgItem(hParty, IDC_LINE1_NUMBER);
    run.Ui([&] {
        ::SetFocus(edit);
        ::SendMessageA(edit, EM_SETSEL, 12, 12);     // the caret after the number
    });
    desktop.Reset();
    sipx.Clear();
    // Key-downs only: the message loop's translation makes their characters, as for typing.
    wintest::Key(edit, VK_RETURN);
    wintest::Key(edit, VK_ESCAPE);
    Flush();
    EXPECT_TRUE(PartyWindowOpen());
    EXPECT_TRUE(::IsWindowVisible(hParty));
    EXPECT_EQ(LineNumber(1), "075512345678");
    EXPECT_EQ(Status(1), "");
    EXPECT_TRUE(sipx.Texts().empty()) << "Enter places no call here";
    EXPECT_TRUE(desktop.SoundsSeen().empty());
    // Other keys still reach the edit.
    wintest::Key(edit, VK_BACK);
    Flush();
    EXPECT_EQ(LineNumber(1), "07551234567");
    // The close box does close it.
    EXPECT_TRUE(ClosePartyWindow());
}

// What the library reports for a line's call, from its own thread, as the phone window's
// dispatch hands it to the line whose call it is.
TEST_F(PartyWindow, ProgressOfALinesCallFromTheLibraryThread)
{
    ASSERT_TRUE(OpenRegistered());
    ASSERT_TRUE(OpenPartyWindow());
    SetLineNumber(1, "075512345678");
    SetLineNumber(3, "02112345678");
    PressCall(1);
    PressCall(3);
    const SIPX_CALL call1 = PartyCall(1), call3 = PartyCall(3);
    ASSERT_NE(call1, 0u);
    ASSERT_NE(call3, 0u);
    desktop.Reset();

    CallEvent(call1, SIPX_CALLSTATE_REMOTE_ALERTING);
    EXPECT_TRUE(WaitForStatus(1, "正在震铃"));
    EXPECT_EQ(Status(3), "正在呼叫");

    // Other calls and other codes change nothing.
    CallEvent(call1 + call3 + 1000, SIPX_CALLSTATE_CONNECTED);
    CallEvent(0, SIPX_CALLSTATE_DISCONNECTED);
    CallEvent(call1, SIPX_CALLSTATE_DESTROYED);
    CallEvent(call3, 2000);
    LibraryEvent(SIPX_EVENT_CATEGORY_LINESTATE, call1, SIPX_CALLSTATE_CONNECTED);
    Flush();
    EXPECT_EQ(Status(1), "正在震铃");
    EXPECT_EQ(Status(2), "");
    EXPECT_EQ(Status(3), "正在呼叫");
    EXPECT_TRUE(desktop.SoundsSeen().empty());

    // Connected: "开始通话" until the first tick of its clock, then the call's length.
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    CallEvent(call1, SIPX_CALLSTATE_CONNECTED);
    EXPECT_TRUE(WaitForStatus(1, "开始通话", 900));
    run.Ui([&] {
        EXPECT_GE(party->m_tStart[0], before);
        EXPECT_LE(party->m_tStart[0], static_cast<int64_t>(std::time(nullptr)));
        EXPECT_EQ(party->m_tStart[2], 0);
    });
    EXPECT_TRUE(WaitForStatus(1, "00:00:01", 2500)) << Status(1);
    EXPECT_TRUE(WaitForStatus(1, "00:00:02", 2500)) << Status(1);
    EXPECT_EQ(Busy(1), 1);
    EXPECT_EQ(Status(3), "正在呼叫");
    // Hours within the day: a day and 65 seconds show as 00:01:05 (or the next second
    // by the time the clock ticks); the last minute of a day as 23:59:5x.
    auto shows = [&](const std::string& prefix) {
        return run.WaitUntil([&] { return wintest::Text(hParty, IDC_LINE1_STATUS).compare(0, prefix.size(), prefix) == 0; },
                             1500);
    };
    run.Ui([&] { party->m_tStart[0] = static_cast<int64_t>(std::time(nullptr)) - 86400 - 65; });
    EXPECT_TRUE(shows("00:01:0")) << Status(1);
    run.Ui([&] { party->m_tStart[0] = static_cast<int64_t>(std::time(nullptr)) - 23 * 3600 - 59 * 60 - 50; });
    EXPECT_TRUE(shows("23:59:5")) << Status(1);

    // Line 3 connects too: two clocks at once.
    CallEvent(call3, SIPX_CALLSTATE_CONNECTED);
    EXPECT_TRUE(WaitForStatus(3, "00:00:01", 2500)) << Status(3);

    // Ended by the network: sound 153, "通话结束", the clock stopped, the line idle; the
    // ended call stays the line's until it is released.
    desktop.Reset();
    CallEvent(call1, SIPX_CALLSTATE_DISCONNECTED);
    EXPECT_TRUE(WaitForStatus(1, "通话结束"));
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{IDW_NETWORK_END});
    EXPECT_EQ(Busy(1), 0);
    EXPECT_EQ(PartyCall(1), call1);
    Settle(1300);
    EXPECT_EQ(Status(1), "通话结束") << "the clock stopped";
    EXPECT_NE(Status(3).find("00:00:0"), std::string::npos) << Status(3) << ": the other clock goes on";

    // The ended line takes a new call; the ended one is released first.
    sipx.Clear();
    SetLineNumber(1, "075587654321");
    PressCall(1);
    EXPECT_EQ(Status(1), "正在呼叫");
    EXPECT_EQ(sipx.Texts(), (std::vector<std::string>{"CallDestroy()", Address("075587654321", deadRegistrar.Port())}));
    EXPECT_NE(PartyCall(1), 0u);
    EXPECT_NE(PartyCall(1), call1);
    // A late report for the released call reaches no line.
    CallEvent(call1, SIPX_CALLSTATE_CONNECTED);
    Flush();
    EXPECT_EQ(Status(1), "正在呼叫");
}

// Once the window has closed, reports for its former calls reach nothing.
TEST_F(PartyWindow, ReportsAfterClosingReachNoLine)
{
    ASSERT_TRUE(OpenRegistered());
    ASSERT_TRUE(OpenPartyWindow());
    SetLineNumber(2, "075512345678");
    PressCall(2);
    const SIPX_CALL call2 = PartyCall(2);
    ASSERT_NE(call2, 0u);
    ASSERT_TRUE(ClosePartyWindow());
    EXPECT_EQ(PartyCall(2), 0u);
    desktop.Reset();
    CallEvent(call2, SIPX_CALLSTATE_DISCONNECTED);
    CallEvent(call2, SIPX_CALLSTATE_CONNECTED);
    Flush();
    EXPECT_TRUE(desktop.SoundsSeen().empty());
    run.Ui([&] { EXPECT_EQ(run.dial->m_pMultiParty, nullptr); });
}

}  // namespace
