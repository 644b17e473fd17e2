// Placing and ending calls from the phone window: the number checks as the user sees
// them, the history in Call.xml and the number box, the call request to the library, the
// request URI a call server receives, hanging up, and Enter.
#include <algorithm>
#include "CallsFixture.h"

using namespace phonetest;
using apptest::ReadBytes;
using apptest::WriteBytes;

namespace {

const char kCallXml[] = "<top>\r\n<audio a11=\"1\" a22=\"0\" a33=\"1\"/>\r\n</top>\r\n";

std::string CallEntry(const std::string& number, const std::string& account)
{
    return "<Call dallnum=\"" + number + "\" userr=\"" + account + "\" lx=\"a\"/>";
}

using PlaceCall = CallsTest;

TEST_F(PlaceCall, RefusedNumbersShowWhyPlay151AndAskNothingOfTheLibrary)
{
    WriteBytes("Call.xml", kCallXml);
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    struct Row {
        const char* number;
        const char* balance;
        const char* status;
    };
    const Row rows[] = {
        {"", "25.60", "请输入对方电话号码"},
        {"012", "25.60", "对方电话号码不正确"},
        {"13812345678", "25.60", "手机请在号码前加0"},
        {"0755-1234567", "25.60", "对方电话号码错误"},
        {"07551234567", "1.49", "话费余额不足.请充值"},
        {"07551234567", "余额", "话费余额不足.请充值"},
    };
    for (const Row& r : rows) {
        SetBalance(r.balance);
        run.Ui([&] { ::SetDlgItemTextA(run.h, IDC_CLOCK, "00:01:02"); });
        desktop.Reset();
        sipx.Clear();
        Dial(r.number);
        EXPECT_EQ(Status(), r.status) << r.number;
        EXPECT_EQ(Clock(), "") << r.number;
        EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{151}) << r.number;
        EXPECT_TRUE(sipx.Texts().empty()) << r.number << ": " << sipx.Texts().front();
        EXPECT_EQ(InCall(), 0) << r.number;
        EXPECT_EQ(Number(), r.number);
    }
    EXPECT_EQ(ReadBytes("Call.xml"), kCallXml);
    EXPECT_TRUE(List().empty());
    EXPECT_TRUE(desktop.BoxesSeen().empty());

    // 1.5 is enough.
    SetBalance("1.5");
    desktop.Reset();
    sipx.Clear();
    Dial("07551234567");
    EXPECT_EQ(Status(), "正在呼叫:07551234567");
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{164});
    EXPECT_EQ(sipx.Matching("CallCreate").size(), 1u);
}

TEST_F(PlaceCall, CallIsRecordedInTheHistoryThenRequestedWithTheDevicesAndTheInternationalNumber)
{
    WriteBytes("Call.xml", kCallXml);
    ASSERT_TRUE(Open(0, [](TestDial& d) {
        d.Session().m_strInputDevice = "Line In (USB)";
        d.Session().m_strOutputDevice = "耳机";
    }));
    ASSERT_TRUE(Register());
    const std::string domain = OnUi<std::string>([&] { return run.dial->Session().m_strSipDomain; });
    desktop.Reset();
    sipx.Clear();

    Dial("07551234567");
    EXPECT_EQ(Status(), "正在呼叫:07551234567");
    EXPECT_EQ(sipx.Texts(), (std::vector<std::string>{
                                "AudioSetInputDevice(\"Line In (USB)\",0)", "AudioSetOutputDevice(\"耳机\",0)",
                                "CallCreate()",
                                "CallConnect(\"sip:00867551234567@" + domain + "\",0,null,1,{20,1,1,1,0},null)"}));
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{164});
    EXPECT_EQ(ReadBytes("Call.xml"), "<top>\r\n" + CallEntry("07551234567", "10001") + "\r\n" +
                                         "<audio a11=\"1\" a22=\"0\" a33=\"1\"/>\r\n</top>\r\n");
    EXPECT_EQ(List(), std::vector<std::string>{"07551234567"});
    run.Ui([&] {
        EXPECT_EQ(run.dial->m_bInCall, 1);
        EXPECT_EQ(run.dial->m_strNumber, "00867551234567");
        EXPECT_NE(run.dial->Session().m_hCall, 0u);
    });

    // Enter and the call button during the call do nothing.
    desktop.Reset();
    sipx.Clear();
    run.Ui([&] { ::SetFocus(NumberEdit()); });
    SetNumber("02088886666");
    Type(VK_RETURN);
    Press(IDC_CALL);
    EXPECT_TRUE(sipx.Texts().empty());
    EXPECT_TRUE(desktop.SoundsSeen().empty());
    EXPECT_EQ(Status(), "正在呼叫:07551234567");
    EXPECT_EQ(List(), std::vector<std::string>{"07551234567"});

    // Hanging up stops the recording while the call still has its handle, then holds and
    // releases the call, and clears the lines and the number box.
    run.Ui([&] {
        ::ShowWindow(::GetDlgItem(run.h, IDC_SOUND_QUALITY), SW_SHOW);
        ::SetDlgItemTextA(run.h, IDC_CLOCK, "00:00:07");
    });
    Press(IDC_HANGUP);
    EXPECT_EQ(sipx.Texts(), (std::vector<std::string>{"CallAudioRecordFileStop()", "CallHold(1)", "CallDestroy()"}));
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{145});
    EXPECT_EQ(Status(), "");
    EXPECT_EQ(Clock(), "");
    EXPECT_EQ(Number(), "");
    EXPECT_FALSE(run.Visible(IDC_SOUND_QUALITY));
    run.Ui([&] {
        EXPECT_EQ(run.dial->m_bInCall, 0);
        EXPECT_EQ(run.dial->Session().m_hCall, 0u);
    });

    // Enter while idle places the call typed, as the call button does.
    desktop.Reset();
    sipx.Clear();
    SetNumber("0012345678");
    Type(VK_RETURN);
    EXPECT_EQ(Status(), "正在呼叫:0012345678");
    EXPECT_EQ(sipx.Matching("CallConnect"),
              std::vector<std::string>{"CallConnect(\"sip:0012345678@" + domain + "\",0,null,1,{20,1,1,1,0},null)"});
    EXPECT_EQ(List(), (std::vector<std::string>{"0012345678", "07551234567"}));
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

