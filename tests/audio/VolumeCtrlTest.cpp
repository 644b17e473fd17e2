// The recording mixer control and the microphone selection: on mixers of our own making
// (a computer without a mixer, devices that fail to open, single sources, multiplexers and
// mixer lists) and on the test bed's own mixers (Wine's, over PulseAudio).
#include <gtest/gtest.h>
#include <windows.h>
#include <mmsystem.h>
#include <memory>
#include "AudioCtrl.h"
#include "FakeMixer.h"
#include "VolumeCtrl.h"

using namespace audiotest;

namespace {

const DWORD kMic = MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE;
const DWORD kLine = MIXERLINE_COMPONENTTYPE_SRC_LINE;
const DWORD kCd = MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC;

using Values = std::vector<DWORD>;

class RecordingMixerControl : public ::testing::Test {
protected:
    void TearDown() override
    {
        // Whatever a test did: nothing of ours is left open.
        EXPECT_EQ(mixer.openWaveIns, 0);
        EXPECT_EQ(mixer.openMixers, 0);
        EXPECT_EQ(NotifyWindows(), 0);
    }
    FakeMixer mixer;
};

// --- opening ------------------------------------------------------------------------------

TEST_F(RecordingMixerControl, OpensTheMixerOfTheWaveInDeviceWithAHiddenNotificationWindow)
{
    mixer.devices = {Device({kLine, kMic}, {Mux(7, 2)}), Device({kLine, kMic}, {Mux(7, 2)})};
    {
        CVolumeCtrl control(1, 1);
        ASSERT_EQ(mixer.waveInOpens.size(), 1u);
        const auto& open = mixer.waveInOpens[0];
        EXPECT_EQ(open.device, 1u);
        EXPECT_EQ(open.format.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(open.format.nChannels, 1);
        EXPECT_EQ(open.format.nSamplesPerSec, 22050u);
        EXPECT_EQ(open.format.wBitsPerSample, 16);
        EXPECT_EQ(open.format.nBlockAlign, 2);
        EXPECT_EQ(open.format.nAvgBytesPerSec, 44100u);
        EXPECT_EQ(open.callback, 0u);
        EXPECT_EQ(open.flags, static_cast<DWORD>(CALLBACK_NULL));
        EXPECT_EQ(mixer.getIdFlags, std::vector<DWORD>{MIXER_OBJECTF_HWAVEIN});
        EXPECT_TRUE(mixer.waveInClosedBeforeMixerOpen);

        // The mixer of that device, its notifications to the hidden window.
        ASSERT_EQ(mixer.mixerOpens.size(), 1u);
        EXPECT_EQ(mixer.mixerOpens[0].id, FakeMixer::MixerId(1));
        EXPECT_EQ(mixer.mixerOpens[0].flags, static_cast<DWORD>(CALLBACK_WINDOW));
        HWND notify = reinterpret_cast<HWND>(mixer.mixerOpens[0].callback);
        ASSERT_TRUE(::IsWindow(notify));
        EXPECT_EQ(notify, ::FindWindowA(CVolumeCtrl::kNotifyClass, CVolumeCtrl::kNotifyTitle));
        EXPECT_FALSE(::IsWindowVisible(notify));
        EXPECT_FALSE(::IsWindowEnabled(notify));
        EXPECT_EQ(::GetWindowLongA(notify, GWL_STYLE) & (WS_POPUP | WS_CHILD), WS_POPUP);
        EXPECT_EQ(::GetParent(notify), nullptr);
        EXPECT_EQ(::GetWindowThreadProcessId(notify, nullptr), ::GetCurrentThreadId());
        EXPECT_EQ(mixer.openMixers, 1);
        EXPECT_TRUE(control.HasVolumeControl());
    }
    // Destroyed: the mixer is closed and the window gone (checked in TearDown).
    EXPECT_EQ(mixer.openMixers, 0);
}

TEST_F(RecordingMixerControl, TwoControlsAtOnceShareTheWindowClass)
{
    mixer.devices = {Device({kLine, kMic}, {Mux(7, 2)}), Device({kLine, kMic}, {Mux(7, 2)})};
    auto first = std::make_unique<CVolumeCtrl>(1, 0);
    auto second = std::make_unique<CVolumeCtrl>(1, 1);
    EXPECT_TRUE(first->HasVolumeControl());
    EXPECT_TRUE(second->HasVolumeControl());
    EXPECT_EQ(NotifyWindows(), 2);
    EXPECT_EQ(mixer.openMixers, 2);
    first.reset();
    EXPECT_EQ(NotifyWindows(), 1);
    second.reset();
}

// Every way opening or examining can fail leaves a harmless object.
TEST_F(RecordingMixerControl, FailuresLeaveAnObjectThatDoesNothing)
{
    struct Row {
        const char* name;
        UINT mixers;
        FakeDevice device;
        size_t waveInOpens, mixerOpens;     // calls expected
    };
    FakeDevice noWaveIn = Device({kLine, kMic}, {Mux(7, 2)});
    noWaveIn.waveInOpens = false;
    FakeDevice noId = Device({kLine, kMic}, {Mux(7, 2)});
    noId.hasMixerId = false;
    FakeDevice noMixer = Device({kLine, kMic}, {Mux(7, 2)});
    noMixer.mixerOpens = false;
    FakeDevice noRecording = Device({kLine, kMic}, {Mux(7, 2)});
    noRecording.hasRecordingLine = false;
    const Row rows[] = {
        {"computer without a mixer", 0, Device({kLine, kMic}, {Mux(7, 2)}), 0, 0},
        {"wave-in device does not open", 1, noWaveIn, 1, 0},
        {"no mixer id for the device", 1, noId, 1, 0},
        {"mixer does not open", 1, noMixer, 1, 1},
        {"no recording destination", 1, noRecording, 1, 1},
        {"single source: source 1 out of range", 1, Device({kMic}, {Mux(7, 1)}), 1, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeMixer local;
        local.mixerCount = row.mixers;
        local.devices = {row.device};
        {
            CVolumeCtrl control(1, 0);
            EXPECT_EQ(local.waveInOpens.size(), row.waveInOpens);
            EXPECT_EQ(local.mixerOpens.size(), row.mixerOpens);
            // Closed at once, nothing left behind.
            EXPECT_EQ(local.openWaveIns, 0);
            EXPECT_EQ(local.openMixers, 0);
            EXPECT_EQ(NotifyWindows(), 0);

            EXPECT_FALSE(control.HasVolumeControl());
            EXPECT_EQ(control.MinimumLevel(), -1);
            EXPECT_EQ(control.MaximumLevel(), -1);
            EXPECT_EQ(control.LevelSteps(), -1);
            EXPECT_EQ(control.CurrentLevel(), -1);
            control.SelectMicrophone();
            control.SetLevel(100);
            control.DoNothing();
            EXPECT_TRUE(local.writes.empty());
        }
        EXPECT_EQ(local.openMixers, 0);
    }
}

// --- selecting the microphone -------------------------------------------------------------

// The recording destination's list controls after SelectMicrophone on source line 1.
TEST_F(RecordingMixerControl, SelectMicrophoneSetsOnlyTheMicrophonesItemCountedFromTheEnd)
{
    FakeControl mixerList;      // a mixer list of two channels, not uniform
    mixerList.id = 8;
    mixerList.type = MIXERCONTROL_CONTROLTYPE_MIXER;
    mixerList.flags = MIXERCONTROL_CONTROLF_MULTIPLE;
    mixerList.items = 3;
    FakeControl mute;           // boolean, one item: not a list
    mute.id = 9;
    mute.type = MIXERCONTROL_CONTROLTYPE_MUTE;
    mute.flags = MIXERCONTROL_CONTROLF_UNIFORM;
    FakeControl volume;         // not boolean
    volume.id = 10;
    volume.type = MIXERCONTROL_CONTROLTYPE_VOLUME;
    volume.flags = MIXERCONTROL_CONTROLF_UNIFORM;

    struct Row {
        const char* name;
        FakeDevice device;
        std::vector<std::pair<DWORD, Values>> expected;   // control id -> values sent
    };
    const Row rows[] = {
        {"line-in, microphone, CD", Device({kLine, kMic, kCd}, {Mux(7, 3)}), {{7, {0, 1, 0}}}},
        {"microphone first", Device({kMic, kLine, kCd}, {Mux(7, 3)}), {{7, {0, 0, 1}}}},
        {"microphone last", Device({kLine, kCd, kMic}, {Mux(7, 3)}), {{7, {1, 0, 0}}}},
        {"two microphones: the first counts", Device({kLine, kMic, kMic}, {Mux(7, 3)}), {{7, {0, 1, 0}}}},
        {"no microphone", Device({kLine, kCd}, {Mux(7, 2)}), {{7, {0, 0}}}},
        {"mixer list, one value per channel", Device({kMic, kLine, kCd}, {mixerList}), {{8, {0, 0, 1, 0, 0, 1}}}},
        {"only list controls are written", Device({kLine, kMic, kCd}, {mute, Mux(7, 3), volume}), {{7, {0, 1, 0}}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeMixer local;
        local.devices = {row.device};
        CVolumeCtrl control(1, 0);
        ASSERT_TRUE(control.HasVolumeControl());
        EXPECT_TRUE(local.writes.empty());
        control.SelectMicrophone();
        ASSERT_EQ(local.writes.size(), row.expected.size());
        for (size_t i = 0; i < row.expected.size(); ++i) {
            const MixerWrite& w = local.writes[i];
            EXPECT_EQ(w.control, row.expected[i].first);
            EXPECT_EQ(w.values, row.expected[i].second);
            EXPECT_EQ(w.channels * w.items, w.values.size());
        }
    }
}

TEST_F(RecordingMixerControl, SelectMicrophoneNeedsAnEnabledVolumeControlOnTheSourceLine)
{
    FakeDevice disabled = Device({kLine, kMic, kCd}, {Mux(7, 3)});
    disabled.sources[1].volumeFlags = MIXERCONTROL_CONTROLF_DISABLED;
    FakeDevice missing = Device({kLine, kMic, kCd}, {Mux(7, 3)});
    missing.sources[1].volume = false;
    for (const FakeDevice& device : {disabled, missing}) {
        FakeMixer local;
        local.devices = {device};
        CVolumeCtrl control(1, 0);
        EXPECT_FALSE(control.HasVolumeControl());
        EXPECT_EQ(control.MinimumLevel(), -1);
        control.SelectMicrophone();
        EXPECT_TRUE(local.writes.empty());
        // The mixer stays open until the object goes.
        EXPECT_EQ(local.openMixers, 1);
    }
}

// --- levels --------------------------------------------------------------------------------

TEST_F(RecordingMixerControl, LevelsComeFromTheSourceLinesVolumeControl)
{
    FakeDevice device = Device({kLine, kMic}, {Mux(7, 2)});
    FakeSource& mic = device.sources[1];
    mic.minimum = 0x100;
    mic.maximum = 0xF000;
    mic.steps = 64;
    mic.levels = {0x4000, 0x5000};
    mixer.devices = {device};
    CVolumeCtrl control(1, 0);
    EXPECT_EQ(control.MinimumLevel(), 0x100);
    EXPECT_EQ(control.MaximumLevel(), 0xF000);
    EXPECT_EQ(control.LevelSteps(), 64);
    EXPECT_EQ(control.CurrentLevel(), 0x4000);

    // Outside the bounds (compared unsigned): nothing is written.
    for (DWORD value : {0xF001ul, 0xFFul, 0xFFFFFFFFul})
        control.SetLevel(value);
    EXPECT_TRUE(mixer.writes.empty());
    EXPECT_EQ(control.CurrentLevel(), 0x4000);

    // Within them, both bounds included: every channel.
    control.SetLevel(0xF000);
    control.SetLevel(0x100);
    control.SetLevel(0x8000);
    ASSERT_EQ(mixer.writes.size(), 3u);
    EXPECT_EQ(mixer.writes[0].values, (Values{0xF000, 0xF000}));
    EXPECT_EQ(mixer.writes[1].values, (Values{0x100, 0x100}));
    EXPECT_EQ(mixer.writes[2].control, FakeMixer::VolumeControl(1));
    EXPECT_EQ(mixer.writes[2].values, (Values{0x8000, 0x8000}));
    EXPECT_EQ(control.CurrentLevel(), 0x8000);

    // A control that cannot be read.
    mixer.devices[0].readsLevels = false;
    EXPECT_EQ(control.CurrentLevel(), -1);
}

// --- the microphone selection of every input device -------------------------------------

class MicrophoneSelection : public RecordingMixerControl {
protected:
    std::vector<int> DevicesWritten() const
    {
        std::vector<int> out;
        for (const MixerWrite& w : mixer.ListWrites())
            out.push_back(w.device);
        return out;
    }
    CAudioCtrl audio;
};

TEST_F(MicrophoneSelection, EveryInputDeviceGetsItsMicrophoneSelected)
{
    mixer.devices = {Device({kLine, kMic, kCd}, {Mux(7, 3)}), Device({kMic, kLine}, {Mux(5, 2)})};
    audio.SelectMicrophoneOnAllInputs(1);
    ASSERT_EQ(mixer.writes.size(), 2u);
    EXPECT_EQ(mixer.writes[0].device, 0);
    EXPECT_EQ(mixer.writes[0].values, (Values{0, 1, 0}));
    EXPECT_EQ(mixer.writes[1].device, 1);
    EXPECT_EQ(mixer.writes[1].control, 5u);
    EXPECT_EQ(mixer.writes[1].values, (Values{0, 1}));
    EXPECT_EQ(audio.GetSafeHwnd(), nullptr);        // it never has a window
}

TEST_F(MicrophoneSelection, DevicesWithoutAUsableMixerArePassedOver)
{
    FakeDevice noWaveIn = Device({kLine, kMic}, {Mux(7, 2)});
    noWaveIn.waveInOpens = false;
    FakeDevice noMixer = Device({kLine, kMic}, {Mux(7, 2)});
    noMixer.mixerOpens = false;
    mixer.devices = {noWaveIn, Device({kMic}, {Mux(7, 1)}), noMixer, Device({kLine, kMic}, {Mux(7, 2)})};
    audio.SelectMicrophoneOnAllInputs(1);
    EXPECT_EQ(mixer.waveInOpens.size(), 4u);
    EXPECT_EQ(DevicesWritten(), std::vector<int>{3});
}

TEST_F(MicrophoneSelection, TheDeviceCountIsAskedAgainBeforeEveryDevice)
{
    for (int d = 0; d < 4; ++d)
        mixer.devices.push_back(Device({kLine, kMic}, {Mux(7, 2)}));
    // A device goes away after the first one was done.
    mixer.inputCounts = {3, 1};
    audio.SelectMicrophoneOnAllInputs(1);
    EXPECT_EQ(DevicesWritten(), std::vector<int>{0});
    EXPECT_EQ(mixer.waveInCountQueries, 2);

    // One comes while the selection runs.
    FakeMixer growing;
    growing.devices = mixer.devices;
    growing.inputCounts = {1, 2, 3, 3};
    audio.SelectMicrophoneOnAllInputs(1);
    EXPECT_EQ(growing.ListWrites().size(), 3u);
    EXPECT_EQ(growing.waveInCountQueries, 4);
}

TEST_F(MicrophoneSelection, NoInputDeviceNoWork)
{
    mixer.devices = {Device({kLine, kMic}, {Mux(7, 2)})};
    mixer.inputCounts = {0};
    audio.SelectMicrophoneOnAllInputs(1);
    EXPECT_TRUE(mixer.waveInOpens.empty());
    EXPECT_TRUE(mixer.writes.empty());
}

// --- the test bed's own mixers ------------------------------------------------------------

// Wine gives every PulseAudio source one recording destination with a single microphone
// source that has a volume control, and no multiplexer.
class BedMixers : public ::testing::Test {
protected:
    void TearDown() override
    {
        EXPECT_EQ(spy.openWaveIns, 0);
        EXPECT_EQ(spy.openMixers, 0);
        EXPECT_EQ(NotifyWindows(), 0);
    }
    SystemMixerSpy spy;
};

TEST_F(BedMixers, SelectionVisitsEveryDeviceAndChangesNothingOnASingleSource)
{
    const UINT inputs = ::waveInGetNumDevs();
    ASSERT_GE(inputs, 2u) << "the test bed has a PulseAudio server with two sinks";
    CAudioCtrl audio;
    audio.SelectMicrophoneOnAllInputs(1);
    ASSERT_EQ(spy.waveInOpens.size(), inputs);
    for (UINT d = 0; d < inputs; ++d)
        EXPECT_EQ(spy.waveInOpens[d].device, d);
    EXPECT_EQ(spy.waveInCountQueries, static_cast<int>(inputs) + 1);
    EXPECT_EQ(spy.mixerOpens.size(), inputs);       // every device has a mixer here
    EXPECT_TRUE(spy.writes.empty());                // source 1 does not exist
}

// What the system itself says about the volume control of source line 0 of a device's
// recording destination, asked without the control under test.
struct SourceVolume {
    bool found = false;
    DWORD control = 0, channels = 0, minimum = 0, maximum = 0, steps = 0, value = 0;
};

SourceVolume AskSystem(UINT device)
{
    SourceVolume v;
    WAVEFORMATEX format = {WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
    HWAVEIN hWaveIn = nullptr;
    if (::waveInOpen(&hWaveIn, device, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
        return v;
    UINT id = 0;
    const MMRESULT r = ::mixerGetID(reinterpret_cast<HMIXEROBJ>(hWaveIn), &id, MIXER_OBJECTF_HWAVEIN);
    ::waveInClose(hWaveIn);
    HMIXER hMixer = nullptr;
    if (r != MMSYSERR_NOERROR || ::mixerOpen(&hMixer, id, 0, 0, 0) != MMSYSERR_NOERROR)
        return v;
    HMIXEROBJ obj = reinterpret_cast<HMIXEROBJ>(hMixer);
    MIXERLINEA dst = {};
    dst.cbStruct = sizeof dst;
    dst.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
    MIXERLINEA src = {};
    src.cbStruct = sizeof src;
    MIXERCONTROLA control = {};
    control.cbStruct = sizeof control;
    MIXERLINECONTROLSA controls = {};
    controls.cbStruct = sizeof controls;
    controls.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    controls.cControls = 1;
    controls.cbmxctrl = sizeof control;
    controls.pamxctrl = &control;
    if (::mixerGetLineInfoA(obj, &dst, MIXER_GETLINEINFOF_COMPONENTTYPE) == MMSYSERR_NOERROR) {
        src.dwDestination = dst.dwDestination;
        src.dwSource = 0;
        controls.dwLineID = 0xFFFFFFFF;
        if (::mixerGetLineInfoA(obj, &src, MIXER_GETLINEINFOF_SOURCE) == MMSYSERR_NOERROR) {
            controls.dwLineID = src.dwLineID;
            v.found = ::mixerGetLineControlsA(obj, &controls, MIXER_GETLINECONTROLSF_ONEBYTYPE) == MMSYSERR_NOERROR;
        }
    }
    if (v.found) {
        v.control = control.dwControlID;
        v.channels = src.cChannels;
        v.minimum = control.Bounds.dwMinimum;
        v.maximum = control.Bounds.dwMaximum;
        v.steps = control.Metrics.cSteps;
        std::vector<MIXERCONTROLDETAILS_UNSIGNED> values(src.cChannels);
        MIXERCONTROLDETAILS details = {};
        details.cbStruct = sizeof details;
        details.dwControlID = control.dwControlID;
        details.cChannels = src.cChannels;
        details.cbDetails = sizeof(MIXERCONTROLDETAILS_UNSIGNED);
        details.paDetails = values.data();
        if (!values.empty() && ::mixerGetControlDetailsA(obj, &details, MIXER_GETCONTROLDETAILSF_VALUE) == MMSYSERR_NOERROR)
            v.value = values[0].dwValue;
    }
    ::mixerClose(hMixer);
    return v;
}

// Wine's source line keeps no volume (it reads 0 whatever is written), so what reaches the
// system is checked on its way there.
TEST_F(BedMixers, SourceZeroVolumeControlIsTheOneTheSystemReports)
{
    const UINT inputs = ::waveInGetNumDevs();
    ASSERT_GE(inputs, 1u);
    for (UINT d = 0; d < inputs; ++d) {
        SCOPED_TRACE(d);
        const SourceVolume system = AskSystem(d);
        ASSERT_TRUE(system.found);
        CVolumeCtrl control(0, static_cast<int>(d));
        ASSERT_TRUE(control.HasVolumeControl());
        EXPECT_EQ(control.MinimumLevel(), static_cast<int>(system.minimum));
        EXPECT_EQ(control.MaximumLevel(), static_cast<int>(system.maximum));
        EXPECT_EQ(control.LevelSteps(), static_cast<int>(system.steps));
        EXPECT_EQ(control.CurrentLevel(), static_cast<int>(system.value));

        spy.writes.clear();
        control.SetLevel(system.maximum + 1);
        EXPECT_TRUE(spy.writes.empty());
        const DWORD target = system.minimum + (system.maximum - system.minimum) / 4;
        control.SetLevel(target);
        ASSERT_EQ(spy.writes.size(), 1u);
        EXPECT_EQ(spy.writes[0].control, system.control);
        EXPECT_EQ(spy.writes[0].values, std::vector<DWORD>(system.channels, target));

        // A microphone is there, but no list control to choose it with.
        control.SelectMicrophone();
        EXPECT_EQ(spy.writes.size(), 1u);
    }
}

}  // namespace
