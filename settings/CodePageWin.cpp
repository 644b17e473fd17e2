// Code-page conversions through the Win32 API, with the process's ANSI code page.
#include "CodePage.h"

#include <windows.h>

namespace codepage {

namespace {

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
    return ::IsDBCSLeadByte(c) != FALSE;
}

void AnsiToUtf16(const char* p, size_t n, std::u16string& out)
{
    ToWide(CP_ACP, p, n, out);
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
    int nBytes = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, pWide, static_cast<int>(n), nullptr, 0,
                                       nullptr, nullptr);
    if (nBytes <= 0)
        return false;
    size_t nOld = out.size();
    out.resize(nOld + static_cast<size_t>(nBytes));
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, pWide, static_cast<int>(n), &out[nOld], nBytes, nullptr,
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
