#include "QualityBars.h"
#include <string>
#include "WinText.h"

namespace {
// Right of the call clock (1041 ends at x 139) and above the sound-quality button (1078
// starts at y 143), in dialog units.
const RECT kPlace = {150, 130, 176, 140};
// The skin's level-bar colours: filled and empty.
const COLORREF kFilled = RGB(0x3F, 0xAE, 0x49);
const COLORREF kPoor = RGB(0xE0, 0x8A, 0x1E);   // one or two bars
const COLORREF kEmpty = RGB(0xC9, 0xD6, 0xE8);
const COLORREF kBack = RGB(0xE6, 0xED, 0xF6);   // the level bars' background
}

void CQualityBars::Create(HWND hDialog)
{
    RECT r = kPlace;
    ::MapDialogRect(hDialog, &r);
    m_hWnd = ::CreateWindowExW(0, L"STATIC", L"", WS_CHILD | SS_OWNERDRAW, r.left, r.top, r.right - r.left,
                               r.bottom - r.top, hDialog, reinterpret_cast<HMENU>(IDC_CALL_QUALITY), nullptr, nullptr);
}

void CQualityBars::Show(int bars)
{
    if (!m_hWnd)
        return;
    m_nBars = bars < 0 ? 0 : bars > 5 ? 5 : bars;
    if (m_nBars == 0) {
        ::ShowWindow(m_hWnd, SW_HIDE);
        ::SetWindowTextW(m_hWnd, L"");
        return;
    }
    const std::string text = "通话质量 " + std::to_string(m_nBars) + "/5";
    ::SetWindowTextW(m_hWnd, wintext::Wide(text).c_str());
    ::InvalidateRect(m_hWnd, nullptr, TRUE);
    ::ShowWindow(m_hWnd, SW_SHOWNA);
}

bool CQualityBars::Draw(const DRAWITEMSTRUCT* pItem) const
{
    if (!pItem || pItem->CtlType != ODT_STATIC || pItem->hwndItem != m_hWnd)
        return false;
    const RECT& rc = pItem->rcItem;
    const int width = rc.right - rc.left, height = rc.bottom - rc.top;
    const int gap = width / 15 > 0 ? width / 15 : 1;
    const int barWidth = (width - 6 * gap) / 5;
    HBRUSH filled = ::CreateSolidBrush(m_nBars <= 2 ? kPoor : kFilled);
    HBRUSH empty = ::CreateSolidBrush(kEmpty);
    HBRUSH back = ::CreateSolidBrush(kBack);
    ::FillRect(pItem->hDC, &rc, back);
    ::DeleteObject(back);
    for (int i = 0; i < 5; ++i) {
        const int barHeight = (height - 2 * gap) * (i + 1) / 5;
        RECT bar = {rc.left + gap + i * (barWidth + gap), rc.bottom - gap - barHeight, 0, rc.bottom - gap};
        bar.right = bar.left + barWidth;
        ::FillRect(pItem->hDC, &bar, i < m_nBars ? filled : empty);
    }
    ::DeleteObject(filled);
    ::DeleteObject(empty);
    return true;
}
