// CXmlDoc: record table, text buffer, parsing with repair, and navigation.
#include "XmlDoc.h"
#include "XmlInternal.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_map>

using namespace xmlint;

namespace {

const int kBlockSize = 0x10000;

// "%.50s" of a name that lies in the text (not NUL-terminated).
std::string Quoted50(const char* p, int n)
{
    return std::string(p, static_cast<size_t>(std::min(n, 50))).c_str();
}

}  // namespace

CXmlDoc::CXmlDoc() : m_pCharClass(CharClasses())
{
    SetDocument(nullptr, 0);
}

CXmlDoc::~CXmlDoc() = default;

// --- record table -------------------------------------------------------------------

void CXmlDoc::ResetRecords(int nSize)
{
    m_aBlocks.clear();
    m_nRecUsed = 0;
    if (nSize <= kBlockSize) {
        m_aBlocks.emplace_back(new Record[static_cast<size_t>(nSize)]);
        m_nRecCapacity = nSize;
        return;
    }
    for (m_nRecCapacity = 0; m_nRecCapacity < nSize; m_nRecCapacity += kBlockSize)
        m_aBlocks.emplace_back(new Record[kBlockSize]);
}

int CXmlDoc::NewRecord()
{
    if (m_nRecUsed == m_nRecCapacity) {
        // Grow to one and a half times the records in use: the first block by
        // reallocation up to a whole block, then whole blocks.
        long long nWant = std::max<long long>(m_nRecUsed + m_nRecUsed / 2, m_nRecUsed + 1);
        if (m_nRecCapacity < kBlockSize) {
            int nNew = static_cast<int>(std::min<long long>(nWant, kBlockSize));
            std::unique_ptr<Record[]> pBlock(new Record[static_cast<size_t>(nNew)]);
            std::copy(m_aBlocks[0].get(), m_aBlocks[0].get() + m_nRecUsed, pBlock.get());
            m_aBlocks[0] = std::move(pBlock);
            m_nRecCapacity = nNew;
        } else {
            while (m_nRecCapacity < nWant) {
                m_aBlocks.emplace_back(new Record[kBlockSize]);
                m_nRecCapacity += kBlockSize;
            }
        }
    }
    int i = m_nRecUsed++;
    Rec(i) = Record{};
    return i;
}

// --- text buffer --------------------------------------------------------------------

void CXmlDoc::AssignText(std::unique_ptr<char[]> pBuffer, int nFront, int nLength, int nCapacity)
{
    ++m_nTextVersion;
    m_pBuffer = std::move(pBuffer);
    m_pText.p = m_pBuffer.get() + nFront;
    m_nTextFront = nFront;
    m_nTextLength = nLength;
    m_nTextCapacity = nCapacity;
}

void CXmlDoc::ReserveText(int nNeeded)
{
    if (m_nTextFront + nNeeded <= m_nTextCapacity)
        return;
    if (nNeeded <= m_nTextCapacity) {  // the slack in front makes room
        std::memmove(m_pBuffer.get(), m_pText.get(), static_cast<size_t>(m_nTextLength));
        m_pText.p = m_pBuffer.get();
        m_nTextFront = 0;
        return;
    }
    long long nNew = static_cast<long long>(nNeeded) + nNeeded / 2 + 128;
    nNew += nNew / 100;
    nNew = std::min<long long>(nNew, INT_MAX);
    std::unique_ptr<char[]> pText(new char[static_cast<size_t>(nNew)]);
    if (m_nTextLength)
        std::memcpy(pText.get(), m_pText.get(), static_cast<size_t>(m_nTextLength));
    AssignText(std::move(pText), 0, m_nTextLength, static_cast<int>(nNew));
}

