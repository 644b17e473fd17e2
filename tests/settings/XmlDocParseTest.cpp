// CXmlDoc reading: result texts of every structure error, the repair of malformed
// text, tokens that create no elements, name matching and attribute values.
#include "XmlDoc.h"
#include "XmlInternal.h"
#include "XmlTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct ParseCase
{
    const char* pszText;
    bool bWellFormed;
    const char* pszResult;
};

void PrintTo(const ParseCase& c, std::ostream* os)
{
    *os << '"' << c.pszText << '"';
}

const ParseCase kParseCases[] = {
    {"<a/>", true, ""},
    {"", false, "Empty document"},
    {" \r\n\t", false, "No root element"},
    {"<!-- only a comment -->", false, "No root element"},
    {"<a/><b/>", false, "Root element has sibling"},
    {"<a>", false, "Element 'a' at offset 0 not ended"},
    {"<r><a x=\"1\"> text", false, "Root element has sibling"},  // a moves up beside r
    {"<r><b></r>", false, "End tag 'r' at offset 7 does not match start tag 'b' at offset 3"},
    {"<r><b><c></r>", false, "End tag 'r' at offset 10 does not match start tag 'c' at offset 6"},
    {"<r></x></r>", false, "No start tag for end tag 'x' at offset 3"},
    // An end tag's name may go on after the start tag's with '=', '/', '[' or ']'.
    {"<a></a/>", true, ""},
    {"<r><a><b></a[1]></r=>", false, "End tag 'a[1]' at offset 10 does not match start tag 'b' at offset 6"},
    {"<ab></a>", false, "No start tag for end tag 'a' at offset 4"},
    {"<a></ab>", false, "No start tag for end tag 'ab' at offset 3"},
    {"</x><r/>", false, "No start tag for end tag 'x' at offset 0"},
    {"<r><1></r>", false, "Incorrect tag name character at offset 3"},
    {"<r>< a></r>", false, "Incorrect tag name character at offset 3"},
    {"<r><!x></r>", false, "Incorrect ! tag at offset 3"},
    {"<r><!-x></r>", false, "Incorrect comment tag at offset 3"},
    {"<r><![x></r>", false, "Incorrect tag at offset 3"},
    {"<r></r><", false, "tag at offset 7 unterminated"},
    {"<r></r><!E", false, "tag at offset 7 unterminated"},
    {"<r></r><?pi", false, "Processing instruction at offset 7 unterminated"},
    {"<r></r><!-- c", false, "Comment at offset 7 unterminated"},
    {"<r></r><![CDATA[ x", false, "CDATA Section at offset 7 unterminated"},
    {"<r></r><!DOCTYPE r [", false, "Doctype at offset 7 unterminated"},
    {"<r><a x='1></r>", false, "Element tag at offset 3 unterminated"},
    {"<r></r", false, "Element end tag at offset 3 unterminated"},
    // Start tags: '>' in a value, a quote not after '=' is a character, "/>" after a value.
    {"<r><a x=\"/>\"/></r>", true, ""},
    {"<r><a x = 'v>'/></r>", true, ""},
    {"<r><a \"x>\"/></r>", false, "End tag 'r' at offset 13 does not match start tag 'a' at offset 3"},
    {"<r><a x=1/></r>", false, "End tag 'r' at offset 12 does not match start tag 'a' at offset 3"},
    {"<r><a x='1'/ ></r>", false, "End tag 'r' at offset 15 does not match start tag 'a' at offset 3"},
    {"<r><a x='1'y=\"2\" z='345678901234567890'/></r>", true, ""},
    {"<r><a\xD6\xD0 x=\"1\"/></r>", true, ""},
    {"<r><a x=\"\xD6\">\"/></r>", true, ""},  // the quote after a lead byte is its second byte
    // Only the first error counts.
    {"<r></x><1></r>", false, "No start tag for end tag 'x' at offset 3"},
    // Names are cut to 50 characters.
    {"<r></aaaaaaaaaabbbbbbbbbbccccccccccddddddddddeeeeeeeeeeffff></r>", false,
     "No start tag for end tag 'aaaaaaaaaabbbbbbbbbbccccccccccddddddddddeeeeeeeeee' at offset 3"},
    // Constructs that create no elements.
    {"<?xml version=\"1.0\"?>\r\n<!-- c -->\r\n<r><![CDATA[<x>]]><?p <y>?></r>", true, ""},
    {"<!DOCTYPE r [<!ELEMENT r ANY><!ATTLIST r a CDATA \"x>y\"><!-- > -->]><r/>", true, ""},
    {"<!ENTITY e \"v\"><r/>", true, ""},
    // '>' inside a quoted value does not end the tag; a quote not after '=' is plain.
    {"<r a=\"x>y\" b = 'p>q'/>", true, ""},
    {"<r a\"b>c</r>", true, ""},
    // A '/' that ends an unquoted value belongs to it: the tag stays open.
    {"<r a=x/>", false, "Element 'r' at offset 0 not ended"},
    {"<r a=x />", true, ""},
    // Two-byte characters are stepped over whole: a trail byte is never markup.
    {"<r>\xD6\xD0</r>", true, ""},
    {"<r \x81/>", false, "Element 'r' at offset 0 not ended"},
    {"<r>\x81</r></r>", true, ""},
};

