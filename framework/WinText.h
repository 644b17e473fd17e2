// Where the program's text meets Windows. Inside, every text is GBK (code page 936),
// whatever the system's ANSI code page; Windows is handed UTF-16 and the wide ("W")
// calls, so the texts read the same on an English, Japanese or Chinese system.
#pragma once
#include <windows.h>
#include <string>

namespace wintext {

const UINT kGbk = 936;

// GBK to UTF-16. Bytes GBK cannot read become U+FFFD.
std::wstring Wide(const std::string& gbk);
std::wstring Wide(const char* gbk);     // null gives empty text

// UTF-16 to GBK. False when some character has no GBK form; `gbk` then holds the
// text with '?' in its place.
bool ToGbk(const wchar_t* wide, size_t n, std::string& gbk);
inline bool ToGbk(const std::wstring& wide, std::string& gbk) { return ToGbk(wide.data(), wide.size(), gbk); }
// The same where a stand-in is acceptable (texts the program only shows or compares).
std::string Gbk(const std::wstring& wide);
std::string Gbk(const wchar_t* wide);

// A window's text. False when it holds a character that GBK lacks.
bool WindowText(HWND hWnd, std::string& gbk);

}  // namespace wintext
