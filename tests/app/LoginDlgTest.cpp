// The login window under Wine: a real dialog 102 in a scratch folder, driven by id.
#include <thread>
#include "LoginTestSupport.h"
#include "QuillonVersion.h"
#include "SavedPassword.h"

using namespace wintest;
using apptest::ReadBytes;
using apptest::WriteBytes;

namespace {
// The bytes with the protected password's value (new on every write) as "*".
std::string HideProtected(std::string bytes)
{
    const size_t at = bytes.find("UserPwdDp=\""), start = at + 11;
    return at == std::string::npos ? bytes : bytes.replace(start, bytes.find('"', start) - start, "*");
}
}  // namespace

TEST_F(LoginWindow, RefusesBadInputWithItsMessageAndSound)
{
    apptest::AccountServer::Answer("login.php", "error!", 200, 2.0);
    Open();
    // Typed as UTF-16, as a keyboard of any language types.
    struct Row { const wchar_t* account; const wchar_t* password; const char* status; bool accepted; } rows[] = {
        {L"", L"abcd", "请输入帐号!", false},
        {L"123", L"abcd", "请输入正确帐号!", false},
        {L"张", L"abcd", "请输入正确帐号!", false},       // one Chinese character: 2 bytes
        {L"1234", L"", "请输入密码!", false},
        {L"1234", L"abc", "请输入正确密码!", false},
        // Characters GBK lacks (Hangul, an emoji) are refused, never sent as "?".
        {L"1234\uAC00", L"abcd", "请输入正确帐号!", false},
        {L"1234", L"abcd\U0001F600", "请输入正确密码!", false},
        {L"张三", L"abcd", "正在验证帐号!", true},        // two Chinese characters: 4 bytes
    };
    for (const Row& r : rows) {
        desktop.Clear();
        ::SetWindowTextW(AccountEdit(), r.account);
        ::SetDlgItemTextW(h, IDC_PASSWORD, r.password);
        ASSERT_TRUE(Click(h, IDC_SIGNIN)) << Account();
        EXPECT_EQ(Status(), r.status) << Account() << "/" << Password();
        if (r.accepted) {
            EXPECT_TRUE(Verifying());
            EXPECT_TRUE(desktop.Sounds().empty());
        } else {
            EXPECT_TRUE(Idle());
            EXPECT_EQ(desktop.Sounds(), std::vector<int>{151});
        }
    }
    EXPECT_EQ(dlg->m_strAccount, "张三");
    EXPECT_EQ(dlg->m_strSipPassword, "abcd");
    // Let the delayed refusal arrive before the window goes.
    EXPECT_TRUE(PumpUntil([&] { return Idle(); }, 8000));
}

TEST_F(LoginWindow, SaveBoxesAreCoupled)
{
    Open();
    Click(h, IDC_SAVE_PASSWORD);                        // checking "save password" checks "save account"
    EXPECT_TRUE(Checked(h, IDC_SAVE_ACCOUNT));
    EXPECT_TRUE(Checked(h, IDC_SAVE_PASSWORD));
    Click(h, IDC_SAVE_PASSWORD);                        // unchecking it leaves "save account"
    EXPECT_TRUE(Checked(h, IDC_SAVE_ACCOUNT));
    EXPECT_FALSE(Checked(h, IDC_SAVE_PASSWORD));
    Click(h, IDC_SAVE_PASSWORD);
    Click(h, IDC_SAVE_ACCOUNT);                         // unchecking "save account" unchecks both
    EXPECT_FALSE(Checked(h, IDC_SAVE_ACCOUNT));
    EXPECT_FALSE(Checked(h, IDC_SAVE_PASSWORD));
}

