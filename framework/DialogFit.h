// Dialogs that fit the screen. A dialog's size follows its font: at 150 % or 200 % a tall
// dialog can be taller than the work area of a small screen. Then it is made from a copy
// of its template with a smaller font, the largest size (down to kMinPoints) at which the
// window fits the work area of the monitor it opens on; its controls shrink with it, and
// fonts the program makes itself follow the scale the window got (CDialog::ScalePixels).
// Used by CDialog on the thread creating the dialog.
#pragma once
#include <windows.h>
#include <vector>
#include "DialogTemplate.h"

namespace dlgfit {

// The smallest font a dialog is made with: 4 points, 11 pixels at 192 DPI (points are whole
// numbers in a template: 5 points there is 13 pixels, too large for a 768-pixel screen).
const WORD kMinPoints = 4;

// The outer size of the window the dialog manager makes from `header` with its font at
// `points` and `dpi`.
SIZE WindowSize(const dlgtemplate::Header& header, WORD points, UINT dpi);

// The template the dialog is to be made from when it would not fit the work area `area`
// at `dpi`: a copy of `data` with a smaller point size. Empty when it fits as it is (or
// has no font of its own).
std::vector<BYTE> Fitted(const void* data, size_t size, const RECT& area, UINT dpi);

// Moves a window that reaches past the work area of its monitor back inside it (its size
// is kept; the top-left corner wins when the window is larger).
void KeepInWorkArea(HWND hWnd);

}  // namespace dlgfit
