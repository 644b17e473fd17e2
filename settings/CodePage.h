// Code-page conversions for the XML document: GBK (code page 936, the program's text in
// memory, called "ANSI" below), UTF-16 and UTF-8.
//
// Windows builds use the system's own GBK tables (CodePageWin.cpp), whatever the
// system's ANSI code page; other builds, for the unit tests, read them from iconv
// (CodePageGbk.cpp).
#pragma once

#include <cstddef>
#include <string>

namespace codepage {

// True when c starts a two-byte character of the ANSI code page.
bool IsAnsiLeadByte(unsigned char c);

// Each conversion appends to out. Invalid input becomes U+FFFD (towards UTF-16) or
// the code page's default character (towards ANSI).
void AnsiToUtf16(const char* p, size_t n, std::u16string& out);
// Returns false when some character had no equivalent in the ANSI code page.
bool Utf16ToAnsi(const char16_t* p, size_t n, std::string& out);
void Utf8ToUtf16(const char* p, size_t n, std::u16string& out);
void Utf16ToUtf8(const char16_t* p, size_t n, std::string& out);

}  // namespace codepage
