// The sign-in exchange against the account-server fixture on loopback.
#include <map>
#include <thread>
#include <windows.h>
#include <wininet.h>
#include "AccountQuery.h"
#include "Dial.h"
#include "LoginTestSupport.h"
#include "SupportLog.h"
#include "WinApp.h"
#include "QuillonVersion.h"

using namespace wintest;
using apptest::AccountServer;
using apptest::ReadBytes;
using apptest::WriteBytes;

namespace {

// Test programs have no application object of their own; the phone window closes the
// main window through it.
CWinApp g_testApp;

class SignIn : public LoginWindow {
protected:
    void SignInAs(const std::string& account, const std::string& password)
    {
        SetAccount(account);
        SetPassword(password);
        ASSERT_TRUE(Click(h, IDC_SIGNIN));
    }
    bool WaitForRequest(size_t count = 1)
    {
        return PumpUntil([&] { return AccountServer::Requests().size() >= count; }, 8000);
    }
};

TEST_F(SignIn, RefusalsUnknownAnswersAndNetworkFailureReturnToIdleWithTheirText)
{
    WriteBytes("Login.xml", kTwoAccounts);
    struct Row { const char* body; int code; const char* status; } rows[] = {
        {"error!\n", 200, "帐号密码验证错误"},
        {"suoding!x@y#z$\r\n", 200, "帐号非法.被系统锁定"},
        {"shengji!", 200, "版本已升级.请到网站更新"},
        // Answers of no known word end the verifying as a network failure does.
        {"error", 200, "验证失败.网络问题"},
        {"OK!u@1#h:5060$x%y^", 200, "验证失败.网络问题"},
        {"", 200, "验证失败.网络问题"},
        {"<html><body>Internal error</body></html>\n", 500, "验证失败.网络问题"},
    };
    Open();
    for (const Row& r : rows) {
        desktop.Clear();
        AccountServer::Answer("login.php", r.body, r.code);
        SignInAs("10001", "abcd");
        EXPECT_TRUE(PumpUntil([&] { return Status() == r.status; }, 8000)) << r.body << " gave " << Status();
        EXPECT_TRUE(PumpUntil([&] { return Idle(); })) << r.body;
        EXPECT_EQ(desktop.Sounds(), std::vector<int>{151}) << r.body;
        EXPECT_EQ(Account(), "10001");
    }
    EXPECT_EQ(ReadBytes("Login.xml"), kTwoAccounts);

    // Nothing listens: a network failure.
    desktop.Clear();
    SetServerBaseUrl(apptest::DeadServerUrl());
    SignInAs("10001", "abcd");
    EXPECT_TRUE(PumpUntil([&] { return Status() == "验证失败.网络问题"; }, 15000)) << Status();
    EXPECT_TRUE(Idle());
    EXPECT_EQ(desktop.Sounds(), std::vector<int>{151});

    // A connection closed without an answer fails the read or gives no line: either way
    // the window is back in its idle state.
    SetServerBaseUrl(AccountServer::Url());
    AccountServer::CloseWithoutAnswer("login.php", true);
    desktop.Clear();
    SignInAs("10001", "abcd");
    EXPECT_TRUE(WaitForRequest());
    EXPECT_TRUE(PumpUntil([&] { return Status() == "验证失败.网络问题" && Idle(); }, 15000)) << Status();
    EXPECT_EQ(ReadBytes("Login.xml"), kTwoAccounts);
}

TEST_F(SignIn, RequestLineCarriesEscapedValuesVersionAndTime)
{
    Open();
    AccountServer::Answer("login.php", "error!");
    SignInAs("a&b #1", "p=w?中");
    ASSERT_TRUE(WaitForRequest());
    const std::string line = AccountServer::Requests().at(0);
    const std::string head = "GET /login.php?username=a%26b%20%231&pass=p%3Dw%3F%D6%D0&banben=2.54&t=";
    ASSERT_EQ(line.compare(0, head.size(), head), 0) << line;
    // "现在时间是" in GBK, then year, month, day and a time of day.
    const std::string t = line.substr(head.size());
    EXPECT_EQ(t.compare(0, 30, "%CF%D6%D4%DA%CA%B1%BC%E4%CA%C7"), 0) << t;
    EXPECT_NE(t.find("%20"), std::string::npos);        // the space before the time
    EXPECT_EQ(t.substr(t.size() - 9), " HTTP/1.1") << t;
    PumpUntil([&] { return Idle(); });
}

// The same over the account server's plain and HTTPS address (the test bed trusts the
// demo CA that issued the HTTPS server's certificate).
class SignInSuccess : public SignIn, public ::testing::WithParamInterface<std::string (*)()> {};

TEST_P(SignInSuccess, RemembersTheAccountAndRunsThePhoneWindowWithTheValues)
{
    SetServerBaseUrl(GetParam()());
    ASSERT_FALSE(ServerBaseUrl().empty()) << "run through tests/fixtures/with_account_server";
    WriteBytes("Login.xml", kTwoAccounts);
    WriteBytes("Audio.xml", "<Audio><Dirver playdev=\"Out\" recodev=\"In\"/></Audio>");
    AccountServer::Answer("login.php", "ok!80012345@25.60#10.0.0.1:15060$075512345678%10.0.0.2:5061^\n", 200, 0.5);

    CQuillonDlg login;
    g_testApp.m_pMainWnd = &login;
    std::map<int, std::string> shown;
    bool loginHidden = false;
    std::string statusWhilePhone, fileWhilePhone;
    std::thread([&] {
        for (int i = 0; i < 400 && !(login.m_hWnd && ::IsWindowVisible(login.m_hWnd)); ++i)
            ::Sleep(5);
        HWND w = login.m_hWnd;
        CWnd::PostTask(w, [&, w] {
            ::SetWindowTextA(reinterpret_cast<HWND>(::SendDlgItemMessageA(w, IDC_ACCOUNT, CBEM_GETEDITCONTROL, 0, 0)),
                             "10001");
            SetText(w, IDC_PASSWORD, "abcd");
            ::CheckDlgButton(w, IDC_SAVE_ACCOUNT, BST_CHECKED);
            ::CheckDlgButton(w, IDC_SAVE_PASSWORD, BST_UNCHECKED);
            Click(w, IDC_SIGNIN);
            // While the request is under way the subscriber changes the account field:
            // the remembered entry follows the field, the phone gets what was sent.
            ::SetWindowTextA(reinterpret_cast<HWND>(::SendDlgItemMessageA(w, IDC_ACCOUNT, CBEM_GETEDITCONTROL, 0, 0)),
                             "20002");
        });
        // Wait for the phone window, read it, then close it with its close box.
        HWND phone = nullptr;
        for (int i = 0; i < 800 && !phone; ++i) {
            ::Sleep(10);
            phone = ::FindWindowExA(nullptr, nullptr, "#32770", QUILLON_CAPTION);
            if (phone == w || (phone && !::IsWindowVisible(phone)))
                phone = ::FindWindowExA(nullptr, phone, "#32770", QUILLON_CAPTION);
            if (phone && (phone == w || !::IsWindowVisible(phone)))
                phone = nullptr;
        }
        if (!phone)
            return;
        for (int id : {IDC_ACCOUNT_NUMBER, IDC_BALANCE})
            shown[id] = Text(phone, id);
        loginHidden = !::IsWindowVisible(w);
        statusWhilePhone = Text(w, IDC_LOGIN_STATUS);
        fileWhilePhone = ReadBytes("Login.xml");
        ::PostMessageA(phone, WM_CLOSE, 0, 0);
    }).detach();

    EXPECT_EQ(login.DoModal(), IDCANCEL);          // the phone window's end closed it
    g_testApp.m_pMainWnd = nullptr;

    EXPECT_TRUE(loginHidden);
    EXPECT_EQ(statusWhilePhone, "正在登陆服务器");
    EXPECT_EQ(shown[IDC_ACCOUNT_NUMBER], "10001");
    EXPECT_EQ(shown[IDC_BALANCE], "25.60");
    EXPECT_EQ(fileWhilePhone,
              "<UserInfo>\r\n"
              "<User UserID=\"10001\" UserPwd=\"pa&amp;ss\" Type=\"2\" Wangluo=\"\"/>\r\n"
              "<User UserID=\"20002\" UserPwd=\"\" Type=\"1\" Wangluo=\"\"/>\r\n"
              "</UserInfo>\r\n");
    EXPECT_EQ(login.m_strAccount, "10001");
    EXPECT_EQ(login.m_nKeepAlivePort, 15060);
    const auto requests = AccountServer::Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].compare(0, 15, "GET /login.php?"), 0) << requests[0];
}