TEST_F(LoginWindow, ListsAccountsAndShowsTheChosenOnesSavedState)
{
    WriteBytes("Login.xml", kTwoAccounts);
    Open();
    ASSERT_EQ(ListCount(), 2);
    EXPECT_EQ(ListItem(0), "10001");
    EXPECT_EQ(ListItem(1), "20002");
    // The most recent entry is shown, with its own boxes and no password.
    EXPECT_EQ(Account(), "20002");
    EXPECT_TRUE(Checked(h, IDC_SAVE_ACCOUNT));
    EXPECT_FALSE(Checked(h, IDC_SAVE_PASSWORD));
    EXPECT_EQ(Password(), "");

    Choose(0);
    EXPECT_EQ(Password(), "pa&ss");                     // unescaped
    EXPECT_TRUE(Checked(h, IDC_SAVE_ACCOUNT));
    EXPECT_TRUE(Checked(h, IDC_SAVE_PASSWORD));

    Choose(1);
    EXPECT_EQ(Password(), "");
    EXPECT_FALSE(Checked(h, IDC_SAVE_PASSWORD));
}

TEST_F(LoginWindow, MissingOrBrokenLoginFileListsNothing)
{
    for (const char* content : {static_cast<const char*>(nullptr), "", "<UserInfo><User UserID=\"1\"", "\x01\x02\xff\xfe<<>"}) {
        ::DeleteFileA("Login.xml");
        if (content)
            WriteBytes("Login.xml", content);
        Open();
        EXPECT_EQ(ListCount(), 0);
        EXPECT_EQ(Account(), "");
        EXPECT_FALSE(Checked(h, IDC_SAVE_ACCOUNT));
        dlg->DestroyWindow();
        EXPECT_EQ(ReadBytes("Login.xml"), content ? content : "<missing>");
    }
}

TEST_F(LoginWindow, ATopElementOfAnotherNameServesAsWell)
{
    WriteBytes("Login.xml", "<Accounts><User UserID=\"30003\" UserPwd=\"pw\" Type=\"2\" Wangluo=\"\"/></Accounts>");
    Open();
    ASSERT_EQ(ListCount(), 1);
    EXPECT_EQ(Account(), "30003");
    EXPECT_EQ(Password(), "pw");
}

TEST_F(LoginWindow, ForgetRemovesOnlyTheShownAccount)
{
    WriteBytes("Login.xml", kTwoAccounts);
    Open();
    SetAccount("");
    Click(h, IDC_FORGET);                               // empty field: nothing at all
    EXPECT_EQ(ReadBytes("Login.xml"), kTwoAccounts);
    EXPECT_EQ(Account(), "");

    SetAccount("99999");
    Click(h, IDC_FORGET);                               // unknown: the list is only reloaded
    EXPECT_EQ(ReadBytes("Login.xml"), kTwoAccounts);
    EXPECT_EQ(Account(), "20002");

    SetAccount("10001");
    Click(h, IDC_FORGET);
    EXPECT_EQ(ReadBytes("Login.xml"),
              "<UserInfo>\r\n"
              "<User UserID=\"20002\" UserPwd=\"secret\" Type=\"1\" Wangluo=\"\"/>\r\n"
              "</UserInfo>\r\n");
    EXPECT_EQ(ListCount(), 1);
    EXPECT_TRUE(desktop.Sounds().empty());
}

