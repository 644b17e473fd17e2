// CXmlDoc: the XML reader and editor behind every settings file.
//
// The document is the literal file text in one byte buffer (ANSI code page, GBK on
// our systems) plus a table of element records pointing into that text. Edits splice
// the text in place and patch the records, so everything not touched -- comments,
// spacing, other elements -- is written back byte for byte. Values live in
// attributes only; element text content is never read or written.
//
// Navigation state is a position: the parent whose children are walked, the current
// element (a child of the parent) and the current child (a child of the current
// element). 0 means "none"; record 0 is the document itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CXmlDocInspector;  // test access to the record table

class CXmlDoc
{
public:
    CXmlDoc();
    CXmlDoc(const CXmlDoc&) = delete;
    CXmlDoc& operator=(const CXmlDoc&) = delete;
    ~CXmlDoc();

    // Files. LoadFile is true only if the file was opened and is well formed; when
    // the file cannot be opened the previous contents stay. SaveFile writes the whole
    // text (UTF-8 on disk unless another encoding is declared) and is true when the
    // target was replaced by the complete new contents.
    bool LoadFile(const char* pszPath);
    bool SaveFile(const char* pszPath);
    bool LoadFile(const std::string& strPath) { return LoadFile(strPath.c_str()); }
    bool SaveFile(const std::string& strPath) { return SaveFile(strPath.c_str()); }

    // Replaces the text and parses it; true when well formed.
    bool SetDocument(const char* pText, int nLength);
    bool SetDocument(const std::string& strText) { return SetDocument(strText.data(), static_cast<int>(strText.size())); }

    // Navigation. An empty (or null) name matches any element.
    void RewindElements();
    bool FindElement(const char* pszName = nullptr);
    bool FindChildElement(const char* pszName = nullptr);
    bool EnterElement();
    bool LeaveElement();

    // Attributes: ChildAttribute reads the current child, SetAttribute writes the
    // current element.
    std::string ChildAttribute(const char* pszName) const;
    bool SetAttribute(const char* pszName, const char* pszValue);
    bool SetAttribute(const char* pszName, const std::string& strValue) { return SetAttribute(pszName, strValue.c_str()); }
    bool SetAttribute(const char* pszName, int nValue);

    // Structure edits: new elements are empty ("<name/>").
    bool AppendElement(const char* pszName);
    bool InsertElementBefore(const char* pszName);
    bool RemoveChildElement();

    bool IsWellFormed() const;
    std::string DeclaredEncoding() const;

    // The text of the last load, save or parse ("123 bytes", the first structure
    // error, the system's error text).
    const std::string& GetResult() const { return m_strResult; }
    std::string GetDocument() const { return std::string(m_pText.get(), static_cast<size_t>(m_nTextLength)); }

private:
    friend class CXmlDocInspector;

    struct Record
    {
        int32_t nStart;         // offset of the '<' of the start tag
        int32_t nLength;        // through the end of the end tag (the tag itself when empty)
        uint32_t nTagLengths;   // low 22 bits start tag, high 10 bits end tag
        uint32_t nFlags;        // low 16 bits depth, then the REC_ bits, high 11 bits the name's length (0: not kept)
        int32_t iParent;
        int32_t iFirstChild;
        int32_t iNext;
        int32_t iPrev;          // the first child holds the last sibling

        int StartTagLength() const { return static_cast<int>(nTagLengths & START_TAG_MAX); }
        int EndTagLength() const { return static_cast<int>(nTagLengths >> 22); }
        void SetTagLengths(int nStartTag, int nEndTag)
        {
            nTagLengths = static_cast<uint32_t>(nStartTag) | (static_cast<uint32_t>(nEndTag) << 22);
        }
        bool IsEmpty() const { return StartTagLength() == nLength; }
        int ContentStart() const { return nStart + StartTagLength(); }
        int ContentLength() const { return nLength - StartTagLength() - EndTagLength(); }
        int End() const { return nStart + nLength; }
    };

    enum : uint32_t
    {
        START_TAG_MAX = 0x3FFFFF,
        END_TAG_MAX = 0x3FF,
        DEPTH_MASK = 0xFFFF,
        REC_FIRST = 0x10000,
        REC_NOT_ENDED = 0x20000,
        REC_INNER_ERROR = 0x40000,
        REC_DOC_ERROR = 0x80000,
        REC_RELEASED = 0x100000,
        NAME_SHIFT = 21,       // a name's length is kept when it is below 2048 bytes
        NAME_MAX = 0x7FF,
    };
    static uint32_t NameBits(int nNameLength)
    {
        return nNameLength > 0 && nNameLength <= static_cast<int>(NAME_MAX) ? static_cast<uint32_t>(nNameLength) << NAME_SHIFT
                                                                           : 0;
    }

    enum TokenType
    {
        TOKEN_END,
        TOKEN_START_TAG,
        TOKEN_END_TAG,
        TOKEN_PROC_INST,
        TOKEN_COMMENT,
        TOKEN_CDATA,
        TOKEN_DOCTYPE,
        TOKEN_DECLARATION,
        TOKEN_TEXT,
        TOKEN_WHITESPACE,
        TOKEN_ERROR,
    };

