// CXmlDoc edits: the exact bytes each edit leaves, the position it leaves, and the
// records patched to agree with a fresh parse of the edited text.
#include "XmlDoc.h"
#include "XmlTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using Ops = std::function<void(CXmlDoc&)>;

struct EditCase
{
    const char* pszName;
    std::string strInput;
    Ops ops;
    std::string strExpected;
};

void PrintTo(const EditCase& c, std::ostream* os)
{
    *os << c.pszName;
}

// Walk the children of the top element, with no current element.
void EnterTop(CXmlDoc& doc)
{
    doc.FindElement(nullptr);
    doc.EnterElement();
}

// Walk the children of the top element, with pszChild current.
void AtChild(CXmlDoc& doc, const char* pszChild)
{
    EnterTop(doc);
    doc.FindElement(pszChild);
}

const EditCase kEditCases[] = {
    {"AppendToEmptyDocument", "", [](CXmlDoc& d) { d.AppendElement("name"); }, "<name/>\r\n"},
    {"BuildAudioFromEmpty", "",
     [](CXmlDoc& d) {
         d.AppendElement("Audio");
         d.EnterElement();
         d.AppendElement("Dirver");
         d.SetAttribute("playdev", "0");
         d.SetAttribute("recodev", "1");
     },
     "<Audio>\r\n<Dirver playdev=\"0\" recodev=\"1\"/>\r\n</Audio>\r\n"},
    {"ChildIntoSelfClosing", "<a/>", [](CXmlDoc& d) { EnterTop(d); d.AppendElement("b"); },
     "<a>\r\n<b/>\r\n</a>"},
    {"SecondChildFollowsFirst", "<a/>",
     [](CXmlDoc& d) {
         EnterTop(d);
         d.AppendElement("b");
         d.AppendElement("c");
     },
     "<a>\r\n<b/>\r\n<c/>\r\n</a>"},
    {"ChildIntoSelfClosingWithAttribute", "<p a=\"1\"/>", [](CXmlDoc& d) { EnterTop(d); d.AppendElement("b"); },
     "<p a=\"1\">\r\n<b/>\r\n</p>"},
    {"ChildIntoSelfClosingWithSpace", "<p a='1' />", [](CXmlDoc& d) { EnterTop(d); d.AppendElement("b"); },
     "<p a='1' >\r\n<b/>\r\n</p>"},
    {"ChildIntoEmptyContent", "<p></p>", [](CXmlDoc& d) { EnterTop(d); d.AppendElement("b"); },
     "<p>\r\n<b/>\r\n</p>"},
    {"ChildIntoContentEndedWithSlash", "<p></p/>", [](CXmlDoc& d) { EnterTop(d); d.AppendElement("b"); },
     "<p>\r\n<b/>\r\n</p/>"},
    {"InsertIntoEmptyContent", "<p></p>", [](CXmlDoc& d) { EnterTop(d); d.InsertElementBefore("b"); },
     "<p>\r\n<b/>\r\n</p>"},
    {"AppendAsLastChild", "<p>\r\n<a/>\r\n</p>", [](CXmlDoc& d) { EnterTop(d); d.AppendElement("b"); },
     "<p>\r\n<a/>\r\n<b/>\r\n</p>"},
    {"AppendAfterCurrentTakesItsLine", "<p>\r\n<a/>\r\n<c/>\r\n</p>",
     [](CXmlDoc& d) { AtChild(d, "a"); d.AppendElement("b"); }, "<p>\r\n<a/>\r\n<b/>\r\n<c/>\r\n</p>"},
    {"AppendAfterCurrentBeforeText", "<p><a/>text<c/></p>", [](CXmlDoc& d) { AtChild(d, "a"); d.AppendElement("b"); },
     "<p><a/><b/>\r\ntext<c/></p>"},
    {"InsertFirstCallBeforeAudio", "<calls>\r\n<audio a11=\"1\"/>\r\n</calls>\r\n",
     [](CXmlDoc& d) {
         EnterTop(d);
         d.InsertElementBefore("Call");
         d.SetAttribute("dallnum", "013912345678");
         d.SetAttribute("userr", "8001");
         d.SetAttribute("lx", "a");
     },
     "<calls>\r\n<Call dallnum=\"013912345678\" userr=\"8001\" lx=\"a\"/>\r\n<audio a11=\"1\"/>\r\n</calls>\r\n"},
    {"InsertBeforeCurrent", "<p>\r\n<a/>\r\n<c/>\r\n</p>",
     [](CXmlDoc& d) { AtChild(d, "c"); d.InsertElementBefore("b"); }, "<p>\r\n<a/>\r\n<b/>\r\n<c/>\r\n</p>"},
    {"InsertFirstBeforeText", "<p>x<a/></p>", [](CXmlDoc& d) { EnterTop(d); d.InsertElementBefore("b"); },
     "<p><b/>\r\nx<a/></p>"},
    {"AppendAfterRootAtDocumentLevel", "<r/>\r\n",
     [](CXmlDoc& d) { d.FindElement("r"); d.AppendElement("s"); }, "<r/>\r\n<s/>\r\n"},
    {"InsertBeforeRootAfterDeclaration", "<?xml version=\"1.0\"?>\r\n<r/>",
     [](CXmlDoc& d) { d.FindElement("r"); d.InsertElementBefore("s"); },
     "<?xml version=\"1.0\"?>\r\n<s/>\r\n<r/>"},
    {"RemoveLastChild", "<p>\r\n<a/>\r\n<b/>\r\n</p>",
     [](CXmlDoc& d) { d.FindChildElement("b"); d.RemoveChildElement(); }, "<p>\r\n<a/>\r\n</p>"},
    {"RemoveOnlyChild", "<p>\r\n<a/>\r\n</p>", [](CXmlDoc& d) { d.FindChildElement("a"); d.RemoveChildElement(); },
     "<p>\r\n</p>"},
    {"RemoveChildWithItsChildren", "<p>\r\n<a/>\r\n<b>\r\n<x/>\r\n</b>\r\n<c/>\r\n</p>",
     [](CXmlDoc& d) { d.FindChildElement("b"); d.RemoveChildElement(); }, "<p>\r\n<a/>\r\n<c/>\r\n</p>"},
    {"RemoveKeepsFollowingText", "<p><a/> text</p>",
     [](CXmlDoc& d) { d.FindChildElement("a"); d.RemoveChildElement(); }, "<p> text</p>"},
    {"RemoveEveryMatchingChild", "<c>\r\n<Call/>\r\n<audio/>\r\n<Call/>\r\n<Call/>\r\n</c>",
     [](CXmlDoc& d) {
         while (d.FindChildElement("Call"))
             d.RemoveChildElement();
     },
     "<c>\r\n<audio/>\r\n</c>"},
    {"SetReplacesValueInPlace", "<a x=\"1\" y=\"2\"/>",
     [](CXmlDoc& d) { d.FindElement(nullptr); d.SetAttribute("x", "345"); }, "<a x=\"345\" y=\"2\"/>"},
    {"SetReplacesSingleQuoted", "<a x='1' y='2'/>",
     [](CXmlDoc& d) { d.FindElement(nullptr); d.SetAttribute("x", "long value"); },
     "<a x=\"long value\" y='2'/>"},
    {"SetReplacesUnquoted", "<a x=1 y=2></a>", [](CXmlDoc& d) { d.FindElement(nullptr); d.SetAttribute("y", 5); },
     "<a x=1 y=\"5\"></a>"},
    {"SetGivesValuelessAttributeAValue", "<a z y=\"2\"/>",
     [](CXmlDoc& d) { d.FindElement(nullptr); d.SetAttribute("z", 1); }, "<a z=\"1\" y=\"2\"/>"},
    {"SetFillsEmptyUnquotedValue", "<a x= ></a>", [](CXmlDoc& d) { d.FindElement(nullptr); d.SetAttribute("x", 1); },
     "<a x= \"1\"></a>"},
    {"SetAddsBeforeClosingSpace", "<a x=\"1\" />", [](CXmlDoc& d) { d.FindElement(nullptr); d.SetAttribute("y", 2); },
     "<a x=\"1\" y=\"2\" />"},
    {"SetDoesNotMatchLongerName", "<a xy=\"1\"/>", [](CXmlDoc& d) { d.FindElement(nullptr); d.SetAttribute("x", 2); },
     "<a xy=\"1\" x=\"2\"/>"},
    {"SetOnOuterThenInnerElement", "<a>\r\n<b/>\r\n</a>",
     [](CXmlDoc& d) {
         d.FindElement(nullptr);
         d.SetAttribute("v", 1);
         d.EnterElement();
         d.FindElement("b");
         d.SetAttribute("w", 2);
     },
     "<a v=\"1\">\r\n<b w=\"2\"/>\r\n</a>"},
    {"SetEscapesMarkup", "<a/>", [](CXmlDoc& d) { d.FindElement(nullptr); d.SetAttribute("x", "<a&b>\"c'"); },
     "<a x=\"&lt;a&amp;b&gt;&quot;c&apos;\"/>"},
    {"SetEscapesAmpersandOfReference", "<a/>", [](CXmlDoc& d) { d.FindElement(nullptr); d.SetAttribute("x", "&amp;"); },
     "<a x=\"&amp;amp;\"/>"},
    {"SetKeepsTwoByteCharactersWhole", "<a/>",
     [](CXmlDoc& d) { d.FindElement(nullptr); d.SetAttribute("x", "\xD6\xD0\x81<"); }, "<a x=\"\xD6\xD0\x81<\"/>"},
    {"SetNegativeNumber", "<a/>", [](CXmlDoc& d) { d.FindElement(nullptr); d.SetAttribute("n", -12); },
     "<a n=\"-12\"/>"},
    {"ChildIntoElementNeverEnded", "<r><p><x/></r>",
     [](CXmlDoc& d) {
         d.FindElement(nullptr);
         d.EnterElement();
         d.FindElement("p");
         d.EnterElement();
         d.AppendElement("n");
     },
     "<r><p>\r\n<n/>\r\n</p><x/></r>"},
};

