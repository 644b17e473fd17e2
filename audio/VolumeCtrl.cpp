#include "VolumeCtrl.h"
#include <vector>
#include "MixerCalls.h"

const char CVolumeCtrl::kNotifyClass[] = "Volume Class Name";
const char CVolumeCtrl::kNotifyTitle[] = "Volume Name";

namespace {
HMIXEROBJ Obj(HMIXER h) { return reinterpret_cast<HMIXEROBJ>(h); }
}

CVolumeCtrl::CVolumeCtrl(int nSource, int nDevice)
    : m_nDevice(nDevice), m_bOpened(FALSE), m_bExamined(FALSE), m_bHasControl(FALSE), m_uMixerId(0),
      m_hMixer(nullptr), m_dwLineId(0), m_dwControlId(0), m_dwChannels(0), m_nMicrophoneItem(0),
      m_nMicrophoneSource(-1), m_hNotifyWnd(nullptr), m_dwMinimum(0xFFFFFFFF), m_dwMaximum(0xFFFFFFFF), m_dwSteps(0)
{
    if (Open() && !Examine(nSource))
        Close();
}

CVolumeCtrl::~CVolumeCtrl()
{
    Close();
}

// The mixer of the wave-input device is found through an open handle of the device; its
// change notifications go to a hidden window of our own, which only swallows them.
bool CVolumeCtrl::Open()
{
    MixerCalls& mixer = TheMixerCalls();
    if (mixer.GetNumDevs() == 0)
        return false;

    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = 22050;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 2;
    format.nAvgBytesPerSec = 44100;
    HWAVEIN hWaveIn = nullptr;
    if (mixer.WaveInOpen(&hWaveIn, static_cast<UINT>(m_nDevice), &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
        return false;
    UINT uMixerId = 0;
    const MMRESULT idResult = mixer.GetID(reinterpret_cast<HMIXEROBJ>(hWaveIn), &uMixerId, MIXER_OBJECTF_HWAVEIN);
    mixer.WaveInClose(hWaveIn);
    if (idResult != MMSYSERR_NOERROR)
        return false;
    m_uMixerId = uMixerId;

    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ::DefWindowProcA;
    wc.lpszClassName = kNotifyClass;
    ::RegisterClassExA(&wc);        // already there for the second object: fine
    m_hNotifyWnd = ::CreateWindowExA(0, kNotifyClass, kNotifyTitle, WS_POPUP | WS_DISABLED, 0, 0, 0, 0, nullptr,
                                     nullptr, nullptr, nullptr);
    if (!m_hNotifyWnd)
        return false;
    ::ShowWindow(m_hNotifyWnd, SW_HIDE);
    ::UpdateWindow(m_hNotifyWnd);

    HMIXER hMixer = nullptr;
    if (mixer.Open(&hMixer, m_uMixerId, reinterpret_cast<DWORD_PTR>(m_hNotifyWnd), 0, CALLBACK_WINDOW) !=
            MMSYSERR_NOERROR ||
        m_uMixerId == static_cast<UINT>(-1)) {
        if (hMixer)
            mixer.Close(hMixer);
        ::DestroyWindow(m_hNotifyWnd);
        m_hNotifyWnd = nullptr;
        return false;
    }
    m_hMixer = hMixer;
    m_bOpened = TRUE;
    return true;
}

bool CVolumeCtrl::GetRecordingLine(MIXERLINEA& line)
{
    line = MIXERLINEA();
    line.cbStruct = sizeof line;
    line.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
    return TheMixerCalls().GetLineInfo(Obj(m_hMixer), &line, MIXER_GETLINEINFOF_COMPONENTTYPE) == MMSYSERR_NOERROR;
}

bool CVolumeCtrl::Examine(int nSource)
{
    MixerCalls& mixer = TheMixerCalls();
    MIXERLINEA recording;
    if (!GetRecordingLine(recording))
        return false;
    if (nSource < 0 || static_cast<DWORD>(nSource) >= recording.cConnections)
        return false;

    MIXERLINEA source = {};
    source.cbStruct = sizeof source;
    source.dwDestination = recording.dwDestination;
    source.dwSource = static_cast<DWORD>(nSource);
    if (mixer.GetLineInfo(Obj(m_hMixer), &source, MIXER_GETLINEINFOF_SOURCE) != MMSYSERR_NOERROR)
        return false;

    MIXERCONTROLA control = {};
    control.cbStruct = sizeof control;
    MIXERLINECONTROLSA controls = {};
    controls.cbStruct = sizeof controls;
    controls.dwLineID = source.dwLineID;
    controls.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    controls.cControls = 1;
    controls.cbmxctrl = sizeof control;
    controls.pamxctrl = &control;
    const bool found =
        mixer.GetLineControls(Obj(m_hMixer), &controls, MIXER_GETLINECONTROLSF_ONEBYTYPE) == MMSYSERR_NOERROR;
    if (found && !(control.fdwControl & MIXERCONTROL_CONTROLF_DISABLED))
        m_bHasControl = TRUE;

    for (DWORD i = 0; i < recording.cConnections; ++i) {
        MIXERLINEA line = {};
        line.cbStruct = sizeof line;
        line.dwDestination = recording.dwDestination;
        line.dwSource = i;
        if (mixer.GetLineInfo(Obj(m_hMixer), &line, MIXER_GETLINEINFOF_SOURCE) == MMSYSERR_NOERROR &&
            line.dwComponentType == MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE) {
            m_nMicrophoneSource = static_cast<int>(i);
            break;
        }
    }
    m_nMicrophoneItem = m_nMicrophoneSource + 1;

    m_dwChannels = source.cChannels;
    m_dwLineId = source.dwLineID;
    if (found) {
        m_dwControlId = control.dwControlID;
        m_dwMinimum = control.Bounds.dwMinimum;
        m_dwMaximum = control.Bounds.dwMaximum;
        m_dwSteps = control.Metrics.cSteps;
    }
    m_bExamined = TRUE;
    return true;
}

void CVolumeCtrl::Close()
{
    if (!m_bOpened)
        return;
    TheMixerCalls().Close(m_hMixer);
    m_hMixer = nullptr;
    if (m_hNotifyWnd)
        ::DestroyWindow(m_hNotifyWnd);
    m_hNotifyWnd = nullptr;
    m_bOpened = FALSE;
    m_bExamined = FALSE;
}

bool CVolumeCtrl::HasVolumeControl()
{
    return m_bHasControl != FALSE;
}

// Items of a list control are counted from the end: the microphone, source s of the
// recording destination, is item (items - 1 - s). Without a microphone every item is 0.
void CVolumeCtrl::SelectMicrophone()
{
    if (!m_bExamined || !HasVolumeControl())
        return;
    MixerCalls& mixer = TheMixerCalls();
    MIXERLINEA recording;
    if (!GetRecordingLine(recording) || recording.cControls == 0)
        return;
    std::vector<MIXERCONTROLA> controls(recording.cControls);
    for (MIXERCONTROLA& c : controls)
        c.cbStruct = sizeof c;
    MIXERLINECONTROLSA list = {};
    list.cbStruct = sizeof list;
    list.dwLineID = recording.dwLineID;
    list.cControls = recording.cControls;
    list.cbmxctrl = sizeof(MIXERCONTROLA);
    list.pamxctrl = controls.data();
    if (mixer.GetLineControls(Obj(m_hMixer), &list, MIXER_GETLINECONTROLSF_ALL) != MMSYSERR_NOERROR)
        return;

    for (const MIXERCONTROLA& c : controls) {
        if ((c.dwControlType & MIXERCONTROL_CT_UNITS_MASK) != MIXERCONTROL_CT_UNITS_BOOLEAN ||
            !(c.fdwControl & MIXERCONTROL_CONTROLF_MULTIPLE))
            continue;
        const DWORD channels = (c.fdwControl & MIXERCONTROL_CONTROLF_UNIFORM) ? 1 : recording.cChannels;
        const DWORD items = c.cMultipleItems;
        if (channels == 0 || items == 0)
            continue;
        // One value per channel and item, the items of a channel side by side.
        std::vector<MIXERCONTROLDETAILS_BOOLEAN> values(static_cast<size_t>(channels) * items);
        const DWORD selected = items - static_cast<DWORD>(m_nMicrophoneItem);
        for (DWORD ch = 0; ch < channels; ++ch)
            for (DWORD item = 0; item < items; ++item)
                values[ch * items + item].fValue = item == selected ? 1 : 0;

        MIXERCONTROLDETAILS details = {};
        details.cbStruct = sizeof details;
        details.dwControlID = c.dwControlID;
        details.cChannels = channels;
        details.cMultipleItems = items;
        details.cbDetails = sizeof(MIXERCONTROLDETAILS_BOOLEAN);
        details.paDetails = values.data();
        mixer.SetControlDetails(Obj(m_hMixer), &details, MIXER_SETCONTROLDETAILSF_VALUE);   // errors ignored
    }
}

void CVolumeCtrl::DoNothing()
{
}

int CVolumeCtrl::LevelSteps()
{
    return HasVolumeControl() ? static_cast<int>(m_dwSteps) : -1;
}

int CVolumeCtrl::MinimumLevel()
{
    return HasVolumeControl() ? static_cast<int>(m_dwMinimum) : -1;
}

int CVolumeCtrl::MaximumLevel()
{
    return HasVolumeControl() ? static_cast<int>(m_dwMaximum) : -1;
}

int CVolumeCtrl::CurrentLevel()
{
    if (!m_bExamined || !HasVolumeControl() || m_dwChannels == 0)
        return -1;
    std::vector<MIXERCONTROLDETAILS_UNSIGNED> values(m_dwChannels);
    MIXERCONTROLDETAILS details = {};
    details.cbStruct = sizeof details;
    details.dwControlID = m_dwControlId;
    details.cChannels = m_dwChannels;
    details.cbDetails = sizeof(MIXERCONTROLDETAILS_UNSIGNED);
    details.paDetails = values.data();
    if (TheMixerCalls().GetControlDetails(Obj(m_hMixer), &details, MIXER_GETCONTROLDETAILSF_VALUE) !=
        MMSYSERR_NOERROR)
        return -1;
    return static_cast<int>(values[0].dwValue);
}

void CVolumeCtrl::SetLevel(DWORD dwValue)
{
    if (!m_bExamined || !HasVolumeControl() || dwValue < m_dwMinimum || dwValue > m_dwMaximum || m_dwChannels == 0)
        return;
    std::vector<MIXERCONTROLDETAILS_UNSIGNED> values(m_dwChannels);
    for (MIXERCONTROLDETAILS_UNSIGNED& v : values)
        v.dwValue = dwValue;
    MIXERCONTROLDETAILS details = {};
    details.cbStruct = sizeof details;
    details.dwControlID = m_dwControlId;
    details.cChannels = m_dwChannels;
    details.cbDetails = sizeof(MIXERCONTROLDETAILS_UNSIGNED);
    details.paDetails = values.data();
    TheMixerCalls().SetControlDetails(Obj(m_hMixer), &details, MIXER_SETCONTROLDETAILSF_VALUE);
}