INSTANTIATE_TEST_SUITE_P(AccountServer, SignInSuccess, ::testing::Values(&AccountServer::Url, &AccountServer::HttpsUrl),
                         [](const ::testing::TestParamInfo<std::string (*)()>& info) {
                             return std::string(info.index == 0 ? "Http" : "Https");
                         });

// An HTTPS account server whose certificate is for another name: WinINet refuses the
// connection before any request goes out, and the window shows what it shows for a
// network failure, although the server would have let the subscriber in.
TEST_F(SignIn, HttpsCertificateForAnotherNameIsANetworkFailure)
{
    ASSERT_FALSE(AccountServer::WrongNameUrl().empty()) << "run through tests/fixtures/with_account_server";
    WriteBytes("Login.xml", kTwoAccounts);
    AccountServer::Answer("login.php", "ok!80012345@25.60#10.0.0.1:15060$075512345678%10.0.0.2:5061^\n");
    SetServerBaseUrl(AccountServer::WrongNameUrl());
    Open();
    SignInAs("10001", "abcd");
    EXPECT_TRUE(PumpUntil([&] { return Status() == "验证失败.网络问题"; }, 15000)) << Status();
    EXPECT_TRUE(PumpUntil([&] { return Idle(); }));
    EXPECT_EQ(desktop.Sounds(), std::vector<int>{151});
    EXPECT_TRUE(AccountServer::Requests().empty());
    EXPECT_EQ(ReadBytes("Login.xml"), kTwoAccounts);
}

