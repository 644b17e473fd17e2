// IVolume / CVolumeCtrl: the recording side of one wave-input device's mixer. The control
// binds to the mixer that belongs to the device, finds its recording (wave-in) destination
// line, one source line of it and that line's volume control, and can make the microphone
// the only selected recording source.
//
// The microphone selection at the phone window's start makes one object per wave-input
// device, calls SelectMicrophone and drops it again. An object whose mixer could not be
// opened or examined stays harmless: its levels are -1 and its operations do nothing.
// Every mixer call goes through TheMixerCalls().
#pragma once
#include <windows.h>
#include <mmsystem.h>

class IVolume {
public:
    // The chosen source line has an enabled volume control.
    virtual bool HasVolumeControl() = 0;
    // Makes the microphone the only selected item of every list control (multiplexer or
    // mixer) of the recording destination; only when the source line has a volume control.
    virtual void SelectMicrophone() = 0;
    virtual void DoNothing() = 0;
    // The volume control's step count and bounds; -1 without a control.
    virtual int LevelSteps() = 0;
    virtual int MinimumLevel() = 0;
    virtual int MaximumLevel() = 0;
    // The first channel's value; -1 without a control or when it cannot be read.
    virtual int CurrentLevel() = 0;
    // Writes the value to every channel when it lies within the bounds.
    virtual void SetLevel(DWORD dwValue) = 0;
    virtual ~IVolume() = default;
};

class CVolumeCtrl : public IVolume {
public:
    // Opens the mixer of wave-input device nDevice and examines source line nSource of
    // its recording destination.
    CVolumeCtrl(int nSource, int nDevice);
    ~CVolumeCtrl() override;
    CVolumeCtrl(const CVolumeCtrl&) = delete;
    CVolumeCtrl& operator=(const CVolumeCtrl&) = delete;

    bool HasVolumeControl() override;
    void SelectMicrophone() override;
    void DoNothing() override;
    int LevelSteps() override;
    int MinimumLevel() override;
    int MaximumLevel() override;
    int CurrentLevel() override;
    void SetLevel(DWORD dwValue) override;

    // Names of the hidden window that takes the mixer's change notifications.
    static const char kNotifyClass[];
    static const char kNotifyTitle[];

private:
    bool Open();
    bool Examine(int nSource);
    void Close();
    bool GetRecordingLine(MIXERLINEA& line);

    int m_nDevice;
    BOOL m_bOpened;
    BOOL m_bExamined;
    BOOL m_bHasControl;
    UINT m_uMixerId;
    HMIXER m_hMixer;
    DWORD m_dwLineId;
    DWORD m_dwControlId;
    DWORD m_dwChannels;
    int m_nMicrophoneItem;          // microphone source + 1; 0 without a microphone
    int m_nMicrophoneSource;        // -1 without a microphone
    HWND m_hNotifyWnd;
    DWORD m_dwMinimum;
    DWORD m_dwMaximum;
    DWORD m_dwSteps;
};
