// SkinFeature.dll as the program uses it: imported by ordinal, dressing real dialogs.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <malloc.h>
#include <set>
#include <thread>
#include "FlatSkin.h"
#include "SkinDialogs.h"
#include "SkinFeature.h"
#include "SkinTestSupport.h"
#include "WinHarness.h"

using namespace skintest;

namespace {

HMODULE SkinModule() { return ::GetModuleHandleA("SkinFeature.dll"); }

// Every test starts with the library initialised and checks at its end that no window
// stayed dressed: each dressed dialog must have left the skin when it was destroyed.
class Skinned : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        INITCOMMONCONTROLSEX icc{sizeof icc, 0xFF | ICC_USEREX_CLASSES};
        ::InitCommonControlsEx(&icc);
    }
    void SetUp() override { SkinInit(); }
    void TearDown() override { EXPECT_EQ(SkinExit(), 0) << "windows still dressed at the end of the test"; }

    // Loads the flat test skin.
    void LoadFlat()
    {
        TempFile file("flat-test.rss", FlatSkinText());
        ASSERT_TRUE(SkinLoad(file.Name(), 0));
    }
};

// --- exports and imports -------------------------------------------------------------

const IMAGE_NT_HEADERS32* Headers(HMODULE m)
{
    auto* base = reinterpret_cast<const BYTE*>(m);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    return reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
}

TEST(SkinExports, TheExportTableHoldsOrdinals2_3_6_10AndNoNames)
{
    HMODULE m = SkinModule();
    ASSERT_NE(m, nullptr);
    auto* base = reinterpret_cast<const BYTE*>(m);
    const auto& dir = Headers(m)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    auto* exp = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    EXPECT_EQ(exp->NumberOfNames, 0u);
    auto* functions = reinterpret_cast<const DWORD*>(base + exp->AddressOfFunctions);
    std::set<DWORD> ordinals;
    for (DWORD i = 0; i < exp->NumberOfFunctions; ++i)
        if (functions[i])
            ordinals.insert(exp->Base + i);
    EXPECT_EQ(ordinals, (std::set<DWORD>{2, 3, 6, 10}));

    for (const char* name : {"SkinInit", "SkinLoad", "SkinExit", "SkinApply", "SkinInit@0", "_SkinInit@0"})
        EXPECT_EQ(::GetProcAddress(m, name), nullptr) << name;
}

TEST(SkinExports, AProgramLinkingTheImportLibraryImportsAllFourByOrdinal)
{
    HMODULE self = ::GetModuleHandleA(nullptr);
    auto* base = reinterpret_cast<const BYTE*>(self);
    const auto& dir = Headers(self)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    const IMAGE_IMPORT_DESCRIPTOR* found = nullptr;
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d)
        if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), "SkinFeature.dll") == 0)
            found = d;
    ASSERT_NE(found, nullptr) << "no import of SkinFeature.dll";

    auto* lookup = reinterpret_cast<const IMAGE_THUNK_DATA32*>(base + found->OriginalFirstThunk);
    auto* bound = reinterpret_cast<const IMAGE_THUNK_DATA32*>(base + found->FirstThunk);
    std::set<DWORD> ordinals;
    for (; lookup->u1.Ordinal; ++lookup, ++bound) {
        ASSERT_TRUE(IMAGE_SNAP_BY_ORDINAL32(lookup->u1.Ordinal)) << "an import by name";
        const DWORD ordinal = IMAGE_ORDINAL32(lookup->u1.Ordinal);
        ordinals.insert(ordinal);
        // The loader bound the entry to the function of that ordinal.
        EXPECT_EQ(reinterpret_cast<FARPROC>(static_cast<ULONG_PTR>(bound->u1.Function)),
                  ::GetProcAddress(SkinModule(), MAKEINTRESOURCEA(ordinal)));
    }
    EXPECT_EQ(ordinals, (std::set<DWORD>{2, 3, 6, 10}));
}

// --- dressing ------------------------------------------------------------------------

