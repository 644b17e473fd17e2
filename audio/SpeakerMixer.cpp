#include "SpeakerMixer.h"
#include "MixerCalls.h"
#include <vector>

namespace {
HMIXEROBJ Obj(HMIXER h) { return reinterpret_cast<HMIXEROBJ>(h); }

// The speakers destination line of an open mixer.
bool FindSpeakers(MixerCalls& api, HMIXER hMixer, MIXERLINEA& line)
{
    line = MIXERLINEA();
    line.cbStruct = sizeof line;
    line.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
    return api.GetLineInfo(Obj(hMixer), &line, MIXER_GETLINEINFOF_COMPONENTTYPE) == MMSYSERR_NOERROR;
}

// The volume control of a line.
bool FindVolumeControl(MixerCalls& api, HMIXER hMixer, DWORD dwLineId, MIXERCONTROLA& control)
{
    control = MIXERCONTROLA();
    control.cbStruct = sizeof control;
    MIXERLINECONTROLSA controls = {};
    controls.cbStruct = sizeof controls;
    controls.dwLineID = dwLineId;
    controls.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    controls.cControls = 1;
    controls.cbmxctrl = sizeof control;
    controls.pamxctrl = &control;
    return api.GetLineControls(Obj(hMixer), &controls, MIXER_GETLINECONTROLSF_ONEBYTYPE) == MMSYSERR_NOERROR;
}

MMRESULT WriteUnsigned(MixerCalls& api, HMIXER hMixer, DWORD dwControlId, std::vector<MIXERCONTROLDETAILS_UNSIGNED>& values)
{
    MIXERCONTROLDETAILS details = {};
    details.cbStruct = sizeof details;
    details.dwControlID = dwControlId;
    details.cChannels = static_cast<DWORD>(values.size());
    details.cbDetails = sizeof(MIXERCONTROLDETAILS_UNSIGNED);
    details.paDetails = values.data();
    return api.SetControlDetails(Obj(hMixer), &details, MIXER_SETCONTROLDETAILSF_VALUE);
}
}

CSpeakerMixer::CSpeakerMixer() : m_nMixerCount(0), m_hMixer(nullptr), m_caps(), m_dwControlId(0) {}

CSpeakerMixer::~CSpeakerMixer() { Close(); }

bool CSpeakerMixer::Open(HWND hNotify)
{
    MixerCalls& api = TheMixerCalls();
    Close();
    m_nMixerCount = api.GetNumDevs();
    if (m_nMixerCount == 0)
        return false;
    HMIXER hMixer = nullptr;
    if (api.Open(&hMixer, 0, reinterpret_cast<DWORD_PTR>(hNotify), 0, CALLBACK_WINDOW) != MMSYSERR_NOERROR)
        return false;
    m_hMixer = hMixer;
    if (api.GetDevCaps(0, &m_caps, sizeof m_caps) != MMSYSERR_NOERROR) {
        Close();
        return false;
    }

    MIXERLINEA line;
    MIXERCONTROLA control;
    if (FindSpeakers(api, m_hMixer, line) && FindVolumeControl(api, m_hMixer, line.dwLineID, control)) {
        m_strLineName = line.szName;
        m_strControlName = control.szName;
        m_dwControlId = control.dwControlID;
    }
    return true;
}

bool CSpeakerMixer::ReadMasterVolume(DWORD& dwValue) const
{
    if (!HasControl())
        return false;
    MIXERCONTROLDETAILS_UNSIGNED value = {};
    MIXERCONTROLDETAILS details = {};
    details.cbStruct = sizeof details;
    details.dwControlID = m_dwControlId;
    details.cChannels = 1;
    details.cbDetails = sizeof value;
    details.paDetails = &value;
    if (TheMixerCalls().GetControlDetails(Obj(m_hMixer), &details, MIXER_GETCONTROLDETAILSF_VALUE) != MMSYSERR_NOERROR)
        return false;
    dwValue = value.dwValue;
    return true;
}

void CSpeakerMixer::SetMasterVolume(DWORD dwValue)
{
    if (!HasControl())
        return;
    std::vector<MIXERCONTROLDETAILS_UNSIGNED> values(1);
    values[0].dwValue = dwValue;
    WriteUnsigned(TheMixerCalls(), m_hMixer, m_dwControlId, values);
}

void CSpeakerMixer::SetWaveOutVolume(DWORD dwValue)
{
    MixerCalls& api = TheMixerCalls();
    HMIXER hMixer = nullptr;
    if (api.Open(&hMixer, 0, 0, 0, MIXER_OBJECTF_MIXER) != MMSYSERR_NOERROR)
        return;
    MIXERLINEA speakers;
    if (FindSpeakers(api, hMixer, speakers) && speakers.cControls > 0) {
        for (DWORD source = 0; source < speakers.cConnections; ++source) {
            MIXERLINEA line = {};
            line.cbStruct = sizeof line;
            line.dwDestination = speakers.dwDestination;
            line.dwSource = source;
            if (api.GetLineInfo(Obj(hMixer), &line, MIXER_GETLINEINFOF_SOURCE) != MMSYSERR_NOERROR ||
                line.dwComponentType != MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT)
                continue;
            MIXERCONTROLA control;
            if (FindVolumeControl(api, hMixer, line.dwLineID, control)) {
                std::vector<MIXERCONTROLDETAILS_UNSIGNED> values(line.cChannels ? line.cChannels : 1);
                for (MIXERCONTROLDETAILS_UNSIGNED& v : values)
                    v.dwValue = dwValue;
                WriteUnsigned(api, hMixer, control.dwControlID, values);
            }
            break;      // the first wave-output line only
        }
    }
    api.Close(hMixer);
}

void CSpeakerMixer::Close()
{
    if (m_hMixer)
        TheMixerCalls().Close(m_hMixer);
    m_hMixer = nullptr;
    m_strLineName.clear();
    m_strControlName.clear();
    m_dwControlId = 0;
}
