#include "SkinWindows.h"
#include "SkinPaint.h"
#include <commctrl.h>
#include "Dpi.h"
#include <algorithm>
#include <set>
#include <vector>

namespace skin {

namespace {

const char kDialogProp[] = "SkinFeature.Dialog";
const char kButtonProp[] = "SkinFeature.Button";

struct ButtonState {
    HWND hWnd = nullptr;
    HWND hDlg = nullptr;
    WNDPROC oldProc = nullptr;
    bool active = true;            // false: undressed, the procedure only passes messages on
    bool wasDefault = false;       // BS_DEFPUSHBUTTON before dressing
    bool isDefault = false;        // the dialog's default button now
    bool hot = false;
    bool captionSet = false;
    std::wstring oldCaption;
    std::wstring style;
};

struct DialogState {
    HWND hWnd = nullptr;
    WNDPROC oldProc = nullptr;
    bool active = true;            // false: undressed, the procedure only passes messages on
    bool dressed = false;          // controls dressed and backdrop made
    std::shared_ptr<const Skin> skin;
    const DialogPart* part = nullptr;
    DluScale dlu;
    std::unique_ptr<FontCache> fonts;
    HDC memDC = nullptr;           // holds the backdrop bitmap
    HBITMAP backdrop = nullptr;
    HGDIOBJ oldBitmap = nullptr;
    HBRUSH pattern = nullptr;      // the backdrop as a brush, for controls' backgrounds
    SIZE size{};
    std::vector<HWND> bars;        // progress bars given the skin's colours
};

// Every window dressed now.
std::set<HWND> g_dressed;

LRESULT CALLBACK DialogProc(HWND, UINT, WPARAM, LPARAM);
LRESULT CALLBACK ButtonProc(HWND, UINT, WPARAM, LPARAM);

std::string ClassOf(HWND h)
{
    char name[64] = {0};
    ::GetClassNameA(h, name, sizeof name);
    return name;
}

// Windows' own UTF-16 text: captions never pass through the system's ANSI code page.
std::wstring WindowTextOf(HWND h)
{
    const int len = ::GetWindowTextLengthW(h);
    if (len <= 0)
        return std::wstring();
    std::wstring text(len + 1, L'\0');
    text.resize(::GetWindowTextW(h, &text[0], len + 1));
    return text;
}

bool IsPushButton(HWND h)
{
    if (ClassOf(h) != "Button")
        return false;
    const LONG_PTR type = ::GetWindowLongPtrW(h, GWL_STYLE) & BS_TYPEMASK;
    return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

// Puts the previous procedure back when ours is still the top of the chain.
bool Unhook(HWND h, WNDPROC ours, WNDPROC previous)
{
    if (reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(h, GWLP_WNDPROC)) != ours)
        return false;
    ::SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
    return true;
}

// --- the backdrop --------------------------------------------------------------------

void FreeBackdrop(DialogState& s)
{
    if (s.memDC) {
        ::SelectObject(s.memDC, s.oldBitmap);
        ::DeleteDC(s.memDC);
    }
    if (s.backdrop)
        ::DeleteObject(s.backdrop);
    if (s.pattern)
        ::DeleteObject(s.pattern);
    s.memDC = nullptr;
    s.backdrop = nullptr;
    s.oldBitmap = nullptr;
    s.pattern = nullptr;
    s.size = SIZE{};
}

void MakeBackdrop(DialogState& s)
{
    FreeBackdrop(s);
    RECT client{};
    ::GetClientRect(s.hWnd, &client);
    s.size = SIZE{std::max<LONG>(client.right, 1), std::max<LONG>(client.bottom, 1)};
    HDC screen = ::GetDC(s.hWnd);
    s.memDC = ::CreateCompatibleDC(screen);
    s.backdrop = ::CreateCompatibleBitmap(screen, s.size.cx, s.size.cy);
    ::ReleaseDC(s.hWnd, screen);
    if (!s.memDC || !s.backdrop) {
        FreeBackdrop(s);
        return;
    }
    s.oldBitmap = ::SelectObject(s.memDC, s.backdrop);
    HICON icon = reinterpret_cast<HICON>(::SendMessageA(s.hWnd, WM_GETICON, ICON_BIG, 0));
    PaintBackdrop(s.memDC, RECT{0, 0, s.size.cx, s.size.cy}, *s.skin, *s.part, s.dlu, *s.fonts, icon);
    // The brush is made from the bitmap while no DC holds it.
    ::SelectObject(s.memDC, s.oldBitmap);
    s.pattern = ::CreatePatternBrush(s.backdrop);
    ::SelectObject(s.memDC, s.backdrop);
}

void Repaint(HWND h)
{
    ::RedrawWindow(h, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_FRAME);
}

// --- buttons -------------------------------------------------------------------------

void DressButton(DialogState& s, HWND h)
{
    if (::GetPropA(h, kButtonProp))
        return;
    auto b = std::make_unique<ButtonState>();   // released once the button is hooked
    b->hWnd = h;
    b->hDlg = s.hWnd;
    const LONG_PTR style = ::GetWindowLongPtrW(h, GWL_STYLE);
    b->wasDefault = b->isDefault = (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
    b->style = s.part->style;
    auto entry = s.part->buttons.find(::GetDlgCtrlID(h));
    if (entry != s.part->buttons.end()) {
        if (!entry->second.style.empty())
            b->style = entry->second.style;
        if (!entry->second.text.empty()) {
            b->oldCaption = WindowTextOf(h);
            b->captionSet = true;
        }
    }
    if (!::SetPropA(h, kButtonProp, b.get()))
        return;
    b->oldProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ButtonProc)));
    if (!b->oldProc) {
        ::RemovePropA(h, kButtonProp);
        return;
    }
    ::SetWindowLongPtrW(h, GWL_STYLE, (style & ~static_cast<LONG_PTR>(BS_TYPEMASK)) | BS_OWNERDRAW);
    if (b->captionSet)
        ::SetWindowTextW(h, entry->second.text.c_str());
    g_dressed.insert(h);
    static_cast<void>(b.release());     // owned by the button from now on, freed at WM_NCDESTROY
}

