// The phone window's speaker and microphone sliders, mute boxes and level bars: the
// speaker slider on the machine's mixer device 0 (Wine's, over PulseAudio), the rest on
// the call-control instance.
#include "PhoneFixture.h"
#include <mmsystem.h>
#include "MixerCalls.h"

using namespace phonetest;

namespace {

// The mixer calls go to the system; the writes are recorded on their way, since Wine's
// wave-output line keeps no volume to read back. A mixer count of 0 stands for a
// computer without a mixer.
struct MixerWrite {
    DWORD control;
    std::vector<DWORD> values;
};
std::mutex g_mixerMutex;
std::vector<MixerWrite> g_mixerWrites;
bool g_noMixer = false;

UINT WINAPI CountMixers() { return g_noMixer ? 0 : ::mixerGetNumDevs(); }

MMRESULT WINAPI OpenMixer(LPHMIXER h, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    if (g_noMixer)
        return MMSYSERR_BADDEVICEID;
    return ::mixerOpen(h, id, callback, instance, flags);
}

MMRESULT WINAPI SetDetails(HMIXEROBJ h, LPMIXERCONTROLDETAILS d, DWORD flags)
{
    {
        std::lock_guard<std::mutex> lock(g_mixerMutex);
        MixerWrite w{d->dwControlID, {}};
        const auto* v = static_cast<const MIXERCONTROLDETAILS_UNSIGNED*>(d->paDetails);
        for (DWORD i = 0; i < d->cChannels; ++i)
            w.values.push_back(v[i].dwValue);
        g_mixerWrites.push_back(w);
    }
    return ::mixerSetControlDetails(h, d, flags);
}

// The three calls above in front of the system's mixer calls.
class RecordedMixer : public MixerCalls {
public:
    UINT GetNumDevs() override { return CountMixers(); }
    MMRESULT Open(HMIXER* h, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) override
    {
        return OpenMixer(h, id, callback, instance, flags);
    }
    MMRESULT SetControlDetails(HMIXEROBJ h, MIXERCONTROLDETAILS* d, DWORD flags) override
    {
        return SetDetails(h, d, flags);
    }
};

// The volume controls of mixer device 0: the speakers line's and its wave-output line's.
struct SpeakerControls {
    DWORD master = 0xFFFFFFFF;
    DWORD waveOut = 0xFFFFFFFF;
    DWORD waveOutChannels = 0;
};

SpeakerControls FindControls()
{
    SpeakerControls c;
    HMIXER h = nullptr;
    if (::mixerOpen(&h, 0, 0, 0, 0) != MMSYSERR_NOERROR)
        return c;
    MIXERLINEA dst = {};
    dst.cbStruct = sizeof dst;
    dst.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
    auto volumeOf = [&](DWORD line) {
        MIXERCONTROLA mc = {};
        mc.cbStruct = sizeof mc;
        MIXERLINECONTROLSA lc = {};
        lc.cbStruct = sizeof lc;
        lc.dwLineID = line;
        lc.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
        lc.cControls = 1;
        lc.cbmxctrl = sizeof mc;
        lc.pamxctrl = &mc;
        return ::mixerGetLineControlsA(reinterpret_cast<HMIXEROBJ>(h), &lc, MIXER_GETLINECONTROLSF_ONEBYTYPE) ==
                       MMSYSERR_NOERROR ? mc.dwControlID : 0xFFFFFFFF;
    };
    if (::mixerGetLineInfoA(reinterpret_cast<HMIXEROBJ>(h), &dst, MIXER_GETLINEINFOF_COMPONENTTYPE) ==
        MMSYSERR_NOERROR) {
        c.master = volumeOf(dst.dwLineID);
        for (DWORD s = 0; s < dst.cConnections; ++s) {
            MIXERLINEA src = {};
            src.cbStruct = sizeof src;
            src.dwDestination = dst.dwDestination;
            src.dwSource = s;
            if (::mixerGetLineInfoA(reinterpret_cast<HMIXEROBJ>(h), &src, MIXER_GETLINEINFOF_SOURCE) ==
                    MMSYSERR_NOERROR && src.dwComponentType == MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT) {
                c.waveOut = volumeOf(src.dwLineID);
                c.waveOutChannels = src.cChannels;
                break;
            }
        }
    }
    ::mixerClose(h);
    return c;
}

// The master volume as the mixer holds it now.
DWORD ReadMaster(DWORD control)
{
    HMIXER h = nullptr;
    if (::mixerOpen(&h, 0, 0, 0, 0) != MMSYSERR_NOERROR)
        return 0xFFFFFFFF;
    MIXERCONTROLDETAILS_UNSIGNED v = {};
    MIXERCONTROLDETAILS d = {};
    d.cbStruct = sizeof d;
    d.dwControlID = control;
    d.cChannels = 1;
    d.cbDetails = sizeof v;
    d.paDetails = &v;
    const MMRESULT r = ::mixerGetControlDetailsA(reinterpret_cast<HMIXEROBJ>(h), &d, MIXER_GETCONTROLDETAILSF_VALUE);
    ::mixerClose(h);
    return r == MMSYSERR_NOERROR ? v.dwValue : 0xFFFFFFFF;
}

class Volume : public PhoneWindowTest {
protected:
    void SetUp() override
    {
        PhoneWindowTest::SetUp();
        m_previous = SetMixerCalls(&m_mixer);
        g_noMixer = false;
        Writes().clear();
    }
    void TearDown() override
    {
        SetMixerCalls(m_previous);
        PhoneWindowTest::TearDown();
    }

