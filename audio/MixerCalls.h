// The WinMM calls of the program's mixer users: the microphone selection counts the
// wave-input devices and the recording mixer control (CVolumeCtrl) finds and drives the
// mixer of each; the speaker mixer (CSpeakerMixer) drives mixer device 0. The system's
// functions by default; tests put a mixer of their own in front (Wine's recording lines
// have a single source and no multiplexer, its wave-output line keeps no volume), or
// record the calls on their way to the system.
//
// Each operation has the arguments and result of the WinMM function it is named after.
#pragma once
#include <windows.h>
#include <mmsystem.h>

class MixerCalls {
public:
    virtual ~MixerCalls() = default;

    virtual UINT WaveInGetNumDevs();
    virtual UINT GetNumDevs();                                                  // mixerGetNumDevs
    virtual MMRESULT WaveInOpen(HWAVEIN* phWaveIn, UINT uDevice, const WAVEFORMATEX* pFormat,
                                DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen);
    virtual MMRESULT WaveInClose(HWAVEIN hWaveIn);
    virtual MMRESULT GetID(HMIXEROBJ hObject, UINT* puMixerId, DWORD fdwId);   // mixerGetID
    virtual MMRESULT Open(HMIXER* phMixer, UINT uMixerId, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                          DWORD fdwOpen);                                        // mixerOpen
    virtual MMRESULT Close(HMIXER hMixer);                                      // mixerClose
    virtual MMRESULT GetDevCaps(UINT_PTR uMixerId, MIXERCAPSA* pCaps, UINT cbCaps);   // mixerGetDevCaps
    virtual MMRESULT GetLineInfo(HMIXEROBJ hMixer, MIXERLINEA* pLine, DWORD fdwInfo);
    virtual MMRESULT GetLineControls(HMIXEROBJ hMixer, MIXERLINECONTROLSA* pControls, DWORD fdwControls);
    virtual MMRESULT GetControlDetails(HMIXEROBJ hMixer, MIXERCONTROLDETAILS* pDetails, DWORD fdwDetails);
    virtual MMRESULT SetControlDetails(HMIXEROBJ hMixer, MIXERCONTROLDETAILS* pDetails, DWORD fdwDetails);
};

// The mixer calls in use; never null.
MixerCalls& TheMixerCalls();
// Installs other mixer calls (null restores the system's); returns the previous ones.
MixerCalls* SetMixerCalls(MixerCalls* mixer);
