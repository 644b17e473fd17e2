// A call of the phone window against a sipp call server: the library's events reach the
// window as its call-state messages. The call itself is requested here straight through the
// library, as the call button does (the button itself: PlaceCallTest.cpp).
#include "PhoneFixture.h"
#include "SkinFeature.h"
#include "TimerPeriods.h"
#include <cmath>
#include <fstream>

using namespace phonetest;

namespace {

class Call : public PhoneWindowTest {
protected:
    // A picture of the window once it has painted everything.
    bool Picture(const std::string& name)
    {
        run.Ui([&] { ::RedrawWindow(run.h, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW); });
        Settle(300);
        return Screenshot(name);
    }
    // Places a call to `number` at the call server, as the window's call request does.
    void Dial(const std::string& number, int port)
    {
        run.Ui([&] {
            CDial& d = *run.dial;
            d.m_bInCall = 1;
            ::SetDlgItemTextA(run.h, IDC_STATUS, ("正在呼叫:" + number).c_str());
            ASSERT_EQ(sipxCallCreate(d.Session().m_hInst, d.Session().m_hLine, &d.Session().m_hCall), SIPX_RESULT_SUCCESS);
            const SIPX_CALL_OPTIONS options = {20, 1, 1, 1, 0};
            const std::string target = "sip:" + number + "@127.0.0.1:" + std::to_string(port);
            ASSERT_EQ(sipxCallConnect(d.Session().m_hCall, target.c_str(), 0, nullptr, 1, &options, nullptr),
                      SIPX_RESULT_SUCCESS);
        });
    }
};

TEST_F(Call, RingsConnectsCountsAndIsEndedByTheFarEnd)
{
    SippPeer server;
    ASSERT_TRUE(server.Start("call_answered_remote_bye.xml", 2));
    // Dressed as the program is, for the pictures of the window.
    char skin[MAX_PATH] = {0};
    ::GetModuleFileNameA(nullptr, skin, MAX_PATH);
    std::string skinFile = skin;
    skinFile = skinFile.substr(0, skinFile.find_last_of('\\') + 1) + "superxp.rss";
    ASSERT_TRUE(Open(server.Port(), [&](TestDial&) {
        SkinInit();
        SkinLoad(skinFile.c_str(), 0);
    }));
    ASSERT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == kRegisteredText; }, 8000))
        << run.Text(IDC_STATUS) << server.Log();
    SetNumber("07551234567");
    EXPECT_TRUE(Picture("phone-registered"));

    Dial("00867551234567", server.Port());
    EXPECT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == "对方正在震铃"; }, 5000))
        << run.Text(IDC_STATUS) << server.Log();
    EXPECT_TRUE(run.Visible(IDC_SOUND_QUALITY));

    EXPECT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == "呼叫成功,开始通话"; }, 5000))
        << run.Text(IDC_STATUS) << server.Log();
    EXPECT_TRUE(run.Visible(IDC_SOUND_QUALITY));
    EXPECT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_CLOCK) == "00:00:01"; }, 2500))
        << run.Text(IDC_CLOCK);
    EXPECT_TRUE(Picture("phone-in-call"));

    // Keys during the call send tones, not key sounds.
    desktop.Reset();
    sipx.Clear();
    EXPECT_TRUE(Click(IDC_KEY_8));
    EXPECT_TRUE(run.WaitUntil([&] { return !sipx.Matching("CallStopTone").empty(); }, 2000));
    EXPECT_EQ(sipx.Texts(), (std::vector<std::string>{"CallStartTone(8,1,1,120)", "CallStopTone()"}));
    EXPECT_TRUE(desktop.SoundsSeen().empty());

    // The far end hangs up.
    EXPECT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == "通话已经结束"; }, 8000))
        << run.Text(IDC_STATUS) << server.Log();
    const DWORD ended = ::GetTickCount();
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{153});
    EXPECT_FALSE(run.Visible(IDC_SOUND_QUALITY));
    const std::string clock = run.Text(IDC_CLOCK);
    EXPECT_TRUE(clock == "00:00:02" || clock == "00:00:03" || clock == "00:00:04") << clock;
    run.Ui([&] { EXPECT_EQ(run.dial->m_bInCall, 0); });
    EXPECT_TRUE(run.WaitUntil([&] { return run.dial->balanceQueries == 1; }, 5000));
    EXPECT_GE(run.dial->lastBalanceQueryTick - ended, 3800u);
    EXPECT_EQ(run.Text(IDC_CLOCK), clock);

    EXPECT_EQ(run.Close(), IDCANCEL);
    EXPECT_EQ(server.Wait(10000), 0) << server.Log();
    EXPECT_TRUE(desktop.BoxesSeen().empty());
    SkinExit();
}

TEST_F(Call, ClosingDuringACallHoldsAndEndsItThenUnregisters)
{
    SippPeer server;
    ASSERT_TRUE(server.Start("call_closed_during_call.xml", 2));
    ASSERT_TRUE(Open(server.Port()));
    ASSERT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == kRegisteredText; }, 8000))
        << run.Text(IDC_STATUS) << server.Log();
    Dial("00867551234567", server.Port());
    ASSERT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == "呼叫成功,开始通话"; }, 5000))
        << run.Text(IDC_STATUS) << server.Log();

    sipx.Clear();
    EXPECT_EQ(run.Close(), IDCANCEL);
    EXPECT_EQ(sipx.Texts(), (std::vector<std::string>{"CallHold(1)", "CallDestroy()",
                                                       "EventListenerRemove(OnCallControlEvent,null)",
                                                       "LineRegister(0)", "UnInitialize(1)"}));
    EXPECT_EQ(run.loginCloseRequests, 1);
    // The call server saw the hold, the BYE and the unregister.
    EXPECT_EQ(server.Wait(10000), 0) << server.Log();
}

