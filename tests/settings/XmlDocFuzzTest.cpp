// Robustness of CXmlDoc on thousands of generated, mutated and random texts: parse,
// navigation, every edit and save/load. After each edit the records must still be
// sound and equal to those of a fresh parse of the edited text.
//
// QUILLON_FUZZ_SEED and QUILLON_FUZZ_DOCS override the fixed seed and the count.
#include "XmlDoc.h"
#include "XmlTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kNames[] = {"a", "b", "Call", "audio", "Dirver", "r", "x\xD6\xD0"};
const char* const kAttributes[] = {"a11", "dallnum", "userr", "lx", "x", "y"};
const char* const kValues[] = {"", "1", "a&amp;b", "&#20013;", "\xD6\xD0", "p>q", "it's", "say \"x\"", "<&>",
                               "\x81", "&bogus"};
const char* const kJunk[] = {"<", ">", "/", "\"", "'", "=", "<!", "<!--", "-->", "<?", "?>", "</", "<![CDATA[", "]]>",
                             "\x81", "\xD6\xD0", "\xFF", " ", "\r\n", "<a>", "</a>", "<b/>", "<!DOCTYPE r [", "]>",
                             "&", "\t", "<1", "<!-x", "</r>", "<Call x=1/>"};

class Generator
{
public:
    explicit Generator(unsigned nSeed) : m_rng(nSeed) {}

    int Below(int n) { return static_cast<int>(m_rng() % static_cast<unsigned>(n)); }
    bool OneIn(int n) { return Below(n) == 0; }
    template <size_t N>
    const char* Pick(const char* const (&items)[N])
    {
        return items[Below(static_cast<int>(N))];
    }

    std::string Tag(const char* pszName)
    {
        std::string strTag = std::string("<") + pszName;
        for (int n = Below(4); n > 0; --n) {
            strTag += OneIn(3) ? "\r\n" : " ";
            strTag += Pick(kAttributes);
            switch (Below(5)) {
            case 0: break;  // no value
            case 1: strTag += "=1"; break;
            case 2: strTag += std::string("='") + Pick(kValues) + "'"; break;
            default: strTag += std::string("=\"") + Pick(kValues) + "\""; break;
            }
        }
        return strTag;
    }

    // A document as a settings file could look, sometimes nested very deep.
    std::string Document()
    {
        std::string strText;
        if (OneIn(3))
            strText += OneIn(2) ? "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n" : "<!-- settings -->\r\n";
        if (OneIn(10))
            strText += "<!DOCTYPE r [<!ELEMENT r ANY><!-- > -->]>\r\n";
        const int nDepthLimit = OneIn(40) ? 3000 : 6;
        std::vector<const char*> open{Pick(kNames)};
        strText += Tag(open.back()) + ">";
        for (int n = nDepthLimit > 6 ? 4000 : Below(40); n > 0 && !open.empty(); --n) {
            switch (Below(nDepthLimit > 6 ? 2 : 8)) {
            case 0:
                if (static_cast<int>(open.size()) < nDepthLimit) {
                    open.push_back(Pick(kNames));
                    strText += Tag(open.back()) + ">";
                    break;
                }
                // fall through
            case 1: strText += Tag(Pick(kNames)) + (OneIn(2) ? "/>" : " />"); break;
            case 2:
                if (open.size() > 1) {
                    strText += std::string("</") + open.back() + ">";
                    open.pop_back();
                }
                break;
            case 3: strText += "text \xD6\xD0 &amp; "; break;
            case 4: strText += "<!-- c <x> -->"; break;
            case 5: strText += "<![CDATA[<y/>]]>"; break;
            case 6: strText += "<?pi x?>"; break;
            default: strText += OneIn(2) ? "\r\n" : "  "; break;
            }
        }
        while (!open.empty()) {
            strText += std::string("</") + open.back() + ">";
            open.pop_back();
        }
        return strText + (OneIn(2) ? "\r\n" : "");
    }

    std::string Mutate(std::string strText)
    {
        for (int n = 1 + Below(4); n > 0; --n) {
            const int nAt = strText.empty() ? 0 : Below(static_cast<int>(strText.size()) + 1);
            switch (Below(5)) {
            case 0: strText.resize(static_cast<size_t>(nAt)); break;
            case 1: strText.insert(static_cast<size_t>(nAt), Pick(kJunk)); break;
            case 2: strText.erase(static_cast<size_t>(nAt), static_cast<size_t>(Below(12))); break;
            case 3:
                if (nAt < static_cast<int>(strText.size()))
                    strText[static_cast<size_t>(nAt)] = static_cast<char>(Below(256));
                break;
            default:
                strText.insert(static_cast<size_t>(nAt),
                               strText.substr(static_cast<size_t>(Below(static_cast<int>(strText.size()) + 1)),
                                              static_cast<size_t>(Below(40))));
                break;
            }
        }
        return strText;
    }

    std::string Noise()
    {
        std::string strText;
        for (int n = Below(60); n > 0; --n)
            strText += OneIn(3) ? std::string(1, static_cast<char>(Below(256))) : Pick(kJunk);
        return strText;
    }

private:
    std::mt19937 m_rng;
};

