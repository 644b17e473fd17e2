// Code-page conversions for builds outside Windows: the ANSI code page is GBK
// (code page 936). The GBK tables are filled once from iconv's "CP936" converter;
// UTF-8 is converted here directly.
#include "CodePage.h"

#include <iconv.h>

#include <cstdint>
#include <mutex>
#include <vector>

namespace codepage {

namespace {

const char16_t kReplacement = 0xFFFD;

struct GbkTables
{
    std::vector<char16_t> aToUnicode;  // (lead - 0x80) * 256 + trail; lead 0x80 row holds single 0x80
    std::vector<uint16_t> aFromUnicode;  // GBK code (one byte when < 0x100), 0 = none
};

const GbkTables& Tables()
{
    static GbkTables tables;
    static std::once_flag once;
    std::call_once(once, [] {
        tables.aToUnicode.assign(127 * 256, 0);
        tables.aFromUnicode.assign(0x10000, 0);
        iconv_t cd = iconv_open("UTF-16LE", "CP936");
        if (cd == reinterpret_cast<iconv_t>(-1))
            return;
        auto convert = [&](const unsigned char* pIn, size_t nIn) -> char16_t {
            char in[2] = {static_cast<char>(pIn[0]), nIn > 1 ? static_cast<char>(pIn[1]) : '\0'};
            char out[8];
            char* pSrc = in;
            char* pDst = out;
            size_t nSrc = nIn, nDst = sizeof out;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            if (iconv(cd, &pSrc, &nSrc, &pDst, &nDst) == static_cast<size_t>(-1) || nSrc != 0 || sizeof out - nDst != 2)
                return 0;
            return static_cast<char16_t>(static_cast<unsigned char>(out[0]) | (static_cast<unsigned char>(out[1]) << 8));
        };
        const unsigned char euro = 0x80;
        if (char16_t u = convert(&euro, 1)) {
            tables.aToUnicode[0] = u;
            tables.aFromUnicode[u] = 0x80;
        }
        for (unsigned lead = 0x81; lead <= 0xFE; ++lead) {
            for (unsigned trail = 0x40; trail <= 0xFE; ++trail) {
                const unsigned char pair[2] = {static_cast<unsigned char>(lead), static_cast<unsigned char>(trail)};
                char16_t u = convert(pair, 2);
                if (!u)
                    continue;
                tables.aToUnicode[(lead - 0x80) * 256 + trail] = u;
                if (!tables.aFromUnicode[u])
                    tables.aFromUnicode[u] = static_cast<uint16_t>(lead << 8 | trail);
            }
        }
        iconv_close(cd);
    });
    return tables;
}

}  // namespace

bool IsAnsiLeadByte(unsigned char c)
{
    return c >= 0x81 && c <= 0xFE;
}

void AnsiToUtf16(const char* p, size_t n, std::u16string& out)
{
    const GbkTables& t = Tables();
    const unsigned char* s = reinterpret_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n;) {
        unsigned c = s[i];
        if (c < 0x80) {
            out.push_back(static_cast<char16_t>(c));
            ++i;
        } else if (IsAnsiLeadByte(static_cast<unsigned char>(c)) && i + 1 < n) {
            char16_t u = t.aToUnicode[(c - 0x80) * 256 + s[i + 1]];
            out.push_back(u ? u : kReplacement);
            i += 2;
        } else {
            char16_t u = c == 0x80 ? t.aToUnicode[0] : 0;
            out.push_back(u ? u : kReplacement);
            ++i;
        }
    }
}

bool Utf16ToAnsi(const char16_t* p, size_t n, std::string& out)
{
    const GbkTables& t = Tables();
    bool bComplete = true;
    for (size_t i = 0; i < n; ++i) {
        char16_t u = p[i];
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
            continue;
        }
        uint16_t code = t.aFromUnicode[u];
        if (!code) {
            out.push_back('?');
            bComplete = false;
        } else if (code < 0x100) {
            out.push_back(static_cast<char>(code));
        } else {
            out.push_back(static_cast<char>(code >> 8));
            out.push_back(static_cast<char>(code & 0xFF));
        }
    }
    return bComplete;
}

void Utf8ToUtf16(const char* p, size_t n, std::u16string& out)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n;) {
        unsigned c = s[i];
        if (c < 0x80) {
            out.push_back(static_cast<char16_t>(c));
            ++i;
            continue;
        }
        size_t nTrail = 0;
        uint32_t cp = 0, nMin = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            nTrail = 1, cp = c & 0x1F, nMin = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            nTrail = 2, cp = c & 0x0F, nMin = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            nTrail = 3, cp = c & 0x07, nMin = 0x10000;
        }
        size_t k = 0;
        if (nTrail) {
            for (k = 1; k <= nTrail && i + k < n && (s[i + k] & 0xC0) == 0x80; ++k)
                cp = cp << 6 | (s[i + k] & 0x3F);
        }
        if (!nTrail || k != nTrail + 1 || cp < nMin || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(kReplacement);  // one replacement per byte that starts no valid sequence
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += nTrail + 1;
    }
}

void Utf16ToUtf8(const char16_t* p, size_t n, std::string& out)
{
    for (size_t i = 0; i < n; ++i) {
        uint32_t cp = p[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && p[i + 1] >= 0xDC00 && p[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (p[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | cp >> 6));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | cp >> 12));
            out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | cp >> 18));
            out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
}

}  // namespace codepage
