#include "WindowPlace.h"

namespace place {

bool IsOnScreen(HWND hWnd, int x, int y)
{
    RECT window;
    if (!::GetWindowRect(hWnd, &window))
        return false;
    const RECT moved = {x, y, x + (window.right - window.left), y + (window.bottom - window.top)};
    if (!::MonitorFromRect(&moved, MONITOR_DEFAULTTONULL))
        return false;
    // The middle of the title bar: a point the mouse can take the window by.
    POINT grip = {x + (moved.right - moved.left) / 2,
                  y + ::GetSystemMetrics(SM_CYFRAME) + ::GetSystemMetrics(SM_CYCAPTION) / 2};
    HMONITOR monitor = ::MonitorFromPoint(grip, MONITOR_DEFAULTTONULL);
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    return monitor && ::GetMonitorInfoW(monitor, &info) && ::PtInRect(&info.rcWork, grip);
}

bool MoveTo(HWND hWnd, int x, int y)
{
    if (!IsOnScreen(hWnd, x, y))
        return false;
    return ::SetWindowPos(hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE) != FALSE;
}

bool Current(HWND hWnd, int& x, int& y)
{
    RECT window;
    if (::IsIconic(hWnd) || !::GetWindowRect(hWnd, &window))
        return false;
    x = window.left;
    y = window.top;
    return true;
}

}  // namespace place
