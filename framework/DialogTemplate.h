// Reading a dialog template's header: styles, size in dialog units and the font, with
// where in the template the font's point size is kept, so a copy can be made with another.
// Header only: the program's dialog framework and the skin library both read templates.
//
// Both forms are read: DLGTEMPLATE and DLGTEMPLATEEX (what DIALOGEX resources are). After
// the fixed part come the menu, the window class and the caption, each either 0x0000, or
// 0xFFFF and an ordinal, or a NUL-terminated UTF-16 string; then, with DS_SETFONT or
// DS_SHELLFONT, the point size, (EX only) weight, italic and character set, and the face.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstring>
#include <string>

namespace dlgtemplate {

struct Header {
    bool ex = false;
    DWORD style = 0;
    DWORD exStyle = 0;
    int cx = 0, cy = 0;             // dialog units
    bool hasFont = false;
    WORD points = 0;
    size_t pointsOffset = 0;        // byte offset of the point size in the template
    WORD weight = FW_NORMAL;
    BYTE italic = 0;
    BYTE charset = DEFAULT_CHARSET;
    std::wstring face;
};

namespace detail {
inline bool Word(const BYTE* p, size_t size, size_t& at, WORD& w)
{
    if (at + 2 > size)
        return false;
    std::memcpy(&w, p + at, 2);
    at += 2;
    return true;
}
inline bool Dword(const BYTE* p, size_t size, size_t& at, DWORD& d)
{
    if (at + 4 > size)
        return false;
    std::memcpy(&d, p + at, 4);
    at += 4;
    return true;
}
// Skips a "sz_Or_Ord" field; `text` receives a string's characters.
inline bool SzOrOrd(const BYTE* p, size_t size, size_t& at, std::wstring* text = nullptr)
{
    WORD w = 0;
    if (!Word(p, size, at, w))
        return false;
    if (w == 0)
        return true;
    if (w == 0xFFFF)
        return Word(p, size, at, w);
    for (;;) {
        if (text)
            text->push_back(static_cast<wchar_t>(w));
        if (!Word(p, size, at, w))
            return false;
        if (w == 0)
            return true;
    }
}
}  // namespace detail

// False when the bytes are no dialog template (too short, or a field runs past the end).
inline bool Read(const void* data, size_t size, Header& out)
{
    const BYTE* p = static_cast<const BYTE*>(data);
    if (!p)
        return false;
    Header h;
    size_t at = 0;
    WORD w0 = 0, w1 = 0, count = 0, cx = 0, cy = 0, xy = 0;
    DWORD helpId = 0;
    if (!detail::Word(p, size, at, w0) || !detail::Word(p, size, at, w1))
        return false;
    h.ex = w0 == 1 && w1 == 0xFFFF;
    if (h.ex) {
        if (!detail::Dword(p, size, at, helpId) || !detail::Dword(p, size, at, h.exStyle) ||
            !detail::Dword(p, size, at, h.style))
            return false;
    } else {
        h.style = MAKELONG(w0, w1);
        if (!detail::Dword(p, size, at, h.exStyle))
            return false;
    }
    if (!detail::Word(p, size, at, count) || !detail::Word(p, size, at, xy) || !detail::Word(p, size, at, xy) ||
        !detail::Word(p, size, at, cx) || !detail::Word(p, size, at, cy))
        return false;
    h.cx = static_cast<short>(cx);
    h.cy = static_cast<short>(cy);
    if (!detail::SzOrOrd(p, size, at) || !detail::SzOrOrd(p, size, at) || !detail::SzOrOrd(p, size, at))
        return false;
    if (h.style & (DS_SETFONT | DS_SHELLFONT)) {
        h.pointsOffset = at;
        if (!detail::Word(p, size, at, h.points))
            return false;
        if (h.ex) {
            if (!detail::Word(p, size, at, h.weight) || at + 2 > size)
                return false;
            h.italic = p[at];
            h.charset = p[at + 1];
            at += 2;
        }
        if (!detail::SzOrOrd(p, size, at, &h.face))
            return false;
        h.hasFont = true;
    }
    out = h;
    return true;
}

}  // namespace dlgtemplate
