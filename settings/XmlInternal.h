// Shared inside the XML document code: byte classes, the entity table and the
// escaping rules for attribute values.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace xmlint {

// Byte classes. Lead bytes come from the ANSI code page of the running system.
enum : unsigned char
{
    CC_LEAD = 1,       // first byte of a two-byte character
    CC_SPACE = 2,      // space, tab, LF, CR
    CC_NAME_END = 4,   // ends a tag name: whitespace, '/', '>'
    CC_TAG_START = 8,  // may follow '<' in a start tag: letter, '_', ':', any byte above 0x60
    CC_RUN_END = 16,   // ends a name in the attribute scan: whitespace, '=', '>', '/', '?'
    CC_VALUE_END = 32, // ends an unquoted value: whitespace, '>'
    CC_QUOTE = 64,     // '"' or '\''
    CC_TAG_PLAIN = 128, // nothing to the start-tag scan: not a lead byte, whitespace, quote, '=' or '>'
};
const unsigned char* CharClasses();

// From i, over characters until one whose first byte is in a class of nStop (or nEnd).
// A lead byte takes the byte after it, if there is one before nEnd.
inline int SkipUntil(const unsigned char* pClasses, const char* s, int i, int nEnd, unsigned char nStop)
{
    const unsigned char nLook = static_cast<unsigned char>(nStop | CC_LEAD);
    while (i < nEnd) {
        const unsigned char k = pClasses[static_cast<unsigned char>(s[i])];
        if (!(k & nLook)) {
            ++i;
            continue;
        }
        if (k & nStop)
            break;
        i += i + 1 < nEnd ? 2 : 1;
    }
    return i;
}

// Whether any of n bytes at p is 0x80 or above (so could start a two-byte character).
inline bool AnyHighByte(const char* p, size_t n)
{
    uint64_t acc = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t v;
        std::memcpy(&v, p + i, 8);
        acc |= v;
    }
    for (; i < n; ++i)
        acc |= static_cast<unsigned char>(p[i]);
    return (acc & 0x8080808080808080ULL) != 0;
}

// The first byte in [i, nEnd) that is a, b or c, or 0x80 and above (every lead byte
// is); nEnd when there is none. Sixteen bytes at a time where SSE2 is there, then
// eight, then one.
inline int FindByteOrHigh(const char* s, int i, int nEnd, char a, char b, char c)
{
#if defined(__SSE2__)
    const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c);
    while (nEnd - i >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        const __m128i m = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)),
                                       _mm_or_si128(_mm_cmpeq_epi8(v, vc), v));
        const int nMask = _mm_movemask_epi8(m);
        if (nMask)
            return i + __builtin_ctz(static_cast<unsigned>(nMask));
        i += 16;
    }
#endif
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // A zero byte of v ^ (byte * ones) is a match; the lowest flag is exact (a flag
    // above a zero byte can be false, never one below it).
    const uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
    const uint64_t na = kOnes * static_cast<unsigned char>(a), nb = kOnes * static_cast<unsigned char>(b),
                   nc = kOnes * static_cast<unsigned char>(c);
    while (nEnd - i >= 8) {
        uint64_t v;
        std::memcpy(&v, s + i, 8);
        const uint64_t xa = v ^ na, xb = v ^ nb, xc = v ^ nc;
        const uint64_t nFound = (((xa - kOnes) & ~xa) | ((xb - kOnes) & ~xb) | ((xc - kOnes) & ~xc) | v) & kHigh;
        if (nFound)
            return i + (__builtin_ctzll(nFound) >> 3);
        i += 8;
    }
#endif
    for (; i < nEnd; ++i) {
        const char d = s[i];
        if (d == a || d == b || d == c || static_cast<unsigned char>(d) >= 0x80)
            return i;
    }
    return nEnd;
}

// From i, over characters until the quote c ('"' or '\'') starts one (or nEnd).
inline int SkipToQuote(const unsigned char* pClasses, const char* s, int i, int nEnd, char c)
{
    while (true) {
        i = FindByteOrHigh(s, i, nEnd, c, c, c);
        if (i >= nEnd || s[i] == c)
            return i;
        i += (pClasses[static_cast<unsigned char>(s[i])] & CC_LEAD) && i + 1 < nEnd ? 2 : 1;
    }
}

// The character entity table: 130 buckets keyed by the byte sum of the lower-case
// name modulo 130; each entry is one digit (name length), four digits (code point)
// and the lower-case name.
const int kEntityBuckets = 130;
const char* EntityBucket(int i);
// Code point of a lower-case entity name, 0 when the name is not in the table.
int EntityCodePoint(const char* pName, int nLength);

// Attribute values: unescaping reads references, escaping writes the five
// markup characters as references. Both step over two-byte characters whole.
void UnescapeAppend(const unsigned char* pClasses, const char* p, int n, std::string& out);
void EscapeAppend(const unsigned char* pClasses, const char* p, int n, std::string& out);

}  // namespace xmlint
