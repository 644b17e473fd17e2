// Shared inside the XML document code: byte classes, the entity table and the
// escaping rules for attribute values.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

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
};
const unsigned char* CharClasses();

// From i, over characters until one whose first byte is in a class of nStop (or nEnd).
// A lead byte takes the byte after it, if there is one before nEnd.
inline int SkipUntil(const unsigned char* pClasses, const char* s, int i, int nEnd, unsigned char nStop)
{
    while (i < nEnd) {
        const unsigned char k = pClasses[static_cast<unsigned char>(s[i])];
        if (k & nStop)
            break;
        i += (k & CC_LEAD) && i + 1 < nEnd ? 2 : 1;
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

// From i, over characters until the byte c starts one (or nEnd).
inline int SkipTo(const unsigned char* pClasses, const char* s, int i, int nEnd, char c)
{
    if (i >= nEnd)
        return nEnd;
    // Where no byte before the first c could start a two-byte character, that c is it.
    const char* pFound = static_cast<const char*>(std::memchr(s + i, c, static_cast<size_t>(nEnd - i)));
    const int nFound = pFound ? static_cast<int>(pFound - s) : nEnd;
    if (!AnyHighByte(s + i, static_cast<size_t>(nFound - i)))
        return nFound;
    while (i < nEnd && s[i] != c)
        i += (pClasses[static_cast<unsigned char>(s[i])] & CC_LEAD) && i + 1 < nEnd ? 2 : 1;
    return i;
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
