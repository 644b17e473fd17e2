#include "WinText.h"

namespace wintext {

std::wstring Wide(const std::string& gbk)
{
    if (gbk.empty())
        return std::wstring();
    const int n = ::MultiByteToWideChar(kGbk, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(kGbk, 0, gbk.data(), static_cast<int>(gbk.size()), &wide[0], n);
    return wide;
}

std::wstring Wide(const char* gbk)
{
    return gbk ? Wide(std::string(gbk)) : std::wstring();
}

bool ToGbk(const wchar_t* wide, size_t n, std::string& gbk)
{
    gbk.clear();
    if (n == 0)
        return true;
    BOOL usedDefault = FALSE;
    const int bytes = ::WideCharToMultiByte(kGbk, WC_NO_BEST_FIT_CHARS, wide, static_cast<int>(n), nullptr, 0, "?",
                                            &usedDefault);
    if (bytes <= 0)
        return false;
    gbk.resize(static_cast<size_t>(bytes));
    usedDefault = FALSE;
    ::WideCharToMultiByte(kGbk, WC_NO_BEST_FIT_CHARS, wide, static_cast<int>(n), &gbk[0], bytes, "?", &usedDefault);
    return usedDefault == FALSE;
}

std::string Gbk(const std::wstring& wide)
{
    std::string gbk;
    ToGbk(wide, gbk);
    return gbk;
}

std::string Gbk(const wchar_t* wide)
{
    return wide ? Gbk(std::wstring(wide)) : std::string();
}

bool WindowText(HWND hWnd, std::string& gbk)
{
    gbk.clear();
    const int n = ::GetWindowTextLengthW(hWnd);
    if (n <= 0)
        return true;
    std::wstring wide(static_cast<size_t>(n) + 1, L'\0');
    const int got = ::GetWindowTextW(hWnd, &wide[0], n + 1);
    return ToGbk(wide.data(), got > 0 ? static_cast<size_t>(got) : 0, gbk);
}

}  // namespace wintext
