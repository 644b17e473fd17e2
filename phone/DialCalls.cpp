// The phone window's call path: placing and ending calls, the dialled-number history in
// the number box, and call recording.
//
// Not there yet: placing and ending calls, clearing the history, recording and the
// recordings folder come with their own change. Until then their buttons (and Enter)
// only pass the registration gate.
#include "Dial.h"
#include <commctrl.h>
#include "SettingsFiles.h"

void CDial::PlaceCall()
{
    if (!CheckRegistered())
        return;
    if (m_bInCall == 1)
        return;
    // The number checks, the history entry and the call request come here.
}

void CDial::HangUp()
{
    if (!CheckRegistered())
        return;
    // Ending the call (hold, release, stop timer 1, timer 4, sound 145) comes here.
}

void CDial::ClearCallHistory()
{
    if (!CheckRegistered())
        return;
    // Removing every "Call" entry of Call.xml comes here.
}

void CDial::OpenRecordFolder()
{
    if (!CheckRegistered())
        return;
    // Opening the Record folder comes here.
}

void CDial::StartRecording()
{
    // Recording the answered call to a WAVE file comes here.
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
        COMBOBOXEXITEMA item = {};
        item.mask = CBEIF_TEXT | CBEIF_IMAGE | CBEIF_SELECTEDIMAGE;
        item.iItem = index++;
        item.pszText = const_cast<char*>(entry.strNumber.c_str());
        item.iImage = entry.nImage;
        item.iSelectedImage = 0;
        m_cbNumber.SendMessage(CBEM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
}
