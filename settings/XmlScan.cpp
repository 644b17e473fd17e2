// Scanning the document text: characters, tokens, names and start-tag attributes.
// Every scan steps by characters, so a trail byte is never taken for markup.
#include "XmlDoc.h"
#include "XmlInternal.h"

#include "CodePage.h"

#include <algorithm>
#include <cstring>

using namespace xmlint;

namespace xmlint {

const unsigned char* CharClasses()
{
    static const struct Table
    {
        unsigned char a[256];
        Table() : a()
        {
            for (int c = 0; c < 256; ++c) {
                unsigned char k = 0;
                if (codepage::IsAnsiLeadByte(static_cast<unsigned char>(c)))
                    k |= CC_LEAD;
                if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
                    k |= CC_SPACE | CC_NAME_END | CC_RUN_END | CC_VALUE_END;
                if (c == '/' || c == '>')
                    k |= CC_NAME_END | CC_RUN_END;
                if (c == '>')
                    k |= CC_VALUE_END;
                if (c == '=' || c == '?')
                    k |= CC_RUN_END;
                if ((c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c > 0x60)
                    k |= CC_TAG_START;
                if (c == '"' || c == '\'')
                    k |= CC_QUOTE;
                if (!(k & (CC_LEAD | CC_SPACE | CC_QUOTE)) && c != '=' && c != '>')
                    k |= CC_TAG_PLAIN;
                a[c] = k;
            }
        }
    } table;
    return table.a;
}

}  // namespace xmlint

namespace {

bool IsQuote(char c)
{
    return c == '"' || c == '\'';
}

}  // namespace

int CXmlDoc::CharLength(int nOffset) const
{
    return (m_pCharClass[static_cast<unsigned char>(m_pText[nOffset])] & CC_LEAD) && nOffset + 1 < m_nTextLength ? 2
                                                                                                               : 1;
}

CXmlDoc::Token CXmlDoc::NextToken(int nOffset) const
{
    return ScanToken(m_pText.get(), m_nTextLength, m_pCharClass, nOffset);
}

// A start tag at nOffset ('<' and a name's first character): true with t filled in
// when it ends; false when the text ends inside it.
bool CXmlDoc::ScanStartTag(const char* s, int n, const unsigned char* cls, int nOffset, Token& t)
{
    // '>' outside quoted values ends it; a quote opens a value only after '='.
    const int nNameEnd = nOffset + 1 + ScanNameLength(s, n, cls, nOffset);

    // Outside quoted values, while no byte is 0x80 or above, every byte is a character:
    // hop from quote to quote up to the '>'. A quote opens a value when the last
    // non-space character before it is '='; a value's closing quote is not '='.
    int i = nOffset + 1;
    while (true) {
        i = FindByteOrHigh(s, i, n, '>', '"', '\'');
        if (i >= n)
            return false;
        const char c = s[i];
        if (static_cast<unsigned char>(c) >= 0x80)
            break;  // the exact character walk below from the start
        if (c == '>') {
            // "/>" closes the element when the '/' follows whitespace, a quote or the name.
            t.bEmpty = s[i - 1] == '/' &&
                       (nNameEnd == i - 1 || (cls[static_cast<unsigned char>(s[i - 2])] & (CC_SPACE | CC_QUOTE)));
            t.nNameLength = nNameEnd - (nOffset + 1);
            t.nType = TOKEN_START_TAG;
            t.nLength = i + 1 - nOffset;
            return true;
        }
        int r = i - 1;
        while (cls[static_cast<unsigned char>(s[r])] & CC_SPACE)
            --r;
        if (s[r] != '=') {
            ++i;  // a quote like any other character
            continue;
        }
        const int j = SkipToQuote(cls, s, i + 1, n, c);
        if (j >= n)
            return false;
        i = j + 1;
    }

    i = nOffset + 1;
    int nLastChar = -1, nPrevChar = -1;
    bool bAfterEquals = false;
    while (i < n) {
        const char c = s[i];
        const unsigned char k = cls[static_cast<unsigned char>(c)];
        if (k & CC_TAG_PLAIN) {
            // A run of characters that only move the last two along (names, unquoted values).
            int j = i + 1;
            while (j < n && (cls[static_cast<unsigned char>(s[j])] & CC_TAG_PLAIN))
                ++j;
            nPrevChar = j - i >= 2 ? j - 2 : nLastChar;
            nLastChar = j - 1;
            bAfterEquals = false;
            i = j;
            continue;
        }
        if (c == '>') {
            // "/>" closes the element when the '/' follows whitespace, a quote or the name.
            t.bEmpty = nLastChar == i - 1 && s[i - 1] == '/' &&
                       (nNameEnd == i - 1 ||
                        (nPrevChar == i - 2 && (cls[static_cast<unsigned char>(s[i - 2])] & (CC_SPACE | CC_QUOTE))));
            t.nNameLength = nNameEnd - (nOffset + 1);
            t.nType = TOKEN_START_TAG;
            t.nLength = i + 1 - nOffset;
            return true;
        }
        if (bAfterEquals && (k & CC_QUOTE)) {
            const int j = SkipToQuote(cls, s, i + 1, n, c);
            if (j >= n)
                return false;
            nPrevChar = -1;  // the character before the closing quote is never looked at
            nLastChar = j;
            bAfterEquals = false;
            i = j + 1;
            continue;
        }
        if (c == '=')
            bAfterEquals = true;
        else if (!(k & CC_SPACE))
            bAfterEquals = false;
        nPrevChar = nLastChar;
        nLastChar = i;
        i += (k & CC_LEAD) && i + 1 < n ? 2 : 1;
    }
    return false;
}

CXmlDoc::Token CXmlDoc::ScanToken(const char* s, int n, const unsigned char* cls, int nOffset)
{
    auto step = [&](int i) { return i + ((cls[static_cast<unsigned char>(s[i])] & CC_LEAD) && i + 1 < n ? 2 : 1); };

    Token t{TOKEN_END, nOffset, 0, 0, false, nullptr, false};
    if (nOffset >= n)
        return t;
    // Start tags first: most tokens are, and they scan best with nothing else in scope.
    if (s[nOffset] == '<' && nOffset + 1 < n && (cls[static_cast<unsigned char>(s[nOffset + 1])] & CC_TAG_START) &&
        ScanStartTag(s, n, cls, nOffset, t))
        return t;

    if (s[nOffset] != '<') {
        bool bSpace = true;
        int i = nOffset;
        while (i < n && s[i] != '<') {
            if (!(cls[static_cast<unsigned char>(s[i])] & CC_SPACE))
                bSpace = false;
            i = step(i);
        }
        t.nType = bSpace ? TOKEN_WHITESPACE : TOKEN_TEXT;
        t.nLength = i - nOffset;
        return t;
    }

    auto finish = [&](TokenType type, int nEnd) {
        t.nType = type;
        t.nLength = nEnd - nOffset;
        return t;
    };
    auto unterminated = [&](const char* pszConstruct) {
        t.pszError = pszConstruct;
        t.bUnterminated = true;
        return finish(TOKEN_ERROR, n);
    };
    // A named error runs on through the next '>' or up to the next '<'.
    auto incorrect = [&](const char* pszName) {
        int i = nOffset + 1;
        while (i < n && s[i] != '>' && s[i] != '<')
            i = step(i);
        t.pszError = pszName;
        return finish(TOKEN_ERROR, i < n && s[i] == '>' ? i + 1 : i);
    };
    // Offset just past the first occurrence of pSeq at or after nFrom, -1 if none.
    auto find = [&](int nFrom, const char* pSeq) {
        const int nSeq = static_cast<int>(std::strlen(pSeq));
        for (int i = nFrom; i < n; i = step(i)) {
            if (s[i] == pSeq[0] && i + nSeq <= n && std::memcmp(s + i, pSeq, static_cast<size_t>(nSeq)) == 0)
                return i + nSeq;
        }
        return -1;
    };

    if (nOffset + 1 >= n)
        return unterminated("tag");
    const char c1 = s[nOffset + 1];

    if (c1 == '/') {
        int i = nOffset + 2;
        int nNameEnd = -1;
        while (i < n && s[i] != '>') {
            if (nNameEnd < 0 && (cls[static_cast<unsigned char>(s[i])] & CC_SPACE))
                nNameEnd = i;
            i = step(i);
        }
        if (i >= n)
            return unterminated("Element end tag");
        t.nNameLength = (nNameEnd < 0 ? i : nNameEnd) - (nOffset + 2);
        return finish(TOKEN_END_TAG, i + 1);
    }

    if (c1 == '?') {
        int nEnd = find(nOffset + 2, "?>");
        return nEnd < 0 ? unterminated("Processing instruction") : finish(TOKEN_PROC_INST, nEnd);
    }

    if (c1 == '!') {
        if (nOffset + 2 >= n)
            return unterminated("tag");
        const char c2 = s[nOffset + 2];
        if (c2 == '-') {
            if (nOffset + 3 >= n)
                return unterminated("tag");
            if (s[nOffset + 3] != '-')
                return incorrect("comment tag");
            int nEnd = find(nOffset + 4, "-->");
            return nEnd < 0 ? unterminated("Comment") : finish(TOKEN_COMMENT, nEnd);
        }
        if (c2 == '[') {
            if (nOffset + 3 >= n)
                return unterminated("tag");
            if (s[nOffset + 3] != 'C')
                return incorrect("tag");
            int nEnd = find(nOffset + 4, "]]>");
            return nEnd < 0 ? unterminated("CDATA Section") : finish(TOKEN_CDATA, nEnd);
        }
        if (c2 == 'D') {
            // Declarations and comments of an internal subset belong to the doctype.
            int i = nOffset + 3;
            while (i < n) {
                if (s[i] == '>')
                    return finish(TOKEN_DOCTYPE, i + 1);
                if (s[i] == '<' && i + 1 < n && s[i + 1] == '!') {
                    if (i + 3 < n && s[i + 2] == '-' && s[i + 3] == '-') {
                        i = find(i + 4, "-->");
                        if (i < 0)
                            break;
                        continue;
                    }
                    int j = i + 2;
                    char quote = 0;
                    while (j < n && (quote || s[j] != '>')) {
                        if (quote ? s[j] == quote : IsQuote(s[j]))
                            quote = quote ? 0 : s[j];
                        j = step(j);
                    }
                    if (j >= n)
                        break;
                    i = j + 1;
                    continue;
                }
                i = step(i);
            }
            return unterminated("Doctype");
        }
        if (c2 == 'E' || c2 == 'A' || c2 == 'N') {
            int nEnd = find(nOffset + 3, ">");
            return nEnd < 0 ? unterminated("tag") : finish(TOKEN_DECLARATION, nEnd);
        }
        return incorrect("! tag");
    }

    if (!(cls[static_cast<unsigned char>(c1)] & CC_TAG_START))
        return incorrect("tag name character");
    return unterminated("Element tag");  // ScanStartTag found no end
}

int CXmlDoc::NameLength(int nStart) const
{
    return ScanNameLength(m_pText.get(), m_nTextLength, m_pCharClass, nStart);
}

int CXmlDoc::ScanNameLength(const char* s, int n, const unsigned char* cls, int nStart)
{
    int i = nStart + 1;
    while (i < n && !(cls[static_cast<unsigned char>(s[i])] & CC_NAME_END))
        i += (cls[static_cast<unsigned char>(s[i])] & CC_LEAD) && i + 1 < n ? 2 : 1;
    return i - (nStart + 1);
}

namespace {

// A name token of the text matches a requested name when its bytes equal the
// request's and the request ends there (or goes on with ' ', '=', '/', '[' or ']').
bool TokenMatches(const char* pToken, int nToken, const char* pszName)
{
    if (!pszName)
        return false;
    for (int i = 0; i < nToken; ++i) {
        if (pszName[i] == '\0' || pszName[i] != pToken[i])
            return false;
    }
    const char c = pszName[nToken];
    return c == '\0' || c == ' ' || c == '=' || c == '/' || c == '[' || c == ']';
}

}  // namespace

int CXmlDoc::ElementNameLength(int iRec) const
{
    const Record& r = Rec(iRec);
    const int nKept = static_cast<int>(r.nFlags >> NAME_SHIFT);
    return nKept ? nKept : NameLength(r.nStart);
}

bool CXmlDoc::NameMatches(int iRec, const char* pszName) const
{
    if (!pszName || !*pszName)
        return true;
    return TokenMatches(m_pText.get() + Rec(iRec).nStart + 1, ElementNameLength(iRec), pszName);
}

// Reads the attributes of a start tag in order and hands each to visit, until visit
// returns true. Returns where a new attribute would go: after the last token read,
// before the whitespace ahead of the closing '/>', '>' or '?>'.
//
// After the tag name the tokens are quoted strings (to the same quote), runs up to
// '=', whitespace, '>', '/' or '?', and '='; a value after '=' runs unquoted up to
// whitespace or '>'. A name without '=' is an attribute without value; a name
// token of '>', '/' or '?' ends the tag.
template <typename Visit>
int CXmlDoc::ForEachAttribute(int nTagStart, int nTagLength, bool bProcInst, Visit visit) const
{
    const char* s = m_pText.get();
    const unsigned char* cls = m_pCharClass;
    const int nEnd = nTagStart + nTagLength - (bProcInst ? 2 : 1);  // without the closing '>' or "?>"

    int i = SkipUntil(cls, s, nTagStart + (bProcInst ? 2 : 1), nEnd, CC_RUN_END);  // the tag name
    int nStop = i;
    bool bAfterEquals = false;
    bool bNamed = false;  // a name waits for its value
    Attribute a{};
    while (true) {
        while (i < nEnd && (cls[static_cast<unsigned char>(s[i])] & CC_SPACE))
            ++i;
        if (i >= nEnd)
            break;
        const char c = s[i];
        int nTokenEnd, nValueStart, nValueEnd;
        if (IsQuote(c)) {
            const int j = SkipToQuote(cls, s, i + 1, nEnd, c);
            nValueStart = i + 1;
            nValueEnd = j;
            nTokenEnd = j < nEnd ? j + 1 : nEnd;
        } else if (bAfterEquals) {
            nValueStart = i;
            nValueEnd = nTokenEnd = SkipUntil(cls, s, i, nEnd, CC_VALUE_END);
        } else if (c == '=') {
            bAfterEquals = true;
            nStop = i = i + 1;
            continue;
        } else if (c == '>' || c == '/' || c == '?') {
            break;
        } else {
            nValueStart = i;
            nValueEnd = nTokenEnd = SkipUntil(cls, s, i, nEnd, CC_RUN_END);
        }

        if (bAfterEquals) {
            bAfterEquals = false;
            if (bNamed) {
                bNamed = false;
                a.bHasValue = true;
                a.nValueStart = nValueStart;
                a.nValueLength = nValueEnd - nValueStart;
                a.nValueTokenStart = i;
                a.nValueTokenEnd = nTokenEnd;
                if (visit(a))
                    return nStop;
            }
        } else {
            if (bNamed && visit(a))  // the name before had no value
                return nStop;
            bNamed = true;
            a = Attribute{};
            a.nNameStart = nValueStart;
            a.nNameLength = nValueEnd - nValueStart;
            a.nNameTokenEnd = nTokenEnd;
        }
        nStop = i = nTokenEnd;
    }
    if (bNamed) {
        if (bAfterEquals) {  // "name=" and nothing after: an empty value
            a.bHasValue = true;
            a.nValueStart = a.nValueTokenStart = a.nValueTokenEnd = i;
        }
        visit(a);
    }
    return nStop;
}

CXmlDoc::AttributeScan CXmlDoc::ScanAttributes(int nTagStart, int nTagLength, bool bProcInst,
                                               const char* pszName) const
{
    AttributeScan r{};
    const char* s = m_pText.get();
    r.nStop = ForEachAttribute(nTagStart, nTagLength, bProcInst, [&](const Attribute& a) {
        if (!TokenMatches(s + a.nNameStart, a.nNameLength, pszName))
            return false;
        r.bFound = true;
        r.attr = a;
        return true;
    });
    return r;
}

// The value as written, unescaped; an attribute without value has its own name.
std::string CXmlDoc::AttributeValue(const Attribute& a) const
{
    return a.bHasValue ? TextValue(a.nValueStart, a.nValueLength) : TextValue(a.nNameStart, a.nNameLength);
}

std::string CXmlDoc::TextValue(int nStart, int nLength) const
{
    const char* p = m_pText.get() + nStart;
    const size_t n = static_cast<size_t>(std::max(nLength, 0));
    // Most values hold no reference: look for '&' eight bytes at a time.
    const uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
    size_t i = 0;
    bool bAmpersand = false;
    for (; i + 8 <= n && !bAmpersand; i += 8) {
        uint64_t v;
        std::memcpy(&v, p + i, 8);
        const uint64_t x = v ^ (kOnes * '&');
        bAmpersand = ((x - kOnes) & ~x & kHigh) != 0;
    }
    for (; i < n && !bAmpersand; ++i)
        bAmpersand = p[i] == '&';
    if (!bAmpersand)
        return std::string(p, n);
    std::string strValue;
    UnescapeAppend(m_pCharClass, p, nLength, strValue);
    return strValue;
}

std::string CXmlDoc::NodeAttribute(int nTagStart, int nTagLength, bool bProcInst, const char* pszName) const
{
    AttributeScan r = ScanAttributes(nTagStart, nTagLength, bProcInst, pszName);
    return r.bFound ? AttributeValue(r.attr) : std::string();
}

// The attributes of a start tag written the usual way -- name="value" or name='value'
// with names of single-byte characters, spaces between, and nothing after the last but spaces and
// '/' -- into m_aAttributes, as ForEachAttribute reads them. False, with
// m_aAttributes cleared, for any other tag.
bool CXmlDoc::KeepPlainAttributes(int nTagStart, int nTagLength) const
{
    const char* s = m_pText.get();
    const unsigned char* cls = m_pCharClass;
    const int nEnd = nTagStart + nTagLength - 1;  // without the closing '>'
    int i = SkipUntil(cls, s, nTagStart + 1, nEnd, CC_RUN_END);  // the tag name
    while (true) {
        while (i < nEnd && (cls[static_cast<unsigned char>(s[i])] & CC_SPACE))
            ++i;
        if (i >= nEnd || s[i] == '/')
            return true;
        const int nName = i;
        // Name characters: no lead byte, space, quote, '=', '>', '/' or '?'.
        while (i < nEnd && (cls[static_cast<unsigned char>(s[i])] & (CC_TAG_PLAIN | CC_RUN_END)) == CC_TAG_PLAIN)
            ++i;
        if (i == nName || i + 1 >= nEnd || s[i] != '=' || !(cls[static_cast<unsigned char>(s[i + 1])] & CC_QUOTE))
            break;
        // Up to the closing quote; plain when no '&' or high byte comes first.
        const char q = s[i + 1];
        int j = FindByteOrHigh(s, i + 2, nEnd, q, '&', q);
        const bool bPlain = j < nEnd && s[j] == q;
        if (j < nEnd && s[j] != q)
            j = SkipToQuote(cls, s, j, nEnd, q);
        if (j >= nEnd)
            break;
        m_aAttributes.push_back({nName, i - nName, i + 2, j - (i + 2), bPlain});
        i = j + 1;
    }
    m_aAttributes.clear();
    return false;
}

std::string CXmlDoc::ChildAttribute(const char* pszName) const
{
    if (!m_iPosChild)
        return std::string();
    if (m_iAttributesOf != m_iPosChild || m_nAttributesVersion != m_nTextVersion) {
        const Record& r = Rec(m_iPosChild);
        m_aAttributes.clear();
        if (!KeepPlainAttributes(r.nStart, r.StartTagLength()))
            ForEachAttribute(r.nStart, r.StartTagLength(), false, [&](const Attribute& a) {
                if (a.bHasValue)
                    m_aAttributes.push_back({a.nNameStart, a.nNameLength, a.nValueStart, a.nValueLength, false});
                else
                    m_aAttributes.push_back({a.nNameStart, a.nNameLength, a.nNameStart, a.nNameLength, false});
                return false;
            });
        m_iAttributesOf = m_iPosChild;
        m_nAttributesVersion = m_nTextVersion;
    }
    const char* s = m_pText.get();
    for (const KeptAttribute& a : m_aAttributes) {
        if (!TokenMatches(s + a.nNameStart, a.nNameLength, pszName))
            continue;
        if (a.bPlain)
            return std::string(s + a.nValueStart, static_cast<size_t>(a.nValueLength));
        return TextValue(a.nValueStart, a.nValueLength);
    }
    return std::string();
}