TEST_F(LoginWindow, RememberMovesTheAccountToTheEndWithTheBoxesChoice)
{
    // The password typed, or (null) the one an older version wrote in plain text, kept;
    // what the window shows at its next start.
    struct Row { bool saveAccount, savePassword; const char* typed; const char* expected; const char* shown; } rows[] = {
        // "保存密码" unchecked: the password is not written.
        {true, false, "new<pw>",
         "<UserInfo>\r\n"
         "<User UserID=\"20002\" UserPwd=\"secret\" Type=\"1\" Wangluo=\"\"/>\r\n"
         "<User UserID=\"10001\" UserPwd=\"\" Type=\"1\" Wangluo=\"\"/>\r\n"
         "</UserInfo>\r\n", ""},
        // Checked: only protected, after the attributes older versions read.
        {true, true, "new<pw>",
         "<UserInfo>\r\n"
         "<User UserID=\"20002\" UserPwd=\"secret\" Type=\"1\" Wangluo=\"\"/>\r\n"
         "<User UserID=\"10001\" UserPwd=\"\" Type=\"2\" Wangluo=\"\" UserPwdDp=\"*\"/>\r\n"
         "</UserInfo>\r\n", "new<pw>"},
        {true, true, nullptr,
         "<UserInfo>\r\n"
         "<User UserID=\"20002\" UserPwd=\"secret\" Type=\"1\" Wangluo=\"\"/>\r\n"
         "<User UserID=\"10001\" UserPwd=\"\" Type=\"2\" Wangluo=\"\" UserPwdDp=\"*\"/>\r\n"
         "</UserInfo>\r\n", "pa&ss"},
        {false, false, "new<pw>",
         "<UserInfo>\r\n"
         "<User UserID=\"20002\" UserPwd=\"secret\" Type=\"1\" Wangluo=\"\"/>\r\n"
         "</UserInfo>\r\n", ""},
    };
    for (const Row& r : rows) {
        WriteBytes("Login.xml", kTwoAccounts);
        Open();
        Choose(0);                                      // 10001, its password as an older version wrote it
        if (r.typed)
            SetPassword(r.typed);
        ::CheckDlgButton(h, IDC_SAVE_ACCOUNT, r.saveAccount ? BST_CHECKED : BST_UNCHECKED);
        ::CheckDlgButton(h, IDC_SAVE_PASSWORD, r.savePassword ? BST_CHECKED : BST_UNCHECKED);
        dlg->RememberAccount();
        const std::string bytes = ReadBytes("Login.xml");
        EXPECT_EQ(HideProtected(bytes), r.expected);
        for (const char* plain : {"new<", "new&lt;", "pa&"})    // neither '<' nor '&' is base64
            EXPECT_EQ(bytes.find(plain), std::string::npos) << bytes;
        dlg->DestroyWindow();
        Open();
        EXPECT_EQ(Password(), r.shown) << r.expected;
        dlg->DestroyWindow();
    }
}

// A protected password that cannot be read here (damaged, or another Windows user's or
// machine's) is no password: the account is still shown, the box stays empty, no box.
TEST_F(LoginWindow, ProtectedPasswordFillsTheBoxOnlyWhereItCanBeRead)
{
    std::string mine;
    ASSERT_TRUE(savedpassword::Protect("密码pw", mine));
    std::string tampered = mine;
    char& c = tampered[tampered.size() - 6];        // in the blob's signature, still base64
    c = c == 'A' ? 'B' : 'A';
    struct Row { const char* type; std::string value; const char* shown; } rows[] = {
        {"2", mine, "密码pw"}, {"1", mine, ""}, {"2", tampered, ""}, {"2", mine.substr(0, 40), ""},
        {"2", "not base64!", ""}, {"2", "QUJDRA==", ""},     // base64, but of "ABCD"
    };
    const std::string other = "<User UserID=\"20002\" UserPwd=\"\" Type=\"1\" Wangluo=\"\"/>";
    for (const Row& r : rows) {
        // Shown at the start as the last entry, and chosen in the list after another.
        for (bool chosen : {false, true}) {
            WriteBytes("Login.xml", "<UserInfo><User UserID=\"10001\" UserPwd=\"\" Type=\"" + std::string(r.type) +
                                        "\" Wangluo=\"\" UserPwdDp=\"" + r.value + "\"/>" + (chosen ? other : "") + "</UserInfo>");
            Open();
            if (chosen)
                Choose(0);
            EXPECT_EQ(Account(), "10001");
            EXPECT_EQ(Password(), r.shown) << r.type << " " << r.value;
            EXPECT_EQ(Checked(h, IDC_SAVE_PASSWORD), *r.type == '2');
            dlg->DestroyWindow();
        }
    }
    EXPECT_TRUE(desktop.Boxes().empty());
}

