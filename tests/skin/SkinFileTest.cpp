// The skin file reader, line breaking and the shipped skin file, without the DLL's windows.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <algorithm>
#include <set>
#include "SkinDialogs.h"
#include "SkinFile.h"
#include "SkinPaint.h"
#include "SkinTestSupport.h"

using namespace skin;

namespace {

ParseResult Parse(const std::string& text, Skin& out) { return ParseSkin(text.data(), text.size(), out); }

const char* Name(Status s)
{
    switch (s) {
    case Status::Ok: return "Ok";
    case Status::NotFound: return "NotFound";
    case Status::TooLarge: return "TooLarge";
    case Status::Binary: return "Binary";
    case Status::NotASkin: return "NotASkin";
    case Status::NoDialogs: return "NoDialogs";
    }
    return "?";
}

// --- whole files ---------------------------------------------------------------------

TEST(SkinFile, WholeFileScenarios)
{
    struct Row {
        std::string text;
        Status status;
        int line;
    };
    const std::string bom = "\xEF\xBB\xBF";
    const Row rows[] = {
        {"", Status::NotASkin, 0},
        {"\n\n  \n", Status::NotASkin, 0},
        {"[skin]\n", Status::NoDialogs, 0},
        {"[skin]\nname = x\n[dialog 0]\n", Status::NoDialogs, 0},
        {"[skin]\n[dialog 5]\n", Status::Ok, 0},
        {bom + "[skin]\n[dialog 5]\n", Status::Ok, 0},
        {"[SKIN]\r\n[Dialog 5]\r\n", Status::Ok, 0},
        {"[skin]\r[dialog 5]\r", Status::Ok, 0},
        {"; comment\n# another\n\n  [skin]  \n[dialog 5]", Status::Ok, 0},
        {"[dialog 5]\n[skin]\n", Status::NotASkin, 1},
        {"\nname = x\n[skin]\n[dialog 5]\n", Status::NotASkin, 2},
        {"[skin]\n[dialog 5]\n" + std::string("a\0b", 3), Status::Binary, 0},
        {std::string("\xFF\xFE[\0s\0k\0i\0n\0]\0", 14), Status::Binary, 0},
        {"\xB5\xC7\n[skin]\n[dialog 5]\n", Status::NotASkin, 1},
        {std::string(2000, ' ') + "\n[skin]\n[dialog 5]\n", Status::NotASkin, 1},
        {"[skin]\n[dialog 5]\n" + std::string(kMaxFileSize, ';'), Status::TooLarge, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text.substr(0, 40));
        Skin skin;
        ParseResult r = Parse(row.text, skin);
        EXPECT_STREQ(Name(r.status), Name(row.status));
        EXPECT_EQ(r.line, row.line);
    }
}

TEST(SkinFile, ARefusedFileLeavesTheSkinAsItWas)
{
    Skin skin;
    ASSERT_TRUE(Parse(u8"[skin]\nname = 第一\n[dialog 7]\nbutton 1 = 好\n", skin));
    const std::string refused[] = {"", "[skin]\n", "[dialog 7]\n", std::string("[skin]\n[dialog 8]\0\n", 19)};
    for (const std::string& bad : refused) {
        EXPECT_FALSE(Parse(bad, skin));
        EXPECT_EQ(skin.name, L"第一");
        ASSERT_NE(skin.Dialog(7), nullptr);
        EXPECT_EQ(skin.Dialog(7)->buttons.at(1).text, L"好");
    }
}

TEST(SkinFile, LinesTheReaderSkipsAndWhy)
{
    struct Row {
        std::string line;
        const char* why;
    };
    const Row rows[] = {
        {"no equals sign here", "no '=' in line"},
        {"= value", "empty key"},
        {"button abc = x", "unknown key or bad value"},
        {"button 99999 = x", "unknown key or bad value"},
        {"button 12 = Bad-Style | x", "unknown key or bad value"},
        {"button = x", "unknown key or bad value"},
        {"text 1,2,3 = x", "unknown key or bad value"},
        {"text 1,2,3,4 sideways = x", "unknown key or bad value"},
        {"text 1,2,3,4 =", "unknown key or bad value"},
        {"panel = 1,2,0,3", "unknown key or bad value"},
        {"panel = 1,2,99999,3", "unknown key or bad value"},
        {"notes = a,b,c,d", "unknown key or bad value"},
        {"banner = -3", "unknown key or bad value"},
        {"heading =", "unknown key or bad value"},
        {"colour = #FFFFFF", "unknown key or bad value"},
        {"[dialog 0]", "bad dialog id; section ignored"},
        {"[dialog 70000]", "bad dialog id; section ignored"},
        {"[dialog x]", "bad dialog id; section ignored"},
        {"[widget 3]", "unknown section; ignored"},
        {"[dialog 5", "section header without ']'"},
        {"button 1 = " + std::string(kMaxLineLength, 'x'), "line too long"},
        {"button 1 = \xB5\xC7\xC2\xBC", "not UTF-8"},
        {"button 1 = \xC0\xAF", "not UTF-8"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line.substr(0, 40));
        Skin skin;
        ParseResult r = Parse("[skin]\n[dialog 5]\nbutton 9 = ok\n" + row.line + "\nbutton 10 = after\n", skin);
        ASSERT_TRUE(r);
        ASSERT_EQ(r.skipped.size(), 1u);
        EXPECT_EQ(r.skipped[0].line, 4);
        EXPECT_EQ(r.skipped[0].what, row.why);
        // The lines around it are read; an ignored section swallows what follows it.
        ASSERT_NE(skin.Dialog(5), nullptr);
        EXPECT_EQ(skin.Dialog(5)->buttons.at(9).text, L"ok");
        const bool sectionLost = row.line[0] == '[';
        EXPECT_EQ(skin.Dialog(5)->buttons.count(10), sectionLost ? 0u : 1u);
    }
}

TEST(SkinFile, ValuesOfEverySection)
{
    Skin skin;
    ParseResult r = Parse(u8"[skin]\n"
                          u8"name = 测试\nfont = 微软雅黑, ,宋体\nsize = 10\ntitle_size = 16\n"
                          u8"[colors]\nwindow = #010203 #040506\nbanner = #0A0B0C\ntext = #ffeedd\n"
                          u8"[style normal]\nface = #111111\nradius = 2\n"
                          u8"[style Big]\nbold = yes\nsize = 14\nkind = LINK\n"
                          u8"[dialog 102]\nbanner = 40\ntitle = 标题\nsubtitle = 副 标 题\nstyle = big\n"
                          u8"button 1004 = big | 登录\nbutton 1005 = a|b|c\nbutton 1006 = 全角｜竖线\n"
                          u8"button 1007 = normal |\n"
                          u8"text 1,2,30,40 right bold = 帐号：\npanel = 5,6,7,8\n"
                          u8"notes = 10,20,30,40\nheading = 一\nparagraph = 二\nbullet = 三\n",
                          skin);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r.skipped.empty());
    EXPECT_EQ(skin.name, L"测试");
    EXPECT_EQ(skin.fonts, (std::vector<std::wstring>{L"微软雅黑", L"宋体"}));
    EXPECT_EQ(skin.size, 10);
    EXPECT_EQ(skin.titleSize, 16);
    EXPECT_EQ(skin.colors.window.top, RGB(1, 2, 3));
    EXPECT_EQ(skin.colors.window.bottom, RGB(4, 5, 6));
    EXPECT_EQ(skin.colors.banner.top, skin.colors.banner.bottom);
    EXPECT_EQ(skin.colors.text, RGB(0xFF, 0xEE, 0xDD));
    // A new style starts from "normal" as defined so far.
    const ButtonStyle& big = skin.Style(L"big");
    EXPECT_EQ(big.face.top, RGB(0x11, 0x11, 0x11));
    EXPECT_EQ(big.radius, 2);
    EXPECT_TRUE(big.bold);
    EXPECT_TRUE(big.link);
    EXPECT_EQ(big.size, 14);
    EXPECT_FALSE(skin.Style(L"no such style").link);        // falls back to normal