// A network that swallows everything, or a server that never answers, ends the sign-in
// as a network failure within 20 seconds, not after the system's minutes.
TEST_F(SignIn, ADeadNetworkEndsTheSignInWithinTwentySeconds)
{
    ASSERT_FALSE(AccountServer::BlackholeUrl().empty()) << "run through tests/fixtures/with_account_server";
    struct Row { std::string base; double delay; } rows[] = {
        {AccountServer::BlackholeUrl(), 0},       // the connection is never made
        {AccountServer::Url(), 120},              // connected, the answer never comes
    };
    Open();
    for (const Row& r : rows) {
        AccountServer::Answer("login.php", "error!\n", 200, r.delay);
        SetServerBaseUrl(r.base);
        desktop.Clear();
        SignInAs("10001", "abcd");
        EXPECT_TRUE(PumpUntil([&] { return Status() == "验证失败.网络问题" && Idle(); }, 20000))
            << r.base << ": " << Status();
        EXPECT_EQ(desktop.Sounds(), std::vector<int>{151}) << r.base;
    }
    AccountServer::Answer("login.php", "error!\n");
}

// A query holds the password: WinINet keeps nothing of it in its cache on disk, and an
// answer in the cache under the same URL is never taken instead of the server's.
TEST(AccountQuery, QueriesNeitherGoIntoNorComeFromWinInetsCache)
{
    struct Row {
        const char* password;
        const char* cached;     // an answer already in the cache for the URL, or null
    } rows[] = {
        {"cache-write-1", nullptr},
        {"cache-read-2", "ok!80012345@99.00#10.0.0.1:15060$075512345678%10.0.0.2:5061^"},
    };
    for (const Row& r : rows) {
        const std::string url = AccountServer::Url() + "/login.php?username=80012345&pass=" + r.password;
        ::DeleteUrlCacheEntryA(url.c_str());
        if (r.cached) {
            char file[MAX_PATH] = {0};
            ASSERT_TRUE(::CreateUrlCacheEntryA(url.c_str(), 0, "htm", file, 0)) << ::GetLastError();
            WriteBytes(file, std::string(r.cached) + "\n");
            const char headers[] = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n";
            FILETIME never = {0xFFFFFFFF, 0x7FFFFFFF}, modified = {0, 0};
            ASSERT_TRUE(::CommitUrlCacheEntryA(url.c_str(), file, never, modified, NORMAL_CACHE_ENTRY,
                                               reinterpret_cast<LPBYTE>(const_cast<char*>(headers)),
                                               sizeof headers - 1, "htm", nullptr))
                << ::GetLastError();
        }
        AccountServer::Answer("login.php", "error!\n");
        AccountServer::ClearRequests();
        std::string line;
        ASSERT_TRUE(FetchFirstLine(url, line)) << r.password;
        EXPECT_EQ(line, "error!") << r.password;
        EXPECT_EQ(AccountServer::Requests().size(), 1u) << r.password;
        if (!r.cached) {
            DWORD size = 0;
            EXPECT_FALSE(::GetUrlCacheEntryInfoA(url.c_str(), nullptr, &size)) << r.password;
            EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << r.password;
        }
        ::DeleteUrlCacheEntryA(url.c_str());
    }
}

// The account server over plain HTTP and over HTTPS answers the same; a certificate for
// another name fails the query as a network failure does, and the support log says why.
TEST(AccountQuery, HttpsAnswersLikeHttpAndACertificateFailureIsLoggedWithItsCause)
{
    ASSERT_FALSE(AccountServer::HttpsUrl().empty()) << "run through tests/fixtures/with_account_server";
    struct Row {
        std::string base;
        bool ok;
        const char* line;
        std::string logged;     // the support log's line about the query, after "[account] "
    } rows[] = {
        {AccountServer::Url(), true, "error!", AccountServer::Url() + "/login.php answered: error!"},
        {AccountServer::HttpsUrl(), true, "error!", AccountServer::HttpsUrl() + "/login.php answered: error!"},
        {AccountServer::WrongNameUrl(), false, "",
         AccountServer::WrongNameUrl() + "/login.php failed: network error " +
             std::to_string(ERROR_INTERNET_SEC_CERT_CN_INVALID) + " (the server's certificate is for another name)"},
    };
    apptest::ScratchFolder folder;
    for (const Row& r : rows) {
        AccountServer::Answer("login.php", "error!\n");
        AccountServer::ClearRequests();
        ::DeleteFileA("query.log");
        ASSERT_TRUE(SupportLogOpen(L"query.log"));
        std::string line = "untouched";
        EXPECT_EQ(FetchFirstLine(r.base + "/login.php?username=80012345&pass=secret", line), r.ok) << r.base;
        SupportLogClose();
        EXPECT_EQ(line, r.line) << r.base;
        EXPECT_EQ(AccountServer::Requests().size(), r.ok ? 1u : 0u) << r.base;
        const std::string log = ReadBytes("query.log");
        EXPECT_NE(log.find("[account] " + r.logged), std::string::npos) << log;
        EXPECT_EQ(log.find("secret"), std::string::npos) << log;
    }
}

}  // namespace
