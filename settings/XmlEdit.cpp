// CXmlDoc edits: attributes set, empty elements added and removed. Each edit splices
// the text in place and then patches the records, so both stay consistent.
#include "XmlDoc.h"
#include "XmlInternal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace xmlint;

// Links iNew as a child of iParent after iAfter, or as the first child when iAfter is 0.
void CXmlDoc::LinkChild(int iParent, int iAfter, int iNew)
{
    Record& n = Rec(iNew);
    n.iParent = iParent;
    const int iFirst = Rec(iParent).iFirstChild;
    if (!iFirst) {
        Rec(iParent).iFirstChild = iNew;
        n.iPrev = iNew;
        n.iNext = 0;
        n.nFlags |= REC_FIRST;
    } else if (!iAfter) {
        Record& first = Rec(iFirst);
        n.iNext = iFirst;
        n.iPrev = first.iPrev;
        n.nFlags |= REC_FIRST;
        first.iPrev = iNew;
        first.nFlags &= ~static_cast<uint32_t>(REC_FIRST);
        Rec(iParent).iFirstChild = iNew;
    } else {
        const int iNext = Rec(iAfter).iNext;
        n.iPrev = iAfter;
        n.iNext = iNext;
        n.nFlags &= ~static_cast<uint32_t>(REC_FIRST);
        Rec(iAfter).iNext = iNew;
        Rec(iNext ? iNext : iFirst).iPrev = iNew;
    }
}

void CXmlDoc::UnlinkChild(int iChild)
{
    const Record& c = Rec(iChild);
    Record& p = Rec(c.iParent);
    if (p.iFirstChild == iChild) {
        p.iFirstChild = c.iNext;
        if (c.iNext) {
            Rec(c.iNext).iPrev = c.iPrev;
            Rec(c.iNext).nFlags |= REC_FIRST;
        }
    } else {
        Rec(c.iPrev).iNext = c.iNext;
        Rec(c.iNext ? c.iNext : p.iFirstChild).iPrev = c.iPrev;
    }
}

// After an edit of nDelta bytes at iElem: every element that follows it in document
// order (its own children too, unless the edit spanned them) moves, and every
// enclosing element up to the document grows.
void CXmlDoc::PatchOffsets(int iElem, int nDelta, bool bSpansChildren)
{
    for (int a = Rec(iElem).iParent;; a = Rec(a).iParent) {
        Rec(a).nLength += nDelta;
        if (!a)
            break;
    }
    int i = iElem;
    bool bDescend = !bSpansChildren;
    for (;;) {
        if (bDescend && Rec(i).iFirstChild) {
            i = Rec(i).iFirstChild;
        } else {
            while (i && !Rec(i).iNext)
                i = Rec(i).iParent;
            if (!i)
                break;
            i = Rec(i).iNext;
        }
        bDescend = true;
        Rec(i).nStart += nDelta;
    }
}

// Whether r's start tag, with nOldLength bytes at nOffset replaced by strNew, is
// still one start tag of that length and name that closes its element exactly when
// r's did.
bool CXmlDoc::TagReadsBack(const Record& r, int nOffset, int nOldLength, const std::string& strNew) const
{
    std::string strTag(m_pText.get() + r.nStart, static_cast<size_t>(r.StartTagLength()));
    strTag.replace(static_cast<size_t>(nOffset - r.nStart), static_cast<size_t>(nOldLength), strNew);
    const Token t = ScanToken(strTag.data(), static_cast<int>(strTag.size()), m_pCharClass, 0);
    const bool bSelfClosing = r.IsEmpty() && !(r.nFlags & REC_NOT_ENDED);
    return t.nType == TOKEN_START_TAG && t.nLength == static_cast<int>(strTag.size()) && t.bEmpty == bSelfClosing &&
           t.nNameLength == NameLength(r.nStart);
}

bool CXmlDoc::SetAttribute(const char* pszName, const char* pszValue)
{
    if (!m_iPos || !pszName)
        return false;
    std::string strValue = "\"";
    if (pszValue)
        EscapeAppend(m_pCharClass, pszValue, static_cast<int>(std::strlen(pszValue)), strValue);
    strValue += '"';

    Record& r = Rec(m_iPos);
    AttributeScan a = ScanAttributes(r.nStart, r.StartTagLength(), false, pszName);
    int nOffset, nOldLength = 0;
    std::string strNew;
    if (a.bFound && a.attr.bHasValue) {
        nOffset = a.attr.nValueTokenStart;  // the old value with its quotes
        nOldLength = a.attr.nValueTokenEnd - a.attr.nValueTokenStart;
        strNew = strValue;
    } else if (a.bFound) {
        nOffset = a.attr.nNameTokenEnd;  // a name without value gets one
        strNew = "=" + strValue;
    } else {
        nOffset = a.nStop;
        strNew = std::string(" ") + pszName + "=" + strValue;
    }
    const int nDelta = static_cast<int>(strNew.size()) - nOldLength;
    if (r.StartTagLength() + static_cast<long long>(nDelta) > static_cast<long long>(START_TAG_MAX))
        return false;

    // The tag must still read as the same tag: in "<a x/>" the '/' follows an
    // attribute name and does not close the element, but after "x" got a quoted value
    // it would; in "<a?b>" the name is "a?b", where the attribute scan stops at "a".
    // A new attribute then goes right after the name; a value for such an attribute
    // is refused.
    if (!TagReadsBack(r, nOffset, nOldLength, strNew)) {
        if (a.bFound)
            return false;
        nOffset = r.nStart + 1 + NameLength(r.nStart);
        if (!TagReadsBack(r, nOffset, nOldLength, strNew))
            return false;
    }
    if (!ReplaceText(nOffset, nOldLength, strNew.data(), static_cast<int>(strNew.size())))
        return false;
    r.nLength += nDelta;
    r.SetTagLengths(r.StartTagLength() + nDelta, r.EndTagLength());
    PatchOffsets(m_iPos, nDelta, false);
    return true;
}

