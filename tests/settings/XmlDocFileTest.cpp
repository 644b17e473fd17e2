// CXmlDoc files: UTF-8 on disk and GBK in memory, declared encodings, result texts,
// and saves that never leave a damaged file behind.
#include "XmlDoc.h"
#include "XmlTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#else
#include <signal.h>
#include <sys/resource.h>
#endif

namespace {

const char kGbkZhong[] = "\xD6\xD0";        // U+4E2D in GBK
const char kUtf8Zhong[] = "\xE4\xB8\xAD";   // ... and in UTF-8

std::string ErrnoText(int nErrno)
{
    return std::strerror(nErrno);
}

TEST(XmlFileSave, NewElementOnEmptyDocument)
{
    ScratchDir dir;
    CXmlDoc doc;
    ASSERT_TRUE(doc.AppendElement("name"));
    ASSERT_TRUE(doc.SaveFile(dir.Path("x.xml")));
    EXPECT_EQ(ReadBytes(dir.Path("x.xml")), "<name/>\r\n");
    EXPECT_EQ(doc.GetResult(), "9 bytes");
    EXPECT_EQ(dir.Listing(), "x.xml");
}

TEST(XmlFileSave, GbkInMemoryIsUtf8OnDisk)
{
    ScratchDir dir;
    CXmlDoc doc;
    doc.SetDocument(std::string("<r v=\"") + kGbkZhong + "\"/>");
    ASSERT_TRUE(doc.SaveFile(dir.Path("x.xml")));
    EXPECT_EQ(ReadBytes(dir.Path("x.xml")), std::string("<r v=\"") + kUtf8Zhong + "\"/>");
    EXPECT_EQ(doc.GetResult(), "12 bytes");  // bytes written, after conversion

    CXmlDoc loaded;
    ASSERT_TRUE(loaded.LoadFile(dir.Path("x.xml")));
    EXPECT_EQ(loaded.GetDocument(), std::string("<r v=\"") + kGbkZhong + "\"/>");
    EXPECT_EQ(loaded.GetResult(), "12 bytes");  // bytes read, before conversion
}

TEST(XmlFileLoad, DeclaredUtf8InAnyCaseIsConverted)
{
    ScratchDir dir;
    for (const char* pszDeclaration : {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>", "<?xml encoding='utf-8'?>",
                                       "<?xml encoding=\"Utf-8x\"?>", ""}) {
        const std::string strBody = std::string("<r v=\"") + kUtf8Zhong + "\"/>";
        WriteBytes(dir.Path("x.xml"), pszDeclaration + strBody);
        CXmlDoc doc;
        ASSERT_TRUE(doc.LoadFile(dir.Path("x.xml"))) << pszDeclaration;
        EXPECT_EQ(doc.GetDocument(), pszDeclaration + std::string("<r v=\"") + kGbkZhong + "\"/>");
    }
}

TEST(XmlFileLoad, OtherDeclaredEncodingKeepsTheBytes)
{
    ScratchDir dir;
    const std::string strText =
        std::string("<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<r v=\"") + kGbkZhong + "\"/>\r\n";
    WriteBytes(dir.Path("x.xml"), strText);
    CXmlDoc doc;
    ASSERT_TRUE(doc.LoadFile(dir.Path("x.xml")));
    EXPECT_EQ(doc.GetDocument(), strText);
    doc.FindElement(nullptr);
    doc.SetAttribute("w", kGbkZhong);
    ASSERT_TRUE(doc.SaveFile(dir.Path("x.xml")));
    EXPECT_EQ(ReadBytes(dir.Path("x.xml")), std::string("<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<r v=\"") +
                                                kGbkZhong + "\" w=\"" + kGbkZhong + "\"/>\r\n");
}

TEST(XmlFileLoad, CharactersWithoutGbkEquivalentAreReported)
{
    ScratchDir dir;
    WriteBytes(dir.Path("x.xml"), "<r v=\"\xC3\x98\"/>");  // U+00D8
    CXmlDoc doc;
    ASSERT_TRUE(doc.LoadFile(dir.Path("x.xml")));
    EXPECT_EQ(doc.GetResult(), "11 bytes (chars lost in conversion!)");
    EXPECT_EQ(doc.GetDocument(), "<r v=\"?\"/>");
}

TEST(XmlFileLoad, EmptyFileIsNotADocument)
{
    ScratchDir dir;
    WriteBytes(dir.Path("x.xml"), "");
    CXmlDoc doc;
    EXPECT_FALSE(doc.LoadFile(dir.Path("x.xml")));
    EXPECT_EQ(doc.GetResult(), "0 bytes, Empty document");
}

TEST(XmlFileLoad, MalformedFileLoadsFalseButNavigable)
{
    ScratchDir dir;
    WriteBytes(dir.Path("x.xml"), "<a n=\"1\"/>\r\n<b/>");
    CXmlDoc doc;
    EXPECT_FALSE(doc.LoadFile(dir.Path("x.xml")));
    EXPECT_EQ(doc.GetResult(), "16 bytes, Root element has sibling");
    ASSERT_TRUE(doc.FindElement(nullptr));
    ASSERT_TRUE(doc.FindElement("b"));
}

TEST(XmlFileLoad, MissingFileKeepsTheOldContents)
{
    ScratchDir dir;
    CXmlDoc doc;
    doc.SetDocument("<old><a/></old>");
    doc.FindChildElement("a");
    EXPECT_FALSE(doc.LoadFile(dir.Path("missing.xml")));
    EXPECT_EQ(doc.GetResult(), ErrnoText(ENOENT));
    EXPECT_EQ(doc.GetDocument(), "<old><a/></old>");
    EXPECT_EQ(CXmlDocInspector::PosChild(doc), 2);  // the position stays too
}

TEST(XmlFileSave, RefusedTargetsAreLeftAlone)
{
    ScratchDir dir;
    CXmlDoc doc;
    doc.SetDocument("<r/>");
    EXPECT_FALSE(doc.SaveFile(dir.Path("no-such-folder/x.xml")));
    EXPECT_EQ(doc.GetResult(), ErrnoText(ENOENT));

    ASSERT_TRUE(doc.SaveFile(dir.Path("sub")));  // a file first...
    ASSERT_EQ(std::remove(dir.Path("sub").c_str()), 0);
#ifdef _WIN32
    ASSERT_EQ(_mkdir(dir.Path("sub").c_str()), 0);
#else
    ASSERT_EQ(mkdir(dir.Path("sub").c_str(), 0777), 0);
#endif
    EXPECT_FALSE(doc.SaveFile(dir.Path("sub")));  // ...then a folder of that name
    EXPECT_FALSE(doc.GetResult().empty());
    EXPECT_EQ(dir.Listing(), "sub");
}

TEST(XmlFileSave, ReplacesAndLeavesNoTemporaryFile)
{
    ScratchDir dir;
    WriteBytes(dir.Path("x.xml"), "<old/>");
    WriteBytes(dir.Path("x.xml.tmp"), "left by an interrupted save");
    CXmlDoc doc;
    doc.SetDocument("<new/>");
    ASSERT_TRUE(doc.SaveFile(dir.Path("x.xml")));
    EXPECT_EQ(ReadBytes(dir.Path("x.xml")), "<new/>");
    EXPECT_EQ(dir.Listing(), "x.xml");

    CXmlDoc empty;  // an empty text writes an empty file
    ASSERT_TRUE(empty.SaveFile(dir.Path("x.xml")));
    EXPECT_EQ(empty.GetResult(), "0 bytes");
    EXPECT_EQ(ReadBytes(dir.Path("x.xml")), "");
}

#ifdef _WIN32
// A save replaces the file through a temporary one; the file keeps what it was given.
TEST(XmlFileSave, KeepsTheAttributesOfTheFileAndRefusesAReadOnlyOne)
{
    struct Row { DWORD nAttributes; bool bSaved; } rows[] = {
        {FILE_ATTRIBUTE_ARCHIVE, true},
        {FILE_ATTRIBUTE_HIDDEN, true},
        {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE, true},
        {FILE_ATTRIBUTE_READONLY, false},
    };
    for (const Row& r : rows) {
        ScratchDir dir;
        const std::string path = dir.Path("x.xml");
        WriteBytes(path, "<old/>");
        ASSERT_TRUE(::SetFileAttributesA(path.c_str(), r.nAttributes));
        const DWORD nBefore = ::GetFileAttributesA(path.c_str());
        CXmlDoc doc;
        doc.SetDocument("<new/>");
        EXPECT_EQ(doc.SaveFile(path.c_str()), r.bSaved) << r.nAttributes;
        EXPECT_EQ(ReadBytes(path), r.bSaved ? "<new/>" : "<old/>") << r.nAttributes;
        EXPECT_EQ(::GetFileAttributesA(path.c_str()), nBefore) << r.nAttributes;
        EXPECT_EQ(dir.Listing(), "x.xml") << r.nAttributes;
        ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

// The slot of this program's import table through which it calls `name` (of any DLL);
// null when it imports no function of that name.
void** ImportSlot(const char* name)
{
    BYTE* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d) {
        auto* lookup = reinterpret_cast<IMAGE_THUNK_DATA*>(base + (d->OriginalFirstThunk ? d->OriginalFirstThunk
                                                                                          : d->FirstThunk));
        auto* bound = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; lookup->u1.AddressOfData; ++lookup, ++bound) {
            if (IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + lookup->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) == 0)
                return reinterpret_cast<void**>(&bound->u1.Function);
        }
    }
    return nullptr;
}

