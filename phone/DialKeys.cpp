// The phone window's keypad, keyboard filter and buttons.
#include "Dial.h"
#include <commctrl.h>
#include "AudioDlg.h"
#include "CallControl.h"
#include "Desktop.h"
#include "MultiParty.h"
#include "ServerUrl.h"
#include "Yuyin.h"
#include "resource.h"
#include "TimerPeriods.h"

HWND CDial::NumberEdit() const
{
    return reinterpret_cast<HWND>(m_cbNumber.SendMessage(CBEM_GETEDITCONTROL));
}

void CDial::OnKeypad(char chKey, int nTone, int nSound)
{
    if (!CheckRegistered()) {
        // The key still types and sounds once the box is closed.
    } else if (m_bInCall == 0) {
        m_stStatus.SetWindowText("");
        m_stClock.SetWindowText("");
    }
    if (m_bInCall == 1) {
        TheCallControl().CallStartTone(m_session.m_hCall, nTone, 1, 1, 120);
        KillTimer(TIMER_TONE_OFF);
        SetTimer(TIMER_TONE_OFF, ThePeriods().nToneOff);
    }
    ::PostMessageA(NumberEdit(), WM_CHAR, static_cast<unsigned char>(chKey), 0);
    if (m_bInCall == 0)
        TheDesktop().PlayResourceSound(nSound);
}

BOOL CDial::PreTranslateMessage(MSG* pMsg)
{
    if (pMsg->message == WM_KEYDOWN && (pMsg->hwnd == m_hWnd || ::IsChild(m_hWnd, pMsg->hwnd)))
        return FilterKeyDown(pMsg);
    return CSkinnedDialog::PreTranslateMessage(pMsg);
}

// Only what a phone number needs gets through; digits sound, Enter calls.
BOOL CDial::FilterKeyDown(const MSG* pMsg)
{
    const WPARAM vk = pMsg->wParam;
    if (vk >= '0' && vk <= '9') {
        TheDesktop().PlayResourceSound(vk == '0' ? IDW_DIGIT_0 : IDW_DIGIT_1 + static_cast<int>(vk - '1'));
        return FALSE;
    }
    if (vk >= VK_NUMPAD0 && vk <= VK_NUMPAD9) {
        TheDesktop().PlayResourceSound(vk == VK_NUMPAD0 ? IDW_DIGIT_0 : IDW_DIGIT_1 + static_cast<int>(vk - VK_NUMPAD1));
        return FALSE;
    }
    switch (vk) {
    case VK_RETURN:
        PlaceCall();
        return TRUE;
    case VK_BACK:
        TheDesktop().PlayResourceSound(IDW_CLICK);
        return FALSE;
    case VK_LEFT:
    case VK_RIGHT:
    case VK_DELETE:
        return FALSE;
    default:            // Escape and everything else
        return TRUE;
    }
}

void CDial::OnBackspace()
{
    if (!CheckRegistered())
        return;
    ::PostMessageA(NumberEdit(), WM_CHAR, VK_BACK, 0);
    TheDesktop().PlayResourceSound(IDW_CLICK);
    // The posted Backspace has not been typed yet: the text still holds its character.
    if (m_cbNumber.GetWindowText().size() < 2)
        m_stStatus.SetWindowText("");
}

void CDial::OpenWebPage(const char* pszPath)
{
    if (!CheckRegistered())
        return;
    OpenServicePage(m_hWnd, pszPath);
}

void CDial::OnAudioSettings()
{
    if (!CheckRegistered() || m_bInCall == 1)
        return;
    TheDesktop().PlayResourceSound(IDW_CLICK);
    // The window switches the library's processing at once; the devices and switches it
    // stored on Apply become the session's when it has closed.
    Caudio dlg(this, m_session.m_hInst, m_session.Audio());
    dlg.DoModal();
    if (dlg.Applied())
        m_session.TakeAudio(dlg.Choice());
}

void CDial::OnMultiParty()
{
    if (!CheckRegistered() || m_bInCall == 1)
        return;
    TheDesktop().PlayResourceSound(IDW_CLICK);
    // While it runs, the dispatch of the library's events hands the lines' progress to it.
    cduoren1 dlg(this, m_session);
    m_pMultiParty = &dlg;
    dlg.DoModal();
    m_pMultiParty = nullptr;
}

void CDial::OnSoundQuality()
{
    if (!CheckRegistered())
        return;
    yuyin dlg(this);
    dlg.DoModal();
    TheDesktop().PlayResourceSound(IDW_CLICK);
}