// The level bars and the microphone's controls on real audio: a tone played into the
// test bed's microphone goes out in the call, comes back from an echoing callee and is
// played on the speaker.
TEST_F(Call, LevelBarsAndMicrophoneControlsFollowTheCallsAudio)
{
    ASSERT_NE(std::getenv("QUILLON_TESTBED"), nullptr) << "run inside scripts/testbed";
    SippPeer server;
    const int mediaPort = FreeUdpPort() & ~1;
    ASSERT_TRUE(server.Start("call_echo.xml", 2, std::string(), "-rtp_echo -mp " + std::to_string(mediaPort)));
    ThePeriods().nCallQuality = 400;
    struct Restore { ~Restore() { ThePeriods() = TimerPeriods(); } } restore;
    ASSERT_TRUE(Open(server.Port()));
    ASSERT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == kRegisteredText; }, 8000))
        << run.Text(IDC_STATUS) << server.Log();
    Dial("80000", server.Port());
    ASSERT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_STATUS) == "呼叫成功,开始通话"; }, 5000))
        << run.Text(IDC_STATUS) << server.Log();
    auto speaker = [&] { return ::SendDlgItemMessageA(run.h, IDC_SPEAKER_LEVEL, PBM_GETPOS, 0, 0); };
    auto microphone = [&] { return ::SendDlgItemMessageA(run.h, IDC_MICROPHONE_LEVEL, PBM_GETPOS, 0, 0); };
    Settle(300);
    run.Ui([&] {
        EXPECT_LT(microphone(), 20);
        EXPECT_LT(speaker(), 20);
    });

    // Six seconds of a 1 kHz tone at half scale into the microphone.
    const std::string tone = UnixProgramFolder() + "/phone-tone-" + std::to_string(::GetCurrentProcessId()) + ".raw";
    {
        std::ofstream f(LocalPath(tone), std::ios::binary);
        for (int i = 0; i < 8000 * 6; ++i) {
            const int16_t v = static_cast<int16_t>(16000 * std::sin(2 * 3.14159265358979 * 1000 * i / 8000.0));
            f.write(reinterpret_cast<const char*>(&v), sizeof v);
        }
    }
    StartShell("pacat --device=microphone --format=s16le --rate=8000 --channels=1 --raw '" + tone + "'");
    EXPECT_TRUE(run.WaitUntil([&] { return microphone() >= 60 && speaker() >= 60; }, 4000))
        << "microphone " << run.Text(IDC_MICROPHONE_LEVEL) << server.Log();
    // The echoed audio comes back whole on loopback: the quality figure shows all five bars,
    // beside the clock and clear of every control of the window.
    const int quality = CQualityBars::IDC_CALL_QUALITY;
    EXPECT_TRUE(run.WaitUntil([&] { return run.Visible(quality) && run.Text(quality) == "通话质量 5/5"; }, 3000))
        << run.Text(quality);
    run.Ui([&] {
        RECT bars, other, overlap;
        ::GetWindowRect(::GetDlgItem(run.h, quality), &bars);
        for (HWND c = ::GetWindow(run.h, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT))
            if (c != ::GetDlgItem(run.h, quality) && ::IsWindowVisible(c) && ::GetWindowRect(c, &other))
                EXPECT_FALSE(::IntersectRect(&overlap, &bars, &other)) << ::GetDlgCtrlID(c);
    });
    EXPECT_TRUE(Picture("phone-call-quality"));

    // The microphone's mute box silences what goes out, and so what comes back.
    EXPECT_TRUE(Click(IDC_MUTE_MICROPHONE));
    EXPECT_TRUE(run.WaitUntil([&] { return microphone() == 0 && speaker() < 20; }, 2000));
    EXPECT_TRUE(Click(IDC_MUTE_MICROPHONE));
    EXPECT_TRUE(run.WaitUntil([&] { return microphone() >= 60 && speaker() >= 60; }, 2000));
    // The speaker's mute box silences the speaker only.
    EXPECT_TRUE(Click(IDC_MUTE_SPEAKER));
    EXPECT_TRUE(run.WaitUntil([&] { return speaker() == 0 && microphone() >= 60; }, 2000));
    EXPECT_TRUE(Click(IDC_MUTE_SPEAKER));
    // The microphone slider at its bottom (-1: no gain) silences it too; at its top it is back.
    run.Ui([&] {
        HWND s = ::GetDlgItem(run.h, IDC_MICROPHONE_VOLUME);
        ::SendMessageA(s, WM_KEYDOWN, VK_END, 0);
    });
    EXPECT_TRUE(run.WaitUntil([&] { return microphone() == 0; }, 2000));
    run.Ui([&] {
        HWND s = ::GetDlgItem(run.h, IDC_MICROPHONE_VOLUME);
        ::SendMessageA(s, WM_KEYDOWN, VK_HOME, 0);
    });
    EXPECT_TRUE(run.WaitUntil([&] { return microphone() >= 60 && speaker() >= 60; }, 2000));

    // Hanging up ends the call and takes the quality figure away; the window closes.
    EXPECT_TRUE(Click(IDC_HANGUP));
    EXPECT_TRUE(run.WaitUntil([&] { return !run.Visible(quality); }, 2000));
    EXPECT_EQ(run.Close(), IDCANCEL);
    EXPECT_EQ(server.Wait(10000), 0) << server.Log();
    ::DeleteFileA(LocalPath(tone).c_str());
}

}  // namespace
