#include "AudioDlg.h"
#include <mmsystem.h>
#include "CallControl.h"
#include "SettingsFiles.h"
#include "WaveDevices.h"
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

namespace {
// The text of a list entry, as the system has it.
std::u16string EntryText(const CWnd& list, LRESULT i)
{
    const LRESULT length = list.SendMessage(CB_GETLBTEXTLEN, static_cast<WPARAM>(i));
    if (length == CB_ERR)
        return std::u16string();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    list.SendMessage(CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(::wcsnlen(text.c_str(), static_cast<size_t>(length)));
    return std::u16string(text.begin(), text.end());
}
}  // namespace

// The entry whose key (WaveDeviceKey, compared case-sensitively) the saved name is; of
// equal names the last one. Failing that, the one entry whose GBK name it is (a name
// an older version stored with '?' for the characters GBK lacks). A name no entry has,
// or the GBK name of several entries, leaves the list without a selection: a device
// is never shown chosen when it may be another one.
void Caudio::SelectSavedName(const CWnd& list, const std::string& strName)
{
    const LRESULT count = list.SendMessage(CB_GETCOUNT);
    LRESULT byKey = CB_ERR, byGbkName = CB_ERR;
    int gbkNames = 0;
    for (LRESULT i = 0; i < count; ++i) {
        const std::u16string text = EntryText(list, i);
        if (WaveDeviceKey(text) == strName) {
            byKey = i;
        } else if (WaveDeviceGbkName(text) == strName) {
            byGbkName = i;
            ++gbkNames;
        }
    }
    const LRESULT chosen = byKey != CB_ERR ? byKey : gbkNames == 1 ? byGbkName : CB_ERR;
    if (chosen != CB_ERR)
        list.SendMessage(CB_SETCURSEL, static_cast<WPARAM>(chosen));
}

// The key of the list's selected entry; empty without a selection.
std::string Caudio::SelectedKey(const CWnd& list)
{
    const LRESULT chosen = list.SendMessage(CB_GETCURSEL);
    return chosen == CB_ERR ? std::string() : WaveDeviceKey(EntryText(list, chosen));
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
    // Keys, not the lists' texts in GBK: two devices whose names differ only in
    // characters GBK lacks stay two.
    const std::string strOutput = SelectedKey(m_cbOutput);
    const std::string strInput = SelectedKey(m_cbInput);
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