    static std::vector<MixerWrite>& Writes() { return g_mixerWrites; }
    static std::vector<MixerWrite> TakeWrites()
    {
        std::lock_guard<std::mutex> lock(g_mixerMutex);
        std::vector<MixerWrite> w;
        w.swap(g_mixerWrites);
        return w;
    }
    // The user takes a slider to its top (Home) or bottom (End) with the keyboard; the
    // trackbar tells the window as it does for the mouse.
    void Slide(int id, UINT vk) const
    {
        run.Ui([&] {
            HWND s = ::GetDlgItem(run.h, id);
            ::SendMessageA(s, WM_KEYDOWN, vk, 0);
            ::SendMessageA(s, WM_KEYUP, vk, 0xC0000001);
        });
    }
    int Pos(int id) const
    {
        int p = 0;
        run.Ui([&] { p = static_cast<int>(::SendDlgItemMessageA(run.h, id, TBM_GETPOS, 0, 0)); });
        return p;
    }

    RecordedMixer m_mixer;
    MixerCalls* m_previous = nullptr;
};

TEST_F(Volume, SpeakerSliderDrivesTheMasterAndWaveOutputVolumes)
{
    const SpeakerControls controls = FindControls();
    ASSERT_NE(controls.master, 0xFFFFFFFFu) << "Wine's mixer 0 has a speakers volume";
    ASSERT_NE(controls.waveOut, 0xFFFFFFFFu) << "and a wave-output line with a volume";
    ASSERT_TRUE(Open());

    run.Ui([&] {
        EXPECT_EQ(::SendDlgItemMessageA(run.h, IDC_SPEAKER_VOLUME, TBM_GETRANGEMIN, 0, 0), 0);
        EXPECT_EQ(::SendDlgItemMessageA(run.h, IDC_SPEAKER_VOLUME, TBM_GETRANGEMAX, 0, 0), 65535);
        EXPECT_EQ(::SendDlgItemMessageA(run.h, IDC_MICROPHONE_VOLUME, TBM_GETRANGEMIN, 0, 0), 0);
        EXPECT_EQ(::SendDlgItemMessageA(run.h, IDC_MICROPHONE_VOLUME, TBM_GETRANGEMAX, 0, 0), 100);
    });
    // Start positions, whatever the mixer said; then master 45535 and wave output 55535.
    EXPECT_EQ(Pos(IDC_SPEAKER_VOLUME), 20000);
    EXPECT_EQ(Pos(IDC_MICROPHONE_VOLUME), 0);
    EXPECT_EQ(ReadMaster(controls.master), 45535u);
    auto writes = TakeWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].control, controls.master);
    EXPECT_EQ(writes[0].values, std::vector<DWORD>{45535});
    EXPECT_EQ(writes[1].control, controls.waveOut);
    EXPECT_EQ(writes[1].values, std::vector<DWORD>(controls.waveOutChannels ? controls.waveOutChannels : 1, 55535));

    // Top is loudest.
    Slide(IDC_SPEAKER_VOLUME, VK_HOME);
    EXPECT_EQ(Pos(IDC_SPEAKER_VOLUME), 0);
    EXPECT_EQ(ReadMaster(controls.master), 65535u);
    writes = TakeWrites();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[0].control, controls.master);
    EXPECT_EQ(writes[0].values, std::vector<DWORD>{65535});
    EXPECT_EQ(writes[1].control, controls.waveOut);
    EXPECT_EQ(writes[1].values[0], 65535u);

    Slide(IDC_SPEAKER_VOLUME, VK_END);
    EXPECT_EQ(Pos(IDC_SPEAKER_VOLUME), 65535);
    EXPECT_EQ(ReadMaster(controls.master), 0u);
    writes = TakeWrites();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[0].values, std::vector<DWORD>{0});
    EXPECT_EQ(writes[1].control, controls.waveOut);
    EXPECT_EQ(writes[1].values[0], 0u);
    // The speaker slider has nothing to do with the library.
    EXPECT_TRUE(sipx.Matching("AudioSetInputVolume(").size() == 1u);
}