class XmlParseResult : public ::testing::TestWithParam<ParseCase>
{
};

TEST_P(XmlParseResult, GivesResultTextAndWellFormedness)
{
    const ParseCase& c = GetParam();
    CXmlDoc doc;
    EXPECT_EQ(doc.SetDocument(c.pszText), c.bWellFormed);
    EXPECT_EQ(doc.IsWellFormed(), c.bWellFormed);
    EXPECT_EQ(doc.GetResult(), c.pszResult);
    EXPECT_EQ(CXmlDocInspector::CheckRecords(doc), "");
}

INSTANTIATE_TEST_SUITE_P(Texts, XmlParseResult, ::testing::ValuesIn(kParseCases));

TEST(XmlParse, NewDocumentIsEmpty)
{
    CXmlDoc doc;
    EXPECT_EQ(doc.GetResult(), "Empty document");
    EXPECT_EQ(doc.GetDocument(), "");
    EXPECT_FALSE(doc.IsWellFormed());
    EXPECT_FALSE(doc.FindElement(nullptr));
}

// --- repair -----------------------------------------------------------------------------

TEST(XmlRepair, ElementNeverEndedBecomesEmptyAndItsChildrenMoveUp)
{
    CXmlDoc doc;
    EXPECT_FALSE(doc.SetDocument("<r><p n=\"1\"><a n=\"2\"/><b n=\"3\"></r>"));
    EXPECT_EQ(CXmlDocInspector::Tree(doc),
              "0 0 35 3 4 r\n"
              "1 3 9 9 0 ne p\n"
              "1 12 10 10 0 a\n"
              "1 22 9 9 0 ne b\n");
    // Navigation goes on over the repaired tree.
    std::string strSeen;
    while (doc.FindChildElement(nullptr))
        strSeen += doc.ChildAttribute("n");
    EXPECT_EQ(strSeen, "123");
}

TEST(XmlRepair, StrayEndTagIsIgnored)
{
    CXmlDoc doc;
    EXPECT_FALSE(doc.SetDocument("<r><a/></b><c/></r>"));
    EXPECT_EQ(CXmlDocInspector::Tree(doc), "0 0 19 3 4 r\n1 3 4 4 0 a\n1 11 4 4 0 c\n");
}

TEST(XmlRepair, UnendedElementsAtTheEndMoveToTheTopLevel)
{
    CXmlDoc doc;
    EXPECT_FALSE(doc.SetDocument("<r><a><b/><c>"));
    EXPECT_EQ(doc.GetResult(), "Root element has sibling");
    EXPECT_EQ(CXmlDocInspector::Tree(doc), "0 0 3 3 0 ne r\n0 3 3 3 0 ne a\n0 6 4 4 0 b\n0 10 3 3 0 ne c\n");
}