bool CXmlDoc::SetAttribute(const char* pszName, int nValue)
{
    char szValue[16];
    std::snprintf(szValue, sizeof szValue, "%d", nValue);
    return SetAttribute(pszName, szValue);
}

bool CXmlDoc::AppendElement(const char* pszName)
{
    return AddElement(pszName, false);
}

bool CXmlDoc::InsertElementBefore(const char* pszName)
{
    return AddElement(pszName, true);
}

// From nOffset over whitespace, when the whitespace runs up to a tag or to the end.
int CXmlDoc::SkipWhitespaceToTag(int nOffset) const
{
    int i = nOffset;
    while (i < m_nTextLength && (m_pCharClass[static_cast<unsigned char>(m_pText[i])] & CC_SPACE))
        ++i;
    return i == m_nTextLength || m_pText[i] == '<' ? i : nOffset;
}

// Whether an element added at the very end of the text would be read as one. Text
// that ends inside an unfinished construct (an open comment, a lone lead byte, ...)
// would swallow it; only what follows the last top-level element can do that.
bool CXmlDoc::ReadsBackAtEnd(const std::string& strElement) const
{
    const int iTop = Rec(0).iFirstChild;
    const int nTail = iTop ? Rec(Rec(iTop).iPrev).End() : 0;
    std::string strProbe(m_pText.get() + nTail, static_cast<size_t>(m_nTextLength - nTail));
    const int nAt = static_cast<int>(strProbe.size());
    strProbe += strElement;
    CXmlDoc probe;
    probe.SetDocument(strProbe);
    for (int i = probe.Rec(0).iFirstChild; i; i = probe.Rec(i).iNext) {
        if (probe.Rec(i).nStart == nAt)
            return probe.Rec(i).nLength == static_cast<int>(strElement.size()) - 2;
    }
    return false;
}