class XmlEditBytes : public ::testing::TestWithParam<EditCase>
{
};

TEST_P(XmlEditBytes, LeavesExactTextAndPatchedRecords)
{
    const EditCase& c = GetParam();
    CXmlDoc doc;
    doc.SetDocument(c.strInput);
    c.ops(doc);
    EXPECT_EQ(doc.GetDocument(), c.strExpected);
    EXPECT_EQ(CXmlDocInspector::CheckAgainstReparse(doc), "");
}

INSTANTIATE_TEST_SUITE_P(Shapes, XmlEditBytes, ::testing::ValuesIn(kEditCases),
                         [](const ::testing::TestParamInfo<EditCase>& info) { return std::string(info.param.pszName); });

// --- refused edits ----------------------------------------------------------------------

TEST(XmlEditRefused, NothingChangesWithoutAPosition)
{
    const std::string strText = "<a>\r\n<b/>\r\n</a>";
    CXmlDoc doc;
    doc.SetDocument(strText);
    EXPECT_FALSE(doc.SetAttribute("x", "1"));   // no current element
    EXPECT_FALSE(doc.RemoveChildElement());     // no current child
    EXPECT_FALSE(doc.EnterElement());
    EXPECT_FALSE(doc.LeaveElement());           // already at the document level
    EXPECT_EQ(doc.ChildAttribute("x"), "");
    ASSERT_TRUE(doc.FindElement("a"));
    EXPECT_FALSE(doc.RemoveChildElement());     // a current element but no child
    EXPECT_EQ(doc.GetDocument(), strText);
}

