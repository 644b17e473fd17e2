// The audio windows as the phone window opens them: button 1026 (audio settings) and
// button 1078 (sound-quality help) behind the registration gate, run modally over the
// phone window with the skin loaded; and the microphone selection at the window's start.
#include "PhoneFixture.h"
#include <mmsystem.h>
#include "AudioTestSupport.h"
#include "FakeMixer.h"
#include "SkinFeature.h"

using namespace phonetest;
using apptest::ReadBytes;
using apptest::WriteBytes;

namespace {

const DWORD kMic = MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE;
const DWORD kLine = MIXERLINE_COMPONENTTYPE_SRC_LINE;
const DWORD kCd = MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC;

class PhoneAudio : public PhoneWindowTest {
protected:
    void TearDown() override
    {
        run.Close();
        // Every window the skin dressed is gone again.
        EXPECT_EQ(SkinExit(), 0);
    }
    // The phone window with the program's skin, as the program shows it.
    bool OpenSkinned(const std::function<void(TestDial&)>& more = nullptr)
    {
        return Open(0, [=](TestDial& d) {
            SkinInit();
            SkinLoad(skinFile.c_str(), 0);
            if (more)
                more(d);
        });
    }
    // Clicks a phone window button the way the user's click arrives: posted, so a window
    // it opens runs its modal loop inside the phone window's thread.
    void PostClick(int id) const
    {
        HWND button = nullptr;
        run.Ui([&] { button = ::GetDlgItem(run.h, id); });
        ::PostMessageA(run.h, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    }
    // The window made from dialog `id` once it is up, or null.
    HWND WaitForDialog(UINT id) const
    {
        HWND found = nullptr;
        run.WaitUntil([&] { return (found = audiotest::DialogWindow(id)) != nullptr; }, 5000);
        return found;
    }
    bool WaitGone(HWND w) const
    {
        return run.WaitUntil([&] { return !::IsWindow(w); }, 5000);
    }
    // A key pressed on `target` travels through the modal loop of the window it is in.
    void PressKey(HWND target, UINT vk) const
    {
        const UINT scan = ::MapVirtualKeyA(vk, 0);
        ::PostMessageA(target, WM_KEYDOWN, vk, 1 | (scan << 16));
        ::PostMessageA(target, WM_KEYUP, vk, 1 | (scan << 16) | (3u << 30));
        Flush();
    }
    int Mode(SIPX_RESULT (*getter)(SIPX_INST, int*)) const
    {
        int mode = -1;
        return getter(run.dial->Session().m_hInst, &mode) == SIPX_RESULT_SUCCESS ? mode : -99;
    }
    // The window opened over the middle of the phone window and lies on the screen's work area.
    void ExpectOverThePhoneWindow(HWND dlg) const
    {
        RECT phone, window, area;
        ::GetWindowRect(run.h, &phone);
        ::GetWindowRect(dlg, &window);
        ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
        const POINT middle = {(window.left + window.right) / 2, (window.top + window.bottom) / 2};
        EXPECT_TRUE(::PtInRect(&phone, middle)) << middle.x << "," << middle.y;
        EXPECT_NEAR(middle.y, (phone.top + phone.bottom) / 2, 1);
        EXPECT_GE(window.left, area.left);
        EXPECT_GE(window.top, area.top);
        EXPECT_LE(window.right, area.right);
        EXPECT_LE(window.bottom, area.bottom);
    }
    // True when the window procedure of `w` is the skin library's: the skin dressed it.
    static bool Dressed(HWND w)
    {
        HMODULE module = nullptr;
        const auto proc = reinterpret_cast<LPCSTR>(::GetWindowLongPtrW(w, GWLP_WNDPROC));
        return ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                    proc, &module) &&
               module == ::GetModuleHandleA("SkinFeature.dll");
    }