TEST_F(PlaceCall, HangUpWhileIdleDoesTheSameAndAsksForTheBalanceFourSecondsLater)
{
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    desktop.Reset();
    sipx.Clear();
    Press(IDC_HANGUP);
    const DWORD pressed = ::GetTickCount();
    EXPECT_EQ(sipx.Texts(), (std::vector<std::string>{"CallAudioRecordFileStop()", "CallHold(1)", "CallDestroy()"}));
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{145});
    EXPECT_TRUE(run.WaitUntil([&] { return run.dial->balanceQueries == 1; }, 5000));
    EXPECT_GE(run.dial->lastBalanceQueryTick - pressed, 3900u);
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

// A registration that lapses during a call does not keep the subscriber in it: the
// hang-up button ends the call as always, without the warning. Once no call is up, the
// button shows the warning and does nothing else, as every gated button does.
TEST_F(PlaceCall, HangUpEndsTheCallWhileTheRegistrationHasLapsedAndOnlyWarnsWhenIdle)
{
    ASSERT_TRUE(Open());
    struct Row {
        const char* name;
        bool dialled;
        bool answered;
    };
    const Row rows[] = {
        {"calling", true, false},
        {"answered", true, true},
        {"idle", false, false},
    };
    for (const Row& r : rows) {
        ASSERT_TRUE(Register()) << r.name;
        if (r.dialled)
            Dial("07551234567");
        if (r.answered) {
            run.Ui([&] { ::SendMessageA(run.h, CDial::WM_CALL_CONNECTED, 0, 0); });
            ASSERT_TRUE(run.WaitUntil([&] { return !wintest::Text(run.h, IDC_CLOCK).empty(); })) << r.name;
        }
        EXPECT_EQ(InCall(), r.dialled ? 1 : 0) << r.name;
        LineEvent(SIPX_LINESTATE_REGISTER_FAILED);
        ASSERT_TRUE(run.WaitUntil([&] { return run.dial->m_bRegistered == 0; })) << r.name;
        desktop.Reset();
        sipx.Clear();
        const int queries = run.dial->balanceQueries;

        Press(IDC_HANGUP);
        if (r.dialled) {
            EXPECT_EQ(sipx.Texts(),
                      (std::vector<std::string>{"CallAudioRecordFileStop()", "CallHold(1)", "CallDestroy()"}))
                << r.name;
            EXPECT_TRUE(desktop.BoxesSeen().empty()) << r.name;
            EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{145}) << r.name;
            EXPECT_EQ(InCall(), 0) << r.name;
            run.Ui([&] { EXPECT_EQ(run.dial->Session().m_hCall, 0u) << r.name; });
            EXPECT_EQ(Status(), "") << r.name;
            EXPECT_EQ(Number(), "") << r.name;
            // The balance is asked for as after any call, and the call clock has stopped.
            EXPECT_TRUE(run.WaitUntil([&] { return run.dial->balanceQueries == queries + 1; }, 6000)) << r.name;
            EXPECT_EQ(Clock(), "") << r.name;
            // The call is over: the button is gated again.
            desktop.Reset();
            sipx.Clear();
            Press(IDC_HANGUP);
        }
        const auto boxes = desktop.BoxesSeen();
        ASSERT_EQ(boxes.size(), 1u) << r.name;
        EXPECT_TRUE(IsWarning(boxes[0])) << r.name;
        EXPECT_TRUE(sipx.Texts().empty()) << r.name;
        EXPECT_TRUE(desktop.SoundsSeen().empty()) << r.name;
    }
}

