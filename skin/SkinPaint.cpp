#include "SkinPaint.h"
#include <algorithm>
#include "DialogTemplate.h"
#include "Dpi.h"

namespace skin {

namespace {

// --- GDI helpers ---------------------------------------------------------------------

// Selects an object into a DC for one scope.
class Select {
public:
    Select(HDC hdc, HGDIOBJ obj) : m_hdc(hdc), m_old(::SelectObject(hdc, obj)) {}
    ~Select() { ::SelectObject(m_hdc, m_old); }
    Select(const Select&) = delete;
    Select& operator=(const Select&) = delete;
private:
    HDC m_hdc;
    HGDIOBJ m_old;
};

void FillGradient(HDC hdc, const RECT& rc, const Gradient& g)
{
    if (rc.right <= rc.left || rc.bottom <= rc.top)
        return;
    if (g.top == g.bottom) {
        HBRUSH brush = ::CreateSolidBrush(g.top);
        ::FillRect(hdc, &rc, brush);
        ::DeleteObject(brush);
        return;
    }
    TRIVERTEX v[2] = {
        {rc.left, rc.top, static_cast<COLOR16>(GetRValue(g.top) << 8), static_cast<COLOR16>(GetGValue(g.top) << 8),
         static_cast<COLOR16>(GetBValue(g.top) << 8), 0},
        {rc.right, rc.bottom, static_cast<COLOR16>(GetRValue(g.bottom) << 8),
         static_cast<COLOR16>(GetGValue(g.bottom) << 8), static_cast<COLOR16>(GetBValue(g.bottom) << 8), 0},
    };
    GRADIENT_RECT r = {0, 1};
    ::GradientFill(hdc, v, 2, &r, 1, GRADIENT_FILL_RECT_V);
}

void FillSolid(HDC hdc, const RECT& rc, COLORREF c)
{
    HBRUSH brush = ::CreateSolidBrush(c);
    ::FillRect(hdc, &rc, brush);
    ::DeleteObject(brush);
}

// A rounded rectangle filled with a gradient and outlined in `border`.
void RoundBox(HDC hdc, const RECT& rc, int radius, const Gradient& fill, COLORREF border)
{
    const int d = radius * 2;
    HRGN rgn = ::CreateRoundRectRgn(rc.left, rc.top, rc.right + 1, rc.bottom + 1, d + 1, d + 1);
    ::SelectClipRgn(hdc, rgn);
    FillGradient(hdc, rc, fill);
    ::SelectClipRgn(hdc, nullptr);
    ::DeleteObject(rgn);
    HPEN pen = ::CreatePen(PS_SOLID, 1, border);
    {
        Select p(hdc, pen), b(hdc, ::GetStockObject(NULL_BRUSH));
        ::RoundRect(hdc, rc.left, rc.top, rc.right, rc.bottom, d, d);
    }
    ::DeleteObject(pen);
}

COLORREF Mix(COLORREF a, COLORREF b, int percentOfB)
{
    auto m = [&](int x, int y) { return (x * (100 - percentOfB) + y * percentOfB) / 100; };
    return RGB(m(GetRValue(a), GetRValue(b)), m(GetGValue(a), GetGValue(b)), m(GetBValue(a), GetBValue(b)));
}

int LineHeight(HDC hdc)
{
    TEXTMETRICW tm{};
    ::GetTextMetricsW(hdc, &tm);
    return tm.tmHeight + tm.tmExternalLeading + 3;
}

int TextWidth(HDC hdc, const std::wstring& s)
{
    SIZE size{};
    if (!s.empty())
        ::GetTextExtentPoint32W(hdc, s.data(), static_cast<int>(s.size()), &size);
    return size.cx;
}

void DrawLine(HDC hdc, const std::wstring& s, const RECT& rc, UINT format)
{
    RECT r = rc;
    ::DrawTextW(hdc, s.data(), static_cast<int>(s.size()), &r, format | DT_NOPREFIX);
}

// --- line breaking ---------------------------------------------------------------------

bool IsWide(wchar_t c) { return c >= 0x2E80; }
bool IsLatinWord(wchar_t c) { return !IsWide(c) && c > L' '; }

bool NoLineStart(wchar_t c)
{
    static const wchar_t kClosing[] = L"，。、；：！？）》」』】”’…—,.;:!?)]}%";
    return std::wstring(kClosing).find(c) != std::wstring::npos;
}

bool NoLineEnd(wchar_t c)
{
    static const wchar_t kOpening[] = L"（《「『【“‘([{";
    return std::wstring(kOpening).find(c) != std::wstring::npos;
}

// May a line end between text[i-1] and text[i]?
bool CanBreak(const std::wstring& text, size_t i)
{
    const wchar_t a = text[i - 1], b = text[i];
    if (NoLineStart(b) || NoLineEnd(a))
        return false;
    if (b == L' ' || a == L' ')
        return true;
    return IsWide(a) || IsWide(b) || !(IsLatinWord(a) && IsLatinWord(b));
}

}  // namespace

// --- DluScale, FontCache -----------------------------------------------------------

DluScale DluScale::FromDialog(HWND hDlg)
{
    DluScale s;
    RECT r{0, 0, 4, 8};
    if (::MapDialogRect(hDlg, &r) && r.right > 0 && r.bottom > 0) {
        s.baseX = r.right;
        s.baseY = r.bottom;
    }
    return s;
}

namespace {
int CALLBACK FoundFace(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found)
{
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}
}

int DialogDpi(HWND hDlg, int templateId)
{
    const int monitorDpi = static_cast<int>(dpi::ForWindow(hDlg));
    HINSTANCE module = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(hDlg, GWLP_HINSTANCE));
    HRSRC res = ::FindResourceW(module, MAKEINTRESOURCEW(templateId), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
    const void* data = res ? ::LockResource(::LoadResource(module, res)) : nullptr;
    dlgtemplate::Header header;
    if (!data || !dlgtemplate::Read(data, ::SizeofResource(module, res), header) || !header.hasFont || !header.points)
        return monitorDpi;
    HFONT font = reinterpret_cast<HFONT>(::SendMessageW(hDlg, WM_GETFONT, 0, 0));
    LOGFONTW lf{};
    if (!font || !::GetObjectW(font, sizeof lf, &lf) || lf.lfHeight >= 0)
        return monitorDpi;
    const int full = ::MulDiv(header.points, monitorDpi, 72);
    return full > 0 && -lf.lfHeight < full ? ::MulDiv(monitorDpi, -lf.lfHeight, full) : monitorDpi;
}

FontCache::FontCache(const std::vector<std::wstring>& faces, int dpi)
{
    HDC screen = ::GetDC(nullptr);
    m_dpi = dpi > 0 ? dpi : ::GetDeviceCaps(screen, LOGPIXELSY);
    for (const auto& face : faces) {
        LOGFONTW lf{};
        lf.lfCharSet = DEFAULT_CHARSET;
        face.copy(lf.lfFaceName, LF_FACESIZE - 1);
        bool found = false;
        ::EnumFontFamiliesExW(screen, &lf, &FoundFace, reinterpret_cast<LPARAM>(&found), 0);
        if (found) {
            m_face = face;
            break;
        }
    }
    // None installed: the system picks a Chinese face close to the last one named.
    if (m_face.empty() && !faces.empty())
        m_face = faces.back();
    ::ReleaseDC(nullptr, screen);
}

FontCache::~FontCache()
{
    for (auto& f : m_fonts)
        ::DeleteObject(f.second);
}

HFONT FontCache::Get(int points, bool bold, bool underline)
{
    const int key = points * 4 + (bold ? 2 : 0) + (underline ? 1 : 0);
    auto f = m_fonts.find(key);
    if (f != m_fonts.end())
        return f->second;
    LOGFONTW lf{};
    lf.lfHeight = -::MulDiv(points, m_dpi, 72);
    lf.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    lf.lfUnderline = underline ? TRUE : FALSE;
    lf.lfCharSet = GB2312_CHARSET;
    lf.lfQuality = CLEARTYPE_QUALITY;
    m_face.copy(lf.lfFaceName, LF_FACESIZE - 1);
    HFONT font = ::CreateFontIndirectW(&lf);
    if (!font)
        font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    else
        m_fonts[key] = font;
    return font;
}

// --- text --------------------------------------------------------------------------

std::vector<std::wstring> WrapText(HDC hdc, const std::wstring& text, int width)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    const size_t n = text.size();
    while (start < n) {
        while (start < n && text[start] == L' ')
            ++start;
        if (start >= n)
            break;
        const int rest = static_cast<int>(n - start);
        int fit = 0;
        SIZE size{};
        if (!::GetTextExtentExPointW(hdc, text.data() + start, rest, std::max(width, 1), &fit, nullptr, &size))
            fit = rest;
        if (fit >= rest) {
            lines.push_back(text.substr(start));
            break;
        }
        size_t end = start + std::max(fit, 1);
        // Back off to a place where the line may end; without one, cut where it is full.
        size_t brk = end;
        while (brk > start + 1 && !CanBreak(text, brk))
            --brk;
        if (CanBreak(text, brk)) {
            end = brk;
        } else {
            // Cut where the line is full; closing punctuation hangs at its end rather
            // than start the next line.
            while (end < n && NoLineStart(text[end]))
                ++end;
        }
        size_t trimmed = end;
        while (trimmed > start && text[trimmed - 1] == L' ')
            --trimmed;
        lines.push_back(text.substr(start, trimmed - start));
        start = end;
    }
    return lines;
}

