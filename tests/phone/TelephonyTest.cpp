// The telephony session of the phone window: the instance and line started from the
// sign-in values and configured in order, the three start failures, registration against
// a sipp call server, the library's events and the end of the session with the window.
#include <thread>
#include "PhoneFixture.h"

using namespace phonetest;
using apptest::WriteBytes;

namespace {

class Telephony : public PhoneWindowTest {};

TEST_F(Telephony, StartsTheInstanceAndLineAndConfiguresTheInstanceInOrder)
{
    // Two audio elements: the last one counts.
    WriteBytes("Call.xml", "<top><audio a11=\"0\" a22=\"1\" a33=\"0\"/><audio a11=\"1\" a22=\"0\" a33=\"1\"/></top>");
    ASSERT_TRUE(Open(0, [](TestDial& d) {
        d.Session().m_strInputDevice = "麦克风 (USB)";
        d.Session().m_strOutputDevice = "扬声器";
    }));
    const std::string domain = "127.0.0.1:" + std::to_string(deadRegistrar.Port());
    const std::vector<std::string> expected = {
        "Initialize(14500,-1,-1,8000,100,\"sipx\",\"0.0.0.0\",0)",
        "ConfigSetUserAgentName(\"Simple Agent (sipXtapi)\",0)",
        "EventListenerAdd(OnCallControlEvent,window)",
        "ConfigEnableRport(1)",
        "LineAdd(\"sip:8001@" + domain + "\",0)",
        "LineAddCredential(\"8001\",\"s3cret\",\"\")",
        "LineRegister(1)",
        "ConfigKeepAliveAdd(0,2,\"127.0.0.1\"," + std::to_string(keepAlive.Port()) + ",30)",
        "AudioSetInputVolume(98)",
        "AudioSetAGCMode(1)",
        "AudioSetAECMode(2)",
        "ConfigSelectAudioCodecByName(\"G729\")",
        "AudioSetNoiseReductionMode(0)",
        "ConfigSetOutboundDTMFMode(2)",
        "AudioSetInputDevice(\"麦克风 (USB)\",0)",
        "AudioSetOutputDevice(\"扬声器\",0)",
    };
    EXPECT_EQ(sipx.Texts(), expected);
    run.Ui([&] { EXPECT_EQ(run.dial->m_strIdentity, "sip:8001@" + domain); });

    // What reached the network: the REGISTER for the identity, and a keep-alive OPTIONS
    // (sent at once) to the keep-alive address with the program's user agent.
    const std::string reg = deadRegistrar.Receive(3000);
    EXPECT_EQ(reg.rfind("REGISTER sip:" + domain, 0), 0u) << reg;
    EXPECT_NE(reg.find("<sip:8001@" + domain + ">"), std::string::npos) << reg;
    const std::string ka = keepAlive.Receive(3000);
    EXPECT_EQ(ka.rfind("OPTIONS sip:127.0.0.1:" + std::to_string(keepAlive.Port()), 0), 0u) << ka;
    EXPECT_NE(ka.find("User-Agent: Simple Agent (sipXtapi)\r\n"), std::string::npos) << ka;

    // The line is not registered (nothing answers): the window waits, silently.
    EXPECT_EQ(run.Text(IDC_STATUS), "");
    EXPECT_TRUE(desktop.BoxesSeen().empty());
    EXPECT_TRUE(desktop.SoundsSeen().empty());
}

TEST_F(Telephony, AudioOptionsComeFromTheLastAudioElementAndAnyNonzeroValueIsOn)
{
    struct Row { const char* file; const char* agc; const char* aec; const char* nr; } rows[] = {
        {nullptr, "AudioSetAGCMode(0)", "AudioSetAECMode(0)", "AudioSetNoiseReductionMode(0)"},
        {"<top><audio a11=\"7\" a22=\"-1\" a33=\"0\"/></top>", "AudioSetAGCMode(0)", "AudioSetAECMode(2)",
         "AudioSetNoiseReductionMode(1)"},
        {"<top><Call dallnum=\"0755\" userr=\"10001\" lx=\"a\"/></top>", "AudioSetAGCMode(0)", "AudioSetAECMode(0)",
         "AudioSetNoiseReductionMode(0)"},
        {"<top><audio a11=\"1\" a22=\"1\" a33=\"1\"/></top>", "AudioSetAGCMode(1)", "AudioSetAECMode(2)",
         "AudioSetNoiseReductionMode(1)"},
    };
    for (const Row& r : rows) {
        ::DeleteFileA("Call.xml");
        if (r.file)
            WriteBytes("Call.xml", r.file);
        sipx.Clear();
        PhoneRun one;
        ASSERT_TRUE(one.Start([&](TestDial& d) { SignedIn(d, deadRegistrar.Port(), keepAlive.Port()); }));
        EXPECT_EQ(sipx.Matching("AudioSetAGCMode"), std::vector<std::string>{r.agc}) << (r.file ? r.file : "none");
        EXPECT_EQ(sipx.Matching("AudioSetAECMode"), std::vector<std::string>{r.aec}) << (r.file ? r.file : "none");
        EXPECT_EQ(sipx.Matching("AudioSetNoiseReductionMode"), std::vector<std::string>{r.nr})
            << (r.file ? r.file : "none");
        EXPECT_EQ(one.Close(), IDCANCEL);
    }
}

TEST_F(Telephony, InstanceThatCannotStartShowsTheFailureAndEverythingIsForbidden)
{
    // Another program holds the SIP port.
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(14500);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

    ASSERT_TRUE(Open());
    const auto boxes = desktop.BoxesSeen();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "程序启动失败!");
    EXPECT_EQ(boxes[0].caption, "phone_test");      // the application's name
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(sipx.Texts(), std::vector<std::string>{"Initialize(14500,-1,-1,8000,100,\"sipx\",\"0.0.0.0\",0)"});
    run.Ui([&] { EXPECT_EQ(run.dial->Session().m_hInst, 0u); });

