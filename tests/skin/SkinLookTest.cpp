// What the skin draws, pixel by pixel, with a skin of flat colours.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include "FlatSkin.h"
#include "SkinDialogs.h"
#include "SkinFeature.h"
#include "SkinTestSupport.h"
#include "WinHarness.h"

using namespace skintest;

// Progress bar queries of common controls 6 (declared only for newer Windows versions).
#ifndef PBM_GETBARCOLOR
#define PBM_GETBKCOLOR (WM_USER + 14)
#define PBM_GETBARCOLOR (WM_USER + 15)
#endif

namespace {

bool Yellowish(COLORREF c) { return GetRValue(c) > 180 && GetGValue(c) > 180 && GetBValue(c) < 120; }
bool Greyish(COLORREF c)
{
    return GetRValue(c) == GetGValue(c) && GetGValue(c) == GetBValue(c) && GetRValue(c) < 0xB0;
}
bool Cyanish(COLORREF c) { return GetRValue(c) < 100 && GetGValue(c) > 180 && GetBValue(c) > 180; }

class Look : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        INITCOMMONCONTROLSEX icc{sizeof icc, 0xFF | ICC_USEREX_CLASSES};
        ::InitCommonControlsEx(&icc);
    }
    void SetUp() override
    {
        SkinInit();
        TempFile file("flat-look.rss", FlatSkinText());
        ASSERT_TRUE(SkinLoad(file.Name(), 0));
        ASSERT_TRUE(login.Create());
        ASSERT_EQ(login.applied, TRUE);
    }
    void TearDown() override
    {
        login.DestroyWindow();
        EXPECT_EQ(SkinExit(), 0);
    }
    // Pixels of a dialog-unit rectangle of the login window.
    RECT Dlu(int x, int y, int w, int h)
    {
        RECT r{x, y, x + w, y + h};
        ::MapDialogRect(login, &r);
        return r;
    }
    SkinnedDlg login{IDD_LOGIN};
};

TEST_F(Look, TheBackdropIsTheWindowColourUnderABannerWithPanels)
{
    auto back = EraseBackground(login);
    const RECT banner = Dlu(0, 0, 10, kBannerDlu);
    EXPECT_EQ(back->Pixel(5, 5), kBanner);
    EXPECT_EQ(back->Pixel(5, banner.bottom - 5), kBanner);
    EXPECT_EQ(back->Pixel(5, banner.bottom + 3), kWindow);
    EXPECT_EQ(back->Pixel(back->Width() - 3, back->Height() - 3), kWindow);
    const RECT panel = Dlu(60, 105, 110, 20);
    EXPECT_EQ(back->Pixel((panel.left + panel.right) / 2, panel.top + 3), kPanel);
    EXPECT_EQ(back->Pixel(panel.left - 3, panel.top + 3), kWindow);
    // The title is written on the banner.
    EXPECT_GT(back->CountOther(kBanner, RECT{0, 0, back->Width(), banner.bottom - 3}), 20);
}

TEST_F(Look, AButtonsFaceFollowsItsState)
{
    auto normal = DrawButton(login, 1004);
    ASSERT_TRUE(normal);
    EXPECT_EQ(normal->Pixel(0, 0), kBorder);
    EXPECT_EQ(normal->Pixel(3, 3), kFace);
    EXPECT_EQ(DrawButton(login, 1004, ODS_SELECTED)->Pixel(3, 3), kPressed);
    EXPECT_EQ(DrawButton(login, 1004, ODS_DISABLED)->Pixel(3, 3), kDisabled);
    // A pressed look needs the button to be enabled.
    EXPECT_EQ(DrawButton(login, 1004, ODS_DISABLED | ODS_SELECTED)->Pixel(3, 3), kDisabled);

    HWND button = ::GetDlgItem(login, 1004);
    ::SendMessageA(button, WM_MOUSEMOVE, 0, MAKELPARAM(4, 4));
    EXPECT_EQ(DrawButton(login, 1004)->Pixel(3, 3), kHot);
    EXPECT_EQ(DrawButton(login, 1011)->Pixel(3, 3), kFace);     // only the one under the mouse
    ::SendMessageA(button, WM_MOUSELEAVE, 0, 0);
    EXPECT_EQ(DrawButton(login, 1004)->Pixel(3, 3), kFace);
}

TEST_F(Look, KeyboardFocusIsShownUnlessTheDialogHidesFocus)
{
    auto plain = DrawButton(login, 1004);
    auto focused = DrawButton(login, 1004, ODS_FOCUS);
    auto hidden = DrawButton(login, 1004, ODS_FOCUS | ODS_NOFOCUSRECT);
    const int y = plain->Height() / 2;
    EXPECT_EQ(plain->Pixel(2, y), kFace);
    EXPECT_EQ(focused->Pixel(2, y), kFocus);
    EXPECT_EQ(focused->Pixel(focused->Width() - 3, y), kFocus);
    EXPECT_EQ(hidden->Pixel(2, y), kFace);
    EXPECT_EQ(DrawButton(login, 1004, ODS_FOCUS | ODS_DISABLED)->Pixel(2, y), kDisabled);
}