// --- backdrop ----------------------------------------------------------------------

namespace {

void PaintBanner(HDC hdc, const RECT& client, const Skin& skin, const DialogPart& part,
                 const DluScale& dlu, FontCache& fonts, HICON icon)
{
    const int height = dlu.Y(part.banner);
    const RECT band{client.left, client.top, client.right, client.top + height};
    FillGradient(hdc, band, skin.colors.banner);
    const int line = fonts.Px(2);
    FillSolid(hdc, RECT{band.left, band.bottom - line, band.right, band.bottom}, skin.colors.bannerLine);

    int x = band.left + fonts.Px(14);
    const int iconSize = fonts.Px(32), pad = fonts.Px(4), tile = iconSize + 2 * pad;
    if (icon && height >= tile + fonts.Px(6)) {
        // The icon sits on a light tile so that it reads on any banner colour.
        const int top = band.top + (height - line - tile) / 2;
        const RECT r{x, top, x + tile, top + tile};
        RoundBox(hdc, r, fonts.Px(8), Gradient{skin.colors.bannerText, Mix(skin.colors.bannerText, skin.colors.bannerSubtext, 40)},
                 Mix(skin.colors.bannerText, skin.colors.banner.bottom, 30));
        ::DrawIconEx(hdc, x + pad, top + pad, icon, iconSize, iconSize, 0, nullptr, DI_NORMAL);
        x += tile + fonts.Px(12);
    }
    HFONT titleFont = fonts.Get(skin.titleSize, true);
    HFONT subFont = fonts.Get(skin.size);
    int titleHeight, subHeight = 0;
    {
        Select f(hdc, titleFont);
        titleHeight = LineHeight(hdc) - 3;
    }
    if (!part.subtitle.empty()) {
        Select f(hdc, subFont);
        subHeight = LineHeight(hdc) - 3 + 5;
    }
    int y = band.top + (height - line - titleHeight - subHeight) / 2;
    const RECT textArea{x, 0, band.right - fonts.Px(10), 0};
    ::SetBkMode(hdc, TRANSPARENT);
    if (!part.title.empty()) {
        Select f(hdc, titleFont);
        ::SetTextColor(hdc, skin.colors.bannerText);
        DrawLine(hdc, part.title, RECT{textArea.left, y, textArea.right, y + titleHeight},
                 DT_LEFT | DT_SINGLELINE | DT_END_ELLIPSIS);
    }
    if (!part.subtitle.empty()) {
        y += titleHeight + 5;
        Select f(hdc, subFont);
        ::SetTextColor(hdc, skin.colors.bannerSubtext);
        DrawLine(hdc, part.subtitle, RECT{textArea.left, y, textArea.right, y + subHeight},
                 DT_LEFT | DT_SINGLELINE | DT_END_ELLIPSIS);
    }
}

void PaintText(HDC hdc, const Skin& skin, const PaintedText& t, const DluScale& dlu, FontCache& fonts)
{
    const RECT rc = dlu.Map(t.rect);
    Select f(hdc, fonts.Get(skin.size, t.bold));
    ::SetBkMode(hdc, TRANSPARENT);
    ::SetTextColor(hdc, skin.colors.text);
    const UINT align = t.align == Align::Center ? DT_CENTER : t.align == Align::Right ? DT_RIGHT : DT_LEFT;
    const int width = rc.right - rc.left;
    if (TextWidth(hdc, t.text) <= width) {
        DrawLine(hdc, t.text, rc, align | DT_SINGLELINE | DT_VCENTER);
        return;
    }
    const int lh = LineHeight(hdc);
    int y = rc.top;
    for (const auto& line : WrapText(hdc, t.text, width)) {
        if (y + lh - 3 > rc.bottom)
            break;
        DrawLine(hdc, line, RECT{rc.left, y, rc.right, y + lh}, align | DT_SINGLELINE);
        y += lh;
    }
}

}  // namespace

