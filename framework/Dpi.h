// The scale windows are drawn at. The program is per-monitor DPI aware (its manifest):
// a window is laid out at the DPI of the monitor it is on, and each window handles
// WM_DPICHANGED when it moves to a monitor of another DPI (CDialog does the common part).
//
// The per-monitor calls exist from Windows 8.1 (monitors) and 10 (windows) on; they are
// looked up when first used, and without them the system DPI stands in. Any thread.
#pragma once
#include <windows.h>

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0      // Windows 8.1 and later; the program builds for older ones
#endif

namespace dpi {

// The system's DPI (LOGPIXELSY of the screen).
UINT ForSystem();
// The DPI of a monitor, or of the monitor a window is on.
UINT ForMonitor(HMONITOR hMonitor);
UINT ForWindow(HWND hWnd);
// `px` pixels at 96 DPI, at `dpi`.
inline int Scale(int px, UINT dpi) { return ::MulDiv(px, static_cast<int>(dpi), 96); }

// The monitor's work area that the window `hWnd` (or, for null, the primary monitor) is on.
RECT WorkArea(HWND hWnd);

}  // namespace dpi