// Takes the skin off a button that is still alive; false when the state must stay
// because another procedure sits above ours.
bool UndressButton(ButtonState& b)
{
    b.active = false;
    g_dressed.erase(b.hWnd);
    const LONG_PTR style = ::GetWindowLongPtrW(b.hWnd, GWL_STYLE) & ~static_cast<LONG_PTR>(BS_TYPEMASK);
    ::SetWindowLongPtrW(b.hWnd, GWL_STYLE, style | (b.isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON));
    if (b.captionSet)
        ::SetWindowTextW(b.hWnd, b.oldCaption.c_str());
    ::InvalidateRect(b.hWnd, nullptr, TRUE);
    if (!Unhook(b.hWnd, &ButtonProc, b.oldProc))
        return false;
    ::RemovePropA(b.hWnd, kButtonProp);
    return true;
}

void Track(ButtonState& b)
{
    TRACKMOUSEEVENT tme{};
    tme.cbSize = sizeof tme;
    tme.dwFlags = TME_LEAVE;
    tme.hwndTrack = b.hWnd;
    ::TrackMouseEvent(&tme);
}

LRESULT CALLBACK ButtonProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* b = static_cast<ButtonState*>(::GetPropA(h, kButtonProp));
    if (!b)
        return ::DefWindowProcW(h, msg, wParam, lParam);
    const WNDPROC next = b->oldProc;
    if (msg == WM_NCDESTROY) {
        LRESULT r = ::CallWindowProcW(next, h, msg, wParam, lParam);
        g_dressed.erase(h);
        Unhook(h, &ButtonProc, next);
        ::RemovePropA(h, kButtonProp);
        delete b;
        return r;
    }
    if (b->active) {
        switch (msg) {
        case WM_MOUSEMOVE:
            if (!b->hot) {
                b->hot = true;
                Track(*b);
                ::InvalidateRect(h, nullptr, FALSE);
            }
            break;
        case WM_MOUSELEAVE:
            b->hot = false;
            ::InvalidateRect(h, nullptr, FALSE);
            break;
        case WM_LBUTTONDBLCLK:
            // An owner-drawn button would report a double click instead of a second click;
            // a push button clicks twice.
            msg = WM_LBUTTONDOWN;
            break;
        case WM_GETDLGCODE: {
            LRESULT r = ::CallWindowProcW(next, h, msg, wParam, lParam);
            r &= ~(DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON);
            return r | DLGC_BUTTON | (b->isDefault ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON);
        }
        case BM_SETSTYLE:
            // The dialog manager moves the default-button look; the button stays owner-drawn.
            b->isDefault = (wParam & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
            wParam = (wParam & ~static_cast<WPARAM>(BS_TYPEMASK)) | BS_OWNERDRAW;
            ::InvalidateRect(h, nullptr, FALSE);
            break;
        default:
            break;
        }
    }
    return ::CallWindowProcW(next, h, msg, wParam, lParam);
}