    // The window stays open and every action shows the warning box.
    desktop.Reset();
    Press(IDC_PAGE_ACCOUNT);
    ASSERT_EQ(desktop.BoxesSeen().size(), 1u);
    EXPECT_TRUE(IsWarning(desktop.BoxesSeen()[0]));
    EXPECT_TRUE(desktop.LaunchesSeen().empty());

    // Closing with no instance ends nothing in the library but still ends the program.
    sipx.Clear();
    EXPECT_EQ(run.Close(), IDCANCEL);
    EXPECT_TRUE(sipx.Texts().empty());
    EXPECT_EQ(run.loginCloseRequests, 1);
    ::closesocket(s);
}

TEST_F(Telephony, LineThatCannotBeAddedOrRegisteredShowsTheFailureAndTheInstanceIsStillConfigured)
{
    struct Row { const char* failing; std::vector<std::string> absent; } rows[] = {
        {"LineAdd", {"LineAddCredential", "LineRegister"}},
        {"LineRegister", {}},
    };
    for (const Row& r : rows) {
        sipx.Clear();
        sipx.failing = {r.failing};
        desktop.Reset();
        PhoneRun one;
        ASSERT_TRUE(one.Start([&](TestDial& d) { SignedIn(d, deadRegistrar.Port(), keepAlive.Port()); }));
        const auto boxes = desktop.BoxesSeen();
        ASSERT_EQ(boxes.size(), 1u) << r.failing;
        EXPECT_EQ(boxes[0].text, "程序启动失败!");
        EXPECT_EQ(boxes[0].caption, "phone_test");
        EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
        for (const std::string& name : r.absent)
            EXPECT_TRUE(sipx.Matching(name).empty()) << r.failing << " then " << name;
        // Configured all the same, through to the devices.
        EXPECT_EQ(sipx.Matching("ConfigKeepAliveAdd").size(), 1u) << r.failing;
        EXPECT_EQ(sipx.Texts().back(), "AudioSetOutputDevice(\"\",0)") << r.failing;
        EXPECT_EQ(one.Close(), IDCANCEL);
        EXPECT_EQ(sipx.Matching("UnInitialize"), std::vector<std::string>{"UnInitialize(1)"}) << r.failing;
    }
    sipx.failing.clear();
}