// A request the library turns down gets no events: the call ends at once as one the
// network ended, and the refused call is released.
TEST_F(PlaceCall, ACallTheLibraryRefusesIsShownAsEndedAndReleased)
{
    WriteBytes("Call.xml", kCallXml);
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    for (const char* refused : {"CallCreate", "CallConnect"}) {
        sipx.failing = {refused};
        desktop.Reset();
        sipx.Clear();
        const int queries = run.dial->balanceQueries;
        Dial("07551234567");
        EXPECT_EQ(Status(), "通话已经结束") << refused;
        EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{153}) << refused;
        EXPECT_EQ(InCall(), 0) << refused;
        run.Ui([&] { EXPECT_EQ(run.dial->Session().m_hCall, 0u) << refused; });
        const auto texts = sipx.Texts();
        const bool created = std::string(refused) != "CallCreate";
        EXPECT_EQ(std::count(texts.begin(), texts.end(), "CallDestroy()"), created ? 1 : 0) << refused;
        EXPECT_EQ(sipx.Matching("CallConnect").size(), created ? 1u : 0u) << refused;
        EXPECT_TRUE(run.WaitUntil([&] { return run.dial->balanceQueries == queries + 1; }, 6000)) << refused;
        EXPECT_EQ(List(), std::vector<std::string>(1 + (created ? 1 : 0), "07551234567")) << refused;
    }
    // The window is idle again: the next call goes out.
    sipx.failing.clear();
    desktop.Reset();
    Dial("02088886666");
    EXPECT_EQ(Status(), "正在呼叫:02088886666");
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{164});
    EXPECT_EQ(InCall(), 1);
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

TEST_F(PlaceCall, HistoryListsTheAccountsTwentyNewestAndClearingRemovesEveryAccountsEntries)
{
    // 25 numbers of this account, each followed by one of another account, oldest last.
    std::string file = "<top>\r\n";
    for (int i = 25; i >= 1; --i) {
        file += CallEntry("0755000" + std::to_string(1000 + i), "10001") + "\r\n";
        file += CallEntry("0208888" + std::to_string(1000 + i), "10002") + "\r\n";
    }
    file += "<audio a11=\"0\" a22=\"1\" a33=\"0\"/>\r\n</top>\r\n";
    WriteBytes("Call.xml", file);
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    std::vector<std::string> expected;
    for (int i = 25; i >= 6; --i)
        expected.push_back("0755000" + std::to_string(1000 + i));
    EXPECT_EQ(List(), expected);

    // Each call goes on top, repeats included; the list stays at 20.
    for (int call = 0; call < 2; ++call) {
        Dial("07551234567");
        EXPECT_EQ(Status(), "正在呼叫:07551234567");
        Press(IDC_HANGUP);
        expected.insert(expected.begin(), "07551234567");
        expected.pop_back();
        EXPECT_EQ(List(), expected) << call;
    }
    // The file keeps everything, newest first.
    const std::string now = ReadBytes("Call.xml");
    const std::string head = "<top>\r\n" + CallEntry("07551234567", "10001") + "\r\n" +
                             CallEntry("07551234567", "10001") + "\r\n" + CallEntry("07550001025", "10001") + "\r\n";
    EXPECT_EQ(now.substr(0, head.size()), head);
    EXPECT_EQ(now.size(), file.size() + 2 * (CallEntry("07551234567", "10001").size() + 2));

    desktop.Reset();
    Press(IDC_CLEAR_HISTORY);
    EXPECT_EQ(ReadBytes("Call.xml"), "<top>\r\n<audio a11=\"0\" a22=\"1\" a33=\"0\"/>\r\n</top>\r\n");
    EXPECT_TRUE(List().empty());
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{148});
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

