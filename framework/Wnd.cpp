#include "Wnd.h"
#include "Dialog.h"

std::string CWnd::GetWindowText() const
{
    int n = ::GetWindowTextLengthA(m_hWnd);
    if (n <= 0)
        return std::string();
    std::string text(static_cast<size_t>(n) + 1, '\0');
    n = ::GetWindowTextA(m_hWnd, &text[0], n + 1);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

bool CWnd::PostTask(HWND hWnd, std::function<void()> task)
{
    auto* heap = new std::function<void()>(std::move(task));
    if (hWnd && ::PostMessageA(hWnd, CDialog::TaskMessage(), 0, reinterpret_cast<LPARAM>(heap)))
        return true;
    delete heap;
    return false;
}