bool CXmlDoc::ReplaceText(int nOffset, int nOldLength, const char* pNew, int nNewLength)
{
    long long nLength = static_cast<long long>(m_nTextLength) - nOldLength + nNewLength;
    if (nLength > INT_MAX / 2)
        return false;  // offsets must stay far from overflow
    ++m_nTextVersion;
    const int nDelta = nNewLength - nOldLength;
    const int nTail = m_nTextLength - nOffset - nOldLength;
    if (nOffset < nTail && nDelta <= m_nTextFront) {
        // The part before moves: into the slack in front, or back into it when shrinking.
        char* pStart = m_pText.get() - nDelta;
        std::memmove(pStart, m_pText.get(), static_cast<size_t>(nOffset));
        m_pText.p = pStart;
        m_nTextFront -= nDelta;
    } else {
        ReserveText(static_cast<int>(nLength));
        char* s = m_pText.get();
        std::memmove(s + nOffset + nNewLength, s + nOffset + nOldLength, static_cast<size_t>(nTail));
    }
    if (nNewLength)
        std::memcpy(m_pText.get() + nOffset, pNew, static_cast<size_t>(nNewLength));
    m_nTextLength = static_cast<int>(nLength);
    return true;
}

bool CXmlDoc::SetDocument(const char* pText, int nLength)
{
    nLength = pText ? std::max(nLength, 0) : 0;
    int nCapacity = nLength + nLength / 100 + 1;
    const int nFront = FrontSlack(nLength, nCapacity);
    std::unique_ptr<char[]> pBuffer(new char[static_cast<size_t>(nCapacity)]);
    if (nLength)
        std::memcpy(pBuffer.get() + nFront, pText, static_cast<size_t>(nLength));
    AssignText(std::move(pBuffer), nFront, nLength, nCapacity);
    m_strResult.clear();
    Parse();
    return IsWellFormed();
}

// --- parse --------------------------------------------------------------------------

void CXmlDoc::RefreshDepths(int iRoot)
{
    // Pre-order walk below iRoot: every element one deeper than its parent.
    int i = Rec(iRoot).iFirstChild;
    while (i) {
        Record& r = Rec(i);
        uint32_t nDepth = std::min<uint32_t>((Rec(r.iParent).nFlags & DEPTH_MASK) + 1, DEPTH_MASK);
        if (r.iParent == 0)
            nDepth = 0;
        r.nFlags = (r.nFlags & ~static_cast<uint32_t>(DEPTH_MASK)) | nDepth;
        if (r.iFirstChild) {
            i = r.iFirstChild;
            continue;
        }
        while (i != iRoot && !Rec(i).iNext)
            i = Rec(i).iParent;
        i = i == iRoot ? 0 : Rec(i).iNext;
    }
}

// Closes aOpen[nKeep..] as not ended, innermost first. Each becomes empty and its
// children move up behind it, so the outermost one is followed, under its parent,
// by everything that was inside the closed elements, in document order.
//
// The moved children get their new depth here; the elements below them keep their
// old one. Returns true when any such element exists: the caller refreshes the
// depths of the whole tree once at the end of the parse. Refreshing each moved
// subtree here instead would walk a subtree again every time it moves, and a
// subtree moves once for every element closed around it.
bool CXmlDoc::CloseNotEnded(std::vector<int>& aOpen, size_t nKeep)
{
    if (aOpen.size() <= nKeep)
        return false;
    for (size_t k = aOpen.size() - 1; k > nKeep; --k) {
        if (Rec(aOpen[k]).nFlags & REC_INNER_ERROR)
            Rec(aOpen[k - 1]).nFlags |= REC_INNER_ERROR;
    }
    const int iTarget = Rec(aOpen[nKeep]).iParent;
    if (Rec(aOpen[nKeep]).nFlags & REC_INNER_ERROR)
        Rec(iTarget).nFlags |= REC_INNER_ERROR;
    const uint32_t nDepth = iTarget ? std::min<uint32_t>((Rec(iTarget).nFlags & DEPTH_MASK) + 1, DEPTH_MASK) : 0;

    bool bStaleBelow = false;
    int iLast = aOpen[nKeep];
    for (size_t k = nKeep; k < aOpen.size(); ++k) {
        Record& o = Rec(aOpen[k]);
        int iChild = o.iFirstChild;
        o.iFirstChild = 0;
        o.nLength = o.StartTagLength();
        o.SetTagLengths(o.StartTagLength(), 0);
        o.nFlags |= REC_NOT_ENDED;
        const int iNextOpen = k + 1 < aOpen.size() ? aOpen[k + 1] : 0;
        while (iChild) {
            Record& c = Rec(iChild);
            const int iNext = c.iNext;
            c.iParent = iTarget;
            c.nFlags = (c.nFlags & ~(REC_FIRST | static_cast<uint32_t>(DEPTH_MASK))) | nDepth;
            Rec(iLast).iNext = iChild;
            c.iPrev = iLast;
            c.iNext = 0;
            if (iChild != iNextOpen && c.iFirstChild)
                bStaleBelow = true;
            iLast = iChild;
            iChild = iNext;
        }
    }
    Rec(Rec(iTarget).iFirstChild).iPrev = iLast;
    Rec(0).nFlags |= REC_DOC_ERROR;
    aOpen.resize(nKeep);
    return bStaleBelow;
}

