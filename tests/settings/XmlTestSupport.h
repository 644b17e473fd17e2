// Helpers of the settings tests: a scratch folder, whole-file reads and writes, and
// a view of CXmlDoc's record table that checks it against the text.
#pragma once

#include "XmlDoc.h"

#include <functional>
#include <string>

// A fresh folder under the system's temporary folder, removed with everything in it.
class ScratchDir
{
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string Path(const std::string& strName) const;
    // Names of the files in the folder, sorted, joined by '|'.
    std::string Listing() const;

private:
    std::string m_strDir;
};

std::string ReadBytes(const std::string& strPath);
void WriteBytes(const std::string& strPath, const std::string& strBytes);
bool FileExists(const std::string& strPath);

// The element tree of a document as text, one line per element in document order:
// depth, start, length, start-tag and end-tag lengths, not-ended mark and name.
// Error marks are left out: edits can remove the place an error was found at.
class CXmlDocInspector
{
public:
    static std::string Tree(const CXmlDoc& doc);
    // Empty when every link, flag and offset agrees with the text; else what is wrong.
    static std::string CheckRecords(const CXmlDoc& doc);
    // Empty when the records are sound and equal to those of a fresh parse of the text.
    static std::string CheckAgainstReparse(const CXmlDoc& doc);
    static int RecordsInUse(const CXmlDoc& doc) { return doc.m_nRecUsed; }
    static int RecordCapacity(const CXmlDoc& doc) { return doc.m_nRecCapacity; }
    static int Blocks(const CXmlDoc& doc) { return static_cast<int>(doc.m_aBlocks.size()); }
    static int TextCapacity(const CXmlDoc& doc) { return doc.m_nTextCapacity; }
    static int TextFront(const CXmlDoc& doc) { return doc.m_nTextFront; }  // slack before the text
    static int ReleasedRecords(const CXmlDoc& doc);
    // Record index of the current element, child and parent of the position.
    static int PosParent(const CXmlDoc& doc) { return doc.m_iPosParent; }
    static int PosElement(const CXmlDoc& doc) { return doc.m_iPos; }
    static int PosChild(const CXmlDoc& doc) { return doc.m_iPosChild; }
    // ChildAttribute by a fresh scan of the child's tag, bypassing what was read before.
    static std::string ScannedChildAttribute(const CXmlDoc& doc, const char* pszName);

private:
    static void ForEachElement(const CXmlDoc& doc, const std::function<void(int)>& visit);
};
