#include "Dial.h"
#include <cstdio>
#include "SkinFeature.h"
#include "WinApp.h"

CDial::CDial() : CDialog(IDD) {}

BOOL CDial::OnNcCreate(LPCREATESTRUCTA lpcs)
{
    if (!CDialog::OnNcCreate(lpcs))
        return FALSE;
    SkinApply(m_hWnd, IDD);
    return TRUE;
}

BOOL CDial::OnInitDialog()
{
    CDialog::OnInitDialog();
    SetDlgItemText(1050, m_strAccount);
    SetDlgItemText(1051, m_strBalance);
    SetDlgItemText(1052, m_strSipUser);
    SetDlgItemText(1053, m_strSipDomain);
    char port[16];
    std::snprintf(port, sizeof port, "%d", m_nKeepAlivePort);
    SetDlgItemText(1054, m_strKeepAliveHost + " " + port);
    SetDlgItemText(1055, m_strOutputDevice);
    SetDlgItemText(1056, m_strInputDevice);
    return TRUE;
}

void CDial::OnDestroy()
{
    // The phone window's end is the program's end: close the (hidden) login window.
    if (TheApp() && TheApp()->m_pMainWnd && TheApp()->m_pMainWnd->m_hWnd)
        ::SendMessageA(TheApp()->m_pMainWnd->m_hWnd, WM_CLOSE, 0, 0);
}