namespace {

// The open elements by name, for end tags that do not close the innermost one:
// for each name the innermost open element of that name, and for each open element
// the next one out with the same name. An end tag is then matched without walking
// the open elements, which a run of stray end tags inside deep nesting would
// otherwise do once per tag.
class OpenNames
{
public:
    bool IsBuilt() const { return m_bBuilt; }
    // From the nOpen elements open now (names by position).
    template <typename NameAt>
    void Build(size_t nOpen, NameAt nameAt)
    {
        m_bBuilt = true;
        for (size_t k = 0; k < nOpen; ++k)
            Push(nameAt(k));
    }
    // The element at the next position opens.
    void Push(std::string_view name)
    {
        m_nLongest = std::max(m_nLongest, name.size());
        auto [it, bNew] = m_innermost.try_emplace(name, static_cast<int>(m_outer.size()));
        m_outer.push_back(bNew ? -1 : it->second);
        it->second = static_cast<int>(m_outer.size()) - 1;
    }
    // The elements from position nKeep on close, innermost first (names by position).
    template <typename NameAt>
    void Truncate(size_t nKeep, NameAt nameAt)
    {
        while (m_outer.size() > nKeep) {
            const size_t k = m_outer.size() - 1;
            auto it = m_innermost.find(nameAt(k));
            if (m_outer[k] < 0)
                m_innermost.erase(it);
            else
                it->second = m_outer[k];
            m_outer.pop_back();
        }
    }
    // The position of the innermost open element of that name, -1 if none is open.
    int Innermost(std::string_view name) const
    {
        auto it = m_innermost.find(name);
        return it == m_innermost.end() ? -1 : it->second;
    }
    // No open element has had a longer name.
    size_t LongestName() const { return m_nLongest; }

private:
    bool m_bBuilt = false;
    size_t m_nLongest = 0;
    std::unordered_map<std::string_view, int> m_innermost;
    std::vector<int> m_outer;
};

// An end tag's name ends the open element whose name it equals, or begins with when
// the rest starts with '=', '/', '[' or ']'. The end tag's name runs to whitespace
// or '>', so a space never follows here.
bool EndTagNameMatches(std::string_view endName, std::string_view openName)
{
    if (endName.size() < openName.size() || endName.compare(0, openName.size(), openName) != 0)
        return false;
    if (endName.size() == openName.size())
        return true;
    const char c = endName[openName.size()];
    return c == '=' || c == '/' || c == '[' || c == ']';
}

}  // namespace

