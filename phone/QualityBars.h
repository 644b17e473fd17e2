// The phone window's call-quality figure: five rising bars, filled up to the library's
// figure for the last few seconds of the call (sipxCallGetAudioQuality), to the right of
// the call clock, where no control of the window lies. Hidden outside calls and until
// the first figure. Its window text says the same for screen readers and tests:
// "通话质量 N/5". Drawn by the dialog (WM_DRAWITEM) in the colours the skin gives the
// level bars, at the size the control got, so it follows the window's scale.
#pragma once
#include <windows.h>

class CQualityBars {
public:
    enum { IDC_CALL_QUALITY = 1190 };

    // Makes the control, hidden, as a child of the phone window.
    void Create(HWND hDialog);
    // Shows `bars` (1..5); 0 hides the control.
    void Show(int bars);
    int Bars() const { return m_nBars; }
    // The dialog's WM_DRAWITEM: draws when the item is this control; false otherwise.
    bool Draw(const DRAWITEMSTRUCT* pItem) const;

    HWND m_hWnd = nullptr;

private:
    int m_nBars = 0;
};