    const DialogPart& d = *skin.Dialog(102);
    EXPECT_EQ(d.banner, 40);
    EXPECT_EQ(d.title, L"标题");
    EXPECT_EQ(d.subtitle, L"副 标 题");
    EXPECT_EQ(d.style, L"big");
    EXPECT_EQ(d.buttons.at(1004).style, L"big");
    EXPECT_EQ(d.buttons.at(1004).text, L"登录");
    EXPECT_EQ(d.buttons.at(1005).style, L"a");
    EXPECT_EQ(d.buttons.at(1005).text, L"b|c");
    EXPECT_EQ(d.buttons.at(1006).style, L"");
    EXPECT_EQ(d.buttons.at(1006).text, L"全角｜竖线");
    EXPECT_EQ(d.buttons.at(1007).style, L"normal");
    EXPECT_EQ(d.buttons.at(1007).text, L"");
    ASSERT_EQ(d.texts.size(), 1u);
    EXPECT_EQ(d.texts[0].rect.left, 1);
    EXPECT_EQ(d.texts[0].rect.bottom, 42);
    EXPECT_EQ(d.texts[0].align, Align::Right);
    EXPECT_TRUE(d.texts[0].bold);
    ASSERT_EQ(d.panels.size(), 1u);
    EXPECT_EQ(d.panels[0].right, 12);
    EXPECT_TRUE(d.hasNotes);
    ASSERT_EQ(d.notes.size(), 3u);
    EXPECT_EQ(d.notes[0].kind, Note::Heading);
    EXPECT_EQ(d.notes[1].kind, Note::Paragraph);
    EXPECT_EQ(d.notes[2].kind, Note::Bullet);
    EXPECT_EQ(skin.Dialog(103), nullptr);
}

