#include "Dialog.h"
#include "DialogFit.h"
#include "Dpi.h"
#include "WinApp.h"

namespace {
// The dialog being created on this thread, waiting for its window handle.
thread_local CDialog* t_creating = nullptr;
thread_local HHOOK t_hook = nullptr;
const char kTaskMessage[] = "Quillon.Task";
const char kObjectProp[] = "Quillon.CDialog";   // window property holding the object
}

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_pParentWnd(pParentWnd), m_nIDTemplate(nIDTemplate)
{
}

CDialog::~CDialog()
{
    if (m_hWnd && ::IsWindow(m_hWnd))
        ::DestroyWindow(m_hWnd);
    Detach();
}

UINT CDialog::TaskMessage()
{
    static const UINT msg = ::RegisterWindowMessageA(kTaskMessage);
    return msg;
}

CDialog* CDialog::FromHandle(HWND hWnd)
{
    if (!hWnd || ::GetPropA(hWnd, kObjectProp) == nullptr)
        return nullptr;
    return reinterpret_cast<CDialog*>(::GetPropA(hWnd, kObjectProp));
}

// Subclasses the dialog as soon as the system has made its window, before any message.
LRESULT CALLBACK CDialog::CreateHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND && t_creating) {
        CDialog* self = t_creating;
        t_creating = nullptr;
        HWND hWnd = reinterpret_cast<HWND>(wParam);
        self->m_hWnd = hWnd;
        ::SetPropA(hWnd, kObjectProp, self);
        self->m_pfnSuper = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CDialog::SubclassProc)));
    }
    return ::CallNextHookEx(t_hook, code, wParam, lParam);
}

HWND CDialog::CreateFromTemplate(HWND hOwner)
{
    HINSTANCE hInst = ::GetModuleHandleW(nullptr);
    HHOOK outerHook = t_hook;
    CDialog* outerCreating = t_creating;
    t_creating = this;
    // Too large for the work area at this DPI: made from a copy with a smaller font.
    std::vector<BYTE> fitted;
    if (HRSRC res = ::FindResourceW(hInst, MAKEINTRESOURCEW(m_nIDTemplate), MAKEINTRESOURCEW(5) /* RT_DIALOG */)) {
        const void* data = ::LockResource(::LoadResource(hInst, res));
        const size_t size = ::SizeofResource(hInst, res);
        dlgtemplate::Header header;
        if (data && dlgtemplate::Read(data, size, header) && header.hasFont)
            m_nTemplatePoints = header.points;
        if (data) {
            HMONITOR monitor = hOwner ? ::MonitorFromWindow(hOwner, MONITOR_DEFAULTTONEAREST)
                                      : ::MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
            MONITORINFO info = {};
            info.cbSize = sizeof info;
            if (::GetMonitorInfoW(monitor, &info))
                fitted = dlgfit::Fitted(data, size, info.rcWork, dpi::ForMonitor(monitor));
        }
    }
    t_hook = ::SetWindowsHookExW(WH_CBT, &CDialog::CreateHook, nullptr, ::GetCurrentThreadId());
    // A Unicode dialog: its texts and the characters typed into it stay UTF-16 on
    // their way through the system, whatever its ANSI code page.
    HWND hWnd = fitted.empty()
        ? ::CreateDialogParamW(hInst, MAKEINTRESOURCEW(m_nIDTemplate), hOwner, &CDialog::DialogProc,
                               reinterpret_cast<LPARAM>(this))
        : ::CreateDialogIndirectParamW(hInst, reinterpret_cast<LPCDLGTEMPLATEW>(fitted.data()), hOwner,
                                       &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    ::UnhookWindowsHookEx(t_hook);
    t_hook = outerHook;
    t_creating = outerCreating;
    if (!hWnd) {
        // The window may have been made and destroyed again (WM_NCCREATE refused).
        Detach();
    } else {
        dlgfit::KeepInWorkArea(hWnd);
    }
    return hWnd;
}

int CDialog::ScalePixels(int px) const
{
    const UINT monitorDpi = dpi::ForWindow(m_hWnd);
    const int atDpi = dpi::Scale(px, monitorDpi);
    // A dialog made with a smaller font than its template's is drawn smaller by as much.
    HFONT font = m_hWnd ? reinterpret_cast<HFONT>(::SendMessageW(m_hWnd, WM_GETFONT, 0, 0)) : nullptr;
    LOGFONTW lf = {};
    if (!font || !m_nTemplatePoints || !::GetObjectW(font, sizeof lf, &lf) || lf.lfHeight >= 0)
        return atDpi;
    const int full = ::MulDiv(m_nTemplatePoints, static_cast<int>(monitorDpi), 72);
    return full > 0 && -lf.lfHeight < full ? ::MulDiv(atDpi, -lf.lfHeight, full) : atDpi;
}

BOOL CDialog::Create(HWND hOwner)
{
    m_bModal = false;
    m_bEnded = false;
    if (!CreateFromTemplate(hOwner))
        return FALSE;
    ShowWindow(SW_SHOWNORMAL);
    return TRUE;
}

INT_PTR CDialog::DoModal()
{
    HWND hOwner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    if (!hOwner && TheApp() && TheApp()->m_pMainWnd && TheApp()->m_pMainWnd != this)
        hOwner = TheApp()->m_pMainWnd->m_hWnd;

    m_bModal = true;
    m_bEnded = false;
    m_nResult = -1;
    if (!CreateFromTemplate(hOwner)) {
        m_bModal = false;
        return -1;
    }
    const bool disabledOwner = hOwner && ::IsWindowEnabled(hOwner);
    if (disabledOwner)
        ::EnableWindow(hOwner, FALSE);
    if (!m_bEnded)
        ShowWindow(SW_SHOWNORMAL);

    MSG msg;
    while (!m_bEnded) {
        BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {                       // WM_QUIT: pass it on to the outer loop
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            m_nResult = -1;
            break;
        }
        if (got == -1)
            break;
        if (PreTranslateMessage(&msg))
            continue;
        if (m_hWnd && ::IsDialogMessageW(m_hWnd, &msg))
            continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }

    if (disabledOwner)
        ::EnableWindow(hOwner, TRUE);
    if (m_hWnd) {
        if (hOwner && ::GetActiveWindow() == m_hWnd)
            ::SetActiveWindow(hOwner);
        ::ShowWindow(m_hWnd, SW_HIDE);
        ::DestroyWindow(m_hWnd);
    }
    m_bModal = false;
    return m_nResult;
}

void CDialog::EndDialog(INT_PTR nResult)
{
    m_nResult = nResult;
    if (m_bModal) {
        m_bEnded = true;
        if (m_hWnd)
            ::ShowWindow(m_hWnd, SW_HIDE);
        ::PostMessageW(m_hWnd, WM_NULL, 0, 0);      // wake the loop
    } else {
        DestroyWindow();
    }
}

BOOL CDialog::DestroyWindow()
{
    return m_hWnd ? ::DestroyWindow(m_hWnd) : FALSE;
}

BOOL CDialog::OnNcCreate(LPCREATESTRUCTW)
{
    return static_cast<BOOL>(Default());
}

LRESULT CDialog::Default()
{
    if (!m_pCurrent || !m_pfnSuper)
        return 0;
    return ::CallWindowProcW(m_pfnSuper, m_hWnd, m_pCurrent->msg, m_pCurrent->wParam, m_pCurrent->lParam);
}

void CDialog::Detach()
{
    if (m_hWnd && ::IsWindow(m_hWnd)) {
        ::RemovePropA(m_hWnd, kObjectProp);
        if (m_pfnSuper)
            ::SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
    }
    m_hWnd = nullptr;
    m_pfnSuper = nullptr;
}

LRESULT CALLBACK CDialog::SubclassProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CDialog* self = FromHandle(hWnd);
    if (!self)
        return ::DefDlgProcW(hWnd, msg, wParam, lParam);
    CurrentMsg cur{msg, wParam, lParam};
    const CurrentMsg* outer = self->m_pCurrent;
    self->m_pCurrent = &cur;
    LRESULT result = self->WindowProc(msg, wParam, lParam);
    self->m_pCurrent = outer;
    return result;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT msg, WPARAM, LPARAM)
{
    // Everything but the initialisation is dispatched in SubclassProc.
    if (msg == WM_INITDIALOG) {
        if (CDialog* self = FromHandle(hWnd))
            return self->OnInitDialog();
        return TRUE;
    }
    return FALSE;
}