void CXmlDoc::Parse()
{
    ResetRecords(m_nTextLength / 64 + 8);
    SetPosition(0, 0, 0);
    std::string strSaved;
    strSaved.swap(m_strResult);

    const char* s = m_pText.get();
    NewRecord();
    Rec(0).nLength = m_nTextLength;

    std::vector<int> aOpen;       // records of the open elements, outermost first
    std::vector<int> aOpenName;   // their name lengths
    OpenNames names;              // built at the first end tag that is not the innermost's
    auto openName = [&](size_t k) {
        return std::string_view(s + Rec(aOpen[k]).nStart + 1, static_cast<size_t>(aOpenName[k]));
    };
    bool bDepthsStale = false;
    std::string strError;
    char szError[256];
    auto error = [&](const char* pszFormat, const std::string& a, int n1, const std::string& b, int n2) {
        if (strError.empty()) {
            std::snprintf(szError, sizeof szError, pszFormat, a.c_str(), n1, b.c_str(), n2);
            strError = szError;
        }
    };
    auto markError = [&] {
        Rec(0).nFlags |= REC_DOC_ERROR;
        Rec(aOpen.empty() ? 0 : aOpen.back()).nFlags |= REC_INNER_ERROR;
    };

    for (int nOffset = 0;;) {
        // Whitespace between tags is no token the parse keeps (and no lead byte).
        while (nOffset < m_nTextLength && (m_pCharClass[static_cast<unsigned char>(s[nOffset])] & CC_SPACE))
            ++nOffset;
        // Start tags straight to their scan, the rest through the token scan.
        Token t{TOKEN_END, nOffset, 0, 0, false, nullptr, false};
        if (nOffset + 1 >= m_nTextLength || s[nOffset] != '<' ||
            !(m_pCharClass[static_cast<unsigned char>(s[nOffset + 1])] & CC_TAG_START) ||
            !ScanStartTag(s, m_nTextLength, m_pCharClass, nOffset, t))
            t = NextToken(nOffset);
        if (t.nType == TOKEN_END)
            break;
        nOffset = t.nStart + t.nLength;
        if ((t.nType == TOKEN_START_TAG && t.nLength > static_cast<int>(START_TAG_MAX)) ||
            (t.nType == TOKEN_END_TAG && t.nLength > static_cast<int>(END_TAG_MAX))) {
            // Longer than a record can hold: refused like a malformed tag.
            t.nType = TOKEN_ERROR;
            t.pszError = "tag";
            t.bUnterminated = false;
        }

        if (t.nType == TOKEN_START_TAG) {
            const int iParent = aOpen.empty() ? 0 : aOpen.back();
            const int iNew = NewRecord();
            Record& r = Rec(iNew);
            r.nStart = t.nStart;
            r.nFlags = std::min<uint32_t>(static_cast<uint32_t>(aOpen.size()), DEPTH_MASK) | NameBits(t.nNameLength);
            if (t.bEmpty) {
                r.nLength = t.nLength;
                r.SetTagLengths(t.nLength, 0);
            } else {
                r.SetTagLengths(t.nLength, 0);
                aOpen.push_back(iNew);
                aOpenName.push_back(t.nNameLength);
                if (names.IsBuilt())
                    names.Push(openName(aOpen.size() - 1));
            }
            const int iLastChild = Rec(iParent).iFirstChild ? Rec(Rec(iParent).iFirstChild).iPrev : 0;
            LinkChild(iParent, iLastChild, iNew);
        } else if (t.nType == TOKEN_END_TAG) {
            const char* pName = s + t.nStart + 2;
            const std::string_view name(pName, static_cast<size_t>(t.nNameLength));
            // k: one past the innermost open element whose name the end tag's matches, 0
            // if there is none. As everywhere, the start tag's name may be followed in the
            // end tag by '=', '/', '[' or ']' ("</a/>" ends "<a>"), so each such cut of
            // the end tag's name is a name that may be open.
            size_t k = aOpen.size();
            if (k == 0 || !EndTagNameMatches(name, openName(k - 1))) {
                if (!names.IsBuilt())
                    names.Build(aOpen.size(), openName);
                int nInnermost = names.Innermost(name);
                const size_t nCuts = std::min(name.size(), names.LongestName() + 1);
                // By characters: '[' and ']' can be the trail byte of a two-byte one.
                for (size_t nCut = 0; nCut < nCuts;
                     nCut += (m_pCharClass[static_cast<unsigned char>(name[nCut])] & CC_LEAD) ? 2 : 1) {
                    const char c = name[nCut];
                    if (c == '=' || c == '/' || c == '[' || c == ']')
                        nInnermost = std::max(nInnermost, names.Innermost(name.substr(0, nCut)));
                    if (c == '/')
                        break;  // a start tag's name never holds a '/'
                }
                k = static_cast<size_t>(nInnermost + 1);
            }
            if (k == 0) {
                markError();
                error("No start tag for end tag '%s' at offset %d", Quoted50(pName, t.nNameLength), t.nStart,
                      std::string(), 0);
                continue;
            }
            const int iFound = aOpen[k - 1];
            if (k < aOpen.size()) {
                const Record& inner = Rec(aOpen.back());
                error("End tag '%s' at offset %d does not match start tag '%s' at offset %d",
                      Quoted50(pName, t.nNameLength), t.nStart + 1,
                      Quoted50(s + inner.nStart + 1, aOpenName.back()), inner.nStart);
                if (names.IsBuilt())
                    names.Truncate(k, openName);
                bDepthsStale |= CloseNotEnded(aOpen, k);
                aOpenName.resize(k);
            }
            Record& r = Rec(iFound);
            r.nLength = nOffset - r.nStart;
            r.SetTagLengths(r.StartTagLength(), t.nLength);
            if (names.IsBuilt())
                names.Truncate(k - 1, openName);
            aOpen.pop_back();
            aOpenName.pop_back();
        } else if (t.nType == TOKEN_ERROR) {
            markError();
            error(t.bUnterminated ? "%s at offset %d unterminated" : "Incorrect %s at offset %d", t.pszError,
                  t.nStart, std::string(), 0);
        }
    }

    if (!aOpen.empty()) {
        const Record& inner = Rec(aOpen.back());
        error("Element '%s' at offset %d not ended", Quoted50(s + inner.nStart + 1, aOpenName.back()), inner.nStart,
              std::string(), 0);
        bDepthsStale |= CloseNotEnded(aOpen, 0);
    }
    if (bDepthsStale)
        RefreshDepths(0);

    const int iTop = Rec(0).iFirstChild;
    if (m_nTextLength == 0)
        strError = "Empty document";
    else if (!iTop)
        strError = "No root element";
    else if (Rec(iTop).iNext)
        strError = "Root element has sibling";

    if (strSaved.empty())
        m_strResult = strError;
    else
        m_strResult = strError.empty() ? strSaved : strSaved + ", " + strError;
    SetPosition(0, 0, 0);
}