TEST_F(LoginWindow, RememberWithoutALoginFileWritesNothing)
{
    Open();
    SetAccount("10001");
    SetPassword("abcd");
    ::CheckDlgButton(h, IDC_SAVE_ACCOUNT, BST_CHECKED);
    ::CheckDlgButton(h, IDC_SAVE_PASSWORD, BST_CHECKED);
    dlg->RememberAccount();
    EXPECT_FALSE(apptest::Exists("Login.xml"));
}

// The window lists the accounts at its start; forgetting and remembering later work on
// the file as it is then, and a file gone or broken meanwhile is neither made nor changed.
TEST_F(LoginWindow, ForgetAndRememberNeverWriteAFileThatIsGoneOrBroken)
{
    // Well formed but for a second top element: its entries can still be read.
    const char* const broken =
        "<UserInfo>\r\n<User UserID=\"10001\" UserPwd=\"x\" Type=\"2\" Wangluo=\"\"/>\r\n</UserInfo>\r\n<x/>";
    struct Row { const char* now; bool forget; } rows[] = {
        {nullptr, true}, {nullptr, false}, {broken, true}, {broken, false}, {"\x01\x02", true},
    };
    for (const Row& r : rows) {
        WriteBytes("Login.xml", kTwoAccounts);
        Open();
        ASSERT_EQ(ListCount(), 2);
        ::DeleteFileA("Login.xml");
        if (r.now)
            WriteBytes("Login.xml", r.now);
        SetAccount("10001");
        SetPassword("abcd");
        ::CheckDlgButton(h, IDC_SAVE_ACCOUNT, BST_CHECKED);
        ::CheckDlgButton(h, IDC_SAVE_PASSWORD, BST_CHECKED);
        if (r.forget) {
            Click(h, IDC_FORGET);
            EXPECT_EQ(ListCount(), r.now == broken ? 1 : 0) << r.forget;   // the list shows the file as it is
        } else {
            dlg->RememberAccount();
        }
        EXPECT_EQ(ReadBytes("Login.xml"), r.now ? r.now : "<missing>") << r.forget;
        dlg->DestroyWindow();
    }
}

TEST_F(LoginWindow, DeviceNamesComeFromAudioFileWithStarAsDeviceZero)
{
    WAVEOUTCAPSA out = {};
    WAVEINCAPSA in = {};
    const bool haveOut = ::waveOutGetDevCapsA(0, &out, sizeof out) == MMSYSERR_NOERROR;
    const bool haveIn = ::waveInGetDevCapsA(0, &in, sizeof in) == MMSYSERR_NOERROR;
    ASSERT_TRUE(haveOut && haveIn) << "the test bed offers sound devices";

    WriteBytes("Audio.xml", "<Audio><Dirver playdev=\"*\" recodev=\"*\"/></Audio>");
    Open();
    EXPECT_EQ(dlg->m_strOutputDevice, out.szPname);
    EXPECT_EQ(dlg->m_strInputDevice, in.szPname);
    EXPECT_FALSE(dlg->m_strOutputDevice.empty());
    dlg->DestroyWindow();

    // The last Dirver wins; names are taken as written.
    // The file is UTF-8; the names arrive as GBK.
    WriteBytes("Audio.xml", u8"<Audio><Dirver playdev=\"A\" recodev=\"B\"/><Dirver playdev=\"耳机\" recodev=\"\"/></Audio>");
    Open();
    EXPECT_EQ(dlg->m_strOutputDevice, "耳机");
    EXPECT_EQ(dlg->m_strInputDevice, "");
    EXPECT_EQ(dlg->m_strBalance, "0");
}

TEST_F(LoginWindow, WebPageButtonsOpenTheServersPagesInTheBrowser)
{
    SetServerBaseUrl("http://accounts.example:8080/");
    Open();
    Click(h, IDC_SIGNUP);
    Click(h, IDC_RECOVER);
    EXPECT_EQ(desktop.Sounds(), (std::vector<int>{148, 148}));
    const auto launches = desktop.Launches();
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launches[0].verb, "open");
    EXPECT_EQ(launches[0].text, "IEXPLORE");
    EXPECT_EQ(launches[0].caption, "http://accounts.example:8080/reguser.php");
    EXPECT_EQ(launches[0].type, static_cast<UINT>(SW_SHOWMAXIMIZED));
    EXPECT_EQ(launches[1].caption, "http://accounts.example:8080/passwd.php");
    SetServerBaseUrl(apptest::AccountServer::Url());
}

