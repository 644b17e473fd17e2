// CSpeakerMixer: the phone window's own hold on the computer's speaker volume through
// mixer device 0: the master volume of the speakers destination line and the volume of
// its wave-output source line. Without a mixer, or without a speaker volume control,
// every operation quietly does nothing.
#pragma once
#include <windows.h>
#include <mmsystem.h>
#include <string>

// Every mixer call goes through TheMixerCalls() (MixerCalls.h).
class CSpeakerMixer {
public:
    CSpeakerMixer();
    ~CSpeakerMixer();
    CSpeakerMixer(const CSpeakerMixer&) = delete;
    CSpeakerMixer& operator=(const CSpeakerMixer&) = delete;

    // Opens mixer device 0 with `hNotify` as the target of its change notifications and
    // finds the speakers line's volume control. False when there is no mixer, device 0
    // does not open or its capabilities cannot be read; the control may still be missing
    // after true (then the names stay empty).
    bool Open(HWND hNotify);
    // The master volume (one channel, 0-65535); false unless open with the control found.
    bool ReadMasterVolume(DWORD& dwValue) const;
    void SetMasterVolume(DWORD dwValue);
    // Writes `dwValue` to every channel of the speakers' wave-output source line, through
    // mixer device 0 opened for this write only.
    void SetWaveOutVolume(DWORD dwValue);
    void Close();

    bool IsOpen() const { return m_hMixer != nullptr; }
    const std::string& LineName() const { return m_strLineName; }
    const std::string& ControlName() const { return m_strControlName; }

private:
    bool HasControl() const { return m_hMixer && !m_strLineName.empty() && !m_strControlName.empty(); }

    UINT m_nMixerCount;
    HMIXER m_hMixer;
    MIXERCAPSA m_caps;
    std::string m_strLineName;      // the speakers destination line
    std::string m_strControlName;   // its volume control
    DWORD m_dwControlId;
};