int FlowNotes(HDC hdc, const Skin& skin, const DialogPart& part, const DluScale& dlu,
              FontCache& fonts, bool draw)
{
    if (!part.hasNotes)
        return 0;
    const RECT area = dlu.Map(part.notesArea);
    const int width = area.right - area.left;
    ::SetBkMode(hdc, TRANSPARENT);
    int y = area.top;
    bool first = true;
    for (const auto& note : part.notes) {
        const bool heading = note.kind == Note::Heading;
        Select f(hdc, fonts.Get(heading ? skin.size + 1 : skin.size, heading));
        const int lh = LineHeight(hdc);
        const int indent = note.kind == Note::Bullet ? lh : 0;
        if (!first)
            y += heading ? lh / 2 + 2 : 2;
        first = false;
        const auto lines = WrapText(hdc, note.text, width - indent);
        if (draw && note.kind == Note::Bullet && y + lh <= area.bottom) {
            const int cx = area.left + indent / 2 - 1, cy = y + (lh - 3) / 2;
            HBRUSH dot = ::CreateSolidBrush(skin.colors.heading);
            HPEN pen = ::CreatePen(PS_SOLID, 1, skin.colors.heading);
            {
                Select b(hdc, dot), p(hdc, pen);
                ::Ellipse(hdc, cx - 2, cy - 2, cx + 3, cy + 3);
            }
            ::DeleteObject(dot);
            ::DeleteObject(pen);
        }
        ::SetTextColor(hdc, heading ? skin.colors.heading : skin.colors.text);
        for (const auto& line : lines) {
            if (draw && y + lh - 3 <= area.bottom)
                DrawLine(hdc, line, RECT{area.left + indent, y, area.right, y + lh}, DT_LEFT | DT_SINGLELINE);
            y += lh;
        }
    }
    return y - area.top;
}