TEST_F(Skinned, LoginButtonsBecomeOwnerDrawnAndLabelledFromTheFile)
{
    LoadFlat();
    SkinnedDlg dlg(IDD_LOGIN);
    ASSERT_TRUE(dlg.Create());
    EXPECT_EQ(dlg.applied, TRUE);
    for (int id : {1004, 1005, 1006, 1007, 1011})
        EXPECT_EQ(ButtonType(dlg, id), BS_OWNERDRAW) << id;
    EXPECT_EQ(wintest::Text(dlg, 1004), "登录");
    EXPECT_EQ(wintest::Text(dlg, 1005), "注册新帐号");
    EXPECT_EQ(wintest::Text(dlg, 1006), "找回密码");
    EXPECT_EQ(wintest::Text(dlg, 1007), "删除帐号");
    EXPECT_EQ(wintest::Text(dlg, 1011), "");      // the file names no label for it
    // Check boxes stay check boxes.
    EXPECT_EQ(ButtonType(dlg, 1002), BS_AUTOCHECKBOX);
    EXPECT_EQ(ButtonType(dlg, 1003), BS_AUTOCHECKBOX);
    EXPECT_EQ(wintest::Text(dlg, 1002), "保存帐号");
}

TEST_F(Skinned, ButtonsWithCaptionsOfTheirOwnKeepThemWhenTheFileNamesNone)
{
    LoadFlat();
    SkinnedDlg dlg(IDD_AUDIO);
    ASSERT_TRUE(dlg.Create());
    EXPECT_EQ(ButtonType(dlg, 1035), BS_OWNERDRAW);
    EXPECT_EQ(ButtonType(dlg, 1036), BS_OWNERDRAW);
    EXPECT_EQ(wintest::Text(dlg, 1035), "应用");
    EXPECT_EQ(wintest::Text(dlg, 1036), "取 消");
    // The caption is what is drawn.
    auto withLabel = DrawButton(dlg, 1036);
    ASSERT_TRUE(withLabel);
    EXPECT_GT(withLabel->Count(RECT{2, 2, withLabel->Width() - 2, withLabel->Height() - 2},
                               [](COLORREF c) { return c != kFace; }), 10);
}

TEST_F(Skinned, AClickOnASkinnedButtonStillRunsTheProgramsHandler)
{
    LoadFlat();
    SkinnedDlg dlg(IDD_PHONE);
    ASSERT_TRUE(dlg.Create());
    std::vector<int> expected;
    for (int id : PushButtonIds(dlg)) {
        ASSERT_EQ(ButtonType(dlg, id), BS_OWNERDRAW) << id;
        if (wintest::Click(dlg, id))        // hidden buttons cannot be clicked
            expected.push_back(id);
    }
    EXPECT_EQ(expected.size(), 21u);     // 26 push buttons, 5 of them hidden
    EXPECT_EQ(dlg.clicks, expected);
}

