#include "Dpi.h"

namespace dpi {

namespace {
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using GetDpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);

GetDpiForWindowFn WindowCall()
{
    static const auto fn = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    return fn;
}

GetDpiForMonitorFn MonitorCall()
{
    static const auto fn = [] {
        HMODULE shcore = ::LoadLibraryW(L"shcore.dll");     // kept for the life of the process
        return shcore ? reinterpret_cast<GetDpiForMonitorFn>(
                            reinterpret_cast<void*>(::GetProcAddress(shcore, "GetDpiForMonitor")))
                      : nullptr;
    }();
    return fn;
}
}  // namespace

UINT ForSystem()
{
    HDC screen = ::GetDC(nullptr);
    const int value = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen)
        ::ReleaseDC(nullptr, screen);
    return value > 0 ? static_cast<UINT>(value) : 96;
}

UINT ForMonitor(HMONITOR hMonitor)
{
    UINT x = 0, y = 0;
    if (hMonitor && MonitorCall() && MonitorCall()(hMonitor, 0 /* MDT_EFFECTIVE_DPI */, &x, &y) == S_OK && y > 0)
        return y;
    return ForSystem();
}

UINT ForWindow(HWND hWnd)
{
    if (hWnd && WindowCall()) {
        const UINT value = WindowCall()(hWnd);
        if (value > 0)
            return value;
    }
    return ForMonitor(::MonitorFromWindow(hWnd, MONITOR_DEFAULTTONEAREST));
}

RECT WorkArea(HWND hWnd)
{
    HMONITOR monitor = hWnd ? ::MonitorFromWindow(hWnd, MONITOR_DEFAULTTONEAREST)
                            : ::MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO info = {};
    info.cbSize = sizeof info;
    if (!::GetMonitorInfoW(monitor, &info))
        ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &info.rcWork, 0);
    return info.rcWork;
}

}  // namespace dpi