bool DrawButton(DialogState& s, const DRAWITEMSTRUCT* di)
{
    if (!di || di->CtlType != ODT_BUTTON)
        return false;
    auto* b = static_cast<ButtonState*>(::GetPropA(di->hwndItem, kButtonProp));
    if (!b || !b->active || b->hDlg != s.hWnd || !s.memDC)
        return false;
    const RECT& rc = di->rcItem;
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;
    if (w <= 0 || h <= 0)
        return true;
    HDC mem = ::CreateCompatibleDC(di->hDC);
    HBITMAP bmp = ::CreateCompatibleBitmap(di->hDC, w, h);
    if (!mem || !bmp) {
        if (mem) ::DeleteDC(mem);
        if (bmp) ::DeleteObject(bmp);
        return false;
    }
    HGDIOBJ old = ::SelectObject(mem, bmp);
    POINT origin{0, 0};
    ::MapWindowPoints(di->hwndItem, s.hWnd, &origin, 1);
    ::BitBlt(mem, 0, 0, w, h, s.memDC, origin.x + rc.left, origin.y + rc.top, SRCCOPY);
    ButtonLook look;
    look.state = di->itemState;
    look.hot = b->hot;
    look.isDefault = b->isDefault;
    PaintButton(mem, RECT{0, 0, w, h}, *s.skin, s.skin->Style(b->style), WindowTextOf(di->hwndItem),
                look, *s.fonts);
    ::BitBlt(di->hDC, rc.left, rc.top, w, h, mem, 0, 0, SRCCOPY);
    ::SelectObject(mem, old);
    ::DeleteObject(bmp);
    ::DeleteDC(mem);
    return true;
}

// --- dialogs -------------------------------------------------------------------------

void Dress(DialogState& s)
{
    if (s.dressed)
        return;
    s.dlu = DluScale::FromDialog(s.hWnd);
    s.fonts = std::make_unique<FontCache>(s.skin->fonts, DialogDpi(s.hWnd, s.part->id));
    MakeBackdrop(s);
    for (HWND c = ::GetWindow(s.hWnd, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
        if (IsPushButton(c)) {
            DressButton(s, c);
        } else if (ClassOf(c) == PROGRESS_CLASSA) {
            ::SendMessageA(c, PBM_SETBARCOLOR, 0, static_cast<LPARAM>(s.skin->colors.bar));
            ::SendMessageA(c, PBM_SETBKCOLOR, 0, static_cast<LPARAM>(s.skin->colors.barBack));
            s.bars.push_back(c);
        }
    }
    s.dressed = true;
    if (::IsWindowVisible(s.hWnd))
        Repaint(s.hWnd);
}

// Takes the skin off a dialog that is still alive (its buttons go separately).
bool UndressDialog(DialogState& s)
{
    s.active = false;
    g_dressed.erase(s.hWnd);
    for (HWND bar : s.bars) {
        if (::IsWindow(bar)) {
            ::SendMessageA(bar, PBM_SETBARCOLOR, 0, static_cast<LPARAM>(CLR_DEFAULT));
            ::SendMessageA(bar, PBM_SETBKCOLOR, 0, static_cast<LPARAM>(CLR_DEFAULT));
        }
    }
    s.bars.clear();
    FreeBackdrop(s);
    s.fonts.reset();
    s.dressed = false;
    Repaint(s.hWnd);
    if (!Unhook(s.hWnd, &DialogProc, s.oldProc))
        return false;
    ::RemovePropA(s.hWnd, kDialogProp);
    return true;
}

bool SkinnedChild(HWND child)
{
    const std::string cls = ClassOf(child);
    return cls == "Static" || cls == "Button" || cls == TRACKBAR_CLASSA;
}

// WM_CTLCOLOR*: the program's answer `given`, or the skin's backdrop when that is the default.
LRESULT CtlColor(DialogState& s, UINT msg, HDC hdc, HWND child, LRESULT given)
{
    const LRESULT systemDefault = reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
    if (!s.pattern || (given != 0 && given != systemDefault))
        return given;
    if (msg == WM_CTLCOLORDLG) {
        ::SetBrushOrgEx(hdc, 0, 0, nullptr);
        return reinterpret_cast<LRESULT>(s.pattern);
    }
    if (!child || !SkinnedChild(child))
        return given;
    POINT origin{0, 0};
    ::MapWindowPoints(child, s.hWnd, &origin, 1);
    ::SetBrushOrgEx(hdc, -origin.x, -origin.y, nullptr);
    ::SetBkMode(hdc, TRANSPARENT);
    ::SetTextColor(hdc, s.skin->colors.text);
    return reinterpret_cast<LRESULT>(s.pattern);
}

LRESULT CALLBACK DialogProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* s = static_cast<DialogState*>(::GetPropA(h, kDialogProp));
    if (!s)
        return ::DefWindowProcW(h, msg, wParam, lParam);
    const WNDPROC next = s->oldProc;
    if (msg == WM_NCDESTROY) {
        LRESULT r = ::CallWindowProcW(next, h, msg, wParam, lParam);
        g_dressed.erase(h);
        FreeBackdrop(*s);
        Unhook(h, &DialogProc, next);
        ::RemovePropA(h, kDialogProp);
        delete s;
        return r;
    }
    LRESULT r = ::CallWindowProcW(next, h, msg, wParam, lParam);
    if (!s->active)
        return r;
    try {
        switch (msg) {
        case WM_INITDIALOG:
            Dress(*s);
            break;
        case WM_SHOWWINDOW:
            if (wParam)
                Dress(*s);
            break;
        case WM_SIZE:
            if (s->dressed && (LOWORD(lParam) != s->size.cx || HIWORD(lParam) != s->size.cy) &&
                LOWORD(lParam) > 0 && HIWORD(lParam) > 0) {
                MakeBackdrop(*s);
                Repaint(h);
            }
            break;
        case WM_DPICHANGED:
            // Moved to a monitor of another DPI: measures, fonts and backdrop at the new scale.
            if (s->dressed) {
                s->dlu = DluScale::FromDialog(h);
                s->fonts = std::make_unique<FontCache>(s->skin->fonts, DialogDpi(h, s->part->id));
                MakeBackdrop(*s);
                Repaint(h);
            }
            break;
        case WM_SETICON:
            if (s->dressed && wParam == ICON_BIG) {
                MakeBackdrop(*s);
                Repaint(h);
            }
            break;
        case WM_ERASEBKGND:
            if (s->dressed && s->memDC) {
                ::BitBlt(reinterpret_cast<HDC>(wParam), 0, 0, s->size.cx, s->size.cy, s->memDC, 0, 0, SRCCOPY);
                return TRUE;
            }
            break;
        case WM_DRAWITEM:
            if (s->dressed && DrawButton(*s, reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)))
                return TRUE;
            break;
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
            if (s->dressed)
                return CtlColor(*s, msg, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), r);
            break;
        default:
            break;
        }
    } catch (...) {
        // Out of memory while dressing: the window keeps working with what it has.
    }
    return r;
}

}  // namespace

