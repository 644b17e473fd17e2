#include "DialogFit.h"
#include <cstring>
#include "Dpi.h"

namespace dlgfit {

SIZE WindowSize(const dlgtemplate::Header& header, WORD points, UINT dpi)
{
    // The dialog manager's base units: the font's height, and the average width of the
    // Latin letters (as GdiGetCharDimensions measures it).
    LOGFONTW lf = {};
    lf.lfHeight = -::MulDiv(points, static_cast<int>(dpi), 72);
    lf.lfWeight = header.ex ? header.weight : FW_NORMAL;
    lf.lfItalic = header.ex ? header.italic : 0;
    lf.lfCharSet = header.ex ? header.charset : DEFAULT_CHARSET;
    header.face.copy(lf.lfFaceName, LF_FACESIZE - 1);
    int baseX = 0, baseY = 0;
    HDC dc = ::CreateCompatibleDC(nullptr);
    HFONT font = ::CreateFontIndirectW(&lf);
    if (dc && font) {
        HGDIOBJ old = ::SelectObject(dc, font);
        static const wchar_t kLetters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
        TEXTMETRICW tm = {};
        SIZE extent = {};
        if (::GetTextMetricsW(dc, &tm) && ::GetTextExtentPoint32W(dc, kLetters, 52, &extent)) {
            baseX = (extent.cx / 26 + 1) / 2;
            baseY = tm.tmHeight;
        }
        ::SelectObject(dc, old);
    }
    if (font)
        ::DeleteObject(font);
    if (dc)
        ::DeleteDC(dc);
    if (baseX <= 0 || baseY <= 0)
        return SIZE{0, 0};
    RECT r = {0, 0, ::MulDiv(header.cx, baseX, 4), ::MulDiv(header.cy, baseY, 8)};
    DWORD exStyle = header.exStyle;
    if (header.style & DS_MODALFRAME)
        exStyle |= WS_EX_DLGMODALFRAME;
    ::AdjustWindowRectEx(&r, header.style, FALSE, exStyle);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

std::vector<BYTE> Fitted(const void* data, size_t size, const RECT& area, UINT dpi)
{
    dlgtemplate::Header header;
    if (!dlgtemplate::Read(data, size, header) || !header.hasFont || header.points <= kMinPoints)
        return {};
    const LONG width = area.right - area.left, height = area.bottom - area.top;
    auto fits = [&](WORD points) {
        const SIZE s = WindowSize(header, points, dpi);
        return s.cx > 0 && s.cx <= width && s.cy <= height;
    };
    if (fits(header.points))
        return {};
    WORD points = header.points;
    while (points > kMinPoints && !fits(points))
        --points;
    std::vector<BYTE> copy(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + size);
    std::memcpy(copy.data() + header.pointsOffset, &points, sizeof points);
    return copy;
}

void KeepInWorkArea(HWND hWnd)
{
    RECT window;
    if (!::GetWindowRect(hWnd, &window))
        return;
    const RECT area = dpi::WorkArea(hWnd);
    const LONG width = window.right - window.left, height = window.bottom - window.top;
    LONG x = window.left, y = window.top;
    if (x + width > area.right)
        x = area.right - width;
    if (y + height > area.bottom)
        y = area.bottom - height;
    if (x < area.left)
        x = area.left;
    if (y < area.top)
        y = area.top;
    if (x != window.left || y != window.top)
        ::SetWindowPos(hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace dlgfit