TEST_F(Skinned, ADoubleClickIsTwoClicksAsOnAPlainPushButton)
{
    LoadFlat();
    SkinnedDlg dlg(IDD_PHONE);
    ASSERT_TRUE(dlg.Create());
    HWND key = ::GetDlgItem(dlg, 1008);
    const LPARAM at = MAKELPARAM(5, 5);
    ::SendMessageA(key, WM_LBUTTONDOWN, MK_LBUTTON, at);
    ::SendMessageA(key, WM_LBUTTONUP, 0, at);
    ::SendMessageA(key, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    ::SendMessageA(key, WM_LBUTTONUP, 0, at);
    wintest::Pump(20);
    EXPECT_EQ(dlg.clicks, (std::vector<int>{1008, 1008}));
    EXPECT_EQ(dlg.doubleClicks, 0);
}

TEST_F(Skinned, KeyboardKeepsWorkingSpaceClicksAndEnterFollowsTheDefaultButton)
{
    LoadFlat();
    SkinnedDlg dlg(IDD_DEFAULTS);
    ASSERT_TRUE(dlg.Create());
    ASSERT_EQ(ButtonType(dlg, IDOK), BS_OWNERDRAW);
    EXPECT_EQ(wintest::Text(dlg, IDC_DEF_OTHER), "其他按钮");

    // Enter in the edit box presses the default button.
    ::SetFocus(::GetDlgItem(dlg, IDC_DEF_EDIT));
    wintest::Key(dlg, VK_RETURN, '\r');
    PumpDialog(dlg, 50);
    EXPECT_EQ(dlg.clicks, (std::vector<int>{IDOK}));

    // Tab to the other button: the dialog manager makes it the default one; it stays
    // owner-drawn, and Space and Enter both press it.
    dlg.clicks.clear();
    ::SetFocus(::GetDlgItem(dlg, IDC_DEF_EDIT));
    wintest::Key(dlg, VK_TAB);
    wintest::Key(dlg, VK_TAB);
    PumpDialog(dlg, 50);
    ASSERT_EQ(::GetFocus(), ::GetDlgItem(dlg, IDC_DEF_OTHER));
    EXPECT_EQ(ButtonType(dlg, IDC_DEF_OTHER), BS_OWNERDRAW);
    EXPECT_EQ(ButtonType(dlg, IDOK), BS_OWNERDRAW);
    EXPECT_TRUE(::SendMessageA(::GetDlgItem(dlg, IDC_DEF_OTHER), WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON);
    EXPECT_TRUE(::SendMessageA(::GetDlgItem(dlg, IDOK), WM_GETDLGCODE, 0, 0) & DLGC_UNDEFPUSHBUTTON);
    wintest::Key(dlg, VK_SPACE, ' ');
    PumpDialog(dlg, 50);
    wintest::Key(dlg, VK_RETURN, '\r');
    PumpDialog(dlg, 50);
    EXPECT_EQ(dlg.clicks, (std::vector<int>{IDC_DEF_OTHER, IDC_DEF_OTHER}));
}

TEST_F(Skinned, AnUnknownDialogIdLeavesTheWindowUntouched)
{
    LoadFlat();
    SkinnedDlg plain(IDD_LOGIN, 4242);
    ASSERT_TRUE(plain.Create());
    EXPECT_TRUE(plain.applyCalled);
    EXPECT_EQ(plain.applied, FALSE);
    for (int id : {1004, 1005, 1006, 1007, 1011}) {
        EXPECT_EQ(ButtonType(plain, id), BS_PUSHBUTTON) << id;
        EXPECT_EQ(wintest::Text(plain, id), "") << id;
    }
    // The procedure is the framework's, as in a dialog that was never handed to the skin.
    SkinnedDlg skinned(IDD_LOGIN);
    ASSERT_TRUE(skinned.Create());
    EXPECT_NE(ProcOf(skinned), ProcOf(plain));
    EXPECT_EQ(SkinApply(nullptr, IDD_LOGIN), FALSE);
    EXPECT_EQ(SkinApply(reinterpret_cast<HWND>(0x1234), IDD_LOGIN), FALSE);
    EXPECT_EQ(SkinApply(skinned, -1), FALSE);
    // Only the thread that owns a window may hand it over.
    int fromOtherThread = -1;
    std::thread([&] { fromOtherThread = SkinApply(plain, IDD_LOGIN); }).join();
    EXPECT_EQ(fromOtherThread, FALSE);
    EXPECT_EQ(ButtonType(plain, 1004), BS_PUSHBUTTON);
}

TEST_F(Skinned, ApplyingTwiceOrLateDressesOnce)
{
    LoadFlat();
    SkinnedDlg dlg(IDD_LOGIN, 4242);      // not dressed on creation
    ASSERT_TRUE(dlg.Create());
    WNDPROC framework = ProcOf(dlg);
    EXPECT_EQ(SkinApply(dlg, IDD_LOGIN), TRUE);     // after creation: dressed at once
    EXPECT_EQ(ButtonType(dlg, 1004), BS_OWNERDRAW);
    EXPECT_EQ(wintest::Text(dlg, 1004), "登录");
    WNDPROC skin = ProcOf(dlg);
    EXPECT_NE(skin, framework);
    EXPECT_EQ(SkinApply(dlg, IDD_LOGIN), TRUE);
    EXPECT_EQ(ProcOf(dlg), skin);                   // no second subclass
    wintest::Click(dlg, 1004);
    EXPECT_EQ(dlg.clicks, (std::vector<int>{1004}));
}

TEST_F(Skinned, DestroyedDialogsTakeTheirDressingWithThem)
{
    LoadFlat();
    for (int round = 0; round < 15; ++round) {
        for (UINT id : {IDD_LOGIN, IDD_PHONE, IDD_AUDIO, IDD_PARTY, IDD_SOUNDHELP}) {
            SkinnedDlg dlg(id);
            ASSERT_TRUE(dlg.Create());
            ASSERT_EQ(dlg.applied, TRUE);
            auto back = EraseBackground(dlg);
            for (int b : PushButtonIds(dlg))
                DrawButton(dlg, b, ODS_FOCUS);
            dlg.DestroyWindow();
        }
    }
    // TearDown: SkinExit finds nothing dressed.
}

// Bytes in use on the C runtime's heap, which the DLL and this program share.
size_t HeapInUse()
{
    _HEAPINFO info{};
    size_t used = 0;
    while (_heapwalk(&info) == _HEAPOK)
        if (info._useflag == _USEDENTRY)
            used += info._size;
    return used;
}

TEST_F(Skinned, DialogsComingAndGoingLeaveTheHeapAsItWas)
{
    LoadFlat();
    auto round = [] {
        for (UINT id : {IDD_LOGIN, IDD_PHONE, IDD_AUDIO, IDD_PARTY, IDD_SOUNDHELP}) {
            SkinnedDlg dlg(id);
            ASSERT_TRUE(dlg.Create());
            ::SendMessageA(::GetDlgItem(dlg, 1004), WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
            auto back = EraseBackground(dlg);
            for (int b : PushButtonIds(dlg))
                DrawButton(dlg, b);
            dlg.DestroyWindow();
        }
    };
    round();
    round();                // the system's and the test's own caches settle
    const size_t before = HeapInUse();
    ASSERT_GT(before, 0u);
    for (int i = 0; i < 10; ++i)
        round();
    const size_t after = HeapInUse();
    EXPECT_LT(after, before + 1024) << "grew by " << (after - before) << " bytes over 50 dialogs";
}

TEST_F(Skinned, SkinExitGivesLiveDialogsTheirOwnLookBack)
{
    LoadFlat();
    SkinnedDlg never(IDD_AUDIO, 4242);
    ASSERT_TRUE(never.Create());
    SkinnedDlg login(IDD_LOGIN), audio(IDD_AUDIO);
    ASSERT_TRUE(login.Create());
    ASSERT_TRUE(audio.Create());
    // Two dialogs and their 5 + 2 push buttons.
    EXPECT_EQ(SkinExit(), 9);
    for (int id : {1004, 1005, 1006, 1007, 1011}) {
        EXPECT_EQ(ButtonType(login, id), BS_PUSHBUTTON) << id;
        EXPECT_EQ(wintest::Text(login, id), "") << id;
    }
    EXPECT_EQ(wintest::Text(audio, 1035), "应 用 ");
    EXPECT_EQ(ProcOf(audio), ProcOf(never));
    EXPECT_EQ(ProcOf(::GetDlgItem(audio, 1035)), ProcOf(::GetDlgItem(never, 1035)));
    auto back = EraseBackground(login);
    EXPECT_EQ(back->Pixel(3, 3), ::GetSysColor(COLOR_BTNFACE));
    wintest::Click(login, 1004);
    EXPECT_EQ(login.clicks, (std::vector<int>{1004}));
    SkinInit();
}

// A procedure another part of the program puts above the skin's.
WNDPROC g_below = nullptr;
int g_seen = 0;
LRESULT CALLBACK OnTop(HWND h, UINT msg, WPARAM w, LPARAM l)
{
    ++g_seen;
    return ::CallWindowProcW(g_below, h, msg, w, l);
}

TEST_F(Skinned, AProcedureAboveTheSkinKeepsWorkingThroughSkinExit)
{
    LoadFlat();
    SkinnedDlg dlg(IDD_LOGIN);
    ASSERT_TRUE(dlg.Create());
    g_seen = 0;
    g_below = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(dlg, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&OnTop)));
    wintest::Click(dlg, 1004);
    EXPECT_EQ(SkinExit(), 6);
    EXPECT_EQ(ProcOf(dlg), &OnTop);             // the skin cannot leave the chain, it passes on
    EXPECT_EQ(ButtonType(dlg, 1004), BS_PUSHBUTTON);
    wintest::Click(dlg, 1011);
    EXPECT_EQ(dlg.clicks, (std::vector<int>{1004, 1011}));
    EXPECT_GT(g_seen, 0);
    dlg.DestroyWindow();
    SkinInit();
}

TEST_F(Skinned, ADialogSubclassedAgainAfterTheSkinStillLeavesCleanly)
{
    LoadFlat();
    SkinnedDlg dlg(IDD_PHONE);
    ASSERT_TRUE(dlg.Create());
    g_below = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(dlg, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&OnTop)));
    wintest::Click(dlg, 1031);
    EXPECT_EQ(dlg.clicks, (std::vector<int>{1031}));
    dlg.DestroyWindow();
    // TearDown: nothing left dressed.
}

