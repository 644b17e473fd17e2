// The built program, started as a user starts it: Quillon.exe in a folder holding the
// shipped files, found by its caption and driven from outside by control id.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <algorithm>
#include <vector>
#include "AppTestSupport.h"
#include "WinText.h"
#include "WinHarness.h"
#include "resource.h"
#include "QuillonVersion.h"

using namespace wintest;
using apptest::AccountServer;
using apptest::ProgramRun;

namespace {

class Program : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(ProgramRun::CopyFiles());
        AccountServer::Answer("login.php", "error!");
        AccountServer::CloseWithoutAnswer("login.php", false);
        AccountServer::ClearRequests();
    }
    void TearDown() override
    {
        first.End(ProgramRun::Closing::ExitButton, 5000);
        second.End(ProgramRun::Closing::ExitButton, 5000);
    }

    apptest::ScratchFolder folder;
    // The program, and a second copy started beside it.
    ProgramRun first{folder.Path()}, second{folder.Path()};
};

TEST_F(Program, SignInRefusalIsShownInTheRunningProgram)
{
    ASSERT_NE(first.Start(), nullptr);
    HWND w = ProgramRun::WaitForLogin();
    ASSERT_NE(w, nullptr);
    HWND edit = reinterpret_cast<HWND>(::SendDlgItemMessageA(w, IDC_ACCOUNT, CBEM_GETEDITCONTROL, 0, 0));
    ASSERT_NE(edit, nullptr);
    ::SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("80012345"));
    ::SendDlgItemMessageA(w, IDC_PASSWORD, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("secret"));
    ASSERT_TRUE(Click(w, IDC_SIGNIN));
    EXPECT_TRUE(PumpUntil([&] { return Text(w, IDC_LOGIN_STATUS) == "帐号密码验证错误"; }, 15000))
        << Text(w, IDC_LOGIN_STATUS);
    ASSERT_EQ(AccountServer::Requests().size(), 1u);
    EXPECT_EQ(AccountServer::Requests()[0].rfind("GET /login.php?username=80012345&pass=secret&banben=2.54&t=", 0), 0u);
    EXPECT_TRUE(Enabled(w, IDC_SIGNIN));

    // A server error page is no answer: the window does not stay verifying.
    AccountServer::Answer("login.php", "<html><body>Internal error</body></html>\n", 500);
    ASSERT_TRUE(Click(w, IDC_SIGNIN));
    EXPECT_TRUE(PumpUntil([&] { return Text(w, IDC_LOGIN_STATUS) == "验证失败.网络问题"; }, 15000))
        << Text(w, IDC_LOGIN_STATUS);
    EXPECT_TRUE(PumpUntil([&] { return Enabled(w, IDC_SIGNIN) && !Visible(w, IDC_BUSY); }, 5000));

    // Exit ends the program.
    ASSERT_TRUE(Click(w, IDC_EXIT));
    EXPECT_EQ(::WaitForSingleObject(first.Process(), 10000), WAIT_OBJECT_0);
}

// Support's log: only with "--log", beside the program, the account server's queries in
// it with the password masked.
TEST_F(Program, LogIsWrittenWithTheSwitchOnlyAndHidesThePassword)
{
    for (const bool withSwitch : {false, true}) {
        ::DeleteFileA("Quillon.log");
        ASSERT_NE(first.Start(withSwitch ? " --log" : ""), nullptr);
        HWND w = ProgramRun::WaitForLogin();
        ASSERT_NE(w, nullptr);
        SetText(reinterpret_cast<HWND>(::SendDlgItemMessageW(w, IDC_ACCOUNT, CBEM_GETEDITCONTROL, 0, 0)), "80012345");
        SetText(w, IDC_PASSWORD, "s3cr3t-pw");
        ASSERT_TRUE(Click(w, IDC_SIGNIN));
        EXPECT_TRUE(PumpUntil([&] { return Text(w, IDC_LOGIN_STATUS) == "帐号密码验证错误"; }, 15000));
        ASSERT_TRUE(Click(w, IDC_EXIT));
        ASSERT_EQ(::WaitForSingleObject(first.Process(), 10000), WAIT_OBJECT_0);
        const std::string log = apptest::ReadBytes("Quillon.log");
        if (!withSwitch) {
            EXPECT_EQ(log, "<missing>");
            continue;
        }
        EXPECT_NE(log.find("[start] Quillon " QUILLON_VERSION " ("), std::string::npos) << log;
        EXPECT_NE(log.find("/login.php?username=80012345&pass=***&banben=2.54"), std::string::npos) << log;
        EXPECT_NE(log.find("answered: error!"), std::string::npos) << log;
        EXPECT_EQ(log.find("s3cr3t-pw"), std::string::npos) << log;
    }
}