    std::string skinFile = SkinPath();

private:
    static std::string SkinPath()
    {
        char path[MAX_PATH] = {0};
        ::GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string p = path;
        return p.substr(0, p.find_last_of("\\/") + 1) + "superxp.rss";
    }
};

TEST_F(PhoneAudio, ButtonsShowTheWarningWhileTheLineIsNotRegistered)
{
    ASSERT_TRUE(Open());
    for (int id : {IDC_AUDIO_SETTINGS, IDC_SOUND_QUALITY}) {
        desktop.Reset();
        PostClick(id);
        Flush();
        const auto boxes = desktop.BoxesSeen();
        ASSERT_EQ(boxes.size(), 1u) << id;
        EXPECT_TRUE(IsWarning(boxes[0])) << id;
        EXPECT_TRUE(desktop.SoundsSeen().empty()) << id;
        EXPECT_EQ(audiotest::DialogWindow(IDD_AUDIO_SETTINGS), nullptr);
        EXPECT_EQ(audiotest::DialogWindow(IDD_SOUND_QUALITY), nullptr);
    }
}

TEST_F(PhoneAudio, AudioSettingsDoNotOpenDuringACall)
{
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    desktop.Reset();
    run.Ui([&] { run.dial->m_bInCall = 1; });
    PostClick(IDC_AUDIO_SETTINGS);
    Flush();
    EXPECT_EQ(audiotest::DialogWindow(IDD_AUDIO_SETTINGS), nullptr);
    EXPECT_TRUE(desktop.SoundsSeen().empty());
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

// The window opens over the phone window with the phone window's devices and options;
// its switches act on the phone window's call-control instance; Enter and Escape leave it
// open; Apply hands the choice back and stores it.
TEST_F(PhoneAudio, AudioSettingsRunOverThePhoneWindowAndApplyToIt)
{
    WriteBytes("Audio.xml", "<Audio>\r\n<Dirver playdev=\"*\" recodev=\"*\"/>\r\n</Audio>\r\n");
    WriteBytes("Call.xml", "<CallInfo>\r\n<audio a11=\"1\" a22=\"0\" a33=\"1\"/>\r\n</CallInfo>\r\n");
    ASSERT_TRUE(OpenSkinned());
    ASSERT_TRUE(Register());
    run.Ui([&] {
        run.dial->Session().m_strOutputDevice = "PulseAudio";
        run.dial->Session().m_strInputDevice = "Monitor of Speakers";
    });
    desktop.Reset();
    PostClick(IDC_AUDIO_SETTINGS);
    HWND dlg = WaitForDialog(IDD_AUDIO_SETTINGS);
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{IDW_CLICK});
    EXPECT_EQ(::GetWindow(dlg, GW_OWNER), run.h);
    EXPECT_FALSE(::IsWindowEnabled(run.h));         // modal over the phone window
    EXPECT_EQ(wintest::Text(dlg), "音频设备设置");
    ExpectOverThePhoneWindow(dlg);
    // Dressed by the skin with its own id: the buttons carry the labels of [dialog 133].
    EXPECT_TRUE(Dressed(dlg));
    std::string apply, cancel;
    run.Ui([&] {
        apply = wintest::Text(dlg, IDC_AUDIO_APPLY);
        cancel = wintest::Text(dlg, IDC_AUDIO_CANCEL);
    });
    EXPECT_EQ(apply, "应用");
    EXPECT_EQ(cancel, "取消");

    // What the phone window handed over.
    std::string output, input;
    bool echo = false, noise = true, gain = false;
    run.Ui([&] {
        output = wintest::Text(dlg, IDC_OUTPUT_DEVICE);
        input = wintest::Text(dlg, IDC_INPUT_DEVICE);
        echo = wintest::Checked(dlg, IDC_ECHO_CANCEL);
        noise = wintest::Checked(dlg, IDC_NOISE_REDUCTION);
        gain = wintest::Checked(dlg, IDC_AUTO_GAIN);
    });
    EXPECT_EQ(output, "PulseAudio");
    EXPECT_EQ(input, "Monitor of Speakers");
    EXPECT_TRUE(echo);
    EXPECT_FALSE(noise);
    EXPECT_TRUE(gain);
    EXPECT_TRUE(Screenshot("audio_settings"));

    // Enter and Escape, on a list and on the window itself, change nothing.
    for (HWND target : {::GetDlgItem(dlg, IDC_OUTPUT_DEVICE), dlg}) {
        PressKey(target, VK_RETURN);
        PressKey(target, VK_ESCAPE);
    }
    EXPECT_TRUE(::IsWindowVisible(dlg));

    // Other devices chosen.
    run.Ui([&] {
        const auto outputs = audiotest::ListItems(dlg, IDC_OUTPUT_DEVICE);
        const auto inputs = audiotest::ListItems(dlg, IDC_INPUT_DEVICE);
        ::SendDlgItemMessageA(dlg, IDC_OUTPUT_DEVICE, CB_SETCURSEL, audiotest::LastIndexOf(outputs, "Speakers"), 0);
        ::SendDlgItemMessageA(dlg, IDC_INPUT_DEVICE, CB_SETCURSEL, audiotest::LastIndexOf(inputs, "Monitor of Microphone"), 0);
    });
    sipx.Clear();
    run.Ui([&] {
        wintest::Click(dlg, IDC_ECHO_CANCEL);       // off
        wintest::Click(dlg, IDC_NOISE_REDUCTION);   // on
    });
    EXPECT_EQ(sipx.Texts(), (std::vector<std::string>{"AudioSetAECMode(0)", "AudioSetNoiseReductionMode(1)"}));
    EXPECT_EQ(Mode(sipxAudioGetAECMode), 0);
    EXPECT_EQ(Mode(sipxAudioGetNoiseReductionMode), 1);
    int phoneEcho = -1;
    run.Ui([&] { phoneEcho = run.dial->Session().m_bEchoCancel; });
    EXPECT_EQ(phoneEcho, 1);                        // until Apply

    run.Ui([&] { wintest::Click(dlg, IDC_AUDIO_APPLY); });
    ASSERT_TRUE(WaitGone(dlg));
    EXPECT_TRUE(run.WaitUntil([&] { return ::IsWindowEnabled(run.h) != FALSE; }));
    std::string phoneOutput, phoneInput;
    int flags[3] = {-1, -1, -1};
    run.Ui([&] {
        phoneOutput = run.dial->Session().m_strOutputDevice;
        phoneInput = run.dial->Session().m_strInputDevice;
        flags[0] = run.dial->Session().m_bEchoCancel;
        flags[1] = run.dial->Session().m_bNoiseReduction;
        flags[2] = run.dial->Session().m_bAutoGain;
    });
    EXPECT_EQ(phoneOutput, "Speakers");
    EXPECT_EQ(phoneInput, "Monitor of Microphone");
    EXPECT_EQ(flags[0], 0);
    EXPECT_EQ(flags[1], 1);
    EXPECT_EQ(flags[2], 1);
    EXPECT_EQ(ReadBytes("Audio.xml"),
              "<Audio>\r\n<Dirver playdev=\"Speakers\" recodev=\"Monitor of Microphone\"/>\r\n</Audio>\r\n");
    EXPECT_EQ(ReadBytes("Call.xml"), "<CallInfo>\r\n<audio a11=\"0\" a22=\"1\" a33=\"1\"/>\r\n</CallInfo>\r\n");
    EXPECT_EQ(desktop.SoundsSeen(), std::vector<int>{IDW_CLICK});

    // The next call hands the chosen devices to the library.
    sipx.Clear();
    SetNumber("02088886666");
    Press(IDC_CALL);
    EXPECT_EQ(sipx.Matching("AudioSet"), (std::vector<std::string>{"AudioSetInputDevice(\"Monitor of Microphone\",0)",
                                                                   "AudioSetOutputDevice(\"Speakers\",0)"}));
}

TEST_F(PhoneAudio, AudioSettingsCloseWithTheirCloseBoxAndOpenAgain)
{
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Register());
    desktop.Reset();
    for (int round = 0; round < 2; ++round) {
        PostClick(IDC_AUDIO_SETTINGS);
        HWND dlg = WaitForDialog(IDD_AUDIO_SETTINGS);
        ASSERT_NE(dlg, nullptr) << round;
        ::PostMessageA(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
        ASSERT_TRUE(WaitGone(dlg)) << round;
    }
    EXPECT_EQ(desktop.SoundsSeen(), (std::vector<int>{IDW_CLICK, IDW_CLICK}));
    EXPECT_TRUE(run.WaitUntil([&] { return ::IsWindowEnabled(run.h) != FALSE; }));
}

// The help window has no controls of its own; Enter and Escape leave it open, its close
// box closes it, and only then the click sound plays.
TEST_F(PhoneAudio, SoundQualityHelpRunsModallyAndSoundsWhenClosed)
{
    ASSERT_TRUE(OpenSkinned());
    ASSERT_TRUE(Register());
    desktop.Reset();
    PostClick(IDC_SOUND_QUALITY);
    HWND dlg = WaitForDialog(IDD_SOUND_QUALITY);
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(wintest::Text(dlg), "音质问题？");
    ExpectOverThePhoneWindow(dlg);
    EXPECT_EQ(::GetWindow(dlg, GW_OWNER), run.h);
    EXPECT_FALSE(::IsWindowEnabled(run.h));
    EXPECT_EQ(::GetWindow(dlg, GW_CHILD), nullptr);
    EXPECT_TRUE(::GetWindowLongA(dlg, GWL_STYLE) & WS_SYSMENU);
    RECT r = {0, 0, 254, 261};
    ::MapDialogRect(dlg, &r);
    RECT client;
    ::GetClientRect(dlg, &client);
    EXPECT_EQ(client.right, r.right);
    EXPECT_EQ(client.bottom, r.bottom);
    EXPECT_TRUE(Dressed(dlg));
    EXPECT_TRUE(Screenshot("sound_quality"));

    PressKey(dlg, VK_RETURN);
    PressKey(dlg, VK_ESCAPE);
    EXPECT_TRUE(::IsWindowVisible(dlg));
    EXPECT_TRUE(desktop.SoundsSeen().empty());

    ::PostMessageA(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_TRUE(WaitGone(dlg));
    EXPECT_TRUE(run.WaitUntil([&] { return desktop.SoundsSeen() == std::vector<int>{IDW_CLICK}; }));
    EXPECT_TRUE(::IsWindowEnabled(run.h));
}

// At its start the phone window makes the microphone the recording source of every input.
TEST_F(PhoneAudio, StartSelectsTheMicrophoneOnEveryInputDevice)
{
    audiotest::FakeMixer mixer;
    mixer.devices = {audiotest::Device({kLine, kMic, kCd}, {audiotest::Mux(7, 3)}),
                     audiotest::Device({kMic, kLine}, {audiotest::Mux(9, 2)})};
    ASSERT_TRUE(Open());
    const auto writes = mixer.ListWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].device, 0);
    EXPECT_EQ(writes[0].values, (std::vector<DWORD>{0, 1, 0}));
    EXPECT_EQ(writes[1].device, 1);
    EXPECT_EQ(writes[1].values, (std::vector<DWORD>{0, 1}));
    EXPECT_EQ(mixer.openMixers, 0);
    EXPECT_EQ(audiotest::NotifyWindows(), 0);
}

}  // namespace