TEST(XmlEditRefused, NamesThatWouldNotReadBack)
{
    CXmlDoc doc;
    doc.SetDocument("<a/>");
    doc.FindElement(nullptr);
    doc.EnterElement();
    for (const char* pszName : {"", "1x", "a b", "a/b", "a>b", "a\"b", "a=b", "<a"})
        EXPECT_FALSE(doc.AppendElement(pszName)) << pszName;
    EXPECT_FALSE(doc.AppendElement(nullptr));
    EXPECT_EQ(doc.GetDocument(), "<a/>");
}

TEST(XmlEditRefused, AppendThatTrailingJunkWouldSwallow)
{
    // At the document level a new last element goes to the end of the text; after
    // an unfinished comment or a lone lead byte it could never be read again.
    for (const char* pszText : {"<r/><!-- open", "<r/>\x81", "<r/></r", "<r/><x a=\""}) {
        CXmlDoc doc;
        doc.SetDocument(pszText);
        EXPECT_FALSE(doc.AppendElement("s")) << pszText;
        EXPECT_EQ(doc.GetDocument(), pszText);
    }
    // A lone '<' or '<!' stops at the next '<': the element still reads back.
    for (const char* pszText : {"<r/><", "<r/><!"}) {
        CXmlDoc doc;
        doc.SetDocument(pszText);
        EXPECT_TRUE(doc.AppendElement("s")) << pszText;
        EXPECT_EQ(doc.GetDocument(), std::string(pszText) + "<s/>\r\n");
        EXPECT_EQ(CXmlDocInspector::CheckAgainstReparse(doc), "");
    }
}

// --- position after edits ------------------------------------------------------------------

