// The few Windows declarations the skin reader (skin/SkinFile.cpp) uses, for building
// it natively in the fuzz targets. Text is converted as Windows does it: UTF-8 to
// UTF-16 units in wchar_t (a character above U+FFFF is two units), refusing invalid
// UTF-8 (overlong forms, surrogates, values above U+10FFFF, cut sequences) when
// MB_ERR_INVALID_CHARS is given. Other code pages convert nothing, and no file opens:
// the targets hand the reader bytes, never file names.
#pragma once

#include <cstdint>

typedef unsigned int UINT;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int BOOL;
typedef long LONG;
typedef long long LONGLONG;
typedef DWORD COLORREF;
typedef void* HANDLE;
typedef wchar_t WCHAR;
typedef const wchar_t* LPCWSTR;

union LARGE_INTEGER {
    LONGLONG QuadPart;
};

struct RECT {
    LONG left, top, right, bottom;
};

#define RGB(r, g, b) ((COLORREF)(((BYTE)(r) | ((WORD)((BYTE)(g)) << 8)) | (((DWORD)(BYTE)(b)) << 16)))
#define LF_FACESIZE 32
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x8
#define GENERIC_READ 0x80000000u
#define FILE_SHARE_READ 0x1
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x80
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

inline HANDLE CreateFileW(LPCWSTR, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) { return INVALID_HANDLE_VALUE; }
inline BOOL GetFileSizeEx(HANDLE, LARGE_INTEGER*) { return 0; }
inline BOOL ReadFile(HANDLE, void*, DWORD, DWORD*, void*) { return 0; }
inline BOOL CloseHandle(HANDLE) { return 1; }

inline int MultiByteToWideChar(UINT codePage, DWORD flags, const char* src, int n, wchar_t* dst, int cap)
{
    if (codePage != CP_UTF8 || !src || n < 0)
        return 0;
    const bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(src);
    int out = 0;
    auto put = [&](uint32_t unit) {
        if (dst && out < cap)
            dst[out] = static_cast<wchar_t>(unit);
        ++out;
    };
    for (int i = 0; i < n;) {
        const unsigned char c = p[i];
        int extra = 0;
        uint32_t cp = 0, min = 0;
        if (c < 0x80) {
            cp = c;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1, cp = c & 0x1F, min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2, cp = c & 0x0F, min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3, cp = c & 0x07, min = 0x10000;
        } else {
            extra = -1;
        }
        bool ok = extra >= 0 && i + extra < n;
        for (int k = 1; ok && k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        ok = ok && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (!ok) {
            if (strict)
                return 0;
            put(0xFFFD);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            put(0xD800 + ((cp - 0x10000) >> 10));
            put(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            put(cp);
        }
        i += extra + 1;
    }
    if (dst && out > cap)
        return 0;
    return out;
}

inline int WideCharToMultiByte(UINT, DWORD, const wchar_t*, int, char*, int, const char*, BOOL*) { return 0; }
