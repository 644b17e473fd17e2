// Code-page conversions through the Win32 API. The program's text is GBK (code page
// 936) whatever the system's ANSI code page is, so the conversions name it.
#include "CodePage.h"

#include <windows.h>

namespace codepage {

namespace {

const UINT kGbk = 936;

void ToWide(UINT nCodePage, const char* p, size_t n, std::u16string& out)
{
    if (n == 0)
        return;
    int nChars = ::MultiByteToWideChar(nCodePage, 0, p, static_cast<int>(n), nullptr, 0);
    if (nChars <= 0)
        return;
    size_t nOld = out.size();
    out.resize(nOld + static_cast<size_t>(nChars));
    ::MultiByteToWideChar(nCodePage, 0, p, static_cast<int>(n), reinterpret_cast<LPWSTR>(&out[nOld]), nChars);
}

}  // namespace

bool IsAnsiLeadByte(unsigned char c)
{
    return ::IsDBCSLeadByteEx(kGbk, c) != FALSE;
}

void AnsiToUtf16(const char* p, size_t n, std::u16string& out)
{
    ToWide(kGbk, p, n, out);
}

void Utf8ToUtf16(const char* p, size_t n, std::u16string& out)
{
    ToWide(CP_UTF8, p, n, out);
}

bool Utf16ToAnsi(const char16_t* p, size_t n, std::string& out)
{
    if (n == 0)
        return true;
    LPCWSTR pWide = reinterpret_cast<LPCWSTR>(p);
    BOOL bUsedDefault = FALSE;
    int nBytes = ::WideCharToMultiByte(kGbk, WC_NO_BEST_FIT_CHARS, pWide, static_cast<int>(n), nullptr, 0,
                                       nullptr, nullptr);
    if (nBytes <= 0)
        return false;
    size_t nOld = out.size();
    out.resize(nOld + static_cast<size_t>(nBytes));
    ::WideCharToMultiByte(kGbk, WC_NO_BEST_FIT_CHARS, pWide, static_cast<int>(n), &out[nOld], nBytes, nullptr,
                          &bUsedDefault);
    return bUsedDefault == FALSE;
}

void Utf16ToUtf8(const char16_t* p, size_t n, std::string& out)
{
    if (n == 0)
        return;
    LPCWSTR pWide = reinterpret_cast<LPCWSTR>(p);
    int nBytes = ::WideCharToMultiByte(CP_UTF8, 0, pWide, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    if (nBytes <= 0)
        return;
    size_t nOld = out.size();
    out.resize(nOld + static_cast<size_t>(nBytes));
    ::WideCharToMultiByte(CP_UTF8, 0, pWide, static_cast<int>(n), &out[nOld], nBytes, nullptr, nullptr);
}

}  // namespace codepage
