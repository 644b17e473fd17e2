#include "Yuyin.h"
#include "SkinFeature.h"
#include "WindowPlacement.h"

yuyin::yuyin(CWnd* pParent) : CDialog(IDD, pParent)
{
}

BOOL yuyin::OnNcCreate(LPCREATESTRUCTW lpcs)
{
    if (!CDialog::OnNcCreate(lpcs))
        return FALSE;
    SkinApply(m_hWnd, IDD);
    return TRUE;
}

BOOL yuyin::OnInitDialog()
{
    CDialog::OnInitDialog();
    CenterOverOwner(m_hWnd);
    return TRUE;
}

BOOL yuyin::PreTranslateMessage(MSG* pMsg)
{
    // Neither Enter nor Esc closes the window.
    if (pMsg->message == WM_KEYDOWN && (pMsg->wParam == VK_ESCAPE || pMsg->wParam == VK_RETURN))
        return TRUE;
    return CDialog::PreTranslateMessage(pMsg);
}