bool CXmlDoc::IsWellFormed() const
{
    if (m_nRecUsed == 0 || (Rec(0).nFlags & REC_DOC_ERROR))
        return false;
    const int iTop = Rec(0).iFirstChild;
    return iTop && !Rec(iTop).iNext;
}

// --- navigation ---------------------------------------------------------------------

void CXmlDoc::RewindElements()
{
    SetPosition(m_iPosParent, 0, 0);
}

bool CXmlDoc::FindElement(const char* pszName)
{
    int i = m_iPos ? Rec(m_iPos).iNext : Rec(m_iPosParent).iFirstChild;
    for (; i; i = Rec(i).iNext) {
        if (NameMatches(i, pszName)) {
            SetPosition(Rec(i).iParent, i, 0);
            return true;
        }
    }
    return false;
}

bool CXmlDoc::FindChildElement(const char* pszName)
{
    if (!m_iPos && !FindElement(nullptr))
        return false;
    int i = m_iPosChild ? Rec(m_iPosChild).iNext : Rec(m_iPos).iFirstChild;
    for (; i; i = Rec(i).iNext) {
        if (NameMatches(i, pszName)) {
            SetPosition(m_iPosParent, m_iPos, i);
            return true;
        }
    }
    return false;
}

bool CXmlDoc::EnterElement()
{
    if (!m_iPos)
        return false;
    SetPosition(m_iPos, m_iPosChild, 0);
    return true;
}

bool CXmlDoc::LeaveElement()
{
    if (!m_iPosParent)
        return false;
    SetPosition(Rec(m_iPosParent).iParent, m_iPosParent, m_iPos);
    return true;
}
