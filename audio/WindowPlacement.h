// Where the audio windows open: over the middle of the window that owns them (the phone
// window), kept inside the work area of that window's monitor, so that they come up where
// the user is looking rather than in the middle of the screen.
#pragma once
#include <windows.h>

// Moves `hWnd` over the middle of its owner; without a visible owner, into the middle of
// the work area. The size is kept.
void CenterOverOwner(HWND hWnd);