TEST_F(Volume, WithoutAMixerTheWindowOpensAndTheSpeakerSliderDoesNothing)
{
    g_noMixer = true;
    ASSERT_TRUE(Open());
    EXPECT_EQ(Pos(IDC_SPEAKER_VOLUME), 20000);
    Slide(IDC_SPEAKER_VOLUME, VK_HOME);
    EXPECT_EQ(Pos(IDC_SPEAKER_VOLUME), 0);
    EXPECT_TRUE(TakeWrites().empty());
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

TEST_F(Volume, MicrophoneSliderSetsTheInputVolumeFrom99Down)
{
    ASSERT_TRUE(Open());
    sipx.Clear();
    Slide(IDC_MICROPHONE_VOLUME, VK_END);       // bottom: position 100
    Slide(IDC_MICROPHONE_VOLUME, VK_HOME);      // top: position 0
    run.Ui([&] {
        ::SendDlgItemMessageA(run.h, IDC_MICROPHONE_VOLUME, TBM_SETPOS, TRUE, 30);
        ::SendMessageA(run.h, WM_VSCROLL, MAKEWPARAM(TB_THUMBPOSITION, 30),
                       reinterpret_cast<LPARAM>(::GetDlgItem(run.h, IDC_MICROPHONE_VOLUME)));
    });
    const auto v = sipx.Matching("AudioSetInputVolume");
    // Each key press reports its move and, on key up, the end of the scroll.
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.front(), "AudioSetInputVolume(-1)");
    EXPECT_NE(std::find(v.begin(), v.end(), "AudioSetInputVolume(99)"), v.end());
    EXPECT_EQ(v.back(), "AudioSetInputVolume(69)");
    EXPECT_TRUE(TakeWrites().size() == 2u);   // only the start-up's master and wave output

    // Horizontal scroll messages do nothing.
    sipx.Clear();
    run.Ui([&] {
        ::SendMessageA(run.h, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, 30),
                       reinterpret_cast<LPARAM>(::GetDlgItem(run.h, IDC_MICROPHONE_VOLUME)));
    });
    EXPECT_TRUE(sipx.Texts().empty());
}

TEST_F(Volume, MicrophoneSliderWithoutAnInstanceCallsNothing)
{
    sipx.failing = {"Initialize"};
    ASSERT_TRUE(Open());
    sipx.Clear();
    Slide(IDC_MICROPHONE_VOLUME, VK_END);
    EXPECT_TRUE(sipx.Texts().empty());
    sipx.failing.clear();
}

TEST_F(Volume, MuteBoxesFollowTheirTicks)
{
    ASSERT_TRUE(Open());
    sipx.Clear();
    EXPECT_TRUE(Click(IDC_MUTE_SPEAKER));
    EXPECT_TRUE(Click(IDC_MUTE_SPEAKER));
    EXPECT_TRUE(Click(IDC_MUTE_MICROPHONE));
    EXPECT_TRUE(Click(IDC_MUTE_MICROPHONE));
    EXPECT_EQ(sipx.Texts(), (std::vector<std::string>{"AudioMuteOutput(1)", "AudioMuteOutput(0)", "AudioMuteInput(1)",
                                                       "AudioMuteInput(0)"}));
    EXPECT_TRUE(desktop.BoxesSeen().empty());
}

TEST_F(Volume, LevelBarsShowTheEnergiesOnlyOnceTheLineIsRegistered)
{
    sipx.inputEnergy = 37.9;
    sipx.outputEnergy = 62.5;
    ASSERT_TRUE(Open());
    auto bars = [&] {
        std::pair<LRESULT, LRESULT> p;
        run.Ui([&] {
            p.first = ::SendDlgItemMessageA(run.h, IDC_SPEAKER_LEVEL, PBM_GETPOS, 0, 0);
            p.second = ::SendDlgItemMessageA(run.h, IDC_MICROPHONE_LEVEL, PBM_GETPOS, 0, 0);
        });
        return p;
    };
    run.Ui([&] {
        for (int id : {IDC_SPEAKER_LEVEL, IDC_MICROPHONE_LEVEL}) {
            EXPECT_EQ(::SendDlgItemMessageA(run.h, id, PBM_GETRANGE, TRUE, 0), 0) << id;
            EXPECT_EQ(::SendDlgItemMessageA(run.h, id, PBM_GETRANGE, FALSE, 0), 100) << id;
        }
    });
    Settle(300);
    EXPECT_EQ(bars(), std::make_pair(LRESULT(0), LRESULT(0)));

    ASSERT_TRUE(Register());
    EXPECT_TRUE(run.WaitUntil([&] { return bars() == std::make_pair(LRESULT(62), LRESULT(37)); }, 1000));
    sipx.inputEnergy = 0.99;
    sipx.outputEnergy = 99.99;
    EXPECT_TRUE(run.WaitUntil([&] { return bars() == std::make_pair(LRESULT(99), LRESULT(0)); }, 1000));
    // A registration failure does not stop them.
    LineEvent(SIPX_LINESTATE_REGISTER_FAILED);
    sipx.inputEnergy = 12.0;
    EXPECT_TRUE(run.WaitUntil([&] { return bars() == std::make_pair(LRESULT(99), LRESULT(12)); }, 1000));
    // Silence with no call slows the bars down; sound that comes later still shows.
    sipx.inputEnergy = 0.0;
    sipx.outputEnergy = 0.0;
    EXPECT_TRUE(run.WaitUntil([&] { return bars() == std::make_pair(LRESULT(0), LRESULT(0)); }, 1000));
    Settle(1500);   // past the second of zeros
    sipx.outputEnergy = 40.0;
    EXPECT_TRUE(run.WaitUntil([&] { return bars() == std::make_pair(LRESULT(40), LRESULT(0)); }, 1000));
}

}  // namespace