TEST_F(Skinned, TheProgramsOwnControlColoursStand)
{
    LoadFlat();
    HBRUSH own = ::CreateSolidBrush(RGB(1, 99, 1));
    SkinnedDlg dlg(IDD_LOGIN);
    dlg.OnMessage(WM_CTLCOLORSTATIC, [&](WPARAM w, LPARAM l) -> LRESULT {
        if (::GetDlgCtrlID(reinterpret_cast<HWND>(l)) != 1033)
            return ::DefWindowProcA(dlg, WM_CTLCOLORSTATIC, w, l);
        ::SetTextColor(reinterpret_cast<HDC>(w), RGB(200, 0, 0));
        return reinterpret_cast<LRESULT>(own);
    });
    ASSERT_TRUE(dlg.Create());
    Canvas canvas(10, 10);
    LRESULT status = ::SendMessageA(dlg, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(canvas.dc()),
                                    reinterpret_cast<LPARAM>(::GetDlgItem(dlg, 1033)));
    EXPECT_EQ(status, reinterpret_cast<LRESULT>(own));
    EXPECT_EQ(::GetTextColor(canvas.dc()), RGB(200, 0, 0));
    // Where the program gives the default answer, the skin answers.
    LRESULT box = ::SendMessageA(dlg, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(canvas.dc()),
                                 reinterpret_cast<LPARAM>(::GetDlgItem(dlg, 1002)));
    EXPECT_NE(box, reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE)));
    EXPECT_EQ(::GetTextColor(canvas.dc()), kText);
    dlg.DestroyWindow();
    ::DeleteObject(own);
}

