#include "SkinTestSupport.h"
#include <cstdio>
#include "SkinFeature.h"

namespace skintest {

SkinnedDlg::SkinnedDlg(UINT templateId, int skinId)
    : CDialog(templateId), m_skinId(skinId ? skinId : static_cast<int>(templateId))
{
}

SkinnedDlg::~SkinnedDlg()
{
    if (m_hWnd)
        DestroyWindow();
}

BOOL SkinnedDlg::OnNcCreate(LPCREATESTRUCTW cs)
{
    if (!CDialog::OnNcCreate(cs))
        return FALSE;
    applyCalled = true;
    applied = SkinApply(m_hWnd, m_skinId);
    return TRUE;
}

BOOL SkinnedDlg::OnInitDialog()
{
    for (HWND c = ::GetWindow(m_hWnd, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
        char cls[32] = {0};
        ::GetClassNameA(c, cls, sizeof cls);
        if (lstrcmpiA(cls, "Button") != 0)
            continue;
        const int id = ::GetDlgCtrlID(c);
        OnCommand(id, [this, id] { clicks.push_back(id); });
        OnNotify(id, BN_DOUBLECLICKED, [this] { ++doubleClicks; });
    }
    return TRUE;
}

TempFile::TempFile(std::string name, const std::string& bytes) : m_name(std::move(name))
{
    FILE* f = std::fopen(m_name.c_str(), "wb");
    if (f) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

TempFile::~TempFile()
{
    std::remove(m_name.c_str());
}

std::string ReadFileBytes(const char* name)
{
    std::string data;
    FILE* f = std::fopen(name, "rb");
    if (!f)
        return data;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        data.append(buf, n);
    std::fclose(f);
    return data;
}

Canvas::Canvas(int width, int height, COLORREF fill) : m_w(width), m_h(height)
{
    HDC screen = ::GetDC(nullptr);
    m_dc = ::CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    m_bmp = ::CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    ::ReleaseDC(nullptr, screen);
    m_old = ::SelectObject(m_dc, m_bmp);
    HBRUSH b = ::CreateSolidBrush(fill);
    RECT r{0, 0, width, height};
    ::FillRect(m_dc, &r, b);
    ::DeleteObject(b);
}

Canvas::~Canvas()
{
    ::SelectObject(m_dc, m_old);
    ::DeleteObject(m_bmp);
    ::DeleteDC(m_dc);
}

int Canvas::CountOther(COLORREF c, const RECT& r) const
{
    return Count(r, [c](COLORREF p) { return p != c; });
}

std::unique_ptr<Canvas> DrawButton(HWND dlg, int id, UINT state)
{
    HWND button = ::GetDlgItem(dlg, id);
    if (!button || ButtonType(dlg, id) != BS_OWNERDRAW)
        return nullptr;
    RECT rc{};
    ::GetClientRect(button, &rc);
    auto canvas = std::make_unique<Canvas>(rc.right, rc.bottom);
    DRAWITEMSTRUCT di{};
    di.CtlType = ODT_BUTTON;
    di.CtlID = id;
    di.itemAction = ODA_DRAWENTIRE;
    di.itemState = state;
    di.hwndItem = button;
    di.hDC = canvas->dc();
    di.rcItem = rc;
    ::SendMessageA(dlg, WM_DRAWITEM, id, reinterpret_cast<LPARAM>(&di));
    return canvas;
}

std::unique_ptr<Canvas> EraseBackground(HWND dlg)
{
    RECT rc{};
    ::GetClientRect(dlg, &rc);
    auto canvas = std::make_unique<Canvas>(rc.right, rc.bottom);
    ::SendMessageA(dlg, WM_ERASEBKGND, reinterpret_cast<WPARAM>(canvas->dc()), 0);
    return canvas;
}

std::vector<int> PushButtonIds(HWND dlg)
{
    std::vector<int> ids;
    for (HWND c = ::GetWindow(dlg, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
        char cls[32] = {0};
        ::GetClassNameA(c, cls, sizeof cls);
        const LONG type = ::GetWindowLongA(c, GWL_STYLE) & BS_TYPEMASK;
        if (lstrcmpiA(cls, "Button") == 0 &&
            (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON || type == BS_OWNERDRAW))
            ids.push_back(::GetDlgCtrlID(c));
    }
    return ids;
}

LONG ButtonType(HWND dlg, int id)
{
    return ::GetWindowLongA(::GetDlgItem(dlg, id), GWL_STYLE) & BS_TYPEMASK;
}

WNDPROC ProcOf(HWND hWnd)
{
    return reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(hWnd, GWLP_WNDPROC));
}

void PumpDialog(HWND dlg, DWORD ms)
{
    const DWORD start = ::GetTickCount();
    do {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (::IsDialogMessageA(dlg, &msg))
                continue;
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    } while (::GetTickCount() - start < ms);
}

}  // namespace skintest