// Routes this program's calls of an imported function to `replacement` while it lives.
class ImportPatch
{
public:
    ImportPatch(const char* name, void* replacement) : m_pSlot(ImportSlot(name))
    {
        if (m_pSlot) {
            m_pOriginal = *m_pSlot;
            Put(replacement);
        }
    }
    ~ImportPatch()
    {
        if (m_pSlot)
            Put(m_pOriginal);
    }
    bool Active() const { return m_pSlot != nullptr; }
    void* Original() const { return m_pOriginal; }

private:
    void Put(void* pValue)
    {
        DWORD nOld = 0;
        ::VirtualProtect(m_pSlot, sizeof *m_pSlot, PAGE_READWRITE, &nOld);
        *m_pSlot = pValue;
        ::VirtualProtect(m_pSlot, sizeof *m_pSlot, nOld, &nOld);
    }
    void** m_pSlot;
    void* m_pOriginal = nullptr;
};

// How the stand-in for ReplaceFileW fails, following its documented outcomes.
struct ReplaceFault
{
    DWORD nError;
    bool bMovedAside;   // 1177: the old file is moved to the backup name, or without one
                        // to a name of Windows' own
    bool bGone;         // 1176 without a backup name: the old file no longer exists
    bool bTempStuck;    // and the temporary file cannot be renamed afterwards either
};
ReplaceFault g_fault;
using MoveFileExFn = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
MoveFileExFn g_pRealMove = nullptr;