TEST(SkinFile, LabelsReachTheProgramAsGbk)
{
    EXPECT_EQ(WideToGbk(L"登录"), "登录");
    EXPECT_EQ(WideToGbk(L"登录"), std::string("\xB5\xC7\xC2\xBC"));
    EXPECT_EQ(GbkToWide("\xB5\xC7\xC2\xBC"), L"登录");
    EXPECT_EQ(GbkToWide(""), L"");
    // Characters GBK cannot hold become the default character, nothing worse.
    const std::string emoji = WideToGbk(L"a\U0001F600b");
    EXPECT_EQ(emoji.front(), 'a');
    EXPECT_EQ(emoji.back(), 'b');
    EXPECT_EQ(GbkToWide(std::string("\x81", 1)).size(), 1u);     // half a character
}

TEST(SkinFile, LoadingByFileName)
{
    Skin skin;
    EXPECT_EQ(LoadSkinFile("no-such-file.rss", skin).status, Status::NotFound);
    EXPECT_EQ(LoadSkinFile(nullptr, skin).status, Status::NotFound);
    EXPECT_EQ(LoadSkinFile(".", skin).status, Status::NotFound);
    // The program hands the name over as GBK text.
    skintest::TempFile gbk("\xC6\xA4\xB7\xF4.rss", "[skin]\n[dialog 9]\n");
    EXPECT_TRUE(LoadSkinFile("\xC6\xA4\xB7\xF4.rss", skin));
    EXPECT_NE(skin.Dialog(9), nullptr);
}

TEST(SkinFile, RandomMutationsOfTheShippedSkinAreReadSafely)
{
    const std::string good = skintest::ReadFileBytes("superxp.rss");
    ASSERT_GT(good.size(), 1000u);
    unsigned seed = 2024;
    auto next = [&] { seed = seed * 1664525u + 1013904223u; return seed >> 8; };
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = good;
        for (int m = 0, n = 1 + static_cast<int>(next() % 20); m < n && !bytes.empty(); ++m) {
            const size_t at = next() % bytes.size();
            switch (next() % 5) {
            case 0: bytes[at] = static_cast<char>(next()); break;
            case 1: bytes.insert(at, 1, "[]=|,#;\n\r \xE4\xB8"[next() % 14]); break;
            case 2: bytes.erase(at, 1 + next() % 16); break;
            case 3: bytes.insert(at, std::string(next() % 1500, 'x')); break;
            default: bytes.resize(at); break;
            }
        }
        Skin skin;
        ParseResult r = Parse(bytes, skin);
        if (r) {
            ++accepted;
            EXPECT_FALSE(skin.dialogs.empty());
            EXPECT_TRUE(skin.styles.count(L"normal"));
        }
    }
    EXPECT_GT(accepted, 500);
}