LRESULT CDialog::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NCCREATE)
        return OnNcCreate(reinterpret_cast<LPCREATESTRUCTW>(lParam));
    if (msg == TaskMessage()) {
        auto* task = reinterpret_cast<std::function<void()>*>(lParam);
        if (task && *task)
            (*task)();
        delete task;
        return 0;
    }
    if (msg == WM_DESTROY)
        OnDestroy();
    if (msg == WM_NCDESTROY) {
        LRESULT r = Default();
        MSG pending;                          // tasks that will never run
        while (::PeekMessageW(&pending, m_hWnd, TaskMessage(), TaskMessage(), PM_REMOVE)) {
            if (pending.message == WM_QUIT) {     // some systems hand it out despite the filter
                ::PostQuitMessage(static_cast<int>(pending.wParam));
                break;
            }
            delete reinterpret_cast<std::function<void()>*>(pending.lParam);
        }
        ::RemovePropA(m_hWnd, kObjectProp);
        m_hWnd = nullptr;
        m_pfnSuper = nullptr;
        if (m_bModal)
            m_bEnded = true;
        return r;
    }
    LRESULT result = 0;
    if (Dispatch(msg, wParam, lParam, result))
        return result;
    if (msg == WM_DPICHANGED) {
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        ::SetWindowPos(m_hWnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                       suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        OnDpiChanged();
        return 0;
    }
    return Default();
}

bool CDialog::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    auto m = m_messages.find(msg);
    if (m != m_messages.end()) {
        result = m->second(wParam, lParam);
        return true;
    }
    switch (msg) {
    case WM_COMMAND: {
        const int id = LOWORD(wParam), code = HIWORD(wParam);
        auto c = m_commands.find({id, code});
        if (c != m_commands.end()) {
            c->second();
            return true;
        }
        if (id == IDOK && code == BN_CLICKED) {
            OnOK();
            return true;
        }
        if (id == IDCANCEL && code == BN_CLICKED) {
            OnCancel();
            return true;
        }
        return false;
    }
    case WM_NOTIFY: {
        const NMHDR* hdr = reinterpret_cast<const NMHDR*>(lParam);
        auto c = m_commands.find({static_cast<int>(hdr->idFrom), static_cast<int>(hdr->code)});
        if (c == m_commands.end())
            return false;
        c->second();
        return true;
    }
    case WM_TIMER: {
        auto t = m_timers.find(wParam);
        if (t != m_timers.end())
            t->second();
        return true;
    }
    default:
        return false;
    }
}
