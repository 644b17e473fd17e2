#include "WindowPlacement.h"

void CenterOverOwner(HWND hWnd)
{
    RECT window;
    if (!::GetWindowRect(hWnd, &window))
        return;
    HWND owner = ::GetWindow(hWnd, GW_OWNER);
    const bool overOwner = owner && ::IsWindowVisible(owner) && !::IsIconic(owner);

    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    ::GetMonitorInfoA(::MonitorFromWindow(overOwner ? owner : hWnd, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT area = monitor.rcWork;
    RECT target = area;
    if (overOwner)
        ::GetWindowRect(owner, &target);

    const LONG width = window.right - window.left, height = window.bottom - window.top;
    LONG x = target.left + (target.right - target.left - width) / 2;
    LONG y = target.top + (target.bottom - target.top - height) / 2;
    // Inside the work area, the top left corner first (the caption must stay reachable).
    if (x + width > area.right)
        x = area.right - width;
    if (y + height > area.bottom)
        y = area.bottom - height;
    if (x < area.left)
        x = area.left;
    if (y < area.top)
        y = area.top;
    ::SetWindowPos(hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