TEST(XmlRepair, TwoTopElementsStillNavigable)
{
    CXmlDoc doc;
    EXPECT_FALSE(doc.SetDocument("<a n=\"1\"/><b n=\"2\"/>"));
    ASSERT_TRUE(doc.FindElement(nullptr));
    EXPECT_TRUE(doc.FindElement("b"));
    doc.RewindElements();
    ASSERT_TRUE(doc.FindElement(nullptr));
    ASSERT_TRUE(doc.LeaveElement() == false);
}

TEST(XmlRepair, DeepNestingNeverEnded)
{
    std::string strText;
    for (int i = 0; i < 20000; ++i)
        strText += "<a>";
    CXmlDoc doc;
    EXPECT_FALSE(doc.SetDocument(strText));
    EXPECT_EQ(CXmlDocInspector::RecordsInUse(doc), 20001);
    EXPECT_EQ(CXmlDocInspector::CheckRecords(doc), "");
}

// The tree after repair, for end tags that close no element or an element further out.
struct RepairCase
{
    const char* pszText;
    const char* pszResult;
    const char* pszTree;
};

void PrintTo(const RepairCase& c, std::ostream* os)
{
    *os << '"' << c.pszText << '"';
}

const RepairCase kRepairCases[] = {
    // End tags of no open element inside nesting: ignored; the elements stay open to
    // the end and all move to the top level.
    {"<a><a><a></b></b></b>", "Root element has sibling",
     "0 0 3 3 0 ne a\n0 3 3 3 0 ne a\n0 6 3 3 0 ne a\n"},
    {"<r><a><b></x></a></y></r>", "No start tag for end tag 'x' at offset 9",
     "0 0 25 3 4 r\n1 3 14 3 4 a\n2 6 3 3 0 ne b\n"},
    // An end tag closes the innermost open element of its name; a closed one with the
    // same name is no longer open for the next end tag.
    {"<a><b><a><c></b></a>", "End tag 'b' at offset 13 does not match start tag 'c' at offset 9",
     "0 0 20 3 4 a\n1 3 13 3 4 b\n2 6 3 3 0 ne a\n2 9 3 3 0 ne c\n"},
    // Once the inner 'a' is ended, the next '</a>' finds the outer one past 'b'.
    {"<a><b><a><c></x></a></a>", "No start tag for end tag 'x' at offset 12",
     "0 0 24 3 4 a\n1 3 3 3 0 ne b\n1 6 14 3 4 a\n2 9 3 3 0 ne c\n"},
    // A subtree moved up twice: every element below it is one level higher each time.
    {"<a><b><a><b><c><d/></c></a></a>", "End tag 'a' at offset 24 does not match start tag 'b' at offset 9",
     "0 0 31 3 4 a\n1 3 3 3 0 ne b\n1 6 21 3 4 a\n2 9 3 3 0 ne b\n2 12 11 3 4 c\n3 15 4 4 0 d\n"},
};

class XmlRepairTree : public ::testing::TestWithParam<RepairCase>
{
};

TEST_P(XmlRepairTree, GivesTheRepairedTree)
{
    const RepairCase& c = GetParam();
    CXmlDoc doc;
    EXPECT_FALSE(doc.SetDocument(c.pszText));
    EXPECT_EQ(doc.GetResult(), c.pszResult);
    EXPECT_EQ(CXmlDocInspector::Tree(doc), c.pszTree);
    EXPECT_EQ(CXmlDocInspector::CheckRecords(doc), "");
}

INSTANTIATE_TEST_SUITE_P(Texts, XmlRepairTree, ::testing::ValuesIn(kRepairCases));

// The same shapes at the size of a damaged file of some hundred kilobytes. The trees
// are too long for a whole-text comparison: only the first line that differs is shown.
std::string FirstDifference(const std::string& strGot, const std::string& strWant)
{
    if (strGot == strWant)
        return std::string();
    size_t nAt = 0, nLine = 1;
    while (nAt < strGot.size() && nAt < strWant.size() && strGot[nAt] == strWant[nAt]) {
        if (strGot[nAt++] == '\n')
            ++nLine;
    }
    const size_t nLineStart = strGot.rfind('\n', nAt == 0 ? 0 : nAt - 1);
    const size_t nFrom = nLineStart == std::string::npos || nAt == 0 ? 0 : nLineStart + 1;
    auto line = [&](const std::string& str) { return str.substr(nFrom, str.find('\n', nFrom) - nFrom); };
    return "line " + std::to_string(nLine) + ": \"" + line(strGot) + "\", expected \"" + line(strWant) + "\"";
}

