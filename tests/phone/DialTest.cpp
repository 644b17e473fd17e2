// The phone window itself: its controls and start-up texts, the registration gate, the
// keypad, the keyboard filter, the buttons, the call-state messages, the call clock and
// closing.
#include "PhoneFixture.h"
#include "QuillonVersion.h"

using namespace phonetest;
using apptest::WriteBytes;
using wintest::RecordingDesktop;

namespace {

class PhoneWindow : public PhoneWindowTest {
protected:
    std::string ListItem(int i) const
    {
        char text[256] = {0};
        run.Ui([&] {
            COMBOBOXEXITEMA item = {};
            item.mask = CBEIF_TEXT;
            item.iItem = i;
            item.pszText = text;
            item.cchTextMax = sizeof text;
            ::SendDlgItemMessageA(run.h, IDC_NUMBER, CBEM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
        });
        return text;
    }
    int ListCount() const
    {
        int n = 0;
        run.Ui([&] { n = static_cast<int>(::SendDlgItemMessageA(run.h, IDC_NUMBER, CB_GETCOUNT, 0, 0)); });
        return n;
    }
    // A key typed on the keyboard: key down to the number box's edit field, through the
    // window's message loop (characters come from translating the key, as for a user).
    void Type(UINT vk) const
    {
        HWND edit = NumberEdit();
        const UINT scan = ::MapVirtualKeyA(vk, 0);
        ::PostMessageA(edit, WM_KEYDOWN, vk, 1 | (scan << 16));
        ::PostMessageA(edit, WM_KEYUP, vk, 1 | (scan << 16) | (3u << 30));
        Flush();
    }
    void SetKeyState(UINT vk, bool down) const
    {
        run.Ui([&] {
            BYTE state[256];
            ::GetKeyboardState(state);
            state[vk] = down ? 0x80 : 0;
            ::SetKeyboardState(state);
        });
    }
    std::string Status() const { return run.Text(IDC_STATUS); }
    std::string Clock() const { return run.Text(IDC_CLOCK); }
};

TEST_F(PhoneWindow, ControlsAreWhereTheyBelongAndShowTheSignInValues)
{
    WriteBytes("Call.xml",
               "<top>"
               "<Call dallnum=\"02088886666\" userr=\"10001\" lx=\"a\"/>"
               "<Call dallnum=\"013800138000\" userr=\"20002\" lx=\"a\"/>"
               "<Call dallnum=\"07551234567\" userr=\"10001\" lx=\"0\"/>"
               "<audio a11=\"0\" a22=\"0\" a33=\"0\"/></top>");
    ASSERT_TRUE(Open());
    EXPECT_EQ(wintest::Text(run.h), QUILLON_CAPTION);

    struct Row { int id; const char* cls; int x, y, w, h; bool visible; } rows[] = {
        {IDC_NUMBER, "ComboBoxEx32", 42, 86, 121, 0, true},
        {IDC_KEY_1, "Button", 50, 201, 31, 16, true}, {IDC_KEY_2, "Button", 86, 201, 31, 16, true},
        {IDC_KEY_3, "Button", 122, 201, 31, 16, true}, {IDC_KEY_4, "Button", 50, 219, 31, 16, true},
        {IDC_KEY_5, "Button", 86, 219, 31, 16, true}, {IDC_KEY_6, "Button", 122, 219, 31, 16, true},
        {IDC_KEY_7, "Button", 50, 237, 31, 16, true}, {IDC_KEY_8, "Button", 86, 237, 31, 16, true},
        {IDC_KEY_9, "Button", 122, 237, 31, 16, true}, {IDC_KEY_STAR, "Button", 50, 255, 31, 16, true},
        {IDC_KEY_0, "Button", 86, 255, 31, 16, true}, {IDC_KEY_POUND, "Button", 122, 255, 31, 16, true},
        {IDC_HANGUP, "Button", 103, 290, 57, 21, true},
        {IDC_SPEAKER_VOLUME, "msctls_trackbar32", 17, 197, 20, 76, true},
        {IDC_MICROPHONE_VOLUME, "msctls_trackbar32", 171, 197, 20, 76, true},
        {IDC_PAGE_ACCOUNT, "Button", 21, 176, 38, 9, true}, {IDC_PAGE_CALLBACK, "Button", 63, 176, 38, 9, true},
        {IDC_PAGE_USER, "Button", 105, 176, 38, 9, true}, {IDC_AUDIO_SETTINGS, "Button", 146, 176, 38, 9, true},
        {IDC_RECORD_FOLDER, "Button", 81, 277, 71, 9, true}, {IDC_MULTI_PARTY, "Button", 124, 156, 61, 14, false},
        {IDC_BACKSPACE, "Button", 163, 87, 23, 16, true}, {IDC_ACCOUNT_NUMBER, "Static", 53, 65, 39, 8, true},
        {IDC_CALL, "Button", 44, 290, 57, 21, true}, {IDC_AD_PANEL, "Static", 11, 322, 182, 70, true},
        {IDC_KEY_BACK_UNUSED, "Button", 171, 290, 13, 18, false},
        {IDC_KEY_CLEAR_UNUSED, "Button", 23, 290, 13, 18, false},
        {IDC_STATUS, "Static", 25, 115, 156, 8, true}, {IDC_CLOCK, "Static", 69, 132, 70, 8, true},
        {IDC_RECORD, "Button", 54, 276, 29, 10, true},
        {IDC_SPEAKER_LEVEL, "msctls_progress32", 37, 204, 6, 64, true},
        {IDC_MICROPHONE_LEVEL, "msctls_progress32", 161, 204, 6, 65, true},
        {IDC_MUTE_SPEAKER, "Button", 18, 271, 14, 12, true}, {IDC_MUTE_MICROPHONE, "Button", 172, 271, 16, 12, true},
        {IDC_CLEAR_HISTORY, "Button", 83, 160, 35, 9, true}, {IDC_SOUND_QUALITY, "Button", 27, 143, 151, 12, false},
        {IDC_PAGE_AGENT, "Button", 34, 160, 35, 9, false}, {IDC_BALANCE, "Static", 147, 65, 39, 8, true},
    };
    run.Ui([&] {
        RECT dlg = {0, 0, 200, 393};
        ::MapDialogRect(run.h, &dlg);
        RECT client;
        ::GetClientRect(run.h, &client);
        EXPECT_EQ(client.right, dlg.right);
        EXPECT_EQ(client.bottom, dlg.bottom);
        for (const Row& r : rows) {
            HWND c = ::GetDlgItem(run.h, r.id);
            ASSERT_NE(c, nullptr) << r.id;
            char cls[64] = {0};
            ::GetClassNameA(c, cls, sizeof cls);
            EXPECT_STREQ(cls, r.cls) << r.id;
            EXPECT_EQ(::IsWindowVisible(c) != FALSE, r.visible) << r.id;
            // Position and size are converted each on its own, as the dialog manager does.
            RECT pos = {r.x, r.y, r.w, r.h};
            ::MapDialogRect(run.h, &pos);
            RECT got;
            ::GetWindowRect(c, &got);
            ::MapWindowPoints(nullptr, run.h, reinterpret_cast<POINT*>(&got), 2);
            EXPECT_EQ(got.left, pos.left) << r.id;
            EXPECT_EQ(got.top, pos.top) << r.id;
            EXPECT_EQ(got.right - got.left, pos.right) << r.id;
            if (r.h) {
                EXPECT_EQ(got.bottom - got.top, pos.bottom) << r.id;
            }
        }
        // Trackbars vertical on both sides without ticks; level bars vertical and smooth.
        for (int id : {IDC_SPEAKER_VOLUME, IDC_MICROPHONE_VOLUME}) {
            const LONG style = ::GetWindowLongA(::GetDlgItem(run.h, id), GWL_STYLE);
            EXPECT_EQ(style & (TBS_VERT | TBS_BOTH | TBS_NOTICKS), TBS_VERT | TBS_BOTH | TBS_NOTICKS) << id;
        }
        for (int id : {IDC_SPEAKER_LEVEL, IDC_MICROPHONE_LEVEL}) {
            const LONG style = ::GetWindowLongA(::GetDlgItem(run.h, id), GWL_STYLE);
            EXPECT_EQ(style & (PBS_VERTICAL | PBS_SMOOTH), PBS_VERTICAL | PBS_SMOOTH) << id;
        }
        // The number font.
        HFONT font = reinterpret_cast<HFONT>(::SendDlgItemMessageA(run.h, IDC_NUMBER, WM_GETFONT, 0, 0));
        LOGFONTA lf = {};
        ASSERT_EQ(::GetObjectA(font, sizeof lf, &lf), static_cast<int>(sizeof lf));
        EXPECT_STREQ(lf.lfFaceName, "Arial");
        EXPECT_EQ(lf.lfHeight, 20);
        EXPECT_EQ(lf.lfWeight, FW_BOLD);
        // The icon.
        EXPECT_NE(::SendMessageA(run.h, WM_GETICON, ICON_BIG, 0), 0);
        EXPECT_NE(::SendMessageA(run.h, WM_GETICON, ICON_SMALL, 0), 0);
    });

    EXPECT_EQ(run.Text(IDC_ACCOUNT_NUMBER), "10001");
    EXPECT_EQ(run.Text(IDC_BALANCE), "25.60");
    EXPECT_EQ(run.Text(IDC_STATUS), "");
    EXPECT_EQ(run.Text(IDC_CLOCK), "");
    EXPECT_EQ(run.Text(IDC_RECORD), "录音");
    run.Ui([&] {
        for (int id : {IDC_RECORD, IDC_MUTE_SPEAKER, IDC_MUTE_MICROPHONE})
            EXPECT_FALSE(wintest::Checked(run.h, id)) << id;
    });
    // The history of this account only, newest first.
    ASSERT_EQ(ListCount(), 2);
    EXPECT_EQ(ListItem(0), "02088886666");
    EXPECT_EQ(ListItem(1), "07551234567");

    // No window of this program but the phone window is on the screen (the login window
    // is hidden; the ad panel and any failure stay inside).
    std::vector<HWND> shown;
    struct Collect {
        static BOOL CALLBACK Add(HWND w, LPARAM p)
        {
            DWORD pid = 0;
            ::GetWindowThreadProcessId(w, &pid);
            if (pid == ::GetCurrentProcessId() && ::IsWindowVisible(w))
                reinterpret_cast<std::vector<HWND>*>(p)->push_back(w);
            return TRUE;
        }
    };
    ::EnumWindows(&Collect::Add, reinterpret_cast<LPARAM>(&shown));
    EXPECT_EQ(shown, std::vector<HWND>{run.h});
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

TEST_F(PhoneWindow, WhileNotRegisteredTheButtonsOnlyShowTheWarning)
{
    ASSERT_TRUE(Open());
    // Backspace, web pages, audio settings, multi-party, sound quality, call, hang up,
    // recordings folder, clear history.
    const int gated[] = {IDC_BACKSPACE, IDC_PAGE_ACCOUNT, IDC_PAGE_CALLBACK, IDC_PAGE_USER, IDC_PAGE_AGENT,
                         IDC_AUDIO_SETTINGS, IDC_MULTI_PARTY, IDC_SOUND_QUALITY, IDC_CALL, IDC_HANGUP,
                         IDC_RECORD_FOLDER, IDC_CLEAR_HISTORY};
    SetNumber("0755");
    for (int id : gated) {
        desktop.Reset();
        Press(id);
        Flush();
        const auto boxes = desktop.BoxesSeen();
        ASSERT_EQ(boxes.size(), 1u) << id;
        EXPECT_TRUE(IsWarning(boxes[0])) << id << " " << boxes[0].text << " " << boxes[0].caption;
        EXPECT_TRUE(desktop.SoundsSeen().empty()) << id;
        EXPECT_TRUE(desktop.LaunchesSeen().empty()) << id;
    }
    EXPECT_EQ(Number(), "0755");      // backspace typed nothing

    // The keypad shows the warning, then still types and sounds.
    desktop.Reset();
    Press(IDC_KEY_5);
    Flush();
    ASSERT_EQ(desktop.BoxesSeen().size(), 1u);
    EXPECT_TRUE(IsWarning(desktop.BoxesSeen()[0]));
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{138});
    EXPECT_EQ(Number(), "07555");

    // Mute boxes, record box and sliders ignore the registration.
    desktop.Reset();
    sipx.Clear();
    EXPECT_TRUE(Click(IDC_MUTE_SPEAKER));
    EXPECT_TRUE(Click(IDC_MUTE_MICROPHONE));
    EXPECT_TRUE(Click(IDC_RECORD));
    run.Ui([&] {
        ::SendDlgItemMessageA(run.h, IDC_MICROPHONE_VOLUME, WM_KEYDOWN, VK_END, 0);
        EXPECT_EQ(run.dial->m_bRecord, 1);
    });
    EXPECT_TRUE(desktop.BoxesSeen().empty());
    EXPECT_EQ(sipx.Texts(), (std::vector<std::string>{"AudioMuteOutput(1)", "AudioMuteInput(1)",
                                                       "AudioSetInputVolume(-1)"}));
}

TEST_F(PhoneWindow, RegisteredButtonsOpenThePagesAndPlayTheirSounds)
{
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    desktop.Reset();
    struct Row { int id; const char* path; } pages[] = {
        {IDC_PAGE_ACCOUNT, "/acct.php"}, {IDC_PAGE_CALLBACK, "/callback.php"},
        {IDC_PAGE_USER, "/userlogin.php"}, {IDC_PAGE_AGENT, "/userloginma.php"},
    };
    for (const Row& r : pages)
        Press(r.id);
    const auto launches = desktop.LaunchesSeen();
    ASSERT_EQ(launches.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(launches[i].verb, "open");
        EXPECT_EQ(launches[i].text, "IEXPLORE");
        EXPECT_EQ(launches[i].caption, std::string(kAdBaseUrl) + pages[i].path);
        EXPECT_EQ(launches[i].type, static_cast<UINT>(SW_SHOWMAXIMIZED));
    }
    EXPECT_EQ(desktop.SoundsSeen(), (std::vector<int>{148, 148, 148, 148}));

    // During a call neither the multi-party window nor the audio settings open. (Idle,
    // they and the sound-quality help open windows of their own: tests/multiparty and
    // tests/audio.)
    run.Ui([&] { run.dial->m_bInCall = 1; });
    desktop.Reset();
    Press(IDC_AUDIO_SETTINGS);
    Press(IDC_MULTI_PARTY);
    EXPECT_TRUE(desktop.SoundsSeen().empty());
    EXPECT_TRUE(desktop.BoxesSeen().empty());
    run.Ui([&] { run.dial->m_bInCall = 0; });

    // Backspace: deletes through the edit field, clicks, and clears the status line when
    // the number (still holding the character being deleted) is shorter than 2.
    desktop.Reset();
    run.Ui([&] { ::SetDlgItemTextA(run.h, IDC_STATUS, "对方电话号码不正确"); });
    SetNumber("12");
    EXPECT_TRUE(Click(IDC_BACKSPACE));
    Flush();
    EXPECT_EQ(Number(), "1");
    EXPECT_EQ(Status(), "对方电话号码不正确");
    EXPECT_TRUE(Click(IDC_BACKSPACE));
    Flush();
    EXPECT_EQ(Number(), "");
    EXPECT_EQ(Status(), "");
    EXPECT_EQ(desktop.SoundsSeen(), (std::vector<int>{148, 148}));
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

TEST_F(PhoneWindow, KeypadTypesAndSoundsWhileIdle)
{
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    run.Ui([&] {
        ::SetDlgItemTextA(run.h, IDC_STATUS, "通话已经结束");
        ::SetDlgItemTextA(run.h, IDC_CLOCK, "00:01:05");
    });
    desktop.Reset();
    sipx.Clear();
    EXPECT_TRUE(Click(IDC_KEY_5));
    Flush();
    EXPECT_EQ(Status(), "");
    EXPECT_EQ(Clock(), "");
    EXPECT_EQ(Number(), "5");
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{138});

    SetNumber("");
    desktop.Reset();
    for (int id : {IDC_KEY_1, IDC_KEY_2, IDC_KEY_3, IDC_KEY_4, IDC_KEY_5, IDC_KEY_6, IDC_KEY_7, IDC_KEY_8, IDC_KEY_9,
                   IDC_KEY_STAR, IDC_KEY_0, IDC_KEY_POUND})
        EXPECT_TRUE(Click(id)) << id;
    Flush();
    EXPECT_EQ(Number(), "123456789*0#");
    EXPECT_EQ(desktop.SoundsSeen(), (std::vector<int>{134, 135, 136, 137, 138, 139, 140, 141, 142, 144, 143, 144}));
    EXPECT_TRUE(sipx.Matching("CallStartTone").empty());
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

TEST_F(PhoneWindow, KeypadSendsToneDuringACallAndStopsIt100msAfterTheLastKey)
{
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    run.Ui([&] {
        run.dial->Session().m_hCall = 4711;
        ::SendMessageA(run.h, CDial::WM_CALL_CONNECTED, 0, 0);
    });
    desktop.Reset();
    sipx.Clear();
    EXPECT_TRUE(Click(IDC_KEY_5));
    EXPECT_TRUE(run.WaitUntil([&] { return !sipx.Matching("CallStopTone").empty(); }, 2000));
    Flush();
    EXPECT_EQ(Number(), "5");
    EXPECT_EQ(Status(), "呼叫成功,开始通话");       // not cleared during a call
    auto calls = sipx.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].text, "CallStartTone(5,1,1,120)");
    EXPECT_EQ(calls[1].text, "CallStopTone()");
    const DWORD gap = calls[1].tick - calls[0].tick;
    EXPECT_GE(gap, 90u);
    EXPECT_LE(gap, 300u);
    EXPECT_TRUE(desktop.SoundsSeen().empty());     // no key sound during a call

