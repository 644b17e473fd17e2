#include "SkinValues.h"

namespace skin {
namespace values {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == 0x3000; }

std::wstring Trim(const std::wstring& s)
{
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

std::wstring Lower(std::wstring s)
{
    for (auto& c : s)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return s;
}

std::vector<std::wstring> SplitBlanks(const std::wstring& s)
{
    std::vector<std::wstring> parts;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && IsBlank(s[i]))
            ++i;
        size_t b = i;
        while (i < s.size() && !IsBlank(s[i]))
            ++i;
        if (i > b)
            parts.push_back(s.substr(b, i - b));
    }
    return parts;
}

bool ParseNumber(const std::wstring& s, int& out)
{
    if (s.empty() || s.size() > 5)
        return false;
    int v = 0;
    for (wchar_t c : s) {
        if (c < L'0' || c > L'9')
            return false;
        v = v * 10 + (c - L'0');
    }
    out = v;
    return true;
}

static int HexDigit(wchar_t c)
{
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

bool ParseColor(const std::wstring& s, COLORREF& out)
{
    if (s.size() != 7 || s[0] != L'#')
        return false;
    int v[6];
    for (int i = 0; i < 6; ++i)
        if ((v[i] = HexDigit(s[i + 1])) < 0)
            return false;
    out = RGB(v[0] * 16 + v[1], v[2] * 16 + v[3], v[4] * 16 + v[5]);
    return true;
}

bool ParseGradient(const std::wstring& s, Gradient& out)
{
    auto parts = SplitBlanks(s);
    Gradient g;
    if (parts.size() == 1 && ParseColor(parts[0], g.top)) {
        g.bottom = g.top;
    } else if (parts.size() != 2 || !ParseColor(parts[0], g.top) || !ParseColor(parts[1], g.bottom)) {
        return false;
    }
    out = g;
    return true;
}

bool ParseRect(const std::wstring& s, RECT& out)
{
    int v[4];
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        size_t comma = i < 3 ? s.find(L',', pos) : s.size();
        if (comma == std::wstring::npos)
            return false;
        if (!ParseNumber(Trim(s.substr(pos, comma - pos)), v[i]) || v[i] > 4000)
            return false;
        pos = comma + 1;
    }
    if (v[2] == 0 || v[3] == 0)
        return false;
    out = RECT{v[0], v[1], v[0] + v[2], v[1] + v[3]};
    return true;
}

bool ParseFlag(const std::wstring& s, bool& out)
{
    if (s == L"1" || Lower(s) == L"yes") { out = true; return true; }
    if (s == L"0" || Lower(s) == L"no") { out = false; return true; }
    return false;
}

bool IsIdentifier(const std::wstring& s)
{
    if (s.empty() || s.size() > 32)
        return false;
    for (wchar_t c : s)
        if (!((c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'_'))
            return false;
    return true;
}

bool Utf8Line(const char* p, size_t n, std::wstring& out)
{
    out.clear();
    if (n == 0)
        return true;
    int len = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, p, static_cast<int>(n), nullptr, 0);
    if (len <= 0)
        return false;
    out.resize(len);
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, p, static_cast<int>(n), &out[0], len);
    return true;
}

}  // namespace values
}  // namespace skin
