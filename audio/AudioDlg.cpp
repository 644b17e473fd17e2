#include "AudioDlg.h"
#include <mmsystem.h>
#include "CallControl.h"
#include "SettingsFiles.h"
#include "WinText.h"
#include "WindowPlacement.h"
#include "resource.h"

Caudio::Caudio(CWnd* pParent, SIPX_INST hInst, const AudioChoice& saved)
    : CSkinnedDialog(IDD, pParent, true), m_hInst(hInst), m_choice(saved)
{
    m_hIcon = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
    OnCommand(IDC_ECHO_CANCEL, [this] { OnEchoCancel(); });
    OnCommand(IDC_NOISE_REDUCTION, [this] { OnNoiseReduction(); });
    OnCommand(IDC_AUTO_GAIN, [this] { OnAutoGain(); });
    OnCommand(IDC_AUDIO_APPLY, [this] { OnApply(); });
    OnCommand(IDC_AUDIO_CANCEL, [this] { OnCancelButton(); });
}

void Caudio::DoDataExchange()
{
    m_cbOutput = GetDlgItem(IDC_OUTPUT_DEVICE);
    m_cbInput = GetDlgItem(IDC_INPUT_DEVICE);
    m_chkEchoCancel = GetDlgItem(IDC_ECHO_CANCEL);
    m_chkNoiseReduction = GetDlgItem(IDC_NOISE_REDUCTION);
    m_chkAutoGain = GetDlgItem(IDC_AUTO_GAIN);
}

BOOL Caudio::OnInitDialog()
{
    CDialog::OnInitDialog();
    DoDataExchange();
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    FillDeviceLists();
    SelectSavedName(m_cbOutput, m_choice.strOutputDevice);
    SelectSavedName(m_cbInput, m_choice.strInputDevice);

    m_chkEchoCancel.SendMessage(BM_SETCHECK, m_choice.nEchoCancel ? BST_CHECKED : BST_UNCHECKED);
    m_chkNoiseReduction.SendMessage(BM_SETCHECK, m_choice.nNoiseReduction ? BST_CHECKED : BST_UNCHECKED);
    m_chkAutoGain.SendMessage(BM_SETCHECK, m_choice.nAutoGain ? BST_CHECKED : BST_UNCHECKED);
    CenterOverOwner(m_hWnd);
    return TRUE;
}

// The product names of the wave devices; the lists sort them.
void Caudio::FillDeviceLists()
{
    const UINT nOutputs = ::waveOutGetNumDevs();
    for (UINT i = 0; i < nOutputs; ++i) {
        WAVEOUTCAPSW caps = {};
        if (::waveOutGetDevCapsW(i, &caps, sizeof caps) == MMSYSERR_NOERROR)
            m_cbOutput.SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(caps.szPname));
    }
    const UINT nInputs = ::waveInGetNumDevs();
    for (UINT i = 0; i < nInputs; ++i) {
        WAVEINCAPSW caps = {};
        if (::waveInGetDevCapsW(i, &caps, sizeof caps) == MMSYSERR_NOERROR)
            m_cbInput.SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(caps.szPname));
    }
}

// Every entry equal to the name (case-sensitive) is selected in turn: of equal names the
// last one stays selected. A name no entry has leaves the list without a selection.
void Caudio::SelectSavedName(const CWnd& list, const std::string& strName)
{
    const LRESULT count = list.SendMessage(CB_GETCOUNT);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = list.SendMessage(CB_GETLBTEXTLEN, static_cast<WPARAM>(i));
        if (length == CB_ERR)
            continue;
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        list.SendMessage(CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&text[0]));
        text.resize(static_cast<size_t>(length));
        if (wintext::Gbk(text) == strName)
            list.SendMessage(CB_SETCURSEL, static_cast<WPARAM>(i));
    }
}

int Caudio::Checked(const CWnd& box) const
{
    return box.SendMessage(BM_GETCHECK) == BST_CHECKED ? 1 : 0;
}

// The switches act on the library at once; Call.xml and the result learn of them only on
// Apply.
void Caudio::OnEchoCancel()
{
    TheCallControl().AudioSetAECMode(m_hInst, Checked(m_chkEchoCancel) ? 2 : 0);
}

void Caudio::OnNoiseReduction()
{
    TheCallControl().AudioSetNoiseReductionMode(m_hInst, Checked(m_chkNoiseReduction));
}

void Caudio::OnAutoGain()
{
    TheCallControl().AudioSetAGCMode(m_hInst, Checked(m_chkAutoGain));
}

void Caudio::OnApply()
{
    const std::string strOutput = m_cbOutput.GetWindowText();
    const std::string strInput = m_cbInput.GetWindowText();
    // Without both devices chosen nothing is stored and the window stays open.
    if (!SaveDeviceChoice(m_xmlAudio, strOutput, strInput))
        return;
    AudioOptions options;
    options.nEchoCancel = Checked(m_chkEchoCancel);
    options.nNoiseReduction = Checked(m_chkNoiseReduction);
    options.nAutoGain = Checked(m_chkAutoGain);
    m_choice = {strOutput, strInput, options.nEchoCancel, options.nNoiseReduction, options.nAutoGain};
    m_bApplied = true;
    SaveAudioOptions(m_xmlCall, options);

    PostMessage(WM_CLOSE);
}

void Caudio::OnCancelButton()
{
    SendMessage(WM_CLOSE);
}