TEST(XmlEditPosition, AppendMakesTheNewElementCurrent)
{
    CXmlDoc doc;
    doc.SetDocument("<r>\r\n<a/>\r\n</r>");
    doc.FindElement(nullptr);
    doc.EnterElement();
    ASSERT_TRUE(doc.AppendElement("b"));
    EXPECT_EQ(CXmlDocInspector::PosChild(doc), 0);
    ASSERT_TRUE(doc.InsertElementBefore("c"));  // before the current one, b
    doc.SetAttribute("k", "v");
    EXPECT_EQ(doc.GetDocument(), "<r>\r\n<a/>\r\n<c k=\"v\"/>\r\n<b/>\r\n</r>");
}

TEST(XmlEditPosition, EditedAndVeryLongNamesAreFoundByName)
{
    // Names up to 2047 bytes are kept with their element, longer ones are read from
    // the text; edits next to a name must leave both ways finding it.
    const std::string strLong(3000, 'n'), strKept(2047, 'k');
    CXmlDoc doc;
    doc.SetDocument("<r><" + strLong + " n=\"1\"/><" + strKept + "/><a></a></r>");
    doc.FindElement(nullptr);
    doc.EnterElement();
    ASSERT_TRUE(doc.FindElement(strKept.c_str()));
    ASSERT_TRUE(doc.SetAttribute("n", "2"));  // goes right after the name
    ASSERT_TRUE(doc.FindElement("a"));
    ASSERT_TRUE(doc.SetAttribute("n", "3"));
    ASSERT_TRUE(doc.AppendElement((strLong + "m").c_str()));
    ASSERT_TRUE(doc.SetAttribute("n", "4"));
    ASSERT_TRUE(doc.InsertElementBefore("Call"));
    ASSERT_TRUE(doc.SetAttribute("n", "5"));
    EXPECT_EQ(CXmlDocInspector::CheckAgainstReparse(doc), "");
    const struct
    {
        std::string strName;
        const char* pszFound;
    } rows[] = {{strLong, "1"}, {strKept, "2"}, {"a", "3"}, {strLong + "m", "4"}, {"Call", "5"}, {strKept + "k", ""}};
    for (const auto& row : rows) {
        doc.LeaveElement();
        doc.RewindElements();
        doc.FindElement(nullptr);
        const std::string strFound = doc.FindChildElement(row.strName.c_str()) ? doc.ChildAttribute("n") : "";
        EXPECT_EQ(strFound, row.pszFound) << row.strName.size();
    }
}

TEST(XmlEditPosition, RemoveLeavesThePreviousSiblingAsChild)
{
    CXmlDoc doc;
    doc.SetDocument("<r><a n=\"1\"/><b/><c n=\"3\"/></r>");
    ASSERT_TRUE(doc.FindChildElement("b"));
    ASSERT_TRUE(doc.RemoveChildElement());
    EXPECT_EQ(doc.ChildAttribute("n"), "1");  // a is the current child again
    ASSERT_TRUE(doc.FindChildElement(nullptr));
    EXPECT_EQ(doc.ChildAttribute("n"), "3");
    ASSERT_TRUE(doc.FindChildElement(nullptr) == false);
    doc.RewindElements();
    doc.FindElement(nullptr);
    ASSERT_TRUE(doc.FindChildElement("a"));
    ASSERT_TRUE(doc.RemoveChildElement());  // the first child: no previous sibling
    EXPECT_EQ(CXmlDocInspector::PosChild(doc), 0);
    EXPECT_EQ(doc.GetDocument(), "<r><c n=\"3\"/></r>");
}

TEST(XmlEditPosition, LeaveMakesTheOldElementTheChild)
{
    CXmlDoc doc;
    doc.SetDocument("<r><a n=\"1\"/><b n=\"2\"/></r>");
    doc.FindElement(nullptr);
    doc.EnterElement();
    doc.FindElement("b");
    ASSERT_TRUE(doc.LeaveElement());
    EXPECT_EQ(doc.ChildAttribute("n"), "2");
    EXPECT_TRUE(doc.FindChildElement(nullptr) == false);  // b was the last child
    EXPECT_FALSE(doc.LeaveElement());
}

// --- record table -----------------------------------------------------------------------

