// Mixers for the recording mixer control's tests, put in front of it through the
// MixerCalls seam while installed:
//  - FakeMixer: wave-input devices of our own making, with recording destinations of any
//    shape (sources, volume controls, multiplexers and mixer lists), answering the WinMM
//    calls as the system does and recording what is opened, closed and written;
//  - SystemMixerSpy: the system's mixers (Wine's, over PulseAudio), with the same records.
#pragma once
#include <windows.h>
#include <mmsystem.h>
#include <string>
#include <vector>
#include "MixerCalls.h"

namespace audiotest {

// A source line of a recording destination.
struct FakeSource {
    DWORD type = MIXERLINE_COMPONENTTYPE_SRC_LINE;
    DWORD channels = 2;
    bool volume = true;             // has a volume control
    DWORD volumeFlags = 0;          // e.g. MIXERCONTROL_CONTROLF_DISABLED
    DWORD minimum = 0, maximum = 65535, steps = 65536;
    std::vector<DWORD> levels;      // the volume per channel (filled in when empty)
};

// A control of the recording destination line.
struct FakeControl {
    DWORD id = 0;
    DWORD type = MIXERCONTROL_CONTROLTYPE_MUX;
    DWORD flags = MIXERCONTROL_CONTROLF_MULTIPLE | MIXERCONTROL_CONTROLF_UNIFORM;
    DWORD items = 0;
};

struct FakeDevice {
    bool waveInOpens = true;        // waveInOpen succeeds
    bool hasMixerId = true;         // mixerGetID succeeds
    bool mixerOpens = true;         // mixerOpen succeeds
    bool hasRecordingLine = true;   // a wave-in destination exists
    bool readsLevels = true;        // mixerGetControlDetails succeeds
    DWORD channels = 2;             // of the recording destination
    std::vector<FakeSource> sources;
    std::vector<FakeControl> controls;
};

// One mixerSetControlDetails call.
struct MixerWrite {
    int device = -1;
    DWORD control = 0;
    DWORD channels = 0;
    DWORD items = 0;
    std::vector<DWORD> values;      // as sent, channel by channel
};

// Records common to both mixers.
class RecordingMixer : public MixerCalls {
public:
    RecordingMixer();
    ~RecordingMixer() override;     // restores the previous mixer

    struct WaveInOpenCall {
        UINT device;
        WAVEFORMATEX format;
        DWORD_PTR callback;
        DWORD flags;
    };
    struct MixerOpenCall {
        UINT id;
        DWORD_PTR callback;
        DWORD flags;
    };
    std::vector<WaveInOpenCall> waveInOpens;
    std::vector<MixerOpenCall> mixerOpens;
    std::vector<MixerWrite> writes;
    std::vector<DWORD> getIdFlags;
    int waveInCountQueries = 0;
    int openWaveIns = 0;            // opened and not yet closed
    int openMixers = 0;
    bool waveInClosedBeforeMixerOpen = true;

    // Writes of list controls (boolean values) only.
    std::vector<MixerWrite> ListWrites() const;

private:
    MixerCalls* m_previous;
};

class FakeMixer : public RecordingMixer {
public:
    std::vector<FakeDevice> devices;
    UINT mixerCount = 1;            // what mixerGetNumDevs says
    // What waveInGetNumDevs says on its 1st, 2nd, ... query (the last value repeats);
    // empty: the number of devices.
    std::vector<UINT> inputCounts;

    // Ids of the lines and controls a device reports.
    static const DWORD kRecordingLine = 0x10000;
    static DWORD SourceLine(DWORD s) { return 0x20000 + s; }
    static DWORD VolumeControl(DWORD s) { return 0x30000 + s; }
    static UINT MixerId(UINT device) { return 40 + device; }

    UINT WaveInGetNumDevs() override;
    UINT GetNumDevs() override;
    MMRESULT WaveInOpen(HWAVEIN* phWaveIn, UINT uDevice, const WAVEFORMATEX* pFormat, DWORD_PTR dwCallback,
                        DWORD_PTR dwInstance, DWORD fdwOpen) override;
    MMRESULT WaveInClose(HWAVEIN hWaveIn) override;
    MMRESULT GetID(HMIXEROBJ hObject, UINT* puMixerId, DWORD fdwId) override;
    MMRESULT Open(HMIXER* phMixer, UINT uMixerId, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                  DWORD fdwOpen) override;
    MMRESULT Close(HMIXER hMixer) override;
    MMRESULT GetLineInfo(HMIXEROBJ hMixer, MIXERLINEA* pLine, DWORD fdwInfo) override;
    MMRESULT GetLineControls(HMIXEROBJ hMixer, MIXERLINECONTROLSA* pControls, DWORD fdwControls) override;
    MMRESULT GetControlDetails(HMIXEROBJ hMixer, MIXERCONTROLDETAILS* pDetails, DWORD fdwDetails) override;
    MMRESULT SetControlDetails(HMIXEROBJ hMixer, MIXERCONTROLDETAILS* pDetails, DWORD fdwDetails) override;

private:
    FakeDevice* DeviceOf(HMIXEROBJ hMixer, int* pIndex = nullptr);
    std::vector<bool> m_mixerOpen;
};

// The system's calls, recorded on their way.
class SystemMixerSpy : public RecordingMixer {
public:
    UINT WaveInGetNumDevs() override;
    MMRESULT WaveInOpen(HWAVEIN* phWaveIn, UINT uDevice, const WAVEFORMATEX* pFormat, DWORD_PTR dwCallback,
                        DWORD_PTR dwInstance, DWORD fdwOpen) override;
    MMRESULT WaveInClose(HWAVEIN hWaveIn) override;
    MMRESULT GetID(HMIXEROBJ hObject, UINT* puMixerId, DWORD fdwId) override;
    MMRESULT Open(HMIXER* phMixer, UINT uMixerId, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                  DWORD fdwOpen) override;
    MMRESULT Close(HMIXER hMixer) override;
    MMRESULT SetControlDetails(HMIXEROBJ hMixer, MIXERCONTROLDETAILS* pDetails, DWORD fdwDetails) override;
};

// A recording destination: the given source types, each with a volume control, and the
// given controls.
FakeDevice Device(const std::vector<DWORD>& sourceTypes, const std::vector<FakeControl>& controls = {});
// A uniform multiplexer with one item per source.
FakeControl Mux(DWORD id, DWORD items);

// Windows of the recording mixer control's notification class that exist now.
int NotifyWindows();

}  // namespace audiotest