// What Windows shows of the shipped binaries: a version resource in each, and the
// program's icon in every size Windows asks for.
TEST_F(Program, BinariesCarryTheirVersionAndTheIconItsSizes)
{
    for (const wchar_t* file : {L"Quillon.exe", L"SkinFeature.dll", L"callctl.dll"}) {
        DWORD ignored = 0;
        const DWORD size = ::GetFileVersionInfoSizeW(file, &ignored);
        ASSERT_GT(size, 0u) << wintext::Gbk(file);
        std::vector<char> info(size);
        ASSERT_TRUE(::GetFileVersionInfoW(file, 0, size, info.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(fixed->dwFileVersionMS, 0x0001000Au) << wintext::Gbk(file);   // 1.10
        for (const wchar_t* key : {L"ProductVersion", L"ProductName", L"CompanyName", L"LegalCopyright"}) {
            wchar_t* value = nullptr;
            const std::wstring path = std::wstring(L"\\StringFileInfo\\080403a8\\") + key;
            ASSERT_TRUE(::VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length))
                << wintext::Gbk(file) << " " << wintext::Gbk(key);
            if (std::wstring(key) == L"ProductName")
                EXPECT_EQ(wintext::Gbk(value), "Korvani网络电话");
            else if (std::wstring(key) == L"ProductVersion")
                EXPECT_EQ(wintext::Gbk(value), "1.10");
            else
                EXPECT_GT(length, 1u);
        }
    }

    HMODULE program = ::LoadLibraryExW(L"Quillon.exe", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr);
    HRSRC group = ::FindResourceW(program, MAKEINTRESOURCEW(IDR_MAINFRAME), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
    ASSERT_NE(group, nullptr);
    const BYTE* dir = static_cast<const BYTE*>(::LockResource(::LoadResource(program, group)));
    ASSERT_NE(dir, nullptr);
    std::vector<int> sizes;
    const int count = dir[4] | (dir[5] << 8);
    for (int i = 0; i < count; ++i)
        sizes.push_back(dir[6 + 14 * i] ? dir[6 + 14 * i] : 256);
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<int>{16, 20, 24, 32, 40, 48, 64, 256}));
    ::FreeLibrary(program);
}

TEST_F(Program, SecondCopyBringsTheFirstForwardAndEnds)
{
    ASSERT_NE(first.Start(), nullptr);
    HWND w = ProgramRun::WaitForLogin();
    ASSERT_NE(w, nullptr);
    ::ShowWindow(w, SW_MINIMIZE);
    ASSERT_TRUE(PumpUntil([&] { return ::IsIconic(w) != FALSE; }, 5000));

    ASSERT_NE(second.Start(), nullptr);
    EXPECT_EQ(::WaitForSingleObject(second.Process(), 15000), WAIT_OBJECT_0);
    EXPECT_TRUE(PumpUntil([&] { return ::IsIconic(w) == FALSE; }, 5000));
    EXPECT_EQ(ProgramRun::Login(), w);                   // still the one window
    EXPECT_EQ(::WaitForSingleObject(first.Process(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

}  // namespace
