// The dialog framework under Wine: real dialogs from a resource template, driven by id.
#include <gtest/gtest.h>
#include <atomic>
#include <cstdlib>
#include <thread>
#include "Dialog.h"
#include "WinHarness.h"
#include "WinText.h"
#include "TestDialogs.h"

using namespace wintest;

namespace {

class ProbeDlg : public CDialog {
public:
    explicit ProbeDlg(CWnd* parent = nullptr) : CDialog(IDD_PROBE, parent)
    {
        OnCommand(IDC_GREET, [this] {
            SetDlgItemText(IDC_STATUS, "你好，" + GetDlgItemText(IDC_NAME));
        });
        OnCommand(IDC_FINISH, [this] { EndDialog(42); });
        OnTimerId(5, [this] {
            if (++ticks == 3)
                KillTimer(5);
        });
    }
    BOOL OnNcCreate(LPCREATESTRUCTW cs) override
    {
        ncCreateSawHandle = m_hWnd != nullptr;
        ncCreateBeforeInit = !initialised;
        return CDialog::OnNcCreate(cs);
    }
    BOOL OnInitDialog() override
    {
        initialised = true;
        return TRUE;
    }
    BOOL PreTranslateMessage(MSG* msg) override
    {
        if (swallowEscape && msg->message == WM_KEYDOWN && msg->wParam == VK_ESCAPE) {
            ++swallowed;
            return TRUE;
        }
        return FALSE;
    }
    bool initialised = false, ncCreateSawHandle = false, ncCreateBeforeInit = false;
    bool swallowEscape = false;
    int swallowed = 0, ticks = 0;
};

// Posts a task to the window being run modally by the current thread, once it exists.
void WhenShown(CDialog& dlg, std::function<void()> task)
{
    std::thread([&dlg, task] {
        for (int i = 0; i < 500 && !(dlg.m_hWnd && ::IsWindowVisible(dlg.m_hWnd)); ++i)
            ::Sleep(5);
        CWnd::PostTask(dlg.m_hWnd, task);
    }).detach();
}

TEST(Dialog, ModelessDialogIsDrivenByControlIdAndKeepsGbkText)
{
    ProbeDlg dlg;
    ASSERT_TRUE(dlg.Create());
    EXPECT_TRUE(dlg.ncCreateSawHandle);
    EXPECT_TRUE(dlg.ncCreateBeforeInit);
    EXPECT_TRUE(dlg.initialised);
    EXPECT_EQ(CDialog::FromHandle(dlg.m_hWnd), &dlg);

    // Text from the UTF-8 resource script arrives as GBK bytes, as do our literals.
    EXPECT_EQ(Text(dlg.m_hWnd, IDC_STATUS), "准备好了");
    EXPECT_EQ(Text(dlg.m_hWnd), "框架测试窗口");
    EXPECT_EQ(std::string("准备好了"), std::string("\xd7\xbc\xb1\xb8\xba\xc3\xc1\xcb"));

    SetText(dlg.m_hWnd, IDC_NAME, "张三");
    Click(dlg.m_hWnd, IDC_GREET);
    EXPECT_EQ(Text(dlg.m_hWnd, IDC_STATUS), "你好，张三");

    EXPECT_FALSE(Checked(dlg.m_hWnd, IDC_REMEMBER));
    Click(dlg.m_hWnd, IDC_REMEMBER);
    EXPECT_TRUE(Checked(dlg.m_hWnd, IDC_REMEMBER));

    // A disabled or hidden button cannot be clicked.
    ::EnableWindow(::GetDlgItem(dlg.m_hWnd, IDC_GREET), FALSE);
    SetText(dlg.m_hWnd, IDC_STATUS, "unchanged");
    EXPECT_FALSE(Click(dlg.m_hWnd, IDC_GREET));
    ::EnableWindow(::GetDlgItem(dlg.m_hWnd, IDC_GREET), TRUE);
    ::ShowWindow(::GetDlgItem(dlg.m_hWnd, IDC_GREET), SW_HIDE);
    EXPECT_FALSE(Click(dlg.m_hWnd, IDC_GREET));
    EXPECT_EQ(Text(dlg.m_hWnd, IDC_STATUS), "unchanged");

    HWND h = dlg.m_hWnd;
    dlg.DestroyWindow();
    EXPECT_FALSE(::IsWindow(h));
    EXPECT_EQ(dlg.m_hWnd, nullptr);
}

TEST(Dialog, TimersReachTheirBoundHandler)
{
    ProbeDlg dlg;
    ASSERT_TRUE(dlg.Create());
    dlg.SetTimer(5, 20);
    EXPECT_TRUE(PumpUntil([&] { return dlg.ticks >= 3; }, 3000));
    Pump(120);
    EXPECT_EQ(dlg.ticks, 3);   // killed from its own handler
}

TEST(DoModal, ReturnsTheEndDialogValueAndDestroysTheWindow)
{
    ProbeDlg dlg;
    WhenShown(dlg, [&] { Click(dlg.m_hWnd, IDC_FINISH); });
    EXPECT_EQ(dlg.DoModal(), 42);
    EXPECT_EQ(dlg.m_hWnd, nullptr);
}

TEST(DoModal, EscapeCancelsUnlessPreTranslationSwallowsIt)
{
    {
        ProbeDlg dlg;
        WhenShown(dlg, [&] { Key(dlg.m_hWnd, VK_ESCAPE); });
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    }
    {
        ProbeDlg dlg;
        dlg.swallowEscape = true;
        WhenShown(dlg, [&] {
            Key(dlg.m_hWnd, VK_ESCAPE);
            CWnd::PostTask(dlg.m_hWnd, [&] { Click(dlg.m_hWnd, IDC_FINISH); });
        });
        EXPECT_EQ(dlg.DoModal(), 42);
        EXPECT_EQ(dlg.swallowed, 1);
    }
}

TEST(DoModal, CloseBoxEndsTheRunAsCancel)
{
    ProbeDlg dlg;
    WhenShown(dlg, [&] { dlg.PostMessage(WM_CLOSE); });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
}

TEST(DoModal, QuitMessageEndsTheRunAndIsPassedOn)
{
    ProbeDlg dlg;
    WhenShown(dlg, [] { ::PostQuitMessage(3); });
    EXPECT_EQ(dlg.DoModal(), -1);
    // The quit comes out of the queue once the messages before it are handled.
    MSG msg{};
    bool quit = PumpUntil([&] {
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                return true;
            ::DispatchMessageA(&msg);
        }
        return false;
    }, 2000);
    ASSERT_TRUE(quit);
    EXPECT_EQ(msg.wParam, 3u);
}