// --- missing and broken skin files ---------------------------------------------------

void ExpectPlain(HWND dlg)
{
    for (int id : {1004, 1005, 1006, 1007, 1011}) {
        EXPECT_EQ(ButtonType(dlg, id), BS_PUSHBUTTON) << id;
        EXPECT_EQ(wintest::Text(dlg, id), "") << id;
    }
    auto back = EraseBackground(dlg);
    EXPECT_EQ(back->Pixel(3, 3), ::GetSysColor(COLOR_BTNFACE));
}

TEST_F(Skinned, WithoutASkinFileTheWindowsStayAsTheSystemDrawsThem)
{
    EXPECT_EQ(SkinLoad("no-such-skin.rss", 0), FALSE);
    EXPECT_EQ(SkinLoad(nullptr, 0), FALSE);
    EXPECT_EQ(SkinLoad("", 0), FALSE);
    SkinnedDlg dlg(IDD_LOGIN);
    ASSERT_TRUE(dlg.Create());
    EXPECT_EQ(dlg.applied, FALSE);
    ExpectPlain(dlg);
    wintest::Click(dlg, 1004);
    EXPECT_EQ(dlg.clicks, (std::vector<int>{1004}));
}

struct Broken {
    const char* what;
    std::string bytes;
};

std::vector<Broken> BrokenFiles()
{
    std::string utf16("\xFF\xFE[\0s\0k\0i\0n\0]\0\n\0", 16);
    std::string garbage;
    for (int i = 0; i < 3000; ++i)
        garbage += static_cast<char>((i * 7919 + 13) % 256);
    std::string huge = "[skin]\n[dialog 102]\n";
    while (huge.size() < 300 * 1024)
        huge += "; padding padding padding padding padding padding padding padding padding\n";
    return {
        {"empty", ""},
        {"binary garbage", garbage},
        {"UTF-16", utf16},
        {"no [skin] header", u8"[dialog 102]\nbutton 1004 = 登录\n"},
        {"header only", "[skin]\nname = x\n"},
        {"overlong first line", "[skin]" + std::string(5000, ' ') + "\n[dialog 102]\n"},
        {"GBK bytes in the header line", "[skin] \xB5\xC7\n[dialog 102]\n"},
        {"too large", huge},
    };
}

