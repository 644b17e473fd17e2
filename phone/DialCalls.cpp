// The phone window's call path: placing and ending calls, the dialled-number history in
// the number box, and call recording.
#include "Dial.h"
#include <commctrl.h>
#include "CallControl.h"
#include "CallRules.h"
#include "Desktop.h"
#include "ProgramLog.h"
#include "SettingsFiles.h"
#include "WinText.h"
#include "resource.h"
#include "TimerPeriods.h"

namespace {
// The process's current directory, where the settings files and the Record folder are,
// in GBK. Read wide, so a folder named in any script is found on any system; a name GBK
// cannot spell gives empty text, and the Record folder is then named relative to it.
std::string CurrentFolder()
{
    wchar_t folder[MAX_PATH] = {0};
    const DWORD n = ::GetCurrentDirectoryW(MAX_PATH, folder);
    std::string gbk;
    if (n == 0 || n >= MAX_PATH || !wintext::ToGbk(folder, n, gbk))
        return std::string();
    return gbk;
}

// The recording's folder as the library is handed it: the current directory's Record
// folder, or "Record" relative to it when the directory cannot be spelled in GBK.
std::string RecordBase()
{
    const std::string current = CurrentFolder();
    return current.empty() ? std::string(".") : current;
}

// The Record folder, made when it is missing (a fresh installation has none).
std::string RecordFolder()
{
    const std::string folder = RecordBase() + "\\Record";
    ::CreateDirectoryW(wintext::Wide(folder).c_str(), nullptr);   // fails harmlessly when it is there
    return folder;
}

bool PathTaken(const std::string& path)
{
    return ::GetFileAttributesW(wintext::Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}
}

void CDial::PlaceCall()
{
    if (!CheckRegistered())
        return;
    if (m_bInCall == 1)
        return;
    m_stStatus.SetWindowText("");
    m_stClock.SetWindowText("");
    m_strNumber = CWnd(NumberEdit()).GetWindowText();

    if (const char* refusal = RefuseNumber(m_strNumber, m_session.m_strBalance)) {
        m_stStatus.SetWindowText(refusal);
        TheDesktop().PlayResourceSound(IDW_REFUSED);
        return;
    }

    // The history keeps the number as typed, before it is made international.
    ::RecordCall(m_xmlCall, m_strNumber, m_strAccount);
    LoadCallHistory();

    CallControl& sipx = TheCallControl();
    // Devices chosen in the audio settings take effect with this call.
    sipx.AudioSetInputDevice(m_session.m_hInst, m_session.m_strInputDevice.c_str(), 0);
    sipx.AudioSetOutputDevice(m_session.m_hInst, m_session.m_strOutputDevice.c_str(), 0);
    m_stStatus.SetWindowText("正在呼叫:" + m_strNumber);
    m_bInCall = 1;

    m_strNumber = InternationalNumber(m_strNumber);
    // The call's progress comes back as events (messages 5503, 5502, 5501).
    // A call the network ended keeps its handle until here; release it now, or every
    // such call would stay counted against the library's limit of connections.
    if (m_session.m_hCall)
        sipx.CallDestroy(&m_session.m_hCall);
    SIPX_RESULT result = sipx.CallCreate(m_session.m_hInst, m_session.m_hLine, &m_session.m_hCall);
    if (result == SIPX_RESULT_SUCCESS) {
        const std::string address = "sip:" + m_strNumber + "@" + m_session.m_strSipDomain;
        result = sipx.CallConnect(m_session.m_hCall, address.c_str(), 0, nullptr, 1, &kCallOptions, nullptr);
    }
    LogGbk("call", "calling " + m_strNumber + " at " + m_session.m_strSipDomain + ": " +
                       (result == SIPX_RESULT_SUCCESS ? std::string("requested")
                                                      : "refused by the library (" + std::to_string(result) + ")"));
    if (result != SIPX_RESULT_SUCCESS) {
        // Refused (no room for another call, an address the library cannot use): no
        // event will ever come for it, so it ends here as a call the network ended.
        if (m_session.m_hCall)
            sipx.CallDestroy(&m_session.m_hCall);
        m_session.m_hCall = 0;
        OnCallEnded(0, 0);
        return;
    }
    if (!IsServiceNumber(m_strNumber))
        TheDesktop().PlayResourceSound(IDW_CALLING);
}

// Also when no call is up: then the library turns the requests down, and the balance
// is still asked for four seconds later. During a call the registration is not asked
// for: a call that goes on while the line's registration has lapsed is still billed, and
// this button is the subscriber's only way to end it short of closing the program.
void CDial::HangUp()
{
    if (m_bInCall != 1 && !CheckRegistered())
        return;
    CallControl& sipx = TheCallControl();
    // The recording is stopped while the call still has its handle; the release below
    // sets m_session.m_hCall to 0.
    LogGbk("call", "hung up by the subscriber");
    sipx.CallAudioRecordFileStop(m_session.m_hCall);
    sipx.CallHold(m_session.m_hCall, 1);
    sipx.CallDestroy(&m_session.m_hCall);

    m_stStatus.SetWindowText("");
    m_stClock.SetWindowText("");
    CWnd(NumberEdit()).SetWindowText("");
    KillTimer(TIMER_CALL_CLOCK);
    KillTimer(TIMER_QUALITY);
    m_quality.Show(0);
    m_bInCall = 0;
    m_btnSoundQuality.ShowWindow(SW_HIDE);
    SetTimer(TIMER_BALANCE, ThePeriods().nBalanceDelay);
    TheDesktop().PlayResourceSound(IDW_HANGUP);
}

void CDial::UpdateQuality()
{
    SIPX_AUDIO_QUALITY q = {};
    q.cbSize = sizeof q;
    if (m_session.m_hCall && TheCallControl().CallGetAudioQuality(m_session.m_hCall, &q) == SIPX_RESULT_SUCCESS &&
        q.bars > 0)
        m_quality.Show(q.bars);
}

void CDial::ClearCallHistory()
{
    if (!CheckRegistered())
        return;
    ::ClearCallHistory(m_xmlClear);     // every account's numbers go; the audio options stay
    LoadCallHistory();
    TheDesktop().PlayResourceSound(IDW_CLICK);
}

void CDial::OpenRecordFolder()
{
    if (!CheckRegistered())
        return;
    TheDesktop().PlayResourceSound(IDW_CLICK);
    // The shell's default action on a folder: a file-manager window on it.
    const std::string folder = RecordFolder();
    TheDesktop().ShellOpen(m_hWnd, nullptr, folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

// When the call is answered with the record box ticked. The Record folder is made when
// missing; a name an earlier recording has (two calls to one number in one minute) gets
// " (2)", " (3)", ... so no recording is ever overwritten. The library creates the file
// only when the name is still free; when another file took the name meanwhile, the next
// free one is tried. A file the library still cannot write leaves the call going on
// unrecorded.
void CDial::StartRecording()
{
    if (m_bRecord != 1)
        return;
    const time_t answered = static_cast<time_t>(m_fnRecordingClock ? m_fnRecordingClock() : std::time(nullptr));
    struct tm local = {};
    if (const struct tm* t = std::localtime(&answered))
        local = *t;
    RecordFolder();
    StartRecordingAtFreePath(RecordingPath(RecordBase(), local, m_strNumber), PathTaken, [&](const std::string& path) {
        const SIPX_RESULT result = TheCallControl().CallAudioRecordFileStart(m_session.m_hCall, path.c_str());
        LogGbk("call", "recording to " + path + (result == SIPX_RESULT_SUCCESS
                                                     ? std::string()
                                                     : " refused (" + std::to_string(result) + ")"));
        return result == SIPX_RESULT_SUCCESS;
    });
}

void CDial::OnRecordBox()
{
    m_bRecord = m_chkRecord.SendMessage(BM_GETCHECK) == BST_CHECKED ? 1 : 0;
}

// The number box lists this account's newest numbers, newest first.
void CDial::LoadCallHistory()
{
    m_cbNumber.SendMessage(CB_RESETCONTENT);
    const std::vector<CallHistoryEntry> entries = ::LoadCallHistory(m_xmlCall, m_strAccount);
    int index = 0;
    for (const CallHistoryEntry& entry : entries) {
        std::wstring text = wintext::Wide(entry.strNumber);
        COMBOBOXEXITEMW item = {};
        item.mask = CBEIF_TEXT | CBEIF_IMAGE | CBEIF_SELECTEDIMAGE;
        item.iItem = index++;
        item.pszText = &text[0];
        item.iImage = entry.nImage;
        item.iSelectedImage = 0;
        m_cbNumber.SendMessage(CBEM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
}
