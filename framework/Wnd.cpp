#include "Wnd.h"
#include "Dialog.h"
#include "WinText.h"

std::string CWnd::GetWindowText() const
{
    std::string text;
    wintext::WindowText(m_hWnd, text);
    return text;
}

bool CWnd::GetWindowTextGbk(std::string& text) const
{
    return wintext::WindowText(m_hWnd, text);
}

void CWnd::SetWindowText(const std::string& text) const
{
    ::SetWindowTextW(m_hWnd, wintext::Wide(text).c_str());
}

bool CWnd::PostTask(HWND hWnd, std::function<void()> task)
{
    auto* heap = new std::function<void()>(std::move(task));
    if (hWnd && ::PostMessageW(hWnd, CDialog::TaskMessage(), 0, reinterpret_cast<LPARAM>(heap)))
        return true;
    delete heap;
    return false;
}