TEST_F(Skinned, BrokenFilesAreRefusedAndTheWindowsStayPlain)
{
    for (const auto& b : BrokenFiles()) {
        SCOPED_TRACE(b.what);
        TempFile file("broken-test.rss", b.bytes);
        EXPECT_EQ(SkinLoad(file.Name(), 0), FALSE);
        SkinnedDlg dlg(IDD_LOGIN);
        ASSERT_TRUE(dlg.Create());
        EXPECT_EQ(dlg.applied, FALSE);
        ExpectPlain(dlg);
    }
}

TEST_F(Skinned, ABrokenFileLoadedLaterKeepsTheSkinInUse)
{
    LoadFlat();
    for (const auto& b : BrokenFiles()) {
        SCOPED_TRACE(b.what);
        TempFile file("broken-test.rss", b.bytes);
        EXPECT_EQ(SkinLoad(file.Name(), 0), FALSE);
    }
    SkinnedDlg dlg(IDD_LOGIN);
    ASSERT_TRUE(dlg.Create());
    EXPECT_EQ(dlg.applied, TRUE);
    EXPECT_EQ(wintest::Text(dlg, 1004), "登录");
}

TEST_F(Skinned, BadLinesAreSkippedAndTheRestOfTheFileStillDresses)
{
    const std::string text = std::string(u8"[skin]\n[dialog 102]\n") +
        "button 1004 = " + std::string(3000, 'x') + "\n" +           // overlong
        "button 1005 = \xB5\xC7\xC2\xBC\n" +                          // GBK, not UTF-8
        "button 1006 = \xFF\xFE\xFD\n" +                              // no text encoding at all
        u8"button 1007 = 删除帐号\n" +
        u8"button 99999999 = 太大\n[dialog 0]\n[dialog -5]\nbutton 1011 = 不属于任何对话框\n" +
        u8"[dialog 102]\nbutton 1011 = 退出\n";
    TempFile file("bad-lines.rss", text);
    ASSERT_EQ(SkinLoad(file.Name(), 0), TRUE);
    SkinnedDlg dlg(IDD_LOGIN);
    ASSERT_TRUE(dlg.Create());
    EXPECT_EQ(dlg.applied, TRUE);
    for (int id : {1004, 1005, 1006, 1007, 1011})
        EXPECT_EQ(ButtonType(dlg, id), BS_OWNERDRAW) << id;
    EXPECT_EQ(wintest::Text(dlg, 1004), "");
    EXPECT_EQ(wintest::Text(dlg, 1005), "");
    EXPECT_EQ(wintest::Text(dlg, 1006), "");
    EXPECT_EQ(wintest::Text(dlg, 1007), "删除帐号");
    EXPECT_EQ(wintest::Text(dlg, 1011), "退出");
}