TEST_F(Look, TheLabelIsDrawnAndGreyedWhenDisabled)
{
    auto normal = DrawButton(login, 1004);
    const RECT inside{2, 2, normal->Width() - 2, normal->Height() - 2};
    EXPECT_GT(normal->Count(inside, Yellowish), 5);
    EXPECT_EQ(normal->Count(inside, Greyish), 0);
    auto disabled = DrawButton(login, 1004, ODS_DISABLED);
    EXPECT_EQ(disabled->Count(inside, Yellowish), 0);
    EXPECT_GT(disabled->Count(inside, Greyish), 5);
    // The label follows the caption, also when the program changes it.
    ::SetDlgItemTextA(login, 1004, "");
    auto blank = DrawButton(login, 1004);
    EXPECT_EQ(blank->CountOther(kFace, inside), 0);
}

TEST_F(Look, AButtonWithoutALabelShowsItsFaceOnly)
{
    auto exit = DrawButton(login, 1011);
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->CountOther(kFace, RECT{1, 1, exit->Width() - 1, exit->Height() - 1}), 0);
}

TEST_F(Look, ALinkHasNoFaceAndIsUnderlinedUnderTheMouse)
{
    auto link = DrawButton(login, 1005);
    ASSERT_TRUE(link);
    const RECT all{0, 0, link->Width(), link->Height()};
    EXPECT_EQ(link->Count(all, [](COLORREF c) { return c == kFace || c == kBorder; }), 0);
    EXPECT_EQ(link->Pixel(1, 1), kWindow);
    const int plainInk = link->Count(all, Cyanish);
    EXPECT_GT(plainInk, 5);
    ::SendMessageA(::GetDlgItem(login, 1005), WM_MOUSEMOVE, 0, MAKELPARAM(4, 4));
    auto hot = DrawButton(login, 1005);
    EXPECT_GT(hot->Count(all, Cyanish), plainInk + 10);      // the underline
    ::SendMessageA(::GetDlgItem(login, 1005), WM_MOUSELEAVE, 0, 0);
}

TEST_F(Look, StaticTextsAndCheckBoxesShowTheBackdropUnderThem)
{
    struct Row { int id; COLORREF under; };
    for (const Row& row : {Row{1002, kPanel}, Row{1033, kWindow}}) {
        HWND control = ::GetDlgItem(login, row.id);
        RECT rc{};
        ::GetClientRect(control, &rc);
        Canvas canvas(rc.right, rc.bottom);
        auto brush = reinterpret_cast<HBRUSH>(::SendMessageA(login, WM_CTLCOLORSTATIC,
            reinterpret_cast<WPARAM>(canvas.dc()), reinterpret_cast<LPARAM>(control)));
        ASSERT_NE(brush, nullptr);
        EXPECT_NE(brush, ::GetSysColorBrush(COLOR_BTNFACE));
        EXPECT_EQ(::GetTextColor(canvas.dc()), kText);
        EXPECT_EQ(::GetBkMode(canvas.dc()), TRANSPARENT);
        ::FillRect(canvas.dc(), &rc, brush);
        EXPECT_EQ(canvas.Pixel(rc.right / 2, rc.bottom / 2), row.under) << row.id;
    }
}

TEST_F(Look, LevelBarsTakeTheSkinsColoursAndGiveThemBack)
{
    SkinnedDlg phone(IDD_PHONE);
    ASSERT_TRUE(phone.Create());
    HWND bar = ::GetDlgItem(phone, 1045);
    EXPECT_EQ(static_cast<COLORREF>(::SendMessageA(bar, PBM_GETBARCOLOR, 0, 0)), kBar);
    EXPECT_EQ(static_cast<COLORREF>(::SendMessageA(bar, PBM_GETBKCOLOR, 0, 0)), kBarBack);
    login.DestroyWindow();
    EXPECT_EQ(SkinExit(), 1 + 26);      // the phone window and its push buttons
    EXPECT_EQ(static_cast<COLORREF>(::SendMessageA(bar, PBM_GETBARCOLOR, 0, 0)), CLR_DEFAULT);
    phone.DestroyWindow();
    SkinInit();
}

TEST_F(Look, AnIconGivenAfterDressingAppearsInTheBanner)
{
    SkinnedDlg phone(IDD_PHONE);
    ASSERT_TRUE(phone.Create());
    RECT banner{0, 0, 60, 40};
    ::MapDialogRect(phone, &banner);
    auto before = EraseBackground(phone);
    ::SendMessageA(phone, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(::LoadIconA(nullptr, IDI_APPLICATION)));
    auto after = EraseBackground(phone);
    int changed = 0, changedBelow = 0;
    for (int y = 0; y < after->Height(); ++y)
        for (int x = 0; x < after->Width(); ++x)
            if (after->Pixel(x, y) != before->Pixel(x, y))
                ++(y < banner.bottom ? changed : changedBelow);
    EXPECT_GT(changed, 300);        // the icon, and the title moved to its right
    EXPECT_EQ(changedBelow, 0);
    phone.DestroyWindow();
}

TEST_F(Look, TheSoundQualityWindowIsFilledWithTheNotes)
{
    SkinnedDlg help(IDD_SOUNDHELP);
    ASSERT_TRUE(help.Create());
    auto back = EraseBackground(help);
    RECT notes{10, 10, 240, 250};
    ::MapDialogRect(help, &notes);
    EXPECT_GT(back->CountOther(kWindow, notes), 50);
    EXPECT_EQ(back->CountOther(kWindow, RECT{0, notes.bottom + 2, back->Width(), back->Height()}), 0);
}

}  // namespace
