// Drawing of the skin: dialog backdrops (gradient, banner, panels, painted texts, notes)
// and push buttons. Everything here draws into a device context it is given and keeps
// no windows; SkinWindows decides when and where.
#pragma once
#include "SkinFile.h"
#include <map>
#include <string>
#include <vector>

namespace skin {

// Dialog units to pixels, as MapDialogRect converts them for one dialog.
struct DluScale {
    int baseX = 6;      // pixels per 4 horizontal dialog units
    int baseY = 12;     // pixels per 8 vertical dialog units
    static DluScale FromDialog(HWND hDlg);
    int X(int dlu) const { return ::MulDiv(dlu, baseX, 4); }
    int Y(int dlu) const { return ::MulDiv(dlu, baseY, 8); }
    RECT Map(const RECT& r) const { return RECT{X(r.left), Y(r.top), X(r.right), Y(r.bottom)}; }
};

// The skin's fonts in the sizes asked for, made on first use and deleted with the cache,
// at the scale `dpi` the dialog is drawn at (DialogDpi); Px scales the skin's own pixel
// measures (margins, corners, the banner's icon) to it. The face is the first of the
// skin's faces installed on this system.
class FontCache {
public:
    // `dpi` 0: the system's.
    explicit FontCache(const std::vector<std::wstring>& faces, int dpi = 0);
    ~FontCache();
    FontCache(const FontCache&) = delete;
    FontCache& operator=(const FontCache&) = delete;

    HFONT Get(int points, bool bold = false, bool underline = false);
    const std::wstring& Face() const { return m_face; }
    int Dpi() const { return m_dpi; }
    int Px(int px96) const { return ::MulDiv(px96, m_dpi, 96); }

private:
    std::wstring m_face;
    int m_dpi = 96;
    std::map<int, HFONT> m_fonts;
};

// The scale a dialog is drawn at, in dots per inch: the DPI of its monitor, times the share
// of its template's font size its font got (a dialog too large for the screen is made with
// a smaller font). `hDlg` was made from dialog template `templateId` of its module.
int DialogDpi(HWND hDlg, int templateId);

// Breaks `text` into lines no wider than `width` pixels in the font selected into `hdc`.
// Chinese text breaks between any two characters, Latin text at spaces; a line never
// starts with closing punctuation nor ends with opening punctuation.
std::vector<std::wstring> WrapText(HDC hdc, const std::wstring& text, int width);

// Paints a dialog's backdrop over `client`: the window gradient, the banner with the
// window's icon (if any) and titles, the panels, the painted texts and the notes.
void PaintBackdrop(HDC hdc, const RECT& client, const Skin& skin, const DialogPart& part,
                   const DluScale& dlu, FontCache& fonts, HICON icon);

// Lays out (and with `draw`, paints) a dialog's notes in its notes area.
// Returns the height in pixels the notes need; compare with the area's height.
int FlowNotes(HDC hdc, const Skin& skin, const DialogPart& part, const DluScale& dlu,
              FontCache& fonts, bool draw);

// The state a button is drawn in: ODS_* flags from WM_DRAWITEM, and what the skin tracks.
struct ButtonLook {
    UINT state = 0;          // ODS_SELECTED, ODS_FOCUS, ODS_DISABLED, ODS_NOFOCUSRECT
    bool hot = false;        // the mouse is over it
    bool isDefault = false;  // the dialog's default push button
};

// Paints a push button's face and label over `rc`, whose background is already in place.
void PaintButton(HDC hdc, const RECT& rc, const Skin& skin, const ButtonStyle& style,
                 const std::wstring& label, const ButtonLook& look, FontCache& fonts);

}  // namespace skin