std::string Visible(const std::string& strText)
{
    std::ostringstream out;
    for (unsigned char c : strText) {
        if (c >= 0x20 && c < 0x7F)
            out << c;
        else
            out << "\\x" << std::hex << static_cast<int>(c) << std::dec;
    }
    return out.str();
}

unsigned EnvNumber(const char* pszName, unsigned nDefault)
{
    const char* pszValue = std::getenv(pszName);
    return pszValue && *pszValue ? static_cast<unsigned>(std::strtoul(pszValue, nullptr, 10)) : nDefault;
}

TEST(XmlFuzz, EditsKeepTextAndRecordsConsistent)
{
    const unsigned nSeed = EnvNumber("QUILLON_FUZZ_SEED", 20061);
    const unsigned nDocs = EnvNumber("QUILLON_FUZZ_DOCS", 2000);
    Generator gen(nSeed);
    ScratchDir dir;
    int nEdits = 0, nRefused = 0, nMalformed = 0;

    for (unsigned nDoc = 0; nDoc < nDocs; ++nDoc) {
        std::string strText;
        switch (gen.Below(4)) {
        case 0: strText = gen.Document(); break;
        case 1: strText = gen.Noise(); break;
        default: strText = gen.Mutate(gen.Document()); break;
        }
        CXmlDoc doc;
        nMalformed += doc.SetDocument(strText) ? 0 : 1;
        std::string strProblem = CXmlDocInspector::CheckRecords(doc);
        ASSERT_EQ(strProblem, "") << "seed " << nSeed << " document " << nDoc << ": " << Visible(strText);

        std::string strLog;
        for (int nOp = 0; nOp < 30; ++nOp) {
            bool bEdit = false, bDone = false;
            const char* pszName = gen.OneIn(3) ? nullptr : gen.Pick(kNames);
            switch (gen.Below(12)) {
            case 0:
                doc.RewindElements();
                strLog += "rewind ";
                break;
            case 1:
                doc.FindElement(pszName);
                strLog += "find ";
                break;
            case 2:
                doc.FindChildElement(pszName);
                strLog += "findchild ";
                break;
            case 3:
                doc.EnterElement();
                strLog += "enter ";
                break;
            case 4:
                doc.LeaveElement();
                strLog += "leave ";
                break;
            case 5: {
                const char* pszAttribute = gen.Pick(kAttributes);
                ASSERT_EQ(doc.ChildAttribute(pszAttribute),
                          CXmlDocInspector::ScannedChildAttribute(doc, pszAttribute))
                    << "seed " << nSeed << " document " << nDoc << ": " << Visible(strText);
                strLog += "read ";
                break;
            }
            case 6:
                bEdit = true;
                bDone = doc.SetAttribute(gen.Pick(kAttributes), gen.Pick(kValues));
                strLog += "set ";
                break;
            case 7:
                bEdit = true;
                bDone = doc.SetAttribute(gen.Pick(kAttributes), gen.Below(3) - 1);
                strLog += "setn ";
                break;
            case 8:
                bEdit = true;
                bDone = doc.AppendElement(gen.Pick(kNames));
                strLog += "append ";
                break;
            case 9:
                bEdit = true;
                bDone = doc.InsertElementBefore(gen.Pick(kNames));
                strLog += "insert ";
                break;
            default:
                bEdit = true;
                bDone = doc.RemoveChildElement();
                strLog += "remove ";
                break;
            }
            if (!bEdit)
                continue;
            if (bDone)
                ++nEdits;
            else
                ++nRefused;
            strProblem = CXmlDocInspector::CheckAgainstReparse(doc);
            ASSERT_EQ(strProblem, "") << "seed " << nSeed << " document " << nDoc << ": " << Visible(strText)
                                      << "\noperations: " << strLog << "\nnow: " << Visible(doc.GetDocument());
        }

        if (nDoc % 25 == 0) {
            // Through the disk and back: UTF-8 conversion both ways.
            const std::string strPath = dir.Path("fuzz.xml");
            ASSERT_TRUE(doc.SaveFile(strPath)) << doc.GetResult();
            CXmlDoc loaded;
            loaded.LoadFile(strPath);
            EXPECT_EQ(CXmlDocInspector::CheckRecords(loaded), "");
            const std::string strSaved = doc.GetDocument();
            bool bAscii = true;
            for (unsigned char c : strSaved)
                bAscii = bAscii && c < 0x80;
            if (bAscii) {
                EXPECT_EQ(loaded.GetDocument(), strSaved);
            }
        }
    }
    // The generator must really reach both well-formed and broken texts and edits.
    EXPECT_GT(nEdits, static_cast<int>(nDocs) * 3);
    EXPECT_GT(nRefused, 0);
    EXPECT_GT(nMalformed, static_cast<int>(nDocs) / 4);
    EXPECT_LT(nMalformed, static_cast<int>(nDocs));
}

}  // namespace