TEST_F(Telephony, RegisteredLineEnablesTheWindowAndClosingUnregistersAndEndsTheProgram)
{
    SippPeer server;
    ASSERT_TRUE(server.Start("register_unregister.xml"));
    sipx.inputEnergy = 37.9;
    sipx.outputEnergy = 62.5;
    ASSERT_TRUE(Open(server.Port()));
    ASSERT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == kRegisteredText; }, 8000))
        << run.Text(IDC_STATUS) << server.Log();
    run.Ui([&] { EXPECT_EQ(run.dial->m_bRegistered, 1); });
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{152});
    // The input volume is set again, on the window's thread.
    const auto calls = sipx.Calls();
    std::vector<std::string> volumes;
    for (const auto& c : calls)
        if (c.text == "AudioSetInputVolume(98)") {
            volumes.push_back(c.text);
            EXPECT_EQ(c.thread, run.uiThread);
        }
    EXPECT_EQ(volumes.size(), 2u);
    // The level bars follow the energies from now on: speaker output, microphone input.
    EXPECT_TRUE(run.WaitUntil([&] {
        return ::SendDlgItemMessageA(run.h, IDC_SPEAKER_LEVEL, PBM_GETPOS, 0, 0) == 62 &&
               ::SendDlgItemMessageA(run.h, IDC_MICROPHONE_LEVEL, PBM_GETPOS, 0, 0) == 37;
    }, 2000));
    // A registered window gates nothing.
    Press(IDC_PAGE_ACCOUNT);
    EXPECT_TRUE(desktop.BoxesSeen().empty());

    sipx.Clear();
    EXPECT_EQ(run.Close(), IDCANCEL);
    EXPECT_EQ(sipx.Texts(), (std::vector<std::string>{"CallDestroy()", "EventListenerRemove(OnCallControlEvent,null)",
                                                       "LineRegister(0)", "UnInitialize(1)"}));
    EXPECT_EQ(run.loginCloseRequests, 1);
    // The call server saw the unregister (Expires: 0).
    EXPECT_EQ(server.Wait(10000), 0) << server.Log();
}

TEST_F(Telephony, RefusedRegistrationIsShownAndEveryButtonStaysForbidden)
{
    SippPeer server;
    ASSERT_TRUE(server.Start("register_refused.xml"));
    sipx.inputEnergy = 50.0;
    sipx.outputEnergy = 50.0;
    ASSERT_TRUE(Open(server.Port()));
    ASSERT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == "注册服务器失败"; }, 8000))
        << run.Text(IDC_STATUS) << server.Log();
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{151});
    EXPECT_EQ(server.Wait(5000), 0) << server.Log();

    Press(IDC_PAGE_USER);
    ASSERT_EQ(desktop.BoxesSeen().size(), 1u);
    EXPECT_TRUE(IsWarning(desktop.BoxesSeen()[0]));
    EXPECT_TRUE(desktop.LaunchesSeen().empty());
    // Timer 2 never started: the bars stay at 0 whatever the energies.
    Settle(300);
    run.Ui([&] {
        EXPECT_EQ(::SendDlgItemMessageA(run.h, IDC_SPEAKER_LEVEL, PBM_GETPOS, 0, 0), 0);
        EXPECT_EQ(::SendDlgItemMessageA(run.h, IDC_MICROPHONE_LEVEL, PBM_GETPOS, 0, 0), 0);
    });
}

TEST_F(Telephony, EachLineReportRepeatsItsActionsOnTheWindowsThread)
{
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    run.Ui([&] { ::SetDlgItemTextA(run.h, IDC_STATUS, "正在呼叫:07551234567"); });
    LineEvent(SIPX_LINESTATE_REGISTERED);           // again, e.g. during a call
    EXPECT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == kRegisteredText; }));
    EXPECT_EQ(desktop.SoundsSeen(), (std::vector<int>{152, 152}));
    EXPECT_EQ(sipx.Matching("AudioSetInputVolume(98)").size(), 3u);     // start-up and two reports

    LineEvent(SIPX_LINESTATE_REGISTER_FAILED);
    EXPECT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == "注册服务器失败"; }));
    run.Ui([&] { EXPECT_EQ(run.dial->m_bRegistered, 0); });
    EXPECT_EQ(desktop.SoundsSeen(), (std::vector<int>{152, 152, 151}));
    Press(IDC_BACKSPACE);
    EXPECT_EQ(desktop.BoxesSeen().size(), 1u);

    // A later registration enables the window again.
    ASSERT_TRUE(Register());
    desktop.Reset();
    Press(IDC_BACKSPACE);
    EXPECT_TRUE(desktop.BoxesSeen().empty());
    for (const auto& c : sipx.Calls())
        EXPECT_EQ(c.thread, run.uiThread) << c.text;
}