void PaintBackdrop(HDC hdc, const RECT& client, const Skin& skin, const DialogPart& part,
                   const DluScale& dlu, FontCache& fonts, HICON icon)
{
    FillGradient(hdc, client, skin.colors.window);
    if (part.banner > 0)
        PaintBanner(hdc, client, skin, part, dlu, fonts, icon);
    for (const auto& panel : part.panels)
        RoundBox(hdc, dlu.Map(panel), fonts.Px(6), Gradient{skin.colors.panel, skin.colors.panel}, skin.colors.panelBorder);
    for (const auto& text : part.texts)
        PaintText(hdc, skin, text, dlu, fonts);
    FlowNotes(hdc, skin, part, dlu, fonts, true);
}

// --- buttons -----------------------------------------------------------------------

void PaintButton(HDC hdc, const RECT& rc, const Skin& skin, const ButtonStyle& style,
                 const std::wstring& label, const ButtonLook& look, FontCache& fonts)
{
    const bool disabled = (look.state & ODS_DISABLED) != 0;
    const bool pressed = !disabled && (look.state & ODS_SELECTED) != 0;
    const bool hot = !disabled && look.hot;
    const bool focus = !disabled && (look.state & ODS_FOCUS) && !(look.state & ODS_NOFOCUSRECT);
    const int points = style.size ? style.size : skin.size;

    RECT textRect = rc;
    if (!style.link) {
        const Gradient& fill = disabled ? style.disabled : pressed ? style.pressed : hot ? style.hot : style.face;
        const COLORREF border = disabled ? Mix(style.border, style.disabled.bottom, 55) : style.border;
        const int radius = fonts.Px(style.radius);
        RoundBox(hdc, rc, radius, fill, border);
        if (look.isDefault && !disabled) {
            // The default button carries a double outline.
            RECT inner{rc.left + 1, rc.top + 1, rc.right - 1, rc.bottom - 1};
            HPEN pen = ::CreatePen(PS_SOLID, 1, Mix(border, fill.bottom, 35));
            {
                Select p(hdc, pen), b(hdc, ::GetStockObject(NULL_BRUSH));
                const int d = std::max(radius * 2 - 2, 0);
                ::RoundRect(hdc, inner.left, inner.top, inner.right, inner.bottom, d, d);
            }
            ::DeleteObject(pen);
        }
        if (focus) {
            RECT ring{rc.left + 2, rc.top + 2, rc.right - 2, rc.bottom - 2};
            HPEN pen = ::CreatePen(PS_SOLID, 1, style.focus);
            {
                Select p(hdc, pen), b(hdc, ::GetStockObject(NULL_BRUSH));
                const int d = std::max(radius * 2 - 4, 0);
                ::RoundRect(hdc, ring.left, ring.top, ring.right, ring.bottom, d, d);
            }
            ::DeleteObject(pen);
        }
        if (pressed)
            ::OffsetRect(&textRect, 1, 1);
    }

    if (label.empty())
        return;
    Select f(hdc, fonts.Get(points, style.bold, style.link && (hot || pressed)));
    ::SetBkMode(hdc, TRANSPARENT);
    ::SetTextColor(hdc, disabled ? style.disabledText : (hot || pressed) ? style.hotText : style.text);
    DrawLine(hdc, label, textRect, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    if (style.link && focus) {
        // Links show focus as a dotted frame around the label.
        const int w = std::min(TextWidth(hdc, label) + 4, static_cast<int>(rc.right - rc.left));
        RECT frame{rc.left + (rc.right - rc.left - w) / 2, rc.top, 0, rc.bottom};
        frame.right = frame.left + w;
        ::SetTextColor(hdc, style.text);
        ::DrawFocusRect(hdc, &frame);
    }
}

}  // namespace skin