    // A second key within the 100 ms restarts the timer: one stop, after the last key.
    sipx.Clear();
    EXPECT_TRUE(Click(IDC_KEY_STAR));
    ::Sleep(50);
    EXPECT_TRUE(Click(IDC_KEY_POUND));
    EXPECT_TRUE(run.WaitUntil([&] { return !sipx.Matching("CallStopTone").empty(); }, 2000));
    Flush();
    calls = sipx.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].text, "CallStartTone(10,1,1,120)");
    EXPECT_EQ(calls[1].text, "CallStartTone(11,1,1,120)");
    EXPECT_EQ(calls[2].text, "CallStopTone()");
    EXPECT_GE(calls[2].tick - calls[1].tick, 90u);
    EXPECT_EQ(Number(), "5*#");
}

TEST_F(PhoneWindow, KeyboardLetsOnlyWhatANumberNeedsThrough)
{
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    desktop.Reset();
    run.Ui([&] { ::SetFocus(NumberEdit()); });

    run.Ui([&] {
        BYTE state[256];
        ::GetKeyboardState(state);
        state[VK_NUMLOCK] = 1;      // Num Lock on: the pad types digits
        ::SetKeyboardState(state);
    });
    Type('1');
    Type('2');
    Type(VK_NUMPAD3);
    EXPECT_EQ(Number(), "123");
    Type('A');                       // letters, space and other keys are swallowed
    Type(VK_SPACE);
    Type(VK_OEM_MINUS);
    EXPECT_EQ(Number(), "123");
    SetKeyState(VK_SHIFT, true);     // a digit passes with Shift: its shifted character
    Type('1');
    SetKeyState(VK_SHIFT, false);
    EXPECT_EQ(Number(), "123!");
    Type(VK_BACK);
    EXPECT_EQ(Number(), "123");
    Type(VK_LEFT);
    Type(VK_DELETE);
    EXPECT_EQ(Number(), "12");
    EXPECT_EQ(desktop.SoundsSeen(), (std::vector<int>{134, 135, 136, 134, 148}));

    // Escape does nothing: the window stays.
    Type(VK_ESCAPE);
    EXPECT_FALSE(run.Ended());
    EXPECT_TRUE(::IsWindowVisible(run.h));
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

TEST_F(PhoneWindow, EnterPlacesTheCallAsTheCallButtonDoes)
{
    ASSERT_TRUE(Open());
    run.Ui([&] { ::SetFocus(NumberEdit()); });
    SetNumber("07551234567");
    // Not registered: the call request shows the warning (the keyboard itself is not gated).
    Type(VK_RETURN);
    ASSERT_EQ(desktop.BoxesSeen().size(), 1u);
    EXPECT_TRUE(IsWarning(desktop.BoxesSeen()[0]));
    EXPECT_FALSE(run.Ended());
    // Registered and during a call: the request is ignored and the window stays.
    ASSERT_TRUE(Register());
    run.Ui([&] { run.dial->m_bInCall = 1; });
    desktop.Reset();
    Type(VK_RETURN);
    EXPECT_TRUE(desktop.BoxesSeen().empty());
    EXPECT_FALSE(run.Ended());
    EXPECT_EQ(Number(), "07551234567");
}

TEST_F(PhoneWindow, CallStateMessagesShowTheCallsProgressAndItsClock)
{
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    run.Ui([&] { run.dial->Session().m_hCall = 4711; });
    desktop.Reset();

    LRESULT r = 0;
    run.Ui([&] { r = ::SendMessageA(run.h, CDial::WM_CALL_RINGING, 0, 0); });
    EXPECT_EQ(r, 1);
    EXPECT_EQ(Status(), "对方正在震铃");
    EXPECT_TRUE(run.Visible(IDC_SOUND_QUALITY));
    run.Ui([&] { EXPECT_EQ(run.dial->m_bInCall, 1); });

    const DWORD connected = ::GetTickCount();
    run.Ui([&] { r = ::SendMessageA(run.h, CDial::WM_CALL_CONNECTED, 0, 0); });
    EXPECT_EQ(r, 1);
    EXPECT_EQ(Status(), "呼叫成功,开始通话");
    EXPECT_EQ(Clock(), "");                                 // the first tick is 984 ms away
    EXPECT_TRUE(run.WaitUntil([&] { return wintest::Text(run.h, IDC_CLOCK) == "00:00:02"; }, 3500)) << Clock();
    EXPECT_GE(::GetTickCount() - connected, 1000u);

    run.Ui([&] { r = ::SendMessageA(run.h, CDial::WM_CALL_ENDED, 0, 0); });
    const DWORD ended = ::GetTickCount();
    EXPECT_EQ(r, 1);
    EXPECT_EQ(Status(), "通话已经结束");
    EXPECT_FALSE(run.Visible(IDC_SOUND_QUALITY));
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{153});
    run.Ui([&] {
        EXPECT_EQ(run.dial->m_bInCall, 0);
        EXPECT_EQ(run.dial->Session().m_hCall, 4711u);                 // the handle is kept
    });
    // The clock keeps its last value.
    const std::string last = Clock();
    EXPECT_FALSE(run.WaitUntil([&] { return Clock() != last; }, 1500));
    EXPECT_NE(last, "");
    // Four seconds after the end, one balance query; the timer does not repeat.
    EXPECT_TRUE(run.WaitUntil([&] { return run.dial->balanceQueries == 1; }, 4000));
    const DWORD after = run.dial->lastBalanceQueryTick - ended;
    EXPECT_GE(after, 3900u);
    EXPECT_LE(after, 4800u);
    EXPECT_FALSE(run.WaitUntil([&] { return run.dial->balanceQueries > 1; }, 4500));
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

TEST_F(PhoneWindow, CallClockShowsHoursWithinTheDay)
{
    struct Row { int64_t seconds; const char* shown; } rows[] = {
        {0, "00:00:00"}, {59, "00:00:59"}, {61, "00:01:01"}, {3599, "00:59:59"}, {3600, "01:00:00"},
        {86399, "23:59:59"}, {86400, "00:00:00"}, {90061, "01:01:01"}, {3 * 86400 + 7322, "02:02:02"},
        {-5, "00:00:00"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(CDial::FormatCallClock(r.seconds), r.shown) << r.seconds;

    // Through the clock's timer: a call answered a day, an hour, a minute and a second ago.
    ASSERT_TRUE(Open());
    run.Ui([&] {
        run.dial->m_tCallStart = static_cast<int64_t>(std::time(nullptr)) - 90061;
        ::SendMessageA(run.h, WM_TIMER, CDial::TIMER_CALL_CLOCK, 0);
    });
    const std::string shown = Clock();
    EXPECT_TRUE(shown == "01:01:01" || shown == "01:01:02") << shown;
}

TEST_F(PhoneWindow, ClosingHidesAtOnceThenEndsTheSessionAndTheProgram)
{
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    // During a call: the call is held first.
    run.Ui([&] {
        run.dial->Session().m_hCall = 4711;
        ::SendMessageA(run.h, CDial::WM_CALL_CONNECTED, 0, 0);
    });
    sipx.Clear();
    bool hidden = false;
    run.Ui([&] {
        ::SendMessageA(run.h, WM_CLOSE, 0, 0);
        hidden = !::IsWindowVisible(run.h);
    });
    EXPECT_TRUE(hidden);
    EXPECT_EQ(run.Close(), IDCANCEL);
    EXPECT_EQ(sipx.Texts(), (std::vector<std::string>{"CallHold(1)", "CallDestroy()",
                                                       "EventListenerRemove(OnCallControlEvent,null)",
                                                       "LineRegister(0)", "UnInitialize(1)"}));
    EXPECT_EQ(run.loginCloseRequests, 1);
}

TEST_F(PhoneWindow, AltF4ClosesTheWindow)
{
    ASSERT_TRUE(Open());
    HWND edit = NumberEdit();
    run.Ui([&] { ::SetFocus(edit); });
    ::PostMessageA(edit, WM_SYSKEYDOWN, VK_F4, 1 | (::MapVirtualKeyA(VK_F4, 0) << 16) | (1u << 29));
    EXPECT_EQ(run.WaitForEnd(10000), IDCANCEL);
    EXPECT_EQ(run.loginCloseRequests, 1);
}

}  // namespace
