// Dressing of dialogs: the skin's subclass of a dialog and of its push buttons.
//
// A dressed dialog's procedure chain is: this library -> whatever was there before
// (the program's own dialog procedure). Every message goes on down the chain. For the
// few messages that decide how the skin's windows look, the skin's answer then wins:
//   WM_DRAWITEM of a dressed button      the skin draws the button, result TRUE;
//   WM_ERASEBKGND                        the skin paints the backdrop, result TRUE;
//   WM_CTLCOLORDLG/STATIC/BTN            when the program gave the system's default
//                                        answer, the skin gives its backdrop brush and
//                                        text colour (a program's own colours stand).
// Push buttons become owner-drawn and get a subclass of their own, which tracks the mouse
// for the hover look, keeps double clicks as two clicks and keeps the dialog manager's
// default-button handling; their label becomes their caption.
// A dialog or button leaves the skin at WM_NCDESTROY, after the message has gone down
// the chain: its GDI objects are freed and, when the skin's procedure is still the top
// of the chain, the previous procedure is put back.
//
// Windows are dressed and handled on the thread that owns them; the functions here are
// called on that thread too.
#pragma once
#include "SkinFile.h"
#include <memory>

namespace skin {

// Subclasses `hDlg` and dresses it with `part` of `skin` (at once when its controls
// exist, else on WM_INITDIALOG). True when the dialog is dressed or already was.
bool DressDialog(HWND hDlg, const std::shared_ptr<const Skin>& skin, const DialogPart& part);

// Gives every window that is still dressed its own look back (button styles and captions,
// progress bar colours) and takes the skin off. Returns how many windows that was.
int UndressAll();

// The number of windows (dialogs and buttons) dressed now.
int DressedCount();

}  // namespace skin
