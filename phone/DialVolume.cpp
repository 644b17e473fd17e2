// The phone window's speaker and microphone volume sliders, mute boxes and level bars.
// None of them asks whether the line is registered.
#include "Dial.h"
#include <commctrl.h>
#include "CallControl.h"
#include "TimerPeriods.h"

namespace {
const int kSpeakerMax = 65535;
const int kMicrophoneMax = 100;
}

void CDial::InitSliderRanges()
{
    m_sliderSpeaker.SendMessage(TBM_SETRANGEMIN, FALSE, 0);
    m_sliderSpeaker.SendMessage(TBM_SETRANGEMAX, TRUE, kSpeakerMax);
    m_sliderMicrophone.SendMessage(TBM_SETRANGE, TRUE, MAKELPARAM(0, kMicrophoneMax));
}

void CDial::SetUpSpeakerMixer()
{
    DWORD dwMaster = 0;
    if (m_speakerMixer.Open(m_hWnd) && m_speakerMixer.ReadMasterVolume(dwMaster))
        m_sliderSpeaker.SendMessage(TBM_SETPOS, TRUE, static_cast<LPARAM>(dwMaster));
}

void CDial::InitSliderPositions()
{
    m_sliderSpeaker.SendMessage(TBM_SETPOS, TRUE, 20000);
    m_sliderMicrophone.SendMessage(TBM_SETPOS, TRUE, 0);
}

void CDial::InitSpeakerVolume()
{
    m_speakerMixer.SetMasterVolume(45535);
    m_speakerMixer.SetWaveOutVolume(55535);
}

void CDial::InitLevelBars()
{
    m_barSpeaker.SendMessage(PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    m_barMicrophone.SendMessage(PBM_SETRANGE, 0, MAKELPARAM(0, 100));
}

// Both sliders have 0 at the top: the top is loudest.
LRESULT CDial::OnVScroll(WPARAM, LPARAM lParam)
{
    const HWND hSlider = reinterpret_cast<HWND>(lParam);
    if (hSlider && hSlider == m_sliderMicrophone.m_hWnd) {
        const int pos = static_cast<int>(m_sliderMicrophone.SendMessage(TBM_GETPOS));
        if (m_session.m_hInst)
            TheCallControl().AudioSetInputVolume(m_session.m_hInst, 99 - pos);
    } else if (hSlider && hSlider == m_sliderSpeaker.m_hWnd) {
        const int pos = static_cast<int>(m_sliderSpeaker.SendMessage(TBM_GETPOS));
        m_speakerMixer.SetMasterVolume(static_cast<DWORD>(kSpeakerMax - pos));
        m_speakerMixer.SetWaveOutVolume(static_cast<DWORD>(kSpeakerMax - pos));
    }
    return Default();
}

void CDial::OnMuteSpeaker()
{
    TheCallControl().AudioMuteOutput(m_session.m_hInst, m_chkMuteSpeaker.SendMessage(BM_GETCHECK) == BST_CHECKED ? 1 : 0);
}

void CDial::OnMuteMicrophone()
{
    TheCallControl().AudioMuteInput(m_session.m_hInst, m_chkMuteMicrophone.SendMessage(BM_GETCHECK) == BST_CHECKED ? 1 : 0);
}

void CDial::UpdateLevelBars()
{
    double input = 0.0, output = 0.0;
    TheCallControl().AudioGetInputEnergy(m_session.m_hInst, 1, &input);
    TheCallControl().AudioGetOutputEnergy(m_session.m_hInst, 1, &output);
    const int nOutput = static_cast<int>(output), nInput = static_cast<int>(input);
    m_barSpeaker.SendMessage(PBM_SETPOS, static_cast<WPARAM>(nOutput));
    m_barMicrophone.SendMessage(PBM_SETPOS, static_cast<WPARAM>(nInput));

    // Each tick costs the message loop a few trips to the window system, which is most
    // of what a registered phone does while it waits. With no call up and both bars at 0
    // for a second the bars tick more slowly; sound or a call brings the fast ticks back.
    const PhoneSession& s = m_session;
    const bool bCalls = s.m_hCall || s.m_hConf || s.m_hPartyCall[0] || s.m_hPartyCall[1] || s.m_hPartyCall[2];
    const TimerPeriods& periods = ThePeriods();
    const int nQuietAfter = static_cast<int>(1000 / (periods.nLevels ? periods.nLevels : 1));
    if (bCalls || nOutput != 0 || nInput != 0) {
        if (m_nQuietLevelTicks > nQuietAfter)
            SetTimer(TIMER_LEVELS, periods.nLevels);
        m_nQuietLevelTicks = 0;
    } else if (m_nQuietLevelTicks <= nQuietAfter && ++m_nQuietLevelTicks > nQuietAfter) {
        SetTimer(TIMER_LEVELS, periods.nQuietLevels);
    }
}