TEST_F(LoginWindow, BusyPictureCyclesThroughTheThreePictures)
{
    Open();
    // The lit group of blocks moves right by four blocks on each picture: sample the
    // middle of blocks 0, 4 and 8 and see which one is lit.
    auto litGroup = [&]() -> int {
        HBITMAP bmp = reinterpret_cast<HBITMAP>(::SendDlgItemMessageA(h, IDC_BUSY, STM_GETIMAGE, IMAGE_BITMAP, 0));
        if (!bmp)
            return -1;
        HDC dc = ::CreateCompatibleDC(nullptr);
        HGDIOBJ old = ::SelectObject(dc, bmp);
        int lit = -1;
        for (int g = 0; g < 3; ++g) {
            COLORREF c = ::GetPixel(dc, 2 + g * 48 + 5, 7);
            if (GetBValue(c) > 150 && GetRValue(c) < 80)
                lit = g;
        }
        ::SelectObject(dc, old);
        ::DeleteDC(dc);
        return lit;
    };
    std::vector<int> seen;
    for (int i = 0; i < 4; ++i) {
        ::SendMessageA(h, WM_TIMER, 1, 0);
        seen.push_back(litGroup());
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 0}));   // 157, 155, 158, 157
}

TEST_F(LoginWindow, EnterAndEscapeDoNothingInTheRunningWindow)
{
    WriteBytes("Login.xml", kTwoAccounts);
    CQuillonDlg login;
    bool stillRunning = false;
    std::string status = "unset";
    std::thread([&] {
        for (int i = 0; i < 400 && !(login.m_hWnd && ::IsWindowVisible(login.m_hWnd)); ++i)
            ::Sleep(5);
        HWND w = login.m_hWnd;
        CWnd::PostTask(w, [&, w] {
            ::SetFocus(::GetDlgItem(w, IDC_PASSWORD));
            Key(w, VK_RETURN, '\r');
            Key(w, VK_ESCAPE, 27);
            CWnd::PostTask(w, [&, w] {
                stillRunning = ::IsWindowVisible(w) != FALSE;
                status = Text(w, IDC_LOGIN_STATUS);
                ::PostMessageA(w, WM_CLOSE, 0, 0);
            });
        });
    }).detach();
    EXPECT_EQ(login.DoModal(), IDCANCEL);
    EXPECT_TRUE(stillRunning);
    EXPECT_EQ(status, "");                               // no sign-in was started
    EXPECT_TRUE(desktop.Sounds().empty());
}

TEST_F(LoginWindow, SystemMenuCarriesTheAboutEntry)
{
    Open();
    HMENU sys = ::GetSystemMenu(h, FALSE);
    ASSERT_NE(sys, nullptr);
    wchar_t text[128] = {0};
    ASSERT_GT(::GetMenuStringW(sys, 0x10, text, 128, MF_BYCOMMAND), 0);
    EXPECT_EQ(wintext::Gbk(text), "关于Korvani网络电话");

    // The about box opens modally from the entry; its close box ends it.
    bool sawAbout = false;
    std::thread([&] {
        for (int i = 0; i < 400; ++i) {
            ::Sleep(10);
            HWND about = ::FindWindowExA(nullptr, nullptr, "#32770", "");
            if (about && about != h) {
                sawAbout = Text(::GetWindow(::GetWindow(about, GW_CHILD), GW_HWNDNEXT)) == QUILLON_ABOUT_TEXT;
                ::PostMessageA(about, WM_CLOSE, 0, 0);
                return;
            }
        }
    }).detach();
    ::SendMessageA(h, WM_SYSCOMMAND, 0x10, 0);
    EXPECT_TRUE(sawAbout);
    EXPECT_TRUE(::IsWindow(h));
}
