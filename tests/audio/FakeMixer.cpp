#include "FakeMixer.h"
#include <cstring>
#include "VolumeCtrl.h"

namespace audiotest {

namespace {
// Handles of the fake devices: small numbers no system handle has.
HWAVEIN WaveInHandle(UINT device) { return reinterpret_cast<HWAVEIN>(static_cast<UINT_PTR>(0x7100 + device)); }
HMIXER MixerHandle(UINT device) { return reinterpret_cast<HMIXER>(static_cast<UINT_PTR>(0x7200 + device)); }
int DeviceOfWaveIn(HWAVEIN h) { return static_cast<int>(reinterpret_cast<UINT_PTR>(h)) - 0x7100; }

MixerWrite WriteOf(int device, const MIXERCONTROLDETAILS* d)
{
    MixerWrite w;
    w.device = device;
    w.control = d->dwControlID;
    w.channels = d->cChannels;
    w.items = d->cMultipleItems;
    const DWORD n = d->cChannels * (d->cMultipleItems ? d->cMultipleItems : 1);
    const DWORD* v = static_cast<const DWORD*>(d->paDetails);   // BOOLEAN and UNSIGNED are one DWORD each
    if (d->cbDetails == sizeof(DWORD))
        w.values.assign(v, v + n);
    return w;
}
}  // namespace

// --- RecordingMixer ------------------------------------------------------------------------

RecordingMixer::RecordingMixer() : m_previous(SetMixerCalls(this)) {}
RecordingMixer::~RecordingMixer() { SetMixerCalls(m_previous); }

std::vector<MixerWrite> RecordingMixer::ListWrites() const
{
    std::vector<MixerWrite> out;
    for (const MixerWrite& w : writes)
        if (w.items > 0)
            out.push_back(w);
    return out;
}

// --- FakeMixer -----------------------------------------------------------------------------

UINT FakeMixer::WaveInGetNumDevs()
{
    ++waveInCountQueries;
    if (inputCounts.empty())
        return static_cast<UINT>(devices.size());
    const size_t i = static_cast<size_t>(waveInCountQueries - 1);
    return inputCounts[i < inputCounts.size() ? i : inputCounts.size() - 1];
}

UINT FakeMixer::GetNumDevs() { return mixerCount; }

MMRESULT FakeMixer::WaveInOpen(HWAVEIN* phWaveIn, UINT uDevice, const WAVEFORMATEX* pFormat, DWORD_PTR dwCallback,
                               DWORD_PTR, DWORD fdwOpen)
{
    waveInOpens.push_back(WaveInOpenCall{uDevice, pFormat ? *pFormat : WAVEFORMATEX(), dwCallback, fdwOpen});
    if (uDevice >= devices.size() || !devices[uDevice].waveInOpens)
        return MMSYSERR_BADDEVICEID;
    *phWaveIn = WaveInHandle(uDevice);
    ++openWaveIns;
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMixer::WaveInClose(HWAVEIN hWaveIn)
{
    const int device = DeviceOfWaveIn(hWaveIn);
    if (device < 0 || static_cast<size_t>(device) >= devices.size())
        return MMSYSERR_INVALHANDLE;
    --openWaveIns;
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMixer::GetID(HMIXEROBJ hObject, UINT* puMixerId, DWORD fdwId)
{
    getIdFlags.push_back(fdwId);
    const int device = DeviceOfWaveIn(reinterpret_cast<HWAVEIN>(hObject));
    if (fdwId != MIXER_OBJECTF_HWAVEIN || device < 0 || static_cast<size_t>(device) >= devices.size())
        return MMSYSERR_INVALHANDLE;
    if (!devices[static_cast<size_t>(device)].hasMixerId)
        return MMSYSERR_NODRIVER;
    *puMixerId = MixerId(static_cast<UINT>(device));
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMixer::Open(HMIXER* phMixer, UINT uMixerId, DWORD_PTR dwCallback, DWORD_PTR, DWORD fdwOpen)
{
    mixerOpens.push_back(MixerOpenCall{uMixerId, dwCallback, fdwOpen});
    if (openWaveIns != 0)
        waveInClosedBeforeMixerOpen = false;
    const UINT device = uMixerId - MixerId(0);
    if (uMixerId < MixerId(0) || device >= devices.size() || !devices[device].mixerOpens)
        return MMSYSERR_BADDEVICEID;
    m_mixerOpen.resize(devices.size());
    m_mixerOpen[device] = true;
    *phMixer = MixerHandle(device);
    ++openMixers;
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMixer::Close(HMIXER hMixer)
{
    int index = -1;
    if (!DeviceOf(reinterpret_cast<HMIXEROBJ>(hMixer), &index))
        return MMSYSERR_INVALHANDLE;
    m_mixerOpen[static_cast<size_t>(index)] = false;
    --openMixers;
    return MMSYSERR_NOERROR;
}

FakeDevice* FakeMixer::DeviceOf(HMIXEROBJ hMixer, int* pIndex)
{
    const int device = static_cast<int>(reinterpret_cast<UINT_PTR>(hMixer)) - 0x7200;
    if (device < 0 || static_cast<size_t>(device) >= devices.size() || static_cast<size_t>(device) >= m_mixerOpen.size() ||
        !m_mixerOpen[static_cast<size_t>(device)])
        return nullptr;
    if (pIndex)
        *pIndex = device;
    return &devices[static_cast<size_t>(device)];
}

MMRESULT FakeMixer::GetLineInfo(HMIXEROBJ hMixer, MIXERLINEA* pLine, DWORD fdwInfo)
{
    FakeDevice* d = DeviceOf(hMixer);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (pLine->cbStruct != sizeof(MIXERLINEA))
        return MMSYSERR_INVALPARAM;
    // The recording destination is destination 1 (0 would be the speakers).
    switch (fdwInfo & MIXER_GETLINEINFOF_QUERYMASK) {
    case MIXER_GETLINEINFOF_COMPONENTTYPE:
        if (pLine->dwComponentType != MIXERLINE_COMPONENTTYPE_DST_WAVEIN || !d->hasRecordingLine)
            return MIXERR_INVALLINE;
        pLine->dwDestination = 1;
        pLine->dwSource = 0;
        pLine->dwLineID = kRecordingLine;
        pLine->cChannels = d->channels;
        pLine->cConnections = static_cast<DWORD>(d->sources.size());
        pLine->cControls = static_cast<DWORD>(d->controls.size());
        std::strcpy(pLine->szName, "Recording");
        return MMSYSERR_NOERROR;
    case MIXER_GETLINEINFOF_SOURCE: {
        if (!d->hasRecordingLine || pLine->dwDestination != 1 || pLine->dwSource >= d->sources.size())
            return MIXERR_INVALLINE;
        const FakeSource& s = d->sources[pLine->dwSource];
        pLine->dwLineID = SourceLine(pLine->dwSource);
        pLine->dwComponentType = s.type;
        pLine->cChannels = s.channels;
        pLine->cConnections = 0;
        pLine->cControls = s.volume ? 1 : 0;
        std::strcpy(pLine->szName, "Source");
        return MMSYSERR_NOERROR;
    }
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}

MMRESULT FakeMixer::GetLineControls(HMIXEROBJ hMixer, MIXERLINECONTROLSA* pControls, DWORD fdwControls)
{
    FakeDevice* d = DeviceOf(hMixer);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (pControls->cbStruct != sizeof(MIXERLINECONTROLSA) || pControls->cbmxctrl != sizeof(MIXERCONTROLA))
        return MMSYSERR_INVALPARAM;
    switch (fdwControls & MIXER_GETLINECONTROLSF_QUERYMASK) {
    case MIXER_GETLINECONTROLSF_ONEBYTYPE: {
        const DWORD s = pControls->dwLineID - SourceLine(0);
        if (pControls->dwLineID < SourceLine(0) || s >= d->sources.size())
            return MIXERR_INVALLINE;
        const FakeSource& source = d->sources[s];
        if (pControls->dwControlType != MIXERCONTROL_CONTROLTYPE_VOLUME || !source.volume)
            return MIXERR_INVALCONTROL;
        MIXERCONTROLA& c = *pControls->pamxctrl;
        c = MIXERCONTROLA();
        c.cbStruct = sizeof c;
        c.dwControlID = VolumeControl(s);
        c.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
        c.fdwControl = source.volumeFlags;
        c.Bounds.dwMinimum = source.minimum;
        c.Bounds.dwMaximum = source.maximum;
        c.Metrics.cSteps = source.steps;
        std::strcpy(c.szName, "Volume");
        pControls->dwControlID = c.dwControlID;
        return MMSYSERR_NOERROR;
    }
    case MIXER_GETLINECONTROLSF_ALL: {
        if (pControls->dwLineID != kRecordingLine)
            return MIXERR_INVALLINE;
        if (pControls->cControls != d->controls.size())
            return MMSYSERR_INVALPARAM;
        for (size_t i = 0; i < d->controls.size(); ++i) {
            const FakeControl& f = d->controls[i];
            MIXERCONTROLA& c = pControls->pamxctrl[i];
            c = MIXERCONTROLA();
            c.cbStruct = sizeof c;
            c.dwControlID = f.id;
            c.dwControlType = f.type;
            c.fdwControl = f.flags;
            c.cMultipleItems = f.items;
            std::strcpy(c.szName, "Control");
        }
        return MMSYSERR_NOERROR;
    }
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}

MMRESULT FakeMixer::GetControlDetails(HMIXEROBJ hMixer, MIXERCONTROLDETAILS* pDetails, DWORD)
{
    FakeDevice* d = DeviceOf(hMixer);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    const DWORD s = pDetails->dwControlID - VolumeControl(0);
    if (pDetails->dwControlID < VolumeControl(0) || s >= d->sources.size() || !d->readsLevels)
        return MIXERR_INVALCONTROL;
    FakeSource& source = d->sources[s];
    source.levels.resize(source.channels, source.minimum);
    if (pDetails->cChannels == 0 || pDetails->cChannels > source.channels ||
        pDetails->cbDetails != sizeof(MIXERCONTROLDETAILS_UNSIGNED))
        return MMSYSERR_INVALPARAM;
    auto* values = static_cast<MIXERCONTROLDETAILS_UNSIGNED*>(pDetails->paDetails);
    for (DWORD ch = 0; ch < pDetails->cChannels; ++ch)
        values[ch].dwValue = source.levels[ch];
    return MMSYSERR_NOERROR;
}

MMRESULT FakeMixer::SetControlDetails(HMIXEROBJ hMixer, MIXERCONTROLDETAILS* pDetails, DWORD)
{
    int index = -1;
    FakeDevice* d = DeviceOf(hMixer, &index);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    writes.push_back(WriteOf(index, pDetails));
    const DWORD s = pDetails->dwControlID - VolumeControl(0);
    if (pDetails->dwControlID >= VolumeControl(0) && s < d->sources.size()) {
        FakeSource& source = d->sources[s];
        source.levels.resize(source.channels, source.minimum);
        const auto* values = static_cast<const MIXERCONTROLDETAILS_UNSIGNED*>(pDetails->paDetails);
        for (DWORD ch = 0; ch < pDetails->cChannels && ch < source.channels; ++ch)
            source.levels[ch] = values[ch].dwValue;
    }
    return MMSYSERR_NOERROR;
}

// --- SystemMixerSpy ------------------------------------------------------------------------

UINT SystemMixerSpy::WaveInGetNumDevs()
{
    ++waveInCountQueries;
    return MixerCalls::WaveInGetNumDevs();
}

MMRESULT SystemMixerSpy::WaveInOpen(HWAVEIN* phWaveIn, UINT uDevice, const WAVEFORMATEX* pFormat,
                                    DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen)
{
    waveInOpens.push_back(WaveInOpenCall{uDevice, pFormat ? *pFormat : WAVEFORMATEX(), dwCallback, fdwOpen});
    const MMRESULT r = MixerCalls::WaveInOpen(phWaveIn, uDevice, pFormat, dwCallback, dwInstance, fdwOpen);
    if (r == MMSYSERR_NOERROR)
        ++openWaveIns;
    return r;
}

MMRESULT SystemMixerSpy::WaveInClose(HWAVEIN hWaveIn)
{
    const MMRESULT r = MixerCalls::WaveInClose(hWaveIn);
    if (r == MMSYSERR_NOERROR)
        --openWaveIns;
    return r;
}

MMRESULT SystemMixerSpy::GetID(HMIXEROBJ hObject, UINT* puMixerId, DWORD fdwId)
{
    getIdFlags.push_back(fdwId);
    return MixerCalls::GetID(hObject, puMixerId, fdwId);
}

MMRESULT SystemMixerSpy::Open(HMIXER* phMixer, UINT uMixerId, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                              DWORD fdwOpen)
{
    mixerOpens.push_back(MixerOpenCall{uMixerId, dwCallback, fdwOpen});
    if (openWaveIns != 0)
        waveInClosedBeforeMixerOpen = false;
    const MMRESULT r = MixerCalls::Open(phMixer, uMixerId, dwCallback, dwInstance, fdwOpen);
    if (r == MMSYSERR_NOERROR)
        ++openMixers;
    return r;
}

MMRESULT SystemMixerSpy::Close(HMIXER hMixer)
{
    const MMRESULT r = MixerCalls::Close(hMixer);
    if (r == MMSYSERR_NOERROR)
        --openMixers;
    return r;
}

MMRESULT SystemMixerSpy::SetControlDetails(HMIXEROBJ hMixer, MIXERCONTROLDETAILS* pDetails, DWORD fdwDetails)
{
    writes.push_back(WriteOf(-1, pDetails));
    return MixerCalls::SetControlDetails(hMixer, pDetails, fdwDetails);
}

// --- helpers -------------------------------------------------------------------------------

FakeDevice Device(const std::vector<DWORD>& sourceTypes, const std::vector<FakeControl>& controls)
{
    FakeDevice d;
    for (DWORD type : sourceTypes) {
        FakeSource s;
        s.type = type;
        d.sources.push_back(s);
    }
    d.controls = controls;
    return d;
}

FakeControl Mux(DWORD id, DWORD items)
{
    FakeControl c;
    c.id = id;
    c.items = items;
    return c;
}

namespace {
BOOL CALLBACK CountNotifyWindow(HWND hWnd, LPARAM lParam)
{
    char name[64] = {0};
    DWORD process = 0;
    ::GetWindowThreadProcessId(hWnd, &process);
    if (process == ::GetCurrentProcessId() && ::GetClassNameA(hWnd, name, sizeof name) &&
        std::strcmp(name, CVolumeCtrl::kNotifyClass) == 0)
        ++*reinterpret_cast<int*>(lParam);
    return TRUE;
}
}  // namespace

int NotifyWindows()
{
    int n = 0;
    ::EnumWindows(&CountNotifyWindow, reinterpret_cast<LPARAM>(&n));
    return n;
}

}  // namespace audiotest