TEST(XmlRecords, RemovedRecordsAreNotReused)
{
    CXmlDoc doc;
    doc.SetDocument("<r><a><x/><y/></a><b/></r>");
    const int nBefore = CXmlDocInspector::RecordsInUse(doc);  // document, r, a, x, y, b
    ASSERT_EQ(nBefore, 6);
    ASSERT_TRUE(doc.FindChildElement("a"));
    ASSERT_TRUE(doc.RemoveChildElement());
    EXPECT_EQ(CXmlDocInspector::ReleasedRecords(doc), 3);
    doc.FindElement(nullptr);
    doc.EnterElement();
    ASSERT_TRUE(doc.AppendElement("c"));
    EXPECT_EQ(CXmlDocInspector::RecordsInUse(doc), nBefore + 1);
    EXPECT_EQ(CXmlDocInspector::PosElement(doc), nBefore);  // the next index after the highest
    EXPECT_EQ(CXmlDocInspector::CheckAgainstReparse(doc), "");
    doc.SetDocument(doc.GetDocument());  // a new parse starts the table afresh
    EXPECT_EQ(CXmlDocInspector::RecordsInUse(doc), 4);
    EXPECT_EQ(CXmlDocInspector::ReleasedRecords(doc), 0);
}

TEST(XmlRecords, TableSizedFromTextAndGrownByHalvesThenBlocks)
{
    CXmlDoc doc;
    doc.SetDocument(std::string(640, ' ') + "<r/>");
    EXPECT_EQ(CXmlDocInspector::RecordCapacity(doc), 644 / 64 + 8);

    // 70,000 elements in a short text: the first block grows by halves up to a whole
    // block, then whole blocks are added.
    std::string strText = "<r>";
    for (int i = 0; i < 70000; ++i)
        strText += "<a/>";
    strText += "</r>";
    doc.SetDocument(strText);
    EXPECT_EQ(CXmlDocInspector::RecordsInUse(doc), 70002);
    EXPECT_EQ(CXmlDocInspector::Blocks(doc), 2);
    EXPECT_EQ(CXmlDocInspector::RecordCapacity(doc), 2 * 65536);
    doc.FindElement(nullptr);
    doc.EnterElement();
    ASSERT_TRUE(doc.FindElement(nullptr));
    ASSERT_TRUE(doc.InsertElementBefore("z"));
    EXPECT_EQ(CXmlDocInspector::CheckAgainstReparse(doc), "");
}

TEST(XmlRecords, EditsNearTheStartMoveWhatIsBeforeThem)
{
    // 6,009 bytes with 61 of slack, 30 of them in front: edits before the middle take
    // the front slack while it lasts, then the slack behind, without a new buffer.
    std::string strText = "<r>\r\n", strExpected = "<r>\r\n<b k=\"v\"/>\r\n<b/>\r\n<b/>\r\n<c/>\r\n<c/>\r\n";
    for (int i = 0; i < 1000; ++i)
        strText += "<a/>\r\n";
    strExpected += strText.substr(5) + "</r>";
    strText += "</r>";
    CXmlDoc doc;
    doc.SetDocument(strText);
    EXPECT_EQ(CXmlDocInspector::TextFront(doc), 30);
    doc.FindElement(nullptr);
    doc.EnterElement();
    const struct
    {
        std::function<bool()> edit;
        int nFront;
    } steps[] = {
        {[&] { return doc.FindElement("a") && doc.InsertElementBefore("b"); }, 24},
        {[&] { return doc.InsertElementBefore("b"); }, 18},
        {[&] { return doc.InsertElementBefore("b"); }, 12},
        {[&] { return doc.SetAttribute("k", "v"); }, 6},
        {[&] { return doc.FindElement("a") && doc.InsertElementBefore("c"); }, 0},
        {[&] { return doc.InsertElementBefore("c"); }, 0},  // behind now
    };
    for (const auto& step : steps) {
        ASSERT_TRUE(step.edit());
        EXPECT_EQ(CXmlDocInspector::TextFront(doc), step.nFront);
        EXPECT_EQ(CXmlDocInspector::CheckAgainstReparse(doc), "");
    }
    EXPECT_EQ(CXmlDocInspector::TextCapacity(doc), 6009 + 60 + 1);
    EXPECT_EQ(doc.GetDocument().substr(0, 64), strExpected.substr(0, 64));
    EXPECT_TRUE(doc.GetDocument() == strExpected);
}

TEST(XmlRecords, TextGrowsByHalfAndMore)
{
    CXmlDoc doc;
    doc.SetDocument("<a/>");
    EXPECT_EQ(CXmlDocInspector::TextCapacity(doc), 5);  // 4 bytes + 1%, rounded down, + 1
    doc.FindElement(nullptr);
    doc.SetAttribute("x", "1");  // 10 bytes: 10 + 5 + 128, then 1% more
    EXPECT_EQ(doc.GetDocument(), "<a x=\"1\"/>");
    EXPECT_EQ(CXmlDocInspector::TextCapacity(doc), 143 + 1);
}

}  // namespace