// --- the shipped skin ----------------------------------------------------------------

class ShippedSkin : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string bytes = skintest::ReadFileBytes("superxp.rss");
        result = Parse(bytes, skin);
        ASSERT_TRUE(result);
    }
    Skin skin;
    ParseResult result;
};

TEST_F(ShippedSkin, IsUtf8WithAByteOrderMarkAndHasNoBadLine)
{
    const std::string bytes = skintest::ReadFileBytes("superxp.rss");
    EXPECT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF");
    for (const auto& p : result.skipped)
        ADD_FAILURE() << "line " << p.line << ": " << p.what;
}

TEST_F(ShippedSkin, LabelsEveryPushButtonOfTheFiveDialogsWithAStyleThatExists)
{
    const std::map<int, std::vector<int>> buttons = {
        {102, {1004, 1005, 1006, 1007, 1011}},
        {131, {1008, 1009, 1010, 1911, 1012, 1013, 1014, 1015, 1016, 1017, 1018, 1019, 1020, 1023, 1024,
               1025, 1026, 1027, 1028, 1029, 1031, 1077, 1078, 1079}},
        {133, {1035, 1036}},
        {159, {1034, 1035, 1036, 1437, 1038, 1039}},
        {160, {}},
    };
    for (const auto& dialog : buttons) {
        const DialogPart* part = skin.Dialog(dialog.first);
        ASSERT_NE(part, nullptr) << dialog.first;
        for (int id : dialog.second) {
            auto b = part->buttons.find(id);
            ASSERT_NE(b, part->buttons.end()) << dialog.first << "/" << id;
            EXPECT_FALSE(b->second.text.empty()) << dialog.first << "/" << id;
        }
        for (const auto& b : part->buttons)
            EXPECT_TRUE(b.second.style.empty() || skin.styles.count(b.second.style))
                << dialog.first << "/" << b.first << " style " << WideToGbk(b.second.style);
        EXPECT_TRUE(skin.styles.count(part->style));
        EXPECT_GT(part->banner, 0);
        EXPECT_FALSE(part->title.empty());
    }
    const DialogPart& phone = *skin.Dialog(131);
    const wchar_t* keys[] = {L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8", L"9", L"*", L"0", L"#"};
    const int keyIds[] = {1008, 1009, 1010, 1911, 1012, 1013, 1014, 1015, 1016, 1017, 1018, 1019};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(phone.buttons.at(keyIds[i]).text, keys[i]);
}

TEST_F(ShippedSkin, TheSoundQualityNotesSpeakOfHeadsetsMicrophonesAndVolume)
{
    const DialogPart& help = *skin.Dialog(160);
    ASSERT_TRUE(help.hasNotes);
    std::wstring all;
    for (const auto& n : help.notes)
        all += n.text;
    for (const wchar_t* word : {L"耳机", L"麦克风", L"音量"})
        EXPECT_NE(all.find(word), std::wstring::npos) << WideToGbk(word);
}

INT_PTR CALLBACK NoDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// Creates a dialog of the tests' resources without any skin, for measuring.
HWND PlainDialog(UINT id)
{
    INITCOMMONCONTROLSEX icc{sizeof icc, 0xFF | ICC_USEREX_CLASSES};
    ::InitCommonControlsEx(&icc);
    return ::CreateDialogParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), nullptr, &NoDialogProc, 0);
}

TEST_F(ShippedSkin, EveryLabelFitsItsButton)
{
    FontCache fonts(skin.fonts);
    HDC dc = ::GetDC(nullptr);
    for (UINT id : {102u, 131u, 133u, 159u}) {
        HWND dlg = PlainDialog(id);
        ASSERT_NE(dlg, nullptr);
        const DialogPart& part = *skin.Dialog(id);
        for (const auto& b : part.buttons) {
            HWND button = ::GetDlgItem(dlg, b.first);
            ASSERT_NE(button, nullptr) << id << "/" << b.first;
            RECT rc{};
            ::GetClientRect(button, &rc);
            const ButtonStyle& style = skin.Style(b.second.style.empty() ? part.style : b.second.style);
            HGDIOBJ old = ::SelectObject(dc, fonts.Get(style.size ? style.size : skin.size, style.bold));
            SIZE size{};
            ::GetTextExtentPoint32W(dc, b.second.text.data(), static_cast<int>(b.second.text.size()), &size);
            TEXTMETRICW tm{};
            ::GetTextMetricsW(dc, &tm);
            ::SelectObject(dc, old);
            const int room = style.link ? rc.right : rc.right - 6;
            EXPECT_LE(size.cx, room) << id << "/" << b.first << " " << WideToGbk(b.second.text);
            EXPECT_LE(tm.tmHeight, rc.bottom + 2) << id << "/" << b.first;
        }
        ::DestroyWindow(dlg);
    }
    ::ReleaseDC(nullptr, dc);
}