TEST_F(Telephony, EventsTheWindowDoesNotActOnChangeNothing)
{
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    run.Ui([&] {
        run.dial->Session().m_hCall = 4711;
        ::SetDlgItemTextA(run.h, IDC_STATUS, "unchanged");
    });
    desktop.Reset();
    sipx.Clear();
    struct Row { int category; SIPX_CALL call; uint32_t code; } rows[] = {
        {0, 4712, SIPX_CALLSTATE_REMOTE_ALERTING},      // another call
        {0, 4712, SIPX_CALLSTATE_CONNECTED},
        {0, 4712, SIPX_CALLSTATE_DISCONNECTED},
        {0, 0, SIPX_CALLSTATE_DISCONNECTED},            // no call
        {0, 4711, SIPX_CALLSTATE_DIALTONE},             // other codes of the window's call
        {0, 4711, SIPX_CALLSTATE_REMOTE_OFFERING},
        {0, 4711, SIPX_CALLSTATE_HELD},
        {0, 4711, SIPX_CALLSTATE_DESTROYED},
        {1, 0, SIPX_LINESTATE_REGISTERING},
        {1, 0, SIPX_LINESTATE_UNREGISTERING},
        {1, 0, SIPX_LINESTATE_UNREGISTERED},
        {2, 4711, SIPX_CALLSTATE_CONNECTED},            // other categories
        {8, 4711, SIPX_LINESTATE_REGISTERED},
        {10, 4711, SIPX_CALLSTATE_CONNECTED},
    };
    for (const Row& r : rows)
        LibraryEvent(r.category, r.call, r.code);
    Flush();
    EXPECT_EQ(run.Text(IDC_STATUS), "unchanged");
    EXPECT_FALSE(run.Visible(IDC_SOUND_QUALITY));
    run.Ui([&] {
        EXPECT_EQ(run.dial->m_bInCall, 0);
        EXPECT_EQ(run.dial->m_bRegistered, 1);
    });
    EXPECT_TRUE(desktop.SoundsSeen().empty());
    EXPECT_TRUE(desktop.BoxesSeen().empty());
    EXPECT_TRUE(sipx.Texts().empty());

    // The window's own call is recognised: the same report for 4711 does act.
    LibraryEvent(0, 4711, SIPX_CALLSTATE_REMOTE_ALERTING);
    EXPECT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == "对方正在震铃"; }));
}