    struct Token
    {
        TokenType nType;
        int nStart;
        int nLength;
        int nNameLength;            // tags: bytes of the name (after "<" or "</")
        bool bEmpty;                // start tag closed by "/>"
        const char* pszError;       // TOKEN_ERROR: "Incorrect %s" name or "%s ... unterminated" construct
        bool bUnterminated;
    };

    // One attribute of a start tag, as the attribute scan reads it.
    struct Attribute
    {
        int nNameStart, nNameLength;
        int nNameTokenEnd;                     // after the name (and its quote, when quoted)
        bool bHasValue;                        // written with '='
        int nValueStart, nValueLength;         // without quotes
        int nValueTokenStart, nValueTokenEnd;  // with quotes
    };

    // The scan for one attribute name.
    struct AttributeScan
    {
        bool bFound;
        Attribute attr;
        int nStop;  // where a new attribute goes (before the closing whitespace)
    };

    // Record table (blocks of 65,536 records).
    Record& Rec(int i) { return m_aBlocks[static_cast<uint32_t>(i) >> 16][i & 0xFFFF]; }
    const Record& Rec(int i) const { return m_aBlocks[static_cast<uint32_t>(i) >> 16][i & 0xFFFF]; }
    void ResetRecords(int nSize);
    int NewRecord();

    // Text buffer.
    void ReserveText(int nNeeded);
    bool ReplaceText(int nOffset, int nOldLength, const char* pNew, int nNewLength);
    // The buffer holds the text at nFront: slack before and after it.
    void AssignText(std::unique_ptr<char[]> pBuffer, int nFront, int nLength, int nCapacity);
    static int FrontSlack(int nLength, int nCapacity) { return (nCapacity - nLength) / 2; }

    // Scanning (XmlScan.cpp).
    int CharLength(int nOffset) const;
    Token NextToken(int nOffset) const;
    static Token ScanToken(const char* s, int n, const unsigned char* pClasses, int nOffset);
    static bool ScanStartTag(const char* s, int n, const unsigned char* pClasses, int nOffset, Token& t);
    int NameLength(int nStart) const;
    int ElementNameLength(int iRec) const;  // kept in the record, else scanned
    static int ScanNameLength(const char* s, int n, const unsigned char* pClasses, int nStart);
    bool NameMatches(int iRec, const char* pszName) const;
    template <typename Visit>
    int ForEachAttribute(int nTagStart, int nTagLength, bool bProcInst, Visit visit) const;
    AttributeScan ScanAttributes(int nTagStart, int nTagLength, bool bProcInst, const char* pszName) const;
    std::string NodeAttribute(int nTagStart, int nTagLength, bool bProcInst, const char* pszName) const;
    std::string AttributeValue(const Attribute& a) const;
    std::string TextValue(int nStart, int nLength) const;  // unescaped
    bool KeepPlainAttributes(int nTagStart, int nTagLength) const;

    // Parse (XmlDoc.cpp).
    void Parse();
    bool CloseNotEnded(std::vector<int>& aOpen, size_t nKeep);
    void RefreshDepths(int iRoot);

    // Edits (XmlEdit.cpp).
    void LinkChild(int iParent, int iAfter, int iNew);
    void UnlinkChild(int iChild);
    void PatchOffsets(int iElem, int nDelta, bool bSpansChildren);
    bool AddElement(const char* pszName, bool bInsertBefore);
    int SkipWhitespaceToTag(int nOffset) const;
    bool ReadsBackAtEnd(const std::string& strElement) const;
    bool TagReadsBack(const Record& r, int nOffset, int nOldLength, const std::string& strNew) const;

    void SetPosition(int iParent, int iElem, int iChild)
    {
        m_iPosParent = iParent;
        m_iPos = iElem;
        m_iPosChild = iChild;
        m_bPosIsElement = iElem != 0;
    }

    const unsigned char* m_pCharClass;  // per byte: lead byte, whitespace (XmlScan.cpp)

    // The text lies in m_pBuffer (m_nTextCapacity bytes) at m_nTextFront. An edit moves
    // the shorter side of the text: the part before it into the slack in front when
    // that holds the growth, else the part after it.
    struct TextPointer
    {
        char* p = nullptr;
        char* get() const { return p; }
        char& operator[](int i) const { return p[i]; }
    };
    std::unique_ptr<char[]> m_pBuffer;
    TextPointer m_pText;
    int m_nTextFront = 0;
    int m_nTextLength = 0;
    int m_nTextCapacity = 0;

    std::vector<std::unique_ptr<Record[]>> m_aBlocks;
    int m_nRecCapacity = 0;
    int m_nRecUsed = 0;

    int m_iPosParent = 0;
    int m_iPos = 0;
    int m_iPosChild = 0;
    bool m_bPosIsElement = false;

    std::string m_strResult;

    // The attributes of the element ChildAttribute read last, while the text is
    // unchanged: reading several attributes of one element scans its tag once.
    uint32_t m_nTextVersion = 0;
    mutable int m_iAttributesOf = -1;
    mutable uint32_t m_nAttributesVersion = 0;
    struct KeptAttribute
    {
        int32_t nNameStart, nNameLength;
        int32_t nValueStart, nValueLength;  // the name again for an attribute without value
        bool bPlain;                        // the value holds no '&': nothing to unescape
    };
    mutable std::vector<KeptAttribute> m_aAttributes;
};
