// SkinFeature.dll: the skin library. It dresses the program's dialogs with the look
// described by a skin file: painted backgrounds, banners and texts, and push buttons
// drawn with face and label (the dialogs' buttons carry no captions of their own).
//
// The DLL exports these four functions by ordinal only; its export table holds no names.
// Link the import library made from SkinFeature.def (CMake target skinfeature_import),
// which imports them by ordinal as well.
//
//   ordinal 2   SkinInit   ()                            once, before any window exists
//   ordinal 3   SkinLoad   (skin file name, 0)           once, right after SkinInit
//   ordinal 10  SkinApply  (dialog window, dialog id)    from each dialog's WM_NCCREATE
//   ordinal 6   SkinExit   ()                            once, at the end
//
// Calling convention: __stdcall. Every function returns a BOOL-sized int that the program
// may ignore; the values are given below for tests and diagnostics. No function ever shows
// a message: without a usable skin file the windows stay exactly as the system draws them.
// All four are called on the thread that owns the windows.
#pragma once
#include <windows.h>

#define SKINAPI __stdcall

#ifdef __cplusplus
extern "C" {
#endif

// Ordinal 2. Prepares the library; drops a skin still loaded. Returns TRUE.
int SKINAPI SkinInit(void);

// Ordinal 3. Loads the skin file `pszFile` (GBK text; a bare name is looked up in the
// current directory). `nReserved` must be 0. Returns TRUE when the file was read as a skin;
// on FALSE the skin loaded before (if any) stays in use. The file format is described in
// skin/README.md.
int SKINAPI SkinLoad(const char* pszFile, int nReserved);

// Ordinal 10. Dresses the dialog `hWnd`, whose dialog resource id is `nDialogId`, with that
// dialog's part of the skin. Meant to be called while the dialog handles WM_NCCREATE:
// the library subclasses the window at once and dresses its controls when they exist
// (on WM_INITDIALOG). Called later, it dresses the existing controls right away.
// Every message still reaches the dialog's own procedure. Returns TRUE when the dialog
// is (or already was) dressed; FALSE, leaving the window untouched, when no skin is
// loaded, the skin has no part for `nDialogId`, or `hWnd` is not a window.
int SKINAPI SkinApply(HWND hWnd, int nDialogId);

// Ordinal 6. Ends the library: windows still dressed get their own look back, and the
// skin is dropped. Returns the number of windows (dialogs and buttons) that were still
// dressed; 0 when every dressed dialog had been destroyed before.
int SKINAPI SkinExit(void);

#ifdef __cplusplus
}
#endif