BOOL WINAPI FailingReplaceFile(LPCWSTR pszReplaced, LPCWSTR, LPCWSTR pszBackup, DWORD, LPVOID, LPVOID)
{
    std::wstring strAside;
    if (pszBackup) {
        strAside = pszBackup;
    } else {
        strAside = pszReplaced;
        strAside = strAside.substr(0, strAside.find_last_of(L"\\/") + 1) + L"~RF3f2a.TMP";
    }
    if (g_fault.bMovedAside)
        g_pRealMove(pszReplaced, strAside.c_str(), MOVEFILE_REPLACE_EXISTING);
    else if (g_fault.bGone && !pszBackup)
        ::DeleteFileW(pszReplaced);
    ::SetLastError(g_fault.nError);
    return FALSE;
}

BOOL WINAPI MaybeStuckMoveFileEx(LPCWSTR pszFrom, LPCWSTR pszTo, DWORD nFlags)
{
    const std::wstring strFrom = pszFrom;
    if (g_fault.bTempStuck && strFrom.size() > 4 && strFrom.compare(strFrom.size() - 4, 4, L".tmp") == 0) {
        ::SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    return g_pRealMove(pszFrom, pszTo, nFlags);
}

// Each way ReplaceFileW can fail ends with one file of that name and no other: the new
// text when it could still be put in place, else the old; never a copy of the old file
// beside it (Login.xml holds passwords), never no file at all.
TEST(XmlFileSave, AFailedReplaceLeavesOneFileAndNoCopyOfTheOld)
{
    struct Row
    {
        ReplaceFault fault;
        bool bSaved;
    } rows[] = {
        {{ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, true, false, false}, true},
        {{ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, true, false, true}, false},
        {{ERROR_UNABLE_TO_MOVE_REPLACEMENT, false, true, false}, true},
        {{ERROR_UNABLE_TO_MOVE_REPLACEMENT, false, true, true}, false},
        {{ERROR_UNABLE_TO_REMOVE_REPLACED, false, false, false}, true},
        {{ERROR_UNABLE_TO_REMOVE_REPLACED, false, false, true}, false},
    };
    ImportPatch replace("ReplaceFileW", reinterpret_cast<void*>(&FailingReplaceFile));
    ImportPatch move("MoveFileExW", reinterpret_cast<void*>(&MaybeStuckMoveFileEx));
    ASSERT_TRUE(replace.Active() && move.Active()) << "the saves call them through this program's imports";
    g_pRealMove = reinterpret_cast<MoveFileExFn>(move.Original());
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.fault.nError << (r.fault.bTempStuck ? " stuck" : ""));
        g_fault = r.fault;
        ScratchDir dir;
        WriteBytes(dir.Path("Login.xml"), "<old/>");
        WriteBytes(dir.Path("Login.xml.bak"), "left by an interrupted save");
        CXmlDoc doc;
        doc.SetDocument("<new/>");
        EXPECT_EQ(doc.SaveFile(dir.Path("Login.xml")), r.bSaved);
        EXPECT_EQ(ReadBytes(dir.Path("Login.xml")), r.bSaved ? "<new/>" : "<old/>");
        EXPECT_EQ(dir.Listing(), "Login.xml");
        if (!r.bSaved) {
            EXPECT_FALSE(doc.GetResult().empty());
        }
    }
    g_fault = ReplaceFault{};
}
#endif

