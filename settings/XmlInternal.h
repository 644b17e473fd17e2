// Shared inside the XML document code: byte classes, the entity table and the
// escaping rules for attribute values.
#pragma once

#include <string>

namespace xmlint {

// Byte classes. Lead bytes come from the ANSI code page of the running system.
enum : unsigned char
{
    CC_LEAD = 1,       // first byte of a two-byte character
    CC_SPACE = 2,      // space, tab, LF, CR
    CC_NAME_END = 4,   // ends a tag name: whitespace, '/', '>'
    CC_TAG_START = 8,  // may follow '<' in a start tag: letter, '_', ':', any byte above 0x60
};
const unsigned char* CharClasses();

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
