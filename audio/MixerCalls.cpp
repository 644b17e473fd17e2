#include "MixerCalls.h"

namespace {
MixerCalls g_system;
MixerCalls* g_current = &g_system;
}

MixerCalls& TheMixerCalls() { return *g_current; }

MixerCalls* SetMixerCalls(MixerCalls* mixer)
{
    MixerCalls* previous = g_current;
    g_current = mixer ? mixer : &g_system;
    return previous;
}

UINT MixerCalls::WaveInGetNumDevs() { return ::waveInGetNumDevs(); }

UINT MixerCalls::GetNumDevs() { return ::mixerGetNumDevs(); }

MMRESULT MixerCalls::WaveInOpen(HWAVEIN* phWaveIn, UINT uDevice, const WAVEFORMATEX* pFormat,
                                 DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen)
{
    return ::waveInOpen(phWaveIn, uDevice, pFormat, dwCallback, dwInstance, fdwOpen);
}

MMRESULT MixerCalls::WaveInClose(HWAVEIN hWaveIn) { return ::waveInClose(hWaveIn); }

MMRESULT MixerCalls::GetID(HMIXEROBJ hObject, UINT* puMixerId, DWORD fdwId)
{
    return ::mixerGetID(hObject, puMixerId, fdwId);
}

MMRESULT MixerCalls::Open(HMIXER* phMixer, UINT uMixerId, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                           DWORD fdwOpen)
{
    return ::mixerOpen(phMixer, uMixerId, dwCallback, dwInstance, fdwOpen);
}

MMRESULT MixerCalls::Close(HMIXER hMixer) { return ::mixerClose(hMixer); }

MMRESULT MixerCalls::GetDevCaps(UINT_PTR uMixerId, MIXERCAPSA* pCaps, UINT cbCaps)
{
    return ::mixerGetDevCapsA(uMixerId, pCaps, cbCaps);
}

MMRESULT MixerCalls::GetLineInfo(HMIXEROBJ hMixer, MIXERLINEA* pLine, DWORD fdwInfo)
{
    return ::mixerGetLineInfoA(hMixer, pLine, fdwInfo);
}

MMRESULT MixerCalls::GetLineControls(HMIXEROBJ hMixer, MIXERLINECONTROLSA* pControls, DWORD fdwControls)
{
    return ::mixerGetLineControlsA(hMixer, pControls, fdwControls);
}

MMRESULT MixerCalls::GetControlDetails(HMIXEROBJ hMixer, MIXERCONTROLDETAILS* pDetails, DWORD fdwDetails)
{
    return ::mixerGetControlDetailsA(hMixer, pDetails, fdwDetails);
}

MMRESULT MixerCalls::SetControlDetails(HMIXEROBJ hMixer, MIXERCONTROLDETAILS* pDetails, DWORD fdwDetails)
{
    return ::mixerSetControlDetails(hMixer, pDetails, fdwDetails);
}
