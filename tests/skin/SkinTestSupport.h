// Helpers of the skin tests: a dialog that skins itself the way the program's dialogs do,
// skin files written for a test, and a canvas to look at what the skin draws.
#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include <vector>
#include "Dialog.h"

namespace skintest {

// Skins itself on WM_NCCREATE, after the system's handling, with SkinApply(window, id),
// as every skinned dialog of the program does. Records the commands of its buttons.
class SkinnedDlg : public CDialog {
public:
    // skinId: the id handed to SkinApply; 0 means the template id.
    explicit SkinnedDlg(UINT templateId, int skinId = 0);
    ~SkinnedDlg() override;

    std::vector<int> clicks;          // BN_CLICKED of buttons, in order
    int doubleClicks = 0;             // BN_DOUBLECLICKED of any button
    int applied = -1;                 // what SkinApply returned
    bool applyCalled = false;

    using CDialog::OnMessage;         // tests add message handlers of "the program"

protected:
    BOOL OnNcCreate(LPCREATESTRUCTW cs) override;
    BOOL OnInitDialog() override;

private:
    int m_skinId;
};

// Writes `bytes` to `name` (relative to the current directory) and removes it again
// when the object goes.
class TempFile {
public:
    TempFile(std::string name, const std::string& bytes);
    ~TempFile();
    const char* Name() const { return m_name.c_str(); }
private:
    std::string m_name;
};

std::string ReadFileBytes(const char* name);

// A 32-bit memory bitmap selected into a DC.
class Canvas {
public:
    Canvas(int width, int height, COLORREF fill = RGB(1, 2, 3));
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;
    HDC dc() const { return m_dc; }
    int Width() const { return m_w; }
    int Height() const { return m_h; }
    COLORREF Pixel(int x, int y) const { return ::GetPixel(m_dc, x, y); }
    // Pixels in `r` that differ from `c`.
    int CountOther(COLORREF c, const RECT& r) const;
    // Pixels in `r` for which `test` holds.
    template <class F> int Count(const RECT& r, F test) const
    {
        int n = 0;
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x)
                if (test(Pixel(x, y)))
                    ++n;
        return n;
    }
private:
    HDC m_dc;
    HBITMAP m_bmp;
    HGDIOBJ m_old;
    int m_w, m_h;
};

// Has the dialog draw button `id` into a canvas of the button's size, as the button's own
// painting would: WM_DRAWITEM to the dialog with the given ODS_* state. Null when the
// button is not owner-drawn.
std::unique_ptr<Canvas> DrawButton(HWND dlg, int id, UINT state = 0);
// Has the dialog erase its background into a canvas of the client size.
std::unique_ptr<Canvas> EraseBackground(HWND dlg);

// Ids of the dialog's push buttons, owner-drawn ones included.
std::vector<int> PushButtonIds(HWND dlg);
// The button type bits (BS_TYPEMASK) of control `id`.
LONG ButtonType(HWND dlg, int id);
// The window procedure of `hWnd`.
WNDPROC ProcOf(HWND hWnd);

// Dispatches this thread's messages through the dialog manager of `dlg` for `ms`.
void PumpDialog(HWND dlg, DWORD ms);

}  // namespace skintest