TEST_F(Skinned, MutatedSkinFilesNeverBringTheProgramDown)
{
    const std::string good = ReadFileBytes("superxp.rss");
    ASSERT_GT(good.size(), 1000u);
    unsigned seed = 12345;
    auto next = [&] { seed = seed * 1103515245u + 12345u; return (seed >> 8) & 0xFFFFFF; };
    int loaded = 0;
    for (int round = 0; round < 40; ++round) {
        std::string bytes = good;
        for (int m = 0, n = 1 + static_cast<int>(next() % 40); m < n; ++m) {
            const size_t at = next() % bytes.size();
            switch (next() % 4) {
            case 0: bytes[at] = static_cast<char>(next()); break;
            case 1: bytes.insert(at, 1, static_cast<char>(next())); break;
            case 2: bytes.erase(at, 1 + next() % 8); break;
            default: bytes.insert(at, std::string(next() % 2000, static_cast<char>('0' + next() % 40))); break;
            }
            if (bytes.empty())
                bytes = "x";
        }
        TempFile file("mutated.rss", bytes);
        SkinExit();
        SkinInit();
        if (SkinLoad(file.Name(), 0))
            ++loaded;
        for (UINT id : {IDD_LOGIN, IDD_PHONE, IDD_SOUNDHELP}) {
            SkinnedDlg dlg(id);
            ASSERT_TRUE(dlg.Create());
            auto back = EraseBackground(dlg);
            for (int b : PushButtonIds(dlg))
                DrawButton(dlg, b, ODS_SELECTED | ODS_FOCUS);
            dlg.DestroyWindow();
        }
    }
    EXPECT_GT(loaded, 10);      // most mutations leave a usable skin behind
}

// --- the shipped skin ----------------------------------------------------------------

TEST_F(Skinned, TheShippedSkinLabelsEveryPushButtonOfTheFiveDialogs)
{
    ASSERT_EQ(SkinLoad("superxp.rss", 0), TRUE);
    for (UINT id : {IDD_LOGIN, IDD_PHONE, IDD_AUDIO, IDD_PARTY, IDD_SOUNDHELP}) {
        SCOPED_TRACE(id);
        SkinnedDlg dlg(id);
        ASSERT_TRUE(dlg.Create());
        EXPECT_EQ(dlg.applied, TRUE);
        for (int b : PushButtonIds(dlg)) {
            EXPECT_EQ(ButtonType(dlg, b), BS_OWNERDRAW) << b;
            EXPECT_NE(wintest::Text(dlg, b), "") << b;
        }
        dlg.DestroyWindow();
    }
}

TEST_F(Skinned, TheSoundQualityWindowShowsTheAdviceOfTheFile)
{
    // The same window with and without the notes in the skin file.
    auto render = [](const std::string& skinText) {
        TempFile file("notes-test.rss", skinText);
        SkinInit();
        EXPECT_EQ(SkinLoad(file.Name(), 0), TRUE);
        SkinnedDlg dlg(IDD_SOUNDHELP);
        EXPECT_TRUE(dlg.Create());
        auto back = EraseBackground(dlg);
        dlg.DestroyWindow();
        EXPECT_EQ(SkinExit(), 0);
        return back;
    };
    std::string shipped = ReadFileBytes("superxp.rss");
    std::string bare = shipped.substr(0, shipped.find("[dialog 160]")) +
                       u8"[dialog 160]\nbanner = 44\ntitle = 音质问题？\nsubtitle = 通话声音不清楚时，请按下面的建议检查\n";
    auto withNotes = render(shipped);
    auto without = render(bare);
    ASSERT_EQ(withNotes->Width(), without->Width());
    ASSERT_EQ(withNotes->Height(), without->Height());
    int banner = 0, below = 0;
    const int bannerHeight = withNotes->Height() / 6;
    for (int y = 0; y < withNotes->Height(); ++y)
        for (int x = 0; x < withNotes->Width(); ++x)
            if (withNotes->Pixel(x, y) != without->Pixel(x, y))
                ++(y < bannerHeight ? banner : below);
    EXPECT_EQ(banner, 0);           // the banner is the same...
    EXPECT_GT(below, 8000);         // ...and the advice fills the window under it
    SkinInit();
}

}  // namespace