TEST_F(ShippedSkin, TheNotesFitTheSoundQualityWindow)
{
    HWND dlg = PlainDialog(160);
    ASSERT_NE(dlg, nullptr);
    const DluScale dlu = DluScale::FromDialog(dlg);
    const DialogPart& help = *skin.Dialog(160);
    FontCache fonts(skin.fonts);
    HDC dc = ::GetDC(dlg);
    const int needed = FlowNotes(dc, skin, help, dlu, fonts, false);
    ::ReleaseDC(dlg, dc);
    const RECT area = dlu.Map(help.notesArea);
    EXPECT_GT(needed, (area.bottom - area.top) / 2);     // the window is well filled...
    EXPECT_LE(needed, area.bottom - area.top);           // ...and nothing is cut off
    RECT client{};
    ::GetClientRect(dlg, &client);
    EXPECT_LE(area.bottom, client.bottom);
    EXPECT_LE(area.right, client.right);
    ::DestroyWindow(dlg);
}

// --- line breaking -------------------------------------------------------------------

class Wrap : public ::testing::Test {
protected:
    void SetUp() override
    {
        dc = ::GetDC(nullptr);
        old = ::SelectObject(dc, fonts.Get(9));
    }
    void TearDown() override
    {
        ::SelectObject(dc, old);
        ::ReleaseDC(nullptr, dc);
    }
    int Width(const std::wstring& s)
    {
        SIZE size{};
        ::GetTextExtentPoint32W(dc, s.data(), static_cast<int>(s.size()), &size);
        return size.cx;
    }
    FontCache fonts{std::vector<std::wstring>{L"宋体"}};
    HDC dc = nullptr;
    HGDIOBJ old = nullptr;
};

TEST_F(Wrap, ChineseBreaksBetweenCharactersButNotBeforeClosingPunctuation)
{
    const int two = Width(L"一二");
    EXPECT_EQ(WrapText(dc, L"一二三四五", two), (std::vector<std::wstring>{L"一二", L"三四", L"五"}));
    // "，" may not start a line: the character before it goes along.
    EXPECT_EQ(WrapText(dc, L"一二，三四", two), (std::vector<std::wstring>{L"一", L"二，", L"三四"}));
    // "“" may not end a line.
    EXPECT_EQ(WrapText(dc, L"一“二”三", two), (std::vector<std::wstring>{L"一", L"“二”", L"三"}));
    EXPECT_EQ(WrapText(dc, L"一二", Width(L"一二三")), (std::vector<std::wstring>{L"一二"}));
    EXPECT_TRUE(WrapText(dc, L"", 100).empty());
}

TEST_F(Wrap, LatinWordsStayWholeAndSpacesVanishAtTheBreak)
{
    EXPECT_EQ(WrapText(dc, L"USB headset", Width(L"headset")),
              (std::vector<std::wstring>{L"USB", L"headset"}));
    EXPECT_EQ(WrapText(dc, L"USB 耳机", Width(L"USB 耳")), (std::vector<std::wstring>{L"USB 耳", L"机"}));
    // A word wider than the line is cut where the line is full, and every character stays.
    const auto cut = WrapText(dc, L"abcdefghij", Width(L"abcd"));
    std::wstring joined;
    for (const auto& line : cut) {
        EXPECT_LE(Width(line), Width(L"abcd"));
        joined += line;
    }
    EXPECT_EQ(joined, L"abcdefghij");
    // Narrower than one character: one character a line, never stuck.
    EXPECT_EQ(WrapText(dc, L"一二三", 1).size(), 3u);
}

}  // namespace