// A notice of the service is shown on the window's thread; the library's thread goes on
// answering the call server while the box is open. The call server is the line's
// registrar, and its notices come from the address and port the line registers with.
TEST_F(Telephony, NoticesAreShownOnTheWindowsThreadWithoutHoldingUpTheLibrary)
{
    SippPeer server;
    ASSERT_TRUE(server.Start("notices.xml"));
    desktop.holdBoxes = true;
    ASSERT_TRUE(Open(server.Port()));
    // sipp ends well only if both notices were answered, the second while the first
    // notice's box was still open.
    EXPECT_EQ(server.Wait(15000), 0) << server.Log();
    ASSERT_TRUE(run.WaitUntil([&] { return desktop.boxesOpen == 1; }));
    EXPECT_EQ(desktop.lastBoxThread, run.uiThread);
    // The second notice waits for the first box and is shown when it is dismissed.
    desktop.ReleaseOneBox();
    EXPECT_TRUE(run.WaitUntil([&] { return desktop.BoxesSeen().size() == 2 && desktop.boxesOpen == 1; }))
        << desktop.BoxesSeen().size();
    desktop.ReleaseBoxes();
    EXPECT_TRUE(run.WaitUntil([&] { return desktop.boxesOpen == 0; }));
    EXPECT_EQ(desktop.mostBoxesOpen, 1);
    const auto boxes = desktop.BoxesSeen();
    ASSERT_EQ(boxes.size(), 2u);
    // The texts as the server sent them (each body ends with a line break).
    EXPECT_EQ(boxes[0].text, "您的余额不足,请充值\r\n");
    EXPECT_EQ(boxes[1].text, "系统维护通知\r\n");
    for (const auto& b : boxes) {
        EXPECT_EQ(b.caption, "phone_test");
        EXPECT_EQ(b.type, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
    }
}

// Notices that come while one is shown wait for it and are then shown one at a time, in
// the order they came. Four wait at most; those that come while four wait are dropped.
TEST_F(Telephony, NoticesThatComeWhileOneIsShownAreShownOneAtATimeInOrderAndAtMostFourWait)
{
    ASSERT_TRUE(Open());
    desktop.holdBoxes = true;
    struct Row { int sent; int shown; } rows[] = {{2, 2}, {5, 5}, {6, 5}, {9, 5}};
    for (const Row& r : rows) {
        desktop.Reset();
        std::vector<std::string> texts;
        for (int i = 1; i <= r.sent; ++i) {
            texts.push_back("通知" + std::to_string(r.sent) + "-" + std::to_string(i));
            LibraryEvent(SIPX_EVENT_CATEGORY_MESSAGE, 0, 0, texts.back().c_str());
        }
        // Every notice has reached the window; only the first box is open.
        ASSERT_TRUE(WaitForPosted()) << r.sent;
        EXPECT_EQ(desktop.BoxesSeen().size(), 1u) << r.sent;
        for (int shown = 1; shown <= r.shown; ++shown) {
            ASSERT_TRUE(run.WaitUntil([&] {
                return desktop.BoxesSeen().size() == static_cast<size_t>(shown) && desktop.boxesOpen == 1;
            })) << r.sent << ": " << desktop.BoxesSeen().size() << " shown, " << desktop.boxesOpen << " open";
            desktop.ReleaseOneBox();
        }
        ASSERT_TRUE(run.WaitUntil([&] { return desktop.boxesOpen == 0; })) << r.sent;
        ASSERT_TRUE(WaitForPosted());
        std::vector<std::string> seen;
        for (const auto& b : desktop.BoxesSeen())
            seen.push_back(b.text);
        EXPECT_EQ(seen, std::vector<std::string>(texts.begin(), texts.begin() + r.shown)) << r.sent;
    }
    EXPECT_EQ(desktop.mostBoxesOpen, 1);
    EXPECT_EQ(desktop.lastBoxThread, run.uiThread);
    desktop.ReleaseBoxes();
}

TEST_F(Telephony, ClosingTheWindowDropsTheNoticesWaitingForTheOpenBox)
{
    ASSERT_TRUE(Open());
    desktop.holdBoxes = true;
    for (const char* text : {"第一条", "第二条", "第三条"})
        LibraryEvent(SIPX_EVENT_CATEGORY_MESSAGE, 0, 0, text);
    ASSERT_TRUE(WaitForPosted());
    ASSERT_EQ(desktop.BoxesSeen().size(), 1u);
    ::PostMessageA(run.h, WM_CLOSE, 0, 0);
    ASSERT_TRUE(run.WaitUntil([&] { return !::IsWindowVisible(run.h); }));
    // One more that comes while the window closes is not shown either.
    LibraryEvent(SIPX_EVENT_CATEGORY_MESSAGE, 0, 0, "第四条");
    ASSERT_TRUE(WaitForPosted());
    desktop.ReleaseOneBox();
    const INT_PTR result = run.WaitForEnd(15000);
    desktop.ReleaseBoxes();
    EXPECT_EQ(result, IDCANCEL);
    const auto boxes = desktop.BoxesSeen();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "第一条");
    EXPECT_EQ(run.loginCloseRequests, 1);
}

}  // namespace