TEST(XmlRepair, ManyStrayEndTagsInsideDeepNesting)
{
    const int n = 64000;
    std::string strText, strTree;
    for (int i = 0; i < n; ++i) {
        strText += "<a>";
        strTree += "0 " + std::to_string(3 * i) + " 3 3 0 ne a\n";
    }
    for (int i = 0; i < n; ++i)
        strText += "</b>";
    ASSERT_EQ(strText.size(), 448000u);
    CXmlDoc doc;
    EXPECT_FALSE(doc.SetDocument(strText));
    EXPECT_EQ(doc.GetResult(), "Root element has sibling");
    EXPECT_EQ(FirstDifference(CXmlDocInspector::Tree(doc), strTree), "");
    EXPECT_EQ(CXmlDocInspector::CheckRecords(doc), "");
}

TEST(XmlRepair, SubtreeMovedUpOnceForEveryLevel)
{
    // n times "<a><b>", then m elements "<c><d/></c>" inside the innermost 'b', then n
    // times "</a>". Each '</a>' ends the innermost open 'a' and closes the 'b' inside it
    // as not ended, moving what the 'b' held one level up: at the end every 'a' holds
    // its empty 'b' and the next 'a', and the last 'a' holds the c elements.
    const int n = 20000, m = 20000;
    std::string strText;
    for (int i = 0; i < n; ++i)
        strText += "<a><b>";
    for (int k = 0; k < m; ++k)
        strText += "<c><d/></c>";
    for (int i = 0; i < n; ++i)
        strText += "</a>";
    std::string strTree;
    char szLine[64];
    for (int i = 0; i < n; ++i) {
        std::snprintf(szLine, sizeof szLine, "%d %d %d 3 4 a\n%d %d 3 3 0 ne b\n", i, 6 * i, 10 * n + 11 * m - 10 * i,
                      i + 1, 6 * i + 3);
        strTree += szLine;
    }
    for (int k = 0; k < m; ++k) {
        std::snprintf(szLine, sizeof szLine, "%d %d 11 3 4 c\n%d %d 4 4 0 d\n", n, 6 * n + 11 * k, n + 1,
                      6 * n + 11 * k + 3);
        strTree += szLine;
    }
    CXmlDoc doc;
    EXPECT_FALSE(doc.SetDocument(strText));
    EXPECT_EQ(FirstDifference(CXmlDocInspector::Tree(doc), strTree), "");
    EXPECT_EQ(CXmlDocInspector::CheckRecords(doc), "");
}

// --- navigation ----------------------------------------------------------------------------

TEST(XmlNavigation, NamesMatchCaseSensitiveOverTheWholeName)
{
    CXmlDoc doc;
    doc.SetDocument("<r><Calls n=\"1\"/><call n=\"2\"/><Call n=\"3\"/></r>");
    struct
    {
        const char* pszName;
        const char* pszFound;
    } const cases[] = {
        {"Call", "3"}, {"Cal", ""}, {"Calls", "1"}, {"Call x", "3"}, {"Call=", "3"}, {"Call[", "3"},
        {"Callx", ""}, {"CALL", ""}, {"", "1"},
    };
    for (const auto& c : cases) {
        doc.RewindElements();
        doc.FindElement(nullptr);
        std::string strFound = doc.FindChildElement(c.pszName) ? doc.ChildAttribute("n") : "";
        EXPECT_EQ(strFound, c.pszFound) << c.pszName;
    }
}

