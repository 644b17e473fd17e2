#include "XmlTestSupport.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

ScratchDir::ScratchDir()
{
    std::random_device rd;
    for (int nTry = 0; nTry < 100; ++nTry) {
        fs::path dir = fs::temp_directory_path() / ("quillon-settings-" + std::to_string(rd() % 100000000));
        std::error_code ec;
        if (fs::create_directory(dir, ec)) {
            m_strDir = dir.string();
            return;
        }
    }
    throw std::runtime_error("no scratch folder");
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    fs::remove_all(m_strDir, ec);
}

std::string ScratchDir::Path(const std::string& strName) const
{
    return (fs::path(m_strDir) / strName).string();
}

std::string ScratchDir::Listing() const
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_strDir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string strList;
    for (const auto& name : names)
        strList += (strList.empty() ? "" : "|") + name;
    return strList;
}

std::string ReadBytes(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteBytes(const std::string& strPath, const std::string& strBytes)
{
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out.write(strBytes.data(), static_cast<std::streamsize>(strBytes.size()));
}

bool FileExists(const std::string& strPath)
{
    std::error_code ec;
    return fs::exists(strPath, ec);
}

// Element records in document order, starting below record 0.
void CXmlDocInspector::ForEachElement(const CXmlDoc& doc, const std::function<void(int)>& visit)
{
    int i = doc.Rec(0).iFirstChild;
    while (i) {
        visit(i);
        if (doc.Rec(i).iFirstChild) {
            i = doc.Rec(i).iFirstChild;
            continue;
        }
        while (i && !doc.Rec(i).iNext)
            i = doc.Rec(i).iParent;
        i = i ? doc.Rec(i).iNext : 0;
    }
}

std::string CXmlDocInspector::Tree(const CXmlDoc& doc)
{
    std::string strTree;
    ForEachElement(doc, [&](int i) {
        const CXmlDoc::Record& r = doc.Rec(i);
        char szLine[96];
        std::snprintf(szLine, sizeof szLine, "%u %d %d %d %d%s ", r.nFlags & CXmlDoc::DEPTH_MASK, r.nStart, r.nLength,
                      r.StartTagLength(), r.EndTagLength(), (r.nFlags & CXmlDoc::REC_NOT_ENDED) ? " ne" : "");
        strTree += szLine;
        strTree.append(doc.m_pText.get() + r.nStart + 1, static_cast<size_t>(doc.NameLength(r.nStart)));
        strTree += '\n';
    });
    return strTree;
}

std::string CXmlDocInspector::CheckRecords(const CXmlDoc& doc)
{
    std::ostringstream err;
    const char* s = doc.m_pText.get();
    const int n = doc.m_nTextLength;
    if (doc.m_nRecUsed < 1 || doc.m_nRecUsed > doc.m_nRecCapacity)
        return "record count";
    if (doc.Rec(0).nLength != n || doc.Rec(0).nStart != 0)
        err << "document record length " << doc.Rec(0).nLength << " for text of " << n << "; ";
    std::vector<char> seen(static_cast<size_t>(doc.m_nRecUsed), 0);
    int nVisited = 0;
    // Walk every parent's child list and check each child against it.
    std::vector<int> parents{0};
    while (!parents.empty() && nVisited <= doc.m_nRecUsed) {
        const int p = parents.back();
        parents.pop_back();
        const CXmlDoc::Record& pr = doc.Rec(p);
        const int nLow = p ? pr.ContentStart() : 0;
        const int nHigh = p ? pr.End() - pr.EndTagLength() : n;
        const int iFirst = pr.iFirstChild;
        int nPrevEnd = nLow, iPrev = 0;
        for (int i = iFirst; i; i = doc.Rec(i).iNext) {
            if (i < 0 || i >= doc.m_nRecUsed || seen[static_cast<size_t>(i)]++) {
                err << "bad or repeated link to " << i << "; ";
                return err.str();
            }
            ++nVisited;
            const CXmlDoc::Record& r = doc.Rec(i);
            if (r.nFlags & CXmlDoc::REC_RELEASED)
                err << i << " released but linked; ";
            if (r.iParent != p)
                err << i << " parent " << r.iParent << " not " << p << "; ";
            if (((r.nFlags & CXmlDoc::REC_FIRST) != 0) != (i == iFirst))
                err << i << " first-sibling bit; ";
            if (i != iFirst && r.iPrev != iPrev)
                err << i << " previous link; ";
            if (!r.iNext && doc.Rec(iFirst).iPrev != i)
                err << "first child of " << p << " does not hold the last; ";
            const uint32_t nDepth = p ? std::min<uint32_t>((pr.nFlags & CXmlDoc::DEPTH_MASK) + 1, 0xFFFF) : 0;
            if ((r.nFlags & CXmlDoc::DEPTH_MASK) != nDepth)
                err << i << " depth; ";
            if (r.nStart < nPrevEnd || r.End() > nHigh || r.StartTagLength() > r.nLength ||
                r.StartTagLength() + r.EndTagLength() > r.nLength)
                err << i << " range " << r.nStart << "+" << r.nLength << " outside " << nPrevEnd << ".." << nHigh
                    << "; ";
            else if (s[r.nStart] != '<' || s[r.nStart + r.StartTagLength() - 1] != '>')
                err << i << " start tag not at a tag; ";
            else if (r.EndTagLength() && (s[r.End() - r.EndTagLength()] != '<' || s[r.End() - 1] != '>'))
                err << i << " end tag not at a tag; ";
            nPrevEnd = r.End();
            iPrev = i;
            parents.push_back(i);
        }
    }
    return err.str();
}

std::string CXmlDocInspector::CheckAgainstReparse(const CXmlDoc& doc)
{
    std::string strProblem = CheckRecords(doc);
    if (!strProblem.empty())
        return strProblem;
    CXmlDoc fresh;
    fresh.SetDocument(doc.GetDocument());
    std::string strEdited = Tree(doc), strFresh = Tree(fresh);
    if (strEdited != strFresh)
        return "edited records:\n" + strEdited + "records of a new parse:\n" + strFresh;
    return std::string();
}

int CXmlDocInspector::ReleasedRecords(const CXmlDoc& doc)
{
    int nReleased = 0;
    for (int i = 1; i < doc.m_nRecUsed; ++i)
        nReleased += (doc.Rec(i).nFlags & CXmlDoc::REC_RELEASED) ? 1 : 0;
    return nReleased;
}

std::string CXmlDocInspector::ScannedChildAttribute(const CXmlDoc& doc, const char* pszName)
{
    if (!doc.m_iPosChild)
        return std::string();
    const CXmlDoc::Record& r = doc.Rec(doc.m_iPosChild);
    return doc.NodeAttribute(r.nStart, r.StartTagLength(), false, pszName);
}
