// Where a window opens again: the place (top-left corner) it was left at in an earlier run,
// as long as that is still on a screen. Monitors come and go between runs (a laptop taken
// off its second screen, a smaller resolution); a place off every monitor, or one where
// the title bar could not be reached to drag the window, is passed over and the window
// opens where it opens by default. Window thread only.
#pragma once
#include <windows.h>

namespace place {

// True when `hWnd`, at its present size, moved to (x, y) would lie on a monitor with the
// middle of its title bar inside a monitor's work area.
bool IsOnScreen(HWND hWnd, int x, int y);

// Moves `hWnd` to (x, y) when IsOnScreen; false (the window stays) when not.
bool MoveTo(HWND hWnd, int x, int y);

// The window's top-left corner to keep for the next run; false while it is minimized
// (the place to keep is the one it is restored to, not where the system parks it).
bool Current(HWND hWnd, int& x, int& y);

}  // namespace place
