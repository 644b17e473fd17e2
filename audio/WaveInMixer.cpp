#include "WaveInMixer.h"

namespace {
WaveInMixer g_system;
WaveInMixer* g_current = &g_system;
}

WaveInMixer& TheWaveInMixer() { return *g_current; }

WaveInMixer* SetWaveInMixer(WaveInMixer* mixer)
{
    WaveInMixer* previous = g_current;
    g_current = mixer ? mixer : &g_system;
    return previous;
}

UINT WaveInMixer::WaveInGetNumDevs() { return ::waveInGetNumDevs(); }

UINT WaveInMixer::GetNumDevs() { return ::mixerGetNumDevs(); }

MMRESULT WaveInMixer::WaveInOpen(HWAVEIN* phWaveIn, UINT uDevice, const WAVEFORMATEX* pFormat,
                                 DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen)
{
    return ::waveInOpen(phWaveIn, uDevice, pFormat, dwCallback, dwInstance, fdwOpen);
}

MMRESULT WaveInMixer::WaveInClose(HWAVEIN hWaveIn) { return ::waveInClose(hWaveIn); }

MMRESULT WaveInMixer::GetID(HMIXEROBJ hObject, UINT* puMixerId, DWORD fdwId)
{
    return ::mixerGetID(hObject, puMixerId, fdwId);
}

MMRESULT WaveInMixer::Open(HMIXER* phMixer, UINT uMixerId, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                           DWORD fdwOpen)
{
    return ::mixerOpen(phMixer, uMixerId, dwCallback, dwInstance, fdwOpen);
}

MMRESULT WaveInMixer::Close(HMIXER hMixer) { return ::mixerClose(hMixer); }

MMRESULT WaveInMixer::GetLineInfo(HMIXEROBJ hMixer, MIXERLINEA* pLine, DWORD fdwInfo)
{
    return ::mixerGetLineInfoA(hMixer, pLine, fdwInfo);
}

MMRESULT WaveInMixer::GetLineControls(HMIXEROBJ hMixer, MIXERLINECONTROLSA* pControls, DWORD fdwControls)
{
    return ::mixerGetLineControlsA(hMixer, pControls, fdwControls);
}

MMRESULT WaveInMixer::GetControlDetails(HMIXEROBJ hMixer, MIXERCONTROLDETAILS* pDetails, DWORD fdwDetails)
{
    return ::mixerGetControlDetailsA(hMixer, pDetails, fdwDetails);
}

MMRESULT WaveInMixer::SetControlDetails(HMIXEROBJ hMixer, MIXERCONTROLDETAILS* pDetails, DWORD fdwDetails)
{
    return ::mixerSetControlDetails(hMixer, pDetails, fdwDetails);
}