TEST(XmlNavigation, FailedFindLeavesThePosition)
{
    CXmlDoc doc;
    doc.SetDocument("<r><a/><b/></r>");
    doc.FindElement(nullptr);
    doc.EnterElement();
    ASSERT_TRUE(doc.FindElement("b"));
    EXPECT_FALSE(doc.FindElement("b"));  // after the last match
    EXPECT_FALSE(doc.FindElement("a"));  // a lies before the current element
    doc.SetAttribute("x", "1");  // b is still current
    EXPECT_EQ(doc.GetDocument(), "<r><a/><b x=\"1\"/></r>");
}

TEST(XmlNavigation, FindChildWithoutCurrentTakesTheFirstElement)
{
    CXmlDoc doc;
    doc.SetDocument("<!-- c --><r><a n=\"1\"/></r>");
    EXPECT_TRUE(doc.FindChildElement("a"));
    EXPECT_EQ(doc.ChildAttribute("n"), "1");
    EXPECT_TRUE(doc.EnterElement());  // into r, with a as current element
    doc.SetAttribute("m", "2");
    EXPECT_EQ(doc.GetDocument(), "<!-- c --><r><a n=\"1\" m=\"2\"/></r>");
}

// --- attribute values ------------------------------------------------------------------

struct AttributeCase
{
    const char* pszTag;
    const char* pszName;
    const char* pszValue;
};

void PrintTo(const AttributeCase& c, std::ostream* os)
{
    *os << c.pszTag << " " << c.pszName;
}

const AttributeCase kAttributeCases[] = {
    {"<a x=\"1\" y='2'/>", "y", "2"},
    {"<a x=1 y=2></a>", "x", "1"},
    {"<a x=1 y=2></a>", "y", "2"},
    {"<a x y=\"2\"/>", "x", "x"},  // no value: its own name
    {"<a y=\"2\" x/>", "x", "x"},
    {"<a x = \"1\"/>", "x", "1"},
    {"<a xy=\"1\"/>", "x", ""},
    {"<a X=\"1\"/>", "x", ""},
    {"<a x=\"\"/>", "x", ""},
    {"<a x= ></a>", "x", ""},  // '=' and then the end of the tag: an empty value
    {"<a x=\"1\" x=\"2\"/>", "x", "1"},
    {"<a x=\"p>q\"/>", "x", "p>q"},
    {"<a x=\"&lt;&gt;&amp;&quot;&apos;\"/>", "x", "<>&\"'"},
    {"<a x=\"&#20013;&#x4E2D;&#X4e2d;\"/>", "x", "\xD6\xD0\xD6\xD0\xD6\xD0"},
    {"<a x=\"&#65;&#x41;&LT;\"/>", "x", "AA<"},
    {"<a x=\"&times;&alpha;&Alpha;\"/>", "x", "\xA1\xC1\xA6\xA1\xA6\xA1"},  // both alphas give U+0391
    {"<a x=\"&bogus;&lt&#;&#x;&#0;&#12a;\"/>", "x", "&bogus;&lt&#;&#x;&#0;&#12a;"},
    {"<a x=\"&oslash;\"/>", "x", "&oslash;"},            // U+00D8 has no GBK character
    {"<a x=\"&#65601;\"/>", "x", "&#65601;"},            // beyond one UTF-16 unit
    {"<a x=\"&#000000065;&#00000065;\"/>", "x", "&#000000065;A"},  // ten bytes are too many
    {"<a x=\"\xD6\xD0&amp;\"/>", "x", "\xD6\xD0&"},
    {"<a x=\"1\"y='2'/>", "y", "2"},
    {"<a x='it\"s' y=\"1\"/>", "x", "it\"s"},
    {"<a x=\"01234567\"/>", "x", "01234567"},
    {"<a x=\"0123456789&amp;abcdef\"/>", "x", "0123456789&abcdef"},
    {"<a x=\"1\" / y=\"2\"></a>", "y", ""},  // nothing after the '/' is read
    {"<a x=\"1\" y=2/></a>", "y", "2/"},
    {"<a x=\"1\" y = \"2\"/>", "y", "2"},
    {"<a x=\"1\" =\"2\" y=\"3\"/>", "y", "3"},
    {"<a \x80x=\"1\"/>", "\x80x", "1"},
    {"<a x\xD6\xD0=\"2\"/>", "x\xD6\xD0", "2"},
};

