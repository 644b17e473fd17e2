// The value readers of the skin file: blanks, numbers, colours, gradients, rectangles,
// flags, identifiers and the UTF-8 check of a line. Private to the skin library.
#pragma once
#include <windows.h>
#include <cstddef>
#include <string>
#include <vector>
#include "SkinFile.h"

namespace skin {
namespace values {

// Blank, tab or the ideographic space.
bool IsBlank(wchar_t c);
std::wstring Trim(const std::wstring& s);
std::wstring Lower(std::wstring s);
// The blank-separated words of s.
std::vector<std::wstring> SplitBlanks(const std::wstring& s);
// A whole non-negative decimal number of at most 5 digits.
bool ParseNumber(const std::wstring& s, int& out);
// "#RRGGBB"
bool ParseColor(const std::wstring& s, COLORREF& out);
// "#top #bottom" or one colour for a flat fill.
bool ParseGradient(const std::wstring& s, Gradient& out);
// "x,y,w,h" in dialog units, each 0..4000, width and height above 0.
bool ParseRect(const std::wstring& s, RECT& out);
bool ParseFlag(const std::wstring& s, bool& out);
bool IsIdentifier(const std::wstring& s);
// One line converted from UTF-8; false when the bytes are not UTF-8.
bool Utf8Line(const char* p, size_t n, std::wstring& out);

}  // namespace values
}  // namespace skin