#ifndef _WIN32
// A save used to truncate the file before writing it: a full disk or a crash in
// between lost every remembered account. The old file must survive a failed write.
TEST(XmlFileSave, FailedWriteKeepsTheOldFile)
{
    ScratchDir dir;
    WriteBytes(dir.Path("x.xml"), "<old/>");
    CXmlDoc doc;
    doc.SetDocument("<r v=\"" + std::string(100000, 'x') + "\"/>");

    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    struct rlimit limit = {}, saved = {};
    getrlimit(RLIMIT_FSIZE, &saved);
    limit = saved;
    limit.rlim_cur = 4096;  // the disk fills up after 4 KB
    setrlimit(RLIMIT_FSIZE, &limit);
    const bool bSaved = doc.SaveFile(dir.Path("x.xml"));
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_FALSE(bSaved);
    EXPECT_EQ(doc.GetResult(), ErrnoText(EFBIG));
    EXPECT_EQ(ReadBytes(dir.Path("x.xml")), "<old/>");
    EXPECT_EQ(dir.Listing(), "x.xml");
}

TEST(XmlFileSave, KeepsThePermissionsOfTheFile)
{
    ScratchDir dir;
    WriteBytes(dir.Path("x.xml"), "<old/>");
    ASSERT_EQ(chmod(dir.Path("x.xml").c_str(), 0640), 0);
    CXmlDoc doc;
    doc.SetDocument("<new/>");
    ASSERT_TRUE(doc.SaveFile(dir.Path("x.xml")));
    struct stat st = {};
    ASSERT_EQ(stat(dir.Path("x.xml").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}
#endif

}  // namespace