TEST_F(PlaceCall, AnotherAccountSeesOnlyItsOwnNumbersAndAMissingFileStillLetsTheCallGo)
{
    WriteBytes("Call.xml", "<top>\r\n" + CallEntry("07551111111", "10001") + "\r\n" +
                               CallEntry("02022222222", "20002") + "\r\n</top>\r\n");
    ASSERT_TRUE(Open(0, [](TestDial& d) { d.m_strAccount = "20002"; }));
    ASSERT_TRUE(Register());
    EXPECT_EQ(List(), std::vector<std::string>{"02022222222"});
    Dial("03133333333");
    Press(IDC_HANGUP);
    EXPECT_EQ(List(), (std::vector<std::string>{"03133333333", "02022222222"}));
    EXPECT_EQ(ReadBytes("Call.xml"), "<top>\r\n" + CallEntry("03133333333", "20002") + "\r\n" +
                                         CallEntry("07551111111", "10001") + "\r\n" +
                                         CallEntry("02022222222", "20002") + "\r\n</top>\r\n");

    // Without Call.xml the call still goes out; no file is made.
    ASSERT_TRUE(::DeleteFileA("Call.xml"));
    sipx.Clear();
    Dial("03144444444");
    EXPECT_EQ(Status(), "正在呼叫:03144444444");
    EXPECT_EQ(sipx.Matching("CallCreate").size(), 1u);
    EXPECT_TRUE(List().empty());
    EXPECT_FALSE(apptest::Exists("Call.xml"));
}

// A call server that logs each INVITE's request URI: the numbers as they leave the phone.
TEST_F(PlaceCall, CallServerReceivesNationalNumbersWith0086AndOthersAsTyped)
{
    struct Row {
        const char* typed;
        const char* balance;
        const char* userPart;
        bool callingSound;
    };
    const Row rows[] = {
        {"07551234567", "25.60", "00867551234567", true},
        {"0012345678", "25.60", "0012345678", true},
        {"80000", "0", "80000", false},
        {"80006", "0", "80006", false},
    };
    const int calls = static_cast<int>(sizeof rows / sizeof rows[0]);
    const std::string log = UnixProgramFolder() + "/uris-" + std::to_string(::GetCurrentProcessId()) + ".log";
    ::DeleteFileA(LocalPath(log).c_str());
    SippPeer server;
    ASSERT_TRUE(server.Start("call_hung_up.xml", calls + 1, std::string(), "-trace_logs -log_file " + log));
    ASSERT_TRUE(Open(server.Port()));
    ASSERT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == kRegisteredText; }, 8000))
        << Status() << server.Log();

    std::string expected;
    for (const Row& r : rows) {
        SetBalance(r.balance);
        desktop.Reset();
        // The status is read in the same step as the press: a quick call server's ringing
        // may replace it by the next one.
        SetNumber(r.typed);
        std::string calling;
        run.Ui([&] {
            wintest::Command(run.h, IDC_CALL);
            calling = wintest::Text(run.h, IDC_STATUS);
        });
        EXPECT_EQ(calling, std::string("正在呼叫:") + r.typed);
        EXPECT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == "对方正在震铃"; }, 5000))
            << r.typed << " " << Status() << server.Log();
        EXPECT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == "呼叫成功,开始通话"; }, 5000))
            << r.typed << " " << Status() << server.Log();
        EXPECT_EQ(desktop.SoundsSeen(), r.callingSound ? std::vector<int>{164} : std::vector<int>{}) << r.typed;
        Press(IDC_HANGUP);
        Settle(300);
        expected += std::string("uri sip:") + r.userPart + "@127.0.0.1:" + std::to_string(server.Port()) + "\n";
    }
    EXPECT_EQ(run.Close(), IDCANCEL);
    EXPECT_EQ(server.Wait(15000), 0) << server.Log();
    EXPECT_EQ(ReadUnixText(log), expected);
    EXPECT_TRUE(desktop.BoxesSeen().empty());
    ::DeleteFileA(LocalPath(log).c_str());
}

}  // namespace

TEST_F(PlaceCall, ACallEndedByTheNetworkIsReleasedWhenTheNextCallIsPlaced)
{
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    Dial("07551234567");
    run.Ui([&] { ::SendMessageA(run.h, CDial::WM_CALL_ENDED, 0, 0); });
    // The ended call keeps its handle until the next call...
    run.Ui([&] { EXPECT_NE(run.dial->Session().m_hCall, 0u); });
    sipx.Clear();
    Dial("02088886666");
    // ...which releases it first, so ended calls never pile up in the library.
    const auto texts = sipx.Texts();
    ASSERT_GE(texts.size(), 4u);
    const auto destroy = std::find(texts.begin(), texts.end(), "CallDestroy()");
    const auto create = std::find(texts.begin(), texts.end(), "CallCreate()");
    ASSERT_NE(destroy, texts.end());
    EXPECT_LT(destroy - texts.begin(), create - texts.begin());
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "CallHold(1)"), 0);
}
