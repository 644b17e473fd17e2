#include "Yuyin.h"
#include "WindowPlacement.h"

yuyin::yuyin(CWnd* pParent) : CSkinnedDialog(IDD, pParent, true)
{
}

BOOL yuyin::OnInitDialog()
{
    CDialog::OnInitDialog();
    CenterOverOwner(m_hWnd);
    return TRUE;
}