class XmlAttributeValue : public ::testing::TestWithParam<AttributeCase>
{
};

TEST_P(XmlAttributeValue, ReadsUnescaped)
{
    const AttributeCase& c = GetParam();
    CXmlDoc doc;
    doc.SetDocument(std::string("<r>") + c.pszTag + "</r>");
    ASSERT_TRUE(doc.FindChildElement("a"));
    EXPECT_EQ(doc.ChildAttribute(c.pszName), c.pszValue);
}

INSTANTIATE_TEST_SUITE_P(Tags, XmlAttributeValue, ::testing::ValuesIn(kAttributeCases));

TEST(XmlAttribute, EscapedValuesReadBackUnchanged)
{
    const char* const values[] = {"<>&\"'", "a&amp;b", "\xD6\xD0\xCE\xC4 & \xD6\xD0", "&#20013;", "", "x y\tz"};
    CXmlDoc doc;
    doc.SetDocument("<r><a/></r>");
    for (const char* pszValue : values) {
        doc.RewindElements();
        doc.FindElement(nullptr);
        doc.EnterElement();
        doc.FindElement("a");
        ASSERT_TRUE(doc.SetAttribute("v", pszValue));
        doc.LeaveElement();
        EXPECT_EQ(doc.ChildAttribute("v"), pszValue);
    }
}

TEST(XmlAttribute, DeclaredEncoding)
{
    CXmlDoc doc;
    doc.SetDocument("<?xml version=\"1.0\" encoding=\"GB2312\"?><r/>");
    EXPECT_EQ(doc.DeclaredEncoding(), "GB2312");
    doc.SetDocument("\r\n<?xml version='1.0' encoding='utf-8' ?>\r\n<r/>");
    EXPECT_EQ(doc.DeclaredEncoding(), "utf-8");
    doc.SetDocument("<?xml version=\"1.0\"?><r encoding=\"x\"/>");
    EXPECT_EQ(doc.DeclaredEncoding(), "");
    doc.SetDocument("<r/><?xml encoding=\"x\"?>");  // only a first instruction counts
    EXPECT_EQ(doc.DeclaredEncoding(), "");
    doc.SetDocument("<?xml encoding=\"x\"");  // never closed
    EXPECT_EQ(doc.DeclaredEncoding(), "");
}

// --- entity table -----------------------------------------------------------------------

TEST(XmlEntities, TableShape)
{
    int nEntries = 0;
    for (int b = 0; b < xmlint::kEntityBuckets; ++b) {
        for (const char* p = xmlint::EntityBucket(b); *p;) {
            const int nLength = p[0] - '0';
            ASSERT_TRUE(nLength >= 2 && nLength <= 8) << "bucket " << b;
            unsigned nSum = 0;
            for (int i = 0; i < nLength; ++i) {
                EXPECT_FALSE(p[5 + i] >= 'A' && p[5 + i] <= 'Z');
                nSum += static_cast<unsigned char>(p[5 + i]);
            }
            EXPECT_EQ(nSum % 130, static_cast<unsigned>(b)) << std::string(p + 5, static_cast<size_t>(nLength));
            p += 5 + nLength;
            ++nEntries;
        }
    }
    EXPECT_EQ(nEntries, 253);
    EXPECT_STREQ(xmlint::EntityBucket(0), "60216oslash60217ugrave60248oslash60249ugrave");
}

TEST(XmlEntities, CapitalVariantIsFoundFirst)
{
    struct
    {
        const char* pszName;
        int nCode;
    } const cases[] = {
        {"oslash", 0xD8}, {"darr", 0x21D3}, {"alpha", 0x391}, {"apos", 39},    {"amp", 38},
        {"nbsp", 160},    {"euro", 8364},   {"diams", 9830},  {"thetasym", 977}, {"none", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(xmlint::EntityCodePoint(c.pszName, static_cast<int>(std::strlen(c.pszName))), c.nCode) << c.pszName;
}

}  // namespace
