// CWnd: a thin, non-owning wrapper of a window handle with the calls our windows use.
//
// Text is narrow GBK throughout; it is converted to UTF-16 here and handed to the wide
// calls, so windows read the same on every system code page (WinText.h).
// Copying a CWnd copies the handle only; destroying a CWnd never destroys its window.
#pragma once
#include <windows.h>
#include <functional>
#include <string>

class CWnd {
public:
    CWnd() = default;
    explicit CWnd(HWND hWnd) : m_hWnd(hWnd) {}
    virtual ~CWnd() = default;

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    CWnd GetDlgItem(int nID) const { return CWnd(::GetDlgItem(m_hWnd, nID)); }
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }

    // A character GBK lacks reads as '?'; GetWindowTextGbk says so instead (text the
    // user typed, which must not change on its way in).
    std::string GetWindowText() const;
    bool GetWindowTextGbk(std::string& text) const;
    void SetWindowText(const std::string& text) const;
    std::string GetDlgItemText(int nID) const { return GetDlgItem(nID).GetWindowText(); }
    void SetDlgItemText(int nID, const std::string& text) const { GetDlgItem(nID).SetWindowText(text); }

    BOOL ShowWindow(int nCmdShow) const { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    BOOL EnableWindow(BOOL bEnable = TRUE) const { return ::EnableWindow(m_hWnd, bEnable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    HWND SetFocus() const { return ::SetFocus(m_hWnd); }

    UINT IsDlgButtonChecked(int nID) const { return ::IsDlgButtonChecked(m_hWnd, nID); }
    void CheckDlgButton(int nID, UINT nCheck) const { ::CheckDlgButton(m_hWnd, nID, nCheck); }

    // Timers post WM_TIMER to this window; see CDialog for how they reach a handler.
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse) const { return ::SetTimer(m_hWnd, nIDEvent, nElapse, nullptr); }
    BOOL KillTimer(UINT_PTR nIDEvent) const { return ::KillTimer(m_hWnd, nIDEvent); }

    // Messages carrying text take UTF-16 (CB_ADDSTRING, CBEM_INSERTITEMW, ...).
    LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const { return ::SendMessageW(m_hWnd, msg, wParam, lParam); }
    BOOL PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const { return ::PostMessageW(m_hWnd, msg, wParam, lParam); }

    // The one way for another thread to act on a window: the task runs later on the
    // window's own thread, from its message queue. Works for windows made by CDialog.
    // Returns false (and drops the task) when the window is gone.
    static bool PostTask(HWND hWnd, std::function<void()> task);
    bool PostTask(std::function<void()> task) const { return PostTask(m_hWnd, std::move(task)); }

    HWND m_hWnd = nullptr;
};
