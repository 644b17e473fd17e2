// CSkinnedDialog: a dialog of the program as the skin library dresses it. The skin takes
// the window at WM_NCCREATE with the dialog's template id; with keysDoNothing, Enter and
// Esc neither end the window nor press a button (the program's windows close only by
// their own buttons or the close box).
#pragma once
#include "Dialog.h"
#include "SkinFeature.h"

class CSkinnedDialog : public CDialog {
protected:
    CSkinnedDialog(UINT nIDTemplate, CWnd* pParentWnd, bool keysDoNothing)
        : CDialog(nIDTemplate, pParentWnd), m_bKeysDoNothing(keysDoNothing)
    {
    }

    BOOL OnNcCreate(LPCREATESTRUCTW lpcs) override
    {
        if (!CDialog::OnNcCreate(lpcs))
            return FALSE;
        SkinApply(m_hWnd, GetTemplateId());
        return TRUE;
    }

    BOOL PreTranslateMessage(MSG* pMsg) override
    {
        if (m_bKeysDoNothing && pMsg->message == WM_KEYDOWN &&
            (pMsg->wParam == VK_ESCAPE || pMsg->wParam == VK_RETURN))
            return TRUE;
        return CDialog::PreTranslateMessage(pMsg);
    }

private:
    bool m_bKeysDoNothing;
};