TEST(DoModal, NestedRunDisablesItsOwnerAndEnablesItAgain)
{
    ProbeDlg outer;
    ProbeDlg inner(&outer);
    bool ownerDisabledDuringInner = false, innerOwnedByOuter = false;
    INT_PTR innerResult = 0;
    WhenShown(outer, [&] {
        WhenShown(inner, [&] {
            ownerDisabledDuringInner = !::IsWindowEnabled(outer.m_hWnd);
            innerOwnedByOuter = ::GetWindow(inner.m_hWnd, GW_OWNER) == outer.m_hWnd;
            Click(inner.m_hWnd, IDC_FINISH);
        });
        innerResult = inner.DoModal();
        EXPECT_TRUE(::IsWindowEnabled(outer.m_hWnd));
        Click(outer.m_hWnd, IDC_FINISH);
    });
    EXPECT_EQ(outer.DoModal(), 42);
    EXPECT_EQ(innerResult, 42);
    EXPECT_TRUE(ownerDisabledDuringInner);
    EXPECT_TRUE(innerOwnedByOuter);
}

TEST(PostTask, RunsOnTheWindowThreadAndFailsForAGoneWindow)
{
    ProbeDlg dlg;
    ASSERT_TRUE(dlg.Create());
    const DWORD uiThread = ::GetCurrentThreadId();
    std::atomic<DWORD> ranOn{0};
    std::atomic<bool> posted{false};
    std::thread worker([&] { posted = CWnd::PostTask(dlg.m_hWnd, [&] { ranOn = ::GetCurrentThreadId(); }); });
    worker.join();
    EXPECT_TRUE(posted);
    EXPECT_TRUE(PumpUntil([&] { return ranOn != 0; }));
    EXPECT_EQ(ranOn, uiThread);

    HWND gone = dlg.m_hWnd;
    dlg.DestroyWindow();
    bool ran = false;
    EXPECT_FALSE(CWnd::PostTask(gone, [&] { ran = true; }));
    Pump(20);
    EXPECT_FALSE(ran);
}

// Keeps the dialog on screen for a screenshot when QUILLON_HOLD_MS is set.
// GBK inside, UTF-16 at Windows: the same on every system code page. A character GBK
// lacks is reported, not silently turned into "?".
TEST(WinText, GbkRoundTripsThroughUtf16AndRefusesWhatGbkLacks)
{
    struct Row { const wchar_t* wide; const char* gbk; bool fits; } rows[] = {
        {L"", "", true},
        {L"成功登陆.请输入呼叫号码", "成功登陆.请输入呼叫号码", true},
        {L"2009年03月05日14点07分0086.wav", "2009年03月05日14点07分0086.wav", true},
        {L"\x00b7\x00fc\x0391\x0430", "\xa1\xa4\xa8\xb9\xa6\xa1\xa7\xd1", true},   // Latin, Greek, Cyrillic in GBK
        {L"12\uAC0034", "12?34", false},                                       // Hangul
        {L"a\U0001F600", "a??", false},                                           // outside the BMP
    };
    for (const Row& r : rows) {
        std::string gbk;
        EXPECT_EQ(wintext::ToGbk(r.wide, gbk), r.fits) << r.gbk;
        EXPECT_EQ(gbk, r.gbk);
        if (r.fits) {
            EXPECT_EQ(wintext::Wide(gbk), r.wide) << r.gbk;
        }
    }
}

TEST(Dialog, ShowsChineseText)
{
    ProbeDlg dlg;
    ASSERT_TRUE(dlg.Create());
    SetText(dlg.m_hWnd, IDC_NAME, "李四");
    Click(dlg.m_hWnd, IDC_GREET);
    ::SetWindowPos(dlg.m_hWnd, nullptr, 40, 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    const char* hold = std::getenv("QUILLON_HOLD_MS");
    Pump(hold ? static_cast<DWORD>(std::atoi(hold)) : 0);
    EXPECT_EQ(Text(dlg.m_hWnd, IDC_STATUS), "你好，李四");
}

}  // namespace