bool CXmlDoc::AddElement(const char* pszName, bool bInsertBefore)
{
    // The name must read back as this element's name: no markup or spacing in it.
    if (!pszName || !(m_pCharClass[static_cast<unsigned char>(pszName[0])] & CC_TAG_START))
        return false;
    const int nName = static_cast<int>(std::strlen(pszName));
    for (int i = 0; i < nName; ++i) {
        const unsigned char c = static_cast<unsigned char>(pszName[i]);
        if ((m_pCharClass[c] & CC_NAME_END) || std::strchr("<\"'=", c))
            return false;
        if (m_pCharClass[c] & CC_LEAD) {
            if (i + 1 == nName)
                return false;  // would take the '/' after it as its second byte
            ++i;
        }
    }
    if (nName + 3 > static_cast<int>(START_TAG_MAX))
        return false;

    const int iParent = m_iPosParent;
    const int iRef = m_iPos;
    const std::string strElement = std::string("<") + pszName + "/>";
    const Record& p = Rec(iParent);
    const int nParentName = iParent ? ElementNameLength(iParent) : 0;

    enum { PLAIN, FROM_SELF_CLOSING, FROM_NOT_ENDED, INTO_EMPTY_CONTENT } nShape = PLAIN;
    if (iParent && p.IsEmpty())
        nShape = (p.nFlags & REC_NOT_ENDED) ? FROM_NOT_ENDED : FROM_SELF_CLOSING;
    else if (iParent && p.ContentLength() == 0)
        nShape = INTO_EMPTY_CONTENT;
    if (nShape == FROM_SELF_CLOSING || nShape == FROM_NOT_ENDED) {
        if (nParentName + 3 > static_cast<int>(END_TAG_MAX))
            return false;
    }

    int nOffset, nOldLength = 0, nElementAt;
    std::string strNew;
    const std::string strEndTag = "</" + std::string(m_pText.get() + p.nStart + 1, static_cast<size_t>(nParentName));
    switch (nShape) {
    case FROM_SELF_CLOSING:  // <p/> becomes <p> CRLF <name/> CRLF </p>
        nOffset = p.nStart + p.StartTagLength() - 2;
        nOldLength = 1;
        strNew = ">\r\n" + strElement + "\r\n" + strEndTag;
        nElementAt = nOffset + 3;
        break;
    case FROM_NOT_ENDED:  // a start tag that was never ended gets its end tag now
        nOffset = p.nStart + p.StartTagLength();
        strNew = "\r\n" + strElement + "\r\n" + strEndTag + ">";
        nElementAt = nOffset + 2;
        break;
    case INTO_EMPTY_CONTENT:
        nOffset = p.ContentStart();
        strNew = "\r\n" + strElement + "\r\n";
        nElementAt = nOffset + 2;
        break;
    default:
        if (bInsertBefore)
            nOffset = iRef ? Rec(iRef).nStart : p.ContentStart();
        else
            nOffset = iRef ? Rec(iRef).End() : p.End() - p.EndTagLength();
        nOffset = SkipWhitespaceToTag(nOffset);
        strNew = strElement + "\r\n";
        nElementAt = nOffset;
        if (!iParent && nOffset == m_nTextLength && !ReadsBackAtEnd(strNew))
            return false;
        break;
    }
    const int nDelta = static_cast<int>(strNew.size()) - nOldLength;
    if (!ReplaceText(nOffset, nOldLength, strNew.data(), static_cast<int>(strNew.size())))
        return false;

    const int iNew = NewRecord();  // may move records: no references kept across it
    Record& n = Rec(iNew);
    n.nStart = nElementAt;
    n.nLength = nName + 3;
    n.SetTagLengths(nName + 3, 0);
    n.nFlags = (iParent ? std::min<uint32_t>((Rec(iParent).nFlags & DEPTH_MASK) + 1, DEPTH_MASK) : 0) | NameBits(nName);

    int iAfter;
    if (bInsertBefore)
        iAfter = iRef && Rec(iParent).iFirstChild != iRef ? Rec(iRef).iPrev : 0;
    else
        iAfter = iRef ? iRef : (Rec(iParent).iFirstChild ? Rec(Rec(iParent).iFirstChild).iPrev : 0);
    LinkChild(iParent, iAfter, iNew);

    if (nShape == FROM_SELF_CLOSING || nShape == FROM_NOT_ENDED) {
        Record& q = Rec(iParent);
        const int nStartTag = q.StartTagLength() - nOldLength;
        q.nLength += nDelta;
        q.SetTagLengths(nStartTag, nParentName + 3);
        q.nFlags &= ~static_cast<uint32_t>(REC_NOT_ENDED);
        PatchOffsets(iParent, nDelta, true);
    } else {
        PatchOffsets(iNew, nDelta, false);
    }
    SetPosition(iParent, iNew, 0);
    return true;
}

bool CXmlDoc::RemoveChildElement()
{
    const int iChild = m_iPosChild;
    if (!iChild)
        return false;
    const Record& c = Rec(iChild);
    const int nStart = c.nStart;
    int nEnd = c.End();
    nEnd = SkipWhitespaceToTag(nEnd);  // the line break after the element goes with it

    // Stray markup right before the element ("<", "<!", "<!-", "<![" cut short by
    // the element's '<') would meet the text after it and turn into a tag or a
    // comment; such a removal is refused.
    if (nEnd < m_nTextLength && m_pText[nEnd] != '<') {
        const int iPrev = Rec(Rec(iChild).iParent).iFirstChild == iChild ? 0 : Rec(iChild).iPrev;
        const int iParent = Rec(iChild).iParent;
        int nOffset = iPrev ? Rec(iPrev).End() : (iParent ? Rec(iParent).ContentStart() : 0);
        Token t{};
        while (nOffset < nStart) {
            t = NextToken(nOffset);
            nOffset = t.nStart + t.nLength;
        }
        if (t.nType == TOKEN_ERROR && t.nLength <= 3 && nOffset == nStart)
            return false;
    }
    ReplaceText(nStart, nEnd - nStart, nullptr, 0);
    PatchOffsets(iChild, nStart - nEnd, true);

    const int iPrevSibling = Rec(Rec(iChild).iParent).iFirstChild == iChild ? 0 : Rec(iChild).iPrev;
    UnlinkChild(iChild);

    // The removed element and everything below it are released, not reused.
    Rec(iChild).nFlags |= REC_RELEASED;
    for (int i = Rec(iChild).iFirstChild; i;) {
        Rec(i).nFlags |= REC_RELEASED;
        if (Rec(i).iFirstChild) {
            i = Rec(i).iFirstChild;
            continue;
        }
        while (i != iChild && !Rec(i).iNext)
            i = Rec(i).iParent;
        i = i == iChild ? 0 : Rec(i).iNext;
    }
    SetPosition(m_iPosParent, m_iPos, iPrevSibling);
    return true;
}