bool DressDialog(HWND hDlg, const std::shared_ptr<const Skin>& skin, const DialogPart& part)
{
    if (!skin || !::IsWindow(hDlg))
        return false;
    DWORD pid = 0;
    if (::GetWindowThreadProcessId(hDlg, &pid) != ::GetCurrentThreadId() || pid != ::GetCurrentProcessId())
        return false;
    if (auto* s = static_cast<DialogState*>(::GetPropA(hDlg, kDialogProp))) {
        if (s->active)
            return true;
        // Undressed earlier while another procedure sat above ours: dress it again.
        s->active = true;
        s->skin = skin;
        s->part = &part;
        g_dressed.insert(hDlg);
        if (::GetWindow(hDlg, GW_CHILD) || ::IsWindowVisible(hDlg))
            Dress(*s);
        return true;
    }
    auto s = std::make_unique<DialogState>();
    s->hWnd = hDlg;
    s->skin = skin;
    s->part = &part;
    if (!::SetPropA(hDlg, kDialogProp, s.get()))
        return false;
    s->oldProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(hDlg, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DialogProc)));
    if (!s->oldProc) {
        ::RemovePropA(hDlg, kDialogProp);
        return false;
    }
    DialogState& state = *s.release();
    g_dressed.insert(hDlg);
    // Called after the controls were made: dress them now.
    if (::GetWindow(hDlg, GW_CHILD) || ::IsWindowVisible(hDlg))
        Dress(state);
    return true;
}

int UndressAll()
{
    const std::vector<HWND> windows(g_dressed.begin(), g_dressed.end());
    // Every window still on the list counts; one that is gone would be a window that
    // left without the skin noticing.
    const int count = static_cast<int>(windows.size());
    // Buttons first: they draw with their dialog's backdrop.
    for (int pass = 0; pass < 2; ++pass) {
        for (HWND h : windows) {
            if (!::IsWindow(h))
                continue;
            if (pass == 0) {
                if (auto* b = static_cast<ButtonState*>(::GetPropA(h, kButtonProp))) {
                    if (UndressButton(*b))
                        delete b;
                }
            } else if (auto* s = static_cast<DialogState*>(::GetPropA(h, kDialogProp))) {
                if (UndressDialog(*s))
                    delete s;
            }
        }
    }
    g_dressed.clear();
    return count;
}

int DressedCount()
{
    return static_cast<int>(g_dressed.size());
}

}  // namespace skin
